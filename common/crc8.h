// CRC-8 of the serial framing: the 1-Wire CRC (polynomial x^8 + x^5 + x^4 + 1,
// least significant bit first, initial value 0, no final exclusive-or).
#pragma once

#include <cstddef>
#include <cstdint>

// One step: the CRC after taking one more byte.
uint8_t crc8_update(uint8_t crc, uint8_t byte);
// The CRC of length bytes, starting from 0.
uint8_t crc8_create(const uint8_t* bytes, size_t length);
// True when the CRC of the bytes equals expected.
bool crc8_check(const uint8_t* bytes, size_t length, uint8_t expected);
