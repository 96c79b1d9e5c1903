#include "common/aLink.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "common/aPacketLog.h"
#include "platform/aTime.h"

namespace {

constexpr int kStartChecks = 200;
constexpr uint64_t kCheckPauseMs = 10;
constexpr uint64_t kWriterAwaitMs = 1000;
// Once the reader has stopped, the writer only waits for the last packets.
constexpr uint64_t kWriterStoppingAwaitMs = 10;
constexpr uint64_t kReadErrorPauseMs = 100;
constexpr uint64_t kSyncSettleMs = 100;
// A synchronisation restarts with new address queries at most once per quiet
// period, and only a quiet period without bytes makes an idle reader restart it.
constexpr uint64_t kQuietPeriodMs = 1000;
// Longest single wait for bytes; bounds how long a stop waits for the reader.
constexpr uint32_t kReadWaitSliceMs = 20;
// Longest single wait of aLink_AwaitFirst between looks at the link's status.
constexpr uint64_t kAwaitSliceMs = 50;
constexpr int kAddressQueries = 6;
constexpr size_t kPoolBytes = aLINK_POOL_BYTES;
// A write that takes longer than this found the device not taking bytes.
constexpr uint64_t kSlowWriteMs = 20;
// The reader lends the role to awaiting callers until none has read for this
// long; as long, at most, bytes wait unread between two awaits.
constexpr uint64_t kLendMs = 5;

aPacket sPacket(uint8_t address, uint8_t length, uint8_t data0 = 0, uint8_t data1 = 0)
{
    aPacket packet = {};
    packet.check = aPACKET_CHECK;
    packet.address = address;
    packet.length = length;
    packet.count = static_cast<uint8_t>(length + 2);
    packet.data[0] = data0;
    packet.data[1] = data1;
    return packet;
}

bool sValidLink(const aLink* link)
{
    return link && link->check == aLINK_CHECK;
}

// The initialised record that the use holds, or NULL.
aLink* sRecord(const aLinkUse& use)
{
    return sValidLink(use.link()) ? use.link() : nullptr;
}

aErr sQueueForceRoute(aLink* link, bool on)
{
    aPacket route = sPacket(cmdFORCEROUTE, 1, on ? 1 : 0);
    return aPacketFifo_Put(link->outbound, &route);
}

// A link thread has set its ready flag, or the link has come to run: a start
// waiting for both wakes.
void sNotifyReady(aLink* link)
{
    {
        std::lock_guard<std::mutex> lock(link->readyLock);
    }
    link->ready.notify_all();
}

// The link runs in step, when its reader starts and whenever a
// synchronisation ends: a start that found it out of step sees it now.
void sSetRunning(aLink* link)
{
    link->status = kLinkStatusRunning;
    sNotifyReady(link);
}

// Starts synchronisation over: the reader hunts for two equal address answers.
// Six new address queries go out unless the last ones left less than a quiet
// period ago (their answers are still due) and the restart is not forced.
void sStartSync(aLink* link, bool force)
{
    // A pending aLink_Sync starts over at the top of the reader's loop, with
    // its own queries: a restart now would send six more.
    if (!force && link->syncRequested)
        return;
    link->status = kLinkStatusSyncing;
    link->syncState = kSyncStateStart;
    aPacket_Reset(link->packet);
    uint64_t now = aTime_GetMonotonicMSTicks();
    if (!force && now - link->lastQueriesMs < kQuietPeriodMs) {
        link->syncState = kSyncStateByte1;
        return;
    }
    link->lastQueriesMs = now;
    aPacket query = sPacket(aLINK_ADDRESS_QUERY, 0);
    aErr err = aErrNone;
    for (int i = 0; i < kAddressQueries; i++)
        err = aPacketFifo_Put(link->outbound, &query);
    if (err == aErrNone)
        link->syncState = kSyncStateByte1;
}

// In step after [A][00][A][00] with the same even, non-zero address A.
void sSyncByte(aLink* link, uint8_t byte)
{
    switch (link->syncState) {
    case kSyncStateByte1:
        if (byte == 0 || (byte & 1)) {
            sStartSync(link, false);
        } else {
            link->syncByte = byte;
            link->syncState = kSyncStateByte2;
        }
        break;
    case kSyncStateByte2:
        link->syncState = byte == 0 ? kSyncStateByte3 : kSyncStateStart;
        break;
    case kSyncStateByte3:
        link->syncState = byte == link->syncByte ? kSyncStateByte4 : kSyncStateStart;
        break;
    case kSyncStateByte4:
        if (byte == 0) {
            link->syncState = kSyncStateSynced;
            sSetRunning(link);
        } else {
            link->syncState = kSyncStateStart;
        }
        break;
    default:
        sStartSync(link, false);
        break;
    }
}

bool sIsHeartbeat(const aPacket* packet)
{
    return packet->length == 2 && packet->data[0] == 0;
}

// [A] 02 00 [x] is answered with [A] 02 00 [x + 2].
void sAnswerHeartbeat(aLink* link, const aPacket* heartbeat)
{
    uint8_t x = heartbeat->data[1];
    link->heartbeatState = x == 0 ? 2 : x == 1 ? 3 : 0;
    uint8_t answer = static_cast<uint8_t>(x + 2);
    aPacket reply = sPacket(heartbeat->address, 2, 0, answer);
    aPacketFifo_Put(link->outbound, &reply);
    link->heartbeatState = 0;
    if (link->heartbeatCallback)
        link->heartbeatCallback(answer & 1);
}

bool sAnyPacket(const aPacket*, const void*)
{
    return true;
}

bool sAnyButAddressQuery(const aPacket* packet, const void*)
{
    return !(packet->address == aLINK_ADDRESS_QUERY && packet->length == 0);
}

// The packet a caller that reads under the role awaits.
struct Wanted {
    aPacketFilterProc filter;
    const void* reference;
};

// True when the reading caller awaits the packet, with a copy in *taken.
bool sHandOver(const Wanted* wanted, const aPacket* packet, aPacket** taken)
{
    if (!wanted || !wanted->filter(packet, wanted->reference))
        return false;
    *taken = aPacket_Copy(packet);
    return *taken != nullptr;
}

// Takes the assembly packet once complete: the user filter first, then a
// heartbeat is answered; a packet that the reading caller awaits is handed
// to it (a copy, in *taken), anything else queued inbound.
aErr sHandlePacket(aLink* link, const Wanted* wanted, aPacket** taken)
{
    aPacket* packet = link->packet;
    if (!aPacket_IsComplete(packet))
        return aErrNone;
    aLink_PacketDebug_Record(link, aPACKETLOG_RECEIVED, packet);
    bool consumed = false;
    aMutex_Lock(link->userFilterSema);
    if (link->userFilter)
        consumed = link->userFilter(packet, link->userFilterRef);
    aMutex_Unlock(link->userFilterSema);

    aErr result = aErrNone;
    if (!consumed) {
        if (sIsHeartbeat(packet))
            sAnswerHeartbeat(link, packet);
        else if (!sHandOver(wanted, packet, taken))
            result = aPacketFifo_Put(link->inbound, packet);
    }
    aPacket_Reset(packet);
    return result;
}

// One byte from the stream, under the role: it goes to the synchronisation
// or into the assembly packet, which is handled once complete. The packet
// the reading caller awaits, when it completes one, else NULL.
aPacket* sReceiveByte(aLink* link, uint8_t byte, const Wanted* wanted)
{
    link->lastByteMs = aTime_GetMonotonicMSTicks();
    if (link->status == kLinkStatusSyncing) {
        sSyncByte(link, byte);
        return nullptr;
    }
    if (aPacket_AddByte(link->packet, byte) != aErrNone || (link->packet->address & 1)) {
        sStartSync(link, false);
        return nullptr;
    }
    aPacket* taken = nullptr;
    if (sHandlePacket(link, wanted, &taken) != aErrNone)
        link->status = kLinkStatusFault;
    return taken;
}

// Whether an awaiting caller may read the stream itself: the link runs in
// step with no synchronisation asked for, no user filter that must run on the
// reader thread is installed, and the stream can wait for bytes.
bool sCallerMayRead(const aLink* link)
{
    return link->running && link->status == kLinkStatusRunning && !link->syncRequested &&
        (!link->userFilterSet || link->userFilterAnyThread) && aStream_CanWait(link->stream);
}

// Makes a lending reader take the role back now.
void sRecallReader(aLink* link)
{
    {
        std::lock_guard<std::mutex> park(link->parkLock);
        link->recalled = true;
    }
    link->parked.notify_one();
}

// The reader has nothing to read and a caller asked for the role: it gives
// the role up and sleeps, without watching the stream, until it is recalled,
// the link stops, or no caller has read for a lending period; meanwhile
// awaiting callers read. Returns with the role held, or once the link stops.
void sLendRole(aLink* link, std::unique_lock<std::mutex>& role)
{
    link->roleWanted = false;
    role.unlock();
    // A caller that found the role taken waits on the FIFO: it tries again.
    if (link->awaiting > 0)
        aPacketFifo_Wake(link->inbound);
    std::unique_lock<std::mutex> park(link->parkLock);
    for (;;) {
        bool recalled = link->parked.wait_for(park, std::chrono::milliseconds(kLendMs),
                                              [link] { return link->recalled || !link->running; });
        link->recalled = false;
        if (!link->running)
            return;
        if (role.try_lock()) {
            if (recalled || aTime_GetMonotonicMSTicks() - link->callerReadMs >= kLendMs)
                return;
            role.unlock();
        }
    }
}

// Under the role: the oldest queued packet the caller awaits, else the one
// it reads from the stream by the deadline. False in *reading when the
// caller must leave the reading to the reader: the link left its running
// state, a user filter came, or the stream failed.
aPacket* sReadForCaller(aLink* link, const Wanted& wanted, uint64_t deadline, bool* reading)
{
    aPacket* found = aPacketFifo_GetFirst(link->inbound, wanted.filter, wanted.reference);
    while (!found && (*reading = sCallerMayRead(link))) {
        uint8_t byte = 0;
        aErr err = aStream_Read(link->stream, &byte, 1);
        if (err == aErrNone) {
            found = sReceiveByte(link, byte, &wanted);
            continue;
        }
        if (err != aErrNotReady) {
            link->status = kLinkStatusIOError;
            *reading = false;
            break;
        }
        uint64_t now = aTime_GetMonotonicMSTicks();
        if (now >= deadline || link->wakeRequested)
            break;
        uint32_t wait = static_cast<uint32_t>(std::min<uint64_t>(deadline - now, kReadWaitSliceMs));
        aErr waited = aStream_WaitReadable(link->stream, wait);
        if (waited != aErrNone && waited != aErrTimeout) {
            *reading = false;
            break;
        }
    }
    return found;
}

// Counts a caller inside an await for as long as it lasts.
class Awaiting {
public:
    explicit Awaiting(aLink* link) : mLink(link) { mLink->awaiting++; }
    ~Awaiting() { mLink->awaiting--; }
    Awaiting(const Awaiting&) = delete;
    Awaiting& operator=(const Awaiting&) = delete;

private:
    aLink* mLink;
};

// The oldest received packet the filter accepts, waiting up to timeoutMs;
// inStep ends the wait (or refuses it) while the link is not running in
// step. A caller that finds the reading role free reads the stream itself
// (in slices, looking at the link's state in between), else it waits on the
// FIFO for the reader. A caller that read gives the role back to the reader
// when it stopped for the link's sake or when others still await.
aPacket* sAwait(aLink* link, aPacketFilterProc filter, const void* reference, uint64_t timeoutMs, bool inStep)
{
    Awaiting counted(link);
    const Wanted wanted = {filter, reference};
    const aPacketFifoId inbound = link->inbound;
    // No FIFO (a reset that failed left none): nothing can arrive.
    if (!inbound)
        return nullptr;
    const uint64_t start = aTime_GetMonotonicMSTicks();
    const uint64_t deadline = timeoutMs > UINT64_MAX - start ? UINT64_MAX : start + timeoutMs;
    bool mayRead = true;
    aPacket* found = nullptr;
    for (;;) {
        if (inStep && !(link->running && link->status == kLinkStatusRunning))
            break;
        if (mayRead && sCallerMayRead(link) && link->readLock.try_lock()) {
            link->callerReading = true;
            found = sReadForCaller(link, wanted, deadline, &mayRead);
            link->callerReading = false;
            link->callerReadMs = aTime_GetMonotonicMSTicks();
            link->readLock.unlock();
            if (!mayRead || link->awaiting > 1)
                sRecallReader(link);
        } else {
            link->roleWanted = true;
            uint64_t now = aTime_GetMonotonicMSTicks();
            uint64_t wait = now < deadline ? deadline - now : 0;
            found = aPacketFifo_AwaitFirst(inbound, filter, reference, inStep ? std::min(wait, kAwaitSliceMs) : wait);
        }
        // A wake is spent by the look it ended, whether it found a packet or
        // not. A reset or release of the link destroys the FIFO: the wait ends.
        const bool woken = link->wakeRequested.exchange(false);
        if (found || woken || link->inbound != inbound || aTime_GetMonotonicMSTicks() >= deadline)
            break;
    }
    return found;
}

// Nothing to read: waits for bytes. After a read error that is over (the
// stream reads again, or dropped a spoilt frame) the synchronisation restarts
// at once. While synchronising, a quiet period without bytes (and without new
// queries) restarts it; a device that keeps talking must not hold it off.
void sAwaitBytes(aLink* link)
{
    uint32_t wait = kReadWaitSliceMs;
    aLinkStatus status = link->status;
    if (status == kLinkStatusIOError) {
        sStartSync(link, false);
        return;
    }
    if (status == kLinkStatusSyncing) {
        uint64_t now = aTime_GetMonotonicMSTicks();
        uint64_t quietSince = std::max(link->lastByteMs, link->lastQueriesMs);
        if (now - quietSince >= kQuietPeriodMs) {
            sStartSync(link, false);
            return;
        }
        wait = static_cast<uint32_t>(std::min<uint64_t>(wait, quietSince + kQuietPeriodMs - now));
    }
    aErr waited = aStream_WaitReadable(link->stream, wait);
    // A stream that cannot wait has already waited inside its get, or does
    // not say: a short pause keeps the reader from spinning.
    if (waited != aErrNone && waited != aErrTimeout)
        aTime_MSSleep(1);
}

void* sInPipeProcess(void* argument)
{
    auto* link = static_cast<aLink*>(argument);
    std::unique_lock<std::mutex> role(link->readLock);
    link->heartbeatState = 0;
    link->syncByte = 1;
    link->lastByteMs = aTime_GetMonotonicMSTicks();
    link->lastQueriesMs = link->lastByteMs - kQuietPeriodMs;
    link->failingSinceMs = 0;
    link->readerReady = true;
    link->syncState = kSyncStateSynced;
    sSetRunning(link);

    while (link->running) {
        if (link->syncRequested) {
            sStartSync(link, true);
            link->syncRequested = false;
        }
        uint8_t byte = 0;
        aErr err = aStream_Read(link->stream, &byte, 1);
        if ((err == aErrNotReady || err == aErrNone) && link->failingSinceMs.load(std::memory_order_relaxed) != 0)
            link->failingSinceMs = 0;
        if (err == aErrNotReady) {
            if (link->roleWanted && sCallerMayRead(link))
                sLendRole(link, role);
            else
                sAwaitBytes(link);
            continue;
        }
        if (err != aErrNone) {
            if (link->failingSinceMs == 0)
                link->failingSinceMs = aTime_GetMonotonicMSTicks();
            link->status = kLinkStatusIOError;
            aTime_MSSleep(kReadErrorPauseMs);
            continue;
        }
        sReceiveByte(link, byte, nullptr);
    }
    return nullptr;
}

size_t sWireForm(const aPacket* packet, uint8_t* out, size_t capacity)
{
    size_t written = 0;
    return aPacket_GetBytes(packet, out, capacity, &written) == aErrNone ? written : 0;
}

// Force route off while the link stops: the stop's last packet. Whatever was
// put behind it came after the stop and is not sent.
bool sEndsTheLink(const aLink* link, const aPacket* packet)
{
    return !link->running && packet->address == cmdFORCEROUTE && packet->length == 1 && packet->data[0] == 0;
}

// A stopping link whose device stopped taking bytes sends force route off
// alone: its backlog would hold the stop for one write time-out per packet.
bool sDroppedOnStop(const aLink* link, const aPacket* packet)
{
    return !link->running && link->slowStream && !sEndsTheLink(link, packet);
}

// Writes to the stream and notes whether the device took the bytes promptly.
// A write error is not reported: the packets are lost.
void sWriteStream(aLink* link, const uint8_t* bytes, size_t n)
{
    uint64_t start = aTime_GetMonotonicMSTicks();
    aErr err = aStream_Write(link->stream, bytes, n);
    link->slowStream = err != aErrNone || aTime_GetMonotonicMSTicks() - start > kSlowWriteMs;
}

// Sends the end of a packet that a caller could send only in part.
void sWriteDirectRest(aLink* link)
{
    if (link->directRestCount == 0)
        return;
    sWriteStream(link, link->directRest, link->directRestCount);
    link->directRestCount = 0;
}

// Writes one packet; true when it was the last of a stopping link.
bool sWriteSingly(aLink* link, const aPacket* packet)
{
    uint8_t wire[aPACKET_MAX_WIRE];
    size_t n = sWireForm(packet, wire, sizeof wire);
    sWriteStream(link, wire, n);
    return sEndsTheLink(link, packet);
}

// Gathers the queued packets behind the first into one write of at most
// 4096 bytes; true when the last of a stopping link was among them.
bool sWritePooled(aLink* link, const aPacket* first)
{
    uint8_t pool[kPoolBytes];
    size_t used = sWireForm(first, pool, sizeof pool);
    bool ended = sEndsTheLink(link, first);
    while (!ended && used + aPACKET_MAX_WIRE <= kPoolBytes) {
        aPacket* next = aPacketFifo_Get(link->outbound);
        if (!next)
            break;
        used += sWireForm(next, pool + used, kPoolBytes - used);
        ended = sEndsTheLink(link, next);
        aPacket_Destroy(&next);
    }
    sWriteStream(link, pool, used);
    return ended;
}

// Takes any packet for the writer, noting under the FIFO's lock that the
// writer holds one, so that no caller sends past it.
bool sTakeForWriter(const aPacket*, const void* reference)
{
    static_cast<aLink*>(const_cast<void*>(reference))->writerHolding = true;
    return true;
}

void* sOutPipeProcess(void* argument)
{
    auto* link = static_cast<aLink*>(argument);
    link->writerReady = true;
    sNotifyReady(link);
    bool ended = false;
    while (!ended && !link->draining) {
        uint64_t wait = link->running ? kWriterAwaitMs : kWriterStoppingAwaitMs;
        aPacket* packet = aPacketFifo_AwaitFirst(link->outbound, sTakeForWriter, link, wait);
        std::lock_guard<std::mutex> writing(link->writeLock);
        sWriteDirectRest(link);
        if (packet) {
            if (!sDroppedOnStop(link, packet)) {
                // Recorded before it goes out, so that no answer to it can
                // be recorded ahead of it.
                aLink_PacketDebug_Record(link, aPACKETLOG_SENT, packet);
                ended = link->pooled ? sWritePooled(link, packet) : sWriteSingly(link, packet);
            }
            aPacket_Destroy(&packet);
        }
        link->writerHolding = false;
    }
    // The stop has queued force route off: what is queued before it goes out
    // singly, and it goes out last.
    std::lock_guard<std::mutex> writing(link->writeLock);
    sWriteDirectRest(link);
    while (!ended) {
        aPacket* packet = aPacketFifo_Get(link->outbound);
        if (!packet)
            break;
        if (!sDroppedOnStop(link, packet))
            ended = sWriteSingly(link, packet);
        aPacket_Destroy(&packet);
    }
    return nullptr;
}

// Destroys both FIFOs; the outbound one's result.
aErr sReleaseFifos(aLink* link)
{
    aPacketFifoId inbound = link->inbound.exchange(0);
    aPacketFifoId outbound = link->outbound.exchange(0);
    if (inbound)
        aPacketFifo_Destroy(&inbound);
    return outbound ? aPacketFifo_Destroy(&outbound) : aErrNone;
}

} // namespace

