// The command-line option parser: matches each word that begins with "-"
// against an option table (by its full text or an unambiguous prefix), hands
// out the option with its argument, and moves the words that are not options
// behind the options in the argument vector.
#pragma once

// Argument kinds of an option table row.
enum OptionArgKind : int {
    OPTION_ARG_NONE = 0,     // the option takes no argument
    OPTION_ARG_REQUIRED = 1, // the next word, or the text after "=" in the same word
};

// Errors of one parse result; 0 is a good option.
enum OptionError : int {
    OPTION_OK = 0,
    OPTION_UNKNOWN = -1,           // no row matches the word
    OPTION_AMBIGUOUS = -2,         // the word is a prefix of several rows
    OPTION_UNEXPECTED_ARG = -3,    // "=argument" given to an option that takes none
    // -4 belongs to a strict argument-kind mode that this parser does not offer.
    OPTION_MISSING_ARG = -5,       // the option is the last word
    OPTION_ARG_IS_OPTION = -6,     // the next word begins with "-"; it is left to examine
};

template <class SOCHAR>
class CSimpleOptTempl {
public:
    // One row of an option table; a table ends with the row {-1, nullptr, 0}.
    struct SOption {
        int nId;              // handed out by OptionId
        const SOCHAR* pszArg; // the option's text, dashes included
        int nArgType;         // an OptionArgKind
    };

    // No optional parsing modes exist: flags must be 0.
    CSimpleOptTempl(int argc, SOCHAR* argv[], const SOption* options, int flags = 0);
    ~CSimpleOptTempl();
    CSimpleOptTempl(const CSimpleOptTempl&) = delete;
    CSimpleOptTempl& operator=(const CSimpleOptTempl&) = delete;

    // Starts over on another vector (argv[0] is the program and is passed over).
    // False when the scratch space cannot be allocated or flags is not 0; the
    // parser then has nothing to hand out.
    bool Init(int argc, SOCHAR* argv[], const SOption* options, int flags = 0);

    // Advances to the next option; false once every word has been examined.
    // A result may carry an error (LastError), which the caller may skip.
    bool Next();

    int LastError() const { return m_error; }
    // The row's id; -1 when no row matched.
    int OptionId() const { return m_optionId; }
    // The row's text for a matched option, else the word as given.
    const SOCHAR* OptionText() const { return m_optionText; }
    // The option's argument, or null when it has none.
    const SOCHAR* OptionArg() const { return m_optionArg; }

private:
    // Words of a command line up to this count are reordered without the heap.
    static constexpr int SCRATCH_WORDS = 50;

    static bool isOption(const SOCHAR* word);
    // Moves the run of non-option words at the next position to the end of
    // the vector, keeping their order.
    void moveNonOptionsBehind();
    // The row for the first length characters of the word, or null with m_error set.
    const SOption* lookup(const SOCHAR* word, int length);
    void releaseHeap();

    const SOption* m_options = nullptr;
    int m_argc = 0;
    SOCHAR** m_argv = nullptr;
    int m_nextWord = 0;  // index of the next word to examine
    int m_remaining = 0; // words still to examine, from m_nextWord on

    int m_optionId = -1;
    const SOCHAR* m_optionText = nullptr;
    const SOCHAR* m_optionArg = nullptr;
    int m_error = OPTION_OK;

    SOCHAR* m_scratch[SCRATCH_WORDS];
    SOCHAR** m_heap = nullptr; // argc words, for longer command lines
    SOCHAR** m_words = m_scratch;
};
