// The updater's command line. Every result of the option parser is a row of
// the table matched by the word (whole, by an unambiguous prefix, or with
// "=argument"), an option that needs an argument has one, and the parsed
// vector holds the same words, those that are no options last and in their
// order. The updater's parameters take any line; number arguments are
// digits only and within 32 bits.
#include "cli/OptionParser.h"
#include "cli/Parameters.h"
#include "tests/engine/recording_display.h"
#include "tests/fuzz/support.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The words of the input, split at NUL bytes; the program's name first.
std::vector<std::string> words(const uint8_t* data, size_t size)
{
    std::vector<std::string> out{"updater"};
    std::string word;
    for (size_t i = 0; i < size && out.size() < 200; ++i) {
        if (data[i] == 0) {
            out.push_back(word);
            word.clear();
        } else {
            word.push_back(char(data[i]));
        }
    }
    if (!word.empty()) out.push_back(word);
    return out;
}

struct Argv {
    std::vector<std::string> storage;
    std::vector<char*> argv;
    explicit Argv(const std::vector<std::string>& w) : storage(w)
    {
        for (std::string& word : storage) argv.push_back(&word[0]);
        argv.push_back(nullptr);
    }
    int argc() const { return int(storage.size()); }
    std::vector<std::string> order() const { return {argv.begin(), argv.end() - 1}; }
};

const CSimpleOptTempl<char>::SOption* row(const char* text)
{
    for (const auto* option = g_rgOptions; option->pszArg; ++option)
        if (std::strcmp(option->pszArg, text) == 0) return option;
    return nullptr;
}

void parseOptions(const std::vector<std::string>& given)
{
    Argv line(given);
    CSimpleOptTempl<char> parser(line.argc(), line.argv.data(), g_rgOptions);
    int results = 0;
    std::vector<const char*> arguments;
    while (parser.Next()) {
        FUZZ_CHECK(++results < line.argc());
        FUZZ_CHECK(parser.OptionText());
        if (parser.LastError() != OPTION_OK) continue;
        const auto* option = row(parser.OptionText());
        FUZZ_CHECK(option && option->nId == parser.OptionId());
        FUZZ_CHECK((option->nArgType == OPTION_ARG_REQUIRED) == (parser.OptionArg() != nullptr));
        if (parser.OptionArg()) arguments.push_back(parser.OptionArg());
    }
    // The same words, the program's name still first.
    const std::vector<char*> parsed(line.argv.begin(), line.argv.end() - 1);
    FUZZ_CHECK(parsed.front() == line.storage.front().c_str());
    std::vector<const char*> before;
    for (const std::string& word : line.storage) before.push_back(word.c_str());
    std::vector<const char*> after(parsed.begin(), parsed.end());
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    FUZZ_CHECK(before == after);
    // Words that do not begin with "-" and are no option's argument end the
    // vector, in their order.
    std::vector<const char*> plain;
    for (size_t i = 1; i < line.storage.size(); ++i) {
        const char* word = line.storage[i].c_str();
        if (word[0] != '-' && std::find(arguments.begin(), arguments.end(), word) == arguments.end())
            plain.push_back(word);
    }
    FUZZ_CHECK(std::equal(plain.begin(), plain.end(), parsed.end() - long(plain.size())));
}

void checkNumber(const std::string& text, uint32_t (*convert)(const char*, char**), const char* digits, int base)
{
    char* end = nullptr;
    const uint32_t value = convert(text.c_str(), &end);
    const bool allDigits = !text.empty() && text.find_first_not_of(digits) == std::string::npos;
    if (!allDigits) {
        FUZZ_CHECK(value == 0);
        return;
    }
    errno = 0;
    const unsigned long long expected = std::strtoull(text.c_str(), nullptr, base);
    if (errno == ERANGE || expected > UINT32_MAX) {
        FUZZ_CHECK(value == 0);
        return;
    }
    FUZZ_CHECK(value == expected);
    FUZZ_CHECK(end == text.c_str() + text.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::vector<std::string> given = words(data, size);
    parseOptions(given);

    Argv line(given);
    enginetest::RecordingDisplay display;
    Parameters params;
    const int result = _get_params(display, line.argc(), line.argv.data(), &params);
    FUZZ_CHECK(result == 0 || result == 1);
    _release_params(&params);

    for (size_t i = 1; i < given.size(); ++i) {
        checkNumber(given[i], _get_hex_arg, "0123456789ABCDEFabcdef", 16);
        checkNumber(given[i], _get_int_arg, "0123456789", 10);
    }
    return 0;
}
