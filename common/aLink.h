// The link engine: per link a reader thread that assembles the device's bytes
// into packets, keeps the byte stream in step with the device, answers
// heartbeats and queues the rest inbound, and a writer thread that sends the
// packets queued outbound. While callers await replies one after another, the
// reader lends them the stream: the awaiting caller reads and assembles its
// reply itself. Users reach a link only through its id.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "common/aError.h"
#include "common/aLinkTable.h"
#include "common/aPacket.h"
#include "common/aPacketFifo.h"
#include "common/aStream.h"
#include "platform/aMutex.h"
#include "platform/aThread.h"

typedef int aLinkStatus;
enum : aLinkStatus {
    kLinkStatusStopped = 0,  // initialised with a stream, threads not running
    kLinkStatusStarting = 1, // aLink_Start is creating the threads
    kLinkStatusRunning = 2,  // threads running and the byte stream in step
    kLinkStatusStopping = 3, // aLink_Stop in progress
    kLinkStatusSyncing = 4,  // synchronisation with the device in progress
    kLinkStatusNoStream = 5, // no stream; also the status of an unknown id
    kLinkStatusIOError = 6,  // the last stream read failed
    kLinkStatusFault = 8,    // a received packet could not be queued
};

// States of the synchronisation machine.
enum : int {
    kSyncStateSynced = 0,
    kSyncStateStart = 1,
    kSyncStateByte1 = 2,
    kSyncStateByte2 = 3,
    kSyncStateByte3 = 4,
    kSyncStateByte4 = 5,
};

#define aLINK_CHECK 0xCEED
// Force route, sent when a link starts (on) and stops (off): AF 01 01 / AF 01 00.
#define cmdFORCEROUTE 0xAF
// Module address query, six of them at each synchronisation start: AD 00.
#define aLINK_ADDRESS_QUERY 0xAD
// Most bytes of one pooled write.
#define aLINK_POOL_BYTES 4096

// Runs on the reader thread for every complete received packet, which is the
// link's assembly packet: copy what you keep. True consumes the packet: it is
// neither answered nor queued.
typedef bool (*aUserPacketFilterProc)(const aPacket* packet, void* reference);

struct aPacketLog;

// One link. Allocated zero-filled by the link table, filled by aLink_Init.
// running, status and the ready flags are written by one thread and read by
// others; the FIFO ids are replaced by a reset while users may read them.
struct aLink {
    uint16_t check;
    aLinkId id;
    std::atomic<bool> running;
    std::atomic<aLinkStatus> status;
    std::atomic<aPacketFifoId> inbound;
    aPacket* packet; // the packet the reader is assembling
    std::atomic<aPacketFifoId> outbound;
    aThread* reader;
    aThread* writer;
    aThreadProc readerProc;
    aThreadProc writerProc;
    std::atomic<bool> readerReady;
    std::atomic<bool> writerReady;
    // Each thread notifies `ready` (under readyLock) once it has set its flag,
    // and so does every change of the status to running, so that a start
    // wakes as soon as both run and the link is in step.
    std::mutex readyLock;
    std::condition_variable ready;
    aStream* stream; // owned by the link
    std::atomic<int> heartbeatState; // 0 idle, 2 answering an up, 3 a down heartbeat
    void (*heartbeatCallback)(bool);
    int syncState;
    uint8_t syncByte;
    std::atomic<aPacketLog*> packetLog;
    uint32_t logSize;
    std::atomic<aMutex*> logMutex;
    aUserPacketFilterProc userFilter;
    void* userFilterRef;
    aMutex* userFilterSema; // guards userFilter and userFilterRef
    std::atomic<bool> pooled;

