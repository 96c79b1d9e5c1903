#include "tests/sim/pty_carrier.h"

#include "common/cobs.h"
#include "common/crc8.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

// A pseudo-terminal holds about 20 KB; keep what waits for the host below
// that, so that the device is asked for more only as the host reads.
constexpr size_t kToHostHighWater = 4096;
// The host's largest frame is 33 bytes; anything far beyond is noise.
constexpr size_t kMaxFrame = 256;

[[noreturn]] void sFail(const char* what)
{
    throw std::runtime_error(std::string("pty carrier: ") + what + ": " + std::strerror(errno));
}

} // namespace

// Wakes the I/O thread from any thread; shared with the device's notify
// callback, which may outlive the carrier by a moment.
struct PtyCarrier::Wake {
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ~Wake() { if (fd >= 0) close(fd); }
    void signal() const
    {
        const uint64_t one = 1;
        (void)!write(fd, &one, sizeof one);
    }
    void clear() const
    {
        uint64_t count;
        (void)!read(fd, &count, sizeof count);
    }
};

PtyCarrier::PtyCarrier(DeviceEndpoint& device, Framing framing)
    : device_(device), framing_(framing), wake_(std::make_shared<Wake>())
{
    if (wake_->fd < 0)
        sFail("eventfd");
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0)
        sFail("posix_openpt");
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
        close(master_);
        sFail("unlockpt");
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        close(master_);
        sFail("ptsname");
    }
    path_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    if (slave_ < 0 || tcgetattr(slave_, &raw) != 0) {
        if (slave_ >= 0)
            close(slave_);
        close(master_);
        sFail("open slave");
    }
    // A new pseudo-terminal echoes and translates line ends; the device
    // sees the host's bytes untouched.
    cfmakeraw(&raw);
    tcsetattr(slave_, TCSANOW, &raw);

    std::weak_ptr<Wake> wake = wake_;
    device_.setToHostNotify([wake] {
        if (auto w = wake.lock())
            w->signal();
    });
    thread_ = std::thread(&PtyCarrier::run, this);
}

PtyCarrier::~PtyCarrier()
{
    hangUp();
}

void PtyCarrier::hangUp()
{
    if (master_ < 0)
        return;
    device_.setToHostNotify({});
    stop_ = true;
    wake_->signal();
    thread_.join();
    device_.hostDisconnected();
    close(slave_);
    // Closing the master hangs up every open of the slave.
    close(master_);
    slave_ = master_ = -1;
}

void PtyCarrier::stall(bool on)
{
    stalled_ = on;
    wake_->signal();
}

void PtyCarrier::take(size_t n)
{
    allowance_ += n;
    wake_->signal();
}

void PtyCarrier::sendRaw(const uint8_t* data, size_t n)
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        injected_.insert(injected_.end(), data, data + n);
    }
    wake_->signal();
}

void PtyCarrier::pullFromDevice()
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        toHost_.insert(toHost_.end(), injected_.begin(), injected_.end());
        injected_.clear();
    }
    while (toHost_.size() < kToHostHighWater) {
        if (framing_ == Framing::Raw) {
            uint8_t buffer[1024];
            const size_t n = device_.toHost(buffer, sizeof buffer);
            if (n == 0)
                return;
            toHost_.insert(toHost_.end(), buffer, buffer + n);
        } else {
            std::vector<uint8_t> frame;
            if (!device_.toHostFrame(frame))
                return;
            frame.push_back(crc8_create(frame.data(), frame.size()));
            const size_t start = toHost_.size();
            toHost_.resize(start + frame.size() + frame.size() / 254 + 2);
            const size_t encoded = cobs_encode(frame.data(), frame.size(), toHost_.data() + start);
            toHost_[start + encoded] = 0;
            toHost_.resize(start + encoded + 1);
        }
    }
}

void PtyCarrier::takeFrame()
{
    if (frame_.empty())
        return;
    const size_t n = frameOverlong_ ? 0 : cobs_decode_inplace(frame_.data(), frame_.size());
    if (n >= 3 && n == size_t(frame_[1]) + 3 && crc8_check(frame_.data(), n - 1, frame_[n - 1]))
        device_.fromHostFrame(frame_.data(), n - 1);
    else
        ++badFrames_;
    frame_.clear();
    frameOverlong_ = false;
}

void PtyCarrier::takeFromHost(const uint8_t* data, size_t n)
{
    if (framing_ == Framing::Raw) {
        device_.fromHost(data, n);
        return;
    }
    for (size_t i = 0; i < n; ++i) {
        if (data[i] == 0)
            takeFrame();
        else if (frame_.size() < kMaxFrame)
            frame_.push_back(data[i]);
        else
            frameOverlong_ = true;
    }
}

void PtyCarrier::run()
{
    while (!stop_) {
        pullFromDevice();
        const bool stalled = stalled_;
        const size_t allowed = stalled ? allowance_.load() : SIZE_MAX;
        pollfd fds[2] = {
            {master_, short((allowed ? POLLIN : 0) | (toHost_.empty() ? 0 : POLLOUT)), 0},
            {wake_->fd, POLLIN, 0},
        };
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents & POLLIN)
            wake_->clear();
        if (fds[0].revents & POLLIN && allowed) {
            uint8_t buffer[4096];
            const ssize_t got = read(master_, buffer, std::min(sizeof buffer, allowed));
            if (got > 0) {
                if (stalled)
                    allowance_ -= size_t(got);
                takeFromHost(buffer, size_t(got));
            }
        }
        if (fds[0].revents & POLLOUT && !toHost_.empty()) {
            const ssize_t put = write(master_, toHost_.data(), toHost_.size());
            if (put > 0)
                toHost_.erase(toHost_.begin(), toHost_.begin() + put);
        }
    }
}

} // namespace sim
