// test-labels: integration netns threaded
// Store slots and factory data over a connected Link to the simulated device
// (TCP on 127.0.0.1 of the test's own network namespace): the requests and
// chunks on the wire, the replies read, and the device's errors and silences.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "device_api/Link.h"
#include "tests/device_api/tcp_device.h"
#include "tests/sim/factory_data.h"
#include "tests/sim/store_slots.h"

namespace {

using namespace Zentrova::Tessaline;
using apitest::unshared;
using sim::Packet;
using Bytes = std::vector<uint8_t>;

const auto* const privateNetwork = ::testing::AddGlobalTestEnvironment(new apitest::PrivateNetwork);

constexpr uint8_t kModule = 0x02;
constexpr uint8_t kStore = 1;
constexpr uint8_t kSlot = 2;
constexpr uint8_t kItem = 5;

Bytes bytesOf(size_t n, uint8_t first = 1)
{
    Bytes bytes(n);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

Bytes concat(Bytes head, const Bytes& tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// The Link goes first, so that nothing reaches the handlers once they go.
class DeviceStores : public apitest::TcpDevice {
protected:
    void SetUp() override
    {
        ASSERT_EQ(aErrNone, link.setConfig(unshared()));
        ASSERT_EQ(aErrNone, link.connect());
        ASSERT_TRUE(link.isConnected());
        device.clearRecords();
    }

    // The requests of a command that the device received.
    std::vector<Bytes> requests(uint8_t command)
    {
        std::vector<Bytes> out;
        for (const Packet& p : device.records().packets)
            if (p.address == kModule && !p.data.empty() && p.data[0] == command) out.push_back(p.data);
        return out;
    }

    sim::StoreSlots slots{device};
    sim::FactoryData factory{device};
    Link link{spec(), "stores"};
};

TEST_F(DeviceStores, WritingASlotSendsChunksOf25AndClosesIt)
{
    slots.setSlot(kStore, kSlot, 100);
    Bytes data = bytesOf(60);
    ASSERT_EQ(aErrNone, link.loadStoreSlot(kModule, kStore, kSlot, data.data(), data.size()));
    EXPECT_EQ(slots.contents(kStore, kSlot), data);
    EXPECT_EQ(slots.openHandles(), 0u);

    std::vector<Bytes> sent = requests(sim::kStoreCommand);
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[0], (Bytes{4, 4, kStore, kSlot}));
    uint8_t handle = 1;
    size_t offset = 0;
    for (size_t chunk : {25, 25, 10}) {
        Bytes expected = {4, 7, handle};
        expected.insert(expected.end(), data.begin() + offset, data.begin() + offset + chunk);
        EXPECT_EQ(sent[1 + offset / 25], expected);
        offset += chunk;
    }
    EXPECT_EQ(sent[4], (Bytes{4, 8, handle}));
}

TEST_F(DeviceStores, WritingNothingOpensAndClosesAndAnswersTheClose)
{
    slots.setSlot(kStore, kSlot, 10, {9, 9});
    const uint8_t none = 0;
    EXPECT_EQ(aErrNone, link.loadStoreSlot(kModule, kStore, kSlot, &none, 0));
    EXPECT_TRUE(slots.contents(kStore, kSlot).empty());
    sim::StoreFaults faults;
    faults.closeError = 9;
    slots.setFaults(faults);
    EXPECT_EQ(aErr(9), link.loadStoreSlot(kModule, kStore, kSlot, &none, 0));
    std::vector<Bytes> sent = requests(sim::kStoreCommand);
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[1][1], 8);
    EXPECT_EQ(sent[3][1], 8);
}

TEST_F(DeviceStores, WriteFailuresStopTheWriteAndStillCloseAnOpenSlot)
{
    struct Case {
        const char* what;
        sim::StoreFaults faults;
        uint16_t capacity;
        aErr expected;
        size_t writes; // write requests sent
        bool closed;
    };
    auto with = [](auto change) {
        sim::StoreFaults f;
        change(f);
        return f;
    };
    Case cases[] = {
        {"wrong sum", with([](sim::StoreFaults& f) { f.wrongSumAt = 1; }), 100, aErrIO, 2, true},
        {"device error", with([](sim::StoreFaults& f) { f.writeError = 12; }), 100, aErr(12), 1, true},
        {"slot full", {}, 30, aErrOverrun, 2, true},
        {"close error", with([](sim::StoreFaults& f) { f.closeError = 7; }), 100, aErr(7), 3, true},
        {"close unanswered", with([](sim::StoreFaults& f) { f.silentClose = true; }), 100, aErrNone, 3, true},
        {"open refused", with([](sim::StoreFaults& f) { f.openError = 3; }), 100, aErrMedia, 0, false},
        {"no handle", with([](sim::StoreFaults& f) { f.noHandle = true; }), 100, aErrMedia, 0, false},
    };
    Bytes data = bytesOf(60);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        slots.setSlot(kStore, kSlot, c.capacity);
        slots.setFaults(c.faults);
        device.clearRecords();
        EXPECT_EQ(c.expected, link.loadStoreSlot(kModule, kStore, kSlot, data.data(), data.size()));
        std::vector<Bytes> sent = requests(sim::kStoreCommand);
        size_t writes = 0, closes = 0;
        for (const Bytes& r : sent) {
            writes += r[1] == 7;
            closes += r[1] == 8;
        }
        EXPECT_EQ(writes, c.writes);
        EXPECT_EQ(closes, c.closed ? 1u : 0u);
    }
}

