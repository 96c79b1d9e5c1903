// Serial ports as byte streams: raw, where bytes pass as they are, or
// packetized, where each packet travels as one COBS frame with a CRC-8.
#pragma once

#include <cstdint>

#include "common/aError.h"
#include "common/aStream.h"

// Baud indexes: 0: 2400, 1: 4800, 2: 9600, 3: 19200, 4: 38400, 5: 57600,
// 6: 115200, 7: 230400; any other index sets speed 0, which hangs the line up.
// Data-bits mode 0 is eight bits, 1 seven; stop-bits mode 0 is one stop bit,
// 1 two; parity is even when set.
//
// Opens the port raw (no echo, no line editing, reads that return at once)
// and makes a stream whose get answers aErrNotReady when no byte is waiting
// and aErrIO once the port has failed or hung up (an unplugged adaptor), and
// whose write returns once the bytes have been transmitted. A write waits for
// the port as long as it makes progress (takes bytes or sends them); it
// answers aErrTimeout once the port made none for a second plus twice the
// line time of the bytes still to go (not yet taken, or queued) and of 4096
// bytes more that a port may hold without counting them, at once while the
// port has not taken bytes since, and after 100 ms while the stream is
// interrupted (aStream_InterruptReads, its link stopping). It can wait for
// input (aStream_WaitReadable). 0; aErrResource for a NULL argument, a mode
// above 1, a path of 4096 bytes or more, or no memory; aErrNotFound for a
// missing port, aErrPermission for one not to be opened, aErrIO when it is no
// terminal or cannot be set up. Deleting the stream puts back the settings
// the port had.
aErr aStream_CreateSerial(const char* path, uint32_t baudIndex, bool parity, uint32_t dataBitsMode,
                          uint32_t stopBitsMode, aStream** stream);

// Opens the port the same way and frames packets over it: every complete
// packet written goes out as one frame, and reads hand out the bytes of each
// intact frame received (aErrPacket once for a frame that failed its checks,
// aErrIO once the port has failed). Same results; on any failure the port is
// closed again.
aErr aStream_CreateSerial_Packetized(const char* path, uint32_t baudIndex, bool parity,
                                     uint32_t dataBitsMode, uint32_t stopBitsMode, aStream** stream);