bool drainAll(const aPacket*, const void*)
{
    return true;
}

bool aLink_ReadsFailingFor(const aLink* link, uint64_t ms)
{
    if (!sValidLink(link) || !link->running)
        return false;
    const uint64_t since = link->failingSinceMs;
    return since != 0 && aTime_GetMonotonicMSTicks() - since >= ms;
}

aLinkId aLink_Init(aLinkId id, aStream* stream)
{
    aLinkUse use(id);
    aLink* link = use.link();
    if (!link)
        return 0;
    bool refill = link->check == aLINK_CHECK;
    if (refill) {
        sReleaseFifos(link);
        if (link->stream && link->stream != stream)
            aStream_Destroy(&link->stream);
    }

    // Operations may be under way on a record filled again: its check word,
    // which they read, is left as it stands.
    if (!refill)
        link->check = aLINK_CHECK;
    link->id = id;
    link->running = false;
    link->stream = stream;
    link->status = stream ? kLinkStatusStopped : kLinkStatusNoStream;
    link->reader = nullptr;
    link->writer = nullptr;
    link->inbound = aPacketFifo_Create();
    link->outbound = aPacketFifo_Create();
    link->readerProc = sInPipeProcess;
    link->writerProc = sOutPipeProcess;
    link->readerReady = false;
    link->writerReady = false;
    link->heartbeatState = 0;
    link->heartbeatCallback = nullptr;
    if (!link->packet)
        link->packet = aPacket_Create();
    aPacket_Reset(link->packet);
    aLink_PacketDebug_Clear(link);
    link->pooled = false;
    if (!link->userFilterSema) {
        char name[64];
        std::snprintf(name, sizeof name, "aLink(%p)->userFilterSema", static_cast<void*>(link));
        link->userFilterSema = aMutex_Create(name);
    }
    if (link->userFilterSema) {
        aMutex_Lock(link->userFilterSema);
        link->userFilter = nullptr;
        link->userFilterRef = nullptr;
        aMutex_Unlock(link->userFilterSema);
    }
    link->syncRequested = false;
    link->draining = false;
    link->writerHolding = false;
    link->slowStream = false;
    link->directRestCount = 0;
    link->roleWanted = false;
    link->userFilterSet = false;
    link->userFilterAnyThread = false;
    link->callerReadMs = 0;
    link->wakeRequested = false;

    bool complete = link->inbound && link->outbound && link->packet && link->userFilterSema;
    return complete ? id : 0;
}