TEST_F(DeviceStores, ErrorReplyWithoutACodeIsAFailure)
{
    slots.setSlot(kStore, kSlot, 100);
    // Every write is answered [4, 0x87, handle, 0].
    device.setCommandHandler(sim::kStoreCommand, [](sim::DeviceModel& d, const Packet& request) {
        const Bytes& q = request.data;
        if (q[1] == 4) d.answer(Packet{kModule, {4, 4, q[2], q[3], 1}});
        if (q[1] == 7) d.answer(Packet{kModule, {4, 0x87, q[2], 0}});
        if (q[1] == 8) d.answer(Packet{kModule, {4, 8, q[2], 0}});
    });
    Bytes data = bytesOf(10);
    EXPECT_EQ(aErrUnknown, link.loadStoreSlot(kModule, kStore, kSlot, data.data(), data.size()));
}

// An open answered without its handle byte opens nothing: whatever the
// reply's unused bytes hold is no handle.
TEST_F(DeviceStores, OpenReplyWithoutAHandleOpensNothing)
{
    device.setCommandHandler(sim::kStoreCommand, [](sim::DeviceModel& d, const Packet& request) {
        const Bytes& q = request.data;
        if (q[1] == 2) d.answer(Packet{kModule, {4, 2, q[2], q[3], 0, 4}});
        if (q[1] == 3 || q[1] == 4) d.answer(Packet{kModule, {4, q[1], q[2], q[3]}});
    });
    Bytes data = bytesOf(4);
    size_t received = 0;
    EXPECT_EQ(aErrMedia, link.loadStoreSlot(kModule, kStore, kSlot, data.data(), data.size()));
    EXPECT_EQ(aErrMedia, link.unloadStoreSlot(kModule, kStore, kSlot, data.data(), data.size(), &received));
    for (const Bytes& r : requests(sim::kStoreCommand)) EXPECT_LE(r[1], 4) << "sent past a failed open";
}

TEST_F(DeviceStores, ReadingASlotDeliversWhatFitsInTheBuffer)
{
    struct Case {
        size_t slotSize;
        size_t capacity;
        aErr expected;
        size_t received;
    } cases[] = {
        {30, 20, aErrOverrun, 20},
        {30, 64, aErrNone, 30},
        {50, 50, aErrNone, 50},
        {0, 8, aErrNone, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.slotSize << " bytes into " << c.capacity);
        Bytes contents = bytesOf(c.slotSize, 100);
        slots.setSlot(kStore, kSlot, 200, contents);
        Bytes buffer(c.capacity + 4, 0xEE);
        size_t received = 999;
        EXPECT_EQ(c.expected, link.unloadStoreSlot(kModule, kStore, kSlot, buffer.data(), c.capacity, &received));
        EXPECT_EQ(received, c.received);
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + c.received), Bytes(contents.begin(), contents.begin() + c.received));
        EXPECT_EQ(buffer[c.capacity], 0xEE) << "written past the buffer";
        EXPECT_EQ(slots.openHandles(), 0u);
    }
}

