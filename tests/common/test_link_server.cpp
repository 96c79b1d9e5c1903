// test-labels: integration threaded netns
// The link-sharing server in front of a simulated device on a TCP link, in a
// private network: replies routed to the client that asked, byte arrays
// handed to the device whole, stream batches to subscribers, the frames it
// refuses, and discovery of the running server by probe and by beacon.
#include <gtest/gtest.h>

#include <algorithm>

#include <arpa/inet.h>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <cstring>
#include <czmq.h>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/aDiscovery.h"
#include "common/aLink.h"
#include "common/aLinkCreate.h"
#include "common/aMulticast.h"
#include "common/aServer.h"
#include "common/aStream_ZeroMQClient.h"
#include "tests/common/found_devices.h"
#include "tests/common/listening_ports.h"
#include "tests/sim/device_model.h"
#include "tests/sim/netns.h"
#include "tests/sim/server_answerers.h"
#include "tests/sim/tcp_carrier.h"
#include "tests/sim/tsan_suppressions.h"

namespace {

using Bytes = std::vector<uint8_t>;

const uint32_t kLoopback = sim::ipv4("127.0.0.1");
constexpr uint32_t kSerial = 0x0BADF00D;
constexpr uint8_t kAddress = 0x02;
constexpr uint8_t kModel = 0x13;
constexpr uint8_t kOneByteCommand = 0x30;
constexpr uint8_t kStreamControl = 0x5D;

Bytes echo(uint8_t tag) { return {kAddress, 3, sim::kEchoCommand, tag, static_cast<uint8_t>(tag + 1)}; }

// A byte-array chunk of 28 data bytes for the system entity.
Bytes chunk(uint8_t sequence, bool more)
{
    Bytes bytes = {kAddress, 28, 3, 0x01, 0x05};
    bytes.resize(29, sequence);
    bytes.push_back(static_cast<uint8_t>(sequence | (more ? 0x80 : 0)));
    return bytes;
}

// Chunk n of a long byte array: sequence n modulo 128, and n in its data so
// that every chunk differs.
Bytes longChunk(unsigned n, bool more)
{
    Bytes bytes = {kAddress, 28, 3, 0x01, 0x05, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
    bytes.resize(29, 0x5A);
    bytes.push_back(static_cast<uint8_t>((n & 0x7F) | (more ? 0x80 : 0)));
    return bytes;
}

Bytes wire(const sim::Packet& p)
{
    // Sized once: growing a two-byte vector by insert draws a false
    // array-bounds report from GCC 12 at -O3.
    Bytes bytes(2 + p.data.size());
    bytes[0] = p.address;
    bytes[1] = static_cast<uint8_t>(p.data.size());
    std::copy(p.data.begin(), p.data.end(), bytes.begin() + 2);
    return bytes;
}

// A client of the server through the product's client stream.
class Client {
public:
    explicit Client(uint16_t port) { EXPECT_EQ(aErrNone, aStream_CreateClient(kLoopback, port, &stream_)); }
    ~Client()
    {
        if (stream_) {
            EXPECT_EQ(aErrNone, aStream_Destroy(&stream_));
        }
    }
    void write(const Bytes& bytes) { EXPECT_EQ(aErrNone, aStream_Write(stream_, bytes.data(), bytes.size())); }
    // The first failing read's result within the bound (aErrNotReady on a
    // stream that only stays silent), or aErrNone when bytes keep coming.
    aErr readsEnd(std::chrono::milliseconds bound)
    {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        aErr err = aErrNone;
        while (std::chrono::steady_clock::now() < deadline) {
            uint8_t byte = 0;
            err = aStream_Read(stream_, &byte, 1);
            if (err != aErrNone && err != aErrNotReady) return err;
        }
        return err;
    }
    // Up to n bytes; stops after `quiet` reads that found nothing (about 1 s each).
    Bytes read(size_t n, int quiet = 3)
    {
        Bytes bytes;
        for (int idle = 0; bytes.size() < n && idle < quiet;) {
            uint8_t byte = 0;
            aErr err = aStream_Read(stream_, &byte, 1);
            if (err == aErrNone)
                bytes.push_back(byte);
            else
                ++idle;
        }
        return bytes;
    }

private:
    aStream* stream_ = nullptr;
};

// A raw client socket, for frames the client stream never sends.
class RawClient {
public:
    explicit RawClient(uint16_t port) : socket_(zsock_new_dealer(endpoint(port).c_str())) { zsock_set_rcvtimeo(socket_, 2500); }
    ~RawClient() { zsock_destroy(&socket_); }
    void send(const Bytes& bytes) { zframe_t* f = zframe_new(bytes.data(), bytes.size()); zframe_send(&f, socket_, 0); }
    // The next frame, or empty after the time-out.
    Bytes receive(int timeoutMs = 2500)
    {
        zsock_set_rcvtimeo(socket_, timeoutMs);
        zframe_t* frame = zframe_recv(socket_);
        Bytes bytes = frame ? Bytes(zframe_data(frame), zframe_data(frame) + zframe_size(frame)) : Bytes();
        zframe_destroy(&frame);
        return bytes;
    }

private:
    static std::string endpoint(uint16_t port) { return ">tcp://127.0.0.1:" + std::to_string(port); }
    zsock_t* socket_;
};

class LinkServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        ASSERT_TRUE(sim::enterPrivateNetwork(&why)) << why;
        device = std::make_unique<sim::DeviceModel>(sim::DeviceConfig{kAddress, sim::kEchoCommand, kSerial, kModel, true});
        device->setCommandHandler(kOneByteCommand, [](sim::DeviceModel& d, const sim::Packet&) {
            d.answer({kAddress, {kOneByteCommand}});
        });
        device->setCommandHandler(kStreamControl, [](sim::DeviceModel& d, const sim::Packet& p) {
            d.answer({kAddress, {kStreamControl, p.data[1]}});
        });
        carrier = std::make_unique<sim::TcpCarrier>(*device);
        deviceLink = aLink_CreateTCPIP(kSerial, kLoopback, carrier->port());
        ASSERT_NE(0u, deviceLink);
    }

