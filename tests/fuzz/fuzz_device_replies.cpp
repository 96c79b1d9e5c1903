// test-labels: integration netns threaded
// A device's replies to the device API's entity requests and to the host
// side of the upgrade command. A get hands out the value of a reply of its
// type, and an error reply's code; a set fails with that code. Whatever
// counts, statuses and lengths the device answers the upgrade with, a block
// transfer that the host validates succeeds only when the device took
// exactly the image's bytes, in order; a prepare hands out the block size
// the device sent (0 when its success carries none). The scripted device
// behind TCP on the loop-back interface answers each request once, from the
// input: the count of a data request, the status and sum of a check (the sum
// of what it took, or another), an entity reply's error flag and value
// bytes, the bytes of other replies.
#include "common/aUEI.h"
#include "device_api/Entity.h"
#include "device_api/Module.h"
#include "engine/UpdaterEntity.h"
#include "tests/fuzz/support.h"
#include "tests/sim/device_model.h"
#include "tests/sim/tcp_carrier.h"

#include <arpa/inet.h>

#include <mutex>
#include <numeric>

using namespace Zentrova::Tessaline;

namespace {

constexpr uint8_t kModule = 0x02;
// The entity class the device answers UEI requests of.
constexpr uint8_t kEntity = 0x12;

// Answers upgrade requests from the script; keeps the image bytes it took.
class ScriptedDevice {
public:
    ScriptedDevice() : carrier_(device_)
    {
        device_.setCommandHandler(cmdUPGRADE, [this](sim::DeviceModel& device, const sim::Packet& request) {
            device.answer(answerTo(request));
        });
        device_.setCommandHandler(kEntity, [this](sim::DeviceModel& device, const sim::Packet& request) {
            device.answer(entityAnswerTo(request));
        });
    }

    uint16_t port() const { return carrier_.port(); }
    void start(const fuzz::Bytes& script)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        script_ = script;
        position_ = 0;
        taken_.clear();
    }
    fuzz::Bytes taken()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return taken_;
    }
    fuzz::Bytes lastReply()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return lastReply_;
    }

private:
    uint8_t next() { return position_ < script_.size() ? script_[position_++] : 0; }

    // [command, option (get: bare, set: with 0xC0), index (0x80 on error), value].
    sim::Packet entityAnswerTo(const sim::Packet& request)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const uint8_t option = request.data[1];
        const uint8_t replyOption = option & 0x80 ? uint8_t((option & 0x3F) | 0xC0) : uint8_t(option & 0x3F);
        const uint8_t choice = next();
        sim::Packet reply{kModule, {kEntity, replyOption, uint8_t((request.data[2] & 0x1F) | (choice & 0x80))}};
        for (uint8_t n = choice % 5; n > 0; --n) reply.data.push_back(next());
        lastReply_ = reply.data;
        return reply;
    }

    sim::Packet answerTo(const sim::Packet& request)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const uint8_t option = request.data.size() > 1 ? request.data[1] : 0;
        sim::Packet reply{kModule, {cmdUPGRADE, option}};
        const uint8_t choice = next();
        switch (option) {
        case val_UPGRADE_DATA: {
            // The count taken: mostly right, else the script's.
            const uint8_t k = uint8_t(request.data.size() - 2);
            const uint8_t count = choice & 1 ? next() : k;
            if (count == k) taken_.insert(taken_.end(), request.data.begin() + 2, request.data.end());
            reply.data.push_back(count);
            break;
        }
        case val_UPGRADE_SUM: {
            uint32_t sum = std::accumulate(taken_.begin(), taken_.end(), 0u);
            if (choice & 1) sum = uint32_t(next()) << 24 | uint32_t(next()) << 16 | uint32_t(next()) << 8 | next();
            reply.data = {cmdUPGRADE, val_UPGRADE_STATUS, uint8_t(choice & 2 ? next() : 0), uint8_t(sum >> 24),
                          uint8_t(sum >> 16), uint8_t(sum >> 8), uint8_t(sum)};
            reply.data.resize(std::min<size_t>(reply.data.size(), 3 + choice % 8));
            break;
        }
        default:
            if (option == val_UPGRADE_PREPARE || option == val_UPGRADE_WRITE) reply.data[1] = val_UPGRADE_STATUS;
            for (uint8_t n = choice % (sim::kMaxPacketData - 1); n > 0; --n) reply.data.push_back(next());
            break;
        }
        lastReply_ = reply.data;
        return reply;
    }

    sim::DeviceModel device_{sim::DeviceConfig{kModule, 0, 0x00C0FFEE}};
    sim::TcpCarrier carrier_;
    std::mutex mutex_;
    fuzz::Bytes script_;
    size_t position_ = 0;
    fuzz::Bytes taken_;
    fuzz::Bytes lastReply_;
};

