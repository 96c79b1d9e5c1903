// The link-sharing server over CZMQ: a ROUTER for the clients, two in-process
// DEALER pairs (broker and synchronous-command worker; device link's reader
// thread and broker), the broker and worker actors, and the user packet
// filter that batches the device's stream packets on the reader thread.
#include "common/aServer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <czmq.h>
#include <deque>
#include <list>
#include <new>
#include <string>
#include <vector>

#include "common/aDebug.h"
#include "common/aLink.h"
#include "common/aPacket.h"
#include "common/aPacketFifo.h"
#include "common/aServerAnnounce.h"
#include "common/aServerLocal.h"
#include "common/aUEI.h"
#include "common/zPollBriefly.h"
#include "common/zSysInterruptHandler.h"
#include "platform/aTime.h"

namespace {

constexpr int kWaitMs = 1000;
// The broker looks at the device link this often, and takes it for gone once
// every read of its stream has failed for kDeviceLostMs.
constexpr int kBrokerWaitMs = 200;
constexpr uint64_t kDeviceLostMs = 300;
constexpr int kStopWaitMs = 250;
// The worker waits for a reply at least as long as a client waits for it:
// 3000 ms for a store slot to open, 4000 ms for the reply to a long byte array.
constexpr uint64_t kReplyWaitMs = 3000;
constexpr uint64_t kByteArrayReplyWaitMs = 4000;
// Packets the worker lets wait for the device link's writer before it queues
// more, well below the FIFO's limit (a put beyond it empties the FIFO).
constexpr size_t kOutboundBacklog = aPACKETFIFO_MAX_QUEUED / 4;
constexpr int kBacklogWaitMs = 2000;
// A reply is awaited in slices, between which the worker looks for a stop.
constexpr uint64_t kAwaitSliceMs = 100;
constexpr uint64_t kSilenceAfterMs = 2000;
constexpr int32_t kPoolTtl = 2000;
constexpr uint16_t kBatchFlushAbove = aSERVER_BATCH_SIZE - aPACKET_MAX_WIRE - 1; // 4065
constexpr int kFlushStatus = 5;
constexpr int kResumeStatus = 6;
constexpr uint8_t kForceRoute = 0xAF;
constexpr uint8_t kStreamControl = 0x5D;
constexpr uint8_t kStreamEnable = 0x81;
constexpr uint8_t SERVER_CMD_DROPPED_PACKET = 0x00;
constexpr uint8_t SERVER_CMD_INCOMING_PACKETS = 0x01;
constexpr size_t kServerCmdSize = 3;
// Names the in-process endpoints of each server's socket pairs.
std::atomic<unsigned> sPairCount{0};

using Identity = std::vector<uint8_t>;

Identity sIdentityOf(zframe_t* frame)
{
    return Identity(zframe_data(frame), zframe_data(frame) + zframe_size(frame));
}

} // namespace

struct packetPool {
    Identity identity;
    std::list<aPacket*> packets;
    uint8_t lastSequence = 0;
    int32_t ttl = kPoolTtl;
};

struct aServerPools {
    std::list<packetPool> pools;
};

