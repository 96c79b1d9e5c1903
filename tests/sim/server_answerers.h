// The answering side of the discovery of link-sharing servers, as a server
// gives it: a local answerer that holds a probe slot on loop-back (UDP port
// 9850 + k, group 224.0.0.7) and answers each probe word with its datagrams
// on port 9950 + k, and a beacon answerer that, once it hears a search beacon
// on UDP port 8585, broadcasts its datagrams every 100 ms for two seconds.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/aDiscovery.h"

namespace sim {

using Datagram = std::vector<uint8_t>;

// A server's network specifier: type 5 to 7, the shared device's serial number,
// module address and model, the address (dotted) and port clients connect to.
linkSpec networkSpec(linkType type, uint32_t serialNumber, const char* address, uint16_t port, uint32_t model = 0x13,
                     uint32_t moduleAddress = 2);
Datagram bytesOf(const linkSpec& spec);

// False, with the name, when the process sees a network interface that is
// neither `lo` nor one of those the test created.
bool onlyInterfaces(const std::vector<std::string>& created, std::string* foreign);

// Runs until destroyed: a thread that waits on a socket for datagrams.
class Answerer {
public:
    virtual ~Answerer();
    bool ok() const { return socket_ >= 0 && thread_.joinable(); }
    // Every datagram received so far.
    std::vector<Datagram> received() const;

protected:
    void start(int socket);
    void stop();
    // Called on the thread for each datagram, and about every 10 ms without one.
    virtual void onDatagram(const Datagram& datagram) = 0;
    virtual void onIdle() {}
    int socket_ = -1;

private:
    void serve();
    int stopPipe_[2] = {-1, -1};
    mutable std::mutex mutex_;
    std::vector<Datagram> received_;
    std::thread thread_;
};

class LocalAnswerer : public Answerer {
public:
    // Claims the first free slot (0 to 49); each probe word is answered with
    // every datagram, in order.
    explicit LocalAnswerer(std::vector<Datagram> answers);
    ~LocalAnswerer() override;
    int slot() const { return slot_; }

private:
    void onDatagram(const Datagram& datagram) override;
    std::vector<Datagram> answers_;
    int slot_ = -1;
    int sender_ = -1;
};

class BeaconAnswerer : public Answerer {
public:
    // Publishes to the broadcast address (dotted) of its network.
    BeaconAnswerer(const std::string& broadcast, std::vector<Datagram> answers);
    ~BeaconAnswerer() override;
    // Search beacons heard.
    int searches() const { return searches_; }

private:
    void onDatagram(const Datagram& datagram) override;
    void onIdle() override;
    std::vector<Datagram> answers_;
    uint32_t broadcast_ = 0;
    std::atomic<int> searches_{0};
    uint64_t publishUntilMs_ = 0;
    uint64_t nextPublishMs_ = 0;
};

} // namespace sim
