// A chip's unique identifier: four 32-bit words, read from an LPC17xx boot
// ROM or from the i.MX recovery loader, printed and sent to the update server
// in index order.
#pragma once

#include <cstdint>

// No constructor: callers zero it or let the fingerprint read fill it.
struct Fingerprint {
    uint32_t words[4];
};
