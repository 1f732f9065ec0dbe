// The fast writers with every overlapped write finishing later, in random order, short, failed or
// never, as Windows may finish them; every frame reported stored must read back exact. The layer
// sits under the shipped library's imports, so these tests hold whatever shape the capture run
// takes inside.
#include <algorithm>
#include <cstring>
#include <optional>

#include "AsyncIo.h"
#include "CaptureFixture.h"
#include "Thread.h"

using namespace kt;

namespace {

using Driver = AsyncOptions::Driver;

// Host images in page-aligned memory, as capture drivers hand them over: unbuffered writes take
// them as they are.
class PageBuffer {
public:
    explicit PageBuffer(size_t bytes) : size_(bytes) {
        data_ = static_cast<uint8_t*>(
            VirtualAlloc(nullptr, bytes ? bytes : 1, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    }
    ~PageBuffer() { VirtualFree(data_, 0, MEM_RELEASE); }
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;
    uint8_t* data() { return data_; }
    void Fill(const std::vector<uint8_t>& bytes) { std::memcpy(data_, bytes.data(), size_); }

private:
    size_t size_;
    uint8_t* data_;
};

// Frames whose trailing zeros vary, so that a chained test codec's output size varies too.
std::vector<uint8_t> VaryingFrame(size_t bytes, int frame) {
    auto data = FramePattern(bytes, frame);
    size_t keep = bytes - (size_t(frame) * 1777) % bytes;
    std::fill(data.begin() + keep, data.end(), 0);
    return data;
}

// 8-bit pictures with runs, for the platform's run-length codec.
std::vector<uint8_t> Palettized(int frame) {
    std::vector<uint8_t> image(64 * 48);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = uint8_t((i / (5 + frame % 7)) * (frame + 1));
    return image;
}

enum class Chain { None, Ktst, Mrle };

struct Stored {
    Record record;
    std::vector<uint8_t> bytes;
};

class AsyncCapture : public CaptureTest {
protected:
    void TearDown() override {
        hic.reset();
        io.reset(); // after the codec: its close runs under the layer too
        CaptureTest::TearDown();
    }
    // Writes the settings, opens the codec and puts the layer under it before any run.
    void Start(std::map<std::string, std::string> settings, AsyncOptions options) {
        Open(std::move(settings));
        io.emplace(options);
        ASSERT_TRUE(io->active());
    }
    Format InputFor(Chain chain) const {
        return chain == Chain::Mrle ? MakePalettized(64, 48) : MakeFormat(64, 64, kYuy2, 16);
    }
    // What the data file must hold for each frame, from an instance of the chained codec of
    // our own for MRLE.
    void PrepareReference(Chain chain, const Format& in) {
        if (chain != Chain::Mrle)
            return;
        auto* stream = reinterpret_cast<const uint8_t*>(out.header());
        uint32_t chainSize;
        std::memcpy(&chainSize, stream + 48, 4);
        rleFormat.assign(stream + 52, stream + 52 + chainSize);
        rle = Hic(ICOpen(ICTYPE_VIDEO, kMrle, ICMODE_COMPRESS));
        ASSERT_TRUE(rle);
        ASSERT_EQ(ICCompressBegin(rle.get(), in.header(),
                                  reinterpret_cast<BITMAPINFOHEADER*>(rleFormat.data())),
                  ICERR_OK);
    }
    std::vector<uint8_t> Expected(Chain chain, const Format& in,
                                  const std::vector<uint8_t>& image) {
        if (chain == Chain::None)
            return image;
        if (chain == Chain::Ktst)
            return TestCodecForm(image);
        auto* format = reinterpret_cast<BITMAPINFOHEADER*>(rleFormat.data());
        std::vector<uint8_t> packed(64 * 48 * 3);
        DWORD ckid = 0, flags = 0;
        EXPECT_EQ(ICCompress(rle.get(), 0, format, packed.data(),
                             const_cast<BITMAPINFOHEADER*>(in.header()),
                             const_cast<uint8_t*>(image.data()), &ckid, &flags, 0, 0, 0, nullptr,
                             nullptr),
                  ICERR_OK);
        packed.resize(format->biSizeImage);
        return packed;
    }
    void ExpectStored(const std::vector<Stored>& stored) {
        for (const Stored& s : stored)
            EXPECT_EQ(ReadAt(s.record.name, s.record.offset, s.bytes.size()), s.bytes)
                << s.record.name << " at " << s.record.offset;
    }

    std::optional<AsyncIo> io;
    Hic rle;
    std::vector<uint8_t> rleFormat;
};

struct WriterRow {
    const char* name;
    const char* divide;
    const char* buffer;
    Chain chain;
    const char* request;
    Driver driver;
    int atOnceEvery = 0;          // every n-th write finishes inside WriteFile
    bool withoutSkipMode = false; // and the system knows no skip-on-success
    int stripes = 1;              // data files the frames go to in turn, one pool for all
};

class FastWriters : public AsyncCapture, public ::testing::WithParamInterface<WriterRow> {};

TEST_P(FastWriters, EveryFrameReadsBackExact) {
    const WriterRow& w = GetParam();
    AsyncOptions options;
    options.driver = w.driver;
    options.seed = uint32_t(std::hash<std::string>{}(w.name));
    options.withoutSkipOnSuccess = w.withoutSkipMode;
    std::map<std::string, std::string> settings{
        {"fastwrite", "1"},
        {"divide", w.divide},
        {"dividesize", "1"},
        {"buffer", w.buffer},
        {"request", w.request},
        {"fourcc", w.chain == Chain::Ktst   ? FourccSetting(kKtst)
                   : w.chain == Chain::Mrle ? FourccSetting(kMrle)
                                            : "0"}};
    std::vector<std::string> files{base};
    for (int k = 1; k < w.stripes; ++k)
        files.push_back(AddStripe(settings, k));
    Start(settings, options);
    if (w.atOnceEvery)
        io->SetPolicy([&](const Transfer& t) {
            return Fate{t.sequence % w.atOnceEvery == 1 ? Fate::AtOnce : Fate::Later};
        });
    Format in = InputFor(w.chain);
    ASSERT_EQ(Begin(in), ICERR_OK);
    PrepareReference(w.chain, in);
    PageBuffer host(in.header()->biSizeImage);
    std::vector<Stored> stored;
    for (int f = 0; f < 30; ++f) {
        auto image = w.chain == Chain::Mrle ? Palettized(f) : VaryingFrame(8192, f);
        host.Fill(image);
        FrameResult r = Compress(in, host.data());
        ASSERT_EQ(r.result, ICERR_OK) << "frame " << f << ": " << io->Report();
        EXPECT_EQ(r.record.name, files[size_t(f % w.stripes)] + ".000") << "frame " << f;
        // The host reuses its image at once: a writer still writing from it would store this.
        std::memset(host.data(), 0xA5, image.size());
        stored.push_back({r.record, Expected(w.chain, in, image)});
    }
    EXPECT_EQ(End(), ICERR_OK);
    EXPECT_TRUE(io->Pending().empty());
    ExpectStored(stored);
    IoCounters c = io->Counters();
    EXPECT_EQ(c.Faults(), 0u) << io->Report();
    EXPECT_GT(c.pendingAnswers, 0u) << "the writes went past the layer";
    EXPECT_GT(c.lookups, 0u) << "the run-time lookups were made before the layer was in place";
    uint32_t pool = uint32_t(std::stoi(w.request));
    EXPECT_LE(c.maxWritesInFlight, pool) << io->Report();
    // Deterministic completions leave the pool to fill before any write ends.
    bool fromHost = std::string(w.buffer) == "0" && w.chain == Chain::None;
    if (w.driver == Driver::WhenBlocked && !w.atOnceEvery) {
        EXPECT_EQ(c.maxWritesInFlight, fromHost ? 1u : pool) << io->Report();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FastWriters,
    ::testing::Values(
        WriterRow{"Direct", "0", "0", Chain::None, "3", Driver::WhenBlocked},
        WriterRow{"DirectWorker", "0", "0", Chain::None, "3", Driver::Worker},
        WriterRow{"CopiedPool1", "0", "1", Chain::None, "1", Driver::WhenBlocked},
        WriterRow{"CopiedPool3", "0", "1", Chain::None, "3", Driver::WhenBlocked},
        WriterRow{"CopiedPool20", "0", "1", Chain::None, "20", Driver::WhenBlocked},
        WriterRow{"CopiedWorker", "0", "1", Chain::None, "3", Driver::Worker},
        WriterRow{"CopiedAtOnce", "0", "1", Chain::None, "3", Driver::WhenBlocked, 3},
        WriterRow{"CopiedAtOnceNoSkip", "0", "1", Chain::None, "3", Driver::WhenBlocked, 3, true},
        WriterRow{"KtstPool1", "0", "0", Chain::Ktst, "1", Driver::WhenBlocked},
        WriterRow{"KtstPool3", "0", "0", Chain::Ktst, "3", Driver::WhenBlocked},
        WriterRow{"KtstPool20", "0", "0", Chain::Ktst, "20", Driver::Worker},
        WriterRow{"KtstAtOnceNoSkip", "0", "0", Chain::Ktst, "3", Driver::Worker, 2, true},
        WriterRow{"Mrle", "0", "0", Chain::Mrle, "3", Driver::WhenBlocked},
        WriterRow{"MrleWorker", "0", "0", Chain::Mrle, "20", Driver::Worker},
        WriterRow{"DirectSplit", "1", "0", Chain::None, "3", Driver::WhenBlocked},
        WriterRow{"CopiedSplitPool20", "1", "1", Chain::None, "20", Driver::WhenBlocked},
        WriterRow{"KtstSplit", "1", "0", Chain::Ktst, "3", Driver::Worker},
        WriterRow{"DirectStriped2", "0", "0", Chain::None, "3", Driver::Worker, 0, false, 2},
        WriterRow{"CopiedStriped3", "0", "1", Chain::None, "3", Driver::WhenBlocked, 0, false, 3},
        WriterRow{"CopiedStripedAtOnceNoSkip", "1", "1", Chain::None, "3", Driver::Worker, 2, true,
                  3},
        WriterRow{"KtstSplitStriped2", "1", "0", Chain::Ktst, "3", Driver::WhenBlocked, 0, false,
                  2}),
    [](const auto& info) { return std::string(info.param.name); });

// Frames of 16 MiB across the switch from piece 0 (1 GiB) to piece 1, every write of the pool
// still pending when the frame that needs the next piece arrives. Striped, each data file
// switches on its own while the writes of the others are on their way.
struct SplitRow {
    const char* name;
    const char* buffer;
    Chain chain;
    Driver driver;
    int stripes = 1;
};

class SplitSwitch : public AsyncCapture, public ::testing::WithParamInterface<SplitRow> {};

TEST_P(SplitSwitch, FramesOnBothSidesReadBackExact) {
    const SplitRow& row = GetParam();
    constexpr uint32_t kBig = 16u << 20;
    AsyncOptions options;
    options.driver = row.driver;
    options.checksumWrites = false; // 1 GiB; the guard pages see writes into them anyway
    std::map<std::string, std::string> settings{
        {"fastwrite", "1"},  {"divide", "1"},
        {"dividesize", "1"}, {"buffer", row.buffer},
        {"request", "4"},    {"fourcc", row.chain == Chain::Ktst ? FourccSetting(kKtst) : "0"}};
    std::vector<std::string> files{base};
    for (int k = 1; k < row.stripes; ++k)
        files.push_back(AddStripe(settings, k));
    Start(settings, options);
    Format in = MakeFormat(4096, 2048, kYuy2, 16);
    ASSERT_EQ(Begin(in), ICERR_OK);
    PageBuffer host(kBig);
    std::vector<uint8_t> image = FramePattern(kBig, 0);
    auto stamp = [&](int frame) {
        for (uint32_t at = 0; at < kBig; at += kPage)
            std::memcpy(image.data() + at, &frame, 4);
    };
    std::vector<Record> records;
    const int n = row.stripes;
    for (int frames = 0; frames < 70 * n; ++frames) {
        stamp(frames);
        host.Fill(image);
        FrameResult r = Compress(in, host.data());
        ASSERT_EQ(r.result, ICERR_OK) << "frame " << frames << ": " << io->Report();
        records.push_back(r.record);
        // The last data file in turn is the last to reach its piece 1.
        if (r.record.name == files.back() + ".001")
            break;
    }
    EXPECT_EQ(End(), ICERR_OK);
    for (int k = 0; k < n; ++k) {
        SCOPED_TRACE(files[size_t(k)]);
        const size_t last = records.size() - size_t(n - k);
        ASSERT_EQ(records[last].name, files[size_t(k)] + ".001") << "never reached piece 1";
        EXPECT_EQ(records[last].offset, 0u);
        EXPECT_EQ(records[last - size_t(n)].name, files[size_t(k)] + ".000");
    }
    for (size_t f = 0; f < records.size(); ++f) {
        stamp(int(f));
        auto expected = row.chain == Chain::Ktst ? TestCodecForm(image) : image;
        auto got = ReadAt(records[f].name, records[f].offset, expected.size());
        ASSERT_TRUE(got == expected) << "frame " << f << " in " << records[f].name;
    }
    EXPECT_EQ(io->Counters().Faults(), 0u) << io->Report();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SplitSwitch,
    ::testing::Values(SplitRow{"Copied", "1", Chain::None, Driver::WhenBlocked},
                      SplitRow{"Direct", "0", Chain::None, Driver::Worker},
                      SplitRow{"CopiedStriped2", "1", Chain::None, Driver::WhenBlocked, 2},
                      SplitRow{"Ktst", "0", Chain::Ktst, Driver::Worker}),
    [](const auto& info) { return std::string(info.param.name); });

// One write ends badly after its frame was reported stored. That frame alone is lost; the host
// hears of it (one ICERR_BADFORMAT) within the pool's size of frames, and every other frame
// reported stored reads back exact.
struct FailRow {
    const char* name;
    const char* buffer;
    Chain chain;
    const char* request;
    Fate fate;
    Driver driver;
};

class LateFailure : public AsyncCapture, public ::testing::WithParamInterface<FailRow> {};

TEST_P(LateFailure, CostsOneFrameAndReachesTheHost) {
    const FailRow& row = GetParam();
    AsyncOptions options;
    options.driver = row.driver;
    options.seed = 7;
    Start({{"fastwrite", "1"},
           {"buffer", row.buffer},
           {"request", row.request},
           {"fourcc", row.chain == Chain::Ktst ? FourccSetting(kKtst) : "0"}},
          options);
    // The sixth write of the run fails when it completes; when the codec blocks, that one ends
    // first, then the others in random order.
    std::optional<uint64_t> failing;
    io->SetPolicy([&](const Transfer& t) {
        if (t.sequence != 5)
            return Fate{};
        failing = t.id;
        return row.fate;
    });
    io->OnBlock([&](AsyncIo& layer) {
        for (const Transfer& t : layer.Pending())
            if (failing && t.id == *failing)
                return layer.Complete(t.id);
        return layer.CompleteRandom();
    });
    auto stillPending = [&] {
        for (const Transfer& t : io->Pending())
            if (failing && t.id == *failing)
                return true;
        return false;
    };
    Format in = MakeFormat(64, 64, kYuy2, 16);
    ASSERT_EQ(Begin(in), ICERR_OK);
    PageBuffer host(8192);
    std::vector<Stored> stored;
    std::vector<int> refused;
    int issuedIn = -1, endedBy = -1;
    for (int f = 0; f < 30; ++f) {
        auto image = VaryingFrame(8192, f);
        host.Fill(image);
        bool before = failing.has_value();
        FrameResult r = Compress(in, host.data());
        if (!before && failing)
            issuedIn = f;
        if (failing && endedBy < 0 && !stillPending())
            endedBy = f;
        if (r.result != ICERR_OK) {
            EXPECT_EQ(r.result, ICERR_BADFORMAT);
            refused.push_back(f);
            continue;
        }
        if (f == issuedIn)
            continue; // the frame whose write failed: the one that may be lost
        stored.push_back({r.record, row.chain == Chain::Ktst ? TestCodecForm(image) : image});
    }
    EXPECT_EQ(End(), ICERR_OK);
    ASSERT_GE(issuedIn, 0) << "no write failed";
    ASSERT_GE(endedBy, 0) << "the failing write never ended";
    ASSERT_EQ(refused.size(), 1u) << "one failure, one refusal";
    EXPECT_GE(refused[0], endedBy);
    EXPECT_LE(refused[0] - endedBy, std::stoi(row.request)) << "learned too late";
    ExpectStored(stored);
    EXPECT_GE(stored.size(), 28u);
    EXPECT_EQ(io->Counters().Faults(), 0u) << io->Report();
}

INSTANTIATE_TEST_SUITE_P(Rows, LateFailure,
                         ::testing::Values(FailRow{"CopiedDiskFull", "1", Chain::None, "3",
                                                   Fate::Failing(ERROR_DISK_FULL), Driver::Manual},
                                           FailRow{"CopiedDeviceErrorWorker", "1", Chain::None, "3",
                                                   Fate::Failing(ERROR_IO_DEVICE), Driver::Worker},
                                           FailRow{"CopiedCrcPool20", "1", Chain::None, "20",
                                                   Fate::Failing(ERROR_CRC), Driver::Manual},
                                           FailRow{"CopiedShortPool1", "1", Chain::None, "1",
                                                   Fate::Shortened(kPage), Driver::Manual},
                                           FailRow{"KtstDiskFull", "0", Chain::Ktst, "3",
                                                   Fate::Failing(ERROR_DISK_FULL), Driver::Worker},
                                           FailRow{"DirectDeviceError", "0", Chain::None, "3",
                                                   Fate::Failing(ERROR_IO_DEVICE), Driver::Manual}),
                         [](const auto& info) { return std::string(info.param.name); });

// A shortage answered at issue passes once a write in flight ends: the frame is written again.
TEST_F(AsyncCapture, ShortageAtIssueIsRetried) {
    AsyncOptions options;
    options.driver = Driver::WhenBlocked;
    Start({{"fastwrite", "1"}, {"buffer", "1"}, {"request", "3"}}, options);
    int refusals = 0;
    io->SetPolicy([&](const Transfer& t) {
        if ((t.sequence == 4 || t.sequence == 9) && refusals < 4) {
            ++refusals;
            return Fate::Refused(refusals % 2 ? ERROR_NOT_ENOUGH_QUOTA : ERROR_NOT_ENOUGH_MEMORY);
        }
        return Fate{};
    });
    Format in = MakeFormat(64, 64, kYuy2, 16);
    ASSERT_EQ(Begin(in), ICERR_OK);
    PageBuffer host(8192);
    std::vector<Stored> stored;
    for (int f = 0; f < 12; ++f) {
        auto image = VaryingFrame(8192, f);
        host.Fill(image);
        FrameResult r = Compress(in, host.data());
        ASSERT_EQ(r.result, ICERR_OK) << "frame " << f;
        stored.push_back({r.record, image});
    }
    EXPECT_EQ(End(), ICERR_OK);
    EXPECT_GE(refusals, 2);
    ExpectStored(stored);
    EXPECT_EQ(io->Counters().Faults(), 0u) << io->Report();
}

// The end of a run, and the close of the codec without one, while every write of the pool is
// still on its way: they wait for the writes, which end in reverse order on another thread.
TEST_F(AsyncCapture, EndAndCloseWaitForPendingWrites) {
    for (bool close : {false, true}) {
        SCOPED_TRACE(close ? "DRV_CLOSE" : "ICM_COMPRESS_END");
        AsyncOptions options;
        options.driver = Driver::Manual;
        Start({{"fastwrite", "1"}, {"buffer", "1"}, {"request", "3"}}, options);
        Format in = MakeFormat(64, 64, kYuy2, 16);
        ASSERT_EQ(Begin(in), ICERR_OK);
        PageBuffer host(8192);
        std::vector<Stored> stored;
        // The copied writer writes its first frame from the host's image and waits for it.
        Thread first([&] {
            ASSERT_TRUE(io->WaitForPending(1, 5000));
            io->CompleteAll();
        });
        for (int f = 0; f < 4; ++f) {
            auto image = VaryingFrame(8192, f);
            host.Fill(image);
            FrameResult r = Compress(in, host.data());
            ASSERT_EQ(r.result, ICERR_OK) << "frame " << f;
            stored.push_back({r.record, image});
        }
        first.wait();
        ASSERT_EQ(io->Pending().size(), 3u) << io->Report();
        Thread late([&] {
            Sleep(50);
            auto pending = io->Pending();
            for (auto it = pending.rbegin(); it != pending.rend(); ++it)
                io->Complete(it->id);
        });
        if (close)
            hic.reset();
        else
            EXPECT_EQ(End(), ICERR_OK);
        EXPECT_TRUE(io->Pending().empty()) << "returned before its writes ended";
        late.wait();
        hic.reset();
        ExpectStored(stored);
        EXPECT_EQ(io->Counters().Faults(), 0u) << io->Report();
        io.reset();
        DeleteFileA(Piece(0).c_str());
    }
}

// Writes that make no progress: cancelled after the stall limit, given up after as long again
// when even that does not end them. A write given up may still land long after: whenever it
// does, no frame reported stored may lie under it. The clock the codec sees runs 100 times faster
// here, so its limits of 10 s pass in 0.1 s (writes end only when the codec waits: nothing ends
// late by chance).
struct StallRow {
    const char* name;
    const char* buffer;
    uint32_t write; // which write of the run stalls
    Fate::Kind hold;
    bool withoutCancelIoEx = false;
    bool close = false;
};

class Stall : public AsyncCapture, public ::testing::WithParamInterface<StallRow> {};

TEST_P(Stall, EndReturnsInBoundedTimeAndNoFrameLiesUnderAWriteGivenUp) {
    const StallRow& row = GetParam();
    AsyncOptions options;
    options.driver = Driver::WhenBlocked;
    options.timeScale = 100;
    options.withoutCancelIoEx = row.withoutCancelIoEx;
    Start({{"fastwrite", "1"}, {"buffer", row.buffer}, {"request", "3"}}, options);
    std::optional<Transfer> held;
    io->SetPolicy([&](const Transfer& t) {
        if (t.sequence != row.write)
            return Fate{};
        held = t;
        return Fate{row.hold};
    });
    Format in = MakeFormat(64, 64, kYuy2, 16);
    ASSERT_EQ(Begin(in), ICERR_OK);
    // A host image per frame, as capture drivers keep a ring of them: a write given up keeps
    // reading the one it was given.
    std::vector<std::unique_ptr<PageBuffer>> hosts;
    std::vector<Stored> stored;
    int ok = 0;
    for (int f = 0; f < 8; ++f) {
        auto image = VaryingFrame(8192, f);
        hosts.push_back(std::make_unique<PageBuffer>(8192));
        hosts.back()->Fill(image);
        bool before = held.has_value();
        FrameResult r = Compress(in, hosts.back()->data());
        if (r.result != ICERR_OK)
            continue;
        ++ok;
        // The frame whose write stalls is lost if it was reported stored.
        if (before || !held)
            stored.push_back({r.record, image});
    }
    ASSERT_TRUE(held) << io->Report();
    EXPECT_GE(ok, 7) << "frames while one write stalls";
    DWORD start = GetTickCount();
    if (row.close)
        hic.reset();
    else
        EXPECT_EQ(End(), ICERR_OK);
    DWORD took = GetTickCount() - start;
    // A stall limit to cancel, one more to give up: 0.2 s here, with room for a busy machine.
    EXPECT_LT(took, 6000u);
    ExpectStored(stored);
    IoCounters c = io->Counters();
    EXPECT_EQ(c.freedInUse + c.overlappedFreed + c.reusedInUse + c.touchedInUse + c.changedInUse +
                  c.overlappedReused + c.misaligned,
              0u)
        << io->Report();
    if (row.hold == Fate::Hold) {
        EXPECT_EQ(c.cancelled, 1u) << io->Report();
        EXPECT_EQ(c.closedInUse + c.portsClosedInUse, 0u) << io->Report();
        return;
    }
    // Given up: its memory is left to it; its file and port are closed (the write holds them).
    ASSERT_EQ(io->Pending().size(), 1u);
    EXPECT_EQ(c.closedInUse, 1u) << io->Report();
    EXPECT_LE(c.portsClosedInUse, 1u) << io->Report();
    // The disk comes back and the write lands after all.
    ASSERT_TRUE(io->Complete(held->id));
    ExpectStored(stored);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Stall,
    ::testing::Values(StallRow{"CopiedCancelled", "1", 3, Fate::Hold},
                      StallRow{"CopiedCancelledByCancelIo", "1", 3, Fate::Hold, true},
                      StallRow{"CopiedNeverEnds", "1", 3, Fate::HoldForEver},
                      StallRow{"CopiedNeverEndsClose", "1", 3, Fate::HoldForEver, false, true},
                      StallRow{"CopiedHostWriteNeverEnds", "1", 0, Fate::HoldForEver},
                      StallRow{"DirectCancelled", "0", 3, Fate::Hold},
                      StallRow{"DirectNeverEnds", "0", 3, Fate::HoldForEver}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
