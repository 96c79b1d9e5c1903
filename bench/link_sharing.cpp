// Round trips through a shared link beside a direct one, in one run: the
// median echo round trip of a direct TCP link (sharing off), of the holder's
// own link (through the server it runs in its process) and of a client link
// in a second process, the ratios direct / shared of those medians (best of
// several rounds each, taken in turns so that the load on the machine weighs
// alike), and the CPU time of a holder with one client connected and idle.
// The holder is this program started again with --holder. Each link has a
// simulated device of its own behind TCP (a device serves one connection at
// a time), both run by this process, so that the holder's CPU time is its own.
//
// Where the time goes (perf record -e cpu-clock shows little CPU on the way:
// poll, clock reads and the messaging library; timestamps at each hand-over
// show the rest). A direct round trip is the device's answer and two
// wake-ups (device, caller). On the shared path every hand-over between
// threads wakes a thread that has slept since the last request, and such a
// wake costs 15-70 us here, more the longer the thread slept. A holder's
// request, hop by hop, median us on a loaded machine:
//   caller -> client link's writer (FIFO)                         60
//          (skipped now: the caller sends on the stream's pair itself)
//   writer or caller -> client stream's broker task (pair)        75
//   broker task -> server's broker (ZeroMQ over TCP, through the
//          library's I/O thread on either side)                    90
//   server's broker -> synchronous-command worker (pair)          20-30
//   worker: drain, put; device link writes at once                15-50
//   device answers -> device link's reader thread (socket)       100-150
//   reader -> worker (FIFO)                                       15-25
//   worker -> server's broker (pair: command, then reply)         70-95
//   server's broker -> broker task (TCP, two I/O threads)         35-60
//   broker task -> client link's reader (pair)                    20-50
//   reader -> caller (FIFO)                                       15-30
// A client in another process crosses the same hops. The floor with these
// threads: one ZeroMQ round trip over TCP between two threads alone takes
// 70-200 us here (by load), four in-process hand-overs at least 6 us each,
// plus the direct round trip: about 120 us on a quiet machine, a ratio of
// about 0.18: a shared request within 3 times a direct one would cost less
// than the messaging library's TCP path by itself. Idle, the holder's threads wake about 80 times a
// second, 60 of them the device link's reader looking every 20 ms whether
// it is being stopped.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/roundtrip_measure.h"
#include "common/aLinkCreate.h"
#include "common/aServer.h"
#include "tests/sim/device_model.h"
#include "tests/sim/netns.h"
#include "tests/sim/sim_program.h"
#include "tests/sim/system_entity.h"
#include "tests/sim/tcp_carrier.h"
#include "tests/sim/uei_entities.h"

namespace {

using namespace roundtrip;

constexpr int kWarmup = 100;
const int kRounds = runLength(5, 2);
const int kIdleSeconds = runLength(5, 1);
constexpr uint32_t kConnectWaitMs = 2000;
const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

constexpr uint32_t kDirectSerial = 0x5A000001;
constexpr uint32_t kSharedSerial = 0x5A000002;

// A device that answers echoes and, as a server's questions about the device
// need, the system entity.
struct Device {
    explicit Device(uint32_t serial) : model(config(serial))
    {
        sim::SystemValues values = sim::systemValues(model.config());
        values.model = 19;
        sim::installSystemEntity(entities, values);
    }
    static sim::DeviceConfig config(uint32_t serial)
    {
        sim::DeviceConfig c;
        c.serialNumber = serial;
        c.recordTraffic = false;
        return c;
    }
    sim::DeviceModel model;
    sim::UeiEntities entities{model};
    sim::TcpCarrier carrier{model};
};

// ---- the holder process -------------------------------------------------

// Shares the device at the port, prints the server's port (0 when it could
// not), then answers commands on standard input, each closed by "ok":
// "measure" prints "figures <per second> <median us>" of its own link,
// "cpu" prints "cpu <seconds>" used so far, "quit" (or the end of input) ends.
int runHolder(uint16_t devicePort, uint32_t serial)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    aLinkId device = aLink_CreateTCPIP(serial, kLoopback, devicePort);
    uint16_t port = 0;
    uint32_t served = kLoopback;
    aLinkId own = device ? aLink_CreateServer(device, &port, &served, aSERVER_FLAG_LOCAL_ONLY) : 0;
    if (!own && device) aLink_Destroy(&device);
    std::printf("%u\n", own ? port : 0);
    std::fflush(stdout);
    for (std::string command; std::getline(std::cin, command) && command != "quit";) {
        if (command == "measure") {
            Figures figures = own ? measureLink(own, kWarmup) : Figures{};
            std::printf("figures %.3f %.3f\n", figures.perSecond, figures.medianUs);
        } else if (command == "cpu") {
            std::printf("cpu %.6f\n", cpuSeconds());
        }
        std::printf("ok\n");
        std::fflush(stdout);
    }
    if (own) aLink_Destroy(&own);
    return 0;
}

