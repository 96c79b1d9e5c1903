#include "engine/UpdateServerRequest.h"

#include "engine/HTTPRequest.h"
#include "engine/Log.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>

const char* const UpdateServerRequest::default_url = "http://updates.zentrova.com/cgi/u";
const char* const UpdateServerRequest::delimiters = "\n";

namespace {

typedef std::map<std::string, std::string> Parameters;

// The non-empty pieces of text between any of the separators.
std::vector<std::string> _split(const std::string& text, const char* separators)
{
    std::vector<std::string> pieces;
    size_t start = text.find_first_not_of(separators);
    while (start != std::string::npos) {
        const size_t end = text.find_first_of(separators, start);
        pieces.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? end : text.find_first_not_of(separators, end);
    }
    return pieces;
}

std::string _first_field(const std::string& line, const char* separators)
{
    const std::vector<std::string> fields = _split(line, separators);
    return fields.empty() ? std::string() : fields.front();
}

std::string _serial_text(unsigned serial)
{
    char text[16];
    snprintf(text, sizeof text, "%08X", serial);
    return text;
}

// Sends one query; true with the reply's non-empty lines when the server
// answered 200 and the first line begins with "ok".
bool _query(const char* name, const char* statusLabel, const char* baseUrl, const Parameters& parameters,
            const HTTPTimeLimits& limits, std::vector<std::string>& lines)
{
    const std::string base = baseUrl ? baseUrl : UpdateServerRequest::default_url;
    try {
        const HTTPResponse reply = HTTPRequest::GET(base.c_str(), parameters, limits);
        if (reply.get_status() != 200) {
            Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", statusLabel, int(reply.get_status()),
                     reply.get_response().c_str());
            return false;
        }
        lines = _split(reply.get_response(), UpdateServerRequest::delimiters);
        if (lines.empty() || lines.front().compare(0, 2, "ok") != 0) {
            Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name,
                     reply.get_request().c_str());
            return false;
        }
        return true;
    } catch (const HTTPTimeout& e) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
        // Written whatever packages are enabled: the run waited for this server.
        const std::string& request = e.get_request();
        const std::string asked = request.compare(0, base.size(), base) == 0 ? request.substr(base.size()) : request;
        Log::log(0, "Update server %s did not answer in time: %s [%s] (%s)\n", base.c_str(), name, asked.c_str(),
                 e.what());
        return false;
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
        return false;
    }
}

bool _query(const char* name, const char* baseUrl, const Parameters& parameters, const HTTPTimeLimits& limits,
            std::vector<std::string>& lines)
{
    return _query(name, name, baseUrl, parameters, limits, lines);
}

// A number of the server's reply: digits are required, no minus sign, and
// the value must fit in 32 bits (what follows the digits is ignored).
bool _read_number(const std::string& text, int base, unsigned* value)
{
    const char* start = text.c_str();
    while (*start == ' ' || (*start >= '\t' && *start <= '\r')) ++start;
    if (*start == '-') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long number = strtoull(start, &end, base);
    if (end == start || errno == ERANGE || number > UINT32_MAX) return false;
    *value = unsigned(number);
    return true;
}

// A build number of the server's reply. Text that does not start with a
// number is left to the caller, which reads it as no build; a number (or a
// sign) must be a build number of 32 bits.
bool _build_number_fits(const std::string& text)
{
    const size_t start = text.find_first_not_of(" \t\n\v\f\r");
    if (start == std::string::npos) return true;
    const char first = text[start];
    if (!isdigit(static_cast<unsigned char>(first)) && first != '+' && first != '-') return true;
    unsigned ignored;
    return UpdateServerRequest::ReadBuildNumber(text, &ignored);
}

// A build-list entry with its version read as three bytes, when it can be.
struct VersionedBuild {
    std::pair<std::string, std::string> entry;
    bool valid = false;
    std::array<uint8_t, 3> version{};
};

VersionedBuild _read_version(const std::pair<const std::string, std::string>& entry)
{
    VersionedBuild build{entry};
    const std::vector<std::string> parts = UpdateServerRequest::SplitTessalineVersion(entry.second);
    if (parts.size() != 3) return build;
    try {
        for (size_t i = 0; i < 3; ++i) build.version[i] = static_cast<uint8_t>(std::stoi(parts[i], nullptr, 10));
        build.valid = true;
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion", e.what());
    }
    return build;
}

// Whether a sorts before b: the newer version first, every readable version
// before every unreadable one.
bool _sortVersion(const VersionedBuild& a, const VersionedBuild& b)
{
    if (!a.valid) return false;
    return !b.valid || a.version > b.version;
}

} // namespace

bool UpdateServerRequest::ReadBuildNumber(const std::string& text, unsigned* build)
{
    return _read_number(text, 10, build);
}

