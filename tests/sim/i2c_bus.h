// The simulated device's I2C buses (command 8): devices on a bus hold bytes
// that reads return and writes replace; a transfer to an address with no
// device, or one told to fail, answers with an error status.
#pragma once

#include "tests/sim/device_model.h"
#include "tests/sim/uei_entities.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace sim {

constexpr uint8_t kI2cCommand = 8;

class I2cBus {
public:
    // The entities must outlive this object.
    explicit I2cBus(UeiEntities& entities);

    // A device at the 8-bit address (bit 0 clear) of a bus, holding bytes.
    void addDevice(uint8_t bus, uint8_t address, std::vector<uint8_t> bytes);
    std::vector<uint8_t> bytes(uint8_t bus, uint8_t address) const;
    // Non-zero: every transfer answers this status (bit 7 marks an error).
    void setStatus(uint8_t status);
    // The speed code and pull-up state of the last request on a bus.
    uint8_t lastSpeed(uint8_t bus) const;
    int pullup(uint8_t bus) const; // -1 never set

private:
    void handle(DeviceModel& device, const Packet& request);

    mutable std::mutex mutex_;
    std::map<std::pair<uint8_t, uint8_t>, std::vector<uint8_t>> devices_;
    std::map<uint8_t, uint8_t> speeds_;
    std::map<uint8_t, int> pullups_;
    uint8_t status_ = 0;
};

} // namespace sim
