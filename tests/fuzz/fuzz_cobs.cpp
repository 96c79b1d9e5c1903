// COBS coding: any block encodes without a zero byte within the stated bound
// and decodes back to itself, in place as well as between buffers; decoding
// any bytes stays inside a destination of the source's length.
#include "common/cobs.h"
#include "tests/fuzz/support.h"

#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Decoding anything: the result is never longer than the encoded bytes.
    {
        std::unique_ptr<uint8_t[]> out(new uint8_t[size + 1]);
        const size_t n = cobs_decode(data, size, out.get());
        FUZZ_CHECK(n <= size);
        std::unique_ptr<uint8_t[]> copy(new uint8_t[size + 1]);
        std::memcpy(copy.get(), data, size);
        FUZZ_CHECK(cobs_decode_inplace(copy.get(), size) == n);
        FUZZ_CHECK(fuzz::same(copy.get(), out.get(), n));
    }

    // Encoding the input as a plain block.
    const size_t bound = size + size / 254 + 1;
    std::unique_ptr<uint8_t[]> encoded(new uint8_t[bound]);
    const size_t length = cobs_encode(data, size, encoded.get());
    FUZZ_CHECK(length <= bound);
    FUZZ_CHECK(std::memchr(encoded.get(), 0, length) == nullptr);

    std::unique_ptr<uint8_t[]> inplace(new uint8_t[bound]);
    std::memcpy(inplace.get(), data, size);
    FUZZ_CHECK(cobs_encode_inplace(inplace.get(), size) == length);
    FUZZ_CHECK(fuzz::same(inplace.get(), encoded.get(), length));

    std::unique_ptr<uint8_t[]> decoded(new uint8_t[length]);
    FUZZ_CHECK(cobs_decode(encoded.get(), length, decoded.get()) == size);
    FUZZ_CHECK(fuzz::same(decoded.get(), data, size));
    FUZZ_CHECK(cobs_decode_inplace(inplace.get(), length) == size);
    FUZZ_CHECK(fuzz::same(inplace.get(), data, size));
    return 0;
}
