// The firmware builds that the update server offers for a device, and the
// ones its store folder holds.
#include "engine/Updater.h"

#include <stdexcept>
#include <string>

#include "engine/BirdFile.h"
#include "engine/Log.h"
#include "engine/UpdateServerRequest.h"

namespace {

constexpr const char* kBirdExtension = ".bird";

// The version a stored firmware file carries; empty when it has none or
// cannot be read.
std::string _stored_version(const std::string& path)
{
    if (!BirdFile::VerifyFile(path.c_str())) {
        Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
        return std::string();
    }
    std::string version;
    try {
        version = BirdFile(path.c_str()).GetVersion();
    } catch (const std::runtime_error& e) {
        // A header that promises a firmware file whose body is spoilt.
        Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s (%s)\n", path.c_str(), e.what());
        return std::string();
    }
    if (!version.empty()) Log::log(DEBUG_Updater, "Found VERSION in birdfile: %s - Version: \n", path.c_str());
    return version;
}

} // namespace

bool _valid_build(unsigned serial, unsigned build, const char* url)
{
    BuildList builds;
    if (!UpdateServerRequest::GetBuildList(serial, builds, url)) return false;
    for (const auto& entry : builds) {
        unsigned listed = 0;
        if (!UpdateServerRequest::ReadBuildNumber(entry.first, &listed)) {
            Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", entry.first.c_str());
            listed = 0;
        }
        if (listed == build) return true;
    }
    return false;
}

BuildList Updater::Get_BuildList(unsigned int serial)
{
    BuildList builds;
    if (!UpdateServerRequest::ping(serverUrl.c_str())) {
        display.message(UpdaterDisplayInterface::ERROR, "Server request failed for %s", serverUrl.c_str());
        return builds;
    }
    if (!UpdateServerRequest::GetBuildList(serial, builds, serverUrl.c_str()))
        display.message(UpdaterDisplayInterface::ERROR, "Failed to retrieve builds for %08X", serial);
    return builds;
}

BuildList Updater::Get_BuildListLocal(unsigned int serial)
{
    BuildList builds;
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storeDir, "Get_BuildListLocal");
    if (!store) return builds;
    std::vector<UpdaterStoreItem> items;
    store->FindLocalBuilds(serial, items);
    for (const UpdaterStoreItem& item : items) {
        const std::string key = item.name.substr(0, item.name.find(kBirdExtension));
        std::string version;
        if (item.IsValid()) version = _stored_version(item.dir + "/" + item.name);
        builds.emplace(key, version);
    }
    return builds;
}
