// The client stream over CZMQ: a DEALER connected to the server, two in-process
// DEALER pairs (one per link thread) and the broker actor between them.
#include "common/aStream_ZeroMQClient.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <czmq.h>

#include "common/aDebug.h"
#include "common/zSysInterruptHandler.h"
#include "platform/aTime.h"

namespace {

constexpr int kWaitMs = 1000;
constexpr int kSendAttempts = 100;
constexpr int kStopWaitMs = 250;
// Names the in-process endpoints of each stream's pairs.
std::atomic<unsigned> sPairCount{0};

// Each pair is bound on the side that reads and connected on the
// side that writes: a connected DEALER queues what it is given at once, so
// the first writes are not refused while the pair's connection is still
// being made.
struct ClientStream {
    zsock_t* server;
    zsock_t* outgoing;
    zsock_t* outgoingPeer;
    zsock_t* incoming;
    zsock_t* incomingPeer;
    zactor_t* brokerTask;
    zpoller_t* poller;
    zframe_t* frame;
    uint64_t readPosition;
    uint64_t frameSize;
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

void _broker_task(zsock_t* pipe, void* argument)
{
    auto* stream = static_cast<ClientStream*>(argument);
    zsock_signal(pipe, 0); // running
    zpoller_t* poller = zpoller_new(pipe, stream->server, stream->outgoingPeer, nullptr);
    if (poller) {
        zsock_signal(pipe, 0); // ready
        bool endMarked = false;
        for (;;) {
            void* which = zpoller_wait(poller, kWaitMs);
            int pollErrno = errno;
            zSysInterruptHandler_process();
            if (which == pipe) {
                if (!endMarked) sForwardRest(stream);
                break;
            }
            if (which == stream->server) {
                zframe_t* frame = zframe_recv(stream->server);
                if (frame && !sSendWithRetries(&frame, stream->incomingPeer, nullptr))
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
    if (!stream->frame) {
        void* which = zpoller_wait(stream->poller, kWaitMs);
        int pollErrno = errno;
        zSysInterruptHandler_process();
        if (!which) return sWhyWoke(stream->poller, pollErrno) == Woke::Terminated ? aErrUnknown : aErrNotReady;
        if (which != stream->incoming) return aErrUnknown;
        stream->frame = zframe_recv(stream->incoming);
        if (!stream->frame) return aErrIO;
        stream->readPosition = 0;
        stream->frameSize = zframe_size(stream->frame);
    }
    if (stream->frameSize == 0) {
        zframe_destroy(&stream->frame);
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

// Single bytes are no frames of the server's protocol.
aErr _sZeroMQStreamPut(const uint8_t*, void*)
{
    return aErrUnimplemented;
}

aErr _sZeroMQStreamWrite(const uint8_t* data, size_t length, void* reference)
{
    auto* stream = static_cast<ClientStream*>(reference);
    if (!_aVALIDStream(stream)) return aErrParam;
    zframe_t* frame = zframe_new(data, length);
    if (!frame) return aErrMemory;
    return sSendWithRetries(&frame, stream->outgoing, "--Client send error outgoing->frontend: %d\n") ? aErrNone
                                                                                                       : aErrIO;
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
    if (stream->brokerTask) sStopBroker(stream);
    zpoller_destroy(&stream->poller);
    zsock_destroy(&stream->server);
    zsock_destroy(&stream->incoming);
    zsock_destroy(&stream->outgoing);
    zsock_destroy(&stream->incomingPeer);
    zsock_destroy(&stream->outgoingPeer);
    zframe_destroy(&stream->frame);
    std::free(stream);
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

aErr sConnectServer(ClientStream* stream, uint32_t ipAddress, uint16_t port)
{
    stream->server = zsock_new(ZMQ_DEALER);
    if (!stream->server) return aErrMemory;
    in_addr address{};
    address.s_addr = ipAddress;
    char dotted[INET_ADDRSTRLEN] = {};
    char endpoint[36];
    if (!inet_ntop(AF_INET, &address, dotted, sizeof dotted)) return aErrConnection;
    std::snprintf(endpoint, sizeof endpoint, "tcp://%s:%d", dotted, port);
    aDebug_Printf(aDEBUG_CLIENT_STREAM, "aStream_CreateClient address: %s\n", endpoint);
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
    stream->poller = zpoller_new(stream->incoming, nullptr);
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
    auto* stream = static_cast<ClientStream*>(std::calloc(1, sizeof(ClientStream)));
    if (!stream) return aErrMemory;
    aErr err = sSetUp(stream, ipAddress, port);
    if (err == aErrNone) {
        *out = aStream_Create(_sZeroMQStreamGet, _sZeroMQStreamPut, _sZeroMQStreamWrite, _sZeroMQStreamDelete,
                              stream);
        if (!*out) err = aErrResource;
    }
    if (err != aErrNone) sRelease(stream);
    return err;
}
