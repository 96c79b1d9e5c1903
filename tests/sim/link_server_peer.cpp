#include "tests/sim/link_server_peer.h"
#include "tests/sim/tsan_suppressions.h"

#include <chrono>
#include <czmq.h>

namespace sim {

namespace {

constexpr int kPollMs = 5;

Frame bytesOf(zframe_t* frame)
{
    return Frame(zframe_data(frame), zframe_data(frame) + zframe_size(frame));
}

void sendTo(zsock_t* router, zframe_t* identity, const Frame& frame)
{
    zmsg_t* message = zmsg_new();
    zframe_t* to = zframe_dup(identity);
    zmsg_append(message, &to);
    zmsg_addmem(message, frame.data(), frame.size());
    zmsg_send(&message, router);
    zmsg_destroy(&message);
}

} // namespace

std::vector<Frame> LinkServerPeer::echo(const Frame& request)
{
    if (request.size() < 2 || request[0] == 0xAF) return {};
    return {request};
}

LinkServerPeer::LinkServerPeer(uint16_t port, Handler handler) : handler_(std::move(handler))
{
    zsock_t* router = zsock_new(ZMQ_ROUTER);
    int bound = -1;
    if (router) bound = port ? zsock_bind(router, "tcp://127.0.0.1:%d", port) : zsock_bind(router, "tcp://127.0.0.1:*");
    if (bound <= 0) {
        zsock_destroy(&router);
        return;
    }
    port_ = static_cast<uint16_t>(bound);
    router_ = router;
    thread_ = std::thread([this] { serve(); });
}

LinkServerPeer::~LinkServerPeer()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    if (thread_.joinable()) thread_.join();
    zsock_t* router = static_cast<zsock_t*>(router_);
    zsock_destroy(&router);
}

void LinkServerPeer::serve()
{
    zsock_t* router = static_cast<zsock_t*>(router_);
    zpoller_t* poller = zpoller_new(router, nullptr);
    zpoller_set_nonstop(poller, true);
    zframe_t* client = nullptr;
    for (;;) {
        std::deque<Frame> outbox;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) break;
            outbox.swap(outbox_);
        }
        for (const Frame& frame : outbox) sendTo(router, client, frame);
        if (zpoller_wait(poller, kPollMs) != router) continue;
        zmsg_t* message = zmsg_recv(router);
        zframe_t* identity = message ? zmsg_pop(message) : nullptr;
        zframe_t* content = message ? zmsg_first(message) : nullptr;
        if (identity && content) {
            Frame request = bytesOf(content);
            zframe_destroy(&client);
            client = zframe_dup(identity);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(request);
                hasClient_ = true;
            }
            changed_.notify_all();
            for (const Frame& answer : handler_(request)) sendTo(router, client, answer);
        }
        zframe_destroy(&identity);
        zmsg_destroy(&message);
    }
    zframe_destroy(&client);
    zpoller_destroy(&poller);
}

std::vector<Frame> LinkServerPeer::requests() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

bool LinkServerPeer::awaitRequests(size_t count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return requests_.size() >= count; });
}

bool LinkServerPeer::sendToClient(const Frame& frame)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!hasClient_) return false;
    outbox_.push_back(frame);
    return true;
}

} // namespace sim
