#include "tests/sim/socket_pump.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sim {

namespace {
constexpr size_t kChunk = 4096;
}

SocketPump::SocketPump(DeviceEndpoint& device) : device_(device) {}

SocketPump::~SocketPump()
{
    if (fd_ >= 0) close(fd_);
}

void SocketPump::attach(int fd)
{
    if (fd_ >= 0) drop(false);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fd_ = fd;
}

void SocketPump::drop(bool reset)
{
    if (fd_ < 0) return;
    if (reset) {
        linger hard{1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    close(fd_);
    fd_ = -1;
    pending_.clear();
    pendingOffset_ = 0;
    device_.hostDisconnected();
}

void SocketPump::flush()
{
    while (fd_ >= 0) {
        if (pendingOffset_ == pending_.size()) {
            pending_.resize(kChunk);
            pending_.resize(device_.toHost(pending_.data(), kChunk));
            pendingOffset_ = 0;
            if (pending_.empty()) return;
        }
        ssize_t n = send(fd_, pending_.data() + pendingOffset_, pending_.size() - pendingOffset_, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) drop(false);
            return;
        }
        pendingOffset_ += static_cast<size_t>(n);
    }
}

short SocketPump::events() const
{
    short events = 0;
    if (!stalled_) events |= POLLIN;
    if (pendingOffset_ < pending_.size()) events |= POLLOUT;
    return events;
}

void SocketPump::service(short revents)
{
    if (fd_ < 0) return;
    if ((revents & POLLIN) && !stalled_) {
        if (!readHost()) return;
    } else if (revents & (POLLHUP | POLLERR)) {
        drop(false);
        return;
    }
    if (revents & POLLOUT) flush();
}

bool SocketPump::readHost()
{
    uint8_t buffer[kChunk];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n > 0) {
        device_.fromHost(buffer, static_cast<size_t>(n));
        return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
    drop(false); // end of stream or a reset
    return false;
}

} // namespace sim
