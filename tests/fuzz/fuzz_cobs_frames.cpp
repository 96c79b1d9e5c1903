// The packet stream over a serial line. Reading any bytes hands out exactly
// the packets of the frames that arrived whole and intact (COBS-decoded:
// address, length up to 28, data, matching CRC-8), in order; writing packets
// frames each so that a reader gets them back, and a block that forms no
// packet sends nothing of its broken part.
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

// The wire form of the packets that the bytes begin with.
fuzz::Bytes leadingPackets(const fuzz::Bytes& bytes, bool* all)
{
    size_t at = 0;
    while (at + 2 <= bytes.size() && bytes[at] != 0 && bytes[at + 1] <= aPACKET_MAX_DATA &&
           at + 2 + bytes[at + 1] <= bytes.size())
        at += 2 + bytes[at + 1];
    *all = at == bytes.size();
    return fuzz::Bytes(bytes.begin(), bytes.begin() + long(at));
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
    // The bytes as a block of packets to send: the whole packets it begins
    // with go out, one frame each, and read back as they were. (A single
    // byte goes to the line's own put as it stands.)
    if (bytes.size() < 2) return 0;
    aErr result = aErrNone;
    const fuzz::Bytes line = writeBlock(bytes, &result);
    bool all = false;
    const fuzz::Bytes packets = leadingPackets(bytes, &all);
    FUZZ_CHECK(readAll(line) == packets);
    FUZZ_CHECK(intactPackets(line) == packets);
    if (all) FUZZ_CHECK(result == aErrNone);
    else if (bytes[packets.size()] == 0 ||
             (bytes.size() - packets.size() >= 2 && bytes[packets.size() + 1] > aPACKET_MAX_DATA))
        FUZZ_CHECK(result == aErrPacket);
    else
        FUZZ_CHECK(result == aErrNone); // a packet begun, not yet complete
    return 0;
}
