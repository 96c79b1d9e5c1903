// The process-wide USB library context that the USB driver and USB discovery
// share: created on first use, and dropped by Tessaline_libusb_exit so that
// the next use starts afresh (after a device restarted, say).
#pragma once

struct libusb_context;

// The shared context, created when there is none.
libusb_context* Tessaline_libusb_context(void);
// The same as Tessaline_libusb_context.
libusb_context* Tessaline_libusb_init(void);
// Shuts the context down; only while none of its devices is open and no
// enumeration runs. Returns the result of unlocking the context's mutex.
int Tessaline_libusb_exit(void);
