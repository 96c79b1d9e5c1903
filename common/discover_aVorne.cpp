// Discovery of link-sharing servers: a probe by UDP multicast over loop-back
// for the servers of this host, and a UDP beacon search on a network
// interface for those of its network. Each server answers with the 128-byte
// link specifier that clients connect by.
#include <arpa/inet.h>
#include <cstring>
#include <czmq.h>
#include <netinet/in.h>
#include <vector>

#include "common/aDebug.h"
#include "common/aDiscovery.h"
#include "common/aMulticast.h"
#include "common/aVorneDiscovery.h"
#include "common/zBeaconInterface.h"
#include "common/zSysInterruptHandler.h"

namespace {

using namespace aVorneDiscovery;

constexpr int kBeaconAttempts = 22;
constexpr int kForeignDatagrams = 8;

uint32_t sLoopback()
{
    return htonl(INADDR_LOOPBACK);
}

uint32_t sGroup()
{
    in_addr group{};
    inet_pton(AF_INET, kGroup, &group);
    return group.s_addr;
}

// The specifiers reported by one search; each is a heap copy.
class ReportedSpecs {
public:
    ReportedSpecs() = default;
    ReportedSpecs(const ReportedSpecs&) = delete;
    ReportedSpecs& operator=(const ReportedSpecs&) = delete;
    ~ReportedSpecs()
    {
        for (linkSpec* spec : specs_) aLinkSpec_Destroy(&spec);
    }

    // Two specifiers name the same server when type, serial number, address and
    // port agree.
    bool _isNewSpec(const linkSpec* spec) const
    {
        for (const linkSpec* known : specs_)
            if (known->type == spec->type && known->serialNumber == spec->serialNumber &&
                known->ipAddress == spec->ipAddress && known->tcpPort == spec->tcpPort)
                return false;
        return true;
    }

