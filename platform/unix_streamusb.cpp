#include "platform/aStreamUSB.h"

#include <cstdio>
#include <new>

#include "platform/tlusb_driver.h"

namespace {

constexpr uint16_t kUSBStreamCheck = 0xDEAD;

struct USBStreamReference {
    uint32_t serialNumber;
    tlusb_device* device;
    uint16_t check;
};

USBStreamReference* sReference(void* reference)
{
    auto* usb = static_cast<USBStreamReference*>(reference);
    return usb && usb->check == kUSBStreamCheck ? usb : nullptr;
}

aErr sUSBStreamGet(uint8_t* byte, void* reference)
{
    USBStreamReference* usb = sReference(reference);
    return usb ? tlusb_get_from_device(usb->device, byte) : aErrParam;
}

aErr sUSBStreamWrite(const uint8_t* data, size_t length, void* reference)
{
    USBStreamReference* usb = sReference(reference);
    return usb ? tlusb_write_to_device(usb->device, data, length) : aErrParam;
}

aErr sUSBStreamPut(const uint8_t* byte, void* reference)
{
    return sUSBStreamWrite(byte, 1, reference);
}

// The stream is freed whatever the close answers, so the records go with it.
aErr sUSBStreamDelete(void* reference)
{
    USBStreamReference* usb = sReference(reference);
    if (!usb) return aErrParam;
    aErr result = tlusb_close_tessaline_device(usb->device);
    tlusb_destroy(&usb->device);
    *usb = USBStreamReference{};
    delete usb;
    return result;
}

} // namespace

aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream)
{
    if (stream) *stream = nullptr;
    bool kernelNode = tlusb_is_kernel_driver_installed(serialNumber);
    if (!stream || serialNumber == 0) return aErrParam;

    auto* usb = new (std::nothrow) USBStreamReference{};
    if (!usb) return aErrMemory;
    char serial[16];
    snprintf(serial, sizeof serial, "%08X", serialNumber);
    usb->serialNumber = serialNumber;
    usb->check = kUSBStreamCheck;

    usb->device = tlusb_create_usb(kernelNode ? tlusbModeKernelNode : tlusbModeUSBLib);
    if (!usb->device) {
        delete usb;
        return aErrResource;
    }
    aErr result = tlusb_open_tessaline_device(usb->device, serial);
    if (result != aErrNone) {
        tlusb_destroy(&usb->device);
        delete usb;
        return result;
    }
    *stream = aStream_Create(sUSBStreamGet, sUSBStreamPut, sUSBStreamWrite, sUSBStreamDelete, usb);
    if (!*stream) {
        tlusb_destroy(&usb->device);
        delete usb;
        return aErrMemory;
    }
    return aErrNone;
}
