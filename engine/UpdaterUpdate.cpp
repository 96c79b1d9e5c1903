// The update operation: choosing the build, loading and checking the
// firmware file, connecting to the device and running the transfer sequence.
#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <string>

#include "common/aDefs.h"
#include "device_api/Module.h"
#include "device_api/SystemClass.h"
#include "engine/Log.h"
#include "engine/UpdateServerRequest.h"
#include "engine/Updater.h"
#include "engine/UpdaterTransfer.h"
#include "platform/aTime.h"

using Zentrova::Tessaline::Module;
using Zentrova::Tessaline::SystemClass;

namespace {

// The operation's name in the store's error message.
constexpr const char* kCaller = "Update_Firmware";

std::string buildFileName(unsigned build) { return std::to_string(build) + ".bird"; }

// The server's latest build for the device when its file is stored, else 0.
// A device without an entry has nothing stored: nothing is read for it.
unsigned latestStoredBuild(UpdaterDisplayInterface& display, UpdaterStoreItem* entry, unsigned serial,
                           const std::string& url)
{
    std::string latest;
    std::string family;
    UpdateServerRequest::QueryBuild(serial, latest, family, url.c_str());
    unsigned build = 0;
    if (!UpdateServerRequest::ReadBuildNumber(latest, &build)) {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", latest.c_str());
        return 0;
    }
    if (build == 0) return 0;
    bool held = entry != nullptr;
    try {
        if (held) entry->ReadBirdFile(buildFileName(build).c_str());
    } catch (const std::runtime_error&) {
        held = false;
    }
    if (!held) {
        display.message(UpdaterDisplayInterface::INFO,
                        "New firmware is available.  Updater will proceed if valid firmware is found locally.");
        return 0;
    }
    return build;
}

// Connects the first module to the device with that serial number over USB,
// else over TCP/IP.
aErr connectDirect(Module& module, unsigned serial)
{
    aErr status = module.connect(USB, serial);
    if (status == aErrNotFound) status = module.connect(TCPIP, serial);
    return status;
}

std::string now()
{
    const time_t t = time(nullptr);
    char text[64] = "";
    ctime_r(&t, text);
    std::string out(text);
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

} // namespace

bool _validate_birdfile(UpdaterDisplayInterface& display, const BirdFile& file, Module& module, unsigned serial)
{
    if (file.block_count == 0 || file.FindFirmwareImages().empty()) return false;
    if (!file.has_serial_offsets && !file.ValidateSerialNumber(serial)) return false;
    Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
    SystemClass system;
    system.init(&module, 0);
    uint32_t deviceSerial = 0;
    aErr result = system.getSerialNumber(&deviceSerial);
    if (result != aErrNone) deviceSerial = 0;
    if (deviceSerial != serial) {
        Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n", result);
        return false;
    }
    uint8_t model = 0;
    result = system.getModel(&model);
    const char* name = aDefs_GetModelName(aModelCode(model));
    if (!file.ValidateModel(name)) {
        display.message(UpdaterDisplayInterface::ERROR, "Connected device model and Bird file model do not match [%s] (%d)",
                        name, result);
        return false;
    }
    return true;
}

BirdFile Updater::load_bird(const char* verb, const std::string& path, unsigned int serial, unsigned int build,
                            bool allowDownload)
{
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storeDir, "load_bird");
    if (!store) return BirdFile();
    if (!path.empty()) {
        display.message(UpdaterDisplayInterface::INFO, "%s from Birdfile: %s", verb, path.c_str());
        return BirdFile(path.c_str());
    }
    UpdaterStoreItem entry = store->AddDevice(serial);
    display.message(UpdaterDisplayInterface::INFO, "%s firmware with build: %u", verb, build);
    const std::string name = buildFileName(build);
    try {
        return entry.ReadBirdFile(name.c_str());
    } catch (const std::runtime_error&) {
        if (!allowDownload) throw std::runtime_error("Error reading birdfile");
    }
    display.message(UpdaterDisplayInterface::INFO, "Downloading firmware build %u", build);
    Download_Firmware(serial, std::to_string(build), false, false);
    return entry.ReadBirdFile(name.c_str());
}

