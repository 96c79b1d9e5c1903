// The command line as the updater reads it: defaults, each option's value,
// the reports of bad values, what is skipped without a word, and the debug
// traces of the parse.
#include "cli/Parameters.h"
#include "engine/Log.h"
#include "platform/aDirectory.h"
#include "tests/cli/command_line.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

class RecordingDisplay : public UpdaterDisplayInterface {
public:
    std::vector<std::string> infos;
    std::vector<std::string> errors;

    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char* text) override { infos.push_back(text); }
    void error_message(const char* text) override { errors.push_back(text); }
};

class ParametersTest : public ::testing::Test {
protected:
    RecordingDisplay display;
    Parameters params;

    void SetUp() override { Log::package_bitmask = 0; }
    void TearDown() override
    {
        Log::package_bitmask = 0;
        Log::SetOutput(nullptr);
        _release_params(&params);
    }

    int parse(std::vector<std::string> args)
    {
        CommandLine line(std::move(args));
        return _get_params(display, line.argc(), line.argv(), &params);
    }
};

const char* const INVALID_SERIAL = "Invalid serial number obtained from argument [%s]";
const char* const INVALID_BUILD = "Invalid build number obtained from argument [%s]";

std::string format(const char* pattern, const std::string& value)
{
    char text[512];
    snprintf(text, sizeof text, pattern, value.c_str());
    return text;
}

std::string invalidTransport(const std::string& value)
{
    return format("Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER", value);
}

const std::string MULTIPLE_URLS =
    "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.";

struct ValueCase {
    std::vector<std::string> args;
    int result;
    std::vector<std::string> errors;
    std::function<void(const Parameters&)> check;
};

} // namespace

TEST_F(ParametersTest, DefaultsWithoutOptions)
{
    ASSERT_EQ(parse({}), 0);
    EXPECT_TRUE(display.errors.empty());
    EXPECT_FALSE(params.commands.IsSet(0xFFFFFFFF));
    EXPECT_EQ(params.serialNumber, 0u);
    EXPECT_EQ(params.routerSerial, 0u);
    EXPECT_EQ(params.transport, TRANSPORT_USB);
    EXPECT_FALSE(params.transportGiven);
    EXPECT_EQ(params.serialPort, "");
    EXPECT_EQ(params.baudRate, 115200u);
    EXPECT_EQ(params.moduleAddress, 0);
    EXPECT_EQ(params.birdFile, "");
    EXPECT_EQ(params.historyMessage, "");
    EXPECT_EQ(params.build, "");
    EXPECT_FALSE(params.echo);
    EXPECT_EQ(params.serverUrl, HTTP_BASE_URL);
    EXPECT_EQ(params.serverUrl, "http://" + std::string(UPDATE_SERVER_HOST) + UPDATE_SERVER_PATH);
    EXPECT_FALSE(params.nFlag);
    EXPECT_EQ(params.storeDir, "");
    EXPECT_EQ(params.programName, "updater");
    EXPECT_EQ(params.logMode, "a+");
    EXPECT_EQ(params.logFile, "Updater.log");
    EXPECT_EQ(params.releaseBuffer, nullptr);
    EXPECT_FALSE(params.override);
    EXPECT_TRUE(params.ueiBytes);
    EXPECT_EQ(params.logMask, 0u);
    EXPECT_FALSE(params.extendedHelp);
    EXPECT_FALSE(params.help);

    char home[2048];
    ASSERT_EQ(aDirectory_GetHomeDirectory(home, sizeof home), aErrNone);
    EXPECT_EQ(params.homeDir, home);
}