    // Set by aLink_Sync, taken by the reader, which then starts a fresh
    // synchronisation with six new address queries.
    std::atomic<bool> syncRequested;
    // Set by aLink_Stop once force route off is queued: the writer sends what
    // is left and ends.
    std::atomic<bool> draining;
    // Reader only: monotonic milliseconds of the last address queries sent and
    // of the last byte received; they pace restarts of synchronisation.
    uint64_t lastQueriesMs;
    uint64_t lastByteMs;
    // Monotonic milliseconds of the first of the reads that have failed in a
    // row, 0 while the last read succeeded or found nothing waiting.
    std::atomic<uint64_t> failingSinceMs;
    // Operations in progress on the record (aLinkUse); its release waits for them.
    std::atomic<int> users;
    // Serialises start and stop, so that two stops never join the threads twice.
    std::mutex control;
    // Set under `control` by aLink_Release: no start gets through any more.
    bool released;
    // Held for every write to the stream: by the writer thread, and by a
    // caller of aLink_PutPacket that tries to send its packet itself, without
    // waiting, while nothing else waits to be sent.
    std::mutex writeLock;
    // The writer has taken a packet from the outbound FIFO and not yet sent it.
    std::atomic<bool> writerHolding;
    // The last write failed or the device took long to take it: callers leave
    // their packets to the writer until a write goes through quickly again.
    std::atomic<bool> slowStream;
    // Under `writeLock`: the end of a packet that a caller could send only in
    // part; the writer sends it before anything else.
    uint8_t directRest[aPACKET_MAX_WIRE];
    size_t directRestCount;

    // The reading role: held by the thread that reads the stream and
    // assembles packets, which is the reader thread or, while the reader
    // lends the role, a caller awaiting a packet (it then reads its reply
    // itself, sparing a hand-over between threads). It guards the stream's
    // read side, the assembly packet, the synchronisation state and the two
    // reader times above.
    std::mutex readLock;
    // A caller awaiting a packet found the role taken: the reader lends it
    // once nothing is left to read.
    std::atomic<bool> roleWanted;
    // Set by a caller while it reads under the role, so that installing a
    // user filter can wait for it to stop: a filter runs on the reader thread.
    std::atomic<bool> callerReading;
    std::atomic<bool> userFilterSet;
    // The user filter may run on an awaiting caller's thread too.
    std::atomic<bool> userFilterAnyThread;
    // Monotonic milliseconds when a caller last gave the role back.
    std::atomic<uint64_t> callerReadMs;
    // Callers inside an await on the link.
    std::atomic<int> awaiting;
    // Set by aLink_Wake: the await under way, or the next one, ends after its
    // look for a packet, as a time-out.
    std::atomic<bool> wakeRequested;
    // The lending reader sleeps on `parked` until recalled (under parkLock).
    std::mutex parkLock;
    std::condition_variable parked;
    bool recalled;
};

// The filter that accepts every packet.
bool drainAll(const aPacket* packet, const void* reference);

