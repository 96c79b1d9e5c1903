// test-labels: integration netns threaded
// Stream subscriptions of a Link: the sample format and keys, the ring the
// callbacks go through, and, over TCP to the simulated device in the test's
// own network namespace, the subscription protocol, the filter that takes
// stream packets off the link, the value cache and the callback worker.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device_api/Link.h"
#include "device_api/LocklessQueue_SPSC.h"
#include "tests/device_api/tcp_device.h"
#include "tests/sim/stream_control.h"

namespace {

using namespace Zentrova::Tessaline;
using apitest::unshared;
using sim::Packet;
using sim::SampleKind;
using sim::streamSample;

const auto* const privateNetwork = ::testing::AddGlobalTestEnvironment(new apitest::PrivateNetwork);

constexpr uint8_t kModule = 0x02;
constexpr uint8_t kSystem = 3;
constexpr uint8_t kMarker = 0x30; // a command of no entity: reaches the inbound FIFO

aPacket packetOf(uint8_t address, const std::vector<uint8_t>& data)
{
    aPacket* made = aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.data());
    aPacket copy = *made;
    aPacket_Destroy(&made);
    return copy;
}

TEST(StreamKeys, FieldsAndElements)
{
    uint64_t key = Link::createStreamKey(6, 3, 0x12, 0x1F, 0xA5);
    EXPECT_EQ(0xA50603121Full, key);
    EXPECT_EQ(6, Link::getStreamKeyElement(key, Link::STREAM_KEY_MODULE));
    EXPECT_EQ(3, Link::getStreamKeyElement(key, Link::STREAM_KEY_CMD));
    EXPECT_EQ(0x12, Link::getStreamKeyElement(key, Link::STREAM_KEY_OPTION));
    EXPECT_EQ(0x1F, Link::getStreamKeyElement(key, Link::STREAM_KEY_INDEX));
    EXPECT_EQ(0xA5, Link::getStreamKeyElement(key, Link::STREAM_KEY_SUBINDEX));
    EXPECT_EQ(0, Link::getStreamKeyElement(key, static_cast<Link::STREAM_KEY>(5)));

    uint32_t high = 0, low = 0;
    Link::getTimestampParts(0x0102030405060708ull, &high, &low);
    EXPECT_EQ(0x01020304u, high);
    EXPECT_EQ(0x05060708u, low);
}

