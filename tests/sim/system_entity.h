// The simulated device's system entity (command 3, index 0): the identity a
// host reads (module address, router, version, model, serial number, build,
// protocol features, name) and the options it sets or calls (route to me,
// save, reset), as stored values of the device's UEI entities.
#pragma once

#include "tests/sim/device_model.h"
#include "tests/sim/uei_entities.h"

#include <cstdint>
#include <string>

namespace sim {

constexpr uint8_t kSystemCommand = 3;

struct SystemValues {
    uint8_t address = 0x02;
    uint8_t router = 0;
    uint32_t version = 0;
    uint8_t model = 0;
    uint32_t serialNumber = 0;
    uint32_t build = 0;
    uint32_t protocolFeatures = 0;
    std::string name;
};

// The values of a device's own configuration, the rest as given.
SystemValues systemValues(const DeviceConfig& config);

// Stores the values as options of the system entity; a later setValue of
// the entities may replace any of them.
void installSystemEntity(UeiEntities& entities, const SystemValues& values);

} // namespace sim
