// The option parser over the updater's option table: which option each word
// selects, which argument it takes, which words it refuses, and where the
// words that are not options end up.
#include "cli/OptionParser.h"
#include "cli/Parameters.h"
#include "tests/cli/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Parser = CSimpleOptTempl<char>;

// One parse result as "TEXT", "TEXT=ARG" or "TEXT!ERROR".
std::string describe(const Parser& parser)
{
    std::string text = parser.OptionText() ? parser.OptionText() : "(null)";
    if (parser.LastError() != OPTION_OK)
        return text + "!" + std::to_string(parser.LastError());
    if (parser.OptionArg())
        return text + "=" + parser.OptionArg();
    return text;
}

std::vector<std::string> parseAll(CommandLine& line)
{
    Parser parser(line.argc(), line.argv(), g_rgOptions);
    std::vector<std::string> results;
    while (parser.Next())
        results.push_back(describe(parser));
    return results;
}

struct ParseCase {
    std::vector<std::string> args;
    std::vector<std::string> results;
};

} // namespace

TEST(OptionParser, MatchesWordsAgainstTheTable)
{
    const ParseCase cases[] = {
        // Exact texts, case-sensitively.
        {{"-B", "-b", "7", "-D", "-U"}, {"-B", "-b=7", "-D", "-U"}},
        // An unambiguous prefix selects its row, reported by the row's text.
        {{"-O"}, {"-OVERRIDE"}},
        {{"-OVER"}, {"-OVERRIDE"}},
        {{"--he"}, {"--help"}},
        // Prefixes of several rows are ambiguous; a full text wins over a longer row.
        {{"--h"}, {"--h!-2"}},
        {{"--htt"}, {"--htt!-2"}},
        {{"--http"}, {"--http"}},
        {{"--https"}, {"--https"}},
        // The dashes must be as many as the row's.
        {{"-help"}, {"-help!-1"}},
        {{"---help"}, {"---help!-1"}},
        {{"--D"}, {"--D!-1"}},
        // Nothing clumped, nothing glued, no case folding, no bare dashes.
        {{"-DU"}, {"-DU!-1"}},
        {{"-d40F5849A"}, {"-d40F5849A!-1"}},
        {{"-override"}, {"-override!-1"}},
        {{"-"}, {"-!-1"}},
        {{"--"}, {"--!-1"}},
        {{"-=x"}, {"-=x!-1"}},
    };
    for (const ParseCase& c : cases) {
        CommandLine line(c.args);
        EXPECT_EQ(parseAll(line), c.results) << "first word " << c.args.front();
    }
}

TEST(OptionParser, TakesArgumentsFromTheNextWordOrAfterEquals)
{
    const ParseCase cases[] = {
        {{"-d", "40F5849A"}, {"-d=40F5849A"}},
        {{"-d=40F5849A"}, {"-d=40F5849A"}},
        // Only the first "=" cuts the word.
        {{"-l=a=b"}, {"-l=a=b"}},
        {{"-d="}, {"-d="}},
        {{"-l", "a=b"}, {"-l=a=b"}},
        // A prefix takes its argument like the full text.
        {{"--http", "-OV=1"}, {"--http", "-OVERRIDE!-3"}},
        // No argument for an option without one; an unknown word keeps its "=".
        {{"-h=1"}, {"-h!-3"}},
        {{"-q=1"}, {"-q=1!-1"}},
        // Missing argument at the end; a next word with a dash is left to examine.
        {{"-d"}, {"-d!-5"}},
        {{"-d", "-U"}, {"-d!-6", "-U"}},
        {{"-X", "-5"}, {"-X!-6", "-5!-1"}},
        // A word that is not an option is taken as an argument where one is due.
        {{"-s", "foo", "-D"}, {"-s=foo", "-D"}},
    };
    for (const ParseCase& c : cases) {
        CommandLine line(c.args);
        EXPECT_EQ(parseAll(line), c.results) << "first word " << c.args.front();
    }
}

TEST(OptionParser, MovesOtherWordsBehindTheOptionsInTheirOrder)
{
    CommandLine line({"foo", "-D", "bar", "baz", "-s", "port", "", "qux", "-d"});
    EXPECT_EQ(parseAll(line), (std::vector<std::string>{"-D", "-s=port", "-d!-5"}));
    EXPECT_EQ(line.order(), (std::vector<std::string>{"-D", "-s", "port", "-d", "foo", "bar", "baz", "", "qux"}));

    // A word before an option that needs an argument is not that argument.
    CommandLine before({"40F5849A", "-d"});
    EXPECT_EQ(parseAll(before), (std::vector<std::string>{"-d!-5"}));
    EXPECT_EQ(before.order(), (std::vector<std::string>{"-d", "40F5849A"}));

    CommandLine none({"foo", "bar"});
    EXPECT_TRUE(parseAll(none).empty());
    EXPECT_EQ(none.order(), (std::vector<std::string>{"foo", "bar"}));
}

TEST(OptionParser, ReordersLongCommandLines)
{
    // More words than the parser reorders without the heap.
    std::vector<std::string> args;
    std::vector<std::string> expected;
    std::vector<std::string> options;
    std::vector<std::string> others;
    for (int i = 0; i < 40; ++i) {
        args.push_back("word" + std::to_string(i));
        others.push_back(args.back());
        args.push_back("-b");
        args.push_back("-s=" + std::to_string(i));
        options.push_back("-b!-6");
        options.push_back("-s=" + std::to_string(i));
    }
    CommandLine line(args);
    EXPECT_EQ(parseAll(line), options);
    std::vector<std::string> order = line.order();
    ASSERT_EQ(order.size(), 120u);
    EXPECT_EQ(std::vector<std::string>(order.begin() + 80, order.end()), others);
}

TEST(OptionParser, HasNothingToHandOutWithoutWordsOrOnABadStart)
{
    char* noWords[] = {nullptr};
    Parser empty(0, noWords, g_rgOptions);
    EXPECT_FALSE(empty.Next());

    CommandLine programOnly({});
    EXPECT_TRUE(parseAll(programOnly).empty());

    // No optional modes exist.
    CommandLine line({"-D"});
    Parser withFlags(line.argc(), line.argv(), g_rgOptions, 1);
    EXPECT_FALSE(withFlags.Next());

    // Init starts over on another vector, here after a refused start.
    EXPECT_TRUE(withFlags.Init(line.argc(), line.argv(), g_rgOptions));
    ASSERT_TRUE(withFlags.Next());
    EXPECT_EQ(describe(withFlags), "-D");
    EXPECT_EQ(withFlags.OptionId(), OPTION_COMMAND);
    EXPECT_FALSE(withFlags.Next());
}

TEST(OptionParser, ReportsTheRowsIdAndMinusOneForUnknownWords)
{
    CommandLine line({"--https", "-u", "x", "-h", "-W"});
    Parser parser(line.argc(), line.argv(), g_rgOptions);
    std::vector<int> ids;
    while (parser.Next())
        ids.push_back(parser.OptionId());
    EXPECT_EQ(ids, (std::vector<int>{OPTION_HTTPS, OPTION_PARAMETER, OPTION_HELP, -1}));
}
