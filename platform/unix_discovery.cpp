// Device discovery on this host: the USB device list and the TCP/IP
// multicast query that Ethernet devices answer.
#include "common/aDiscovery.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <libusb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "platform/Tessaline_libusb.h"
#include "platform/tlusb_driver.h"

namespace {

constexpr uint16_t kQueryPort = 9888;
constexpr uint16_t kReplyPort = 9889;
constexpr const char* kQueryGroup = "232.2.2.2";
constexpr size_t kMessageSize = 16;
constexpr int kReplyWaitSeconds = 2;
// A reply must reach the serial number (bytes 4 to 7) to name a device.
constexpr size_t kShortestReply = 8;

// Sends one query through the interface with that address (0: the default one).
bool sendQuery(uint32_t interfaceAddress)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (interfaceAddress != 0) {
        in_addr via{};
        via.s_addr = interfaceAddress;
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &via, sizeof via);
    }
    uint8_t query[kMessageSize] = {1};
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(kQueryPort);
    inet_pton(AF_INET, kQueryGroup, &group.sin_addr);
    bool sent = sendto(fd, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&group), sizeof group) ==
                static_cast<ssize_t>(sizeof query);
    close(fd);
    return sent;
}

// One query through every IPv4 address of the host but loop-back and 0.0.0.0;
// through the default interface when the list cannot be read.
int sendQueriesEverywhere()
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return sendQuery(0) ? 1 : 0;
    int sent = 0;
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
        uint32_t address = reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
        if (address == loopback || address == 0) continue;
        sent += sendQuery(address) ? 1 : 0;
    }
    freeifaddrs(list);
    return sent;
}

int openListener(uint32_t interfaceAddress)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int on = 1;
    timeval wait{kReplyWaitSeconds, 0};
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(kReplyPort);
    local.sin_addr.s_addr = interfaceAddress;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

uint32_t littleEndian32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

} // namespace

bool aDiscovery_TCPIPReplySpec(const uint8_t* received, size_t length, uint32_t sender, linkSpec* spec)
{
    if (!received || !spec || length < kShortestReply) return false;
    // A fresh buffer for every reply, so that a short one never carries
    // bytes of the one before.
    uint8_t reply[kMessageSize] = {};
    reply[12] = 255; // the model of a reply too short to carry one
    std::memcpy(reply, received, std::min(length, kMessageSize));
    *spec = linkSpec{};
    spec->type = TCPIP;
    spec->moduleAddress = spec->routerAddress = reply[1];
    spec->tcpPort = uint32_t(reply[2]) | uint32_t(reply[3]) << 8;
    spec->serialNumber = spec->routerSerialNumber = littleEndian32(reply + 4);
    spec->model = reply[12];
    spec->ipAddress = sender;
    return true;
}

uint8_t aDiscovery_EnumerateTCPIP(aDiscoveryProc callback, void* reference, uint32_t networkInterface)
{
    if (networkInterface == htonl(INADDR_LOOPBACK)) networkInterface = 0;

    // The listener first, so that no early reply is missed.
    int listener = openListener(networkInterface);
    if (listener < 0) return 0;
    int sent = networkInterface != 0 ? (sendQuery(networkInterface) ? 1 : 0) : sendQueriesEverywhere();
    if (sent == 0) {
        close(listener);
        return 0;
    }

    uint8_t count = 0;
    for (bool more = true; more;) {
        uint8_t reply[kMessageSize];
        sockaddr_in sender{};
        socklen_t senderLength = sizeof sender;
        ssize_t n = recvfrom(listener, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&sender), &senderLength);
        // A signal cuts the wait short (a receive time-out is never restarted);
        // only the time-out or a socket failure ends the enumeration.
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;

        linkSpec spec;
        if (!aDiscovery_TCPIPReplySpec(reply, size_t(n), sender.sin_addr.s_addr, &spec)) continue;
        bool counted = false;
        more = callback(&spec, &counted, reference);
        if (counted) ++count;
    }
    close(listener);
    return count;
}

namespace {

constexpr size_t kSerialTextLength = 8;

// The value of the serial text's leading hexadecimal digits (either case);
// 0 when it does not begin with one.
uint32_t leadingHexValue(const unsigned char* text)
{
    uint32_t value = 0;
    for (size_t i = 0; i < kSerialTextLength && std::isxdigit(text[i]); ++i) {
        int digit = std::tolower(text[i]);
        value = value << 4 | uint32_t(digit <= '9' ? digit - '0' : digit - 'a' + 10);
    }
    return value;
}

// Opens the device for its product id and its serial number: its serial string
// must have exactly eight characters, read as hexadecimal (a string that is not
// all hexadecimal digits reads as its leading ones). False for any other string,
// or when the device cannot be opened or read.
bool readIdentity(libusb_device* device, uint32_t* serialNumber, uint16_t* productId)
{
    libusb_device_handle* handle = nullptr;
    if (libusb_open(device, &handle) != 0) return false;
    libusb_device_descriptor descriptor{};
    bool found = false;
    if (libusb_get_device_descriptor(device, &descriptor) == 0 && descriptor.iSerialNumber != 0) {
        unsigned char text[32] = {};
        int length = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text, sizeof text - 1);
        if (length == static_cast<int>(kSerialTextLength)) {
            *serialNumber = leadingHexValue(text);
            *productId = descriptor.idProduct;
            found = true;
        }
    }
    libusb_close(handle);
    return found;
}

} // namespace

uint8_t aDiscovery_EnumerateUSB(aDiscoveryProc callback, void* reference)
{
    libusb_context* context = Tessaline_libusb_context();
    if (!context) return 0;
    libusb_device** list = nullptr;
    ssize_t devices = libusb_get_device_list(context, &list);
    if (devices < 0) return 0;

    uint8_t count = 0;
    bool more = true;
    for (ssize_t i = 0; i < devices && more; ++i) {
        libusb_device* device = list[i];
        uint32_t serialNumber = 0;
        uint16_t productId = 0;
        if (!is_tessaline_device(device) || !readIdentity(device, &serialNumber, &productId)) continue;

        linkSpec spec{};
        spec.type = USB;
        spec.serialNumber = serialNumber;
        spec.model = productId & 0xFF;
        spec.ipAddress = serialNumber;
        bool counted = false;
        more = callback(&spec, &counted, reference);
        if (counted) ++count;
    }
    libusb_free_device_list(list, 1);
    return count;
}
