// The packet log: the ring's records, its drops and refusals against a model
// of it, and the per-link operations that make, fill and read a link's ring.
#include "common/aPacketLog.h"

#include <gtest/gtest.h>

#include <deque>
#include <numeric>
#include <random>
#include <vector>

#include "common/aLink.h"
#include "tests/common/link_harness.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Record {
    int kind;
    Bytes payload;
};

Bytes bytesOf(size_t n, uint8_t first = 1)
{
    Bytes bytes(n);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

// Takes the oldest record with room for 255 bytes; kind -1 when there is none.
Record take(aPacketLog* log)
{
    Record record{-1, Bytes(255)};
    uint32_t length = static_cast<uint32_t>(record.payload.size());
    aErr err = aPacketLog_Get(log, &record.kind, &length, record.payload.data());
    if (err != aErrNone)
        return {-1, {}};
    record.payload.resize(length);
    return record;
}

struct PacketLog {
    explicit PacketLog(uint32_t size) : log(aPacketLog_Create(size)) {}
    ~PacketLog() { aPacketLog_Destroy(&log); }
    aErr put(uint8_t kind, const Bytes& payload)
    {
        return aPacketLog_Put(log, kind, static_cast<uint32_t>(payload.size()), payload.data());
    }
    aPacketLog* log;
};

TEST(PacketLogRing, HoldsWhatFitsAndRefusesWhatNeverCan)
{
    struct Case {
        uint32_t size;
        uint32_t payload;
        aErr expected;
    } cases[] = {
        {8, 5, aErrNone},     // 7 bytes of 8: one stays free
        {8, 6, aErrOverrun},  // 8 bytes would fill it
        {3, 0, aErrNone},     // a bare kind and length
        {2, 0, aErrOverrun},
        {1024, 255, aErrNone},
        {1024, 256, aErrOverrun}, // the length is one byte
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "size " << c.size << ", payload " << c.payload);
        PacketLog ring(c.size);
        ASSERT_NE(ring.log, nullptr);
        Bytes payload = bytesOf(c.payload);
        EXPECT_EQ(ring.put(3, payload), c.expected);
        Record got = take(ring.log);
        if (c.expected == aErrNone) {
            EXPECT_EQ(got.kind, 3);
            EXPECT_EQ(got.payload, payload);
        } else {
            EXPECT_EQ(got.kind, -1) << "a refused record left something behind";
        }
    }
}

TEST(PacketLogRing, FullRingDropsTheOldestRecordWhole)
{
    PacketLog ring(16);
    ASSERT_EQ(ring.put(1, bytesOf(5, 10)), aErrNone);
    ASSERT_EQ(ring.put(2, bytesOf(5, 20)), aErrNone); // 14 bytes in use
    ASSERT_EQ(ring.put(1, bytesOf(5, 30)), aErrNone); // wraps round the end

    Record second = take(ring.log);
    EXPECT_EQ(second.kind, 2);
    EXPECT_EQ(second.payload, bytesOf(5, 20));
    Record third = take(ring.log);
    EXPECT_EQ(third.kind, 1);
    EXPECT_EQ(third.payload, bytesOf(5, 30));
    int kind = 0;
    uint32_t length = 64;
    uint8_t buffer[64];
    EXPECT_EQ(aPacketLog_Get(ring.log, &kind, &length, buffer), aErrNotFound);
}

TEST(PacketLogRing, ReadIntoTooSmallABufferKeepsTheRecord)
{
    PacketLog ring(64);
    ASSERT_EQ(ring.put(2, {0x04, 0x02, 0x11, 0x22}), aErrNone);
    int kind = 0;
    uint32_t length = 2;
    uint8_t buffer[4] = {};
    EXPECT_EQ(aPacketLog_Get(ring.log, &kind, &length, buffer), aErrOverrun);
    EXPECT_EQ(kind, 2);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(aPacketLog_Get(ring.log, &kind, &length, buffer), aErrNone);
    EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{0x04, 0x02, 0x11, 0x22}));
    EXPECT_EQ(take(ring.log).kind, -1);
}

