#include "tests/sim/discovery_responder.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr uint16_t kQueryPort = 9888;
constexpr uint16_t kReplyPort = 9889;
constexpr const char* kGroup = "232.2.2.2";

std::vector<uint8_t> replyBytes(const DiscoveryAnswer& answer)
{
    std::vector<uint8_t> reply(16, 0);
    reply[0] = 1;
    reply[1] = answer.moduleAddress;
    reply[2] = static_cast<uint8_t>(answer.tcpPort);
    reply[3] = static_cast<uint8_t>(answer.tcpPort >> 8);
    for (int i = 0; i < 4; ++i) reply[4 + i] = static_cast<uint8_t>(answer.serialNumber >> (8 * i));
    reply[12] = answer.model;
    reply.resize(std::min<size_t>(answer.replyLength, reply.size()));
    return reply;
}

} // namespace

DiscoveryResponder::DiscoveryResponder(std::vector<DiscoveryAnswer> answers,
                                       const std::vector<std::string>& interfaceAddresses)
    : answers_(std::move(answers))
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int on = 1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(kQueryPort);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    bool joined = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
                  bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
    for (const std::string& address : interfaceAddresses) {
        ip_mreq membership{};
        inet_pton(AF_INET, kGroup, &membership.imr_multiaddr);
        inet_pton(AF_INET, address.c_str(), &membership.imr_interface);
        joined = joined && setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) == 0;
    }
    if (!joined || pipe2(stopPipe_, O_CLOEXEC) != 0) {
        error_ = std::string("discovery responder: ") + std::strerror(errno);
        if (fd >= 0) close(fd);
        return;
    }
    socket_ = fd;
    thread_ = std::thread([this] { serve(); });
}

DiscoveryResponder::~DiscoveryResponder()
{
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        burstWake_.notify_all();
        char stop = 0;
        (void)!write(stopPipe_[1], &stop, 1);
        thread_.join();
    }
    for (int fd : {socket_, stopPipe_[0], stopPipe_[1]})
        if (fd >= 0) close(fd);
}

std::vector<std::vector<uint8_t>> DiscoveryResponder::queryBytes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return queryBytes_;
}

void DiscoveryResponder::sendInBursts(size_t size)
{
    std::lock_guard<std::mutex> lock(mutex_);
    burst_ = size;
}

void DiscoveryResponder::releaseBurst()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++released_;
    }
    burstWake_.notify_all();
}

bool DiscoveryResponder::mayAnswer(size_t index)
{
    std::unique_lock<std::mutex> lock(mutex_);
    burstWake_.wait(lock, [&] { return stopping_ || burst_ == 0 || index / burst_ <= released_; });
    return !stopping_;
}

void DiscoveryResponder::serve()
{
    pollfd fds[2] = {{socket_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        uint8_t query[64];
        sockaddr_in sender{};
        socklen_t senderLength = sizeof sender;
        ssize_t n = recvfrom(socket_, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&sender), &senderLength);
        if (n <= 0) continue;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queryBytes_.emplace_back(query, query + n);
            released_ = 0;
        }
        ++queries_;
        sender.sin_port = htons(kReplyPort);
        for (size_t i = 0; i < answers_.size(); ++i) {
            if (!mayAnswer(i)) return;
            std::vector<uint8_t> reply = replyBytes(answers_[i]);
            sendto(socket_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&sender), sizeof sender);
        }
    }
}

} // namespace sim
