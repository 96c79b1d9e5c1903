// The i.MX boot ROM's write-file rate over USB HID: an image written with
// the serial download client into the simulated boot ROM behind an emulated
// hidraw device. Runs under umockdev-wrapper. The best of a few rounds
// counts, so that a burst of other load on the machine does not decide it.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "recovery/HID_SDPLoader.h"
#include "recovery/SDPLoader.h"
#include "tests/sim/bird_writer.h"
#include "tests/sim/hidraw_carrier.h"
#include "tests/sim/sdp_boot_rom.h"

namespace {

constexpr size_t kImageBytes = 512 * 1024;
constexpr uint32_t kAddress = 0x20000000;
constexpr int kRounds = 3;

} // namespace

int main()
{
    sim::SdpBootRom rom(sim::SdpBootRom::Wire::Hid);
    sim::HidrawCarrier carrier;
    carrier.plug({0x1FC9, 0x0130, "SE Blank RT Family", sim::SdpBootRom::hidReportDescriptor()}, rom);
    const std::vector<uint8_t> image = sim::randomBytes(kImageBytes, 9);

    double best = 0;
    for (int round = 0; round < kRounds; ++round) {
        SDPLoader loader;
        loader.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID));
        if (loader.init() != SDPLoader::SUCCESS) break;
        const auto start = std::chrono::steady_clock::now();
        const uint8_t result = loader.writeLoader(image, kAddress);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (result != SDPLoader::SUCCESS || rom.memory(kAddress, image.size()) != image) {
            best = 0;
            break;
        }
        best = std::max(best, kImageBytes / 1024.0 / seconds);
    }
    std::printf("recovery.sdp_hid.kib_per_s %.1f KiB/s\n", best);
    return best > 0 ? 0 : 1;
}
