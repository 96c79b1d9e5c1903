#include "cli/Printers.h"

#include "engine/UpdateServerRequest.h"

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
