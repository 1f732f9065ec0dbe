// The fast readers with every overlapped read finishing later, as Windows may finish it: the
// frame being decoded and the read on its way never share a buffer, a read is used only once it
// has ended, and reads that fail, come back short or never end cost only their own frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "AsyncIo.h"
#include "PlaybackSupport.h"
#include "Thread.h"
#include "pure/PixelRepack.h"

using namespace kp;

namespace {

using kt::AsyncIo;
using kt::AsyncOptions;
using kt::Fate;
using kt::Transfer;
using Driver = AsyncOptions::Driver;

constexpr LONG kRawWidth = 64, kRawHeight = 48; // YUY2: 6,144 bytes, a page and a half
constexpr LONG kChainWidth = 64, kChainHeight = 64;

// A frame of a data file piece: which piece, which frame in it.
struct At {
    int piece;
    int frame;
};

// In order, repeated, backwards, into the other piece and back, to the end of a piece.
const At kOrder[] = {{0, 0}, {0, 1}, {0, 2}, {0, 3}, {0, 3}, {0, 2}, {0, 1}, {0, 0}, {1, 0},
                     {1, 1}, {1, 2}, {0, 4}, {0, 5}, {0, 6}, {0, 7}, {1, 7}, {1, 3}, {1, 4}};
constexpr int kFramesPerPiece = 8;
// Raw pieces hold more, so that the deepest read-ahead fills in sequence.
constexpr int kRawFramesPerPiece = 24;

// Two pieces of stored frames and what each must decode to.
struct Stream {
    kt::Format stream, output;
    std::vector<std::vector<Placed>> placed;  // [piece][frame]
    std::vector<std::vector<Bytes>> pictures; // decoded
};

Stream MakeStream(const std::string& dir, bool chained, bool rgb32) {
    Stream s;
    // Sizes that grow past the read-ahead planned from the frame before, by more than two
    // pages too.
    const size_t used[2][kFramesPerPiece] = {{100, 5000, 12000, 300, 4096, 8200, 9000, 10},
                                             {7000, 200, 11000, 11500, 20, 6000, 12288, 3000}};
    for (int piece = 0; piece < 2; ++piece) {
        std::vector<Bytes> stored, pictures;
        for (int f = 0; f < (chained ? kFramesPerPiece : kRawFramesPerPiece); ++f) {
            uint32_t seed = uint32_t(100 * piece + f + 1);
            if (chained) {
                pictures.push_back(KtstPicture(kChainWidth, kChainHeight, used[piece][f], seed));
                stored.push_back(KtstFrame(pictures.back()));
                continue;
            }
            Bytes raw = Noise(size_t(kRawWidth) * kRawHeight * 2, seed);
            stored.push_back(raw);
            if (!rgb32) {
                pictures.push_back(raw);
                continue;
            }
            Bytes rgb(size_t(kRawWidth) * kRawHeight * 4);
            kestro::reference::Yuy2ToRgb32(raw.data(), rgb.data(), kRawWidth, kRawHeight);
            pictures.push_back(rgb);
        }
        char name[16];
        std::snprintf(name, sizeof name, "\\take.%03d", piece);
        s.placed.push_back(WriteDataFile(dir + name, stored));
        s.pictures.push_back(pictures);
    }
    if (chained) {
        s.stream = ChainedStream(kChainWidth, kChainHeight, 24, kTestCodecFourcc,
                                 KtstFormat(kChainWidth, kChainHeight));
        s.output = kt::MakeFormat(kChainWidth, kChainHeight, BI_RGB, 24);
    } else {
        s.stream = RawStream(kRawWidth, kRawHeight, kt::kYuy2, 16);
        s.output = rgb32 ? kt::MakeFormat(kRawWidth, kRawHeight, BI_RGB, 32)
                         : kt::MakeFormat(kRawWidth, kRawHeight, kt::kYuy2, 16);
    }
    return s;
}

class AsyncPlayback : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(kt::CodecLoaded()) << "another test left a codec handle open";
        dir = kt::DataDir("async-" + TestName());
    }
    void TearDown() override {
        player.reset();
        io.reset();
        kt::RemoveIni();
        for (int piece = 0; piece < 2; ++piece) {
            char name[16];
            std::snprintf(name, sizeof name, "\\take.%03d", piece);
            DeleteFileA((dir + name).c_str());
        }
        RemoveDirectoryA(dir.c_str());
    }
    // Opens the codec for playback, puts the layer under it, begins.
    void Start(bool chained, bool rgb32, AsyncOptions options, bool huffyuv = false,
               int readahead = 1) {
        stream = MakeStream(dir, chained, rgb32);
        PlaybackIni(true, huffyuv, readahead);
        player.emplace(stream.stream, stream.output);
        ASSERT_TRUE(player->ok());
        io.emplace(options);
        ASSERT_TRUE(io->active());
        ASSERT_EQ(player->Begin(), ICERR_OK);
    }
    LRESULT Play(At at, Bytes& picture) {
        return player->Play(MakeRecord(stream.placed[at.piece][at.frame]), picture);
    }
    // The frame whose bytes a read at `offset` of `path` fetches.
    std::optional<At> FrameOf(const std::string& path, uint64_t offset) const {
        for (int piece = 0; piece < 2; ++piece)
            for (int f = 0; f < int(stream.placed[piece].size()); ++f) {
                const Placed& p = stream.placed[piece][f];
                if (_stricmp(p.path.c_str(), path.c_str()) == 0 && offset >= p.offset &&
                    offset < p.offset + RoundUp(p.size))
                    return At{piece, f};
            }
        return std::nullopt;
    }
    size_t PendingReads() const { return io->Pending().size(); }

    std::string dir;
    Stream stream;
    std::optional<Player> player;
    std::optional<AsyncIo> io;
};

