// test-labels: integration netns threaded
// UEI requests and replies, raw packets and the module-address query over a
// connected Link to the simulated device (TCP on 127.0.0.1 of the test's own
// network namespace): the packet forms on the wire, byte arrays in chunks,
// reply decoding and matching, and the waits.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <numeric>
#include <thread>
#include <vector>

#include "device_api/Link.h"
#include "tests/device_api/tcp_device.h"

namespace {

using namespace Zentrova::Tessaline;
using apitest::unshared;
using sim::Packet;

const auto* const privateNetwork = ::testing::AddGlobalTestEnvironment(new apitest::PrivateNetwork);

constexpr uint8_t kModule = 0x02;
constexpr uint8_t kCommand = 3;

uei request(uint8_t option, uint8_t specifier, uint32_t type)
{
    uei record{};
    record.module = kModule;
    record.command = kCommand;
    record.option = option;
    record.specifier = specifier;
    record.type = type;
    return record;
}

// The record a reply filter starts from: the bare option and index.
uei replyFilter(uint8_t option, uint8_t index)
{
    return request(option, index, ueiTypeNone);
}

class Transactions : public apitest::TcpDevice {
protected:
    void SetUp() override
    {
        ASSERT_EQ(aErrNone, link.setConfig(unshared()));
        ASSERT_EQ(aErrNone, link.connect());
        ASSERT_TRUE(link.isConnected());
    }

    // The packets the device received since the link started, but for the
    // link's own force route and address queries.
    std::vector<Packet> requests()
    {
        std::vector<Packet> out;
        for (const Packet& p : device.records().packets)
            if (p.address == kModule) out.push_back(p);
        return out;
    }

    bool waitForRequests(size_t count)
    {
        return device.waitFor(
            [&](const sim::Records& r) {
                size_t n = 0;
                for (const Packet& p : r.packets) n += p.address == kModule;
                return n >= count;
            },
            2000);
    }

    static long elapsedMs(std::chrono::steady_clock::time_point since)
    {
        return static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count());
    }

    // Whether a wait that began at since lasted its time-out: the link's
    // waits count whole milliseconds on a clock of their own, so a few
    // milliseconds short still count.
    static ::testing::AssertionResult waited(std::chrono::steady_clock::time_point since, long timeoutMs)
    {
        long elapsed = elapsedMs(since);
        if (elapsed >= timeoutMs - 5 && elapsed < timeoutMs + 1500) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "waited " << elapsed << " ms, not " << timeoutMs;
    }

    Link link{spec(), "tcp"};
};

TEST_F(Transactions, ScalarRequestsOnTheWire)
{
    struct Case {
        uint32_t type;
        uint32_t value;
        bool subindex;
        std::vector<uint8_t> data;
    } cases[] = {
        {ueiTypeNone, 0, false, {3, 0x47, 0x20}},
        {ueiTypeByte, 0xA5, false, {3, 0x47, 0x20, 0xA5}},
        {ueiTypeShort, 0x1234, false, {3, 0x47, 0x20, 0x12, 0x34}},
        {ueiTypeInt, 0x01020304, false, {3, 0x47, 0x20, 1, 2, 3, 4}},
        {ueiTypeNone, 0, true, {3, 0x47, 0x20, 9}},
        {ueiTypeByte, 0xA5, true, {3, 0x47, 0x20, 9, 0xA5}},
        {ueiTypeShort, 0x1234, true, {3, 0x47, 0x20, 9, 0x12, 0x34}},
        {ueiTypeInt, 0x01020304, true, {3, 0x47, 0x20, 9, 1, 2, 3, 4}},
    };
    for (const Case& c : cases) {
        uei record = request(0x47, 0x20, c.type);
        record.value.intVal = 0;
        if (c.type == ueiTypeByte) record.value.byteVal = static_cast<uint8_t>(c.value);
        if (c.type == ueiTypeShort) record.value.shortVal = static_cast<uint16_t>(c.value);
        if (c.type == ueiTypeInt) record.value.intVal = c.value;
        EXPECT_EQ(aErrNone, c.subindex ? link.sendUEI(record, 9) : link.sendUEI(record));
    }
    ASSERT_TRUE(waitForRequests(sizeof cases / sizeof cases[0]));
    std::vector<Packet> sent = requests();
    for (size_t i = 0; i < sent.size(); i++) EXPECT_EQ((Packet{kModule, cases[i].data}), sent[i]) << i;

    // A byte array has no subindex form, and types outside the record's are refused.
    EXPECT_EQ(aErrParam, link.sendUEI(request(0x47, 0x20, ueiTypeBytes), 1));
    EXPECT_EQ(aErrParam, link.sendUEI(request(0x47, 0x20, 3)));
}

