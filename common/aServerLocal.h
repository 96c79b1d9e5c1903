// In-process routes to link-sharing servers: a client stream of the process
// that runs a server reaches it over an in-process endpoint, not loop-back
// TCP, with the same frames; the server tells such clients when it stops
// serving them, as the closing of a TCP connection tells the others. A route
// belongs to the process that published it: a child forked from that process
// finds none, and its client streams go over TCP.
#pragma once

#include <cstddef>
#include <cstdint>

// While a server serves on the address and port (IPv4 and TCP port, network
// byte order for the address), its frontend is also bound to `endpoint`.
// False when another route has the address and port, or without memory.
bool aServerLocal_Publish(uint32_t address, uint16_t port, const char* endpoint);
// The server at the address and port no longer serves: every client that
// joined it is told (its lost descriptor becomes readable), and none joins
// from now on.
void aServerLocal_Withdraw(uint32_t address, uint16_t port);
// For a client stream about to connect to the address and port: when this
// process serves there, copies the in-process endpoint (at most `capacity`
// bytes with its end) and keeps `lostFd`, an eventfd, to signal when the
// server withdraws; true then. False when the client must go over TCP.
bool aServerLocal_Join(uint32_t address, uint16_t port, int lostFd, char* endpoint, size_t capacity);
// The client with this lost descriptor goes away: it is told nothing more.
void aServerLocal_Leave(int lostFd);
