#include "tests/sim/store_slots.h"

#include <algorithm>
#include <numeric>

namespace sim {

namespace {

constexpr uint8_t kCapacity = 1;
constexpr uint8_t kSize = 2;
constexpr uint8_t kOpenRead = 3;
constexpr uint8_t kOpenWrite = 4;
constexpr uint8_t kRead = 6;
constexpr uint8_t kWrite = 7;
constexpr uint8_t kClose = 8;
constexpr uint8_t kErrorBit = 0x80;
constexpr uint8_t kNoHandle = 255;
constexpr size_t kChunk = 25;
// Device codes for a slot or handle it does not know.
constexpr uint8_t kUnknownSlot = 3;   // not found
constexpr uint8_t kFull = 15;         // overrun

} // namespace

StoreSlots::StoreSlots(DeviceModel& device) : device_(device)
{
    device_.setCommandHandler(kStoreCommand, [this](DeviceModel& model, const Packet& request) { handle(model, request); });
}

StoreSlots::~StoreSlots()
{
    device_.setCommandHandler(kStoreCommand, {});
}

void StoreSlots::setSlot(uint8_t store, uint8_t slot, uint16_t capacity, std::vector<uint8_t> contents)
{
    std::lock_guard<std::mutex> lock(mutex_);
    slots_[{store, slot}] = Slot{capacity, std::move(contents)};
}

std::vector<uint8_t> StoreSlots::contents(uint8_t store, uint8_t slot) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = slots_.find({store, slot});
    return found != slots_.end() ? found->second.contents : std::vector<uint8_t>{};
}

void StoreSlots::setFaults(const StoreFaults& faults)
{
    std::lock_guard<std::mutex> lock(mutex_);
    faults_ = faults;
    writes_ = 0;
}

size_t StoreSlots::openHandles() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return handles_.size();
}

void StoreSlots::handle(DeviceModel& device, const Packet& request)
{
    const std::vector<uint8_t>& q = request.data;
    if (q.size() < 3) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (q[1] >= kCapacity && q[1] <= kOpenWrite)
        handleSlotRequest(device, q);
    else
        handleTransfer(device, q);
}

// Capacity, size and the two opens: [4, sub, store, slot].
void StoreSlots::handleSlotRequest(DeviceModel& device, const std::vector<uint8_t>& q)
{
    if (q.size() != 4) return;
    const uint8_t address = device.config().address;
    auto refuse = [&](uint8_t code) {
        device.answer(Packet{address, {kStoreCommand, static_cast<uint8_t>(q[1] | kErrorBit), q[2], q[3], code}});
    };
    std::vector<uint8_t> reply(q.begin(), q.end());
    auto found = slots_.find({q[2], q[3]});
    bool opening = q[1] == kOpenRead || q[1] == kOpenWrite;
    if (opening && faults_.silentOpen) return;
    if (opening && faults_.openError) return refuse(faults_.openError);
    if (!opening && faults_.sizeError) return refuse(faults_.sizeError);
    if (found == slots_.end()) return refuse(kUnknownSlot);
    if (!opening) {
        uint16_t value = q[1] == kCapacity ? found->second.capacity : static_cast<uint16_t>(found->second.contents.size());
        reply.push_back(static_cast<uint8_t>(value >> 8));
        reply.push_back(static_cast<uint8_t>(value));
    } else if (faults_.noHandle) {
        reply.push_back(kNoHandle);
    } else {
        uint8_t handle = nextHandle_++;
        if (nextHandle_ == kNoHandle) nextHandle_ = 1;
        handles_[handle] = Handle{found->first, q[1] == kOpenWrite, 0};
        if (q[1] == kOpenWrite) found->second.contents.clear();
        reply.push_back(handle);
    }
    device.answer(Packet{address, reply});
}

// Read, write and close: [4, sub, handle, ...].
void StoreSlots::handleTransfer(DeviceModel& device, const std::vector<uint8_t>& q)
{
    const uint8_t address = device.config().address;
    const uint8_t sub = q[1];
    auto refuse = [&](uint8_t code) {
        device.answer(Packet{address, {kStoreCommand, static_cast<uint8_t>(sub | kErrorBit), q[2], code}});
    };
    auto open = handles_.find(q[2]);
    if (sub == kClose) {
        if (faults_.silentClose) return;
        if (faults_.closeError) return refuse(faults_.closeError);
        if (open == handles_.end()) return refuse(kUnknownSlot);
        handles_.erase(open);
        device.answer(Packet{address, {kStoreCommand, kClose, q[2], 0}});
        return;
    }
    if (open == handles_.end()) return refuse(kUnknownSlot);
    Slot& slot = slots_[open->second.slot];
    if (sub == kWrite) {
        if (faults_.writeError) return refuse(faults_.writeError);
        if (slot.contents.size() + q.size() - 3 > slot.capacity) return refuse(kFull);
        slot.contents.insert(slot.contents.end(), q.begin() + 3, q.end());
        uint8_t sum = std::accumulate(q.begin() + 3, q.end(), uint8_t(0), [](uint8_t a, uint8_t b) { return uint8_t(a + b); });
        if (writes_++ == faults_.wrongSumAt) sum = static_cast<uint8_t>(sum + 1);
        device.answer(Packet{address, {kStoreCommand, kWrite, q[2], sum}});
    } else if (sub == kRead) {
        if (faults_.silentReads) return;
        if (faults_.readError) return refuse(faults_.readError);
        size_t& position = open->second.position;
        size_t n = std::min(kChunk, slot.contents.size() - std::min(position, slot.contents.size()));
        std::vector<uint8_t> reply = {kStoreCommand, kRead, q[2]};
        reply.insert(reply.end(), slot.contents.begin() + position, slot.contents.begin() + position + n);
        position += n;
        device.answer(Packet{address, reply});
    }
}

} // namespace sim