TEST(StreamSamples, KindsSizesAndValues)
{
    const uint64_t time = 0x1122334455667788ull;
    struct Case {
        const char* what;
        std::vector<uint8_t> data;
        Link::STREAM_PACKET type;
        aErr decoded;
        uint32_t value;
        uint8_t subindex;
    } cases[] = {
        {"uint8", streamSample(3, 12, 0, SampleKind::U8, 0xA5, time), Link::STREAM_PACKET_U8, aErrNone, 0xA5, 0},
        {"uint16", {3, 12, 0x40, 2, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x01, 0x02, 0x00},
         Link::STREAM_PACKET_U16, aErrNone, 0x0102, 0},
        {"uint32", streamSample(3, 12, 1, SampleKind::U32, 0xDEADBEEF, time), Link::STREAM_PACKET_U32, aErrNone,
         0xDEADBEEF, 0},
        {"uint8 with subindex", streamSample(3, 12, 1, SampleKind::SubU8, 0x7F, time, 9),
         Link::STREAM_PACKET_SUBINDEX_U8, aErrNone, 0x7F, 9},
        {"uint16 with subindex", streamSample(3, 12, 1, SampleKind::SubU16, 0xBEEF, time, 3),
         Link::STREAM_PACKET_SUBINDEX_U16, aErrNone, 0xBEEF, 3},
        {"uint32 with subindex", streamSample(3, 12, 1, SampleKind::SubU32, 0x01020304, time, 0xFF),
         Link::STREAM_PACKET_SUBINDEX_U32, aErrNone, 0x01020304, 0xFF},
        {"uint16 one byte short", {3, 12, 0x40, 2, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x01, 0x00},
         Link::STREAM_PACKET_U16, aErrPacket, 0, 0},
        {"byte-array chunk", {3, 12, 0x40, 2, 9, 9, 9, 0x81}, Link::STREAM_PACKET_BYTES, aErrSize, 0, 0},
        {"kind out of range", {3, 12, 0x40, 9, 0, 0, 0, 0}, Link::STREAM_PACKET_NONE, aErrPacket, 0, 0},
        {"get reply", {3, 12, 0x00, 1, 2, 3, 4}, Link::STREAM_PACKET_NONE, aErrPacket, 0, 0},
        {"option with the get bit", {3, 0x4C, 0x40, 1, 0, 0, 0, 0}, Link::STREAM_PACKET_NONE, aErrPacket, 0, 0},
        {"four data bytes", {3, 12, 0x40, 1}, Link::STREAM_PACKET_NONE, aErrPacket, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        aPacket packet = packetOf(kModule, c.data);
        Link::STREAM_PACKET type = Link::STREAM_PACKET_BYTES;
        EXPECT_EQ(c.type != Link::STREAM_PACKET_NONE, Link::getStreamPacketType(&packet, &type));
        EXPECT_EQ(c.type, type);
        EXPECT_EQ(c.decoded == aErrNone, Link::isStreamSample(&packet));
        uint64_t timestamp = 0;
        uint32_t value = 0;
        uint8_t subindex = 0x55;
        EXPECT_EQ(c.decoded, Link::getStreamSample(&packet, &timestamp, &value, &subindex));
        if (c.decoded != aErrNone) continue;
        EXPECT_EQ(time, timestamp);
        EXPECT_EQ(c.value, value);
        EXPECT_EQ(c.subindex, subindex);
        EXPECT_EQ(Link::isSubindexType(type), c.data[3] >= 5);
    }
}

TEST(LocklessQueue, HoldsOneLessThanItsCapacityInOrder)
{
    Zentrova::LocklessQueue_SPSC<int> ring(500);
    int out = -1;
    EXPECT_FALSE(ring.pop(&out));
    for (int round = 0; round < 3; round++) { // wraps the indexes
        for (int i = 0; i < 499; i++) ASSERT_TRUE(ring.push(i)) << i;
        EXPECT_FALSE(ring.push(499));
        for (int i = 0; i < 499; i++) {
            ASSERT_TRUE(ring.pop(&out));
            EXPECT_EQ(i, out);
        }
        EXPECT_FALSE(ring.pop(&out));
    }
}

TEST(LocklessQueue, OneProducerOneConsumer)
{
    Zentrova::LocklessQueue_SPSC<std::shared_ptr<int>> ring(16);
    constexpr int kCount = 20000;
    std::thread producer([&] {
        for (int i = 0; i < kCount; i++)
            while (!ring.push(std::make_shared<int>(i))) std::this_thread::yield();
    });
    std::shared_ptr<int> out;
    for (int expected = 0; expected < kCount;) {
        if (!ring.pop(&out)) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_EQ(expected, *out);
        expected++;
    }
    producer.join();
}

TEST(StreamsWithoutLink, Refused)
{
    Link link("none");
    uint32_t value = 0;
    Link::StreamStatusEntry entries[2];
    size_t count = 0;
    uint8_t streaming = 0;
    EXPECT_EQ(aErrConnection, link.enableStream(kModule, kSystem, 5, 0, true));
    EXPECT_EQ(aErrNotFound, link.getStreamValue(kModule, kSystem, 5, 0, 0, &value));
    EXPECT_EQ(aErrConnection, link.enableStream(kModule, kSystem, 5, 0, false));
    EXPECT_EQ(aErrConnection, link.getStreamStatus(kModule, 0xFF, 0xFF, 0xFF, 0xFF, entries, 2, &count));
    EXPECT_EQ(aErrConnection, link.isLinkStreaming(kModule, &streaming));
    EXPECT_EQ(aErrParam, link.enableStream(0xFF, kSystem, 5, 0, true));
    EXPECT_EQ(aErrParam, link.enableStream(7, kSystem, 5, 0, true));
}

// What a callback was given, in order.
struct Received {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::vector<uint8_t>> samples;
    std::vector<void*> references;

    static uint8_t take(const aPacket* packet, void* reference)
    {
        auto* self = static_cast<Received*>(reference);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->samples.emplace_back(packet->data, packet->data + packet->length);
        self->references.push_back(reference);
        self->changed.notify_all();
        return 0;
    }

    bool waitFor(size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5), [&] { return samples.size() >= count; });
    }

    size_t count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return samples.size();
    }
};

class Streams : public apitest::TcpDevice {
protected:
    void SetUp() override
    {
        ASSERT_EQ(aErrNone, link.setConfig(unshared()));
        ASSERT_EQ(aErrNone, link.connect());
        ASSERT_TRUE(link.isConnected());
    }

    void sample(const std::vector<uint8_t>& data, uint8_t address = kModule) { device.send(Packet{address, data}); }

    // The first packet the link queued, taken with everything up to a
    // marker the device sends now: once the marker is queued, the reader
    // went past every sample before it.
    std::vector<uint8_t> nextQueued(Link& on)
    {
        const std::vector<uint8_t> marker{kMarker, 1};
        device.send(Packet{kModule, marker});
        std::vector<uint8_t> first;
        for (std::vector<uint8_t> taken; taken != marker;) {
            uint8_t buffer[aPACKET_MAX_DATA] = {};
            uint8_t length = 0; // no match bytes: the first packet queued
            if (on.receivePacket(kModule, buffer, &length, buffer) != aErrNone) return {};
            taken.assign(buffer, buffer + length);
            if (first.empty()) first = taken;
        }
        return first;
    }

    std::vector<uint8_t> nextQueued() { return nextQueued(link); }

    aErr subscribe(uint8_t option, Received& into, uint8_t module = kModule, bool enable = true)
    {
        return link.registerStreamCallback(module, kSystem, option, 0, enable, Received::take, &into);
    }

    // A subscription of its own whose sample, once called back, shows that
    // the worker went past everything queued before it.
    void settle()
    {
        size_t before = tail.count();
        if (before == 0) {
            ASSERT_EQ(aErrNone, subscribe(kTailOption, tail));
        }
        sample(streamSample(kSystem, kTailOption, 0, SampleKind::U8, 0));
        ASSERT_TRUE(tail.waitFor(before + 1));
    }

    static constexpr uint8_t kTailOption = 60;
    sim::StreamControl control{entities};
    // The callbacks' targets outlive the Link, whose worker may still run.
    Received got, other, tail;
    Link link{spec(), "streams"};
};

