// The private part of a Link, shared by the Link's source files: the link use
// it holds, its configuration, name and stored specifier, and the helpers that
// make its link.
#pragma once

#include <cstdint>

#include "device_api/Link.h"

namespace Zentrova {
namespace Tessaline {

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

    Link& owner;
    aLinkId linkId = 0;
    aVorneConfig config;
    char* name = nullptr;
    linkSpec* spec = nullptr;
};

} // namespace Tessaline
} // namespace Zentrova
