#include "tests/sim/usb_carrier.h"
#include "tests/sim/tsan_suppressions.h"
#include "tests/sim/umockdev_support.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <linux/usbdevice_fs.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace sim {

namespace {

constexpr int kBus = 1;
constexpr uint8_t kSerialIndex = 3;

void put16(std::vector<uint8_t>& out, uint16_t value)
{
    out.push_back(value & 0xFF);
    out.push_back(value >> 8);
}

// The device descriptor followed by the whole configuration, as sysfs shows them.
std::vector<uint8_t> descriptors(const UsbDeviceDescription& d)
{
    std::vector<uint8_t> out = {18, 1, 0x00, 0x02, 0, 0, 0, 64};
    put16(out, d.vendorId);
    put16(out, d.productId);
    put16(out, 0x0100);
    out.insert(out.end(), {0, 0, uint8_t(d.serial.empty() ? 0 : kSerialIndex), 1});

    std::vector<uint8_t> interfaces;
    std::vector<uint8_t> numbers;
    for (const UsbAltSetting& s : d.settings) {
        interfaces.insert(interfaces.end(), {9, 4, s.interfaceNumber, s.alternate, uint8_t(s.endpoints.size()),
                                             s.interfaceClass, s.subclass, s.protocol, 0});
        for (const UsbEndpointDescription& e : s.endpoints) {
            interfaces.insert(interfaces.end(), {7, 5, e.address, e.attributes});
            put16(interfaces, e.maxPacket);
            interfaces.push_back(e.attributes == 3 ? 1 : 0);
        }
        if (std::find(numbers.begin(), numbers.end(), s.interfaceNumber) == numbers.end())
            numbers.push_back(s.interfaceNumber);
    }
    out.insert(out.end(), {9, 2});
    put16(out, uint16_t(9 + interfaces.size()));
    out.insert(out.end(), {uint8_t(numbers.size()), 1, 0, 0x80, 50});
    out.insert(out.end(), interfaces.begin(), interfaces.end());
    return out;
}

} // namespace

UsbDeviceDescription UsbDeviceDescription::tessaline(uint32_t serialNumber, uint16_t maxPacket, uint16_t productId)
{
    UsbDeviceDescription d;
    d.productId = productId;
    d.serial = format("%08X", serialNumber);
    UsbAltSetting link;
    link.endpoints = {{0x81, 2, maxPacket}, {0x01, 2, maxPacket}};
    d.settings = {link};
    return d;
}

// One URB the host submitted, with its resolved memory.
struct Urb {
    UMockdevIoctlData* urb = nullptr;
    UMockdevIoctlData* buffer = nullptr;
    uint8_t endpoint = 0;

    usbdevfs_urb& fields() const { return *reinterpret_cast<usbdevfs_urb*>(urb->data); }
    uint8_t* bytes() const { return buffer ? buffer->data : nullptr; }
};

// One device on the bus. Its ioctls arrive on umockdev's worker thread, its
// endpoint's wake-ups on any thread; everything below is under the lock.
struct UsbCarrier::Device {
    UsbDeviceDescription description;
    DeviceEndpoint* endpoint = nullptr;
    std::string sysPath;
    std::string devNode;
    std::string fifoPath;
    UMockdevIoctlBase* handler = nullptr;

    std::mutex lock;
    bool connected = true;
    int fifo = -1;                    // our end of the node: full while nothing is reapable
    std::deque<Urb> parkedIn;         // IN transfers waiting for the device's bytes
    std::deque<Urb> parkedOut;        // OUT transfers the device does not answer
    std::deque<Urb> done;             // completed, waiting to be reaped
    std::map<uint8_t, std::deque<int>> faults;
    int claimError = 0;
    int clearHaltError = 0;
    bool holdIn = false;
    long outLimit = -1;
    std::vector<size_t> outSizes;
    std::map<uint8_t, int> halts;
    size_t ioctls = 0;
    bool claimedInterface = false;

    ~Device()
    {
        for (auto* list : {&parkedIn, &parkedOut, &done})
            for (Urb& u : *list) release(u);
        if (fifo >= 0) close(fifo);
        if (handler) g_object_unref(handler);
    }

    static void release(Urb& u)
    {
        if (u.buffer) g_object_unref(u.buffer);
        if (u.urb) g_object_unref(u.urb);
        u = Urb();
    }