TEST_F(Streams, SubscriptionReachesEveryOptionOfTheEntityAndCachesValues)
{
    ASSERT_EQ(aErrNone, subscribe(0xFF, got));
    EXPECT_TRUE(received(Packet{kModule, {93, 0x81, 0x20, kModule, kSystem, 0xFF, 0}}));
    EXPECT_EQ(std::vector<uint32_t>{0x0203FF00}, control.enables());

    const std::vector<uint8_t> first = streamSample(kSystem, 12, 0, SampleKind::U16, 0x0102, 0x0000000500000007ull);
    const std::vector<uint8_t> second = streamSample(kSystem, 27, 0, SampleKind::U32, 0xFFFFFFF6);
    sample(first);
    sample(second);
    ASSERT_TRUE(got.waitFor(2));
    EXPECT_EQ(first, got.samples[0]);
    EXPECT_EQ(second, got.samples[1]);
    EXPECT_EQ(&got, got.references[0]);

    uint32_t value = 0;
    EXPECT_EQ(aErrNone, link.getStreamValue(kModule, kSystem, 12, 0, 0, &value));
    EXPECT_EQ(0x0102u, value);
    value = 0;
    EXPECT_EQ(aErrStreamStale, link.getStreamValue(kModule, kSystem, 12, 0, 0, &value));
    EXPECT_EQ(0x0102u, value);
    EXPECT_EQ(aErrNone, link.getStreamValue(kModule, kSystem, 27, 0, 0, &value));
    EXPECT_EQ(0xFFFFFFF6u, value);
    // Another other index, another key.
    EXPECT_EQ(aErrNotFound, link.getStreamValue(kModule, kSystem, 12, 1, 0, &value));

    // A new sample is fresh again.
    sample(streamSample(kSystem, 12, 0, SampleKind::U16, 0x0304));
    ASSERT_TRUE(got.waitFor(3));
    EXPECT_EQ(aErrNone, link.getStreamValue(kModule, kSystem, 12, 0, 0, &value));
    EXPECT_EQ(0x0304u, value);
}

// The filter takes every stream packet while subscriptions exist, of any
// module, subscribed or not; without subscriptions stream packets are packets
// like others.
TEST_F(Streams, StreamPacketsLeaveTheLinkOnlyWhileSubscribed)
{
    const std::vector<uint8_t> stray = streamSample(kSystem, 5, 0, SampleKind::U8, 1);
    sample(stray);
    EXPECT_EQ(stray, nextQueued());

    ASSERT_EQ(aErrNone, subscribe(12, got));
    sample(stray);           // another option
    sample(stray, 0x06);     // another module
    EXPECT_EQ((std::vector<uint8_t>{kMarker, 1}), nextQueued());
    EXPECT_EQ(0u, got.count());
    uint32_t value = 0;
    EXPECT_EQ(aErrNotFound, link.getStreamValue(kModule, kSystem, 5, 0, 0, &value));

    sample(streamSample(kSystem, 12, 0, SampleKind::U8, 9));
    ASSERT_TRUE(got.waitFor(1));
    ASSERT_EQ(aErrNone, subscribe(12, got, kModule, false));
    EXPECT_TRUE(received(Packet{kModule, {93, 0x82, 0x20, kModule, kSystem, 12, 0}}));
    EXPECT_EQ(std::vector<uint32_t>{0x02030C00}, control.disables());
    // The cache went with the subscription, and the filter with the last one.
    EXPECT_EQ(aErrNotFound, link.getStreamValue(kModule, kSystem, 12, 0, 0, &value));
    sample(stray);
    EXPECT_EQ(stray, nextQueued());
}

TEST_F(Streams, CachingOnlySubscriptionAndMalformedSamples)
{
    ASSERT_EQ(aErrNone, link.enableStream(kModule, kSystem, 12, 0, true));
    sample(streamSample(kSystem, 12, 0, SampleKind::U16, 0x0102));
    nextQueued();
    uint32_t value = 0;
    EXPECT_EQ(aErrNone, link.getStreamValue(kModule, kSystem, 12, 0, 0, &value));
    EXPECT_EQ(0x0102u, value);

    // A kind-2 sample one byte short: its callback runs, the cache keeps the old value.
    ASSERT_EQ(aErrNone, subscribe(12, got));
    std::vector<uint8_t> shortSample = streamSample(kSystem, 12, 0, SampleKind::U16, 0x0A0B);
    shortSample.erase(shortSample.end() - 2);
    sample(shortSample);
    ASSERT_TRUE(got.waitFor(1));
    EXPECT_EQ(shortSample, got.samples[0]);
    EXPECT_EQ(aErrStreamStale, link.getStreamValue(kModule, kSystem, 12, 0, 0, &value));
    EXPECT_EQ(0x0102u, value);
}

