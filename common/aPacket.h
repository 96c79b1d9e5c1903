// The packet, the unit exchanged with a device: a module address, a data
// length and up to 28 data bytes, the first being the command byte. On every
// transport a packet travels as address, length, data. Receivers assemble a
// packet from a byte stream one byte at a time with aPacket_AddByte.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/aError.h"

#define aPACKET_MAX_DATA 28
// Wire form: address, length, data.
#define aPACKET_MAX_WIRE (aPACKET_MAX_DATA + 2)
// The check word of every live packet.
#define aPACKET_CHECK 0xBEEF

typedef struct aPacket {
    uint16_t check;
    // Wire bytes taken so far while assembling: length + 2 once complete.
    uint8_t count;
    uint8_t address;
    uint8_t length;
    uint8_t data[aPACKET_MAX_DATA];
} aPacket;

// True for a non-NULL record that carries the packet check word.
inline bool aVALIDPACKET(const aPacket* packet)
{
    return packet && packet->check == aPACKET_CHECK;
}

// A new empty packet; NULL when memory runs out.
aPacket* aPacket_Create();
// A new complete packet holding the first length bytes of data; NULL for NULL
// data, a length above 28 or no memory. Any address, 0 included, is accepted.
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);
// A complete copy of the packet's address, length and data; NULL for a non-packet.
aPacket* aPacket_Copy(const aPacket* packet);
// Clears everything but the check word.
aErr aPacket_Reset(aPacket* packet);
// Takes the next wire byte. After an error, and after taking a complete
// packet, the caller resets the packet before feeding it again.
aErr aPacket_AddByte(aPacket* packet, uint8_t value);
bool aPacket_IsComplete(const aPacket* packet);
// Writes the wire form (length + 2 bytes) to out and, when written is given,
// its size there; aErrOverrun (nothing written) when it does not fit.
aErr aPacket_GetBytes(const aPacket* packet, uint8_t* out, size_t capacity, size_t* written);
// data[0]; needs length >= 1.
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* out);
// data[1] & 0x3F; needs length >= 2.
aErr aPacket_GetOption(const aPacket* packet, uint8_t* out);
// data[2] & 0x1F; needs length >= 3.
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* out);
// Frees *packet and clears the caller's pointer; aErrParam for a NULL pointer
// or a non-packet, which is left alone.
aErr aPacket_Destroy(aPacket** packet);
