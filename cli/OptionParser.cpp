#include "cli/OptionParser.h"

#include <new>
#include <string>

template <class SOCHAR>
CSimpleOptTempl<SOCHAR>::CSimpleOptTempl(int argc, SOCHAR* argv[], const SOption* options, int flags)
{
    Init(argc, argv, options, flags);
}

template <class SOCHAR>
CSimpleOptTempl<SOCHAR>::~CSimpleOptTempl()
{
    releaseHeap();
}

template <class SOCHAR>
void CSimpleOptTempl<SOCHAR>::releaseHeap()
{
    delete[] m_heap;
    m_heap = nullptr;
    m_words = m_scratch;
}

template <class SOCHAR>
bool CSimpleOptTempl<SOCHAR>::Init(int argc, SOCHAR* argv[], const SOption* options, int flags)
{
    releaseHeap();
    m_options = options;
    m_argc = argc;
    m_argv = argv;
    m_nextWord = 1;
    m_remaining = 0;
    m_optionId = -1;
    m_optionText = nullptr;
    m_optionArg = nullptr;
    m_error = OPTION_OK;

    if (flags != 0)
        return false;
    if (argc > SCRATCH_WORDS) {
        m_heap = new (std::nothrow) SOCHAR*[argc];
        if (!m_heap)
            return false;
        m_words = m_heap;
    }
    // A program started without even its own name has no words to examine.
    m_remaining = argc > 1 ? argc - 1 : 0;
    return true;
}

template <class SOCHAR>
bool CSimpleOptTempl<SOCHAR>::isOption(const SOCHAR* word)
{
    return word[0] == SOCHAR('-');
}

template <class SOCHAR>
void CSimpleOptTempl<SOCHAR>::moveNonOptionsBehind()
{
    int run = 0;
    while (run < m_remaining && !isOption(m_argv[m_nextWord + run]))
        ++run;
    for (int i = 0; i < run; ++i)
        m_words[i] = m_argv[m_nextWord + i];
    for (int i = m_nextWord + run; i < m_argc; ++i)
        m_argv[i - run] = m_argv[i];
    for (int i = 0; i < run; ++i)
        m_argv[m_argc - run + i] = m_words[i];
    m_remaining -= run;
}

template <class SOCHAR>
const typename CSimpleOptTempl<SOCHAR>::SOption* CSimpleOptTempl<SOCHAR>::lookup(const SOCHAR* word, int length)
{
    using Traits = std::char_traits<SOCHAR>;
    auto dashesOf = [](const SOCHAR* text, int limit) {
        int n = 0;
        while (n < limit && text[n] == SOCHAR('-'))
            ++n;
        return n;
    };

    const int dashes = dashesOf(word, length);
    m_error = OPTION_UNKNOWN;
    if (dashes == length)
        return nullptr;

    // Every row that the word is a prefix of matches with the same length, so
    // a second prefix match makes the word ambiguous.
    const SOption* partial = nullptr;
    int partials = 0;
    for (const SOption* row = m_options; row->pszArg; ++row) {
        const int rowLength = static_cast<int>(Traits::length(row->pszArg));
        if (dashesOf(row->pszArg, rowLength) != dashes || rowLength < length ||
            Traits::compare(row->pszArg, word, static_cast<size_t>(length)) != 0)
            continue;
        if (rowLength == length) {
            m_error = OPTION_OK;
            return row;
        }
        partial = row;
        ++partials;
    }
    if (partials == 1) {
        m_error = OPTION_OK;
        return partial;
    }
    if (partials > 1)
        m_error = OPTION_AMBIGUOUS;
    return nullptr;
}

template <class SOCHAR>
bool CSimpleOptTempl<SOCHAR>::Next()
{
    while (m_remaining > 0 && !isOption(m_argv[m_nextWord]))
        moveNonOptionsBehind();
    if (m_remaining == 0)
        return false;

    SOCHAR* word = m_argv[m_nextWord++];
    --m_remaining;

    const SOCHAR* equals = word;
    while (*equals && *equals != SOCHAR('='))
        ++equals;
    const bool hasEquals = *equals == SOCHAR('=');

    m_optionArg = nullptr;
    const SOption* row = lookup(word, static_cast<int>(equals - word));
    if (!row) {
        m_optionId = -1;
        m_optionText = word;
        return true;
    }
    m_optionId = row->nId;
    m_optionText = row->pszArg;

    if (row->nArgType != OPTION_ARG_REQUIRED) {
        if (hasEquals)
            m_error = OPTION_UNEXPECTED_ARG;
    } else if (hasEquals) {
        m_optionArg = equals + 1;
    } else if (m_remaining == 0) {
        m_error = OPTION_MISSING_ARG;
    } else if (isOption(m_argv[m_nextWord])) {
        m_error = OPTION_ARG_IS_OPTION;
    } else {
        m_optionArg = m_argv[m_nextWord++];
        --m_remaining;
    }
    return true;
}

template class CSimpleOptTempl<char>;
