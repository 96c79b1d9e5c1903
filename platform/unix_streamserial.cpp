#include "platform/unix_streamserial.h"

#include "common/aStream_CobsEncoding.h"

#include "platform/aTime.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr uint16_t kSerialCheck = 0xBEEF;
constexpr size_t kPathSize = 4096;

const speed_t kBaudTable[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};
const uint32_t kRateTable[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

// A write waits for the port as long as the port makes progress: it takes
// bytes, or its output queue shrinks. A port that sends at the line's rate
// may still make none for as long as the bytes still to go take on the line:
// one that frees room or counts its queue in large blocks, or one that holds
// bytes it does not count (a pseudo-terminal reports no queue and frees room
// once its reader has emptied a line buffer of kUnseenBytes). So the write
// gives up once the port made no progress for kStallMs plus twice the line
// time of the bytes not yet taken, those queued and kUnseenBytes; while the
// stream is interrupted (its link stops) after kStoppingStallMs; once it has
// given up, at the first look, until the port takes bytes again.
constexpr uint64_t kStallMs = 1000;
constexpr uint64_t kUnseenBytes = 4096;
constexpr uint64_t kStoppingStallMs = 100;
// Longest single wait for room or for the output to drain.
constexpr uint64_t kWriteSliceMs = 10;

struct SerialStream {
    uint32_t baudIndex;
    char path[kPathSize];
    int descriptor;  // -1 when closed
    termios savedSettings;
    termios settings;
    uint16_t check;
    std::atomic<bool> interrupted;  // set from the thread that stops the stream's link
    bool stalled;                   // the last write gave up; writing thread only
};

speed_t sSpeed(uint32_t baudIndex)
{
    return baudIndex < sizeof kBaudTable / sizeof kBaudTable[0] ? kBaudTable[baudIndex] : B0;
}

SerialStream* sSerial(void* reference)
{
    auto* serial = static_cast<SerialStream*>(reference);
    return serial && serial->check == kSerialCheck ? serial : nullptr;
}

// A port that has hung up (an unplugged adaptor) reads as empty for ever;
// only poll tells it from a port with no byte waiting.
bool sHungUp(int descriptor)
{
    pollfd port = {descriptor, POLLIN, 0};
    return poll(&port, 1, 0) > 0 && (port.revents & (POLLHUP | POLLERR | POLLNVAL));
}

aErr sSerialStreamGet(uint8_t* byte, void* reference)
{
    SerialStream* serial = sSerial(reference);
    if (!serial || !byte)
        return aErrParam;
    const ssize_t got = read(serial->descriptor, byte, 1);
    if (got == 1)
        return aErrNone;
    if (got == 0 ? !sHungUp(serial->descriptor) : errno == EAGAIN || errno == EINTR)
        return aErrNotReady;
    return aErrIO;
}

// Bytes written but not yet sent on the line; -1 when the port cannot tell.
int sQueued(int descriptor)
{
    int queued = 0;
    return ioctl(descriptor, TIOCOUTQ, &queued) == 0 ? queued : -1;
}

// The port's rate in bits a second; 0 for a speed of B0.
uint64_t sRate(const SerialStream* serial)
{
    const size_t rates = sizeof kRateTable / sizeof kRateTable[0];
    return serial->baudIndex < rates ? kRateTable[serial->baudIndex] : 0;
}

// Milliseconds that the bytes take on the line at a rate above 0: ten bit
// times a byte (start, eight data bits, stop).
uint64_t sLineMs(uint64_t bytes, uint64_t rate)
{
    return bytes * 10 * 1000 / rate;
}

// How long the port may make no progress while pending bytes are still to
// go (not yet taken, or queued).
uint64_t sStallLimit(const SerialStream* serial, uint64_t pending)
{
    if (serial->stalled)
        return 0;
    if (serial->interrupted.load())
        return kStoppingStallMs;
    const uint64_t rate = sRate(serial);
    return kStallMs + (rate ? 2 * sLineMs(pending + kUnseenBytes, rate) : 0);
}

// How long the queued bytes take on the line, a slice at most.
uint64_t sDrainPause(const SerialStream* serial, int queued)
{
    const uint64_t rate = sRate(serial);
    if (!rate)
        return kWriteSliceMs;
    return std::min(sLineMs(uint64_t(queued), rate) + 1, kWriteSliceMs);
}

// Writes the bytes without blocking on the port and waits until they have
// been sent, as long as the port makes progress within sStallLimit.
aErr sSerialStreamWrite(const uint8_t* data, size_t length, void* reference)
{
    SerialStream* serial = sSerial(reference);
    if (!serial || (!data && length))
        return aErrParam;
    const int fd = serial->descriptor;
    size_t sent = 0;
    int queued = sQueued(fd);
    uint64_t progressAt = aTime_GetMonotonicMSTicks();
    bool roomPromised = false;  // the last poll said writable
    for (;;) {
        if (sent < length) {
            const ssize_t n = write(fd, data + sent, length - sent);
            if (n > 0) {
                sent += size_t(n);
                serial->stalled = false;
                progressAt = aTime_GetMonotonicMSTicks();
                roomPromised = false;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN)
                return aErrIO;
        }
        const int now = sQueued(fd);
        // All taken and sent, or taken by a port that cannot tell.
        if (sent == length && now <= 0)
            return aErrNone;
        if (now >= 0 && queued >= 0 && now < queued) {
            serial->stalled = false;
            progressAt = aTime_GetMonotonicMSTicks();
        }
        queued = now;
        const uint64_t pending = (length - sent) + uint64_t(std::max(now, 0));
        if (aTime_GetMonotonicMSTicks() - progressAt >= sStallLimit(serial, pending)) {
            serial->stalled = true;
            return aErrTimeout;
        }
        if (sent == length || roomPromised) {
            // Draining, or a port that says it has room but takes nothing.
            aTime_MSSleep(sent == length ? sDrainPause(serial, now) : 1);
            roomPromised = false;
            continue;
        }
        pollfd writable = {fd, POLLOUT, 0};
        const int ready = poll(&writable, 1, int(kWriteSliceMs));
        if (ready > 0 && (writable.revents & (POLLHUP | POLLERR | POLLNVAL)))
            return aErrIO;
        roomPromised = ready > 0;
    }
}

aErr sSerialStreamPut(const uint8_t* byte, void* reference)
{
    return sSerialStreamWrite(byte, 1, reference);
}

// A stop of the stream's link: writes give up soon when the port takes nothing.
void sSerialStreamInterrupt(bool on, void* reference)
{
    if (SerialStream* serial = sSerial(reference))
        serial->interrupted.store(on);
}

aErr sSerialStreamWait(uint32_t timeoutMs, void* reference)
{
    SerialStream* serial = sSerial(reference);
    if (!serial)
        return aErrParam;
    pollfd readable = {serial->descriptor, POLLIN, 0};
    const int wait = int(std::min<uint32_t>(timeoutMs, INT_MAX));
    // Readable, hung up or failed: the next get tells which.
    return poll(&readable, 1, wait) > 0 ? aErrNone : aErrTimeout;
}

void sClose(SerialStream* serial)
{
    tcsetattr(serial->descriptor, TCSANOW, &serial->savedSettings);
    close(serial->descriptor);
    serial->descriptor = -1;
    std::memset(&serial->savedSettings, 0, sizeof serial->savedSettings);
}

aErr sSerialStreamDelete(void* reference)
{
    SerialStream* serial = sSerial(reference);
    if (!serial)
        return aErrParam;
    if (serial->descriptor >= 0)
        sClose(serial);
    serial->check = 0;
    std::free(serial);
    return aErrNone;
}

aErr sStreamOpenSerial(SerialStream* serial, bool parity, uint32_t dataBitsMode, uint32_t stopBitsMode)
{
    const int fd = open(serial->path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return errno == ENOENT ? aErrNotFound : errno == EACCES ? aErrPermission : aErrIO;
    // Only the non-blocking flag stays: a write waits for room within its
    // bound and never inside the system; reads return at once anyway
    // through VMIN and VTIME.
    if (fcntl(fd, F_SETFL, O_NONBLOCK) != 0 || tcgetattr(fd, &serial->savedSettings) != 0) {
        close(fd);
        return aErrIO;
    }
    serial->descriptor = fd;

    termios& settings = serial->settings;
    settings = serial->savedSettings;
    settings.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
    settings.c_oflag = 0;
    settings.c_lflag = 0;
    settings.c_cflag = CREAD | CLOCAL | (parity ? PARENB : 0) | (dataBitsMode ? CS7 : CS8) |
                       (stopBitsMode ? CSTOPB : 0);
    cfsetispeed(&settings, sSpeed(serial->baudIndex));
    cfsetospeed(&settings, sSpeed(serial->baudIndex));
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &settings) != 0 || tcflush(fd, TCIOFLUSH) != 0) {
        sClose(serial);
        return aErrIO;
    }
    return aErrNone;
}

