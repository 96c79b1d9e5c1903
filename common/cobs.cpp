#include "common/cobs.h"

#include <cstring>

namespace {

// Longest run of non-zero bytes one block carries; its code is 0xFF.
constexpr size_t kMaxBlock = 254;

size_t sEncodedLength(const uint8_t* source, size_t length)
{
    size_t encoded = 1;
    size_t block = 0;
    for (size_t i = 0; i < length; ++i) {
        ++encoded;
        block = source[i] ? block + 1 : 0;
        if (block == kMaxBlock) {
            ++encoded;
            block = 0;
        }
    }
    return encoded;
}

} // namespace

size_t cobs_encode(const uint8_t* source, size_t length, uint8_t* destination)
{
    // Every source byte is read before the output position can reach it,
    // so an overlapping destination that starts early enough is safe.
    size_t code = 0;
    size_t out = 1;
    size_t block = 0;
    for (size_t i = 0; i < length; ++i) {
        const uint8_t byte = source[i];
        if (byte) {
            destination[out++] = byte;
            if (++block == kMaxBlock) {
                destination[code] = 0xFF;
                code = out++;
                block = 0;
            }
        } else {
            destination[code] = static_cast<uint8_t>(block + 1);
            code = out++;
            block = 0;
        }
    }
    destination[code] = static_cast<uint8_t>(block + 1);
    return out;
}

size_t cobs_encode_inplace(uint8_t* buffer, size_t length)
{
    if (!buffer)
        return 0;
    // Shift the input forward by what the encoding adds; the encoder then
    // never overtakes the byte it reads next.
    const size_t growth = sEncodedLength(buffer, length) - length;
    std::memmove(buffer + growth, buffer, length);
    return cobs_encode(buffer + growth, length, buffer);
}

size_t cobs_decode(const uint8_t* source, size_t length, uint8_t* destination)
{
    size_t in = 0;
    size_t out = 0;
    while (in < length) {
        const size_t code = source[in++];
        if (code == 0 || in + code - 1 > length)
            return 0;
        for (size_t i = 1; i < code; ++i)
            destination[out++] = source[in++];
        if (code != 0xFF && in < length)
            destination[out++] = 0;
    }
    return out;
}

size_t cobs_decode_inplace(uint8_t* buffer, size_t length)
{
    return cobs_decode(buffer, length, buffer);
}