TEST_F(Transactions, ByteArraysGoInChunksOfTwentyFour)
{
    struct Case {
        size_t length;
        std::vector<std::pair<size_t, uint8_t>> chunks; // payload size, sequence byte
    } cases[] = {
        {0, {{0, 0x00}}},
        {24, {{24, 0x00}}},
        {25, {{24, 0x80}, {1, 0x01}}},
        {50, {{24, 0x80}, {24, 0x81}, {2, 0x02}}},
    };
    size_t expected = 0;
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes(c.length);
        std::iota(bytes.begin(), bytes.end(), 1);
        uei record = request(0x85, 0x21, ueiTypeBytes);
        record.value.data = bytes.data();
        record.length = c.length;
        ASSERT_EQ(aErrNone, link.sendUEI(record));
        expected += c.chunks.size();
    }
    ASSERT_TRUE(waitForRequests(expected));
    std::vector<Packet> sent = requests();
    size_t at = 0;
    for (const Case& c : cases) {
        size_t offset = 0;
        for (const auto& chunk : c.chunks) {
            ASSERT_LT(at, sent.size());
            std::vector<uint8_t> data{3, 0x85, 0x21};
            for (size_t i = 0; i < chunk.first; i++) data.push_back(static_cast<uint8_t>(offset + i + 1));
            data.push_back(chunk.second);
            EXPECT_EQ((Packet{kModule, data}), sent[at]) << "length " << c.length << " chunk at " << offset;
            offset += chunk.first;
            at++;
        }
    }
}

// A pooled link sends the chunks of a byte array packet for packet as an
// unpooled one does, also where they fill more than one pooled write (136
// chunks of 30 bytes at most): the sequence byte counts on across the
// writes, wrapping at 128, and only the last chunk lacks the continue flag.
TEST_F(Transactions, PooledByteArraysLeaveChunkForChunkAsUnpooled)
{
    const size_t lengths[] = {25, 136 * 24, 136 * 24 + 1, 300 * 24 + 5};
    auto bytesOf = [](size_t length) {
        std::vector<uint8_t> bytes(length);
        for (size_t i = 0; i < length; i++) bytes[i] = static_cast<uint8_t>(i * 7 + length);
        return bytes;
    };
    std::vector<Packet> expected;
    for (size_t length : lengths) {
        const std::vector<uint8_t> bytes = bytesOf(length);
        for (size_t at = 0, counter = 0; at < length; at += 24, counter++) {
            const size_t k = std::min<size_t>(24, length - at);
            Packet chunk{kModule, {kCommand, 0x85, 0x21}};
            chunk.data.insert(chunk.data.end(), bytes.begin() + long(at), bytes.begin() + long(at + k));
            chunk.data.push_back(static_cast<uint8_t>((counter & 0x7F) | (at + k < length ? 0x80 : 0)));
            expected.push_back(chunk);
        }
    }
    for (bool pooled : {false, true}) {
        SCOPED_TRACE(pooled ? "pooled" : "unpooled");
        ASSERT_EQ(aErrNone, link.enablePooledPackets(pooled));
        device.clearRecords();
        for (size_t length : lengths) {
            const std::vector<uint8_t> bytes = bytesOf(length);
            uei record = request(0x85, 0x21, ueiTypeBytes);
            record.value.data = bytes.data();
            record.length = length;
            ASSERT_EQ(aErrNone, link.sendUEI(record));
        }
        ASSERT_TRUE(waitForRequests(expected.size()));
        EXPECT_EQ(expected, requests());
    }
}

