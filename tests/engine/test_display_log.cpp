// The display interface's message formatting and muting, and the debug log's
// package masks and output.
#include "engine/Log.h"
#include "engine/UpdaterDisplayInterface.h"
#include "tests/engine/recording_display.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using enginetest::RecordingDisplay;

TEST(DisplayMessage, LevelChoosesTheLine)
{
    RecordingDisplay display;
    display.message(UpdaterDisplayInterface::INFO, "build %u of %s", 1234u, "Korvel");
    display.message(UpdaterDisplayInterface::ERROR, "failed: %d", -5);
    display.message(static_cast<UpdaterDisplayInterface::Level>(7), "level %d", 7);
    EXPECT_EQ(display.calls,
              (std::vector<std::string>{"info build 1234 of Korvel", "error failed: -5", "info level 7"}));
}

TEST(DisplayMessage, LongTextIsCutTo2047Characters)
{
    RecordingDisplay display;
    std::string longText(3000, 'x');
    longText[2046] = 'y';
    display.message(UpdaterDisplayInterface::INFO, "%s", longText.c_str());
    ASSERT_EQ(display.calls.size(), 1u);
    EXPECT_EQ(display.calls[0], "info " + longText.substr(0, 2047));
}

TEST(DisplayMessage, MutingSilencesMessagesOnly)
{
    RecordingDisplay display;
    display.mute_messages(true);
    display.message(UpdaterDisplayInterface::INFO, "hidden");
    display.message(UpdaterDisplayInterface::ERROR, "hidden too");
    display.update_spinner(true, "Downloading");
    display.display_progress(true);
    display.update_progress(0.5, nullptr);
    display.mute_messages(false);
    display.message(UpdaterDisplayInterface::ERROR, "shown");
    EXPECT_EQ(display.calls, (std::vector<std::string>{"spinner on Downloading", "progress on", "bar 0.500000 -",
                                                       "error shown"}));
}

// Points the log at a memory stream for the test's duration.
class LogTest : public ::testing::Test {
protected:
    char* buffer = nullptr;
    size_t length = 0;
    FILE* stream = nullptr;

    void SetUp() override
    {
        stream = open_memstream(&buffer, &length);
        ASSERT_NE(stream, nullptr);
        Log::package_bitmask = 0;
        Log::SetOutput(stream);
    }
    void TearDown() override
    {
        Log::SetOutput(nullptr);
        Log::package_bitmask = 0;
        Log::timestamped = false;
        fclose(stream);
        free(buffer);
    }
    std::string written()
    {
        fflush(stream);
        return std::string(buffer, length);
    }
};

TEST_F(LogTest, PackageMaskSelectsLines)
{
    Log::log(0, "always\n");
    Log::log(0x20, "server off\n");
    Log::ActivatePackage(0x21);
    Log::log(0x20, "server on\n");
    Log::log(0x3, "any shared bit\n");
    Log::log(0x8, "bird off\n");
    Log::DeactivatePackage(0x20);
    Log::log(0x20, "server off again\n");
    Log::log(DEBUG_Updater, "updater %d\n", 1);
    EXPECT_EQ(written(), "always\nserver on\nany shared bit\nupdater 1\n");
    EXPECT_EQ(Log::package_bitmask, 0x1u);
}

TEST_F(LogTest, TextIsWrittenAsFormattedAndCut)
{
    Log::log(0, "no line end");
    Log::log(0, " %s|", "then more");
    std::string longText(3000, 'z');
    Log::log(0, "%s", longText.c_str());
    EXPECT_EQ(written(), "no line end then more|" + longText.substr(0, 2047));
}

TEST_F(LogTest, WithoutOutputNothingIsWritten)
{
    Log::SetOutput(nullptr);
    Log::ActivatePackage(0xFFFFFFFF);
    Log::log(0, "dropped %d\n", 1);
    Log::log(DEBUG_BirdFile, "dropped %d\n", 2);
    Log::SetOutput(stream);
    EXPECT_EQ(written(), "");
}

TEST_F(LogTest, TimestampGoesToStandardOutputForLongFormats)
{
    Log::timestamped = true;
    testing::internal::CaptureStdout();
    Log::log(0, "short\n");
    std::string afterShort = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    Log::log(0, "a longer trace\n");
    std::string afterLong = testing::internal::GetCapturedStdout();

    EXPECT_EQ(afterShort, "");
    // "YYYY:MM:DD:HH:MM:SS | "
    ASSERT_EQ(afterLong.size(), 22u) << afterLong;
    for (size_t colon : {4u, 7u, 10u, 13u, 16u})
        EXPECT_EQ(afterLong[colon], ':') << afterLong;
    EXPECT_EQ(afterLong.substr(19), " | ");
    EXPECT_EQ(written(), "short\na longer trace\n");
}

} // namespace
