#include "tests/sim/bird_writer.h"

#include <zlib.h>

#include <cstdio>
#include <random>
#include <stdexcept>

namespace sim {

namespace {

void putBig32(Bytes& out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

Bytes big32(uint32_t value)
{
    Bytes out;
    putBig32(out, value);
    return out;
}

// A 16-byte text field: the text, cut or padded with spaces.
void putField(Bytes& out, const std::string& text)
{
    for (size_t i = 0; i < 16; ++i)
        out.push_back(i < text.size() ? static_cast<uint8_t>(text[i]) : ' ');
}

Bytes addressed(uint32_t address, const Bytes& image)
{
    Bytes payload = big32(address);
    payload.insert(payload.end(), image.begin(), image.end());
    return payload;
}

} // namespace

Bytes randomBytes(size_t count, uint32_t seed)
{
    std::mt19937 generator(seed);
    Bytes out(count);
    for (auto& byte : out)
        byte = static_cast<uint8_t>(generator());
    return out;
}

void writeBytes(const std::string& path, const Bytes& bytes)
{
    FILE* file = fopen(path.c_str(), "wb");
    if (!file)
        throw std::runtime_error("cannot create " + path);
    bool written = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (fclose(file) != 0 || !written)
        throw std::runtime_error("cannot write " + path);
}

BirdWriter& BirdWriter::loader(uint32_t address, const Bytes& image, uint8_t flags)
{
    return block(0, addressed(address, image), flags);
}

BirdWriter& BirdWriter::firmware(uint32_t address, const Bytes& image, uint8_t flags)
{
    return block(1, addressed(address, image), flags);
}

BirdWriter& BirdWriter::serialOffsets(uint32_t serialAddress, uint32_t descriptorAddress)
{
    Bytes payload = big32(serialAddress);
    putBig32(payload, descriptorAddress);
    return block(2, payload);
}

BirdWriter& BirdWriter::identity(uint32_t build, const std::string& version, uint32_t serial,
                                 const std::string& model)
{
    char serialText[9];
    snprintf(serialText, sizeof serialText, "%08X", serial);
    Bytes payload;
    putField(payload, std::to_string(build));
    putField(payload, version);
    putField(payload, serialText);
    putField(payload, model);
    return block(4, payload);
}

BirdWriter& BirdWriter::loaderIvt(uint32_t address)
{
    return block(5, big32(address));
}

BirdWriter& BirdWriter::block(uint8_t type, const Bytes& payload, uint8_t flags)
{
    blocks_.push_back({static_cast<uint8_t>((type & 0x1F) | (flags << 5)), payload, std::nullopt});
    return *this;
}

BirdWriter& BirdWriter::statedLength(uint32_t length)
{
    if (blocks_.empty())
        throw std::logic_error("statedLength needs a block");
    blocks_.back().statedLength = length;
    return *this;
}

BirdWriter& BirdWriter::statedCount(uint32_t count)
{
    statedCount_ = count;
    return *this;
}

BirdWriter& BirdWriter::checksum(uint32_t value)
{
    checksum_ = value;
    return *this;
}

BirdWriter& BirdWriter::signature(const std::string& fourBytes)
{
    if (fourBytes.size() != 4)
        throw std::logic_error("a signature has four bytes");
    signature_ = fourBytes;
    return *this;
}

BirdWriter& BirdWriter::version(uint8_t high, uint8_t low)
{
    version_[0] = high;
    version_[1] = low;
    return *this;
}

Bytes BirdWriter::body() const
{
    Bytes out = big32(statedCount_.value_or(static_cast<uint32_t>(blocks_.size())));
    for (const Block& b : blocks_) {
        out.push_back(b.header);
        putBig32(out, b.statedLength.value_or(static_cast<uint32_t>(b.payload.size())));
        out.insert(out.end(), b.payload.begin(), b.payload.end());
    }
    putBig32(out, checksum_.value_or(static_cast<uint32_t>(crc32(0, out.data(), static_cast<uInt>(out.size())))));
    return out;
}

Bytes BirdWriter::fileWithBody(const Bytes& plain) const
{
    uLongf compressedSize = compressBound(plain.size());
    Bytes out(6 + compressedSize);
    if (compress2(out.data() + 6, &compressedSize, plain.data(), plain.size(), Z_BEST_COMPRESSION) != Z_OK)
        throw std::runtime_error("cannot compress a firmware body");
    out.resize(6 + compressedSize);
    for (size_t i = 0; i < 4; ++i)
        out[i] = static_cast<uint8_t>(signature_[i]);
    out[4] = version_[0];
    out[5] = version_[1];
    return out;
}

Bytes BirdWriter::file() const
{
    return fileWithBody(body());
}

std::string BirdWriter::write(const std::string& path) const
{
    writeBytes(path, file());
    return path;
}

Bytes SampleBird::loaderImage(uint32_t build)
{
    return randomBytes(loaderSize, build * 2 + 1);
}

Bytes SampleBird::firmwareImage(uint32_t build)
{
    return randomBytes(firmwareSize, build * 2 + 2);
}

BirdWriter sampleBird(uint32_t serial, uint32_t build, const std::string& model, const std::string& version)
{
    BirdWriter bird;
    bird.identity(build, version, serial, model)
        .serialOffsets(SampleBird::serialAddress, SampleBird::descriptorAddress)
        .loader(SampleBird::loaderAddress, SampleBird::loaderImage(build))
        .firmware(SampleBird::firmwareAddress, SampleBird::firmwareImage(build))
        .loaderIvt(SampleBird::loaderIvtAddress);
    return bird;
}

const std::vector<BirdDefect>& allBirdDefects()
{
    static const std::vector<BirdDefect> all = {
        BirdDefect::BadSignature,   BirdDefect::ZeroVersionByte,    BirdDefect::HeaderOnly,
        BirdDefect::TruncatedBody,  BirdDefect::OverExpanding,      BirdDefect::CountMismatch,
        BirdDefect::LengthPastBody, BirdDefect::ShortSerialOffsets, BirdDefect::ShortIdentity,
        BirdDefect::ShortLoader,    BirdDefect::ShortFirmware,
    };
    return all;
}

const char* birdDefectName(BirdDefect defect)
{
    switch (defect) {
    case BirdDefect::BadSignature: return "BadSignature";
    case BirdDefect::ZeroVersionByte: return "ZeroVersionByte";
    case BirdDefect::HeaderOnly: return "HeaderOnly";
    case BirdDefect::TruncatedBody: return "TruncatedBody";
    case BirdDefect::OverExpanding: return "OverExpanding";
    case BirdDefect::CountMismatch: return "CountMismatch";
    case BirdDefect::LengthPastBody: return "LengthPastBody";
    case BirdDefect::ShortSerialOffsets: return "ShortSerialOffsets";
    case BirdDefect::ShortIdentity: return "ShortIdentity";
    case BirdDefect::ShortLoader: return "ShortLoader";
    case BirdDefect::ShortFirmware: return "ShortFirmware";
    }
    return "?";
}

Bytes damagedBird(const BirdWriter& base, BirdDefect defect)
{
    BirdWriter bird = base;
    // Drops the blocks of a type and appends, last in the body, one whose
    // payload is the first `shortLength` bytes of the first one dropped.
    auto replaceWithShort = [&bird](uint8_t type, size_t shortLength) {
        Bytes payload = randomBytes(shortLength, 7);
        auto& blocks = bird.blocks_;
        bool first = true;
        for (auto it = blocks.begin(); it != blocks.end();) {
            if ((it->header & 0x1F) != type) {
                ++it;
                continue;
            }
            if (first && it->payload.size() >= shortLength)
                payload.assign(it->payload.begin(), it->payload.begin() + shortLength);
            first = false;
            it = blocks.erase(it);
        }
        bird.block(type, payload);
    };

    switch (defect) {
    case BirdDefect::BadSignature:
        bird.signature("bard");
        break;
    case BirdDefect::ZeroVersionByte:
        bird.version(0, 1);
        break;
    case BirdDefect::HeaderOnly: {
        Bytes file = bird.file();
        file.resize(6);
        return file;
    }
    case BirdDefect::TruncatedBody: {
        Bytes file = bird.file();
        file.resize(6 + (file.size() - 6) / 2);
        return file;
    }
    case BirdDefect::OverExpanding:
        bird.block(3, Bytes(8 * base.file().size() + 65536, 0));
        break;
    case BirdDefect::CountMismatch:
        bird.statedCount(static_cast<uint32_t>(bird.blocks_.size() + 1));
        break;
    case BirdDefect::LengthPastBody:
        if (bird.blocks_.empty())
            bird.block(3, randomBytes(16, 7));
        bird.statedLength(static_cast<uint32_t>(bird.blocks_.back().payload.size() + 100));
        break;
    case BirdDefect::ShortSerialOffsets:
        replaceWithShort(2, 2);
        break;
    case BirdDefect::ShortIdentity:
        replaceWithShort(4, 20);
        break;
    case BirdDefect::ShortLoader:
        bird.block(0, randomBytes(3, 7));
        break;
    case BirdDefect::ShortFirmware:
        bird.block(1, randomBytes(2, 7));
        break;
    }
    return bird.file();
}

} // namespace sim
