#include "tests/sim/socketpair_carrier.h"

#include <cerrno>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace sim {

SocketpairCarrier::SocketpairCarrier(DeviceEndpoint& device) : loop_(device)
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) < 0)
        throw std::system_error(errno, std::generic_category(), "socketpair");
    hostFd_ = ends[0];
    loop_.pump().attach(ends[1]);
    loop_.start();
}

SocketpairCarrier::~SocketpairCarrier()
{
    if (hostFd_ >= 0) close(hostFd_);
}

int SocketpairCarrier::takeHostFd()
{
    int fd = hostFd_;
    hostFd_ = -1;
    return fd;
}

void SocketpairCarrier::resetConnection()
{
    loop_.run([this] { loop_.pump().drop(true); });
}

void SocketpairCarrier::setStallReading(bool stall)
{
    loop_.run([this, stall] { loop_.pump().setStalled(stall); });
}

} // namespace sim
