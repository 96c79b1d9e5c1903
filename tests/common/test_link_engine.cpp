// test-labels: integration threaded netns
// The link engine against the simulated device, over a socket pair and over
// TCP on 127.0.0.1 in the test's own network namespace: the bytes on the
// wire, synchronisation, heartbeats, pooled writes, waits and teardown.
#include "common/aLink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/link_harness.h"
#include "tests/sim/netns.h"

namespace {

using linktest::Carrier;
using linktest::SimDevice;
using linktest::TestLink;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

class PrivateNetwork : public ::testing::Environment {
public:
    void SetUp() override
    {
        std::string why;
        ASSERT_TRUE(sim::enterPrivateNetwork(&why)) << why;
    }
};
const auto* const privateNetwork = ::testing::AddGlobalTestEnvironment(new PrivateNetwork);

constexpr uint8_t kDevice = 0x02;
const Bytes kForceRouteOn = {0xAF, 0x01, 0x01};
const Bytes kForceRouteOff = {0xAF, 0x01, 0x00};
const Bytes kAddressQuery = {0xAD, 0x00};

aPacket packetOf(uint8_t address, Bytes data)
{
    aPacket packet = {};
    packet.check = aPACKET_CHECK;
    packet.address = address;
    packet.length = static_cast<uint8_t>(data.size());
    packet.count = static_cast<uint8_t>(data.size() + 2);
    std::copy(data.begin(), data.end(), packet.data);
    return packet;
}

Bytes dataOf(const aPacket* packet)
{
    return Bytes(packet->data, packet->data + packet->length);
}

size_t countOf(const std::vector<sim::Packet>& packets, const sim::Packet& wanted)
{
    return static_cast<size_t>(std::count(packets.begin(), packets.end(), wanted));
}

bool endsWith(const Bytes& bytes, const Bytes& tail)
{
    return bytes.size() >= tail.size() && std::equal(tail.begin(), tail.end(), bytes.end() - tail.size());
}

bool startsWith(const Bytes& bytes, const Bytes& head)
{
    return bytes.size() >= head.size() && std::equal(head.begin(), head.end(), bytes.begin());
}

bool waitForStatus(aLinkId id, aLinkStatus status, int timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (aLink_GetStatus(id) != status) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool acceptAll(const aPacket*, const void*)
{
    return true;
}

// A device behind one carrier and a running link to it.
class LinkOver : public ::testing::TestWithParam<Carrier> {
protected:
    LinkOver() : sim(GetParam()), link(sim.openStream()) {}

    sim::DeviceModel& device() { return sim.device; }
    void start() { ASSERT_EQ(aLink_Start(link.id()), aErrNone); }

    // Sends one echo request and waits for its answer.
    void roundTrip(uint8_t tag)
    {
        aPacket request = packetOf(kDevice, {sim::kEchoCommand, tag});
        ASSERT_EQ(aLink_PutPacket(link.id(), &request), aErrNone);
        aPacket* reply = aLink_AwaitPacket(link.id(), 2000);
        ASSERT_NE(reply, nullptr);
        EXPECT_EQ(dataOf(reply), (Bytes{sim::kEchoCommand, tag}));
        aPacket_Destroy(&reply);
    }

    SimDevice sim;
    TestLink link;
};

INSTANTIATE_TEST_SUITE_P(Carriers, LinkOver, ::testing::Values(Carrier::Socketpair, Carrier::Tcp),
                         [](const auto& param) { return std::string(linktest::carrierName(param.param)); });

TEST_P(LinkOver, ForceRouteOnComesFirstAndOffLast)
{
    EXPECT_EQ(aLink_GetStatus(link.id()), kLinkStatusStopped);
    start();
    EXPECT_EQ(aLink_GetStatus(link.id()), kLinkStatusRunning);
    roundTrip(1);
    EXPECT_EQ(aLink_Stop(link.record()), aErrNone);
    EXPECT_EQ(aLink_GetStatus(link.id()), kLinkStatusStopped);

    ASSERT_TRUE(device().waitFor([](const sim::Records& r) { return r.forceRoutes.size() == 2; }, 2000));
    sim::Records records = device().records();
    EXPECT_TRUE(startsWith(records.bytes, kForceRouteOn));
    EXPECT_TRUE(endsWith(records.bytes, kForceRouteOff));
    EXPECT_EQ(records.forceRoutes, (Bytes{1, 0}));

    // Stopping again changes nothing and writes nothing.
    EXPECT_EQ(aLink_Stop(link.record()), aErrNone);
    EXPECT_EQ(aLink_Stop(nullptr), aErrParam);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(device().records().bytes, records.bytes);
}

TEST_P(LinkOver, StopOfALinkAlreadyOutOfTheTableStillSendsForceRouteOff)
{
    start();
    roundTrip(2);
    // A destroy takes the entry out of the table before it stops the link.
    EXPECT_EQ(link.destroy(), aErrNone);
    ASSERT_TRUE(device().waitFor([](const sim::Records& r) { return r.forceRoutes.size() == 2; }, 2000));
    EXPECT_TRUE(endsWith(device().records().bytes, kForceRouteOff));
}

TEST_P(LinkOver, ForceRouteIsQueuedOnRequest)
{
    start();
    EXPECT_EQ(aLink_ForceRoute(link.id(), false), aErrNone);
    EXPECT_EQ(aLink_ForceRoute(link.id(), true), aErrNone);
    EXPECT_TRUE(device().waitFor([](const sim::Records& r) { return r.forceRoutes == Bytes{1, 0, 1}; }, 2000));
}

TEST_P(LinkOver, EveryPacketComesBackInOrder)
{
    start();
    constexpr int kPackets = 300;
    for (int i = 0; i < kPackets; i++) {
        aPacket request = packetOf(kDevice, {sim::kEchoCommand, static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)});
        ASSERT_EQ(aLink_PutPacket(link.id(), &request), aErrNone);
    }
    for (int i = 0; i < kPackets; i++) {
        aPacket* reply = aLink_AwaitPacket(link.id(), 2000);
        ASSERT_NE(reply, nullptr) << "packet " << i;
        EXPECT_EQ(dataOf(reply), (Bytes{sim::kEchoCommand, static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)}));
        aPacket_Destroy(&reply);
    }
    EXPECT_EQ(aLink_GetPacket(link.id()), nullptr);
}

