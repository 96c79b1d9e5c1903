// A command line the tests can hand to the parser: argv over owned words, with
// the program's name first.
#pragma once

#include <string>
#include <vector>

class CommandLine {
public:
    explicit CommandLine(std::vector<std::string> args, std::string program = "/usr/bin/updater")
        : words_(std::move(args))
    {
        words_.insert(words_.begin(), std::move(program));
        for (std::string& word : words_)
            argv_.push_back(&word[0]);
        argv_.push_back(nullptr);
    }
    CommandLine(const CommandLine&) = delete;
    CommandLine& operator=(const CommandLine&) = delete;

    int argc() const { return static_cast<int>(words_.size()); }
    char** argv() { return argv_.data(); }
    // The words as argv now orders them, the program's name left out.
    std::vector<std::string> order() const { return {argv_.begin() + 1, argv_.end() - 1}; }

private:
    std::vector<std::string> words_;
    std::vector<char*> argv_;
};