aErr aLink_Release(aLink* link)
{
    if (!sValidLink(link))
        return aErrParam;
    {
        // A start that found the link before it left the table may still
        // come after its stop: it is refused from here on, and one that got
        // through first is stopped now.
        std::lock_guard<std::mutex> control(link->control);
        link->released = true;
    }
    aLink_Stop(link);
    // Waiters on the FIFOs wake at once; then no operation is left inside.
    aErr result = sReleaseFifos(link);
    while (link->users > 0)
        aTime_MSSleep(1);
    // A re-initialisation that was under way may have made new ones.
    sReleaseFifos(link);
    aLink_PacketDebug_Free(link);
    if (link->packet)
        aPacket_Destroy(&link->packet);
    if (link->userFilterSema)
        aMutex_Destroy(&link->userFilterSema);
    if (link->stream)
        aStream_Destroy(&link->stream);
    link->check = 0;
    return result;
}

aErr aLink_Start(aLinkId id)
{
    aLinkUse use(id);
    aLink* link = sRecord(use);
    if (!link)
        return aErrParam;
    std::lock_guard<std::mutex> control(link->control);
    if (link->released)
        return aErrParam;
    if (link->running)
        return aErrNone;
    if (!link->stream)
        return aErrConnection;

    link->running = true;
    link->status = kLinkStatusStarting;
    link->heartbeatState = 0;
    link->readerReady = false;
    link->writerReady = false;
    link->draining = false;
    link->syncRequested = false;
    aStream_InterruptReads(link->stream, false);
    // Queued before the threads start, so that force route on is the first
    // packet the device receives.
    aErr routed = sQueueForceRoute(link, true);

    link->reader = aThread_Create(link->readerProc, link);
    if (!link->reader) {
        link->running = false;
        link->status = kLinkStatusStopped;
        return aErrResource;
    }
    link->writer = aThread_Create(link->writerProc, link);
    if (!link->writer)
        return aErrResource;

    std::unique_lock<std::mutex> waiting(link->readyLock);
    bool up = link->ready.wait_for(waiting, std::chrono::milliseconds(kStartChecks * kCheckPauseMs), [link] {
        return link->readerReady && link->writerReady && link->status == kLinkStatusRunning;
    });
    return up ? routed : aErrIndexRange;
}