    void startServer(uint8_t flags = aSERVER_FLAG_LOCAL_ONLY, uint32_t networkInterface = 0)
    {
        server = aServer_Create(deviceLink, networkInterface, flags);
        ASSERT_NE(nullptr, server);
        ASSERT_EQ(aErrNone, aServer_Start(server));
        ASSERT_EQ(aErrNone, aServer_GetPort(server, &port));
        ASSERT_NE(0, port);
    }

    void TearDown() override
    {
        // A server attached to the device link is destroyed here, not by the link.
        if (aLinkEntry* entry = sLookupEntryByID(deviceLink); entry && entry->server == server) entry->server = nullptr;
        if (server) {
            EXPECT_EQ(aErrNone, aServer_Destroy(&server));
        }
        EXPECT_EQ(nullptr, server);
        if (deviceLink) aLink_Destroy(&deviceLink);
    }

    // Packets the device received with that command byte.
    size_t received(uint8_t command)
    {
        size_t n = 0;
        for (const sim::Packet& p : device->records().packets) n += !p.data.empty() && p.data[0] == command;
        return n;
    }

    std::unique_ptr<sim::DeviceModel> device;
    std::unique_ptr<sim::TcpCarrier> carrier;
    aLinkId deviceLink = 0;
    aServer* server = nullptr;
    uint16_t port = 0;
};

// The server's own socket pairs join threads of this process only: the one
// port it listens on is the clients'. A local-only server reports the
// loop-back interface it serves on, whatever it was given, and starts once.
TEST_F(LinkServer, ServesOnlyWhereItReports)
{
    const std::set<uint16_t> before = listeningPorts();
    startServer(aSERVER_FLAG_LOCAL_ONLY, sim::ipv4("10.1.2.3"));
    std::set<uint16_t> added;
    for (uint16_t p : listeningPorts())
        if (!before.count(p)) added.insert(p);
    EXPECT_EQ(std::set<uint16_t>{port}, added);
    uint32_t networkInterface = 0;
    EXPECT_EQ(aErrNone, aServer_GetInterface(server, &networkInterface));
    EXPECT_EQ(kLoopback, networkInterface);
    EXPECT_EQ(aErrBusy, aServer_Start(server));
    Client client(port);
    client.write(echo(3));
    EXPECT_EQ(echo(3), client.read(5));
}

TEST(LinkServerCreate, RefusesWhatItCannotServe)
{
    EXPECT_EQ(nullptr, aServer_Create(0x7FFFFFFF, 0, 0));
    aServer* none = nullptr;
    EXPECT_EQ(aErrParam, aServer_Start(nullptr));
    EXPECT_EQ(aErrParam, aServer_Destroy(&none));
    EXPECT_EQ(aErrParam, aServer_Destroy(nullptr));
    uint16_t port = 0;
    uint32_t networkInterface = 0;
    EXPECT_EQ(aErrParam, aServer_GetPort(nullptr, &port));
    EXPECT_EQ(aErrParam, aServer_GetInterface(nullptr, &networkInterface));
    EXPECT_EQ(aErrParam, aServer_SetModel(nullptr, 1));
    EXPECT_EQ(aErrParam, aServer_SetModuleAddress(nullptr, 1));
    EXPECT_EQ(aErrParam, aServer_FlushFIFO(nullptr));
}

