// Packet FIFOs: thread-safe queues of packets named by 64-bit handles in a
// process-wide registry. They hand packets over between a link's reader and
// writer threads and the threads that use the link.
//
// A put stores a copy, and every packet taken out is a new copy that the
// caller frees with aPacket_Destroy. A put that leaves more than 1000 packets
// queued empties the queue. Time-outs are milliseconds on a monotonic clock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/aError.h"
#include "common/aPacket.h"

// 0 names no FIFO and is never issued.
typedef uint64_t aPacketFifoId;

// True selects the packet. It runs with the FIFO locked: it must not call
// operations of the same FIFO nor keep the packet pointer.
typedef bool (*aPacketFilterProc)(const aPacket* packet, const void* reference);

#define aPACKETFIFO_MAX_QUEUED 1000

// A new empty FIFO; 0 on failure.
aPacketFifoId aPacketFifo_Create();
// Frees the queued packets, wakes every waiter and clears *id; aErrParam for
// a NULL pointer, aErrNotFound (and *id kept) for an unknown handle.
aErr aPacketFifo_Destroy(aPacketFifoId* id);
// Queued packets; 0 for an unknown handle.
size_t aPacketFifo_GetLength(aPacketFifoId id);
// Appends a copy; the caller keeps its packet. aErrParam for an unknown
// handle or a non-packet, aErrResource when memory runs out.
aErr aPacketFifo_Put(aPacketFifoId id, const aPacket* packet);
// Takes the front packet without waiting; NULL when there is none.
aPacket* aPacketFifo_Get(aPacketFifoId id);
// Takes the front packet, waiting up to msTimeout for one; NULL on time-out,
// for an unknown handle or when the FIFO is destroyed meanwhile.
aPacket* aPacketFifo_Await(aPacketFifoId id, uint64_t msTimeout);
// Takes the oldest packet that the filter accepts, without waiting.
aPacket* aPacketFifo_GetFirst(aPacketFifoId id, aPacketFilterProc filter, const void* reference);
// Takes the oldest packet that the filter accepts, waiting up to msTimeout
// for one. The filter sees each packet at most once per call, in arrival order.
aPacket* aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketFilterProc filter, const void* reference,
                                uint64_t msTimeout);
// As aPacketFifo_AwaitFirst; *woken (when given) tells whether a wake ended
// the wait without a packet.
aPacket* aPacketFifo_AwaitFirstOrWake(aPacketFifoId id, aPacketFilterProc filter, const void* reference,
                                      uint64_t msTimeout, bool* woken);
// Ends the await under way on the FIFO, or the next one, at once: it takes a
// packet as usual when one is there, else returns NULL. aErrParam for an
// unknown handle.
aErr aPacketFifo_Wake(aPacketFifoId id);
// Removes and frees every queued packet that the filter accepts; returns how many.
size_t aPacketFifo_DrainPackets(aPacketFifoId id, aPacketFilterProc filter, const void* reference);
