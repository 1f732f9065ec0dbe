#pragma once
// A disk as tests and benchmarks model it: every transfer first waits an access time, which
// overlaps with the other transfers' (several can seek at once), then moves its bytes at the
// disk's rate, one transfer at a time. Synchronous and overlapped transfers share it.
//
// What real drives do besides, each off unless its figures are set:
// - a write cache: the first `cacheBytes` written move at `bytesPerSecond`, the rest at
//   `sustainedBytesPerSecond`; while the disk is idle the cache empties at
//   `drainBytesPerSecond` (an SSD's SLC cache; reads neither fill nor need it);
// - heat: after `heatAfterSeconds` of moving bytes, transfers move at `heatFactor` of their rate;
//   idle time cools the disk as fast as work heats it;
// - stalls: every `stallEverySeconds` (counted from the first transfer) the next transfer to
//   begin waits `stallSeconds` before its bytes move (garbage collection, a recalibration).
// The model is pure: the same transfers at the same times give the same slots.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>

namespace kt {

struct DiskModel {
    double accessSeconds = 0;
    double bytesPerSecond = 0; // reads, and writes while the cache takes them
    double cacheBytes = 0;
    double sustainedBytesPerSecond = 0; // writes once the cache is full
    double drainBytesPerSecond = 0;
    double heatAfterSeconds = 0;
    double heatFactor = 1;
    double stallEverySeconds = 0;
    double stallSeconds = 0;

    struct Slot {
        double begin;  // when the bytes start to move
        double finish; // when the transfer is done
    };

    // Places a transfer of `bytes` issued at `issued` (seconds); the channel is then busy until
    // its finish.
    Slot Schedule(double issued, uint64_t bytes, bool write = true) {
        if (stallEverySeconds > 0 && nextStall < 0)
            nextStall = issued + stallEverySeconds;
        double begin = std::max(issued + accessSeconds, channelFree);
        const double idle = begin - channelFree;
        if (idle > 0) {
            cacheUsed = std::max(0.0, cacheUsed - drainBytesPerSecond * idle);
            loadSeconds = std::max(0.0, loadSeconds - idle);
        }
        if (stallEverySeconds > 0 && begin >= nextStall) {
            // One stall however long the disk was idle; the next comes at its own time.
            nextStall +=
                stallEverySeconds * (std::floor((begin - nextStall) / stallEverySeconds) + 1);
            begin += stallSeconds;
        }
        const double heat =
            heatAfterSeconds > 0 && loadSeconds >= heatAfterSeconds ? heatFactor : 1.0;
        double fast = double(bytes), slow = 0;
        if (write && cacheBytes > 0 && sustainedBytesPerSecond > 0) {
            fast = std::min(fast, std::max(0.0, cacheBytes - cacheUsed));
            slow = double(bytes) - fast;
            cacheUsed += fast;
        }
        double seconds = 0;
        if (bytesPerSecond > 0)
            seconds += fast / (bytesPerSecond * heat);
        if (slow > 0)
            seconds += slow / (sustainedBytesPerSecond * heat);
        loadSeconds += seconds;
        channelFree = begin + seconds;
        return {begin, channelFree};
    }

    // The best this disk does for transfers of `bytes` while its cache takes them: the channel
    // never idle, every access hidden behind another transfer.
    double LimitPerSecond(uint64_t bytes) const {
        return bytes && bytesPerSecond > 0 ? bytesPerSecond / double(bytes) : 0;
    }

    // The same disk rested: cache empty, cold, no transfer yet.
    DiskModel Rested() const {
        DiskModel d = *this;
        d.channelFree = 0;
        d.cacheUsed = 0;
        d.loadSeconds = 0;
        d.nextStall = -1;
        return d;
    }

    // Frames of `bytes` that reach the rested disk `perSecond` from time 0 for `seconds`, each
    // written as soon as it has arrived and the channel is free: how many are stored by the end.
    // No writer stores more of such a stream; one that holds fewer frames in flight may store
    // fewer.
    uint64_t FramesStoredWithin(uint64_t bytes, double perSecond, double seconds) const {
        DiskModel d = Rested();
        uint64_t stored = 0;
        for (uint64_t k = 0; perSecond > 0 && double(k) / perSecond < seconds; ++k)
            if (d.Schedule(double(k) / perSecond, bytes).finish <= seconds)
                ++stored;
        return stored;
    }

    // The figures of this disk in a world whose bytes are `sizeDivisor` times fewer and whose
    // seconds are `timeDivisor` times shorter: rates change by timeDivisor / sizeDivisor.
    DiskModel Scaled(double sizeDivisor, double timeDivisor) const {
        DiskModel d = Rested();
        const double rate = timeDivisor / sizeDivisor;
        d.accessSeconds /= timeDivisor;
        d.bytesPerSecond *= rate;
        d.cacheBytes /= sizeDivisor;
        d.sustainedBytesPerSecond *= rate;
        d.drainBytesPerSecond *= rate;
        d.heatAfterSeconds /= timeDivisor;
        d.stallEverySeconds /= timeDivisor;
        d.stallSeconds /= timeDivisor;
        return d;
    }

    double channelFree = 0;
    double cacheUsed = 0;   // bytes in the write cache
    double loadSeconds = 0; // work not yet cooled off
    double nextStall = -1;  // when the next stall is due; -1 before the first transfer
};

// Drives of today, with figures of published reviews (decimal units: 1 GB = 1e9 bytes).
struct DiskPreset {
    const char* name;
    DiskModel model;
};

inline std::span<const DiskPreset> DiskPresets() {
    constexpr double MB = 1e6, GB = 1e9;
    static const DiskPreset presets[] = {
        // PCIe 4.0 TLC, 2 TB: a dynamic SLC cache of about 100 GB, then 1.5 GB/s; throttles
        // to 60 % after four minutes of full load without a heat sink.
        {"fast NVMe", {20e-6, 5000 * MB, 100 * GB, 1500 * MB, 1000 * MB, 240, 0.6, 30, 0.03}},
        // PCIe QLC, 1 TB: 3 GB/s for 24 GB, then 600 MB/s; garbage collection stalls a write
        // 150 ms every 10 s; 80 % after five minutes at full load.
        {"QLC NVMe", {30e-6, 3000 * MB, 24 * GB, 600 * MB, 300 * MB, 300, 0.8, 10, 0.15}},
        // SATA TLC, 1 TB: the interface's 520 MB/s for 12 GB, then 300 MB/s; runs cool.
        {"SATA SSD", {50e-6, 520 * MB, 12 * GB, 300 * MB, 200 * MB, 0, 1, 20, 0.1}},
        // 7200 rpm, outer tracks: 240 MB/s, no cache worth the name (its 256 MB buffer is
        // crossed within the first second), a recalibration of 100 ms every 30 s.
        {"hard disk", {1e-3, 240 * MB, 0, 0, 0, 0, 1, 30, 0.1}},
    };
    return presets;
}

// The scale of the tests: bytes 200 times fewer, seconds 20 times shorter, so rates are a tenth
// and the QLC drive's 24 GB cache is 120 MB crossed in 0.4 s.
constexpr double kTestSizeDivisor = 200;
constexpr double kTestTimeDivisor = 20;

} // namespace kt
