// test-labels: unit threaded
// The simulated device, judged by its bytes: the model alone, then over the
// socketpair and TCP carriers driven with plain sockets.
#include "tests/sim/device_model.h"
#include "tests/sim/sim_program.h"
#include "tests/sim/socketpair_carrier.h"
#include "tests/sim/tcp_carrier.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using sim::DeviceModel;
using sim::Packet;
using sim::Records;

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes repeat(const Bytes& bytes, int times)
{
    Bytes all;
    for (int i = 0; i < times; ++i) all.insert(all.end(), bytes.begin(), bytes.end());
    return all;
}

// Everything the model has ready for the host right now.
Bytes drain(DeviceModel& device)
{
    Bytes all;
    uint8_t chunk[7]; // small on purpose: frames are taken across reads
    size_t n;
    while ((n = device.toHost(chunk, sizeof chunk)) > 0) all.insert(all.end(), chunk, chunk + n);
    return all;
}

// Feeds the bytes in pieces of every size from 1 to 5, so assembly is
// tested across arbitrary splits.
void feedSplit(DeviceModel& device, const Bytes& bytes)
{
    size_t at = 0;
    for (size_t piece = 1; at < bytes.size(); piece = piece % 5 + 1) {
        size_t n = std::min(piece, bytes.size() - at);
        device.fromHost(bytes.data() + at, n);
        at += n;
    }
}

void writeAll(int fd, const Bytes& bytes)
{
    size_t at = 0;
    while (at < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        ASSERT_GT(n, 0) << strerror(errno);
        at += static_cast<size_t>(n);
    }
}

// Reads exactly n bytes (or what came before the time-out or the end).
Bytes readBytes(int fd, size_t n, int timeoutMs = 2000)
{
    Bytes got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < n) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        deadline - std::chrono::steady_clock::now()).count());
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0) break;
        uint8_t buffer[256];
        ssize_t r = recv(fd, buffer, std::min(sizeof buffer, n - got.size()), 0);
        if (r <= 0) break;
        got.insert(got.end(), buffer, buffer + r);
    }
    return got;
}

