// Packet logging: a link's debug ring of records (the packets its threads send
// and receive, and markers that callers add), taken out oldest first, with the
// oldest records dropped whole when the ring is full.
#pragma once

#include <cstdint>

#include "common/aError.h"
#include "common/aLinkTable.h"
#include "common/aPacket.h"

// Record kinds that the link threads write; callers may write any other.
enum : uint8_t {
    aPACKETLOG_SENT = 1,
    aPACKETLOG_RECEIVED = 2,
};

// Default ring size and the largest a link accepts, in bytes.
#define aPACKETLOG_DEFAULT_SIZE 65536u
#define aPACKETLOG_MAX_SIZE 67108864u
// Largest payload of one record: its length is one byte.
#define aPACKETLOG_MAX_PAYLOAD 255u

// A byte ring of records [kind][n][n payload bytes]. Positions wrap modulo
// size, and one byte always stays free, so head == tail means empty.
struct aPacketLog {
    bool enabled;
    uint8_t* bytes;
    uint32_t size;
    uint32_t head; // the oldest record
    uint32_t tail; // where the next record goes
};

// An empty ring of that size, not enabled; NULL for size 0 or without memory.
aPacketLog* aPacketLog_Create(uint32_t size);
// Appends one record, dropping the oldest to make room. aErrOverrun when the
// record cannot fit even in an empty ring (n + 2 not below the size, or n
// above 255); aErrParam for a NULL log, or NULL payload with n > 0.
aErr aPacketLog_Put(aPacketLog* log, uint8_t kind, uint32_t n, const uint8_t* payload);
// Takes the oldest record: aErrNotFound when empty. *kind and *length receive
// its kind and payload length; when *length held less room than that on
// entry, aErrOverrun and the record stays; else its payload goes to buffer.
aErr aPacketLog_Get(aPacketLog* log, int* kind, uint32_t* length, uint8_t* buffer);
// Frees the ring and the record and clears *log; nothing for NULL. aErrNone.
aErr aPacketLog_Destroy(aPacketLog** log);

// Per link; an unknown id gives aErrParam. The ring is made by the first
// enable and lives until the link is destroyed or re-initialised.
//
// The ring size for the first enable: 0 (or negative) for the default;
// aErrParam above the largest; aErrBusy once the ring exists.
aErr aLink_PacketDebug_SetLogSize(aLinkId id, int32_t size);
// Makes the log mutex and the ring when missing (aErrResource when they
// cannot be made) and marks the log enabled.
aErr aLink_PacketDebug_Enable(aLinkId id);
// Marks the log disabled; its records stay. aErrNotReady without a log.
aErr aLink_PacketDebug_Disable(aLinkId id);
// aPacketLog_Get under the log mutex; aErrNotReady without a log.
aErr aLink_PacketDebug_Read(aLinkId id, int* kind, uint32_t* length, uint8_t* buffer);
// aPacketLog_Put under the log mutex; aErrNotReady without a log, aErrParam
// for a negative length.
aErr aLink_PacketDebug_Write(aLinkId id, uint8_t kind, int32_t length, const uint8_t* data);

// For the link engine. Records the packet's wire form under the log mutex
// when the link has a log; a record that cannot be put is dropped.
struct aLink;
void aLink_PacketDebug_Record(aLink* link, uint8_t kind, const aPacket* packet);
// A stopped link re-initialised: its ring goes, the log mutex stays for the
// next enable, the size is the default again.
void aLink_PacketDebug_Clear(aLink* link);
// A link released: its ring and its log mutex go.
void aLink_PacketDebug_Free(aLink* link);
