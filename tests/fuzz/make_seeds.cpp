// Writes the seed corpora of the fuzz targets with the project's own writers:
//   fuzz_seeds DIR    (DIR/<target>/<seed> for every target; DIR is usually
//                      tests/fuzz/corpus)
// Each seed is a typical good input of its target's layout, for the fuzzer
// to start from.
#include "common/aDiscovery.h"
#include "common/aPacket.h"
#include "common/aStream_CobsEncoding.h"
#include "common/aVorneDiscovery.h"
#include "common/cobs.h"
#include "engine/Base64.h"
#include "engine/KeyValueStore.h"
#include "tests/fuzz/support.h"
#include "tests/sim/bird_writer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using fuzz::Bytes;

std::string root;

void seed(const std::string& target, const std::string& name, const Bytes& bytes)
{
    std::filesystem::create_directories(root + "/" + target);
    sim::writeBytes(root + "/" + target + "/" + name, bytes);
}

Bytes readBytes(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes text(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

// A run as the targets read it: its length byte, then the bytes.
Bytes sized(const Bytes& b)
{
    return Bytes{uint8_t(b.size())} + b;
}

Bytes word(uint32_t w)
{
    return Bytes{uint8_t(w >> 24), uint8_t(w >> 16), uint8_t(w >> 8), uint8_t(w)};
}

// Wire forms of a few packets a device sends: address answers, a heartbeat,
// a value reply and a full-length one.
Bytes samplePackets()
{
    Bytes full{0x02, 28};
    for (uint8_t i = 0; i < 28; ++i) full.push_back(uint8_t(0x40 + i));
    return Bytes{0x02, 0x00, 0x02, 0x00} + Bytes{0x02, 0x02, 0x00, 0x01} + Bytes{0x02, 0x04, 0x17, 0x41, 0x20, 0x07} +
           full;
}

// The line bytes a COBS stream sends for the packets.
Bytes cobsLine(const Bytes& packets)
{
    fuzz::MemoryStream inner;
    aStream* stream = nullptr;
    if (aStream_CreateCobsEncoding(fuzz::MemoryStream::get, fuzz::MemoryStream::put, fuzz::MemoryStream::write,
                                   nullptr, &inner, &stream) != aErrNone)
        throw std::runtime_error("no COBS stream");
    aStream_Write(stream, packets.data(), packets.size());
    aStream_Destroy(&stream);
    return inner.out;
}

void cobsSeeds()
{
    seed("link_reader", "packets", samplePackets());
    // Out of step at an odd address, then the address answers that bring it back.
    seed("link_reader", "resync", samplePackets() + Bytes{0x03, 0x55, 0x00} + Bytes(12, 0) +
                                      Bytes{0x02, 0x00, 0x02, 0x00, 0x02, 0x00, 0x02, 0x00} + samplePackets());
    seed("cobs", "packets", samplePackets());
    seed("cobs", "zeros", Bytes(300, 0));
    seed("cobs", "long_run", sim::randomBytes(600, 7));
    seed("cobs_frames", "read_line", Bytes{1} + cobsLine(samplePackets()));
    seed("cobs_frames", "write_packets", Bytes{0} + samplePackets());
}

void recordSeeds()
{
    seed("stream_records", "crlf_lines", Bytes{40} + sized(text("\r\n")) + Bytes{2, 5, 17} +
                                             text("0\r\nok\r\n13 17\r\nline without end"));
    seed("stream_records", "cstrings", Bytes{16, 0, 0} + text(std::string("first\0second\0", 13)));
}

void base64Seeds()
{
    for (size_t n : {0, 1, 2, 3, 100}) {
        const Bytes bytes = sim::randomBytes(n, uint32_t(n));
        size_t length = 0;
        char* encoded = base64_encode(reinterpret_cast<const char*>(bytes.data()), bytes.size(), &length);
        seed("base64", "encoded_" + std::to_string(n), Bytes(encoded, encoded + length));
        std::free(encoded);
    }
}

void settingsSeeds()
{
    const std::string path = fuzz::scratchDirectory() + "/seed.settings";
    KeyValueStore store;
    store.Add("SERIAL", "0x12345678");
    store.Add("BUILD", 1234);
    store.Add("FILE", "/home/user/.updater/12345678/1234.bird");
    store.Add("EMPTY", "");
    store.Save(path.c_str());
    const Bytes saved = readBytes(path);
    seed("settings", "saved_file", Bytes{0} + saved);
    seed("settings", "hand_edited", Bytes{0} + text("# comment\n  KEY = value \n\n=\nx=\n#K=v\n") + saved);
    seed("settings", "entries", Bytes{1} + sized(text("KEY")) + sized(text("value")) + sized(text("#K")) +
                                    sized(text("v")) + sized(text("")) + sized(text("")));
}

void birdSeeds()
{
    const Bytes queries = sized(text("Korvel")) + sized(Bytes{0x01, 0x02}) + word(0x0BADC0DE);
    const sim::BirdWriter sample = sim::sampleBird(0x12345678, 1234, "Korvel");
    seed("bird_file", "sample_file", Bytes{0} + queries + sample.file());
    seed("bird_file", "sample_body", Bytes{1} + queries + sample.body());
    sim::BirdWriter vectors;
    vectors.identity(77, "1.2.3", 42, "Korvel").firmware(0, sim::randomBytes(64, 3));
    seed("bird_file", "vector_table", Bytes{1} + queries + vectors.body());
    seed("bird_file", "written_blocks", Bytes{2} + queries + Bytes{3} + Bytes{0x21} + sized(word(0x10000000)) +
                                            Bytes{1} + Bytes{0x04} + sized(text("1.0 Korvel")) + Bytes{2});
}

// Words separated by NUL bytes, as the command-line target splits them.
Bytes commandLine(const std::vector<std::string>& words)
{
    Bytes line;
    for (const std::string& word : words) line = line + text(word) + Bytes{0};
    return line;
}

void commandLineSeeds()
{
    seed("command_line", "update", commandLine({"-U", "-d", "12345678", "-f", "/tmp/1234.bird", "-t", "USB"}));
    seed("command_line", "download", commandLine({"-G", "-b", "1234", "--https", "-i", "store", "plain", "-X=FF"}));
    seed("command_line", "recover", commandLine({"-U", "-t", "RECOVER", "-s", "/dev/ttyUSB0", "-o", "115200", "-e"}));
    seed("command_line", "errors", commandLine({"-q", "-d", "-u", "localhost:8080", "--http", "-OVER", "-b"}));
}

void lpcIspSeeds()
{
    seed("lpc_isp", "uu_line", Bytes{0} + sized(sim::randomBytes(45, 9)) + Bytes{45} + sized(text("M86%C")));
    // Echo off; part number, device id, version, prepare, erase, write, read.
    const Bytes operations{2, 0, 1, 6, 7, 9, 10};
    seed("lpc_isp", "session", Bytes{1, 0} + sized(operations) +
                                   text("0\r\n637615927\r\n0\r\n1\r\n2\r\n3\r\n4\r\n0\r\n4\r\n1\r\n"
                                        "0\r\n0\r\n0\r\n0\r\nOK\r\n0\r\n$`````\r\n0\r\n"));
}

Bytes little(uint32_t w)
{
    return Bytes{uint8_t(w), uint8_t(w >> 8), uint8_t(w >> 16), uint8_t(w >> 24)};
}

// Boot ROM replies as each transport hands them over: over HID a report 3
// and a report 4, over the UART two words back to back.
Bytes hidReply(uint32_t w)
{
    Bytes reply = Bytes{3} + little(0x12343412) + Bytes{4} + little(w);
    reply.resize(70, 0);
    return Bytes{0x80} + reply;
}

Bytes serialReply(uint32_t w)
{
    return Bytes{8} + little(0x12343412) + little(w);
}

void sdpSeeds()
{
    // One image chunk: nothing arrives while it goes out (an empty reply).
    const Bytes image = sim::randomBytes(32, 5);
    for (const bool hid : {true, false}) {
        const auto reply = hid ? hidReply : serialReply;
        const std::string transport = hid ? "hid" : "serial";
        seed("sdp_replies", transport + "_write", Bytes{uint8_t(hid ? 1 : 0)} + word(0x20000000) + Bytes{2} + image +
                                                      reply(0xF0F0F0F0) + Bytes{0} + reply(0x88888888));
        seed("sdp_replies", transport + "_fingerprint", Bytes{uint8_t(hid ? 3 : 2)} + word(0) + Bytes{0} +
                                                            Bytes{0} + reply(0xF0F0F0F0) + reply(0x11223344) +
                                                            reply(0x55667788));
    }
}

void serverReplySeeds()
{
    const Bytes firmware = sim::sampleBird(0x12345678, 1234, "Korvel").file();
    size_t length = 0;
    char* encoded = base64_encode(reinterpret_cast<const char*>(firmware.data()), 300, &length);
    seed("server_replies", "latest", Bytes{0} + text("ok\n1234\nKorvel\r\n"));
    seed("server_replies", "build_list", Bytes{0} + text("ok\r\n1234;2.15.3\r\n1233;2.15.2\r\n99999999999;1.0.0\r\n"));
    seed("server_replies", "firmware", Bytes{0} + text("ok\r\n") + Bytes(encoded, encoded + length) + text("\r\n"));
    seed("server_replies", "recovery", Bytes{0} + text("ok\n12345678\n0x4D2\n"));
    seed("server_replies", "refused", Bytes{0xFF} + text("no\n"));
    std::free(encoded);
}

void probeSeeds()
{
    for (const linkType type : {AVORNE_USB, AVORNE_TCPIP, AVORNE_SERIAL, SERIAL}) {
        linkSpec spec{};
        spec.type = type;
        spec.serialNumber = 0x12345678;
        spec.moduleAddress = 2;
        if (type == SERIAL) {
            std::memset(spec.portName, 'A', sizeof spec.portName);
        } else {
            spec.ipAddress = 0x0100007F;
            spec.tcpPort = 9000;
        }
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&spec);
        seed("probe_answers", "type_" + std::to_string(type), Bytes{1} + Bytes(bytes, bytes + sizeof spec));
    }
    seed("probe_answers", "nothing", Bytes{1});
}

void beaconSeeds()
{
    for (const linkType type : {AVORNE_USB, AVORNE_TCPIP, AVORNE_SERIAL, TCPIP, SERIAL}) {
        linkSpec spec{};
        spec.type = type;
        spec.serialNumber = 0x12345678;
        spec.moduleAddress = 2;
        spec.model = 17;
        if (type == SERIAL) {
            std::memset(spec.portName, 'A', sizeof spec.portName);
        } else {
            spec.ipAddress = 0x0A01A8C0;
            spec.tcpPort = 9000;
        }
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&spec);
        seed("beacons", "type_" + std::to_string(type), Bytes(bytes, bytes + sizeof spec));
    }
    // What every searcher of the network publishes, and hears of the others.
    seed("beacons", "search", text(aVorneDiscovery::kBeaconContent));
}

