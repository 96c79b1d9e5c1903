#include "cli/Usage.h"

#include "cli/Parameters.h"
#include "cli/Printers.h"
#include "engine/Log.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

const char SHORT_USAGE[] =
    "\n"
    "Application Usage:\n"
    "%s <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n"
    "    [-d serial_num]\n"
    "    [-t transport] [-r router_serial]\n"
    "    [-s serial_port] [-o baud_rate]\n"
    "\n"
    "  Tessaline Update and Maintenance Application\n"
    "    -H -h or --help for full usage information.\n"
    "\n";

// One option of a usage table: its text with any argument placeholder, the
// lines of its description (an empty one stays empty, without indent), and
// whether an empty line follows it.
struct OptionHelp {
    const char* option;
    std::vector<std::string> lines;
    bool spaced;
};

// A command line of the samples and the lines that describe it; a command
// on a line of its own has all its lines below it.
struct Sample {
    const char* command;
    std::vector<const char*> lines;
    bool ownLine = false;
};

constexpr int OPTION_INDENT = 5;
constexpr int OPTION_WIDTH = 25;
constexpr int OPTION_TEXT_INDENT = OPTION_INDENT + OPTION_WIDTH + 2; // after "- "
constexpr int SAMPLE_WIDTH = 31;

void printHeading(const char* title)
{
    std::fprintf(stderr, "  %s\n", title);
}

void printOptions(const std::vector<OptionHelp>& options)
{
    for (const OptionHelp& entry : options) {
        std::fprintf(stderr, "%*s%-*s- %s\n", OPTION_INDENT, "", OPTION_WIDTH, entry.option,
                     entry.lines.front().c_str());
        for (size_t i = 1; i < entry.lines.size(); ++i) {
            if (entry.lines[i].empty())
                std::fputs("\n", stderr);
            else
                std::fprintf(stderr, "%*s%s\n", OPTION_TEXT_INDENT, "", entry.lines[i].c_str());
        }
        if (entry.spaced)
            std::fputs("\n", stderr);
    }
}

void printSamples(const std::vector<Sample>& samples)
{
    for (const Sample& sample : samples) {
        size_t first = 0;
        if (sample.ownLine) {
            std::fprintf(stderr, "%s\n", sample.command);
        } else {
            std::fprintf(stderr, "%-*s%s\n", SAMPLE_WIDTH, sample.command, sample.lines.front());
            first = 1;
        }
        for (size_t i = first; i < sample.lines.size(); ++i)
            std::fprintf(stderr, "%*s%s\n", SAMPLE_WIDTH, "", sample.lines[i]);
        std::fputs("\n", stderr);
    }
}

void printParametersAndCommands()
{
    printHeading("Parameters to commands:");
    printOptions({
        {"-i <zentrova_directory>",
         {"The Zentrova directory used for storage of ", "firmware files. [Default: ~/.zentrova ]."},
         false},
        {"-b <build number>",
         {"Build version of the firmware to transfer.", "[Default: latest version available]."},
         false},
        {"-d <device>", {"Device serial number of the device to access."}, false},
        {"-t <transport type>", {"communications method [USB,TCP,RECOVER]."}, false},
        {"-f <bird file>", {"Firmware file to be transferred to device."}, false},
        {"-r <router serial>", {"indirect connection through router device"}, false},
        {"-s <serial port>", {"name of serial port to use for recovery"}, false},
        {"-o <baud rate>",
         {"baud rate for serial port (2400, 4800, 9600,", "19200, 38400, 57600, 115200, 230400)"},
         false},
    });
    printHeading("Commands:");
    printOptions({
        {"-B", {"list the Builds available for given device."}, true},
        {"-L", {"list the local Builds available for given device."}, true},
        {"-D", {"Discover devices that are currently connected."}, true},
        {"-G",
         {"Get build file from the Zentrova server and",
          "store on local machine for download to device.",
          "Must specify a specific device [\"-d\" option].",
          "Default is to obtain the latest build for the", "given device, override with \"-b\" option."},
         true},
        {"-U",
         {"Update the firmware on device specified.", "Must specify a specific device [\"-d\" option].",
          "Default is to download the latest build for the",
          "given device, override with \"-b\" option or",
          "specify specific BIRD file using \"-f\" option."},
         false},
        {"-H or -h", {"Display extended usage information."}, true},
        {"--http", {std::string("Use HTTP for the update server (") + HTTP_BASE_URL + ")."}, false},
        {"--https",
         {std::string("Use HTTPS for the update server (") + HTTPS_BASE_URL + ").",
          "Recommended; HTTPS will be the default in the next major version."},
         true},
    });
}

