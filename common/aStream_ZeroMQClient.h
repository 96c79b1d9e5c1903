// The client stream: a byte stream to a link-sharing server over ZeroMQ. Each
// write goes to the server as one frame; the bytes of the frames the server
// sends back are read one at a time. A broker thread owns the connection to
// the server, so that the link's reader and writer threads each talk to it
// through an in-process socket pair of their own.
#pragma once

#include <cstdint>

#include "common/aError.h"
#include "common/aStream.h"

// A new client stream to the server at ipAddress (IPv4, network byte order)
// and port in *out. The connection is made in the background: the stream is
// made whether or not a server listens there yet. aErrParam for a null out,
// aErrMemory when the record, a socket or the poller cannot be made,
// aErrConnection when an in-process pair or the server endpoint cannot be set
// up, aErrResource when the stream cannot be made; *out stays NULL unless
// the result is aErrNone.
aErr aStream_CreateClient(uint32_t ipAddress, uint16_t port, aStream** out);
