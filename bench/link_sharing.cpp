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
// and bare messaging round trips show the rest). A direct round trip is the
// device's answer and two wake-ups (device, caller). On these machines a
// thread woken from sleep costs 15-70 us, more the longer it slept, so the
// shared path keeps its threads from sleeping mid-request: the client
// stream's broker task and reader, the server's broker and worker look again
// for 300 us after input before they sleep, and a FIFO waiter spins as long
// (past 50 us yielding at each look, so that a busy machine loses nothing).
// The holder's own link joins its server over an in-process endpoint, and
// the worker reads the device's answer itself as a caller of the device
// link. A holder's request then crosses, each hop a message between threads
// that are awake (3-5 us each; a bare in-process DEALER/ROUTER round trip
// takes 6-9 us spinning, 10-15 us sleeping):
//   caller -> client stream's broker task (pair) -> server's broker
//          (in-process frontend) -> worker (pair) -> device link, written
//          from the worker's thread
//   device answers -> worker (reading) -> broker (pair: command, reply) ->
//          broker task (frontend) -> client link's reader (pair) -> caller
//          (FIFO)
// about 8 hops on top of the direct round trip: 50-60 us at best; measured
// 75-105 us, a ratio of 0.18-0.25.
// A client in another process crosses the same hops, but its frames go
// over loop-back TCP through the messaging library's I/O thread in each
// process, a wake-up at each end each way, which no thread of ours can keep
// awake: the benchmark prints that bare round trip too
// (sharing.messaging_roundtrip.median_us.tcp, 60-165 us here by load and
// placement; .inproc for the in-process pair, 9-27 us). The client's figure
// is that plus the hops above (measured 125-240 us, a ratio of 0.08-0.15). A
// shared request within 3 times a direct one (under 60 us) would cost less
// than the library's TCP path by itself.
// Idle, nothing spins: the holder's threads wake about 80 times a second,
// 60 of them the device link's reader looking every 20 ms whether it is
// being stopped.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <czmq.h>

#include <atomic>
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

// ---- the messaging library alone ----------------------------------------

// Echoes every frame that reaches the ROUTER until the pipe speaks: the far
// end of a bare round trip, with no thread of ours between.
void echoRouter(zsock_t* pipe, void* argument)
{
    auto* router = static_cast<zsock_t*>(argument);
    zpoller_t* poller = zpoller_new(pipe, router, nullptr);
    zsock_signal(pipe, 0);
    while (void* which = zpoller_wait(poller, -1)) {
        if (which == pipe) break;
        zmsg_t* message = zmsg_recv(router);
        if (message) zmsg_send(&message, router);
    }
    zpoller_destroy(&poller);
}

// A ROUTER bound to the endpoint ("*" for a port) with the echo running.
struct EchoRouter {
    explicit EchoRouter(const char* endpoint)
    {
        router = zsock_new(ZMQ_ROUTER);
        port = zsock_bind(router, "%s", endpoint);
        echo = zactor_new(echoRouter, router);
    }
    ~EchoRouter()
    {
        zactor_destroy(&echo);
        zsock_destroy(&router);
    }
    zsock_t* router = nullptr;
    int port = -1;
    zactor_t* echo = nullptr;
};

// The median round trip of one 30-byte frame from a DEALER connected to the
// endpoint, blocking in each receive: the floor the messaging library sets
// under every shared request.
Figures messagingRoundTrip(const std::string& endpoint)
{
    zsock_t* dealer = zsock_new(ZMQ_DEALER);
    zsock_set_rcvtimeo(dealer, 1000);
    const std::vector<uint8_t> wire = requestWire();
    Figures figures;
    if (zsock_connect(dealer, "%s", endpoint.c_str()) == 0)
        figures = measure(
            [&] {
                zframe_t* frame = zframe_new(wire.data(), wire.size());
                if (zframe_send(&frame, dealer, 0) != 0) return false;
                zframe_t* back = zframe_recv(dealer);
                const bool ok = back && zframe_size(back) == wire.size();
                zframe_destroy(&back);
                return ok;
            },
            kWarmup);
    zsock_destroy(&dealer);
    return figures;
}

// ---- the holder process -------------------------------------------------

// Shares the device at the port, prints the server's port (0 when it could
// not), then answers commands on standard input, each closed by "ok":
// "measure" prints "figures <per second> <median us>" of its own link,
// "cpu" prints "cpu <seconds>" used so far, "quit" (or the end of input) ends.
// It also runs a bare echo ROUTER on loop-back TCP, whose port (-1 when it
// could not bind) is the second line.
int runHolder(uint16_t devicePort, uint32_t serial)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    aLinkId device = aLink_CreateTCPIP(serial, kLoopback, devicePort);
    uint16_t port = 0;
    uint32_t served = kLoopback;
    aLinkId own = device ? aLink_CreateServer(device, &port, &served, aSERVER_FLAG_LOCAL_ONLY) : 0;
    if (!own && device) aLink_Destroy(&device);
    EchoRouter bare("tcp://127.0.0.1:*");
    std::printf("%u\n%d\n", own ? port : 0, bare.port);
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
    const std::string barePort = holder.line();
    aLinkId direct = aLink_CreateTCPIP(kDirectSerial, kLoopback, directDevice.carrier.port());
    aLinkId client = serverPort ? aLink_CreateClient(kLoopback, serverPort, 0) : 0;
    if (!direct || !client || aLink_AwaitClientConnection(client, kConnectWaitMs) != aErrNone) {
        std::fprintf(stderr, "link_sharing: direct %u, server port %u, client %u\n", direct, serverPort, client);
        failed = true;
        if (direct) aLink_Destroy(&direct);
        if (client) aLink_Destroy(&client);
        return;
    }

    Figures directFigures, holderFigures, clientFigures, bareInProcess, bareTcp;
    std::vector<double> values;
    EchoRouter inProcess("inproc://link-sharing-bare");
    for (int round = 0; round < kRounds; round++) {
        directFigures.keepBest(measureLink(direct, kWarmup));
        clientFigures.keepBest(measureLink(client, kWarmup));
        if (answer(holder, "measure", "figures", &values) && values.size() == 2)
            holderFigures.keepBest({values[0], values[1]});
        bareInProcess.keepBest(messagingRoundTrip("inproc://link-sharing-bare"));
        bareTcp.keepBest(messagingRoundTrip("tcp://127.0.0.1:" + barePort));
    }
    if (directFigures.medianUs <= 0 || holderFigures.medianUs <= 0 || clientFigures.medianUs <= 0 ||
        bareInProcess.medianUs <= 0 || bareTcp.medianUs <= 0)
        failed = true;
    std::printf("sharing.roundtrip.median_us.direct %.1f us\n", directFigures.medianUs);
    std::printf("sharing.roundtrip.median_us.holder %.1f us\n", holderFigures.medianUs);
    std::printf("sharing.roundtrip.median_us.client %.1f us\n", clientFigures.medianUs);
    std::printf("sharing.roundtrip.ratio.holder %.2f ratio\n", ratio(directFigures, holderFigures));
    std::printf("sharing.roundtrip.ratio.client %.2f ratio\n", ratio(directFigures, clientFigures));
    // The messaging library's own round trip under each: between two threads
    // of one process in-process, and between two processes over loop-back TCP.
    std::printf("sharing.messaging_roundtrip.median_us.inproc %.1f us\n", bareInProcess.medianUs);
    std::printf("sharing.messaging_roundtrip.median_us.tcp %.1f us\n", bareTcp.medianUs);

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