void discoveryReplySeeds()
{
    // From 192.168.1.10: address 2, port 9000, serial number 0x12345678, model 17.
    const Bytes sender{192, 168, 1, 10};
    const Bytes reply{0x01, 0x02, 0x28, 0x23, 0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0, 17, 0, 0, 0};
    seed("discovery_replies", "reply", sender + reply);
    seed("discovery_replies", "short_reply", sender + Bytes(reply.begin(), reply.begin() + 8));
    seed("discovery_replies", "long_reply", sender + reply + sim::randomBytes(16, 13));
}

void serverMessageSeeds()
{
    // Echo requests one to a frame, two gathered in one, a stream enable.
    const Bytes echo{0x02, 3, 23, 1, 2};
    seed("server_messages", "requests", sized(echo) + sized(Bytes{0x02, 0}) + sized(echo + Bytes{0x02, 1, 0x30}));
    seed("server_messages", "stream_enable", sized(Bytes{0x02, 7, 0x5D, 0x81, 0, 0, 0, 0, 1}));
    // A byte array of two chunks for the system entity: 28 data bytes each,
    // the sequence byte last (bit 7 while more follow).
    Bytes first{0x02, 28, 3, 0x01, 0x05};
    first.resize(29, 0x11);
    first.push_back(0x80);
    Bytes last{0x02, 28, 3, 0x01, 0x05};
    last.resize(29, 0x22);
    last.push_back(0x01);
    seed("server_messages", "byte_array", sized(first) + sized(last));
    // Refused: a force-route packet, a frame cut short, an empty one.
    seed("server_messages", "refused", sized(Bytes{0xAF, 1, 0x10}) + sized(Bytes{0x02, 5, 23}) + sized(Bytes{}));
}