TEST_F(ParametersTest, ParameterValues)
{
    const ValueCase cases[] = {
        // Serial numbers: hexadecimal, any case, with or without "0x", as either argument form.
        {{"-d", "0x40F5849A"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serialNumber, 0x40F5849Au); }},
        {{"-d", "0X40f5849a"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serialNumber, 0x40F5849Au); }},
        {{"-d", "40f5849a"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serialNumber, 0x40F5849Au); }},
        {{"-d=40F5849A"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serialNumber, 0x40F5849Au); }},
        {{"-d", "FFFFFFFF"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serialNumber, 0xFFFFFFFFu); }},
        {{"-d", "00000000040F5849A"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serialNumber, 0x40F5849Au); }},
        {{"-r", "0xD272031D"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.routerSerial, 0xD272031Du); }},
        // Builds: decimal text of the number; anything else is "0".
        {{"-b", "0012"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.build, "12"); }},
        {{"-b", "99528558"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.build, "99528558"); }},
        {{"-b", "abc"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.build, "0"); }},
        {{"-b", "12a"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.build, "0"); }},
        {{"-b", "-1"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.build, ""); }},
        // A build number wider than 32 bits is no build, not the build of its low bits.
        {{"-b", "4294967297"}, 1, {format(INVALID_BUILD, "4294967297")}, [](const Parameters& p) { EXPECT_EQ(p.build, ""); }},
        {{"-b", "00000000000000000000"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.build, "0"); }},
        {{"-b", "4294967295"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.build, "4294967295"); }},
        // Baud rates: decimal, silently 0 otherwise.
        {{"-o", "9600"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.baudRate, 9600u); }},
        {{"-o", "9600x"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.baudRate, 0u); }},
        {{"-o", "4294977896"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.baudRate, 0u); }},
        // Transports by their first characters.
        {{"-t", "USB"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.transport, TRANSPORT_USB); EXPECT_TRUE(p.transportGiven); }},
        {{"-t", "USB3"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.transport, TRANSPORT_USB); }},
        {{"-t", "TCP"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.transport, TRANSPORT_TCP); }},
        {{"-t", "TCPIP"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.transport, TRANSPORT_TCP); }},
        {{"-t", "RECOVERY"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.transport, TRANSPORT_RECOVER); }},
        {{"-t", "RECOVER"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.transport, TRANSPORT_RECOVER); }},
        // UEI byte loading: "1..." or "true..." only.
        {{"-m", "yes"}, 0, {}, [](const Parameters& p) { EXPECT_FALSE(p.ueiBytes); }},
        {{"-m", "0"}, 0, {}, [](const Parameters& p) { EXPECT_FALSE(p.ueiBytes); }},
        {{"-m", "True"}, 0, {}, [](const Parameters& p) { EXPECT_FALSE(p.ueiBytes); }},
        {{"-m", "true_please"}, 0, {}, [](const Parameters& p) { EXPECT_TRUE(p.ueiBytes); }},
        {{"-m", "10"}, 0, {}, [](const Parameters& p) { EXPECT_TRUE(p.ueiBytes); }},
        // Texts and flags as given.
        {{"-i", "/data/fw", "-f", "a.bird", "-s", "/dev/ttyUSB0", "-l", "fixed it", "-k", "u.log", "-e", "-n"},
         0, {}, [](const Parameters& p) {
             EXPECT_EQ(p.storeDir, "/data/fw");
             EXPECT_EQ(p.birdFile, "a.bird");
             EXPECT_EQ(p.serialPort, "/dev/ttyUSB0");
             EXPECT_EQ(p.historyMessage, "fixed it");
             EXPECT_EQ(p.logFile, "u.log");
             EXPECT_TRUE(p.echo);
             EXPECT_TRUE(p.nFlag);
         }},
        // The last of a repeated option counts.
        {{"-s", "a", "-s", "b", "-d", "1", "-d", "2"}, 0, {}, [](const Parameters& p) {
             EXPECT_EQ(p.serialPort, "b");
             EXPECT_EQ(p.serialNumber, 2u);
         }},
        // Update server choices.
        {{"--http"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serverUrl, HTTP_BASE_URL); }},
        {{"--https"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serverUrl, HTTPS_BASE_URL); }},
        {{"-u", "https://127.0.0.1:8443/cgi/u"}, 0, {},
         [](const Parameters& p) { EXPECT_EQ(p.serverUrl, "https://127.0.0.1:8443/cgi/u"); }},
        // "host:port", as the usage text offers it, becomes a base URL.
        {{"-u", "fw.example:8080"}, 0, {},
         [](const Parameters& p) { EXPECT_EQ(p.serverUrl, "http://fw.example:8080/cgi/u"); }},
    };
    for (const ValueCase& c : cases) {
        SCOPED_TRACE(c.args.front() + " " + c.args.back());
        display.errors.clear();
        EXPECT_EQ(parse(c.args), c.result);
        EXPECT_EQ(display.errors, c.errors);
        EXPECT_TRUE(display.infos.empty());
        c.check(params);
    }
}

