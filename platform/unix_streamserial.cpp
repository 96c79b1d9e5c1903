#include "platform/unix_streamserial.h"

#include "common/aStream_CobsEncoding.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr uint16_t kSerialCheck = 0xBEEF;
constexpr size_t kPathSize = 4096;

const speed_t kBaudTable[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};

struct SerialStream {
    uint32_t baudIndex;
    char path[kPathSize];
    int descriptor;  // -1 when closed
    termios savedSettings;
    termios settings;
    uint16_t check;
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

aErr sSerialStreamPut(const uint8_t* byte, void* reference)
{
    SerialStream* serial = sSerial(reference);
    if (!serial || !byte)
        return aErrParam;
    return write(serial->descriptor, byte, 1) == 1 ? aErrNone : aErrIO;
}

aErr sSerialStreamWrite(const uint8_t* data, size_t length, void* reference)
{
    SerialStream* serial = sSerial(reference);
    if (!serial || (!data && length))
        return aErrParam;
    if (write(serial->descriptor, data, length) != ssize_t(length))
        return aErrIO;
    tcdrain(serial->descriptor);
    return aErrNone;
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
    // Blocking again, so that writes wait for room; reads still return at
    // once through VMIN and VTIME.
    if (fcntl(fd, F_SETFL, 0) != 0 || tcgetattr(fd, &serial->savedSettings) != 0) {
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
    if (result != aErrNone)
        sSerialStreamDelete(serial);
    return result;
}
