#include "common/aMulticast.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "common/aDebug.h"

struct aMulticast {
    int socket;
    addrinfo* groupAddress;
    addrinfo* bindAddress;
    addrinfo* interfaceAddress;
    bool isSender;
    bool shared;
};

namespace {

// One lookup; passive (the wildcard address) when host is NULL.
addrinfo* _resolveAddress(const char* host, const char* service, int family, int socketType, int protocol)
{
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = socketType;
    hints.ai_protocol = protocol;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | (host ? 0 : AI_PASSIVE);
    addrinfo* result = nullptr;
    if (getaddrinfo(host, service, &hints, &result) != 0) return nullptr;
    return result;
}

int sOption(int socket, int level, int name, const void* value, socklen_t length)
{
    return setsockopt(socket, level, name, value, length) == 0 ? 0 : -1;
}

const in_addr& sIPv4(const addrinfo* address)
{
    return reinterpret_cast<const sockaddr_in*>(address->ai_addr)->sin_addr;
}

int _setReuse(int socket, int on)
{
    return sOption(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

int _joinMulticastGroup(int socket, const addrinfo* group, const addrinfo* networkInterface)
{
    if (group->ai_family != AF_INET) return -1;
    ip_mreq request{};
    request.imr_multiaddr = sIPv4(group);
    request.imr_interface = sIPv4(networkInterface);
    return sOption(socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request);
}

int _setSendInterface(int socket, const addrinfo* networkInterface)
{
    if (networkInterface->ai_family != AF_INET) return -1;
    return sOption(socket, IPPROTO_IP, IP_MULTICAST_IF, &sIPv4(networkInterface), sizeof(in_addr));
}

int _setMulticastTtl(int socket, int family, unsigned char ttl)
{
    if (family != AF_INET) return -1;
    return sOption(socket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
}

int _setReceiveTimeout(int socket, int family, timeval timeout)
{
    if (family != AF_INET) return -1;
    return sOption(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

int _setMulticastLoopBack(int socket, int family, unsigned char on)
{
    if (family != AF_INET) return -1;
    return sOption(socket, IPPROTO_IP, IP_MULTICAST_LOOP, &on, sizeof on);
}

// Each step's result with the error number, as the debug output shows it.
bool sStep(const char* name, int result)
{
    if (result != 0) aDebug_Printf(aDEBUG_MULTICAST, "%s %d - %d\n", name, result, errno);
    return result == 0;
}

bool sSetUp(aMulticast* multicast, uint32_t networkInterface, uint32_t group, uint16_t port)
{
    if (networkInterface == 0) networkInterface = htonl(INADDR_LOOPBACK);
    char groupText[16], interfaceText[16], portText[8];
    in_addr address{};
    address.s_addr = group;
    if (!inet_ntop(AF_INET, &address, groupText, sizeof groupText)) return false;
    address.s_addr = networkInterface;
    if (!inet_ntop(AF_INET, &address, interfaceText, sizeof interfaceText)) return false;
    std::snprintf(portText, sizeof portText, "%u", port);

    multicast->groupAddress = _resolveAddress(groupText, portText, AF_UNSPEC, SOCK_DGRAM, IPPROTO_UDP);
    if (!multicast->groupAddress) return sStep("_resolveAddress(group)", -1);
    const addrinfo* g = multicast->groupAddress;
    multicast->bindAddress = multicast->isSender
                                 ? _resolveAddress(interfaceText, "0", g->ai_family, g->ai_socktype, g->ai_protocol)
                                 : _resolveAddress(nullptr, portText, g->ai_family, g->ai_socktype, g->ai_protocol);
    multicast->interfaceAddress = _resolveAddress(interfaceText, "0", g->ai_family, g->ai_socktype, g->ai_protocol);
    if (!multicast->bindAddress || !multicast->interfaceAddress) return sStep("_resolveAddress", -1);

    multicast->socket = socket(g->ai_family, g->ai_socktype | SOCK_CLOEXEC, g->ai_protocol);
    if (multicast->socket < 0) return sStep("socket", -1);
    int fd = multicast->socket;
    // Off explicitly unless shared: a port held by one receiver cannot be
    // bound again, which is how a search tells a server's slot.
    if (!sStep("_setReuse", _setReuse(fd, multicast->shared ? 1 : 0))) return false;
    if (!multicast->isSender &&
        bind(fd, multicast->bindAddress->ai_addr, multicast->bindAddress->ai_addrlen) != 0) {
        aDebug_Printf(aDEBUG_MULTICAST, "bind() failed with error code %d \n", errno);
        return false;
    }
    return sStep("_joinMulticastGroup", _joinMulticastGroup(fd, g, multicast->interfaceAddress)) &&
           sStep("_setSendInterface", _setSendInterface(fd, multicast->interfaceAddress)) &&
           sStep("_setMulticastTtl", _setMulticastTtl(fd, g->ai_family, 1)) &&
           sStep("_setReceiveTimeout", _setReceiveTimeout(fd, g->ai_family, timeval{1, 0})) &&
           sStep("_setMulticastLoopBack", _setMulticastLoopBack(fd, g->ai_family, 1));
}

} // namespace

namespace {

aMulticast* sCreate(uint32_t networkInterface, uint32_t group, uint16_t port, bool sender, bool shared)
{
    auto* multicast = static_cast<aMulticast*>(std::calloc(1, sizeof(aMulticast)));
    if (!multicast) return nullptr;
    multicast->socket = -1;
    multicast->isSender = sender;
    multicast->shared = shared;
    if (!sSetUp(multicast, networkInterface, group, port)) {
        aDebug_Printf(aDEBUG_MULTICAST, "in cleanup function\n");
        aMulticast_Destroy(&multicast);
    }
    return multicast;
}

} // namespace

aMulticast* aMulticast_Create(uint32_t networkInterface, uint32_t group, uint16_t port, bool sender)
{
    return sCreate(networkInterface, group, port, sender, false);
}

aMulticast* aMulticast_CreateSharedReceiver(uint32_t networkInterface, uint32_t group, uint16_t port)
{
    return sCreate(networkInterface, group, port, false, true);
}

int aMulticast_Send(aMulticast* multicast, const void* data, uint32_t length)
{
    if (!multicast) return -2;
    if (!multicast->isSender) return -3;
    ssize_t sent = sendto(multicast->socket, data, length, 0, multicast->groupAddress->ai_addr,
                          multicast->groupAddress->ai_addrlen);
    return sent < 0 ? -1 : static_cast<int>(sent);
}

int aMulticast_Receive(aMulticast* multicast, void* buffer, int size)
{
    uint32_t source = 0;
    return aMulticast_ReceiveFrom(multicast, buffer, size, &source);
}

int aMulticast_ReceiveFrom(aMulticast* multicast, void* buffer, int size, uint32_t* source)
{
    if (!multicast) return -2;
    if (multicast->isSender) return -3;
    if (!buffer || size < 0 || !source) return -1;
    sockaddr_storage from{};
    socklen_t fromLength = sizeof from;
    ssize_t received = recvfrom(multicast->socket, buffer, static_cast<size_t>(size), MSG_WAITALL,
                                reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (received < 0) return -1;
    *source = from.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in*>(&from)->sin_addr.s_addr : 0;
    return static_cast<int>(received);
}

int aMulticast_Descriptor(const aMulticast* multicast)
{
    return multicast ? multicast->socket : -1;
}

int aMulticast_Destroy(aMulticast** multicast)
{
    if (!multicast || !*multicast) return -2;
    aMulticast* m = *multicast;
    if (m->groupAddress) freeaddrinfo(m->groupAddress);
    if (m->bindAddress) freeaddrinfo(m->bindAddress);
    if (m->interfaceAddress) freeaddrinfo(m->interfaceAddress);
    if (m->socket >= 0) close(m->socket);
    std::free(m);
    *multicast = nullptr;
    return 0;
}
