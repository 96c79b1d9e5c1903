// Packets: assembly from wire bytes, the wire form, copies and the getters.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "common/aPacket.h"

namespace {

struct PacketDeleter {
    void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using PacketPtr = std::unique_ptr<aPacket, PacketDeleter>;

PacketPtr makePacket(uint8_t address, const std::vector<uint8_t>& data)
{
    uint8_t bytes[aPACKET_MAX_DATA] = {};
    std::copy(data.begin(), data.end(), bytes);
    return PacketPtr(aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), bytes));
}

struct AssemblyCase {
    const char* name;
    std::vector<uint8_t> bytes;
    std::vector<aErr> results;
    bool complete;
};

void PrintTo(const AssemblyCase& c, std::ostream* os)
{
    *os << c.name;
}

class Assembly : public ::testing::TestWithParam<AssemblyCase> {};

TEST_P(Assembly, EachByteGivesItsResult)
{
    const AssemblyCase& c = GetParam();
    PacketPtr packet(aPacket_Create());
    ASSERT_TRUE(packet);
    for (size_t i = 0; i < c.bytes.size(); ++i) {
        EXPECT_EQ(aPacket_AddByte(packet.get(), c.bytes[i]), c.results[i]) << "byte " << i;
    }
    EXPECT_EQ(aPacket_IsComplete(packet.get()), c.complete);
}

const aErr OK = aErrNone;

INSTANTIATE_TEST_SUITE_P(
    Packet, Assembly,
    ::testing::Values(
        AssemblyCase{"TwoDataBytes", {0x04, 0x02, 0x11, 0x22}, {OK, OK, OK, OK}, true},
        AssemblyCase{"NoData", {0x06, 0x00}, {OK, OK}, true},
        AssemblyCase{"LengthAboveLimit", {0x06, 29, 1, 2, 3}, {OK, aErrPacket, OK, OK, OK}, false},
        AssemblyCase{"ZeroAddressRefused", {0x00, 0x08, 0x01, 0x55}, {aErrPacket, OK, OK, aErrPacket}, false},
        AssemblyCase{"ByteBeyondLength", {0x04, 0x01, 0x11, 0x22}, {OK, OK, OK, aErrPacket}, false}),
    [](const ::testing::TestParamInfo<AssemblyCase>& param) { return param.param.name; });

TEST(Packet, AssembledPacketGivesItsWireForm)
{
    PacketPtr packet(aPacket_Create());
    const uint8_t wire[] = {0x04, 0x02, 0x11, 0x22};
    for (uint8_t b : wire) ASSERT_EQ(aPacket_AddByte(packet.get(), b), aErrNone);
    EXPECT_EQ(packet->address, 4);
    EXPECT_EQ(packet->length, 2);

    uint8_t out[aPACKET_MAX_WIRE] = {};
    size_t written = 0;
    ASSERT_EQ(aPacket_GetBytes(packet.get(), out, sizeof out, &written), aErrNone);
    EXPECT_EQ(written, 4u);
    EXPECT_EQ(0, memcmp(out, wire, sizeof wire));
}

TEST(Packet, ZeroFirstByteStillLetsTheNextByteBeTheAddress)
{
    PacketPtr packet(aPacket_Create());
    EXPECT_EQ(aPacket_AddByte(packet.get(), 0), aErrPacket);
    EXPECT_EQ(aPacket_AddByte(packet.get(), 0x08), aErrNone);
    EXPECT_EQ(packet->address, 0x08);
    EXPECT_EQ(packet->count, 2);
}

TEST(Packet, FeedingWithoutResetOverrunsAndNeverWritesOutsideTheData)
{
    PacketPtr packet(aPacket_Create());
    ASSERT_EQ(aPacket_AddByte(packet.get(), 0x04), aErrNone);
    ASSERT_EQ(aPacket_AddByte(packet.get(), 28), aErrNone);
    for (int i = 0; i < 28; ++i) ASSERT_EQ(aPacket_AddByte(packet.get(), 0x5A), aErrNone);
    ASSERT_TRUE(aPacket_IsComplete(packet.get()));
    const aPacket before = *packet;

    // Far more bytes than an 8-bit count can number: every one is an overrun.
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(aPacket_AddByte(packet.get(), 0xA5), aErrOverrun) << "byte " << i + 31;
    }
    EXPECT_EQ(packet->check, before.check);
    EXPECT_EQ(packet->address, before.address);
    EXPECT_EQ(packet->length, before.length);
    EXPECT_EQ(0, memcmp(packet->data, before.data, sizeof before.data));

    ASSERT_EQ(aPacket_Reset(packet.get()), aErrNone);
    EXPECT_EQ(aPacket_AddByte(packet.get(), 0x06), aErrNone);
    EXPECT_EQ(aPacket_AddByte(packet.get(), 0x00), aErrNone);
    EXPECT_TRUE(aPacket_IsComplete(packet.get()));
}

TEST(Packet, OverlongLengthNeverCompletesNorGivesAWireForm)
{
    PacketPtr packet(aPacket_Create());
    aPacket_AddByte(packet.get(), 0x04);
    EXPECT_EQ(aPacket_AddByte(packet.get(), 29), aErrPacket);
    for (int i = 0; i < 40; ++i) {
        aPacket_AddByte(packet.get(), 0x11);
        EXPECT_FALSE(aPacket_IsComplete(packet.get()));
    }
    uint8_t out[64];
    EXPECT_EQ(aPacket_GetBytes(packet.get(), out, sizeof out, nullptr), aErrPacket);
    EXPECT_EQ(aPacket_Copy(packet.get()), nullptr);
}

