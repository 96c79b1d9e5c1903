#include "tests/sim/factory_data.h"

#include <algorithm>

namespace sim {

namespace {

constexpr uint8_t kFirstRead = 0x40;
constexpr uint8_t kWrite = 0x10;
constexpr uint8_t kFirstWrite = 0x50;
constexpr uint8_t kFinish = 0x20;
constexpr uint8_t kErrorBit = 0x80;
constexpr size_t kChunk = 26;
constexpr uint8_t kSizeMismatch = 14; // aErrSize

} // namespace

FactoryData::FactoryData(DeviceModel& device) : device_(device)
{
    device_.setCommandHandler(kFactoryCommand, [this](DeviceModel& model, const Packet& request) { handle(model, request); });
}

FactoryData::~FactoryData()
{
    device_.setCommandHandler(kFactoryCommand, {});
}

void FactoryData::setItem(uint8_t item, std::vector<uint8_t> contents)
{
    std::lock_guard<std::mutex> lock(mutex_);
    items_[item] = std::move(contents);
}

std::vector<uint8_t> FactoryData::item(uint8_t item) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = items_.find(item);
    return found != items_.end() ? found->second : std::vector<uint8_t>{};
}

void FactoryData::setFaults(const FactoryFaults& faults)
{
    std::lock_guard<std::mutex> lock(mutex_);
    faults_ = faults;
}

std::vector<uint16_t> FactoryData::finishes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return finishes_;
}

void FactoryData::handle(DeviceModel& device, const Packet& request)
{
    const std::vector<uint8_t>& q = request.data;
    if (q.size() < 2) return;
    const uint8_t address = device.config().address;
    const uint8_t item = q[1] & 0x0F;
    const uint8_t flags = q[1] & 0xF0;
    std::lock_guard<std::mutex> lock(mutex_);
    auto refuse = [&](uint8_t which, uint8_t code) {
        device.answer(Packet{address, {kFactoryCommand, static_cast<uint8_t>(which | kErrorBit), code}});
    };

    if (flags == kFinish) {
        if (q.size() != 4) return;
        uint16_t total = static_cast<uint16_t>(q[2] << 8 | q[3]);
        finishes_.push_back(total);
        if (faults_.silentFinish) return;
        if (faults_.finishError) return refuse(0, faults_.finishError);
        if (writing_) {
            writing_ = false;
            if (total != written_.size()) return refuse(0, kSizeMismatch);
            items_[current_] = written_;
        }
        device.answer(Packet{address, {kFactoryCommand, 0x00}});
        return;
    }
    if (flags == kFirstWrite || flags == kWrite) {
        if (faults_.writeError) return refuse(item, faults_.writeError);
        if (flags == kFirstWrite) {
            current_ = item;
            written_.clear();
            writing_ = true;
        }
        written_.insert(written_.end(), q.begin() + 2, q.end());
        std::vector<uint8_t> ack = {kFactoryCommand, item};
        if (faults_.longWriteAck) ack.push_back(0);
        device.answer(Packet{address, ack});
        return;
    }
    if (flags != kFirstRead && flags != 0) return;
    if (faults_.silentReads) return;
    if (faults_.readError) return refuse(item, faults_.readError);
    if (flags == kFirstRead) {
        current_ = item;
        position_ = 0;
    }
    const std::vector<uint8_t>& contents = items_[current_];
    size_t n = std::min(kChunk, contents.size() - std::min(position_, contents.size()));
    std::vector<uint8_t> reply = {kFactoryCommand, item};
    reply.insert(reply.end(), contents.begin() + position_, contents.begin() + position_ + n);
    position_ += n;
    device.answer(Packet{address, reply});
}

} // namespace sim
