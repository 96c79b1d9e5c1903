// The COBS packet stream over an in-memory line: frames out, frames in,
// corrupt and empty frames, the largest packets.
#include "common/aStream_CobsEncoding.h"
#include "common/cobs.h"
#include "common/crc8.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// The stream that carries the frames: bytes to hand out, writes received.
struct Line {
    std::deque<uint8_t> incoming;
    aErr whenEmpty = aErrNotReady;
    std::vector<Bytes> writes;
    Bytes puts;
    std::vector<aErr> writeResults;  // consumed in order; aErrNone afterwards
    aErr deleteResult = aErrNone;
    bool deleted = false;
    aErr waitResult = aErrTimeout;
    size_t waits = 0;

    static aErr get(uint8_t* byte, void* reference)
    {
        auto* line = static_cast<Line*>(reference);
        if (line->incoming.empty())
            return line->whenEmpty;
        *byte = line->incoming.front();
        line->incoming.pop_front();
        return aErrNone;
    }
    static aErr put(const uint8_t* byte, void* reference)
    {
        static_cast<Line*>(reference)->puts.push_back(*byte);
        return aErrNone;
    }
    static aErr write(const uint8_t* data, size_t length, void* reference)
    {
        auto* line = static_cast<Line*>(reference);
        line->writes.emplace_back(data, data + length);
        if (line->writeResults.empty())
            return aErrNone;
        const aErr result = line->writeResults.front();
        line->writeResults.erase(line->writeResults.begin());
        return result;
    }
    static aErr wait(uint32_t, void* reference)
    {
        auto* line = static_cast<Line*>(reference);
        ++line->waits;
        return line->waitResult;
    }
    static aErr remove(void* reference)
    {
        auto* line = static_cast<Line*>(reference);
        line->deleted = true;
        return line->deleteResult;
    }
};

// What reading the stream gave until the line ran dry.
struct Received {
    Bytes bytes;
    size_t packetErrors = 0;
    std::vector<aErr> codes;  // every result, bytes included as aErrNone
};

class CobsStream : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(aStream_CreateCobsEncoding(Line::get, Line::put, Line::write, Line::remove, &line, &stream),
                  aErrNone);
        ASSERT_NE(stream, nullptr);
    }
    void TearDown() override
    {
        if (stream)
            aStream_Destroy(&stream);
    }

    void feed(const Bytes& bytes) { line.incoming.insert(line.incoming.end(), bytes.begin(), bytes.end()); }

    Received drain()
    {
        Received got;
        for (;;) {
            const bool dry = line.incoming.empty();
            uint8_t byte = 0;
            const aErr result = aStream_Read(stream, &byte, 1);
            got.codes.push_back(result);
            if (result == aErrNone)
                got.bytes.push_back(byte);
            else if (result == aErrPacket)
                ++got.packetErrors;
            else if (dry)
                return got;
        }
    }

    Line line;
    aStream* stream = nullptr;
};

// The line bytes of a plain frame: its COBS encoding and the delimiter.
Bytes sLine(const Bytes& plain)
{
    Bytes encoded(plain.size() + 2);
    encoded.resize(cobs_encode(plain.data(), plain.size(), encoded.data()));
    encoded.push_back(0);
    return encoded;
}

Bytes sWithCrc(Bytes bytes)
{
    bytes.push_back(crc8_create(bytes.data(), bytes.size()));
    return bytes;
}

Bytes sPacket(uint8_t address, size_t length)
{
    Bytes wire = {address, uint8_t(length)};
    for (size_t i = 0; i < length; ++i)
        wire.push_back(uint8_t(i * 7));  // zeros at 0 and every 256/7th place
    return wire;
}

TEST_F(CobsStream, KnownFramesBothWays)
{
    const struct {
        Bytes wire;
        Bytes line;
    } cases[] = {
        {{0x04, 0x02, 0x11, 0x00}, {0x04, 0x04, 0x02, 0x11, 0x02, 0x69, 0x00}},
        {{0x02, 0x00}, {0x02, 0x02, 0x02, 0x91, 0x00}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.wire));
        line.writes.clear();
        EXPECT_EQ(aStream_Write(stream, c.wire.data(), c.wire.size()), aErrNone);
        ASSERT_EQ(line.writes.size(), 1u);
        EXPECT_EQ(line.writes[0], c.line);

        feed(c.line);
        const Received got = drain();
        EXPECT_EQ(got.bytes, c.wire);
        // Every get that reads a line byte, the delimiter included, is not
        // ready; the frame's bytes come with the gets after it.
        std::vector<aErr> expected(c.line.size(), aErrNotReady);
        expected.insert(expected.end(), c.wire.size(), aErrNone);
        expected.push_back(aErrNotReady);
        EXPECT_EQ(got.codes, expected);
    }
}