// Several client streams at once, each request's reply to the client that
// sent it, in the order the broker forwarded them; a reply with one data
// byte (as long as a server command) reaches its client too.
TEST_F(LinkServer, RepliesGoToTheClientThatAsked)
{
    startServer();
    uint32_t networkInterface = 0;
    EXPECT_EQ(aErrNone, aServer_GetInterface(server, &networkInterface));
    EXPECT_EQ(kLoopback, networkInterface);
    Client a(port), b(port), c(port);
    for (uint8_t round = 0; round < 3; ++round) {
        const uint8_t tag = static_cast<uint8_t>(round * 10);
        a.write(echo(tag + 1));
        b.write(echo(tag + 2));
        c.write(echo(tag + 3));
        EXPECT_EQ(echo(tag + 3), c.read(5));
        EXPECT_EQ(echo(tag + 1), a.read(5));
        EXPECT_EQ(echo(tag + 2), b.read(5));
    }
    const Bytes oneByte = {kAddress, 1, kOneByteCommand};
    b.write(oneByte);
    EXPECT_EQ(oneByte, b.read(3));
    a.write(echo(99));
    EXPECT_EQ(echo(99), a.read(5));
    EXPECT_TRUE(b.read(1, 1).empty());

    // A link that gathers its packets writes several at once: the stream
    // sends each as a frame of its own, and each is answered.
    Bytes gathered = echo(40);
    for (const Bytes& more : {oneByte, echo(41)}) gathered.insert(gathered.end(), more.begin(), more.end());
    c.write(gathered);
    EXPECT_EQ(gathered, c.read(gathered.size()));
}

// A packet the device sends on its own, a second answer to a request, or
// the address answers of a resynchronisation are no reply to a later request:
// each client still gets the answer to its own request.
TEST_F(LinkServer, StrayPacketsDoNotShiftLaterReplies)
{
    startServer();
    constexpr uint8_t kUnsolicitedFirst = 0x42, kAnsweredTwice = 0x43;
    device->setCommandHandler(kUnsolicitedFirst, [](sim::DeviceModel& d, const sim::Packet&) {
        d.answer({kAddress, {0x55, 0x01}});
        d.answer({kAddress, {kUnsolicitedFirst, 0x01}});
    });
    device->setCommandHandler(kAnsweredTwice, [](sim::DeviceModel& d, const sim::Packet&) {
        d.answer({kAddress, {kAnsweredTwice, 0x01}});
        d.answer({kAddress, {kAnsweredTwice, 0x02}});
    });
    RawClient a(port), b(port);
    const struct {
        const char* what;
        std::function<void()> disturb;
        Bytes request, reply;
    } cases[] = {
        {"unsolicited packet before the reply", [] {}, {kAddress, 1, kUnsolicitedFirst}, {kAddress, 2, kUnsolicitedFirst, 1}},
        {"second answer", [] {}, {kAddress, 1, kAnsweredTwice}, {kAddress, 2, kAnsweredTwice, 1}},
        {"resynchronisation", [this] { EXPECT_EQ(aErrNone, aLink_Sync(deviceLink)); }, echo(60), echo(60)},
        {"packet injected by the device", [this] { device->injectToHost({kAddress, 2, 0x56, 0x01}); }, echo(61),
         echo(61)},
    };
    uint8_t tag = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.disturb();
        a.send(c.request);
        EXPECT_EQ(c.reply, a.receive());
        for (int i = 0; i < 3; ++i, ++tag) {
            b.send(echo(tag));
            a.send(echo(static_cast<uint8_t>(tag + 100)));
            EXPECT_EQ(echo(tag), b.receive());
            EXPECT_EQ(echo(static_cast<uint8_t>(tag + 100)), a.receive());
        }
    }
    EXPECT_TRUE(a.receive(300).empty());
    EXPECT_TRUE(b.receive(300).empty());
}

// Frames the server drops without an answer, and the force route a client
// may not send; a later request is answered as usual.
TEST_F(LinkServer, RefusedFramesGetNoAnswer)
{
    startServer();
    RawClient client(port);
    Bytes twoEchoes = echo(1); // 32 bytes: whole packets, but more than one
    for (const Bytes& more : {Bytes{kAddress, 25, sim::kEchoCommand}, Bytes(24, 2)})
        twoEchoes.insert(twoEchoes.end(), more.begin(), more.end());
    Bytes fullAndEmpty = chunk(0, false);
    fullAndEmpty.insert(fullAndEmpty.end(), {kAddress, 0});
    const struct {
        const char* what;
        Bytes frame;
    } refused[] = {
        {"empty", {}},
        {"one byte", {kAddress}},
        {"longer than a packet", Bytes(31, 0x17)},
        {"two packets in one frame", twoEchoes},
        {"a full packet and an empty one", fullAndEmpty},
        {"length beyond the frame", {kAddress, 4, sim::kEchoCommand, 1}},
        {"force route", {0xAF, 1, 1}},
    };
    const size_t forceRoutes = device->records().forceRoutes.size();
    const size_t packets = device->records().packetCount;
    for (const auto& c : refused) client.send(c.frame);
    client.send(echo(5));
    EXPECT_EQ(echo(5), client.receive()) << "a refused frame got an answer";
    EXPECT_TRUE(client.receive(300).empty());
    EXPECT_EQ(forceRoutes, device->records().forceRoutes.size());
    EXPECT_EQ(packets + 1, device->records().packetCount);
}

