// Announcing a link-sharing server: the loop-back multicast answerer actor and
// the UDP beacon that the broker answers searches with.
#include "common/aServerAnnounce.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <czmq.h>

#include "common/aDebug.h"
#include "common/aMulticast.h"
#include "common/aVorneDiscovery.h"
#include "common/zBeaconInterface.h"
#include "common/zSysInterruptHandler.h"
#include "platform/aTime.h"

namespace {

using namespace aVorneDiscovery;

uint32_t sAddress(const char* dotted)
{
    in_addr in{};
    return inet_pton(AF_INET, dotted, &in) == 1 ? in.s_addr : 0;
}

// Claims the first free probe slot with its reply sender; false when none is free.
bool sClaimSlot(aMulticast** receiver, aMulticast** sender)
{
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    const uint32_t group = sAddress(kGroup);
    for (int attempt = 0; attempt < kSlots; ++attempt) {
        int k = 0;
        while (k < kSlots && !(*receiver = aMulticast_Create(loopback, group, static_cast<uint16_t>(kProbePort + k), false)))
            ++k;
        if (!*receiver) return false;
        *sender = aMulticast_Create(loopback, group, static_cast<uint16_t>(kReplyPort + k), true);
        if (*sender) {
            aDebug_Printf(aDEBUG_SERVER, "Discovery port offset: %d\n", k);
            return true;
        }
        aMulticast_Destroy(receiver);
    }
    return false;
}

void sAnswerProbe(aServer* server, aMulticast* receiver, aMulticast* sender)
{
    // One byte more than the probe word, so that a longer datagram shows.
    uint8_t datagram[sizeof kProbeWord + 1];
    int received = aMulticast_Receive(receiver, datagram, sizeof datagram);
    if (received < 0) return;
    uint32_t word = 0;
    std::memcpy(&word, datagram, sizeof word);
    if (received != sizeof kProbeWord || word != kProbeWord) {
        aDebug_Printf(aDEBUG_SERVER, "We something else on multicast\n");
        return;
    }
    aDebug_Printf(aDEBUG_SERVER, "We got the multicast magic value\n");
    const linkSpec spec = _createNetworkSpec(server);
    if (!_isDiscoveryConfigured(server)) {
        aDebug_Printf(aDEBUG_SERVER, "Discovery not allowed (Multicast), model not set.\n");
        return;
    }
    int sent = aMulticast_Send(sender, &spec, sizeof spec);
    aDebug_Printf(aDEBUG_SERVER, "Sent: %d to the reply port\n", sent);
}

void _serverWorker_multicastDiscovery(zsock_t* pipe, void* argument)
{
    auto* server = static_cast<aServer*>(argument);
    zsock_signal(pipe, 0); // running
    aDebug_Printf(aDEBUG_SERVER, "multicast task start\n");
    aMulticast* receiver = nullptr;
    aMulticast* sender = nullptr;
    sClaimSlot(&receiver, &sender);
    zsock_signal(pipe, 0); // ready
    // Waits on the pipe and the probe port at once, so that a probe is
    // answered as it comes and a stop is taken at once.
    zmq_pollitem_t items[2] = {{zsock_resolve(pipe), 0, ZMQ_POLLIN, 0},
                               {nullptr, aMulticast_Descriptor(receiver), ZMQ_POLLIN, 0}};
    const int count = receiver ? 2 : 1;
    for (;;) {
        const int ready = zmq_poll(items, count, 1000);
        const bool failed = ready < 0;
        const int error = errno;
        zSysInterruptHandler_process();
        if (failed && (error == ETERM || zsys_interrupted)) break;
        if (ready > 0 && (items[0].revents & ZMQ_POLLIN)) break;
        if (ready > 0 && count > 1 && (items[1].revents & ZMQ_POLLIN)) sAnswerProbe(server, receiver, sender);
    }
    aMulticast_Destroy(&receiver);
    aMulticast_Destroy(&sender);
    aDebug_Printf(aDEBUG_SERVER, "multicast task exit\n");
    zsock_signal(pipe, 0); // ended
}

void _configureBeacon(aServer* server)
{
    zsock_send(server->discovery, "si", "CONFIGURE", kBeaconPort);
    char* hostname = zstr_recv(server->discovery);
    aDebug_Printf(aDEBUG_SERVER, "Beacon hostname(Server): %s - Port: %d\n", hostname ? hostname : "", kBeaconPort);
    zsock_send(server->discovery, "sb", "SUBSCRIBE", kBeaconContent, kBeaconContentLength);
    zsock_set_rcvtimeo(server->discovery, kBeaconReceiveMs);
    server->advertisedAddress = hostname ? sAddress(hostname) : 0;
    zstr_free(&hostname);
}

void _createBeacon(aServer* server, const char* interfaceText)
{
    bool locked = zBeaconInterface_setAndLock(interfaceText);
    server->discovery = zactor_new(zbeacon, nullptr);
    if (server->discovery) _configureBeacon(server);
    if (locked) zBeaconInterface_unlock();
    server->discoveryIsBeacon = server->discovery != nullptr;
}

} // namespace

bool _isDiscoveryConfigured(const aServer* server)
{
    return server->model != 0;
}

void _configureInterface(aServer* server)
{
    uint32_t interfaces[kMaxInterfaces];
    size_t count = aDiscovery_GetIPv4Interfaces(interfaces, kMaxInterfaces);
    aDebug_Printf(aDEBUG_DISCOVERY, "_configureInterface found count: %d\n", static_cast<int>(count));
    if ((server->flags & aSERVER_FLAG_LOCAL_ONLY) || count == 0) {
        // Served on the loop-back interface only, whatever interface was given.
        server->interface = htonl(INADDR_LOOPBACK);
        server->advertisedAddress = htonl(INADDR_LOOPBACK);
        server->discovery = zactor_new(_serverWorker_multicastDiscovery, server);
        if (server->discovery) zsock_wait(server->discovery);
        server->discoveryIsBeacon = false;
        return;
    }
    if (server->interface == 0 || server->interface == htonl(INADDR_LOOPBACK)) server->interface = interfaces[0];
    char text[16] = "";
    aDiscovery_ConvertIPv4Interface(server->interface, text, sizeof text);
    aDebug_Printf(aDEBUG_SERVER, "Setting interface for user: (s)%s - (i)%d\n", text, server->interface);
    _createBeacon(server, text);
}

void _serverWorker_broker_beacon(aServer* server, const linkSpec& spec)
{
    char* sender = nullptr;
    char* content = nullptr;
    zstr_recvx(server->discovery, &sender, &content, nullptr);
    if (sender && content && std::strncmp(content, kBeaconContent, kBeaconContentLength) == 0 && !server->publishing) {
        zsock_send(server->discovery, "sbi", "PUBLISH", &spec, sizeof spec, kBeaconIntervalMs);
        server->publishStartMs = aTime_GetMSTicks();
        server->publishing = true;
    }
    zstr_free(&sender);
    zstr_free(&content);
}
