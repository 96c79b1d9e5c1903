// Model names as device tables and firmware-file checks show them.
#include <gtest/gtest.h>

#include "common/aDefs.h"

namespace {

TEST(Defs, ModelNames)
{
    struct Case {
        aModelCode code;
        const char* name;
    };
    const Case cases[] = {
        {0, "Unknown"},       {3, "Unknown"},       {4, "Ardel"},        {5, "Bovin"},
        {6, "Unknown"},       {12, "Unknown"},      {13, "Cirrix"},      {14, "Dunel1"},
        {20, "Jessun1"},      {22, "Jessun2"},      {25, "Korvelpro"},   {26, "Orvan"},
        {27, "Nostel"},       {28, "Unknown"},      {0xFFFFFFFFu, "Unknown"},
    };
    for (const Case& c : cases) EXPECT_STREQ(aDefs_GetModelName(c.code), c.name) << c.code;
}

} // namespace
