#include "tests/sim/carrier_loop.h"

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>

namespace sim {

CarrierLoop::CarrierLoop(DeviceEndpoint& device)
    : device_(device), pump_(device), wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    if (wakeFd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    device_.setToHostNotify([this] {
        uint64_t one = 1;
        ssize_t ignored = write(wakeFd_, &one, sizeof one);
        (void)ignored;
    });
}

CarrierLoop::~CarrierLoop()
{
    if (thread_.joinable()) {
        run([this] { stopping_ = true; });
        thread_.join();
    }
    pump_.drop(false);
    device_.setToHostNotify(nullptr);
    close(wakeFd_);
}

void CarrierLoop::start()
{
    thread_ = std::thread([this] { loop(); });
}

void CarrierLoop::run(std::function<void()> fn)
{
    if (std::this_thread::get_id() == thread_.get_id()) {
        fn();
        return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    commands_.push_back(std::move(fn));
    uint64_t ticket = ++posted_;
    uint64_t one = 1;
    ssize_t ignored = write(wakeFd_, &one, sizeof one);
    (void)ignored;
    if (thread_.joinable()) done_.wait(lock, [&] { return completed_ >= ticket; });
}

void CarrierLoop::setListener(int fd, std::function<void()> onReadable)
{
    listenFd_ = fd;
    onListenerReadable_ = std::move(onReadable);
}

void CarrierLoop::runCommands()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!commands_.empty()) {
        std::function<void()> fn = std::move(commands_.front());
        commands_.pop_front();
        lock.unlock();
        fn();
        lock.lock();
        ++completed_;
    }
    done_.notify_all();
}

void CarrierLoop::loop()
{
    for (;;) {
        runCommands();
        if (stopping_) return;
        pump_.flush();
        pollfd fds[3];
        nfds_t n = 0;
        fds[n++] = pollfd{wakeFd_, POLLIN, 0};
        pollfd* served = pump_.connected() ? &fds[n++] : nullptr;
        if (served) *served = pollfd{pump_.fd(), pump_.events(), 0};
        pollfd* listener = listenFd_ >= 0 ? &fds[n++] : nullptr;
        if (listener) *listener = pollfd{listenFd_, POLLIN, 0};
        if (poll(fds, n, -1) < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "poll");
        }
        if (fds[0].revents) {
            uint64_t count;
            ssize_t ignored = read(wakeFd_, &count, sizeof count);
            (void)ignored;
        }
        if (served) pump_.service(served->revents);
        if (listener && listener->revents && onListenerReadable_) onListenerReadable_();
    }
}

} // namespace sim
