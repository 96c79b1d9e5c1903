// Packet FIFOs on one thread: handles, copies in and out, filters, the
// overflow rule and destroy.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "common/aPacketFifo.h"

namespace {

struct PacketDeleter {
    void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

// A packet whose one data byte tells it apart.
PacketPtr makePacket(uint8_t tag)
{
    return PacketPtr(aPacket_CreateWithData(0x02, 1, &tag));
}

uint8_t tagOf(const PacketPtr& packet)
{
    return packet->data[0];
}

bool acceptsTags(const aPacket* packet, const void* reference)
{
    const auto* tags = static_cast<const std::vector<uint8_t>*>(reference);
    for (uint8_t tag : *tags) {
        if (packet->data[0] == tag) return true;
    }
    return false;
}

// Owns one FIFO for a test and checks its contents.
class Fifo : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(id, 0u); }
    void TearDown() override
    {
        if (id) {
            EXPECT_EQ(aPacketFifo_Destroy(&id), aErrNone);
        }
    }

    void put(std::vector<uint8_t> tags)
    {
        for (uint8_t tag : tags) ASSERT_EQ(aPacketFifo_Put(id, makePacket(tag).get()), aErrNone);
    }

    // Empties the FIFO and gives the tags that were queued, front first.
    std::vector<uint8_t> takeAll()
    {
        std::vector<uint8_t> tags;
        while (PacketPtr packet{aPacketFifo_Get(id)}) tags.push_back(tagOf(packet));
        return tags;
    }

    aPacketFifoId id = aPacketFifo_Create();
};

// The handles that the test program's first FIFOs got, before any test ran.
aPacketFifoId gFirstHandle = 0;
aPacketFifoId gSecondHandle = 0;

class FirstHandles : public ::testing::Environment {
public:
    void SetUp() override
    {
        gFirstHandle = aPacketFifo_Create();
        aPacketFifoId first = gFirstHandle;
        aPacketFifo_Destroy(&first);
        gSecondHandle = aPacketFifo_Create();
        aPacketFifoId second = gSecondHandle;
        aPacketFifo_Destroy(&second);
    }
};
const auto* const gFirstHandles = ::testing::AddGlobalTestEnvironment(new FirstHandles);

TEST(PacketFifo, HandlesStartAtOneAndAreNeverReused)
{
    EXPECT_EQ(gFirstHandle, 1u);
    EXPECT_EQ(gSecondHandle, 2u);
    aPacketFifoId id = aPacketFifo_Create();
    EXPECT_GT(id, gSecondHandle);
    EXPECT_EQ(aPacketFifo_Destroy(&id), aErrNone);
}

TEST_F(Fifo, PacketsComeOutAsIndependentCopiesInOrder)
{
    PacketPtr mine = makePacket(7);
    ASSERT_EQ(aPacketFifo_Put(id, mine.get()), aErrNone);
    mine->data[0] = 99;  // the queued copy is not the caller's packet
    put({8, 9});
    EXPECT_EQ(aPacketFifo_GetLength(id), 3u);

    PacketPtr first{aPacketFifo_Get(id)};
    ASSERT_TRUE(first);
    EXPECT_NE(first.get(), mine.get());
    EXPECT_TRUE(aPacket_IsComplete(first.get()));
    EXPECT_EQ(tagOf(first), 7);
    first.reset();
    EXPECT_EQ(takeAll(), (std::vector<uint8_t>{8, 9}));
    EXPECT_EQ(aPacketFifo_Get(id), nullptr);
}

TEST_F(Fifo, PutRefusesBadHandlesAndNonPackets)
{
    put({1});
    aPacket foreign = *makePacket(2);
    foreign.check = 0;
    EXPECT_EQ(aPacketFifo_Put(0, makePacket(3).get()), aErrParam);
    EXPECT_EQ(aPacketFifo_Put(id + 1000, makePacket(3).get()), aErrParam);
    EXPECT_EQ(aPacketFifo_Put(id, &foreign), aErrParam);
    EXPECT_EQ(aPacketFifo_Put(id, nullptr), aErrParam);
    EXPECT_EQ(takeAll(), (std::vector<uint8_t>{1}));
}

TEST_F(Fifo, UnknownHandlesAnswerNeutrally)
{
    const aPacketFifoId unknown = id + 1000;
    std::vector<uint8_t> all = {1};
    EXPECT_EQ(aPacketFifo_GetLength(unknown), 0u);
    EXPECT_EQ(aPacketFifo_Get(unknown), nullptr);
    EXPECT_EQ(aPacketFifo_Await(unknown, 0), nullptr);
    EXPECT_EQ(aPacketFifo_GetFirst(unknown, acceptsTags, &all), nullptr);
    EXPECT_EQ(aPacketFifo_AwaitFirst(unknown, acceptsTags, &all, 0), nullptr);
    EXPECT_EQ(aPacketFifo_DrainPackets(unknown, acceptsTags, &all), 0u);
}

