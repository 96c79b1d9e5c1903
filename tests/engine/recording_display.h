// A display for engine tests: records every call of the interface in order,
// one line each ("info ...", "error ...", "spinner on LABEL", ...).
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "engine/UpdaterDisplayInterface.h"

namespace enginetest {

class RecordingDisplay : public UpdaterDisplayInterface {
public:
    std::vector<std::string> calls;

    void display_progress(bool show) override { calls.push_back(std::string("progress ") + (show ? "on" : "off")); }
    void update_progress(double fraction, const char* label) override
    {
        calls.push_back("bar " + std::to_string(fraction) + " " + (label ? label : "-"));
    }
    void update_spinner(bool spin, const char* label) override
    {
        calls.push_back(std::string("spinner ") + (spin ? "on " : "off ") + (label ? label : "-"));
    }
    void info_message(const char* text) override { calls.push_back(std::string("info ") + text); }
    void error_message(const char* text) override { calls.push_back(std::string("error ") + text); }

    // The calls that are no spinner turns.
    std::vector<std::string> lines() const
    {
        std::vector<std::string> out;
        std::copy_if(calls.begin(), calls.end(), std::back_inserter(out),
                     [](const std::string& c) { return c.rfind("spinner ", 0) != 0; });
        return out;
    }
    size_t count(const std::string& call) const { return size_t(std::count(calls.begin(), calls.end(), call)); }
};

} // namespace enginetest
