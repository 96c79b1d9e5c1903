// The serial framing's building blocks: CRC-8 and COBS encoding.
#include "common/cobs.h"
#include "common/crc8.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes sRun(size_t n, uint8_t first = 1)
{
    // Non-zero bytes counting up from first, skipping 0.
    Bytes run(n);
    for (size_t i = 0; i < n; ++i)
        run[i] = uint8_t((first - 1 + i) % 255 + 1);
    return run;
}

Bytes sCat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST(Crc8, KnownValues)
{
    const std::string check = "123456789";
    const struct {
        Bytes bytes;
        uint8_t crc;
    } cases[] = {
        {Bytes(check.begin(), check.end()), 0xA1},
        {{0x04, 0x02, 0x11, 0x00}, 0x69},
        {{0x02, 0x00}, 0x91},
        {{}, 0x00},
        {{0x01}, 0x5E},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        EXPECT_EQ(crc8_create(c.bytes.data(), c.bytes.size()), c.crc);
        EXPECT_TRUE(crc8_check(c.bytes.data(), c.bytes.size(), c.crc));
        EXPECT_FALSE(crc8_check(c.bytes.data(), c.bytes.size(), uint8_t(c.crc ^ 0x01)));
    }
}

TEST(Crc8, UpdateChainsToCreate)
{
    const uint8_t bytes[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    uint8_t crc = 0;
    for (uint8_t b : bytes)
        crc = crc8_update(crc, b);
    EXPECT_EQ(crc, 0xA1);
    // A message followed by its own CRC checks to zero.
    const uint8_t framed[] = {0x04, 0x02, 0x11, 0x00, 0x69};
    EXPECT_EQ(crc8_create(framed, sizeof framed), 0);
}

struct CobsCase {
    const char* name;
    Bytes plain;
    Bytes encoded;
};

std::vector<CobsCase> sCobsCases()
{
    const Bytes run253 = sRun(253), run254 = sRun(254), run255 = sRun(255);
    return {
        {"packet frame", {0x04, 0x02, 0x11, 0x00, 0x69}, {0x04, 0x04, 0x02, 0x11, 0x02, 0x69}},
        {"empty packet frame", {0x02, 0x00, 0x91}, {0x02, 0x02, 0x02, 0x91}},
        {"nothing", {}, {0x01}},
        {"one zero", {0x00}, {0x01, 0x01}},
        {"two zeros", {0x00, 0x00}, {0x01, 0x01, 0x01}},
        {"zero inside", {0x11, 0x22, 0x00, 0x33}, {0x03, 0x11, 0x22, 0x02, 0x33}},
        {"trailing zero", {0x11, 0x00}, {0x02, 0x11, 0x01}},
        {"253 non-zero", run253, sCat({{0xFE}, run253})},
        {"254 non-zero", run254, sCat({{0xFF}, run254, {0x01}})},
        {"255 non-zero", run255, sCat({{0xFF}, Bytes(run255.begin(), run255.end() - 1), {0x02, run255.back()}})},
        {"254 non-zero then zero", sCat({run254, {0x00}}), sCat({{0xFF}, run254, {0x01, 0x01}})},
        {"two full blocks", sCat({run254, run254}), sCat({{0xFF}, run254, {0xFF}, run254, {0x01}})},
    };
}

TEST(Cobs, EncodesAndDecodesTable)
{
    for (const CobsCase& c : sCobsCases()) {
        SCOPED_TRACE(c.name);
        Bytes out(c.plain.size() + c.plain.size() / 254 + 1, 0xEE);
        ASSERT_EQ(cobs_encode(c.plain.data(), c.plain.size(), out.data()), c.encoded.size());
        EXPECT_EQ(out, c.encoded);

        Bytes inplace = c.plain;
        inplace.resize(c.encoded.size(), 0xEE);
        ASSERT_EQ(cobs_encode_inplace(inplace.data(), c.plain.size()), c.encoded.size());
        EXPECT_EQ(inplace, c.encoded);

        Bytes decoded(c.encoded.size(), 0xEE);
        const size_t n = cobs_decode(c.encoded.data(), c.encoded.size(), decoded.data());
        EXPECT_EQ(Bytes(decoded.begin(), decoded.begin() + n), c.plain);

        Bytes buffer = c.encoded;
        const size_t m = cobs_decode_inplace(buffer.data(), buffer.size());
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + m), c.plain);
    }
}

TEST(Cobs, EncodingNeverHoldsZero)
{
    // Every frame the serial line carries: up to 31 plain bytes with zeros anywhere.
    for (size_t length = 0; length <= 31; ++length) {
        for (size_t zeroAt = 0; zeroAt <= length; ++zeroAt) {
            Bytes plain = sRun(length, 0x40);
            if (zeroAt < length)
                plain[zeroAt] = 0;
            uint8_t buffer[32];
            std::copy(plain.begin(), plain.end(), buffer);
            const size_t n = cobs_encode_inplace(buffer, length);
            ASSERT_EQ(n, length + 1);
            EXPECT_EQ(std::memchr(buffer, 0, n), nullptr) << length << " " << zeroAt;
            EXPECT_EQ(cobs_decode_inplace(buffer, n), length);
            EXPECT_EQ(Bytes(buffer, buffer + length), plain);
        }
    }
}

TEST(Cobs, CorruptInputDecodesToNothing)
{
    const struct {
        const char* name;
        Bytes encoded;
    } cases[] = {
        {"block claims more bytes than follow", {0x05, 0x11, 0x22, 0x00}},
        {"last block runs past the end", {0x02, 0x11, 0x03, 0x22}},
        {"code byte 0 first", {0x00, 0x11, 0x22}},
        {"code byte 0 after a block", {0x02, 0x11, 0x00, 0x33}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t out[64];
        std::memset(out, 0xEE, sizeof out);
        EXPECT_EQ(cobs_decode(c.encoded.data(), c.encoded.size(), out), 0u);
        // Nothing beyond what a well-formed decode of this length could write.
        for (size_t i = c.encoded.size(); i < sizeof out; ++i)
            ASSERT_EQ(out[i], 0xEE);
    }
    EXPECT_EQ(cobs_encode_inplace(nullptr, 4), 0u);
}

} // namespace