    // The usbfs node polls writable exactly while a URB waits to be reaped.
    void signalReapable()
    {
        char sink[4096];
        while (read(fifo, sink, sizeof sink) > 0) {
        }
    }
    void signalQuiet()
    {
        static const char fill[4096] = {};
        while (write(fifo, fill, sizeof fill) > 0) {
        }
    }

    void finish(Urb u, int status)
    {
        u.fields().status = status;
        done.push_back(u);
        signalReapable();
    }

    // Moves the device's pending bytes into parked IN transfers.
    void feedIn()
    {
        while (connected && !parkedIn.empty()) {
            Urb& u = parkedIn.front();
            usbdevfs_urb& f = u.fields();
            size_t room = size_t(f.buffer_length - f.actual_length);
            size_t n = room ? endpoint->toHost(u.bytes() + f.actual_length, room) : 0;
            f.actual_length += int(n);
            bool full = f.actual_length == f.buffer_length;
            if (!full && (holdIn || f.actual_length == 0)) return;
            Urb taken = u;
            parkedIn.pop_front();
            finish(taken, 0);
        }
    }

    void disconnect()
    {
        connected = false;
        for (auto* list : {&parkedIn, &parkedOut}) {
            while (!list->empty()) {
                Urb u = list->front();
                list->pop_front();
                finish(u, -ENODEV);
            }
        }
    }

    const UsbEndpointDescription* findEndpoint(uint8_t address) const
    {
        for (const UsbAltSetting& s : description.settings)
            for (const UsbEndpointDescription& e : s.endpoints)
                if (e.address == address) return &e;
        return nullptr;
    }

    bool hasInterface(unsigned number) const
    {
        for (const UsbAltSetting& s : description.settings)
            if (s.interfaceNumber == number) return true;
        return false;
    }

    std::vector<uint8_t> stringDescriptor(uint8_t index, bool& found) const
    {
        found = true;
        if (index == 0) return {4, 3, 0x09, 0x04};
        if (index == kSerialIndex && !description.serial.empty()) {
            std::vector<uint8_t> out = {uint8_t(2 + 2 * description.serial.size()), 3};
            for (char c : description.serial) {
                out.push_back(uint8_t(c));
                out.push_back(0);
            }
            return out;
        }
        found = false;
        return {};
    }

    // A control transfer on endpoint 0: only string descriptors are answered.
    void control(Urb u)
    {
        usbdevfs_urb& f = u.fields();
        const uint8_t* setup = u.bytes();
        if (!setup || f.buffer_length < 8) return finish(u, -EINVAL);
        uint8_t requestType = setup[0], request = setup[1];
        uint16_t value = uint16_t(setup[2] | setup[3] << 8);
        uint16_t length = uint16_t(setup[6] | setup[7] << 8);
        bool found = false;
        std::vector<uint8_t> reply;
        if (requestType == 0x80 && request == 6 && (value >> 8) == 3) reply = stringDescriptor(value & 0xFF, found);
        if (!found) return finish(u, -EPIPE);
        size_t n = std::min<size_t>({reply.size(), length, size_t(f.buffer_length - 8)});
        memcpy(u.bytes() + 8, reply.data(), n);
        f.actual_length = int(n);
        finish(u, 0);
    }

    bool takeFault(uint8_t ep, int& status)
    {
        auto it = faults.find(ep);
        if (it == faults.end() || it->second.empty()) return false;
        status = it->second.front();
        it->second.pop_front();
        return true;
    }

    static int answer(UMockdevIoctlClient* client, long result, int error)
    {
        umockdev_ioctl_client_complete(client, result, error);
        return TRUE;
    }

    static UMockdevIoctlData* resolve(UMockdevIoctlData* data, size_t offset, size_t length)
    {
        GError* error = nullptr;
        UMockdevIoctlData* child = umockdev_ioctl_data_resolve(data, offset, length, &error);
        if (error) g_error_free(error);
        return child;
    }

    // The argument of ioctls that pass a pointer to one unsigned int.
    static bool readUnsigned(UMockdevIoctlData* arg, unsigned& value)
    {
        UMockdevIoctlData* data = resolve(arg, 0, sizeof(unsigned));
        if (!data) return false;
        memcpy(&value, data->data, sizeof value);
        g_object_unref(data);
        return true;
    }

