#include "common/aPacketLog.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>

#include "common/aLink.h"

namespace {

// Serialises the making of a link's log mutex and ring and the changes of its
// log size, so that two enables never make two of either.
std::mutex sLogSetup;

uint32_t sUsed(const aPacketLog* log)
{
    return (log->tail - log->head + log->size) % log->size;
}

void sPutByte(aPacketLog* log, uint8_t byte)
{
    log->bytes[log->tail] = byte;
    log->tail = (log->tail + 1) % log->size;
}

uint8_t sByteAt(const aPacketLog* log, uint32_t offset)
{
    return log->bytes[(log->head + offset) % log->size];
}

void sDropOldest(aPacketLog* log)
{
    log->head = (log->head + 2 + sByteAt(log, 1)) % log->size;
}

// The initialised record that the use holds, or NULL.
aLink* sRecord(const aLinkUse& use)
{
    aLink* link = use.link();
    return link && link->check == aLINK_CHECK ? link : nullptr;
}

// Runs op on the link's ring under its log mutex; aErrNotReady without a ring.
template <typename Op>
aErr sWithLog(aLinkId id, Op op)
{
    aLinkUse use(id);
    aLink* link = sRecord(use);
    if (!link)
        return aErrParam;
    aMutex* mutex = link->logMutex;
    if (!mutex)
        return aErrNotReady;
    aMutex_Lock(mutex);
    aPacketLog* log = link->packetLog;
    aErr result = log ? op(log) : aErrNotReady;
    aMutex_Unlock(mutex);
    return result;
}

} // namespace

aPacketLog* aPacketLog_Create(uint32_t size)
{
    if (size == 0)
        return nullptr;
    auto* log = new (std::nothrow) aPacketLog{};
    if (!log)
        return nullptr;
    log->bytes = static_cast<uint8_t*>(std::calloc(size, 1));
    if (!log->bytes) {
        delete log;
        return nullptr;
    }
    log->size = size;
    return log;
}

aErr aPacketLog_Put(aPacketLog* log, uint8_t kind, uint32_t n, const uint8_t* payload)
{
    if (!log || (n > 0 && !payload))
        return aErrParam;
    if (n > aPACKETLOG_MAX_PAYLOAD)
        return aErrOverrun;
    uint32_t record = n + 2;
    uint32_t free = log->size - sUsed(log);
    while (record < log->size && free <= record) {
        sDropOldest(log);
        free = log->size - sUsed(log);
    }
    if (free <= record)
        return aErrOverrun;
    sPutByte(log, kind);
    sPutByte(log, static_cast<uint8_t>(n));
    for (uint32_t i = 0; i < n; i++)
        sPutByte(log, payload[i]);
    return aErrNone;
}

aErr aPacketLog_Get(aPacketLog* log, int* kind, uint32_t* length, uint8_t* buffer)
{
    if (!log || !kind || !length)
        return aErrParam;
    if (log->head == log->tail)
        return aErrNotFound;
    uint32_t room = *length;
    uint32_t n = sByteAt(log, 1);
    *kind = sByteAt(log, 0);
    *length = n;
    if (room < n)
        return aErrOverrun;
    if (n > 0 && !buffer)
        return aErrParam;
    for (uint32_t i = 0; i < n; i++)
        buffer[i] = sByteAt(log, 2 + i);
    sDropOldest(log);
    return aErrNone;
}

aErr aPacketLog_Destroy(aPacketLog** log)
{
    if (!log || !*log)
        return aErrNone;
    (*log)->enabled = false;
    std::free((*log)->bytes);
    delete *log;
    *log = nullptr;
    return aErrNone;
}

aErr aLink_PacketDebug_SetLogSize(aLinkId id, int32_t size)
{
    aLinkUse use(id);
    aLink* link = sRecord(use);
    if (!link)
        return aErrParam;
    if (size > 0 && static_cast<uint32_t>(size) > aPACKETLOG_MAX_SIZE)
        return aErrParam;
    std::lock_guard<std::mutex> setup(sLogSetup);
    if (link->packetLog)
        return aErrBusy;
    link->logSize = size > 0 ? static_cast<uint32_t>(size) : 0;
    return aErrNone;
}

aErr aLink_PacketDebug_Enable(aLinkId id)
{
    aLinkUse use(id);
    aLink* link = sRecord(use);
    if (!link)
        return aErrParam;
    std::lock_guard<std::mutex> setup(sLogSetup);
    if (link->logSize == 0)
        link->logSize = aPACKETLOG_DEFAULT_SIZE;
    // The mutex comes first: the link threads take it as soon as they see a ring.
    if (!link->logMutex) {
        char name[64];
        std::snprintf(name, sizeof name, "LOG_SEMA_%p", static_cast<void*>(link));
        link->logMutex = aMutex_Create(name);
    }
    aMutex* mutex = link->logMutex;
    if (!mutex)
        return aErrResource;
    if (!link->packetLog)
        link->packetLog = aPacketLog_Create(link->logSize);
    aMutex_Lock(mutex);
    aPacketLog* log = link->packetLog;
    if (log)
        log->enabled = true;
    aMutex_Unlock(mutex);
    return log ? aErrNone : aErrResource;
}

aErr aLink_PacketDebug_Disable(aLinkId id)
{
    return sWithLog(id, [](aPacketLog* log) {
        log->enabled = false;
        return aErrNone;
    });
}

aErr aLink_PacketDebug_Read(aLinkId id, int* kind, uint32_t* length, uint8_t* buffer)
{
    return sWithLog(id, [&](aPacketLog* log) { return aPacketLog_Get(log, kind, length, buffer); });
}

aErr aLink_PacketDebug_Write(aLinkId id, uint8_t kind, int32_t length, const uint8_t* data)
{
    if (length < 0)
        return aErrParam;
    return sWithLog(id, [&](aPacketLog* log) {
        return aPacketLog_Put(log, kind, static_cast<uint32_t>(length), data);
    });
}

void aLink_PacketDebug_Record(aLink* link, uint8_t kind, const aPacket* packet)
{
    if (!link->packetLog)
        return;
    aMutex* mutex = link->logMutex;
    uint8_t wire[aPACKET_MAX_WIRE];
    size_t n = 0;
    if (!mutex || aPacket_GetBytes(packet, wire, sizeof wire, &n) != aErrNone)
        return;
    aMutex_Lock(mutex);
    if (aPacketLog* log = link->packetLog)
        aPacketLog_Put(log, kind, static_cast<uint32_t>(n), wire);
    aMutex_Unlock(mutex);
}

void aLink_PacketDebug_Clear(aLink* link)
{
    std::lock_guard<std::mutex> setup(sLogSetup);
    link->logSize = 0;
    aMutex* mutex = link->logMutex;
    if (!mutex)
        return;
    aMutex_Lock(mutex);
    aPacketLog* log = link->packetLog.exchange(nullptr);
    aMutex_Unlock(mutex);
    aPacketLog_Destroy(&log);
}

void aLink_PacketDebug_Free(aLink* link)
{
    std::lock_guard<std::mutex> setup(sLogSetup);
    aPacketLog* log = link->packetLog.exchange(nullptr);
    aPacketLog_Destroy(&log);
    aMutex* mutex = link->logMutex.exchange(nullptr);
    if (mutex)
        aMutex_Destroy(&mutex);
}
