// Module: connecting, auto-networking, module information and echo.
#include "device_api/Module.h"

#include <cstring>

#include "common/aDebug.h"
#include "common/aUEI.h"
#include "platform/aTime.h"

namespace Zentrova {
namespace Tessaline {

namespace {

constexpr uint8_t cmdMODULEINFO = 0x49;
constexpr uint8_t cmdDEBUG = 23;
constexpr uint8_t kInfoBuild = 0xFF;
constexpr uint8_t kInfoHasUEI = 1;
constexpr uint8_t kInfoClassQuantity = 4;
constexpr uint8_t kInfoSubClassQuantity = 5;
constexpr uint8_t kInfoEntityGroup = 6;
constexpr uint8_t kFlagGet = 0x40;
constexpr uint8_t kFlagSet = 0x80;
constexpr int kAddressTries = 4;
constexpr uint32_t kAddressRetryMs = 5;

// A reply of the command whose first bytes after it repeat the question's
// first echoLength bytes.
struct Reply {
    uint8_t command;
    const uint8_t* echo;
    uint8_t echoLength;
};

bool isReply(const aPacket* packet, const void* reference)
{
    auto* reply = static_cast<const Reply*>(reference);
    return packet->length >= 1 + reply->echoLength && packet->data[0] == reply->command &&
           (reply->echoLength == 0 || std::memcmp(packet->data + 1, reply->echo, reply->echoLength) == 0);
}

} // namespace

Module::Module(uint8_t address, uint8_t moduleModel) : Module(address, true, moduleModel) {}

Module::Module(uint8_t address, bool autoNetwork, uint8_t moduleModel)
    : link(new Link("Link")), moduleAddress(address), autoNetworking(autoNetwork), model(moduleModel)
{
}

Module::~Module()
{
    delete link;
}

aErr Module::_autoNetwork()
{
    if (!autoNetworking || !link) return aErrNone;
    uint8_t address = 0;
    aErr result = aErrNotReady;
    for (int tries = 0; result == aErrNotReady && tries < kAddressTries; tries++) {
        result = link->getModuleAddress(&address);
        if (result != aErrNone) aTime_MSSleep(kAddressRetryMs);
    }
    if (result != aErrNone) aDebug_Printf(aDEBUG_MODULES, "BOO! Failed to autoNetwork\n");
    if (address != 0 && address != moduleAddress) moduleAddress = address;
    return result;
}

aErr Module::connect(linkType type, uint32_t serialNumber)
{
    if (serialNumber == 0) return aErrParam;
    return discoverAndConnect(type, serialNumber);
}

aErr Module::discoverAndConnect(linkType type, uint32_t serialNumber)
{
    if (!link) return aErrInitialization;
    aErr result = link->discoverAndConnect(type, serialNumber, model);
    if (result != aErrNone) return result;
    return _autoNetwork();
}

aErr Module::connectFromSpec(linkSpec spec)
{
    if (!link) return aErrInitialization;
    if (link->isConnected()) return aErrBusy;
    link->setLinkSpecifier(spec);
    aErr result = link->connect();
    if (result != aErrNone) return result;
    result = _autoNetwork();
    aDebug_Printf(aDEBUG_MODULES, "Post autoNetwork err: %d\n", result);
    return result;
}

aErr Module::reconnect()
{
    if (!link) return aErrInitialization;
    aErr result = link->connect();
    if (result != aErrNone) return result;
    return _autoNetwork();
}

aErr Module::connectThroughLinkModule(Module* linkModule)
{
    if (!link) return aErrInitialization;
    if (link->isConnected()) return aErrNone;
    if (!linkModule) return aErrParam;
    linkSpec spec{};
    aErr result = linkModule->getLinkSpecifier(&spec);
    Link* routerLink = linkModule->getLink();
    if (!routerLink) return aErrInitialization;
    aVorneConfig config;
    if (result == aErrNone) {
        result = routerLink->getConfig(&config);
        if (result == aErrNone) result = setConfig(config);
    }
    if (result == aErrNone && config.enabled) {
        spec.type = AVORNE;
        spec.ipAddress = config.ipAddress;
        spec.tcpPort = config.tcpPort;
    }
    if (result != aErrNone) return result;
    link->setLinkSpecifier(spec);
    result = link->connectThroughLinkModule(*routerLink);
    if (result == aErrNone) autoNetworking = false;
    return result;
}

aErr Module::disconnect()
{
    if (!link) return aErrInitialization;
    return link->disconnect();
}

bool Module::isConnected()
{
    return link && link->isConnected();
}

aLinkStatus Module::getStatus()
{
    if (!link) return kLinkStatusFault;
    return link->getStatus();
}

aErr Module::getLinkSpecifier(linkSpec* spec)
{
    if (!link) return aErrNotReady;
    return link->getLinkSpecifier(spec);
}

aErr Module::getConfig(aVorneConfig* config)
{
    if (!link) return aErrNotReady;
    if (!config) return aErrParam;
    return link->getConfig(config);
}

aErr Module::setConfig(aVorneConfig config)
{
    if (!link) return aErrNotReady;
    return link->setConfig(config);
}

aErr Module::moduleInfo(const uint8_t* request, uint8_t requestLength, uint8_t echoLength, uint8_t* reply,
                        uint8_t* replyLength)
{
    if (!link || !link->isConnected()) return aErrConnection;
    // The module answers in order, so an answer of its still queued now is
    // one that an earlier question gave up on.
    const Reply anyInfo{cmdMODULEINFO, nullptr, 0};
    link->dropPackets(moduleAddress, isReply, &anyInfo);
    aErr result = link->sendPacket(moduleAddress, cmdMODULEINFO, requestLength, request);
    if (result != aErrNone) return result;
    // Other modules on the link (a router and the modules behind it) answer
    // their own questions on it: only this module's reply that repeats this
    // question answers it.
    const Reply wanted{cmdMODULEINFO, request, echoLength};
    return link->receivePacket(moduleAddress, isReply, &wanted, replyLength, reply);
}

aErr Module::getBuild(uint32_t* build)
{
    if (!build) return aErrParam;
    if (!link) return aErrInitialization;
    if (!link->isConnected()) return aErrConnection;
    const uint8_t request[] = {kInfoBuild};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t length = 0;
    aErr result = moduleInfo(request, sizeof request, sizeof request, reply, &length);
    if (result != aErrNone) return result;
    if (length != 6) return aErrSize;
    *build = aUEI_RetrieveInt(reply + 2);
    return aErrNone;
}

aErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags)
{
    if ((flags & 0x3F) != 0 || (flags & (kFlagGet | kFlagSet)) == (kFlagGet | kFlagSet)) return aErrParam;
    const uint8_t request[] = {kInfoHasUEI, command, option, index, flags};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t length = 0;
    // The reply repeats the question but for its flags, in whose place the answer stands.
    aErr result = moduleInfo(request, sizeof request, 4, reply, &length);
    if (result != aErrNone) return result;
    if (length != 6 || std::memcmp(reply + 1, request, 4) != 0) return aErrUnknown;
    return static_cast<aErr>(reply[5]);
}

aErr Module::askCount(const uint8_t* request, uint8_t requestLength, uint8_t* answer)
{
    if (!answer) return aErrParam;
    *answer = 0;
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t length = 0;
    aErr result = moduleInfo(request, requestLength, requestLength, reply, &length);
    if (result != aErrNone) return result;
    // The request comes back, followed by the answer byte.
    if (length != requestLength + 2 || std::memcmp(reply + 1, request, requestLength) != 0) return aErrUnknown;
    *answer = reply[requestLength + 1];
    return aErrNone;
}

aErr Module::classQuantity(uint8_t command, uint8_t* count)
{
    const uint8_t request[] = {kInfoClassQuantity, command};
    return askCount(request, sizeof request, count);
}

aErr Module::subClassQuantity(uint8_t command, uint8_t subclass, uint8_t* count)
{
    const uint8_t request[] = {kInfoSubClassQuantity, command, subclass};
    return askCount(request, sizeof request, count);
}

aErr Module::entityGroup(uint8_t command, uint8_t subclass, uint8_t* group)
{
    const uint8_t request[] = {kInfoEntityGroup, command, subclass};
    return askCount(request, sizeof request, group);
}

aErr Module::debug(const uint8_t* data, uint8_t length)
{
    if (!link || !link->isConnected()) return aErrConnection;
    const Reply echo{cmdDEBUG, nullptr, 0};
    link->dropPackets(moduleAddress, isReply, &echo);
    aErr result = link->sendPacket(moduleAddress, cmdDEBUG, length, data);
    if (result != aErrNone) return result;
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = 0;
    // Only this module's echo; one that changed the bytes is a failed echo.
    result = link->receivePacket(moduleAddress, isReply, &echo, &replyLength, reply);
    if (result != aErrNone) return result;
    if (replyLength != length + 1 || (length != 0 && std::memcmp(reply + 1, data, length) != 0)) return aErrIO;
    return aErrNone;
}

aErr Module::enablePacketLog(const char* path)
{
    if (!link) return aErrConfiguration;
    return link->enablePacketLog(path);
}

aErr Module::disablePacketLog()
{
    if (!link) return aErrConfiguration;
    return link->disablePacketLog();
}

} // namespace Tessaline
} // namespace Zentrova