    int submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
    {
        Urb u;
        u.urb = resolve(arg, 0, sizeof(usbdevfs_urb));
        if (!u.urb) return answer(client, -1, EFAULT);
        usbdevfs_urb& f = u.fields();
        if (f.buffer_length > 0) {
            u.buffer = resolve(u.urb, offsetof(usbdevfs_urb, buffer), size_t(f.buffer_length));
            if (!u.buffer) {
                release(u);
                return answer(client, -1, EFAULT);
            }
        }
        u.endpoint = f.endpoint;
        f.actual_length = 0;
        f.status = -EINPROGRESS;

        std::unique_lock<std::mutex> guard(lock);
        if (!connected) {
            release(u);
            return answer(client, -1, ENODEV);
        }
        bool isControl = f.type == USBDEVFS_URB_TYPE_CONTROL && (f.endpoint & 0x7F) == 0;
        if (!isControl &&
            ((f.type != USBDEVFS_URB_TYPE_BULK && f.type != USBDEVFS_URB_TYPE_INTERRUPT) || !findEndpoint(f.endpoint))) {
            release(u);
            return answer(client, -1, ENOENT);
        }
        int status = 0;
        if (takeFault(isControl ? 0 : f.endpoint, status)) {
            finish(u, status);
            return answer(client, 0, 0);
        }
        if (isControl) {
            control(u);
            return answer(client, 0, 0);
        }
        if (f.endpoint & 0x80) {
            parkedIn.push_back(u);
            feedIn();
            return answer(client, 0, 0);
        }

        size_t accepted = size_t(f.buffer_length);
        bool park = false;
        if (outLimit >= 0) {
            accepted = std::min(accepted, size_t(outLimit));
            park = accepted < size_t(f.buffer_length);
            outLimit = -1;
        }
        f.actual_length = int(accepted);
        outSizes.push_back(accepted);
        if (park)
            parkedOut.push_back(u);
        else
            finish(u, 0);
        // The endpoint may answer at once and wake us up: hand it the bytes unlocked.
        DeviceEndpoint* target = endpoint;
        std::vector<uint8_t> bytes(u.bytes(), u.bytes() + accepted);
        guard.unlock();
        if (!bytes.empty()) target->fromHost(bytes.data(), bytes.size());
        return answer(client, 0, 0);
    }

    int reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
    {
        std::lock_guard<std::mutex> guard(lock);
        if (done.empty()) {
            signalQuiet();
            return answer(client, -1, connected ? EAGAIN : ENODEV);
        }
        Urb u = done.front();
        done.pop_front();
        if (done.empty()) signalQuiet();
        UMockdevIoctlData* slot = resolve(arg, 0, sizeof(void*));
        if (slot) {
            umockdev_ioctl_data_set_ptr(slot, 0, u.urb);
            g_object_unref(slot);
        }
        umockdev_ioctl_client_complete(client, slot ? 0 : -1, slot ? 0 : EFAULT);
        release(u);
        return TRUE;
    }

    int discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
    {
        unsigned long address = 0;
        memcpy(&address, arg->data, std::min<size_t>(sizeof address, size_t(arg->data_len)));
        std::lock_guard<std::mutex> guard(lock);
        for (auto* list : {&parkedIn, &parkedOut}) {
            for (auto it = list->begin(); it != list->end(); ++it) {
                if (it->urb->client_addr != address) continue;
                Urb u = *it;
                list->erase(it);
                finish(u, -ENOENT);
                return answer(client, 0, 0);
            }
        }
        return answer(client, -1, EINVAL);
    }

