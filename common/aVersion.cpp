#include "common/aVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

constexpr aPackedVersion kCurrentMarker = 0x2F000000u;

struct Feature {
    const char* name;
    const char* description;
};

const Feature FEATS[] = {
    {"VERSION", "Version Query API"},
};

constexpr const char* kFeatureSeparator = " - ";

// The version read in the legacy layout, major and minor from the top two nibbles.
uint8_t sLegacyMajor(aPackedVersion version) { return static_cast<uint8_t>(version >> 28); }
uint8_t sLegacyMinor(aPackedVersion version) { return static_cast<uint8_t>((version >> 24) & 0xF); }

} // namespace

aPackedVersion aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch)
{
    if (major > 2 || (major == 2 && minor > 14)) {
        return kCurrentMarker | static_cast<aPackedVersion>(major) << 16
               | static_cast<aPackedVersion>(minor) << 8 | patch;
    }
    return static_cast<aPackedVersion>(major) << 28
           | static_cast<aPackedVersion>(minor & 0xF) << 24 | patch;
}

bool aVersion_IsLegacyFormat(aPackedVersion version)
{
    return aVersion_IsAtLeastCompare(2, 15, 0, sLegacyMajor(version), sLegacyMinor(version), 255);
}

uint8_t aVersion_ParseMajor(aPackedVersion version)
{
    return aVersion_IsLegacyFormat(version) ? sLegacyMajor(version)
                                            : static_cast<uint8_t>(version >> 16);
}

uint8_t aVersion_ParseMinor(aPackedVersion version)
{
    return aVersion_IsLegacyFormat(version) ? sLegacyMinor(version)
                                            : static_cast<uint8_t>(version >> 8);
}

uint32_t aVersion_ParsePatch(aPackedVersion version)
{
    return aVersion_IsLegacyFormat(version) ? (version & 0xFFFFFFu) : (version & 0xFFu);
}

void aVersion_ParseString(aPackedVersion version, char* buffer, size_t size)
{
    if (!buffer || size == 0) return;
    snprintf(buffer, size, "%d.%d.%u", aVersion_ParseMajor(version),
             aVersion_ParseMinor(version), aVersion_ParsePatch(version));
}

uint8_t aVersion_GetMajor() { return aVERSION_MAJOR; }
uint8_t aVersion_GetMinor() { return aVERSION_MINOR; }
uint32_t aVersion_GetPatch() { return aVERSION_PATCH; }

const char* aVersion_GetString()
{
    static char text[15];
    static std::once_flag built;
    std::call_once(built, [] {
        memset(text, 0, sizeof text);
        snprintf(text, sizeof text, "%d.%d%s%d", aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PHASE,
                 aVERSION_PATCH);
    });
    return text;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch)
{
    return aVersion_IsAtLeastCompare(aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PATCH, major, minor,
                                     patch);
}

bool aVersion_IsAtLeastCompare(uint8_t majorA, uint8_t minorA, uint8_t patchA,
                               uint8_t majorB, uint8_t minorB, uint8_t patchB)
{
    if (majorA != majorB) return majorA > majorB;
    if (minorA != minorB) return minorA > minorB;
    return patchA >= patchB;
}

bool aVersion_HasFeature(const char* name)
{
    if (!name) return false;
    for (const Feature& feature : FEATS) {
        if (strcmp(feature.name, name) == 0) return true;
    }
    return false;
}

char* aVersion_GetFeatureList()
{
    size_t size = 1;
    for (const Feature& feature : FEATS) {
        if (size > 1) size += 1;
        size += strlen(feature.name) + strlen(kFeatureSeparator) + strlen(feature.description);
    }
    char* list = static_cast<char*>(calloc(size, 1));
    if (!list) return nullptr;
    for (const Feature& feature : FEATS) {
        if (list[0]) strcat(list, "\n");
        strcat(list, feature.name);
        strcat(list, kFeatureSeparator);
        strcat(list, feature.description);
    }
    return list;
}

void aVersion_DestroyFeatureList(char** list)
{
    if (!list) return;
    free(*list);
    *list = nullptr;
}
