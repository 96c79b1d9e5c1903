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
// bytes, the bytes of other replies. A choice byte with bits 0x70 set answers
// nothing: the device wakes the host's wait at once rather than letting it
// run out, so a request without a reply costs no time. An entity request
// answered so fails with a time-out; with bit 0x08 too its reply follows
// late, after the wait ended, and the same request is made again: it gets
// its own reply, never the late one. During an upgrade step the device also
// wakes the host whenever the exchange falls quiet.
#include "common/aLink.h"
#include "common/aLinkTable.h"
#include "common/aPacketFifo.h"
#include "common/aUEI.h"
#include "device_api/Entity.h"
#include "device_api/Module.h"
#include "engine/UpdaterEntity.h"
#include "tests/fuzz/support.h"
#include "tests/sim/device_model.h"
#include "tests/sim/tcp_carrier.h"

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <numeric>
#include <optional>
#include <thread>

using namespace Zentrova::Tessaline;

namespace {

constexpr uint8_t kModule = 0x02;
// The entity class the device answers UEI requests of.
constexpr uint8_t kEntity = 0x12;
constexpr uint32_t kSerial = 0x00C0FFEE;
constexpr uint8_t kSilent = 0x70;
constexpr uint8_t kLate = 0x08;

bool silent(uint8_t choice)
{
    return (choice & kSilent) == kSilent;
}

// How the device answered the last entity request.
enum class Answer { Reply, None, Late };

// Answers upgrade requests from the script; keeps the image bytes it took.
class ScriptedDevice {
public:
    ScriptedDevice() : carrier_(device_)
    {
        device_.setCommandHandler(cmdUPGRADE, [this](sim::DeviceModel& device, const sim::Packet& request) {
            ++requests_;
            if (const std::optional<sim::Packet> reply = answerTo(request)) device.answer(*reply);
            else wakeHost();
        });
        device_.setCommandHandler(kEntity, [this](sim::DeviceModel& device, const sim::Packet& request) {
            ++requests_;
            const sim::Packet reply = entityAnswerTo(request);
            const Answer answer = lastAnswer();
            if (answer != Answer::Reply) wakeHost();
            if (answer != Answer::None) device.answer(reply);
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
    // Requests taken so far.
    unsigned requests() const { return requests_; }
    Answer lastAnswer()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return lastAnswer_;
    }

private:
    uint8_t next() { return position_ < script_.size() ? script_[position_++] : 0; }

public:
    // Answers nothing: the host's wait for a reply ends now, as if it ran out.
    static void wakeHost()
    {
        if (aLinkEntry* entry = sLookupEntryByIdentifier(kSerial, TCPIP)) aLink_Wake(entry->id);
    }

    // [command, option (get: bare, set: with 0xC0), index (0x80 on error), value].
    sim::Packet entityAnswerTo(const sim::Packet& request)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const uint8_t option = request.data[1];
        const uint8_t replyOption = option & 0x80 ? uint8_t((option & 0x3F) | 0xC0) : uint8_t(option & 0x3F);
        const uint8_t choice = next();
        sim::Packet reply{kModule, {kEntity, replyOption, uint8_t((request.data[2] & 0x1F) | (choice & 0x80))}};
        for (uint8_t n = choice % 5; n > 0; --n) reply.data.push_back(next());
        lastAnswer_ = !silent(choice) ? Answer::Reply : choice & kLate ? Answer::Late : Answer::None;
        lastReply_ = reply.data;
        return reply;
    }

    std::optional<sim::Packet> answerTo(const sim::Packet& request)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const uint8_t option = request.data.size() > 1 ? request.data[1] : 0;
        sim::Packet reply{kModule, {cmdUPGRADE, option}};
        const uint8_t choice = next();
        if (silent(choice)) return std::nullopt;
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

private:
    std::atomic<unsigned> requests_{0};
    sim::DeviceModel device_{sim::DeviceConfig{kModule, 0, kSerial, 0, false}};
    sim::TcpCarrier carrier_;
    std::mutex mutex_;
    fuzz::Bytes script_;
    size_t position_ = 0;
    fuzz::Bytes taken_;
    fuzz::Bytes lastReply_;
    Answer lastAnswer_ = Answer::Reply;
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
        spec.serialNumber = kSerial;
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

// The host's received packets.
aPacketFifoId inbound()
{
    aLinkEntry* entry = sLookupEntryByIdentifier(kSerial, TCPIP);
    FUZZ_CHECK(entry && entry->link);
    return entry->link->inbound;
}

// Spends a wake that no wait took (the device went silent on a request the
// host does not wait on), so that it cannot end a later wait.
void spendWake()
{
    aLinkEntry* entry = sLookupEntryByIdentifier(kSerial, TCPIP);
    FUZZ_CHECK(entry);
    aPacket* none = aLink_AwaitFirst(entry->id, [](const aPacket*, const void*) { return false; }, nullptr, 0);
    FUZZ_CHECK(!none);
}

// Waits (a while at most) until the late reply has reached the host: looks
// for it among the received packets without taking any.
void awaitLateReply(const fuzz::Bytes& reply)
{
    struct Sought {
        const fuzz::Bytes& data;
        mutable bool found;
    } sought{reply, false};
    const auto look = [](const aPacket* packet, const void* reference) {
        auto* wanted = static_cast<const Sought*>(reference);
        wanted->found = wanted->found || fuzz::Bytes(packet->data, packet->data + packet->length) == wanted->data;
        return false;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (aPacketFifo_DrainPackets(inbound(), look, &sought) == 0 && !sought.found &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
}

// While an upgrade step runs, ends each wait of the host that has gone
// unanswered: once no request has come for a few milliseconds, the device has
// said all it will, and a reply the host did not take for its own would
// otherwise hold it for its whole time-out. A wake that comes while the host
// is busy rather than waiting can only make a later wait fail early, and the
// checks of the upgrade steps hold for every failure.
class QuietWaker {
public:
    explicit QuietWaker(ScriptedDevice& device) : thread_([this, &device] { run(device); }) {}
    ~QuietWaker()
    {
        stop_ = true;
        thread_.join();
        spendWake();
    }

private:
    void run(ScriptedDevice& device)
    {
        constexpr int kQuietLooks = 3;
        unsigned seen = device.requests();
        int quiet = 0;
        while (!stop_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            const unsigned now = device.requests();
            quiet = now == seen ? quiet + 1 : 0;
            seen = now;
            if (quiet > 0 && quiet % kQuietLooks == 0) ScriptedDevice::wakeHost();
        }
    }

    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The request the operation names; true when the device answered it late.
bool entityRequest(Module& module, uint8_t operation, ScriptedDevice& device)
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
    switch (device.lastAnswer()) {
    case Answer::Reply: FUZZ_CHECK(result == expectedResult(device.lastReply())); return false;
    case Answer::None: FUZZ_CHECK(result == aErrTimeout); return false;
    case Answer::Late:
        // The reply may still have come before the wait took the wake.
        FUZZ_CHECK(result == aErrTimeout || result == expectedResult(device.lastReply()));
        if (result == aErrTimeout) awaitLateReply(device.lastReply());
        return true;
    }
    return false;
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
    spendWake();

    if (operation & 0x80) {
        if (entityRequest(connection->module, operation, connection->device))
            entityRequest(connection->module, operation, connection->device);
        return 0;
    }
    UpdaterEntity entity;
    entity.init(&connection->module, 0, true, false);
    const QuietWaker waker(connection->device);
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
