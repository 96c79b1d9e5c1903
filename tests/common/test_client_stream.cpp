// test-labels: integration threaded netns
// The client stream to a link-sharing server, against a stand-in of the
// server's client socket on loop-back TCP in a private network: the frames a
// write sends, the bytes of the frames that come back, waits, a server that
// is not there yet or goes away, a subscription made again on a new stream,
// stray signals, and a link running over the stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <dirent.h>
#include <memory>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/aLink.h"
#include "common/aLinkCreate.h"
#include "common/aStream_ZeroMQClient.h"
#include "tests/common/listening_ports.h"
#include "tests/sim/link_server_peer.h"
#include "tests/sim/netns.h"

namespace {

using sim::Frame;

const uint32_t kLoopback = sim::ipv4("127.0.0.1");

class ClientStream : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        ASSERT_TRUE(sim::enterPrivateNetwork(&why)) << why;
    }

    void TearDown() override
    {
        if (stream) {
            EXPECT_EQ(aErrNone, aStream_Destroy(&stream));
        }
    }

    void connect(uint16_t port) { ASSERT_EQ(aErrNone, aStream_CreateClient(kLoopback, port, &stream)); }

    // The next n bytes, each waited for with the stream's own wait.
    Frame readBytes(size_t n)
    {
        Frame bytes;
        for (int quiet = 0; bytes.size() < n && quiet < 3;) {
            uint8_t byte = 0;
            aErr err = aStream_Read(stream, &byte, 1);
            if (err == aErrNone)
                bytes.push_back(byte);
            else if (err == aErrNotReady)
                ++quiet;
            else
                ADD_FAILURE() << "read error " << err;
        }
        return bytes;
    }

    aStream* stream = nullptr;
};

// The pairs between the stream's threads are no sockets another process of
// the host could connect to and feed the link false replies through.
TEST_F(ClientStream, ListensOnNoPort)
{
    sim::LinkServerPeer server;
    ASSERT_TRUE(server.ok());
    const std::set<uint16_t> before = listeningPorts();
    connect(server.port());
    EXPECT_EQ(before, listeningPorts());
    ASSERT_EQ(aErrNone, aStream_Write(stream, Frame{0x02, 1, 0x17}.data(), 3));
    EXPECT_EQ((Frame{0x02, 1, 0x17}), readBytes(3));
}

TEST(ClientStreamCreate, NullOutGivesParamError)
{
    EXPECT_EQ(aErrParam, aStream_CreateClient(kLoopback, 1, nullptr));
}

// Each packet written is one frame: the server takes one packet a frame, so
// a write of several (a link that gathers its packets) is one frame each.
TEST_F(ClientStream, EachPacketWrittenIsOneFrameAndTheAnswerIsReadByteByByte)
{
    sim::LinkServerPeer server;
    ASSERT_TRUE(server.ok());
    connect(server.port());

    const Frame packet = {0x02, 0x03, 0x49, 0x01, 0x02};
    EXPECT_EQ(aErrNone, aStream_Write(stream, packet.data(), packet.size()));
    ASSERT_TRUE(server.awaitRequests(1, 2000));
    EXPECT_EQ(std::vector<Frame>{packet}, server.requests());
    EXPECT_EQ(packet, readBytes(packet.size()));

    // Single bytes are refused and never reach the server.
    EXPECT_EQ(aErrUnimplemented, aStream_Write(stream, packet.data(), 1));
    EXPECT_EQ(aErrNone, aStream_Write(stream, packet.data(), 2));
    ASSERT_TRUE(server.awaitRequests(2, 2000));
    EXPECT_EQ(Frame(packet.begin(), packet.begin() + 2), server.requests().back());

    // A link's caller sends its packet itself, as one whole frame.
    size_t written = 0;
    EXPECT_EQ(aErrNone, aStream_TryWrite(stream, packet.data(), packet.size(), &written));
    EXPECT_EQ(packet.size(), written);
    ASSERT_TRUE(server.awaitRequests(3, 2000));
    EXPECT_EQ(packet, server.requests().back());

    const Frame full = {0x02, 28, 0x5A};
    Frame gathered = packet;
    for (const Frame& more : {full, Frame(27, 0x33), Frame{0x02, 0x00}})
        gathered.insert(gathered.end(), more.begin(), more.end());
    // A gathered write goes as one frame per packet, from the writer and from
    // a caller alike.
    EXPECT_EQ(aErrNone, aStream_Write(stream, gathered.data(), gathered.size()));
    ASSERT_TRUE(server.awaitRequests(6, 2000));
    Frame fullPacket = full;
    fullPacket.resize(30, 0x33);
    const std::vector<Frame> each = {packet, fullPacket, Frame{0x02, 0x00}};
    std::vector<Frame> frames = server.requests();
    EXPECT_EQ(each, std::vector<Frame>(frames.begin() + 3, frames.end()));

    written = 0;
    EXPECT_EQ(aErrNone, aStream_TryWrite(stream, gathered.data(), gathered.size(), &written));
    EXPECT_EQ(gathered.size(), written);
    ASSERT_TRUE(server.awaitRequests(9, 2000));
    frames = server.requests();
    EXPECT_EQ(each, std::vector<Frame>(frames.begin() + 6, frames.end()));
}