// ---- this process -------------------------------------------------------

// The value after the word on the first line of the answer that begins with it.
bool answer(sim::SimProgram& holder, const std::string& command, const std::string& word, std::vector<double>* values)
{
    for (const std::string& line : holder.run(command)) {
        std::istringstream in(line);
        std::string first;
        if (!(in >> first) || first != word) continue;
        values->clear();
        for (double value; in >> value;) values->push_back(value);
        return true;
    }
    return false;
}

bool failed = false;

double ratio(const Figures& direct, const Figures& shared)
{
    return shared.medianUs > 0 ? direct.medianUs / shared.medianUs : 0;
}

void run(const char* self)
{
    Device directDevice(kDirectSerial);
    Device sharedDevice(kSharedSerial);
    sim::SimProgram holder(self, {"--holder", std::to_string(sharedDevice.carrier.port()), std::to_string(kSharedSerial)});
    const uint16_t serverPort = holder.port();
    aLinkId direct = aLink_CreateTCPIP(kDirectSerial, kLoopback, directDevice.carrier.port());
    aLinkId client = serverPort ? aLink_CreateClient(kLoopback, serverPort, 0) : 0;
    if (!direct || !client || aLink_AwaitClientConnection(client, kConnectWaitMs) != aErrNone) {
        std::fprintf(stderr, "link_sharing: direct %u, server port %u, client %u\n", direct, serverPort, client);
        failed = true;
        if (direct) aLink_Destroy(&direct);
        if (client) aLink_Destroy(&client);
        return;
    }

    Figures directFigures, holderFigures, clientFigures;
    std::vector<double> values;
    for (int round = 0; round < kRounds; round++) {
        directFigures.keepBest(measureLink(direct, kWarmup));
        clientFigures.keepBest(measureLink(client, kWarmup));
        if (answer(holder, "measure", "figures", &values) && values.size() == 2)
            holderFigures.keepBest({values[0], values[1]});
    }
    if (directFigures.medianUs <= 0 || holderFigures.medianUs <= 0 || clientFigures.medianUs <= 0) failed = true;
    std::printf("sharing.roundtrip.median_us.direct %.1f us\n", directFigures.medianUs);
    std::printf("sharing.roundtrip.median_us.holder %.1f us\n", holderFigures.medianUs);
    std::printf("sharing.roundtrip.median_us.client %.1f us\n", clientFigures.medianUs);
    std::printf("sharing.roundtrip.ratio.holder %.2f ratio\n", ratio(directFigures, holderFigures));
    std::printf("sharing.roundtrip.ratio.client %.2f ratio\n", ratio(directFigures, clientFigures));

    // The holder with this process's client link connected, both idle.
    std::vector<double> before, after;
    bool measured = answer(holder, "cpu", "cpu", &before) && !before.empty();
    std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
    measured = measured && answer(holder, "cpu", "cpu", &after) && !after.empty();
    if (!measured) failed = true;
    const double used = measured ? after[0] - before[0] : 0;
    std::printf("sharing.idle_cpu_percent %.3f %%\n", 100.0 * used / kIdleSeconds);

    aLink_Destroy(&client);
    aLink_Destroy(&direct);
    holder.run("quit");
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "--holder")
        return runHolder(static_cast<uint16_t>(std::stoul(argv[2])), static_cast<uint32_t>(std::stoul(argv[3])));
    std::string why;
    if (!sim::enterPrivateNetwork(&why)) {
        std::fprintf(stderr, "link_sharing: no private network: %s\n", why.c_str());
        return 1;
    }
    run("/proc/self/exe");
    return failed ? 1 : 0;
}
