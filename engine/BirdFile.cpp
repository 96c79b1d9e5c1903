#include "engine/BirdFile.h"

#include "common/aDefs.h"
#include "engine/Log.h"
#include "platform/aFile.h"

#include <zlib.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace {

constexpr size_t HEADER_SIZE = 6;
constexpr uint32_t INFLATE_RATIO = 8;
constexpr uint32_t BLOCK_HEADER_SIZE = 5;
constexpr uint32_t ADDRESS_SIZE = 4;
constexpr uint32_t SERIAL_OFFSETS_SIZE = 8;
constexpr uint32_t IDENTITY_SIZE = 64;
constexpr size_t FIELD_SIZE = 16;
constexpr size_t BUILD_FIELD = 0, VERSION_FIELD = 16, SERIAL_FIELD = 32, MODEL_FIELD = 48;
constexpr uint32_t DESCRIPTOR_SIZE = 16; // 8 UTF-16LE characters

uint32_t big32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

uint32_t little32(const uint8_t* p)
{
    return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}

void putLittle32(uint8_t* p, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The digits at the start of a text field (after leading blanks), in base 10 or 16.
uint32_t parseNumber(const uint8_t* text, size_t n, unsigned base)
{
    size_t i = 0;
    while (i < n && text[i] == ' ')
        ++i;
    uint64_t value = 0;
    for (; i < n; ++i) {
        int c = text[i];
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = unsigned(c - '0');
        else if (base == 16 && isxdigit(c))
            digit = unsigned(tolower(c) - 'a' + 10);
        else
            break;
        value = value * base + digit;
    }
    return static_cast<uint32_t>(value);
}

// True when n bytes at device address x lie inside an image of `length` bytes loaded at `start`.
bool covers(uint32_t start, uint32_t length, uint32_t x, uint32_t n)
{
    return x >= start && uint64_t(x - start) + n <= length;
}

// True when the text is the display name of some device model.
bool isModelName(const char* text)
{
    const char* unknown = aDefs_GetModelName(0);
    for (aModelCode code = 0; code <= 0xFF; ++code) {
        const char* name = aDefs_GetModelName(code);
        if (strcmp(name, unknown) != 0 && strcmp(name, text) == 0)
            return true;
    }
    return false;
}

} // namespace

BirdFile::BirdFile(const char* filePath) : path(filePath ? filePath : "")
{
    if (!load())
        throw std::runtime_error("Failed to load bird data");
}

bool BirdFile::load()
{
    Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path.c_str());
    if (!aFile_Exists(path.c_str())) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path.c_str());
        return false;
    }
    aFile* file = aFile_Open(path.c_str(), aFileModeRead);
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
        return false;
    }
    uint64_t fileSize = 0;
    aErr err = aFile_GetSize(file, &fileSize);
    if (err != aErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", err, path.c_str());
        aFile_Close(&file);
        return false;
    }
    // The inflated body's size is held in 32 bits.
    if (fileSize > HEADER_SIZE + UINT32_MAX / INFLATE_RATIO) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - bird file %s is too large (%llu bytes)\n", path.c_str(),
                 static_cast<unsigned long long>(fileSize));
        aFile_Close(&file);
        return false;
    }

    std::vector<uint8_t> raw(fileSize);
    size_t got = 0;
    bool readAll = true;
    if (fileSize > 0) {
        err = aFile_Read(file, raw.data(), raw.size(), &got);
        if (err != aErrNone) {
            Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", err, path.c_str());
            readAll = false;
        } else if (got < raw.size()) {
            Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n", path.c_str(), got,
                     raw.size());
            readAll = false;
        }
    }
    aFile_Close(&file);
    if (!readAll)
        return false;

    if (raw.size() > HEADER_SIZE) {
        signature = big32(raw.data());
        version = uint32_t(raw[4]) << 8 | raw[5];
    }

    const uint8_t* body = raw.data() + (raw.size() > HEADER_SIZE ? HEADER_SIZE : 0);
    uLong bodySize = raw.size() > HEADER_SIZE ? raw.size() - HEADER_SIZE : 0;
    uLongf inflatedSize = bodySize * INFLATE_RATIO;
    std::unique_ptr<uint8_t[]> inflated(new uint8_t[inflatedSize ? inflatedSize : 1]);
    int zerr = uncompress(inflated.get(), &inflatedSize, body, bodySize);
    if (zerr != Z_OK) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", zerr);
        size = 0;
        return false;
    }
    // Kept at its exact size, so that nothing can be read past the body.
    size = static_cast<uint32_t>(inflatedSize);
    data.reset(new uint8_t[size ? size : 1]);
    memcpy(data.get(), inflated.get(), size);

    parseBlocks();
    has_serial_offsets = !FindBlocks(BLOCK_SERIAL_OFFSETS).empty();
    FindSerialNumberOffsets();
    return true;
}