// Packets sent at once by the caller and packets queued for the writer keep
// each sender's order.
TEST_P(LinkOver, SendersOnSeveralThreadsKeepTheirOrder)
{
    start();
    constexpr int kThreads = 4;
    constexpr int kEach = 150;
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; t++)
        senders.emplace_back([&, t] {
            for (int i = 0; i < kEach; i++) {
                aPacket packet = packetOf(kDevice, {0x40, static_cast<uint8_t>(t), static_cast<uint8_t>(i)});
                EXPECT_EQ(aLink_PutPacket(link.id(), &packet), aErrNone);
            }
        });
    for (auto& sender : senders)
        sender.join();
    ASSERT_TRUE(device().waitForPackets(1 + kThreads * kEach, 5000));
    std::vector<int> next(kThreads, 0);
    for (const sim::Packet& packet : device().records().packets) {
        if (packet.address != kDevice)
            continue;
        ASSERT_EQ(packet.data.size(), 3u);
        EXPECT_EQ(packet.data[2], next[packet.data[1]]++) << "sender " << int(packet.data[1]);
    }
    EXPECT_EQ(next, std::vector<int>(kThreads, kEach));
}

TEST_P(LinkOver, SyncSendsSixQueriesAndEmptiesTheFifos)
{
    start();
    device().injectToHost({kDevice, 0x01, 0x77}); // an ordinary packet, queued before the sync
    ASSERT_TRUE(device().waitForPackets(1, 2000));
    EXPECT_EQ(aLink_Sync(link.id()), aErrNone);
    EXPECT_EQ(aLink_GetStatus(link.id()), kLinkStatusRunning);

    sim::Records records = device().records();
    EXPECT_EQ(countOf(records.packets, sim::Packet{0xAD, {}}), 6u);
    // The late answers to the other four queries, and what came before, are gone.
    EXPECT_EQ(aLink_GetPacket(link.id()), nullptr);
    roundTrip(3);
}

// A failing aLink_Sync sends one round of six queries at its start and at
// most one more per quiet second of its wait (which a loaded machine
// stretches), never a flood.
void expectFailedSyncWithoutFlood(aLinkId id, const sim::DeviceModel& device)
{
    auto start = Clock::now();
    EXPECT_EQ(aLink_Sync(id), aErrNotReady);
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
    size_t queries = countOf(device.records().packets, sim::Packet{0xAD, {}});
    EXPECT_GE(queries, 6u);
    EXPECT_LE(queries, 6u * static_cast<size_t>(1 + seconds));
}

TEST_P(LinkOver, SyncFailsWhenTheAnswersDisagreeWithoutFloodingTheDevice)
{
    start();
    sim::Faults faults;
    faults.alternateAddress = 0x06; // answers 02 00 06 00 ...
    device().setFaults(faults);
    expectFailedSyncWithoutFlood(link.id(), device());
    EXPECT_EQ(aLink_GetStatus(link.id()), kLinkStatusSyncing);
}

TEST_P(LinkOver, SyncFailsAgainstASilentDeviceAndRetriesOncePerQuietPeriod)
{
    start();
    sim::Faults faults;
    faults.silent = true;
    device().setFaults(faults);
    expectFailedSyncWithoutFlood(link.id(), device());

    // The device answers again: the next restart brings the link back in step.
    device().setFaults({});
    EXPECT_TRUE(waitForStatus(link.id(), kLinkStatusRunning, 3000));
}

struct OutOfStep {
    const char* name;
    Bytes bytes;
};
void PrintTo(const OutOfStep& outOfStep, std::ostream* out)
{
    *out << outOfStep.name;
}

class LinkOutOfStep : public ::testing::TestWithParam<std::tuple<Carrier, OutOfStep>> {};

