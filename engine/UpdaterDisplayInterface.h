// The sink for everything the updater shows its user: information and error
// lines, a progress bar and a spinner. Front ends implement the five operations.
#pragma once

class UpdaterDisplayInterface {
public:
    // The level of a message; any value other than ERROR shows as information.
    enum Level : int { INFO = 0, ERROR = 1 };

    UpdaterDisplayInterface();

    // true: a progress sequence begins; false: it ends and the bar goes away.
    virtual void display_progress(bool show) = 0;
    // Redraws the bar at a completion fraction (0.0 to 1.0), with an optional label.
    virtual void update_progress(double fraction, const char* label) = 0;
    // true: advances the spinner by one frame, with an optional label; false: removes it.
    virtual void update_spinner(bool spin, const char* label) = 0;
    // One line each; the text carries no line end.
    virtual void info_message(const char* text) = 0;
    virtual void error_message(const char* text) = 0;

    // Formats a line (at most 2047 characters) and sends an ERROR to
    // error_message, anything else to info_message; does nothing while muted.
    void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Silences message(); the five operations above still act when called.
    void mute_messages(bool mute);

protected:
    // Sinks are never deleted through this interface.
    ~UpdaterDisplayInterface() = default;

    bool muted;
};
