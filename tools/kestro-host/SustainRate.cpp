#include "SustainRate.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>

namespace host {

namespace {

// A sample within this much of the median counts as steady; four in five must.
constexpr double kSteadyBand = 0.15;
constexpr double kSteadyShare = 0.8;
// A rate below this share of the first one has fallen.
constexpr double kFallen = 0.8;
// The first sample holds the frames that filled the codec's requests at once: the fast rate is
// read from the five after it.
constexpr size_t kFastFirst = 1, kFastCount = 5;
// A fall is taken once the samples after it stay below the line too.
constexpr size_t kFallConfirm = 3;

} // namespace

bool SustainTrace::Add(double seconds, uint64_t bytes) {
    bytes_ += bytes;
    last_ = seconds;
    ++sampleFrames_;
    if (seconds - sampleStart_ < windows_.sampleSeconds || sampleFrames_ < windows_.sampleFrames)
        return false;
    samples_.push_back(
        {seconds, bytes_, double(bytes_ - sampleStartBytes_) / (seconds - sampleStart_)});
    sampleStart_ = seconds;
    sampleStartBytes_ = bytes_;
    sampleFrames_ = 0;
    return true;
}

double SustainTrace::Median(size_t from, size_t to) const {
    std::vector<double> rates;
    for (size_t i = from; i < to && i < samples_.size(); ++i)
        rates.push_back(samples_[i].rate);
    if (rates.empty())
        return 0;
    std::nth_element(rates.begin(), rates.begin() + long(rates.size() / 2), rates.end());
    return rates[rates.size() / 2];
}

std::optional<double> SustainTrace::Steady() const {
    if (samples_.empty() || last_ < windows_.steadySeconds)
        return std::nullopt;
    size_t from = samples_.size();
    while (from > 0 && samples_[from - 1].end > last_ - windows_.steadySeconds)
        --from;
    // The window reaches back to a sample that began before it.
    from = from > 0 ? from - 1 : 0;
    const double median = Median(from, samples_.size());
    size_t near = 0;
    for (size_t i = from; i < samples_.size(); ++i)
        if (std::fabs(samples_[i].rate - median) <= kSteadyBand * median)
            ++near;
    if (double(near) < kSteadyShare * double(samples_.size() - from))
        return std::nullopt;
    return median;
}

// The first sample below the line halfway from the fast to the slow rate, with the ones after it;
// within it the rate is taken to change once, from fast to slow, at the moment its bytes say.
std::optional<RateFall> SustainTrace::Fall(double fast, double slow) const {
    const double line = (fast + slow) / 2;
    for (size_t i = kFastFirst; i + kFallConfirm <= samples_.size(); ++i) {
        if (samples_[i].rate >= line || Median(i, i + kFallConfirm) >= line)
            continue;
        const RateSample& before = samples_[i - 1];
        const double span = samples_[i].end - before.end;
        const double moved = double(samples_[i].bytes - before.bytes);
        const double fastPart = std::clamp((moved - slow * span) / (fast - slow), 0.0, span);
        const double handed = double(before.bytes) + fast * fastPart;
        return RateFall{before.end + fastPart, uint64_t(std::max(0.0, handed - double(inFlight_)))};
    }
    return std::nullopt;
}

RateReading SustainTrace::Read() const {
    RateReading r;
    const size_t first = samples_.size() > kFastFirst ? kFastFirst : 0;
    r.fastRate = Median(first, first + kFastCount);
    r.steadyRate = Steady();
    if (r.steadyRate && *r.steadyRate < kFallen * r.fastRate)
        r.fall = Fall(r.fastRate, *r.steadyRate);
    return r;
}

std::string DurationText(double seconds) {
    const long total = long(std::lround(std::max(0.0, seconds)));
    const long hours = total / 3600, minutes = total / 60 % 60, rest = total % 60;
    if (hours)
        return std::to_string(hours) + " h " + std::to_string(minutes) + " min";
    if (minutes)
        return std::to_string(minutes) + " min " + std::to_string(rest) + " s";
    return std::to_string(rest) + " s";
}

StripeShare ReadStripeShare(const std::vector<FrameMoment>& frames,
                            const std::optional<RateFall>& fall, double end, double steadySeconds,
                            uint64_t inFlightBytes) {
    StripeShare share;
    if (frames.empty())
        return share;
    const auto bytesBy = [&](double at) {
        auto after = std::upper_bound(frames.begin(), frames.end(), FrameMoment{at, UINT64_MAX});
        return after == frames.begin() ? uint64_t(0) : std::prev(after)->second;
    };
    const uint64_t total = frames.back().second;
    const double from = std::max(0.0, end - steadySeconds);
    const uint64_t handed = fall ? bytesBy(fall->at) : 0;
    share.cacheBytes = handed > inFlightBytes ? handed - inFlightBytes : 0;
    share.first = fall && fall->at > 0 ? double(share.cacheBytes) / fall->at
                  : end > 0            ? double(total) / end
                                       : 0;
    share.after = fall && end > from && from >= fall->at
                      ? double(total - bytesBy(from)) / (end - from)
                      : share.first;
    return share;
}

} // namespace host
