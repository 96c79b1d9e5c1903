// Firmware version numbers packed into 32 bits as devices report them, and the
// device library's own version and feature list.
//
// Two layouts: below 2.15, major in bits 28-31, minor in bits 24-27 and patch
// in bits 0-23; from 2.15 on, 0x2F in bits 24-31, then major, minor and patch
// one byte each.
#pragma once

#include <cstddef>
#include <cstdint>

typedef uint32_t aPackedVersion;

#define aVERSION_MAJOR 2
#define aVERSION_MINOR 12
#define aVERSION_PATCH 4
// The text between minor and patch in the library's version text.
#define aVERSION_PHASE "."

aPackedVersion aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);
bool aVersion_IsLegacyFormat(aPackedVersion version);
uint8_t aVersion_ParseMajor(aPackedVersion version);
uint8_t aVersion_ParseMinor(aPackedVersion version);
uint32_t aVersion_ParsePatch(aPackedVersion version);
// Writes "major.minor.patch" into buffer, cut to size and always terminated.
void aVersion_ParseString(aPackedVersion version, char* buffer, size_t size);

uint8_t aVersion_GetMajor();
uint8_t aVersion_GetMinor();
uint32_t aVersion_GetPatch();
// "2.12.4"; the same constant buffer on every call.
const char* aVersion_GetString();

// True when the library's version is at least major.minor.patch.
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);
// True when version a is at least version b.
bool aVersion_IsAtLeastCompare(uint8_t majorA, uint8_t minorA, uint8_t patchA,
                               uint8_t majorB, uint8_t minorB, uint8_t patchB);

// True when name is exactly one of the library's feature names.
bool aVersion_HasFeature(const char* name);
// A new text with one "name - description" line per feature (NULL when memory
// runs out); release it with aVersion_DestroyFeatureList.
char* aVersion_GetFeatureList();
void aVersion_DestroyFeatureList(char** list);
