#include "common/aLinkTable.h"

#include <new>

#include "common/aLink.h"
#include "platform/aMutex.h"

std::atomic<int> _clientCount{0};

namespace {

struct LinkTable {
    aLinkEntry* head = nullptr;
    aLinkId nextId = 1;
    aMutex* mutex = aMutex_Create("aLink_Managed");
};

LinkTable& sTable()
{
    static LinkTable table;
    return table;
}

// Holds the table mutex for one table operation.
class TableLock {
public:
    TableLock() : mutex_(sTable().mutex) { aMutex_Lock(mutex_); }
    ~TableLock() { aMutex_Unlock(mutex_); }
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;

private:
    aMutex* mutex_;
};

template <typename Match>
aLinkEntry* sFind(Match match)
{
    TableLock lock;
    for (aLinkEntry* entry = sTable().head; entry; entry = entry->next)
        if (match(*entry))
            return entry;
    return nullptr;
}

// Unlinks the entry with that id; caller holds the table mutex.
aLinkEntry* sUnlink(aLinkId id)
{
    for (aLinkEntry** at = &sTable().head; *at; at = &(*at)->next) {
        aLinkEntry* entry = *at;
        if (entry->id == id) {
            *at = entry->next;
            entry->next = nullptr;
            return entry;
        }
    }
    return nullptr;
}

} // namespace

aLinkId sCreate2(uint32_t identifier1, uint32_t identifier2, uint32_t identifier3, linkType type)
{
    auto* entry = new (std::nothrow) aLinkEntry{};
    auto* link = new (std::nothrow) aLink{};
    if (!entry || !link) {
        delete entry;
        delete link;
        return 0;
    }
    entry->identifier1 = identifier1;
    entry->identifier2 = identifier2;
    entry->identifier3 = identifier3;
    entry->type = type;
    entry->link = link;

    TableLock lock;
    LinkTable& table = sTable();
    entry->id = table.nextId++;
    link->id = entry->id;
    entry->next = table.head;
    table.head = entry;
    return entry->id;
}

aLinkId sCreate(uint32_t identifier1, uint32_t identifier2, linkType type)
{
    return sCreate2(identifier1, identifier2, 0, type);
}

aLinkEntry* sLookupEntryByID(aLinkId id)
{
    return sFind([id](const aLinkEntry& entry) { return entry.id == id; });
}

aLinkEntry* sLookupEntryByIdentifier(uint32_t identifier1, linkType type)
{
    return sFind([=](const aLinkEntry& entry) { return entry.identifier1 == identifier1 && entry.type == type; });
}

aLinkEntry* sLookupEntryByTrident(uint32_t identifier1, uint32_t identifier2, uint32_t identifier3)
{
    return sFind([=](const aLinkEntry& entry) {
        return entry.identifier1 == identifier1 && entry.identifier2 == identifier2
            && entry.identifier3 == identifier3;
    });
}

aLinkEntry* sExtractEntry(aLinkId id)
{
    TableLock lock;
    return sUnlink(id);
}

void sChangeUseCount(aLinkEntry* entry, int16_t delta)
{
    if (!entry)
        return;
    TableLock lock;
    entry->useCount = static_cast<int16_t>(entry->useCount + delta);
}

aLink* sGetLink(aLinkId id)
{
    aLinkEntry* entry = sLookupEntryByID(id);
    return entry ? entry->link : nullptr;
}

aLinkId sAddUseByIdentifier(uint32_t identifier1, linkType type, bool refuseServed, bool* found)
{
    TableLock lock;
    aLinkEntry* entry = sTable().head;
    while (entry && !(entry->identifier1 == identifier1 && entry->type == type && entry->useCount > 0))
        entry = entry->next;
    if (found)
        *found = entry != nullptr;
    if (!entry || (refuseServed && entry->server))
        return 0;
    entry->useCount = static_cast<int16_t>(entry->useCount + 1);
    return entry->id;
}

int16_t sUseCount(aLinkId id)
{
    TableLock lock;
    for (aLinkEntry* entry = sTable().head; entry; entry = entry->next)
        if (entry->id == id)
            return entry->useCount;
    return 0;
}

aLinkId sAddUseByID(aLinkId id)
{
    TableLock lock;
    for (aLinkEntry* entry = sTable().head; entry; entry = entry->next) {
        if (entry->id == id) {
            if (entry->useCount <= 0)
                return 0;
            entry->useCount = static_cast<int16_t>(entry->useCount + 1);
            return id;
        }
    }
    return 0;
}

aLinkId sAddUseOfServed(uint32_t identifier1, linkType type)
{
    TableLock lock;
    aLinkEntry* device = sTable().head;
    while (device && !(device->identifier1 == identifier1 && device->type == type && device->server &&
                       device->useCount > 0))
        device = device->next;
    if (!device)
        return 0;
    for (aLinkEntry* entry = sTable().head; entry; entry = entry->next) {
        if (entry->parent == device->id && entry->useCount > 0) {
            entry->useCount = static_cast<int16_t>(entry->useCount + 1);
            return entry->id;
        }
    }
    return 0;
}

bool sAttachServer(aLinkId id, aServer* server)
{
    TableLock lock;
    for (aLinkEntry* entry = sTable().head; entry; entry = entry->next) {
        if (entry->id == id) {
            if (entry->server || entry->useCount != 1)
                return false;
            entry->server = server;
            return true;
        }
    }
    return false;
}

aLinkUse::aLinkUse(aLinkId id) : entry_(nullptr), link_(nullptr)
{
    TableLock lock;
    for (aLinkEntry* at = sTable().head; at && !entry_; at = at->next)
        if (at->id == id)
            entry_ = at;
    if (entry_ && entry_->link) {
        link_ = entry_->link;
        link_->users++;
    }
}

aLinkUse::~aLinkUse()
{
    if (link_)
        link_->users--;
}

aErr sReleaseUse(aLinkId id, aLinkEntry** last)
{
    if (!last)
        return aErrParam;
    *last = nullptr;
    TableLock lock;
    aLinkEntry* entry = nullptr;
    for (aLinkEntry* at = sTable().head; at && !entry; at = at->next)
        if (at->id == id)
            entry = at;
    if (!entry)
        return aErrParam;
    entry->useCount = static_cast<int16_t>(entry->useCount - 1);
    if (entry->useCount <= 0) {
        sUnlink(id);
        *last = entry;
    }
    return aErrNone;
}

void sFreeEntry(aLinkEntry** entry)
{
    if (!entry || !*entry)
        return;
    delete (*entry)->link;
    delete *entry;
    *entry = nullptr;
}