// 3,073 bytes take 129 chunks, the counter wrapping from 127 to 0; the device
// puts the array together again, and its reply to so large a set is awaited
// longer than one second.
TEST_F(Transactions, LargeByteArrayWrapsItsSequenceAndIsAcknowledged)
{
    entities.setOption(kCommand, 1, 5, sim::UeiType::Bytes, {}, [](const sim::UeiRequest&) {
        // The device takes its time over a large write.
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        return sim::UeiAnswer::none();
    });
    std::vector<uint8_t> bytes(3073);
    for (size_t i = 0; i < bytes.size(); i++) bytes[i] = static_cast<uint8_t>(i * 7);
    uei record = request(5 | 0x80, 1 | 0x20, ueiTypeBytes);
    record.value.data = bytes.data();
    record.length = bytes.size();
    ASSERT_EQ(aErrNone, link.sendUEI(record));

    record.option = 5 | 0xC0;
    record.specifier = 1;
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(aErrNone, link.receiveUEI(kModule, kCommand, record.option, 1, &record));
    EXPECT_GE(elapsedMs(start), 1000);
    EXPECT_EQ(0, record.specifier & 0x80);

    std::vector<Packet> sent = requests();
    ASSERT_EQ(129u, sent.size());
    EXPECT_EQ(0xFF, sent[127].data.back()); // counter 127, more to come
    EXPECT_EQ(0x80, sent[126].data.back() & 0x80);
    EXPECT_EQ(0x00, sent[128].data.back()); // counter 128 wraps to 0, the last
    EXPECT_EQ(3073u - 128 * 24 + 4, sent[128].data.size());
    ASSERT_EQ(1u, entities.requests().size());
    EXPECT_EQ(bytes, entities.requests()[0].value);
}

TEST_F(Transactions, RepliesAreDecodedByTheirLength)
{
    struct Case {
        std::vector<uint8_t> reply;
        uint32_t type;
        uint32_t value;
        uint8_t specifier;
    } cases[] = {
        {{3, 7, 0x00}, ueiTypeNone, 0xEEEEEEEE, 0},
        {{3, 7, 0x20, 0x9A}, ueiTypeByte, 0x9A, 0},
        {{3, 7, 0x00, 0xBE, 0xEF}, ueiTypeShort, 0xBEEF, 0},
        // With bit 0x40 only what cannot be a stream packet is a reply.
        {{3, 7, 0x40, 0xBE, 0x00}, ueiTypeShort, 0xBE00, 0},
        {{3, 7, 0x00, 1, 2, 3, 4}, ueiTypeInt, 0x01020304, 0},
        // Another length is taken, and leaves type and value as they were.
        {{3, 7, 0x00, 1, 2, 3}, 9, 0xEEEEEEEE, 0},
        // An error reply: bit 7 of the specifier, the code after it.
        {{3, 7, 0x80, 21}, 9, 21, 0x80},
        // One without its code still fails.
        {{3, 7, 0x80}, 9, aErrUnknown, 0x80},
    };
    for (const Case& c : cases) {
        device.send(Packet{kModule, c.reply});
        uei record = replyFilter(7, 0);
        record.type = 9;
        record.value.intVal = 0xEEEEEEEE;
        ASSERT_EQ(aErrNone, link.receiveUEI(kModule, kCommand, 7, 0, &record)) << ::testing::PrintToString(c.reply);
        EXPECT_EQ(c.type, record.type) << ::testing::PrintToString(c.reply);
        if (c.specifier) {
            EXPECT_EQ(c.value, record.value.byteVal) << ::testing::PrintToString(c.reply);
        } else {
            uint32_t value = c.type == ueiTypeByte ? record.value.byteVal
                             : c.type == ueiTypeShort ? record.value.shortVal
                                                      : record.value.intVal;
            EXPECT_EQ(c.value, value) << ::testing::PrintToString(c.reply);
        }
        EXPECT_EQ(c.specifier, record.specifier & 0x80) << ::testing::PrintToString(c.reply);
    }
}