// A byte stream out of step (odd address, overlong length, zero address)
// restarts synchronisation once: six queries, and in step again with the answers.
TEST_P(LinkOutOfStep, RestartsSynchronisationOnceAndComesBack)
{
    SimDevice sim(std::get<0>(GetParam()));
    TestLink link(sim.openStream());
    ASSERT_EQ(aLink_Start(link.id()), aErrNone);
    sim.device.injectToHost(std::get<1>(GetParam()).bytes);

    EXPECT_TRUE(sim.device.waitFor([](const sim::Records& r) { return r.packets.size() >= 7; }, 2000));
    EXPECT_TRUE(waitForStatus(link.id(), kLinkStatusRunning, 2000));
    // Quiet for a while: no further rounds of queries.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    sim::Records records = sim.device.records();
    EXPECT_EQ(countOf(records.packets, sim::Packet{0xAD, {}}), 6u);
    EXPECT_EQ(aLink_GetStatus(link.id()), kLinkStatusRunning);
    aLink_DrainPackets(link.id(), acceptAll, nullptr); // the late address answers

    aPacket request = packetOf(kDevice, {sim::kEchoCommand, 9});
    ASSERT_EQ(aLink_PutPacket(link.id(), &request), aErrNone);
    aPacket* reply = aLink_AwaitPacket(link.id(), 2000);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(dataOf(reply), (Bytes{sim::kEchoCommand, 9}));
    aPacket_Destroy(&reply);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, LinkOutOfStep,
    ::testing::Combine(::testing::Values(Carrier::Socketpair, Carrier::Tcp),
                       ::testing::Values(OutOfStep{"odd_address", {0x05}}, OutOfStep{"length_29", {0x04, 29}},
                                         OutOfStep{"zero_address", {0x00}})),
    [](const auto& param) {
        return std::string(linktest::carrierName(std::get<0>(param.param))) + "_" + std::get<1>(param.param).name;
    });

TEST_P(LinkOver, HeartbeatsAreAnsweredAndNeverQueued)
{
    start();
    for (uint8_t x : {0, 1, 0xFE})
        device().sendHeartbeat(x);
    EXPECT_TRUE(device().waitFor([](const sim::Records& r) { return r.heartbeatReplies.size() == 3; }, 2000));
    EXPECT_EQ(device().records().heartbeatReplies, (Bytes{2, 3, 0}));
    roundTrip(4); // anything queued inbound would come before the echo
}

struct Consumed {
    std::atomic<int> packets{0};
};

bool consumeAll(const aPacket*, void* reference)
{
    static_cast<Consumed*>(reference)->packets++;
    return true;
}

TEST_P(LinkOver, UserFilterThatConsumesEverythingKeepsTheFifoEmpty)
{
    start();
    Consumed consumed;
    ASSERT_EQ(aLink_InstallUserPacketFilter(link.id(), consumeAll, &consumed), aErrNone);
    device().sendHeartbeat(0);
    aPacket request = packetOf(kDevice, {sim::kEchoCommand, 5});
    ASSERT_EQ(aLink_PutPacket(link.id(), &request), aErrNone);
    auto deadline = Clock::now() + std::chrono::seconds(2);
    while (consumed.packets < 2 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(consumed.packets, 2);
    EXPECT_EQ(aLink_GetPacket(link.id()), nullptr);
    EXPECT_TRUE(device().records().heartbeatReplies.empty());

    // Once removed, the filter is not called again.
    ASSERT_EQ(aLink_InstallUserPacketFilter(link.id(), nullptr, nullptr), aErrNone);
    roundTrip(6);
    EXPECT_EQ(consumed.packets, 2);
}

// Records the size of every block written, forwarding to the real stream;
// writes wait while the gate is shut, as at first until the test opens it.
class WriteRecorder {
public:
    explicit WriteRecorder(aStream* inner) : inner_(inner)
    {
        stream_ = aStream_Create(sGet, nullptr, sWrite, sDelete, this);
        aStream_SetWaitProc(stream_, sWait);
    }
    aStream* stream() const { return stream_; }

    // Waits until that many writes have begun (the last may wait at the gate).
    bool waitUntilWriting(int count = 1)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(2), [&] { return entered_ >= count; });
    }
    void open()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    void shut()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = false;
    }
    bool waitForWrites(size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(2), [&] { return sizes_.size() >= count; });
    }
    std::vector<size_t> sizes()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return sizes_;
    }

private:
    static aErr sGet(uint8_t* byte, void* self) { return aStream_Read(static_cast<WriteRecorder*>(self)->inner_, byte, 1); }
    static aErr sWait(uint32_t ms, void* self) { return aStream_WaitReadable(static_cast<WriteRecorder*>(self)->inner_, ms); }
    static aErr sDelete(void* self) { return aStream_Destroy(&static_cast<WriteRecorder*>(self)->inner_); }
    static aErr sWrite(const uint8_t* data, size_t n, void* reference)
    {
        auto* self = static_cast<WriteRecorder*>(reference);
        {
            std::unique_lock<std::mutex> lock(self->mutex_);
            self->entered_++;
            self->changed_.notify_all();
            self->changed_.wait(lock, [&] { return self->open_; });
        }
        aErr err = aStream_Write(self->inner_, data, n);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->sizes_.push_back(n);
        self->changed_.notify_all();
        return err;
    }

    aStream* inner_;
    aStream* stream_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
    int entered_ = 0;
    std::vector<size_t> sizes_;
};

class LinkWrites : public ::testing::TestWithParam<Carrier> {};

// 200 full packets the device leaves unanswered; their wire forms in wire.
std::vector<aPacket> unansweredPackets(Bytes& wire)
{
    std::vector<aPacket> packets;
    for (int i = 0; i < 200; i++) {
        Bytes data(28, static_cast<uint8_t>(i));
        data[0] = 0x40; // a command the device leaves unanswered
        packets.push_back(packetOf(kDevice, data));
        wire.push_back(kDevice);
        wire.push_back(28);
        wire.insert(wire.end(), data.begin(), data.end());
    }
    return packets;
}

