// Result codes: every code has its name and description, and codes past the
// last read as aErrUnknown.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "common/aError.h"

namespace {

TEST(Error, NamesAndDescriptionsFollowTheCodes)
{
    struct Case {
        uint32_t code;
        const char* text;
        const char* description;
    };
    const Case cases[] = {
        {aErrNone, "aErrNone", "Success, no error"},
        {aErrParam, "aErrParam", "Invalid parameter"},
        {aErrOverrun, "aErrOverrun", "Buffer/queue overrun"},
        {aErrTimeout, "aErrTimeout", "Timeout occurred"},
        {aErrPacket, "aErrPacket", "Packet byte invalid"},
        {aErrShortCommand, "aErrShortCommand", "Tessaline command to short"},
        {aErrStreamStale, "aErrStreamStale", "Stream value is stale"},
        {aErrUnknown, "aErrUnknown", "Unknown error"},
        {35, "aErrUnknown", "Unknown error"},
        {4294967295u, "aErrUnknown", "Unknown error"},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(aError_GetErrorText(c.code), c.text) << c.code;
        EXPECT_STREQ(aError_GetErrorDescription(c.code), c.description) << c.code;
    }
}

TEST(Error, EveryCodeHasItsOwnName)
{
    std::set<std::string> names, descriptions;
    for (uint32_t code = aErrNone; code <= aErrUnknown; ++code) {
        names.insert(aError_GetErrorText(code));
        descriptions.insert(aError_GetErrorDescription(code));
    }
    EXPECT_EQ(names.size(), 35u);
    EXPECT_EQ(descriptions.size(), 35u);
    EXPECT_EQ(aErrUnknown, 34u);
}

} // namespace
