// The updater's entry point: parses the command line, prepares the storage
// directory and runs the commands asked for in their fixed order (the
// fingerprint and the download first, then at most one of discover, update
// or recover, list server builds and list local builds), turning the outcome
// into the exit code. An exception that reaches it ends the run with code 1.
#include "cli/CLI_Display.h"
#include "cli/CommandsClass.h"
#include "cli/Parameters.h"
#include "cli/Printers.h"
#include "cli/Usage.h"
#include "common/aError.h"
#include "engine/Fingerprint.h"
#include "engine/Log.h"
#include "engine/PathHelpers.h"
#include "engine/Updater.h"
#include "platform/aDirectory.h"

#include <cstdio>
#include <stdexcept>
#include <string>

namespace {

constexpr uint32_t ANY_COMMAND = COMMAND_DISCOVER | COMMAND_UPDATE | COMMAND_LIST_BUILDS | COMMAND_GET_BUILD |
                                 COMMAND_SHOW_INFO | COMMAND_CHECK_BIRDFILE | COMMAND_FINGERPRINT | COMMAND_Z |
                                 COMMAND_LIST_LOCAL_BUILDS;

using Level = UpdaterDisplayInterface::Level;

// Sets params.storeDir to the "updater" folder of the run and makes it;
// false after telling why it cannot be used.
bool prepareStoreDir(CLI_Display& display, Parameters& params)
{
    if (params.storeDir.empty()) {
        char home[2048];
        const aErr err = aDirectory_GetHomeDirectory(home, sizeof home);
        if (err != aErrNone) {
            Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", static_cast<int>(err));
            display.message(Level::ERROR,
                            "Could not find the home directory for the Zentrova directory (%s); give one with -i",
                            aError_GetErrorText(err));
            return false;
        }
        params.storeDir = BuildPath(home, ".zentrova", nullptr);
    }
    params.storeDir = BuildPath(params.storeDir.c_str(), "updater", nullptr);
    if (aDirectory_Ensure(params.storeDir.c_str(), 0755) != aErrNone) {
        display.message(Level::ERROR, "Could not find updater directory at %s", params.storeDir.c_str());
        return false;
    }
    return true;
}

// The pending exit code after the fingerprint: 1 when the chip did not answer.
int runFingerprint(CLI_Display& display, Updater& updater, const Parameters& params)
{
    Fingerprint fingerprint{{0, 0, 0, 0}};
    if (updater.Get_Fingerprint(fingerprint, params.serialPort, 0xDEADDEAD, params.birdFile, params.baudRate,
                                true)) {
        _display_fingerprint(display, fingerprint);
        return 0;
    }
    display.message(Level::ERROR, "Got no response from chip");
    return 1;
}

// The pending exit code after the download; a stored build becomes the build
// of the rest of the run.
int runDownload(CLI_Display& display, Updater& updater, Parameters& params)
{
    display.message(Level::INFO, "Retrieving firmware for device with serial number %08X", params.serialNumber);
    if (params.build.empty()) {
        display.message(Level::INFO, "No build specified");
        display.message(Level::INFO, "Using Latest build");
    } else {
        display.message(Level::INFO, "Retrieving firmware build %s", params.build.c_str());
    }
    const unsigned stored = updater.Download_Firmware(params.serialNumber, params.build, params.override, false);
    if (stored == 0) return 1;
    params.build = std::to_string(stored);
    return 0;
}

int runDiscover(CLI_Display& display, Updater& updater, const Parameters& params)
{
    const linkType type = params.transportGiven && params.transport != TRANSPORT_RECOVER
                              ? static_cast<linkType>(params.transport)
                              : INVALID;
    if (params.routerSerial != 0) {
        display.message(Level::INFO, "Searching for Tessaline Network devices connected to %08X",
                        params.routerSerial);
        _display_device_list(display, updater.Discover_TLNetwork_Devices(params.routerSerial, type), type);
    } else {
        display.message(Level::INFO, "Searching for Tessaline devices");
        const linkType searched = type == INVALID ? USB : type;
        _display_device_list(display, updater.Discover_Devices(searched), searched);
    }
    return 0;
}

unsigned buildNumber(const std::string& text)
{
    try {
        return static_cast<unsigned>(std::stoul(text));
    } catch (const std::invalid_argument&) {
        return 0;
    }
}

int runUpdate(CLI_Display& display, Updater& updater, const Parameters& params)
{
    const unsigned build = buildNumber(params.build);
    updater.Set_UEIBytes_Load(params.ueiBytes);
    if (params.transport == TRANSPORT_RECOVER) {
        return updater.Recover_Firmware(params.serialPort, build, params.baudRate, params.serialNumber,
                                        params.birdFile, params.override)
                   ? 0
                   : 1;
    }
    if (params.serialNumber == 0) {
        display.message(Level::ERROR, "Must specify the specific device to be updated");
        return 1;
    }
    return updater.Update_Firmware(params.serialNumber, build, params.birdFile, 0, params.routerSerial,
                                   params.override)
               ? 0
               : 1;
}

// The main command that the line asks for, or the pending code without one.
int runMainCommand(CLI_Display& display, Updater& updater, Parameters& params, int pending)
{
    if (params.commands.IsSet(COMMAND_DISCOVER)) return runDiscover(display, updater, params);
    if (params.commands.IsSet(COMMAND_UPDATE)) return runUpdate(display, updater, params);
    const bool server = params.commands.IsSet(COMMAND_LIST_BUILDS);
    if (!server && !params.commands.IsSet(COMMAND_LIST_LOCAL_BUILDS)) return pending;
    if (params.serialNumber == 0) {
        display.message(Level::ERROR, "Error must supply a serial number for the %s command",
                        server ? "List Builds" : "List Local Builds");
        _display_usage(false, false);
        return 1;
    }
    const BuildList builds =
        server ? updater.Get_BuildList(params.serialNumber) : updater.Get_BuildListLocal(params.serialNumber);
    _display_builds(display, builds, params.serialNumber);
    return 0;
}

// Everything after the parameters were read; they are released by the caller.
int run(CLI_Display& display, Parameters& params)
{
    _display_app_version(display);
    if (params.commands.IsSet(COMMAND_HELP) || !params.commands.IsSet(ANY_COMMAND)) {
        _display_usage(params.extendedHelp, params.help);
        return 0;
    }
    if (!prepareStoreDir(display, params)) return 1;

    Updater updater(params.serverUrl.c_str(), params.storeDir.c_str(), display);
    int pending = 0;
    if (params.commands.IsSet(COMMAND_FINGERPRINT)) {
        if (params.serialPort.empty()) {
            display.message(Level::ERROR, "Must specify the serial port used for connecting");
            return 1;
        }
        pending = runFingerprint(display, updater, params);
    }
    if (params.commands.IsSet(COMMAND_GET_BUILD)) {
        if (params.serialNumber == 0) {
            display.message(Level::ERROR, "-G must specify a specific device via -d");
            display.message(Level::ERROR, "--help for usage information");
            return 1;
        }
        pending = runDownload(display, updater, params);
    }
    return runMainCommand(display, updater, params, pending);
}

} // namespace

int main(int argc, char** argv)
{
    Parameters params;
    CLI_Display display;
    Log::SetOutput(stderr);

    int code;
    // Whatever goes wrong below ends the run with its reason and code 1,
    // never by aborting the program.
    try {
        if (_get_params(display, argc, argv, &params) != 0) {
            _display_app_version(display);
            _display_usage(false, false);
            code = 1;
        } else {
            code = run(display, params);
        }
    } catch (const std::exception& e) {
        display.message(Level::ERROR, "Updater stopped: %s", e.what());
        code = 1;
    } catch (...) {
        display.message(Level::ERROR, "Updater stopped by an unknown error");
        code = 1;
    }
    _release_params(&params);
    return code;
}
