// Builds firmware (BIRD) files for tests: a header, a zlib-compressed body of
// typed blocks and a checksum, every field settable, plus the damaged variants
// a reader must survive.
//
//   sim::BirdWriter bird;
//   bird.identity(1234, "2.15.3", 0x1234ABCD, "Korvel")
//       .loader(0x20000000, sim::randomBytes(2048))
//       .firmware(0x60000000, sim::randomBytes(8192))
//       .serialOffsets(0x60000400, 0x60000800);
//   bird.write(dir + "/1234.bird");
//
// Images should be random (randomBytes): the reader refuses a body that
// inflates to more than 8 times its compressed size, as zero-filled images do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

// Reproducible pseudo-random bytes.
Bytes randomBytes(size_t count, uint32_t seed = 1);

// Writes the bytes to the path (replacing the file); throws std::runtime_error on failure.
void writeBytes(const std::string& path, const Bytes& bytes);

enum class BirdDefect;

class BirdWriter {
public:
    // Blocks, appended in file order. flags (0-7) go into bits 5-7 of the header byte.
    BirdWriter& loader(uint32_t address, const Bytes& image, uint8_t flags = 0);
    BirdWriter& firmware(uint32_t address, const Bytes& image, uint8_t flags = 0);
    // Device addresses of the serial-number word and of the USB serial string (0: none).
    BirdWriter& serialOffsets(uint32_t serialAddress, uint32_t descriptorAddress);
    // The identity block: four 16-byte text fields padded with spaces (longer texts are cut).
    BirdWriter& identity(uint32_t build, const std::string& version, uint32_t serial, const std::string& model);
    // The start address of a recovery loader.
    BirdWriter& loaderIvt(uint32_t address);
    // Any block: type (0-31), flags (0-7) and the payload as it stands.
    BirdWriter& block(uint8_t type, const Bytes& payload, uint8_t flags = 0);
    // States this length for the last block appended instead of its payload's size.
    BirdWriter& statedLength(uint32_t length);

    // What the file states, by default consistent with the blocks:
    // the block count in the body, the checksum word (default: CRC-32 of the
    // body before it), the four signature bytes and the two version bytes.
    BirdWriter& statedCount(uint32_t count);
    BirdWriter& checksum(uint32_t value);
    BirdWriter& signature(const std::string& fourBytes);
    BirdWriter& version(uint8_t high, uint8_t low);

    // The decompressed body: count, blocks, checksum.
    Bytes body() const;
    // The whole file: header and the compressed body.
    Bytes file() const;
    // Writes file() to the path and returns the path.
    std::string write(const std::string& path) const;

    // Header and compressed body around any body bytes.
    Bytes fileWithBody(const Bytes& body) const;

private:
    struct Block {
        uint8_t header;
        Bytes payload;
        std::optional<uint32_t> statedLength;
    };
    friend Bytes damagedBird(const BirdWriter& base, BirdDefect defect);

    std::vector<Block> blocks_;
    std::optional<uint32_t> statedCount_;
    std::optional<uint32_t> checksum_;
    std::string signature_ = "bird";
    uint8_t version_[2] = {1, 1};
};

// Where sampleBird puts things; the serial word and string lie inside the firmware.
struct SampleBird {
    static constexpr uint32_t loaderAddress = 0x20000000;
    static constexpr size_t loaderSize = 2048;
    static constexpr uint32_t firmwareAddress = 0x60000000;
    static constexpr size_t firmwareSize = 8192;
    static constexpr uint32_t serialAddress = firmwareAddress + 0x400;
    static constexpr uint32_t descriptorAddress = firmwareAddress + 0x800;
    static constexpr uint32_t loaderIvtAddress = loaderAddress + 0x400;

    // The images sampleBird writes for a build (before any serial-number patch).
    static Bytes loaderImage(uint32_t build);
    static Bytes firmwareImage(uint32_t build);
};

// A typical file for a device: identity, serial offsets, one loader and one
// firmware block (the SampleBird images of the build), loader start address.
BirdWriter sampleBird(uint32_t serial, uint32_t build, const std::string& model, const std::string& version = "2.15.3");

// Damage done to a file.
enum class BirdDefect {
    BadSignature,       // "bard" instead of "bird"
    ZeroVersionByte,    // version bytes 00 01
    HeaderOnly,         // a file of 6 bytes
    TruncatedBody,      // the zlib stream cut in half
    OverExpanding,      // a body inflating to more than 8 times its compressed size
    CountMismatch,      // stated block count one more than the blocks
    LengthPastBody,     // the last block's length runs past the body
    ShortSerialOffsets, // the type-2 block replaced by one of 2 bytes, last in the body
    ShortIdentity,      // the type-4 block replaced by one of 20 bytes, last in the body
    ShortLoader,        // a type-0 block of 3 bytes added last
    ShortFirmware,      // a type-1 block of 2 bytes added last
};

// Every defect, for tables of cases, and its name for test output.
const std::vector<BirdDefect>& allBirdDefects();
const char* birdDefectName(BirdDefect defect);

// The file that `base` builds, with the damage done.
Bytes damagedBird(const BirdWriter& base, BirdDefect defect);

} // namespace sim