int connectTcp(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

const Bytes kQuery{0xAD, 0x00};

// ---- the model alone -------------------------------------------------------

// The link traffic a host sends, in one stream, and the device's exact answer.
TEST(SimDevice, AnswersLinkTrafficByteForByte)
{
    DeviceModel device(sim::DeviceConfig{0x06});
    const Bytes echo{0x06, 0x03, 23, 0xAA, 0xBB};
    const Bytes hostBytes = concat({
        {0xAF, 0x01, 0x01},         // force route on: taken silently
        repeat(kQuery, 6),          // six address queries: six answers
        echo,                       // the echo command comes back unchanged
        {0x06, 0x02, 0x00, 0x02},   // the host's heartbeat reply: recorded
        {0x08, 0x01, 23},           // another module's packet: not ours
        {0x06, 0x01, 0x77},         // a command without a handler: recorded only
        {0x06, 0x00},               // an empty packet to the module
        {0xAF, 0x01, 0x00},         // force route off
    });
    feedSplit(device, hostBytes);

    EXPECT_EQ(drain(device), concat({repeat({0x06, 0x00}, 6), echo}));
    Records r = device.records();
    EXPECT_EQ(r.bytes, hostBytes);
    EXPECT_EQ(r.packets.size(), 13u);
    EXPECT_EQ(r.byteCount, hostBytes.size());
    EXPECT_EQ(r.packetCount, 13u);
    EXPECT_EQ(r.packets[7], (Packet{0x06, {23, 0xAA, 0xBB}}));
    EXPECT_EQ(r.forceRoutes, (Bytes{1, 0}));
    EXPECT_EQ(r.heartbeatReplies, (Bytes{2}));
    EXPECT_EQ(r.framingErrors, 0u);

    device.sendHeartbeat(1);
    EXPECT_EQ(drain(device), (Bytes{0x06, 0x02, 0x00, 0x01}));
}

// Bytes that form no packet are counted and dropped; the next packet is taken.
TEST(SimDevice, DropsMalformedHostBytesAndRecovers)
{
    DeviceModel device;
    feedSplit(device, concat({{0x00}, {0x02, 29}, kQuery}));
    EXPECT_EQ(drain(device), (Bytes{0x02, 0x00}));
    EXPECT_EQ(device.records().framingErrors, 2u);
    EXPECT_EQ(device.records().packets, (std::vector<Packet>{{0xAD, {}}}));
}

// Long runs keep counts only; the device answers as before.
TEST(SimDevice, CountsWithoutRecordingTraffic)
{
    sim::DeviceConfig config;
    config.recordTraffic = false;
    DeviceModel device(config);
    feedSplit(device, concat({repeat(kQuery, 3), {0xAF, 0x01, 0x01}}));
    EXPECT_TRUE(device.waitForPackets(4, 0));
    EXPECT_EQ(drain(device), repeat({0x02, 0x00}, 3));
    Records r = device.records();
    EXPECT_TRUE(r.bytes.empty());
    EXPECT_TRUE(r.packets.empty());
    EXPECT_EQ(r.byteCount, 9u);
    EXPECT_EQ(r.packetCount, 4u);
    EXPECT_EQ(r.forceRoutes, Bytes{1});
}

TEST(SimDevice, RefusesAnInvalidModuleAddress)
{
    EXPECT_THROW(DeviceModel(sim::DeviceConfig{0x05}), std::invalid_argument);
    EXPECT_THROW(DeviceModel(sim::DeviceConfig{0x00}), std::invalid_argument);
}

// Each fault, seen in the answers to four address queries.
TEST(SimDevice, FaultsSpoilTheAnswers)
{
    struct Case {
        const char* name;
        sim::Faults faults;
        Bytes expected;
    };
    sim::Faults silent, other, alternate, odd, zero, longLength;
    silent.silent = true;
    other.answerAddress = 0x08;
    alternate.alternateAddress = 0x0A;
    odd.corruption = sim::Corruption::OddAddress;
    odd.corruptEvery = 2;
    zero.corruption = sim::Corruption::ZeroAddress;
    zero.corruptEvery = 4;
    longLength.corruption = sim::Corruption::LongLength;
    longLength.corruptEvery = 1;
    const Case cases[] = {
        {"silent", silent, {}},
        {"another address", other, repeat({0x08, 0x00}, 4)},
        {"alternating address", alternate, repeat({0x02, 0x00, 0x0A, 0x00}, 2)},
        {"odd address", odd, repeat({0x02, 0x00, 0x03, 0x00}, 2)},
        {"zero address", zero, {0x02, 0x00, 0x02, 0x00, 0x02, 0x00, 0x00, 0x00}},
        {"length 29", longLength, repeat({0x02, 29}, 4)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceModel device;
        device.setFaults(c.faults);
        feedSplit(device, repeat(kQuery, 4));
        EXPECT_EQ(drain(device), c.expected);
        EXPECT_EQ(device.records().packets.size(), 4u);
    }
}

// A delayed answer is held back, then announced through the notification:
// a carrier that sleeps in poll() learns of it without polling the model.
TEST(SimDevice, DelayedAnswerIsAnnouncedWhenDue)
{
    DeviceModel device;
    std::mutex mutex;
    std::condition_variable changed;
    int notified = 0;
    device.setToHostNotify([&] {
        std::lock_guard<std::mutex> lock(mutex);
        ++notified;
        changed.notify_all();
    });
    sim::Faults faults;
    faults.answerDelayMs = 100;
    device.setFaults(faults);

    auto start = std::chrono::steady_clock::now();
    device.fromHost(kQuery.data(), kQuery.size());
    device.sendHeartbeat(0); // queued behind the delayed answer, announced at once
    EXPECT_EQ(drain(device), Bytes{});
    // Not yet due, unless a slow machine took most of the delay to get here.
    if (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(80)) {
        EXPECT_FALSE(device.waitToHost(10));
    }
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(2), [&] { return notified == 2; }));
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_TRUE(device.waitToHost(0));
    EXPECT_EQ(drain(device), (Bytes{0x02, 0x00, 0x02, 0x02, 0x00, 0x00}));
    device.setToHostNotify(nullptr);
}

// A framed carrier hands whole packets both ways; a frame that ends inside a
// packet loses it.
TEST(SimDevice, FramesCarryWholePackets)
{
    DeviceModel device;
    const Bytes cut{0x02, 0x03, 23, 0x01};
    device.fromHostFrame(cut.data(), cut.size());
    device.fromHostFrame(kQuery.data(), kQuery.size());
    const Bytes echo{0x02, 0x02, 23, 0x55};
    device.fromHostFrame(echo.data(), echo.size());
    device.injectToHost({0x05});

    std::vector<Bytes> frames;
    Bytes frame;
    while (device.toHostFrame(frame)) frames.push_back(frame);
    EXPECT_EQ(frames, (std::vector<Bytes>{{0x02, 0x00}, echo, {0x05}}));
    EXPECT_EQ(device.records().framingErrors, 1u);
}

