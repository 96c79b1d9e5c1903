// The client stream: a byte stream to a link-sharing server over ZeroMQ. Each
// packet written goes to the server as one frame (a write of several packets
// as several); the bytes of the frames the server sends back are read one at
// a time. A broker thread owns the connection to the server, so that the
// link's reader and writer threads each talk to it through an in-process
// socket pair of their own.
#pragma once

#include <cstddef>
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

// Waits up to timeoutMs for the connection to the server: aErrNone once it is
// up, aErrConnection when nobody listens there or it was lost, aErrTimeout
// when neither happened; aErrParam for another kind of stream.
aErr aStream_ClientAwaitConnection(aStream* stream, uint32_t timeoutMs);
// Whether the stream has lost its server (false for another kind of stream).
bool aStream_ClientIsLost(aStream* stream);
// The last stream enable written and not disabled since, the request that
// subscribed this client at the server, copied into request: its length, 0
// for none (or too little room, or another kind of stream).
size_t aStream_ClientSubscription(aStream* stream, uint8_t* request, size_t capacity);
// Sends a stream enable taken from an earlier stream (aStream_ClientSubscription)
// as this stream's next frame, so that the server subscribes this client too;
// the device's reply to it is not passed on to the reader. aErrParam for
// another request or kind of stream.
aErr aStream_ClientResubscribe(aStream* stream, const uint8_t* request, size_t length);
