// The private part of a Link, shared by the Link's source files: the link use
// it holds, its configuration, name and stored specifier, and the helpers that
// make its link, and its stream subscriptions with the callback worker.
#pragma once

#include <cstdint>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "common/aLogger.h"
#include "device_api/Link.h"
#include "device_api/LocklessQueue_SPSC.h"

namespace Zentrova {
namespace Tessaline {

// One subscription or cached stream value.
struct StreamEntry {
    uint64_t key = 0;
    bool fresh = false; // a value came since it was last read
    StreamCallback callback;
    void* reference = nullptr;
    uint32_t value = 0;
};

// A sample on its way to its callback; the packet is an owned copy.
struct asyncPacket {
    StreamCallback callback;
    void* reference = nullptr;
    aPacket* packet = nullptr;
};

class Link::impl {
public:
    impl(Link& owner, const char* name);
    ~impl();
    impl(const impl&) = delete;
    impl& operator=(const impl&) = delete;

    aErr discoveryAndConnectHelper(linkType type, uint32_t serialNumber, uint8_t model);
    aErr connectHelper();
    aErr linkCreateHelper(linkSpec& spec);
    aErr waitForLink(uint16_t polls);
    void storeSpec(const linkSpec& spec);

    // Link sharing: a link through a link-sharing server (types 4 to 7), and
    // a new direct link handed to a server of its own. Both run under the
    // link-creation lock.
    aErr createSharedLink(const linkSpec& spec);
    void serveDirectLink();
    // With sharing on: the link through which this process already shares
    // the device of a direct specifier, with one more use; false for none.
    bool reuseSharedLink(const linkSpec& spec);

    // Stream delivery: the user filter on the link and the callback worker.
    aErr installStreamFilter(bool on);
    void queueAsyncCallback(std::map<uint64_t, StreamEntry>::iterator entry, const aPacket* packet);
    static void asyncWork(LocklessQueue_SPSC<asyncPacket>* queue, std::shared_future<void> stop);
    void eraseStreams(uint8_t module, uint8_t command, uint8_t option, uint8_t index);

    // The packet log's logger callback: writes the oldest record of the link's
    // packet log to the file as one line.
    static void readDebugBuffer(aFile* file, int linkId);

    Link& owner;
    aLinkId linkId = 0;
    aVorneConfig config;
    std::map<uint64_t, StreamEntry> streams;
    std::thread* worker = nullptr;
    LocklessQueue_SPSC<asyncPacket> queue{500};
    std::promise<void> stopSignal;
    std::mutex streamsLock;
    // The link the stream filter was put on: it comes off that link also
    // after this Link let go of it.
    aLinkId filterLinkId = 0;
    char* name = nullptr;
    linkSpec* spec = nullptr;
    // Writes the packet-log file; made by the first enablePacketLog.
    aLogger* logger = nullptr;
};

} // namespace Tessaline
} // namespace Zentrova
