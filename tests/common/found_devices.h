// A discovery callback for tests: collects every link specifier it is given,
// counts them or not, and can end the enumeration at a chosen call.
#pragma once

#include <vector>

#include "common/aDiscovery.h"

struct FoundDevices {
    std::vector<linkSpec> specs;
    int stopAfter = -1; // the callback answers false at this call (0-based)
    bool count = true;  // the callback sets *counted

    static bool collect(const linkSpec* spec, bool* counted, void* reference)
    {
        auto* found = static_cast<FoundDevices*>(reference);
        found->specs.push_back(*spec);
        *counted = found->count;
        return static_cast<int>(found->specs.size()) - 1 != found->stopAfter;
    }
};
