// Discovery of the devices attached over USB or TCP/IP, and of the modules
// behind a routing device on its I2C network, into DeviceInfo records.
#include "engine/Updater.h"

#include <cstddef>
#include <cstring>
#include <utility>

#include "common/aDefs.h"
#include "common/aVersion.h"
#include "device_api/I2CClass.h"
#include "device_api/Module.h"
#include "device_api/SystemClass.h"
#include "engine/Log.h"

using Zentrova::Tessaline::I2CClass;
using Zentrova::Tessaline::Module;
using Zentrova::Tessaline::SystemClass;

namespace {

// Every enumeration asks on every IPv4 interface but loop-back.
constexpr uint32_t kAllInterfaces = 0x0100007F;
constexpr uint8_t kModuleInfoCommand = 0x49;
constexpr uint8_t kInfoBuild = 0xFF;
constexpr uint8_t kBuildReplyLength = 6;
constexpr size_t kNameCapacity = 32;
// Module addresses probed behind a router: even, 2 to 252.
constexpr unsigned kFirstAddress = 2;
constexpr unsigned kLastAddress = 253;
constexpr uint8_t kI2CSpeed = 3;

bool _discovered_device(const linkSpec* found, bool* counted, void* reference)
{
    DeviceInfo info;
    info.spec = *found;
    static_cast<std::vector<DeviceInfo>*>(reference)->push_back(std::move(info));
    *counted = true;
    return true;
}

// The serial number wanted, and the link type it was found on.
using LinkSearch = std::pair<uint32_t, linkType>;

bool _discovered_link(const linkSpec* found, bool* counted, void* reference)
{
    LinkSearch* search = static_cast<LinkSearch*>(reference);
    *counted = true;
    if (found->serialNumber != search->first) return true;
    Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", found->serialNumber,
             static_cast<int>(found->type));
    search->second = found->type;
    return false;
}

linkType _discover_link_type(uint32_t serial)
{
    LinkSearch search{serial, INVALID};
    for (linkType type : {USB, TCPIP}) {
        aDiscovery_EnumerateModules(type, _discovered_link, &search, kAllInterfaces);
        if (search.second != INVALID) break;
    }
    return search.second;
}

bool isModuleInfo(const aPacket* packet, const void*)
{
    return packet->length >= 1 && packet->data[0] == kModuleInfoCommand;
}

// The firmware build number from the module information; 0 when it cannot be read.
uint32_t _get_build_number(Module& module)
{
    Zentrova::Tessaline::Link* link = module.getLink();
    const uint8_t address = module.getModuleAddress();
    // An answer still queued belongs to an earlier question that gave up on it.
    if (link) link->dropPackets(address, isModuleInfo, nullptr);
    if (!link || link->sendPacket(address, kModuleInfoCommand, 1, &kInfoBuild) != aErrNone) return 0;
    const uint8_t match[] = {kModuleInfoCommand, kInfoBuild};
    uint8_t length = sizeof match;
    uint8_t reply[aPACKET_MAX_DATA];
    if (link->receivePacket(address, match, &length, reply) != aErrNone || length != kBuildReplyLength) return 0;
    return uint32_t(reply[2]) << 24 | uint32_t(reply[3]) << 16 | uint32_t(reply[4]) << 8 | reply[5];
}

// Version, module address and router address as the device reports them.
aErr _get_version(Module& module, DeviceInfo& info)
{
    SystemClass system;
    system.init(&module, 0);
    aPackedVersion version = 0;
    aErr result = system.getVersion(&version);
    if (result != aErrNone) return result;
    info.major = aVersion_ParseMajor(version);
    info.minor = aVersion_ParseMinor(version);
    info.patch = aVersion_ParsePatch(version);
    uint8_t address = 0;
    if ((result = system.getModule(&address)) != aErrNone) return result;
    info.spec.moduleAddress = address;
    if ((result = system.getRouter(&address)) != aErrNone) return result;
    info.spec.routerAddress = address;
    return aErrNone;
}

// The device's own name; firmware before 2.10.4 has none.
aErr _get_device_name(Module& module, DeviceInfo& info)
{
    if (!aVersion_IsAtLeastCompare(info.major, info.minor, static_cast<uint8_t>(info.patch), 2, 10, 4))
        return aErrNone;
    SystemClass system;
    system.init(&module, 0);
    uint8_t name[kNameCapacity];
    size_t received = 0;
    aErr result = system.getName(name, sizeof name, &received);
    if (result == aErrNone) info.name.assign(reinterpret_cast<const char*>(name), received);
    return result;
}

