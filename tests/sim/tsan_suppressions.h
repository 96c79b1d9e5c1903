// What the thread sanitizer leaves alone: the libraries whose threads hand
// data to each other, and to ours, through synchronisation it cannot see
// (the USB testbed: umockdev, GLib with GObject and GIO, whose sockets the
// testbed accepts and closes, the USB library, whose event handling completes
// one thread's transfer on another, udev below it; the messaging library's
// lock-free queues between its I/O threads and the sockets' users). Every
// test support file that drives such a library includes this header, which
// links the one list of suppressions into the test.
#pragma once

namespace sim {
extern const bool kTsanSuppressions;
// The suppressions as a sanitizer's suppressions file holds them, for the
// programs that tests start (which are built without this list).
const char* tsanSuppressionText();
[[gnu::used]] static const bool kTsanSuppressionsLinked = kTsanSuppressions;
} // namespace sim
