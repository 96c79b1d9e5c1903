// The console display of the updater: information lines on standard output,
// error lines on standard error, and a progress bar and a spinner that are
// drawn only while standard output is a terminal.
#pragma once

#include "engine/UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface {
public:
    // Makes standard output and standard error unbuffered.
    CLI_Display();

    // true does nothing; false clears the line.
    void display_progress(bool show) override;
    // Draws "[====>   ] ( 50% ) " over the current line; a label goes in front.
    // A fraction outside 0..1 is drawn as the nearer end, one that is not a
    // number as 0.
    void update_progress(double fraction, const char* label) override;
    // true draws the next of the eight frames (growing and shrinking dots);
    // false clears the line and keeps the frame position.
    void update_spinner(bool spin, const char* label) override;
    void info_message(const char* text) override;
    void error_message(const char* text) override;
};
