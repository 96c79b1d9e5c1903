#include "tests/sim/tcp_carrier.h"

#include <arpa/inet.h>
#include <cerrno>
#include <exception>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace sim {

namespace {

[[noreturn]] void fail(const char* what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

TcpCarrier::TcpCarrier(DeviceEndpoint& device, TcpCarrierOptions options)
    : options_(std::move(options)), port_(options_.port), loop_(device)
{
    openListener();
    loop_.start();
}

TcpCarrier::~TcpCarrier()
{
    loop_.run([this] { closeListener(); });
}

void TcpCarrier::openListener()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) fail("socket");
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (options_.receiveBuffer > 0) // inherited by accepted sockets, set before listen for the window
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &options_.receiveBuffer, sizeof options_.receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    if (inet_pton(AF_INET, options_.address.c_str(), &address.sin_addr) != 1) {
        close(fd);
        errno = EINVAL;
        fail("listen address");
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 || listen(fd, 8) < 0) {
        int error = errno;
        close(fd);
        errno = error;
        fail("bind/listen");
    }
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    listenFd_ = fd;
    loop_.setListener(listenFd_, [this] { accept(); });
}

void TcpCarrier::closeListener()
{
    if (listenFd_ < 0) return;
    loop_.setListener(-1, nullptr);
    close(listenFd_);
    listenFd_ = -1;
}

bool TcpCarrier::accept()
{
    int fd = listenFd_ < 0 ? -1 : accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return false; // none waiting, or the host gave up before we took it
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    loop_.pump().attach(fd);
    loop_.pump().setStalled(stalled_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++connections_;
    }
    accepted_.notify_all();
    return true;
}

void TcpCarrier::resetConnection()
{
    loop_.run([this] { loop_.pump().drop(true); });
}

void TcpCarrier::closeConnection()
{
    loop_.run([this] { loop_.pump().drop(false); });
}

void TcpCarrier::setRefuseConnections(bool refuse)
{
    std::exception_ptr failure;
    loop_.run([this, refuse, &failure] {
        try {
            if (refuse) closeListener();
            else if (listenFd_ < 0) openListener();
        } catch (const std::system_error&) {
            failure = std::current_exception();
        }
    });
    if (failure) std::rethrow_exception(failure);
}

void TcpCarrier::setStallReading(bool stall)
{
    loop_.run([this, stall] {
        stalled_ = stall;
        loop_.pump().setStalled(stall);
    });
}

size_t TcpCarrier::connections()
{
    // A connection the host has made may still wait in the listen queue: take
    // those first, so that the count is what the host sees.
    loop_.run([this] {
        while (accept()) {
        }
    });
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
}

bool TcpCarrier::waitForConnections(size_t count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return accepted_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return connections_ >= count; });
}

} // namespace sim