// Random records of every size through small rings, against a queue that
// drops its oldest entries by the same rule: the bytes in use stay below the size.
TEST(PacketLogRing, AgreesWithAModelThroughManyWraps)
{
    std::mt19937 random(7);
    for (uint32_t size : {3u, 17u, 64u, 301u}) {
        SCOPED_TRACE(testing::Message() << "size " << size);
        PacketLog ring(size);
        std::deque<Record> model;
        size_t used = 0;
        for (int step = 0; step < 5000; step++) {
            if (random() % 3 == 0) {
                Record got = take(ring.log);
                if (model.empty()) {
                    ASSERT_EQ(got.kind, -1);
                    continue;
                }
                ASSERT_EQ(got.kind, model.front().kind);
                ASSERT_EQ(got.payload, model.front().payload);
                used -= model.front().payload.size() + 2;
                model.pop_front();
                continue;
            }
            size_t n = random() % std::min<uint32_t>(size + 2, 80);
            Record record{static_cast<int>(random() % 256), Bytes(n)};
            for (uint8_t& b : record.payload)
                b = static_cast<uint8_t>(random());
            aErr err = ring.put(static_cast<uint8_t>(record.kind), record.payload);
            if (n + 2 >= size) {
                ASSERT_EQ(err, aErrOverrun);
                continue;
            }
            ASSERT_EQ(err, aErrNone);
            while (used + n + 2 >= size) {
                used -= model.front().payload.size() + 2;
                model.pop_front();
            }
            model.push_back(record);
            used += n + 2;
        }
    }
}

TEST(PacketLogRing, RefusesWhatItCannotWorkOn)
{
    EXPECT_EQ(aPacketLog_Create(0), nullptr); // could hold nothing, and positions wrap modulo the size
    EXPECT_EQ(aPacketLog_Put(nullptr, 1, 0, nullptr), aErrParam);
    PacketLog ring(16);
    EXPECT_EQ(aPacketLog_Put(ring.log, 1, 3, nullptr), aErrParam);
    EXPECT_EQ(aPacketLog_Put(ring.log, 1, 0, nullptr), aErrNone);
    int kind = 0;
    uint32_t length = 0;
    EXPECT_EQ(aPacketLog_Get(nullptr, &kind, &length, nullptr), aErrParam);
    EXPECT_EQ(aPacketLog_Get(ring.log, nullptr, &length, nullptr), aErrParam);
    EXPECT_EQ(aPacketLog_Get(ring.log, &kind, &length, nullptr), aErrNone);
    EXPECT_EQ(length, 0u);

    aPacketLog* none = nullptr;
    EXPECT_EQ(aPacketLog_Destroy(&none), aErrNone);
    EXPECT_EQ(aPacketLog_Destroy(nullptr), aErrNone);
    aPacketLog* log = aPacketLog_Create(8);
    EXPECT_EQ(aPacketLog_Destroy(&log), aErrNone);
    EXPECT_EQ(log, nullptr);
}

// A link without a stream: the log operations need no running link.
class LinkLog : public ::testing::Test {
protected:
    aErr write(uint8_t kind, const Bytes& data)
    {
        return aLink_PacketDebug_Write(link.id(), kind, static_cast<int32_t>(data.size()), data.data());
    }
    Record read()
    {
        Record record{-1, Bytes(64)};
        uint32_t length = 64;
        if (aLink_PacketDebug_Read(link.id(), &record.kind, &length, record.payload.data()) != aErrNone)
            return {-1, {}};
        record.payload.resize(length);
        return record;
    }
    aPacketLog* ring() const { return link.record()->packetLog; }

    linktest::TestLink link{nullptr};
};

TEST_F(LinkLog, UnknownLinksAndLinksWithoutALog)
{
    constexpr aLinkId kUnknown = 0xFFFFFF;
    int kind = 0;
    uint32_t length = 64;
    uint8_t buffer[64];
    for (aLinkId id : {aLinkId(0), kUnknown}) {
        EXPECT_EQ(aLink_PacketDebug_SetLogSize(id, 0), aErrParam);
        EXPECT_EQ(aLink_PacketDebug_Enable(id), aErrParam);
        EXPECT_EQ(aLink_PacketDebug_Disable(id), aErrParam);
        EXPECT_EQ(aLink_PacketDebug_Read(id, &kind, &length, buffer), aErrParam);
        EXPECT_EQ(aLink_PacketDebug_Write(id, 3, 1, buffer), aErrParam);
    }
    EXPECT_EQ(aLink_PacketDebug_Disable(link.id()), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_Read(link.id(), &kind, &length, buffer), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_Write(link.id(), 3, 1, buffer), aErrNotReady);
    EXPECT_EQ(ring(), nullptr);
}

