// Path building of the update engine: components joined with the separator,
// exactly as given.
#pragma once

#include <string>

// The components up to a null pointer, joined with "/": first, then "/" and
// each further one. Nothing is normalised ("a/" and "b" give "a//b").
std::string BuildPath(const char* first, ...) __attribute__((sentinel));
