// The packet stream over a serial line. Reading any bytes hands out exactly
// the packets of the frames that arrived whole and intact (COBS-decoded:
// address, length up to 28, data, matching CRC-8), in order; writing packets
// frames each so that a reader gets them back, and a packet that cannot be
// framed is dropped alone: its length byte says where the next one starts.
#include "common/aPacket.h"
#include "common/aStream_CobsEncoding.h"
#include "common/cobs.h"
#include "common/crc8.h"
#include "tests/fuzz/support.h"

namespace {

// The packets a reader must get from these line bytes.
fuzz::Bytes intactPackets(const fuzz::Bytes& line)
{
    fuzz::Bytes packets;
    fuzz::Bytes frame;
    for (uint8_t byte : line) {
        if (byte != 0) {
            frame.push_back(byte);
            continue;
        }
        fuzz::Bytes plain(frame.size() + 1);
        const size_t n = cobs_decode(frame.data(), frame.size(), plain.data());
        if (n > 2 && plain[1] <= aPACKET_MAX_DATA && n == size_t(plain[1]) + 3 &&
            crc8_check(plain.data(), n - 1, plain[n - 1]))
            packets.insert(packets.end(), plain.begin(), plain.begin() + long(n - 1));
        frame.clear();
    }
    return packets;
}

// Everything a COBS stream reads from the line bytes, to the line's end.
fuzz::Bytes readAll(const fuzz::Bytes& line)
{
    fuzz::MemoryStream inner;
    inner.in = line;
    aStream* stream = nullptr;
    FUZZ_CHECK(aStream_CreateCobsEncoding(fuzz::MemoryStream::get, fuzz::MemoryStream::put,
                                          fuzz::MemoryStream::write, nullptr, &inner, &stream) == aErrNone);
    fuzz::Bytes got;
    for (;;) {
        uint8_t byte = 0;
        const aErr err = aStream_Read(stream, &byte, 1);
        if (err == aErrNone) got.push_back(byte);
        else if (err == aErrEOF) break;
        else FUZZ_CHECK(err == aErrNotReady || err == aErrPacket);
    }
    aStream_Destroy(&stream);
    return got;
}

// Writes the block through a COBS stream; the line bytes it sent.
fuzz::Bytes writeBlock(const fuzz::Bytes& block, aErr* result)
{
    fuzz::MemoryStream inner;
    aStream* stream = nullptr;
    FUZZ_CHECK(aStream_CreateCobsEncoding(fuzz::MemoryStream::get, fuzz::MemoryStream::put,
                                          fuzz::MemoryStream::write, nullptr, &inner, &stream) == aErrNone);
    *result = aStream_Write(stream, block.data(), block.size());
    aStream_Destroy(&stream);
    return inner.out;
}

// The wire form of the whole packets in the bytes, each refused one (an
// address of 0, a length above 28) passed over by its length byte; *refused
// tells whether there was one.
fuzz::Bytes framedPackets(const fuzz::Bytes& bytes, bool* refused)
{
    fuzz::Bytes packets;
    *refused = false;
    for (size_t at = 0; at < bytes.size();) {
        const bool bad = bytes[at] == 0 || (at + 1 < bytes.size() && bytes[at + 1] > aPACKET_MAX_DATA);
        *refused = *refused || bad;
        if (at + 1 >= bytes.size()) break;
        const size_t end = at + 2 + bytes[at + 1];
        if (!bad && end <= bytes.size())
            packets.insert(packets.end(), bytes.begin() + long(at), bytes.begin() + long(end));
        at = end;
    }
    return packets;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input input(data, size);
    const uint8_t mode = input.byte();
    const fuzz::Bytes bytes = input.rest();
    if (mode & 1) {
        FUZZ_CHECK(readAll(bytes) == intactPackets(bytes));
        return 0;
    }
    // The bytes as a block of packets to send: its whole packets go out, one
    // frame each, and read back as they were. (A single byte goes to the
    // line's own put as it stands.)
    if (bytes.size() < 2) return 0;
    aErr result = aErrNone;
    const fuzz::Bytes line = writeBlock(bytes, &result);
    bool refused = false;
    const fuzz::Bytes packets = framedPackets(bytes, &refused);
    FUZZ_CHECK(readAll(line) == packets);
    FUZZ_CHECK(intactPackets(line) == packets);
    FUZZ_CHECK(result == (refused ? aErrPacket : aErrNone));
    return 0;
}
