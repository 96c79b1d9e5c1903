// The TCP socket stream: one connection to an Ethernet device wrapped in an
// aStream that hands out one byte per get and sends whole blocks per write.
// A device that closes or resets the connection has gone away (it restarts,
// say): get and write answer aErrConnection from then on, as the USB stream
// does for a device that left the bus.
#pragma once

#include <cstdint>

#include "common/aError.h"
#include "common/aStream.h"

// Connects to the IPv4 address (network byte order) and TCP port and makes a
// stream over the connection. 0 on success; every failure (NULL handle
// address, no memory, no connection, no stream) answers aErrResource and
// leaves *stream NULL. The stream can also wait for readability
// (aStream_WaitReadable), so that a reader need not poll.
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** stream);

// A stream over a connected socket that the caller keeps (an accepted
// connection, one end of a socket pair): deleting the stream does not close
// it. The socket is switched to non-blocking mode. 0, or
// aErrResource as above.
aErr aStream_AdoptSocket(int socket, aStream** stream);
