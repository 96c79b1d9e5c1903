#include "common/aStream_CobsEncoding.h"

#include "common/aPacket.h"
#include "common/cobs.h"
#include "common/crc8.h"

#include <cstdlib>

namespace {

constexpr uint16_t kCobsCheck = 0xC0B5;
// The largest plain frame is a full packet's wire form and its CRC; its
// encoding is one byte longer, and the delimiter follows.
constexpr size_t kMaxPlainFrame = aPACKET_MAX_WIRE + 1;
constexpr size_t kMaxEncodedFrame = kMaxPlainFrame + 1;

struct CobsStream {
    aStreamGetProc innerGet;
    aStreamPutProc innerPut;
    aStreamWriteProc innerWrite;
    aStreamDeleteProc innerDelete;
    aStreamWaitProc innerWait;
    aStreamInterruptProc innerInterrupt;
    void* innerReference;
    uint16_t check;
    // Receive side, used by the reading thread only.
    uint8_t rxBuffer[kMaxEncodedFrame];
    size_t rxCount;     // encoded bytes held; while rxReady, decoded bytes to hand out
    bool rxOverlong;    // the frame being received had bytes past the buffer
    bool rxReady;
    size_t rxPosition;
    // Send side, used by the writing thread only.
    aPacket* txPacket;
    uint8_t txBuffer[kMaxEncodedFrame + 1];
    size_t txLength;
    // A refused packet is passed over by its length byte: txSkipLength while
    // that byte is still to come, then txSkip bytes of its data.
    bool txSkipLength;
    size_t txSkip;
    // An inner write failed, so the line may hold the start of a frame: a
    // lone delimiter ends it before the next frame goes out.
    bool txCut;
};

CobsStream* sCobs(void* reference)
{
    auto* cobs = static_cast<CobsStream*>(reference);
    return cobs && cobs->check == kCobsCheck ? cobs : nullptr;
}

// A decoded frame is good when it holds address, length, the length's data
// bytes and a matching CRC.
bool sGoodFrame(const uint8_t* frame, size_t n)
{
    return n > 2 && n == size_t(frame[1]) + 3 && crc8_check(frame, n - 1, frame[n - 1]);
}

aErr sCobsStreamGet(uint8_t* byte, void* reference)
{
    CobsStream* cobs = sCobs(reference);
    if (!cobs || !byte)
        return aErrParam;

    if (cobs->rxReady) {
        *byte = cobs->rxBuffer[cobs->rxPosition++];
        if (cobs->rxPosition == cobs->rxCount) {
            cobs->rxReady = false;
            cobs->rxPosition = 0;
            cobs->rxCount = 0;
        }
        return aErrNone;
    }

    // A failing line is reported as it is, so that a reader learns that its
    // port is gone; the frame being received is kept.
    uint8_t in = 0;
    const aErr got = cobs->innerGet ? cobs->innerGet(&in, cobs->innerReference) : aErrMode;
    if (got != aErrNone)
        return got;
    if (in != 0) {
        // The bytes of an overlong frame past the buffer are dropped, and so
        // is the frame at its end: the bytes held may look like a good frame.
        if (cobs->rxCount < kMaxEncodedFrame)
            cobs->rxBuffer[cobs->rxCount++] = in;
        else
            cobs->rxOverlong = true;
        return aErrNotReady;
    }
    if (cobs->rxCount == 0)
        return aErrNotReady;
    if (cobs->rxOverlong) {
        cobs->rxOverlong = false;
        cobs->rxCount = 0;
        return aErrPacket;
    }

    const size_t n = cobs_decode_inplace(cobs->rxBuffer, cobs->rxCount);
    cobs->rxCount = 0;
    if (!sGoodFrame(cobs->rxBuffer, n))
        return aErrPacket;
    // Hand out address, length and data; the first byte comes with the next get.
    cobs->rxReady = true;
    cobs->rxPosition = 0;
    cobs->rxCount = n - 1;
    return aErrNotReady;
}

aErr sCobsStreamPut(const uint8_t* byte, void* reference)
{
    CobsStream* cobs = sCobs(reference);
    if (!cobs || !byte)
        return aErrParam;
    if (!cobs->innerPut)
        return aErrMode;
    return cobs->innerPut(byte, cobs->innerReference);
}

// Frames the complete txPacket and sends it with one inner write.
aErr sSendPacket(CobsStream* cobs)
{
    size_t wire = 0;
    const aErr taken = aPacket_GetBytes(cobs->txPacket, cobs->txBuffer, aPACKET_MAX_WIRE, &wire);
    aPacket_Reset(cobs->txPacket);
    if (taken != aErrNone)
        return taken;
    cobs->txBuffer[wire] = crc8_create(cobs->txBuffer, wire);
    cobs->txLength = cobs_encode_inplace(cobs->txBuffer, wire + 1);
    cobs->txBuffer[cobs->txLength++] = 0;
    if (!cobs->innerWrite)
        return aErrMode;
    static const uint8_t kDelimiter = 0;
    if (cobs->txCut) {
        const aErr ended = cobs->innerWrite(&kDelimiter, 1, cobs->innerReference);
        if (ended != aErrNone)
            return ended;
    }
    const aErr sent = cobs->innerWrite(cobs->txBuffer, cobs->txLength, cobs->innerReference);
    cobs->txCut = sent != aErrNone;
    return sent;
}

aErr sCobsStreamWrite(const uint8_t* data, size_t length, void* reference)
{
    CobsStream* cobs = sCobs(reference);
    if (!cobs || (!data && length))
        return aErrParam;

    aErr result = aErrNone;
    for (size_t i = 0; i < length; ++i) {
        if (cobs->txSkipLength) {
            cobs->txSkipLength = false;
            cobs->txSkip = data[i];
            continue;
        }
        if (cobs->txSkip) {
            --cobs->txSkip;
            continue;
        }
        if (aPacket_AddByte(cobs->txPacket, data[i]) != aErrNone) {
            // A packet that cannot be framed (an address of 0, a length above
            // 28) is dropped; its length byte says where the next one starts.
            if (cobs->txPacket->address == 0)
                cobs->txSkipLength = true;
            else
                cobs->txSkip = cobs->txPacket->length;
            aPacket_Reset(cobs->txPacket);
            result = aErrPacket;
            continue;
        }
        if (!aPacket_IsComplete(cobs->txPacket))
            continue;
        const aErr sent = sSendPacket(cobs);
        if (sent != aErrNone)
            result = sent;
    }
    return result;
}

aErr sCobsStreamWait(uint32_t timeoutMs, void* reference)
{
    CobsStream* cobs = sCobs(reference);
    if (!cobs)
        return aErrParam;
    if (cobs->rxReady)
        return aErrNone;
    return cobs->innerWait(timeoutMs, cobs->innerReference);
}

void sCobsStreamInterrupt(bool on, void* reference)
{
    CobsStream* cobs = sCobs(reference);
    if (cobs && cobs->innerInterrupt)
        cobs->innerInterrupt(on, cobs->innerReference);
}

aErr sCobsStreamDelete(void* reference)
{
    CobsStream* cobs = sCobs(reference);
    if (!cobs)
        return aErrParam;
    const aErr result = cobs->innerDelete ? cobs->innerDelete(cobs->innerReference) : aErrNone;
    aPacket_Destroy(&cobs->txPacket);
    cobs->check = 0;
    std::free(cobs);
    return result;
}

} // namespace

