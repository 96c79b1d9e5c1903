// The USB driver: opens one Tessaline device by its serial number and moves
// bytes over its bulk endpoints, either through the USB library or, when the
// device has one, through its kernel driver node "/dev/tessaline.%08X".
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "common/aError.h"

struct libusb_device;
struct libusb_device_handle;

// Back ends (tlusb_device::mode).
enum : uint32_t {
    tlusbModeKernelNode = 0,
    tlusbModeUSBLib = 1,
};

// Driver states (tlusb_device::state).
enum : uint32_t {
    tlusbStateCreated = 1,
    tlusbStateClosed = 2,      // closed, or the open failed
    tlusbStateOpened = 3,      // opened and being configured
    tlusbStateReady = 4,       // interface claimed
    tlusbStateFailed = 5,      // failed after repeated I/O errors
};

#define TLUSB_VENDOR_ID 0x24FF
#define TLUSB_READ_BUFFER_SIZE 1024

// One opened or unopened device. The reading thread alone uses the read
// buffer; state and errorCount are shared by the reading and writing threads.
struct tlusb_device {
    uint32_t mode;
    char serial[256];
    int nodeDescriptor;                 // -1: not open (0 is a valid descriptor)
    libusb_device_handle* handle;       // NULL: not open
    std::atomic<uint32_t> state;
    uint8_t interfaceNumber;
    uint8_t outEndpoint;
    uint8_t inEndpoint;
    uint8_t readBuffer[TLUSB_READ_BUFFER_SIZE];
    uint32_t available;
    uint8_t* readPointer;
    std::atomic<uint8_t> errorCount;    // consecutive I/O failures
    uint16_t inMaxPacket;
    uint16_t outMaxPacket;
};

// True when the kernel driver node of the serial number exists.
bool tlusb_is_kernel_driver_installed(uint32_t serialNumber);

// A new record in state 1 for the back end, with no node open (making sure
// the shared USB context exists for the USB library); NULL when memory runs out.
tlusb_device* tlusb_create_usb(uint32_t mode);

// Opens the device whose serial text (8 upper-case hex digits) matches.
aErr tlusb_open_tessaline_device(tlusb_device* device, const char* serial);
aErr tlusb_open_tessaline_USBlib_device(tlusb_device* device, const char* serial);
aErr tlusb_open_tessaline_kernel_device(tlusb_device* device, const char* serial);

// Sends the bytes.
aErr tlusb_write_to_device(tlusb_device* device, const uint8_t* data, size_t length);
aErr tlusb_write_to_USBlib_device(tlusb_device* device, const uint8_t* data, size_t length);
aErr tlusb_write_to_kernel_device(tlusb_device* device, const uint8_t* data, size_t length);

// Delivers the device's next byte; aErrNotReady when none came in time.
aErr tlusb_get_from_device(tlusb_device* device, uint8_t* byte);
aErr tlusb_get_from_USBlib_device(tlusb_device* device, uint8_t* byte);
aErr tlusb_get_from_kernel_device(tlusb_device* device, uint8_t* byte);

// Releases the interface and closes the device (state 2).
aErr tlusb_close_tessaline_device(tlusb_device* device);

// Closes what is still open, frees the record and clears the caller's handle.
aErr tlusb_destroy(tlusb_device** device);

// Fills the interface number, the endpoints and their packet sizes from the
// open device's configuration 0; 0 when an IN and an OUT endpoint were found.
int find_usb_endpoints(tlusb_device* device);

// True for a Tessaline vendor id and a product id with bit 15 clear.
bool is_tessaline_device(libusb_device* device);
