// The hand-back of interrupts that the messaging library caught. Each case
// runs in a child process, whose signal dispositions it may change and which
// an interrupt may end.
#include <gtest/gtest.h>

#include <csignal>
#include <czmq.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/zSysInterruptHandler.h"

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

} // namespace
