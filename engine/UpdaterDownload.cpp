// Download_Firmware: the firmware request runs on a worker thread while the
// calling thread turns the display's spinner.
#include "engine/Updater.h"

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>

#include "engine/Base64.h"
#include "engine/Log.h"
#include "engine/UpdateServerRequest.h"

namespace {

constexpr const char* kSpinnerLabel = "Downloading";
constexpr auto kSpinnerPeriod = std::chrono::milliseconds(100);

// The build number of a decimal text from its leading digits; false for a
// text that starts with no digit or whose number exceeds 32 bits.
bool _parse_build(const std::string& text, unsigned* build)
{
    if (text.empty() || !isdigit(static_cast<unsigned char>(text[0]))) return false;
    unsigned long long value = 0;
    for (size_t i = 0; i < text.size() && isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
        if (value > 0xFFFFFFFFull) return false;
    }
    *build = static_cast<unsigned>(value);
    return true;
}

// The server's firmware text of the build, fetched on a worker thread; the
// spinner turns every 100 ms until the request is over. False when the
// server did not send it.
bool _fetch_build(Updater& updater, unsigned serial, const std::string& family, const std::string& build,
                  bool noCal, std::string& reply)
{
    std::promise<bool> done;
    std::future<bool> result = done.get_future();
    const char* url = updater.serverUrl.c_str();
    std::thread worker([&done, url, serial, family, build, &reply, noCal] {
        done.set_value(UpdateServerRequest::GetBuild(serial, family.c_str(), build.c_str(), reply, url, noCal));
    });
    updater.display.update_spinner(true, kSpinnerLabel);
    while (result.wait_for(kSpinnerPeriod) != std::future_status::ready)
        updater.display.update_spinner(true, kSpinnerLabel);
    updater.display.update_spinner(false, kSpinnerLabel);
    bool ok = result.get();
    worker.join();
    return ok;
}

} // namespace

unsigned Updater::Download_Firmware(unsigned int serial, std::string buildText, bool override, bool noCal)
{
    unsigned build = 0;
    if (!buildText.empty() && !_parse_build(buildText, &build)) {
        display.message(UpdaterDisplayInterface::ERROR, "Build number '%s' must be an number", buildText.c_str());
        return 0;
    }
    if (serial == 0) {
        display.message(UpdaterDisplayInterface::ERROR, "Serial Number must be non-zero");
        return 0;
    }
    if (!UpdateServerRequest::ping(serverUrl.c_str())) {
        display.message(UpdaterDisplayInterface::ERROR, "Server request failed for %s", serverUrl.c_str());
        return 0;
    }
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storeDir, "Download_Firmware");
    if (!store) return 0;

    UpdaterStoreItem entry;
    if (!store->FindDevice(serial, &entry)) {
        Log::log(DEBUG_APP, "Could not find device in our update history.\n");
        try {
            entry = store->AddDevice(serial);
        } catch (const std::runtime_error&) {
            display.message(UpdaterDisplayInterface::ERROR, "Could not create directory for storing BIRD file");
            return 0;
        }
    }

    std::string latest;
    std::string family;
    if (!UpdateServerRequest::QueryBuild(serial, latest, family, serverUrl.c_str())) {
        display.message(UpdaterDisplayInterface::ERROR, "No build information for device");
        return 0;
    }
    if (build == 0) {
        // Read as the update reads it, so that both take the same build.
        if (!UpdateServerRequest::ReadBuildNumber(latest, &build)) {
            Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", latest.c_str());
            build = 0;
        }
        // Build 0 names no firmware, and a result of 0 reads as a failure.
        if (build == 0) {
            display.message(UpdaterDisplayInterface::ERROR, "No build information for device");
            return 0;
        }
    }

    display.message(UpdaterDisplayInterface::INFO, "Retrieving build %u", build);
    if (override) {
        display.message(UpdaterDisplayInterface::INFO, "Override specified, skipping validation of build %u", build);
    } else {
        display.message(UpdaterDisplayInterface::INFO, "Validating build %u with server", build);
        if (!_valid_build(serial, build, serverUrl.c_str())) {
            display.message(UpdaterDisplayInterface::ERROR, "No valid build %u", build);
            return 0;
        }
        display.message(UpdaterDisplayInterface::INFO, "Build %u is valid", build);
    }

    std::string reply;
    if (!_fetch_build(*this, serial, family, std::to_string(build), noCal, reply))
        display.message(UpdaterDisplayInterface::ERROR, "Download failed");
    size_t length = 0;
    unsigned char* bytes = reply.empty() ? nullptr : base64_decode(reply.data(), reply.size(), &length);
    if (!bytes) {
        display.message(UpdaterDisplayInterface::ERROR, "Failed to retrieve a valid BIRD file");
        return 0;
    }

    const std::string when = KeyValueStore::TimeStamp();
    const std::string file = std::to_string(build) + ".bird";
    // Only a firmware file that reads as an update or a recovery will read
    // it takes the stored one's place.
    aErr written = entry.WriteBirdFile(file.c_str(), bytes, length);
    free(bytes);
    if (written == aErrParse) {
        display.message(UpdaterDisplayInterface::ERROR, "Failed to retrieve a valid BIRD file");
        return 0;
    }
    if (written != aErrNone) {
        display.message(UpdaterDisplayInterface::ERROR, "Failed to write file with %d", written);
        return 0;
    }
    // The file is stored whatever becomes of its record; a record that could
    // not be saved is told, since a later update without a build relies on it.
    const bool recorded = entry.attributes.Add(UpdaterStore::KEY_LATEST_DOWNLOAD, file) &&
                          entry.attributes.Add(UpdaterStore::KEY_LAST_DOWNLOAD_DATE, when) &&
                          entry.attributes.Save();
    if (!recorded)
        display.message(UpdaterDisplayInterface::ERROR, "Build %u was stored, but could not be recorded in %s",
                        build, entry.attributes.path.c_str());
    return build;
}