// A batch of stream packets is one frame; the reader sees only bytes. A frame
// without bytes is refused on its own and the next frame reads on.
TEST_F(ClientStream, FrameBoundariesAreInvisibleToTheReader)
{
    sim::LinkServerPeer server;
    ASSERT_TRUE(server.ok());
    connect(server.port());
    const Frame hello = {0x02, 0x00};
    ASSERT_EQ(aErrNone, aStream_Write(stream, hello.data(), hello.size()));
    ASSERT_EQ(hello, readBytes(2));

    const Frame batch = {0x02, 0x02, 0x5D, 0x01, 0x04, 0x01, 0x07, 0x02, 0x00};
    const Frame single = {0x06, 0x01, 0x33};
    ASSERT_TRUE(server.sendToClient(batch));
    ASSERT_TRUE(server.sendToClient(single));
    Frame expected = batch;
    expected.insert(expected.end(), single.begin(), single.end());
    EXPECT_EQ(expected, readBytes(expected.size()));

    ASSERT_TRUE(server.sendToClient({}));
    ASSERT_TRUE(server.sendToClient(single));
    uint8_t byte = 0;
    aErr err = aErrNotReady;
    for (int i = 0; i < 5 && err == aErrNotReady; ++i) err = aStream_Read(stream, &byte, 1);
    EXPECT_EQ(aErrIndexRange, err);
    EXPECT_EQ(single, readBytes(single.size()));
}

// A write made at once after the stream was made, and one made just before
// it is deleted (a link's last packet, force route off), both reach the server.
TEST_F(ClientStream, FirstAndLastWritesReachTheServer)
{
    sim::LinkServerPeer server;
    ASSERT_TRUE(server.ok());
    const int streams = 20;
    for (uint8_t i = 0; i < streams; ++i) {
        connect(server.port());
        const Frame first = {0x02, 0x01, i}, last = {0xAF, 0x01, i};
        EXPECT_EQ(aErrNone, aStream_Write(stream, first.data(), first.size()));
        EXPECT_EQ(aErrNone, aStream_Write(stream, last.data(), last.size()));
        ASSERT_EQ(aErrNone, aStream_Destroy(&stream));
    }
    ASSERT_TRUE(server.awaitRequests(2 * streams, 5000)) << server.requests().size();
    // Each stream's two frames, in their order; the streams' connections
    // deliver independently of each other.
    std::vector<Frame> requests = server.requests();
    EXPECT_EQ(size_t(2 * streams), requests.size());
    for (uint8_t i = 0; i < streams; ++i) {
        auto first = std::find(requests.begin(), requests.end(), Frame{0x02, 0x01, i});
        auto last = std::find(requests.begin(), requests.end(), Frame{0xAF, 0x01, i});
        EXPECT_TRUE(first < last) << "stream " << int(i);
    }
}

