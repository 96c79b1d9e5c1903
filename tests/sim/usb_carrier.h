// The emulated USB bus: simulated devices put behind bulk endpoints on a
// umockdev testbed, so that the real USB library finds, opens and talks to
// them, plus emulated per-device kernel driver nodes "/dev/tessaline.%08X".
// Programs using it run under umockdev-wrapper. One carrier per process.
// An endpoint must stay alive while its device is plugged and the host may
// use it; the carrier's destructor no longer calls it.
#pragma once

#include "tests/sim/device_endpoint.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace sim {

struct UsbEndpointDescription {
    uint8_t address;              // bit 7 set: IN
    uint8_t attributes = 2;       // 2 bulk, 3 interrupt, 1 isochronous
    uint16_t maxPacket = 512;
};

struct UsbAltSetting {
    uint8_t interfaceNumber = 0;
    uint8_t alternate = 0;
    uint8_t interfaceClass = 0xFF;
    uint8_t subclass = 0x88;
    uint8_t protocol = 0x10;
    std::vector<UsbEndpointDescription> endpoints;
};

struct UsbDeviceDescription {
    uint16_t vendorId = 0x24FF;
    uint16_t productId = 0x0013;
    std::string serial;           // the serial-number string; empty: the device has none
    uint8_t activeConfiguration = 1; // as sysfs shows it; 0: unconfigured, so no endpoint has a known packet size
    std::vector<UsbAltSetting> settings;

    // A Tessaline device: one link interface with a bulk IN and OUT endpoint
    // of the given packet size, the serial number as eight upper-case hex digits.
    static UsbDeviceDescription tessaline(uint32_t serialNumber, uint16_t maxPacket = 512,
                                          uint16_t productId = 0x0013);
};

class UsbCarrier {
public:
    UsbCarrier();
    ~UsbCarrier();
    UsbCarrier(const UsbCarrier&) = delete;
    UsbCarrier& operator=(const UsbCarrier&) = delete;

    // Plugs a device answered by the endpoint; returns its handle for the calls below.
    int plug(const UsbDeviceDescription& description, DeviceEndpoint& endpoint);
    // Unplugs it: transfers in flight fail with -ENODEV, it leaves the bus and
    // the endpoint is told that its host is gone.
    void unplug(int device);
    // The device restarts: it leaves the bus and comes back on a new address
    // with the same description, answered by the endpoint given (else the same one).
    void reenumerate(int device, DeviceEndpoint* endpoint = nullptr);

    // The next count transfers on the endpoint address end with the URB status
    // given (-EPIPE stall, -EPROTO protocol error, ...); endpoint 0 is the
    // control endpoint, through which descriptor strings are read.
    void failTransfers(int device, uint8_t endpoint, int status, int count = 1);
    // Claiming an interface answers this errno (EBUSY: another program has it); 0 succeeds.
    void setClaimError(int device, int error);
    // Clearing a halt answers this errno; 0 succeeds.
    void setClearHaltError(int device, int error);
    // The device ends no IN transfer with a short packet: a transfer completes
    // only when its buffer is full, or keeps its bytes when it is cancelled.
    void setHoldInTransfers(int device, bool hold);
    // The next OUT transfer takes only this many bytes and then stays
    // unanswered until the host gives up on it.
    void limitNextOut(int device, size_t bytes);

    // Sizes of the OUT transfers the device accepted, in order.
    std::vector<size_t> outTransfers(int device) const;
    // Number of halts the host cleared, per endpoint address.
    std::map<uint8_t, int> clearedHalts(int device) const;
    // Number of ioctls the host made on the device.
    size_t ioctlCount(int device) const;
    // Whether the host holds a claim on an interface.
    bool claimed(int device) const;

    // An emulated kernel driver node "/dev/tessaline.%08X" answered by the endpoint.
    void addDriverNode(uint32_t serialNumber, DeviceEndpoint& endpoint);
    // A node for the serial number that exists but cannot be opened.
    void addUnopenableDriverNode(uint32_t serialNumber);
    // Bytes the host wrote to the node.
    size_t driverNodeWrites(uint32_t serialNumber) const;
    // The next count reads (or writes) on the node fail with this errno.
    enum class NodeCall { Read, Write };
    void failDriverNodeCalls(uint32_t serialNumber, NodeCall call, int error, int count = 1);

    struct Device;
    struct Node;

private:
    std::shared_ptr<Device> current(int device) const;
    std::shared_ptr<Device> attach(const UsbDeviceDescription& description, DeviceEndpoint& endpoint, int port);
    void detach(Device& device);

    UMockdevTestbed* testbed_;
    std::string root_;
    mutable std::mutex lock_;
    int nextDevnum_ = 2;
    std::map<int, std::shared_ptr<Device>> devices_;     // by handle: the device on the bus now
    std::vector<std::shared_ptr<Device>> retired_;       // unplugged, kept while the host may hold them
    std::map<uint32_t, std::shared_ptr<Node>> nodes_;
};

// Runs body on a thread on which every open for reading and writing fails
// with EBUSY, as for a driver node that another program holds open.
void runWithOpensBusy(const std::function<void()>& body);
// Runs body on a thread on which no eventfd can be made, so that the USB
// library cannot start a context there.
void runWithoutEventDescriptors(const std::function<void()>& body);

} // namespace sim
