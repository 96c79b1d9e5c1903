// The console display: lines on the two streams, and the progress bar and
// spinner, which reach a terminal and nothing else.
#include "cli/CLI_Display.h"
#include "output_capture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <unistd.h>

namespace {

const std::string CLEAR = "\r" + std::string(88, ' ') + "\r";

std::string bar(int filled, int blanks)
{
    return std::string(static_cast<size_t>(filled), '=') + ">" + std::string(static_cast<size_t>(blanks), ' ');
}

// What the calls write to standard output when it is of the given kind.
std::string stdoutOf(OutputCapture::Kind kind, const std::function<void(CLI_Display&)>& calls)
{
    CLI_Display display;
    OutputCapture capture(STDOUT_FILENO, kind);
    calls(display);
    return capture.finish();
}

std::string onTerminal(const std::function<void(CLI_Display&)>& calls)
{
    return stdoutOf(OutputCapture::TERMINAL, calls);
}

// Turns the spinner until it has shown the given frame, so that a test
// starts at a known place of the process-wide cycle.
void spinPast(const std::string& frame)
{
    for (int i = 0; i < 8; ++i) {
        std::string shown = onTerminal([](CLI_Display& d) { d.update_spinner(true, nullptr); });
        if (shown == "\r " + frame + "      \r")
            return;
    }
    FAIL() << "the spinner never showed " << frame;
}

} // namespace

TEST(CLIDisplay, MessagesGoToTheirStreamsWithALineEnd)
{
    CLI_Display display;
    OutputCapture out(STDOUT_FILENO, OutputCapture::PIPE);
    OutputCapture err(STDERR_FILENO, OutputCapture::PIPE);
    display.message(UpdaterDisplayInterface::INFO, "found %d", 3);
    display.message(UpdaterDisplayInterface::ERROR, "failed [%s]", "x");
    display.info_message("plain");
    std::string errText = err.finish();
    std::string outText = out.finish();
    EXPECT_EQ(outText, "found 3\nplain\n");
    EXPECT_EQ(errText, "failed [x]\n");
}

TEST(CLIDisplay, ConstructorMakesBothStreamsUnbuffered)
{
    setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
    setvbuf(stderr, nullptr, _IOFBF, BUFSIZ);
    CLI_Display display;
    OutputCapture out(STDOUT_FILENO, OutputCapture::PIPE);
    OutputCapture err(STDERR_FILENO, OutputCapture::PIPE);
    display.info_message("now");
    display.error_message("at once");
    // Nothing flushes the streams before the descriptors go back.
    std::string errText = err.finish();
    std::string outText = out.finish();
    EXPECT_EQ(outText, "now\n");
    EXPECT_EQ(errText, "at once\n");
}

TEST(CLIDisplay, ProgressBarOnATerminal)
{
    const std::string longest(65, 'L');
    struct Case {
        double fraction;
        const char* label;
        std::string expected;
    };
    const Case cases[] = {
        {0.0, nullptr, "\r[" + bar(0, 68) + "] (  0% ) "},
        {0.5, nullptr, "\r[" + bar(34, 34) + "] ( 50% ) "},
        {0.999, nullptr, "\r[" + bar(68, 0) + "] ( 99% ) "},
        // Complete: the pad of -1 leaves one blank before the bracket.
        {1.0, nullptr, "\r[" + bar(69, 1) + "] (100% ) "},
        // "Downloading" takes 11 + 4 columns: the bar is 54 wide.
        {0.5, "Downloading", "\r (Downloading) [" + bar(27, 26) + "] ( 50% ) "},
        {1.0, "Downloading", "\r (Downloading) [" + bar(54, 1) + "] (100% ) "},
        // A 65-character label leaves the bar no columns.
        {0.5, longest.c_str(), "\r (" + longest + ") [> ] ( 50% ) "},
    };
    for (const Case& c : cases) {
        std::string shown = onTerminal([&](CLI_Display& d) { d.update_progress(c.fraction, c.label); });
        EXPECT_EQ(shown, c.expected) << "fraction " << c.fraction << " label " << (c.label ? c.label : "none");
    }
}

TEST(CLIDisplay, ProgressOutOfRangeDrawsTheNearerEnd)
{
    // Unchecked, a negative fraction printed the whole bar and a negative
    // percent, one above 1 ran past the brackets, and NaN was undefined.
    const std::string empty = "\r[" + bar(0, 68) + "] (  0% ) ";
    const std::string full = "\r[" + bar(69, 1) + "] (100% ) ";
    EXPECT_EQ(onTerminal([](CLI_Display& d) { d.update_progress(-0.25, nullptr); }), empty);
    EXPECT_EQ(onTerminal([](CLI_Display& d) { d.update_progress(std::nan(""), nullptr); }), empty);
    EXPECT_EQ(onTerminal([](CLI_Display& d) { d.update_progress(2.0, nullptr); }), full);
    EXPECT_EQ(onTerminal([](CLI_Display& d) { d.update_progress(std::numeric_limits<double>::infinity(), nullptr); }), full);
}

TEST(CLIDisplay, LabelLongerThanTheBarLeavesItNoColumns)
{
    std::string label(80, 'x');
    EXPECT_EQ(onTerminal([&](CLI_Display& d) { d.update_progress(0.5, label.c_str()); }),
              "\r (" + label + ") [> ] ( 50% ) ");
}

TEST(CLIDisplay, ProgressEndClearsTheLineAndItsStartPrintsNothing)
{
    EXPECT_EQ(onTerminal([](CLI_Display& d) { d.display_progress(true); }), "");
    EXPECT_EQ(onTerminal([](CLI_Display& d) { d.display_progress(false); }), CLEAR);
}

TEST(CLIDisplay, SpinnerCyclesThroughEightFramesAcrossClears)
{
    spinPast(".");
    const char* frames[] = {"..", "...", "....", ".....", "....", "...", "..", ".", ".."};
    std::string expected;
    for (const char* frame : frames)
        expected += std::string("\r (Verifying Update) ") + frame + "      \r";
    expected.insert(expected.find("\r (Verifying Update) ....."), CLEAR);
    std::string shown = onTerminal([](CLI_Display& d) {
        for (int i = 0; i < 3; ++i)
            d.update_spinner(true, "Verifying Update");
        // A clear in the middle keeps the cycle where it is.
        d.update_spinner(false, "Verifying Update");
        for (int i = 0; i < 6; ++i)
            d.update_spinner(true, "Verifying Update");
    });
    EXPECT_EQ(shown, expected);
}

TEST(CLIDisplay, NothingButLinesReachesAPipe)
{
    std::string shown = stdoutOf(OutputCapture::PIPE, [](CLI_Display& d) {
        d.display_progress(true);
        d.update_progress(0.5, nullptr);
        d.update_progress(1.0, "Label");
        d.display_progress(false);
        d.update_spinner(true, "Downloading");
        d.update_spinner(false, "Downloading");
        d.message(UpdaterDisplayInterface::INFO, "Elapsed %d", 7);
    });
    EXPECT_EQ(shown, "Elapsed 7\n");
}