TEST_F(ClientStream, NoFrameWithinASecondIsNotReady)
{
    sim::LinkServerPeer server;
    ASSERT_TRUE(server.ok());
    connect(server.port());
    uint8_t byte = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aErrNotReady, aStream_Read(stream, &byte, 1));
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(waited.count(), 900);
}

// While the link stops its reader, a read under way ends at once instead of
// waiting out its second, and once the reader runs again reads work as before.
TEST_F(ClientStream, StoppingTheReaderCutsAWaitingReadShort)
{
    sim::LinkServerPeer server;
    ASSERT_TRUE(server.ok());
    connect(server.port());
    std::atomic<bool> reading{false};
    aErr result = aErrNone;
    std::chrono::milliseconds waited{};
    std::thread reader([&] {
        uint8_t byte = 0;
        reading = true;
        auto start = std::chrono::steady_clock::now();
        result = aStream_Read(stream, &byte, 1);
        waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    });
    while (!reading) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the read is waiting
    aStream_InterruptReads(stream, true);
    reader.join();
    EXPECT_EQ(aErrNotReady, result);
    EXPECT_LT(waited.count(), 800);

    aStream_InterruptReads(stream, false);
    const Frame packet = {0x02, 0x01, 0x42};
    ASSERT_EQ(aErrNone, aStream_Write(stream, packet.data(), packet.size()));
    EXPECT_EQ(packet, readBytes(packet.size()));
}

// The connection is made in the background: a stream to a port where nobody
// listens is made, and answers come once a server listens there.
TEST_F(ClientStream, ServerThatStartsLaterIsReached)
{
    // A port of the private network that nothing holds, outside the range
    // the system hands out, so that no socket of the test takes it meanwhile.
    const uint16_t port = 24555;
    connect(port);
    uint8_t byte = 0;
    EXPECT_EQ(aErrNotReady, aStream_Read(stream, &byte, 1));

    sim::LinkServerPeer server(port);
    ASSERT_TRUE(server.ok());
    const Frame packet = {0x04, 0x01, 0x11};
    Frame answer;
    for (int attempt = 0; attempt < 10 && answer.empty(); ++attempt) {
        ASSERT_EQ(aErrNone, aStream_Write(stream, packet.data(), packet.size()));
        answer = readBytes(packet.size());
    }
    EXPECT_EQ(packet, answer);
}

// A stream whose server goes away ends as a device link's stream does when
// its device goes: every read and write fails from then on, and a server
// that listens on the port again is not reached.
TEST_F(ClientStream, StreamEndsWhenItsServerGoes)
{
    auto server = std::make_unique<sim::LinkServerPeer>();
    ASSERT_TRUE(server->ok());
    const uint16_t port = server->port();
    connect(port);
    EXPECT_EQ(aErrNone, aStream_ClientAwaitConnection(stream, 2000));
    EXPECT_FALSE(aStream_ClientIsLost(stream));
    const Frame packet = {0x02, 0x01, 0x42};
    ASSERT_EQ(aErrNone, aStream_Write(stream, packet.data(), packet.size()));
    ASSERT_EQ(packet, readBytes(packet.size()));
    server.reset();

    // Within a wait or two of the reader.
    aErr err = aErrNotReady;
    uint8_t byte = 0;
    for (int reads = 0; reads < 3 && err == aErrNotReady; ++reads) err = aStream_Read(stream, &byte, 1);
    EXPECT_EQ(aErrConnection, err);
    EXPECT_TRUE(aStream_ClientIsLost(stream));
    EXPECT_EQ(aErrConnection, aStream_ClientAwaitConnection(stream, 0));

    sim::LinkServerPeer again(port);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(aErrConnection, aStream_Write(stream, packet.data(), packet.size()));
    size_t written = 0;
    EXPECT_EQ(aErrConnection, aStream_TryWrite(stream, packet.data(), packet.size(), &written));
    EXPECT_EQ(0u, written);
    EXPECT_EQ(aErrConnection, aStream_Read(stream, &byte, 1));
    EXPECT_FALSE(again.awaitRequests(1, 200));
}