bool BirdFile::parseBlocks()
{
    block_count = 0;
    blocks.clear();
    if (size < 4) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %u bytes of data hold no block count\n", size);
        return false;
    }
    const uint8_t* bytes = data.get();
    uint32_t stated = big32(bytes);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", static_cast<int>(stated));
    Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
    Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

    uint32_t position = 4;
    uint32_t remaining = size - 4;
    while (remaining > 4) {
        uint8_t header = bytes[position];
        uint32_t length = big32(bytes + position + 1);
        if (length > remaining - BLOCK_HEADER_SIZE) {
            Log::log(DEBUG_BirdFile, "BIRDFILE: Block at offset %u states %u bytes, %u remain\n", position, length,
                     remaining - BLOCK_HEADER_SIZE);
            break;
        }
        BirdBlock block;
        block.type = header & BIRD_FILE_TYPE_MASK;
        block.flags = (header & BIRD_FILE_FLAG_MASK) >> 5;
        block.length = length;
        block.payload = bytes + position + BLOCK_HEADER_SIZE;
        position += BLOCK_HEADER_SIZE + length;
        remaining -= BLOCK_HEADER_SIZE + length;
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
                 static_cast<int>(length));

        if (block.type == BLOCK_LOADER || block.type == BLOCK_FIRMWARE) {
            if (length < ADDRESS_SIZE) {
                Log::log(DEBUG_BirdFile, "BIRDFILE: Skipping image block of %u bytes without a load address\n",
                         length);
                continue;
            }
            block.address = big32(block.payload);
        } else if (block.type == BLOCK_DESCRIPTOR) {
            if (length >= IDENTITY_SIZE) {
                for (size_t field = 0; field < IDENTITY_SIZE; field += FIELD_SIZE)
                    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n",
                             reinterpret_cast<const char*>(block.payload + field));
            } else {
                Log::log(DEBUG_BirdFile, "BIRDFILE: Identity block of %u bytes is too short\n", length);
            }
        }
        blocks.push_back(block);
        ++block_count;
    }

    bool consistent = true;
    if (remaining >= 4) {
        file_checksum = big32(bytes + size - 4);
        remaining -= 4;
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", file_checksum);
    } else {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Data ends %u bytes before the file checksum\n", 4 - remaining);
        remaining = 0;
        consistent = false;
    }
    if (remaining > 0) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 static_cast<int>(remaining));
        consistent = false;
    }
    if (block_count != stated) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                 static_cast<int>(block_count), static_cast<int>(stated));
        consistent = false;
    }
    return consistent;
}

bool BirdFile::VerifyFile(const char* filePath)
{
    aFile* file = aFile_Open(filePath, aFileModeRead);
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", filePath ? filePath : "");
        return false;
    }
    uint8_t header[HEADER_SIZE];
    size_t got = 0;
    aErr err = aFile_Read(file, header, sizeof header, &got);
    aFile_Close(&file);
    return err == aErrNone && got == sizeof header && big32(header) == BIRD_FILE_SIGNATURE && header[4] != 0 &&
           header[5] != 0;
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const
{
    std::vector<BirdBlock> found;
    for (const BirdBlock& block : blocks)
        if (block.type == type)
            found.push_back(block);
    return found;
}

std::vector<BirdBlock> BirdFile::FindFirmwareImages() const
{
    std::vector<BirdBlock> found;
    for (const BirdBlock& block : blocks)
        if (block.type == BLOCK_FIRMWARE && block.holdsImage())
            found.push_back(block);
    return found;
}

bool BirdFile::FindSerialNumberOffsets()
{
    for (const BirdBlock& block : blocks) {
        if (block.type != BLOCK_SERIAL_OFFSETS)
            continue;
        if (block.length < SERIAL_OFFSETS_SIZE) {
            Log::log(DEBUG_BirdFile, "BIRDFILE: Serial number offsets block of %u bytes is too short\n",
                     block.length);
            return false;
        }
        serial_address = big32(block.payload);
        descriptor_address = big32(block.payload + 4);
        Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
                 static_cast<int>(serial_address), static_cast<int>(descriptor_address));
        return true;
    }
    return false;
}

bool BirdFile::ReplaceSerialNumber(unsigned serial)
{
    char text[9];
    snprintf(text, sizeof text, "%08X", serial);
    bool serialWritten = false;
    bool descriptorWritten = false;
    for (const BirdBlock& block : blocks) {
        if (block.type != BLOCK_FIRMWARE)
            continue;
        uint8_t* image = imageOf(block);
        uint32_t imageLength = block.length - ADDRESS_SIZE;
        if (serial_address != 0 && covers(block.address, imageLength, serial_address, 4)) {
            uint8_t* word = image + (serial_address - block.address);
            Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n", little32(word), serial);
            putLittle32(word, serial);
            serialWritten = true;
        }
        if (descriptor_address != 0 && covers(block.address, imageLength, descriptor_address, DESCRIPTOR_SIZE)) {
            uint8_t* characters = image + (descriptor_address - block.address);
            for (size_t i = 0; i < 8; ++i)
                characters[2 * i] = static_cast<uint8_t>(text[i]);
            descriptorWritten = true;
        }
    }
    bool written = (serial_address != 0 || descriptor_address != 0) && (serial_address == 0 || serialWritten) &&
                   (descriptor_address == 0 || descriptorWritten);
    if (!written)
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - serial number [%08X] / descriptor [%08X] not inside firmware\n",
                 serial_address, descriptor_address);
    return written;
}