TEST_F(LinkLog, SizeIsSetBeforeTheFirstEnableOnly)
{
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(link.id(), aPACKETLOG_MAX_SIZE + 1), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(link.id(), aPACKETLOG_MAX_SIZE), aErrNone);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(link.id(), -5), aErrNone); // the default
    ASSERT_EQ(aLink_PacketDebug_Enable(link.id()), aErrNone);
    ASSERT_NE(ring(), nullptr);
    EXPECT_EQ(ring()->size, aPACKETLOG_DEFAULT_SIZE);
    EXPECT_TRUE(ring()->enabled);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(link.id(), 128), aErrBusy);

    {
        linktest::TestLink small(nullptr);
        ASSERT_EQ(aLink_PacketDebug_SetLogSize(small.id(), 16), aErrNone);
        ASSERT_EQ(aLink_PacketDebug_Enable(small.id()), aErrNone);
        EXPECT_EQ(small.record()->packetLog.load()->size, 16u);
        Bytes twelve = bytesOf(12);
        EXPECT_EQ(aLink_PacketDebug_Write(small.id(), 3, 14, bytesOf(14).data()), aErrOverrun);
        EXPECT_EQ(aLink_PacketDebug_Write(small.id(), 3, 12, twelve.data()), aErrNone);
    }
}

TEST_F(LinkLog, WrittenRecordsComeBackOldestFirstAndOutliveADisable)
{
    ASSERT_EQ(aLink_PacketDebug_Enable(link.id()), aErrNone);
    EXPECT_EQ(write(3, {'S', 'T', 'A', 'R', 'T', 0}), aErrNone);
    EXPECT_EQ(write(7, {}), aErrNone);
    EXPECT_EQ(aLink_PacketDebug_Write(link.id(), 3, -1, nullptr), aErrParam);
    EXPECT_EQ(write(3, bytesOf(256)), aErrOverrun);

    EXPECT_EQ(aLink_PacketDebug_Disable(link.id()), aErrNone);
    EXPECT_FALSE(ring()->enabled);
    aPacketLog* before = ring();
    EXPECT_EQ(aLink_PacketDebug_Enable(link.id()), aErrNone);
    EXPECT_EQ(ring(), before) << "enable again keeps the same ring";

    Record start = read();
    EXPECT_EQ(start.kind, 3);
    EXPECT_EQ(start.payload, (Bytes{'S', 'T', 'A', 'R', 'T', 0}));
    Record empty = read();
    EXPECT_EQ(empty.kind, 7);
    EXPECT_TRUE(empty.payload.empty());
    int kind = 0;
    uint32_t length = 64;
    uint8_t buffer[64];
    EXPECT_EQ(aLink_PacketDebug_Read(link.id(), &kind, &length, buffer), aErrNotFound);
}

TEST_F(LinkLog, AReinitialisedLinkStartsWithoutALog)
{
    ASSERT_EQ(aLink_PacketDebug_SetLogSize(link.id(), 32), aErrNone);
    ASSERT_EQ(aLink_PacketDebug_Enable(link.id()), aErrNone);
    ASSERT_EQ(write(3, {1, 2, 3}), aErrNone);

    ASSERT_EQ(aLink_Init(link.id(), nullptr), link.id());
    EXPECT_EQ(ring(), nullptr);
    EXPECT_EQ(read().kind, -1);
    EXPECT_EQ(aLink_PacketDebug_Disable(link.id()), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(link.id(), 0), aErrNone);
    ASSERT_EQ(aLink_PacketDebug_Enable(link.id()), aErrNone);
    EXPECT_EQ(ring()->size, aPACKETLOG_DEFAULT_SIZE);
    EXPECT_EQ(read().kind, -1) << "the new ring is empty";
}

} // namespace
