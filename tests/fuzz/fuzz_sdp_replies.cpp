// The i.MX boot ROM's serial download replies, as the USB HID and the UART
// transport read them. Whatever the boot ROM answers, a loader write that
// succeeds sent the write command and exactly the image in data reports, and
// a fingerprint that succeeds is the two register words the boot ROM sent.
// The scripted boot ROM answers each report with its next reply, and with
// nothing at once when the script is spent.
#include "recovery/HID_SDPLoader.h"
#include "recovery/SDPLoader.h"
#include "recovery/Serial_SDPLoader.h"
#include "tests/fuzz/support.h"

#include <deque>
#include <memory>

namespace {

struct Sent {
    std::vector<fuzz::Bytes> reports;
};

// Replies from the script; the real transport's reading of a reply.
class ScriptedBootRom : public SDPLoader_Interface {
public:
    ScriptedBootRom(SDPLoader_Interface& parser, std::deque<fuzz::Bytes> replies, Sent& sent)
        : parser_(parser), replies_(std::move(replies)), sent_(sent)
    {
    }
    bool init() override { return true; }
    long writeData(const std::vector<uint8_t>& report) override
    {
        sent_.reports.push_back(report);
        return long(report.size());
    }
    long readData(std::vector<uint8_t>& reply, unsigned int) override
    {
        if (replies_.empty()) return 0;
        const fuzz::Bytes next = replies_.front();
        replies_.pop_front();
        reply.insert(reply.end(), next.begin(), next.end());
        return long(next.size());
    }
    bool getDataFromBuffer(const std::vector<uint8_t>& reply, unsigned int offset, uint32_t& value) override
    {
        return parser_.getDataFromBuffer(reply, offset, value);
    }

private:
    SDPLoader_Interface& parser_;
    std::deque<fuzz::Bytes> replies_;
    Sent& sent_;
};

uint32_t little32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The word a reply carries after its leading one, as each transport frames it.
bool replyWord(bool hid, const fuzz::Bytes& reply, uint32_t& word)
{
    if (hid ? reply.size() != HID_SDPLoader::REPLY_BYTES : reply.size() < 8) return false;
    word = little32(reply.data() + (hid ? 6 : 4));
    return true;
}

uint32_t big32(const fuzz::Bytes& b, size_t at)
{
    return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input input(data, size);
    const uint8_t mode = input.byte();
    const bool hid = mode & 1;
    const uint32_t address = input.word();
    const fuzz::Bytes image = input.bytes(input.byte() * 16u);
    std::deque<fuzz::Bytes> replies;
    while (!input.empty() && replies.size() < 32) {
        // A HID reply is one report 3 and one report 4, or nothing.
        const uint8_t length = input.byte();
        replies.push_back(hid && (length & 0x80) ? input.bytes(HID_SDPLoader::REPLY_BYTES) : input.bytes(length % 80));
    }
    const std::deque<fuzz::Bytes> script = replies;

    HID_SDPLoader hidParser(IMX1050::VID, IMX1050::PID);
    Serial_SDPLoader serialParser("/dev/null");
    Sent sent;
    SDPLoader sdp;
    FUZZ_CHECK(sdp.setLoader(new ScriptedBootRom(hid ? static_cast<SDPLoader_Interface&>(hidParser) : serialParser,
                                                 replies, sent)));
    FUZZ_CHECK(sdp.init() == SDPLoader::SUCCESS);

    if (mode & 2) {
        uint64_t fingerprint = 0;
        const uint8_t result = sdp.getFingerprint(fingerprint);
        if (result == SDPLoader::SUCCESS) {
            // The status requests answered without a word are passed over,
            // and answers a slow boot ROM still owed after the first one with
            // a word are drained: two later replies, one after the other,
            // carry the registers.
            size_t at = 0;
            uint32_t word = 0;
            while (!replyWord(hid, script[at], word)) ++at;
            bool carried = false;
            for (size_t i = at + 1; i + 1 < script.size() && !carried; ++i) {
                uint32_t low = 0, high = 0;
                carried = replyWord(hid, script[i], low) && replyWord(hid, script[i + 1], high) &&
                       fingerprint == (uint64_t(high) << 32 | low);
            }
            FUZZ_CHECK(carried);
        }
        return 0;
    }
    const uint8_t result = sdp.writeLoader(image, address);
    if (result != SDPLoader::SUCCESS) return 0;
    // Status requests, then the write command and the image.
    size_t command = 0;
    while (command < sent.reports.size() && big32(sent.reports[command], 1) >> 16 == SDPLoader::ERROR_STATUS)
        ++command;
    FUZZ_CHECK(command < sent.reports.size());
    const fuzz::Bytes& write = sent.reports[command];
    FUZZ_CHECK(write.size() == MAX_COMMAND_BYTES && write[0] == SDPLoader::COMMAND_REPORT);
    FUZZ_CHECK((write[1] << 8 | write[2]) == SDPLoader::WRITE_FILE);
    FUZZ_CHECK(big32(write, 3) == address && big32(write, 8) == image.size());
    fuzz::Bytes carried;
    for (size_t i = command + 1; i < sent.reports.size(); ++i) {
        FUZZ_CHECK(sent.reports[i].size() > 1 && sent.reports[i].size() <= 1 + MAX_WRITE_BYTES);
        FUZZ_CHECK(sent.reports[i][0] == SDPLoader::DATA_REPORT);
        carried.insert(carried.end(), sent.reports[i].begin() + 1, sent.reports[i].end());
    }
    FUZZ_CHECK(carried == image);
    return 0;
}