TEST(Packet, CreateWithDataLimits)
{
    const uint8_t data[29] = {1, 2, 3};
    PacketPtr full(aPacket_CreateWithData(0x10, 28, data));
    ASSERT_TRUE(full);
    EXPECT_TRUE(aPacket_IsComplete(full.get()));
    EXPECT_EQ(full->count, 30);
    EXPECT_EQ(aPacket_CreateWithData(0x10, 29, data), nullptr);
    EXPECT_EQ(aPacket_CreateWithData(0x10, 1, nullptr), nullptr);
    PacketPtr zero(aPacket_CreateWithData(0, 1, data));
    ASSERT_TRUE(zero);
    EXPECT_EQ(zero->address, 0);
}

TEST(Packet, CopyIsCompleteAndIndependent)
{
    PacketPtr partial(aPacket_Create());
    aPacket_AddByte(partial.get(), 0x04);
    aPacket_AddByte(partial.get(), 0x03);
    aPacket_AddByte(partial.get(), 0x77);
    PacketPtr copy(aPacket_Copy(partial.get()));
    ASSERT_TRUE(copy);
    EXPECT_TRUE(aPacket_IsComplete(copy.get()));
    EXPECT_EQ(copy->address, 0x04);
    EXPECT_EQ(copy->length, 3);
    EXPECT_EQ(copy->data[0], 0x77);
    copy->data[0] = 0x01;
    EXPECT_EQ(partial->data[0], 0x77);

    aPacket foreign = *partial;
    foreign.check = 0x1234;
    EXPECT_EQ(aPacket_Copy(&foreign), nullptr);
    EXPECT_EQ(aPacket_Copy(nullptr), nullptr);
}

TEST(Packet, ResetClearsAllButTheCheckWord)
{
    PacketPtr packet = makePacket(0x22, {1, 2, 3, 4});
    ASSERT_EQ(aPacket_Reset(packet.get()), aErrNone);
    EXPECT_TRUE(aVALIDPACKET(packet.get()));
    EXPECT_EQ(packet->count, 0);
    EXPECT_EQ(packet->address, 0);
    EXPECT_EQ(packet->length, 0);
    for (uint8_t b : packet->data) EXPECT_EQ(b, 0);
    EXPECT_EQ(aPacket_Reset(nullptr), aErrParam);
}

TEST(Packet, GetBytesErrors)
{
    PacketPtr packet = makePacket(0x22, {1, 2, 3});
    uint8_t out[8];
    memset(out, 0xEE, sizeof out);
    size_t written = 99;
    EXPECT_EQ(aPacket_GetBytes(packet.get(), out, 4, &written), aErrOverrun);
    EXPECT_EQ(written, 99u);
    for (uint8_t b : out) EXPECT_EQ(b, 0xEE);
    EXPECT_EQ(aPacket_GetBytes(packet.get(), nullptr, 8, nullptr), aErrParam);
    EXPECT_EQ(aPacket_GetBytes(nullptr, out, 8, nullptr), aErrParam);
    EXPECT_EQ(aPacket_GetBytes(packet.get(), out, 5, nullptr), aErrNone);
}

TEST(Packet, GettersNeedEnoughData)
{
    struct Getter {
        aErr (*get)(const aPacket*, uint8_t*);
        size_t needs;
        uint8_t expected;
    };
    const Getter getters[] = {
        {aPacket_GetCmd, 1, 0xFF},
        {aPacket_GetOption, 2, 0xFF & 0x3F},
        {aPacket_GetIndex, 3, 0xFF & 0x1F},
    };
    for (const Getter& g : getters) {
        for (size_t length = 0; length <= 3; ++length) {
            PacketPtr packet = makePacket(0x02, std::vector<uint8_t>(length, 0xFF));
            uint8_t out = 0x42;
            if (length >= g.needs) {
                EXPECT_EQ(g.get(packet.get(), &out), aErrNone);
                EXPECT_EQ(out, g.expected);
            } else {
                EXPECT_EQ(g.get(packet.get(), &out), aErrPacket);
                EXPECT_EQ(out, 0x42);
            }
            EXPECT_EQ(g.get(packet.get(), nullptr), aErrParam);
        }
        uint8_t out = 0x42;
        EXPECT_EQ(g.get(nullptr, &out), aErrPacket);
        EXPECT_EQ(out, 0x42);
    }
}

TEST(Packet, DestroyClearsTheCallersPointer)
{
    aPacket* packet = aPacket_Create();
    ASSERT_EQ(aPacket_Destroy(&packet), aErrNone);
    EXPECT_EQ(packet, nullptr);
    EXPECT_EQ(aPacket_Destroy(&packet), aErrParam);
    EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);

    aPacket foreign = {};
    aPacket* foreignPtr = &foreign;
    EXPECT_EQ(aPacket_Destroy(&foreignPtr), aErrParam);
    EXPECT_EQ(foreignPtr, &foreign);
}

TEST(Packet, NonPacketsAreRefused)
{
    aPacket foreign = {};
    EXPECT_FALSE(aVALIDPACKET(&foreign));
    EXPECT_FALSE(aVALIDPACKET(nullptr));
    EXPECT_EQ(aPacket_AddByte(&foreign, 0x04), aErrParam);
    EXPECT_EQ(foreign.count, 0);
    EXPECT_EQ(aPacket_AddByte(nullptr, 0x04), aErrParam);
    EXPECT_FALSE(aPacket_IsComplete(&foreign));
}

} // namespace
