#include "cli/CLI_Display.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// Columns blanked by a line clear: wider than the widest bar or spinner line.
constexpr int CLEAR_WIDTH = 88;
// The bar without a label; a label takes its length plus " (" and ") ".
constexpr int BAR_WIDTH = 69;
constexpr int LABEL_FRAME = 4;
constexpr char BAR[] = "=====================================================================";
static_assert(sizeof BAR - 1 == BAR_WIDTH, "the bar text fills the bar");

constexpr const char* SPINNER_FRAMES[] = {".", "..", "...", "....", ".....", "....", "...", ".."};
constexpr uint8_t SPINNER_FRAME_COUNT = sizeof SPINNER_FRAMES / sizeof SPINNER_FRAMES[0];

bool onTerminal()
{
    return isatty(fileno(stdout)) == 1;
}

void clearLine()
{
    std::printf("\r%*s\r", CLEAR_WIDTH, " ");
}

} // namespace

CLI_Display::CLI_Display()
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool show)
{
    if (!onTerminal())
        return;
    if (!show)
        clearLine();
}

void CLI_Display::update_progress(double fraction, const char* label)
{
    if (!onTerminal())
        return;

    // Out of range the counts below would print the whole bar for a negative
    // fraction, run past the brackets above 1, and be undefined for NaN.
    if (std::isnan(fraction) || fraction < 0.0)
        fraction = 0.0;
    else if (fraction > 1.0)
        fraction = 1.0;

    int width = BAR_WIDTH;
    if (label) {
        // A label too long for the bar leaves it no columns.
        size_t room = std::strlen(label) + LABEL_FRAME;
        width = room < static_cast<size_t>(BAR_WIDTH) ? BAR_WIDTH - static_cast<int>(room) : 0;
    }
    int percent = static_cast<int>(fraction * 100);
    int filled = static_cast<int>(width * fraction);
    // At 1.0 this is -1, which the format takes as one left-aligned column.
    int pad = width - filled - 1;

    if (label)
        std::printf("\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, BAR, pad, "", percent);
    else
        std::printf("\r[%.*s>%*s] (%3d%% ) ", filled, BAR, pad, "", percent);
}

void CLI_Display::update_spinner(bool spin, const char* label)
{
    static uint8_t count = 0;
    if (!onTerminal())
        return;
    if (!spin) {
        clearLine();
        return;
    }
    // The blanks after the frame erase the longer frames before it.
    if (label)
        std::printf("\r (%s) %s      \r", label, SPINNER_FRAMES[count]);
    else
        std::printf("\r %s      \r", SPINNER_FRAMES[count]);
    count = static_cast<uint8_t>((count + 1) % SPINNER_FRAME_COUNT);
}

void CLI_Display::info_message(const char* text)
{
    std::printf("%s\n", text);
}

void CLI_Display::error_message(const char* text)
{
    std::fprintf(stderr, "%s\n", text);
}