aErr aLink_Stop(aLink* link)
{
    if (!link)
        return aErrParam;
    std::lock_guard<std::mutex> control(link->control);
    aLinkStatus status = link->status;
    if (status == kLinkStatusStopped || status == kLinkStatusStopping)
        return aErrNone;
    link->status = kLinkStatusStopping;

    aErr result = aErrNone;
    link->running = false;
    // A stream whose get waits long for bytes lets the reader go at once.
    aStream_InterruptReads(link->stream, true);
    {
        // A caller that found the link running may still be sending its
        // packet: it is done once the write lock is free.
        std::lock_guard<std::mutex> sent(link->writeLock);
    }
    sRecallReader(link);
    {
        // Nor does an awaiting caller read any more once it gives the role
        // back, within one wait slice.
        std::lock_guard<std::mutex> read(link->readLock);
    }
    if (link->reader || link->writer) {
        // The reader ends first, so that nothing it queues can follow force route off.
        if (link->reader && aThread_Destroy(&link->reader) != 0)
            result = aErrUnknown;
        aErr routed = sQueueForceRoute(link, false);
        if (result == aErrNone)
            result = routed;
        link->draining = true;
        if (link->writer && aThread_Destroy(&link->writer) != 0)
            result = aErrUnknown;
        link->readerReady = false;
        link->writerReady = false;
        aPacket_Reset(link->packet);
        link->heartbeatState = 0;
    }
    link->status = link->stream ? kLinkStatusStopped : kLinkStatusNoStream;
    return result;
}

