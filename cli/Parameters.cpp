#include "cli/Parameters.h"

#include "engine/Log.h"
#include "platform/aDirectory.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

const CSimpleOptTempl<char>::SOption g_rgOptions[] = {
    {OPTION_COMMAND, "-B", OPTION_ARG_NONE},
    {OPTION_COMMAND, "-L", OPTION_ARG_NONE},
    {OPTION_COMMAND, "-D", OPTION_ARG_NONE},
    {OPTION_COMMAND, "-G", OPTION_ARG_NONE},
    {OPTION_COMMAND, "-I", OPTION_ARG_NONE},
    {OPTION_COMMAND, "-U", OPTION_ARG_NONE},
    {OPTION_COMMAND, "-OVERRIDE", OPTION_ARG_NONE},
    {OPTION_COMMAND, "-N", OPTION_ARG_NONE},
    {OPTION_COMMAND, "-Y", OPTION_ARG_NONE},
    {OPTION_COMMAND, "-C", OPTION_ARG_NONE},
    {OPTION_HELP, "-h", OPTION_ARG_NONE},
    {OPTION_HELP, "-H", OPTION_ARG_NONE},
    {OPTION_PARAMETER, "-n", OPTION_ARG_NONE},
    {OPTION_PARAMETER, "-X", OPTION_ARG_REQUIRED},
    {OPTION_PARAMETER, "-Z", OPTION_ARG_REQUIRED},
    {OPTION_PARAMETER, "-m", OPTION_ARG_REQUIRED},
    {OPTION_PARAMETER, "-i", OPTION_ARG_REQUIRED},
    {OPTION_PARAMETER, "-b", OPTION_ARG_REQUIRED},
    {OPTION_PARAMETER, "-d", OPTION_ARG_REQUIRED},
    {OPTION_PARAMETER, "-t", OPTION_ARG_REQUIRED},
    {OPTION_PARAMETER, "-f", OPTION_ARG_REQUIRED},
    {OPTION_PARAMETER, "-r", OPTION_ARG_REQUIRED},
    {OPTION_PARAMETER, "-s", OPTION_ARG_REQUIRED},
    {OPTION_PARAMETER, "-o", OPTION_ARG_REQUIRED},
    {OPTION_PARAMETER, "-e", OPTION_ARG_NONE},
    {OPTION_PARAMETER, "-l", OPTION_ARG_REQUIRED},
    {OPTION_PARAMETER, "-k", OPTION_ARG_REQUIRED},
    {OPTION_PARAMETER, "-u", OPTION_ARG_REQUIRED},
    {OPTION_HELP, "--help", OPTION_ARG_NONE},
    {OPTION_HTTP, "--http", OPTION_ARG_NONE},
    {OPTION_HTTPS, "--https", OPTION_ARG_NONE},
    {-1, nullptr, 0},
};