// Another packet to 0xAF reaches the device, and no reply is awaited for
// it: the next client's reply is not taken for it.
TEST_F(LinkServer, OtherPacketsToForceRouteAddressPassUnanswered)
{
    startServer();
    RawClient first(port), second(port);
    first.send({0xAF, 2, 0x01, 0x02});
    second.send(echo(7));
    EXPECT_EQ(echo(7), second.receive());
    EXPECT_TRUE(first.receive(300).empty());
    EXPECT_TRUE(device->waitFor([](const sim::Records& r) {
        for (const sim::Packet& p : r.packets)
            if (p.address == 0xAF && p.data == std::vector<uint8_t>{0x01, 0x02}) return true;
        return false;
    }, 2000));
}

// A device that does not answer: the asking client gets nothing after the
// reply wait, and the next request is answered to its own client.
TEST_F(LinkServer, UnansweredRequestDelaysOnlyItself)
{
    startServer();
    RawClient first(port), second(port);
    first.send({kAddress, 2, 0x41, 0x00}); // no handler: the device stays silent
    second.send(echo(9));
    EXPECT_EQ(echo(9), second.receive(6000));
    EXPECT_TRUE(first.receive(300).empty());
}

// A byte array of three chunks reaches the device only once it is complete,
// back to back, and its one reply goes to the sender; an out-of-sequence
// chunk is swallowed and the pool stays open.
TEST_F(LinkServer, ByteArrayChunksReachTheDeviceTogether)
{
    startServer();
    device->setCommandHandler(3, [](sim::DeviceModel& d, const sim::Packet& p) {
        if (!(p.data.back() & 0x80)) d.answer({kAddress, {3, 0x01, 0x05, 0x00}});
    });
    RawClient sender(port), other(port);
    sender.send(chunk(0, true));
    sender.send(chunk(1, true));
    sender.send(chunk(3, true)); // out of sequence: dropped
    other.send(echo(4));
    EXPECT_EQ(echo(4), other.receive());
    EXPECT_EQ(0u, received(3));
    sender.send(chunk(2, false));
    const Bytes reply = {kAddress, 4, 3, 0x01, 0x05, 0x00};
    EXPECT_EQ(reply, sender.receive());
    std::vector<sim::Packet> packets = device->records().packets;
    std::vector<uint8_t> sequences;
    for (const sim::Packet& p : packets)
        if (p.data[0] == 3) sequences.push_back(p.data.back());
    EXPECT_EQ((std::vector<uint8_t>{0x80, 0x81, 0x02}), sequences);
    EXPECT_TRUE(other.receive(300).empty());
}

// A byte array far longer than the pool's life in packets and than the
// sequence counter reaches the device whole, back to back, while another
// client keeps asking; its one reply goes to the sender.
TEST_F(LinkServer, LongByteArrayReachesTheDeviceWhole)
{
    startServer();
    device->setCommandHandler(3, [](sim::DeviceModel& d, const sim::Packet& p) {
        if (!(p.data.back() & 0x80)) d.answer({kAddress, {3, 0x01, 0x05, 0x00}});
    });
    constexpr unsigned kChunks = 2100;
    RawClient sender(port), flooder(port);
    unsigned asked = 0;
    for (unsigned n = 0; n < kChunks; ++n) {
        sender.send(longChunk(n, n + 1 < kChunks));
        if (n % 10 == 0) flooder.send(echo(static_cast<uint8_t>(asked++)));
    }
    EXPECT_EQ((Bytes{kAddress, 4, 3, 0x01, 0x05, 0x00}), sender.receive(10000));
    for (unsigned i = 0; i < asked; ++i) ASSERT_EQ(echo(static_cast<uint8_t>(i)), flooder.receive()) << i;
    std::vector<Bytes> arrived;
    for (const sim::Packet& p : device->records().packets) {
        if (p.data[0] == 3)
            arrived.push_back(wire(p));
        else if (!arrived.empty() && arrived.size() < kChunks)
            ADD_FAILURE() << "a packet between chunks " << arrived.size() - 1 << " and " << arrived.size();
    }
    ASSERT_EQ(kChunks, arrived.size());
    for (unsigned n = 0; n < kChunks; ++n) ASSERT_EQ(longChunk(n, n + 1 < kChunks), arrived[n]) << n;
}

// An array broken off leaves nothing behind: a new chunk 0 begins the array
// afresh, and after a lone chunk 0 the client's next request is answered.
TEST_F(LinkServer, BrokenOffByteArrayIsReplaced)
{
    startServer();
    device->setCommandHandler(3, [](sim::DeviceModel& d, const sim::Packet& p) {
        if (!(p.data.back() & 0x80)) d.answer({kAddress, {3, 0x01, 0x05, 0x00}});
    });
    RawClient sender(port);
    sender.send(chunk(0, true));
    sender.send(chunk(1, true));
    const Bytes restart[] = {longChunk(0, true), longChunk(1, true), longChunk(2, false)};
    for (const Bytes& c : restart) sender.send(c);
    EXPECT_EQ((Bytes{kAddress, 4, 3, 0x01, 0x05, 0x00}), sender.receive());
    std::vector<Bytes> arrived;
    for (const sim::Packet& p : device->records().packets)
        if (p.data[0] == 3) arrived.push_back(wire(p));
    EXPECT_EQ(std::vector<Bytes>(std::begin(restart), std::end(restart)), arrived);

    sender.send(chunk(0, true));
    sender.send({kAddress, 3, 3, 0x01, 0x05}); // an ordinary request for the entity
    sender.send(echo(8));
    EXPECT_EQ((Bytes{kAddress, 4, 3, 0x01, 0x05, 0x00}), sender.receive());
    EXPECT_EQ(echo(8), sender.receive());
}

