// The client stream over CZMQ: a DEALER connected to the server, two in-process
// DEALER pairs (one per link thread) and the broker actor between them.
#include "common/aStream_ZeroMQClient.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <czmq.h>
#include <mutex>
#include <new>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

#include "common/aDebug.h"
#include "common/aServerLocal.h"
#include "common/zPollBriefly.h"
#include "common/zSysInterruptHandler.h"
#include "platform/aTime.h"

namespace {

constexpr int kWaitMs = 1000;
constexpr int kSendAttempts = 100;
constexpr int kStopWaitMs = 250;
// Longest wait for the reply to a subscription made again after a reset: the
// server gives up on a device's reply after 2000 ms.
constexpr uint64_t kResubscribeReplyMs = 2500;
constexpr uint8_t kStreamControl = 0x5D;
constexpr uint8_t kStreamEnable = 0x81;
constexpr uint8_t kStreamDisable = 0x82;
constexpr uint8_t kStreamEnableReply = 0xC1;
// Names the in-process endpoints of each stream's pairs.
std::atomic<unsigned> sPairCount{0};

// Each pair is bound on the side that reads and connected on the
// side that writes: a connected DEALER queues what it is given at once, so
// the first writes are not refused while the pair's connection is still
// being made.
using Bytes = std::vector<uint8_t>;

// The connection to the server: made in the background, up once the server
// answered the protocol's greeting, and lost for good when it closes after
// that (the server ended or stopped serving). A lost stream does not connect
// again: another server may take the port meanwhile. A server that is only
// silent (its process stopped or starved) keeps its clients: nothing but the
// closing of the connection counts, and their requests time out until it
// answers again.
enum Connection : int { kConnecting, kConnected, kLost };

struct ClientStream {
    zsock_t* server = nullptr;
    zsock_t* outgoing = nullptr;
    zsock_t* outgoingPeer = nullptr;
    zsock_t* incoming = nullptr;
    zsock_t* incomingPeer = nullptr;
    zactor_t* brokerTask = nullptr;
    zpoller_t* poller = nullptr;
    // The get's wait, reader only.
    zPollBriefly waiting;
    zframe_t* frame = nullptr;
    uint64_t readPosition = 0;
    uint64_t frameSize = 0;
    // The events of `server`'s connection; broker task only.
    zsock_t* monitor = nullptr;
    char endpoint[64] = {};
    // Readable once a server of this process that the stream reached over
    // its in-process endpoint stops serving it; broker task only.
    int lostFd = -1;
    std::atomic<int> connection{kConnecting};
    // A connection attempt found nobody listening while connecting.
    std::atomic<bool> refused{false};
    // Set while the link stops the reader: the get does not wait. The get's
    // poller also watches wakeFd, which is readable while this is set, so
    // that a get under way returns at once.
    std::atomic<bool> interrupted{false};
    int wakeFd = -1;
    // Reader only: the end mark that follows the last frame of a lost
    // connection was read; every later read fails.
    bool ended = false;
    // The stream enables written and not disabled since, which a stream made
    // again after a reset sends anew.
    std::mutex enablesLock;
    std::vector<Bytes> enables;
    // While a subscription made again awaits its reply: the device's address
    // (else -1) and the monotonic deadline; the reply is not passed on.
    std::atomic<int> swallowAddress{-1};
    std::atomic<uint64_t> swallowUntil{0};
};

bool _aVALIDStream(const ClientStream* stream)
{
    return stream && stream->server;
}

// A wait that woke without input ended for one of three reasons.
enum class Woke { Expired, Signal, Terminated };

// A signal other than the library's interrupt cuts a poll short without
// meaning anything: only the interrupt or the library's shutdown ends a wait
// for good.
Woke sWhyWoke(zpoller_t* poller, int pollErrno)
{
    if (zpoller_expired(poller)) return Woke::Expired;
    if (zpoller_terminated(poller) && pollErrno == EINTR && !zsys_interrupted) return Woke::Signal;
    return Woke::Terminated;
}

// Sends the frame without waiting, sleeping 1 ms after each failure, at most
// kSendAttempts times, with a debug line per failure when attemptFailed is
// given; the frame is released in every case. True once sent.
bool sSendWithRetries(zframe_t** frame, zsock_t* socket, const char* attemptFailed)
{
    bool sent = false;
    for (int attempt = 0; attempt < kSendAttempts && !sent; ++attempt) {
        sent = zframe_send(frame, socket, ZFRAME_REUSE | ZFRAME_DONTWAIT) == 0;
        if (!sent) {
            if (attemptFailed) aDebug_Printf(aDEBUG_CLIENT_STREAM, attemptFailed, attempt + 1);
            aTime_MSSleep(1);
        }
    }
    zframe_destroy(frame);
    return sent;
}

// At the stream's deletion: sends on what was written before it, up to the
// empty frame that the deletion puts behind the last write (a frame the
// writer never sends), waiting at most kStopWaitMs.
void sForwardRest(ClientStream* stream)
{
    const uint64_t deadline = aTime_GetMonotonicMSTicks() + kStopWaitMs;
    for (uint64_t now = aTime_GetMonotonicMSTicks(); now < deadline; now = aTime_GetMonotonicMSTicks()) {
        zsock_set_rcvtimeo(stream->outgoingPeer, static_cast<int>(deadline - now));
        zframe_t* frame = zframe_recv(stream->outgoingPeer);
        if (!frame) return;
        bool last = zframe_size(frame) == 0;
        if (last || zframe_send(&frame, stream->server, ZFRAME_DONTWAIT) != 0) zframe_destroy(&frame);
        if (last) return;
    }
}

// The reply to the subscription made again is this stream's own business.
bool sSwallowed(ClientStream* stream, zframe_t* frame)
{
    const int address = stream->swallowAddress;
    if (address < 0) return false;
    if (aTime_GetMonotonicMSTicks() > stream->swallowUntil) {
        stream->swallowAddress = -1;
        return false;
    }
    const uint8_t* bytes = zframe_data(frame);
    const size_t size = zframe_size(frame);
    const bool reply = size >= 4 && size == static_cast<size_t>(bytes[1]) + 2 && bytes[0] == address &&
                       bytes[2] == kStreamControl && bytes[3] == kStreamEnableReply;
    if (reply) stream->swallowAddress = -1;
    return reply;
}

// The connection that was up is gone: the socket stops connecting, and an
// empty frame behind the last one received tells the reader that the stream
// has ended.
void sLoseServer(ClientStream* stream)
{
    zsock_disconnect(stream->server, "%s", stream->endpoint);
    stream->connection = kLost;
    aDebug_Printf(aDEBUG_CLIENT_STREAM, "Client lost the server: %s\n", stream->endpoint);
    zframe_t* end = zframe_new_empty();
    if (end) sSendWithRetries(&end, stream->incomingPeer, nullptr);
}

// One event of the server connection's monitor. Once the connection that was
// up closes, the socket stops connecting, and an empty frame behind the last
// one received tells the reader that the stream has ended.
void sTakeEvent(ClientStream* stream)
{
    zmsg_t* message = zmsg_recv(stream->monitor);
    if (!message) return;
    zframe_t* first = zmsg_first(message);
    uint16_t event = 0;
    if (first && zframe_size(first) >= sizeof event) std::memcpy(&event, zframe_data(first), sizeof event);
    zmsg_destroy(&message);
    const int connection = stream->connection;
    if (event == ZMQ_EVENT_HANDSHAKE_SUCCEEDED && connection == kConnecting) {
        stream->connection = kConnected;
        aDebug_Printf(aDEBUG_CLIENT_STREAM, "Client connected: %s\n", stream->endpoint);
    } else if (event == ZMQ_EVENT_CONNECT_RETRIED && connection == kConnecting) {
        stream->refused = true;
    } else if (event == ZMQ_EVENT_DISCONNECTED && connection == kConnected) {
        sLoseServer(stream);
    }
}

void _broker_task(zsock_t* pipe, void* argument)
{
    auto* stream = static_cast<ClientStream*>(argument);
    zsock_signal(pipe, 0); // running
    zpoller_t* poller = zpoller_new(pipe, stream->server, stream->outgoingPeer, stream->monitor, &stream->lostFd, nullptr);
    if (poller) {
        zsock_signal(pipe, 0); // ready
        bool endMarked = false;
        zPollBriefly waiting;
        for (;;) {
            void* which = waiting.wait(poller, kWaitMs);
            int pollErrno = errno;
            zSysInterruptHandler_process();
            if (which == pipe) {
                if (!endMarked) sForwardRest(stream);
                break;
            }
            if (which == stream->server) {
                zframe_t* frame = zframe_recv(stream->server);
                if (frame && sSwallowed(stream, frame))
                    zframe_destroy(&frame);
                else if (frame && !sSendWithRetries(&frame, stream->incomingPeer, nullptr))
                    aDebug_Printf(aDEBUG_CLIENT_STREAM, "Client send error Frontend->incomming: %d\n", kSendAttempts);
            } else if (which == stream->outgoingPeer) {
                zframe_t* frame = zframe_recv(stream->outgoingPeer);
                if (frame && zframe_size(frame) == 0) {
                    endMarked = true; // everything written is sent on; the stop follows
                    zframe_destroy(&frame);
                } else if (frame && zframe_send(&frame, stream->server, ZFRAME_DONTWAIT) != 0) {
                    aDebug_Printf(aDEBUG_CLIENT_STREAM, "Client send error Frontend->client: %d\n", zmq_errno());
                    zframe_destroy(&frame);
                }
            } else if (which == stream->monitor) {
                sTakeEvent(stream);
            } else if (which == &stream->lostFd) {
                eventfd_t count = 0;
                eventfd_read(stream->lostFd, &count);
                if (stream->connection != kLost) sLoseServer(stream);
            } else if (!which && sWhyWoke(poller, pollErrno) == Woke::Terminated) {
                break;
            }
        }
        zpoller_destroy(&poller);
    }
    aDebug_Printf(aDEBUG_CLIENT_STREAM, "Client task exit\n");
    zsock_signal(pipe, 0); // ended
}

aErr _sZeroMQStreamGet(uint8_t* byte, void* reference)
{
    auto* stream = static_cast<ClientStream*>(reference);
    if (!_aVALIDStream(stream)) return aErrParam;
    // Gone as a device link's device goes: the stream stays down.
    if (stream->ended) return aErrConnection;
    if (!stream->frame) {
        void* which = nullptr;
        const uint64_t deadline = aTime_GetMonotonicMSTicks() + kWaitMs;
        for (uint64_t now = aTime_GetMonotonicMSTicks(); !which && now < deadline;
             now = aTime_GetMonotonicMSTicks()) {
            if (stream->interrupted) return aErrNotReady;
            which = stream->waiting.wait(stream->poller, static_cast<int>(deadline - now));
            int pollErrno = errno;
            zSysInterruptHandler_process();
            if (!which && sWhyWoke(stream->poller, pollErrno) == Woke::Terminated) return aErrUnknown;
            if (which == &stream->wakeFd) which = nullptr;
        }
        if (!which) return aErrNotReady;
        if (which != stream->incoming) return aErrUnknown;
        stream->frame = zframe_recv(stream->incoming);
        if (!stream->frame) return aErrIO;
        stream->readPosition = 0;
        stream->frameSize = zframe_size(stream->frame);
    }
    if (stream->frameSize == 0) {
        zframe_destroy(&stream->frame);
        if (stream->connection == kLost) {
            stream->ended = true;
            return aErrConnection;
        }
        return aErrIndexRange;
    }
    *byte = zframe_data(stream->frame)[stream->readPosition++];
    if (stream->readPosition == stream->frameSize) {
        zframe_destroy(&stream->frame);
        stream->readPosition = 0;
        stream->frameSize = 0;
    }
    return aErrNone;
}

void _sZeroMQStreamInterrupt(bool on, void* reference)
{
    auto* stream = static_cast<ClientStream*>(reference);
    stream->interrupted = on;
    eventfd_t count = 0;
    if (on)
        eventfd_write(stream->wakeFd, 1);
    else
        eventfd_read(stream->wakeFd, &count);
}

// Single bytes are no frames of the server's protocol.
aErr _sZeroMQStreamPut(const uint8_t*, void*)
{
    return aErrUnimplemented;
}

// A stream enable (the request the server subscribes its sender on) is kept
// until a disable of the same value follows.
void sNoteEnables(ClientStream* stream, const uint8_t* data, size_t length)
{
    if (length != 9 || data[1] != 7 || data[2] != kStreamControl) return;
    if (data[3] != kStreamEnable && data[3] != kStreamDisable) return;
    std::lock_guard<std::mutex> lock(stream->enablesLock);
    auto& enables = stream->enables;
    for (auto at = enables.begin(); at != enables.end();) {
        const bool same = (*at)[0] == data[0] && std::memcmp(at->data() + 4, data + 4, 5) == 0;
        at = same ? enables.erase(at) : at + 1;
    }
    if (data[3] == kStreamEnable) enables.emplace_back(data, data + length);
}

// The bytes of the packet that `data` starts, by its length byte; bytes that
// are no whole packet go on as they are, and the server drops them.
size_t sPacketSpan(const uint8_t* data, size_t length)
{
    return length < 2 ? length : std::min<size_t>(2u + data[1], length);
}

aErr _sZeroMQStreamWrite(const uint8_t* data, size_t length, void* reference)
{
    auto* stream = static_cast<ClientStream*>(reference);
    if (!_aVALIDStream(stream)) return aErrParam;
    if (stream->connection == kLost) return aErrConnection;
    // The server takes one packet a frame: a write of several packets (a
    // link that gathers its writes) goes as one frame per packet.
    for (size_t at = 0, n = 0; at < length; at += n) {
        n = sPacketSpan(data + at, length - at);
        sNoteEnables(stream, data + at, n);
        zframe_t* frame = zframe_new(data + at, n);
        if (!frame) return aErrMemory;
        if (!sSendWithRetries(&frame, stream->outgoing, "--Client send error outgoing->frontend: %d\n")) return aErrIO;
    }
    return aErrNone;
}

// Packets from a caller's thread, sent on at once, a frame each, while the
// pair takes them without waiting: the writer thread then need not wake for
// them. The link calls it under its write lock, which the writer holds for
// its writes, so that one thread at a time uses `outgoing`. What is not sent
// (`written` tells where it starts) is left to the writer.
aErr _sZeroMQStreamTryWrite(const uint8_t* data, size_t length, size_t* written, void* reference)
{
    auto* stream = static_cast<ClientStream*>(reference);
    if (!_aVALIDStream(stream)) return aErrParam;
    if (stream->connection == kLost) return aErrConnection;
    for (size_t at = 0, n = 0; at < length; at += n) {
        n = sPacketSpan(data + at, length - at);
        zframe_t* frame = zframe_new(data + at, n);
        if (!frame) return aErrMemory;
        if (zframe_send(&frame, stream->outgoing, ZFRAME_DONTWAIT) != 0) {
            zframe_destroy(&frame);
            return aErrNone;
        }
        sNoteEnables(stream, data + at, n);
        *written = at + n;
    }
    return aErrNone;
}

// The link's threads have ended: the deleting thread may use the writer's
// socket. The broker sends on everything written up to the end mark, and the
// server connection then gets kStopWaitMs to deliver it, so that a link's
// last packet (force route off) reaches the server.
void sStopBroker(ClientStream* stream)
{
    zframe_t* end = zframe_new_empty();
    if (end && zframe_send(&end, stream->outgoing, ZFRAME_DONTWAIT) != 0) zframe_destroy(&end);
    zsock_t* pipe = zactor_sock(stream->brokerTask);
    zsock_set_sndtimeo(pipe, kStopWaitMs);
    zsock_set_rcvtimeo(pipe, kStopWaitMs);
    zsock_signal(pipe, 0);
    zsock_wait(pipe);
    zsock_set_sndtimeo(pipe, -1);
    zsock_set_rcvtimeo(pipe, -1);
    zactor_destroy(&stream->brokerTask);
    zsock_set_linger(stream->server, kStopWaitMs);
}

void sRelease(ClientStream* stream)
{
    if (stream->lostFd >= 0) aServerLocal_Leave(stream->lostFd);
    if (stream->brokerTask) sStopBroker(stream);
    zpoller_destroy(&stream->poller);
    if (stream->server && stream->monitor) zmq_socket_monitor(zsock_resolve(stream->server), nullptr, 0);
    zsock_destroy(&stream->monitor);
    zsock_destroy(&stream->server);
    zsock_destroy(&stream->incoming);
    zsock_destroy(&stream->outgoing);
    zsock_destroy(&stream->incomingPeer);
    zsock_destroy(&stream->outgoingPeer);
    zframe_destroy(&stream->frame);
    if (stream->lostFd >= 0) close(stream->lostFd);
    if (stream->wakeFd >= 0) close(stream->wakeFd);
    delete stream;
    zSysInterruptHandler_handBack();
}

aErr _sZeroMQStreamDelete(void* reference)
{
    auto* stream = static_cast<ClientStream*>(reference);
    if (!_aVALIDStream(stream)) return aErrIO;
    aDebug_Printf(aDEBUG_CLIENT_STREAM, "Client delete: start\n");
    sRelease(stream);
    aDebug_Printf(aDEBUG_CLIENT_STREAM, "Client delete: end\n");
    return aErrNone;
}

// A pair between threads of this process, over an in-process endpoint that
// no other process can reach: bound binds to it, connected connects to it.
aErr sMakePair(zsock_t** bound, zsock_t** connected, const char* name)
{
    *bound = zsock_new(ZMQ_DEALER);
    *connected = zsock_new(ZMQ_DEALER);
    if (!*bound || !*connected) return aErrMemory;
    const unsigned n = sPairCount.fetch_add(1);
    if (zsock_bind(*bound, "inproc://aStream-client-%s-%u", name, n) != 0 ||
        zsock_connect(*connected, "inproc://aStream-client-%s-%u", name, n) != 0) {
        aDebug_Printf(aDEBUG_CLIENT_STREAM, "client: %s connecting fail\n", name);
        return aErrConnection;
    }
    aDebug_Printf(aDEBUG_CLIENT_STREAM, "%s connected: %u\n", name, n);
    return aErrNone;
}

// Watches the server connection's greeting and closing on an in-process pair
// of the broker task.
aErr sMonitorServer(ClientStream* stream)
{
    const unsigned n = sPairCount.fetch_add(1);
    char name[64];
    std::snprintf(name, sizeof name, "inproc://aStream-client-monitor-%u", n);
    const int events = ZMQ_EVENT_HANDSHAKE_SUCCEEDED | ZMQ_EVENT_CONNECT_RETRIED | ZMQ_EVENT_DISCONNECTED;
    if (zmq_socket_monitor(zsock_resolve(stream->server), name, events) != 0) return aErrConnection;
    stream->monitor = zsock_new(ZMQ_PAIR);
    if (!stream->monitor) return aErrMemory;
    return zsock_connect(stream->monitor, "%s", name) == 0 ? aErrNone : aErrConnection;
}

aErr sConnectServer(ClientStream* stream, uint32_t ipAddress, uint16_t port)
{
    stream->server = zsock_new(ZMQ_DEALER);
    if (!stream->server) return aErrMemory;
    aErr monitored = sMonitorServer(stream);
    if (monitored != aErrNone) return monitored;
    in_addr address{};
    address.s_addr = ipAddress;
    char dotted[INET_ADDRSTRLEN] = {};
    char* endpoint = stream->endpoint;
    if (!inet_ntop(AF_INET, &address, dotted, sizeof dotted)) return aErrConnection;
    std::snprintf(endpoint, sizeof stream->endpoint, "tcp://%s:%d", dotted, port);
    aDebug_Printf(aDEBUG_CLIENT_STREAM, "aStream_CreateClient address: %s\n", endpoint);
    // A server of this process is reached without loop-back TCP; it is up
    // as long as the server serves, which tells the stream when it stops.
    stream->lostFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (stream->lostFd < 0) return aErrResource;
    if (aServerLocal_Join(ipAddress, port, stream->lostFd, endpoint, sizeof stream->endpoint)) {
        aDebug_Printf(aDEBUG_CLIENT_STREAM, "Client joins %s\n", endpoint);
        if (zsock_connect(stream->server, "%s", endpoint) != 0) return aErrConnection;
        stream->connection = kConnected;
        return aErrNone;
    }
    int rc = zsock_connect(stream->server, "%s", endpoint);
    aDebug_Printf(aDEBUG_CLIENT_STREAM, "Client connected to port: %d - rc: %d\n", port, rc);
    if (rc != 0) {
        aDebug_Printf(aDEBUG_CLIENT_STREAM, "Error connecting to socket: %d\n", rc);
        return aErrConnection;
    }
    return aErrNone;
}

aErr sSetUp(ClientStream* stream, uint32_t ipAddress, uint16_t port)
{
    aErr err = sMakePair(&stream->outgoingPeer, &stream->outgoing, "outgoing");
    if (err == aErrNone)
        err = sMakePair(&stream->incoming, &stream->incomingPeer, "incoming");
    if (err == aErrNone) err = sConnectServer(stream, ipAddress, port);
    if (err != aErrNone) return err;
    stream->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (stream->wakeFd < 0) return aErrResource;
    stream->poller = zpoller_new(stream->incoming, &stream->wakeFd, nullptr);
    if (!stream->poller) return aErrMemory;
    stream->brokerTask = zactor_new(_broker_task, stream);
    if (!stream->brokerTask) return aErrMemory;
    zsock_wait(stream->brokerTask);
    return aErrNone;
}

} // namespace