aErr aLink_Sync(aLinkId id)
{
    aLinkUse use(id);
    aLink* link = sRecord(use);
    if (!link)
        return aErrParam;
    if (!link->running)
        return aErrNotReady;
    link->status = kLinkStatusSyncing;
    link->syncRequested = true;
    sRecallReader(link);

    aErr result = aErrNotReady;
    for (int check = 0; check < kStartChecks && link->running; check++) {
        if (!link->syncRequested && link->status == kLinkStatusRunning) {
            result = aErrNone;
            break;
        }
        aTime_MSSleep(kCheckPauseMs);
    }
    // What was queued for the device meanwhile is dropped, but the address
    // queries all go out: every synchronisation sends six. Their late
    // answers are dropped once they had time to arrive.
    aPacketFifo_DrainPackets(link->outbound, sAnyButAddressQuery, nullptr);
    aTime_MSSleep(kSyncSettleMs);
    aPacketFifo_DrainPackets(link->inbound, drainAll, nullptr);
    return result;
}

aErr aLink_ForceRoute(aLinkId id, bool on)
{
    aLinkUse use(id);
    if (!use.entry())
        return aErrNotFound;
    if (!sValidLink(use.link()))
        return aErrParam;
    return sQueueForceRoute(use.link(), on);
}

aLinkStatus aLink_GetStatus(aLinkId id)
{
    aLinkUse use(id);
    aLink* link = sRecord(use);
    if (!link)
        return kLinkStatusNoStream;
    return link->status;
}

