// The simulated device's UEI entities: answers get, set and call requests of
// entity options (command, index, option) as a device does, byte arrays in
// chunks of 24 bytes with a sequence byte in both directions, and error
// replies with bit 7 of the specifier. Entity classes with raw sub-commands
// of their own (the I2C bus, the upgrade command) take the packets of their
// command that are no UEI request through a raw handler.
#pragma once

#include "tests/sim/device_model.h"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <tuple>
#include <vector>

namespace sim {

enum class UeiType { None, Byte, Short, Int, Bytes };

// A request as the device understood it.
struct UeiRequest {
    uint8_t module = 0;
    uint8_t command = 0;
    uint8_t option = 0; // without the get and set bits
    uint8_t index = 0;  // without the index flag
    bool set = false;   // set or call; else get
    // The bytes after the specifier (a subindex, a value); for a byte-array
    // set the payload of all its chunks.
    std::vector<uint8_t> value;
};

// What the device answers.
struct UeiAnswer {
    std::vector<uint8_t> value; // value bytes of the reply, big-endian
    bool chunked = false;       // value goes as byte-array chunks
    uint8_t error = 0;          // non-zero: an error reply with this code
    bool silent = false;        // no reply at all

    static UeiAnswer none() { return {}; }
    static UeiAnswer byte(uint8_t v) { return {{v}}; }
    static UeiAnswer shortValue(uint16_t v);
    static UeiAnswer intValue(uint32_t v);
    static UeiAnswer bytes(std::vector<uint8_t> v) { return {std::move(v), true}; }
    static UeiAnswer failure(uint8_t code) { return {{}, false, code}; }
    static UeiAnswer noReply() { return {{}, false, 0, true}; }
};

using UeiHandler = std::function<UeiAnswer(const UeiRequest&)>;

// Value bytes (big-endian) of a scalar, for stored values and checks.
std::vector<uint8_t> ueiBytes(UeiType type, uint32_t value);

class UeiEntities {
public:
    // The device must outlive this object, and its carrier must stop feeding
    // it before this object goes.
    explicit UeiEntities(DeviceModel& device);
    ~UeiEntities();
    UeiEntities(const UeiEntities&) = delete;
    UeiEntities& operator=(const UeiEntities&) = delete;

    // An option of entity (command, index): its value type (sets of a
    // byte-array option arrive as chunks) and what gets and sets answer; an
    // empty handler refuses that access with aErrPermission.
    void setOption(uint8_t command, uint8_t index, uint8_t option, UeiType type, UeiHandler get, UeiHandler set);
    // An option holding a value: a get answers it, a set replaces it and
    // answers without value.
    void setValue(uint8_t command, uint8_t index, uint8_t option, UeiType type, std::vector<uint8_t> value);
    std::vector<uint8_t> value(uint8_t command, uint8_t index, uint8_t option) const;
    // Packets of a command with UEI entities that are no UEI request.
    void setRawHandler(uint8_t command, DeviceModel::Handler handler);

    // Entities known: how many indexes of a command, and whether an option
    // exists with that access (flags 0, 0x40 get, 0x80 set): 0 when it does,
    // else the error a device gives.
    uint8_t entityCount(uint8_t command) const;
    uint8_t supports(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) const;

    // Every request answered (or refused), in order.
    std::vector<UeiRequest> requests() const;

private:
    using Key = std::tuple<uint8_t, uint8_t, uint8_t>; // command, index, option
    struct Option {
        UeiType type = UeiType::None;
        UeiHandler get;
        UeiHandler set;
    };
    // A byte-array set in progress.
    struct Transfer {
        std::vector<uint8_t> payload;
        uint8_t nextSequence = 0;
    };

    void handle(DeviceModel& device, const Packet& packet);
    void reply(DeviceModel& device, const UeiRequest& request, const UeiAnswer& answer);
    void installCommand(uint8_t command); // under mutex_
    // Adds a byte-array chunk to its transfer; true when the request is
    // complete or refused (answer holds the error). Under mutex_.
    bool takeChunk(const Key& key, UeiRequest& request, UeiAnswer& answer);
    // The error for an option that is not there. Under mutex_.
    uint8_t missingError(uint8_t command, uint8_t index) const;

    DeviceModel& device_;
    mutable std::mutex mutex_;
    std::map<Key, Option> options_;
    std::map<Key, std::vector<uint8_t>> values_;
    std::map<Key, Transfer> transfers_;
    std::map<uint8_t, DeviceModel::Handler> raw_;
    std::set<uint8_t> commands_;
    std::vector<UeiRequest> requests_;
};

} // namespace sim
