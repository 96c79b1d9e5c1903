// The firmware file: loading and verification, damaged files, block and
// identity queries, the model check and the serial-number patch.
#include "engine/BirdFile.h"
#include "engine/Log.h"
#include "tests/sim/bird_writer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

namespace {

using sim::BirdDefect;
using sim::BirdWriter;
using sim::Bytes;
using sim::SampleBird;

constexpr uint32_t SERIAL = 0x40F5849A;
constexpr uint32_t BUILD = 1234;

// A scratch folder for firmware files and the debug log in memory, with the
// firmware file's package enabled.
class BirdFileTest : public ::testing::Test {
protected:
    std::string dir;
    char* logBuffer = nullptr;
    size_t logLength = 0;
    FILE* logStream = nullptr;

    void SetUp() override
    {
        char pattern[] = "/tmp/bird_file_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        logStream = open_memstream(&logBuffer, &logLength);
        ASSERT_NE(logStream, nullptr);
        Log::SetOutput(logStream);
        Log::package_bitmask = DEBUG_BirdFile;
    }
    void TearDown() override
    {
        Log::SetOutput(nullptr);
        Log::package_bitmask = 0;
        fclose(logStream);
        free(logBuffer);
        std::filesystem::remove_all(dir);
    }

    std::string logText()
    {
        fflush(logStream);
        return std::string(logBuffer, logLength);
    }
    std::string save(const Bytes& bytes, const std::string& name = "file.bird")
    {
        std::string path = dir + "/" + name;
        sim::writeBytes(path, bytes);
        return path;
    }
    std::string save(const BirdWriter& writer, const std::string& name = "file.bird")
    {
        return save(writer.file(), name);
    }
    static Bytes payloadOf(const BirdBlock& block) { return Bytes(block.payload, block.payload + block.length); }
    static Bytes imageOf(const BirdBlock& block) { return Bytes(block.payload + 4, block.payload + block.length); }
};

TEST_F(BirdFileTest, LoadsEveryBlockOfASampleFile)
{
    Bytes loader = sim::randomBytes(300, 11);
    Bytes firmware = sim::randomBytes(1000, 12);
    BirdWriter writer;
    writer.identity(BUILD, "2.15.3", SERIAL, "Korvel")
        .serialOffsets(0x1000, 0x1100)
        .loader(0x20000000, loader, 3)
        .block(9, {1, 2, 3})
        .firmware(0x00000800, firmware, 7)
        .loaderIvt(0x20000400);
    std::string path = save(writer);

    ASSERT_TRUE(BirdFile::VerifyFile(path.c_str()));
    BirdFile bird(path.c_str());
    EXPECT_EQ(bird.path, path);
    EXPECT_EQ(bird.signature, BirdFile::BIRD_FILE_SIGNATURE);
    EXPECT_EQ(bird.version, BirdFile::BIRD_FILE_VERSION);
    Bytes body = writer.body();
    EXPECT_EQ(bird.size, body.size());
    EXPECT_EQ(bird.file_checksum, uint32_t(body[body.size() - 4]) << 24 | body[body.size() - 3] << 16 |
                                      body[body.size() - 2] << 8 | body[body.size() - 1]);
    ASSERT_EQ(bird.block_count, 6u);
    ASSERT_EQ(bird.blocks.size(), 6u);

    struct Expected {
        uint8_t type, flags;
        uint32_t length, address;
    };
    const Expected expected[] = {{4, 0, 64, 0}, {2, 0, 8, 0}, {0, 3, 304, 0x20000000}, {9, 0, 3, 0},
                                 {1, 7, 1004, 0x800}, {5, 0, 4, 0}};
    for (size_t i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(bird.blocks[i].type, expected[i].type);
        EXPECT_EQ(bird.blocks[i].flags, expected[i].flags);
        EXPECT_EQ(bird.blocks[i].length, expected[i].length);
        EXPECT_EQ(bird.blocks[i].address, expected[i].address);
    }
    EXPECT_EQ(imageOf(bird.FindBlocks(BirdFile::BLOCK_LOADER).at(0)), loader);
    EXPECT_EQ(imageOf(bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).at(0)), firmware);
    EXPECT_EQ(payloadOf(bird.FindBlocks(BirdFile::BLOCK_LOADER_IVT).at(0)), (Bytes{0x20, 0x00, 0x04, 0x00}));
    EXPECT_EQ(payloadOf(bird.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(9)).at(0)), (Bytes{1, 2, 3}));
    EXPECT_TRUE(bird.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(3)).empty());

    EXPECT_TRUE(bird.has_serial_offsets);
    EXPECT_EQ(bird.serial_address, 0x1000u);
    EXPECT_EQ(bird.descriptor_address, 0x1100u);
    EXPECT_EQ(bird.GetBuild(), BUILD);
    EXPECT_EQ(bird.GetVersion(), "2.15.3");
    EXPECT_EQ(bird.GetSerialNumber(), SERIAL);
    EXPECT_TRUE(bird.ValidateSerialNumber(SERIAL));
    EXPECT_FALSE(bird.ValidateSerialNumber(SERIAL + 1));
    EXPECT_TRUE(bird.ValidateModel("Korvel"));
    EXPECT_NE(logText().find("BIRDFILE: Offsets: Serial number: 4096, Descriptor: 4352\n"), std::string::npos);
}