// Waiting for the connection: up when a server takes it, refused when nobody
// listens, and a stream of another kind is none of its business.
TEST_F(ClientStream, AwaitConnection)
{
    sim::LinkServerPeer server;
    ASSERT_TRUE(server.ok());
    connect(server.port());
    EXPECT_EQ(aErrNone, aStream_ClientAwaitConnection(stream, 2000));
    ASSERT_EQ(aErrNone, aStream_Destroy(&stream));

    connect(24556); // nobody listens there
    EXPECT_EQ(aErrConnection, aStream_ClientAwaitConnection(stream, 2000));
    EXPECT_FALSE(aStream_ClientIsLost(stream)); // a server may still come

    aStream* file = nullptr;
    ASSERT_EQ(aErrNone, aStream_CreateFileOutput("/dev/null", &file));
    EXPECT_EQ(aErrParam, aStream_ClientAwaitConnection(file, 0));
    uint8_t request[32];
    EXPECT_EQ(0u, aStream_ClientSubscription(file, request, sizeof request));
    aStream_Destroy(&file);
}

// The stream enables written and not disabled since are the subscription
// that a new stream makes again; the device's reply to it is the new
// stream's own, and the next reply is the first one read.
TEST_F(ClientStream, SubscriptionIsMadeAgainOnANewStream)
{
    const Frame enableA = {0x02, 0x07, 0x5D, 0x81, 0x20, 0x02, 0x03, 0x0C, 0x00};
    const Frame enableB = {0x02, 0x07, 0x5D, 0x81, 0x20, 0x02, 0x03, 0x0D, 0x00};
    const Frame disableB = {0x02, 0x07, 0x5D, 0x82, 0x20, 0x02, 0x03, 0x0D, 0x00};
    const Frame reply = {0x02, 0x03, 0x5D, 0xC1, 0x20};
    const Frame echo = {0x02, 0x02, 0x17, 0x05};
    sim::LinkServerPeer server(0, [&](const Frame& request) {
        if (request.size() > 3 && request[2] == 0x5D) return std::vector<Frame>{reply};
        return sim::LinkServerPeer::echo(request);
    });
    ASSERT_TRUE(server.ok());
    connect(server.port());
    uint8_t kept[32] = {};
    EXPECT_EQ(0u, aStream_ClientSubscription(stream, kept, sizeof kept));
    struct Step {
        Frame written;
        Frame kept;
    } steps[] = {{enableA, enableA}, {enableB, enableB}, {disableB, enableA}, {echo, enableA}};
    for (const Step& step : steps) {
        ASSERT_EQ(aErrNone, aStream_Write(stream, step.written.data(), step.written.size()));
        size_t length = aStream_ClientSubscription(stream, kept, sizeof kept);
        EXPECT_EQ(step.kept, Frame(kept, kept + length));
    }
    EXPECT_EQ(0u, aStream_ClientSubscription(stream, kept, 4)) << "no room";
    ASSERT_TRUE(server.awaitRequests(4, 2000));
    ASSERT_EQ(aErrNone, aStream_Destroy(&stream));

    connect(server.port());
    EXPECT_EQ(aErrParam, aStream_ClientResubscribe(stream, echo.data(), echo.size()));
    ASSERT_EQ(aErrNone, aStream_ClientResubscribe(stream, enableA.data(), enableA.size()));
    ASSERT_EQ(aErrNone, aStream_Write(stream, echo.data(), echo.size()));
    ASSERT_TRUE(server.awaitRequests(6, 2000));
    EXPECT_EQ(enableA, server.requests()[4]);
    EXPECT_EQ(echo, readBytes(echo.size()));
    size_t length = aStream_ClientSubscription(stream, kept, sizeof kept);
    EXPECT_EQ(enableA, Frame(kept, kept + length));
}

void ignoreSignal(int) {}

// Sends the signal to every thread of the process, the broker among them.
void signalEveryThread(int signal)
{
    DIR* tasks = opendir("/proc/self/task");
    ASSERT_NE(nullptr, tasks);
    while (dirent* entry = readdir(tasks)) {
        long tid = std::atol(entry->d_name);
        if (tid > 0) syscall(SYS_tgkill, getpid(), tid, signal);
    }
    closedir(tasks);
}