// A continuing chunk without an open pool (length 27, or a sequence other
// than 0) goes to the device alone and awaits no reply, so the next client's
// reply still goes to that next client.
TEST_F(LinkServer, StrayContinuingChunkTakesNoOneElsesReply)
{
    startServer();
    RawClient stray(port), next(port);
    Bytes shortChunk = chunk(0, true);
    shortChunk.erase(shortChunk.end() - 2);
    shortChunk[1] = 27;
    for (const Bytes& lone : {shortChunk, chunk(5, true)}) {
        stray.send(lone);
        next.send(echo(lone[1]));
        EXPECT_EQ(echo(lone[1]), next.receive());
        EXPECT_TRUE(stray.receive(300).empty());
    }
    EXPECT_EQ(2u, received(3));
}

// A reply of several full chunks with the continue bit comes back chunk by
// chunk, in order, as separate frames to the client that asked.
TEST_F(LinkServer, MultiChunkReplyIsDeliveredInOrder)
{
    startServer();
    device->setCommandHandler(3, [](sim::DeviceModel& d, const sim::Packet&) {
        for (uint8_t s = 0; s < 3; ++s) {
            Bytes wire = chunk(s, s < 2);
            d.answer({kAddress, Bytes(wire.begin() + 2, wire.end())});
        }
    });
    RawClient client(port);
    client.send({kAddress, 3, 3, 0x41, 0x05});
    for (uint8_t s = 0; s < 3; ++s) EXPECT_EQ(chunk(s, s < 2), client.receive()) << int(s);
}

// Stream packets skip the request path: batched on the reader thread and
// sent, at each heartbeat, once to each subscriber; a second subscription or
// a request with another second byte changes nothing.
TEST_F(LinkServer, StreamBatchesReachEachSubscriberOnce)
{
    startServer();
    RawClient subscriber(port), bystander(port);
    const Bytes enable = {kAddress, 7, kStreamControl, 0x81, 1, 2, 3, 4, 5};
    const Bytes other = {kAddress, 7, kStreamControl, 0x82, 1, 2, 3, 4, 5};
    for (const Bytes& request : {enable, enable, other}) {
        subscriber.send(request);
        EXPECT_EQ((Bytes{kAddress, 2, kStreamControl, request[3]}), subscriber.receive());
    }
    const Bytes sample1 = {kAddress, 6, 3, 0x01, 0x41, 0xAA, 0xBB, 0xCC};
    const Bytes sample2 = {kAddress, 5, 3, 0x02, 0x42, 0x11, 0x22};
    Bytes both = sample1;
    both.insert(both.end(), sample2.begin(), sample2.end());
    device->injectToHost(both);
    device->sendHeartbeat(4);
    EXPECT_EQ(both, subscriber.receive());
    EXPECT_TRUE(subscriber.receive(300).empty());
    EXPECT_TRUE(bystander.receive(300).empty());
    EXPECT_EQ(nullptr, aLink_GetPacket(deviceLink)); // no sample reached the link's FIFO
}

// The device sends a stream packet right before each answer, so that the
// thread that reads the answer (the link's reader, or the server's worker
// awaiting it) batches the packet too: every sample reaches the subscriber,
// in order, and every request its own answer.
TEST_F(LinkServer, StreamPacketsAmongAnswersAreBatchedInOrder)
{
    startServer();
    constexpr uint8_t kSampleBefore = 0x31;
    device->setCommandHandler(kSampleBefore, [](sim::DeviceModel& d, const sim::Packet& p) {
        d.injectToHost({kAddress, 5, 3, 0x01, 0x41, p.data[1], 0xEE});
        d.answer({kAddress, {kSampleBefore, p.data[1]}});
    });
    RawClient subscriber(port);
    subscriber.send({kAddress, 7, kStreamControl, 0x81, 0, 0, 0, 0, 0});
    ASSERT_FALSE(subscriber.receive().empty());
    Client asker(port);
    constexpr uint8_t kRequests = 100;
    Bytes expected;
    for (uint8_t tag = 0; tag < kRequests; ++tag) {
        asker.write({kAddress, 2, kSampleBefore, tag});
        ASSERT_EQ((Bytes{kAddress, 2, kSampleBefore, tag}), asker.read(4)) << int(tag);
        expected.insert(expected.end(), {kAddress, 5, 3, 0x01, 0x41, tag, 0xEE});
    }
    device->sendHeartbeat(4);
    Bytes samples;
    for (Bytes batch = subscriber.receive(); !batch.empty(); batch = subscriber.receive(300))
        samples.insert(samples.end(), batch.begin(), batch.end());
    EXPECT_EQ(expected, samples);
}