TEST_F(Streams, StatusListsCachedKeysBySubindex)
{
    ASSERT_EQ(aErrNone, link.enableStream(kModule, kSystem, 4, 0, true));
    for (uint8_t subindex : {1, 3, 5}) sample(streamSample(kSystem, 4, 0, SampleKind::SubU32, 100u + subindex, 0, subindex));
    nextQueued();

    Link::StreamStatusEntry entries[4] = {};
    size_t count = 0;
    ASSERT_EQ(aErrNone, link.getStreamStatus(kModule, kSystem, 4, 0, 3, entries, 4, &count));
    ASSERT_EQ(1u, count);
    EXPECT_EQ(Link::createStreamKey(kModule, kSystem, 4, 0, 3), entries[0].key);
    EXPECT_EQ(103u, entries[0].value);

    // The subscription's own key (subindex 0xFF) is not listed.
    ASSERT_EQ(aErrNone, link.getStreamStatus(kModule, 0xFF, 0xFF, 0xFF, 0xFF, entries, 4, &count));
    EXPECT_EQ(3u, count);
    EXPECT_EQ(aErrSize, link.getStreamStatus(kModule, 0xFF, 0xFF, 0xFF, 0xFF, entries, 2, &count));
    EXPECT_EQ(2u, count);
    EXPECT_EQ(aErrParam, link.getStreamStatus(kModule, 0xFF, 0xFF, 0xFF, 0xFF, nullptr, 2, &count));
    EXPECT_EQ(aErrParam, link.getStreamStatus(kModule, 0xFF, 0xFF, 0xFF, 0xFF, entries, 0, &count));
    EXPECT_EQ(aErrParam, link.getStreamStatus(kModule, 0xFF, 0xFF, 0xFF, 0xFF, entries, 2, nullptr));

    uint32_t value = 0;
    EXPECT_EQ(aErrNone, link.getStreamValue(kModule, kSystem, 4, 0, 5, &value));
    EXPECT_EQ(105u, value);
}

// A sample of subindex 0xFF falls under several masks at once; each
// subscription is still called once for it.
TEST_F(Streams, SampleOfSubindexFFCallsEachSubscriptionOnce)
{
    ASSERT_EQ(aErrNone, subscribe(4, got));
    ASSERT_EQ(aErrNone, subscribe(0xFF, other));
    sample(streamSample(kSystem, 4, 0, SampleKind::SubU8, 7, 0, 0xFF));
    settle();
    // The tail's sample is one of the entity's too, called back after the tail's.
    ASSERT_TRUE(other.waitFor(2));
    EXPECT_EQ(1u, got.count());
    EXPECT_EQ(2u, other.count());
    uint32_t value = 0;
    EXPECT_EQ(aErrNone, link.getStreamValue(kModule, kSystem, 4, 0, 0xFF, &value));
    EXPECT_EQ(7u, value);
}

TEST_F(Streams, RefusedSubscriptionIsRolledBack)
{
    control.refuseWith(21);
    EXPECT_EQ(21, subscribe(12, got));
    sample(streamSample(kSystem, 12, 0, SampleKind::U8, 1));
    // The filter stays and takes the sample; nothing is cached or called.
    EXPECT_EQ((std::vector<uint8_t>{kMarker, 1}), nextQueued());
    uint32_t value = 0;
    EXPECT_EQ(aErrNotFound, link.getStreamValue(kModule, kSystem, 12, 0, 0, &value));
    EXPECT_EQ(0u, got.count());

    // An odd module changes nothing; module 0 reaches no device.
    control.refuseWith(0);
    EXPECT_EQ(aErrParam, subscribe(12, got, 7));
    EXPECT_EQ(aErrPacket, subscribe(12, got, 0));
    EXPECT_TRUE(control.enables().empty());
}

TEST_F(Streams, LinkStreamingAnswer)
{
    uint8_t streaming = 7;
    ASSERT_EQ(aErrNone, link.isLinkStreaming(kModule, &streaming));
    EXPECT_EQ(0, streaming);
    control.setStreaming(1);
    ASSERT_EQ(aErrNone, link.isLinkStreaming(kModule, &streaming));
    EXPECT_EQ(1, streaming);
    EXPECT_TRUE(received(Packet{kModule, {93, 0x41, 0x20}}));
    EXPECT_EQ(aErrParam, link.isLinkStreaming(kModule, nullptr));
}

// The ring holds 499 callbacks: with the worker held in the first, 499 more
// queue, the next is dropped, and once the worker is free again new samples
// are delivered.
TEST_F(Streams, FullRingDropsSamplesButKeepsTheCache)
{
    struct Gate {
        std::mutex mutex;
        std::condition_variable changed;
        bool open = false;
        bool entered = false;
        std::vector<uint32_t> values;
    } gate;
    StreamCallback held = [](const aPacket* packet, void* reference) -> uint8_t {
        auto* g = static_cast<Gate*>(reference);
        uint32_t value = 0;
        Link::getStreamSample(packet, nullptr, &value, nullptr);
        std::unique_lock<std::mutex> lock(g->mutex);
        g->values.push_back(value);
        g->entered = true;
        g->changed.notify_all();
        g->changed.wait(lock, [&] { return g->open; });
        return 0;
    };
    ASSERT_EQ(aErrNone, link.registerStreamCallback(kModule, kSystem, 12, 0, true, held, &gate));
    sample(streamSample(kSystem, 12, 0, SampleKind::U32, 0));
    {
        std::unique_lock<std::mutex> lock(gate.mutex);
        ASSERT_TRUE(gate.changed.wait_for(lock, std::chrono::seconds(5), [&] { return gate.entered; }));
    }
    for (uint32_t i = 1; i <= 500; i++) sample(streamSample(kSystem, 12, 0, SampleKind::U32, i));
    nextQueued();
    uint32_t value = 0;
    EXPECT_EQ(aErrNone, link.getStreamValue(kModule, kSystem, 12, 0, 0, &value));
    EXPECT_EQ(500u, value);
    {
        std::unique_lock<std::mutex> lock(gate.mutex);
        gate.open = true;
        gate.changed.notify_all();
        ASSERT_TRUE(gate.changed.wait_for(lock, std::chrono::seconds(5), [&] { return gate.values.size() >= 500; }));
    }
    sample(streamSample(kSystem, 12, 0, SampleKind::U32, 501));
    {
        std::unique_lock<std::mutex> lock(gate.mutex);
        ASSERT_TRUE(gate.changed.wait_for(lock, std::chrono::seconds(5), [&] { return gate.values.size() >= 501; }));
        for (uint32_t i = 0; i < 500; i++) EXPECT_EQ(i, gate.values[i]);
        EXPECT_EQ(501u, gate.values[500]);
    }
}

