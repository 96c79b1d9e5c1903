// The BIRD firmware file: a six-byte header and a zlib-compressed list of typed
// blocks (loader and firmware images, serial-number addresses, identity, the
// recovery loader's start). Loaded whole into memory; queried, and patched
// with a device's serial number in memory only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One block of a loaded file: a view into the owning BirdFile's buffer.
struct BirdBlock {
    uint8_t type = 0;
    uint8_t flags = 0;         // bits 5-7 of the header byte, passed on to the device
    uint32_t length = 0;       // payload bytes, the address word of loader and firmware blocks included
    uint32_t address = 0;      // load address of loader and firmware blocks, else 0
    const uint8_t* payload = nullptr;

    // A loader or firmware block: whether any image byte follows its address word.
    bool holdsImage() const { return length > 4; }
};

class BirdFile {
public:
    static constexpr uint32_t BIRD_FILE_SIGNATURE = 0x62697264; // "bird"
    static constexpr uint16_t BIRD_FILE_VERSION = 0x0101;
    static constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
    static constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;

    // Any value 0-31 may stand in a file; these are the ones the updater reads.
    enum BLOCK_TYPE : uint8_t {
        BLOCK_LOADER = 0,
        BLOCK_FIRMWARE = 1,
        BLOCK_SERIAL_OFFSETS = 2,
        BLOCK_DESCRIPTOR = 4,
        BLOCK_LOADER_IVT = 5,
    };

    BirdFile() = default;
    // Loads the file; throws std::runtime_error("Failed to load bird data").
    explicit BirdFile(const char* path);
    BirdFile(BirdFile&&) = default;
    BirdFile& operator=(BirdFile&&) = default;
    BirdFile(const BirdFile&) = delete;
    BirdFile& operator=(const BirdFile&) = delete;

    // True when the file starts with "bird" and two non-zero version bytes.
    static bool VerifyFile(const char* path);

    std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;
    // The firmware blocks that hold image bytes, in file order: a block that
    // holds its load address alone has nothing to write and is left out.
    std::vector<BirdBlock> FindFirmwareImages() const;
    // Takes the two addresses from the first serial-offsets block; false without a usable one.
    bool FindSerialNumberOffsets();
    // Writes the serial number into the firmware images at the serial offsets;
    // true only when every address that is set lay inside a firmware image.
    bool ReplaceSerialNumber(unsigned serial);

    // The identity block's fields; 0, empty or false without a whole identity block.
    uint32_t GetSerialNumber() const;
    bool ValidateSerialNumber(unsigned serial) const;
    bool ValidateModel(const char* name) const;
    uint32_t GetBuild() const;
    std::string GetVersion() const;

    // Sets the valid-user-code checksum of the vector table of firmware loaded at 0.
    bool ReplaceVectorChecksum();
    // True when a firmware block's payload holds the pattern.
    bool ValidateData(unsigned char* pattern, unsigned count) const;
    // Hex dump of the blocks of a type on standard output.
    bool DumpBlocks(BLOCK_TYPE type) const;

    std::string path;
    uint32_t signature = 0;
    uint32_t version = 0;
    uint32_t file_checksum = 0;
    uint32_t block_count = 0;
    std::vector<BirdBlock> blocks;
    bool has_serial_offsets = false;
    uint32_t serial_address = 0;
    uint32_t descriptor_address = 0;
    std::unique_ptr<uint8_t[]> data;
    uint32_t size = 0;

private:
    bool load();
    bool parseBlocks();
    // The image of a loader or firmware block, after its address word, for patching.
    uint8_t* imageOf(const BirdBlock& block);
    // The first identity block when it holds all 64 bytes, else null.
    const uint8_t* identity() const;
};
