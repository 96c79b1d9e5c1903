#include "platform/tlusb_driver.h"

#include <libusb-1.0/libusb.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <unistd.h>

#include "common/aDebug.h"
#include "platform/Tessaline_libusb.h"
#include "platform/aFile.h"

namespace {

constexpr uint8_t kLinkClass = 0xFF;
constexpr uint8_t kLinkSubclass = 0x88;
constexpr uint8_t kLinkProtocol = 0x10;
constexpr unsigned kWriteTimeoutMs = 50;
constexpr unsigned kReadTimeoutMs = 1000;
constexpr int kMaxFailedWrites = 10;
constexpr int kMaxKernelWrites = 1000;
constexpr uint8_t kForgivenFailures = 4;

// What a read or write may do in the device's state; 0 only when ready.
aErr sStateCheck(const tlusb_device* device)
{
    switch (device->state.load()) {
    case tlusbStateReady:
        return aErrNone;
    case tlusbStateClosed:
        return aErrConnection;
    case tlusbStateCreated:
    case tlusbStateOpened:
        return aErrNotReady;
    default:
        return aErrIO;
    }
}

// A few I/O failures in a row pass as transient (a write's bytes are then
// lost, a read is not ready); the fifth fails the device. The count saturates
// so that a failed device keeps failing however long it is used.
aErr _handleErrorTolerance(tlusb_device* device, aErr result, bool reading)
{
    if (result != aErrIO) {
        device->errorCount = 0;
        return result;
    }
    uint8_t before = device->errorCount.load();
    while (before < UINT8_MAX && !device->errorCount.compare_exchange_weak(before, uint8_t(before + 1))) {
    }
    if (before < kForgivenFailures) return reading ? aErrNotReady : aErrNone;
    device->state = tlusbStateFailed;
    return aErrIO;
}

void sCloseHandle(tlusb_device* device)
{
    libusb_close(device->handle);
    device->handle = nullptr;
    device->state = tlusbStateClosed;
}

// Whether the opened device reports exactly the serial text.
bool sSerialMatches(libusb_device* usbDevice, libusb_device_handle* handle, const char* serial)
{
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(usbDevice, &descriptor) != 0) return false;
    unsigned char text[256] = {};
    if (libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text, sizeof text) < 0) return false;
    return strcmp(reinterpret_cast<const char*>(text), serial) == 0;
}

// Claims the link interface of the device just opened; the result of the open.
aErr sConfigure(tlusb_device* device)
{
    if (find_usb_endpoints(device) != 0) {
        sCloseHandle(device);
        return aErrConfiguration;
    }
    int rc = libusb_claim_interface(device->handle, device->interfaceNumber);
    if (rc == 0) {
        device->state = tlusbStateReady;
        device->errorCount = 0;
        return aErrNone;
    }
    sCloseHandle(device);
    switch (rc) {
    case LIBUSB_ERROR_BUSY:
    case LIBUSB_ERROR_NO_DEVICE:
        return aErrBusy;
    case LIBUSB_ERROR_ACCESS:
        return aErrPermission;
    default:
        return aErrUnknown;
    }
}

} // namespace

bool tlusb_is_kernel_driver_installed(uint32_t serialNumber)
{
    char path[64];
    snprintf(path, sizeof path, "/dev/tessaline.%08X", serialNumber);
    return aFile_Exists(path);
}

tlusb_device* tlusb_create_usb(uint32_t mode)
{
    if (mode == tlusbModeUSBLib) Tessaline_libusb_context();
    tlusb_device* device = new (std::nothrow) tlusb_device{};
    if (!device) return nullptr;
    device->mode = mode;
    device->nodeDescriptor = -1;
    device->state = tlusbStateCreated;
    device->readPointer = device->readBuffer;
    return device;
}

bool is_tessaline_device(libusb_device* device)
{
    libusb_device_descriptor descriptor;
    if (libusb_get_device_descriptor(device, &descriptor) != 0) return false;
    return descriptor.idVendor == TLUSB_VENDOR_ID && !(descriptor.idProduct & 0x8000);
}

