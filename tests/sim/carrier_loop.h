// The thread of a socket carrier: blocks in poll() on a wake-up, the served
// connection and an optional listening socket, moves bytes between the
// connection and a device endpoint, and runs the carrier's commands
// (reset, stall, accept) on its own thread so that no socket is shared.
#pragma once

#include "tests/sim/device_endpoint.h"
#include "tests/sim/socket_pump.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace sim {

class CarrierLoop {
public:
    // Registers itself as the endpoint's output notification.
    explicit CarrierLoop(DeviceEndpoint& device);
    // Stops the thread, drops the connection (the endpoint hears of it) and
    // unregisters the notification.
    ~CarrierLoop();
    CarrierLoop(const CarrierLoop&) = delete;
    CarrierLoop& operator=(const CarrierLoop&) = delete;

    void start();

    // Runs fn on the loop thread and returns once it ran; called on the loop
    // thread (from a device handler, say) it runs fn at once.
    void run(std::function<void()> fn);

    // Loop thread only: the served connection.
    SocketPump& pump() { return pump_; }
    // Loop thread only: a listening socket (or -1 for none) whose readiness
    // calls onReadable on the loop thread. The loop does not own it.
    void setListener(int fd, std::function<void()> onReadable);

private:
    void loop();
    void runCommands();

    DeviceEndpoint& device_;
    SocketPump pump_;
    int wakeFd_;
    int listenFd_ = -1;
    std::function<void()> onListenerReadable_;

    std::mutex mutex_;
    std::condition_variable done_;
    std::deque<std::function<void()>> commands_;
    uint64_t posted_ = 0;
    uint64_t completed_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace sim