namespace {

constexpr size_t HOME_BUFFER_SIZE = 2048;

void setDefaults(Parameters* params, const char* argv0)
{
    // The release buffer stays for _release_params to free.
    char* releaseBuffer = params->releaseBuffer;
    *params = Parameters();
    params->releaseBuffer = releaseBuffer;

    if (argv0) {
        const char* name = argv0;
        for (const char* c = argv0; *c; ++c)
            if (*c == '/' || *c == '\\')
                name = c + 1;
        params->programName = name;
    }

    char home[HOME_BUFFER_SIZE];
    params->homeDir = aDirectory_GetHomeDirectory(home, sizeof home) == aErrNone ? home : "";
    Log::log(DEBUG_APP, "Home directory:[%s]\n", params->homeDir.c_str());
}

// Digits only, from the given set, converted whole in the base; a value wider
// than 32 bits is no number of ours.
uint32_t convertDigits(const char* text, char** end, const char* digits, int base)
{
    if (!end || !text || text[strspn(text, digits)] != '\0')
        return 0;
    errno = 0;
    unsigned long value = strtoul(text, end, base);
    if (errno == ERANGE || value > UINT32_MAX)
        return 0;
    return static_cast<uint32_t>(value);
}

// The argument of -d or -r: hexadecimal, with or without "0x"; 0 after
// reporting an invalid number.
uint32_t serialArg(UpdaterDisplayInterface& display, const char* arg, const char* prefixTrace,
                   const char* invalidMessage)
{
    if (arg[0] == '0' && (arg[1] == 'x' || arg[1] == 'X')) {
        Log::log(DEBUG_Updater, "%s", prefixTrace);
        arg += 2;
    }
    char* end = nullptr;
    uint32_t serial = _get_hex_arg(arg, &end);
    if (serial == 0)
        display.message(UpdaterDisplayInterface::ERROR, invalidMessage, arg);
    return serial;
}

int32_t transportArg(const char* arg)
{
    if (strncmp(arg, "USB", 3) == 0)
        return TRANSPORT_USB;
    if (strncmp(arg, "TCP", 3) == 0)
        return TRANSPORT_TCP;
    if (strncmp(arg, "RECOVER", 7) == 0)
        return TRANSPORT_RECOVER;
    return TRANSPORT_INVALID;
}

// -u names the server as "host:port", or as a whole base URL with its scheme.
std::string serverUrlArg(const char* arg)
{
    if (strstr(arg, "://"))
        return arg;
    return std::string("http://") + arg + UPDATE_SERVER_PATH;
}

void logMaskArg(UpdaterDisplayInterface& display, const char* arg, Parameters* params)
{
    params->extendedHelp = true;
    const int base = arg[0] == '0' && (arg[1] == 'x' || arg[1] == 'X') ? 16 : 10;
    char* end = nullptr;
    params->logMask = static_cast<uint32_t>(strtoul(arg, &end, base));
    if (*end != '\0')
        display.message(UpdaterDisplayInterface::ERROR,
                        "Invalid format for \"%s\" parameter, unprocessed characters [%s]", "-X", end);
    else
        Log::ActivatePackage(params->logMask);
}

// False after reporting an error.
bool storeCommand(UpdaterDisplayInterface& display, const char* text, Parameters* params)
{
    switch (text[1]) {
    case 'B': params->commands.Set(COMMAND_LIST_BUILDS); break;
    case 'L': params->commands.Set(COMMAND_LIST_LOCAL_BUILDS); break;
    case 'D': params->commands.Set(COMMAND_DISCOVER); break;
    case 'G': params->commands.Set(COMMAND_GET_BUILD); break;
    case 'I': params->commands.Set(COMMAND_SHOW_INFO); break;
    case 'U': params->commands.Set(COMMAND_UPDATE); break;
    case 'N': params->commands.Set(COMMAND_FINGERPRINT); break;
    case 'C': params->commands.Set(COMMAND_CHECK_BIRDFILE); break;
    case 'O': params->override = true; break;
    default:
        display.message(UpdaterDisplayInterface::ERROR, "Unhandled command: [%s]", text);
        return false;
    }
    return true;
}

// False after reporting an error.
bool storeParameter(UpdaterDisplayInterface& display, const char* text, const char* arg, Parameters* params,
                    int& urlChoices)
{
    char* end = nullptr;
    switch (text[1]) {
    case 'd':
        params->serialNumber = serialArg(display, arg, "Discarding '0x' serial number prefix\n",
                                         "Invalid serial number obtained from argument [%s]");
        return params->serialNumber != 0;
    case 'r':
        params->routerSerial = serialArg(display, arg, "Discarding '0x' router serial number prefix\n",
                                         "Invalid router serial number obtained from argument [%s]");
        return params->routerSerial != 0;
    case 'b': {
        const uint32_t build = _get_int_arg(arg, &end);
        // Digits whose number does not fit 32 bits name no build (0 would
        // silently mean the latest one).
        if (build == 0 && arg[0] != '\0' && arg[strspn(arg, "0123456789")] == '\0' &&
            arg[strspn(arg, "0")] != '\0') {
            display.message(UpdaterDisplayInterface::ERROR, "Invalid build number obtained from argument [%s]", arg);
            return false;
        }
        params->build = std::to_string(build);
        break;
    }
    case 'o': params->baudRate = _get_int_arg(arg, &end); break;
    case 't':
        params->transportGiven = true;
        params->transport = transportArg(arg);
        if (params->transport == TRANSPORT_INVALID) {
            display.message(UpdaterDisplayInterface::ERROR,
                            "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER", arg);
            return false;
        }
        break;
    case 'm': params->ueiBytes = strncmp(arg, "1", 1) == 0 || strncmp(arg, "true", 4) == 0; break;
    case 'X': logMaskArg(display, arg, params); break;
    case 'Z': params->commands.Set(COMMAND_Z); break;
    case 'i': params->storeDir = arg; break;
    case 'f': params->birdFile = arg; break;
    case 's': params->serialPort = arg; break;
    case 'l': params->historyMessage = arg; break;
    case 'k': params->logFile = arg; break;
    case 'e': params->echo = true; break;
    case 'n': params->nFlag = true; break;
    case 'u':
        params->serverUrl = serverUrlArg(arg);
        ++urlChoices;
        break;
    }
    return true;
}

} // namespace

int _get_params(UpdaterDisplayInterface& display, int argc, char** argv, Parameters* params)
{
    setDefaults(params, argc > 0 ? argv[0] : nullptr);

    bool failed = false;
    int urlChoices = 0;
    CSimpleOptTempl<char> parser(argc, argv, g_rgOptions);
    while (parser.Next()) {
        if (parser.LastError() != OPTION_OK)
            continue;
        switch (parser.OptionId()) {
        case OPTION_HELP:
            params->commands.Set(COMMAND_HELP);
            params->help = true;
            return 0;
        case OPTION_HTTPS:
            params->serverUrl = HTTPS_BASE_URL;
            ++urlChoices;
            break;
        case OPTION_HTTP:
            params->serverUrl = HTTP_BASE_URL;
            ++urlChoices;
            break;
        case OPTION_COMMAND:
            failed |= !storeCommand(display, parser.OptionText(), params);
            break;
        case OPTION_PARAMETER:
            failed |= !storeParameter(display, parser.OptionText(), parser.OptionArg(), params, urlChoices);
            break;
        }
    }

    if (urlChoices > 1) {
        display.message(UpdaterDisplayInterface::ERROR,
                        "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.");
        failed = true;
    }

    Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params->programName.c_str());
    for (int i = 0; i < argc; ++i)
        Log::log(DEBUG_APP, "\t[%s]\n", argv[i]);

    return failed ? 1 : _validate_params(params);
}

int _validate_params(Parameters*)
{
    return 0;
}

int _release_params(Parameters* params)
{
    free(params->releaseBuffer);
    params->releaseBuffer = nullptr;
    return 0;
}

uint32_t _get_hex_arg(const char* text, char** end)
{
    return convertDigits(text, end, "0123456789ABCDEFabcdef", 16);
}

uint32_t _get_int_arg(const char* text, char** end)
{
    return convertDigits(text, end, "0123456789", 10);
}