TEST_F(ParametersTest, CommandOptions)
{
    const struct {
        const char* option;
        COMMANDS command;
    } cases[] = {
        {"-D", COMMAND_DISCOVER},       {"-U", COMMAND_UPDATE},
        {"-B", COMMAND_LIST_BUILDS},    {"-G", COMMAND_GET_BUILD},
        {"-I", COMMAND_SHOW_INFO},      {"-C", COMMAND_CHECK_BIRDFILE},
        {"-N", COMMAND_FINGERPRINT},    {"-L", COMMAND_LIST_LOCAL_BUILDS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.option);
        ASSERT_EQ(parse({c.option}), 0);
        EXPECT_TRUE(params.commands.IsSet(c.command));
        EXPECT_FALSE(params.commands.IsSet(~static_cast<uint32_t>(c.command)));
    }

    ASSERT_EQ(parse({"-Z", "ignored"}), 0);
    EXPECT_TRUE(params.commands.IsSet(COMMAND_Z));
    // -Z without its argument is skipped.
    ASSERT_EQ(parse({"-Z"}), 0);
    EXPECT_FALSE(params.commands.IsSet(COMMAND_Z));

    // -OVERRIDE, or any prefix of it, is a flag and no command.
    ASSERT_EQ(parse({"-O"}), 0);
    EXPECT_TRUE(params.override);
    EXPECT_FALSE(params.commands.IsSet(0xFFFFFFFF));

    ASSERT_EQ(parse({"-G", "-U", "-d", "40F5849A"}), 0);
    EXPECT_TRUE(params.commands.IsSet(COMMAND_GET_BUILD));
    EXPECT_TRUE(params.commands.IsSet(COMMAND_UPDATE));
    EXPECT_FALSE(params.commands.IsSet(COMMAND_DISCOVER | COMMAND_LIST_BUILDS));
    EXPECT_TRUE(display.errors.empty());
}

TEST_F(ParametersTest, BadValuesAreReportedAndFailTheParse)
{
    const ValueCase cases[] = {
        {{"-d", "40F5849G"}, 1, {format(INVALID_SERIAL, "40F5849G")},
         [](const Parameters& p) { EXPECT_EQ(p.serialNumber, 0u); }},
        {{"-d", "0"}, 1, {format(INVALID_SERIAL, "0")}, [](const Parameters&) {}},
        {{"-d", "0x"}, 1, {format(INVALID_SERIAL, "")}, [](const Parameters&) {}},
        {{"-d="}, 1, {format(INVALID_SERIAL, "")}, [](const Parameters&) {}},
        {{"-d", " 40F5849A"}, 1, {format(INVALID_SERIAL, " 40F5849A")}, [](const Parameters&) {}},
        // Nine digits are a mistyped serial number, not the device of the low 32 bits.
        {{"-d", "140F5849A"}, 1, {format(INVALID_SERIAL, "140F5849A")},
         [](const Parameters& p) { EXPECT_EQ(p.serialNumber, 0u); }},
        {{"-d", "0x11223344556677889900"}, 1, {format(INVALID_SERIAL, "11223344556677889900")},
         [](const Parameters&) {}},
        {{"-r", "0xZZ"}, 1, {"Invalid router serial number obtained from argument [ZZ]"}, [](const Parameters&) {}},
        {{"-t", "usb"}, 1, {invalidTransport("usb")}, [](const Parameters& p) {
             EXPECT_EQ(p.transport, TRANSPORT_INVALID);
             EXPECT_TRUE(p.transportGiven);
         }},
        {{"-t", "US"}, 1, {invalidTransport("US")}, [](const Parameters&) {}},
        {{"-Y"}, 1, {"Unhandled command: [-Y]"}, [](const Parameters&) {}},
        {{"--http", "--https"}, 1, {MULTIPLE_URLS}, [](const Parameters& p) { EXPECT_EQ(p.serverUrl, HTTPS_BASE_URL); }},
        {{"--https", "--https"}, 1, {MULTIPLE_URLS}, [](const Parameters&) {}},
        {{"-u", "X", "--http"}, 1, {MULTIPLE_URLS}, [](const Parameters& p) { EXPECT_EQ(p.serverUrl, HTTP_BASE_URL); }},
        // Every bad value is reported, and good values around them are kept.
        {{"-d", "zz", "-s", "/dev/ttyS1", "-r", "0", "-t", "bad", "-Y", "-b", "7"},
         1,
         {format(INVALID_SERIAL, "zz"), "Invalid router serial number obtained from argument [0]",
          invalidTransport("bad"), "Unhandled command: [-Y]"},
         [](const Parameters& p) {
             EXPECT_EQ(p.serialPort, "/dev/ttyS1");
             EXPECT_EQ(p.build, "7");
         }},
        // An unprocessed -X tail is reported but is no error.
        {{"-X", "0x2G"}, 0, {"Invalid format for \"-X\" parameter, unprocessed characters [G]"},
         [](const Parameters& p) {
             EXPECT_TRUE(p.extendedHelp);
             EXPECT_EQ(Log::package_bitmask, 0u);
         }},
    };
    for (const ValueCase& c : cases) {
        SCOPED_TRACE(c.args.front() + " " + c.args.back());
        display.errors.clear();
        Log::package_bitmask = 0;
        EXPECT_EQ(parse(c.args), c.result);
        EXPECT_EQ(display.errors, c.errors);
        EXPECT_TRUE(display.infos.empty());
        c.check(params);
    }
}

