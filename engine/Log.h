// The process-wide debug trace of the updater, its front end and its recovery
// loaders: each line carries a package bit and is written only when that
// package is enabled (package 0 always is).
#pragma once

#include <cstddef>
#include <cstdio>

// The trace packages. 0x10 has no writer; the usage text lists it under the
// name of 0x100 (see Log::PACKAGES).
enum DebugPackage : unsigned int {
    DEBUG_Updater = 0x00000001,
    DEBUG_History = 0x00000002,
    DEBUG_Attributes = 0x00000004,
    DEBUG_BirdFile = 0x00000008,
    DEBUG_ServerComm = 0x00000020,
    DEBUG_Network = 0x00000100,
    DEBUG_Network_SR = 0x00000200,
    DEBUG_Network_FIRM = 0x00000400,
    DEBUG_NXPSerial = 0x00001000,
    DEBUG_NXPSerial_E = 0x00002000,
    DEBUG_NXPSerial_SR = 0x00004000,
    DEBUG_APP = 0x00010000,
    DEBUG_iMXSerial = 0x10000000,
};

// One row of the package table as the usage text prints it.
struct LogPackage {
    const char* name;
    unsigned int bit;
};

class Log {
public:
    Log() = default;
    ~Log() = default;

    // Writes the formatted text (at most 2047 characters, no line end added)
    // with one write to the output when the package is 0 or shares a bit
    // with the enabled mask.
    static void log(unsigned int package, const char* format, ...) __attribute__((format(printf, 2, 3)));
    // The stream that receives trace text; nothing is written while it is null.
    static void SetOutput(FILE* out);
    static void ActivatePackage(unsigned int bits);
    static void DeactivatePackage(unsigned int bits);

    static unsigned int package_bitmask;
    static FILE* fh;
    // Prefixes traces longer than 10 characters with the UTC time, on standard output.
    static bool timestamped;
    static constexpr const char* TIMESTAMP_FORMAT = "%Y:%m:%d:%H:%M:%S";
    static constexpr const char* SEPARATOR = " | ";

    // Every package in ascending bit order, 0x10 included.
    static const LogPackage PACKAGES[];
    static const size_t PACKAGE_COUNT;
};