TEST_F(BirdFileTest, IdentityFieldsAreReadAsText)
{
    BirdWriter writer;
    Bytes identity;
    for (const char* field : {"0012abc         ", "1.2.3 beta      ", "deadBEEF        ", "ModelX          "})
        identity.insert(identity.end(), field, field + 16);
    writer.block(4, identity).block(4, sim::randomBytes(64, 3));
    BirdFile bird(save(writer).c_str());
    EXPECT_EQ(bird.GetBuild(), 12u);
    EXPECT_EQ(bird.GetVersion(), "1.2.3");
    EXPECT_EQ(bird.GetSerialNumber(), 0xDEADBEEFu);
}

TEST_F(BirdFileTest, QueriesWithoutIdentityOrOffsetsAnswerNothing)
{
    BirdWriter writer;
    writer.firmware(0, sim::randomBytes(64, 5));
    BirdFile bird(save(writer).c_str());
    EXPECT_FALSE(bird.has_serial_offsets);
    EXPECT_EQ(bird.serial_address, 0u);
    EXPECT_EQ(bird.descriptor_address, 0u);
    EXPECT_FALSE(bird.FindSerialNumberOffsets());
    EXPECT_FALSE(bird.ReplaceSerialNumber(SERIAL));
    EXPECT_EQ(bird.GetBuild(), 0u);
    EXPECT_EQ(bird.GetSerialNumber(), 0u);
    EXPECT_EQ(bird.GetVersion(), "");
    EXPECT_FALSE(bird.ValidateModel("Korvel"));
    EXPECT_FALSE(bird.ValidateSerialNumber(SERIAL));
    EXPECT_FALSE(bird.ValidateSerialNumber(0));

    BirdFile empty;
    EXPECT_TRUE(empty.blocks.empty());
    EXPECT_EQ(empty.size, 0u);
    EXPECT_FALSE(empty.FindSerialNumberOffsets());
    EXPECT_FALSE(empty.ValidateModel("Korvel"));
}