uint8_t* BirdFile::imageOf(const BirdBlock& block)
{
    return data.get() + (block.payload - data.get()) + ADDRESS_SIZE;
}

const uint8_t* BirdFile::identity() const
{
    for (const BirdBlock& block : blocks)
        if (block.type == BLOCK_DESCRIPTOR)
            return block.length >= IDENTITY_SIZE ? block.payload : nullptr;
    return nullptr;
}

uint32_t BirdFile::GetSerialNumber() const
{
    const uint8_t* id = identity();
    return id ? parseNumber(id + SERIAL_FIELD, 8, 16) : 0;
}

bool BirdFile::ValidateSerialNumber(unsigned serial) const
{
    // Without an identity there is no serial number to match, not even 0.
    return identity() && serial == GetSerialNumber();
}

bool BirdFile::ValidateModel(const char* name) const
{
    const uint8_t* id = identity();
    if (!id)
        return false;
    if (!name || !*name) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: no model name to compare\n");
        return false;
    }
    char model[FIELD_SIZE + 1];
    memcpy(model, id + MODEL_FIELD, FIELD_SIZE);
    model[FIELD_SIZE] = '\0';
    for (size_t end = strlen(model); end > 0 && model[end - 1] == ' '; --end)
        model[end - 1] = '\0';

    // A file made for another model is refused even when the name starts it.
    bool otherModel = strcmp(model, name) != 0 && isModelName(model);
    if (otherModel || strncmp(model, name, strlen(name)) != 0) {
        Log::log(DEBUG_BirdFile, "Model does not match model number ([%s] != [%s])\n", model, name);
        return false;
    }
    Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", model, name);
    return true;
}

uint32_t BirdFile::GetBuild() const
{
    const uint8_t* id = identity();
    return id ? parseNumber(id + BUILD_FIELD, FIELD_SIZE - 1, 10) : 0;
}

std::string BirdFile::GetVersion() const
{
    const uint8_t* id = identity();
    if (!id)
        return std::string();
    const char* text = reinterpret_cast<const char*>(id + VERSION_FIELD);
    size_t n = 0;
    while (n < FIELD_SIZE - 1 && text[n] != ' ' && text[n] != '\0')
        ++n;
    return std::string(text, n);
}

bool BirdFile::ReplaceVectorChecksum()
{
    constexpr uint32_t VECTOR_TABLE_SIZE = 32;
    for (const BirdBlock& block : blocks) {
        if (block.type != BLOCK_FIRMWARE || block.address != 0)
            continue;
        if (block.length < ADDRESS_SIZE + VECTOR_TABLE_SIZE) {
            Log::log(DEBUG_BirdFile, "BIRDFILE: firmware block of %u bytes holds no vector table\n", block.length);
            continue;
        }
        uint8_t* vectors = imageOf(block);
        uint32_t sum = 0;
        for (int i = 0; i < 7; ++i)
            sum += little32(vectors + 4 * i);
        uint32_t checksum = 0u - sum;
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n", little32(vectors + 28),
                 checksum);
        putLittle32(vectors + 28, checksum);
    }
    return true;
}

bool BirdFile::ValidateData(unsigned char* pattern, unsigned count) const
{
    Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", path.c_str());
    bool found = false;
    if (pattern && count > 0) {
        for (const BirdBlock& block : blocks) {
            if (block.type != BLOCK_FIRMWARE || block.length < count)
                continue;
            for (uint32_t i = 0; i + count <= block.length; ++i) {
                if (memcmp(block.payload + i, pattern, count) == 0) {
                    Log::log(DEBUG_BirdFile, "Found data at %d\n", static_cast<int>(i));
                    found = true;
                }
            }
        }
    }
    Log::log(DEBUG_BirdFile, "\n");
    return found;
}

bool BirdFile::DumpBlocks(BLOCK_TYPE type) const
{
    constexpr uint32_t LINE = 50;
    printf("BIRDFILE: BLOCK DUMP [%s]\n", path.c_str());
    for (const BirdBlock& block : FindBlocks(type)) {
        char text[LINE + 1] = "";
        for (uint32_t i = 0; i < block.length; ++i) {
            if (i % LINE == 0) {
                printf(" %s\r\n%06d: ", text, static_cast<int>(i));
                memset(text, 0, sizeof text);
            }
            uint8_t byte = block.payload[i];
            printf("%02X ", byte);
            text[i % LINE] = isprint(byte) ? static_cast<char>(byte) : ' ';
        }
        printf(" %s\n", text);
    }
    printf("\n");
    return true;
}