void upgradeSeeds()
{
    const Bytes image = sim::randomBytes(60, 11);
    // Three data requests taken, the second after one wrong count, then the sum.
    seed("device_replies", "transfer", Bytes{0} + sized(image) + Bytes{0, 1, 7, 0, 0, 4});
    seed("device_replies", "prepare", Bytes{1} + sized(Bytes{}) + Bytes{3, 0, 0x04, 0x00});
    seed("device_replies", "init", Bytes{2} + sized(Bytes{}) + Bytes{5, 0x20, 0x00, 0x00, 0x00, 0x01});
    seed("device_replies", "write", Bytes{3} + sized(image) + Bytes{1, 0});
    // Entity requests (operation bit 7): a 32-bit get, an 8-bit get answered
    // with an error, a set.
    seed("device_replies", "entity_get32", Bytes{0x86} + sized(Bytes{}) + Bytes{4, 0x12, 0x34, 0x56, 0x78});
    seed("device_replies", "entity_error", Bytes{0xA0} + sized(Bytes{}) + Bytes{0x81, 5});
    seed("device_replies", "entity_set", Bytes{0x8B} + sized(Bytes{}) + Bytes{0});
    // No answer: to an 8-bit get; to a 16-bit get whose reply comes late and
    // which is asked again; to the second data request of a transfer.
    seed("device_replies", "entity_silent", Bytes{0x80} + sized(Bytes{}) + Bytes{0x70});
    seed("device_replies", "entity_late", Bytes{0x85} + sized(Bytes{}) + Bytes{0x7A, 0x11, 0x22, 2, 0x33, 0x44});
    seed("device_replies", "transfer_silent", Bytes{0} + sized(image) + Bytes{0, 0x70});
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    root = argv[1];
    cobsSeeds();
    recordSeeds();
    base64Seeds();
    settingsSeeds();
    birdSeeds();
    commandLineSeeds();
    lpcIspSeeds();
    sdpSeeds();
    serverReplySeeds();
    probeSeeds();
    beaconSeeds();
    discoveryReplySeeds();
    serverMessageSeeds();
    upgradeSeeds();
    return 0;
}