// 200 full packets queued while the writer is busy with force route on go out
// pooled as 136 packets (4080 bytes) and then the other 64; unpooled, one each.
TEST_P(LinkWrites, PooledWritesGatherAtMost4096Bytes)
{
    for (bool pooled : {true, false}) {
        SCOPED_TRACE(pooled ? "pooled" : "single");
        SimDevice sim(GetParam());
        auto* recorder = new WriteRecorder(sim.openStream());
        TestLink link(recorder->stream());
        ASSERT_EQ(aLink_Start(link.id()), aErrNone);
        ASSERT_TRUE(recorder->waitUntilWriting()); // force route on
        ASSERT_EQ(aLink_EnablePooledPackets(link.id(), pooled), aErrNone);
        Bytes wire;
        for (int i = 0; i < 200; i++) {
            Bytes data(28, static_cast<uint8_t>(i));
            data[0] = 0x40; // a command the device leaves unanswered
            aPacket packet = packetOf(kDevice, data);
            ASSERT_EQ(aLink_PutPacket(link.id(), &packet), aErrNone);
            wire.push_back(kDevice);
            wire.push_back(28);
            wire.insert(wire.end(), data.begin(), data.end());
        }
        recorder->open();
        ASSERT_TRUE(recorder->waitForWrites(pooled ? 3 : 201));
        std::vector<size_t> expected = pooled ? std::vector<size_t>{3, 4080, 1920} : std::vector<size_t>(201, 30);
        expected[0] = 3;
        EXPECT_EQ(recorder->sizes(), expected);
        ASSERT_TRUE(sim.device.waitFor([&](const sim::Records& r) { return r.bytes.size() >= 3 + wire.size(); }, 2000));
        Bytes received = sim.device.records().bytes;
        EXPECT_EQ(Bytes(received.begin() + 3, received.end()), wire);
        EXPECT_EQ(link.destroy(), aErrNone);
        delete recorder;
    }
}

// A caller's stream whose write waits until the device takes bytes: no put
// waits with it. What was put meanwhile goes out in order once the device
// takes bytes again, gathered into large writes when pooled.
TEST_P(LinkWrites, PutNeverWaitsOnAStreamThatHoldsItsWrites)
{
    for (bool pooled : {true, false}) {
        SCOPED_TRACE(pooled ? "pooled" : "single");
        SimDevice sim(GetParam());
        auto* recorder = new WriteRecorder(sim.openStream());
        TestLink link(recorder->stream());
        ASSERT_EQ(aLink_Start(link.id()), aErrNone);
        recorder->open();
        ASSERT_TRUE(recorder->waitForWrites(1)); // force route on
        ASSERT_EQ(aLink_EnablePooledPackets(link.id(), pooled), aErrNone);
        recorder->shut();

        Bytes wire;
        std::vector<aPacket> packets = unansweredPackets(wire);
        std::mutex putting;
        std::condition_variable done;
        size_t put = 0;
        std::thread caller([&] {
            for (const aPacket& packet : packets) {
                EXPECT_EQ(aLink_PutPacket(link.id(), &packet), aErrNone);
                std::lock_guard<std::mutex> lock(putting);
                put++;
                done.notify_all();
                // The first goes to the writer, whose write waits at the gate.
                if (put == 1) {
                    EXPECT_TRUE(recorder->waitUntilWriting(2));
                }
            }
        });
        bool allPut = false;
        {
            std::unique_lock<std::mutex> lock(putting);
            allPut = done.wait_for(lock, std::chrono::seconds(5), [&] { return put == packets.size(); });
        }
        EXPECT_TRUE(allPut) << "a put waited with the stream's write; " << put << " went through";
        recorder->open();
        caller.join();

        ASSERT_TRUE(recorder->waitForWrites(pooled ? 4 : 201));
        std::vector<size_t> expected = pooled ? std::vector<size_t>{3, 30, 4080, 1890} : std::vector<size_t>(201, 30);
        expected[0] = 3;
        EXPECT_EQ(recorder->sizes(), expected);
        ASSERT_TRUE(sim.device.waitFor([&](const sim::Records& r) { return r.bytes.size() >= 3 + wire.size(); }, 2000));
        Bytes received = sim.device.records().bytes;
        EXPECT_EQ(Bytes(received.begin() + 3, received.end()), wire);
        EXPECT_EQ(link.destroy(), aErrNone);
        delete recorder;
    }
}

// A caller's stream that can try a write, and whose tries take whole
// packets, parts of them or nothing, in turn (at most the bytes of each
// take, the last one again and again); it notes the size of every try.
class PartTaker {
public:
    explicit PartTaker(aStream* inner, std::vector<size_t> takes = {7, 0, 30, 1, 2})
        : inner_(inner), takes_(std::move(takes))
    {
        stream_ = aStream_Create(sGet, nullptr, sWrite, sDelete, this);
        aStream_SetWaitProc(stream_, sWait);
        aStream_SetTryWriteProc(stream_, sTryWrite);
    }
    aStream* stream() const { return stream_; }

private:
    static aErr sGet(uint8_t* byte, void* self) { return aStream_Read(static_cast<PartTaker*>(self)->inner_, byte, 1); }
    static aErr sWait(uint32_t ms, void* self) { return aStream_WaitReadable(static_cast<PartTaker*>(self)->inner_, ms); }
    static aErr sDelete(void* self)
    {
        auto* taker = static_cast<PartTaker*>(self);
        aErr err = aStream_Destroy(&taker->inner_);
        delete taker;
        return err;
    }
    static aErr sWrite(const uint8_t* data, size_t n, void* self)
    {
        return aStream_Write(static_cast<PartTaker*>(self)->inner_, data, n);
    }
    static aErr sTryWrite(const uint8_t* data, size_t n, size_t* written, void* self)
    {
        auto* taker = static_cast<PartTaker*>(self);
        size_t take = std::min(n, taker->takes_[taker->tries.size() % taker->takes_.size()]);
        taker->tries.push_back(n);
        *written = take;
        return take ? aStream_Write(taker->inner_, data, take) : aErrNone;
    }

