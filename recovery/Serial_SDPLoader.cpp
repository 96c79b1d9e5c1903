#include "recovery/Serial_SDPLoader.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

struct PrivateSerial_SDPLoader {
    int fd = -1;  // -1 while not opened
    const char* path = nullptr;
    struct termios settings;
};

namespace {

constexpr speed_t LINE_SPEED = B115200;
constexpr auto SETTLE_TIME = std::chrono::seconds(1);
constexpr auto WRITE_RETRY = std::chrono::milliseconds(1);
constexpr size_t COMMAND_BYTES = 16;
// A status request's type byte: a command made of nothing else is a status
// request, so every run of them the ROM completes is answered.
constexpr uint8_t STATUS_BYTE = 0x05;
// How long the ROM has to answer a completed status request.
constexpr unsigned int ALIGN_REPLY_MS = 100;

} // namespace

Serial_SDPLoader::Serial_SDPLoader(const char* path) : priv(new PrivateSerial_SDPLoader)
{
    priv->path = path;
    memset(&priv->settings, 0, sizeof priv->settings);
}

Serial_SDPLoader::~Serial_SDPLoader()
{
    if (priv->fd >= 0) {
        tcflush(priv->fd, TCIOFLUSH);
        close(priv->fd);
    }
}

bool Serial_SDPLoader::init()
{
    if (priv->fd >= 0)
        return true;
    if (priv->path == nullptr)
        return false;
    int fd = open(priv->path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    if (!isatty(fd)) {
        close(fd);
        return false;
    }
    priv->fd = fd;

    struct termios& t = priv->settings;
    memset(&t, 0, sizeof t);
    t.c_cflag = CS8 | CREAD | CLOCAL;
    cfsetispeed(&t, LINE_SPEED);
    cfsetospeed(&t, LINE_SPEED);
    tcsetattr(fd, TCSAFLUSH, &t);
    std::this_thread::sleep_for(SETTLE_TIME);
    tcflush(fd, TCIOFLUSH);
    return true;
}

long Serial_SDPLoader::writeData(const std::vector<uint8_t>& report)
{
    if (priv->fd < 0 || report.empty())
        return -1;
    const uint8_t* next = report.data() + 1;
    size_t left = report.size() - 1;
    auto lastProgress = std::chrono::steady_clock::now();
    while (left > 0) {
        ssize_t n = write(priv->fd, next, left);
        if (n > 0) {
            next += n;
            left -= size_t(n);
            lastProgress = std::chrono::steady_clock::now();
            continue;
        }
        // A full line buffer passes; a line that is gone does not come back.
        bool transient = n == 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        if (!transient || std::chrono::steady_clock::now() - lastProgress >=
                              std::chrono::milliseconds(WRITE_STALL_LIMIT_MS))
            return -1;
        std::this_thread::sleep_for(WRITE_RETRY);
    }
    // The boot ROM's answer can only follow the last byte on the line, and the
    // caller's reply time-outs count from here: at 115200 baud the port's
    // buffer alone holds a third of a second of bytes.
    tcdrain(priv->fd);
    return long(report.size() - 1);
}

long Serial_SDPLoader::readData(std::vector<uint8_t>& reply, unsigned int timeoutMs)
{
    if (priv->fd < 0)
        return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
    long total = 0;
    uint8_t buffer[256];
    for (;;) {
        ssize_t n = read(priv->fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        reply.insert(reply.end(), buffer, buffer + n);
        total += n;
    }
    return total;
}

bool Serial_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned int offset, uint32_t& value)
{
    // The leading word goes unexamined; the status or data word follows it.
    if (offset > 15 || reply.size() < (size_t(offset) + 2) * 4)
        return false;
    const uint8_t* word = reply.data() + offset + 4;
    value |= uint32_t(word[0]) | uint32_t(word[1]) << 8 | uint32_t(word[2]) << 16 | uint32_t(word[3]) << 24;
    return true;
}

bool Serial_SDPLoader::realign()
{
    // Sends n status bytes; true when the ROM answered, its answer drained.
    const auto run = [this](size_t n) {
        std::vector<uint8_t> report(n + 1, STATUS_BYTE);
        if (n > 0 && writeData(report) < 0)
            return false;
        std::vector<uint8_t> reply;
        bool answered = false;
        while (readData(reply, ALIGN_REPLY_MS) > 0)
            answered = true;
        return answered;
    };
    if (priv->fd < 0)
        return false;
    // A whole command's worth: answered at once when the assembly was empty.
    // Otherwise it completed the stray bytes into a command the ROM ignores
    // and left as many status bytes behind, so that from now on every
    // completed command is a status request.
    if (run(COMMAND_BYTES))
        return true;
    // The assembly holds between lo and hi bytes; a run of 16 - t is
    // answered exactly when it holds t or more.
    size_t lo = 1;
    size_t hi = COMMAND_BYTES - 1;
    while (lo < hi) {
        const size_t t = (lo + hi + 1) / 2;
        if (run(COMMAND_BYTES - t)) {
            hi -= t;
            lo = 0;
        } else {
            lo += COMMAND_BYTES - t;
            hi = COMMAND_BYTES - 1;
        }
    }
    return lo == 0 || run(COMMAND_BYTES - lo);
}
