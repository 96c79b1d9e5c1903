// Base64 of the update server's firmware texts: any bytes encode to a text
// of the alphabet that decodes back to them; any text either decodes to the
// bytes whose encoding reads the same, or is refused with length 0.
#include "engine/Base64.h"
#include "tests/fuzz/support.h"

#include <cstdlib>
#include <cstring>

namespace {

bool inAlphabet(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* text = reinterpret_cast<const char*>(data);

    // The input as a text from the server.
    size_t decodedLength = 12345;
    unsigned char* decoded = base64_decode(text, size, &decodedLength);
    if (!decoded) {
        FUZZ_CHECK(decodedLength == 0);
    } else {
        FUZZ_CHECK(size % 4 == 0);
        size_t padding = 0;
        while (padding < 2 && padding < size && text[size - 1 - padding] == '=') ++padding;
        FUZZ_CHECK(decodedLength == size / 4 * 3 - padding);
        FUZZ_CHECK(decoded[decodedLength] == 0);
        for (size_t i = 0; i < size - padding; ++i) FUZZ_CHECK(inAlphabet(text[i]));
        // Encoded again it differs at most in the bits that padding drops.
        size_t againLength = 0;
        char* again = base64_encode(reinterpret_cast<const char*>(decoded), decodedLength, &againLength);
        FUZZ_CHECK(again && againLength == size);
        FUZZ_CHECK(fuzz::same(again, text, size - padding - (padding ? 1 : 0)));
        std::free(again);
        std::free(decoded);
    }

    // The input as bytes of a file.
    size_t encodedLength = 0;
    char* encoded = base64_encode(text, size, &encodedLength);
    FUZZ_CHECK(encoded);
    FUZZ_CHECK(encodedLength == (size + 2) / 3 * 4);
    FUZZ_CHECK(std::strlen(encoded) == encodedLength);
    size_t backLength = 0;
    unsigned char* back = base64_decode(encoded, encodedLength, &backLength);
    FUZZ_CHECK(back && backLength == size);
    FUZZ_CHECK(fuzz::same(back, data, size));
    std::free(back);
    std::free(encoded);
    return 0;
}
