#include "tests/sim/quiet_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace sim {

namespace {

[[noreturn]] void _fail(const char* what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

QuietListener::QuietListener(Queue queue)
{
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) _fail("QuietListener: socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    // A backlog of 0 holds one connection.
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, queue == Queue::Full ? 0 : 16) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const int error = errno;
        close(listener_);
        errno = error;
        _fail("QuietListener: listen");
    }
    port_ = ntohs(address.sin_port);
    if (queue == Queue::Open) return;
    queued_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (queued_ < 0 || connect(queued_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        if (queued_ >= 0) close(queued_);
        close(listener_);
        errno = error;
        _fail("QuietListener: filling the queue");
    }
}

QuietListener::~QuietListener()
{
    if (queued_ >= 0) close(queued_);
    close(listener_);
}

std::string QuietListener::url(const std::string& scheme) const
{
    return scheme + "://127.0.0.1:" + std::to_string(port_) + "/cgi/u";
}

} // namespace sim