// Whether a caller may write now: the link runs and nothing queued, taken by
// the writer or left over waits to go first. Under the write lock; the
// FIFO's length is read under its own lock, under which the writer also
// notes what it takes, so a packet taken before shows as held.
bool sNothingWaitsToGo(const aLink* link)
{
    return link->running && !link->draining && link->directRestCount == 0
        && aPacketFifo_GetLength(link->outbound) == 0 && !link->writerHolding;
}

// Sends packets from the caller's thread, as far as the stream takes them at
// once, when the link runs, keeps no packet log, the last write went through
// quickly, no write is under way and nothing waits to go first. The packets
// the writer would gather into one write (on a pooled link, as many of the
// first as fill at most 4096 bytes; else the first alone) go out in one try.
// The stream is never waited on: what it does not take at once goes to the
// writer, the end of a packet cut short to be sent first, then every packet
// after it, queued before any other write may come between. How many of the
// packets are dealt with (sent or queued; *queued the first failed put): 0
// when nothing went out, and the caller queues them; so it is too for a
// stream that cannot try a write.
size_t sSendDirectly(aLink* link, const aPacket* const* packets, size_t count, aErr* queued)
{
    if (!link->running || link->slowStream || link->packetLog || !link->writeLock.try_lock())
        return 0;
    if (!sNothingWaitsToGo(link)) {
        link->writeLock.unlock();
        return 0;
    }
    uint8_t pool[kPoolBytes];
    uint8_t sizes[kPoolBytes / 2];
    size_t used = 0;
    size_t gathered = 0;
    const size_t most = link->pooled ? count : std::min<size_t>(count, 1);
    while (gathered < most && (gathered == 0 || used + aPACKET_MAX_WIRE <= kPoolBytes)) {
        sizes[gathered] = static_cast<uint8_t>(sWireForm(packets[gathered], pool + used, kPoolBytes - used));
        used += sizes[gathered++];
    }
    size_t written = 0;
    aStream_TryWrite(link->stream, pool, used, &written);
    size_t dealt = written == used ? gathered : 0;
    if (written > 0 && written < used) {
        size_t whole = 0;
        size_t end = 0;
        while (end + sizes[whole] <= written)
            end += sizes[whole++];
        size_t next = whole;
        if (written > end) {
            // The end of the packet cut short goes first.
            std::copy(pool + written, pool + end + sizes[whole], link->directRest);
            link->directRestCount = end + sizes[whole] - written;
            next++;
        }
        for (; next < count && *queued == aErrNone; next++)
            *queued = aPacketFifo_Put(link->outbound, packets[next]);
        dealt = count;
    }
    const bool rest = link->directRestCount > 0;
    link->writeLock.unlock();
    if (rest)
        aPacketFifo_Wake(link->outbound);
    return dealt;
}

