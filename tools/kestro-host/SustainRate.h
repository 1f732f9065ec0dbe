#pragma once
// How a disk took a stream of writes, from the moments at which the codec took each frame back:
// the rate over time, where it fell (the drive's write cache full), the rate after the fall and
// whether it has settled. Plain arithmetic, no <windows.h>.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace host {

// The check's own clock: a sample spans at least `sampleSeconds` and `sampleFrames` frames; the
// rate after a fall counts once it has held `steadySeconds`.
struct SustainWindows {
    double sampleSeconds = 1;
    uint32_t sampleFrames = 8;
    double steadySeconds = 30;
};

struct RateSample {
    double end;     // seconds from the first frame
    uint64_t bytes; // handed to the codec by then
    double rate;    // bytes per second within the sample
};

// Where the rate fell for good: the write cache was full.
struct RateFall {
    double at;           // seconds from the first frame
    uint64_t cacheBytes; // on the disk by then
};

// What the samples say so far.
struct RateReading {
    double fastRate = 0; // at the start, before any fall
    // The last `steadySeconds` held within 15 % of this rate (four samples in five), or none.
    std::optional<double> steadyRate;
    std::optional<RateFall> fall;
};

class SustainTrace {
public:
    // `inFlightBytes`: what the codec still has on its way to the disk when it takes a frame back
    // (its requests in flight), which the bytes handed over run ahead of the disk by.
    SustainTrace(SustainWindows windows, uint64_t inFlightBytes)
        : windows_(windows), inFlight_(inFlightBytes) {}

    // A frame of `bytes` taken back at `seconds` (the first frame's moment is 0); true when it
    // closed a sample.
    bool Add(double seconds, uint64_t bytes);
    const std::vector<RateSample>& Samples() const { return samples_; }
    uint64_t Bytes() const { return bytes_; }
    RateReading Read() const;

private:
    double Median(size_t from, size_t to) const; // of samples [from, to)
    std::optional<double> Steady() const;
    std::optional<RateFall> Fall(double fast, double slow) const;

    SustainWindows windows_;
    uint64_t inFlight_;
    std::vector<RateSample> samples_;
    uint64_t bytes_ = 0;
    double last_ = 0;
    double sampleStart_ = 0;
    uint64_t sampleStartBytes_ = 0;
    uint32_t sampleFrames_ = 0;
};

// A frame of one data file of a striped take: when it was taken back, and the bytes of that data
// file handed over by then.
using FrameMoment = std::pair<double, uint64_t>;

// One disk's share of a striped check. Each takes too few of the frames to find its own fall in
// time, so its share is read where the whole fell (`fall`) and over the whole's last steady
// stretch (`steadySeconds` up to `end`); `inFlightBytes` of its share were still on their way.
struct StripeShare {
    double first = 0;        // bytes a second before the fall (or over everything: no fall)
    uint64_t cacheBytes = 0; // handed over before the fall; 0 without one
    double after = 0;        // bytes a second over the last steady stretch after the fall
};
StripeShare ReadStripeShare(const std::vector<FrameMoment>& frames,
                            const std::optional<RateFall>& fall, double end, double steadySeconds,
                            uint64_t inFlightBytes);

// "3 min 10 s", "42 s", "1 h 5 min".
std::string DurationText(double seconds);

} // namespace host
