#include "common/aPacket.h"

#include <cstdlib>
#include <cstring>

namespace {

const aPacket kEmptyPacket = {aPACKET_CHECK, 0, 0, 0, {0}};

// A length byte that a packet can actually hold; assembly stores others too.
bool sLengthFits(const aPacket* packet)
{
    return packet->length <= aPACKET_MAX_DATA;
}

aErr sGetDataByte(const aPacket* packet, uint8_t* out, uint8_t index, uint8_t mask)
{
    if (!out) return aErrParam;
    if (!aVALIDPACKET(packet) || packet->length <= index) return aErrPacket;
    *out = packet->data[index] & mask;
    return aErrNone;
}

} // namespace

aPacket* aPacket_Create()
{
    aPacket* packet = static_cast<aPacket*>(malloc(sizeof(aPacket)));
    if (packet) *packet = kEmptyPacket;
    return packet;
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data)
{
    if (!data || length > aPACKET_MAX_DATA) return nullptr;
    aPacket* packet = aPacket_Create();
    if (!packet) return nullptr;
    packet->address = address;
    packet->length = length;
    packet->count = static_cast<uint8_t>(length + 2);
    memcpy(packet->data, data, length);
    return packet;
}

aPacket* aPacket_Copy(const aPacket* packet)
{
    if (!aVALIDPACKET(packet)) return nullptr;
    return aPacket_CreateWithData(packet->address, packet->length, packet->data);
}

aErr aPacket_Reset(aPacket* packet)
{
    if (!aVALIDPACKET(packet)) return aErrParam;
    *packet = kEmptyPacket;
    return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t value)
{
    if (!aVALIDPACKET(packet)) return aErrParam;
    // The count stops one past the longest wire form, so a caller that keeps
    // feeding without a reset only ever gets aErrOverrun.
    if (packet->count > aPACKET_MAX_WIRE) return aErrOverrun;
    packet->count++;
    if (packet->count > aPACKET_MAX_WIRE) return aErrOverrun;

    if (packet->address == 0) {
        if (value == 0) return aErrPacket;
        packet->address = value;
        return aErrNone;
    }
    if (packet->length == 0) {
        packet->length = value;
        return sLengthFits(packet) ? aErrNone : aErrPacket;
    }
    // Data bytes start at the third wire byte, also in a record whose address
    // and length were filled in by hand.
    if (packet->count < 3 || packet->count > packet->length + 2) return aErrPacket;
    packet->data[packet->count - 3] = value;
    return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet)
{
    return aVALIDPACKET(packet) && sLengthFits(packet) && packet->count == packet->length + 2;
}

aErr aPacket_GetBytes(const aPacket* packet, uint8_t* out, size_t capacity, size_t* written)
{
    if (!aVALIDPACKET(packet) || !out) return aErrParam;
    // A length byte above 28 (refused during assembly) has no wire form to give.
    if (!sLengthFits(packet)) return aErrPacket;
    const size_t size = packet->length + 2u;
    if (capacity < size) return aErrOverrun;
    out[0] = packet->address;
    out[1] = packet->length;
    memcpy(out + 2, packet->data, packet->length);
    if (written) *written = size;
    return aErrNone;
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* out)
{
    return sGetDataByte(packet, out, 0, 0xFF);
}

aErr aPacket_GetOption(const aPacket* packet, uint8_t* out)
{
    return sGetDataByte(packet, out, 1, 0x3F);
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* out)
{
    return sGetDataByte(packet, out, 2, 0x1F);
}

aErr aPacket_Destroy(aPacket** packet)
{
    if (!packet || !aVALIDPACKET(*packet)) return aErrParam;
    (*packet)->check = 0;
    free(*packet);
    *packet = nullptr;
    return aErrNone;
}
