#pragma once
// What a take's frame journal tells about it: frames the host skipped or handed over late, the
// codec's time per frame, how long the disk took with each write and how fast it wrote over the
// take, the stalls, and which part to blame for a late or lost frame. Plain numbers only: the
// tools read the journal and the AVI, this judges them.
#include <cstdint>
#include <string>
#include <vector>

#include "pure/FrameJournal.h"

namespace kestro::avi {

// What the AVI says of its take; the journal's header overrides the stream's rate and size.
struct TakeFacts {
    uint64_t frames = 0; // records in the AVI
    uint32_t rate = 0, scale = 0;
    uint32_t frameBytes = 0; // of one picture as the stream stores it (0: frames vary in size)
    uint64_t dataBytes = 0;  // the records' sizes added
    int32_t width = 0, height = 0;
    std::string kind;                // "P010", "YUY2", or the chained codec's code
    uint32_t take = 0;               // the first record's take
    std::vector<std::string> pieces; // every piece the records name, in the order first named
    bool cut = false;                // the AVI ends early: its writer never closed it
    // A striped take's data files in turn order, as the take file beside its pieces names them;
    // empty for a take in one data file or when no take file tells.
    std::vector<std::string> stripeFiles;
};

struct Spread { // milliseconds
    uint64_t count = 0;
    double median = 0, p99 = 0, max = 0;
};

// Host frame numbers missing between two rows, or several such gaps close together.
struct SkipSpan {
    uint32_t after = 0;         // the last number before the first gap
    uint64_t frames = 0;        // numbers missing
    double first = 0, last = 0; // seconds since the take began, of the first and the last gap
};

// A time when the disk completed no write although one was in flight, for longer than the take's
// limit; the write that ended it, and the frames that waited for a request meanwhile.
struct Stall {
    double at = 0, length = 0;                // seconds
    double longestWrite = 0, longestWait = 0; // milliseconds
    uint64_t waited = 0;                      // frames that waited for a request in it
    uint32_t firstFrame = 0, lastFrame = 0;   // the host's numbers of those and of the write
};

// Bytes whose writes completed in one span of the take.
struct RateBucket {
    double at = 0, seconds = 0;
    uint64_t bytes = 0;
    uint64_t before = 0; // completed before the span began
};

struct ChartPoint {
    double at = 0; // seconds
    double value = 0;
};

// One data file of a striped take judged alone. Frames go to the data files in turn, so each
// writes the same share over the take whatever its disk can do: what tells a slow disk is how
// long its writes were in flight for the bytes it took (its busy rate).
struct StripeFindings {
    std::string name; // the data file, or "stripe K" when no take file names it
    uint64_t frames = 0, bytes = 0;
    double meanRate = 0;      // bytes a second over the take
    double busyRate = 0;      // bytes a second while a write of it was in flight
    double needRate = 0;      // its share of the stream's need
    uint64_t bytesBefore = 0; // completed before the take's fall below the need
    double rateAfterFall = 0; // its busy rate after the fall; 0 when there was none
    std::vector<Stall> stalls;
    double stallLimit = 0;
    uint64_t waitedFrames = 0; // of its frames, those that waited a millisecond or more
    double longestWait = 0;
    std::vector<ChartPoint> rate; // bytes a second in each of the take's shown rate spans
};

struct JournalFindings {
    uint64_t frames = 0;
    double seconds = 0;     // from the take's begin to the last arrival
    double framePeriod = 0; // seconds; 0 when neither journal nor AVI gives a rate
    double needRate = 0;    // bytes a second the stream needs; 0 when not known
    uint32_t requests = 0;
    size_t cutBytes = 0;

    uint64_t skipped = 0;
    std::vector<SkipSpan> skips;
    uint64_t renumbered = 0; // rows whose number was not above the one before
    uint64_t late = 0;       // more than a frame's time after their place in the stream
    double worstLate = 0;    // milliseconds

    Spread codec;   // arrival until the codec returned
    Spread latency; // issue until completion
    uint64_t neverCompleted = 0;
    uint64_t waitedFrames = 0; // frames that waited a millisecond or more for a request
    double longestWait = 0;    // milliseconds
    double stallLimit = 0;     // milliseconds without a completed write that make a stall
    std::vector<Stall> stalls;

    std::vector<RateBucket> buckets; // one second each (longer for takes of many hours)
    double meanRate = 0;             // bytes a second, first arrival to last completion
    // The disk's fall below the need: the first of the spans it never made up for; -1 when none.
    int64_t fallBucket = -1;
    double rateAfterFall = 0;

    std::vector<ChartPoint> inFlight; // requests in flight as each write was issued
    std::vector<ChartPoint> writeMs;  // each write's latency

    std::vector<StripeFindings> stripes; // empty for a take in one data file

    std::string verdict;
};

// Whether a bucket is worth showing: not the last one of several when barely begun, which would
// show a rate the disk never had.
bool ShownBucket(const JournalFindings& f, size_t i);

// Judges the journal's rows; a read without a header (damaged) gives no frames and says so.
JournalFindings AnalyseJournal(const JournalRead& read, const TakeFacts& facts);

// Numbers as the report prints them: "00:41", "1:02:03", "00:12.345"; "0.2 ms", "41 ms";
// "1,493 MB/s"; "18.2 GB".
std::string ClockText(double seconds, bool millis = false);
// `tenths`: one decimal however long (a frame's time: "16.7 ms").
std::string MillisText(double ms, bool tenths = false);
std::string RateText(double bytesPerSecond);
std::string SizeText(uint64_t bytes);
// 1234567 as "1,234,567".
std::string Grouped(uint64_t n);

} // namespace kestro::avi