    int ioctl(UMockdevIoctlClient* client)
    {
        unsigned long request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        {
            std::lock_guard<std::mutex> guard(lock);
            ++ioctls;
        }
        switch (request) {
        case USBDEVFS_SUBMITURB:
            return submit(client, arg);
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            return reap(client, arg);
        case USBDEVFS_DISCARDURB:
            return discard(client, arg);
        default:
            break;
        }

        std::lock_guard<std::mutex> guard(lock);
        if (!connected) return answer(client, -1, ENODEV);
        unsigned value = 0;
        switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* data = resolve(arg, 0, sizeof(uint32_t));
            if (!data) return answer(client, -1, EFAULT);
            uint32_t caps = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
            memcpy(data->data, &caps, sizeof caps);
            g_object_unref(data);
            return answer(client, 0, 0);
        }
        case USBDEVFS_DISCONNECT_CLAIM:
        case USBDEVFS_CLAIMINTERFACE:
            if (!readUnsigned(arg, value)) return answer(client, -1, EFAULT);
            if (!hasInterface(value)) return answer(client, -1, EINVAL);
            if (claimError) return answer(client, -1, claimError);
            claimedInterface = true;
            return answer(client, 0, 0);
        case USBDEVFS_RELEASEINTERFACE:
            claimedInterface = false;
            return answer(client, 0, 0);
        case USBDEVFS_CLEAR_HALT:
            if (!readUnsigned(arg, value)) return answer(client, -1, EFAULT);
            if (!findEndpoint(uint8_t(value))) return answer(client, -1, ENOENT);
            if (clearHaltError) return answer(client, -1, clearHaltError);
            ++halts[uint8_t(value)];
            return answer(client, 0, 0);
        case USBDEVFS_GETDRIVER:
            return answer(client, -1, ENODATA);
        default:
            return answer(client, -1, ENOTTY);
        }
    }
};

// An emulated kernel driver node: reads take the device's pending bytes (0
// when none), writes hand the bytes to the device.
struct UsbCarrier::Node {
    uint32_t serialNumber = 0;
    std::string sysPath;
    std::string devNode;
    DeviceEndpoint* endpoint = nullptr;
    UMockdevIoctlBase* handler = nullptr;
    std::mutex lock;
    size_t written = 0;
    std::map<NodeCall, std::deque<int>> faults;

    ~Node()
    {
        if (handler) g_object_unref(handler);
    }

    // Fails the call when a fault is queued for it.
    bool fail(UMockdevIoctlClient* client, NodeCall call)
    {
        std::lock_guard<std::mutex> guard(lock);
        std::deque<int>& queued = faults[call];
        if (queued.empty()) return false;
        umockdev_ioctl_client_complete(client, -1, queued.front());
        queued.pop_front();
        return true;
    }

    int read(UMockdevIoctlClient* client)
    {
        if (fail(client, NodeCall::Read)) return TRUE;
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        size_t n = endpoint->toHost(arg->data, size_t(arg->data_len));
        umockdev_ioctl_client_complete(client, long(n), 0);
        return TRUE;
    }

    int write(UMockdevIoctlClient* client)
    {
        if (fail(client, NodeCall::Write)) return TRUE;
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        {
            std::lock_guard<std::mutex> guard(lock);
            written += size_t(arg->data_len);
        }
        endpoint->fromHost(arg->data, size_t(arg->data_len));
        umockdev_ioctl_client_complete(client, arg->data_len, 0);
        return TRUE;
    }
};

UsbCarrier::UsbCarrier()
{
    testbed_ = openTestbed("the emulated USB bus", &root_);
}

UsbCarrier::~UsbCarrier()
{
    // The endpoints may be gone already: only the host side is shut down.
    for (auto& entry : devices_) {
        std::lock_guard<std::mutex> guard(entry.second->lock);
        entry.second->disconnect();
    }
    g_object_unref(testbed_);
    devices_.clear();
    retired_.clear();
    nodes_.clear();
}

