#include "common/crc8.h"

#include <array>

namespace {

// Table entry i is the CRC of the single byte i; reflected polynomial 0x8C.
constexpr std::array<uint32_t, 256> sMakeTable()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0x8C : crc >> 1;
        table[i] = crc;
    }
    return table;
}

constexpr std::array<uint32_t, 256> _crc8LUT = sMakeTable();

} // namespace

uint8_t crc8_update(uint8_t crc, uint8_t byte)
{
    return static_cast<uint8_t>(_crc8LUT[crc ^ byte]);
}

uint8_t crc8_create(const uint8_t* bytes, size_t length)
{
    uint8_t crc = 0;
    for (size_t i = 0; i < length; ++i)
        crc = crc8_update(crc, bytes[i]);
    return crc;
}

bool crc8_check(const uint8_t* bytes, size_t length, uint8_t expected)
{
    return crc8_create(bytes, length) == expected;
}