// A subscriber that has left is forgotten at a following batch: the list
// does not grow with every client that ever subscribed, and the one that
// stays still gets every batch.
TEST_F(LinkServer, SubscribersThatLeftAreForgotten)
{
    startServer();
    const Bytes enable = {kAddress, 7, kStreamControl, 0x81, 0, 0, 0, 0, 0};
    RawClient stays(port);
    stays.send(enable);
    ASSERT_FALSE(stays.receive().empty());
    constexpr size_t kLeft = 40;
    for (size_t i = 0; i < kLeft; ++i) {
        RawClient leaves(port);
        leaves.send(enable);
        ASSERT_FALSE(leaves.receive().empty());
    }
    EXPECT_EQ(kLeft + 1, server->subscribers.load());
    const Bytes sample = {kAddress, 6, 3, 0x01, 0x41, 0xAA, 0xBB, 0xCC};
    // The server learns of a connection's end a little after it (later on a
    // loaded machine): batches follow until it has, for a few seconds at most.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (server->subscribers.load() > 1 && std::chrono::steady_clock::now() < giveUp) {
        device->injectToHost(sample);
        device->sendHeartbeat(4);
        ASSERT_EQ(sample, stays.receive());
    }
    EXPECT_EQ(1u, server->subscribers.load());
}

// A reset of the device link changes nothing for the clients: requests are
// answered and stream packets still reach the subscriber in batches.
TEST_F(LinkServer, ServesOnAcrossAResetOfTheDeviceLink)
{
    startServer();
    ASSERT_TRUE(sAttachServer(deviceLink, server));
    RawClient subscriber(port);
    subscriber.send({kAddress, 7, kStreamControl, 0x81, 0, 0, 0, 0, 0});
    ASSERT_FALSE(subscriber.receive().empty());
    ASSERT_EQ(aErrNone, aLink_Reset(deviceLink));
    ASSERT_TRUE(carrier->waitForConnections(2, 2000));
    subscriber.send(echo(12));
    EXPECT_EQ(echo(12), subscriber.receive());
    const Bytes sample = {kAddress, 6, 3, 0x01, 0x41, 0xAA, 0xBB, 0xCC};
    device->injectToHost(sample);
    device->sendHeartbeat(4);
    EXPECT_EQ(sample, subscriber.receive());
    EXPECT_EQ(nullptr, aLink_GetPacket(deviceLink));
}

// Without a heartbeat a batch is flushed once it passes 4065 bytes, so no
// batch exceeds 4095; the rest follows at the next heartbeat, nothing lost.
TEST_F(LinkServer, LongStreamRunsAreSplitIntoBoundedBatches)
{
    startServer();
    RawClient subscriber(port);
    subscriber.send({kAddress, 7, kStreamControl, 0x81, 0, 0, 0, 0, 0});
    ASSERT_FALSE(subscriber.receive().empty());
    Bytes samples;
    for (int i = 0; i < 140; ++i) {
        Bytes sample = {kAddress, 28, 3, 0x01, 0x41};
        sample.resize(30, static_cast<uint8_t>(i));
        samples.insert(samples.end(), sample.begin(), sample.end());
    }
    device->injectToHost(samples);
    device->sendHeartbeat(4);
    Bytes first = subscriber.receive();
    Bytes second = subscriber.receive();
    EXPECT_EQ(136u * 30, first.size());
    EXPECT_EQ(4u * 30, second.size());
    first.insert(first.end(), second.begin(), second.end());
    EXPECT_EQ(samples, first);
}

// After a flush the replies to requests in flight find no client and are
// dropped; requests after it are answered as usual.
TEST_F(LinkServer, FlushForgetsClientsInFlight)
{
    startServer();
    sim::Faults slow;
    slow.answerDelayMs = 400;
    device->setFaults(slow);
    RawClient client(port);
    client.send(echo(1));
    device->waitForPackets(device->records().packetCount + 1, 1000);
    EXPECT_EQ(aErrNone, aServer_FlushFIFO(server));
    EXPECT_TRUE(client.receive(1000).empty());
    device->setFaults({});
    client.send(echo(2));
    EXPECT_EQ(echo(2), client.receive());
}

// Stopping the server while clients are still connected, one of them with
// a request in flight.
TEST_F(LinkServer, StopsWithClientsAttached)
{
    startServer();
    Client a(port), b(port);
    a.write(echo(1));
    EXPECT_EQ(echo(1), a.read(5));
    sim::Faults silent;
    silent.silent = true;
    device->setFaults(silent);
    b.write(echo(2));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aErrNone, aServer_Destroy(&server));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_TRUE(b.read(1, 1).empty());
}