    aStream* inner_;
    aStream* stream_;
    const std::vector<size_t> takes_;

public:
    std::vector<size_t> tries; // the caller's side only: tries run under the link's write lock
};

// Whatever part of a packet a caller could send itself, the writer sends the
// rest before anything else: every request arrives whole and in order.
TEST_P(LinkWrites, PacketsSentInPartByTheCallerArriveWholeAndInOrder)
{
    SimDevice sim(GetParam());
    TestLink link((new PartTaker(sim.openStream()))->stream());
    ASSERT_EQ(aLink_Start(link.id()), aErrNone);
    ASSERT_TRUE(sim.device.waitFor([](const sim::Records& r) { return r.bytes.size() >= 3; }, 2000));
    // Requests go in pairs, as a caller and the reader's heartbeat replies
    // may send them: the second meets the first's rest still unsent.
    Bytes wire;
    for (uint8_t i = 0; i < 60; i += 2) {
        for (uint8_t k = i; k < i + 2; k++) {
            Bytes data(1 + k % 28, k);
            data[0] = sim::kEchoCommand;
            aPacket request = packetOf(kDevice, data);
            ASSERT_EQ(aLink_PutPacket(link.id(), &request), aErrNone);
            wire.push_back(kDevice);
            wire.push_back(static_cast<uint8_t>(data.size()));
            wire.insert(wire.end(), data.begin(), data.end());
        }
        for (uint8_t k = i; k < i + 2; k++) {
            aPacket* reply = aLink_AwaitPacket(link.id(), 2000);
            ASSERT_NE(reply, nullptr) << "reply " << int(k);
            EXPECT_EQ(reply->length, 1 + k % 28);
            EXPECT_EQ(reply->data[reply->length - 1], k % 28 ? k : sim::kEchoCommand);
            aPacket_Destroy(&reply);
        }
    }
    Bytes received = sim.device.records().bytes;
    EXPECT_EQ(Bytes(received.begin() + 3, received.end()), wire);
    EXPECT_EQ(link.destroy(), aErrNone);
}

