// The simulated device's stores (command 4): slots with a capacity and
// contents, opened for reading or writing through a handle, read and written
// in chunks of up to 25 bytes (each write acknowledged with the 8-bit sum of
// its bytes) and closed; with faults to ask for.
#pragma once

#include "tests/sim/device_model.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace sim {

constexpr uint8_t kStoreCommand = 4;

struct StoreFaults {
    uint8_t sizeError = 0;    // error reply to size and capacity requests
    uint8_t openError = 0;    // error reply to opens
    bool noHandle = false;    // opens answer handle 255
    bool silentOpen = false;  // opens go unanswered
    int wrongSumAt = -1;      // the write acknowledgement with this index (from 0) carries a wrong sum
    uint8_t writeError = 0;   // error reply to writes
    uint8_t readError = 0;    // error reply to reads
    bool silentReads = false; // reads go unanswered
    uint8_t closeError = 0;   // error reply to closes
    bool silentClose = false; // closes go unanswered
};

class StoreSlots {
public:
    // The device must outlive this object, and its carrier must stop feeding
    // it before this object goes.
    explicit StoreSlots(DeviceModel& device);
    ~StoreSlots();
    StoreSlots(const StoreSlots&) = delete;
    StoreSlots& operator=(const StoreSlots&) = delete;

    // A slot of that capacity with those contents.
    void setSlot(uint8_t store, uint8_t slot, uint16_t capacity, std::vector<uint8_t> contents = {});
    std::vector<uint8_t> contents(uint8_t store, uint8_t slot) const;
    // Faults from now on; write acknowledgements are counted afresh.
    void setFaults(const StoreFaults& faults);
    // Handles opened and not closed.
    size_t openHandles() const;

private:
    struct Slot {
        uint16_t capacity = 0;
        std::vector<uint8_t> contents;
    };
    struct Handle {
        std::pair<uint8_t, uint8_t> slot;
        bool writing = false;
        size_t position = 0;
    };

    void handle(DeviceModel& device, const Packet& request);
    void handleSlotRequest(DeviceModel& device, const std::vector<uint8_t>& q); // under mutex_
    void handleTransfer(DeviceModel& device, const std::vector<uint8_t>& q);    // under mutex_

    DeviceModel& device_;
    mutable std::mutex mutex_;
    std::map<std::pair<uint8_t, uint8_t>, Slot> slots_;
    std::map<uint8_t, Handle> handles_;
    StoreFaults faults_;
    uint8_t nextHandle_ = 1;
    int writes_ = 0;
};

} // namespace sim