aErr aLink_PutPackets(aLinkId id, const aPacket* const* packets, size_t count)
{
    aLinkUse use(id);
    aLink* link = sRecord(use);
    if (!link || (count && !packets))
        return aErrParam;
    for (size_t i = 0; i < count; i++)
        if (!aVALIDPACKET(packets[i]))
            return aErrParam;
    aErr result = aErrNone;
    for (size_t at = 0; at < count && result == aErrNone;) {
        size_t dealt = sSendDirectly(link, packets + at, count - at, &result);
        if (dealt == 0) {
            result = aPacketFifo_Put(link->outbound, packets[at]);
            dealt = 1;
        }
        at += dealt;
    }
    return result;
}

aErr aLink_PutPacket(aLinkId id, const aPacket* packet)
{
    return aLink_PutPackets(id, &packet, 1);
}

aPacket* aLink_GetPacket(aLinkId id)
{
    aLinkUse use(id);
    aLink* link = sRecord(use);
    if (!link)
        return nullptr;
    return aPacketFifo_Get(link->inbound);
}

aPacket* aLink_AwaitPacket(aLinkId id, uint64_t timeoutMs)
{
    aLinkUse use(id);
    aLink* link = sRecord(use);
    if (!link)
        return nullptr;
    return sAwait(link, sAnyPacket, nullptr, timeoutMs, false);
}

