// Making, destroying and resetting links: direct links to a device over USB,
// TCP/IP or a serial port, shared by every holder of the same device through
// use counts, and links over a stream that the caller made.
#pragma once

#include <cstdint>

#include "common/aError.h"
#include "common/aLinkTable.h"
#include "common/aStream.h"

// Every successful creation, and every reuse of an existing link, gives the
// caller one use of the link, which it gives back with aLink_Destroy. A
// creation that fails answers 0 and leaves nothing behind.
//
// A direct link to a device is reused by the next creation for the same serial
// number and transport, whatever its other arguments (a TCP/IP request with
// another address or port gets the existing link). A USB or TCP/IP link that a
// link-sharing server wraps is not handed out again: the result is 0.
// Neither is a serial link that a server wraps.

// A link to the USB device with the serial number, in step with the device.
aLinkId aLink_CreateUSB(uint32_t serialNumber);
// A link over TCP to the IPv4 address (network byte order) and port.
aLinkId aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port);
// A link over the serial port, each packet one COBS frame with a CRC-8; eight
// data bits, no parity, one stop bit. Rates: 2400, 4800, 9600, 19200, 38400,
// 57600, 115200 and 230400; any other rate fails without opening the port.
aLinkId aLink_CreateSerial(uint32_t serialNumber, const char* path, uint32_t baudRate);
// A link over the caller's stream, never reused. The link owns the stream from
// the call on, also when the creation fails.
aLinkId aLink_Create(aStream* stream);

// A client link to the link-sharing server at the IPv4 address (network byte
// order) and port; with an existing link's id instead, one more use of that
// link (0 when there is none). Not synchronised at creation.
aLinkId aLink_CreateClient(uint32_t address, uint16_t port, aLinkId existing);
// Waits up to timeoutMs for a client link's connection to its server:
// aErrNone once the server took it, aErrConnection when nobody listens there
// or the server has gone, aErrTimeout when neither is known yet; aErrParam
// for an unknown id or a link of another kind.
aErr aLink_AwaitClientConnection(aLinkId id, uint32_t timeoutMs);
// Shares the device link (USB, TCPIP or SERIAL, held by the caller alone) in
// a new link-sharing server on *networkInterface (flags: aSERVER_FLAG_*), and
// asks the device through the server for its module address and model. The
// result is the server's own client link, which from then on holds the
// caller's use of the device link; the port and interface the server serves
// on are written back. 0 on failure: the caller still holds its use of the
// device link and gives it back (a server made stays attached to it until
// then). A device link that has a server or another holder is refused.
aLinkId aLink_CreateServer(aLinkId device, uint16_t* port, uint32_t* networkInterface, uint8_t flags);
// One more use of the client link through which this process reaches the
// server that shares the device link of that type and serial number; 0 when
// no such server runs here.
aLinkId aLink_CreateSharedUse(linkType type, uint32_t serialNumber);

// Gives back one use of the link and sets *id to 0, also when others still
// hold the link. The last use stops the link (the last bytes sent to the device
// are force route off) and frees it with its stream. aErrParam for an unknown
// id; aErrUnknown for an entry that never held a link record (it is freed).
aErr aLink_Destroy(aLinkId* id);
// Stops the link, opens its stream afresh (up to 20 tries, 100 ms apart) and
// starts it again as a new link; the id, its uses and the device stay. A USB
// link opens the device with the same serial number, a TCP/IP link connects to
// the address and port it was made with, a client link connects to its server
// again (a try counts once the server has taken the connection) and makes its
// stream subscription there again. aErrParam for an unknown id and for a
// link whose stream cannot be made again (serial links, links over a caller's
// stream): those are left running as they were. When no stream can be had the
// link stays stopped, without stream and FIFOs, with the last try's error; a
// later reset may bring it back.
aErr aLink_Reset(aLinkId id);
