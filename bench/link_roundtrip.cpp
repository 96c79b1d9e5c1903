// Request and reply through a running link against the simulated device,
// beside a minimal client doing the same exchange straight on a socket to the
// same device in the same run: round trips per second, median latency and
// the ratio of the rates (best of several rounds each), over a socket pair and over TCP on 127.0.0.1; and the CPU time
// that one idle link over TCP uses. The TCP device is the tessaline-sim
// program, so that this process's CPU time is the link's alone.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench/roundtrip_measure.h"
#include "tests/common/link_harness.h"
#include "tests/sim/netns.h"
#include "tests/sim/sim_program.h"

namespace {

using namespace roundtrip;

constexpr int kWarmup = 100;
// Link and minimal client take turns, and the best round of each counts, so
// that the other load on the machine weighs alike on both.
const int kRounds = runLength(10, 2);
const int kIdleSeconds = runLength(5, 1);

Figures measureStreamLink(aStream* stream)
{
    linktest::TestLink link(stream);
    if (aLink_Start(link.id()) != aErrNone)
        return {};
    return measureLink(link.id(), kWarmup);
}

// The floor: the same request and reply with one blocking socket and nothing else.
Figures measureMinimal(int fd)
{
    std::vector<uint8_t> wire = requestWire();
    std::vector<uint8_t> reply(wire.size());
    auto exchange = [&] {
        if (send(fd, wire.data(), wire.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(wire.size()))
            return false;
        return recv(fd, reply.data(), reply.size(), MSG_WAITALL) == static_cast<ssize_t>(reply.size());
    };
    return measure(exchange, kWarmup);
}

// Set when a figure could not be measured: the run then fails.
bool failed = false;

void print(const std::string& carrier, const Figures& link, const Figures& minimal)
{
    if (link.perSecond <= 0 || minimal.perSecond <= 0)
        failed = true;
    std::printf("link.roundtrip.per_second.%s %.0f 1/s\n", carrier.c_str(), link.perSecond);
    std::printf("link.roundtrip.median_us.%s %.1f us\n", carrier.c_str(), link.medianUs);
    std::printf("link.minimal.roundtrip.per_second.%s %.0f 1/s\n", carrier.c_str(), minimal.perSecond);
    std::printf("link.minimal.roundtrip.median_us.%s %.1f us\n", carrier.c_str(), minimal.medianUs);
    double ratio = minimal.perSecond > 0 ? link.perSecond / minimal.perSecond : 0;
    std::printf("link.roundtrip.ratio.%s %.2f ratio\n", carrier.c_str(), ratio);
}

void socketpairRun()
{
    sim::DeviceModel device;
    Figures link, minimal;
    for (int round = 0; round < kRounds; round++) {
        {
            sim::SocketpairCarrier carrier(device);
            int fd = carrier.takeHostFd();
            aStream* stream = nullptr;
            if (aStream_AdoptSocket(fd, &stream) == aErrNone)
                link.keepBest(measureStreamLink(stream));
            close(fd);
        }
        sim::SocketpairCarrier carrier(device);
        minimal.keepBest(measureMinimal(carrier.hostFd()));
    }
    print("socketpair", link, minimal);
}

int connectTcp(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void tcpRun()
{
    sim::SimProgram device(std::string(TESS_BINARY_DIR) + "/tests/tessaline-sim", {"--no-records"});
    uint16_t port = device.port();
    if (!port) {
        std::fprintf(stderr, "link_roundtrip: tessaline-sim did not start\n");
        failed = true;
        return;
    }
    // The device serves one connection at a time: each new one replaces the last.
    Figures link, minimal;
    aStream* stream = nullptr;
    for (int round = 0; round < kRounds; round++) {
        if (aStream_CreateSocket(htonl(INADDR_LOOPBACK), port, &stream) == aErrNone)
            link.keepBest(measureStreamLink(stream));
        int fd = connectTcp(port);
        if (fd >= 0) {
            minimal.keepBest(measureMinimal(fd));
            close(fd);
        }
    }
    print("tcp", link, minimal);

    if (aStream_CreateSocket(htonl(INADDR_LOOPBACK), port, &stream) != aErrNone) {
        failed = true;
        return;
    }
    linktest::TestLink idle(stream);
    if (aLink_Start(idle.id()) != aErrNone) {
        failed = true;
        return;
    }
    double before = cpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
    double used = cpuSeconds() - before;
    std::printf("link.idle_cpu_percent.tcp %.3f %%\n", 100.0 * used / kIdleSeconds);
}

} // namespace

int main()
{
    std::string why;
    if (!sim::enterPrivateNetwork(&why)) {
        std::fprintf(stderr, "link_roundtrip: no private network: %s\n", why.c_str());
        return 1;
    }
    socketpairRun();
    tcpRun();
    return failed ? 1 : 0;
}