TEST_F(Fifo, MissingFilterTakesNothing)
{
    put({1});
    EXPECT_EQ(aPacketFifo_GetFirst(id, nullptr, nullptr), nullptr);
    EXPECT_EQ(aPacketFifo_AwaitFirst(id, nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(aPacketFifo_DrainPackets(id, nullptr, nullptr), 0u);
    EXPECT_EQ(aPacketFifo_GetLength(id), 1u);
}

TEST_F(Fifo, OverflowEmptiesTheQueue)
{
    for (int i = 0; i < aPACKETFIFO_MAX_QUEUED; ++i) put({static_cast<uint8_t>(i)});
    EXPECT_EQ(aPacketFifo_GetLength(id), 1000u);
    EXPECT_EQ(aPacketFifo_Put(id, makePacket(0xEE).get()), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(id), 0u);

    put({0xAB});
    std::vector<uint8_t> wanted = {0xAB};
    PacketPtr next{aPacketFifo_AwaitFirst(id, acceptsTags, &wanted, 0)};
    ASSERT_TRUE(next);
    EXPECT_EQ(aPacketFifo_GetLength(id), 0u);
}

TEST_F(Fifo, AwaitWithoutTimeOutTakesOnlyWhatIsThere)
{
    EXPECT_EQ(aPacketFifo_Await(id, 0), nullptr);
    put({5});
    PacketPtr packet{aPacketFifo_Await(id, 0)};
    ASSERT_TRUE(packet);
    EXPECT_EQ(tagOf(packet), 5);
}

TEST_F(Fifo, AwaitTimesOut)
{
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aPacketFifo_Await(id, 20), nullptr);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
}

TEST_F(Fifo, FiltersTakeAndDrainTheOldestMatches)
{
    const std::vector<uint8_t> p2p3 = {2, 3};
    put({1, 2, 3});
    PacketPtr taken{aPacketFifo_GetFirst(id, acceptsTags, &p2p3)};
    ASSERT_TRUE(taken);
    EXPECT_EQ(tagOf(taken), 2);
    EXPECT_EQ(aPacketFifo_DrainPackets(id, acceptsTags, &p2p3), 1u);
    EXPECT_EQ(takeAll(), (std::vector<uint8_t>{1}));

    put({1, 2, 3, 4, 2});
    EXPECT_EQ(aPacketFifo_DrainPackets(id, acceptsTags, &p2p3), 3u);
    EXPECT_EQ(aPacketFifo_GetFirst(id, acceptsTags, &p2p3), nullptr);
    EXPECT_EQ(takeAll(), (std::vector<uint8_t>{1, 4}));
}

struct CountingFilter {
    std::vector<uint8_t> offered;
    uint8_t accept;
    static bool filter(const aPacket* packet, const void* reference)
    {
        auto* self = const_cast<CountingFilter*>(static_cast<const CountingFilter*>(reference));
        self->offered.push_back(packet->data[0]);
        return packet->data[0] == self->accept;
    }
};

TEST_F(Fifo, AwaitFirstOffersEachQueuedPacketOnce)
{
    put({1, 2, 3});
    CountingFilter counting{{}, 2};
    PacketPtr match{aPacketFifo_AwaitFirst(id, CountingFilter::filter, &counting, 0)};
    ASSERT_TRUE(match);
    EXPECT_EQ(tagOf(match), 2);
    EXPECT_EQ(counting.offered, (std::vector<uint8_t>{1, 2}));

    // Nothing matches: the wait's last look at the deadline offers nothing again.
    counting = CountingFilter{{}, 9};
    EXPECT_EQ(aPacketFifo_AwaitFirst(id, CountingFilter::filter, &counting, 20), nullptr);
    EXPECT_EQ(counting.offered, (std::vector<uint8_t>{1, 3}));
    EXPECT_EQ(takeAll(), (std::vector<uint8_t>{1, 3}));
}

TEST_F(Fifo, DestroyFreesThePacketsAndClearsTheHandle)
{
    put({1, 2, 3});
    const aPacketFifoId before = id;
    ASSERT_EQ(aPacketFifo_Destroy(&id), aErrNone);
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(aPacketFifo_Destroy(&id), aErrNotFound);
    aPacketFifoId stale = before;
    EXPECT_EQ(aPacketFifo_Destroy(&stale), aErrNotFound);
    EXPECT_EQ(stale, before);
    EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);
    EXPECT_EQ(aPacketFifo_GetLength(before), 0u);
    EXPECT_EQ(aPacketFifo_Put(before, makePacket(4).get()), aErrParam);
}

} // namespace
