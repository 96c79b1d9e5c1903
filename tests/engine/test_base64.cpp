// Base64 as the download uses it: firmware files arrive as text and must come
// back byte for byte; damaged text must be refused, never decoded to garbage.
#include "engine/Base64.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

struct Freed {
    void operator()(void* p) const { free(p); }
};

std::unique_ptr<unsigned char, Freed> decode(const std::string& text, size_t* length)
{
    return std::unique_ptr<unsigned char, Freed>(base64_decode(text.data(), text.size(), length));
}

std::string encode(const std::string& bytes)
{
    size_t length = 99;
    std::unique_ptr<char, Freed> text(base64_encode(bytes.data(), bytes.size(), &length));
    EXPECT_NE(text, nullptr);
    EXPECT_EQ(length, strlen(text.get()));
    return std::string(text.get(), length);
}

TEST(Base64, DecodesWholeGroupsWithAndWithoutPadding)
{
    const struct {
        const char* text;
        std::string bytes;
    } cases[] = {
        {"TWFu", "Man"},
        {"TWE=", "Ma"},
        {"TQ==", "M"},
        {"", ""},
        {"Zm9vYmFy", "foobar"},
        {"AAD/", std::string("\x00\x00\xFF", 3)},
        {"+/+/", "\xFB\xFF\xBF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        size_t length = 99;
        auto bytes = decode(c.text, &length);
        ASSERT_NE(bytes, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.get()), length), c.bytes);
        EXPECT_EQ(bytes.get()[length], '\0');
    }
}

TEST(Base64, RefusesTextThatIsNotWholeValidGroups)
{
    const std::string cases[] = {
        "TWFuTWE",          // 7 characters
        "TWFuT",            // one character of a group
        "TW*u",             // outside the alphabet
        "TW u",             // a blank inside
        "TWFu\r",           // a line end left on the text
        "TW\xC3\xA9",       // bytes above 0x7F
        std::string("TW\0u", 4),
        "T=Fu",             // padding in the middle of a group
        "TQ=A",             // padding before a data character
        "TQ==TWFu",         // padding before the last group
        "====",
    };
    for (const std::string& text : cases) {
        SCOPED_TRACE(text);
        size_t length = 99;
        EXPECT_EQ(decode(text, &length), nullptr);
        EXPECT_EQ(length, 0u);
    }
}

TEST(Base64, EncodesWithPaddingAndRoundTripsEveryByte)
{
    EXPECT_EQ(encode(""), "");
    EXPECT_EQ(encode("f"), "Zg==");
    EXPECT_EQ(encode("fo"), "Zm8=");
    EXPECT_EQ(encode("foo"), "Zm9v");
    EXPECT_EQ(encode("foob"), "Zm9vYg==");

    std::string all;
    for (int i = 0; i < 256; ++i) all += char(i);
    for (size_t cut = 250; cut <= all.size(); ++cut) {
        const std::string bytes = all.substr(0, cut);
        const std::string text = encode(bytes);
        EXPECT_EQ(text.size(), 4 * ((cut + 2) / 3));
        size_t length = 0;
        auto back = decode(text, &length);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(back.get()), length), bytes);
    }
}

TEST(Base64, DecodingTableKnowsOnlyTheAlphabet)
{
    std::unique_ptr<unsigned char, Freed> table(_build_decoding_table());
    ASSERT_NE(table, nullptr);
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int c = 0; c < 256; ++c) {
        const size_t at = alphabet.find(char(c));
        EXPECT_EQ(table.get()[c], at == std::string::npos || c == 0 ? 0xFF : at) << c;
    }
}

} // namespace
