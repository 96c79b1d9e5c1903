// The update server's queries: reachability, latest build, build list, the
// firmware file of a build and recovery information for a chip identifier;
// and the ordering of build lists by version. Every query answers false on
// any failure and leaves the reason in the debug log.
#pragma once

#include "engine/HTTPRequest.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

class UpdateServerRequest {
public:
    // Used by every query that is given no base URL.
    static const char* const default_url;
    // Separator of reply lines.
    static const char* const delimiters;

    // Every query waits on the server within limits, which the program
    // leaves at their defaults; a server not reached or gone silent is also
    // told on the log, whatever packages are enabled.
    static bool ping(const char* baseUrl = nullptr, const HTTPTimeLimits& limits = HTTPTimeLimits());
    // latest: the reply's second line as sent; family: its third line. A
    // build number there that does not fit in 32 bits fails the query.
    static bool QueryBuild(unsigned serial, std::string& latest, std::string& family,
                           const char* baseUrl = nullptr, const HTTPTimeLimits& limits = HTTPTimeLimits());
    // data: the base64 text of the build's firmware file.
    static bool GetBuild(unsigned serial, const char* family, const char* build, std::string& data,
                         const char* baseUrl = nullptr, bool noCal = false,
                         const HTTPTimeLimits& limits = HTTPTimeLimits());
    // builds: build text -> version text; emptied first. An entry whose
    // build number does not fit in 32 bits (or carries a minus sign) is left
    // out, and the others are kept.
    static bool GetBuildList(unsigned serial, std::map<std::string, std::string>& builds,
                             const char* baseUrl = nullptr, const HTTPTimeLimits& limits = HTTPTimeLimits());
    // fingerprint: the four words of the chip identifier; serial and build
    // change only on success, and must be numbers of 32 bits.
    static bool GetRecoveryInfo(const unsigned* fingerprint, unsigned* serial, unsigned* build,
                                const char* baseUrl = nullptr, const HTTPTimeLimits& limits = HTTPTimeLimits());

    // The build number of a text the server sent (its latest build, a build
    // list's entry): the decimal number after any leading whitespace, with
    // what follows it ignored; false for a text without one, a negative one
    // or one that does not fit in 32 bits.
    static bool ReadBuildNumber(const std::string& text, unsigned* build);

    // Newest version first; entries whose version is not three numbers
    // separated by dots come last, in build-text order.
    static std::vector<std::pair<std::string, std::string>>
    SortBuildsByVersion(const std::map<std::string, std::string>& builds);
    // The three dot-separated parts of a version text, or none when it has
    // another number of parts.
    static std::vector<std::string> SplitTessalineVersion(std::string version);
};
