// test-labels: unit threaded
// Packed firmware versions in both layouts, comparisons, and the library's
// own version and features, whose text is built once however many threads
// ask for it first.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/aVersion.h"

namespace {

TEST(Version, PackChoosesTheLayout)
{
    struct Case {
        uint8_t major, minor, patch;
        aPackedVersion packed;
        uint8_t parsedMajor, parsedMinor;
        uint32_t parsedPatch;
    };
    const Case cases[] = {
        {2, 14, 7, 0x2E000007u, 2, 14, 7},
        {2, 15, 7, 0x2F020F07u, 2, 15, 7},
        {1, 20, 3, 0x14000003u, 1, 4, 3},     // minor cut to its low 4 bits
        {3, 0, 255, 0x2F0300FFu, 3, 0, 255},
        {0, 0, 0, 0x00000000u, 0, 0, 0},
        {255, 255, 255, 0x2FFFFFFFu, 255, 255, 255},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.major) << "." << int(c.minor) << "." << int(c.patch));
        const aPackedVersion packed = aVersion_Pack(c.major, c.minor, c.patch);
        EXPECT_EQ(packed, c.packed);
        EXPECT_EQ(aVersion_ParseMajor(packed), c.parsedMajor);
        EXPECT_EQ(aVersion_ParseMinor(packed), c.parsedMinor);
        EXPECT_EQ(aVersion_ParsePatch(packed), c.parsedPatch);
    }
}

TEST(Version, LegacyLayoutCarriesA24BitPatch)
{
    const aPackedVersion legacy = 0x1A000000u | 100000u;
    EXPECT_TRUE(aVersion_IsLegacyFormat(legacy));
    EXPECT_EQ(aVersion_ParseMajor(legacy), 1);
    EXPECT_EQ(aVersion_ParseMinor(legacy), 10);
    EXPECT_EQ(aVersion_ParsePatch(legacy), 100000u);
}

TEST(Version, LayoutFollowsTheTopByte)
{
    for (uint32_t top = 0; top < 256; ++top) {
        const aPackedVersion value = top << 24 | 0x00123456u;
        const bool legacy = (top >> 4) < 2 || ((top >> 4) == 2 && (top & 0xF) < 15);
        EXPECT_EQ(aVersion_IsLegacyFormat(value), legacy) << std::hex << top;
    }
    const aPackedVersion current = 0x30010203u;
    EXPECT_EQ(aVersion_ParseMajor(current), 1);
    EXPECT_EQ(aVersion_ParseMinor(current), 2);
    EXPECT_EQ(aVersion_ParsePatch(current), 3u);
}

TEST(Version, ParseStringIsCutAndTerminated)
{
    char text[16];
    aVersion_ParseString(aVersion_Pack(2, 15, 7), text, sizeof text);
    EXPECT_STREQ(text, "2.15.7");
    aVersion_ParseString(0x1A000000u | 100000u, text, sizeof text);
    EXPECT_STREQ(text, "1.10.100000");

    char small[5];
    memset(small, 'x', sizeof small);
    aVersion_ParseString(aVersion_Pack(2, 15, 7), small, sizeof small);
    EXPECT_STREQ(small, "2.15");
    aVersion_ParseString(aVersion_Pack(2, 15, 7), small, 0);
    aVersion_ParseString(aVersion_Pack(2, 15, 7), nullptr, 8);
}

TEST(Version, Comparisons)
{
    struct Case {
        uint8_t a[3], b[3];
        bool atLeast;
    };
    const Case cases[] = {
        {{2, 10, 4}, {2, 10, 4}, true},
        {{2, 10, 3}, {2, 10, 4}, false},
        {{3, 0, 0}, {2, 255, 255}, true},
        {{2, 11, 0}, {2, 10, 255}, true},
        {{1, 255, 255}, {2, 0, 0}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(aVersion_IsAtLeastCompare(c.a[0], c.a[1], c.a[2], c.b[0], c.b[1], c.b[2]), c.atLeast)
            << int(c.a[0]) << "." << int(c.a[1]) << "." << int(c.a[2]) << " vs " << int(c.b[0]) << "."
            << int(c.b[1]) << "." << int(c.b[2]);
    }
    EXPECT_TRUE(aVersion_IsAtLeast(2, 12, 4));
    EXPECT_TRUE(aVersion_IsAtLeast(2, 11, 200));
    EXPECT_FALSE(aVersion_IsAtLeast(2, 12, 5));
}

TEST(Version, LibraryVersion)
{
    EXPECT_EQ(aVersion_GetMajor(), 2);
    EXPECT_EQ(aVersion_GetMinor(), 12);
    EXPECT_EQ(aVersion_GetPatch(), 4u);

    std::vector<const char*> seen(4);
    std::vector<std::thread> threads;
    for (auto& text : seen) threads.emplace_back([&text] { text = aVersion_GetString(); });
    for (auto& thread : threads) thread.join();
    for (const char* text : seen) {
        EXPECT_EQ(text, aVersion_GetString());
        EXPECT_STREQ(text, "2.12.4");
    }
}

TEST(Version, Features)
{
    EXPECT_TRUE(aVersion_HasFeature("VERSION"));
    EXPECT_FALSE(aVersion_HasFeature("version"));
    EXPECT_FALSE(aVersion_HasFeature(""));
    EXPECT_FALSE(aVersion_HasFeature(nullptr));

    char* list = aVersion_GetFeatureList();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "VERSION - Version Query API");
    aVersion_DestroyFeatureList(&list);
    EXPECT_EQ(list, nullptr);
}

} // namespace