int find_usb_endpoints(tlusb_device* device)
{
    libusb_device* usbDevice = libusb_get_device(device->handle);
    libusb_device_descriptor descriptor;
    int rc = libusb_get_device_descriptor(usbDevice, &descriptor);
    if (rc != 0) return rc;

    bool foundIn = false, foundOut = false;
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_config_descriptor(usbDevice, 0, &config) == 0) {
        for (int i = 0; i < config->bNumInterfaces; ++i) {
            const libusb_interface& interface = config->interface[i];
            for (int a = 0; a < interface.num_altsetting; ++a) {
                const libusb_interface_descriptor& setting = interface.altsetting[a];
                if (setting.bInterfaceClass != kLinkClass || setting.bInterfaceSubClass != kLinkSubclass ||
                    setting.bInterfaceProtocol != kLinkProtocol)
                    continue;
                device->interfaceNumber = setting.bInterfaceNumber;
                for (int e = 0; e < setting.bNumEndpoints; ++e) {
                    const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
                    if (!(endpoint.bmAttributes & 0x02)) continue;
                    int packet = std::max(libusb_get_max_packet_size(usbDevice, endpoint.bEndpointAddress), 0);
                    if (endpoint.bEndpointAddress & 0x80) {
                        device->inEndpoint = endpoint.bEndpointAddress;
                        device->inMaxPacket = uint16_t(packet);
                        foundIn = true;
                        aDebug_Printf(aDEBUG_USB_DRIVER, "In Endpoint Max packet: %d\n", packet);
                    } else {
                        device->outEndpoint = endpoint.bEndpointAddress;
                        device->outMaxPacket = uint16_t(packet);
                        foundOut = true;
                        aDebug_Printf(aDEBUG_USB_DRIVER, "Out Endpoint Max packet: %d\n", packet);
                    }
                }
            }
        }
        libusb_free_config_descriptor(config);
    }
    return foundIn && foundOut ? 0 : LIBUSB_ERROR_NOT_FOUND;
}

aErr tlusb_open_tessaline_USBlib_device(tlusb_device* device, const char* serial)
{
    if (!device || !serial) return aErrParam;
    if (device->mode != tlusbModeUSBLib) return aErrMode;
    libusb_context* context = Tessaline_libusb_context();
    if (!context) return aErrNotFound;
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0) return aErrNotFound;

    aErr result = aErrNotFound;
    for (ssize_t i = 0; i < count; ++i) {
        if (!is_tessaline_device(list[i])) continue;
        libusb_device_handle* handle = nullptr;
        if (libusb_open(list[i], &handle) != 0) continue;
        if (!sSerialMatches(list[i], handle, serial)) {
            libusb_close(handle);
            continue;
        }
        snprintf(device->serial, sizeof device->serial, "%s", serial);
        device->handle = handle;
        device->state = tlusbStateOpened;
        result = sConfigure(device);
        break;
    }
    libusb_free_device_list(list, 1);
    return result;
}

aErr tlusb_open_tessaline_kernel_device(tlusb_device* device, const char* serial)
{
    if (!device || !serial) return aErrParam;
    if (device->mode != tlusbModeKernelNode) return aErrMode;
    snprintf(device->serial, sizeof device->serial, "%s", serial);
    char path[300];
    snprintf(path, sizeof path, "/dev/tessaline.%s", device->serial);
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return errno == EBUSY ? aErrBusy : aErrIO;
    device->nodeDescriptor = fd;
    return aErrNone;
}

aErr tlusb_open_tessaline_device(tlusb_device* device, const char* serial)
{
    if (!device) return aErrParam;
    return device->mode == tlusbModeUSBLib ? tlusb_open_tessaline_USBlib_device(device, serial)
                                           : tlusb_open_tessaline_kernel_device(device, serial);
}

aErr tlusb_write_to_USBlib_device(tlusb_device* device, const uint8_t* data, size_t length)
{
    if (!device || (!data && length)) return aErrParam;
    if (device->mode != tlusbModeUSBLib) return aErrMode;
    aErr result = sStateCheck(device);
    if (result == aErrNone) {
        size_t sent = 0;
        int failures = 0;
        while (sent < length && failures < kMaxFailedWrites) {
            // A packet size of 0 would send nothing forever: the rest goes in one transfer.
            size_t chunk = length - sent;
            if (device->outMaxPacket) chunk = std::min<size_t>(device->outMaxPacket, chunk);
            if (chunk == 512) chunk = 511;
            int transferred = 0;
            int rc = libusb_bulk_transfer(device->handle, device->outEndpoint, const_cast<uint8_t*>(data + sent),
                                          int(chunk), &transferred, kWriteTimeoutMs);
            aDebug_Printf(aDEBUG_USB_DRIVER, "libusb lenSent: %d - nSize: %d\n", transferred, int(chunk));
            // Bytes that went out before a failure are not sent twice.
            sent += size_t(std::max(transferred, 0));
            if (rc == 0) continue;
            ++failures;
            aDebug_Printf(aDEBUG_USB_DRIVER, "libusb error: %d\n", rc);
            if (rc != LIBUSB_ERROR_PIPE) continue;
            int cleared = libusb_clear_halt(device->handle, device->outEndpoint);
            if (cleared != 0) {
                aDebug_Printf(aDEBUG_USB_DRIVER, "libusb WRITE error clearing halt: %d\n", cleared);
                result = aErrIO;
            }
        }
        if (sent < length) result = aErrWrite;
    } else {
        aDebug_Printf(aDEBUG_USB_DRIVER, "libusb WRITE error dev state: %d\n", int(device->state.load()));
    }
    return _handleErrorTolerance(device, result, false);
}