// The package table, in groups of neighbouring bits.
std::vector<std::string> logPackageLines()
{
    std::vector<std::string> lines;
    for (size_t i = 0; i < Log::PACKAGE_COUNT; ++i) {
        const LogPackage& package = Log::PACKAGES[i];
        if (i > 0 && package.bit > Log::PACKAGES[i - 1].bit * 2)
            lines.emplace_back();
        char line[64];
        std::snprintf(line, sizeof line, "%-20s0x%08X", package.name, package.bit);
        lines.emplace_back(line);
    }
    return lines;
}

void printExtended()
{
    printHeading("Extended Parameters:");
    printOptions({
        {"-e", {"echoing of bytes enabled during recovery."}, true},
        {"-m", {"Attemps to use UEIBytes for faster loading"}, false},
        {"-l 'log message'", {"message to place in device history log"}, false},
        {"-k <filename>", {"log messages written into given filename", "Default:[APP.log]"}, false},
        {"-u <host:port>",
         {"The hostname and port of the update server",
          std::string("Default: ") + UPDATE_SERVER_HOST + ":port"},
         false},
    });
    printHeading("Extended Commands:");
    std::vector<std::string> logLines = logPackageLines();
    logLines.insert(logLines.begin(), "Bitmask for Logging");
    printOptions({
        {"-I",
         {"View stored device information.", "Must either use DISCOVER command [\"-D\"] or",
          "specify a specific device [\"-d\" option]."},
         true},
        {"-OVERRIDE",
         {"Override the model checks for BIRD firmware files.",
          "This option should only be used when authorized by", "Zentrova development engineers."},
         true},
        {"-N", {"Get fingerprint from a device, requires -s"}, true},
        {"-X <BIT_MASK>", logLines, true},
        {"-C", {"Check the given BIRDFILE"}, true},
    });
    std::fputs("\n", stderr);
}

void printSampleUsage()
{
    std::fputs(" Sample usage:\n\n", stderr);
    printSamples({
        {"-D",
         {"Discover all devices connected by either USB or TCPIP.",
          "Records the device information into the settings for that device."}},
        {"-D -t USB",
         {"Discover all the devices connected by USB. Records the",
          "device information into the settings for that device."}},
        {"-D -t USB -d 0F5849A", {"Discover settings of the specific device (serial number 0x40F5849A)"}},
        {"-G -d 40F5849A",
         {"Get the latest firmware for the given device.",
          "Downloads the firmware file into the updater specific device directory."}},
        {"-U -d 40F5849A",
         {"Update the firmware on the specific device.",
          "Without other options, this command will try to locate",
          "the latest firmware version to be used for updating the device."}},
        {"-G -d 40F5849A -b 99528558",
         {"Get the specified build's firmware for the given device.",
          "Downloads the firmware file into the updater's specific",
          "device directory with the build number as the filename."}},
        {"-G -U -d 40F5849A",
         {"Get the latest firmware for the given device.",
          "Downloads the firmware file into the updater specific",
          "device directory. After download, update the firmware", "using the latest release."}},
        {"-U -t RECOVER -s /dev/serial",
         {"Update the firmware as described above, but uses the serial interface",
          "in communicating with the device to install the latest firmware."}},
    });
    std::fputs(" Sample usage for network discovery and updates:\n\n", stderr);
    printSamples({
        {"-D -r D272031D",
         {"Discover all devices connected to the I2C Tessaline network",
          "of the given routing device D272031D."}},
        {"-G -U -d 2181F0EE -r D272031D",
         {"Get and Update to the latest firmware for device 2181F0EE",
          "indirectly through routing device D272031D."},
         true},
    });
    std::fputs("\n", stderr);
}

} // namespace

void _display_usage(bool extended, bool full)
{
    std::fprintf(stderr, SHORT_USAGE, APP_NAME);
    if (full)
        printParametersAndCommands();
    if (full && extended)
        printExtended();
    if (full)
        printSampleUsage();
}
