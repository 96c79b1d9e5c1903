// The printed results: each line as it reaches the display.
#include "cli/Printers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Keeps the lines instead of writing them, each marked with its stream.
class RecordingDisplay : public CLI_Display {
public:
    void info_message(const char* text) override { lines.push_back(std::string("out:") + text); }
    void error_message(const char* text) override { lines.push_back(std::string("err:") + text); }

    std::vector<std::string> lines;
};

using Lines = std::vector<std::string>;

} // namespace

TEST(Printers, VersionLine)
{
    RecordingDisplay display;
    _display_app_version(display);
    EXPECT_EQ(display.lines, Lines{"out:Updater (Version: 2.12.4 May 26 2026)"});
}

TEST(Printers, FingerprintWordsInIndexOrder)
{
    RecordingDisplay display;
    Fingerprint fingerprint{{0x0000ABCD, 0xDEADBEEF, 0x1, 0xFFFFFFFF}};
    _display_fingerprint(display, fingerprint);
    EXPECT_EQ(display.lines, Lines{"out:[ 0000ABCD DEADBEEF 00000001 FFFFFFFF ]"});
}

TEST(Printers, EmptyBuildListIsOneLineWithoutHeader)
{
    RecordingDisplay display;
    _display_builds(display, {}, 0x40F5849A);
    EXPECT_EQ(display.lines, Lines{"out:No builds found for device [40F5849A]"});
}

TEST(Printers, BuildListNewestVersionFirstInFifteenColumns)
{
    RecordingDisplay display;
    _display_builds(display,
                    {{"99528558", "2.10.4"},
                     {"1234", "2.12.0"},
                     {"123456789012345678", "2.9.17"},
                     {"77", "a version text longer than fifteen"}},
                    0xAB);
    EXPECT_EQ(display.lines, (Lines{
                                 "out:Build List for device [000000AB]:\n",
                                 "out:Build          \tVersion        ",
                                 "out:1234           \t2.12.0         ",
                                 "out:99528558       \t2.10.4         ",
                                 "out:123456789012345\t2.9.17         ",
                                 "out:77             \ta version text ",
                             }));
}
