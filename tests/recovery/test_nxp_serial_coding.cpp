// The ISP client's arithmetic: UU coding of data lines, checksums, sector and
// copy sizes, reply waiting times, return-code position and texts.
#include "recovery/NXPSerialClass.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

std::string sEncode(const Bytes& data)
{
    char line[80];
    const size_t consumed = NXPSerialClass::uuencode(line, data.data(), data.size());
    EXPECT_EQ(consumed, std::min<size_t>(data.size(), 45));
    return line;
}

TEST(NxpUuCoding, LineShapes)
{
    Bytes full(45);
    std::iota(full.begin(), full.end(), 0);
    const std::string line = sEncode(full);
    EXPECT_EQ(line.size(), 61u);
    EXPECT_EQ(line[0], 'M');

    EXPECT_EQ(sEncode(Bytes{0}), "!````");
    // Three bytes of known value: 'C' 'a' 't' is "0V%T" in six-bit groups.
    EXPECT_EQ(sEncode(Bytes{'C', 'a', 't'}), "#0V%T");
    // More than a line's worth is cut at 45 bytes.
    EXPECT_EQ(sEncode(Bytes(100, 0x55)).size(), 61u);
}

TEST(NxpUuCoding, NeverWritesBlanksAndDecodesBack)
{
    for (size_t n = 1; n <= 45; ++n) {
        Bytes data(n);
        for (size_t i = 0; i < n; ++i)
            data[i] = uint8_t(i % 3 == 0 ? 0 : i * 37 + n);
        const std::string line = sEncode(data);
        EXPECT_EQ(line.find(' '), std::string::npos) << n;
        EXPECT_EQ(line.size(), 1 + (n + 2) / 3 * 4) << n;

        Bytes back(48, 0xEE);
        EXPECT_EQ(NXPSerialClass::uudecode(back.data(), n, line.c_str()), n);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin())) << n;
        // Only the line's count is written, whatever the last group pads.
        EXPECT_EQ(back[n], 0xEE) << n;
    }
}

TEST(NxpUuCoding, DecodeRefusesWhatDoesNotFit)
{
    const std::string line = sEncode(Bytes(10, 0x42));
    Bytes room(16, 0xEE);
    EXPECT_EQ(NXPSerialClass::uudecode(room.data(), 9, line.c_str()), 0u);
    EXPECT_EQ(room, Bytes(16, 0xEE));
    EXPECT_EQ(NXPSerialClass::uudecode(room.data(), 16, ""), 0u);
    EXPECT_EQ(NXPSerialClass::uudecode(room.data(), 16, "`"), 0u);
}

TEST(NxpUuCoding, ShortLineStopsAtItsEnd)
{
    // Claims 45 bytes, carries one group: the decoder must not read past it.
    const std::string line = "M0V%T";
    std::vector<char> exact(line.begin(), line.end());
    exact.push_back(0);
    Bytes room(45, 0xEE);
    EXPECT_EQ(NXPSerialClass::uudecode(room.data(), room.size(), exact.data()), 45u);
    EXPECT_EQ(room[0], 'C');
    EXPECT_EQ(room[2], 't');
    EXPECT_EQ(room[3], 0xEE);
}

TEST(NxpArithmetic, SumIsUnsigned32Bit)
{
    EXPECT_EQ(NXPSerialClass::sum(nullptr, 0), 0u);
    const Bytes bytes(900, 0xFF);
    EXPECT_EQ(NXPSerialClass::sum(bytes.data(), bytes.size()), 900u * 255u);
}

TEST(NxpArithmetic, CopyLengthRoundsUpToACopySize)
{
    const std::pair<uint32_t, uint32_t> cases[] = {
        {0, 256}, {1, 256}, {256, 256}, {257, 512}, {512, 512}, {513, 1024},
        {1024, 1024}, {1025, 4096}, {1804, 4096}, {4096, 4096}, {5000, 5000},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NXPSerialClass::CopyLength(c.first), c.second) << c.first;
}

TEST(NxpArithmetic, SectorFromAddress)
{
    const std::pair<uint32_t, uint32_t> cases[] = {
        {0, 0}, {0xFFF, 0}, {0x1000, 1}, {0xFFFF, 15}, {0x10000, 16}, {0x17FFF, 16},
        {0x18000, 17}, {0x7FFFF, 29}, {0x80000, 30}, {0x10001000, 30}, {0xFFFFFFFF, 30},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NXPSerialClass::SectorFromAddress(c.first), c.second) << std::hex << c.first;
}

TEST(NxpArithmetic, WaitTimes)
{
    EXPECT_EQ(NXPSerialClass::WAIT_TIME_MS(14, 115200), 2u);
    EXPECT_EQ(NXPSerialClass::WAIT_TIME_MS(4, 115200), 1u);
    EXPECT_EQ(NXPSerialClass::WAIT_TIME_MS(14, 9600), 16u);
    EXPECT_EQ(NXPSerialClass::WAIT_TIME_MS(14, 0), 1u);
    EXPECT_EQ(NXPSerialClass::WAIT_TIME_MS(0, 0), 1u);
}

TEST(NxpReplies, ErrorIndexFollowsEcho)
{
    NXPSerialClass isp;
    ASSERT_TRUE(isp.echo);
    EXPECT_EQ(isp.GetErrorIndex(2), 0u);
    EXPECT_EQ(isp.GetErrorIndex(3), 0u);
    EXPECT_EQ(isp.GetErrorIndex(4), 1u);
    EXPECT_EQ(isp.GetErrorIndex(1024), 1021u);
    isp.echo = false;
    for (size_t length : {0u, 2u, 3u, 4u, 1024u})
        EXPECT_EQ(isp.GetErrorIndex(length), 0u) << length;
}

TEST(NxpReplies, ErrorTexts)
{
    const std::pair<const char*, const char*> cases[] = {
        {"0\r\n", "CMD_SUCCESS"},
        {"19\r\n", "CODE_READ_PROTECTION_ENABLED"},
        {"0x0F\r\n", "CMD_LOCKED"},
        {"014\r\n", "PARAM_ERROR"},  // leading 0: octal
        {"25\r\n", "Unknown error"},
        {"-1\r\n", "Unknown error"},
        {"99999999999999999999\r\n", "Unknown error"},
        {"OK\r\n", "CMD_SUCCESS"},
        {"", "CMD_SUCCESS"},
    };
    for (const auto& c : cases)
        EXPECT_STREQ(NXPSerialClass::GetErrorText(c.first), c.second) << c.first;
}

} // namespace