// A callback may end its own subscription, the last one, which stops delivery
// from the worker thread itself.
TEST_F(Streams, CallbackEndsItsOwnSubscription)
{
    struct Self {
        Link* link;
        std::atomic<int> calls{0};
        std::atomic<int> result{-1};
    } self{&link};
    StreamCallback once = [](const aPacket*, void* reference) -> uint8_t {
        auto* s = static_cast<Self*>(reference);
        if (s->calls++ == 0) s->result = s->link->registerStreamCallback(kModule, kSystem, 12, 0, false, {}, nullptr);
        return 0;
    };
    ASSERT_EQ(aErrNone, link.registerStreamCallback(kModule, kSystem, 12, 0, true, once, &self));
    sample(streamSample(kSystem, 12, 0, SampleKind::U8, 1));
    ASSERT_TRUE(received(Packet{kModule, {93, 0x82, 0x20, kModule, kSystem, 12, 0}}));
    for (int i = 0; i < 200 && self.result == -1; i++) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(aErrNone, self.result);
    const std::vector<uint8_t> later = streamSample(kSystem, 12, 0, SampleKind::U8, 2);
    sample(later);
    EXPECT_EQ(later, nextQueued());
    EXPECT_EQ(1, self.calls);
    // Subscribing again works with the same worker.
    ASSERT_EQ(aErrNone, subscribe(12, other));
    sample(later);
    ASSERT_TRUE(other.waitFor(1));
}

// Once ending a subscription has returned, its callback never runs again,
// so the caller may free what the callback uses: its queued samples are
// dropped, and a callback of it that runs is waited for. Ending a Link ends
// its subscriptions, also when a callback of the Link destroys it.
TEST_F(Streams, NoCallbackRunsOnceItsSubscriptionHasEnded)
{
    enum class End { Unsubscribe, Destroy, DestroyFromItsCallback };
    struct Case {
        const char* what;
        End end;
        bool heldByOther; // another subscription's callback holds the worker; else the ended one's own
    } cases[] = {
        {"unsubscribed while another callback holds the worker", End::Unsubscribe, true},
        {"unsubscribed while its callback runs", End::Unsubscribe, false},
        {"Link destroyed while another callback holds the worker", End::Destroy, true},
        {"Link destroyed while the callback runs", End::Destroy, false},
        {"Link destroyed by the callback", End::DestroyFromItsCallback, false},
    };
    constexpr uint8_t kHeld = 20, kEnded = 21, kKept = 22;
    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        bool entered = false;
        bool open = false;
        bool ended = false;     // ending the subscription has returned
        int calls = 0;          // of the ended subscription's callback
        bool lateUse = false;   // that callback used its context after the end
        End end = End::Unsubscribe;
        bool holdsItself = false;
        Link* owner = nullptr;

        void hold()
        {
            std::unique_lock<std::mutex> lock(mutex);
            entered = true;
            changed.notify_all();
            changed.wait(lock, [&] { return open; });
        }
    };
    // The ended subscription's context: freed once the end has returned.
    struct Context {
        Shared* shared;
        int uses = 0;
    };
    StreamCallback holder = [](const aPacket*, void* reference) -> uint8_t {
        static_cast<Shared*>(reference)->hold();
        return 0;
    };
    StreamCallback endedCallback = [](const aPacket*, void* reference) -> uint8_t {
        auto* context = static_cast<Context*>(reference);
        Shared& s = *context->shared;
        bool first;
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            first = s.calls++ == 0;
        }
        if (first && s.end == End::DestroyFromItsCallback) {
            delete s.owner;
            delete context;
            std::lock_guard<std::mutex> lock(s.mutex);
            s.ended = true;
            s.changed.notify_all();
            return 0;
        }
        if (first && s.holdsItself) s.hold();
        context->uses++;
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.ended) s.lateUse = true;
        return 0;
    };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Shared shared;
        shared.end = c.end;
        shared.holdsItself = !c.heldByOther && c.end != End::DestroyFromItsCallback;
        auto* context = new Context{&shared};
        // One more Link on the fixture's link; a subscription that stays
        // keeps its worker running.
        shared.owner = new Link(spec(), "owner");
        ASSERT_EQ(aErrNone, shared.owner->setConfig(unshared()));
        ASSERT_EQ(aErrNone, shared.owner->connect());
        ASSERT_EQ(aErrNone, shared.owner->enableStream(kModule, kSystem, kKept, 0, true));
        if (c.heldByOther) {
            ASSERT_EQ(aErrNone, shared.owner->registerStreamCallback(kModule, kSystem, kHeld, 0, true, holder, &shared));
        }
        ASSERT_EQ(aErrNone,
                  shared.owner->registerStreamCallback(kModule, kSystem, kEnded, 0, true, endedCallback, context));

        if (c.end == End::DestroyFromItsCallback) {
            for (uint32_t i = 0; i < 3; i++) sample(streamSample(kSystem, kEnded, 0, SampleKind::U8, i));
            std::unique_lock<std::mutex> lock(shared.mutex);
            ASSERT_TRUE(shared.changed.wait_for(lock, std::chrono::seconds(5), [&] { return shared.ended; }));
            lock.unlock();
            settle(); // a while for a worker that went on
            std::lock_guard<std::mutex> again(shared.mutex);
            EXPECT_EQ(1, shared.calls);
            continue;
        }

        sample(streamSample(kSystem, c.heldByOther ? kHeld : kEnded, 0, SampleKind::U8, 0));
        {
            std::unique_lock<std::mutex> lock(shared.mutex);
            ASSERT_TRUE(shared.changed.wait_for(lock, std::chrono::seconds(5), [&] { return shared.entered; }));
        }
        // Two more samples wait in the ring behind the held callback.
        sample(streamSample(kSystem, kEnded, 0, SampleKind::U8, 1));
        sample(streamSample(kSystem, kEnded, 0, SampleKind::U8, 2));
        nextQueued();

        std::thread ender([&] {
            if (c.end == End::Unsubscribe) {
                EXPECT_EQ(aErrNone, shared.owner->registerStreamCallback(kModule, kSystem, kEnded, 0, false, {}, nullptr));
            } else {
                delete shared.owner;
                shared.owner = nullptr;
            }
            {
                std::lock_guard<std::mutex> lock(shared.mutex);
                shared.ended = true;
                shared.changed.notify_all();
            }
            delete context;
        });
        // The held callback goes on once the end has returned, or after a
        // while when the end waits for it.
        {
            std::unique_lock<std::mutex> lock(shared.mutex);
            shared.changed.wait_for(lock, std::chrono::milliseconds(300), [&] { return shared.ended; });
            shared.open = true;
            shared.changed.notify_all();
        }
        ender.join();
        delete shared.owner; // its worker is past everything queued once it has ended
        std::lock_guard<std::mutex> lock(shared.mutex);
        EXPECT_EQ(c.heldByOther ? 0 : 1, shared.calls);
        EXPECT_FALSE(shared.lateUse);
    }
}