std::shared_ptr<UsbCarrier::Device> UsbCarrier::attach(const UsbDeviceDescription& description,
                                                       DeviceEndpoint& endpoint, int port)
{
    auto device = std::make_shared<Device>();
    int devnum = nextDevnum_++;
    device->description = description;
    device->endpoint = &endpoint;
    device->sysPath = format("/sys/devices/pci0000:00/0000:00:14.0/usb%d/%d-%d", kBus, kBus, port);
    device->devNode = format("/dev/bus/usb/%03d/%03d", kBus, devnum);
    device->fifoPath = root_ + device->devNode;

    // The handler must be in place before the device appears: the host may open it at once.
    device->handler = umockdev_ioctl_base_new();
    connectHandler<Device, &Device::ioctl>(device->handler, "handle-ioctl", device.get());
    GError* error = nullptr;
    check(umockdev_testbed_attach_ioctl(testbed_, device->devNode.c_str(), device->handler, &error), error,
          "attach ioctl handler");

    std::string record = format("P: %s\nN: bus/usb/%03d/%03d\n", device->sysPath.c_str() + 4, kBus, devnum);
    record += format("E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: BUSNUM=%03d\nE: DEVNUM=%03d\nE: DEVNAME=%s\n", kBus,
                     devnum, device->devNode.c_str());
    record += format("A: busnum=%d\nA: devnum=%d\nA: speed=480\nA: dev=189:%d\nA: bConfigurationValue=%d\n", kBus,
                     devnum, devnum - 1, description.activeConfiguration);
    record += "H: descriptors=" + hex(descriptors(description)) + "\n";

    // The usbfs node becomes a pipe that the host polls: writable only while a URB is reapable.
    {
        std::lock_guard<std::mutex> guard(device->lock);
        check(umockdev_testbed_add_from_string(testbed_, record.c_str(), &error), error, "add USB device");
        unlink(device->fifoPath.c_str());
        if (mkfifo(device->fifoPath.c_str(), 0666) != 0) throw std::runtime_error("mkfifo " + device->fifoPath);
        device->fifo = open(device->fifoPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (device->fifo < 0) throw std::runtime_error("open " + device->fifoPath);
        fcntl(device->fifo, F_SETPIPE_SZ, 4096);
        device->signalQuiet();
    }

    // The endpoint's wake-up takes the device's lock: it is set without holding it.
    std::weak_ptr<Device> weak = device;
    endpoint.setToHostNotify([weak] {
        if (auto d = weak.lock()) {
            std::lock_guard<std::mutex> g(d->lock);
            d->feedIn();
        }
    });
    return device;
}

void UsbCarrier::detach(Device& device)
{
    {
        std::lock_guard<std::mutex> guard(device.lock);
        if (!device.connected) return;
        device.disconnect();
    }
    umockdev_testbed_uevent(testbed_, device.sysPath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed_, device.sysPath.c_str());
}

int UsbCarrier::plug(const UsbDeviceDescription& description, DeviceEndpoint& endpoint)
{
    std::lock_guard<std::mutex> guard(lock_);
    int handle = int(devices_.size() + 1);
    devices_[handle] = attach(description, endpoint, handle);
    return handle;
}

std::shared_ptr<UsbCarrier::Device> UsbCarrier::current(int device) const
{
    std::lock_guard<std::mutex> guard(lock_);
    auto it = devices_.find(device);
    if (it == devices_.end()) throw std::invalid_argument("no such USB device");
    return it->second;
}

void UsbCarrier::unplug(int device)
{
    std::shared_ptr<Device> d = current(device);
    detach(*d);
    d->endpoint->setToHostNotify(nullptr);
    d->endpoint->hostDisconnected();
}

void UsbCarrier::reenumerate(int device, DeviceEndpoint* endpoint)
{
    std::shared_ptr<Device> old = current(device);
    detach(*old);
    old->endpoint->setToHostNotify(nullptr);
    std::lock_guard<std::mutex> guard(lock_);
    retired_.push_back(old);
    devices_[device] = attach(old->description, endpoint ? *endpoint : *old->endpoint, device);
}

void UsbCarrier::failTransfers(int device, uint8_t endpoint, int status, int count)
{
    auto d = current(device);
    std::lock_guard<std::mutex> guard(d->lock);
    for (int i = 0; i < count; ++i) d->faults[endpoint].push_back(status);
}

void UsbCarrier::setClaimError(int device, int error)
{
    auto d = current(device);
    std::lock_guard<std::mutex> guard(d->lock);
    d->claimError = error;
}

void UsbCarrier::setClearHaltError(int device, int error)
{
    auto d = current(device);
    std::lock_guard<std::mutex> guard(d->lock);
    d->clearHaltError = error;
}

void UsbCarrier::setHoldInTransfers(int device, bool hold)
{
    auto d = current(device);
    std::lock_guard<std::mutex> guard(d->lock);
    d->holdIn = hold;
}

void UsbCarrier::limitNextOut(int device, size_t bytes)
{
    auto d = current(device);
    std::lock_guard<std::mutex> guard(d->lock);
    d->outLimit = long(bytes);
}

std::vector<size_t> UsbCarrier::outTransfers(int device) const
{
    auto d = current(device);
    std::lock_guard<std::mutex> guard(d->lock);
    return d->outSizes;
}

std::map<uint8_t, int> UsbCarrier::clearedHalts(int device) const
{
    auto d = current(device);
    std::lock_guard<std::mutex> guard(d->lock);
    return d->halts;
}

size_t UsbCarrier::ioctlCount(int device) const
{
    auto d = current(device);
    std::lock_guard<std::mutex> guard(d->lock);
    return d->ioctls;
}

bool UsbCarrier::claimed(int device) const
{
    auto d = current(device);
    std::lock_guard<std::mutex> guard(d->lock);
    return d->claimedInterface;
}

void UsbCarrier::addDriverNode(uint32_t serialNumber, DeviceEndpoint& endpoint)
{
    auto node = std::make_shared<Node>();
    node->serialNumber = serialNumber;
    node->endpoint = &endpoint;
    node->devNode = format("/dev/tessaline.%08X", serialNumber);
    node->sysPath = format("/sys/devices/virtual/tessaline/tessaline.%08X", serialNumber);
    node->handler = umockdev_ioctl_base_new();
    connectHandler<Node, &Node::read>(node->handler, "handle-read", node.get());
    connectHandler<Node, &Node::write>(node->handler, "handle-write", node.get());
    GError* error = nullptr;
    std::lock_guard<std::mutex> guard(lock_);
    check(umockdev_testbed_attach_ioctl(testbed_, node->devNode.c_str(), node->handler, &error), error,
          "attach node handler");
    std::string record = format("P: %s\nN: tessaline.%08X\nE: SUBSYSTEM=tessaline\nE: DEVNAME=%s\nA: dev=240:%zu\n",
                                node->sysPath.c_str() + 4, serialNumber, node->devNode.c_str(), nodes_.size());
    check(umockdev_testbed_add_from_string(testbed_, record.c_str(), &error), error, "add driver node");
    nodes_[serialNumber] = node;
}

void UsbCarrier::addUnopenableDriverNode(uint32_t serialNumber)
{
    // A socket file exists like a node but cannot be opened (ENXIO).
    std::string path = root_ + format("/dev/tessaline.%08X", serialNumber);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long: " + path);
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) close(fd);
    if (!bound) throw std::runtime_error("bind " + path);
}