bool Updater::Update_Firmware(unsigned int serial, unsigned int build, std::string path, uint8_t moduleAddress,
                              unsigned int routerSerial, bool override)
{
    if (serial == 0) {
        display.message(UpdaterDisplayInterface::ERROR, "Update command must specify the specific device");
        return false;
    }
    BirdFile file;
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storeDir, kCaller);
    if (!store) return false;
    UpdaterStoreItem entry;
    const bool stored = store->FindDevice(serial, &entry);
    const uint64_t start = aTime_GetMSTicks();

    if (path.empty()) {
        if (build == 0) build = latestStoredBuild(display, stored ? &entry : nullptr, serial, serverUrl);
        if (build == 0 && (build = unsigned(entry.attributes.GetInt(UpdaterStore::KEY_LATEST_DOWNLOAD, 0))) != 0)
            display.message(UpdaterDisplayInterface::INFO, "Updating with the Latest Download");
        if (build == 0 && (build = unsigned(entry.attributes.GetInt(UpdaterStore::KEY_LATEST_TRANSFER, 0))) != 0)
            display.message(UpdaterDisplayInterface::INFO, "Updating with the Latest Transfer");
        if (build == 0) {
            display.message(UpdaterDisplayInterface::ERROR, "Could not find valid build for this device.");
            return false;
        }
    }

    try {
        file = load_bird("Updating", path, serial, build, false);
    } catch (const std::runtime_error&) {
        display.message(UpdaterDisplayInterface::ERROR, "Failed to load bird file");
        return false;
    }

    // Nothing is connected to, let alone written, for a file with no firmware.
    if (!_firmware_to_write(display, file)) return false;

    if (file.has_serial_offsets) {
        Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
        if (!file.ReplaceSerialNumber(serial)) {
            Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
            display.message(UpdaterDisplayInterface::ERROR, "Unable to put serial number [%08X] into the firmware",
                            serial);
            return false;
        }
        Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
    }

    Module module(moduleAddress, uint8_t{0});
    aErr status = _disableVorne(module, display);
    if (status == aErrNone && routerSerial == 0) {
        status = connectDirect(module, serial);
        if (status != aErrNone)
            display.message(UpdaterDisplayInterface::ERROR, "Failed to connect to module [%08X]", serial);
    } else if (status == aErrNone) {
        if (moduleAddress == 0) {
            const std::vector<DeviceInfo> found = Discover_TLNetwork_Devices(routerSerial, INVALID);
            if (found.empty()) {
                display.message(UpdaterDisplayInterface::ERROR, "Unable to find modules on Network");
                return false;
            }
            uint16_t address = 0;
            for (const DeviceInfo& info : found)
                if (info.spec.serialNumber == serial) address = info.networkAddress;
            if (address == 0) {
                display.message(UpdaterDisplayInterface::ERROR,
                                "Module address required for indirect firmware update, could not find serial number "
                                "[0x%08X] on network",
                                serial);
                return false;
            }
            module.setModuleAddress(uint8_t(address));
        }
        Module linkModule(0, uint8_t{0});
        status = _disableVorne(linkModule, display);
        if (status == aErrNone) {
            status = connectDirect(linkModule, routerSerial);
            if (status != aErrNone) {
                display.message(UpdaterDisplayInterface::ERROR, "Failed to connect to link module [%08X]",
                                routerSerial);
                return false;
            }
            status = module.connectThroughLinkModule(&linkModule);
            if (status != aErrNone)
                display.message(UpdaterDisplayInterface::ERROR, "Failed to connect to module [%08X]", serial);
        }
    }

    if (status == aErrNone && !override && !_validate_birdfile(display, file, module, serial)) {
        display.message(UpdaterDisplayInterface::ERROR, "Birdfile failed validation");
        return false;
    }
    if (status == aErrNone) status = _transfer_loader(display, module, file);
    if (status == aErrNone) {
        // Without the device the firmware stage fails on its first request,
        // and says so; this tells why.
        if (!_reconnect_loader(module, serial))
            display.message(UpdaterDisplayInterface::ERROR, "Device [%08X] not found after its loader started",
                            serial);
        status = _transfer_firmware(display, module, file, routerSerial != 0, ueiBytesLoad);
    }
    if (status != aErrNone) {
        Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", status);
        return false;
    }

    // A device updated from a file before any download gets its entry now,
    // so that the record lands in the store and nowhere else.
    // The device is written whatever becomes of its record: a store that
    // cannot take the entry is reported as such, not as a failed update.
    try {
        if (!stored) entry = store->AddDevice(serial);
        const std::string name = path.empty() ? buildFileName(build) : path;
        if (!entry.attributes.Add(UpdaterStore::KEY_LATEST_TRANSFER, name))
            throw std::runtime_error("the name " + name + " cannot be kept in " + entry.attributes.path);
        if (!entry.attributes.Add(UpdaterStore::KEY_LAST_TRANSFER_DATE, now()) || !entry.attributes.Save())
            throw std::runtime_error("could not write " + entry.attributes.path);
    } catch (const std::exception& e) {
        display.message(UpdaterDisplayInterface::ERROR, "Device updated, but its transfer was not recorded: %s",
                        e.what());
    }
    Log::log(DEBUG_Updater, "Updating device firmware: \n");
    display.message(UpdaterDisplayInterface::INFO, "Update time: %.4f sec", double(aTime_GetMSTicks() - start) / 1000.0);
    return true;
}