// A reset makes the link afresh: the subscriptions go on over it, and values
// cached before it are forgotten, so that gets ask the device again.
TEST_F(Streams, SubscriptionsGoOnAfterAReset)
{
    ASSERT_EQ(aErrNone, subscribe(12, got));
    uint32_t value = 0;
    // The subscription's own key holds no value before a sample of it.
    EXPECT_EQ(aErrNotFound, link.getStreamValue(kModule, kSystem, 12, 0, 0xFF, &value));
    sample(streamSample(kSystem, 12, 0, SampleKind::U8, 4));
    sample(streamSample(kSystem, 12, 0, SampleKind::SubU8, 6, 0, 0xFF));
    ASSERT_TRUE(got.waitFor(2));
    EXPECT_EQ(aErrNone, link.getStreamValue(kModule, kSystem, 12, 0, 0xFF, &value));
    EXPECT_EQ(6u, value);
    ASSERT_EQ(aErrNone, link.reset());
    ASSERT_TRUE(carrier.waitForConnections(2, 2000));
    ASSERT_TRUE(link.isConnected());
    EXPECT_EQ(aErrNotFound, link.getStreamValue(kModule, kSystem, 12, 0, 0, &value));
    EXPECT_EQ(aErrNotFound, link.getStreamValue(kModule, kSystem, 12, 0, 0xFF, &value));
    // The device serves the new connection once it has answered on it.
    uint8_t streaming = 0;
    ASSERT_EQ(aErrNone, link.isLinkStreaming(kModule, &streaming));
    sample(streamSample(kSystem, 12, 0, SampleKind::U8, 5));
    ASSERT_TRUE(got.waitFor(3));
    EXPECT_EQ(aErrNone, link.getStreamValue(kModule, kSystem, 12, 0, 0, &value));
    EXPECT_EQ(5u, value);
}

