// What the discovery of link-sharing servers and the servers' answers share on
// the wire: the loop-back probe's group, ports, slots and word, and the UDP
// beacon's port, content and timing.
#pragma once

#include <cstddef>
#include <cstdint>

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

} // namespace aVorneDiscovery
