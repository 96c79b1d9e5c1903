// The simulated device's streamed values: its stream-control entity (command
// 93, index 0), which takes subscriptions (option 1 set), drops them (option
// 2 set) and tells whether the device streams (option 1 get), and the sample
// packets the device sends unasked.
#pragma once

#include "tests/sim/device_model.h"
#include "tests/sim/uei_entities.h"

#include <cstdint>
#include <mutex>
#include <vector>

namespace sim {

constexpr uint8_t kStreamCommand = 93;

// Kinds of sample: a value of 1, 2 or 4 bytes, alone or with a subindex.
enum class SampleKind : uint8_t { U8 = 1, U16 = 2, U32 = 3, SubU8 = 5, SubU16 = 6, SubU32 = 7 };

// The data bytes of a sample: command, option, index | 0x40, kind,
// [subindex], time high, time low, value, sequence byte 0.
std::vector<uint8_t> streamSample(uint8_t command, uint8_t option, uint8_t index, SampleKind kind, uint32_t value,
                                  uint64_t timestamp = 0, uint8_t subindex = 0);

class StreamControl {
public:
    // The entities must outlive this object.
    explicit StreamControl(UeiEntities& entities);

    // Non-zero: subscriptions and their ends are refused with this code.
    void refuseWith(uint8_t code);
    void setStreaming(uint8_t streaming);
    // The 32-bit keys (module, command, option, index) of the enables and
    // disables received, in order.
    std::vector<uint32_t> enables() const;
    std::vector<uint32_t> disables() const;

private:
    UeiAnswer take(std::vector<uint32_t>& list, const UeiRequest& request);

    mutable std::mutex mutex_;
    uint8_t refusal_ = 0;
    uint8_t streaming_ = 0;
    std::vector<uint32_t> enables_;
    std::vector<uint32_t> disables_;
};

} // namespace sim
