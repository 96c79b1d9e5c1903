// The front end's printed results: the version line, a chip's fingerprint,
// the firmware build lists and the table of discovered devices, each written
// as information lines of the display.
#pragma once

#include "cli/CLI_Display.h"
#include "common/aDiscovery.h"
#include "engine/Fingerprint.h"
#include "engine/Updater.h"

#include <map>
#include <string>
#include <vector>

constexpr const char* APP_NAME = "Updater";
constexpr const char* APP_VERSION = "Version: 2.12.4 May 26 2026";

void _display_app_version(CLI_Display& display);
// "[ 0000000A 0000000B 0000000C 0000000D ]", the words in index order.
void _display_fingerprint(CLI_Display& display, Fingerprint& fingerprint);
// Build text -> version text, printed newest version first under a heading.
void _display_builds(CLI_Display& display, const std::map<std::string, std::string>& builds,
                     unsigned serial);
// The devices under a heading of the transport; a TCP/IP device shows its
// address, and a device that could not be read shows its error instead of
// its firmware (the form of each line follows the device's own link type).
void _display_device_list(CLI_Display& display, const std::vector<DeviceInfo>& devices, linkType type);
