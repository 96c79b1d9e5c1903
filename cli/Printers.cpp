#include "cli/Printers.h"

#include "common/aDefs.h"
#include "engine/UpdateServerRequest.h"

#include <cstdint>
#include <cstdio>

void _display_app_version(CLI_Display& display)
{
    display.message(UpdaterDisplayInterface::INFO, "%s (%s)", APP_NAME, APP_VERSION);
}

void _display_fingerprint(CLI_Display& display, Fingerprint& fingerprint)
{
    display.message(UpdaterDisplayInterface::INFO, "[ %08X %08X %08X %08X ]", fingerprint.words[0],
                    fingerprint.words[1], fingerprint.words[2], fingerprint.words[3]);
}

void _display_builds(CLI_Display& display, const std::map<std::string, std::string>& builds,
                     unsigned serial)
{
    if (builds.empty()) {
        display.message(UpdaterDisplayInterface::INFO, "No builds found for device [%08X]", serial);
        return;
    }
    display.message(UpdaterDisplayInterface::INFO, "Build List for device [%08X]:\n", serial);
    const char* row = "%-15.15s\t%-15.15s";
    display.message(UpdaterDisplayInterface::INFO, row, "Build", "Version");
    for (const auto& build : UpdateServerRequest::SortBuildsByVersion(builds))
        display.message(UpdaterDisplayInterface::INFO, row, build.first.c_str(), build.second.c_str());
}

void _display_device_list(CLI_Display& display, const std::vector<DeviceInfo>& devices, linkType type)
{
    const char* transport = type == USB ? "USB" : type == TCPIP ? "TCPIP" : "Unknown";
    display.message(UpdaterDisplayInterface::INFO, "Discovered Devices: (%s)", transport);
    if (devices.empty()) {
        display.message(UpdaterDisplayInterface::INFO, "    No devices found.");
        return;
    }
    if (type == USB)
        display.message(UpdaterDisplayInterface::INFO,
                        "    Device    Module   Router  Model          Firmware Version (Build)    Device Name");
    else
        display.message(UpdaterDisplayInterface::INFO,
                        "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]"
                        "       Device Name");

    for (const DeviceInfo& device : devices) {
        const linkSpec& spec = device.spec;
        const char* model = aDefs_GetModelName(spec.model);
        int patch = static_cast<int>(device.patch);
        if (spec.type == TCPIP) {
            // The address is in network byte order: its bytes in memory read as dotted.
            const auto* ip = reinterpret_cast<const uint8_t*>(&spec.ipAddress);
            char address[20];
            std::snprintf(address, sizeof address, "[%d.%d.%d.%d]", ip[0], ip[1], ip[2], ip[3]);
            display.message(UpdaterDisplayInterface::INFO,
                            "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  %s",
                            spec.serialNumber, spec.moduleAddress, spec.routerAddress, model, device.major,
                            device.minor, patch, device.build, address, device.name.c_str());
        } else if (device.error != 0) {
            display.message(UpdaterDisplayInterface::INFO,
                            "    %08X  [Error (%d): Device in use. Close all other Zentrova associated "
                            "applications.]",
                            spec.serialNumber, device.error);
        } else {
            display.message(UpdaterDisplayInterface::INFO,
                            "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)         %s", spec.serialNumber,
                            spec.moduleAddress, spec.routerAddress, model, device.major, device.minor, patch,
                            device.build, device.name.c_str());
        }
    }
}
