// test-labels: integration threaded
// The packet log of a running link to the simulated device (over a socket
// pair): what the reader and writer threads record while callers read and
// write the ring at the same time; and the logger thread's lifecycle.
#include "common/aPacketLog.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/aLink.h"
#include "common/aLogger.h"
#include "tests/common/link_harness.h"

namespace {

using linktest::Carrier;
using linktest::SimDevice;
using linktest::TestLink;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr uint8_t kDevice = 0x02;

struct Record {
    int kind;
    Bytes payload;
    bool operator==(const Record& other) const { return kind == other.kind && payload == other.payload; }
};
std::ostream& operator<<(std::ostream& out, const Record& record)
{
    out << "kind " << record.kind << ":";
    for (uint8_t b : record.payload)
        out << ' ' << std::hex << int(b) << std::dec;
    return out;
}

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

// Every record in the link's log, oldest first.
std::vector<Record> drain(aLinkId id)
{
    std::vector<Record> records;
    for (;;) {
        Record record{0, Bytes(64)};
        uint32_t length = 64;
        if (aLink_PacketDebug_Read(id, &record.kind, &length, record.payload.data()) != aErrNone)
            return records;
        record.payload.resize(length);
        records.push_back(record);
    }
}

// Waits until the log holds count records more, gathering them.
bool gather(aLinkId id, std::vector<Record>& into, size_t count)
{
    auto deadline = Clock::now() + std::chrono::seconds(3);
    size_t wanted = into.size() + count;
    while (into.size() < wanted && Clock::now() < deadline) {
        std::vector<Record> more = drain(id);
        into.insert(into.end(), more.begin(), more.end());
        if (into.size() < wanted)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return into.size() >= wanted;
}

class RunningLinkLog : public ::testing::Test {
protected:
    RunningLinkLog() : sim(Carrier::Socketpair), link(sim.openStream()) {}
    // The log is there from the start: force route on is its first record.
    void SetUp() override
    {
        ASSERT_EQ(aLink_PacketDebug_Enable(link.id()), aErrNone);
        ASSERT_EQ(aLink_Start(link.id()), aErrNone);
        std::vector<Record> first;
        ASSERT_TRUE(gather(link.id(), first, 1));
        ASSERT_EQ(first, (std::vector<Record>{{1, {0xAF, 0x01, 0x01}}}));
    }

    void echo(uint8_t tag)
    {
        aPacket request = packetOf(kDevice, {sim::kEchoCommand, tag});
        ASSERT_EQ(aLink_PutPacket(link.id(), &request), aErrNone);
        aPacket* reply = aLink_AwaitPacket(link.id(), 2000);
        ASSERT_NE(reply, nullptr);
        aPacket_Destroy(&reply);
    }

    SimDevice sim;
    TestLink link;
};

TEST(LinkLogFromTheStart, ReceivedPacketIsRecordedInItsWireForm)
{
    SimDevice sim(Carrier::Socketpair);
    TestLink link(sim.openStream());
    ASSERT_EQ(aLink_PacketDebug_Enable(link.id()), aErrNone);
    ASSERT_EQ(aLink_Start(link.id()), aErrNone);
    std::vector<Record> first;
    ASSERT_TRUE(gather(link.id(), first, 1));
    EXPECT_EQ(first, (std::vector<Record>{{1, {0xAF, 0x01, 0x01}}}));

    sim.device.injectToHost({0x04, 0x02, 0x11, 0x22});
    aPacket* received = aLink_AwaitPacket(link.id(), 2000);
    ASSERT_NE(received, nullptr);
    aPacket_Destroy(&received);

    aPacketLog* ring = link.record()->packetLog;
    ASSERT_EQ((ring->tail - ring->head + ring->size) % ring->size, 6u);
    Bytes raw;
    for (uint32_t i = 0; i < 6; i++)
        raw.push_back(ring->bytes[(ring->head + i) % ring->size]);
    EXPECT_EQ(raw, (Bytes{0x02, 0x04, 0x04, 0x02, 0x11, 0x22}));

    EXPECT_EQ(drain(link.id()), (std::vector<Record>{{2, {0x04, 0x02, 0x11, 0x22}}}));
    int kind = 0;
    uint32_t length = 64;
    uint8_t buffer[64];
    EXPECT_EQ(aLink_PacketDebug_Read(link.id(), &kind, &length, buffer), aErrNotFound);
}

// Sent packets are recorded whether the caller's thread or the writer sends
// them; heartbeats and their answers, and packets a user filter consumes,
// are recorded too, also while the log is marked disabled. A packet is
// recorded once written, so its echo may be recorded first.
TEST_F(RunningLinkLog, RecordsEveryPacketBothWays)
{
    std::vector<Record> records;
    echo(1);
    ASSERT_TRUE(gather(link.id(), records, 2));

    sim.device.sendHeartbeat(0); // answered through the writer thread
    ASSERT_TRUE(gather(link.id(), records, 2));

    ASSERT_EQ(aLink_PacketDebug_Disable(link.id()), aErrNone);
    ASSERT_EQ(aLink_InstallUserPacketFilter(
                  link.id(), [](const aPacket*, void*) { return true; }, nullptr),
              aErrNone);
    aPacket request = packetOf(kDevice, {sim::kEchoCommand, 2});
    ASSERT_EQ(aLink_PutPacket(link.id(), &request), aErrNone);
    ASSERT_TRUE(gather(link.id(), records, 2));
    EXPECT_EQ(aLink_GetPacket(link.id()), nullptr);

    auto byKind = [](const Record& a, const Record& b) { return a.kind < b.kind; };
    ASSERT_EQ(records.size(), 6u);
    std::sort(records.begin(), records.begin() + 2, byKind);
    std::sort(records.begin() + 4, records.end(), byKind);
    std::vector<Record> expected = {
        {1, {kDevice, 2, sim::kEchoCommand, 1}}, {2, {kDevice, 2, sim::kEchoCommand, 1}},
        {2, {kDevice, 2, 0x00, 0x00}},           {1, {kDevice, 2, 0x00, 0x02}},
        {1, {kDevice, 2, sim::kEchoCommand, 2}}, {2, {kDevice, 2, sim::kEchoCommand, 2}},
    };
    EXPECT_EQ(records, expected);
}

// In pooled mode one record stands for each gathered write: its first packet.
TEST(PooledLinkLog, RecordsTheFirstPacketOfEachWrite)
{
    SimDevice sim(Carrier::Socketpair);
    TestLink link(sim.openStream());
    ASSERT_EQ(aLink_PacketDebug_Enable(link.id()), aErrNone);
    ASSERT_EQ(aLink_EnablePooledPackets(link.id(), true), aErrNone);
    // Queued before the writer runs: 136 of them fill the first write.
    constexpr int kPackets = 200;
    Bytes data(28, 0x55);
    for (int i = 0; i < kPackets; i++) {
        data[1] = static_cast<uint8_t>(i);
        aPacket packet = packetOf(kDevice, data);
        ASSERT_EQ(aPacketFifo_Put(link.record()->outbound, &packet), aErrNone);
    }
    ASSERT_EQ(aLink_Start(link.id()), aErrNone);
    ASSERT_TRUE(sim.device.waitForPackets(kPackets + 1, 3000));

    std::vector<Record> sent;
    for (const Record& r : drain(link.id()))
        if (r.kind == 1)
            sent.push_back(r);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].payload[3], 0);
    EXPECT_EQ(sent[1].payload[3], 136);
}

