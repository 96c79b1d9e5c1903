// Byte helpers for UEI payloads: big-endian values inside packet data, and the
// classification of a packet's payload (UEI or not, byte-array chunk, streamed
// value).
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/aPacket.h"

uint16_t aUEI_RetrieveShort(const uint8_t* p);
void aUEI_StoreShort(uint8_t* p, uint16_t value);
uint32_t aUEI_RetrieveInt(const uint8_t* p);
void aUEI_StoreInt(uint8_t* p, uint32_t value);
// Turns n words whose bytes are big-endian into host-order values, in place.
void aUEI_ModifyIntBuffer(uint32_t* words, size_t n);

// A byte-array chunk ends in a sequence byte: bit 7 set when more chunks
// follow, bits 0-6 the chunk counter. Both answer 0 / false for a packet
// without data.
uint8_t aUEI_getBytesSequence(const aPacket* packet);
bool aUEI_getBytesContinue(const aPacket* packet);
// True for the sizes of a full byte-array chunk, 27 or 28 data bytes.
bool aUEI_getBytesFullPacket(const aPacket* packet);

// True when the command byte is one that carries no UEI payload. Both answer
// false for a non-packet.
bool aUEI_isNotUEIPayload(const aPacket* packet);
bool aUEI_isUEIPayload(const aPacket* packet);
// True for a streamed UEI value: more than 4 data bytes, a UEI payload, an
// option byte below 0x40 and bit 0x40 set in the index byte.
bool aUEI_isStreamPacket(const aPacket* packet);
