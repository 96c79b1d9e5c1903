// The private part of a Link, shared by the Link's source files: the link use
// it holds, its configuration, name and stored specifier, and the helpers that
// make its link, and its stream subscriptions with the callback worker.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "common/aLogger.h"
#include "device_api/Link.h"
#include "device_api/LocklessQueue_SPSC.h"

namespace Zentrova {
namespace Tessaline {

// One subscription or cached stream value.
struct StreamEntry {
    uint64_t key = 0;
    bool held = false;  // a value came since the entry was made or the link reset
    bool fresh = false; // a value came since it was last read
    StreamCallback callback;
    void* reference = nullptr;
    uint32_t value = 0;
    // The subscription a registration made; 0 for a value cached by the filter.
    uint64_t subscription = 0;
};

// A sample on its way to its callback; the packet is an owned copy.
struct asyncPacket {
    StreamCallback callback;
    void* reference = nullptr;
    aPacket* packet = nullptr;
    uint64_t subscription = 0; // the callback runs only while this subscription lasts
};

// What the callback worker shares with its Link. The worker holds it too, so
// that a callback may destroy the Link: the worker then ends when the
// callback returns, without touching the Link again.
struct StreamDelivery {
    LocklessQueue_SPSC<asyncPacket> queue{500};
    std::atomic<bool> stop{false};
    std::mutex lock;               // guards live and running
    std::condition_variable idle;  // running changed
    std::set<uint64_t> live;       // subscriptions whose callbacks may still run
    uint64_t running = 0;          // the subscription whose callback runs now, or 0
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

    // Stream delivery: the stream filter on the link and the callback worker.
    aErr installStreamFilter(bool on);
    void queueAsyncCallback(std::map<uint64_t, StreamEntry>::iterator entry, const aPacket* packet);
    static void asyncWork(std::shared_ptr<StreamDelivery> delivery);
    void eraseStreams(uint8_t module, uint8_t command, uint8_t option, uint8_t index);
    // Ends subscriptions taken out of the map: their queued samples are never
    // delivered, and a callback of theirs that runs is waited for, except on
    // the worker itself.
    void endSubscriptions(const std::vector<uint64_t>& ended);
    // Stops the worker: joined, or let go to end by itself when this is the
    // worker's own thread (a callback destroying its Link).
    void stopWorker();
    // The start of a close (destroy or disconnect): from here on new
    // subscriptions and log claims are refused, stream delivery ends and the
    // packet log is given up. A callback that ran may have subscribed or
    // taken the log before it saw the close: once it has returned, that is
    // given back too.
    void closeDelivery();
    // After a reset of the link: cached values may have missed samples and
    // are forgotten, so that gets ask the device again.
    void dropCachedValues();

    // The packet log: stops and closes this Link's logger and gives up the
    // link's log, which another Link may then write.
    void stopPacketLog();

    // The packet log's logger callback: writes the oldest record of the link's
    // packet log to the file as one line.
    static void readDebugBuffer(aFile* file, int linkId);

    Link& owner;
    aLinkId linkId = 0;
    aVorneConfig config;
    std::map<uint64_t, StreamEntry> streams;
    std::thread* worker = nullptr;
    std::shared_ptr<StreamDelivery> delivery = std::make_shared<StreamDelivery>();
    std::mutex streamsLock;
    uint64_t lastSubscription = 0; // under streamsLock
    // The link whose stream filter hands this Link its samples: it comes off
    // that link also after this Link let go of it. A callback may join while
    // a close leaves it.
    std::atomic<aLinkId> filterLinkId{0};
    // A close is under way (closeDelivery until the link is let go).
    std::atomic<bool> closing{false};
    char* name = nullptr;
    linkSpec* spec = nullptr;
    // Writes the packet-log file; made by the first enablePacketLog.
    aLogger* logger = nullptr;
};

} // namespace Tessaline
} // namespace Zentrova