aErr aStream_CreateClient(uint32_t ipAddress, uint16_t port, aStream** out)
{
    if (!out) return aErrParam;
    *out = nullptr;
    auto* stream = new (std::nothrow) ClientStream();
    if (!stream) return aErrMemory;
    aErr err = sSetUp(stream, ipAddress, port);
    if (err == aErrNone) {
        *out = aStream_Create(_sZeroMQStreamGet, _sZeroMQStreamPut, _sZeroMQStreamWrite, _sZeroMQStreamDelete,
                              stream);
        if (!*out) err = aErrResource;
        else {
            aStream_SetInterruptProc(*out, _sZeroMQStreamInterrupt);
            aStream_SetTryWriteProc(*out, _sZeroMQStreamTryWrite);
        }
    }
    if (err != aErrNone) sRelease(stream);
    return err;
}

aErr aStream_ClientAwaitConnection(aStream* stream, uint32_t timeoutMs)
{
    auto* client = static_cast<ClientStream*>(aStream_Reference(stream, _sZeroMQStreamDelete));
    if (!_aVALIDStream(client)) return aErrParam;
    const uint64_t deadline = aTime_GetMonotonicMSTicks() + timeoutMs;
    for (;;) {
        const int connection = client->connection;
        if (connection == kConnected) return aErrNone;
        if (connection == kLost || client->refused) return aErrConnection;
        if (aTime_GetMonotonicMSTicks() >= deadline) return aErrTimeout;
        aTime_MSSleep(2);
    }
}