aErr aStream_CreateCobsEncoding(aStreamGetProc innerGet, aStreamPutProc innerPut,
                                aStreamWriteProc innerWrite, aStreamDeleteProc innerDelete,
                                void* innerReference, aStream** stream)
{
    return aStream_CreateCobsEncodingWithWait(innerGet, innerPut, innerWrite, innerDelete, nullptr,
                                              innerReference, stream);
}

aErr aStream_CreateCobsEncodingWithWait(aStreamGetProc innerGet, aStreamPutProc innerPut,
                                        aStreamWriteProc innerWrite, aStreamDeleteProc innerDelete,
                                        aStreamWaitProc innerWait, void* innerReference,
                                        aStream** stream)
{
    if (!stream)
        return aErrParam;
    *stream = nullptr;
    auto* cobs = static_cast<CobsStream*>(std::calloc(1, sizeof(CobsStream)));
    if (!cobs)
        return aErrMemory;
    cobs->txPacket = aPacket_Create();
    if (!cobs->txPacket) {
        std::free(cobs);
        return aErrMemory;
    }
    cobs->innerGet = innerGet;
    cobs->innerPut = innerPut;
    cobs->innerWrite = innerWrite;
    cobs->innerDelete = innerDelete;
    cobs->innerWait = innerWait;
    cobs->innerReference = innerReference;
    cobs->check = kCobsCheck;
    *stream = aStream_Create(sCobsStreamGet, sCobsStreamPut, sCobsStreamWrite, sCobsStreamDelete, cobs);
    if (!*stream) {
        aPacket_Destroy(&cobs->txPacket);
        std::free(cobs);
        return aErrResource;
    }
    if (innerWait)
        aStream_SetWaitProc(*stream, sCobsStreamWait);
    return aErrNone;
}

aErr aStream_SetCobsInnerInterrupt(aStream* stream, aStreamInterruptProc innerInterrupt)
{
    CobsStream* cobs = sCobs(aStream_Reference(stream, sCobsStreamDelete));
    if (!cobs)
        return aErrParam;
    cobs->innerInterrupt = innerInterrupt;
    return aStream_SetInterruptProc(stream, sCobsStreamInterrupt);
}