// Fills the link record of an existing table entry: new FIFOs, a new assembly
// packet and filter mutex, status stopped (or no stream without one). Returns
// the id, or 0 when the entry, its record or a resource is missing. On a
// stopped record that was filled before (a reset), FIFOs, a packet log and a
// stream left from before are released; the packet, the filter mutex and the
// log mutex are kept, cleared.
aLinkId aLink_Init(aLinkId id, aStream* stream);
// Releases what aLink_Init made, and the stream, of a link record that is out
// of the table: refuses every later start and stops a start that came first,
// destroys the FIFOs (the outbound one's result is the result, and waiters
// wake), waits until no operation on the link is left, then frees the
// assembly packet, the filter mutex, the packet log with its mutex and the
// stream and clears the check word.
// The record itself stays, for sFreeEntry.
aErr aLink_Release(aLink* link);
// Queues force route on, so that it is the first packet sent, starts the
// reader and writer threads and waits until both run and the stream is in
// step, woken as soon as they do. aErrNone for a running link; aErrParam
// unknown or released; aErrConnection without a stream; aErrResource when a
// thread cannot be made; aErrIndexRange when the link did not come up within
// 2000 ms (200 checks 10 ms apart).
aErr aLink_Start(aLinkId id);
// Stops the threads of a link record; the last bytes sent are force route off,
// queued on the record's own FIFO so that they go out also when the link is
// already out of the table. aErrNone for a stopped link, aErrParam for NULL.
aErr aLink_Stop(aLink* link);
// Synchronises with the device (six fresh address queries; in step after two
// equal answers), then empties both FIFOs. aErrNotReady when not in step
// within 200 checks 10 ms apart, or when the link does not run.
aErr aLink_Sync(aLinkId id);
// Queues AF 01 01 (on) or AF 01 00 (off). aErrNotFound unknown id, aErrParam
// entry without record, aErrMemory when the packet cannot be built.
aErr aLink_ForceRoute(aLinkId id, bool on);
// The status; kLinkStatusNoStream for an unknown id.
aLinkStatus aLink_GetStatus(aLinkId id);
// Queues a copy of the packet for sending; the caller keeps its packet. When
// the link runs, nothing else waits to be sent and the last write went
// through quickly, the packet goes out at once from the caller's thread, in
// order with everything queued before it; a device that stops taking bytes
// thus holds up one caller for one write of the stream at most.
aErr aLink_PutPacket(aLinkId id, const aPacket* packet);
// Queues copies of the packets in order, as aLink_PutPacket does one by one;
// the caller keeps its packets. On a pooled link the packets that one write
// of the writer would gather (at most 4096 bytes) go out, when they may go at
// once, in one write from the caller's thread; what the stream does not take
// at once the writer sends next, in order. aErrParam unknown, or for an
// invalid packet (then none is queued); else the first failed put's result.
aErr aLink_PutPackets(aLinkId id, const aPacket* const* packets, size_t count);
// The oldest received packet without waiting, or NULL.
aPacket* aLink_GetPacket(aLinkId id);
// The oldest received packet, waiting up to timeoutMs; NULL on time-out.
aPacket* aLink_AwaitPacket(aLinkId id, uint64_t timeoutMs);
// The oldest received packet the filter accepts, without waiting, or NULL.
aPacket* aLink_GetFirst(aLinkId id, aPacketFilterProc filter, const void* reference);
// Waits up to timeoutMs for the first received packet the filter accepts while
// the link runs and is in step; NULL on time-out, at once when the link is not
// running or not in step, and soon after it leaves that state during the wait.
// aLink_Wake ends the wait at once, as a time-out.
aPacket* aLink_AwaitFirst(aLinkId id, aPacketFilterProc filter, const void* reference, uint64_t timeoutMs);
// Ends the wait for a received packet under way on the link, or the next
// one, at once: it takes a packet as usual when one is there, else ends as a
// time-out. aErrParam for an unknown id.
aErr aLink_Wake(aLinkId id);
// Removes every received packet the filter accepts; how many.
size_t aLink_DrainPackets(aLinkId id, aPacketFilterProc filter, const void* reference);
// Sets the user filter (NULL for none) and its reference together; once it
// returns the previous filter is not running and will not be called again.
// A filter must not install a filter on its own link.
aErr aLink_InstallUserPacketFilter(aLinkId id, aUserPacketFilterProc filter, void* reference);
// As aLink_InstallUserPacketFilter, for a filter that may also run on the
// thread of an awaiting caller, which then reads the stream itself as it does
// on a link without a filter. Calls of the filter never overlap; it must take
// no lock that a caller may hold while it awaits.
aErr aLink_InstallUserPacketFilterAnyThread(aLinkId id, aUserPacketFilterProc filter, void* reference);
// Whether every read of the running link's stream has failed for at least
// ms: its device has gone away (a spoilt frame fails one read, not all).
bool aLink_ReadsFailingFor(const aLink* link, uint64_t ms);
// Pooled: the writer gathers queued packets into writes of at most 4096 bytes.
aErr aLink_EnablePooledPackets(aLinkId id, bool pooled);