// Replies for other modules, options or entities stay queued for their own
// waiters, and a reply that came before the wait is still found.
TEST_F(Transactions, RepliesForOthersStayQueued)
{
    device.send(Packet{0x04, {3, 7, 0x00, 0x11}});   // another module
    device.send(Packet{kModule, {3, 8, 0x00, 0x22}}); // another option
    device.send(Packet{kModule, {3, 7, 0x01, 0x33}}); // another entity
    device.send(Packet{kModule, {3, 7, 0x00, 0x44}}); // this one
    device.send(Packet{kModule, {3, 7}});             // too short to be a reply
    uei record = replyFilter(7, 0);
    ASSERT_EQ(aErrNone, link.receiveUEI(kModule, kCommand, 7, 0, &record));
    EXPECT_EQ(0x44, record.value.byteVal);

    uei entity = replyFilter(7, 1);
    ASSERT_EQ(aErrNone, link.receiveUEI(kModule, kCommand, 7, 1, &entity));
    EXPECT_EQ(0x33, entity.value.byteVal);
    uei option = replyFilter(8, 0);
    ASSERT_EQ(aErrNone, link.receiveUEI(kModule, kCommand, 8, 0, &option));
    EXPECT_EQ(0x22, option.value.byteVal);
    uei other = replyFilter(7, 0);
    other.module = 0x04;
    ASSERT_EQ(aErrNone, link.receiveUEI(0x04, kCommand, 7, 0, &other));
    EXPECT_EQ(0x11, other.value.byteVal);
}

TEST_F(Transactions, DroppingRemovesEveryMatchingReplyAndOnlyThose)
{
    device.send(Packet{kModule, {3, 7, 0x80, 5}});
    device.send(Packet{kModule, {3, 7, 0x00, 1}});
    device.send(Packet{kModule, {3, 7, 0x00, 2}});
    device.send(Packet{kModule, {3, 8, 0x00, 3}});
    device.send(Packet{kModule, {23, 0xEE}}); // an echo marks the end of what was sent
    const uint8_t echo[] = {23, 0xEE};
    uint8_t length = 2;
    uint8_t buffer[aPACKET_MAX_DATA];
    ASSERT_EQ(aErrNone, link.receivePacket(kModule, echo, &length, buffer));

    EXPECT_EQ(aErrNone, link.dropMatchingUEIPackets(kModule, kCommand, 7, 0));
    device.send(Packet{kModule, {3, 7, 0x00, 9}});
    uei next = replyFilter(7, 0);
    ASSERT_EQ(aErrNone, link.receiveUEI(kModule, kCommand, 7, 0, &next));
    EXPECT_EQ(9, next.value.byteVal);
    uei kept = replyFilter(8, 0);
    ASSERT_EQ(aErrNone, link.receiveUEI(kModule, kCommand, 8, 0, &kept));
    EXPECT_EQ(3, kept.value.byteVal);
    EXPECT_EQ(aErrPacket, link.dropMatchingUEIPackets(3, kCommand, 7, 0));
}

// The device's own entities answer: a get, a set acknowledged with 0xC0, and
// the errors a device gives.
TEST_F(Transactions, RoundTripsThroughTheDeviceEntities)
{
    entities.setValue(kCommand, 0, 9, sim::UeiType::Int, sim::ueiBytes(sim::UeiType::Int, 0xCAFEF00D));
    uei get = request(9 | 0x40, 0x20, ueiTypeNone);
    ASSERT_EQ(aErrNone, link.sendUEI(get));
    uei reply = replyFilter(9, 0);
    ASSERT_EQ(aErrNone, link.receiveUEI(kModule, kCommand, 9, 0, &reply));
    EXPECT_EQ(ueiTypeInt, reply.type);
    EXPECT_EQ(0xCAFEF00Du, reply.value.intVal);

    uei set = request(9 | 0x80, 0x20, ueiTypeInt);
    set.value.intVal = 0x12345678;
    ASSERT_EQ(aErrNone, link.sendUEI(set));
    uei ack = replyFilter(9 | 0xC0, 0);
    ASSERT_EQ(aErrNone, link.receiveUEI(kModule, kCommand, 9 | 0xC0, 0, &ack));
    EXPECT_EQ(0, ack.specifier & 0x80);
    EXPECT_EQ(sim::ueiBytes(sim::UeiType::Int, 0x12345678), entities.value(kCommand, 0, 9));

    uei missing = request(10 | 0x40, 0x20, ueiTypeNone);
    ASSERT_EQ(aErrNone, link.sendUEI(missing));
    uei refused = replyFilter(10, 0);
    ASSERT_EQ(aErrNone, link.receiveUEI(kModule, kCommand, 10, 0, &refused));
    EXPECT_EQ(0x80, refused.specifier & 0x80);
    EXPECT_EQ(aErrInvalidOption, refused.value.byteVal);
}