TEST_F(CobsStream, CorruptFrameReportedOnceAndNextFramePasses)
{
    const Bytes good = {0x04, 0x02, 0x11, 0x00};
    const Bytes overlong(40, 0x33);
    // The largest good frame fills the receive buffer; two more bytes follow
    // it before the delimiter.
    Bytes fullThenMore = sLine(sWithCrc(sPacket(0x04, 28)));
    fullThenMore.pop_back();
    fullThenMore.insert(fullThenMore.end(), {0x55, 0x66, 0x00});
    const struct {
        const char* name;
        Bytes line;
    } cases[] = {
        {"CRC byte changed", {0x04, 0x04, 0x02, 0x11, 0x02, 0x6A, 0x00}},
        {"length byte does not match", sLine(sWithCrc({0x04, 0x01, 0x11, 0x00}))},
        {"too short to hold a packet", sLine(sWithCrc({0x04}))},
        {"block runs past the end", {0x05, 0x11, 0x22, 0x00}},
        {"overlong frame", sLine(overlong)},
        {"good frame with bytes past the buffer", fullThenMore},
        {"29 data bytes claimed", sLine(sWithCrc(sPacket(0x04, 29)))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        feed(c.line);
        feed(sLine(sWithCrc(good)));
        const Received got = drain();
        EXPECT_EQ(got.packetErrors, 1u);
        EXPECT_EQ(got.bytes, good);
    }
}

TEST_F(CobsStream, EmptyFramesAreIgnored)
{
    const Bytes good = {0x06, 0x01, 0x17};
    feed({0x00, 0x00});
    feed(sLine(sWithCrc(good)));
    feed({0x00});
    const Received got = drain();
    EXPECT_EQ(got.packetErrors, 0u);
    EXPECT_EQ(got.bytes, good);
}

TEST_F(CobsStream, EveryPacketSizeRoundTrips)
{
    // Up to the largest packet, 28 data bytes: 33 bytes on the line.
    for (size_t length = 0; length <= 28; ++length) {
        SCOPED_TRACE(length);
        const Bytes wire = sPacket(0x0A, length);
        line.writes.clear();
        ASSERT_EQ(aStream_Write(stream, wire.data(), wire.size()), aErrNone);
        ASSERT_EQ(line.writes.size(), 1u);
        const Bytes& sent = line.writes[0];
        EXPECT_EQ(sent.size(), length + 5);
        EXPECT_EQ(sent, sLine(sWithCrc(wire)));

        feed(sent);
        const Received got = drain();
        EXPECT_EQ(got.packetErrors, 0u);
        EXPECT_EQ(got.bytes, wire);
    }
}

TEST_F(CobsStream, WritesAssemblePacketsAcrossBlocks)
{
    const Bytes a = {0x04, 0x02, 0x11, 0x00}, b = {0x02, 0x00}, c = sPacket(0x08, 28);
    Bytes pooled = a;
    pooled.insert(pooled.end(), b.begin(), b.end());
    pooled.insert(pooled.end(), c.begin(), c.end());
    EXPECT_EQ(aStream_Write(stream, pooled.data(), pooled.size()), aErrNone);
    EXPECT_EQ(line.writes, (std::vector<Bytes>{sLine(sWithCrc(a)), sLine(sWithCrc(b)), sLine(sWithCrc(c))}));

    // A packet cut between two writes goes out once it is whole.
    line.writes.clear();
    EXPECT_EQ(aStream_Write(stream, c.data(), 10), aErrNone);
    EXPECT_TRUE(line.writes.empty());
    EXPECT_EQ(aStream_Write(stream, c.data() + 10, c.size() - 10), aErrNone);
    EXPECT_EQ(line.writes, std::vector<Bytes>{sLine(sWithCrc(c))});
}

// A packet that cannot be framed is dropped by its length byte, and the
// packets after it in the same block go out: A, the bad one, C gives A and C
// however the block is cut into writes.
TEST_F(CobsStream, BytesThatFormNoPacketAreDroppedAlone)
{
    const Bytes a = {0x04, 0x02, 0x11, 0x00}, c = {0x06, 0x01, 0x33};
    Bytes tooLong = sPacket(0x04, 29);
    Bytes zeroAddressLong = sPacket(0x00, 40);
    const Bytes bads[] = {{0x00, 0x02, 0x11, 0x22}, {0x00, 0x00}, {0x00, 0x01, 0x00}, tooLong, zeroAddressLong};
    for (const Bytes& bad : bads) {
        Bytes block = a;
        block.insert(block.end(), bad.begin(), bad.end());
        block.insert(block.end(), c.begin(), c.end());
        for (size_t cut = 0; cut <= block.size(); ++cut) {
            // A single byte goes to the line unframed.
            if (cut == 1 || cut + 1 == block.size())
                continue;
            SCOPED_TRACE(testing::PrintToString(bad) + " cut at " + std::to_string(cut));
            line.writes.clear();
            const aErr first = aStream_Write(stream, block.data(), cut);
            const aErr second = aStream_Write(stream, block.data() + cut, block.size() - cut);
            // The write that met the refused byte (the address 0, or the
            // length above 28) reports it.
            const bool firstMet = cut > a.size() + (bad[0] == 0 ? 0 : 1);
            EXPECT_EQ(first, firstMet ? aErrPacket : aErrNone);
            EXPECT_EQ(second, firstMet ? aErrNone : aErrPacket);
            EXPECT_EQ(line.writes, (std::vector<Bytes>{sLine(sWithCrc(a)), sLine(sWithCrc(c))}));
        }
    }
}

TEST_F(CobsStream, LineFailuresAreReportedWithoutStoppingTheStream)
{
    const Bytes a = {0x04, 0x01, 0x11}, b = {0x04, 0x01, 0x22};
    Bytes both = a;
    both.insert(both.end(), b.begin(), b.end());
    line.writeResults = {aErrIO};
    EXPECT_EQ(aStream_Write(stream, both.data(), both.size()), aErrIO);
    // The failed write may have left the start of a frame on the line: a lone
    // delimiter ends it before the next frame.
    EXPECT_EQ(line.writes, (std::vector<Bytes>{sLine(sWithCrc(a)), {0x00}, sLine(sWithCrc(b))}));
    line.writes.clear();
    EXPECT_EQ(aStream_Write(stream, a.data(), a.size()), aErrNone);
    EXPECT_EQ(line.writes, std::vector<Bytes>{sLine(sWithCrc(a))});

    // A failing read of the line is passed on, and the frame it cut into is
    // whole once the line reads again.
    const Bytes frame = sLine(sWithCrc(a));
    feed(Bytes(frame.begin(), frame.begin() + 3));
    line.whenEmpty = aErrIO;
    Received got = drain();
    EXPECT_EQ(got.codes.back(), aErrIO);
    EXPECT_TRUE(got.bytes.empty());
    line.whenEmpty = aErrNotReady;
    feed(Bytes(frame.begin() + 3, frame.end()));
    got = drain();
    EXPECT_EQ(got.packetErrors, 0u);
    EXPECT_EQ(got.bytes, a);

    // A single byte goes to the line as it is.
    const uint8_t one = 0x7E;
    EXPECT_EQ(aStream_Write(stream, &one, 1), aErrNone);
    EXPECT_EQ(line.puts, Bytes{0x7E});
}

TEST_F(CobsStream, DestroyDeletesTheLine)
{
    line.deleteResult = aErrBusy;
    EXPECT_EQ(aStream_Destroy(&stream), aErrBusy);
    EXPECT_TRUE(line.deleted);
    EXPECT_EQ(stream, nullptr);
}

TEST(CobsStreamWait, WaitsOnTheLineUnlessAFrameIsBeingHandedOut)
{
    Line line;
    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateCobsEncodingWithWait(Line::get, Line::put, Line::write, Line::remove, Line::wait,
                                                 &line, &stream),
              aErrNone);
    EXPECT_EQ(aStream_WaitReadable(stream, 5), aErrTimeout);
    EXPECT_EQ(line.waits, 1u);

    const Bytes frame = {0x02, 0x02, 0x02, 0x91, 0x00};
    line.incoming.assign(frame.begin(), frame.end());
    uint8_t byte;
    for (size_t i = 0; i < frame.size(); ++i)
        ASSERT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    // The line is dry, but the frame's bytes are there to be read.
    EXPECT_EQ(aStream_WaitReadable(stream, 5), aErrNone);
    EXPECT_EQ(line.waits, 1u);
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNone);
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNone);
    EXPECT_EQ(aStream_WaitReadable(stream, 5), aErrTimeout);
    EXPECT_EQ(line.waits, 2u);
    aStream_Destroy(&stream);

    // Without a wait on the line the stream has none either.
    ASSERT_EQ(aStream_CreateCobsEncoding(Line::get, Line::put, Line::write, Line::remove, &line, &stream),
              aErrNone);
    EXPECT_EQ(aStream_WaitReadable(stream, 5), aErrUnimplemented);
    aStream_Destroy(&stream);
}

TEST(CobsStreamCreate, RefusesNullHandle)
{
    Line line;
    EXPECT_EQ(aStream_CreateCobsEncoding(Line::get, Line::put, Line::write, Line::remove, &line, nullptr),
              aErrParam);
    EXPECT_FALSE(line.deleted);
}

} // namespace