// Connects to one discovered device and fills its record.
void _read_device(UpdaterDisplayInterface& display, DeviceInfo& info)
{
    info.modelName = aDefs_GetModelName(info.spec.model);
    Module module(2, 0);
    if ((info.error = _disableVorne(module, display)) != aErrNone) return;
    if ((info.error = module.connectFromSpec(info.spec)) != aErrNone) {
        module.disconnect();
        return;
    }
    info.build = _get_build_number(module);
    if ((info.error = _get_version(module, info)) == aErrNone) info.error = _get_device_name(module, info);
    module.disconnect();
}

// The record of the module that answers at address behind the router, or
// false when none can be reached there.
bool _read_routed_module(UpdaterDisplayInterface& display, Module& router, const linkSpec& routerSpec,
                         unsigned routerSerial, uint8_t address, DeviceInfo& info)
{
    Log::log(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", address);
    Module module(address, false, 0);
    _disableVorne(module, display); // joining the router's link copies its configuration anyway
    if (module.connectThroughLinkModule(&router) != aErrNone) return false;
    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0;
    if (system.getSerialNumber(&serial) != aErrNone) {
        module.disconnect();
        return false;
    }
    Log::log(DEBUG_Updater, "Got Serial [0x%08X]\n", serial);
    // The transport part of the router's specifier: how the router is reached.
    constexpr size_t kTransport = offsetof(linkSpec, ipAddress);
    std::memcpy(reinterpret_cast<uint8_t*>(&info.spec) + kTransport,
                reinterpret_cast<const uint8_t*>(&routerSpec) + kTransport, sizeof(linkSpec) - kTransport);
    info.spec.type = routerSpec.type; // the transport the router was found on
    info.spec.serialNumber = serial;
    info.spec.routerAddress = router.getModuleAddress();
    info.spec.routerSerialNumber = routerSerial;
    info.networkAddress = address;
    info.build = _get_build_number(module);
    info.error = _get_version(module, info);
    uint8_t model = 0;
    aErr result = system.getModel(&model);
    if (result == aErrNone) {
        info.spec.model = model;
        info.modelName = aDefs_GetModelName(model);
    } else {
        info.error = result;
    }
    module.disconnect();
    return true;
}

} // namespace

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type)
{
    std::vector<DeviceInfo> records;
    const std::vector<linkType> transports = type == INVALID ? std::vector<linkType>{USB, TCPIP}
                                                             : std::vector<linkType>{type};
    for (linkType transport : transports)
        aDiscovery_EnumerateModules(transport, _discovered_device, &records, kAllInterfaces);
    for (DeviceInfo& info : records) _read_device(display, info);
    return records;
}

std::vector<DeviceInfo> Updater::Discover_TLNetwork_Devices(unsigned int routerSerial, linkType type)
{
    std::vector<DeviceInfo> records;
    if (type == INVALID) type = _discover_link_type(routerSerial);
    linkSpec* found = type == INVALID ? nullptr : aDiscovery_FindModule(type, routerSerial, kAllInterfaces);
    if (!found) return records;
    const linkSpec routerSpec = *found;
    aLinkSpec_Destroy(&found);
    Log::log(DEBUG_Updater, "Found Link Module\n");

    Module router(2, 0);
    if (_disableVorne(router, display) != aErrNone) return records;
    aErr result = router.connectFromSpec(routerSpec);
    if (result != aErrNone) {
        display.message(UpdaterDisplayInterface::ERROR, "Error %d on connectFromSpec", result);
        return records;
    }
    SystemClass routerSystem;
    routerSystem.init(&router, 0);
    if ((result = routerSystem.routeToMe(1)) != aErrNone) {
        display.message(UpdaterDisplayInterface::ERROR, "Error %d on route to me", result);
        router.disconnect();
        return records;
    }
    I2CClass bus;
    bus.init(&router, 0);
    bus.setSpeed(kI2CSpeed);

    const uint8_t probe[] = {0, 0};
    for (unsigned address = kFirstAddress; address <= kLastAddress; address += 2) {
        if (address == router.getModuleAddress()) continue;
        Log::log(DEBUG_Updater, "Searching Address 0x%02x\n", address);
        if (bus.write(static_cast<uint8_t>(address), sizeof probe, probe) != aErrNone) continue;
        DeviceInfo info;
        if (_read_routed_module(display, router, routerSpec, routerSerial, static_cast<uint8_t>(address), info))
            records.push_back(std::move(info));
    }
    routerSystem.routeToMe(0);
    router.disconnect();
    return records;
}