TEST_F(DeviceStores, ReadFailures)
{
    struct Case {
        const char* what;
        sim::StoreFaults faults;
        aErr expected;
        bool opened;
    };
    auto with = [](auto change) {
        sim::StoreFaults f;
        change(f);
        return f;
    };
    Case cases[] = {
        {"size refused", with([](sim::StoreFaults& f) { f.sizeError = 11; }), aErr(11), false},
        {"open refused", with([](sim::StoreFaults& f) { f.openError = 4; }), aErrMedia, false},
        {"read refused", with([](sim::StoreFaults& f) { f.readError = 13; }), aErr(13), true},
        {"close refused", with([](sim::StoreFaults& f) { f.closeError = 6; }), aErr(6), true},
        // The close after it succeeds; the time-out stands.
        {"read unanswered", with([](sim::StoreFaults& f) { f.silentReads = true; }), aErrTimeout, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        slots.setSlot(kStore, kSlot, 100, bytesOf(30));
        slots.setFaults(c.faults);
        device.clearRecords();
        uint8_t buffer[64];
        size_t received = 999;
        EXPECT_EQ(c.expected, link.unloadStoreSlot(kModule, kStore, kSlot, buffer, sizeof buffer, &received));
        EXPECT_EQ(received, 999u);
        size_t closes = 0;
        for (const Bytes& r : requests(sim::kStoreCommand)) closes += r[1] == 8;
        EXPECT_EQ(closes, c.opened ? 1u : 0u);
    }
    slots.setFaults({});
    EXPECT_EQ(slots.openHandles(), 1u) << "the refused close leaves one open";
}

TEST_F(DeviceStores, SizeAndCapacity)
{
    slots.setSlot(kStore, kSlot, 0x1234, bytesOf(0x2C));
    size_t value = 0;
    EXPECT_EQ(aErrNone, link.storeSlotCapacity(kModule, kStore, kSlot, &value));
    EXPECT_EQ(value, 0x1234u);
    EXPECT_EQ(aErrNone, link.storeSlotSize(kModule, kStore, kSlot, &value));
    EXPECT_EQ(value, 0x2Cu);
    EXPECT_EQ(requests(sim::kStoreCommand), (std::vector<Bytes>{{4, 1, kStore, kSlot}, {4, 2, kStore, kSlot}}));

    EXPECT_EQ(aErrNotFound, link.storeSlotSize(kModule, kStore, 9, &value)); // the device's code
    sim::StoreFaults faults;
    faults.sizeError = 21;
    slots.setFaults(faults);
    EXPECT_EQ(aErr(21), link.storeSlotCapacity(kModule, kStore, kSlot, &value));
    EXPECT_EQ(aErrParam, link.storeSlotSize(kModule, kStore, kSlot, nullptr));
    EXPECT_EQ(aErrParam, link.storeSlotCapacity(kModule, kStore, kSlot, nullptr));

    // A reply of another length.
    device.setCommandHandler(sim::kStoreCommand,
                             [](sim::DeviceModel& d, const Packet& q) { d.answer(Packet{kModule, {4, 2, q.data[2], q.data[3], 1}}); });
    EXPECT_EQ(aErrUnknown, link.storeSlotSize(kModule, kStore, kSlot, &value));
}

TEST_F(DeviceStores, FactoryDataIsReadUntilAShortReply)
{
    struct Case {
        size_t itemSize;
        size_t capacity;
        aErr expected;
        size_t reads;
    } cases[] = {
        {60, 100, aErrNone, 3},    // 26, 26, 8
        {52, 100, aErrNone, 3},    // 26, 26, then an empty reply
        {52, 52, aErrOverrun, 2},  // exactly the item's size is not enough
        {10, 100, aErrNone, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.itemSize << " bytes into " << c.capacity);
        Bytes item = bytesOf(c.itemSize, 7);
        factory.setItem(kItem, item);
        device.clearRecords();
        Bytes buffer(c.capacity);
        size_t received = 999;
        EXPECT_EQ(c.expected, link.getFactoryData(kModule, kItem, buffer.data(), buffer.size(), &received));
        std::vector<Bytes> sent = requests(sim::kFactoryCommand);
        Bytes reads;
        for (const Bytes& r : sent)
            if (r.size() == 2) reads.push_back(r[1]);
        Bytes expectedReads(c.reads, kItem);
        expectedReads[0] = kItem | 0x40;
        EXPECT_EQ(reads, expectedReads);
        if (c.expected == aErrNone) {
            EXPECT_EQ(received, c.itemSize);
            EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + c.itemSize), item);
            ASSERT_FALSE(sent.empty());
            EXPECT_EQ(sent.back(), (Bytes{0x5E, 0x20, 0, static_cast<uint8_t>(c.itemSize)}));
        } else {
            EXPECT_EQ(received, 999u);
        }
    }
}

TEST_F(DeviceStores, FactoryDataIsWrittenInChunksOf26ThenFinished)
{
    Bytes data = bytesOf(60, 3);
    ASSERT_EQ(aErrNone, link.setFactoryData(kModule, kItem, data.data(), data.size()));
    EXPECT_EQ(factory.item(kItem), data);
    std::vector<Bytes> sent = requests(sim::kFactoryCommand);
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0], concat({0x5E, kItem | 0x50}, Bytes(data.begin(), data.begin() + 26)));
    EXPECT_EQ(sent[1][1], kItem | 0x10);
    EXPECT_EQ(sent[2], concat({0x5E, kItem | 0x10}, Bytes(data.begin() + 52, data.end())));
    EXPECT_EQ(sent[3], (Bytes{0x5E, 0x20, 0, 60}));

    device.clearRecords();
    EXPECT_EQ(aErrNone, link.setFactoryData(kModule, kItem, nullptr, 0));
    EXPECT_EQ(requests(sim::kFactoryCommand), (std::vector<Bytes>{{0x5E, 0x20, 0, 0}}));
}