namespace {

void _packetPool_Destroy(packetPool& pool)
{
    for (aPacket* packet : pool.packets) aPacket_Destroy(&packet);
    pool.packets.clear();
}

void _printBSPacket(const aPacket* packet)
{
    if (!aDebug_Enabled(aDEBUG_SERVER)) return;
    if (!packet || packet->count < 2) {
        aDebug_Printf(aDEBUG_SERVER, "Weird Packet: Address: %d, Size: %d\n", packet ? packet->address : 0,
                      packet ? packet->count : 0);
        return;
    }
    std::string line;
    char byte[8];
    for (uint8_t i = 0; i < packet->length; ++i) {
        snprintf(byte, sizeof byte, "0x%X ", packet->data[i]);
        line += byte;
    }
    aDebug_Printf(aDEBUG_SERVER, "Address: %d, Size: %d Data: %s\n", packet->address, packet->length, line.c_str());
}

aPacket* _zFrame_To_aPacket(zframe_t* frame)
{
    if (!frame) return nullptr;
    size_t size = zframe_size(frame);
    const uint8_t* bytes = zframe_data(frame);
    if (size < 2 || size > aPACKET_MAX_WIRE || bytes[1] > size - 2) {
        aDebug_Printf(aDEBUG_SERVER, "Bad content packet: dSize: %d\n", static_cast<int>(size));
        return nullptr;
    }
    return aPacket_CreateWithData(bytes[0], bytes[1], bytes + 2);
}

zframe_t* _aPacket_To_zFrame(const aPacket* packet)
{
    uint8_t wire[aPACKET_MAX_WIRE];
    wire[0] = packet->address;
    wire[1] = packet->length;
    std::memcpy(wire + 2, packet->data, packet->length);
    return zframe_new(wire, packet->length + 2u);
}

// Sends without waiting; the frame is released either way, and errno is
// the send's on failure.
bool sSendNow(zframe_t** frame, zsock_t* socket, int flags = 0)
{
    if (*frame && zframe_send(frame, socket, flags | ZFRAME_DONTWAIT) == 0) return true;
    const int error = errno;
    zframe_destroy(frame);
    errno = error;
    return false;
}

bool _doesPacketContinue(const aPacket* packet)
{
    return aUEI_isUEIPayload(packet) && aUEI_getBytesFullPacket(packet) && aUEI_getBytesContinue(packet);
}

bool _isResponseRequired(const aPacket* packet, bool ueiAware)
{
    if (!packet || packet->address == kForceRoute) return false;
    return !(ueiAware && _doesPacketContinue(packet));
}

bool _isBlacklistedPacket(const aPacket* packet)
{
    return packet->address == kForceRoute && packet->length == 1;
}

// A wait that woke without input ends the loop only for the library's
// interrupt or its shutdown; any other signal merely cut the poll short.
bool sTerminated(zpoller_t* poller, int pollErrno)
{
    if (zpoller_expired(poller) || !zpoller_terminated(poller)) return false;
    return !(pollErrno == EINTR && !zsys_interrupted);
}

// The address the clients' port is bound on, as dotted text.
std::string sFrontendAddress(const aServer* server)
{
    char address[16] = "127.0.0.1";
    if (!(server->flags & aSERVER_FLAG_LOCAL_ONLY)) aDiscovery_ConvertIPv4Interface(server->interface, address, sizeof address);
    return address;
}

// The clients' TCP endpoint, once bound.
std::string sFrontendEndpoint(const aServer* server)
{
    return "tcp://" + sFrontendAddress(server) + ":" + std::to_string(server->frontendPort);
}

// Opens the frontend to clients of this process over an in-process endpoint
// as well: the same frames, without the two trips through loop-back TCP. A
// server that cannot still serves them over TCP.
void sPublishLocally(aServer* server)
{
    const unsigned n = sPairCount.fetch_add(1);
    char endpoint[sizeof server->localEndpoint];
    std::snprintf(endpoint, sizeof endpoint, "inproc://aServer-frontend-%u", n);
    if (zsock_bind(server->frontend, "%s", endpoint) != 0) return;
    if (!aServerLocal_Publish(server->interface, server->frontendPort, endpoint)) {
        zsock_unbind(server->frontend, "%s", endpoint);
        return;
    }
    std::memcpy(server->localEndpoint, endpoint, sizeof endpoint);
}

// Ends the in-process clients' connections as the closing of the TCP port
// ends the others'; with unbind, no new one is made to the endpoint.
void sWithdrawLocally(aServer* server, bool unbind)
{
    if (!server->localEndpoint[0]) return;
    aServerLocal_Withdraw(server->interface, server->frontendPort);
    if (unbind) zsock_unbind(server->frontend, "%s", server->localEndpoint);
    server->localEndpoint[0] = 0;
}

// ---- broker -------------------------------------------------------------

struct Broker {
    aServer* server;
    std::vector<Identity> subscribers;
    std::deque<Identity> awaiting;
    bool serving;
    // While not serving: the clients' endpoint and the model, for a resume.
    std::string endpoint;
    uint8_t model;
};

// A device link whose device has gone away is served no more: the clients'
// port is closed, which ends every client's connection as the end of the
// server would, and discovery is no longer answered, until the device link
// has been made anew (a reset of the server's own client link) and the
// server is asked to serve again.
void sStopServingWhenDeviceIsGone(Broker& broker)
{
    aServer* server = broker.server;
    if (!broker.serving || !aLink_ReadsFailingFor(server->entry->link, kDeviceLostMs)) return;
    broker.serving = false;
    broker.model = server->model.exchange(0);
    broker.endpoint = sFrontendEndpoint(server);
    if (!broker.endpoint.empty()) zsock_unbind(server->frontend, "%s", broker.endpoint.c_str());
    sWithdrawLocally(server, true);
    broker.awaiting.clear();
    server->stoppedServing = true;
    aDebug_Printf(aDEBUG_SERVER, "Device link lost: no longer serving %s\n", broker.endpoint.c_str());
}

// After the device link was made anew: the clients' port opens again.
void sResumeServing(Broker& broker)
{
    aServer* server = broker.server;
    if (broker.serving) return;
    if (zsock_bind(server->frontend, "%s", broker.endpoint.c_str()) < 0) {
        aDebug_Printf(aDEBUG_SERVER, "Could not serve %s again\n", broker.endpoint.c_str());
        return;
    }
    broker.serving = true;
    sPublishLocally(server);
    server->model = broker.model;
    server->stoppedServing = false;
    aDebug_Printf(aDEBUG_SERVER, "Serving %s again\n", broker.endpoint.c_str());
}

// False only when the client has left (its connection is gone): the
// frontend refuses identities it no longer knows.
bool sSendToClient(aServer* server, const Identity& identity, zframe_t* content)
{
    zframe_t* id = zframe_new(identity.data(), identity.size());
    zframe_t* copy = zframe_dup(content);
    if (!sSendNow(&id, server->frontend, ZFRAME_MORE)) {
        const bool gone = errno == EHOSTUNREACH;
        zframe_destroy(&copy);
        aDebug_Printf(aDEBUG_SERVER, "failed to send id\n");
        return !gone;
    }
    if (!sSendNow(&copy, server->frontend)) aDebug_Printf(aDEBUG_SERVER, "Failed to send packet out!\n");
    return true;
}

void _handleStreamEnable(Broker& broker, const Identity& identity, const aPacket* packet)
{
    if (packet->length != 7 || packet->data[0] != kStreamControl) return;
    aDebug_Printf(aDEBUG_SERVER, "ZeroMQ - Streaming Enable - Size: %zu\n", identity.size());
    if (packet->data[1] != kStreamEnable) {
        aDebug_Printf(aDEBUG_SERVER, "unknown stream enable: %d\n", packet->data[1]);
        return;
    }
    for (const Identity& known : broker.subscribers)
        if (known == identity) return;
    broker.subscribers.push_back(identity);
    broker.server->subscribers = broker.subscribers.size();
    aDebug_Printf(aDEBUG_SERVER, "Added stream entry\n");
}

// A chunk (header and sequence byte) for the entity and command of the
// pool's first chunk.
bool sSameArray(const packetPool& pool, const aPacket* packet)
{
    const aPacket* first = pool.packets.front();
    return first && packet->length >= 4 && std::memcmp(packet->data, first->data, 3) == 0;
}

// True when pooling took the packet.
bool _handleSetUEIBytes(Broker& broker, const Identity& identity, const aPacket* packet)
{
    if (aUEI_isNotUEIPayload(packet)) return false;
    std::list<packetPool>& pools = broker.server->pools->pools;
    for (auto it = pools.begin(); it != pools.end();) {
        if (it->ttl-- == 0) {
            aDebug_Printf(aDEBUG_SERVER, "setUEIBytes is stale, destroying\n");
            _packetPool_Destroy(*it);
            it = pools.erase(it);
        } else {
            ++it;
        }
    }
    auto pool = pools.begin();
    while (pool != pools.end() && pool->identity != identity) ++pool;
    const uint8_t sequence = aUEI_getBytesSequence(packet);
    if (pool != pools.end()) {
        // A chunk 0 that does not follow chunk 127 begins a new array, and a
        // packet for another entity or command is no chunk of this one: either
        // way the client broke the array off, and its pool goes.
        const bool follows = sequence == ((pool->lastSequence + 1) & 0x7F);
        if ((sequence == 0 && !follows) || !sSameArray(*pool, packet)) {
            aDebug_Printf(aDEBUG_SERVER, "setUEIBytes broken off, destroying\n");
            _packetPool_Destroy(*pool);
            pools.erase(pool);
            pool = pools.end();
        }
    }
    if (pool == pools.end()) {
        if (packet->length != aPACKET_MAX_DATA || !aUEI_getBytesContinue(packet) || sequence != 0) return false;
        pools.emplace_back();
        pools.back().identity = identity;
        pools.back().packets.push_back(aPacket_Copy(packet));
        aDebug_Printf(aDEBUG_SERVER, "UEIBytes\n");
        return true;
    }
    aDebug_Printf(aDEBUG_SERVER, "UEIBytes\n");
    if (sequence != ((pool->lastSequence + 1) & 0x7F)) {
        aDebug_Printf(aDEBUG_SERVER, "BOOM: Sequence mix up. ttl will clean it up. \n");
        return true;
    }
    pool->packets.push_back(aPacket_Copy(packet));
    // The pool ages by other packets, not by its own chunks, however long
    // the array.
    pool->ttl = kPoolTtl;
    if (_doesPacketContinue(packet)) {
        pool->lastSequence = sequence;
        return true;
    }
    broker.awaiting.push_back(identity);
    int index = 0;
    for (const aPacket* member : pool->packets) {
        aDebug_Printf(aDEBUG_SERVER, "Pool Packet: %d\n", index++);
        zframe_t* frame = member ? _aPacket_To_zFrame(member) : nullptr;
        if (!sSendNow(&frame, broker.server->syncBroker)) aDebug_Printf(aDEBUG_SERVER, "Failed to send setUEIBytes!\n");
    }
    _packetPool_Destroy(*pool);
    pools.erase(pool);
    return true;
}

void sHandleRequest(Broker& broker, const Identity& identity, const aPacket* packet)
{
    _handleStreamEnable(broker, identity, packet);
    if (_handleSetUEIBytes(broker, identity, packet)) return;
    // Asked as the worker asks, so that a queued identity always has an
    // answer (a reply or a dropped-packet command) coming.
    if (_isResponseRequired(packet, true)) broker.awaiting.push_back(identity);
    if (_isBlacklistedPacket(packet)) {
        aDebug_Printf(aDEBUG_SERVER, "Blocking cmdFORCEROUTE from remote client\n");
        return;
    }
    zframe_t* frame = _aPacket_To_zFrame(packet);
    if (!sSendNow(&frame, broker.server->syncBroker)) aDebug_Printf(aDEBUG_SERVER, "Failed to send packet out!\n");
}

void _serverWorker_broker_frontend(Broker& broker)
{
    zmsg_t* message = zmsg_recv(broker.server->frontend);
    if (!message) return;
    zframe_t* idFrame = zmsg_first(message);
    zframe_t* content = zmsg_next(message);
    // A frame that is not one packet is dropped here, before anything is
    // queued for it: no reply is awaited for it and the device never sees it.
    aPacket* packet = idFrame && content ? _zFrame_To_aPacket(content) : nullptr;
    if (packet) {
        sHandleRequest(broker, sIdentityOf(idFrame), packet);
        aPacket_Destroy(&packet);
    }
    zmsg_destroy(&message);
}

void _serverWorker_broker_sync(Broker& broker)
{
    aServer* server = broker.server;
    zframe_t* frame = zframe_recv(server->syncBroker);
    if (!frame) return;
    // While replies are announced, a frame is a reply whatever its size: a
    // reply with one data byte is as long as a server command.
    const bool command = zframe_size(frame) == kServerCmdSize && server->expectedReplies == 0;
    const uint8_t* bytes = zframe_data(frame);
    if (!command) {
        if (server->expectedReplies > 0)
            --server->expectedReplies;
        else
            aDebug_Printf(aDEBUG_SERVER, "Error, sending more packets then expected\n");
    } else if (bytes[0] == SERVER_CMD_INCOMING_PACKETS) {
        server->expectedReplies = static_cast<uint16_t>(bytes[1] << 8 | bytes[2]);
    }
    if (broker.awaiting.empty()) {
        aDebug_Printf(aDEBUG_SERVER, "no id to pop\n");
        zframe_destroy(&frame);
        return;
    }
    Identity identity = broker.awaiting.front();
    broker.awaiting.pop_front();
    if (!command) {
        sSendToClient(server, identity, frame);
    } else if (bytes[0] == SERVER_CMD_INCOMING_PACKETS) {
        for (uint16_t i = 0; i < server->expectedReplies; ++i) broker.awaiting.push_front(identity);
    } else if (bytes[0] == SERVER_CMD_DROPPED_PACKET) {
        aDebug_Printf(aDEBUG_SERVER, "DROPPED PACKET!\n");
    } else {
        aDebug_Printf(aDEBUG_SERVER, "Unknown Server cmd: %d\n", bytes[0]);
    }
    zframe_destroy(&frame);
}

void _serverWorker_broker_streaming(Broker& broker)
{
    zframe_t* batch = zframe_recv(broker.server->streamingBroker);
    if (!batch) return;
    // A client that left is forgotten, so the list does not grow with every
    // client that ever subscribed.
    auto& subscribers = broker.subscribers;
    subscribers.erase(std::remove_if(subscribers.begin(), subscribers.end(),
                                     [&](const Identity& subscriber) {
                                         return !sSendToClient(broker.server, subscriber, batch);
                                     }),
                      subscribers.end());
    broker.server->subscribers = subscribers.size();
    zframe_destroy(&batch);
}

void _serverWorker_broker(zsock_t* pipe, void* argument)
{
    auto* server = static_cast<aServer*>(argument);
    zsock_signal(pipe, 0); // running
    zpoller_t* poller = zpoller_new(pipe, server->syncBroker, server->frontend, server->streamingBroker, nullptr);
    if (poller && server->discoveryIsBeacon) zpoller_add(poller, server->discovery);
    if (poller) {
        Broker broker{server, {}, {}, true, {}, 0};
        server->publishStartMs = 0;
        server->publishing = false;
        aDebug_Printf(aDEBUG_SERVER, "broker create\n");
        zsock_signal(pipe, 0); // ready
        zPollBriefly waiting;
        for (;;) {
            void* which = waiting.wait(poller, kBrokerWaitMs);
            int pollErrno = errno;
            zSysInterruptHandler_process();
            sStopServingWhenDeviceIsGone(broker);
            if (which == server->streamingBroker) {
                _serverWorker_broker_streaming(broker);
            } else if (which == server->syncBroker) {
                _serverWorker_broker_sync(broker);
            } else if (which == server->frontend) {
                _serverWorker_broker_frontend(broker);
            } else if (which && which == server->discovery) {
                if (_isDiscoveryConfigured(server)) {
                    _serverWorker_broker_beacon(server, _createNetworkSpec(server));
                } else {
                    zmsg_t* discarded = zmsg_recv(server->discovery);
                    zmsg_destroy(&discarded);
                    aDebug_Printf(aDEBUG_SERVER, "Discovery not allowed (beacon), model not set.\n");
                }
            } else if (which == pipe) {
                zmsg_t* message = zmsg_recv(pipe);
                const int status = message ? zmsg_signal(message) : -1;
                zmsg_destroy(&message);
                if (status == kResumeStatus) {
                    sResumeServing(broker);
                } else if (status == kFlushStatus) {
                    aDebug_Printf(aDEBUG_SERVER, "Flushing FIFO\n");
                    broker.awaiting.clear();
                } else {
                    break;
                }
            } else if (sTerminated(poller, pollErrno)) {
                break;
            }
            if (server->publishing && aTime_GetMSTicks() - server->publishStartMs > kSilenceAfterMs) {
                zstr_sendx(server->discovery, "SILENCE", nullptr);
                server->publishing = false;
                aDebug_Printf(aDEBUG_SERVER, "Beacon silenced\n");
            }
        }
        zpoller_destroy(&poller);
    }
    aDebug_Printf(aDEBUG_SERVER, "broker task exit\n");
    zsock_signal(pipe, 0); // ended
}

// ---- synchronous-command worker -----------------------------------------

void sSendServerCmd(aServer* server, uint8_t command, uint16_t count, const char* failed)
{
    const uint8_t bytes[kServerCmdSize] = {command, static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
    zframe_t* frame = zframe_new(bytes, sizeof bytes);
    if (!sSendNow(&frame, server->syncBackend)) aDebug_Printf(aDEBUG_SERVER, "%s\n", failed);
}

void _sendServerCmd_DroppedPacket(aServer* server)
{
    sSendServerCmd(server, SERVER_CMD_DROPPED_PACKET, 0, "Failed to SEND SERVER_CMD_DROPPED_PACKET!");
}

void _sendServerCmd_IncomingPackets(aServer* server, uint16_t count)
{
    sSendServerCmd(server, SERVER_CMD_INCOMING_PACKETS, count, "Failed to SEND SERVER_CMD_INCOMING_PACKETS");
}

// A reply to the request: for a module-address query (no data) a packet
// without data, else a packet from the addressed module for the same command.
bool sReplyFilter(const aPacket* packet, const void* reference)
{
    auto* request = static_cast<const aPacket*>(reference);
    if (request->length == 0) return packet->length == 0;
    return packet->address == request->address && packet->length > 0 && packet->data[0] == request->data[0];
}

// Queues the request on the device link, first letting its writer work off
// a long backlog (the chunks of a long byte array come faster than it writes).
aErr sPutRequest(aServer* server, const aPacket* request)
{
    aLink* link = server->entry->link;
    for (int waited = 0; waited < kBacklogWaitMs && aPacketFifo_GetLength(link->outbound) >= kOutboundBacklog; ++waited)
        aTime_MSSleep(1);
    return aLink_PutPacket(server->entry->id, request);
}

struct SyncWorker {
    aServer* server;
    zsock_t* pipe;
    // The last request was a chunk that announced more: the next one may end
    // a byte array, whose reply the client awaits longer.
    bool inArray;
};

// The reply to the request, waiting up to waitMs; NULL when none came or
// the worker is asked to stop meanwhile: a stop does not wait for a device
// that stays silent.
aPacket* sAwaitReply(const SyncWorker& worker, aLink* link, const aPacket* request, uint64_t waitMs)
{
    const uint64_t deadline = aTime_GetMSTicks() + waitMs;
    for (uint64_t now = aTime_GetMSTicks(); now < deadline; now = aTime_GetMSTicks()) {
        const uint64_t sliceEnd = now + std::min<uint64_t>(deadline - now, kAwaitSliceMs);
        // Awaited as a caller of the link, which reads the device's answer
        // itself while it can, rather than wake the link's reader for it;
        // on a link out of step, on its received packets for the slice.
        aPacket* reply = aLink_AwaitFirst(worker.server->entry->id, sReplyFilter, request, sliceEnd - now);
        now = aTime_GetMSTicks();
        if (!reply && now < sliceEnd) reply = aPacketFifo_AwaitFirst(link->inbound, sReplyFilter, request, sliceEnd - now);
        if (reply) return reply;
        if (zsock_events(worker.pipe) & ZMQ_POLLIN) break;
    }
    return nullptr;
}

void _serverWorker_syncCommands_syncBackend(SyncWorker& worker)
{
    aServer* server = worker.server;
    zframe_t* frame = zframe_recv(server->syncBackend);
    aPacket* request = _zFrame_To_aPacket(frame);
    zframe_destroy(&frame);
    if (!request) {
        aDebug_Printf(aDEBUG_SERVER, "bad-packet\n");
        return;
    }
    const bool endsArray = worker.inArray;
    worker.inArray = _doesPacketContinue(request);
    const bool responseRequired = _isResponseRequired(request, true);
    aLink* link = server->entry->link;
    // What came before the request cannot be its reply: a late answer, a
    // packet the device sent on its own, answers after a resynchronisation.
    if (responseRequired) aPacketFifo_DrainPackets(link->inbound, drainAll, nullptr);
    aErr err = sPutRequest(server, request);
    if (err != aErrNone) {
        // Only a request that had a client queued for its reply has one to drop.
        if (responseRequired) _sendServerCmd_DroppedPacket(server);
        _printBSPacket(request);
        aDebug_Printf(aDEBUG_SERVER, "Failed to PUT packet: err: %d\n", err);
    } else if (!responseRequired) {
        aDebug_Printf(aDEBUG_SERVER, "don't wait on this packet\n");
    } else {
        const uint64_t waitMs = endsArray ? kByteArrayReplyWaitMs : kReplyWaitMs;
        std::vector<aPacket*> held;
        for (aPacket* reply = sAwaitReply(worker, link, request, waitMs); reply;
             reply = _doesPacketContinue(reply) ? sAwaitReply(worker, link, request, waitMs) : nullptr)
            held.push_back(reply);
        if (held.empty()) {
            _sendServerCmd_DroppedPacket(server);
            _printBSPacket(request);
            aDebug_Printf(aDEBUG_SERVER, "Failed to AWAIT packet\n");
        } else {
            _sendServerCmd_IncomingPackets(server, static_cast<uint16_t>(held.size()));
            for (aPacket*& reply : held) {
                zframe_t* out = _aPacket_To_zFrame(reply);
                if (!sSendNow(&out, server->syncBackend)) aDebug_Printf(aDEBUG_SERVER, "Failed to SENDY-SEND!\n");
                aPacket_Destroy(&reply);
            }
        }
    }
    aPacket_Destroy(&request);
}

void _serverWorker_syncCommands(zsock_t* pipe, void* argument)
{
    auto* server = static_cast<aServer*>(argument);
    zsock_signal(pipe, 0); // running
    aDebug_Printf(aDEBUG_SERVER, "sync task start\n");
    zpoller_t* poller = server->syncBackend ? zpoller_new(pipe, server->syncBackend, nullptr) : nullptr;
    if (poller) {
        SyncWorker worker{server, pipe, false};
        zsock_signal(pipe, 0); // ready
        zPollBriefly waiting;
        for (;;) {
            void* which = waiting.wait(poller, kWaitMs);
            int pollErrno = errno;
            zSysInterruptHandler_process();
            if (which == pipe) {
                aDebug_Printf(aDEBUG_SERVER, "PIPE! - Task\n");
                break;
            }
            if (which == server->syncBackend)
                _serverWorker_syncCommands_syncBackend(worker);
            else if (sTerminated(poller, pollErrno))
                break;
        }
        zpoller_destroy(&poller);
    }
    aDebug_Printf(aDEBUG_SERVER, "sync task exit\n");
    zsock_signal(pipe, 0); // ended
}

// ---- reader thread ------------------------------------------------------

bool _streamingPacketFilter(const aPacket* packet, void* reference)
{
    auto* server = static_cast<aServer*>(reference);
    bool consumed = aUEI_isStreamPacket(packet);
    if (consumed) {
        server->batch[server->batchLength++] = packet->address;
        server->batch[server->batchLength++] = packet->length;
        std::memcpy(server->batch + server->batchLength, packet->data, packet->length);
        server->batchLength = static_cast<uint16_t>(server->batchLength + packet->length);
    }
    bool heartbeat = packet->length == 2 && packet->data[0] == 0;
    if ((heartbeat || server->batchLength > kBatchFlushAbove) && server->batchLength > 0) {
        zframe_t* frame = zframe_new(server->batch, server->batchLength);
        sSendNow(&frame, server->streamingSource);
        server->batchLength = 0;
    }
    return consumed;
}

// ---- start and stop -----------------------------------------------------

int _findPortAndBindSocket(aServer* server)
{
    const std::string address = sFrontendAddress(server);
    int port = zsock_bind(server->frontend, "tcp://%s:*", address.c_str());
    aDebug_Printf(aDEBUG_SERVER, "_findPortAndBindSocket: %d - %s\n", port, address.c_str());
    return port;
}

// Joins two sockets of this process over an in-process endpoint that no
// other process can reach; false on failure. No high-water mark: a byte
// array of any length passes whole, and a send never waits.
bool sMakePair(zsock_t* bound, zsock_t* connected, const char* role)
{
    for (zsock_t* end : {bound, connected}) {
        zsock_set_sndhwm(end, 0);
        zsock_set_rcvhwm(end, 0);
    }
    const unsigned n = sPairCount.fetch_add(1);
    if (zsock_bind(bound, "inproc://aServer-%s-%u", role, n) != 0) return false;
    return zsock_connect(connected, "inproc://aServer-%s-%u", role, n) == 0;
}

zactor_t* sStartActor(zactor_fn* task, aServer* server)
{
    zactor_t* actor = zactor_new(task, server);
    if (actor) zsock_wait(actor);
    return actor;
}

void _signalWaitDestroyActor(zactor_t** actor)
{
    if (!*actor) return;
    zsock_t* pipe = zactor_sock(*actor);
    zsock_set_sndtimeo(pipe, kStopWaitMs);
    zsock_set_rcvtimeo(pipe, kStopWaitMs);
    zsock_signal(pipe, 0);
    zsock_wait(pipe);
    zsock_set_sndtimeo(pipe, -1);
    zsock_set_rcvtimeo(pipe, -1);
    zactor_destroy(actor);
}

aErr _initServer(aServer* server)
{
    server->expectedReplies = 0;
    server->frontend = zsock_new_checked(ZMQ_ROUTER, __FILE__, __LINE__);
    // A send to a client that has left fails (rather than vanishing), which
    // tells the broker to forget it.
    if (server->frontend) zsock_set_router_mandatory(server->frontend, 1);
    server->streamingSource = zsock_new_checked(ZMQ_DEALER, __FILE__, __LINE__);
    server->streamingBroker = zsock_new_checked(ZMQ_DEALER, __FILE__, __LINE__);
    server->syncBackend = zsock_new_checked(ZMQ_DEALER, __FILE__, __LINE__);
    server->syncBroker = zsock_new_checked(ZMQ_DEALER, __FILE__, __LINE__);
    if (!server->frontend || !server->streamingSource || !server->streamingBroker || !server->syncBackend ||
        !server->syncBroker)
        return aErrResource;
    _configureInterface(server);
    int frontendPort = _findPortAndBindSocket(server);
    if (frontendPort > 0) {
        server->frontendPort = static_cast<uint16_t>(frontendPort);
        sPublishLocally(server);
    }
    bool paired = sMakePair(server->streamingBroker, server->streamingSource, "streaming") &&
                  sMakePair(server->syncBroker, server->syncBackend, "sync");
    aDebug_Printf(aDEBUG_SERVER, "_initServer: server->frontendPort: %d\n", server->frontendPort);
    if (frontendPort <= 0 || !paired || !server->discovery) {
        aDebug_Printf(aDEBUG_SERVER, "Could not find open port\n");
        return aErrResource;
    }
    // The broker uses the pool list from its first frame on.
    server->pools = new (std::nothrow) aServerPools();
    if (!server->pools) return aErrResource;
    server->broker = sStartActor(_serverWorker_broker, server);
    server->syncWorker = sStartActor(_serverWorker_syncCommands, server);
    if (!server->broker || !server->syncWorker) return aErrResource;
    server->filterInstalled =
        aLink_InstallUserPacketFilterAnyThread(server->entry->id, _streamingPacketFilter, server) == aErrNone;
    aLink_DrainPackets(server->entry->id, drainAll, nullptr);
    return aErrNone;
}

void _deinitServer(aServer* server)
{
    // Only a filter of its own: a server that never started (refused for a
    // link that another server serves) leaves that server's filter alone.
    if (server->filterInstalled) aLink_InstallUserPacketFilter(server->entry->id, nullptr, nullptr);
    _signalWaitDestroyActor(&server->syncWorker);
    _signalWaitDestroyActor(&server->broker);
    // The broker, which withdraws and publishes while it runs, has ended:
    // the in-process clients are told, and the endpoint goes with its socket.
    sWithdrawLocally(server, false);
    if (server->discoveryIsBeacon)
        zactor_destroy(&server->discovery);
    else
        _signalWaitDestroyActor(&server->discovery);
    zsock_destroy(&server->syncBroker);
    zsock_destroy(&server->syncBackend);
    zsock_destroy(&server->streamingBroker);
    zsock_destroy(&server->streamingSource);
    zsock_destroy(&server->frontend);
    if (server->pools) {
        for (packetPool& pool : server->pools->pools) _packetPool_Destroy(pool);
        delete server->pools;
        server->pools = nullptr;
    }
}

} // namespace

linkSpec _createNetworkSpec(const aServer* server)
{
    linkSpec spec;
    std::memset(&spec, 0, sizeof spec);
    spec.type = server->serverType;
    spec.serialNumber = server->entry->identifier1;
    spec.moduleAddress = server->moduleAddress;
    spec.model = server->model;
    spec.ipAddress = server->advertisedAddress;
    spec.tcpPort = server->frontendPort;
    aDebug_Printf(aDEBUG_BEACON_INTERFACE, "Creating Network Spec: Address: %u, Port: %d\n", spec.ipAddress,
                  server->frontendPort);
    return spec;
}

aServer* aServer_Create(aLinkId deviceLink, uint32_t networkInterface, uint8_t flags)
{
    aLinkEntry* entry = sLookupEntryByID(deviceLink);
    if (!entry) {
        aDebug_Printf(aDEBUG_SERVER, "Could not find device Item\n");
        return nullptr;
    }
    linkType served;
    switch (entry->type) {
    case USB: served = AVORNE_USB; break;
    case TCPIP: served = AVORNE_TCPIP; break;
    case SERIAL: served = AVORNE_SERIAL; break;
    default:
        aDebug_Printf(aDEBUG_SERVER, "Unhandled linkType: %d\n", entry->type);
        return nullptr;
    }
    auto* server = new (std::nothrow) aServer();
    if (!server) return nullptr;
    server->entry = entry;
    server->serverType = served;
    server->flags = flags;
    server->interface = networkInterface ? networkInterface : htonl(INADDR_LOOPBACK);
    return server;
}

aErr aServer_Start(aServer* server)
{
    if (!server) return aErrParam;
    // A server is started once: a second start would orphan the first's
    // sockets and actors.
    if (server->frontend) return aErrBusy;
    return _initServer(server);
}

aErr aServer_Destroy(aServer** server)
{
    if (!server || !*server) return aErrParam;
    _deinitServer(*server);
    aDebug_Printf(aDEBUG_SERVER, "server task exit\n");
    delete *server;
    *server = nullptr;
    zSysInterruptHandler_handBack();
    return aErrNone;
}

aErr aServer_GetPort(const aServer* server, uint16_t* port)
{
    if (!server || !port) return aErrParam;
    *port = server->frontendPort;
    return aErrNone;
}

aErr aServer_GetInterface(const aServer* server, uint32_t* networkInterface)
{
    if (!server || !networkInterface) return aErrParam;
    *networkInterface = server->interface;
    return aErrNone;
}

aErr aServer_SetModuleAddress(aServer* server, uint8_t address)
{
    if (!server) return aErrParam;
    server->moduleAddress = address;
    return aErrNone;
}

aErr aServer_SetModel(aServer* server, uint8_t model)
{
    if (!server) return aErrParam;
    server->model = model;
    return aErrNone;
}

aErr aServer_ReinstallFilter(aServer* server)
{
    if (!server) return aErrParam;
    aErr err = aLink_InstallUserPacketFilterAnyThread(server->entry->id, _streamingPacketFilter, server);
    if (err == aErrNone) server->filterInstalled = true;
    return err;
}

aErr aServer_Resume(aServer* server)
{
    if (!server) return aErrParam;
    if (server->broker && server->stoppedServing) zsock_signal(server->broker, kResumeStatus);
    return aErrNone;
}

aErr aServer_FlushFIFO(aServer* server)
{
    if (!server) return aErrParam;
    aDebug_Printf(aDEBUG_SERVER, "aServer_FlushFIFO\n");
    if (server->broker) zsock_signal(server->broker, kFlushStatus);
    return aErrNone;
}