// A signal that is not the messaging library's interrupt cuts the broker's and
// the reader's waits short; neither may take it for the end of the stream.
TEST_F(ClientStream, StraySignalsDoNotEndTheStream)
{
    struct sigaction action {};
    action.sa_handler = ignoreSignal; // no SA_RESTART: waits end with EINTR
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(0, sigaction(SIGUSR1, &action, nullptr));

    sim::LinkServerPeer server;
    ASSERT_TRUE(server.ok());
    connect(server.port());
    const Frame packet = {0x02, 0x01, 0x42};
    ASSERT_EQ(aErrNone, aStream_Write(stream, packet.data(), packet.size()));
    ASSERT_EQ(packet, readBytes(packet.size()));

    std::atomic<bool> signalling{true};
    std::thread signaller([&] {
        while (signalling) {
            signalEveryThread(SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    // A whole wait of the reader, and of the broker beside it, under signals.
    uint8_t byte = 0;
    aErr waited = aStream_Read(stream, &byte, 1);
    signalling = false;
    signaller.join();
    EXPECT_EQ(aErrNotReady, waited);

    ASSERT_EQ(aErrNone, aStream_Write(stream, packet.data(), packet.size()));
    EXPECT_EQ(packet, readBytes(packet.size()));
}

// A client link as the link table makes one: an entry of the link-sharing
// type over the stream, started without synchronisation.
TEST_F(ClientStream, LinkRunsOverTheStream)
{
    sim::LinkServerPeer server;
    ASSERT_TRUE(server.ok());
    connect(server.port());
    aLinkId id = sCreate2(kLoopback, server.port(), 0, AVORNE);
    ASSERT_NE(0u, id);
    ASSERT_EQ(id, aLink_Init(id, stream));
    stream = nullptr; // the link owns it now
    sChangeUseCount(sLookupEntryByID(id), 1);
    ASSERT_EQ(aErrNone, aLink_Start(id));
    EXPECT_EQ(kLinkStatusRunning, aLink_GetStatus(id));

    // Force route on is the link's first frame.
    ASSERT_TRUE(server.awaitRequests(1, 2000));
    EXPECT_EQ((Frame{0xAF, 0x01, 0x01}), server.requests()[0]);

    aPacket* request = aPacket_CreateWithData(0x02, 2, (const uint8_t*)"\x49\x00");
    ASSERT_NE(nullptr, request);
    ASSERT_EQ(aErrNone, aLink_PutPacket(id, request));
    aPacket_Destroy(&request);
    aPacket* reply = aLink_AwaitPacket(id, 2000);
    ASSERT_NE(nullptr, reply);
    EXPECT_EQ(0x02, reply->address);
    ASSERT_EQ(2, reply->length);
    EXPECT_EQ(0x49, reply->data[0]);
    aPacket_Destroy(&reply);
    ASSERT_TRUE(server.awaitRequests(2, 2000));
    EXPECT_EQ((Frame{0x02, 0x02, 0x49, 0x00}), server.requests()[1]);

    // Two stream packets in one batch frame arrive as two packets, in order.
    ASSERT_TRUE(server.sendToClient({0x04, 0x02, 0x5D, 0x01, 0x04, 0x02, 0x5D, 0x02}));
    for (uint8_t value : {0x01, 0x02}) {
        aPacket* sample = aLink_AwaitPacket(id, 2000);
        ASSERT_NE(nullptr, sample);
        EXPECT_EQ(0x04, sample->address);
        ASSERT_EQ(2, sample->length);
        EXPECT_EQ(value, sample->data[1]);
        aPacket_Destroy(&sample);
    }

    EXPECT_EQ(aErrNone, aLink_Destroy(&id));
    // Force route off is the last frame the link sends.
    ASSERT_TRUE(server.awaitRequests(3, 2000));
    EXPECT_EQ((Frame{0xAF, 0x01, 0x00}), server.requests().back());
}

} // namespace