// Checks the arguments and makes the reference; nullptr for arguments that
// cannot serve (a path that does not fit would open another port) or no memory.
SerialStream* sNewSerial(const char* path, uint32_t baudIndex, uint32_t dataBitsMode,
                         uint32_t stopBitsMode, aStream** stream)
{
    if (!path || !stream || dataBitsMode > 1 || stopBitsMode > 1 || std::strlen(path) >= kPathSize)
        return nullptr;
    *stream = nullptr;
    auto* serial = static_cast<SerialStream*>(std::calloc(1, sizeof(SerialStream)));
    if (!serial)
        return nullptr;
    serial->baudIndex = baudIndex;
    std::strcpy(serial->path, path);
    serial->descriptor = -1;
    serial->check = kSerialCheck;
    return serial;
}

} // namespace

aErr aStream_CreateSerial(const char* path, uint32_t baudIndex, bool parity, uint32_t dataBitsMode,
                          uint32_t stopBitsMode, aStream** stream)
{
    SerialStream* serial = sNewSerial(path, baudIndex, dataBitsMode, stopBitsMode, stream);
    if (!serial)
        return aErrResource;
    aStream* made = aStream_Create(sSerialStreamGet, sSerialStreamPut, sSerialStreamWrite,
                                   sSerialStreamDelete, serial);
    if (!made) {
        sSerialStreamDelete(serial);
        return aErrResource;
    }
    const aErr opened = sStreamOpenSerial(serial, parity, dataBitsMode, stopBitsMode);
    if (opened != aErrNone) {
        aStream_Destroy(&made);
        return opened;
    }
    aStream_SetWaitProc(made, sSerialStreamWait);
    aStream_SetInterruptProc(made, sSerialStreamInterrupt);
    *stream = made;
    return aErrNone;
}

aErr aStream_CreateSerial_Packetized(const char* path, uint32_t baudIndex, bool parity,
                                     uint32_t dataBitsMode, uint32_t stopBitsMode, aStream** stream)
{
    SerialStream* serial = sNewSerial(path, baudIndex, dataBitsMode, stopBitsMode, stream);
    if (!serial)
        return aErrResource;
    aErr result = sStreamOpenSerial(serial, parity, dataBitsMode, stopBitsMode);
    if (result == aErrNone)
        result = aStream_CreateCobsEncodingWithWait(sSerialStreamGet, sSerialStreamPut, sSerialStreamWrite,
                                                    sSerialStreamDelete, sSerialStreamWait, serial, stream);
    if (result == aErrNone)
        aStream_SetCobsInnerInterrupt(*stream, sSerialStreamInterrupt);
    if (result != aErrNone)
        sSerialStreamDelete(serial);
    return result;
}
