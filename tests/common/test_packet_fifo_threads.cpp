// test-labels: unit threaded
// Packet FIFOs shared by many threads: producers and consumers that wait with
// time-outs and filters lose and duplicate nothing, and a destroy wakes every
// waiter at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "common/aPacketFifo.h"
#include "common/aUEI.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct PacketDeleter {
    void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

// Test packets carry their producer in data[0] and their number in data[1..4].
PacketPtr makePacket(uint8_t producer, uint32_t number)
{
    uint8_t data[5] = {producer};
    aUEI_StoreInt(data + 1, number);
    return PacketPtr(aPacket_CreateWithData(0x02, sizeof data, data));
}

uint8_t producerOf(const aPacket* packet)
{
    return packet->data[0];
}

uint32_t numberOf(const aPacket* packet)
{
    return aUEI_RetrieveInt(packet->data + 1);
}

bool fromEvenProducer(const aPacket* packet, const void*)
{
    return producerOf(packet) % 2 == 0;
}

bool fromProducer(const aPacket* packet, const void* reference)
{
    return producerOf(packet) == *static_cast<const uint8_t*>(reference);
}

// What one consumer took, in the order it took it.
struct Taken {
    std::vector<std::pair<uint8_t, uint32_t>> packets;
    bool inOrder = true;
    bool filterHeld = true;
};

void record(Taken& taken, const aPacket* packet, bool evenOnly)
{
    const uint8_t producer = producerOf(packet);
    const uint32_t number = numberOf(packet);
    for (auto it = taken.packets.rbegin(); it != taken.packets.rend(); ++it) {
        if (it->first == producer) {
            taken.inOrder = taken.inOrder && number > it->second;
            break;
        }
    }
    taken.filterHeld = taken.filterHeld && (!evenOnly || producer % 2 == 0);
    taken.packets.emplace_back(producer, number);
}

TEST(PacketFifoThreads, ProducersAndConsumersLoseAndDuplicateNothing)
{
    constexpr int kProducers = 4;
    constexpr uint32_t kPerProducer = 3000;
    constexpr size_t kTotal = kProducers * kPerProducer;
    // Producers hold back well below the overflow limit, which would drop packets.
    constexpr size_t kHighWater = aPACKETFIFO_MAX_QUEUED / 2;

    aPacketFifoId id = aPacketFifo_Create();
    ASSERT_NE(id, 0u);
    // The threads keep their own copy of the handle: the destroy clears id.
    const aPacketFifoId fifo = id;
    std::atomic<size_t> takenCount{0};
    std::atomic<bool> stop{false};
    const auto giveUp = Clock::now() + 60s;

    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (uint32_t n = 0; n < kPerProducer && Clock::now() < giveUp; ++n) {
                while (aPacketFifo_GetLength(fifo) > kHighWater && Clock::now() < giveUp) std::this_thread::yield();
                EXPECT_EQ(aPacketFifo_Put(fifo, makePacket(static_cast<uint8_t>(p), n).get()), aErrNone);
            }
        });
    }

    // Two consumers take anything and leave only when the destroy wakes them;
    // two take packets of even producers with short time-outs until told to stop.
    std::vector<Taken> taken(4);
    std::vector<std::thread> consumers;
    for (int c = 0; c < 2; ++c) {
        consumers.emplace_back([&, c] {
            while (PacketPtr packet{aPacketFifo_Await(fifo, 60000)}) {
                record(taken[c], packet.get(), false);
                ++takenCount;
            }
        });
    }
    for (int c = 2; c < 4; ++c) {
        consumers.emplace_back([&, c] {
            while (!stop) {
                PacketPtr packet{aPacketFifo_AwaitFirst(fifo, fromEvenProducer, nullptr, 2)};
                if (!packet) continue;
                record(taken[c], packet.get(), true);
                ++takenCount;
            }
        });
    }

    for (auto& producer : producers) producer.join();
    while (takenCount < kTotal && Clock::now() < giveUp) std::this_thread::yield();
    EXPECT_EQ(takenCount.load(), kTotal);
    EXPECT_EQ(aPacketFifo_GetLength(id), 0u);

    const auto destroyedAt = Clock::now();
    ASSERT_EQ(aPacketFifo_Destroy(&id), aErrNone);
    stop = true;
    for (auto& consumer : consumers) consumer.join();
    EXPECT_LT(Clock::now() - destroyedAt, 5s) << "waiters were not woken by the destroy";
    EXPECT_EQ(aPacketFifo_Await(fifo, 0), nullptr);

    std::set<std::pair<uint8_t, uint32_t>> seen;
    size_t evenOnlyTaken = 0;
    for (size_t c = 0; c < taken.size(); ++c) {
        EXPECT_TRUE(taken[c].inOrder) << "consumer " << c << " took a producer's packets out of order";
        EXPECT_TRUE(taken[c].filterHeld) << "consumer " << c << " took a packet its filter refused";
        for (const auto& packet : taken[c].packets) {
            EXPECT_TRUE(seen.insert(packet).second)
                << "packet " << int(packet.first) << "/" << packet.second << " taken twice";
        }
        if (c >= 2) evenOnlyTaken += taken[c].packets.size();
    }
    EXPECT_EQ(seen.size(), kTotal);
    EXPECT_GT(evenOnlyTaken, 0u);
}

