// test-labels: unit threaded
// The link table: ids, lookups, use counts and the one-step release of the
// last use.
#include "common/aLinkTable.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "common/aLink.h"

namespace {

// Takes the entry out of the table and frees it, as a destroy does.
void freeEntry(aLinkId id)
{
    aLinkEntry* entry = sExtractEntry(id);
    ASSERT_NE(entry, nullptr);
    sFreeEntry(&entry);
    EXPECT_EQ(entry, nullptr);
}

TEST(LinkTable, IdsGrowByOneAndAreNeverReused)
{
    aLinkId first = sCreate(0x1001, 0, USB);
    ASSERT_NE(first, 0u);
    freeEntry(first);
    aLinkId second = sCreate(0x1001, 0, USB);
    EXPECT_EQ(second, first + 1);
    EXPECT_EQ(sLookupEntryByID(first), nullptr);
    EXPECT_EQ(sGetLink(first), nullptr);
    freeEntry(second);
}

TEST(LinkTable, NewEntryHoldsItsIdentifiersAndAZeroFilledRecord)
{
    aLinkId id = sCreate2(0x2002, 0x0100007F, 8000, TCPIP);
    aLinkEntry* entry = sLookupEntryByID(id);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->id, id);
    EXPECT_EQ(entry->parent, 0u);
    EXPECT_EQ(entry->server, nullptr);
    EXPECT_EQ(entry->identifier1, 0x2002u);
    EXPECT_EQ(entry->identifier2, 0x0100007Fu);
    EXPECT_EQ(entry->identifier3, 8000u);
    EXPECT_EQ(entry->type, TCPIP);
    EXPECT_EQ(entry->useCount, 0);
    aLink* link = sGetLink(id);
    ASSERT_EQ(link, entry->link);
    EXPECT_EQ(link->id, id);
    EXPECT_EQ(link->check, 0);
    EXPECT_EQ(link->stream, nullptr);
    EXPECT_EQ(link->status, kLinkStatusStopped);
    freeEntry(id);
}

TEST(LinkTable, LookupsFindTheNewestMatch)
{
    aLinkId older = sCreate(0x3003, 0, SERIAL);
    aLinkId newer = sCreate(0x3003, 0, SERIAL);
    aLinkId otherType = sCreate(0x3003, 0, USB);
    aLinkId client = sCreate2(0x0100007F, 9000, 7, AVORNE);

    EXPECT_EQ(sLookupEntryByIdentifier(0x3003, SERIAL)->id, newer);
    EXPECT_EQ(sLookupEntryByIdentifier(0x3003, USB)->id, otherType);
    EXPECT_EQ(sLookupEntryByIdentifier(0x3003, TCPIP), nullptr);
    EXPECT_EQ(sLookupEntryByTrident(0x0100007F, 9000, 7)->id, client);
    EXPECT_EQ(sLookupEntryByTrident(0x0100007F, 9000, 8), nullptr);

    freeEntry(newer);
    EXPECT_EQ(sLookupEntryByIdentifier(0x3003, SERIAL)->id, older);
    EXPECT_EQ(sExtractEntry(newer), nullptr);
    for (aLinkId id : {older, otherType, client})
        freeEntry(id);
}

TEST(LinkTable, UseCountsAndTheReleaseOfTheLastUse)
{
    aLinkId id = sCreate(0x4004, 0, USB);
    aLinkEntry* entry = sLookupEntryByID(id);
    sChangeUseCount(entry, 2);
    aLinkEntry* last = entry;
    EXPECT_EQ(sReleaseUse(id, &last), aErrNone);
    EXPECT_EQ(last, nullptr); // one holder left: the entry stays
    EXPECT_EQ(sLookupEntryByID(id), entry);
    EXPECT_EQ(sReleaseUse(id, &last), aErrNone);
    EXPECT_EQ(last, entry); // the last use: out of the table, for tear-down
    EXPECT_EQ(sLookupEntryByID(id), nullptr);
    EXPECT_EQ(sReleaseUse(id, &last), aErrParam);
    EXPECT_EQ(last, nullptr);
    sFreeEntry(&entry);

    // 16-bit arithmetic: below 0 is possible, and a release there is the last.
    id = sCreate(0x4005, 0, USB);
    entry = sLookupEntryByID(id);
    sChangeUseCount(entry, -1);
    EXPECT_EQ(entry->useCount, -1);
    EXPECT_EQ(sReleaseUse(id, &last), aErrNone);
    EXPECT_EQ(last, entry);
    sFreeEntry(&last);
}

TEST(LinkTable, UseOfAnEntryFindsItsRecordAndCountsWhileHeld)
{
    aLinkId id = sCreate(0x5005, 0, USB);
    {
        aLinkUse use(id);
        ASSERT_NE(use.entry(), nullptr);
        EXPECT_EQ(use.link(), sGetLink(id));
        EXPECT_EQ(use.link()->users, 1);
    }
    EXPECT_EQ(sGetLink(id)->users, 0);
    freeEntry(id);
    aLinkUse gone(id);
    EXPECT_EQ(gone.entry(), nullptr);
    EXPECT_EQ(gone.link(), nullptr);
}

TEST(LinkTable, ConcurrentCreationsGetDistinctIds)
{
    constexpr int kThreads = 8;
    constexpr int kEach = 200;
    std::vector<std::vector<aLinkId>> made(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; i++) {
                aLinkId id = sCreate(0x6000 + t, static_cast<uint32_t>(i), USB);
                made[t].push_back(id);
                aLinkUse use(id);
                EXPECT_EQ(use.entry()->identifier2, static_cast<uint32_t>(i));
            }
        });
    for (auto& thread : threads)
        thread.join();
    std::set<aLinkId> ids;
    for (auto& list : made)
        for (aLinkId id : list) {
            ids.insert(id);
            freeEntry(id);
        }
    EXPECT_EQ(ids.size(), size_t(kThreads * kEach));
    EXPECT_EQ(ids.count(0), 0u);
}

} // namespace