// Two senders, a thread that adds markers and one that reads the log, all at
// once: every packet shows once each way, every marker once, none spoilt.
TEST_F(RunningLinkLog, ThreadsShareTheRingSafely)
{
    constexpr int kSenders = 2;
    constexpr int kEach = 150;
    constexpr int kMarkers = 200;
    std::atomic<bool> done{false};
    std::vector<Record> records;
    std::thread reader([&] {
        while (!done) {
            std::vector<Record> more = drain(link.id());
            records.insert(records.end(), more.begin(), more.end());
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> writers;
    for (int s = 0; s < kSenders; s++)
        writers.emplace_back([&, s] {
            for (int i = 0; i < kEach; i++) {
                aPacket request = packetOf(kDevice, {sim::kEchoCommand, static_cast<uint8_t>(s), static_cast<uint8_t>(i)});
                aLink_PutPacket(link.id(), &request);
            }
        });
    writers.emplace_back([&] {
        for (int i = 0; i < kMarkers; i++) {
            uint8_t marker[] = {'M', static_cast<uint8_t>(i)};
            aLink_PacketDebug_Write(link.id(), 3, 2, marker);
        }
    });
    for (std::thread& t : writers)
        t.join();
    ASSERT_TRUE(sim.device.waitForPackets(1 + kSenders * kEach, 5000));
    for (int i = 0; i < kSenders * kEach; i++) {
        aPacket* reply = aLink_AwaitPacket(link.id(), 2000);
        ASSERT_NE(reply, nullptr);
        aPacket_Destroy(&reply);
    }
    done = true;
    reader.join();
    std::vector<Record> rest = drain(link.id());
    records.insert(records.end(), rest.begin(), rest.end());

    std::set<std::pair<int, Bytes>> seen;
    size_t markers = 0;
    for (const Record& r : records) {
        if (r.kind == 3) {
            markers++;
            continue;
        }
        ASSERT_TRUE(r.kind == 1 || r.kind == 2) << r;
        ASSERT_EQ(r.payload.size(), 5u) << r;
        EXPECT_TRUE(seen.insert({r.kind, r.payload}).second) << "twice: " << r;
    }
    EXPECT_EQ(markers, size_t(kMarkers));
    EXPECT_EQ(seen.size(), size_t(2 * kSenders * kEach));
}

// Enables racing each other make one ring; a stopped link re-initialised
// under a reader loses its ring safely.
TEST(LinkLogThreads, EnablesAndReinitialisationRaceReadersSafely)
{
    SimDevice sim(Carrier::Socketpair);
    TestLink link(sim.openStream());
    std::atomic<bool> done{false};
    std::thread reader([&] {
        int kind = 0;
        uint8_t buffer[64];
        while (!done) {
            uint32_t length = sizeof buffer;
            aLink_PacketDebug_Read(link.id(), &kind, &length, buffer);
            uint8_t marker = 1;
            aLink_PacketDebug_Write(link.id(), 3, 1, &marker);
        }
    });
    for (int round = 0; round < 50; round++) {
        std::vector<std::thread> enablers;
        for (int i = 0; i < 3; i++)
            enablers.emplace_back([&] { EXPECT_EQ(aLink_PacketDebug_Enable(link.id()), aErrNone); });
        for (std::thread& t : enablers)
            t.join();
        ASSERT_NE(link.record()->packetLog.load(), nullptr);
        ASSERT_EQ(aLink_Init(link.id(), link.record()->stream), link.id());
        EXPECT_EQ(link.record()->packetLog.load(), nullptr);
    }
    done = true;
    reader.join();
}

// A scratch file in the build tree, removed afterwards.
struct ScratchFile {
    explicit ScratchFile(const std::string& name)
        : path(std::string(TESS_BINARY_DIR) + "/" + name + "." + std::to_string(getpid()))
    {
        std::remove(path.c_str());
    }
    ~ScratchFile() { std::remove(path.c_str()); }
    std::string contents() const
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }
    std::string path;
};

struct Calls {
    std::atomic<int> count{0};
    std::mutex mutex;
    std::set<std::thread::id> threads;
};
Calls* sCalls = nullptr;

void countCall(aFile* file, int argument)
{
    if (sCalls->count++ == 0)
        aFile_Printf(file, "first call, argument %d\n", argument);
    {
        std::lock_guard<std::mutex> lock(sCalls->mutex);
        sCalls->threads.insert(std::this_thread::get_id());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

bool waitForCalls(int count)
{
    auto deadline = Clock::now() + std::chrono::seconds(3);
    while (sCalls->count < count && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return sCalls->count >= count;
}

TEST(Logger, RunsItsCallbackOnOneThreadUntilDisabled)
{
    Calls calls;
    sCalls = &calls;
    ScratchFile file("logger");
    {
        std::ofstream before(file.path);
        before << "kept\n";
    }
    aLogger* logger = aLogger_Create(42, countCall, file.path.c_str());
    ASSERT_NE(logger, nullptr);
    EXPECT_FALSE(logger->running);
    EXPECT_EQ(calls.count, 0);

    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    ASSERT_EQ(aLogger_Enable(logger), aErrNone); // no second thread
    ASSERT_TRUE(waitForCalls(20));
    EXPECT_EQ(aLogger_Disable(logger), aErrNone);
    int stoppedAt = calls.count;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(calls.count, stoppedAt);
    EXPECT_EQ(calls.threads.size(), 1u);
    EXPECT_EQ(aLogger_Disable(logger), aErrNone); // not running: nothing to do

    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    ASSERT_TRUE(waitForCalls(stoppedAt + 5));
    EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
    EXPECT_EQ(logger, nullptr);
    EXPECT_EQ(file.contents(), "kept\nfirst call, argument 42\n");
    sCalls = nullptr;
}

TEST(Logger, RefusesWhatItCannotWorkOn)
{
    EXPECT_EQ(aLogger_Create(0, countCall, "/nonexistent-folder/log"), nullptr);
    ScratchFile file("logger-none");
    EXPECT_EQ(aLogger_Create(0, nullptr, file.path.c_str()), nullptr);
    EXPECT_EQ(aLogger_Enable(nullptr), aErrParam);
    EXPECT_EQ(aLogger_Disable(nullptr), aErrParam);
    aLogger foreign{};
    EXPECT_EQ(aLogger_Enable(&foreign), aErrParam);
    EXPECT_EQ(aLogger_Disable(&foreign), aErrParam);
    aLogger* invalid = &foreign;
    EXPECT_EQ(aLogger_Destroy(&invalid), aErrNone);
    EXPECT_EQ(invalid, &foreign);
    EXPECT_EQ(aLogger_Destroy(nullptr), aErrNone);
}

std::atomic<aLogger*> sSelf{nullptr};
std::atomic<int> sSelfDisable{-1};
std::atomic<int> sSelfDestroy{-1};

// Tries to stop and destroy its own logger once.
void stopMyself(aFile*, int)
{
    aLogger* self = sSelf;
    if (self && sSelfDestroy < 0) {
        sSelfDisable = aLogger_Disable(self);
        sSelfDestroy = aLogger_Destroy(&self);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Neither a stop nor a destroy from the callback takes the logger from under
// its own thread.
TEST(Logger, CallbackCannotStopOrFreeItsOwnLogger)
{
    ScratchFile file("logger-self");
    aLogger* logger = aLogger_Create(0, stopMyself, file.path.c_str());
    ASSERT_NE(logger, nullptr);
    sSelf = logger;
    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    auto deadline = Clock::now() + std::chrono::seconds(3);
    while (sSelfDestroy < 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(sSelfDisable, int(aErrNone));
    EXPECT_EQ(sSelfDestroy, int(aErrBusy));
    EXPECT_TRUE(logger->running);
    EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
    EXPECT_EQ(logger, nullptr);
    sSelf = nullptr;
}

} // namespace
