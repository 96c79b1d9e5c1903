// Naming and finding devices: the 128-byte link specifier that names one
// device connection, the transport codes, and the discovery of devices over
// USB and TCP/IP (link-sharing servers are found by their own module).
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/aError.h"

typedef enum : uint32_t {
    INVALID = 0,
    USB = 1,
    TCPIP = 2,
    SERIAL = 3,
    AVORNE = 4,
    AVORNE_USB = 5,
    AVORNE_TCPIP = 6,
    AVORNE_SERIAL = 7
} linkType;

// Always allocated, copied and sent whole; numbers in host byte order but the
// IPv4 address, which is in network byte order.
struct linkSpec {
    linkType type;
    uint32_t serialNumber;
    uint32_t moduleAddress;
    uint32_t routerAddress;
    uint32_t routerSerialNumber;
    uint32_t model;
    union {
        struct {
            uint32_t ipAddress; // USB discovery puts the serial number here again
            uint32_t tcpPort;
        };
        struct {
            uint32_t baudRate;
            char portName[100];
        };
    };
};
static_assert(sizeof(linkSpec) == 128, "a link specifier is 128 bytes on the wire");

// Called once per device found; sets *counted to have it counted; returns
// false to end the enumeration. The specifier lives only during the call.
typedef bool (*aDiscoveryProc)(const linkSpec* found, bool* counted, void* reference);

// Calls the callback for each device of the transport, in the order found;
// returns how many were counted (8 bits). The interface is an IPv4 address in
// network byte order; 127.0.0.1 (or 0) means every interface but loop-back.
uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryProc callback, void* reference,
                                    uint32_t networkInterface);

// The first device of the transport with that serial number, or NULL.
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface);
// The first device of the transport whose serial number is not 0, or NULL.
linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);

// A new zero-filled specifier of the type, or a copy of all 128 bytes of one;
// NULL when memory runs out. Destroy frees it and clears the caller's pointer
// (aErrParam when that is already NULL).
linkSpec* aLinkSpec_Create(linkType type);
linkSpec* aLinkSpec_Copy(const linkSpec* spec);
aErr aLinkSpec_Destroy(linkSpec** spec);

// Dotted text of an IPv4 address (network byte order) into a buffer of at
// least 16 bytes; the text's length, or 0.
size_t aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, size_t length);
// The host's IPv4 interface addresses (network byte order), at most capacity.
size_t aDiscovery_GetIPv4Interfaces(uint32_t* addresses, size_t capacity);

// The transport-specific enumerations behind aDiscovery_EnumerateModules.
uint8_t aDiscovery_EnumerateUSB(aDiscoveryProc callback, void* reference);
uint8_t aDiscovery_EnumerateTCPIP(aDiscoveryProc callback, void* reference, uint32_t networkInterface);
// The device a reply to the TCP/IP query names, from the bytes received and
// the sender's address (network byte order): false for a reply too short to
// carry a serial number. Bytes past the query's 16 are not looked at.
bool aDiscovery_TCPIPReplySpec(const uint8_t* reply, size_t length, uint32_t sender, linkSpec* spec);
// Link-sharing servers, whatever link type they announce: those of this host
// by a multicast probe over loop-back when the interface is 0 or 127.0.0.1
// (or the host has no IPv4 interface), else those on the interface's network
// by UDP beacon.
uint8_t aDiscovery_Enumerate_aVorneModules(aDiscoveryProc callback, void* reference, uint32_t networkInterface);