// Two Links on one link, as a routing module and a module behind it: each
// subscribed Link receives the samples for as long as it is subscribed.
TEST_F(Streams, TwoLinksOnOneLinkEachReceiveTheirSamples)
{
    Link sharer(spec(), "sharer");
    ASSERT_EQ(aErrNone, sharer.setConfig(unshared()));
    ASSERT_EQ(aErrNone, sharer.connectThroughLinkModule(link));
    ASSERT_EQ(aErrNone, subscribe(12, got));
    ASSERT_EQ(aErrNone, sharer.registerStreamCallback(kModule, kSystem, 12, 0, true, Received::take, &other));
    sample(streamSample(kSystem, 12, 0, SampleKind::U8, 1));
    ASSERT_TRUE(got.waitFor(1));
    ASSERT_TRUE(other.waitFor(1));

    // Either one's last subscription ending leaves the other's.
    ASSERT_EQ(aErrNone, subscribe(12, got, kModule, false));
    sample(streamSample(kSystem, 12, 0, SampleKind::U8, 2));
    ASSERT_TRUE(other.waitFor(2));
    ASSERT_EQ(aErrNone, subscribe(12, got));
    ASSERT_EQ(aErrNone, sharer.registerStreamCallback(kModule, kSystem, 12, 0, false, {}, nullptr));
    sample(streamSample(kSystem, 12, 0, SampleKind::U8, 3));
    ASSERT_TRUE(got.waitFor(2));
    uint32_t value = 0;
    EXPECT_EQ(aErrNone, link.getStreamValue(kModule, kSystem, 12, 0, 0, &value));
    EXPECT_EQ(3u, value);
    EXPECT_EQ(aErrNotFound, sharer.getStreamValue(kModule, kSystem, 12, 0, 0, &value));
    EXPECT_EQ(2u, other.count());
}

// An error reply whose code reads 0 is no success.
TEST_F(Streams, StreamControlErrorWithCodeZeroIsAFailure)
{
    device.setCommandHandler(sim::kStreamCommand, [](sim::DeviceModel& d, const Packet& request) {
        uint8_t option = request.data.at(1);
        option = option & 0x80 ? option | 0xC0 : option & 0x3F;
        d.answer(Packet{kModule, {sim::kStreamCommand, option, 0x80, 0}});
    });
    uint8_t streaming = 7;
    EXPECT_EQ(aErrUnknown, link.isLinkStreaming(kModule, &streaming));
    EXPECT_EQ(7, streaming);
    EXPECT_EQ(aErrUnknown, subscribe(12, got));
    uint32_t value = 0;
    EXPECT_EQ(aErrNotFound, link.getStreamValue(kModule, kSystem, 12, 0xFF, 0, &value));
    EXPECT_TRUE(link.filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, true).empty());
}

// Subscriptions end with the link they were made on: after a new connect the
// cache is empty and stream packets reach the link's queue again.
TEST_F(Streams, DisconnectEndsTheSubscriptions)
{
    ASSERT_EQ(aErrNone, subscribe(12, got));
    sample(streamSample(kSystem, 12, 0, SampleKind::U8, 4));
    ASSERT_TRUE(got.waitFor(1));
    EXPECT_EQ(aErrNone, link.disconnect());
    ASSERT_EQ(aErrNone, link.connect());
    uint32_t value = 0;
    EXPECT_EQ(aErrNotFound, link.getStreamValue(kModule, kSystem, 12, 0, 0, &value));
    const std::vector<uint8_t> later = streamSample(kSystem, 12, 0, SampleKind::U8, 5);
    sample(later);
    EXPECT_EQ(later, nextQueued());
    EXPECT_EQ(1u, got.count());
}

// A Link that let go of its link still stops its worker when it goes.
TEST_F(Streams, DestroyedAfterDisconnectWhileSubscribed)
{
    auto other = std::make_unique<Link>(spec(), "other");
    ASSERT_EQ(aErrNone, other->setConfig(unshared()));
    ASSERT_EQ(aErrNone, other->connect());
    ASSERT_EQ(aErrNone, other->registerStreamCallback(kModule, kSystem, 12, 0, true, Received::take, &got));
    EXPECT_EQ(aErrNone, other->disconnect());
    other.reset();
    // The link lives on for the fixture's Link: the filter of the other is off it.
    const std::vector<uint8_t> later = streamSample(kSystem, 12, 0, SampleKind::U8, 2);
    sample(later);
    EXPECT_EQ(later, nextQueued());
}

// Two Links on one link: one that never subscribed leaves the other's
// subscriptions alone when it goes.
TEST_F(Streams, SharingLinkLeavesTheSubscriberAlone)
{
    ASSERT_EQ(aErrNone, subscribe(12, got));
    {
        Link sharer(spec(), "sharer");
        ASSERT_EQ(aErrNone, sharer.setConfig(unshared()));
        ASSERT_EQ(aErrNone, sharer.connectThroughLinkModule(link));
        uint8_t streaming = 0;
        EXPECT_EQ(aErrNone, sharer.isLinkStreaming(kModule, &streaming));
    }
    sample(streamSample(kSystem, 12, 0, SampleKind::U8, 3));
    ASSERT_TRUE(got.waitFor(1));
    EXPECT_EQ((std::vector<uint8_t>{kMarker, 1}), nextQueued());
}

