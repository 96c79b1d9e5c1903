// The firmware update engine's top-level object: the settings of one run
// (update server, storage directory, display) and the operations the front
// end calls on them; and DeviceInfo, one discovered device as it is reported.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/aDiscovery.h"
#include "common/aError.h"
#include "engine/BirdFile.h"
#include "engine/Fingerprint.h"
#include "engine/UpdaterDisplayInterface.h"
#include "engine/UpdaterStore.h"

namespace Zentrova {
namespace Tessaline {
class Module;
}
} // namespace Zentrova

// One discovered device.
struct DeviceInfo {
    linkSpec spec{};            // how the device is reached, its addresses and model code
    uint16_t networkAddress = 0; // address on a routing device's I2C network (search behind a router only)
    uint32_t build = 0;         // firmware build number; 0 when it could not be read
    uint8_t major = 0;
    uint8_t minor = 0;
    uint32_t patch = 0;
    std::string modelName;      // display name of spec.model
    std::string name;           // the device's own name (firmware 2.10.4 and later)
    int32_t error = 0;          // aErr of the connection or read that failed; 0 when all succeeded
};

// Build text -> version text, in build-text order.
using BuildList = std::map<std::string, std::string>;

class BirdFile;

// Stands for no known device: the store's and the update server's default
// recovery image, and the live loader's serial number on USB.
constexpr unsigned int kDefaultSerialNumber = 0xDEADDEAD;
// The system entity's option whose sub-indexes 0 to 3 hold the i.MX unique identifier.
constexpr uint8_t systemUniqueIdentifier = 39;

class Updater {
public:
    // Keeps copies of both texts and a reference to the display; touches nothing.
    Updater(const char* serverUrl, const char* storeDir, UpdaterDisplayInterface& display);
    ~Updater() = default;
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    // Before a firmware transfer, ask the device whether it takes firmware
    // data as UEI byte arrays and pooled packets.
    void Set_UEIBytes_Load(bool on) { ueiBytesLoad = on; }

    // Devices on one transport, or on USB and then TCP/IP for INVALID (0).
    std::vector<DeviceInfo> Discover_Devices(linkType type);
    // The modules behind the routing device with that serial number, over the
    // transport given, or the first on which the router answers for INVALID.
    std::vector<DeviceInfo> Discover_TLNetwork_Devices(unsigned int routerSerial, linkType type);
    // The update server's builds for the device; empty after a failure.
    BuildList Get_BuildList(unsigned int serial);
    // The files of the device's store folder, with the version of each firmware file.
    BuildList Get_BuildListLocal(unsigned int serial);

    // Fetches a build (the server's latest for an empty text) into the
    // device's store folder; the build number, 0 on failure. override skips
    // the check that the server lists the build for the device; noCal is the
    // server's no-calibration flag.
    unsigned Download_Firmware(unsigned int serial, std::string build, bool override, bool noCal);

    // Writes firmware into the running device with that serial number: from
    // the file at path, or else the build given (0: the server's latest if
    // stored, else the latest download, else the latest transfer); behind
    // the routing device routerSerial when it is not 0, at moduleAddress (0:
    // looked up). override skips the file's serial-number and model checks.
    // True once the firmware is written and the device told to reboot.
    bool Update_Firmware(unsigned int serial, unsigned int build, std::string path, uint8_t moduleAddress,
                         unsigned int routerSerial, bool override);
    // The firmware file at path, or else the build's file in the device's
    // store folder (downloaded first when allowed and missing); verb opens
    // the line shown. Throws std::runtime_error when it cannot be had.
    BirdFile load_bird(const char* verb, const std::string& path, unsigned int serial, unsigned int build,
                       bool allowDownload);

    // Reads the identifier of the chip on the port (a serial device, or "USB"
    // for the i.MX boot ROM's HID device): an LPC17xx boot ROM is asked
    // first; otherwise the i.MX live loader (the file named, else the serial
    // number's latest, downloaded when not stored) is started and read, and
    // reset afterwards when asked. Sets recoveryChip.
    bool Get_Fingerprint(Fingerprint& out, std::string port, unsigned int serial, std::string file,
                         unsigned int baudRate, bool reset);
    // Fetches the recovery firmware of the chip with that identifier: the
    // build given, or the update server's for it; the build number, 0 on failure.
    unsigned Download_Firmware(Fingerprint fingerprint, std::string build, bool override);
    // Writes firmware into a chip in its boot ROM on the port: the file at
    // path, or else the update server's recovery build for the chip's
    // identifier (build, when not 0, in place of the server's). override is
    // not used. True once the firmware is written and the chip started.
    bool Recover_Firmware(std::string port, unsigned int build, unsigned int baudRate, unsigned int serial,
                          std::string path, bool override);

    std::string serverUrl;
    std::string storeDir;
    UpdaterDisplayInterface& display;
    uint8_t recoveryChip; // boot ROM of the last fingerprint read: 0 none, 1 i.MX, 2 LPC
    bool ueiBytesLoad;
};

// Shared by the operations of Updater.

// A store rooted at dir, or empty after telling the user why it could not be
// made (caller: the operation's name in that message).
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display, const std::string& dir,
                                                  const char* caller);
// Switches link sharing and the fallback to another kind of link off in a
// module that is not connected yet; the result of its setConfig.
aErr _disableVorne(Zentrova::Tessaline::Module& module, UpdaterDisplayInterface& display);
// Whether the file may be written into the connected module of that serial number.
bool _validate_birdfile(UpdaterDisplayInterface& display, const BirdFile& file, Zentrova::Tessaline::Module& module,
                        unsigned serial);
// Whether the update server lists the build for the device.
bool _valid_build(unsigned serial, unsigned build, const char* url);
// The i.MX road of Get_Fingerprint: the live loader written through the boot
// ROM on the port and started, then its identifier read over USB.
bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, const std::string& port,
                          unsigned int serial, const std::string& file, Fingerprint& out, bool reset);
// Writes the file's loader blocks into an i.MX chip in its boot ROM (over USB
// HID for the port "USB", else over that serial port) and starts the loader:
// 0, aErrNotReady when the boot ROM cannot be reached, aErrConnection when a
// block is not taken.
aErr _transfer_recovery_loader(UpdaterDisplayInterface& display, BirdFile& file, const std::string& port);
// Writes the file's firmware blocks into the flash of an LPC17xx whose boot
// ROM was synchronised at 115200 baud, switching the line to the rate given,
// and starts it.
bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& file, std::string& port,
                           unsigned int baudRate);
// Writes the file's firmware through the upgrade protocol into the i.MX live
// loader found on USB (under the default serial number or the one given)
// and restarts the device.
bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& file, unsigned int serial,
                           bool ueiBytesLoad);
