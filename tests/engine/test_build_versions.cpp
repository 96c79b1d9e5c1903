// Build lists ordered by version, newest first, as the server list printer
// shows them; versions that are not three numbers must not upset the order.
#include "engine/UpdateServerRequest.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

typedef std::map<std::string, std::string> Builds;

std::vector<std::string> order(const Builds& builds)
{
    std::vector<std::string> names;
    for (const auto& entry : UpdateServerRequest::SortBuildsByVersion(builds)) names.push_back(entry.first);
    return names;
}

TEST(BuildVersions, SplitGivesExactlyThreeParts)
{
    const struct {
        const char* version;
        std::vector<std::string> parts;
    } cases[] = {
        {"2.10.4", {"2", "10", "4"}},
        {"2..4", {"2", "", "4"}},
        {"..", {"", "", ""}},
        {"2.10", {}},
        {"2.10.4.1", {}},
        {"", {}},
        {"beta", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(UpdateServerRequest::SplitTessalineVersion(c.version), c.parts) << c.version;
}

TEST(BuildVersions, NewestFirstComparingNumbersNotText)
{
    EXPECT_EQ(order({{"100", "2.10.4"}, {"200", "2.9.0"}, {"300", "2.10.12"}}),
              (std::vector<std::string>{"300", "100", "200"}));
    // Each part counts by its low eight bits, as a packed version holds it.
    EXPECT_EQ(order({{"a", "1.0.0"}, {"b", "1.256.0"}, {"c", "1.0.1"}}), (std::vector<std::string>{"c", "a", "b"}));
    // Blanks and a sign before a number, and text after it, are read as by stoi.
    EXPECT_EQ(order({{"a", "2.10.4beta"}, {"b", " 2.+11.0"}}), (std::vector<std::string>{"b", "a"}));
    // Equal versions keep build-text order.
    EXPECT_EQ(order({{"1", "3.0.0"}, {"2", "3.0.0"}, {"3", "3.0.0"}}), (std::vector<std::string>{"1", "2", "3"}));
}

TEST(BuildVersions, UnreadableVersionsGoLastInBuildOrder)
{
    const Builds builds = {{"1", "2.10.4"},  {"2", "bad"},       {"3", "2.9.0"}, {"4", "2.10"},
                           {"5", "x.1.2"},   {"6", "2.10.12"},   {"7", ""},      {"8", "99999999999.1.1"},
                           {"9", "1..2"}};
    EXPECT_EQ(order(builds), (std::vector<std::string>{"6", "1", "3", "2", "4", "5", "7", "8", "9"}));
}

TEST(BuildVersions, LongMixedListsStayOrdered)
{
    // Enough entries for the sort to leave insertion sort behind, with
    // unreadable versions spread among readable ones.
    Builds builds;
    for (int i = 0; i < 300; ++i) {
        char name[16];
        snprintf(name, sizeof name, "%04d", i);
        builds[name] = i % 3 == 0 ? "unknown" : std::to_string(i % 7) + "." + std::to_string(i % 11) + ".0";
    }
    const auto sorted = UpdateServerRequest::SortBuildsByVersion(builds);
    ASSERT_EQ(sorted.size(), builds.size());
    size_t readable = 0;
    while (readable < sorted.size() && sorted[readable].second != "unknown") ++readable;
    EXPECT_EQ(readable, 200u);
    for (size_t i = readable; i < sorted.size(); ++i) {
        EXPECT_EQ(sorted[i].second, "unknown");
        if (i > readable) {
            EXPECT_LT(sorted[i - 1].first, sorted[i].first);
        }
    }
    auto number = [](const std::string& v) {
        const auto parts = UpdateServerRequest::SplitTessalineVersion(v);
        return std::stoi(parts[0]) * 100 + std::stoi(parts[1]);
    };
    for (size_t i = 1; i < readable; ++i) {
        EXPECT_GE(number(sorted[i - 1].second), number(sorted[i].second));
        if (sorted[i - 1].second == sorted[i].second) {
            EXPECT_LT(sorted[i - 1].first, sorted[i].first);
        }
    }
}

} // namespace
