// UEI payload helpers: big-endian values and payload classification.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "common/aUEI.h"

namespace {

struct PacketDeleter {
    void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

PacketPtr makePacket(const std::vector<uint8_t>& data)
{
    uint8_t bytes[aPACKET_MAX_DATA] = {};
    std::copy(data.begin(), data.end(), bytes);
    return PacketPtr(aPacket_CreateWithData(0x02, static_cast<uint8_t>(data.size()), bytes));
}

TEST(UEI, BigEndianValues)
{
    const uint8_t in[] = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(aUEI_RetrieveInt(in), 0x12345678u);
    EXPECT_EQ(aUEI_RetrieveShort(in), 0x1234u);

    uint8_t out[4] = {};
    aUEI_StoreShort(out, 0xABCD);
    EXPECT_EQ(out[0], 0xAB);
    EXPECT_EQ(out[1], 0xCD);
    aUEI_StoreInt(out, 0xFEDCBA98u);
    EXPECT_EQ(aUEI_RetrieveInt(out), 0xFEDCBA98u);
    EXPECT_EQ(out[0], 0xFE);
    EXPECT_EQ(out[3], 0x98);
}

TEST(UEI, ModifyIntBufferConvertsEachWord)
{
    uint32_t words[2];
    const uint8_t wire[8] = {0x00, 0x00, 0x01, 0x02, 0xDE, 0xAD, 0xBE, 0xEF};
    memcpy(words, wire, sizeof words);
    aUEI_ModifyIntBuffer(words, 2);
    EXPECT_EQ(words[0], 0x0102u);
    EXPECT_EQ(words[1], 0xDEADBEEFu);
}

TEST(UEI, ByteArrayChunkSequenceByte)
{
    PacketPtr more = makePacket({3, 0x80, 0x01, 0x11, 0x85});
    EXPECT_EQ(aUEI_getBytesSequence(more.get()), 5);
    EXPECT_TRUE(aUEI_getBytesContinue(more.get()));

    PacketPtr last = makePacket({3, 0x80, 0x01, 0x11, 0x07});
    EXPECT_EQ(aUEI_getBytesSequence(last.get()), 7);
    EXPECT_FALSE(aUEI_getBytesContinue(last.get()));
}

TEST(UEI, SequenceByteOfAPacketWithoutData)
{
    // The byte before the data is the length field, which must never be read as data.
    PacketPtr empty = makePacket({});
    empty->data[0] = 0xFF;
    EXPECT_EQ(aUEI_getBytesSequence(empty.get()), 0);
    EXPECT_FALSE(aUEI_getBytesContinue(empty.get()));

    PacketPtr overlong(aPacket_Create());
    aPacket_AddByte(overlong.get(), 0x02);
    aPacket_AddByte(overlong.get(), 0xFF);
    EXPECT_EQ(aUEI_getBytesSequence(overlong.get()), 0);
    EXPECT_FALSE(aUEI_getBytesContinue(overlong.get()));

    EXPECT_EQ(aUEI_getBytesSequence(nullptr), 0);
    EXPECT_FALSE(aUEI_getBytesContinue(nullptr));
}

TEST(UEI, FullChunkSizes)
{
    for (uint8_t length = 0; length <= aPACKET_MAX_DATA; ++length) {
        PacketPtr packet = makePacket(std::vector<uint8_t>(length, 3));
        EXPECT_EQ(aUEI_getBytesFullPacket(packet.get()), length == 27 || length == 28) << int(length);
    }
    EXPECT_FALSE(aUEI_getBytesFullPacket(nullptr));
}

TEST(UEI, CommandsWithoutUEIPayload)
{
    const std::vector<int> notUEI = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};
    for (int command = 0; command < 256; ++command) {
        PacketPtr packet = makePacket({static_cast<uint8_t>(command), 0x40, 0x00});
        const bool listed = std::find(notUEI.begin(), notUEI.end(), command) != notUEI.end();
        EXPECT_EQ(aUEI_isNotUEIPayload(packet.get()), listed) << command;
        EXPECT_EQ(aUEI_isUEIPayload(packet.get()), !listed) << command;
    }
    EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
    EXPECT_FALSE(aUEI_isUEIPayload(nullptr));
}

TEST(UEI, StreamPackets)
{
    struct Case {
        std::vector<uint8_t> data;
        bool stream;
    };
    const Case cases[] = {
        {{3, 0x01, 0x40, 0x00, 0x00}, true},
        {{3, 0x3F, 0x5F, 0x00, 0x00, 0x01}, true},
        {{3, 0x41, 0x40, 0x00, 0x00}, false},  // a get request
        {{3, 0x81, 0x40, 0x00, 0x00}, false},  // a set request
        {{3, 0x01, 0x40, 0x00}, false},        // too short
        {{3, 0x01, 0x3F, 0x00, 0x00}, false},  // no stream bit
        {{8, 0x01, 0x40, 0x00, 0x00}, false},  // not a UEI payload
    };
    for (const Case& c : cases) {
        PacketPtr packet = makePacket(c.data);
        EXPECT_EQ(aUEI_isStreamPacket(packet.get()), c.stream)
            << "cmd " << int(c.data[0]) << " option " << int(c.data[1]) << " length " << c.data.size();
    }
    EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
}

} // namespace
