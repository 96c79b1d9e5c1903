// The process-wide link table: one entry per link, holding its link record,
// the identifiers that let a second request for the same device reuse it, its
// use count and the link-sharing server in front of it. Links are named by the
// id of their entry. These operations are internal to the device library.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/aDiscovery.h"
#include "common/aError.h"

// The handle of a link: the id of its table entry. Ids start at 1 and are
// never reused within a process; 0 means no link.
typedef uint32_t aLinkId;

struct aLink;
struct aServer;

typedef struct aLinkEntry {
    aLinkId id;
    // For the client link of a shared device link: the device link's id; else 0.
    aLinkId parent;
    // The link-sharing server wrapping this device link, or NULL.
    aServer* server;
    // By type: USB and SERIAL (serial number, 0, 0); TCPIP (serial number,
    // IPv4 address in network byte order, port); AVORNE (server address,
    // server port, client count); INVALID (0xFFFFFFFF, 0, 0).
    uint32_t identifier1;
    uint32_t identifier2;
    uint32_t identifier3;
    linkType type;
    // Holders of the id; the link is torn down when a destroy brings it to 0
    // or below. Changed only under the table mutex.
    int16_t useCount;
    // Allocated zero-filled together with the entry.
    aLink* link;
    // For a client link: the stream enable that subscribed it at its server,
    // which a reset sends again from the new connection; its length, 0 for none.
    uint8_t subscription[32];
    uint8_t subscriptionLength;
    aLinkEntry* next;
} aLinkEntry;

// Grows each time a client entry is made, so that client entries differ.
extern std::atomic<int> _clientCount;

// A new entry at the head of the table with use count 0, no parent, no server
// and a zero-filled link record whose id is set; 0 when memory runs out.
aLinkId sCreate2(uint32_t identifier1, uint32_t identifier2, uint32_t identifier3, linkType type);
// sCreate2 with identifier 3 = 0.
aLinkId sCreate(uint32_t identifier1, uint32_t identifier2, linkType type);

// The entry with that id, or NULL.
aLinkEntry* sLookupEntryByID(aLinkId id);
// The newest entry with that identifier 1 and type, or NULL.
aLinkEntry* sLookupEntryByIdentifier(uint32_t identifier1, linkType type);
// The newest entry with those three identifiers, of any type, or NULL.
aLinkEntry* sLookupEntryByTrident(uint32_t identifier1, uint32_t identifier2, uint32_t identifier3);
// Unlinks the entry from the table and returns it, or NULL.
aLinkEntry* sExtractEntry(aLinkId id);
// Adds delta to the entry's use count (16-bit arithmetic).
void sChangeUseCount(aLinkEntry* entry, int16_t delta);
// The link record of the entry with that id, or NULL.
aLink* sGetLink(aLinkId id);

// Reuse of a link in one step under the table mutex, so that a last destroy
// running at the same time cannot free the entry in between: the newest entry
// with that identifier 1 and type that holds uses (a link still being made
// holds none) gets one more, and its id is the result. *found tells whether
// there was such an entry; with refuseServed, one with a server attached gets
// no use and the result is 0.
aLinkId sAddUseByIdentifier(uint32_t identifier1, linkType type, bool refuseServed, bool* found);

// The use count of the entry with that id, read under the table mutex; 0 for
// an unknown id.
int16_t sUseCount(aLinkId id);
// One more use of the entry with that id, when it holds uses: its id, else 0.
aLinkId sAddUseByID(aLinkId id);
// One step under the table mutex: the newest entry with that identifier 1
// and type that has a server and uses, then the newest entry with uses whose
// parent it is (the client link of the server's own process), which gets one
// more use; its id, else 0.
aLinkId sAddUseOfServed(uint32_t identifier1, linkType type);
// Attaches the server to the entry in one step under the table mutex, only
// when the entry has no server yet and exactly one use (its maker's): a link
// that another holder uses directly is never taken over. False otherwise.
bool sAttachServer(aLinkId id, aServer* server);

// The pointers that the lookups above hand out stay valid only while the
// caller holds a use of the link. An operation that may race with the last
// destroy holds its link with an aLinkUse instead: the record's release
// (aLink_Release) waits until no aLinkUse of it is left.
class aLinkUse {
public:
    // Finds the entry and takes a use of its record, both under the table mutex.
    explicit aLinkUse(aLinkId id);
    ~aLinkUse();
    aLinkUse(const aLinkUse&) = delete;
    aLinkUse& operator=(const aLinkUse&) = delete;

    // NULL when no entry has the id.
    aLinkEntry* entry() const { return entry_; }
    // NULL when no entry has the id or the entry has no record.
    aLink* link() const { return link_; }

private:
    aLinkEntry* entry_;
    aLink* link_;
};

// Gives up one use of the link in one step under the table mutex: decreases
// the use count and, when it drops to 0 or below, unlinks the entry and hands
// it to *last for tear-down (else *last is NULL). aErrParam for an unknown id.
aErr sReleaseUse(aLinkId id, aLinkEntry** last);
// Frees an entry that is out of the table together with its link record; the
// record's resources must already be released (aLink_Release). Clears the
// caller's pointer.
void sFreeEntry(aLinkEntry** entry);