TEST_F(ParametersTest, UnmatchedOptionsAndStrayWordsPassSilently)
{
    const ValueCase cases[] = {
        {{"-d40F5849A"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serialNumber, 0u); }},
        {{"-d"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serialNumber, 0u); }},
        {{"-d", "-U"}, 0, {}, [](const Parameters& p) {
             EXPECT_EQ(p.serialNumber, 0u);
             EXPECT_TRUE(p.commands.IsSet(COMMAND_UPDATE));
         }},
        {{"--h"}, 0, {}, [](const Parameters& p) { EXPECT_FALSE(p.help); }},
        {{"--htt"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serverUrl, HTTP_BASE_URL); }},
        {{"-h=1"}, 0, {}, [](const Parameters& p) {
             EXPECT_FALSE(p.help);
             EXPECT_FALSE(p.commands.IsSet(COMMAND_HELP));
         }},
        {{"-DU", "-W", "--", "-"}, 0, {}, [](const Parameters& p) { EXPECT_FALSE(p.commands.IsSet(0xFFFFFFFF)); }},
        {{"foo", "-D", "bar", "-s", "foo", "baz"}, 0, {}, [](const Parameters& p) {
             EXPECT_TRUE(p.commands.IsSet(COMMAND_DISCOVER));
             EXPECT_EQ(p.serialPort, "foo");
         }},
    };
    for (const ValueCase& c : cases) {
        SCOPED_TRACE(c.args.front() + " " + c.args.back());
        EXPECT_EQ(parse(c.args), c.result);
        EXPECT_EQ(display.errors, c.errors);
        c.check(params);
    }
}

TEST_F(ParametersTest, HelpEndsTheParseAtOnce)
{
    for (const char* help : {"-h", "-H", "--help", "--he"}) {
        SCOPED_TRACE(help);
        ASSERT_EQ(parse({"-D", help, "-d", "0", "--http", "--https"}), 0);
        EXPECT_TRUE(params.help);
        EXPECT_TRUE(params.commands.IsSet(COMMAND_HELP));
        EXPECT_TRUE(params.commands.IsSet(COMMAND_DISCOVER));
        EXPECT_TRUE(display.errors.empty());
    }

    // Errors before the help are still reported, but no longer count.
    EXPECT_EQ(parse({"-d", "0", "-h"}), 0);
    EXPECT_EQ(display.errors, (std::vector<std::string>{format(INVALID_SERIAL, "0")}));
}

TEST_F(ParametersTest, DebugMaskEnablesPackagesAndAsksForExtendedHelp)
{
    for (const char* mask : {"0x20", "0X20", "32"}) {
        SCOPED_TRACE(mask);
        Log::package_bitmask = 0;
        ASSERT_EQ(parse({"-X", mask}), 0);
        EXPECT_EQ(params.logMask, 0x20u);
        EXPECT_EQ(Log::package_bitmask, static_cast<unsigned>(DEBUG_ServerComm));
        EXPECT_TRUE(params.extendedHelp);
        EXPECT_TRUE(display.errors.empty());
    }
}

TEST_F(ParametersTest, TracesFollowTheDebugMaskAsItIsRead)
{
    char* text = nullptr;
    size_t length = 0;
    FILE* trace = open_memstream(&text, &length);
    ASSERT_NE(trace, nullptr);
    Log::SetOutput(trace);

    // The router's prefix is read before -X, the serial number's after it.
    ASSERT_EQ(parse({"-r", "0xD272031D", "stray", "-X", "0x10001", "-d", "0x40F5849A"}), 0);
    fclose(trace);
    Log::SetOutput(nullptr);
    const std::string written(text, length);
    free(text);

    EXPECT_EQ(written, "Discarding '0x' serial number prefix\n"
                       "\nApplication parameters:[updater]\n"
                       "\t[/usr/bin/updater]\n"
                       "\t[-r]\n\t[0xD272031D]\n\t[-X]\n\t[0x10001]\n\t[-d]\n\t[0x40F5849A]\n"
                       "\t[stray]\n");
}