aPacket* aLink_GetFirst(aLinkId id, aPacketFilterProc filter, const void* reference)
{
    aLinkUse use(id);
    aLink* link = sRecord(use);
    if (!link)
        return nullptr;
    return aPacketFifo_GetFirst(link->inbound, filter, reference);
}

aPacket* aLink_AwaitFirst(aLinkId id, aPacketFilterProc filter, const void* reference, uint64_t timeoutMs)
{
    aLinkUse use(id);
    aLink* link = sRecord(use);
    if (!link)
        return nullptr;
    if (!filter)
        return nullptr;
    return sAwait(link, filter, reference, timeoutMs, true);
}

aErr aLink_Wake(aLinkId id)
{
    aLinkUse use(id);
    aLink* link = sRecord(use);
    if (!link)
        return aErrParam;
    link->wakeRequested = true;
    return aPacketFifo_Wake(link->inbound);
}

size_t aLink_DrainPackets(aLinkId id, aPacketFilterProc filter, const void* reference)
{
    aLinkUse use(id);
    aLink* link = sRecord(use);
    if (!link)
        return 0;
    return aPacketFifo_DrainPackets(link->inbound, filter, reference);
}

namespace {

aErr sInstallUserPacketFilter(aLinkId id, aUserPacketFilterProc filter, void* reference, bool anyThread)
{
    aLinkUse use(id);
    aLink* link = sRecord(use);
    if (!link)
        return aErrParam;
    // A caller that reads stops before a filter for the reader thread only
    // is set (within one wait slice).
    const bool readerOnly = filter && !anyThread;
    link->userFilterAnyThread = !readerOnly;
    link->userFilterSet = filter != nullptr;
    while (readerOnly && link->callerReading)
        aTime_MSSleep(1);
    aMutex_Lock(link->userFilterSema);
    link->userFilter = filter;
    link->userFilterRef = reference;
    aMutex_Unlock(link->userFilterSema);
    if (readerOnly)
        sRecallReader(link);
    return aErrNone;
}

} // namespace

aErr aLink_InstallUserPacketFilter(aLinkId id, aUserPacketFilterProc filter, void* reference)
{
    return sInstallUserPacketFilter(id, filter, reference, false);
}

aErr aLink_InstallUserPacketFilterAnyThread(aLinkId id, aUserPacketFilterProc filter, void* reference)
{
    return sInstallUserPacketFilter(id, filter, reference, true);
}

aErr aLink_EnablePooledPackets(aLinkId id, bool pooled)
{
    aLinkUse use(id);
    aLink* link = sRecord(use);
    if (!link)
        return aErrParam;
    link->pooled = pooled;
    return aErrNone;
}
