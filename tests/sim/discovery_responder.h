// The devices' side of TCP/IP discovery: answers each multicast query
// (group 232.2.2.2, UDP port 9888) with a 16-byte reply per simulated device,
// sent to port 9889 of the querying address.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim {

struct DiscoveryAnswer {
    uint8_t moduleAddress = 2;
    uint16_t tcpPort = 0;
    uint32_t serialNumber = 0;
    uint8_t model = 0;
    size_t replyLength = 16; // fewer bytes make a short (faulty) reply
};

class DiscoveryResponder {
public:
    // Joins the group on each interface with one of those IPv4 addresses (dotted text).
    DiscoveryResponder(std::vector<DiscoveryAnswer> answers, const std::vector<std::string>& interfaceAddresses);
    ~DiscoveryResponder();

    bool ok() const { return socket_ >= 0; }
    const std::string& error() const { return error_; }
    // Queries received so far.
    int queries() const { return queries_.load(); }
    // The raw bytes of every query received.
    std::vector<std::vector<uint8_t>> queryBytes() const;

    // The replies to a query go out in bursts of this many (0: all at once),
    // each burst but the first once releaseBurst() lets it go, so that a host
    // can take more replies than its receive buffer holds.
    void sendInBursts(size_t size);
    void releaseBurst();

private:
    void serve();
    // Waits until the burst holding the answer of that index may go; false
    // when the responder stops.
    bool mayAnswer(size_t index);

    std::vector<DiscoveryAnswer> answers_;
    int socket_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::string error_;
    std::atomic<int> queries_{0};
    mutable std::mutex mutex_;
    std::vector<std::vector<uint8_t>> queryBytes_;
    std::condition_variable burstWake_;
    size_t burst_ = 0;
    size_t released_ = 0; // bursts let go since the last query
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace sim
