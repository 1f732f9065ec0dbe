// The report's judgement of frame journals written by modelled takes (ModelledJournal.h), each
// through its bytes and the reader, as a tool reads it.
#include <gtest/gtest.h>

#include <random>

#include "JournalAnalysis.h"
#include "ModelledJournal.h"
#include "TakeReport.h"

using namespace kestro;
using namespace kestro::avi;
using namespace modelled;

namespace {

// A striped model's data files as the take file beside its pieces names them.
const std::vector<std::string> kStripeFiles = {"d:\\caps\\kestro", "e:\\caps\\kestro",
                                               "f:\\caps\\kestro", "g:\\caps\\kestro"};

JournalFindings Judge(const std::vector<uint8_t>& bytes, uint32_t stripes = 1) {
    const JournalRead read = ParseJournal(bytes);
    EXPECT_TRUE(read.header) << read.damage;
    TakeFacts facts;
    facts.take = Model().take;
    if (stripes > 1)
        facts.stripeFiles.assign(kStripeFiles.begin(), kStripeFiles.begin() + stripes);
    return AnalyseJournal(read, facts);
}

double NumberAfter(const std::string& text, const std::string& before) {
    const auto at = text.find(before);
    if (at == std::string::npos)
        return -1;
    std::string digits;
    for (size_t i = at + before.size();
         i < text.size() && (isdigit(text[i]) || text[i] == ',' || text[i] == '.'); ++i)
        if (text[i] != ',')
            digits += text[i];
    return digits.empty() ? -1 : std::stod(digits);
}

struct Case {
    const char* name;
    Model model;
    std::string verdict; // the verdict's beginning, or all of it
    uint64_t skipped, late, stalls;
};
// A host blocked by the codec skips as many frames as the model's arithmetic says.
constexpr uint64_t kAny = UINT64_MAX;

Model Clean() {
    Model m;
    m.seconds = 10;
    return m;
}
Model HostSkips() {
    Model m;
    m.seconds = 60;
    for (uint32_t first : {2460u, 2514u, 2568u, 2622u})
        for (uint32_t k = 0; k < 3; ++k)
            m.sourceDrops.insert(first + k);
    return m;
}
Model LateSource() {
    Model m;
    m.sourceDelay = [](uint32_t f) { return f >= 100 && f < 103 ? 0.030 : 0.0; };
    return m;
}
Model SlowCodec() {
    Model m;
    m.codecSeconds = 0.020;
    return m;
}
Model Stalls() {
    Model m;
    m.seconds = 20;
    m.stallEvery = 5, m.stallSeconds = 0.150;
    return m;
}
Model CacheRunsOut() {
    Model m;
    m.seconds = 30;
    m.slowRate = 610e6;
    m.cacheBytes = 18.2e9;
    return m;
}
// Two disks in turn; the second alone runs out of cache and falls below its share.
Model StripedCacheRunsOut() {
    Model m = CacheRunsOut();
    m.stripes = 2, m.slowStripe = 1;
    m.cacheBytes = 9.1e9;
    return m;
}
// Two disks whose rate after the cache still covers their share each.
Model StripedKeepsUp() {
    Model m = CacheRunsOut();
    m.stripes = 2;
    m.cacheBytes = 2e9, m.slowRate = 1000e6;
    return m;
}
// The second of two disks pauses; the first goes on completing writes meanwhile.
Model StripedStalls() {
    Model m = Stalls();
    m.stripes = 2, m.slowStripe = 1;
    return m;
}

TEST(JournalVerdict, BlamesThePartThatHeldTheFrameUp) {
    const std::vector<Case> cases = {
        {"clean", Clean(),
         "all 600 frames kept in time: none skipped, none late, no wait for a request, no stall", 0,
         0, 0},
        {"host skips", HostSkips(),
         "the host skipped 12 frames at 00:41-00:43 while the codec returned within 0.2 ms: the "
         "source or the host",
         12, 0, 0},
        {"late source", LateSource(),
         "3 frames arrived late, up to 30 ms after their place in the stream, while the codec "
         "returned within 0.2 ms: the source or the host",
         0, 3, 0},
        {"slow codec", SlowCodec(), "the codec took 20 ms a frame at the 99th percentile", kAny,
         kAny, 0},
        {"stalls", Stalls(), "the disk stalled 3 times, the longest", kAny, 0, 3},
        {"cache runs out", CacheRunsOut(), "from ", kAny, 0, 0},
        {"striped, one disk runs out of cache", StripedCacheRunsOut(), "from ", kAny, kAny, kAny},
        {"striped, both keep their share", StripedKeepsUp(),
         "all 1,800 frames kept in time: none skipped, none late, no wait for a request, no stall",
         0, 0, 0},
        {"striped, one disk stalls", StripedStalls(),
         "the disk of e:\\caps\\kestro stalled 3 times, the longest", kAny, kAny, kAny},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const JournalFindings f = Judge(Simulate(c.model), c.model.stripes);
        EXPECT_EQ(f.stripes.size(), c.model.stripes > 1 ? c.model.stripes : 0);
        EXPECT_EQ(f.verdict.substr(0, c.verdict.size()), c.verdict) << f.verdict;
        if (c.skipped != kAny) {
            EXPECT_EQ(f.skipped, c.skipped);
        }
        if (c.late != kAny) {
            EXPECT_EQ(f.late, c.late);
        }
        if (c.stalls != kAny) {
            EXPECT_EQ(f.stalls.size(), c.stalls);
        }
    }
}

TEST(JournalVerdict, SaysWhenTheDiskFellBelowTheStreamAndHowFar) {
    const JournalFindings f = Judge(Simulate(CacheRunsOut()));
    const std::string& v = f.verdict;
    // The rate is counted by the second: the fall is found within a second's worth of bytes.
    const double from = NumberAfter(v, "from ");
    EXPECT_GE(from, 18.2 - 1.5) << v;
    EXPECT_LE(from, 18.2 + 0.1) << v;
    EXPECT_NEAR(NumberAfter(v, "GB on the disk wrote "), 610, 10) << v;
    EXPECT_NE(v.find(" MB/s against the 1,493 MB/s the stream needs; the requests were all in "
                     "flight and "),
              std::string::npos)
        << v;
    const double waitedUpTo = NumberAfter(v, "frames waited up to ");
    EXPECT_GT(waitedUpTo, 10) << v;
    EXPECT_LE(waitedUpTo, 3 * 41) << v;
    EXPECT_GT(f.skipped, 0u);
    EXPECT_NE(v.find("; meanwhile the host skipped "), std::string::npos) << v;
    // The stream's need and a bucket before the fall, as the page draws them.
    EXPECT_NEAR(f.needRate, 1.493e9, 1e6);
    EXPECT_GT(double(f.buckets[2].bytes), f.needRate * 0.95);
    EXPECT_TRUE(f.stalls.empty()) << "a disk slower all along is no stall";
}

// Frames go to the disks in turn, so both write the same share over the take: the slow one is
// told by how long its writes were in flight, and the verdict names its data file.
TEST(JournalVerdict, NamesTheDataFileWhoseDiskFellBehind) {
    const JournalFindings f = Judge(Simulate(StripedCacheRunsOut()), 2);
    const std::string& v = f.verdict;
    ASSERT_EQ(f.stripes.size(), 2u);
    EXPECT_EQ(v.substr(0, 5), "from ") << v;
    const double from = NumberAfter(v, "from ");
    EXPECT_GE(from, 9.1 - 0.8) << v;
    EXPECT_LE(from, 9.1 + 0.1) << v;
    EXPECT_NEAR(NumberAfter(v, "GB on e:\\caps\\kestro the disk wrote "), 610, 30) << v;
    EXPECT_NE(v.find(" MB/s against the 746 MB/s its share of the stream needs (1,493 MB/s over 2 "
                     "data files); the requests were all in flight"),
              std::string::npos)
        << v;
    const StripeFindings &fast = f.stripes[0], &slow = f.stripes[1];
    EXPECT_EQ(fast.name, "d:\\caps\\kestro");
    EXPECT_LE(std::max(fast.frames, slow.frames) - std::min(fast.frames, slow.frames), 1u);
    EXPECT_GT(fast.busyRate, 2.5e9);
    EXPECT_NEAR(slow.rateAfterFall, 610e6, 30e6);
    EXPECT_GT(fast.rateAfterFall, 2.5e9);
    EXPECT_NEAR(slow.needRate, 1.493e9 / 2, 1e6);
    EXPECT_GT(slow.waitedFrames, 0u);
    EXPECT_FALSE(slow.rate.empty());

    TakeFacts facts;
    facts.take = Model().take;
    facts.stripeFiles = {kStripeFiles[0], kStripeFiles[1]};
    const JournalRead read = ParseJournal(Simulate(StripedCacheRunsOut()));
    const std::string text = ReportText("x.avi", facts, "x.journal", &read, &f, "");
    EXPECT_NE(text.find("\ndisk of d:\\caps\\kestro: "), std::string::npos) << text;
    EXPECT_NE(text.find("\ndisk of e:\\caps\\kestro: "), std::string::npos) << text;
    const std::string page = ReportPage("x.avi", text, &f);
    EXPECT_NE(page.find(">the disk of e:\\caps\\kestro</text>"), std::string::npos);
    // The take's own rate and one line for each data file.
    size_t lines = 0;
    for (size_t at = page.find("<polyline"); at != std::string::npos;
         at = page.find("<polyline", at + 1))
        ++lines;
    EXPECT_EQ(lines, 3u + 2u);
}

TEST(JournalVerdict, StallsHaveTheirTimeAndLength) {
    const JournalFindings f = Judge(Simulate(Stalls()));
    ASSERT_EQ(f.stalls.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_NEAR(f.stalls[i].at, 5.0 * double(i + 1), 0.05);
        EXPECT_GE(f.stalls[i].length, 0.150);
        EXPECT_LT(f.stalls[i].length, 0.250);
        EXPECT_GE(f.stalls[i].longestWrite, 150);
    }
}

TEST(JournalVerdict, ACutOrEmptyJournal) {
    std::vector<uint8_t> bytes = Simulate(Clean());
    const size_t whole = (bytes.size() - kJournalHeaderBytes) / kJournalRowBytes;
    bytes.resize(bytes.size() - 5);
    JournalFindings f = Judge(bytes);
    EXPECT_EQ(f.frames, whole - 1);
    EXPECT_EQ(f.cutBytes, kJournalRowBytes - 5);
    EXPECT_EQ(f.verdict.rfind("all ", 0), 0u) << f.verdict;

    bytes.resize(kJournalHeaderBytes);
    f = Judge(bytes);
    EXPECT_EQ(f.frames, 0u);
    EXPECT_EQ(f.verdict.rfind("the journal holds no frame", 0), 0u) << f.verdict;
}

// Whatever rows the reader lets through (any counts, the slowest clock, frame numbers anywhere),
// the analysis, the text and the page come out whole: the sanitizer build sees any overflow.
TEST(JournalVerdict, SurvivesAnyRowsTheReaderAccepts) {
    Model m;
    m.seconds = 2;
    m.stallEvery = 0.5, m.stallSeconds = 0.2;
    const std::vector<uint8_t> base = Simulate(m);
    std::mt19937 random(39);
    TakeFacts facts;
    facts.take = m.take;
    for (int round = 0; round < 300; ++round) {
        std::vector<uint8_t> bytes = base;
        if (round % 3 == 0)
            bytes[16] = 1, std::fill(bytes.begin() + 17, bytes.begin() + 24, 0); // 1 tick a second
        const int changes = 1 + int(random() % 64);
        const size_t rows = (bytes.size() - kJournalHeaderBytes) / kJournalRowBytes;
        for (int i = 0; i < changes; ++i) {
            // Any field but the arrival and the piece, which the reader checks.
            size_t field = random() % (kJournalRowBytes - 7);
            field += field >= 8 ? 7 : 0;
            bytes[kJournalHeaderBytes + random() % rows * kJournalRowBytes + field] =
                random() % 4 == 0 ? 0xFF : uint8_t(random());
        }
        const JournalRead read = ParseJournal(bytes);
        ASSERT_TRUE(read.header) << read.damage;
        const JournalFindings f = AnalyseJournal(read, facts);
        const std::string text = ReportText("x.avi", facts, "x.journal", &read, &f, "");
        EXPECT_NE(text.find("verdict: "), std::string::npos);
        EXPECT_NE(ReportPage("x.avi", text, &f).find("</html>"), std::string::npos);
    }
}

TEST(JournalNumbers, AsTheReportPrintsThem) {
    EXPECT_EQ(ClockText(41.9), "00:41");
    EXPECT_EQ(ClockText(3723.5, true), "1:02:03.500");
    EXPECT_EQ(MillisText(0.2), "0.2 ms");
    EXPECT_EQ(MillisText(41.4), "41 ms");
    EXPECT_EQ(MillisText(1500), "1,500 ms");
    EXPECT_EQ(MillisText(1000.0 / 60, true), "16.7 ms");
    EXPECT_EQ(RateText(1492992000), "1,493 MB/s");
    EXPECT_EQ(SizeText(18200000000), "18.2 GB");
    EXPECT_EQ(SizeText(999), "999 bytes");
    EXPECT_EQ(Grouped(1234567), "1,234,567");
}

} // namespace
