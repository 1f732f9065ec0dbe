#pragma once
// A disk as tests and benchmarks model it: every transfer first waits an access time, which
// overlaps with the other transfers' (several can seek at once), then moves its bytes at the
// disk's bandwidth, one transfer at a time. Synchronous and overlapped transfers share it.
#include <algorithm>
#include <cstdint>

namespace kt {

struct DiskModel {
    double accessSeconds = 0;
    double bytesPerSecond = 0;

    struct Slot {
        double begin;  // when the bytes start to move
        double finish; // when the transfer is done
    };

    // Places a transfer of `bytes` issued at `issued` (seconds); the channel is then busy until
    // its finish.
    Slot Schedule(double issued, uint64_t bytes) {
        double ready = issued + accessSeconds;
        double begin = std::max(ready, channelFree);
        double finish = begin + (bytesPerSecond > 0 ? double(bytes) / bytesPerSecond : 0);
        channelFree = finish;
        return {begin, finish};
    }

    // The best this disk does for transfers of `bytes`: the channel never idle, every access
    // hidden behind another transfer.
    double LimitPerSecond(uint64_t bytes) const {
        return bytes && bytesPerSecond > 0 ? bytesPerSecond / double(bytes) : 0;
    }

    double channelFree = 0;
};

} // namespace kt