TEST_F(ParametersTest, ProgramNameWithoutItsDirectories)
{
    const struct {
        const char* argv0;
        const char* name;
    } cases[] = {
        {"/usr/bin/updater", "updater"},
        {"C:\\tools\\updater.exe", "updater.exe"},
        {"bin/x\\y/upd", "upd"},
        {"updater", "updater"},
        {"dir/", ""},
    };
    for (const auto& c : cases) {
        CommandLine line({"-D"}, c.argv0);
        ASSERT_EQ(_get_params(display, line.argc(), line.argv(), &params), 0);
        EXPECT_EQ(params.programName, c.name) << c.argv0;
    }

    // A program started without even its own name.
    char* none[] = {nullptr};
    EXPECT_EQ(_get_params(display, 0, none, &params), 0);
    EXPECT_EQ(params.programName, "");
    EXPECT_FALSE(params.commands.IsSet(0xFFFFFFFF));
}

TEST_F(ParametersTest, ParseStartsFromTheDefaultsEachTime)
{
    ASSERT_EQ(parse({"-D", "-d", "1", "-O", "-t", "TCP", "-b", "5", "--https"}), 0);
    ASSERT_EQ(parse({}), 0);
    EXPECT_FALSE(params.commands.IsSet(0xFFFFFFFF));
    EXPECT_EQ(params.serialNumber, 0u);
    EXPECT_FALSE(params.override);
    EXPECT_EQ(params.transport, TRANSPORT_USB);
    EXPECT_FALSE(params.transportGiven);
    EXPECT_EQ(params.build, "");
    EXPECT_EQ(params.serverUrl, HTTP_BASE_URL);
}

TEST(NumberArguments, ConvertOnlyWholeDigitTexts)
{
    const struct {
        const char* text;
        uint32_t hex;
        uint32_t decimal;
    } cases[] = {
        {"0", 0, 0},
        {"", 0, 0},
        {"10", 0x10, 10},
        {"00ff", 0xFF, 0},
        {"DEADDEAD", 0xDEADDEAD, 0},
        {"4294967295", 0, 4294967295u},
        {"4294967296", 0, 0},
        {"FFFFFFFF", 0xFFFFFFFF, 0},
        {"100000000", 0, 100000000},
        {"99999999999999999999999", 0, 0},
        {"12 ", 0, 0},
        {"+12", 0, 0},
        {"-1", 0, 0},
        {"0x12", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        char* end = nullptr;
        EXPECT_EQ(_get_hex_arg(c.text, &end), c.hex);
        end = nullptr;
        EXPECT_EQ(_get_int_arg(c.text, &end), c.decimal);
        EXPECT_EQ(_get_hex_arg(c.text, nullptr), 0u);
        EXPECT_EQ(_get_int_arg(c.text, nullptr), 0u);
    }

    // The end pointer points behind a converted text and is left alone otherwise.
    const char* good = "1234";
    char* end = nullptr;
    EXPECT_EQ(_get_int_arg(good, &end), 1234u);
    EXPECT_EQ(end, good + 4);
    char marker = 0;
    end = &marker;
    EXPECT_EQ(_get_hex_arg("12G", &end), 0u);
    EXPECT_EQ(end, &marker);
}

TEST(CommandsClass, SetAndAskByMask)
{
    CommandsClass commands;
    EXPECT_FALSE(commands.IsSet(0xFFFFFFFF));
    EXPECT_TRUE(commands.Set(COMMAND_Z));
    EXPECT_TRUE(commands.Set(COMMAND_HELP));
    EXPECT_TRUE(commands.IsSet(COMMAND_HELP));
    EXPECT_TRUE(commands.IsSet(COMMAND_DISCOVER | COMMAND_Z));
    EXPECT_FALSE(commands.IsSet(COMMAND_DISCOVER | COMMAND_UPDATE | COMMAND_LIST_LOCAL_BUILDS));
}

TEST(ReleaseParams, FreesTheBufferOnce)
{
    Parameters params;
    EXPECT_EQ(_release_params(&params), 0);
    params.releaseBuffer = static_cast<char*>(malloc(64));
    ASSERT_NE(params.releaseBuffer, nullptr);
    // A parse sets every other field afresh but leaves the buffer to be freed.
    RecordingDisplay display;
    CommandLine line({"-D"});
    char* buffer = params.releaseBuffer;
    ASSERT_EQ(_get_params(display, line.argc(), line.argv(), &params), 0);
    EXPECT_EQ(params.releaseBuffer, buffer);

    EXPECT_EQ(_release_params(&params), 0);
    EXPECT_EQ(params.releaseBuffer, nullptr);
    EXPECT_EQ(_release_params(&params), 0);
}
