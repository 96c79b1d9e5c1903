#include "tests/sim/server_answerers.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr const char* kGroup = "224.0.0.7";
constexpr uint16_t kProbePort = 9850;
constexpr uint16_t kReplyPort = 9950;
constexpr int kSlots = 50;
constexpr uint32_t kProbeWord = 0xABCDDCBA;
constexpr uint16_t kBeaconPort = 8585;
constexpr char kSearch[] = "Tessaline2-Discovery";
constexpr uint64_t kPublishForMs = 2000;
constexpr uint64_t kPublishEveryMs = 100;

uint32_t dotted(const char* text)
{
    in_addr address{};
    inet_pton(AF_INET, text, &address);
    return address.s_addr;
}

uint64_t nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

sockaddr_in endpoint(uint32_t address, uint16_t port)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = address;
    to.sin_port = htons(port);
    return to;
}

void sendTo(int socket, const Datagram& datagram, uint32_t address, uint16_t port)
{
    sockaddr_in to = endpoint(address, port);
    sendto(socket, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

// A receiver of the loop-back group on the port, without address reuse: -1
// when another socket holds the port.
int groupReceiver(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local = endpoint(htonl(INADDR_ANY), port);
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = dotted(kGroup);
    membership.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    return fd;
}

int loopbackSender()
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    in_addr via{};
    via.s_addr = htonl(INADDR_LOOPBACK);
    unsigned char ttl = 1, loop = 1;
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &via, sizeof via);
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
    return fd;
}

} // namespace

linkSpec networkSpec(linkType type, uint32_t serialNumber, const char* address, uint16_t port, uint32_t model,
                     uint32_t moduleAddress)
{
    linkSpec spec{};
    spec.type = type;
    spec.serialNumber = serialNumber;
    spec.moduleAddress = moduleAddress;
    spec.model = model;
    spec.ipAddress = dotted(address);
    spec.tcpPort = port;
    return spec;
}

Datagram bytesOf(const linkSpec& spec)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(&spec);
    return Datagram(bytes, bytes + sizeof spec);
}

bool onlyInterfaces(const std::vector<std::string>& created, std::string* foreign)
{
    struct if_nameindex* names = if_nameindex();
    if (!names) return false;
    bool only = true;
    for (struct if_nameindex* entry = names; entry->if_index != 0 && only; ++entry) {
        std::string name = entry->if_name;
        bool ours = name == "lo";
        for (const std::string& mine : created) ours = ours || name == mine;
        if (!ours) {
            only = false;
            if (foreign) *foreign = name;
        }
    }
    if_freenameindex(names);
    return only;
}

Answerer::~Answerer() = default;

void Answerer::start(int socket)
{
    socket_ = socket;
    if (socket_ < 0 || pipe2(stopPipe_, O_CLOEXEC) != 0) return;
    thread_ = std::thread([this] { serve(); });
}

void Answerer::stop()
{
    if (thread_.joinable()) {
        char stop = 1;
        (void)!write(stopPipe_[1], &stop, 1);
        thread_.join();
    }
    for (int fd : {socket_, stopPipe_[0], stopPipe_[1]})
        if (fd >= 0) close(fd);
    socket_ = stopPipe_[0] = stopPipe_[1] = -1;
}

std::vector<Datagram> Answerer::received() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

void Answerer::serve()
{
    for (;;) {
        pollfd waits[2] = {{socket_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(waits, 2, 10) < 0) continue;
        if (waits[1].revents) return;
        if (waits[0].revents & POLLIN) {
            uint8_t buffer[512];
            ssize_t n = recv(socket_, buffer, sizeof buffer, 0);
            if (n < 0) continue;
            Datagram datagram(buffer, buffer + n);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                received_.push_back(datagram);
            }
            onDatagram(datagram);
        }
        onIdle();
    }
}

LocalAnswerer::LocalAnswerer(std::vector<Datagram> answers) : answers_(std::move(answers))
{
    int receiver = -1;
    for (int k = 0; k < kSlots && receiver < 0; ++k) {
        receiver = groupReceiver(static_cast<uint16_t>(kProbePort + k));
        if (receiver >= 0) slot_ = k;
    }
    sender_ = loopbackSender();
    if (sender_ >= 0) start(receiver);
}

LocalAnswerer::~LocalAnswerer()
{
    stop();
    if (sender_ >= 0) close(sender_);
}

void LocalAnswerer::onDatagram(const Datagram& datagram)
{
    uint32_t word = 0;
    if (datagram.size() != sizeof word) return;
    std::memcpy(&word, datagram.data(), sizeof word);
    if (word != kProbeWord) return;
    for (const Datagram& answer : answers_)
        sendTo(sender_, answer, dotted(kGroup), static_cast<uint16_t>(kReplyPort + slot_));
}

BeaconAnswerer::BeaconAnswerer(const std::string& broadcast, std::vector<Datagram> answers)
    : answers_(std::move(answers)), broadcast_(dotted(broadcast.c_str()))
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int on = 1;
    sockaddr_in local = endpoint(htonl(INADDR_ANY), kBeaconPort);
    if (fd >= 0 && (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
                    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
                    bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)) {
        close(fd);
        fd = -1;
    }
    start(fd);
}

BeaconAnswerer::~BeaconAnswerer()
{
    stop();
}

void BeaconAnswerer::onDatagram(const Datagram& datagram)
{
    const size_t length = sizeof kSearch - 1;
    if (datagram.size() < length || std::memcmp(datagram.data(), kSearch, length) != 0) return;
    ++searches_;
    if (nowMs() < publishUntilMs_) return;
    publishUntilMs_ = nowMs() + kPublishForMs;
    nextPublishMs_ = 0;
}

void BeaconAnswerer::onIdle()
{
    uint64_t now = nowMs();
    if (now >= publishUntilMs_ || now < nextPublishMs_) return;
    nextPublishMs_ = now + kPublishEveryMs;
    for (const Datagram& answer : answers_) sendTo(socket_, answer, broadcast_, kBeaconPort);
}

} // namespace sim
