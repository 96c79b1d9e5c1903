// Link: a text file of every packet the link sends and receives, written by a
// logger thread from the link's packet log, one line per record.
#include <cstdio>
#include <cstring>

#include "common/aLogger.h"
#include "common/aPacketLog.h"
#include "device_api/Link.h"
#include "device_api/LinkImpl.h"
#include "device_api/LinkPeers.h"
#include "platform/aTime.h"

namespace Zentrova {
namespace Tessaline {

namespace {

constexpr uint8_t kTextRecord = 3;
constexpr uint32_t kIdlePauseMs = 5;
const char kStartText[] = "START";

// "<length> <sign> <bytes>\r\n": a sent packet is signed ">", anything else
// "<"; packet bytes are written as "0x%X ", a text record's bytes as they are.
size_t formatLine(char* line, size_t room, int kind, const uint8_t* bytes, uint32_t length)
{
    int n = std::snprintf(line, room, "%u %c ", length, kind == aPACKETLOG_SENT ? '>' : '<');
    size_t used = n > 0 ? static_cast<size_t>(n) : 0;
    bool packet = kind == aPACKETLOG_SENT || kind == aPACKETLOG_RECEIVED;
    for (uint32_t i = 0; i < length; i++) {
        if (packet) {
            n = std::snprintf(line + used, room - used, "0x%X ", bytes[i]);
            used += n > 0 ? static_cast<size_t>(n) : 0;
        } else {
            line[used++] = static_cast<char>(bytes[i]);
        }
    }
    line[used++] = '\r';
    line[used++] = '\n';
    return used;
}

} // namespace

// Takes the oldest record into a buffer that holds any record, so that a
// long marker cannot stay stuck at the head of the log, and writes its line.
// Nothing to take (an empty log, or none at all once the link is gone): a
// short pause before the next call.
void Link::impl::readDebugBuffer(aFile* file, int linkId)
{
    uint8_t bytes[aPACKETLOG_MAX_PAYLOAD];
    int kind = 0;
    uint32_t length = sizeof bytes;
    if (aLink_PacketDebug_Read(static_cast<aLinkId>(linkId), &kind, &length, bytes) != aErrNone) {
        aTime_MSSleep(kIdlePauseMs);
        return;
    }
    char line[16 + 5 * aPACKETLOG_MAX_PAYLOAD + 2];
    aFile_Write(file, line, formatLine(line, sizeof line, kind, bytes, length), nullptr);
}

aErr Link::enablePacketLog(const char* path)
{
    aLinkId id = m_impl->linkId;
    // A Link that is closing gives its link up: it takes no log of it.
    if (id == 0 || m_impl->closing) return aErrConfiguration;
    // The records of a link go to one file: a second writer would take half of them.
    if (!LinkPeers::claimLog(id, m_impl)) return aErrBusy;
    aErr result = aLink_PacketDebug_Enable(id);
    if (result != aErrNone) {
        LinkPeers::releaseLog(id, m_impl);
        return result;
    }
    // A logger made for an earlier connection reads a link that is gone.
    if (m_impl->logger && m_impl->logger->argument != static_cast<int>(id)) aLogger_Destroy(&m_impl->logger);
    if (!m_impl->logger) m_impl->logger = aLogger_Create(static_cast<int>(id), impl::readDebugBuffer, path);
    if (!m_impl->logger) {
        LinkPeers::releaseLog(id, m_impl);
        return aErrIO;
    }
    result = aLogger_Enable(m_impl->logger);
    if (result == aErrNone)
        aLink_PacketDebug_Write(id, kTextRecord, sizeof kStartText, reinterpret_cast<const uint8_t*>(kStartText));
    else
        LinkPeers::releaseLog(id, m_impl);
    return result;
}

aErr Link::disablePacketLog()
{
    aLinkId id = m_impl->linkId;
    if (id == 0) return aErrConfiguration;
    // The log another Link writes is left to it.
    if (LinkPeers::logClaimedByOther(id, m_impl)) return aErrBusy;
    aLink_PacketDebug_Disable(id);
    LinkPeers::releaseLog(id, m_impl);
    return aLogger_Disable(m_impl->logger);
}

void Link::impl::stopPacketLog()
{
    if (linkId != 0 && !LinkPeers::logClaimedByOther(linkId, this)) {
        if (logger) aLink_PacketDebug_Disable(linkId);
        LinkPeers::releaseLog(linkId, this);
    }
    aLogger_Destroy(&logger);
}

} // namespace Tessaline
} // namespace Zentrova
