// What the fuzz targets share: a check that stops the run with a message when
// a promise of the code is broken (so that the fuzzer keeps the input), a
// reader that takes typed values off the input, and byte streams over memory.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/aStream.h"

#define FUZZ_CHECK(condition)                                                                   \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)

namespace fuzz {

using Bytes = std::vector<uint8_t>;

// Whether n bytes at a and b are equal; pointers may be null when n is 0.
inline bool same(const void* a, const void* b, size_t n)
{
    return n == 0 || std::memcmp(a, b, n) == 0;
}

// Takes values off the front of the input; past its end every value is 0 and
// every run of bytes empty.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return position_ >= size_; }
    size_t left() const { return empty() ? 0 : size_ - position_; }
    uint8_t byte() { return empty() ? 0 : data_[position_++]; }
    uint32_t word()
    {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) value = value << 8 | byte();
        return value;
    }
    // Up to n bytes.
    Bytes bytes(size_t n)
    {
        n = std::min(n, left());
        Bytes out(data_ + position_, data_ + position_ + n);
        position_ += n;
        return out;
    }
    // A run whose length is the next byte (at most max).
    Bytes sized(size_t max = 255) { return bytes(byte() % (max + 1)); }
    std::string text(size_t max = 255)
    {
        const Bytes run = sized(max);
        return std::string(run.begin(), run.end());
    }
    Bytes rest() { return bytes(left()); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};

// A stream that delivers the bytes given, then aErrEOF (or aErrNotReady when
// `endless`), and keeps what is written to it.
struct MemoryStream {
    Bytes in;
    size_t position = 0;
    bool endless = false;
    Bytes out;

    static aErr get(uint8_t* byte, void* reference)
    {
        auto* self = static_cast<MemoryStream*>(reference);
        if (self->position >= self->in.size()) return self->endless ? aErrNotReady : aErrEOF;
        *byte = self->in[self->position++];
        return aErrNone;
    }
    static aErr put(const uint8_t* byte, void* reference)
    {
        static_cast<MemoryStream*>(reference)->out.push_back(*byte);
        return aErrNone;
    }
    static aErr write(const uint8_t* data, size_t length, void* reference)
    {
        auto* self = static_cast<MemoryStream*>(reference);
        self->out.insert(self->out.end(), data, data + length);
        return aErrNone;
    }

    // A stream over this record, which the caller keeps and outlives it.
    aStream* stream() { return aStream_Create(get, put, write, nullptr, this); }
};

} // namespace fuzz

namespace fuzz {

// A folder of this process for the files a target writes, made on first use.
const std::string& scratchDirectory();

// Writes the bytes to a file of the scratch folder and returns its path.
std::string writeScratchFile(const char* name, const Bytes& bytes);

} // namespace fuzz
