// The frame journal a capture leaves beside its take, from captures through the codec manager:
// the host's frame numbers as given, the rate it said, and on a modelled QLC drive the waits for a
// request that begin once the drive's write cache is full.
#include <algorithm>
#include <cstring>
#include <optional>

#include "AsyncIo.h"
#include "CaptureFixture.h"
#include "pure/FrameJournal.h"

using namespace kt;

namespace {

class Journal : public CaptureTest {
protected:
    void TearDown() override {
        hic.reset();
        io.reset(); // after the codec: its close runs under the layer too
        CaptureTest::TearDown();
    }
    std::string JournalPath() const { return kestro::JournalFileName(base); }
    kestro::JournalRead Read() const {
        auto size = FileSizeOf(JournalPath());
        EXPECT_NE(size, UINT64_MAX) << "no journal at " << JournalPath();
        auto bytes = ReadAt(JournalPath(), 0, size == UINT64_MAX ? 0 : size_t(size));
        EXPECT_EQ(bytes.size() % 4096, 0u) << "written in whole pages";
        return kestro::ParseJournal(bytes);
    }
    void SendRate(DWORD rate, DWORD scale) {
        ICCOMPRESSFRAMES frames{};
        frames.dwRate = rate;
        frames.dwScale = scale;
        // The answer stays that of a message the codec does not handle.
        EXPECT_EQ(
            ICSendMessage(hic.get(), ICM_COMPRESS_FRAMES_INFO, DWORD_PTR(&frames), sizeof frames),
            ICERR_UNSUPPORTED);
    }
    std::optional<AsyncIo> io;
};

struct GapRow {
    const char* name;
    const char* fastwrite;
    const char* buffer;
    size_t frames = 8; // more than a page of rows: the journal's memory holds eight
};

class JournalGaps : public Journal, public ::testing::WithParamInterface<GapRow> {};

// A host that skips frame numbers: the rows carry them as given, each frame's write issued and
// completed between its arrival and its return, however many pages they fill.
TEST_P(JournalGaps, RowsCarryTheHostsFrameNumbers) {
    Open({{"fastwrite", GetParam().fastwrite}, {"buffer", GetParam().buffer}, {"request", "3"}});
    const Format in = MakeFormat(64, 64, kYuy2, 16);
    SendRate(30000, 1001);
    ASSERT_EQ(Begin(in), ICERR_OK);
    std::vector<LONG> numbers;
    for (LONG i = 0; numbers.size() < GetParam().frames; ++i)
        if (i % 7 < 4 || i == 40)
            numbers.push_back(i);
    const auto image = FramePattern(in.header()->biSizeImage, 1);
    for (LONG n : numbers)
        ASSERT_EQ(Compress(in, image.data(), n).result, ICERR_OK);
    SendRate(25, 1); // a host may say it during the run
    const uint32_t take = runTake;
    ASSERT_EQ(End(), ICERR_OK);

    const kestro::JournalRead read = Read();
    ASSERT_TRUE(read.header) << read.damage;
    EXPECT_EQ(read.header->rate, 25u);
    EXPECT_EQ(read.header->scale, 1u);
    EXPECT_EQ(read.header->take, take);
    EXPECT_EQ(read.header->width, 64u);
    EXPECT_EQ(read.header->height, 64u);
    EXPECT_EQ(read.header->compression, kYuy2);
    EXPECT_EQ(read.header->requests, std::string(GetParam().fastwrite) == "1" ? 3u : 0u);
    ASSERT_EQ(read.rows.size(), numbers.size());
    for (size_t i = 0; i < read.rows.size(); ++i) {
        const kestro::JournalRow& row = read.rows[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(row.frame, uint32_t(numbers[i]));
        EXPECT_EQ(row.bytes, 8192u);
        EXPECT_EQ(row.piece, 0);
        EXPECT_GE(row.inFlight, 1);
        EXPECT_LE(row.issued, row.returned);
        EXPECT_NE(row.completed, kestro::kJournalUnknown);
    }
}

INSTANTIATE_TEST_SUITE_P(Writers, JournalGaps,
                         ::testing::Values(GapRow{"Sync", "0", "0"}, GapRow{"FastDirect", "1", "0"},
                                           GapRow{"FastCopied", "1", "1"},
                                           GapRow{"ElevenPages", "1", "1", 1400}),
                         [](const auto& info) { return std::string(info.param.name); });

// A journal that cannot be written costs the capture nothing.
TEST_F(Journal, AFolderInItsPlaceLeavesTheCaptureAsItWas) {
    Open({{"fastwrite", "1"}});
    ASSERT_TRUE(CreateDirectoryA(JournalPath().c_str(), nullptr));
    const Format in = MakeFormat(64, 64, kYuy2, 16);
    ASSERT_EQ(Begin(in), ICERR_OK);
    const auto image = FramePattern(in.header()->biSizeImage, 2);
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(Compress(in, image.data(), i).result, ICERR_OK);
    ASSERT_EQ(End(), ICERR_OK);
    EXPECT_EQ(ReadAt(Piece(0), 3 * 8192, 8192), image);
    EXPECT_EQ(GetFileAttributesA(JournalPath().c_str()) & FILE_ATTRIBUTE_DIRECTORY,
              DWORD(FILE_ATTRIBUTE_DIRECTORY));
}

// 4K60 P010 at the tests' scale: 76 frames of 1.97 MB a second (150 MB/s), 150 of them (295 MB),
// paced as a capture card delivers them, onto `drives` modelled QLC drives, a data file on each
// (scaled: a 120 MB cache taking 300 MB/s, then 60 MB/s; idle time empties it at 30 MB/s).
class QlcCapture : public Journal {
protected:
    static constexpr int kFrames = 150;
    static constexpr uint32_t kFrameBytes = 1024 * 960 * 2;

    void Capture(int drives) {
        std::map<std::string, std::string> settings{
            {"fastwrite", "1"}, {"buffer", "1"}, {"request", "8"}};
        AsyncOptions o;
        o.maxDelayUs = 0;
        o.guardBuffers = false;
        o.checksumWrites = false;
        o.checkFiles = false;
        // The first disk whose folder a path lies in times it: the stripes' folders first.
        for (int k = 1; k < drives; ++k) {
            const std::string file = AddStripe(settings, k);
            o.disks.push_back({file.substr(0, file.rfind('\\') + 1), qlc, true});
        }
        o.disks.push_back({dir + "\\", qlc, true});
        Open(settings);
        io.emplace(o);
        ASSERT_TRUE(io->active());

        const Format in = MakeFormat(1024, 960, kYuy2, 16);
        ASSERT_EQ(in.header()->biSizeImage, kFrameBytes);
        SendRate(76, 1);
        ASSERT_EQ(Begin(in), ICERR_OK);
        const auto image = FramePattern(kFrameBytes, 3);
        LARGE_INTEGER frequency, start, now;
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&start);
        for (int i = 0; i < kFrames; ++i) {
            // Paced as a capture card delivers: frame i is due at i / 76 s.
            const LONGLONG due = start.QuadPart + frequency.QuadPart * i / 76;
            for (QueryPerformanceCounter(&now); now.QuadPart < due; QueryPerformanceCounter(&now))
                Sleep(1);
            ASSERT_EQ(Compress(in, image.data(), i).result, ICERR_OK) << "frame " << i;
        }
        ASSERT_EQ(End(), ICERR_OK);
    }

    const DiskModel qlc = DiskPresets()[1].model.Scaled(kTestSizeDivisor, kTestTimeDivisor);
};

// On one drive, once the cache is full the drive writes 60 MB/s, the eight requests fill and
// every later frame waits for one.
TEST_F(QlcCapture, OnAQlcDriveTheWaitsBeginWhenItsCacheIsFull) {
    ASSERT_NO_FATAL_FAILURE(Capture(1));
    const int frames = kFrames;
    const uint32_t frameBytes = kFrameBytes;
    const kestro::JournalRead read = Read();
    ASSERT_TRUE(read.header) << read.damage;
    ASSERT_EQ(read.rows.size(), size_t(frames));
    EXPECT_EQ(read.header->requests, 8u);
    // The first frame that waited, and how much had gone to the drive before it.
    size_t firstWait = read.rows.size();
    for (size_t i = 0; i < read.rows.size() && firstWait == read.rows.size(); ++i)
        if (read.rows[i].waited > 0)
            firstWait = i;
    ASSERT_LT(firstWait, read.rows.size()) << "no frame waited: the drive kept up";
    const double before = double(firstWait) * frameBytes;
    // Between the cache's end and the first wait lie what the cache took back while the drive
    // idled between frames, and the frames the drive still took at its slow rate while the eight
    // requests filled.
    EXPECT_GE(before, qlc.cacheBytes) << "frame " << firstWait << " waited inside the cache";
    EXPECT_LE(before, qlc.cacheBytes + 32.0 * frameBytes) << "frame " << firstWait;
    // A loaded machine may deliver a frame late enough that the drive has caught up with it; the
    // rest wait, with every request in flight.
    size_t waitedAfter = 0;
    for (size_t i = firstWait; i < read.rows.size(); ++i) {
        SCOPED_TRACE(i);
        if (read.rows[i].waited == 0)
            continue;
        ++waitedAfter;
        EXPECT_EQ(read.rows[i].inFlight, 8) << "every request in flight";
    }
    EXPECT_GE(waitedAfter * 10, (read.rows.size() - firstWait) * 9)
        << waitedAfter << " of the " << read.rows.size() - firstWait
        << " frames after the first wait";
    for (size_t i = 0; i < read.rows.size(); ++i)
        EXPECT_NE(read.rows[i].completed, kestro::kJournalUnknown) << i;
    std::printf("first wait at frame %zu, %.1f MB written before it (cache %.1f MB)\n", firstWait,
                before / 1e6, qlc.cacheBytes / 1e6);
}

// Striped over two such drives each takes 75 MB/s, a quarter of the time its cache needs, and
// idles the rest: the cache never fills, and no frame waits for a request.
TEST_F(QlcCapture, StripedOverTwoDrivesNoFrameWaits) {
    ASSERT_NO_FATAL_FAILURE(Capture(2));
    const kestro::JournalRead read = Read();
    ASSERT_TRUE(read.header) << read.damage;
    ASSERT_EQ(read.rows.size(), size_t(kFrames));
    EXPECT_EQ(read.header->requests, 8u);
    int64_t waited = 0;
    for (size_t i = 0; i < read.rows.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(read.rows[i].stripe, i % 2);
        EXPECT_EQ(read.rows[i].bytes, kFrameBytes) << "stored";
        EXPECT_NE(read.rows[i].completed, kestro::kJournalUnknown);
        waited += read.rows[i].waited;
    }
    EXPECT_EQ(waited, 0) << "frames waited for a request";
    const IoCounters c = io->Counters();
    EXPECT_EQ(c.Faults(), 0u) << io->Report();
}

} // namespace