bool UpdateServerRequest::ping(const char* baseUrl, const HTTPTimeLimits& limits)
{
    std::vector<std::string> lines;
    return _query("ping", "PING", baseUrl, {{"op", "hi"}, {"rv", "2"}}, limits, lines);
}

bool UpdateServerRequest::QueryBuild(unsigned serial, std::string& latest, std::string& family, const char* baseUrl,
                                     const HTTPTimeLimits& limits)
{
    std::vector<std::string> lines;
    if (!_query("QueryBuild", baseUrl, {{"op", "qu"}, {"sn", _serial_text(serial)}}, limits, lines)) return false;
    if (lines.size() > 1 && !_build_number_fits(lines[1])) {
        Log::log(DEBUG_ServerComm, "%s: not a 32-bit build number [%.20s]\n", "QueryBuild", lines[1].c_str());
        return false;
    }
    if (lines.size() > 1) latest = lines[1];
    const std::string familyText = lines.size() > 2 ? _first_field(lines[2], "\r\n") : std::string();
    if (!familyText.empty()) family = familyText;
    return true;
}

bool UpdateServerRequest::GetBuild(unsigned serial, const char* family, const char* build, std::string& data,
                                   const char* baseUrl, bool noCal, const HTTPTimeLimits& limits)
{
    const Parameters parameters = {{"bld", build ? build : ""},
                                   {"fw", family ? family : ""},
                                   {"no_cal", noCal ? "true" : "false"},
                                   {"op", "bird"},
                                   {"sn", _serial_text(serial)}};
    std::vector<std::string> lines;
    if (!_query("GetBuild", baseUrl, parameters, limits, lines)) return false;
    // The base64 text holds no carriage return: one is the line end of a
    // server that ends its lines with CR LF.
    data = lines.size() > 1 ? _first_field(lines[1], "\r") : std::string();
    return true;
}

bool UpdateServerRequest::GetBuildList(unsigned serial, std::map<std::string, std::string>& builds,
                                       const char* baseUrl, const HTTPTimeLimits& limits)
{
    builds.clear();
    std::vector<std::string> lines;
    if (!_query("GetBuildList", baseUrl, {{"op", "builds"}, {"sn", _serial_text(serial)}}, limits, lines))
        return false;
    for (size_t i = 1; i < lines.size(); ++i) {
        if (lines[i].size() < 3) continue;
        Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", lines[i].c_str());
        const std::vector<std::string> fields = _split(lines[i], ";\r\n");
        if (fields.empty()) continue;
        // One entry that cannot name a build hides none of the others.
        if (!_build_number_fits(fields[0])) {
            Log::log(DEBUG_ServerComm, "%s: not a 32-bit build number [%.20s], entry left out\n", "GetBuildList",
                     fields[0].c_str());
            continue;
        }
        const std::string version = fields.size() > 1 ? fields[1] : std::string();
        builds.emplace(fields[0], version);
        Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", fields[0].c_str(), version.c_str());
    }
    return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const unsigned* fingerprint, unsigned* serial, unsigned* build,
                                          const char* baseUrl, const HTTPTimeLimits& limits)
{
    char fp[64];
    snprintf(fp, sizeof fp, "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1], fingerprint[2],
             fingerprint[3]);
    std::vector<std::string> lines;
    if (!_query("GetRecoveryInfo", baseUrl, {{"brief", "true"}, {"fp", fp}, {"op", "fix"}}, limits, lines))
        return false;
    lines.resize(std::max<size_t>(lines.size(), 3));
    Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", lines[0].c_str(),
             lines[1].c_str(), lines[2].c_str());
    unsigned newSerial = *serial;
    unsigned newBuild = *build;
    if ((!lines[1].empty() && !_read_number(lines[1], 16, &newSerial)) ||
        (!lines[2].empty() && !_read_number(lines[2], 0, &newBuild))) {
        Log::log(DEBUG_ServerComm, "%s: not a 32-bit number in [%.20s][%.20s]\n", "GetRecoveryInfo",
                 lines[1].c_str(), lines[2].c_str());
        return false;
    }
    *serial = newSerial;
    *build = newBuild;
    return true;
}

std::vector<std::string> UpdateServerRequest::SplitTessalineVersion(std::string version)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t dot; (dot = version.find('.', start)) != std::string::npos; start = dot + 1)
        parts.push_back(version.substr(start, dot - start));
    parts.push_back(version.substr(start));
    if (parts.size() != 3) parts.clear();
    return parts;
}

std::vector<std::pair<std::string, std::string>>
UpdateServerRequest::SortBuildsByVersion(const std::map<std::string, std::string>& builds)
{
    std::vector<VersionedBuild> versioned;
    for (const auto& entry : builds) versioned.push_back(_read_version(entry));
    std::stable_sort(versioned.begin(), versioned.end(), _sortVersion);
    std::vector<std::pair<std::string, std::string>> sorted;
    for (const VersionedBuild& build : versioned) sorted.push_back(build.entry);
    return sorted;
}
