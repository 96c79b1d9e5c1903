// Request and reply over the emulated USB bus: through a running link over a
// USB stream, beside a minimal USB library client doing the same exchange
// straight on the same device's bulk endpoints in the same run; and the CPU
// time that an idle running link uses. Runs under umockdev-wrapper. The
// emulated bus answers in this process, so the CPU figure holds the link's
// threads and the bus's handling of their transfers. The two clients take
// turns for a few rounds and the best round of each counts, so that a burst
// of other load on the machine does not decide the ratio.
#include <libusb-1.0/libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/roundtrip_measure.h"
#include "platform/Tessaline_libusb.h"
#include "platform/aStreamUSB.h"
#include "tests/common/link_harness.h"
#include "tests/sim/device_model.h"
#include "tests/sim/usb_carrier.h"

namespace {

using namespace roundtrip;

constexpr uint32_t kSerial = 0x00C0FFEE;
constexpr uint8_t kIn = 0x81;
constexpr uint8_t kOut = 0x01;
constexpr int kWarmup = 200;
const int kRounds = runLength(5, 2);
const int kIdleSeconds = runLength(5, 1);

// The floor: the same request and reply with synchronous bulk transfers on a
// context of its own and nothing else.
double measureMinimal()
{
    libusb_context* context = nullptr;
    if (libusb_init(&context) != 0) return 0;
    double perSecond = 0;
    libusb_device_handle* handle = nullptr;
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(context, &list);
    for (ssize_t i = 0; i < count && !handle; i++) {
        libusb_device_descriptor descriptor;
        if (libusb_get_device_descriptor(list[i], &descriptor) == 0 && descriptor.idVendor == 0x24FF)
            libusb_open(list[i], &handle);
    }
    if (count >= 0) libusb_free_device_list(list, 1);
    if (handle && libusb_claim_interface(handle, 0) == 0) {
        std::vector<uint8_t> wire = requestWire();
        uint8_t reply[1024];
        auto exchange = [&] {
            int moved = 0;
            if (libusb_bulk_transfer(handle, kOut, wire.data(), int(wire.size()), &moved, 1000) != 0 ||
                moved != int(wire.size()))
                return false;
            for (int got = 0; got < int(wire.size()); got += moved)
                if (libusb_bulk_transfer(handle, kIn, reply, sizeof reply, &moved, 1000) != 0) return false;
            return true;
        };
        perSecond = measure(exchange, kWarmup).perSecond;
        libusb_release_interface(handle, 0);
    }
    if (handle) libusb_close(handle);
    libusb_exit(context);
    return perSecond;
}

// Round trips per second through a running link; with idleCpuPercent, also
// the CPU share of the process while the link then runs idle (-1 when it
// stopped running).
double measureUsbLink(double* idleCpuPercent = nullptr)
{
    aStream* stream = nullptr;
    if (aStream_CreateUSB(kSerial, &stream) != aErrNone) return 0;
    linktest::TestLink link(stream);
    if (aLink_Start(link.id()) != aErrNone) return 0;
    double perSecond = measureLink(link.id(), kWarmup).perSecond;
    if (!idleCpuPercent) return perSecond;

    double cpuBefore = cpuSeconds();
    auto wallBefore = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
    double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
    *idleCpuPercent = aLink_GetStatus(link.id()) == kLinkStatusRunning
                          ? 100.0 * (cpuSeconds() - cpuBefore) / wall
                          : -1;
    return perSecond;
}

} // namespace

int main()
{
    sim::DeviceConfig config;
    config.recordTraffic = false;
    sim::DeviceModel device(config);
    sim::UsbCarrier carrier;
    carrier.plug(sim::UsbDeviceDescription::tessaline(kSerial), device);

    double minimal = 0, link = 0, idleCpuPercent = -1;
    for (int round = 0; round < kRounds; round++) {
        minimal = std::max(minimal, measureMinimal());
        link = std::max(link, measureUsbLink(round == kRounds - 1 ? &idleCpuPercent : nullptr));
    }
    Tessaline_libusb_exit();

    std::printf("link.roundtrip.per_second.usb %.0f 1/s\n", link);
    std::printf("link.minimal.roundtrip.per_second.usb %.0f 1/s\n", minimal);
    std::printf("link.roundtrip.ratio.usb %.2f ratio\n", minimal > 0 ? link / minimal : 0);
    std::printf("link.idle_cpu_percent.usb %.2f %%\n", idleCpuPercent);
    return link > 0 && minimal > 0 && idleCpuPercent >= 0 ? 0 : 1;
}