// Packets put together leave, on a pooled link, in one try of the stream per
// pool of at most 4096 bytes, as the writer would gather them; unpooled, in
// one try each. What a try does not take goes to the writer, which sends it
// in order: the device receives every packet whole and in order.
TEST_P(LinkWrites, PacketsPutTogetherLeaveInOneTryPerPool)
{
    struct Case {
        const char* name;
        bool pooled;
        std::vector<size_t> takes;
        std::vector<size_t> tries; // the first tries made
        bool only;                 // and no other
    };
    const Case cases[] = {
        {"pooled, every try taken whole", true, {4096}, {4080, 1920}, true},
        {"pooled, cut inside a packet", true, {1000}, {4080}, true},
        {"pooled, cut between packets", true, {990}, {4080}, true},
        {"pooled, nothing taken", true, {0}, {4080}, false},
        {"single", false, {4096}, std::vector<size_t>(200, 30), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimDevice sim(GetParam());
        auto* taker = new PartTaker(sim.openStream(), c.takes);
        TestLink link(taker->stream());
        ASSERT_EQ(aLink_Start(link.id()), aErrNone);
        ASSERT_TRUE(sim.device.waitFor([](const sim::Records& r) { return r.bytes.size() >= 3; }, 2000));
        // Once the writer is done with force route on, nothing waits to go
        // first; a loaded machine may have made that write look slow.
        aLink* record = link.record();
        const auto deadline = Clock::now() + std::chrono::seconds(2);
        while (record->writerHolding && Clock::now() < deadline)
            std::this_thread::yield();
        ASSERT_FALSE(record->writerHolding);
        { std::lock_guard<std::mutex> idle(record->writeLock); }
        record->slowStream = false;
        ASSERT_EQ(aLink_EnablePooledPackets(link.id(), c.pooled), aErrNone);
        Bytes wire;
        std::vector<aPacket> packets = unansweredPackets(wire);
        std::vector<const aPacket*> put;
        for (const aPacket& packet : packets)
            put.push_back(&packet);
        ASSERT_EQ(aLink_PutPackets(link.id(), put.data(), put.size()), aErrNone);
        ASSERT_TRUE(sim.device.waitFor([&](const sim::Records& r) { return r.bytes.size() >= 3 + wire.size(); }, 2000));
        Bytes received = sim.device.records().bytes;
        EXPECT_EQ(Bytes(received.begin() + 3, received.end()), wire);
        ASSERT_GE(taker->tries.size(), c.tries.size());
        EXPECT_EQ(std::vector<size_t>(taker->tries.begin(), taker->tries.begin() + c.tries.size()), c.tries);
        if (c.only) {
            EXPECT_EQ(taker->tries.size(), c.tries.size());
        }
        EXPECT_EQ(link.destroy(), aErrNone);
    }
}

INSTANTIATE_TEST_SUITE_P(Carriers, LinkWrites, ::testing::Values(Carrier::Socketpair, Carrier::Tcp),
                         [](const auto& param) { return std::string(linktest::carrierName(param.param)); });

TEST_P(LinkOver, AwaitFirstTakesTheFirstMatchAndEndsWhenWokenOrOutOfStep)
{
    start();
    for (uint8_t tag : {1, 2, 3}) {
        aPacket request = packetOf(kDevice, {sim::kEchoCommand, tag});
        ASSERT_EQ(aLink_PutPacket(link.id(), &request), aErrNone);
    }
    auto secondTag = [](const aPacket* p, const void*) { return p->length == 2 && p->data[1] == 2; };
    aPacket* second = aLink_AwaitFirst(link.id(), secondTag, nullptr, 2000);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(dataOf(second), (Bytes{sim::kEchoCommand, 2}));
    aPacket_Destroy(&second);
    EXPECT_EQ(aLink_AwaitFirst(link.id(), secondTag, nullptr, 0), nullptr);

    // A wake ends the next wait, or the one under way, at once as a time-out,
    // and only that one: the wait after it takes its packet.
    const auto woken = Clock::now();
    ASSERT_EQ(aLink_Wake(link.id()), aErrNone);
    EXPECT_EQ(aLink_AwaitFirst(link.id(), secondTag, nullptr, 10000), nullptr);
    std::thread waker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        aLink_Wake(link.id());
    });
    EXPECT_EQ(aLink_AwaitFirst(link.id(), secondTag, nullptr, 10000), nullptr);
    waker.join();
    EXPECT_LT(Clock::now() - woken, std::chrono::seconds(5));
    aPacket again = packetOf(kDevice, {sim::kEchoCommand, 2});
    ASSERT_EQ(aLink_PutPacket(link.id(), &again), aErrNone);
    second = aLink_AwaitFirst(link.id(), secondTag, nullptr, 2000);
    EXPECT_NE(second, nullptr);
    aPacket_Destroy(&second);

    // An odd byte sends the link into synchronisation while a caller waits:
    // the wait ends long before its time-out.
    sim::Faults faults;
    faults.silent = true;
    device().setFaults(faults);
    auto start = Clock::now();
    std::thread outOfStep([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        device().injectToHost({0x05});
    });
    EXPECT_EQ(aLink_AwaitFirst(link.id(), secondTag, nullptr, 10000), nullptr);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    outOfStep.join();
    EXPECT_EQ(aLink_GetStatus(link.id()), kLinkStatusSyncing);
    EXPECT_EQ(aLink_AwaitFirst(link.id(), acceptAll, nullptr, 1000), nullptr);
}

