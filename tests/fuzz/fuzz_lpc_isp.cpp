// The LPC17xx boot ROM's answers and the UU coding of its data lines. Any
// bytes up to 45 encode to one line that decodes back to them; decoding any
// line writes nothing past the room given. A session of commands against a
// chip whose answers are the input stays within its buffers, and the data
// lines that a write sends first decode to the data. Once its script is
// spent the chip answers empty lines at once, as a chip that answers nothing
// does, without waiting out the time-outs.
#include "recovery/NXPSerialClass.h"
#include "tests/fuzz/support.h"

#include <cstring>
#include <memory>
#include <string>

namespace {

// The chip: delivers the script, then CR LF forever; keeps what the host sent.
struct ScriptedChip {
    fuzz::Bytes script;
    size_t position = 0;
    std::string sent;

    static aErr get(uint8_t* byte, void* reference)
    {
        auto* self = static_cast<ScriptedChip*>(reference);
        if (self->position < self->script.size()) {
            *byte = self->script[self->position++];
        } else {
            *byte = (self->position++ - self->script.size()) % 2 ? '\n' : '\r';
        }
        return aErrNone;
    }
    static aErr put(const uint8_t* byte, void* reference)
    {
        static_cast<ScriptedChip*>(reference)->sent.push_back(char(*byte));
        return aErrNone;
    }
    static aErr write(const uint8_t* data, size_t length, void* reference)
    {
        static_cast<ScriptedChip*>(reference)->sent.append(reinterpret_cast<const char*>(data), length);
        return aErrNone;
    }
};

void uuLines(fuzz::Input& input)
{
    const fuzz::Bytes data = input.sized(60);
    char line[2 + 4 * (NXPSerialClass::MAX_BYTES_PER_LINE / 3)];
    const size_t taken = NXPSerialClass::uuencode(line, data.data(), data.size());
    FUZZ_CHECK(taken == std::min<size_t>(data.size(), NXPSerialClass::MAX_BYTES_PER_LINE));
    FUZZ_CHECK(std::strlen(line) == 1 + (taken + 2) / 3 * 4);
    for (const char* c = line; *c; ++c) FUZZ_CHECK(*c > ' ' && *c <= '`');
    uint8_t back[NXPSerialClass::MAX_BYTES_PER_LINE];
    FUZZ_CHECK(NXPSerialClass::uudecode(back, taken, line) == taken);
    FUZZ_CHECK(fuzz::same(back, data.data(), taken));

    // Any line, into exactly the room given.
    const size_t room = input.byte() % 70;
    const std::string text = input.text(100);
    fuzz::Bytes buffer(room);
    const size_t count = NXPSerialClass::uudecode(buffer.data(), room, text.c_str());
    FUZZ_CHECK(count <= room);
}

void session(fuzz::Input& input)
{
    ScriptedChip chip;
    NXPSerialClass isp;
    isp.stream = aStream_Create(ScriptedChip::get, ScriptedChip::put, ScriptedChip::write, nullptr, &chip);
    FUZZ_CHECK(isp.stream);
    isp.baudRate = 115200;
    isp.echo = input.byte() & 1;
    fuzz::Bytes operations = input.sized(16);
    chip.script = input.bytes(1024);

    for (uint8_t operation : operations) {
        const uint32_t a = operation >> 4;
        switch (operation % 11) {
        case 0: isp.GetDeviceID(); break;
        case 1: {
            uint8_t major = 0, minor = 0;
            isp.GetBootLoaderVersion(&major, &minor);
            break;
        }
        case 2: {
            int64_t part = 0;
            isp.GetPartNumber(&part);
            break;
        }
        case 3: isp.SetEcho(a & 1); break;
        case 4: isp.SetBaudRate(115200); break;
        case 5: isp.Unlock(); break;
        case 6: isp.Prepare(a, a + 1); break;
        case 7: isp.Erase(a, a + 2); break;
        case 8: isp.CopyToFlash(0x1000 * a, NXPSerialClass::WRITE_ADDRESS, 256); break;
        case 9: {
            const fuzz::Bytes data = fuzz::Bytes(4 * (1 + a * 25), uint8_t(operation));
            const size_t before = chip.sent.size();
            if (isp.Write(NXPSerialClass::WRITE_ADDRESS, uint32_t(data.size()), data.data()) == aErrNone) {
                // The first line after the command carries the first bytes.
                const size_t start = chip.sent.find("\r\n", before);
                FUZZ_CHECK(start != std::string::npos);
                uint8_t first[NXPSerialClass::MAX_BYTES_PER_LINE];
                const std::string line = chip.sent.substr(start + 2, chip.sent.find("\r\n", start + 2) - start - 2);
                const size_t n = NXPSerialClass::uudecode(first, sizeof first, line.c_str());
                FUZZ_CHECK(n == std::min<size_t>(data.size(), NXPSerialClass::MAX_BYTES_PER_LINE));
                FUZZ_CHECK(fuzz::same(first, data.data(), n));
            }
            break;
        }
        default: {
            // Reading with echo on waits for the chip's line after each checksum.
            const bool echo = isp.echo;
            isp.echo = false;
            const uint32_t count = 4 * (1 + a * 25);
            std::unique_ptr<uint8_t[]> buffer(new uint8_t[count]);
            isp.Read(0, count, buffer.get());
            isp.echo = echo;
            break;
        }
        }
    }
    aStream_Destroy(&isp.stream);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input input(data, size);
    if (input.byte() & 1)
        session(input);
    else
        uuLines(input);
    return 0;
}
