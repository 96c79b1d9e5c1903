// An emulated USB HID device: a simulated device put behind a hidraw node on
// a umockdev testbed (a USB device, its interface, the HID device and
// /dev/hidrawN), so that the real HID library finds it by its ids, reads its
// report descriptor, writes reports to it and polls and reads its input
// reports. Programs using it run under umockdev-wrapper.
#pragma once

#include "tests/sim/device_endpoint.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace sim {

struct HidDeviceDescription {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string name;
    std::vector<uint8_t> reportDescriptor;
};

class HidrawCarrier {
public:
    HidrawCarrier();
    ~HidrawCarrier();
    HidrawCarrier(const HidrawCarrier&) = delete;
    HidrawCarrier& operator=(const HidrawCarrier&) = delete;

    // Plugs the device as the next /dev/hidrawN: each host write is handed
    // to the endpoint as one report, each host read takes one report of its
    // output (toHostFrame), and the node polls readable while one is pending.
    // The endpoint must outlive the carrier.
    void plug(const HidDeviceDescription& description, DeviceEndpoint& endpoint);

    struct Node;

private:
    UMockdevTestbed* testbed_;
    std::string root_;
    std::vector<std::shared_ptr<Node>> nodes_;
};

} // namespace sim