TEST_F(BirdFileTest, VerifyFileChecksTheHeaderOnly)
{
    BirdWriter good = sim::sampleBird(SERIAL, BUILD, "Korvel");
    struct Case {
        const char* name;
        Bytes bytes;
        bool verified;
    };
    BirdWriter version10 = good;
    version10.version(1, 0);
    BirdWriter version22 = good;
    version22.version(2, 2);
    const Case cases[] = {
        {"good", good.file(), true},
        {"other version", version22.file(), true},
        {"bad signature", sim::damagedBird(good, BirdDefect::BadSignature), false},
        {"version 00 01", sim::damagedBird(good, BirdDefect::ZeroVersionByte), false},
        {"version 01 00", version10.file(), false},
        {"header only", sim::damagedBird(good, BirdDefect::HeaderOnly), true},
        {"five bytes", Bytes{'b', 'i', 'r', 'd', 1}, false},
        {"empty", Bytes{}, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(BirdFile::VerifyFile(save(c.bytes).c_str()), c.verified) << c.name;

    EXPECT_FALSE(BirdFile::VerifyFile((dir + "/missing.bird").c_str()));
    EXPECT_FALSE(BirdFile::VerifyFile(dir.c_str()));
    EXPECT_NE(logText().find("BIRDFILE: Error - cannot open bird file: '" + dir + "/missing.bird'\n"),
              std::string::npos);
}

TEST_F(BirdFileTest, MissingFileFailsToLoad)
{
    std::string path = dir + "/missing.bird";
    try {
        BirdFile bird(path.c_str());
        FAIL() << "loaded a missing file";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Failed to load bird data");
    }
    EXPECT_NE(logText().find("BIRDFILE: BIRD file not found [" + path + "]\n"), std::string::npos);
    EXPECT_THROW(BirdFile(dir.c_str()), std::runtime_error);
}

// Every damaged variant of a sample file: it loads or fails as the reader
// allows, never reads past what it holds, and tells the log why.
TEST_F(BirdFileTest, DamagedFiles)
{
    const BirdWriter base = sim::sampleBird(SERIAL, BUILD, "Korvel");
    struct Case {
        BirdDefect defect;
        bool loads;
        const char* logged;
        std::function<void(BirdFile&)> check;
    };
    auto sampleBlocksIntact = [](BirdFile& bird) {
        EXPECT_EQ(bird.GetBuild(), BUILD);
        EXPECT_EQ(bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).size(), 1u);
        EXPECT_TRUE(bird.ReplaceSerialNumber(SERIAL));
    };
    const Case cases[] = {
        {BirdDefect::BadSignature, true, "BIRDFILE:\t\t File checksum", sampleBlocksIntact},
        {BirdDefect::ZeroVersionByte, true, "BIRDFILE:\t\t File checksum",
         [&](BirdFile& bird) {
             EXPECT_EQ(bird.version, 0x0001u);
             sampleBlocksIntact(bird);
         }},
        {BirdDefect::HeaderOnly, false, "decompressing bird file.\n", nullptr},
        {BirdDefect::TruncatedBody, false, "decompressing bird file.\n", nullptr},
        {BirdDefect::OverExpanding, false, "BIRDFILE: Error (-5) decompressing bird file.\n", nullptr},
        {BirdDefect::CountMismatch, true, "BIRDFILE: Block parsing mismatch in number of blocks. (5 != 6)\n",
         [&](BirdFile& bird) {
             EXPECT_EQ(bird.block_count, 5u);
             sampleBlocksIntact(bird);
         }},
        {BirdDefect::LengthPastBody, true, "BIRDFILE: Block parsing mismatch in data size. (9 bytes remaining)\n",
         [&](BirdFile& bird) {
             EXPECT_EQ(bird.block_count, 4u);
             EXPECT_TRUE(bird.FindBlocks(BirdFile::BLOCK_LOADER_IVT).empty());
             sampleBlocksIntact(bird);
         }},
        {BirdDefect::ShortSerialOffsets, true, "BIRDFILE: Serial number offsets block of 2 bytes is too short\n",
         [](BirdFile& bird) {
             // The file asks for a serial number it cannot place: the patch fails.
             EXPECT_TRUE(bird.has_serial_offsets);
             EXPECT_EQ(bird.serial_address, 0u);
             EXPECT_EQ(bird.descriptor_address, 0u);
             EXPECT_FALSE(bird.FindSerialNumberOffsets());
             EXPECT_FALSE(bird.ReplaceSerialNumber(SERIAL));
         }},
        {BirdDefect::ShortIdentity, true, "BIRDFILE: Identity block of 20 bytes is too short\n",
         [](BirdFile& bird) {
             EXPECT_EQ(bird.GetBuild(), 0u);
             EXPECT_EQ(bird.GetVersion(), "");
             EXPECT_EQ(bird.GetSerialNumber(), 0u);
             EXPECT_FALSE(bird.ValidateModel("Korvel"));
         }},
        {BirdDefect::ShortLoader, true, "Skipping image block of 3 bytes without a load address\n",
         [&](BirdFile& bird) {
             ASSERT_EQ(bird.FindBlocks(BirdFile::BLOCK_LOADER).size(), 1u);
             EXPECT_EQ(bird.FindBlocks(BirdFile::BLOCK_LOADER)[0].length, SampleBird::loaderSize + 4);
             sampleBlocksIntact(bird);
         }},
        {BirdDefect::ShortFirmware, true, "Skipping image block of 2 bytes without a load address\n",
         [&](BirdFile& bird) {
             EXPECT_EQ(bird.FindBlocks(BirdFile::BLOCK_FIRMWARE)[0].length, SampleBird::firmwareSize + 4);
             sampleBlocksIntact(bird);
         }},
    };
    ASSERT_EQ(std::size(cases), sim::allBirdDefects().size());

    for (const Case& c : cases) {
        SCOPED_TRACE(sim::birdDefectName(c.defect));
        std::string path = save(sim::damagedBird(base, c.defect), std::string(sim::birdDefectName(c.defect)) + ".bird");
        size_t logStart = logText().size();
        if (c.loads) {
            BirdFile bird(path.c_str());
            c.check(bird);
        } else {
            EXPECT_THROW(BirdFile(path.c_str()), std::runtime_error);
        }
        EXPECT_NE(logText().find(c.logged, logStart), std::string::npos) << logText().substr(logStart);
    }
}

// Bodies that end early or carry extra bytes still load, and say so.
TEST_F(BirdFileTest, BodiesOfOddSizes)
{
    BirdWriter writer;
    writer.firmware(0x100, sim::randomBytes(40, 9)).checksum(0xFFFFFFFF);
    Bytes body = writer.body();
    Bytes extra = body;
    extra.insert(extra.end() - 4, {0xFF, 0xFF});
    struct Case {
        const char* name;
        Bytes body;
        uint32_t blocks;
        const char* logged;
    };
    const Case cases[] = {
        {"no count", Bytes{0, 0}, 0, "BIRDFILE: Error - 2 bytes of data hold no block count\n"},
        {"inside a block header", Bytes{0, 0, 0, 1, 1, 0, 0}, 0,
         "BIRDFILE: Data ends 1 bytes before the file checksum\n"},
        {"no checksum", Bytes(body.begin(), body.end() - 2), 1, "BIRDFILE: Data ends 2 bytes before the file checksum\n"},
        {"bytes before the checksum", extra, 1, "BIRDFILE: Block parsing mismatch in data size. (2 bytes remaining)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        size_t logStart = logText().size();
        BirdFile bird(save(writer.fileWithBody(c.body)).c_str());
        EXPECT_EQ(bird.block_count, c.blocks);
        EXPECT_NE(logText().find(c.logged, logStart), std::string::npos) << logText().substr(logStart);
    }
}

TEST_F(BirdFileTest, SerialNumberPatchWritesWordAndString)
{
    Bytes image = sim::randomBytes(256, 21);
    BirdWriter writer;
    writer.serialOffsets(0x8040, 0x8081).firmware(0x8000, image).loader(0x8000, image);
    std::string path = save(writer);
    BirdFile bird(path.c_str());
    ASSERT_TRUE(bird.ReplaceSerialNumber(0xDEADDEAD));

    Bytes expected = image;
    for (size_t i = 0; i < 4; ++i)
        expected[0x40 + i] = Bytes{0xAD, 0xDE, 0xAD, 0xDE}[i];
    const char* text = "DEADDEAD";
    for (size_t i = 0; i < 8; ++i)
        expected[0x81 + 2 * i] = static_cast<uint8_t>(text[i]);
    EXPECT_EQ(imageOf(bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).at(0)), expected);
    // Loader images and the file on disk stay as they were.
    EXPECT_EQ(imageOf(bird.FindBlocks(BirdFile::BLOCK_LOADER).at(0)), image);
    EXPECT_EQ(imageOf(BirdFile(path.c_str()).FindBlocks(BirdFile::BLOCK_FIRMWARE).at(0)), image);
}

// The patch succeeds only when every address the file sets lies whole inside a
// firmware image; an address outside leaves the images untouched.
TEST_F(BirdFileTest, SerialNumberPatchNeedsItsAddressesInsideFirmware)
{
    constexpr uint32_t A = 0x1000, LENGTH = 64; // firmware image 0x1000-0x103F
    struct Case {
        const char* name;
        uint32_t serial, descriptor;
        bool written;
    };
    const Case cases[] = {
        {"both inside", A + 4, A + 16, true},
        {"serial word ends the image", A + LENGTH - 4, 0, true},
        {"string ends the image", 0, A + LENGTH - 16, true},
        {"serial word at the image start", A, 0, true},
        {"serial word in the second image", 0x2010, 0, true},
        {"serial word outside", 0x3000, 0, false},
        {"serial word below the image", A - 2, 0, false},
        {"serial word over the end", A + LENGTH - 3, 0, false},
        {"serial word in a loader image only", 0x4000, 0, false},
        {"string outside", 0, 0x3000, false},
        {"string over the end", 0, A + LENGTH - 15, false},
        {"string outside, serial word inside", A, 0x3000, false},
        {"serial word outside, string inside", 0x3000, A + 16, false},
        {"serial word where addresses wrap", 0xFFFFFFFE, 0, false},
        {"no addresses", 0, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes image = sim::randomBytes(LENGTH, 31);
        BirdWriter writer;
        writer.serialOffsets(c.serial, c.descriptor)
            .firmware(A, image)
            .firmware(0x2000, image)
            .loader(0x4000, image)
            .firmware(0xFFFFFFF0, Bytes(image.begin(), image.begin() + 8));
        BirdFile bird(save(writer).c_str());
        EXPECT_EQ(bird.ReplaceSerialNumber(SERIAL), c.written);
        if (!c.written && (c.serial == 0 || c.descriptor == 0)) {
            for (const BirdBlock& block : bird.FindBlocks(BirdFile::BLOCK_FIRMWARE))
                EXPECT_EQ(imageOf(block), Bytes(image.begin(), image.begin() + (block.length - 4)));
        }
    }

    BirdWriter loaderOnly;
    loaderOnly.serialOffsets(0x4000, 0).loader(0x4000, sim::randomBytes(LENGTH, 1));
    EXPECT_FALSE(BirdFile(save(loaderOnly).c_str()).ReplaceSerialNumber(SERIAL));
}

TEST_F(BirdFileTest, ModelCheck)
{
    struct Case {
        const char* fileModel;
        const char* name;
        bool matches;
    };
    const Case cases[] = {
        {"ModelX", "ModelX", true},
        {"ModelX", "Model", true},
        {"ModelX", "ModelXY", false},
        {"ModelX", "", false},
        {"ModelX", nullptr, false},
        {"Korvel", "Korvel", true},
        {"Korvel", "Korvelpro", false},
        {"Korvelpro", "Korvelpro", true},
        {"Korvelpro", "Korvel", false},   // a file for another model
        {"Jessun2", "Jessun", false},
        {"Korvel rev B", "Korvel", true}, // not a model name: the prefix rule stands
        {"", "Korvel", false},
        {"", "", false},
        {"ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP", true},
        {"ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOPQ", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.fileModel) + " / " + (c.name ? c.name : "(null)"));
        BirdWriter writer;
        writer.identity(BUILD, "1.0.0", SERIAL, c.fileModel);
        BirdFile bird(save(writer).c_str());
        EXPECT_EQ(bird.ValidateModel(c.name), c.matches);
    }
    EXPECT_NE(logText().find("Model matches model number ([Korvel] == [Korvel])\n"), std::string::npos);
}

TEST_F(BirdFileTest, MovedFileKeepsItsBlocks)
{
    BirdWriter writer = sim::sampleBird(SERIAL, BUILD, "Korvel");
    BirdFile moved;
    {
        BirdFile original(save(writer).c_str());
        moved = std::move(original);
    }
    BirdFile constructed(std::move(moved));
    EXPECT_EQ(constructed.GetBuild(), BUILD);
    EXPECT_EQ(constructed.serial_address, SampleBird::serialAddress);
    EXPECT_EQ(imageOf(constructed.FindBlocks(BirdFile::BLOCK_FIRMWARE).at(0)),
              SampleBird::firmwareImage(BUILD));
    EXPECT_TRUE(constructed.ReplaceSerialNumber(SERIAL));
}

TEST_F(BirdFileTest, VectorChecksumOfFirmwareLoadedAtZero)
{
    Bytes table = sim::randomBytes(64, 41);
    BirdWriter writer;
    writer.firmware(0, table).firmware(0x1000, table).firmware(0, Bytes(table.begin(), table.begin() + 20));
    BirdFile bird(save(writer).c_str());
    EXPECT_TRUE(bird.ReplaceVectorChecksum());

    auto word = [](const Bytes& b, size_t i) {
        return uint32_t(b[4 * i]) | uint32_t(b[4 * i + 1]) << 8 | uint32_t(b[4 * i + 2]) << 16 |
               uint32_t(b[4 * i + 3]) << 24;
    };
    std::vector<BirdBlock> firmware = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    Bytes patched = imageOf(firmware[0]);
    uint32_t sum = 0;
    for (size_t i = 0; i < 8; ++i)
        sum += word(patched, i);
    EXPECT_EQ(sum, 0u);
    EXPECT_EQ(Bytes(patched.begin() + 32, patched.end()), Bytes(table.begin() + 32, table.end()));
    EXPECT_EQ(imageOf(firmware[1]), table);
    EXPECT_EQ(imageOf(firmware[2]), Bytes(table.begin(), table.begin() + 20));
}

TEST_F(BirdFileTest, DiagnosticSearchAndDump)
{
    BirdWriter writer;
    writer.firmware(0x41420000, {0x01, 0x41, 0x42}).loader(0, {0x41, 0x42});
    std::string path = save(writer);
    BirdFile bird(path.c_str());

    unsigned char pattern[] = {0x41, 0x42};
    EXPECT_TRUE(bird.ValidateData(pattern, 2));
    EXPECT_NE(logText().find("Found data at 0\nFound data at 5\n\n"), std::string::npos) << logText();
    unsigned char absent[] = {0x42, 0x41};
    EXPECT_FALSE(bird.ValidateData(absent, 2));

    testing::internal::CaptureStdout();
    bird.DumpBlocks(BirdFile::BLOCK_FIRMWARE);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "BIRDFILE: BLOCK DUMP [" + path + "]\n \r\n000000: 41 42 00 00 01 41 42  AB   AB\n\n");
}

} // namespace
