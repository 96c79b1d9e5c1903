// What the Links that hold one link share: the one stream filter on the link,
// which hands every stream packet to each Link subscribed on it, and the
// link's packet log, which one Link at a time writes to its file.
#pragma once

#include "common/aLinkTable.h"
#include "device_api/LinkImpl.h"

namespace Zentrova {
namespace Tessaline {
namespace LinkPeers {

// The Link takes the stream packets of the link from now on; the first one
// puts the stream filter on the link.
aErr joinStreams(aLinkId id, Link::impl* member);
// Once this returns the filter no longer hands the Link anything; the last
// one takes the filter off the link.
void leaveStreams(aLinkId id, Link::impl* member);

// The Link writes the link's packet log: false when another Link does.
bool claimLog(aLinkId id, Link::impl* owner);
void releaseLog(aLinkId id, Link::impl* owner);
// Whether another Link writes the link's packet log.
bool logClaimedByOther(aLinkId id, const Link::impl* self);

// After the link was made afresh by a reset, without filter and packet log:
// the stream filter goes back on and the Links on it forget their cached
// values, and the packet log being written is made again.
void restoreAfterReset(aLinkId id);

} // namespace LinkPeers
} // namespace Tessaline
} // namespace Zentrova
