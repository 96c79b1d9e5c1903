// Link: the object, its configuration, and every way of getting a link.
#include "device_api/Link.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "common/aDebug.h"
#include "common/aKeyedSections.h"
#include "common/aLinkCreate.h"
#include "device_api/LinkImpl.h"
#include "device_api/LinkPeers.h"
#include "platform/aTime.h"

namespace Zentrova {
namespace Tessaline {

namespace {

// The link creations of every Link for one device, one after the other, so
// that a second Link to the same device finds the entry (and the server) of
// the first. Creations for other devices go on meanwhile: a device that does
// not answer holds up only its own.
using DeviceKey = std::pair<linkType, uint32_t>;
aKeyedSections<DeviceKey>& linkCreateHelperSerializer()
{
    static auto* sections = new aKeyedSections<DeviceKey>; // outlives static destruction
    return *sections;
}

constexpr size_t kMaxNameLength = 1024;
constexpr uint16_t kConnectPolls = 200;
constexpr uint32_t kPollMs = 10;

bool isAVORNE(linkType type)
{
    return type >= AVORNE && type <= AVORNE_SERIAL;
}

bool _fallbackHelper(aErr result, linkType type, bool fallback)
{
    bool failed = result == aErrNotFound || result == aErrInitialization || result == aErrConnection;
    bool fallsBack = type == USB || type == TCPIP || isAVORNE(type);
    return failed && fallsBack && fallback;
}

// Discovery by model: the reference holds the wanted model and receives the
// first device that has it (model 0: any device).
bool cbModelCallback(const linkSpec* found, bool* counted, void* reference)
{
    auto* wanted = static_cast<linkSpec*>(reference);
    if (wanted->model != 0 && wanted->model != found->model) return true;
    std::memcpy(wanted, found, sizeof(linkSpec));
    *counted = true;
    return false;
}

char* copyName(const char* name)
{
    if (!name) return nullptr;
    size_t length = strnlen(name, kMaxNameLength);
    auto* copy = static_cast<char*>(std::malloc(length + 1));
    if (!copy) return nullptr;
    std::memcpy(copy, name, length);
    copy[length] = '\0';
    return copy;
}

} // namespace

Link::impl::impl(Link& link, const char* linkName) : owner(link), name(copyName(linkName)) {}

Link::impl::~impl()
{
    closeDelivery();
    stopWorker();
    if (linkId != 0) aLink_Destroy(&linkId);
    aLinkSpec_Destroy(&spec);
    std::free(name);
}

void Link::impl::storeSpec(const linkSpec& newSpec)
{
    aLinkSpec_Destroy(&spec);
    spec = aLinkSpec_Copy(&newSpec);
}

aErr Link::impl::discoveryAndConnectHelper(linkType type, uint32_t serialNumber, uint8_t model)
{
    linkSpec* found = nullptr;
    if (serialNumber != 0) {
        found = aDiscovery_FindModule(type, serialNumber, config.ipAddress);
    } else {
        found = aLinkSpec_Create(type);
        if (!found) return aErrResource;
        found->model = model;
        if (aDiscovery_EnumerateModules(type, cbModelCallback, found, config.ipAddress) == 0)
            aLinkSpec_Destroy(&found);
    }
    if (!found) return aErrNotFound;
    owner.setLinkSpecifier(*found);
    aLinkSpec_Destroy(&found);
    return owner.connect();
}

aErr Link::impl::connectHelper()
{
    if (!spec) {
        // A link borrowed by connectThroughLinkModule is no use of ours.
        linkId = 0;
        return aErrConfiguration;
    }
    linkSpec copy = *spec;
    aErr result = linkCreateHelper(copy);
    if (result != aErrNone) return result;
    if (linkId == 0) return aErrConnection;
    result = waitForLink(kConnectPolls);
    // A link that does not come up is given back: the next connect makes or
    // finds one anew.
    if (result != aErrNone) aLink_Destroy(&linkId);
    return result;
}

aErr Link::impl::linkCreateHelper(linkSpec& linkSpecifier)
{
    aKeyedSections<DeviceKey>::Section lock(linkCreateHelperSerializer(),
                                            DeviceKey(linkSpecifier.type, linkSpecifier.serialNumber));
    const bool direct = linkSpecifier.type == USB || linkSpecifier.type == TCPIP || linkSpecifier.type == SERIAL;
    if (direct && reuseSharedLink(linkSpecifier)) return aErrNone;
    switch (linkSpecifier.type) {
    case USB:
        linkId = aLink_CreateUSB(linkSpecifier.serialNumber);
        break;
    case TCPIP:
        linkId = aLink_CreateTCPIP(linkSpecifier.serialNumber, linkSpecifier.ipAddress,
                                   static_cast<uint16_t>(linkSpecifier.tcpPort));
        break;
    case SERIAL:
        // The name is used only when it ends within its field.
        if (!std::memchr(linkSpecifier.portName, '\0', sizeof linkSpecifier.portName)) {
            linkId = 0;
            return aErrFileNameLength;
        }
        linkId = aLink_CreateSerial(linkSpecifier.serialNumber, linkSpecifier.portName, linkSpecifier.baudRate);
        break;
    case AVORNE:
    case AVORNE_USB:
    case AVORNE_TCPIP:
    case AVORNE_SERIAL:
        return createSharedLink(linkSpecifier);
    default:
        // Nothing created: a link borrowed by connectThroughLinkModule is no use of ours.
        linkId = 0;
        return aErrMode;
    }
    if (linkId != 0 && config.enabled) serveDirectLink();
    return aErrNone;
}

aErr Link::impl::waitForLink(uint16_t polls)
{
    aLinkStatus status = aLink_GetStatus(linkId);
    switch (status) {
    case kLinkStatusRunning:
        return aErrNone;
    case kLinkStatusStopped:
    case kLinkStatusStarting:
    case kLinkStatusSyncing:
        for (uint16_t sleeps = 0; status != kLinkStatusRunning && sleeps < polls; sleeps++) {
            aTime_MSSleep(kPollMs);
            status = aLink_GetStatus(linkId);
        }
        return status == kLinkStatusRunning ? aErrNone : aErrConnection;
    case kLinkStatusStopping:
        return aErrBusy;
    case kLinkStatusNoStream:
    case kLinkStatusIOError:
    case kLinkStatusFault:
        return aErrConnection;
    default:
        return aErrDuplicate;
    }
}

Link::Link(const char* name) : m_impl(new impl(*this, name)) {}

Link::Link(linkSpec spec, const char* name) : Link(name)
{
    m_impl->storeSpec(spec);
}

Link::~Link()
{
    delete m_impl;
}

aErr Link::getConfig(aVorneConfig* config)
{
    if (!config) return aErrParam;
    *config = m_impl->config;
    return aErrNone;
}

aErr Link::setConfig(aVorneConfig config)
{
    if (isConnected()) return aErrMode;
    m_impl->config = config;
    return aErrNone;
}

aErr Link::getLinkSpecifier(linkSpec* spec)
{
    if (!m_impl->spec) return aErrNotFound;
    if (!spec) return aErrParam;
    std::memcpy(spec, m_impl->spec, sizeof(linkSpec));
    return aErrNone;
}

aErr Link::setLinkSpecifier(linkSpec spec)
{
    if (isConnected()) return aErrBusy;
    m_impl->storeSpec(spec);
    return aErrNone;
}

const char* Link::getName()
{
    return m_impl->name;
}

aErr Link::discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model)
{
    aErr result = m_impl->discoveryAndConnectHelper(type, serialNumber, model);
    if (_fallbackHelper(result, type, m_impl->config.fallback)) {
        linkType other = isAVORNE(type) ? USB : AVORNE;
        aDebug_Printf(aDEBUG_LINKS, "Executing Fallback - old type: %d - new type: %d\n", type, other);
        result = m_impl->discoveryAndConnectHelper(other, serialNumber, model);
    }
    return result;
}

aErr Link::connect()
{
    if (m_impl->linkId != 0) return aErrConnection;
    return m_impl->connectHelper();
}

aErr Link::connectThroughLinkModule(Link& other)
{
    if (!other.m_impl || other.m_impl->linkId == 0) return aErrInitialization;
    // Our own use comes from the creation below; one held already would be lost.
    if (m_impl->linkId != 0) return aErrConnection;
    m_impl->linkId = other.m_impl->linkId;
    return m_impl->connectHelper();
}

bool Link::isConnected()
{
    return m_impl->linkId != 0 && aLink_GetStatus(m_impl->linkId) == kLinkStatusRunning;
}

aLinkStatus Link::getStatus()
{
    if (m_impl->linkId == 0) return kLinkStatusFault;
    return aLink_GetStatus(m_impl->linkId);
}

aErr Link::disconnect()
{
    // Subscriptions and their cached values belong to the link they came
    // over: a later link has neither the filter nor the device's streams.
    // The logger of this link stops with it and closes its file.
    m_impl->closeDelivery();
    if (m_impl->linkId != 0) aLink_Destroy(&m_impl->linkId);
    m_impl->closing = false;
    return aErrNone;
}

aErr Link::reset()
{
    if (m_impl->linkId == 0) return aErrNone;
    aLink_Reset(m_impl->linkId);
    // The reset made the link afresh, without the stream filter and the
    // packet log of the Links that hold it.
    LinkPeers::restoreAfterReset(m_impl->linkId);
    return aErrNone;
}

} // namespace Tessaline
} // namespace Zentrova
