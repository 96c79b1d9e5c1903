// The simulated device's module information (command 0x49): its build number,
// whether it supports an entity option, and its entity counts and groups,
// taken from its UEI entities unless set here.
#pragma once

#include "tests/sim/device_model.h"
#include "tests/sim/uei_entities.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <utility>

namespace sim {

constexpr uint8_t kModuleInfoCommand = 0x49;

class ModuleInfo {
public:
    // Both must outlive this object, and the carrier must stop feeding the
    // device before it goes.
    ModuleInfo(DeviceModel& device, const UeiEntities& entities, uint32_t build);
    ~ModuleInfo();
    ModuleInfo(const ModuleInfo&) = delete;
    ModuleInfo& operator=(const ModuleInfo&) = delete;

    // Answers in place of the entity count of the command.
    void setClassQuantity(uint8_t command, uint8_t count);
    void setSubClassQuantity(uint8_t command, uint8_t subclass, uint8_t count);
    void setEntityGroup(uint8_t command, uint8_t subclass, uint8_t group);

private:
    void handle(DeviceModel& device, const Packet& request);

    DeviceModel& device_;
    const UeiEntities& entities_;
    const uint32_t build_;
    std::mutex mutex_;
    std::map<uint8_t, uint8_t> classes_;
    std::map<std::pair<uint8_t, uint8_t>, uint8_t> subclasses_;
    std::map<std::pair<uint8_t, uint8_t>, uint8_t> groups_;
};

} // namespace sim
