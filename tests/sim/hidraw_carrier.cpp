#include "tests/sim/hidraw_carrier.h"
#include "tests/sim/tsan_suppressions.h"
#include "tests/sim/umockdev_support.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <mutex>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

// Bus 2: the emulated USB bus is bus 1.
constexpr int kBus = 2;

} // namespace

// One hidraw node. Its reads, writes and ioctls arrive on umockdev's worker
// thread; the node file itself is a pipe that holds one byte exactly while a
// report waits, so that the host's poll sees what a hidraw node would show.
struct HidrawCarrier::Node {
    HidDeviceDescription description;
    DeviceEndpoint* endpoint = nullptr;
    std::string devNode;
    std::string sysPath;  // the USB device's, under which the others lie
    UMockdevIoctlBase* handler = nullptr;
    int fifo = -1;

    std::mutex lock;
    std::deque<std::vector<uint8_t>> pending;  // reports taken from the endpoint, not read yet
    bool readable = false;

    ~Node()
    {
        if (fifo >= 0) close(fifo);
        if (handler) g_object_unref(handler);
    }

    // Under the lock: moves the endpoint's reports in and sets the poll state.
    void refresh()
    {
        std::vector<uint8_t> report;
        while (endpoint->toHostFrame(report)) pending.push_back(std::move(report));
        bool want = !pending.empty();
        if (want == readable) return;
        if (want) {
            static const char one = 1;
            if (::write(fifo, &one, 1) != 1) return;
        } else {
            char sink[64];
            while (::read(fifo, sink, sizeof sink) > 0) {
            }
        }
        readable = want;
    }

    int read(UMockdevIoctlClient* client)
    {
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        std::lock_guard<std::mutex> guard(lock);
        refresh();
        if (pending.empty()) {
            umockdev_ioctl_client_complete(client, -1, EAGAIN);
            return TRUE;
        }
        // A buffer smaller than the report gets its start, as from hidraw.
        std::vector<uint8_t> report = std::move(pending.front());
        pending.pop_front();
        size_t n = std::min(report.size(), size_t(arg->data_len));
        memcpy(arg->data, report.data(), n);
        refresh();
        umockdev_ioctl_client_complete(client, long(n), 0);
        return TRUE;
    }

    int write(UMockdevIoctlClient* client)
    {
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        endpoint->fromHost(arg->data, size_t(arg->data_len));
        {
            std::lock_guard<std::mutex> guard(lock);
            refresh();
        }
        umockdev_ioctl_client_complete(client, arg->data_len, 0);
        return TRUE;
    }

