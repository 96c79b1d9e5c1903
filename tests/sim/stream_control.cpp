#include "tests/sim/stream_control.h"

namespace sim {

namespace {

constexpr uint8_t kStreamIndexBit = 0x40;
constexpr uint8_t kEnableOption = 1;
constexpr uint8_t kDisableOption = 2;
constexpr uint8_t kErrPacket = 24;

void appendInt(std::vector<uint8_t>& out, uint32_t value)
{
    std::vector<uint8_t> bytes = ueiBytes(UeiType::Int, value);
    out.insert(out.end(), bytes.begin(), bytes.end());
}

} // namespace

std::vector<uint8_t> streamSample(uint8_t command, uint8_t option, uint8_t index, SampleKind kind, uint32_t value,
                                  uint64_t timestamp, uint8_t subindex)
{
    const auto code = static_cast<uint8_t>(kind);
    std::vector<uint8_t> data{command, option, static_cast<uint8_t>(index | kStreamIndexBit), code};
    if (code >= 5) data.push_back(subindex);
    appendInt(data, static_cast<uint32_t>(timestamp >> 32));
    appendInt(data, static_cast<uint32_t>(timestamp));
    UeiType type = code % 4 == 1 ? UeiType::Byte : code % 4 == 2 ? UeiType::Short : UeiType::Int;
    std::vector<uint8_t> bytes = ueiBytes(type, value);
    data.insert(data.end(), bytes.begin(), bytes.end());
    data.push_back(0x00);
    return data;
}

StreamControl::StreamControl(UeiEntities& entities)
{
    auto streaming = [this](const UeiRequest&) {
        std::lock_guard<std::mutex> lock(mutex_);
        return UeiAnswer::byte(streaming_);
    };
    entities.setOption(kStreamCommand, 0, kEnableOption, UeiType::Int, streaming,
                       [this](const UeiRequest& request) { return take(enables_, request); });
    entities.setOption(kStreamCommand, 0, kDisableOption, UeiType::Int, nullptr,
                       [this](const UeiRequest& request) { return take(disables_, request); });
}

UeiAnswer StreamControl::take(std::vector<uint32_t>& list, const UeiRequest& request)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (refusal_) return UeiAnswer::failure(refusal_);
    if (request.value.size() != 4) return UeiAnswer::failure(kErrPacket);
    uint32_t key = 0;
    for (uint8_t byte : request.value) key = key << 8 | byte;
    list.push_back(key);
    return UeiAnswer::none();
}

void StreamControl::refuseWith(uint8_t code)
{
    std::lock_guard<std::mutex> lock(mutex_);
    refusal_ = code;
}

void StreamControl::setStreaming(uint8_t streaming)
{
    std::lock_guard<std::mutex> lock(mutex_);
    streaming_ = streaming;
}

std::vector<uint32_t> StreamControl::enables() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return enables_;
}

std::vector<uint32_t> StreamControl::disables() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return disables_;
}

} // namespace sim
