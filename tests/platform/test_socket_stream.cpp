// test-labels: integration threaded netns
// The TCP socket stream against the simulated Ethernet device (127.0.0.1 in
// the test's own network namespace), and the same stream over an adopted
// socket pair.
#include "platform/aStreamsocket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/sim/device_model.h"
#include "tests/sim/private_network.h"
#include "tests/sim/quiet_listener.h"
#include "tests/sim/socketpair_carrier.h"
#include "tests/sim/tcp_carrier.h"

namespace {

const auto* const privateNetwork = ::testing::AddGlobalTestEnvironment(new sim::PrivateNetwork);

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// Reads up to n bytes, waiting for each at most timeoutMs.
Bytes readBytes(aStream* stream, size_t n, int timeoutMs = 2000)
{
    Bytes got;
    while (got.size() < n) {
        uint8_t byte = 0;
        aErr err = aStream_Read(stream, &byte, 1);
        if (err == aErrNone) {
            got.push_back(byte);
            continue;
        }
        if (err != aErrNotReady || aStream_WaitReadable(stream, timeoutMs) != aErrNone)
            break;
    }
    return got;
}

bool deviceReceived(const sim::DeviceModel& device, const Bytes& bytes)
{
    return device.waitFor(
        [&](const sim::Records& records) {
            return std::search(records.bytes.begin(), records.bytes.end(), bytes.begin(), bytes.end())
                != records.bytes.end();
        },
        2000);
}

class SocketStream : public ::testing::Test {
protected:
    explicit SocketStream(sim::TcpCarrierOptions options = {}) : carrier(device, options)
    {
        EXPECT_EQ(aStream_CreateSocket(kLoopback, carrier.port(), &stream), aErrNone);
        EXPECT_TRUE(carrier.waitForConnections(1, 2000));
    }
    ~SocketStream() override
    {
        if (stream) {
            EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
        }
    }

    sim::DeviceModel device;
    sim::TcpCarrier carrier;
    aStream* stream = nullptr;
};

TEST(SocketStreamCreate, FailsWithoutListenerOrHandle)
{
    // A port that was free a moment ago: nothing listens there.
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = kLoopback;
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t size = sizeof address;
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
    close(probe);

    aStream* stream = reinterpret_cast<aStream*>(&address);
    EXPECT_EQ(aStream_CreateSocket(kLoopback, ntohs(address.sin_port), &stream), aErrResource);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(aStream_CreateSocket(kLoopback, ntohs(address.sin_port), nullptr), aErrResource);
}

TEST_F(SocketStream, GetDoesNotWaitAndHandsOutBytesInOrder)
{
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
    EXPECT_EQ(aStream_WaitReadable(stream, 1), aErrTimeout);

    device.injectToHost({0x11, 0x22, 0x33});
    EXPECT_EQ(readBytes(stream, 3), (Bytes{0x11, 0x22, 0x33}));
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady);
}

TEST_F(SocketStream, WaitReadableCountsPushedBackBytes)
{
    device.injectToHost({0x01, 0x02});
    ASSERT_EQ(aStream_WaitReadable(stream, 2000), aErrNone);
    uint8_t four[4] = {};
    ASSERT_EQ(aStream_Read(stream, four, sizeof four), aErrNotReady); // both bytes pushed back
    EXPECT_EQ(aStream_WaitReadable(stream, 0), aErrNone);
    EXPECT_EQ(readBytes(stream, 2), (Bytes{0x01, 0x02}));
    EXPECT_EQ(aStream_WaitReadable(nullptr, 0), aErrParam);
}

TEST_F(SocketStream, WaitReadableWakesWhenBytesArrive)
{
    std::thread device_side([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        device.injectToHost({0x42});
    });
    EXPECT_EQ(aStream_WaitReadable(stream, 5000), aErrNone);
    device_side.join();
    EXPECT_EQ(readBytes(stream, 1), Bytes{0x42});
}

TEST_F(SocketStream, WriteSendsWholeBlocksAndSingleBytes)
{
    Bytes block(100);
    for (size_t i = 0; i < block.size(); i++)
        block[i] = static_cast<uint8_t>(i + 1);
    ASSERT_EQ(aStream_Write(stream, block.data(), block.size()), aErrNone);
    uint8_t last = 0xEE;
    ASSERT_EQ(aStream_Write(stream, &last, 1), aErrNone);
    block.push_back(last);
    ASSERT_TRUE(device.waitFor([&](const sim::Records& r) { return r.bytes.size() >= block.size(); }, 2000));
    EXPECT_EQ(device.records().bytes, block);
}