    int ioctl(UMockdevIoctlClient* client)
    {
        unsigned long request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        const std::vector<uint8_t>& rd = description.reportDescriptor;
        GError* error = nullptr;
        if (request == HIDIOCGRDESCSIZE) {
            UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(int), &error);
            if (error) g_error_free(error);
            if (!data) {
                umockdev_ioctl_client_complete(client, -1, EFAULT);
                return TRUE;
            }
            int size = int(rd.size());
            memcpy(data->data, &size, sizeof size);
            g_object_unref(data);
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        if (request == HIDIOCGRDESC) {
            UMockdevIoctlData* data =
                umockdev_ioctl_data_resolve(arg, 0, sizeof(hidraw_report_descriptor), &error);
            if (error) g_error_free(error);
            if (!data) {
                umockdev_ioctl_client_complete(client, -1, EFAULT);
                return TRUE;
            }
            auto* out = reinterpret_cast<hidraw_report_descriptor*>(data->data);
            size_t n = std::min<size_t>(out->size, rd.size());
            memcpy(out->value, rd.data(), n);
            g_object_unref(data);
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }
};

HidrawCarrier::HidrawCarrier()
{
    testbed_ = openTestbed("the emulated HID device", &root_);
}

HidrawCarrier::~HidrawCarrier()
{
    for (auto& node : nodes_) {
        std::lock_guard<std::mutex> guard(node->lock);
        node->endpoint->setToHostNotify(nullptr);
    }
    // A shared testbed outlives the carrier: its nodes leave it first.
    for (auto& node : nodes_) {
        umockdev_testbed_detach_ioctl(testbed_, node->devNode.c_str(), nullptr);
        umockdev_testbed_remove_device(testbed_, node->sysPath.c_str());
    }
    g_object_unref(testbed_);
    nodes_.clear();
}

void HidrawCarrier::plug(const HidDeviceDescription& d, DeviceEndpoint& endpoint)
{
    auto node = std::make_shared<Node>();
    // Numbered across the process, on a bus of their own: the testbed may be
    // shared with the emulated USB bus and with earlier carriers' nodes.
    static std::atomic<int> nextIndex{0};
    int index = nextIndex++;
    int port = index + 1;
    node->description = d;
    node->endpoint = &endpoint;
    node->devNode = format("/dev/hidraw%d", index);

    node->handler = umockdev_ioctl_base_new();
    connectHandler<Node, &Node::ioctl>(node->handler, "handle-ioctl", node.get());
    connectHandler<Node, &Node::read>(node->handler, "handle-read", node.get());
    connectHandler<Node, &Node::write>(node->handler, "handle-write", node.get());
    GError* error = nullptr;
    check(umockdev_testbed_attach_ioctl(testbed_, node->devNode.c_str(), node->handler, &error), error,
          "attach hidraw handler");

    std::string usb = format("/devices/pci0000:00/0000:00:14.0/usb%d/%d-%d", kBus, kBus, port);
    std::string intf = usb + format("/%d-%d:1.0", kBus, port);
    std::string hid = intf + format("/0003:%04X:%04X.%04X", d.vendorId, d.productId, index + 1);
    std::string raw = hid + format("/hidraw/hidraw%d", index);
    std::string records;
    records += format("P: %s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: PRODUCT=%x/%x/100\n"
                      "A: idVendor=%04x\nA: idProduct=%04x\nA: bcdDevice=0100\nA: busnum=%d\nA: devnum=%d\n"
                      "A: manufacturer=Simulated\nA: product=%s\n\n",
                      usb.c_str(), d.vendorId, d.productId, d.vendorId, d.productId, kBus, port + 1, d.name.c_str());
    records += format("P: %s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: INTERFACE=3/0/0\n"
                      "A: bInterfaceNumber=00\nA: bInterfaceClass=03\n\n",
                      intf.c_str());
    records += format("P: %s\nE: SUBSYSTEM=hid\nE: HID_ID=0003:%08X:%08X\nE: HID_NAME=%s\nE: HID_UNIQ=\n"
                      "H: report_descriptor=%s\n\n",
                      hid.c_str(), d.vendorId, d.productId, d.name.c_str(), hex(d.reportDescriptor).c_str());
    records += format("P: %s\nN: hidraw%d\nE: SUBSYSTEM=hidraw\nE: DEVNAME=%s\nA: dev=240:%d\n", raw.c_str(), index,
                      node->devNode.c_str(), index);

    std::string fifoPath = root_ + node->devNode;
    {
        std::lock_guard<std::mutex> guard(node->lock);
        check(umockdev_testbed_add_from_string(testbed_, records.c_str(), &error), error, "add HID device");
        // As in sysfs, the hidraw node's "device" leads to its HID device,
        // where the HID library reads the ids and the report descriptor.
        std::string link = root_ + "/sys" + raw + "/device";
        if (symlink("../..", link.c_str()) != 0 && errno != EEXIST) throw std::runtime_error("symlink " + link);
        unlink(fifoPath.c_str());
        if (mkfifo(fifoPath.c_str(), 0666) != 0) throw std::runtime_error("mkfifo " + fifoPath);
        node->fifo = open(fifoPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (node->fifo < 0) throw std::runtime_error("open " + fifoPath);
    }

    // The endpoint's wake-up takes the node's lock: it is set without holding it.
    std::weak_ptr<Node> weak = node;
    endpoint.setToHostNotify([weak] {
        if (auto n = weak.lock()) {
            std::lock_guard<std::mutex> g(n->lock);
            n->refresh();
        }
    });
    node->sysPath = "/sys" + usb;
    nodes_.push_back(node);
}

} // namespace sim
