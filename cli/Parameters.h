// The updater's command line: the option table and the parameters that the
// command sequence acts on, parsed from argv with every bad value reported
// through the display sink.
#pragma once

#include "cli/CommandsClass.h"
#include "cli/OptionParser.h"
#include "engine/UpdaterDisplayInterface.h"

#include <cstdint>
#include <string>

// Option id kinds of the option table.
enum OptionIdKind : int {
    OPTION_HELP = 0,
    OPTION_COMMAND = 1,
    OPTION_PARAMETER = 2,
    OPTION_HTTPS = 3, // selects the https base URL
    OPTION_HTTP = 4,  // selects the http base URL
};

// Values of Parameters::transport.
enum Transport : int32_t {
    TRANSPORT_INVALID = 0,
    TRANSPORT_USB = 1,
    TRANSPORT_TCP = 2,
    TRANSPORT_RECOVER = 255,
};

// The update server and its query URL over either scheme.
constexpr const char* UPDATE_SERVER_HOST = "updates.zentrova.com";
constexpr const char* UPDATE_SERVER_PATH = "/cgi/u";
constexpr const char* HTTP_BASE_URL = "http://updates.zentrova.com/cgi/u";
constexpr const char* HTTPS_BASE_URL = "https://updates.zentrova.com/cgi/u";

extern const CSimpleOptTempl<char>::SOption g_rgOptions[];

// The defaults of the fields are those of a command line without options;
// _get_params adds the program's name and the home directory.
struct Parameters {
    CommandsClass commands;
    uint32_t serialNumber = 0;              // -d; 0 for none
    uint32_t routerSerial = 0;              // -r; 0 for none
    int32_t transport = TRANSPORT_USB;      // -t; a Transport
    bool transportGiven = false;            // -t was given, even with a bad value
    std::string serialPort;                 // -s
    uint32_t baudRate = 115200;             // -o
    uint8_t moduleAddress = 0;              // always 0
    std::string birdFile;                   // -f
    std::string historyMessage;             // -l
    std::string build;                      // -b, as decimal text; empty for none
    bool echo = false;                      // -e
    std::string serverUrl = HTTP_BASE_URL;  // --http, --https, -u
    bool nFlag = false;                     // -n
    std::string storeDir;                   // -i
    std::string programName;                // argv[0] without its directories
    std::string homeDir;
    std::string logMode = "a+";
    std::string logFile = "Updater.log";    // -k
    char* releaseBuffer = nullptr;          // malloc'ed; freed by _release_params
    bool override = false;                  // -OVERRIDE
    bool ueiBytes = true;                   // -m
    uint32_t logMask = 0;                   // -X
    bool extendedHelp = false;              // -X was given
    bool help = false;                      // -h, -H, --help
};

// Sets the defaults and then the values of the command line (argv is
// reordered: words that are not options end up behind the options).
// 0 when the line is usable or asks for help, 1 after a reported error.
// Options that do not match the table, or lack their argument, are skipped.
int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* params);
// The last check of a cleanly parsed line; every set passes (0).
int _validate_params(Parameters* params);
// Frees the release buffer; 0.
int _release_params(Parameters* params);

// Number arguments: text of hexadecimal (or decimal) digits only, at most
// 32 bits wide, converted; end then points behind it. 0 for anything else,
// for empty text and for a null end.
uint32_t _get_hex_arg(const char* text, char** end);
uint32_t _get_int_arg(const char* text, char** end);
