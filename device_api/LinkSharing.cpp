// Link sharing in a Link: links through a link-sharing server (types 4 to 7),
// the wrapping of a new direct link in a server of its own, and the reuse of
// the link through which this process already shares a device.
#include "common/aDebug.h"
#include "common/aLinkCreate.h"
#include "common/aLinkTable.h"
#include "common/aServer.h"
#include "device_api/LinkImpl.h"

namespace Zentrova {
namespace Tessaline {

namespace {

constexpr uint32_t kClientConnectWaitMs = 1000;

} // namespace

aErr Link::impl::createSharedLink(const linkSpec& linkSpecifier)
{
    if (!config.enabled) {
        // No client link is made; a link borrowed by connectThroughLinkModule
        // is no use of ours.
        linkId = 0;
        return aErrConfiguration;
    }
    // A link borrowed by connectThroughLinkModule gets one more use instead.
    const bool made = linkId == 0;
    linkId = aLink_CreateClient(linkSpecifier.ipAddress, static_cast<uint16_t>(linkSpecifier.tcpPort & 0xFFFF),
                                linkId);
    // A server that is no longer there (it ended after it was found) makes
    // no link that only looks up; one that does not answer yet may still.
    if (made && linkId != 0 && aLink_AwaitClientConnection(linkId, kClientConnectWaitMs) == aErrConnection)
        aLink_Destroy(&linkId);
    return aErrNone;
}

bool Link::impl::reuseSharedLink(const linkSpec& linkSpecifier)
{
    if (!config.enabled) return false;
    aLinkId shared = aLink_CreateSharedUse(linkSpecifier.type, linkSpecifier.serialNumber);
    if (shared == 0) return false;
    linkId = shared;
    return true;
}

void Link::impl::serveDirectLink()
{
    aLinkId device = linkId;
    // Another holder uses the device link directly: a server would take its
    // replies and stream packets over, so the link is used as it is.
    if (sUseCount(device) > 1) return;
    aDebug_Printf(aDEBUG_LINKS, "Creating Server: real_vell id: %d\n", device);
    linkId = aLink_CreateServer(device, &config.tcpPort, &config.ipAddress,
                                config.localOnly ? aSERVER_FLAG_LOCAL_ONLY : 0);
    aDebug_Printf(aDEBUG_LINKS, "Creating Server: m_vell id: %d\n", linkId);
    if (linkId == 0) {
        // The device link's use is still ours.
        aLink_Destroy(&device);
        aDebug_Printf(aDEBUG_LINKS, "Failed to create server\n");
    }
}

} // namespace Tessaline
} // namespace Zentrova
