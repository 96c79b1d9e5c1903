// The LPC17xx recovery's pace: a firmware image written through the
// simulated boot ROM behind a pseudo-terminal whose line is paced as a
// 115200-baud UART, as a fraction of what the line could carry at most in
// UU-encoded data lines (45 bytes in 61 characters and CR LF, ten bit times
// a character). The best of a few rounds counts, so that a burst of other
// load on the machine does not decide it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/BirdFile.h"
#include "engine/Updater.h"
#include "tests/engine/recording_display.h"
#include "tests/sim/bird_writer.h"
#include "tests/sim/lpc_isp_rom.h"
#include "tests/sim/pty_carrier.h"

namespace {

constexpr unsigned kBaud = 115200;
constexpr size_t kImageBytes = 64 * 1024;
constexpr int kRounds = 3;

// Payload bytes a second, 0 when the recovery failed.
double measure(const std::string& path)
{
    sim::LpcIspRom rom;
    rom.setLineRate(kBaud);
    rom.setSynchronised();
    sim::PtyCarrier carrier(rom, sim::PtyCarrier::Framing::Raw);
    BirdFile file(path.c_str());
    enginetest::RecordingDisplay display;
    std::string port = carrier.path();
    const auto start = std::chrono::steady_clock::now();
    const bool done = _recover_firmware_lpc(display, file, port, kBaud);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return done && rom.counters().started ? kImageBytes / seconds : 0;
}

} // namespace

int main()
{
    char dir[] = "/tmp/bench-recovery-lpc-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string path = std::string(dir) + "/firmware.bird";
    sim::BirdWriter().firmware(0, sim::randomBytes(kImageBytes, 5)).write(path);

    double best = 0;
    for (int round = 0; round < kRounds; ++round) best = std::max(best, measure(path));
    std::remove(path.c_str());
    std::remove(dir);

    const double lineLimit = kBaud / 10.0 * 45.0 / 63.0;
    std::printf("recovery.lpc.fraction_of_line %.3f ratio\n", best / lineLimit);
    return best > 0 ? 0 : 1;
}