// How the device ends the connection, and which side of the stream meets it first.
struct Ending {
    const char* name;
    bool reset;    // an RST, else an orderly close
    bool byWrite;  // a write meets it first, else a read
};

class DeviceGoesAway : public SocketStream, public ::testing::WithParamInterface<Ending> {};

// The stream stays down whichever way the device went: its link sees the
// loss instead of a stream that reads nothing or reconnects behind its back.
TEST_P(DeviceGoesAway, StreamStaysDownWithoutReconnecting)
{
    const Ending ending = GetParam();
    if (ending.reset)
        carrier.resetConnection();
    else
        carrier.closeConnection();

    uint8_t byte = 0x01;
    aErr first = aErrNone;
    // An orderly close lets a send or two through before the device's reset answers them.
    for (int i = 0; i < 100 && (first == aErrNone || first == aErrNotReady); i++) {
        if (ending.byWrite) {
            first = aStream_Write(stream, &byte, 1);
        } else {
            ASSERT_EQ(aStream_WaitReadable(stream, 2000), aErrNone); // the end is readable
            first = aStream_Read(stream, &byte, 1);
        }
        if (first == aErrNone)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(first, aErrConnection);
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrConnection);
    EXPECT_EQ(aStream_Write(stream, &byte, 1), aErrConnection);
    // Nothing can arrive: a reader waiting for bytes sleeps instead of spinning.
    auto start = Clock::now();
    EXPECT_EQ(aStream_WaitReadable(stream, 30), aErrTimeout);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(30));
    EXPECT_EQ(carrier.connections(), 1u);

    // With its socket closed already, the stream is freed without a pause.
    start = Clock::now();
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(10));
}

INSTANTIATE_TEST_SUITE_P(Endings, DeviceGoesAway,
                         ::testing::Values(Ending{"ResetSeenByRead", true, false},
                                           Ending{"ResetSeenByWrite", true, true},
                                           Ending{"CloseSeenByRead", false, false},
                                           Ending{"CloseSeenByWrite", false, true}),
                         [](const ::testing::TestParamInfo<Ending>& p) { return p.param.name; });

class StalledSocketStream : public SocketStream {
protected:
    StalledSocketStream() : SocketStream(sim::TcpCarrierOptions{"127.0.0.1", 0, 4096}) {}
};

TEST_F(StalledSocketStream, PartlySentBlockFailsAndResetsTheConnection)
{
    carrier.setStallReading(true);
    // Far more than the connection buffers hold: the device would keep the
    // start of a block whose end never comes.
    Bytes flood(16 << 20, 0x5A);
    EXPECT_EQ(aStream_Write(stream, flood.data(), flood.size()), aErrTimeout);
    EXPECT_TRUE(carrier.waitForConnections(2, 2000));

    // The new connection carries whole blocks again.
    carrier.setStallReading(false);
    device.clearRecords();
    const Bytes hello = {0x02, 0x01, 0x44};
    ASSERT_EQ(aStream_Write(stream, hello.data(), hello.size()), aErrNone);
    EXPECT_TRUE(device.waitFor([&](const sim::Records& r) { return r.bytes == hello; }, 2000));
}

TEST(SocketStreamFull, BlockThatFindsNoRoomIsDroppedWholeAfterTenRounds)
{
    // A connection whose far end never reads, filled byte by byte, so that
    // no room is left for any part of the block.
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    aStream* stream = nullptr;
    ASSERT_EQ(aStream_AdoptSocket(ends[0], &stream), aErrNone);
    uint8_t byte = 0x33;
    while (send(ends[0], &byte, 1, MSG_DONTWAIT | MSG_NOSIGNAL) == 1) {
    }
    ASSERT_EQ(errno, EAGAIN);

    Bytes block(100, 0xA5);
    auto start = Clock::now();
    EXPECT_EQ(aStream_Write(stream, block.data(), block.size()), aErrNone);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(10 * 60));
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    close(ends[0]);
    close(ends[1]);
}

TEST(SocketStreamFailure, SendErrorOutsideTheLostConnectionsEndsTheWriteAtOnce)
{
    // A datagram socket without a destination: every send fails with an
    // error that no reconnection mends.
    int datagram = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(datagram, 0);
    aStream* stream = nullptr;
    ASSERT_EQ(aStream_AdoptSocket(datagram, &stream), aErrNone);
    const Bytes block(100, 0x11);
    auto start = Clock::now();
    EXPECT_EQ(aStream_Write(stream, block.data(), block.size()), aErrIO);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(60));
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    close(datagram);
}

