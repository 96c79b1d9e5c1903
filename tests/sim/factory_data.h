// The simulated device's factory data (command 0x5E): sixteen items read in
// replies of up to 26 bytes (a full reply means more follows) and written in
// requests of up to 26 bytes, each transfer ended by a finish request with
// the total byte count; with faults to ask for.
#pragma once

#include "tests/sim/device_model.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

namespace sim {

constexpr uint8_t kFactoryCommand = 0x5E;

struct FactoryFaults {
    uint8_t readError = 0;    // error reply to reads
    uint8_t writeError = 0;   // error reply to writes
    uint8_t finishError = 0;  // error reply to finish requests
    bool silentReads = false; // reads go unanswered
    bool silentFinish = false;
    bool longWriteAck = false; // write acknowledgements carry a stray byte
};

class FactoryData {
public:
    // The device must outlive this object, and its carrier must stop feeding
    // it before this object goes.
    explicit FactoryData(DeviceModel& device);
    ~FactoryData();
    FactoryData(const FactoryData&) = delete;
    FactoryData& operator=(const FactoryData&) = delete;

    void setItem(uint8_t item, std::vector<uint8_t> contents);
    // An item as the last finished write left it.
    std::vector<uint8_t> item(uint8_t item) const;
    void setFaults(const FactoryFaults& faults);
    // The totals of the finish requests received, in order.
    std::vector<uint16_t> finishes() const;

private:
    void handle(DeviceModel& device, const Packet& request);

    DeviceModel& device_;
    mutable std::mutex mutex_;
    std::map<uint8_t, std::vector<uint8_t>> items_;
    FactoryFaults faults_;
    // The transfer under way: the item, the read position or the bytes written.
    uint8_t current_ = 0;
    size_t position_ = 0;
    std::vector<uint8_t> written_;
    bool writing_ = false;
    std::vector<uint16_t> finishes_;
};

} // namespace sim
