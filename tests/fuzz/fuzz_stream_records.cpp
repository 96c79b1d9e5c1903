// Records read from a byte stream: each is the bytes up to the first whole
// terminator (consumed, not stored) when it begins inside the capacity, else
// the next capacity bytes (the rest stays unread), the last one cut short by
// the stream's end. A stream that is not ready in the middle of a record
// loses nothing: the same records come once it delivers again.
#include "common/aStream.h"
#include "tests/fuzz/support.h"

#include <algorithm>
#include <set>

namespace {

// Delivers the bytes, answering "not ready" once before each chosen position.
struct HiccupStream {
    fuzz::Bytes in;
    size_t position = 0;
    std::set<size_t> hiccups;

    static aErr get(uint8_t* byte, void* reference)
    {
        auto* self = static_cast<HiccupStream*>(reference);
        if (self->hiccups.erase(self->position)) return aErrNotReady;
        if (self->position >= self->in.size()) return aErrEOF;
        *byte = self->in[self->position++];
        return aErrNone;
    }
};

struct Record {
    fuzz::Bytes bytes;
    bool operator==(const Record& other) const { return bytes == other.bytes; }
};

std::vector<Record> expectedRecords(const fuzz::Bytes& in, size_t capacity, const fuzz::Bytes& terminator)
{
    std::vector<Record> records;
    auto at = in.begin();
    while (at != in.end()) {
        const auto found = std::search(at, in.end(), terminator.begin(), terminator.end());
        if (found != in.end() && size_t(found - at) < capacity) {
            records.push_back({fuzz::Bytes(at, found)});
            at = found + long(terminator.size());
        } else {
            const auto end = at + long(std::min(capacity, size_t(in.end() - at)));
            records.push_back({fuzz::Bytes(at, end)});
            at = end;
        }
    }
    return records;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input input(data, size);
    const size_t capacity = 1 + input.byte() % 64;
    fuzz::Bytes terminator = input.sized(8);
    if (terminator.empty()) terminator.push_back(0);
    HiccupStream source;
    for (uint8_t count = input.byte() % 16; count > 0; --count) source.hiccups.insert(input.byte());
    source.in = input.rest();

    aStream* stream = aStream_Create(HiccupStream::get, nullptr, nullptr, nullptr, &source);
    FUZZ_CHECK(stream);
    std::vector<Record> records;
    fuzz::Bytes buffer(capacity);
    for (;;) {
        size_t count = 12345;
        const aErr err = aStream_ReadRecord(stream, buffer.data(), &count, capacity, terminator.data(),
                                            terminator.size());
        if (err == aErrNotReady) {
            FUZZ_CHECK(count == 0);
            continue;
        }
        if (err == aErrEOF) {
            FUZZ_CHECK(count == 0);
            break;
        }
        FUZZ_CHECK(err == aErrNone);
        FUZZ_CHECK(count <= capacity);
        records.push_back({fuzz::Bytes(buffer.begin(), buffer.begin() + long(count))});
        FUZZ_CHECK(records.size() <= source.in.size() + 1);
    }
    aStream_Destroy(&stream);
    FUZZ_CHECK(records == expectedRecords(source.in, capacity, terminator));
    return 0;
}
