// What the round-trip benchmarks share: the echo request they send, the
// timing of an exchange repeated after a warm-up (rate and median latency),
// that exchange through a running link, and the process's CPU time. With
// TESS_BENCH_SHORT set (and not 0) every benchmark makes a short run: a few
// rounds of fewer exchanges, figures printed as usual, for CI to see that it
// still works; its figures are rough.
#pragma once

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "common/aLink.h"
#include "common/aPacket.h"
#include "tests/sim/device_model.h"

namespace roundtrip {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kDevice = 0x02;

// Whether TESS_BENCH_SHORT asks for a short run.
inline bool shortRun()
{
    const char* value = std::getenv("TESS_BENCH_SHORT");
    return value && *value && std::strcmp(value, "0") != 0;
}

// The count for a full run, or the short run's.
inline int runLength(int full, int brief)
{
    return shortRun() ? brief : full;
}

inline int roundTrips()
{
    return runLength(2000, 200);
}

// One 30-byte packet: the device's address, 28 data bytes, the echo command first.
inline std::vector<uint8_t> requestWire()
{
    std::vector<uint8_t> wire = {kDevice, 28, sim::kEchoCommand};
    for (uint8_t i = 0; wire.size() < 30; i++) wire.push_back(i);
    return wire;
}

struct Figures {
    double perSecond = 0;
    double medianUs = 0;

    void keepBest(const Figures& round)
    {
        perSecond = std::max(perSecond, round.perSecond);
        if (round.medianUs > 0 && (medianUs == 0 || round.medianUs < medianUs)) medianUs = round.medianUs;
    }
};

// Runs one exchange warmup + roundTrips() times; all zero when one fails.
inline Figures measure(const std::function<bool()>& exchange, int warmup)
{
    for (int i = 0; i < warmup; i++)
        if (!exchange()) return {};
    const int count = roundTrips();
    std::vector<double> latencies;
    latencies.reserve(count);
    auto start = Clock::now();
    for (int i = 0; i < count; i++) {
        auto before = Clock::now();
        if (!exchange()) return {};
        latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - before).count());
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::nth_element(latencies.begin(), latencies.begin() + count / 2, latencies.end());
    return {count / seconds, latencies[count / 2]};
}

// The request and its echo through a running link.
inline Figures measureLink(aLinkId link, int warmup)
{
    std::vector<uint8_t> wire = requestWire();
    aPacket* request = aPacket_CreateWithData(wire[0], wire[1], &wire[2]);
    Figures figures = measure(
        [&] {
            if (aLink_PutPacket(link, request) != aErrNone) return false;
            aPacket* reply = aLink_AwaitPacket(link, 1000);
            bool ok = reply && reply->length == 28;
            aPacket_Destroy(&reply);
            return ok;
        },
        warmup);
    aPacket_Destroy(&request);
    return figures;
}

// User and system time of the process so far.
inline double cpuSeconds()
{
    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

} // namespace roundtrip
