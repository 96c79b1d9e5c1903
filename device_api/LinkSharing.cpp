// Link sharing in a Link: links through a link-sharing server (types 4 to 7)
// and the wrapping of a new direct link in a server of its own. This build has
// no link-sharing server, so neither kind of link can be made: a Link reaches
// its device only over a direct link, with link sharing switched off.
#include "common/aDebug.h"
#include "common/aLinkCreate.h"
#include "device_api/LinkImpl.h"

namespace Zentrova {
namespace Tessaline {

aErr Link::impl::createSharedLink(const linkSpec&)
{
    // No client link is made; a link borrowed by connectThroughLinkModule is
    // no use of ours.
    linkId = 0;
    if (!config.enabled) return aErrConfiguration;
    return aErrNone;
}

void Link::impl::serveDirectLink()
{
    aDebug_Printf(aDEBUG_LINKS, "Creating Server: real_vell id: %d\n", linkId);
    // No server could take the device link over: it is released again.
    aLink_Destroy(&linkId);
    aDebug_Printf(aDEBUG_LINKS, "Failed to create server\n");
}

} // namespace Tessaline
} // namespace Zentrova
