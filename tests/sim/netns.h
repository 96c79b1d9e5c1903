// Private networks for tests: moves the calling process into a network
// namespace of its own, with only loop-back up, and adds veth pairs there, so
// that discovery and multicast traffic never leaves the test.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace sim {

// Unshares the network namespace of the calling process (before it starts any
// thread) and brings `lo` up. Returns false with a reason when it cannot.
// Called again in that namespace (the next test of the same program), it
// stays there and removes every interface but `lo`: threads the process
// started meanwhile, such as the messaging library's I/O threads, keep one
// network with the caller, and each test still begins with loop-back only.
bool enterPrivateNetwork(std::string* why = nullptr);

// Adds the veth pair name0/name1 and gives name0 the IPv4 address addr0 (dotted,
// with its prefix length, such as "10.77.0.1/24"), up with multicast on; the same
// for name1 unless addr1 is empty (then it waits for NetworkHost::adopt).
// Needs a private network (enterPrivateNetwork).
bool addVethPair(const std::string& name0, const std::string& addr0, const std::string& name1,
                 const std::string& addr1 = "", std::string* why = nullptr);

// Waits (up to 3 s) until the interface carries traffic: a new veth end drops
// what it is given until the kernel has seen its carrier.
bool waitUntilUp(const std::string& name, std::string* why = nullptr);

// A second host for network tests: a thread in a network namespace of its
// own. Work posted with run() executes on that thread, so sockets, threads and
// commands it starts live in that namespace (a simulated device's network).
class NetworkHost {
public:
    NetworkHost();
    ~NetworkHost();
    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    // Runs the work on the host's thread and waits for it.
    void run(std::function<void()> work);
    // Moves the interface from the caller's namespace into this host's and
    // gives it the address ("10.77.0.2/24"), up and with multicast on; returns
    // once it carries traffic.
    bool adopt(const std::string& interfaceName, const std::string& address, std::string* why = nullptr);

private:
    void loop();

    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> work_;
    bool started_ = false;
    bool stopping_ = false;
    bool ok_ = false;
    long tid_ = 0;
    std::string error_;
};

// The IPv4 address (network byte order) of a dotted text such as "10.77.0.1".
uint32_t ipv4(const char* dotted);

} // namespace sim