struct Connection {
    ScriptedDevice device;
    Module module{kModule, uint8_t{0}};
    Connection()
    {
        aVorneConfig config;
        config.enabled = 0;
        config.fallback = 0;
        FUZZ_CHECK(module.setConfig(config) == aErrNone);
        linkSpec spec{};
        spec.type = TCPIP;
        spec.serialNumber = 0x00C0FFEE;
        spec.moduleAddress = kModule;
        spec.ipAddress = htonl(INADDR_LOOPBACK);
        spec.tcpPort = device.port();
        FUZZ_CHECK(module.connectFromSpec(spec) == aErrNone);
    }
};

// The result an entity request must have after the reply: the device's code
// of an error reply (unknown without one), else none.
aErr expectedResult(const fuzz::Bytes& reply)
{
    if (!(reply[2] & 0x80)) return aErrNone;
    return reply.size() >= 4 && reply[3] ? aErr(reply[3]) : aErrUnknown;
}

void entityRequest(Module& module, uint8_t operation, ScriptedDevice& device)
{
    EntityClass entity;
    entity.init(&module, kEntity, operation >> 5);
    const uint8_t option = (operation >> 2) & 7;
    aErr result = aErrNone;
    switch (operation & 3) {
    case 0: {
        uint8_t value = 0;
        result = entity.getUEI8(option, &value);
        const fuzz::Bytes reply = device.lastReply();
        if (result == aErrNone && reply.size() == 4) FUZZ_CHECK(value == reply[3]);
        break;
    }
    case 1: {
        uint16_t value = 0;
        result = entity.getUEI16(option, &value);
        const fuzz::Bytes reply = device.lastReply();
        if (result == aErrNone && reply.size() == 5) FUZZ_CHECK(value == aUEI_RetrieveShort(reply.data() + 3));
        break;
    }
    case 2: {
        uint32_t value = 0;
        result = entity.getUEI32(option, &value);
        const fuzz::Bytes reply = device.lastReply();
        if (result == aErrNone && reply.size() == 7) FUZZ_CHECK(value == aUEI_RetrieveInt(reply.data() + 3));
        break;
    }
    default: result = entity.setUEI32(option, 0x12345678); break;
    }
    FUZZ_CHECK(result == expectedResult(device.lastReply()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Connection* connection = new Connection;
    fuzz::Input input(data, size);
    const uint8_t operation = input.byte();
    fuzz::Bytes payload{0x60, 0x00, 0x10, 0x00};
    const fuzz::Bytes image = input.bytes(input.byte());
    payload.insert(payload.end(), image.begin(), image.end());
    connection->device.start(input.rest());

    if (operation & 0x80) {
        entityRequest(connection->module, operation, connection->device);
        return 0;
    }
    UpdaterEntity entity;
    entity.init(&connection->module, 0, true, false);
    switch (operation % 4) {
    case 0: {
        if (entity.LoaderTransfer(payload.data(), unsigned(payload.size())) == aErrNone)
            FUZZ_CHECK(connection->device.taken() == image);
        break;
    }
    case 1: {
        unsigned short blockSize = 0xFFFF;
        const aErr result = entity.TransferPrepare(payload.data(), unsigned(payload.size()), 0, blockSize);
        const fuzz::Bytes reply = connection->device.lastReply();
        if (result != aErrNone) {
            FUZZ_CHECK(blockSize == 0xFFFF);
        } else {
            FUZZ_CHECK(reply.size() >= 3 && reply[2] == 0);
            FUZZ_CHECK(blockSize == (reply.size() >= 5 ? reply[3] << 8 | reply[4] : 0));
        }
        break;
    }
    case 2: entity.LoaderInit(); break;
    default: entity.FirmwareWrite(unsigned(image.size())); break;
    }
    return 0;
}