// Established TCP connections of this network whose local port is the port.
size_t establishedTo(uint16_t port)
{
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line); // the heading
    size_t n = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        const size_t colon = local.find(':');
        if (colon != std::string::npos && std::stoul(local.substr(colon + 1), nullptr, 16) == port && state == "01")
            ++n;
    }
    return n;
}

// A client stream of the server's own process reaches it without a TCP
// connection, and ends as a TCP client's connection does when the server
// stops serving: when its device goes away (a client made after that is not
// let in), and when the server is destroyed.
TEST_F(LinkServer, ClientsOfItsOwnProcessJoinInProcessAndEndWithIt)
{
    startServer();
    auto local = std::make_unique<Client>(port);
    RawClient remote(port);
    local->write(echo(1));
    EXPECT_EQ(echo(1), local->read(5));
    remote.send(echo(2));
    EXPECT_EQ(echo(2), remote.receive());
    EXPECT_EQ(1u, establishedTo(port)) << "only the raw client's connection";

    carrier->resetConnection();
    EXPECT_EQ(aErrConnection, local->readsEnd(std::chrono::seconds(3))) << "device gone";
    // The TCP client's connection closes on its own time.
    const auto closing = std::chrono::steady_clock::now();
    while (establishedTo(port) != 0 && std::chrono::steady_clock::now() - closing < std::chrono::seconds(2))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(0u, establishedTo(port));
    aStream* late = nullptr;
    ASSERT_EQ(aErrNone, aStream_CreateClient(kLoopback, port, &late));
    EXPECT_EQ(aErrConnection, aStream_ClientAwaitConnection(late, 2000));
    aStream_Destroy(&late);
}

TEST_F(LinkServer, ClientsOfItsOwnProcessEndWhenItIsDestroyed)
{
    startServer();
    Client served(port);
    served.write(echo(3));
    EXPECT_EQ(echo(3), served.read(5));
    EXPECT_EQ(aErrNone, aServer_Destroy(&server));
    EXPECT_EQ(aErrConnection, served.readsEnd(std::chrono::seconds(2))) << "server destroyed";
}

// What a child forked from the test process reports in its exit code.
enum ChildResult : int { kChildAnswered = 0, kChildNoLink, kChildNotConnected, kChildUnanswered };

// A client link of its own to the server, asked for a few echoes.
int askFromChild(uint16_t port)
{
    aLinkId link = aLink_CreateClient(kLoopback, port, 0);
    if (!link) return kChildNoLink;
    int result = aLink_AwaitClientConnection(link, 3000) == aErrNone ? kChildAnswered : kChildNotConnected;
    for (uint8_t tag = 1; result == kChildAnswered && tag <= 5; ++tag) {
        const Bytes asked = {sim::kEchoCommand, tag, static_cast<uint8_t>(tag + 1)};
        aPacket* packet = aPacket_CreateWithData(kAddress, static_cast<uint8_t>(asked.size()), asked.data());
        aPacket* reply = nullptr;
        if (packet && aLink_PutPacket(link, packet) == aErrNone) reply = aLink_AwaitPacket(link, 3000);
        if (!reply || Bytes(reply->data, reply->data + reply->length) != asked) result = kChildUnanswered;
        aPacket_Destroy(&packet);
        aPacket_Destroy(&reply);
    }
    aLink_Destroy(&link);
    return result;
}

// Forks while the server serves a client of its own process; the child's
// wait status, or -1 when it did not end within the bound (it is killed).
int forkAndAsk(uint16_t port, std::chrono::seconds bound)
{
    const pid_t child = fork();
    if (child == 0) _exit(askFromChild(port));
    if (child < 0) return -1;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status;
}

// A child forked from a process whose server serves inherits none of its
// in-process routes: the child's client link goes over TCP and gets its
// answers, and the parent's own client is served on.
TEST_F(LinkServer, ChildForkedWhileItServesIsAnsweredOverTcp)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer ends a child that starts threads after a fork";
#endif
    startServer();
    Client own(port);
    own.write(echo(1));
    ASSERT_EQ(echo(1), own.read(5));

    const int status = forkAndAsk(port, std::chrono::seconds(30));
    ASSERT_NE(-1, status) << "the child did not end";
    ASSERT_TRUE(WIFEXITED(status)) << "child status " << status;
    EXPECT_EQ(kChildAnswered, WEXITSTATUS(status))
        << "1: no client link, 2: never connected, 3: a request went unanswered";
    own.write(echo(2));
    EXPECT_EQ(echo(2), own.read(5));
}

uint8_t enumerateServers(FoundDevices* found, uint32_t networkInterface)
{
    return aDiscovery_Enumerate_aVorneModules(FoundDevices::collect, found, networkInterface);
}

