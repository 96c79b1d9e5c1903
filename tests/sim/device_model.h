// The simulated Tessaline device: assembles the host's bytes into packets,
// answers them through a table of handlers (per command byte and per address),
// records everything the host sent, and can misbehave on request.
#pragma once

#include "tests/sim/device_endpoint.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <ostream>
#include <thread>
#include <vector>

namespace sim {

// One packet as it travels: [address][length][data...], at most 28 data bytes.
struct Packet {
    uint8_t address = 0;
    std::vector<uint8_t> data;

    std::vector<uint8_t> wire() const;
    bool operator==(const Packet& other) const { return address == other.address && data == other.data; }
    bool operator!=(const Packet& other) const { return !(*this == other); }
};
std::ostream& operator<<(std::ostream& out, const Packet& packet);

constexpr size_t kMaxPacketData = 28;
constexpr uint8_t kAddressQuery = 0xAD;
constexpr uint8_t kForceRoute = 0xAF;
constexpr uint8_t kHeartbeatCommand = 0x00;
constexpr uint8_t kEchoCommand = 23;

struct DeviceConfig {
    uint8_t address = 0x02;          // module address: even and non-zero
    uint8_t echoCommand = kEchoCommand; // packets with this command come back unchanged; 0 turns echo off
    uint32_t serialNumber = 0x12345678;
    uint8_t model = 0;
    bool recordTraffic = true;       // keep every byte and packet; off for long benchmark runs (counts stay)
};

// How an answer is spoiled when Faults::corruptEvery selects it.
enum class Corruption {
    None,
    OddAddress,  // the address byte gets bit 0 set
    ZeroAddress, // the address byte is 0
    LongLength,  // the length byte is 29
};

// Misbehaviour of the device itself; the carriers add theirs (reset, stall, refuse).
// "Answers" are what the device sends in reply to a host packet: address
// answers, echoes, handler replies. Heartbeats and injected bytes are not answers.
struct Faults {
    bool silent = false;                // take everything, answer nothing
    int answerDelayMs = 0;              // hold each answer this long before the host may read it
    uint8_t answerAddress = 0;          // non-zero: every answer comes from this address
    uint8_t alternateAddress = 0;       // non-zero: every second answer comes from this address
    Corruption corruption = Corruption::None;
    unsigned corruptEvery = 0;          // spoil every Nth answer (1: all of them); 0: none
};

// What the host sent, in order.
struct Records {
    std::vector<uint8_t> bytes;            // every byte, as it arrived (when recording traffic)
    std::vector<Packet> packets;           // every complete packet (when recording traffic)
    size_t byteCount = 0;                  // bytes received, recorded or not
    size_t packetCount = 0;                // complete packets received, recorded or not
    std::vector<uint8_t> forceRoutes;      // the data byte of each AF 01 x
    std::vector<uint8_t> heartbeatReplies; // x of each heartbeat reply [A] 02 00 x
    size_t framingErrors = 0;              // bytes or frames that formed no packet
    size_t disconnects = 0;                // carrier reported the host gone
};

class DeviceModel : public DeviceEndpoint {
public:
    // A handler answers one packet from the host; it runs on the feeding
    // (carrier) thread without the model's lock, and may call any public
    // operation but fromHost and the handler setters of the packet it handles.
    using Handler = std::function<void(DeviceModel& device, const Packet& request)>;

    explicit DeviceModel(DeviceConfig config = {});
    ~DeviceModel() override;
    DeviceModel(const DeviceModel&) = delete;
    DeviceModel& operator=(const DeviceModel&) = delete;

    const DeviceConfig& config() const { return config_; }

    // Packets to the module's own address with data[0] == command. An empty
    // handler removes the entry; unhandled packets are only recorded.
    void setCommandHandler(uint8_t command, Handler handler);
    // Every packet to that address (0xAD and 0xAF have defaults; routed
    // modules behind a router go here). Takes precedence over commands.
    void setAddressHandler(uint8_t address, Handler handler);

    // Queue an answer to a host packet: subject to the faults.
    void answer(Packet packet);
    // Queue a packet regardless of the faults (device-initiated traffic).
    void send(const Packet& packet);
    // Queue raw bytes as they stand, one frame for framed carriers.
    void injectToHost(std::vector<uint8_t> bytes);
    // Device-initiated heartbeat [A] 02 00 x; the host answers [A] 02 00 x+2.
    void sendHeartbeat(uint8_t x);

    void setFaults(const Faults& faults);
    Faults faults() const;

    Records records() const;
    void clearRecords();
    // Waits until the predicate holds on the records (checked under the lock
    // on every change); false after timeoutMs.
    bool waitFor(const std::function<bool(const Records&)>& predicate, int timeoutMs) const;
    // Waits until at least count packets were received (counted, so also
    // without recording traffic).
    bool waitForPackets(size_t count, int timeoutMs) const;

    // DeviceEndpoint. Each answer, packet or injection is one frame; byte
    // carriers may take frames in any split. A delayed answer holds back the
    // frames queued after it.
    void fromHost(const uint8_t* data, size_t n) override;
    // A frame that ends inside a packet loses that packet (a framing error).
    void fromHostFrame(const uint8_t* data, size_t n) override;
    size_t toHost(uint8_t* out, size_t max) override;
    bool toHostFrame(std::vector<uint8_t>& frame) override;
    bool waitToHost(int timeoutMs) override;
    // Once this returns, the previous callback is not running and is not
    // called again. The callback may take output (toHost), but must not set
    // the callback itself.
    void setToHostNotify(std::function<void()> notify) override;
    // Drops the partial packet and all pending output; the records stay.
    void hostDisconnected() override;

private:
    using Clock = std::chrono::steady_clock;
    struct Frame {
        std::vector<uint8_t> bytes;
        Clock::time_point readyAt;
        bool announced; // the notify callback was told about it
    };
    // Packet assembly from the byte stream.
    struct Assembly {
        Packet packet;
        int stage = 0; // 0 address, 1 length, 2 data
        size_t length = 0;
    };

    void take(const uint8_t* data, size_t n, bool frame);
    void recordBytes(const uint8_t* data, size_t n); // under mutex_
    void assembleByte(uint8_t byte, std::vector<Packet>& complete); // under mutex_
    void dispatch(const Packet& packet);
    void queueFrame(std::vector<uint8_t> bytes, int delayMs);
    bool readyLocked(Clock::time_point now) const;
    void notifyHost();
    void timerLoop();
    void installDefaultHandlers();

    const DeviceConfig config_;

    std::mutex feedMutex_;   // one feeder at a time, so handlers run in arrival order
    mutable std::mutex mutex_;
    mutable std::condition_variable recordsChanged_;
    std::condition_variable outputChanged_;
    Assembly assembly_;
    Records records_;
    Faults faults_;
    unsigned answersSent_ = 0;
    std::map<uint8_t, Handler> commandHandlers_;
    std::map<uint8_t, Handler> addressHandlers_;
    std::deque<Frame> output_;
    size_t frontOffset_ = 0; // bytes of the front frame already taken
    bool stopping_ = false;
    std::thread timer_;      // announces delayed answers when they fall due

    std::mutex notifyMutex_; // held while the notify callback runs
    std::function<void()> notify_;
};

} // namespace sim
