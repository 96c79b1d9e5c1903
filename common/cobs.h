// Consistent Overhead Byte Stuffing: encodes a block of bytes so that it holds
// no zero byte, leaving zero free to delimit frames on a serial line.
#pragma once

#include <cstddef>
#include <cstdint>

// Writes the encoding of length source bytes (without a delimiter) to
// destination and returns its length: at most length + length / 254 + 1.
// destination may be the source buffer shifted forward by at least the
// growth of the encoding (what cobs_encode_inplace relies on).
size_t cobs_encode(const uint8_t* source, size_t length, uint8_t* destination);

// Encodes the buffer in place; it must have room for the longer result.
// Returns the encoded length, 0 for a NULL buffer.
size_t cobs_encode_inplace(uint8_t* buffer, size_t length);

// Decodes length encoded bytes into destination (which may be the source)
// and returns the decoded length; 0 when a block runs past the end or a code
// byte is 0 (an encoding never holds one), which marks a corrupt frame.
size_t cobs_decode(const uint8_t* source, size_t length, uint8_t* destination);

// cobs_decode with the buffer as source and destination.
size_t cobs_decode_inplace(uint8_t* buffer, size_t length);