// An awaiting caller may read its reply itself while the reader thread
// lends it the stream: with two callers awaiting side by side, each with its
// own filter, and heartbeats coming meanwhile, every reply reaches its own
// caller in order and every heartbeat is answered, none queued.
TEST_P(LinkOver, CallersAwaitingSideBySideEachGetTheirRepliesWhileHeartbeatsAreAnswered)
{
    start();
    constexpr int kRounds = 200;
    auto caller = [&](uint8_t first) {
        auto tagged = [](const aPacket* p, const void* tag) {
            return p->length == 2 && p->data[1] == *static_cast<const uint8_t*>(tag);
        };
        for (int i = 0; i < kRounds; i++) {
            const uint8_t tag = static_cast<uint8_t>(first + i % 100);
            aPacket request = packetOf(kDevice, {sim::kEchoCommand, tag});
            ASSERT_EQ(aLink_PutPacket(link.id(), &request), aErrNone);
            aPacket* reply = aLink_AwaitFirst(link.id(), tagged, &tag, 2000);
            ASSERT_NE(reply, nullptr) << "tag " << int(tag);
            aPacket_Destroy(&reply);
        }
    };
    std::thread low(caller, 0x01);
    std::thread high(caller, 0x81);
    for (int i = 0; i < 10; i++) {
        device().sendHeartbeat(0);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    low.join();
    high.join();
    EXPECT_TRUE(device().waitFor([](const sim::Records& r) { return r.heartbeatReplies.size() == 10; }, 2000));
    EXPECT_EQ(aLink_GetPacket(link.id()), nullptr);
}

// A user filter runs on the reader thread only, also when it is installed
// while a caller awaits a packet and reads the stream itself.
TEST_P(LinkOver, UserFilterInstalledDuringAnAwaitRunsOnTheReaderThread)
{
    start();
    for (uint8_t tag = 1; tag <= 3; tag++)
        roundTrip(tag); // the caller now reads its replies itself
    struct Seen {
        std::mutex lock;
        std::vector<std::thread::id> threads;
    } seen;
    auto recordThread = [](const aPacket*, void* reference) {
        auto* record = static_cast<Seen*>(reference);
        std::lock_guard<std::mutex> lock(record->lock);
        record->threads.push_back(std::this_thread::get_id());
        return false;
    };
    std::thread::id waiterThread;
    std::thread waiter([&] {
        waiterThread = std::this_thread::get_id();
        aPacket* reply = aLink_AwaitPacket(link.id(), 3000);
        ASSERT_NE(reply, nullptr);
        EXPECT_EQ(dataOf(reply), (Bytes{sim::kEchoCommand, 9}));
        aPacket_Destroy(&reply);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(aLink_InstallUserPacketFilter(link.id(), recordThread, &seen), aErrNone);
    aPacket request = packetOf(kDevice, {sim::kEchoCommand, 9});
    ASSERT_EQ(aLink_PutPacket(link.id(), &request), aErrNone);
    waiter.join();
    ASSERT_EQ(aLink_InstallUserPacketFilter(link.id(), nullptr, nullptr), aErrNone);
    std::lock_guard<std::mutex> lock(seen.lock);
    ASSERT_EQ(seen.threads.size(), 1u);
    EXPECT_NE(seen.threads[0], waiterThread);
    EXPECT_NE(seen.threads[0], std::this_thread::get_id());
}

const aPacket kUnanswered = packetOf(kDevice, Bytes(28, 0x40));

// Sends to a device that stopped reading until the connection is full: the
// writer (which took a packet the caller could not send itself) holds one
// write for long, or a put waits for room in it; false when it never filled.
bool fillTheConnection(const TestLink& link)
{
    constexpr auto kFull = std::chrono::milliseconds(300);
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        auto start = Clock::now();
        while (link.record()->writerHolding && Clock::now() - start < kFull)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (link.record()->writerHolding)
            return true;
        start = Clock::now();
        if (aLink_PutPacket(link.id(), &kUnanswered) != aErrNone)
            return false;
        if (Clock::now() - start >= kFull)
            return true;
    }
    return false;
}

// A device that stops reading: no caller waits for the full connection,
// their packets are left to the writer, and everything flows again once the
// device reads.
TEST(LinkStalledDevice, HoldsUpNoCaller)
{
    SimDevice sim(Carrier::Socketpair);
    TestLink link(sim.openStream());
    ASSERT_EQ(aLink_Start(link.id()), aErrNone);
    sim.setStallReading(true);
    ASSERT_TRUE(fillTheConnection(link)) << "the connection never filled";
    for (int i = 0; i < 10; i++) {
        auto start = Clock::now();
        ASSERT_EQ(aLink_PutPacket(link.id(), &kUnanswered), aErrNone);
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(100)) << "put " << i;
    }

    sim.setStallReading(false);
    aPacket request = packetOf(kDevice, {sim::kEchoCommand, 0x5E});
    ASSERT_EQ(aLink_PutPacket(link.id(), &request), aErrNone);
    aPacket* reply = aLink_AwaitPacket(link.id(), 5000);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(dataOf(reply), (Bytes{sim::kEchoCommand, 0x5E}));
    aPacket_Destroy(&reply);
    EXPECT_EQ(link.destroy(), aErrNone);
}

// The destroy of a link whose device stopped reading sends force route off
// but not the backlog, which would hold it for one write time-out per packet.
TEST(LinkStalledDevice, DestroyDoesNotWaitOutTheBacklog)
{
    SimDevice sim(Carrier::Socketpair);
    TestLink link(sim.openStream());
    ASSERT_EQ(aLink_Start(link.id()), aErrNone);
    sim.setStallReading(true);
    ASSERT_TRUE(fillTheConnection(link)) << "the connection never filled";
    for (int i = 0; i < 10; i++)
        ASSERT_EQ(aLink_PutPacket(link.id(), &kUnanswered), aErrNone);
    auto start = Clock::now();
    EXPECT_EQ(link.destroy(), aErrNone);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
}

TEST(LinkReadError, MarksTheLinkAndAwaitFirstDoesNotWait)
{
    SimDevice sim(Carrier::Tcp);
    TestLink link(sim.openStream());
    ASSERT_EQ(aLink_Start(link.id()), aErrNone);
    ASSERT_TRUE(sim.tcp()->waitForConnections(1, 2000));
    sim.tcp()->setRefuseConnections(true);
    sim.resetConnection(); // the reader's reconnection fails
    EXPECT_TRUE(waitForStatus(link.id(), kLinkStatusIOError, 2000));
    auto start = Clock::now();
    EXPECT_EQ(aLink_AwaitFirst(link.id(), acceptAll, nullptr, 2000), nullptr);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_EQ(link.destroy(), aErrNone);
}

TEST_P(LinkOver, ConcurrentStopsJoinTheThreadsOnce)
{
    start();
    std::vector<std::thread> stoppers;
    std::atomic<int> failures{0};
    for (int i = 0; i < 4; i++)
        stoppers.emplace_back([&] {
            if (aLink_Stop(link.record()) != aErrNone)
                failures++;
        });
    for (auto& stopper : stoppers)
        stopper.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(aLink_GetStatus(link.id()), kLinkStatusStopped);
    EXPECT_TRUE(device().waitFor([](const sim::Records& r) { return r.forceRoutes.size() == 2; }, 2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(device().records().forceRoutes, (Bytes{1, 0}));

    // A stopped link starts again.
    start();
    roundTrip(7);
}

TEST_P(LinkOver, SendersKeepSendingWhileTheLinkStopsAndStarts)
{
    start();
    std::atomic<bool> done{false};
    std::vector<std::thread> senders;
    for (int t = 0; t < 2; t++)
        senders.emplace_back([&] {
            // Paced, so that the FIFO of the stopped link never overflows.
            aPacket packet = packetOf(kDevice, {0x40});
            while (!done) {
                aLink_PutPacket(link.id(), &packet);
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
    for (int cycle = 0; cycle < 5; cycle++) {
        EXPECT_EQ(aLink_Stop(link.record()), aErrNone);
        EXPECT_EQ(aLink_Start(link.id()), aErrNone);
    }
    // Force route off is the last packet of a stop, whatever the senders put behind it.
    EXPECT_EQ(aLink_Stop(link.record()), aErrNone);
    // The bound only stops a device that never sees them; a loaded machine may
    // take seconds to carry the bytes.
    const bool allSeen = device().waitFor([](const sim::Records& r) { return r.forceRoutes.size() == 12; }, 10000);
    if (allSeen) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    done = true;
    for (auto& sender : senders)
        sender.join();
    ASSERT_TRUE(allSeen);
    EXPECT_TRUE(endsWith(device().records().bytes, kForceRouteOff));
    start();
    aLink_DrainPackets(link.id(), acceptAll, nullptr);
    roundTrip(8);
}

TEST_P(LinkOver, DestroyWaitsForCallersInsideAnOperation)
{
    start();
    sim::Faults faults;
    faults.silent = true;
    device().setFaults(faults);
    aLinkId id = link.id();
    // Callers waiting for a packet and for a synchronisation that never
    // comes: the destroy ends both waits and frees the link only after them.
    std::thread waiter([&] { EXPECT_EQ(aLink_AwaitPacket(id, 5000), nullptr); });
    std::thread syncer([&] { EXPECT_EQ(aLink_Sync(id), aErrNotReady); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    auto start = Clock::now();
    EXPECT_EQ(link.destroy(), aErrNone);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
    waiter.join();
    syncer.join();
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusNoStream);
    EXPECT_EQ(aLink_PutPacket(id, nullptr), aErrParam);
}

// A start that found its link just before the link's last destroy took it
// out of the table either runs first and is stopped by the destroy, or is
// refused: no thread of the link outlives its record, and force route on is
// always followed by force route off.
TEST(LinkTeardown, StartRacingTheLastDestroyLeavesNoThreadBehind)
{
    for (int round = 0; round < 20; round++) {
        SCOPED_TRACE(round);
        SimDevice sim(Carrier::Socketpair);
        aLinkId id = sCreate2(0xFFFFFFFF, 0, 0, INVALID);
        ASSERT_EQ(aLink_Init(id, sim.openStream()), id);
        aLink* record = sGetLink(id);
        aErr started = aErrUnknown;
        std::thread starter, destroyer;
        {
            // The start holds the link and waits to begin ...
            std::lock_guard<std::mutex> hold(record->control);
            starter = std::thread([&] { started = aLink_Start(id); });
            while (record->users == 0)
                std::this_thread::yield();
            // ... while the last destroy takes the link out of the table,
            // finds it stopped (its stop would change nothing) and releases it.
            aLinkEntry* entry = sExtractEntry(id);
            destroyer = std::thread([entry]() mutable {
                aLink_Release(entry->link);
                sFreeEntry(&entry);
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        starter.join();
        destroyer.join();
        if (started == aErrNone) {
            EXPECT_TRUE(sim.device.waitFor([](const sim::Records& r) { return r.forceRoutes == Bytes{1, 0}; }, 2000));
        } else {
            EXPECT_EQ(started, aErrParam);
            EXPECT_TRUE(sim.device.records().forceRoutes.empty());
        }
    }
}

TEST(LinkUnknownId, EveryOperationAnswersItsNeutralResult)
{
    for (aLinkId id : {aLinkId(0), aLinkId(0xFFFFFFF0)}) {
        aPacket packet = packetOf(kDevice, {1});
        EXPECT_EQ(aLink_Init(id, nullptr), 0u);
        EXPECT_EQ(aLink_Start(id), aErrParam);
        EXPECT_EQ(aLink_Sync(id), aErrParam);
        EXPECT_EQ(aLink_ForceRoute(id, true), aErrNotFound);
        EXPECT_EQ(aLink_GetStatus(id), kLinkStatusNoStream);
        EXPECT_EQ(aLink_PutPacket(id, &packet), aErrParam);
        EXPECT_EQ(aLink_GetPacket(id), nullptr);
        EXPECT_EQ(aLink_AwaitPacket(id, 0), nullptr);
        EXPECT_EQ(aLink_GetFirst(id, acceptAll, nullptr), nullptr);
        EXPECT_EQ(aLink_AwaitFirst(id, acceptAll, nullptr, 0), nullptr);
        EXPECT_EQ(aLink_Wake(id), aErrParam);
        EXPECT_EQ(aLink_DrainPackets(id, acceptAll, nullptr), 0u);
        EXPECT_EQ(aLink_InstallUserPacketFilter(id, nullptr, nullptr), aErrParam);
        EXPECT_EQ(aLink_EnablePooledPackets(id, true), aErrParam);
    }
}

TEST(LinkWithoutStream, ReportsNoStreamAndDoesNotStart)
{
    TestLink link(nullptr);
    EXPECT_EQ(aLink_GetStatus(link.id()), kLinkStatusNoStream);
    EXPECT_EQ(aLink_Start(link.id()), aErrConnection);
    EXPECT_EQ(aLink_Sync(link.id()), aErrNotReady);
    EXPECT_EQ(aLink_AwaitFirst(link.id(), acceptAll, nullptr, 1000), nullptr);
    EXPECT_EQ(link.destroy(), aErrNone);
}

} // namespace