// A local server holds the first probe slot, stays silent until its model is
// known, then answers the probe with its network spec; a longer datagram
// that begins with the probe word gets no answer.
TEST_F(LinkServer, LocalServerIsFoundByTheProbe)
{
    startServer();
    FoundDevices found;
    EXPECT_EQ(0, enumerateServers(&found, kLoopback));
    EXPECT_EQ(aErrNone, aServer_SetModuleAddress(server, kAddress));
    EXPECT_EQ(aErrNone, aServer_SetModel(server, kModel));
    ASSERT_EQ(1, enumerateServers(&found, kLoopback));
    const linkSpec expected = sim::networkSpec(AVORNE_TCPIP, kSerial, "127.0.0.1", port, kModel, kAddress);
    EXPECT_EQ(0, std::memcmp(&expected, &found.specs[0], sizeof expected));

    const uint32_t group = sim::ipv4("224.0.0.7");
    aMulticast* probe = aMulticast_Create(kLoopback, group, 9850, true);
    aMulticast* replies = aMulticast_Create(kLoopback, group, 9950, false);
    ASSERT_NE(nullptr, probe);
    ASSERT_NE(nullptr, replies);
    const uint32_t longer[2] = {0xABCDDCBA, 0};
    EXPECT_EQ(8, aMulticast_Send(probe, longer, sizeof longer));
    uint8_t answer[128];
    EXPECT_EQ(-1, aMulticast_Receive(replies, answer, sizeof answer));
    aMulticast_Destroy(&probe);
    aMulticast_Destroy(&replies);
}

// Each local server holds a probe slot of its own; a slot given up is taken
// by the next server, which serves its clients as the one before it did (a
// program that disconnects and connects again).
TEST_F(LinkServer, LocalServersTakeTheFirstFreeSlot)
{
    startServer();
    aServer_SetModel(server, kModel);
    {
        Client before(port);
        before.write(echo(5));
        EXPECT_EQ(echo(5), before.read(5));
    }
    sim::DeviceModel secondDevice(sim::DeviceConfig{kAddress, sim::kEchoCommand, kSerial + 1, kModel, true});
    sim::TcpCarrier secondCarrier(secondDevice);
    aLinkId secondLink = aLink_CreateTCPIP(kSerial + 1, kLoopback, secondCarrier.port());
    ASSERT_NE(0u, secondLink);
    aServer* second = aServer_Create(secondLink, 0, aSERVER_FLAG_LOCAL_ONLY);
    ASSERT_EQ(aErrNone, aServer_Start(second));
    aServer_SetModel(second, kModel);
    FoundDevices found;
    EXPECT_EQ(2, enumerateServers(&found, kLoopback));
    ASSERT_EQ(2u, found.specs.size());
    EXPECT_EQ(kSerial, found.specs[0].serialNumber); // slot 0 is asked first
    EXPECT_EQ(kSerial + 1, found.specs[1].serialNumber);

    EXPECT_EQ(aErrNone, aServer_Destroy(&server));
    aServer* third = aServer_Create(deviceLink, 0, aSERVER_FLAG_LOCAL_ONLY);
    ASSERT_EQ(aErrNone, aServer_Start(third));
    aServer_SetModel(third, kModel);
    found.specs.clear();
    EXPECT_EQ(2, enumerateServers(&found, kLoopback));
    ASSERT_EQ(2u, found.specs.size());
    EXPECT_EQ(kSerial, found.specs[0].serialNumber);
    uint16_t thirdPort = 0;
    EXPECT_EQ(aErrNone, aServer_GetPort(third, &thirdPort));
    {
        Client after(thirdPort);
        after.write(echo(6));
        EXPECT_EQ(echo(6), after.read(5));
    }
    aServer_Destroy(&third);
    aServer_Destroy(&second);
    aLink_Destroy(&secondLink);
}

// A server on the network answers the beacon search on its interface: the
// interface given as 0 becomes the host's first, and the spec names it.
TEST_F(LinkServer, NetworkServerIsFoundByTheBeacon)
{
    std::string why;
    sim::NetworkHost network;
    ASSERT_TRUE(network.ok()) << network.error();
    ASSERT_TRUE(sim::addVethPair("th0", "10.77.0.1/24", "td0", "", &why)) << why;
    ASSERT_TRUE(network.adopt("td0", "10.77.0.2/24", &why)) << why;
    ASSERT_TRUE(sim::waitUntilUp("th0", &why)) << why;
    std::string foreign;
    ASSERT_TRUE(sim::onlyInterfaces({"th0", "td0"}, &foreign))
        << "refusing to broadcast beside the network interface '" << foreign << "'";

    startServer(0, 0);
    const uint32_t th0 = sim::ipv4("10.77.0.1");
    uint32_t networkInterface = 0;
    EXPECT_EQ(aErrNone, aServer_GetInterface(server, &networkInterface));
    EXPECT_EQ(th0, networkInterface);
    FoundDevices found;
    EXPECT_EQ(0, enumerateServers(&found, th0)); // silent while the model is unknown
    aServer_SetModuleAddress(server, kAddress);
    aServer_SetModel(server, kModel);
    ASSERT_EQ(1, enumerateServers(&found, th0));
    const linkSpec expected = sim::networkSpec(AVORNE_TCPIP, kSerial, "10.77.0.1", port, kModel, kAddress);
    EXPECT_EQ(0, std::memcmp(&expected, &found.specs[0], sizeof expected));
}

} // namespace