    // Keeps a copy and hands the specifier to the callback: its answer whether to
    // go on; count grows when the callback counted it.
    bool report(const linkSpec* spec, aDiscoveryProc callback, void* reference, uint8_t* count)
    {
        if (linkSpec* copy = aLinkSpec_Copy(spec)) specs_.push_back(copy);
        bool counted = false;
        bool more = callback(spec, &counted, reference);
        if (counted) ++*count;
        return more;
    }

private:
    std::vector<linkSpec*> specs_;
};

// Probes the slot of a server that holds probe port 9850 + k: true when the
// answer was a specifier of exactly 128 bytes, which is then in *answer.
bool sProbeSlot(int k, linkSpec* answer)
{
    const uint32_t loopback = sLoopback(), group = sGroup();
    // Shared: another search of this host may await the slot's answers too.
    aMulticast* receiver = aMulticast_CreateSharedReceiver(loopback, group, static_cast<uint16_t>(kReplyPort + k));
    aMulticast* sender = aMulticast_Create(loopback, group, static_cast<uint16_t>(kProbePort + k), true);
    bool answered = false;
    const uint32_t probe = kProbeWord;
    if (receiver && sender && aMulticast_Send(sender, &probe, sizeof probe) >= 0) {
        // One byte more than a specifier, so that a longer datagram shows as such
        // instead of reading as a specifier cut short.
        uint8_t datagram[sizeof(linkSpec) + 1];
        // A local server answers from this host's loop-back address: a
        // datagram from elsewhere is skipped, a few of them at most.
        int received = -1;
        uint32_t source = 0;
        for (int datagrams = 0; datagrams < kForeignDatagrams; ++datagrams) {
            received = aMulticast_ReceiveFrom(receiver, datagram, sizeof datagram, &source);
            if (received == -1 || source == loopback) break;
            aDebug_Printf(aDEBUG_DISCOVERY, "Ignoring an answer from another host\n");
            received = -1;
        }
        answered = received == static_cast<int>(sizeof(linkSpec));
        if (answered)
            std::memcpy(answer, datagram, sizeof(linkSpec));
        else if (received != -1)
            aDebug_Printf(aDEBUG_DISCOVERY, "Unknown Error sending request message: %d\n", received);
    }
    aMulticast_Destroy(&sender);
    aMulticast_Destroy(&receiver);
    return answered;
}

uint8_t _findLinkSpecs_multicast(aDiscoveryProc callback, void* reference)
{
    linkSpec* answer = aLinkSpec_Create(AVORNE);
    if (!answer) return 0;
    ReportedSpecs reported;
    uint8_t count = 0;
    bool more = true;
    for (int k = 0; k < kSlots && more; ++k) {
        // A probe port that can be bound belongs to no server.
        aMulticast* free = aMulticast_Create(sLoopback(), sGroup(), static_cast<uint16_t>(kProbePort + k), false);
        if (free) {
            aMulticast_Destroy(&free);
            continue;
        }
        if (!sProbeSlot(k, answer) || !isServerSpec(*answer) || !reported._isNewSpec(answer)) continue;
        if (answer->ipAddress != sLoopback()) {
            aDebug_Printf(aDEBUG_DISCOVERY, "We are in local mode, ignoring(2)\n");
            continue;
        }
        aDebug_Printf(aDEBUG_DISCOVERY, "Got NEW linkSpec(multicast: SN: 0x%08X - Port: %d - Address: %d - Type: %d\n",
                      answer->serialNumber, answer->tcpPort, answer->moduleAddress, answer->type);
        more = reported.report(answer, callback, reference, &count);
    }
    aLinkSpec_Destroy(&answer);
    return count;
}

uint8_t _findLinkSpecs_beacon(aDiscoveryProc callback, void* reference)
{
    zactor_t* beacon = zactor_new(zbeacon, nullptr);
    if (!beacon) return 0;
    zsock_send(beacon, "si", "CONFIGURE", kBeaconPort);
    char* hostname = zstr_recv(beacon);
    aDebug_Printf(aDEBUG_DISCOVERY, "Beacon hostname(_findLinkSpecs_beacon): %s - Port: %d\n",
                  hostname ? hostname : "", kBeaconPort);
    zsock_send(beacon, "sbi", "PUBLISH", kBeaconContent, kBeaconContentLength, kBeaconIntervalMs);
    zsock_send(beacon, "sb", "SUBSCRIBE", "", static_cast<size_t>(0));
    zsock_set_rcvtimeo(beacon, kBeaconReceiveMs);

    ReportedSpecs reported;
    uint8_t count = 0;
    bool more = true;
    for (int attempt = 0; attempt < kBeaconAttempts && more; ++attempt) {
        char* sender = zstr_recv(beacon);
        if (!sender) continue;
        zframe_t* content = zframe_recv(beacon);
        linkSpec spec;
        if (content && beaconSpec(zframe_data(content), zframe_size(content), &spec) && reported._isNewSpec(&spec)) {
            aDebug_Printf(aDEBUG_DISCOVERY,
                          "Got NEW linkSpec(beacon): SN: 0x%08X - Port: %d - Address: %d - Type: %d - Model: %d\n",
                          spec.serialNumber, spec.tcpPort, spec.moduleAddress, spec.type, spec.model);
            more = reported.report(&spec, callback, reference, &count);
        }
        zframe_destroy(&content);
        zstr_free(&sender);
    }
    if (more) aDebug_Printf(aDEBUG_DISCOVERY, "Done with discovery\n");
    zstr_sendx(beacon, "SILENCE", nullptr);
    zstr_sendx(beacon, "UNSUBSCRIBE", nullptr);
    zactor_destroy(&beacon);
    zstr_free(&hostname);
    zSysInterruptHandler_handBack();
    return count;
}

// The beacon search on the interface, with the library's beacon interface
// set to it for the whole search and put back afterwards.
uint8_t _findLinkSpecs_beaconHelper(const char* networkInterface, aDiscoveryProc callback, void* reference)
{
    bool locked = zBeaconInterface_backupSetAndLock(networkInterface);
    uint8_t count = _findLinkSpecs_beacon(callback, reference);
    if (locked) zBeaconInterface_restoreAndUnlock();
    return count;
}

} // namespace

bool aVorneDiscovery::isServerSpec(const linkSpec& spec)
{
    switch (spec.type) {
    case AVORNE_USB:
    case AVORNE_TCPIP:
    case AVORNE_SERIAL:
        return spec.ipAddress != 0 && spec.tcpPort != 0 && spec.tcpPort <= 0xFFFF;
    default:
        return false;
    }
}

bool aVorneDiscovery::beaconSpec(const void* content, size_t size, linkSpec* spec)
{
    if (!content || size != sizeof(linkSpec)) return false;
    linkSpec announced;
    std::memcpy(&announced, content, sizeof announced);
    if (!isServerSpec(announced)) return false;
    *spec = announced;
    return true;
}

uint8_t aDiscovery_Enumerate_aVorneModules(aDiscoveryProc callback, void* reference, uint32_t networkInterface)
{
    if (!callback) return 0;
    bool local = networkInterface == 0 || networkInterface == sLoopback();
    uint32_t interfaces[kMaxInterfaces];
    uint8_t count = 0;
    if (local || aDiscovery_GetIPv4Interfaces(interfaces, kMaxInterfaces) == 0) {
        count = _findLinkSpecs_multicast(callback, reference);
    } else {
        char text[16];
        aDiscovery_ConvertIPv4Interface(networkInterface, text, sizeof text);
        aDebug_Printf(aDEBUG_DISCOVERY, "New Interface: %s\n", text);
        count = _findLinkSpecs_beaconHelper(text, callback, reference);
    }
    aDebug_Printf(aDEBUG_DISCOVERY, "aDiscovery_Enumerate_aVorneModules found count: %d\n", count);
    return count;
}
