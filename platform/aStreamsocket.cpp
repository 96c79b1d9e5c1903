#include "platform/aStreamsocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <thread>

namespace {

constexpr uint16_t kSocketCheck = 0xDEAD;
constexpr uint32_t kFlagConnected = 0x1;
constexpr int kWriteAttempts = 10;
// Longest wait for room in the connection before a write tries again.
constexpr int kWritePauseMs = 60;
constexpr auto kClosePause = std::chrono::milliseconds(10);
constexpr size_t kReceiveSize = 1024;
// Longest wait for a connection to be made: an address that does not answer
// fails in this time instead of after the system's minutes of retries.
constexpr int kConnectTimeoutMs = 2000;

// The stream's reference. The reader thread calls get and wait, the writer
// thread write and put; either may close the connection, and the writer
// re-makes it after a block it could send only in part. Every use of the
// socket holds `guard` shared, a reconnection holds it alone, so that no
// thread ever uses a descriptor that another one closed.
struct SocketStream {
    uint16_t port = 0;
    sockaddr_in address = {};
    std::atomic<int> socket{-1};
    std::atomic<uint32_t> flags{0};
    uint16_t check = 0;
    // The caller's socket: never closed or re-made here.
    bool adopted = false;

    std::shared_mutex guard;
    // Grows with every connection made, so that two threads that saw the same
    // connection fail make only one new one. Changed under `guard` alone.
    uint32_t generation = 0;

    // Read side only: bytes received and not yet handed out.
    uint8_t received[kReceiveSize] = {};
    size_t receivedNext = 0;
    size_t receivedCount = 0;
};

bool sValid(const SocketStream* ref)
{
    return ref && ref->check == kSocketCheck;
}

bool sConnected(const SocketStream* ref)
{
    return ref->flags.load() & kFlagConnected;
}

// Closes the connection when one is open, then pauses briefly so that the
// device sees the reset before anything new arrives. Caller holds `guard` alone.
void sClose(SocketStream* ref)
{
    int fd = ref->socket.exchange(-1);
    ref->flags.fetch_and(~kFlagConnected);
    if (fd < 0 || ref->adopted)
        return;
    ::close(fd);
    std::this_thread::sleep_for(kClosePause);
}

aErr sSetOptions(int fd)
{
    int on = 1;
    timeval noTimeout = {};
    linger reset = {1, 0};
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0
        || setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof noTimeout) != 0
        || setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset) != 0
        || ioctl(fd, FIONBIO, &on) != 0)
        return aErrIO;
    return aErrNone;
}

// Connects the non-blocking socket within kConnectTimeoutMs: 0 or the errno
// of the failure, ETIMEDOUT when the time ran out.
int sConnectBounded(int fd, const sockaddr_in& address)
{
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return 0;
    if (errno != EINPROGRESS)
        return errno;
    pollfd writable = {fd, POLLOUT, 0};
    // A signal cuts the wait short, not the connection: wait on for the rest.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kConnectTimeoutMs);
    int ready;
    do {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        ready = ::poll(&writable, 1, left > 0 ? static_cast<int>(left) : 0);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0)
        return ETIMEDOUT;
    if (ready < 0)
        return errno;
    int err = 0;
    socklen_t size = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &size) != 0)
        return errno;
    return err;
}

// Makes a new connection to the stored address. Caller holds `guard` alone.
aErr sSocketStreamReset(SocketStream* ref)
{
    if (!sValid(ref))
        return aErrInitialization;
    sClose(ref);
    if (ref->adopted)
        return aErrConnection;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return aErrIO;
    int failure = sConnectBounded(fd, ref->address);
    if (failure != 0) {
        ::close(fd);
        std::this_thread::sleep_for(kClosePause);
        bool refused = failure == ECONNREFUSED || failure == ECONNRESET || failure == ETIMEDOUT
            || failure == EAGAIN;
        return refused ? aErrConnection : aErrIO;
    }
    ref->socket.store(fd);
    ref->flags.fetch_or(kFlagConnected);
    ref->generation++;
    aErr err = sSetOptions(fd);
    if (err != aErrNone)
        sClose(ref);
    return err;
}

// Re-makes the connection that failed while `seen` was the generation in use;
// when the other thread has re-made it meanwhile, its connection is kept.
aErr sReconnect(SocketStream* ref, uint32_t seen)
{
    std::unique_lock<std::shared_mutex> alone(ref->guard);
    if (ref->generation != seen)
        return sConnected(ref) ? aErrNone : aErrConnection;
    ref->flags.fetch_and(~kFlagConnected);
    return sSocketStreamReset(ref);
}