struct ReaderRow {
    const char* name;
    bool chained;
    bool rgb32;
    Driver driver;
    bool huffyuv = false;
    int readahead = 1;
};

class FastReaders : public AsyncPlayback, public ::testing::WithParamInterface<ReaderRow> {};

TEST_P(FastReaders, EveryFrameDecodesAsStoredInAnyOrder) {
    const ReaderRow& row = GetParam();
    AsyncOptions options;
    options.driver = row.driver;
    options.seed = uint32_t(std::hash<std::string>{}(row.name));
    Start(row.chained, row.rgb32, options, row.huffyuv, row.readahead);
    Bytes picture;
    int decodedWhileReading = 0;
    for (int pass = 0; pass < 2; ++pass)
        for (At at : kOrder) {
            ASSERT_EQ(Play(at, picture), ICERR_OK)
                << "piece " << at.piece << " frame " << at.frame << ": " << io->Report();
            ASSERT_EQ(picture, stream.pictures[at.piece][at.frame])
                << "piece " << at.piece << " frame " << at.frame;
            if (row.driver == Driver::WhenBlocked && PendingReads() > 0)
                ++decodedWhileReading;
        }
    EXPECT_EQ(player->End(), ICERR_OK);
    EXPECT_TRUE(io->Pending().empty());
    kt::IoCounters c = io->Counters();
    EXPECT_EQ(c.Faults(), 0u) << io->Report();
    EXPECT_GT(c.pendingAnswers, 0u) << "the reads went past the layer";
    if (row.driver == Driver::WhenBlocked) {
        EXPECT_GE(decodedWhileReading, 8) << "frames returned with the next one's read on its way";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FastReaders,
    ::testing::Values(ReaderRow{"RawYuy2", false, false, Driver::WhenBlocked},
                      ReaderRow{"RawYuy2Worker", false, false, Driver::Worker},
                      ReaderRow{"RawRgb32", false, true, Driver::WhenBlocked},
                      ReaderRow{"RawRgb32Worker", false, true, Driver::Worker},
                      ReaderRow{"Chained", true, false, Driver::WhenBlocked},
                      ReaderRow{"ChainedWorker", true, false, Driver::Worker},
                      ReaderRow{"ChainedHuffyuv", true, false, Driver::WhenBlocked, true},
                      ReaderRow{"RawYuy2Depth4", false, false, Driver::WhenBlocked, false, 4},
                      ReaderRow{"RawRgb32WorkerDepth4", false, true, Driver::Worker, false, 4},
                      ReaderRow{"RawYuy2Depth16", false, false, Driver::WhenBlocked, false, 16},
                      ReaderRow{"RawYuy2WorkerDepth16", false, false, Driver::Worker, false, 16},
                      ReaderRow{"ChainedDepth4", true, false, Driver::WhenBlocked, false, 4},
                      ReaderRow{"ChainedWorkerDepth4", true, false, Driver::Worker, false, 4},
                      ReaderRow{"ChainedHuffyuvDepth16", true, false, Driver::WhenBlocked, true,
                                16}),
    [](const auto& info) { return std::string(info.param.name); });

// In sequence every frame is found in flight and the reads ahead are topped up to the depth of
// the settings, each at the next frame, until the piece ends; the end cancels what is left. The
// layer finishes only the read the codec waits for, so nothing else ends by chance.
struct DepthRow {
    const char* name;
    bool rgb32;
    int readahead;
};

class ReadAheadDepth : public AsyncPlayback, public ::testing::WithParamInterface<DepthRow> {};

TEST_P(ReadAheadDepth, KeepsThatManyReadsInFlightAtTheNextFrames) {
    const DepthRow& row = GetParam();
    AsyncOptions options;
    options.driver = Driver::Manual;
    Start(false, row.rgb32, options, false, row.readahead);
    io->OnBlock([](AsyncIo& layer) {
        auto pending = layer.Pending();
        return !pending.empty() && layer.Complete(pending.front().id);
    });
    Bytes picture;
    const int last = kRawFramesPerPiece - 1;
    for (int f = 0; f <= last; ++f) {
        ASSERT_EQ(Play({0, f}, picture), ICERR_OK) << "frame " << f << ": " << io->Report();
        ASSERT_EQ(picture, stream.pictures[0][f]) << "frame " << f;
        auto pending = io->Pending();
        ASSERT_EQ(int(pending.size()), std::min(row.readahead, last - f)) << "after frame " << f;
        for (size_t i = 0; i < pending.size(); ++i) {
            auto at = FrameOf(pending[i].path, pending[i].offset);
            ASSERT_TRUE(at) << "a read off the frames";
            EXPECT_EQ(at->piece, 0);
            EXPECT_EQ(at->frame, f + 1 + int(i)) << "after frame " << f;
            EXPECT_EQ(pending[i].offset, stream.placed[0][at->frame].offset);
        }
    }
    kt::IoCounters c = io->Counters();
    EXPECT_EQ(c.reads, uint32_t(kRawFramesPerPiece)) << "one read per frame: " << io->Report();
    EXPECT_EQ(c.maxReadsInFlight, uint32_t(row.readahead));
    // A repeat after the piece is played: nothing in flight matches, one fresh read.
    ASSERT_EQ(Play({0, 5}, picture), ICERR_OK) << io->Report();
    EXPECT_EQ(picture, stream.pictures[0][5]);
    size_t left = io->Pending().size();
    EXPECT_EQ(int(left), row.readahead);
    EXPECT_EQ(player->End(), ICERR_OK);
    c = io->Counters();
    EXPECT_TRUE(io->Pending().empty());
    EXPECT_EQ(c.cancelled, uint32_t(left)) << io->Report();
    EXPECT_EQ(c.Faults(), 0u) << io->Report();
}

INSTANTIATE_TEST_SUITE_P(Rows, ReadAheadDepth,
                         ::testing::Values(DepthRow{"Yuy2One", false, 1},
                                           DepthRow{"Yuy2Four", false, 4},
                                           DepthRow{"Yuy2Sixteen", false, 16},
                                           DepthRow{"Rgb32Four", true, 4},
                                           DepthRow{"Rgb32Sixteen", true, 16}),
                         [](const auto& info) { return std::string(info.param.name); });

// Reads that finish inside ReadFile, as cached ones may: where the file asked for no packet on
// success the result comes from the OVERLAPPED alone, elsewhere from the packet that follows.
TEST_F(AsyncPlayback, ReadsFinishedInsideTheCall) {
    for (bool skip : {true, false})
        for (int readahead : {1, 4}) {
            SCOPED_TRACE(std::string(skip ? "no packet" : "packet") + ", read-ahead " +
                         std::to_string(readahead));
            AsyncOptions options;
            options.driver = Driver::WhenBlocked;
            options.withoutSkipOnSuccess = !skip;
            Start(false, false, options, false, readahead);
            io->SetPolicy([](const Transfer&) { return Fate{Fate::AtOnce}; });
            Bytes picture;
            for (At at : kOrder) {
                ASSERT_EQ(Play(at, picture), ICERR_OK)
                    << "piece " << at.piece << " frame " << at.frame << ": " << io->Report();
                ASSERT_EQ(picture, stream.pictures[at.piece][at.frame])
                    << "piece " << at.piece << " frame " << at.frame;
            }
            EXPECT_EQ(player->End(), ICERR_OK);
            kt::IoCounters c = io->Counters();
            EXPECT_EQ(c.Faults(), 0u) << io->Report();
            EXPECT_EQ(c.atOnce, c.reads) << io->Report();
            EXPECT_EQ(c.packets, skip ? 0u : c.reads) << io->Report();
            player.reset();
            io.reset();
        }
}

// One read of a sequential play ends badly. Failed, it fails the one frame it fetched; short,
// it fails a raw frame (the file seems to end there) and is completed by a second read for a
// chained one.
struct EndingRow {
    const char* name;
    bool chained;
    uint32_t read; // which read of the run
    Fate fate;
    bool frameFails;
    int readahead = 1;
};

class ReadEndings : public AsyncPlayback, public ::testing::WithParamInterface<EndingRow> {};

TEST_P(ReadEndings, CostOnlyTheirOwnFrame) {
    const EndingRow& row = GetParam();
    AsyncOptions options;
    options.driver = Driver::WhenBlocked;
    Start(row.chained, false, options, false, row.readahead);
    std::optional<At> hit;
    io->SetPolicy([&](const Transfer& t) {
        if (t.sequence != row.read)
            return Fate{};
        hit = FrameOf(t.path, t.offset);
        return row.fate;
    });
    Bytes picture;
    int refused = 0;
    for (int pass = 0; pass < 2; ++pass)
        for (int f = 0; f < kFramesPerPiece; ++f) {
            LRESULT result = Play({0, f}, picture);
            bool expectFailure = row.frameFails && pass == 0 && hit && hit->frame == f;
            if (expectFailure) {
                EXPECT_EQ(result, ICERR_BADFORMAT) << "frame " << f;
                ++refused;
                continue;
            }
            ASSERT_EQ(result, ICERR_OK)
                << "pass " << pass << " frame " << f << ": " << io->Report();
            ASSERT_EQ(picture, stream.pictures[0][f]) << "pass " << pass << " frame " << f;
        }
    ASSERT_TRUE(hit) << "the read was never issued";
    EXPECT_EQ(refused, row.frameFails ? 1 : 0);
    EXPECT_EQ(player->End(), ICERR_OK);
    EXPECT_EQ(io->Counters().Faults(), 0u) << io->Report();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ReadEndings,
    ::testing::Values(
        EndingRow{"RawFreshReadCrc", false, 0, Fate::Failing(ERROR_CRC), true},
        EndingRow{"RawReadAheadCrc", false, 3, Fate::Failing(ERROR_CRC), true},
        EndingRow{"RawReadAheadDevice", false, 5, Fate::Failing(ERROR_IO_DEVICE), true},
        EndingRow{"RawShort", false, 2, Fate::Shortened(4096), true},
        EndingRow{"ChainedContinuationDevice", true, 4, Fate::Failing(ERROR_IO_DEVICE), true},
        EndingRow{"ChainedReadAheadCrc", true, 5, Fate::Failing(ERROR_CRC), true},
        EndingRow{"ChainedShort", true, 3, Fate::Shortened(4096), false},
        EndingRow{"RawReadAheadCrcDepth4", false, 3, Fate::Failing(ERROR_CRC), true, 4},
        EndingRow{"RawDeepReadAheadDeviceDepth16", false, 6, Fate::Failing(ERROR_IO_DEVICE), true,
                  16},
        EndingRow{"RawShortDepth4", false, 2, Fate::Shortened(4096), true, 4},
        EndingRow{"ChainedReadAheadCrcDepth4", true, 1, Fate::Failing(ERROR_CRC), true, 4},
        EndingRow{"ChainedShortDepth4", true, 1, Fate::Shortened(4096), false, 4}),
    [](const auto& info) { return std::string(info.param.name); });

// The end of a run, and the close of the codec, with the read-ahead on its way.
struct EndRow {
    const char* name;
    bool close;
    Fate::Kind readAhead; // what becomes of it: cancelled (Hold), or only a late completion
    bool completesLate;
    int readahead = 1;
};

class EndWithReadAhead : public AsyncPlayback, public ::testing::WithParamInterface<EndRow> {};

TEST_P(EndWithReadAhead, CollectsItBeforeItsBufferGoes) {
    const EndRow& row = GetParam();
    AsyncOptions options;
    options.driver = Driver::Manual;
    options.timeScale = row.completesLate ? 1 : 100;
    Start(false, false, options, false, row.readahead);
    io->SetPolicy(
        [&](const Transfer& t) { return Fate{t.sequence == 0 ? Fate::Later : row.readAhead}; });
    io->OnBlock([](AsyncIo& layer) { return layer.CompleteRandom(); });
    Bytes picture;
    ASSERT_EQ(Play({0, 0}, picture), ICERR_OK) << io->Report();
    EXPECT_EQ(picture, stream.pictures[0][0]);
    auto pending = io->Pending();
    ASSERT_EQ(pending.size(), size_t(row.readahead)) << "the reads ahead are on their way";
    kt::Thread late;
    if (row.completesLate)
        late = kt::Thread([&] {
            Sleep(100);
            for (const Transfer& t : pending)
                io->Complete(t.id);
        });
    DWORD start = GetTickCount();
    if (row.close)
        player.reset();
    else
        EXPECT_EQ(player->End(), ICERR_OK);
    EXPECT_LT(GetTickCount() - start, 5000u);
    late.wait();
    kt::IoCounters c = io->Counters();
    EXPECT_EQ(c.freedInUse, 0u) << io->Report();
    EXPECT_EQ(c.touchedInUse + c.reusedInUse + c.overlappedReused + c.overlappedFreed, 0u)
        << io->Report();
    if (row.readAhead == Fate::Hold) {
        EXPECT_EQ(c.cancelled, uint32_t(row.readahead));
    }
    // A read that never ends keeps its buffer; its file is closed under it.
    bool givenUp = row.readAhead == Fate::HoldForEver && !row.completesLate;
    EXPECT_EQ(c.closedInUse, givenUp ? 1u : 0u) << io->Report();
    EXPECT_EQ(io->Pending().size(), givenUp ? size_t(row.readahead) : 0u);
    // Landing after all, it writes only memory the codec left to it.
    for (const Transfer& t : io->Pending())
        io->Complete(t.id);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, EndWithReadAhead,
    ::testing::Values(EndRow{"EndCancels", false, Fate::Hold, false},
                      EndRow{"CloseCancels", true, Fate::Hold, false},
                      EndRow{"EndWaitsForALateCompletion", false, Fate::HoldForEver, true},
                      EndRow{"EndGivesUpAReadThatNeverEnds", false, Fate::HoldForEver, false},
                      EndRow{"CloseGivesUpAReadThatNeverEnds", true, Fate::HoldForEver, false},
                      EndRow{"EndCancelsFour", false, Fate::Hold, false, 4},
                      EndRow{"CloseCancelsSixteen", true, Fate::Hold, false, 16},
                      EndRow{"EndWaitsForFourLateCompletions", false, Fate::HoldForEver, true, 4},
                      EndRow{"EndGivesUpFourReadsThatNeverEnd", false, Fate::HoldForEver, false, 4},
                      EndRow{"CloseGivesUpSixteenReadsThatNeverEnd", true, Fate::HoldForEver, false,
                             16}),
    [](const auto& info) { return std::string(info.param.name); });

// A frame's read that makes no progress: the frame fails in bounded time and the next plays; a
// read that even cancelling does not end leaves its buffer to it, and the run's frames fail
// until a new begin. The codec's clock runs 20 times faster here: faster, and a loaded machine
// lets the frames before the stalled one time out as well.
TEST_F(AsyncPlayback, StalledReadFailsItsFrameOnly) {
    for (int readahead : {1, 4, 16})
        for (Fate::Kind kind : {Fate::Hold, Fate::HoldForEver}) {
            SCOPED_TRACE(kind == Fate::Hold ? "cancelled" : "never ends");
            SCOPED_TRACE("read-ahead " + std::to_string(readahead));
            AsyncOptions options;
            options.driver = Driver::WhenBlocked;
            options.timeScale = 20;
            Start(false, false, options, false, readahead);
            io->SetPolicy(
                [&](const Transfer& t) { return Fate{t.sequence == 2 ? kind : Fate::Later}; });
            Bytes picture;
            ASSERT_EQ(Play({0, 0}, picture), ICERR_OK);
            ASSERT_EQ(Play({0, 1}, picture), ICERR_OK); // its read-ahead (the third read) stalls
            DWORD start = GetTickCount();
            EXPECT_EQ(Play({0, 2}, picture), ICERR_BADFORMAT);
            EXPECT_LT(GetTickCount() - start, 5000u);
            for (int f : {3, 4, 0}) {
                LRESULT result = Play({0, f}, picture);
                if (kind == Fate::Hold) {
                    ASSERT_EQ(result, ICERR_OK) << "frame " << f << ": " << io->Report();
                    EXPECT_EQ(picture, stream.pictures[0][f]);
                } else {
                    EXPECT_EQ(result, ICERR_BADFORMAT) << "a slot is gone until the next begin";
                }
            }
            if (kind == Fate::HoldForEver) {
                ASSERT_EQ(player->Begin(), ICERR_OK);
                ASSERT_EQ(Play({0, 5}, picture), ICERR_OK) << io->Report();
                EXPECT_EQ(picture, stream.pictures[0][5]);
            }
            EXPECT_EQ(player->End(), ICERR_OK);
            player.reset();
            // The read that never ended lands after all, into memory the codec left to it.
            for (const Transfer& t : io->Pending())
                io->Complete(t.id);
            kt::IoCounters c = io->Counters();
            EXPECT_EQ(c.freedInUse + c.touchedInUse + c.reusedInUse + c.overlappedReused +
                          c.overlappedFreed,
                      0u)
                << io->Report();
            EXPECT_EQ(c.closedInUse, kind == Fate::Hold ? 0u : 1u) << io->Report();
            io.reset();
        }
}

} // namespace
