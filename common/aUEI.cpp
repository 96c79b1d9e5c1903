#include "common/aUEI.h"

#include <cstring>

namespace {

const uint8_t NON_UEI_COMMANDS[] = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};

constexpr uint8_t kMoreChunks = 0x80;
constexpr uint8_t kRequestBits = 0xC0;
constexpr uint8_t kStreamIndexBit = 0x40;

// The sequence byte that closes a byte-array chunk; false when there is none.
bool sLastDataByte(const aPacket* packet, uint8_t* out)
{
    if (!aVALIDPACKET(packet) || packet->length == 0 || packet->length > aPACKET_MAX_DATA) {
        return false;
    }
    *out = packet->data[packet->length - 1];
    return true;
}

} // namespace

uint16_t aUEI_RetrieveShort(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void aUEI_StoreShort(uint8_t* p, uint16_t value)
{
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
}

uint32_t aUEI_RetrieveInt(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16
           | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

void aUEI_StoreInt(uint8_t* p, uint32_t value)
{
    p[0] = static_cast<uint8_t>(value >> 24);
    p[1] = static_cast<uint8_t>(value >> 16);
    p[2] = static_cast<uint8_t>(value >> 8);
    p[3] = static_cast<uint8_t>(value);
}

void aUEI_ModifyIntBuffer(uint32_t* words, size_t n)
{
    if (!words) return;
    for (size_t i = 0; i < n; ++i) {
        uint8_t bytes[4];
        memcpy(bytes, &words[i], sizeof bytes);
        words[i] = aUEI_RetrieveInt(bytes);
    }
}

uint8_t aUEI_getBytesSequence(const aPacket* packet)
{
    uint8_t last = 0;
    return sLastDataByte(packet, &last) ? static_cast<uint8_t>(last & ~kMoreChunks) : 0;
}

bool aUEI_getBytesContinue(const aPacket* packet)
{
    uint8_t last = 0;
    return sLastDataByte(packet, &last) && (last & kMoreChunks) != 0;
}

bool aUEI_getBytesFullPacket(const aPacket* packet)
{
    return aVALIDPACKET(packet) && (packet->length == 27 || packet->length == 28);
}

bool aUEI_isNotUEIPayload(const aPacket* packet)
{
    if (!aVALIDPACKET(packet)) return false;
    for (uint8_t command : NON_UEI_COMMANDS) {
        if (packet->data[0] == command) return true;
    }
    return false;
}

bool aUEI_isUEIPayload(const aPacket* packet)
{
    return aVALIDPACKET(packet) && !aUEI_isNotUEIPayload(packet);
}

bool aUEI_isStreamPacket(const aPacket* packet)
{
    return aVALIDPACKET(packet) && packet->length > 4 && aUEI_isUEIPayload(packet)
           && (packet->data[1] & kRequestBits) == 0 && (packet->data[2] & kStreamIndexBit) != 0;
}