bool sLostConnection(int err)
{
    return err == ECONNRESET || err == ENOTCONN || err == ETIMEDOUT;
}

// The device ended the connection that was in use while `seen` was the
// generation: it has gone away (restarting, say), as a USB device that leaves
// the bus. The stream stays down, so that its link sees the loss; a new link
// or a reset of this one connects again.
aErr sLost(SocketStream* ref, uint32_t seen)
{
    std::unique_lock<std::shared_mutex> alone(ref->guard);
    if (ref->generation == seen)
        sClose(ref);
    return aErrConnection;
}

// One non-blocking receive into the read buffer: the number of bytes, 0 when
// the peer has closed, -1 with errno otherwise.
ssize_t sReceive(SocketStream* ref, uint32_t* seen, int* err)
{
    std::shared_lock<std::shared_mutex> shared(ref->guard);
    *seen = ref->generation;
    ssize_t n = ::recv(ref->socket.load(), ref->received, sizeof ref->received, MSG_DONTWAIT);
    *err = errno;
    if (n > 0) {
        ref->receivedNext = 0;
        ref->receivedCount = static_cast<size_t>(n);
    }
    return n;
}

aErr sTakeByte(SocketStream* ref, uint8_t* byte)
{
    *byte = ref->received[ref->receivedNext++];
    ref->receivedCount--;
    return aErrNone;
}

aErr sSocketStreamGet(uint8_t* byte, void* reference)
{
    auto* ref = static_cast<SocketStream*>(reference);
    if (!sValid(ref) || !byte)
        return aErrParam;
    if (ref->receivedCount)
        return sTakeByte(ref, byte);
    if (!sConnected(ref))
        return aErrConnection;

    uint32_t seen = 0;
    int err = 0;
    ssize_t n = sReceive(ref, &seen, &err);
    if (n > 0)
        return sTakeByte(ref, byte);
    if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK || err == EINTR))
        return aErrNotReady;
    // Closed in an orderly way (0 bytes) or reset by the device.
    if (n == 0 || sLostConnection(err))
        return sLost(ref, seen);
    return aErrConnection;
}

// Waits until the connection takes bytes again, kWritePauseMs at most.
void sAwaitRoom(SocketStream* ref)
{
    std::shared_lock<std::shared_mutex> shared(ref->guard);
    pollfd writable = {ref->socket.load(), POLLOUT, 0};
    ::poll(&writable, 1, kWritePauseMs);
}

