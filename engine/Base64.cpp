#include "engine/Base64.h"

#include <cstdint>
#include <cstdlib>

namespace {

const char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const unsigned char NOT_IN_ALPHABET = 0xFF;

// Where padding may stand: only at the end, as "=" or "==".
bool _padding_is_valid(const char* text, size_t length)
{
    for (size_t i = 0; i + 2 < length; ++i)
        if (text[i] == '=') return false;
    return length < 2 || text[length - 2] != '=' || text[length - 1] == '=';
}

} // namespace

char* base64_encode(const char* data, size_t length, size_t* outLength)
{
    const size_t textLength = 4 * ((length + 2) / 3);
    char* text = static_cast<char*>(malloc(textLength + 1));
    if (!text) return nullptr;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data);
    size_t out = 0;
    for (size_t i = 0; i < length; i += 3) {
        const size_t left = length - i;
        uint32_t group = uint32_t(bytes[i]) << 16;
        if (left > 1) group |= uint32_t(bytes[i + 1]) << 8;
        if (left > 2) group |= bytes[i + 2];
        text[out++] = ALPHABET[(group >> 18) & 0x3F];
        text[out++] = ALPHABET[(group >> 12) & 0x3F];
        text[out++] = left > 1 ? ALPHABET[(group >> 6) & 0x3F] : '=';
        text[out++] = left > 2 ? ALPHABET[group & 0x3F] : '=';
    }
    text[out] = '\0';
    if (outLength) *outLength = textLength;
    return text;
}

unsigned char* _build_decoding_table()
{
    unsigned char* table = static_cast<unsigned char*>(malloc(256));
    if (!table) return nullptr;
    for (int i = 0; i < 256; ++i) table[i] = NOT_IN_ALPHABET;
    for (unsigned char value = 0; value < 64; ++value)
        table[static_cast<unsigned char>(ALPHABET[value])] = value;
    return table;
}

unsigned char* base64_decode(const char* text, size_t length, size_t* outLength)
{
    if (outLength) *outLength = 0;
    if (length % 4 != 0 || (length && !text) || !_padding_is_valid(text, length)) return nullptr;

    size_t decodedLength = length / 4 * 3;
    if (length && text[length - 1] == '=') --decodedLength;
    if (length && text[length - 2] == '=') --decodedLength;

    unsigned char* table = _build_decoding_table();
    unsigned char* decoded = table ? static_cast<unsigned char*>(malloc(decodedLength + 1)) : nullptr;
    if (!decoded) {
        free(table);
        return nullptr;
    }
    size_t written = 0;
    for (size_t i = 0; i < length; i += 4) {
        uint32_t group = 0;
        for (size_t k = 0; k < 4; ++k) {
            const char c = text[i + k];
            const unsigned char value = c == '=' ? 0 : table[static_cast<unsigned char>(c)];
            if (value == NOT_IN_ALPHABET) {
                free(decoded);
                free(table);
                return nullptr;
            }
            group = (group << 6) | value;
        }
        for (int shift = 16; shift >= 0 && written < decodedLength; shift -= 8)
            decoded[written++] = static_cast<unsigned char>(group >> shift);
    }
    decoded[decodedLength] = '\0';
    free(table);
    if (outLength) *outLength = decodedLength;
    return decoded;
}
