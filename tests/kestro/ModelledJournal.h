#pragma once
// A take as the frame journal records it, modelled: a live source hands frames to a codec with a
// pool of overlapped writes onto a disk that has a write cache and may pause now and then.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <set>
#include <vector>

#include "pure/FrameJournal.h"

namespace modelled {

using namespace kestro;

constexpr double kTicks = 10'000'000;
constexpr uint32_t kP010_4K = 3840 * 2160 * 3; // 24,883,200 bytes: 1,493 MB/s at 60 fps

struct Model {
    double seconds = 10;
    uint32_t rate = 60;
    uint32_t frameBytes = kP010_4K;
    uint32_t requests = 3;
    double fastRate = 3e9, slowRate = 3e9; // bytes a second, before and after the cache
    double cacheBytes = 1e18;
    double stallEvery = 0, stallSeconds = 0; // the disk pauses this long every so many seconds
    double codecSeconds = 0.0002;            // the codec's own work on a frame
    std::set<uint32_t> sourceDrops;          // numbers the source never hands over
    std::function<double(uint32_t)> sourceDelay = [](uint32_t) { return 0.0; };
    uint32_t take = 0x5eed;
    // Frames go in turn to this many disks, each as modelled above; only the disk of
    // `slowStripe` runs out of cache and pauses, when one is named.
    uint32_t stripes = 1;
    int slowStripe = -1;
};

inline uint32_t Ticks(double seconds) {
    return uint32_t(std::llround(seconds * kTicks));
}

// The journal's bytes as the codec writes them for the modelled take. A host blocked past a
// frame's time hands over the newest frame and skips the numbers between, as live hosts do.
inline std::vector<uint8_t> Simulate(const Model& m) {
    JournalHeader h;
    h.ticksPerSecond = uint64_t(kTicks);
    h.take = m.take;
    h.requests = m.requests;
    h.imageBytes = m.frameBytes;
    h.rate = m.rate, h.scale = 1;
    std::vector<uint8_t> bytes(kJournalHeaderBytes);
    EncodeJournalHeader(h, bytes.data());
    const double period = 1.0 / m.rate;
    std::vector<double> busy(m.requests, 0);
    std::vector<double> diskFree(m.stripes, 0), written(m.stripes, 0),
        nextStall(m.stripes, m.stallEvery);
    double hostFree = 0;
    uint32_t turn = 0;
    for (uint32_t frame = 0; frame * period < m.seconds; ++frame) {
        if (m.sourceDrops.count(frame))
            continue;
        double arrive = std::max(frame * period + m.sourceDelay(frame), hostFree);
        if (hostFree > (frame + 1) * period) {
            frame = uint32_t(arrive / period);
            arrive = std::max(arrive, frame * period);
        }
        const uint32_t k = turn++ % m.stripes;
        const bool modelled = m.slowStripe < 0 || int(k) == m.slowStripe;
        auto slot = std::min_element(busy.begin(), busy.end());
        const double waited = std::max(0.0, *slot - arrive);
        const double issue = arrive + waited + 0.00005;
        const uint8_t inFlight =
            uint8_t(std::count_if(busy.begin(), busy.end(), [&](double t) { return t > issue; }));
        double start = std::max(issue, diskFree[k]);
        if (modelled && m.stallEvery > 0 && start >= nextStall[k])
            start += m.stallSeconds, nextStall[k] += m.stallEvery;
        const bool cached = !modelled || written[k] < m.cacheBytes;
        const double done = start + m.frameBytes / (cached ? m.fastRate : m.slowRate);
        diskFree[k] = *slot = done;
        written[k] += m.frameBytes;
        const double returned = issue + m.codecSeconds - 0.00005;
        hostFree = returned;
        JournalRow r;
        r.frame = frame;
        r.bytes = m.frameBytes;
        r.arrived = uint64_t(std::llround(arrive * kTicks));
        r.stripe = uint8_t(k);
        r.inFlight = inFlight;
        r.returned = Ticks(returned - arrive);
        r.waited = Ticks(waited);
        r.issued = Ticks(issue - arrive);
        r.completed = Ticks(done - issue);
        bytes.resize(bytes.size() + kJournalRowBytes);
        EncodeJournalRow(r, bytes.data() + bytes.size() - kJournalRowBytes);
    }
    return bytes;
}

} // namespace modelled