aErr sSocketStreamWrite(const uint8_t* data, size_t count, void* reference)
{
    auto* ref = static_cast<SocketStream*>(reference);
    if (!sValid(ref) || (!data && count))
        return aErrParam;
    if (!sConnected(ref))
        return aErrConnection;

    size_t sent = 0;
    int attempts = 0;
    while (attempts < kWriteAttempts) {
        if (!sConnected(ref))
            return aErrConnection;
        uint32_t seen = 0;
        ssize_t n = 0;
        int err = 0;
        {
            std::shared_lock<std::shared_mutex> shared(ref->guard);
            // The reader may have closed the lost connection since the check above.
            int fd = ref->socket.load();
            if (fd < 0)
                return aErrConnection;
            seen = ref->generation;
            n = ::send(fd, data + sent, count - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            err = errno;
        }
        if (n < 0 && err == EINTR)
            continue;
        if (n >= 0) {
            sent += static_cast<size_t>(n);
            if (sent == count)
                return aErrNone;
            attempts = 1;
        } else if (err == EAGAIN || err == EWOULDBLOCK) {
            attempts++;
        } else if (err == EPIPE || err == ECONNRESET || err == ENOTCONN) {
            return sLost(ref, seen);
        } else {
            return aErrIO;
        }
        sAwaitRoom(ref);
    }
    if (sent == 0) {
        // The block is dropped whole; the traffic above notices by its own time-outs.
        return aErrNone;
    }
    // The device holds the start of a block whose rest never comes: only a
    // new connection puts its framing back in step.
    uint32_t seen = 0;
    {
        std::shared_lock<std::shared_mutex> shared(ref->guard);
        seen = ref->generation;
    }
    sReconnect(ref, seen);
    return aErrTimeout;
}

// One send without waiting: what the connection takes now.
aErr sSocketStreamTryWrite(const uint8_t* data, size_t count, size_t* written, void* reference)
{
    auto* ref = static_cast<SocketStream*>(reference);
    if (!sValid(ref) || (!data && count) || !written)
        return aErrParam;
    *written = 0;
    if (!sConnected(ref))
        return aErrConnection;
    for (;;) {
        uint32_t seen = 0;
        ssize_t n = 0;
        int err = 0;
        {
            // A thread that closes or re-makes the connection holds the
            // guard for a while: nothing goes out now.
            std::shared_lock<std::shared_mutex> shared(ref->guard, std::try_to_lock);
            if (!shared.owns_lock())
                return aErrNone;
            int fd = ref->socket.load();
            if (fd < 0)
                return aErrConnection;
            seen = ref->generation;
            n = ::send(fd, data, count, MSG_NOSIGNAL | MSG_DONTWAIT);
            err = errno;
        }
        if (n >= 0) {
            *written = static_cast<size_t>(n);
            return aErrNone;
        }
        if (err == EINTR)
            continue;
        if (err == EAGAIN || err == EWOULDBLOCK)
            return aErrNone;
        if (err == EPIPE || err == ECONNRESET || err == ENOTCONN)
            return sLost(ref, seen);
        return aErrIO;
    }
}

aErr sSocketStreamPut(const uint8_t* byte, void* reference)
{
    return sSocketStreamWrite(byte, 1, reference);
}

aErr sSocketStreamWait(uint32_t timeoutMs, void* reference)
{
    auto* ref = static_cast<SocketStream*>(reference);
    if (!sValid(ref))
        return aErrParam;
    if (ref->receivedCount)
        return aErrNone;
    if (!sConnected(ref)) {
        // Nothing can arrive over a stream that is down.
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
        return aErrTimeout;
    }
    std::shared_lock<std::shared_mutex> shared(ref->guard);
    pollfd readable = {ref->socket.load(), POLLIN, 0};
    // Readable, hung up or failed: the next get tells which.
    return ::poll(&readable, 1, static_cast<int>(timeoutMs)) > 0 ? aErrNone : aErrTimeout;
}

aErr sSocketStreamDelete(void* reference)
{
    auto* ref = static_cast<SocketStream*>(reference);
    if (!sValid(ref))
        return aErrIO;
    {
        std::unique_lock<std::shared_mutex> alone(ref->guard);
        sClose(ref);
    }
    ref->flags.store(0);
    ref->check = 0;
    delete ref;
    return aErrNone;
}

// The release of a stream over an adopted socket, which stays open.
aErr sSocketStreamAcceptDelete(void* reference)
{
    auto* ref = static_cast<SocketStream*>(reference);
    if (!sValid(ref))
        return aErrIO;
    ref->flags.store(0);
    ref->check = 0;
    delete ref;
    return aErrNone;
}

aStream* sMakeStream(SocketStream* ref, aStreamDeleteProc release)
{
    aStream* stream = aStream_Create(sSocketStreamGet, sSocketStreamPut, sSocketStreamWrite, release, ref);
    if (stream) {
        aStream_SetWaitProc(stream, sSocketStreamWait);
        aStream_SetTryWriteProc(stream, sSocketStreamTryWrite);
    }
    return stream;
}

} // namespace

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** stream)
{
    if (!stream)
        return aErrResource;
    *stream = nullptr;
    auto* ref = new (std::nothrow) SocketStream;
    if (!ref)
        return aErrResource;
    ref->port = port;
    ref->address.sin_family = AF_INET;
    ref->address.sin_port = htons(port);
    ref->address.sin_addr.s_addr = address;
    ref->check = kSocketCheck;

    aErr connected;
    {
        std::unique_lock<std::shared_mutex> alone(ref->guard);
        connected = sSocketStreamReset(ref);
    }
    aStream* made = connected == aErrNone ? sMakeStream(ref, sSocketStreamDelete) : nullptr;
    if (!made) {
        sSocketStreamDelete(ref);
        return aErrResource;
    }
    *stream = made;
    return aErrNone;
}

aErr aStream_AdoptSocket(int socket, aStream** stream)
{
    if (!stream)
        return aErrResource;
    *stream = nullptr;
    int on = 1;
    if (socket < 0 || ioctl(socket, FIONBIO, &on) != 0)
        return aErrResource;
    // Only a TCP socket takes this; a socket pair has no delay to switch off.
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    auto* ref = new (std::nothrow) SocketStream;
    if (!ref)
        return aErrResource;
    ref->check = kSocketCheck;
    ref->adopted = true;
    ref->socket.store(socket);
    ref->flags.store(kFlagConnected);
    aStream* made = sMakeStream(ref, sSocketStreamAcceptDelete);
    if (!made) {
        sSocketStreamAcceptDelete(ref);
        return aErrResource;
    }
    *stream = made;
    return aErrNone;
}
