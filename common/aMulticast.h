// UDP multicast sockets: one handle either sends to a group and port, or is
// bound to the port and receives what is sent to the group. Address reuse is
// off, so one receiver at a time holds a port, unless it is made to share it.
#pragma once

#include <cstdint>

typedef struct aMulticast aMulticast;

// A new sender (to group:port) or receiver (bound to port, member of the
// group), both on the interface (IPv4, network byte order; 0 and 127.0.0.1
// mean 127.0.0.1), with TTL 1, loop-back delivery on and a 1 s receive
// time-out. NULL on any failure, with nothing left open.
aMulticast* aMulticast_Create(uint32_t networkInterface, uint32_t group, uint16_t port, bool sender);
// Sends one datagram: bytes sent; -1 when the send fails, -2 for a NULL
// handle, -3 for a receiving handle.
int aMulticast_Send(aMulticast* multicast, const void* data, uint32_t length);
// A receiver that shares its port: every receiver made so on the same port
// gets its own copy of each datagram to the group. NULL on any failure.
aMulticast* aMulticast_CreateSharedReceiver(uint32_t networkInterface, uint32_t group, uint16_t port);
// Receives one datagram of at most size bytes: bytes received; -1 on time-out
// or failure, -2 for a NULL handle, -3 for a sending handle.
int aMulticast_Receive(aMulticast* multicast, void* buffer, int size);
// As aMulticast_Receive, and writes the sender's IPv4 address (network byte
// order; 0 when it is not IPv4) to *source when a datagram came.
int aMulticast_ReceiveFrom(aMulticast* multicast, void* buffer, int size, uint32_t* source);
// The handle's socket, for a caller that waits on it with other things; -1
// for a NULL handle.
int aMulticast_Descriptor(const aMulticast* multicast);
// Closes and frees the handle and clears it: 0; -2 when it is NULL.
int aMulticast_Destroy(aMulticast** multicast);