// Handlers extend the device: per command on its own address, per address
// for modules behind it.
TEST(SimDevice, HandlersAnswerTheirPackets)
{
    DeviceModel device;
    device.setCommandHandler(0x49, [](DeviceModel& d, const Packet& request) {
        d.answer(Packet{d.config().address, {0x49, request.data.at(1), 0, 0, 0x12, 0x34}});
    });
    device.setAddressHandler(0x10, [](DeviceModel& d, const Packet& request) {
        Packet reply = request;
        reply.data.push_back(0xEE);
        d.answer(reply);
    });
    feedSplit(device, {0x02, 0x02, 0x49, 0xFF, 0x10, 0x01, 0x07, 0x12, 0x01, 0x07});
    EXPECT_EQ(drain(device), (Bytes{0x02, 0x06, 0x49, 0xFF, 0, 0, 0x12, 0x34, 0x10, 0x02, 0x07, 0xEE}));

    device.setCommandHandler(0x49, nullptr);
    feedSplit(device, {0x02, 0x02, 0x49, 0xFF});
    EXPECT_EQ(drain(device), Bytes{});
}

// ---- over the carriers -----------------------------------------------------

TEST(SimSocketpair, ExchangesBytesWithTheHost)
{
    DeviceModel device;
    sim::SocketpairCarrier carrier(device);
    int host = carrier.hostFd();

    writeAll(host, concat({{0xAF, 0x01, 0x01}, repeat(kQuery, 6)}));
    EXPECT_EQ(readBytes(host, 12), repeat({0x02, 0x00}, 6));
    device.sendHeartbeat(0);
    EXPECT_EQ(readBytes(host, 4), (Bytes{0x02, 0x02, 0x00, 0x00}));
    writeAll(host, {0x02, 0x02, 0x00, 0x02});
    ASSERT_TRUE(device.waitFor([](const Records& r) { return r.heartbeatReplies.size() == 1; }, 2000));
    EXPECT_EQ(device.records().bytes, concat({{0xAF, 0x01, 0x01}, repeat(kQuery, 6), {0x02, 0x02, 0x00, 0x02}}));

    carrier.resetConnection();
    EXPECT_EQ(readBytes(host, 1), Bytes{}); // end of stream
    EXPECT_EQ(device.records().disconnects, 1u);
}

// While the device stalls, the host's socket fills and its writes would
// block; once it reads again, every byte arrives in order.
TEST(SimSocketpair, StalledReaderFillsTheHostsBuffer)
{
    DeviceModel device(sim::DeviceConfig{0x02, 0});
    sim::SocketpairCarrier carrier(device);
    int host = carrier.takeHostFd();
    carrier.setStallReading(true);
    fcntl(host, F_SETFL, fcntl(host, F_GETFL) | O_NONBLOCK);

    const Bytes packet{0x02, 0x03, 0x30, 0x31, 0x32};
    Bytes sent;
    for (;;) {
        ssize_t n = send(host, packet.data(), packet.size(), MSG_NOSIGNAL);
        if (n < 0) break;
        sent.insert(sent.end(), packet.begin(), packet.begin() + n);
        ASSERT_LT(sent.size(), 64u << 20) << "the send buffer never filled";
    }
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_TRUE(device.records().bytes.empty());

    carrier.setStallReading(false);
    ASSERT_TRUE(device.waitFor([&](const Records& r) { return r.bytes.size() == sent.size(); }, 5000));
    EXPECT_EQ(device.records().bytes, sent);
    close(host);
}