TEST_F(Transactions, RawPacketsMatchTheirFirstBytes)
{
    const uint8_t data[] = {0xFF};
    EXPECT_EQ(aErrNone, link.sendPacket(kModule, 0x49, 1, data));
    ASSERT_TRUE(received(Packet{kModule, {0x49, 0xFF}}));

    device.send(Packet{0x06, {0x5F}});             // shorter than the match
    device.send(Packet{0x06, {0x5F, 0x01, 0x10}}); // another second byte
    device.send(Packet{0x06, {0x5F, 0x00, 0x20}});
    const uint8_t two[] = {0x5F, 0x00};
    uint8_t length = 2;
    uint8_t buffer[aPACKET_MAX_DATA] = {};
    ASSERT_EQ(aErrNone, link.receivePacket(kModule, two, &length, buffer));
    EXPECT_EQ(3, length);
    EXPECT_EQ((std::vector<uint8_t>{0x5F, 0x00, 0x20}), std::vector<uint8_t>(buffer, buffer + 3));

    // One match byte takes the first packet of that command, from any module.
    const uint8_t one[] = {0x5F};
    length = 1;
    ASSERT_EQ(aErrNone, link.receivePacket(kModule, one, &length, buffer));
    EXPECT_EQ(1, length);
    length = 1;
    ASSERT_EQ(aErrNone, link.receivePacket(kModule, one, &length, buffer));
    EXPECT_EQ(3, length);
    EXPECT_EQ(0x01, buffer[1]);
}

bool secondByteIs(const aPacket* packet, const void* reference)
{
    return packet->length >= 2 && packet->data[1] == *static_cast<const uint8_t*>(reference);
}

TEST_F(Transactions, FilteredRawRepliesComeFromTheModuleAndStaleOnesCanBeDropped)
{
    const uint8_t data[] = {0xFF};
    EXPECT_EQ(aErrNone, link.sendPacket(kModule, 0x49, 1, data));
    ASSERT_TRUE(received(Packet{kModule, {0x49, 0xFF}}));

    device.send(Packet{0x06, {0x5F, 0x07, 0x01}}); // another module's
    device.send(Packet{kModule, {0x5F, 0x07, 0x02}});
    device.send(Packet{kModule, {0x5F, 0x01, 0x03}});
    device.send(Packet{kModule, {0x5F, 0x07, 0x04}});
    // Once a later packet has arrived, all of them are queued.
    device.send(Packet{kModule, {0x77}});
    const uint8_t marker[] = {0x77};
    uint8_t length = 1;
    uint8_t buffer[aPACKET_MAX_DATA] = {};
    ASSERT_EQ(aErrNone, link.receivePacket(kModule, marker, &length, buffer));
    const uint8_t status = 0x07;
    ASSERT_EQ(aErrNone, link.receivePacket(kModule, secondByteIs, &status, &length, buffer));
    EXPECT_EQ((std::vector<uint8_t>{0x5F, 0x07, 0x02}), std::vector<uint8_t>(buffer, buffer + length));

    // The drop takes the module's matching packets and leaves the rest.
    ASSERT_EQ(aErrNone, link.dropPackets(kModule, secondByteIs, &status));
    EXPECT_EQ(aErrTimeout, link.receivePacket(kModule, secondByteIs, &status, &length, buffer));
    const uint8_t data1 = 0x01;
    ASSERT_EQ(aErrNone, link.receivePacket(kModule, secondByteIs, &data1, &length, buffer));
    EXPECT_EQ(0x03, buffer[2]);
    const uint8_t any[] = {0x5F};
    length = 1;
    ASSERT_EQ(aErrNone, link.receivePacket(kModule, any, &length, buffer));
    EXPECT_EQ(0x01, buffer[2]);
}