// Samples flow while the caller's thread subscribes, ends subscriptions and
// reads the cache; the callbacks see their samples in order.
TEST_F(Streams, SubscriptionsChangeWhileSamplesFlow)
{
    ASSERT_EQ(aErrNone, subscribe(12, got));
    constexpr uint32_t kSamples = 300;
    std::thread sender([&] {
        for (uint32_t i = 0; i < kSamples; i++) {
            // No more than the ring holds on their way: a full ring drops samples.
            while (i > got.count() + 100) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            sample(streamSample(kSystem, 12, 0, SampleKind::U32, i));
            sample(streamSample(kSystem, 13, 0, SampleKind::U8, i & 0xFF));
        }
    });
    uint32_t value = 0;
    for (int i = 0; i < 10; i++) {
        EXPECT_EQ(aErrNone, subscribe(13, other));
        link.getStreamValue(kModule, kSystem, 12, 0, 0, &value);
        EXPECT_EQ(aErrNone, subscribe(13, other, kModule, false));
    }
    sender.join();
    ASSERT_TRUE(got.waitFor(kSamples));
    std::lock_guard<std::mutex> lock(got.mutex);
    for (uint32_t i = 0; i < kSamples; i++) {
        uint32_t sampled = 0;
        aPacket packet = packetOf(kModule, got.samples[i]);
        ASSERT_EQ(aErrNone, Link::getStreamSample(&packet, nullptr, &sampled, nullptr));
        EXPECT_EQ(i, sampled);
    }
}

// A callback of a Link that is being closed, while another Link holds the
// same link: the subscription or packet log it asks for is refused, and what
// it got before the close was seen is given back once it has returned. The
// link then hands nothing more to the closed Link: stream packets reach the
// other holder's queue, the other may log the link, and the closed Link has
// no cached values.
TEST_F(Streams, CallbackDuringACloseTakesNothingThatOutlivesIt)
{
    enum class Close { Destroy, Disconnect };
    enum class Asks { Subscription, PacketLog };
    struct Case {
        const char* what;
        Close close;
        Asks asks;
        aErr refusal;
    } cases[] = {
        {"subscribes while its Link is destroyed", Close::Destroy, Asks::Subscription, aErrConnection},
        {"enables the packet log while its Link is destroyed", Close::Destroy, Asks::PacketLog, aErrConfiguration},
        {"subscribes while its Link is disconnected", Close::Disconnect, Asks::Subscription, aErrConnection},
    };
    constexpr uint8_t kCalling = 20, kAsked = 12;
    const std::string logPath =
        std::string(TESS_BINARY_DIR) + "/close-window." + std::to_string(getpid()) + ".log";
    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        bool entered = false;
        bool closing = false;
        int calls = 0;
        aErr last = aErrUnknown; // the answer to the callback's last request
        Link* closed = nullptr;
        Asks asks = Asks::Subscription;
        aErr refusal = aErrNone;
        Received* into = nullptr;
        const char* path = nullptr;
    };
    StreamCallback asking = [](const aPacket*, void* reference) -> uint8_t {
        auto* s = static_cast<Shared*>(reference);
        std::unique_lock<std::mutex> lock(s->mutex);
        if (s->calls++ != 0) return 0;
        s->entered = true;
        s->changed.notify_all();
        if (!s->changed.wait_for(lock, std::chrono::seconds(5), [&] { return s->closing; })) return 0;
        lock.unlock();
        // Asks until the closing Link refuses; what it got before that is
        // the close's to give back.
        aErr result = aErrUnknown;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        do {
            result = s->asks == Asks::Subscription
                         ? s->closed->registerStreamCallback(kModule, kSystem, kAsked, 0, true, Received::take,
                                                             s->into)
                         : s->closed->enablePacketLog(s->path);
        } while (result != s->refusal && std::chrono::steady_clock::now() < deadline);
        lock.lock();
        s->last = result;
        return 0;
    };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Received late;
        Shared shared;
        shared.asks = c.asks;
        shared.refusal = c.refusal;
        shared.into = &late;
        shared.path = logPath.c_str();
        std::remove(logPath.c_str());
        auto closed = std::make_unique<Link>(spec(), "closed");
        shared.closed = closed.get();
        ASSERT_EQ(aErrNone, closed->setConfig(unshared()));
        ASSERT_EQ(aErrNone, closed->connect());
        ASSERT_EQ(aErrNone, closed->registerStreamCallback(kModule, kSystem, kCalling, 0, true, asking, &shared));
        sample(streamSample(kSystem, kCalling, 0, SampleKind::U8, 1));
        {
            std::unique_lock<std::mutex> lock(shared.mutex);
            ASSERT_TRUE(shared.changed.wait_for(lock, std::chrono::seconds(5), [&] { return shared.entered; }));
            shared.closing = true;
            shared.changed.notify_all();
        }
        // The close waits for the running callback.
        if (c.close == Close::Destroy) closed.reset();
        else EXPECT_EQ(aErrNone, closed->disconnect());
        {
            std::lock_guard<std::mutex> lock(shared.mutex);
            EXPECT_EQ(c.refusal, shared.last);
        }

        const std::vector<uint8_t> later = streamSample(kSystem, kAsked, 0, SampleKind::U8, 7);
        sample(later);
        EXPECT_EQ(later, nextQueued()) << "the closed Link still takes the link's stream packets";
        EXPECT_EQ(0u, late.count());
        if (closed) {
            uint32_t value = 0;
            EXPECT_EQ(aErrNotFound, closed->getStreamValue(kModule, kSystem, kAsked, 0, 0, &value));
            closed.reset();
        }
        if (c.asks == Asks::PacketLog) {
            EXPECT_EQ(aErrNone, link.enablePacketLog(logPath.c_str())) << "the closed Link holds the link's log";
            EXPECT_EQ(aErrNone, link.disablePacketLog());
        }
    }
    std::remove(logPath.c_str());
}

} // namespace
