#include "common/zSysInterruptHandler.h"

#include <czmq.h>
#include <mutex>
#include <signal.h>
#include <unistd.h>

namespace {

std::mutex _sigint_mutex;
bool _sigint_latch = false; // the process has raised its interrupt

} // namespace

namespace {

// Under _sigint_mutex.
void sHandBack()
{
    // No handler: the library puts back the handlers it saved and handles
    // no more signals.
    zsys_handler_set(nullptr);
    if (zsys_interrupted && !_sigint_latch) {
        kill(getpid(), SIGINT);
        _sigint_latch = true;
    }
    zsys_handler_reset();
}

} // namespace

void zSysInterruptHandler_process()
{
    if (zsys_interrupted == 0) return;
    std::lock_guard<std::mutex> lock(_sigint_mutex);
    sHandBack();
}

void zSysInterruptHandler_handBack()
{
    std::lock_guard<std::mutex> lock(_sigint_mutex);
    sHandBack();
}
