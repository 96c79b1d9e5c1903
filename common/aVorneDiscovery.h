// What the discovery of link-sharing servers and the servers' answers share on
// the wire: the loop-back probe's group, ports, slots and word, and the UDP
// beacon's port, content and timing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/aDiscovery.h"

namespace aVorneDiscovery {

constexpr const char* kGroup = "224.0.0.7";
constexpr uint16_t kProbePort = 9850;
constexpr uint16_t kReplyPort = 9950;
constexpr int kSlots = 50;
constexpr uint32_t kProbeWord = 0xABCDDCBA;
constexpr size_t kMaxInterfaces = 50;

constexpr int kBeaconPort = 8585;
constexpr char kBeaconContent[] = "Tessaline2-Discovery";
constexpr size_t kBeaconContentLength = sizeof kBeaconContent - 1;
constexpr int kBeaconIntervalMs = 100;
constexpr int kBeaconReceiveMs = 100;

// True for what a link-sharing server announces: one of its own link types
// (AVORNE_USB, AVORNE_TCPIP or AVORNE_SERIAL) with an address and a TCP port.
// Anything else that arrives as an answer is no server of ours and is dropped,
// so that no datagram can name a serial port or a plain TCP/IP device to open.
bool isServerSpec(const linkSpec& spec);

// The server a beacon's content announces: true when the content is exactly
// one specifier that isServerSpec accepts, which is then in *spec as it came.
bool beaconSpec(const void* content, size_t size, linkSpec* spec);

} // namespace aVorneDiscovery
