#include "JournalAnalysis.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

namespace kestro::avi {

namespace {

constexpr double kWaitNoticedMs = 1; // a shorter wait for a request cost the host nothing
constexpr size_t kChartPoints = 600;
constexpr double kMaxBuckets = 20000; // a day of seconds would make the page crawl
constexpr double kFallShare = 0.95;   // a bucket this far below the need counts as below it

struct Clock {
    double ticksPerSecond;
    double Seconds(uint64_t ticks) const { return double(ticks) / ticksPerSecond; }
    double Ms(uint64_t ticks) const { return double(ticks) * 1000 / ticksPerSecond; }
};

bool Known(uint32_t ticks) {
    return ticks != kJournalUnknown;
}

// When a row's write was issued and completed, in seconds; false when the journal never saw it.
bool WriteTimes(const JournalRow& r, const Clock& clock, double& issued, double& done) {
    if (!Known(r.issued) || !Known(r.completed))
        return false;
    issued = clock.Seconds(r.arrived + r.issued);
    done = clock.Seconds(r.arrived + r.issued + r.completed);
    return true;
}

Spread SpreadOf(std::vector<uint32_t> ticks, const Clock& clock) {
    Spread s;
    s.count = ticks.size();
    if (ticks.empty())
        return s;
    const auto nth = [&](size_t k) {
        std::nth_element(ticks.begin(), ticks.begin() + long(k), ticks.end());
        return clock.Ms(ticks[k]);
    };
    s.median = nth((ticks.size() - 1) / 2);
    s.p99 = nth(size_t(std::ceil(0.99 * double(ticks.size()))) - 1);
    s.max = clock.Ms(*std::max_element(ticks.begin(), ticks.end()));
    return s;
}

// Gaps in the host's frame numbers, joined into one span while less than a second apart.
void FindSkips(const std::vector<JournalRow>& rows, const Clock& clock, JournalFindings& f) {
    for (size_t i = 1; i < rows.size(); ++i) {
        const uint32_t before = rows[i - 1].frame, now = rows[i].frame;
        if (now <= before) {
            ++f.renumbered;
            continue;
        }
        if (now - before == 1)
            continue;
        const uint64_t missing = now - before - 1;
        const double at = clock.Seconds(rows[i].arrived);
        f.skipped += missing;
        if (!f.skips.empty() && at - f.skips.back().last <= 1) {
            f.skips.back().frames += missing;
            f.skips.back().last = at;
        } else {
            f.skips.push_back({before, missing, at, at});
        }
    }
}

// A frame's place in the stream follows from the last one that came on time and the numbers
// between; a frame that came early moves the places of those after it (the source's clock runs
// its own way), and a number that goes back starts the count again.
void FindLate(const std::vector<JournalRow>& rows, const Clock& clock, JournalFindings& f) {
    const double period = f.framePeriod;
    if (period <= 0 || rows.empty())
        return;
    double anchorAt = clock.Seconds(rows[0].arrived);
    uint32_t anchorFrame = rows[0].frame;
    for (size_t i = 1; i < rows.size(); ++i) {
        const double at = clock.Seconds(rows[i].arrived);
        const double place = anchorAt + double(rows[i].frame - anchorFrame) * period;
        if (rows[i].frame <= rows[i - 1].frame || at <= place) {
            anchorAt = at, anchorFrame = rows[i].frame;
            continue;
        }
        if (at - place > period) {
            ++f.late;
            f.worstLate = std::max(f.worstLate, (at - place) * 1000);
        }
    }
}

struct Completion {
    double from = 0, done = 0; // the disk owed this write from `from` on
    size_t row = 0;
};

// Each write's completion, and since when the disk owed it: the later of its issue and the
// completion before it. A stall is a long wait for the next completion, judged against the
// take's own: a disk slower all along shows in its rate, not as one stall.
std::vector<Completion> Completions(const std::vector<JournalRow>& rows, const Clock& clock) {
    std::vector<Completion> list;
    for (size_t i = 0; i < rows.size(); ++i) {
        double issued = 0, done = 0;
        if (WriteTimes(rows[i], clock, issued, done))
            list.push_back({issued, done, i});
    }
    std::stable_sort(list.begin(), list.end(),
                     [](const Completion& a, const Completion& b) { return a.done < b.done; });
    for (size_t i = 1; i < list.size(); ++i)
        list[i].from = std::max(list[i].from, list[i - 1].done);
    return list;
}

// The frames that waited for a request while a stall lasted (the first stall their wait meets).
void AddWaits(const std::vector<JournalRow>& rows, const Clock& clock, std::vector<Stall>& stalls) {
    size_t j = 0;
    for (const JournalRow& r : rows) {
        if (!Known(r.waited) || clock.Ms(r.waited) < kWaitNoticedMs)
            continue;
        const double from = clock.Seconds(r.arrived), to = from + clock.Seconds(r.waited);
        while (j < stalls.size() && stalls[j].at + stalls[j].length < from)
            ++j;
        if (j == stalls.size())
            return;
        Stall& s = stalls[j];
        if (s.at > to)
            continue;
        ++s.waited;
        s.longestWait = std::max(s.longestWait, clock.Ms(r.waited));
        s.firstFrame = std::min(s.firstFrame, r.frame);
        s.lastFrame = std::max(s.lastFrame, r.frame);
    }
}

void FindStalls(const std::vector<JournalRow>& rows, const Clock& clock, JournalFindings& f) {
    const std::vector<Completion> list = Completions(rows, clock);
    std::vector<uint32_t> pauses;
    for (const Completion& c : list)
        pauses.push_back(
            JournalTicks(uint64_t(std::max(0.0, c.done - c.from) * clock.ticksPerSecond)));
    const double periodMs = f.framePeriod * 1000;
    f.stallLimit = std::max(periodMs > 0 ? std::max<uint32_t>(f.requests, 1) * periodMs : 200,
                            4 * SpreadOf(pauses, clock).median);
    for (const Completion& c : list) {
        if ((c.done - c.from) * 1000 <= f.stallLimit)
            continue;
        const JournalRow& r = rows[c.row];
        Stall* last = f.stalls.empty() ? nullptr : &f.stalls.back();
        if (last && c.from <= last->at + last->length) { // one pause after another
            last->length = c.done - last->at;
            last->longestWrite = std::max(last->longestWrite, clock.Ms(r.completed));
            last->firstFrame = std::min(last->firstFrame, r.frame);
            last->lastFrame = std::max(last->lastFrame, r.frame);
            continue;
        }
        Stall s;
        s.at = c.from, s.length = c.done - c.from;
        s.longestWrite = clock.Ms(r.completed);
        s.firstFrame = s.lastFrame = r.frame;
        f.stalls.push_back(s);
    }
    AddWaits(rows, clock, f.stalls);
}

double RateOf(const RateBucket& b) {
    return b.seconds > 0 ? double(b.bytes) / b.seconds : 0;
}

// Bytes by the second their writes completed in, and where the disk fell below the need for
// good: the first bucket below it after which no whole bucket reached it again.
void FindRates(const std::vector<JournalRow>& rows, const Clock& clock, JournalFindings& f) {
    double first = rows.empty() ? 0 : clock.Seconds(rows[0].arrived), last = 0;
    uint64_t total = 0;
    for (const JournalRow& r : rows) {
        double issued = 0, done = 0;
        if (WriteTimes(r, clock, issued, done))
            last = std::max(last, done);
    }
    const double width = std::max(1.0, std::ceil(last / kMaxBuckets));
    f.buckets.resize(size_t(last / width) + 1);
    for (size_t i = 0; i < f.buckets.size(); ++i)
        f.buckets[i].at = double(i) * width, f.buckets[i].seconds = width;
    f.buckets.back().seconds = last - f.buckets.back().at;
    for (const JournalRow& r : rows) {
        double issued = 0, done = 0;
        if (!WriteTimes(r, clock, issued, done))
            continue;
        f.buckets[std::min(f.buckets.size() - 1, size_t(done / width))].bytes += r.bytes;
        total += r.bytes;
    }
    uint64_t before = 0;
    for (RateBucket& b : f.buckets)
        b.before = before, before += b.bytes;
    if (last > first)
        f.meanRate = double(total) / (last - first);
    // The last bucket is whole only when a write completed at its very end.
    const size_t whole = f.buckets.size() - (f.buckets.back().seconds < width ? 1 : 0);
    if (f.needRate <= 0 || f.waitedFrames == 0 || whole == 0)
        return;
    size_t k = whole;
    while (k > 0 && RateOf(f.buckets[k - 1]) < f.needRate)
        --k;
    for (; k < whole && RateOf(f.buckets[k]) >= kFallShare * f.needRate; ++k) {
    }
    if (k == whole)
        return;
    // The bucket of the fall is partly before it: the rate after it is told without that one.
    uint64_t bytes = 0;
    double seconds = 0;
    for (size_t i = whole - k > 1 ? k + 1 : k; i < whole; ++i)
        bytes += f.buckets[i].bytes, seconds += f.buckets[i].seconds;
    f.fallBucket = int64_t(k);
    f.rateAfterFall = double(bytes) / seconds;
}

// Seconds from `from` on during which at least one of the writes was in flight.
double BusySeconds(std::vector<std::pair<double, double>> spans, double from) {
    std::sort(spans.begin(), spans.end());
    double busy = 0, reach = from;
    for (const auto& [issued, done] : spans) {
        const double start = std::max(issued, reach);
        if (done > start)
            busy += done - start, reach = done;
    }
    return busy;
}

// One data file's rows judged alone: its stalls against its own pace (every n-th frame), its
// bytes and busy time, before and after the take as a whole fell below the need.
StripeFindings JudgeStripe(const std::vector<JournalRow>& mine, const Clock& clock, size_t n,
                           const JournalFindings& f) {
    StripeFindings s;
    JournalFindings alone;
    alone.framePeriod = f.framePeriod * double(n);
    alone.requests = f.requests;
    FindStalls(mine, clock, alone);
    s.stalls = std::move(alone.stalls);
    s.stallLimit = alone.stallLimit;
    s.frames = mine.size();
    s.needRate = f.needRate / double(n);
    const bool fell = f.fallBucket >= 0;
    const size_t fallAt = size_t(std::max<int64_t>(f.fallBucket, 0));
    // The bucket of the fall is partly before it, as for the take's own rate after it.
    const double fall = fell ? f.buckets[fallAt].at : 0;
    const double after = fell && fallAt + 1 < f.buckets.size() ? f.buckets[fallAt + 1].at : fall;
    std::vector<std::pair<double, double>> spans;
    std::vector<uint64_t> perBucket(f.buckets.size());
    uint64_t bytesAfter = 0;
    double last = 0;
    for (const JournalRow& r : mine) {
        if (Known(r.waited) && clock.Ms(r.waited) >= kWaitNoticedMs)
            ++s.waitedFrames, s.longestWait = std::max(s.longestWait, clock.Ms(r.waited));
        double issued = 0, done = 0;
        if (!WriteTimes(r, clock, issued, done))
            continue;
        s.bytes += r.bytes;
        spans.push_back({issued, done});
        last = std::max(last, done);
        if (fell && done < fall)
            s.bytesBefore += r.bytes;
        bytesAfter += fell && done >= after ? r.bytes : 0;
        if (!perBucket.empty()) {
            const double width = f.buckets[0].seconds > 0 ? f.buckets[0].seconds : 1;
            perBucket[std::min(perBucket.size() - 1, size_t(done / width))] += r.bytes;
        }
    }
    const double first = mine.empty() ? 0 : clock.Seconds(mine[0].arrived);
    if (last > first)
        s.meanRate = double(s.bytes) / (last - first);
    const double busy = BusySeconds(spans, 0), busyAfter = fell ? BusySeconds(spans, after) : 0;
    s.busyRate = busy > 0 ? double(s.bytes) / busy : 0;
    s.rateAfterFall = busyAfter > 0 ? double(bytesAfter) / busyAfter : 0;
    for (size_t i = 0; i < f.buckets.size(); ++i)
        if (ShownBucket(f, i))
            s.rate.push_back({f.buckets[i].at + f.buckets[i].seconds / 2,
                              double(perBucket[i]) / f.buckets[i].seconds});
    return s;
}

// A striped take: each data file alone, named as the take file names them.
void FindStripes(const std::vector<JournalRow>& rows, const Clock& clock, const TakeFacts& facts,
                 JournalFindings& f) {
    size_t n = facts.stripeFiles.size();
    for (const JournalRow& r : rows)
        n = std::max(n, size_t(r.stripe) + 1);
    if (n < 2)
        return;
    for (size_t k = 0; k < n; ++k) {
        std::vector<JournalRow> mine;
        for (const JournalRow& r : rows)
            if (r.stripe == k)
                mine.push_back(r);
        f.stripes.push_back(JudgeStripe(mine, clock, n, f));
        f.stripes.back().name =
            k < facts.stripeFiles.size() ? facts.stripeFiles[k] : "stripe " + std::to_string(k);
    }
}

// At most kChartPoints points, each the largest value of the rows it stands for.
std::vector<ChartPoint> Thinned(const std::vector<ChartPoint>& points) {
    if (points.size() <= kChartPoints)
        return points;
    const size_t group = (points.size() + kChartPoints - 1) / kChartPoints;
    std::vector<ChartPoint> out;
    for (size_t i = 0; i < points.size(); i += group) {
        ChartPoint p = points[i];
        for (size_t j = i; j < std::min(points.size(), i + group); ++j)
            p.value = std::max(p.value, points[j].value);
        out.push_back(p);
    }
    return out;
}

void ChartSeries(const std::vector<JournalRow>& rows, const Clock& clock, JournalFindings& f) {
    std::vector<ChartPoint> inFlight, writeMs;
    for (const JournalRow& r : rows) {
        double issued = 0, done = 0;
        if (!WriteTimes(r, clock, issued, done))
            continue;
        inFlight.push_back({issued, double(r.inFlight)});
        writeMs.push_back({issued, clock.Ms(r.completed)});
    }
    f.inFlight = Thinned(inFlight);
    f.writeMs = Thinned(writeMs);
}

// The longest the codec took with a frame that arrived within a second of a skip.
double ReturnedNearSkips(const std::vector<JournalRow>& rows, const Clock& clock,
                         const std::vector<SkipSpan>& skips) {
    double longest = 0;
    size_t j = 0;
    for (const JournalRow& r : rows) {
        const double at = clock.Seconds(r.arrived);
        while (j < skips.size() && skips[j].last + 1 < at)
            ++j;
        if (j < skips.size() && skips[j].first - 1 <= at && Known(r.returned))
            longest = std::max(longest, clock.Ms(r.returned));
    }
    return longest;
}

std::string SkipsText(const JournalFindings& f) {
    const std::string frames = Grouped(f.skipped) + (f.skipped == 1 ? " frame" : " frames");
    const std::string from = ClockText(f.skips.front().first);
    const std::string to = ClockText(f.skips.back().last);
    if (f.skips.size() > 1)
        return "the host skipped " + frames + " in " + std::to_string(f.skips.size()) +
               " places between " + from + " and " + to;
    return "the host skipped " + frames + " at " + from + (from == to ? "" : "-" + to);
}

// The data file whose disk wrote slowest after the take fell below the need; null when the take
// is in one data file or never fell.
const StripeFindings* SlowestStripe(const JournalFindings& f) {
    const StripeFindings* slowest = nullptr;
    // A data file that wrote nothing after the fall (no frame reached it) tells no rate.
    for (const StripeFindings& s : f.stripes)
        if (f.fallBucket >= 0 && s.rateAfterFall > 0 &&
            (!slowest || s.rateAfterFall < slowest->rateAfterFall))
            slowest = &s;
    return slowest;
}

// The stalls to blame and whose they are: a striped take's other disks go on completing writes
// while one pauses, so there the data file with the longest stall of its own is named.
std::pair<const std::vector<Stall>*, std::string> StallsToBlame(const JournalFindings& f) {
    std::pair<const std::vector<Stall>*, std::string> blame{&f.stalls, "the disk"};
    double longest = 0;
    for (const StripeFindings& s : f.stripes)
        for (const Stall& stall : s.stalls)
            if (stall.length > longest)
                longest = stall.length, blame = {&s.stalls, "the disk of " + s.name};
    return blame;
}

std::string DiskVerdict(const JournalFindings& f) {
    std::string text;
    const auto [stalls, whose] = StallsToBlame(f);
    if (const StripeFindings* slow = SlowestStripe(f)) {
        text = "from " + SizeText(slow->bytesBefore) + " on " + slow->name + " the disk wrote " +
               RateText(slow->rateAfterFall) + " against the " + RateText(slow->needRate) +
               " its share of the stream needs (" + RateText(f.needRate) + " over " +
               std::to_string(f.stripes.size()) + " data files)";
    } else if (f.fallBucket >= 0) {
        text = "from " + SizeText(f.buckets[size_t(f.fallBucket)].before) + " on the disk wrote " +
               RateText(f.rateAfterFall) + " against the " + RateText(f.needRate) +
               " the stream needs";
    } else if (!stalls->empty()) {
        const Stall& s =
            *std::max_element(stalls->begin(), stalls->end(),
                              [](const Stall& a, const Stall& b) { return a.length < b.length; });
        text = whose + " stalled " + Grouped(stalls->size()) +
               (stalls->size() == 1 ? " time" : " times") + ", the longest " +
               MillisText(s.length * 1000) + " at " + ClockText(s.at, true);
    } else {
        text = "the disk fell behind at times, a write taking up to " + MillisText(f.latency.max);
    }
    text += "; the requests were all in flight and " + Grouped(f.waitedFrames) +
            (f.waitedFrames == 1 ? " frame" : " frames") + " waited up to " +
            MillisText(f.longestWait);
    if (f.skipped)
        text += "; meanwhile " + SkipsText(f);
    return text;
}

std::string Verdict(const std::vector<JournalRow>& rows, const Clock& clock,
                    const JournalFindings& f) {
    if (f.frames == 0)
        return "the journal holds no frame: the take stored none, or ended before the journal's "
               "first page was written";
    if (f.waitedFrames)
        return DiskVerdict(f);
    const double frameMs = f.framePeriod * 1000;
    if (frameMs > 0 && f.codec.p99 > frameMs)
        return "the codec took " + MillisText(f.codec.p99) + " a frame at the 99th percentile (" +
               MillisText(f.codec.max) + " at most) against the " + MillisText(frameMs, true) +
               " a frame has, without waiting for the disk: the codec's own work (its copy or "
               "the chained codec)" +
               (f.skipped ? "; " + SkipsText(f) : "");
    if (f.skipped)
        return SkipsText(f) + " while the codec returned within " +
               MillisText(ReturnedNearSkips(rows, clock, f.skips)) + ": the source or the host";
    if (f.late)
        return Grouped(f.late) + (f.late == 1 ? " frame" : " frames") + " arrived late, up to " +
               MillisText(f.worstLate) +
               " after their place in the stream, while the codec returned within " +
               MillisText(f.codec.max) + ": the source or the host";
    std::string text = "all " + Grouped(f.frames) + " frames kept in time: none skipped";
    text += frameMs > 0 ? ", none late" : "";
    const auto [stalls, whose] = StallsToBlame(f);
    if (stalls->empty())
        return text + ", no wait for a request, no stall";
    return text + ", no wait for a request; " + whose + " stalled " + Grouped(stalls->size()) +
           (stalls->size() == 1 ? " time" : " times") + " without holding a frame up";
}

} // namespace

JournalFindings AnalyseJournal(const JournalRead& read, const TakeFacts& facts) {
    JournalFindings f;
    if (!read.header) {
        f.verdict = "no journal to judge" + (read.damage.empty() ? "" : ": " + read.damage);
        return f;
    }
    const JournalHeader& h = *read.header;
    const Clock clock{double(h.ticksPerSecond)};
    const std::vector<JournalRow>& rows = read.rows;
    f.frames = rows.size();
    f.requests = h.requests;
    f.cutBytes = read.cutBytes;
    f.seconds = rows.empty() ? 0 : clock.Seconds(rows.back().arrived);
    const bool headerRate = h.rate && h.scale;
    const uint32_t rate = headerRate ? h.rate : facts.rate,
                   scale = headerRate ? h.scale : facts.scale;
    if (rate && scale)
        f.framePeriod = double(scale) / double(rate);
    std::vector<uint32_t> returned, latency, bytes;
    for (const JournalRow& r : rows) {
        bytes.push_back(r.bytes);
        if (Known(r.returned))
            returned.push_back(r.returned);
        if (Known(r.issued) && Known(r.completed))
            latency.push_back(r.completed);
        else
            ++f.neverCompleted;
        if (Known(r.waited)) {
            f.longestWait = std::max(f.longestWait, clock.Ms(r.waited));
            f.waitedFrames += clock.Ms(r.waited) >= kWaitNoticedMs;
        }
    }
    const double frameBytes = h.imageBytes       ? h.imageBytes
                              : facts.frameBytes ? facts.frameBytes
                                                 : SpreadOf(bytes, Clock{1000}).median;
    if (f.framePeriod > 0)
        f.needRate = frameBytes / f.framePeriod;
    f.codec = SpreadOf(std::move(returned), clock);
    f.latency = SpreadOf(std::move(latency), clock);
    FindSkips(rows, clock, f);
    FindLate(rows, clock, f);
    FindStalls(rows, clock, f);
    FindRates(rows, clock, f);
    FindStripes(rows, clock, facts, f);
    ChartSeries(rows, clock, f);
    f.verdict = Verdict(rows, clock, f);
    return f;
}

bool ShownBucket(const JournalFindings& f, size_t i) {
    const RateBucket& b = f.buckets[i];
    const double width = f.buckets.size() > 1 ? f.buckets[0].seconds : b.seconds;
    return b.seconds > 0 && (f.buckets.size() == 1 || b.seconds >= 0.5 * width);
}

std::string ClockText(double seconds, bool millis) {
    const double s = std::clamp(std::isfinite(seconds) ? seconds : 0.0, 0.0, 1e12);
    const uint64_t whole = uint64_t(s);
    char text[64];
    if (whole >= 3600)
        std::snprintf(text, sizeof text, "%llu:%02u:%02u", (unsigned long long)(whole / 3600),
                      unsigned(whole / 60 % 60), unsigned(whole % 60));
    else
        std::snprintf(text, sizeof text, "%02u:%02u", unsigned(whole / 60), unsigned(whole % 60));
    std::string out = text;
    if (millis) {
        std::snprintf(text, sizeof text, ".%03u",
                      std::min(999u, unsigned((s - double(whole)) * 1000)));
        out += text;
    }
    return out;
}

std::string MillisText(double ms, bool tenths) {
    char text[64];
    const double v = std::clamp(std::isfinite(ms) ? ms : 0.0, 0.0, 1e15);
    if (v < 9.95 || (tenths && v < 1e9))
        std::snprintf(text, sizeof text, "%.1f ms", v);
    else
        return Grouped(uint64_t(std::llround(v))) + " ms";
    return text;
}

std::string RateText(double bytesPerSecond) {
    const double v = std::clamp(std::isfinite(bytesPerSecond) ? bytesPerSecond : 0.0, 0.0, 1e18);
    return Grouped(uint64_t(std::llround(v / 1e6))) + " MB/s";
}

std::string SizeText(uint64_t bytes) {
    char text[64];
    if (bytes >= 1000000000)
        std::snprintf(text, sizeof text, "%.1f GB", double(bytes) / 1e9);
    else if (bytes >= 1000000)
        std::snprintf(text, sizeof text, "%.1f MB", double(bytes) / 1e6);
    else
        return Grouped(bytes) + " bytes";
    return text;
}

std::string Grouped(uint64_t n) {
    std::string digits = std::to_string(n), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return out;
}

} // namespace kestro::avi