bool aStream_ClientIsLost(aStream* stream)
{
    auto* client = static_cast<ClientStream*>(aStream_Reference(stream, _sZeroMQStreamDelete));
    return _aVALIDStream(client) && client->connection == kLost;
}

size_t aStream_ClientSubscription(aStream* stream, uint8_t* request, size_t capacity)
{
    auto* client = static_cast<ClientStream*>(aStream_Reference(stream, _sZeroMQStreamDelete));
    if (!_aVALIDStream(client) || !request) return 0;
    std::lock_guard<std::mutex> lock(client->enablesLock);
    if (client->enables.empty() || client->enables.back().size() > capacity) return 0;
    const Bytes& last = client->enables.back();
    std::memcpy(request, last.data(), last.size());
    return last.size();
}

aErr aStream_ClientResubscribe(aStream* stream, const uint8_t* request, size_t length)
{
    auto* client = static_cast<ClientStream*>(aStream_Reference(stream, _sZeroMQStreamDelete));
    if (!_aVALIDStream(client) || !request || length != 9 || request[2] != kStreamControl ||
        request[3] != kStreamEnable)
        return aErrParam;
    client->swallowUntil = aTime_GetMonotonicMSTicks() + kResubscribeReplyMs;
    client->swallowAddress = request[0];
    return _sZeroMQStreamWrite(request, length, client);
}
