// The Links that hold one link: one stream filter per link, shared by every
// Link subscribed on it, and one writer of its packet log.
#include "device_api/LinkPeers.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

#include "common/aLink.h"
#include "common/aPacketLog.h"

namespace Zentrova {
namespace Tessaline {
namespace LinkPeers {

namespace {

// The Links subscribed on one link. The stream filter holds `lock` while it
// hands a packet to them, so a Link that left is not handed anything more.
struct StreamHub {
    std::mutex lock;
    std::vector<Link::impl*> members;
};

// Guards both maps. Lock order: this, then a link's filter lock (by
// installing a filter), a hub's lock, a Link's streamsLock; the filter takes
// the link's filter lock, the hub's lock and streamsLock, never this.
std::mutex peersLock;
std::map<aLinkId, StreamHub*> hubs;
std::map<aLinkId, Link::impl*> logWriters;

bool hubFilter(const aPacket* packet, void* reference)
{
    if (!Link::getStreamPacketType(packet, nullptr)) return false;
    auto* hub = static_cast<StreamHub*>(reference);
    std::lock_guard<std::mutex> lock(hub->lock);
    for (Link::impl* member : hub->members) Link::linkStreamFilter(packet, member);
    return true;
}

} // namespace

aErr joinStreams(aLinkId id, Link::impl* member)
{
    std::lock_guard<std::mutex> lock(peersLock);
    StreamHub*& hub = hubs[id];
    if (!hub) {
        hub = new StreamHub;
        aErr result = aLink_InstallUserPacketFilter(id, hubFilter, hub);
        if (result != aErrNone) {
            delete hub;
            hubs.erase(id);
            return result;
        }
    }
    std::lock_guard<std::mutex> members(hub->lock);
    if (std::find(hub->members.begin(), hub->members.end(), member) == hub->members.end())
        hub->members.push_back(member);
    return aErrNone;
}

void leaveStreams(aLinkId id, Link::impl* member)
{
    std::lock_guard<std::mutex> lock(peersLock);
    auto found = hubs.find(id);
    if (found == hubs.end()) return;
    StreamHub* hub = found->second;
    bool empty;
    {
        std::lock_guard<std::mutex> members(hub->lock);
        hub->members.erase(std::remove(hub->members.begin(), hub->members.end(), member), hub->members.end());
        empty = hub->members.empty();
    }
    if (!empty) return;
    // Once the filter is off the link it does not run with the hub any more.
    aLink_InstallUserPacketFilter(id, nullptr, nullptr);
    hubs.erase(found);
    delete hub;
}

bool claimLog(aLinkId id, Link::impl* owner)
{
    std::lock_guard<std::mutex> lock(peersLock);
    Link::impl*& writer = logWriters[id];
    if (writer && writer != owner) return false;
    writer = owner;
    return true;
}

void releaseLog(aLinkId id, Link::impl* owner)
{
    std::lock_guard<std::mutex> lock(peersLock);
    auto found = logWriters.find(id);
    if (found != logWriters.end() && found->second == owner) logWriters.erase(found);
}

bool logClaimedByOther(aLinkId id, const Link::impl* self)
{
    std::lock_guard<std::mutex> lock(peersLock);
    auto found = logWriters.find(id);
    return found != logWriters.end() && found->second != self;
}

void restoreAfterReset(aLinkId id)
{
    std::lock_guard<std::mutex> lock(peersLock);
    auto hub = hubs.find(id);
    if (hub != hubs.end()) {
        aLink_InstallUserPacketFilter(id, hubFilter, hub->second);
        std::lock_guard<std::mutex> members(hub->second->lock);
        for (Link::impl* member : hub->second->members) member->dropCachedValues();
    }
    if (logWriters.count(id)) aLink_PacketDebug_Enable(id);
}

} // namespace LinkPeers
} // namespace Tessaline
} // namespace Zentrova
