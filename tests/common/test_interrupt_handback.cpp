// test-labels: integration netns
// The hand-back of interrupts that the messaging library caught. Each case
// runs in a child process, whose signal dispositions it may change and which
// an interrupt may end.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <czmq.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/aDiscovery.h"
#include "common/aLink.h"
#include "common/aLinkCreate.h"
#include "common/aServer.h"
#include "common/aStream_ZeroMQClient.h"
#include "common/zSysInterruptHandler.h"
#include "tests/common/found_devices.h"
#include "tests/sim/device_model.h"
#include "tests/sim/netns.h"
#include "tests/sim/tcp_carrier.h"

namespace {

// Runs body in a child process and returns its wait status.
template <typename Body>
int inChild(Body body)
{
    pid_t child = fork();
    if (child == 0) {
        body();
        _exit(100);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return status;
}

volatile sig_atomic_t ownHandlerCalls = 0;
void countCall(int)
{
    ownHandlerCalls = ownHandlerCalls + 1;
}

// With the default disposition, an interrupt the library caught ends the
// process as SIGINT once handed back, whichever of its two signals came.
TEST(InterruptHandback, CaughtInterruptEndsTheProcess)
{
    for (int signal : {SIGINT, SIGTERM}) {
        int status = inChild([signal] {
            zsys_init();
            raise(signal); // only sets the library's flag
            if (!zsys_interrupted) _exit(1);
            zSysInterruptHandler_process();
            _exit(2);
        });
        ASSERT_TRUE(WIFSIGNALED(status)) << "signal " << signal << ", exit " << WEXITSTATUS(status);
        EXPECT_EQ(SIGINT, WTERMSIG(status)) << "signal " << signal;
    }
}

// A handler installed before the library started is called once for the
// caught interrupt, however many threads hand it back, and takes later
// interrupts directly.
TEST(InterruptHandback, OwnHandlerGetsTheInterruptOnce)
{
    int status = inChild([] {
        struct sigaction action {};
        action.sa_handler = countCall;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, nullptr);
        zsys_init();
        zSysInterruptHandler_process(); // nothing caught yet
        int before = ownHandlerCalls;
        raise(SIGINT);
        int caught = ownHandlerCalls;
        std::vector<std::thread> workers;
        for (int i = 0; i < 4; ++i)
            workers.emplace_back([] {
                for (int j = 0; j < 3; ++j) zSysInterruptHandler_process();
            });
        for (auto& worker : workers) worker.join();
        int handedBack = ownHandlerCalls;
        raise(SIGINT);
        _exit(before * 1000 + caught * 100 + handedBack * 10 + ownHandlerCalls);
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(12, WEXITSTATUS(status)) << "calls: before, caught by the library, handed back, after";
}

// Runs the road in a child and, once it is over, sends the child the signal
// from outside: the child's wait status. A child that the signal does not
// end leaves after about five seconds with status 0.
int signalAfter(void (*road)(), int signal)
{
    int ready[2];
    if (pipe(ready) != 0) return -1;
    pid_t child = fork();
    if (child == 0) {
        close(ready[0]);
        road();
        const char over = 1;
        if (write(ready[1], &over, 1) != 1) _exit(3);
        for (int i = 0; i < 50; ++i) usleep(100 * 1000);
        _exit(0);
    }
    close(ready[1]);
    char over = 0;
    if (read(ready[0], &over, 1) == 1) kill(child, signal);
    close(ready[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return status;
}

void clientStreamDestroyed()
{
    aStream* stream = nullptr;
    if (aStream_CreateClient(htonl(INADDR_LOOPBACK), 9, &stream) != aErrNone) _exit(4);
    aStream_Destroy(&stream);
}

bool none(const linkSpec*, bool*, void*)
{
    return true;
}

void beaconSearchOver()
{
    if (!sim::enterPrivateNetwork() || !sim::addVethPair("ti0", "10.79.0.1/24", "ti1", "10.79.0.2/24")) _exit(4);
    aDiscovery_Enumerate_aVorneModules(none, nullptr, sim::ipv4("10.79.0.1"));
}

void serverDestroyed()
{
    sim::DeviceModel device(sim::DeviceConfig{0x02, sim::kEchoCommand, 0x0BADF00D, 0x13, true});
    sim::TcpCarrier carrier(device);
    aLinkId link = aLink_CreateTCPIP(0x0BADF00D, htonl(INADDR_LOOPBACK), carrier.port());
    aServer* server = link ? aServer_Create(link, 0, aSERVER_FLAG_LOCAL_ONLY) : nullptr;
    if (!server || aServer_Start(server) != aErrNone) _exit(4);
    aServer_Destroy(&server);
    aLink_Destroy(&link);
}

// Once the messaging work of a road is over, no wait is left to hand an
// interrupt back: the signal must reach the process directly.
TEST(InterruptHandback, SignalsEndTheProcessAfterMessagingWorkEnds)
{
    const struct {
        const char* road;
        void (*run)();
    } roads[] = {
        {"client stream destroyed", clientStreamDestroyed},
        {"beacon search over", beaconSearchOver},
        {"server destroyed", serverDestroyed},
    };
    for (const auto& road : roads) {
        for (int signal : {SIGINT, SIGTERM}) {
            int status = signalAfter(road.run, signal);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal)
                << road.road << ", signal " << signal << ": status " << status;
        }
    }
}

} // namespace