// A filter that tells the test when a waiter has looked at the queue.
struct Watch {
    std::atomic<int> looks{0};
    uint8_t producer;
    static bool filter(const aPacket* packet, const void* reference)
    {
        auto* self = const_cast<Watch*>(static_cast<const Watch*>(reference));
        ++self->looks;
        return producerOf(packet) == self->producer;
    }
};

TEST(PacketFifoThreads, DestroyWakesEveryWaiterAtOnce)
{
    aPacketFifoId id = aPacketFifo_Create();
    const aPacketFifoId fifo = id;
    ASSERT_EQ(aPacketFifo_Put(id, makePacket(9, 0).get()), aErrNone);

    constexpr int kWaiters = 3;
    std::vector<Watch> watches(kWaiters);
    std::atomic<int> returnedNull{0};
    std::vector<std::thread> waiters;
    for (int w = 0; w < kWaiters; ++w) {
        watches[w].producer = static_cast<uint8_t>(w);
        waiters.emplace_back([&, w] {
            if (!aPacketFifo_AwaitFirst(fifo, Watch::filter, &watches[w], 60000)) ++returnedNull;
        });
    }
    // Each filtering waiter has refused the queued packet: it waits on the FIFO.
    for (const Watch& watch : watches) {
        while (watch.looks == 0) std::this_thread::yield();
    }
    const uint8_t nine = 9;
    ASSERT_EQ(aPacketFifo_DrainPackets(id, fromProducer, &nine), 1u);
    for (int w = 0; w < kWaiters; ++w) {
        waiters.emplace_back([&] {
            if (!aPacketFifo_Await(fifo, 60000)) ++returnedNull;
        });
    }
    const auto start = Clock::now();
    ASSERT_EQ(aPacketFifo_Destroy(&id), aErrNone);
    for (auto& waiter : waiters) waiter.join();
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_EQ(returnedNull.load(), 2 * kWaiters);
}

TEST(PacketFifoThreads, FilteringWaiterSeesEachArrivalOnce)
{
    aPacketFifoId id = aPacketFifo_Create();
    ASSERT_EQ(aPacketFifo_Put(id, makePacket(1, 0).get()), aErrNone);

    Watch watch;
    watch.producer = 2;
    PacketPtr got;
    std::thread waiter([&] { got.reset(aPacketFifo_AwaitFirst(id, Watch::filter, &watch, 60000)); });
    while (watch.looks == 0) std::this_thread::yield();
    ASSERT_EQ(aPacketFifo_Put(id, makePacket(1, 1).get()), aErrNone);
    ASSERT_EQ(aPacketFifo_Put(id, makePacket(2, 7).get()), aErrNone);
    waiter.join();
    ASSERT_TRUE(got);
    EXPECT_EQ(numberOf(got.get()), 7u);
    EXPECT_EQ(watch.looks.load(), 3);
    EXPECT_EQ(aPacketFifo_GetLength(id), 2u);
    EXPECT_EQ(aPacketFifo_Destroy(&id), aErrNone);
}

TEST(PacketFifoThreads, TimeOutTooLongForTheClockStillWaits)
{
    aPacketFifoId id = aPacketFifo_Create();
    std::atomic<bool> returned{false};
    PacketPtr got;
    std::thread waiter([&] {
        got.reset(aPacketFifo_Await(id, UINT64_MAX));
        returned = true;
    });
    // Proving that the waiter does not give up takes a little time.
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(returned);
    ASSERT_EQ(aPacketFifo_Put(id, makePacket(3, 8).get()), aErrNone);
    waiter.join();
    ASSERT_TRUE(got);
    EXPECT_EQ(numberOf(got.get()), 8u);
    EXPECT_EQ(aPacketFifo_Destroy(&id), aErrNone);
}

} // namespace
