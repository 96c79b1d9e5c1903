#include "tests/sim/i2c_bus.h"

#include <algorithm>

namespace sim {

namespace {

constexpr uint8_t kPullupAddress = 1;
constexpr uint8_t kNoDevice = 0x80 | 28; // an error status: no such device

} // namespace

I2cBus::I2cBus(UeiEntities& entities)
{
    entities.setRawHandler(kI2cCommand, [this](DeviceModel& device, const Packet& request) { handle(device, request); });
}

void I2cBus::addDevice(uint8_t bus, uint8_t address, std::vector<uint8_t> bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    devices_[{bus, address}] = std::move(bytes);
}

std::vector<uint8_t> I2cBus::bytes(uint8_t bus, uint8_t address) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = devices_.find({bus, address});
    return found == devices_.end() ? std::vector<uint8_t>{} : found->second;
}

void I2cBus::setStatus(uint8_t status)
{
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = status;
}

uint8_t I2cBus::lastSpeed(uint8_t bus) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = speeds_.find(bus);
    return found == speeds_.end() ? 0 : found->second;
}

int I2cBus::pullup(uint8_t bus) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = pullups_.find(bus);
    return found == pullups_.end() ? -1 : found->second;
}

// Requests: [8, bus, 1, on] pull-ups; [8, bus, address | 1, count, speed]
// read; [8, bus, address, count, speed, data...] write.
void I2cBus::handle(DeviceModel& device, const Packet& request)
{
    const std::vector<uint8_t>& data = request.data;
    if (data.size() < 4) return;
    const uint8_t bus = data[1];
    const uint8_t address = data[2];
    std::vector<uint8_t> reply{kI2cCommand, bus, address};
    std::lock_guard<std::mutex> lock(mutex_);
    if (address == kPullupAddress) {
        pullups_[bus] = data[3];
        reply.push_back(data[3]);
        reply.push_back(status_);
    } else if (data.size() >= 5) {
        speeds_[bus] = data[4];
        auto found = devices_.find({bus, static_cast<uint8_t>(address & 0xFE)});
        uint8_t status = status_ ? status_ : found == devices_.end() ? kNoDevice : 0;
        if (address & 1) {
            const uint8_t count = data[3];
            reply.push_back(count);
            reply.push_back(status);
            if (status == 0)
                for (uint8_t i = 0; i < count && i < found->second.size(); i++) reply.push_back(found->second[i]);
        } else {
            reply.push_back(0);
            reply.push_back(status);
            if (status == 0) found->second.assign(data.begin() + 5, data.end());
        }
    } else {
        return;
    }
    device.answer(Packet{device.config().address, reply});
}

} // namespace sim