aErr tlusb_get_from_USBlib_device(tlusb_device* device, uint8_t* byte)
{
    if (!device || !byte) return aErrParam;
    if (device->mode != tlusbModeUSBLib) return aErrMode;
    aErr result = aErrNone;
    if (device->available == 0) {
        result = sStateCheck(device);
        if (result == aErrNone) {
            int transferred = 0;
            int rc = libusb_bulk_transfer(device->handle, device->inEndpoint, device->readBuffer,
                                          sizeof device->readBuffer, &transferred, kReadTimeoutMs);
            if (rc == 0 || (rc == LIBUSB_ERROR_TIMEOUT && transferred > 0)) {
                device->available = uint32_t(transferred);
                device->readPointer = device->readBuffer;
            } else if (rc == LIBUSB_ERROR_PIPE) {
                libusb_clear_halt(device->handle, device->inEndpoint);
                result = aErrNotReady;
            } else if (rc == LIBUSB_ERROR_TIMEOUT) {
                result = aErrNotReady;
            } else {
                aDebug_Printf(aDEBUG_USB_DRIVER, "libusb READ error bulk transfer: %d\n", rc);
                result = aErrIO;
            }
        } else {
            aDebug_Printf(aDEBUG_USB_DRIVER, "libusb READ error dev state: %d\n", int(device->state.load()));
        }
    }
    if (result == aErrNone) {
        if (device->available) {
            *byte = *device->readPointer++;
            --device->available;
        } else {
            result = aErrNotReady;
        }
    }
    return _handleErrorTolerance(device, result, true);
}

aErr tlusb_write_to_kernel_device(tlusb_device* device, const uint8_t* data, size_t length)
{
    if (!device || (!data && length)) return aErrParam;
    if (device->mode != tlusbModeKernelNode || device->nodeDescriptor < 0) return aErrMode;
    size_t sent = 0;
    for (int call = 0; call < kMaxKernelWrites && sent < length; ++call) {
        ssize_t n = write(device->nodeDescriptor, data + sent, length - sent);
        if (n < 0 && errno == EINTR) continue;   // a signal came first: try again
        if (n < 0) return aErrIO;
        sent += size_t(n);
    }
    return sent < length ? aErrIO : aErrNone;
}

aErr tlusb_get_from_kernel_device(tlusb_device* device, uint8_t* byte)
{
    if (!device || !byte) return aErrParam;
    if (device->mode != tlusbModeKernelNode || device->nodeDescriptor < 0) return aErrMode;
    ssize_t n = read(device->nodeDescriptor, byte, 1);
    if (n == 1) return aErrNone;
    // No byte yet, or a signal interrupted the wait for one: the reader tries again.
    if (n == 0 || errno == EFAULT || errno == EINTR) return aErrNotReady;
    return aErrIO;
}

aErr tlusb_write_to_device(tlusb_device* device, const uint8_t* data, size_t length)
{
    if (!device) return aErrParam;
    return device->mode == tlusbModeUSBLib ? tlusb_write_to_USBlib_device(device, data, length)
                                           : tlusb_write_to_kernel_device(device, data, length);
}

aErr tlusb_get_from_device(tlusb_device* device, uint8_t* byte)
{
    if (!device) return aErrParam;
    return device->mode == tlusbModeUSBLib ? tlusb_get_from_USBlib_device(device, byte)
                                           : tlusb_get_from_kernel_device(device, byte);
}

aErr tlusb_close_tessaline_device(tlusb_device* device)
{
    if (!device) return aErrParam;
    if (device->mode == tlusbModeUSBLib) {
        if (!device->handle) return aErrMode;
        libusb_release_interface(device->handle, device->interfaceNumber);
        sCloseHandle(device);
        device->inEndpoint = device->outEndpoint = device->interfaceNumber = 0;
        return aErrNone;
    }
    if (device->nodeDescriptor < 0) return aErrNone;
    int rc = close(device->nodeDescriptor);
    device->nodeDescriptor = -1;
    device->state = tlusbStateClosed;
    return rc == 0 ? aErrNone : aErrCancel;
}

aErr tlusb_destroy(tlusb_device** device)
{
    if (!device || !*device) return aErrParam;
    tlusb_device* record = *device;
    if (record->handle) libusb_close(record->handle);
    if (record->nodeDescriptor >= 0) close(record->nodeDescriptor);
    delete record;
    *device = nullptr;
    return aErrNone;
}