namespace {

// Runs body on a thread of its own under the system-call filter.
void runFiltered(sock_filter* filter, size_t length, const std::function<void()>& body)
{
    std::exception_ptr failure;
    std::thread worker([&] {
        sock_fprog program = {uint16_t(length), filter};
        try {
            if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
                throw std::runtime_error("cannot install the system-call filter");
            body();
        } catch (...) {
            failure = std::current_exception();
        }
    });
    worker.join();
    if (failure) std::rethrow_exception(failure);
}

} // namespace

void runWithOpensBusy(const std::function<void()>& body)
{
    // Every open for reading and writing fails with EBUSY, as the kernel
    // answers for a node that another program holds.
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, O_RDWR, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EBUSY),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    runFiltered(filter, sizeof filter / sizeof filter[0], body);
}

void runWithoutEventDescriptors(const std::function<void()>& body)
{
    // eventfd fails with EMFILE, as in a process out of descriptors. Pipes
    // stay: the sanitizers probe memory through one.
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_eventfd2, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EMFILE),
    };
    runFiltered(filter, sizeof filter / sizeof filter[0], body);
}

size_t UsbCarrier::driverNodeWrites(uint32_t serialNumber) const
{
    std::lock_guard<std::mutex> guard(lock_);
    auto it = nodes_.find(serialNumber);
    if (it == nodes_.end()) return 0;
    std::lock_guard<std::mutex> nodeGuard(it->second->lock);
    return it->second->written;
}

void UsbCarrier::failDriverNodeCalls(uint32_t serialNumber, NodeCall call, int error, int count)
{
    std::lock_guard<std::mutex> guard(lock_);
    auto it = nodes_.find(serialNumber);
    if (it == nodes_.end()) throw std::invalid_argument("no such driver node");
    std::lock_guard<std::mutex> nodeGuard(it->second->lock);
    for (int i = 0; i < count; ++i) it->second->faults[call].push_back(error);
}

} // namespace sim