TEST(SocketStreamCreate, ConnectToAnAddressThatDoesNotAnswerIsBounded)
{
    // It drops further connection requests, as an address without a host does.
    const sim::QuietListener full(sim::QuietListener::Queue::Full);

    aStream* stream = nullptr;
    auto start = Clock::now();
    EXPECT_EQ(aStream_CreateSocket(kLoopback, full.port(), &stream), aErrResource);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(stream, nullptr);
}

// A signal during the wait for the connection (a timer's, a child's) does
// not end it: once the listener takes the queued connection, the retried
// request gets through.
TEST(SocketStreamCreate, ConnectWaitsOnThroughASignal)
{
    const sim::QuietListener full(sim::QuietListener::Queue::Full);

    struct sigaction ignore = {};
    struct sigaction previous = {};
    ignore.sa_handler = [](int) {};
    ASSERT_EQ(sigaction(SIGUSR1, &ignore, &previous), 0);
    const pthread_t caller = pthread_self();
    std::thread listenerSide([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pthread_kill(caller, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        int taken = accept(full.fd(), nullptr, nullptr);
        if (taken >= 0)
            close(taken);
    });
    aStream* stream = nullptr;
    EXPECT_EQ(aStream_CreateSocket(kLoopback, full.port(), &stream), aErrNone);
    listenerSide.join();
    sigaction(SIGUSR1, &previous, nullptr);
    if (stream) {
        EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    }
}

TEST(AdoptedSocketStream, CarriesBytesAndLeavesTheSocketToItsOwner)
{
    sim::DeviceModel device;
    sim::SocketpairCarrier carrier(device);
    int fd = carrier.takeHostFd();
    aStream* stream = nullptr;
    ASSERT_EQ(aStream_AdoptSocket(fd, &stream), aErrNone);

    const Bytes hello = {0x02, 0x01, 0x77};
    ASSERT_EQ(aStream_Write(stream, hello.data(), hello.size()), aErrNone);
    EXPECT_TRUE(deviceReceived(device, hello));
    device.injectToHost({0x09, 0x08});
    EXPECT_EQ(readBytes(stream, 2), (Bytes{0x09, 0x08}));

    // A lost adopted connection is not re-made.
    carrier.resetConnection();
    uint8_t byte = 0;
    aErr err = aErrNone;
    for (int i = 0; i < 100 && err != aErrConnection; i++) {
        err = aStream_Write(stream, &byte, 1);
        if (err == aErrNone)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(err, aErrConnection);
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrConnection);

    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    EXPECT_NE(fcntl(fd, F_GETFD), -1) << "the owner's socket was closed";
    close(fd);
    EXPECT_EQ(aStream_AdoptSocket(-1, &stream), aErrResource);
    EXPECT_EQ(stream, nullptr);
}

// The link's reader and writer use one stream at once while the device
// resets the connection under them: both see the stream go down.
TEST_F(SocketStream, ReaderAndWriterBothSeeTheConnectionEnd)
{
    std::atomic<bool> done{false};
    std::atomic<aErr> readerSaw{aErrNone};
    std::thread reader([&] {
        while (!done) {
            uint8_t byte = 0;
            aErr err = aStream_Read(stream, &byte, 1);
            if (err == aErrConnection) {
                readerSaw = err;
                break;
            }
            if (err == aErrNotReady)
                aStream_WaitReadable(stream, 5);
        }
    });
    const Bytes echo = {0x02, 0x02, sim::kEchoCommand, 0x01};
    aErr writerSaw = aErrNone;
    for (int i = 0; i < 50; i++)
        writerSaw = aStream_Write(stream, echo.data(), echo.size());
    carrier.resetConnection();
    for (int i = 0; i < 200 && writerSaw == aErrNone; i++) {
        writerSaw = aStream_Write(stream, echo.data(), echo.size());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    for (int i = 0; i < 200 && readerSaw == aErrNone; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    done = true;
    reader.join();
    EXPECT_EQ(writerSaw, aErrConnection);
    EXPECT_EQ(readerSaw.load(), aErrConnection);
    EXPECT_EQ(carrier.connections(), 1u);
}

} // namespace