TEST_F(Transactions, RefusedArguments)
{
    uint8_t data[28] = {};
    uint8_t buffer[aPACKET_MAX_DATA];
    uint8_t length = 1;
    EXPECT_EQ(aErrNone, link.sendPacket(kModule, 23, 27, data));
    EXPECT_EQ(aErrParam, link.sendPacket(kModule, 23, 28, data));
    EXPECT_EQ(aErrParam, link.sendPacket(kModule, 23, 2, nullptr));
    for (uint8_t module : {0, 3}) {
        EXPECT_EQ(aErrPacket, link.sendPacket(module, 23, 1, data)) << int(module);
        EXPECT_EQ(aErrPacket, link.receivePacket(module, data, &length, buffer)) << int(module);
        uei record = request(0x40, 0x20, ueiTypeNone);
        record.module = module;
        EXPECT_EQ(aErrPacket, link.sendUEI(record)) << int(module);
        EXPECT_EQ(aErrPacket, link.sendUEI(record, 1)) << int(module);
        EXPECT_EQ(aErrPacket, link.receiveUEI(module, 3, 0, 0, &record)) << int(module);
    }
    length = 29;
    EXPECT_EQ(aErrParam, link.receivePacket(kModule, data, &length, buffer));
    length = 1;
    EXPECT_EQ(aErrParam, link.receivePacket(kModule, nullptr, &length, buffer));
    EXPECT_EQ(aErrParam, link.receivePacket(kModule, data, nullptr, buffer));
    uei bytes = request(0x80, 0x20, ueiTypeBytes);
    bytes.length = 3;
    bytes.value.data = nullptr;
    EXPECT_EQ(aErrParam, link.sendUEI(bytes));
}

TEST(TransactionsWithoutLink, AnswerNotConnected)
{
    Link link("none");
    uei record{};
    record.module = kModule;
    uint8_t data[4] = {};
    uint8_t length = 1;
    uint8_t address = 0x55;
    EXPECT_EQ(aErrConnection, link.sendUEI(record));
    EXPECT_EQ(aErrConnection, link.sendUEI(record, 1));
    EXPECT_EQ(aErrConnection, link.receiveUEI(kModule, 3, 0, 0, &record));
    EXPECT_EQ(aErrConnection, link.dropMatchingUEIPackets(kModule, 3, 0, 0));
    EXPECT_EQ(aErrConnection, link.sendPacket(kModule, 23, 1, data));
    EXPECT_EQ(aErrConnection, link.receivePacket(kModule, data, &length, data));
    EXPECT_EQ(aErrNotReady, link.getModuleAddress(&address));
    EXPECT_EQ(0, address);
}

TEST_F(Transactions, ModuleAddressIsTheAddressThatAnswers)
{
    device.setAddressHandler(sim::kAddressQuery, [](sim::DeviceModel& d, const Packet&) { d.answer(Packet{0x06, {}}); });
    uint8_t address = 0;
    EXPECT_EQ(aErrNone, link.getModuleAddress(&address));
    EXPECT_EQ(0x06, address);
    EXPECT_TRUE(received(Packet{sim::kAddressQuery, {}}));
}

// The waits: each a case of its own, so that they run side by side.
TEST_F(Transactions, NoModuleAddressAfterOneSecond)
{
    device.setAddressHandler(sim::kAddressQuery, [](sim::DeviceModel&, const Packet&) {});
    uint8_t address = 0x55;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aErrNotReady, link.getModuleAddress(&address));
    EXPECT_TRUE(waited(start, 1000));
    EXPECT_EQ(0, address);
}

TEST_F(Transactions, UEIReplyTimesOutAfterOneSecond)
{
    uei record = replyFilter(7, 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aErrTimeout, link.receiveUEI(kModule, kCommand, 7, 0, &record));
    EXPECT_TRUE(waited(start, 1000));
}

TEST_F(Transactions, ByteArrayOfAThousandBytesWaitsOneSecond)
{
    uei record = replyFilter(0xC5, 0);
    record.type = ueiTypeBytes;
    record.length = 1000;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aErrTimeout, link.receiveUEI(kModule, kCommand, 0xC5, 0, &record));
    EXPECT_TRUE(waited(start, 1000));
}

TEST_F(Transactions, ByteArrayOverAThousandBytesWaitsFourSeconds)
{
    uei record = replyFilter(0xC5, 0);
    record.type = ueiTypeBytes;
    record.length = 1001;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aErrTimeout, link.receiveUEI(kModule, kCommand, 0xC5, 0, &record));
    EXPECT_TRUE(waited(start, 4000));
}

TEST_F(Transactions, RawReplyTimesOutAfterOneSecond)
{
    const uint8_t match[] = {0x49};
    uint8_t length = 1;
    uint8_t buffer[aPACKET_MAX_DATA];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aErrTimeout, link.receivePacket(kModule, match, &length, buffer));
    EXPECT_TRUE(waited(start, 1000));
}

} // namespace
