// Firmware (BIRD) files. Any file either fails to load or loads with every
// block inside the inflated body; the queries and patches stay inside it,
// and a patched serial number (where no descriptor lies over it) or vector
// checksum reads back. A body the target compresses itself loads as exactly
// those bytes, and blocks made by the project's writer read back as written.
#include "engine/BirdFile.h"
#include "tests/fuzz/support.h"
#include "tests/sim/bird_writer.h"

#include <cstring>
#include <stdexcept>

namespace {

uint32_t little32(const uint8_t* p)
{
    return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}

uint32_t big32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

bool load(const fuzz::Bytes& file, BirdFile& bird)
{
    const std::string path = fuzz::writeScratchFile("firmware.bird", file);
    try {
        bird = BirdFile(path.c_str());
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
}

// What the queries and patches of a loaded file are given.
struct Queries {
    std::string model;
    fuzz::Bytes pattern;
    uint32_t serial;
    explicit Queries(fuzz::Input& input) : model(input.text(20)), pattern(input.sized(8)), serial(input.word()) {}
};

void checkLoaded(BirdFile& bird, const Queries& queries)
{
    const uint8_t* begin = bird.data.get();
    const uint8_t* end = begin + bird.size;
    const BirdBlock* identity = nullptr;
    bool identitySeen = false;
    for (const BirdBlock& block : bird.blocks) {
        FUZZ_CHECK(block.type <= BirdFile::BIRD_FILE_TYPE_MASK && block.flags <= 7);
        FUZZ_CHECK(block.payload >= begin && block.payload <= end && block.length <= size_t(end - block.payload));
        if (block.type == BirdFile::BLOCK_LOADER || block.type == BirdFile::BLOCK_FIRMWARE) {
            FUZZ_CHECK(block.length >= 4 && block.address == big32(block.payload));
        }
        if (block.type == BirdFile::BLOCK_DESCRIPTOR && !identitySeen) {
            identitySeen = true;
            if (block.length >= 64) identity = &block;
        }
    }
    FUZZ_CHECK(bird.block_count == bird.blocks.size());

    const uint32_t serial = bird.GetSerialNumber();
    FUZZ_CHECK(bird.ValidateSerialNumber(serial) == (identity != nullptr));
    FUZZ_CHECK(bird.GetVersion().size() < 16);
    if (!identity) FUZZ_CHECK(bird.GetBuild() == 0 && serial == 0 && bird.GetVersion().empty());
    bird.ValidateModel(queries.model.c_str());
    fuzz::Bytes pattern = queries.pattern;
    bird.ValidateData(pattern.data(), unsigned(pattern.size()));

    const uint32_t newSerial = queries.serial;
    // The serial text goes to the descriptor's 16 bytes after the word: a file
    // that puts them over the word keeps the text there.
    const bool overlaps = bird.descriptor_address != 0 &&
                          uint64_t(bird.descriptor_address) < uint64_t(bird.serial_address) + 4 &&
                          uint64_t(bird.serial_address) < uint64_t(bird.descriptor_address) + 16;
    if (bird.ReplaceSerialNumber(newSerial) && bird.serial_address != 0 && !overlaps) {
        bool found = false;
        for (const BirdBlock& block : bird.FindBlocks(BirdFile::BLOCK_FIRMWARE)) {
            const uint32_t image = block.length - 4;
            if (bird.serial_address >= block.address && uint64_t(bird.serial_address - block.address) + 4 <= image) {
                FUZZ_CHECK(little32(block.payload + 4 + (bird.serial_address - block.address)) == newSerial);
                found = true;
            }
        }
        FUZZ_CHECK(found);
    }
    FUZZ_CHECK(bird.ReplaceVectorChecksum());
    for (const BirdBlock& block : bird.FindBlocks(BirdFile::BLOCK_FIRMWARE)) {
        if (block.address != 0 || block.length < 36) continue;
        uint32_t sum = 0;
        for (int i = 0; i < 8; ++i) sum += little32(block.payload + 4 + 4 * i);
        FUZZ_CHECK(sum == 0);
    }
}

void rawFile(fuzz::Input& input, const Queries& queries)
{
    BirdFile bird;
    if (load(input.rest(), bird)) checkLoaded(bird, queries);
}

void compressedBody(fuzz::Input& input, const Queries& queries)
{
    const fuzz::Bytes body = input.rest();
    const fuzz::Bytes file = sim::BirdWriter().fileWithBody(body);
    BirdFile bird;
    const bool loaded = load(file, bird);
    // The reader refuses what inflates to more than 8 times its compressed size.
    if (body.size() <= 8 * (file.size() - 6)) FUZZ_CHECK(loaded);
    if (!loaded) return;
    FUZZ_CHECK(bird.size == body.size());
    FUZZ_CHECK(fuzz::same(bird.data.get(), body.data(), body.size()));
    FUZZ_CHECK(bird.signature == BirdFile::BIRD_FILE_SIGNATURE && bird.version == BirdFile::BIRD_FILE_VERSION);
    checkLoaded(bird, queries);
}

void writtenBlocks(fuzz::Input& input, const Queries& queries)
{
    struct Written {
        uint8_t type;
        uint8_t flags;
        fuzz::Bytes payload;
    };
    std::vector<Written> written;
    sim::BirdWriter writer;
    for (uint8_t count = input.byte() % 8; count > 0 && !input.empty(); --count) {
        const uint8_t header = input.byte();
        Written block{uint8_t(header & 0x1F), uint8_t(header >> 5), input.sized()};
        // Image blocks without their address word are skipped by the reader.
        if ((block.type == 0 || block.type == 1) && block.payload.size() < 4) continue;
        // Noise that does not compress, so that most files stay within the
        // reader's ratio.
        const fuzz::Bytes noise = sim::randomBytes(64, input.byte());
        block.payload.insert(block.payload.end(), noise.begin(), noise.end());
        writer.block(block.type, block.payload, block.flags);
        written.push_back(block);
    }
    BirdFile bird;
    const fuzz::Bytes file = writer.file();
    const bool loaded = load(file, bird);
    // Long runs of one byte can still inflate past 8 times the compressed
    // body, which the reader refuses.
    if (writer.body().size() <= 8 * (file.size() - 6)) FUZZ_CHECK(loaded);
    if (!loaded) return;
    FUZZ_CHECK(bird.blocks.size() == written.size());
    for (size_t i = 0; i < written.size(); ++i) {
        const BirdBlock& block = bird.blocks[i];
        FUZZ_CHECK(block.type == written[i].type && block.flags == written[i].flags);
        FUZZ_CHECK(block.length == written[i].payload.size());
        FUZZ_CHECK(fuzz::same(block.payload, written[i].payload.data(), block.length));
    }
    checkLoaded(bird, queries);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input input(data, size);
    const uint8_t mode = input.byte();
    const Queries queries(input);
    switch (mode % 3) {
    case 0: rawFile(input, queries); break;
    case 1: compressedBody(input, queries); break;
    default: writtenBlocks(input, queries); break;
    }
    return 0;
}