TEST(SimTcp, ServesConnectionsResetsAndRefuses)
{
    DeviceModel device(sim::DeviceConfig{0x04});
    sim::TcpCarrier carrier(device);
    ASSERT_NE(carrier.port(), 0);

    int host = connectTcp(carrier.port());
    ASSERT_GE(host, 0);
    writeAll(host, concat({repeat(kQuery, 2), {0x04, 0x02, 23, 0x42}}));
    EXPECT_EQ(readBytes(host, 8), (Bytes{0x04, 0x00, 0x04, 0x00, 0x04, 0x02, 23, 0x42}));

    carrier.resetConnection();
    uint8_t byte;
    pollfd p{host, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    EXPECT_EQ(recv(host, &byte, 1, 0), -1);
    EXPECT_EQ(errno, ECONNRESET);
    close(host);

    // The next connection is served afresh.
    host = connectTcp(carrier.port());
    ASSERT_GE(host, 0);
    ASSERT_TRUE(carrier.waitForConnections(2, 2000));
    writeAll(host, kQuery);
    EXPECT_EQ(readBytes(host, 2), (Bytes{0x04, 0x00}));

    carrier.setRefuseConnections(true);
    EXPECT_EQ(connectTcp(carrier.port()), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    writeAll(host, kQuery); // the served connection stays
    EXPECT_EQ(readBytes(host, 2), (Bytes{0x04, 0x00}));

    carrier.setRefuseConnections(false);
    int again = connectTcp(carrier.port());
    ASSERT_GE(again, 0);
    ASSERT_TRUE(carrier.waitForConnections(3, 2000));
    writeAll(again, kQuery); // the newest connection replaces the old one
    EXPECT_EQ(readBytes(again, 2), (Bytes{0x04, 0x00}));
    EXPECT_EQ(readBytes(host, 1), Bytes{});
    EXPECT_EQ(device.records().disconnects, 2u);
    close(host);
    close(again);
}

TEST(SimTcp, StalledReaderFillsTheHostsBuffer)
{
    DeviceModel device(sim::DeviceConfig{0x02, 0});
    sim::TcpCarrierOptions options;
    options.receiveBuffer = 4096;
    sim::TcpCarrier carrier(device, options);
    carrier.setStallReading(true);
    int host = connectTcp(carrier.port());
    ASSERT_GE(host, 0);
    ASSERT_TRUE(carrier.waitForConnections(1, 2000));
    fcntl(host, F_SETFL, fcntl(host, F_GETFL) | O_NONBLOCK);
    // A small send buffer keeps the backlog, which the device takes up once
    // it reads again, quick to take also under a sanitizer.
    int sendBuffer = 8192;
    setsockopt(host, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);

    const Bytes packet(30, 0x02);
    size_t sent = 0;
    for (int quiet = 0; quiet < 3;) { // the kernel may still move bytes while we fill
        ssize_t n = send(host, packet.data(), packet.size(), MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            ASSERT_LT(sent, 64u << 20) << "the send buffer never filled";
            continue;
        }
        ASSERT_EQ(errno, EAGAIN);
        pollfd p{host, POLLOUT, 0};
        if (poll(&p, 1, 50) == 0) ++quiet;
    }
    EXPECT_TRUE(device.records().bytes.empty());

    carrier.setStallReading(false);
    EXPECT_TRUE(device.waitFor([&](const Records& r) { return r.bytes.size() == sent; }, 5000));
    close(host);
}

// ---- the program ----------------------------------------------------------

const std::string kSimPath = std::string(TESS_BINARY_DIR) + "/tests/tessaline-sim";

TEST(SimProgram, ServesTheDeviceAndTakesCommands)
{
    sim::SimProgram sim(kSimPath, {"--address", "0x0A", "--answer-address", "0x0C"});
    uint16_t port = sim.port();
    int host = connectTcp(port);
    ASSERT_GE(host, 0);
    writeAll(host, concat({{0xAF, 0x01, 0x01}, kQuery}));
    EXPECT_EQ(readBytes(host, 2), (Bytes{0x0C, 0x00}));

    EXPECT_EQ(sim.run("packets"), (std::vector<std::string>{"AF 01 01", "AD 00", "ok"}));
    EXPECT_EQ(sim.run("counts"),
              (std::vector<std::string>{"bytes 5 packets 2 framing-errors 0 disconnects 0", "ok"}));
    EXPECT_EQ(sim.run("heartbeat 0"), (std::vector<std::string>{"ok"}));
    EXPECT_EQ(readBytes(host, 4), (Bytes{0x0A, 0x02, 0x00, 0x00})); // a heartbeat is no answer
    EXPECT_EQ(sim.run("silent maybe"), (std::vector<std::string>{"error expected on or off, not 'maybe'"}));
    EXPECT_EQ(sim.run("refuse on"), (std::vector<std::string>{"ok"}));
    EXPECT_EQ(connectTcp(port), -1);
    EXPECT_EQ(sim.run("quit"), (std::vector<std::string>{"<end>"}));
    EXPECT_EQ(sim.exitStatus(), 0);
    close(host);
}

TEST(SimProgram, RejectsBadOptions)
{
    EXPECT_EQ(sim::SimProgram(kSimPath, {"--address", "5"}).exitStatus(), 1);
    EXPECT_EQ(sim::SimProgram(kSimPath, {"--corrupt", "sometimes"}).exitStatus(), 2);
}

} // namespace
