#include "tests/sim/system_entity.h"

namespace sim {

namespace {

enum : uint8_t {
    kModule = 1,
    kRouter = 2,
    kVersion = 7,
    kModel = 8,
    kSerialNumber = 9,
    kSave = 10,
    kReset = 11,
    kRouteToMe = 20,
    kName = 32,
    kBuild = 43,
    kProtocolFeatures = 45,
};

} // namespace

SystemValues systemValues(const DeviceConfig& config)
{
    SystemValues values;
    values.address = config.address;
    values.model = config.model;
    values.serialNumber = config.serialNumber;
    return values;
}

void installSystemEntity(UeiEntities& entities, const SystemValues& values)
{
    auto put = [&](uint8_t option, UeiType type, uint32_t value) {
        entities.setValue(kSystemCommand, 0, option, type, ueiBytes(type, value));
    };
    put(kModule, UeiType::Byte, values.address);
    put(kRouter, UeiType::Byte, values.router);
    put(kVersion, UeiType::Int, values.version);
    put(kModel, UeiType::Byte, values.model);
    put(kSerialNumber, UeiType::Int, values.serialNumber);
    put(kBuild, UeiType::Int, values.build);
    put(kProtocolFeatures, UeiType::Int, values.protocolFeatures);
    put(kRouteToMe, UeiType::Byte, 0);
    entities.setValue(kSystemCommand, 0, kSave, UeiType::None, {});
    entities.setValue(kSystemCommand, 0, kReset, UeiType::None, {});
    entities.setValue(kSystemCommand, 0, kName, UeiType::Bytes, {values.name.begin(), values.name.end()});
}

} // namespace sim
