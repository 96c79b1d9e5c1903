// Base64 (standard alphabet, "=" padding) for the firmware files that the
// update server sends as text. Buffers come from malloc: release them with free().
#pragma once

#include <cstddef>

// Encodes length bytes; the text is NUL-terminated and *outLength gets its
// length (4 per started group of 3 bytes). Null when memory runs out.
char* base64_encode(const char* data, size_t length, size_t* outLength);

// Decodes a text of length characters; the bytes are followed by a NUL that
// *outLength does not count. Null for a length that is not a multiple of 4,
// for a character outside the alphabet, for "=" anywhere but in the last two
// places, and when memory runs out; *outLength is then 0.
unsigned char* base64_decode(const char* text, size_t length, size_t* outLength);

// The reverse of the alphabet: 256 entries, 0xFF for every character that is
// not one of the 64. Null when memory runs out.
unsigned char* _build_decoding_table();