TEST_F(DeviceStores, FactoryDataFailures)
{
    factory.setItem(kItem, bytesOf(40));
    Bytes data = bytesOf(40);
    uint8_t buffer[64];
    size_t received = 0;
    struct Case {
        const char* what;
        sim::FactoryFaults faults;
        aErr read;
        aErr write;
    };
    auto with = [](auto change) {
        sim::FactoryFaults f;
        change(f);
        return f;
    };
    Case cases[] = {
        {"refused", with([](sim::FactoryFaults& f) { f.readError = 8; f.writeError = 9; }), aErr(8), aErr(9)},
        {"finish refused", with([](sim::FactoryFaults& f) { f.finishError = 19; }), aErr(19), aErr(19)},
        {"long acknowledgement", with([](sim::FactoryFaults& f) { f.longWriteAck = true; }), aErrNone, aErrSize},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        factory.setFaults(c.faults);
        EXPECT_EQ(c.read, link.getFactoryData(kModule, kItem, buffer, sizeof buffer, &received));
        EXPECT_EQ(c.write, link.setFactoryData(kModule, kItem, data.data(), data.size()));
    }
    factory.setFaults({});
    // Items are four bits, and the finish carries a 16-bit total.
    EXPECT_EQ(aErrParam, link.getFactoryData(kModule, 16, buffer, sizeof buffer, &received));
    EXPECT_EQ(aErrParam, link.setFactoryData(kModule, 16, data.data(), data.size()));
    Bytes huge(0x10000);
    EXPECT_EQ(aErrParam, link.setFactoryData(kModule, kItem, huge.data(), huge.size()));
    EXPECT_EQ(aErrParam, link.getFactoryData(kModule, kItem, nullptr, 8, &received));
    EXPECT_EQ(aErrParam, link.getFactoryData(kModule, kItem, buffer, 8, nullptr));
    EXPECT_EQ(aErrParam, link.setFactoryData(kModule, kItem, nullptr, 4));
}

TEST_F(DeviceStores, FactoryDataRepliesThatNeverComeTimeOut)
{
    factory.setItem(kItem, bytesOf(40));
    uint8_t buffer[64];
    size_t received = 999;
    sim::FactoryFaults faults;
    faults.silentReads = true;
    factory.setFaults(faults);
    EXPECT_EQ(aErrTimeout, link.getFactoryData(kModule, kItem, buffer, sizeof buffer, &received));
    EXPECT_EQ(received, 999u);
    faults = {};
    faults.silentFinish = true;
    factory.setFaults(faults);
    EXPECT_EQ(aErrTimeout, link.setFactoryData(kModule, kItem, buffer, 30));
}

TEST(DeviceStoresOffline, EveryOperationNeedsAConnectedLink)
{
    Link link("offline");
    uint8_t buffer[8] = {};
    size_t n = 0;
    EXPECT_EQ(aErrConnection, link.loadStoreSlot(kModule, kStore, kSlot, buffer, sizeof buffer));
    EXPECT_EQ(aErrConnection, link.unloadStoreSlot(kModule, kStore, kSlot, buffer, sizeof buffer, &n));
    EXPECT_EQ(aErrConnection, link.storeSlotSize(kModule, kStore, kSlot, &n));
    EXPECT_EQ(aErrConnection, link.storeSlotCapacity(kModule, kStore, kSlot, &n));
    EXPECT_EQ(aErrConnection, link.getFactoryData(kModule, kItem, buffer, sizeof buffer, &n));
    EXPECT_EQ(aErrConnection, link.setFactoryData(kModule, kItem, buffer, sizeof buffer));
}

TEST_F(DeviceStores, NullBuffersAreRefused)
{
    size_t n = 0;
    uint8_t buffer[4];
    EXPECT_EQ(aErrParam, link.loadStoreSlot(kModule, kStore, kSlot, nullptr, 4));
    EXPECT_EQ(aErrParam, link.unloadStoreSlot(kModule, kStore, kSlot, nullptr, 4, &n));
    EXPECT_EQ(aErrParam, link.unloadStoreSlot(kModule, kStore, kSlot, buffer, 4, nullptr));
    EXPECT_TRUE(requests(sim::kStoreCommand).empty());
}

} // namespace
