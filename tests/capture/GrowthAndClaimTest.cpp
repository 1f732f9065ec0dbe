// Pieces grown ahead of the fast writers and cut back, what a run costs the host, the run's
// claim on its pieces against other writers, and runs whose writes never finish.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "AsyncIo.h"
#include "CaptureFixture.h"
#include "GuardedBuffer.h"
#include "driver/CodecInstance.h"
#include "driver/DriverProc.h"
#include "edge/Win32Edge.h"
#include "ui/PartitionDlg.h"

using namespace kt;

namespace {

// A second process that captures into the same data file: the test program runs itself with
// KESTRO_CLAIM_CHILD set; the child does its part before the tests start and exits with 0 when
// everything went as expected.
constexpr const char* kChildVar = "KESTRO_CLAIM_CHILD";
constexpr const char* kReadyEvent = "KestroClaimChildReady";
constexpr const char* kGoEvent = "KestroClaimChildGo";

int ChildCapture(const std::string& role) {
    Hic hic = OpenKest();
    if (!hic)
        return 10;
    Format in = MakeFormat(64, 32, kYuy2, 16);
    Format out = StreamFormatFor(hic.get(), in);
    LRESULT begun = ICCompressBegin(hic.get(), in.header(), out.header());
    if (role == "refused")
        return begun == ICERR_BADFORMAT ? 0 : 11;
    if (begun != ICERR_OK)
        return 12;
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, kReadyEvent);
    HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, kGoEvent);
    if (!ready || !go)
        return 13;
    std::vector<uint8_t> record(600);
    auto frame = [&](int f) {
        auto image = FramePattern(4096, 100 + f);
        DWORD ckid = 0, flags = 0;
        return ICCompress(hic.get(), 0, out.header(), record.data(), in.header(), image.data(),
                          &ckid, &flags, f, 0, 0, nullptr, nullptr) == ICERR_OK;
    };
    bool ok = frame(0) && frame(1);
    SetEvent(ready);
    ok = WaitForSingleObject(go, 30000) == WAIT_OBJECT_0 && ok && frame(2) && frame(3);
    ICCompressEnd(hic.get());
    return ok ? 0 : 14;
}

const int kChildRole = [] {
    char role[32] = {};
    if (GetEnvironmentVariableA(kChildVar, role, sizeof role) == 0)
        return 0;
    ExitProcess(UINT(ChildCapture(role)));
}();

HANDLE StartChild(const std::string& role) {
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    SetEnvironmentVariableA(kChildVar, role.c_str());
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::string command = std::string("\"") + self + "\"";
    BOOL made = CreateProcessA(self, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &process);
    SetEnvironmentVariableA(kChildVar, nullptr);
    if (!made)
        return nullptr;
    CloseHandle(process.hThread);
    return process.hProcess;
}

DWORD ExitCodeOf(HANDLE process) {
    DWORD code = 99;
    if (WaitForSingleObject(process, 60000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return code;
}

bool CanOpenForWriting(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

// A run of the codec linked into this program, whose counters the tests read.
class CoreRun : public CaptureTest {
public:
    void TearDown() override {
        Close();
        CaptureTest::TearDown();
    }
    void Start(bool fast, bool buffer, int request = 3, bool divide = false) {
        CCodecSettings& s = TheSettings();
        s.dataFileName = base;
        s.overlappedWrites = fast;
        s.copyBeforeWrite = buffer;
        s.writeRequests = request;
        s.splitPieces = divide;
        s.pieceGiB = 1;
        s.chainedFourcc = 0;
        s.cachedWrites = cpu;
        // Each case captures into the same data file again.
        s.overwrite = true;
        s.RebuildPieceNames();
        id = DriverProc(0, nullptr, DRV_OPEN, 0, 0);
        ASSERT_NE(id, 0);
        codec = reinterpret_cast<CCodecInstance*>(id);
        in = MakeFormat(width, height, kYuy2, 16); // one page unless a test sets another size
        stream.bytes.resize(size_t(Send(ICM_COMPRESS_GET_FORMAT, in.header())));
        ASSERT_EQ(Send(ICM_COMPRESS_GET_FORMAT, in.header(), stream.header()), ICERR_OK);
        ASSERT_EQ(Send(ICM_COMPRESS_BEGIN, in.header(), stream.header()), ICERR_OK);
    }
    LRESULT Frame(int f, uint64_t* offset = nullptr, std::string* piece = nullptr) {
        auto image = FramePattern(kPage, f);
        return FrameFrom(image.data(), offset, piece);
    }
    LRESULT FrameFrom(const uint8_t* image, uint64_t* offset = nullptr,
                      std::string* piece = nullptr) {
        std::vector<uint8_t> record(600);
        DWORD ckid = 0, flags = 0;
        ICCOMPRESS icc{};
        icc.lpbiOutput = stream.header();
        icc.lpOutput = record.data();
        icc.lpbiInput = in.header();
        icc.lpInput = const_cast<uint8_t*>(image);
        icc.lpckid = &ckid;
        icc.lpdwFlags = &flags;
        LRESULT result = Send(ICM_COMPRESS, &icc, reinterpret_cast<const void*>(sizeof icc));
        if (offset)
            std::memcpy(offset, record.data(), 8);
        if (piece)
            *piece = reinterpret_cast<const char*>(record.data() + 16);
        return result;
    }
    // A message as the codec manager hands it to the library.
    LRESULT Send(UINT msg, const void* a = nullptr, const void* b = nullptr) {
        return DriverProc(DWORD_PTR(id), nullptr, msg, LPARAM(a), LPARAM(b));
    }
    // DRV_CLOSE, with or without a compress end before it.
    void Close() {
        if (id)
            DriverProc(DWORD_PTR(id), nullptr, DRV_CLOSE, 0, 0);
        id = 0;
        codec = nullptr;
    }
    kestro::CaptureStats stats() const { return codec->CaptureView().stats; }
    LRESULT id = 0;
    CCodecInstance* codec = nullptr;
    int width = 64;
    int height = 32;
    bool cpu = false;
    Format in;
    Format stream;
};

// A fresh file and a pool of three: the copied writer grows the piece once per 64 frames and no
// frame waits for anything; the piece ends exactly at the last frame.
TEST_F(CoreRun, CopiedWriterGrowsAheadAndNeverWaits) {
    Start(true, true);
    ASSERT_EQ(Frame(0), ICERR_OK);
    EXPECT_EQ(stats().extensions, 0u) << "frame 0 lies in the header's page";
    ASSERT_EQ(Frame(1), ICERR_OK);
    EXPECT_EQ(FileSizeOf(Piece(0)), 65u * kPage) << "grown 64 frames ahead by frame 1";
    for (int f = 2; f < 200; ++f)
        ASSERT_EQ(Frame(f), ICERR_OK) << "frame " << f;
    EXPECT_EQ(stats().extensions, 4u) << "frames 1, 65, 129 and 193 pass the end";
    EXPECT_EQ(stats().blockingWaits, 0u);
    EXPECT_EQ(Send(ICM_COMPRESS_END), ICERR_OK);
    EXPECT_EQ(FileSizeOf(Piece(0)), 200u * kPage);
    for (int f : {0, 63, 64, 199})
        EXPECT_EQ(ReadAt(Piece(0), uint64_t(f) * kPage, kPage), FramePattern(kPage, f)) << f;
}

// Where writes finish inside WriteFile (always under Wine), the copied writer writes the host's
// image itself when the platform can take it from there: from a page-aligned image, or from any
// image into a cached piece. An unaligned image of an unbuffered piece is copied. The pieces are
// the same bytes either way, padding included, and an image ending at a no-access page is never
// read past its end.
TEST_F(CoreRun, CopiedWriterSkipsTheCopyWhenWritesFinishAtOnce) {
    width = 80; // 6400 bytes: a page and a part
    height = 40;
    const size_t bytes = 6400;
    const int frames = 70;
    struct Case {
        const char* name;
        bool cpu;
        bool aligned;
        uint32_t copied;
    };
    std::string first;
    for (Case c : {Case{"aligned, unbuffered", false, true, 0},
                   Case{"unaligned, unbuffered", false, false, frames},
                   Case{"unaligned, cached", true, false, 0}}) {
        SCOPED_TRACE(c.name);
        cpu = c.cpu;
        Start(true, true);
        // An aligned image starts a page; an unaligned one ends at a no-access page.
        GuardedBuffer guarded(c.aligned ? 2 * kPage : bytes);
        uint8_t* image = guarded.data();
        ASSERT_EQ(uintptr_t(image) % kPage == 0, c.aligned);
        for (int f = 0; f < frames; ++f) {
            auto pattern = FramePattern(bytes, f);
            std::memcpy(image, pattern.data(), bytes);
            uint64_t offset = 0;
            ASSERT_EQ(FrameFrom(image, &offset), ICERR_OK) << "frame " << f;
            ASSERT_EQ(offset, uint64_t(f) * 2 * kPage);
            // The host writes its next picture into the same memory at once.
            std::memset(image, 0xCD, bytes);
        }
        EXPECT_EQ(stats().framesCopied, c.copied);
        EXPECT_EQ(stats().blockingWaits, 0u);
        EXPECT_EQ(Send(ICM_COMPRESS_END), ICERR_OK);
        Close();
        std::string piece = ReadFileBytes(Piece(0));
        ASSERT_EQ(piece.size(), size_t(frames) * 2 * kPage);
        for (int f : {0, 1, 64, frames - 1}) {
            auto pattern = FramePattern(bytes, f);
            EXPECT_EQ(piece.compare(size_t(f) * 2 * kPage, bytes,
                                    reinterpret_cast<const char*>(pattern.data()), bytes),
                      0)
                << "frame " << f;
        }
        if (first.empty())
            first = piece;
        else
            EXPECT_TRUE(piece == first) << "the pieces differ between the two ways of writing";
        DeleteFileA(Piece(0).c_str());
    }
}

// The direct writer finishes each write on its own event: the port never carries a packet for
// it, and a write that is finished when WriteFile returns (Wine answers pending for those) is
// not waited for.
TEST_F(CoreRun, DirectWriterWaitsOnItsOwnEventOnly) {
    Start(true, false);
    for (int f = 0; f < 70; ++f)
        ASSERT_EQ(Frame(f), ICERR_OK) << "frame " << f;
    EXPECT_EQ(stats().blockingWaits, 0u);
    EXPECT_EQ(stats().extensions, 2u);
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* overlapped = nullptr;
    EXPECT_FALSE(
        GetQueuedCompletionStatus(codec->CaptureView().pool.port, &bytes, &key, &overlapped, 0));
    EXPECT_EQ(overlapped, nullptr) << "a direct write posted a packet";
    EXPECT_EQ(codec->CaptureView().pool.inFlight, 0u) << "a direct write was left in flight";
    EXPECT_EQ(Send(ICM_COMPRESS_END), ICERR_OK);
    EXPECT_EQ(FileSizeOf(Piece(0)), 70u * kPage);
    EXPECT_EQ(ReadAt(Piece(0), 69u * kPage, kPage), FramePattern(kPage, 69));
}

// The sheet may change every setting while a run goes on: the run keeps the data file, writer,
// create flags and pieces it began with, and the next begin takes the new ones.
TEST_F(CoreRun, SettingsChangedDuringARunApplyFromTheNextBegin) {
    const std::string other = base + "-next";
    extraCleanup.push_back(other + ".000");
    extraCleanup.push_back(other + ".journal");
    extraCleanup.push_back(other + ".take");
    for (bool fast : {true, false}) {
        SCOPED_TRACE(fast ? "fastwrite=1" : "fastwrite=0");
        Start(fast, fast);
        ASSERT_EQ(Frame(0), ICERR_OK);
        CCodecSettings& s = TheSettings();
        s.dataFileName = other;
        s.RebuildPieceNames();
        s.overlappedWrites = !fast;
        s.copyBeforeWrite = !fast;
        s.splitPieces = true;
        s.writeRequests = 1;
        s.cachedWrites = !cpu;
        for (int f = 1; f < 4; ++f) {
            uint64_t offset = UINT64_MAX;
            std::string piece;
            ASSERT_EQ(Frame(f, &offset, &piece), ICERR_OK) << "frame " << f;
            EXPECT_EQ(offset, uint64_t(f) * kPage) << "frame " << f;
            EXPECT_EQ(piece, Piece(0)) << "frame " << f;
        }
        EXPECT_FALSE(Exists(other + ".000")) << "a run reached the data file named during it";
        EXPECT_EQ(Send(ICM_COMPRESS_END), ICERR_OK);
        for (int f = 0; f < 4; ++f)
            EXPECT_EQ(ReadAt(Piece(0), uint64_t(f) * kPage, kPage), FramePattern(kPage, f)) << f;
        ASSERT_EQ(Send(ICM_COMPRESS_BEGIN, in.header(), stream.header()), ICERR_OK);
        uint64_t offset = UINT64_MAX;
        std::string piece;
        ASSERT_EQ(Frame(7, &offset, &piece), ICERR_OK);
        EXPECT_EQ(Send(ICM_COMPRESS_END), ICERR_OK);
        EXPECT_EQ(offset, 0u);
        EXPECT_EQ(piece, other + ".000");
        EXPECT_EQ(ReadAt(other + ".000", 0, kPage), FramePattern(kPage, 7))
            << "the next begin writes into the data file the settings name now";
        Close();
        DeleteFileA(Piece(0).c_str());
        DeleteFileA((other + ".000").c_str());
    }
}

// A piece longer than the run's frames keeps its length and tail; one that the frames pass is
// cut back to the last frame and not to the length it had.
TEST_F(CoreRun, LongerPiecesKeepTheirLengthShorterOnesEndAtTheLastFrame) {
    for (uint32_t pages : {300u, 100u}) {
        SCOPED_TRACE(pages);
        WriteFileBytes(Piece(0), std::string(pages * kPage, '\xEE'));
        Start(true, true);
        for (int f = 0; f < 200; ++f)
            ASSERT_EQ(Frame(f), ICERR_OK) << "frame " << f;
        EXPECT_EQ(stats().extensions, pages > 200 ? 0u : 2u);
        EXPECT_EQ(Send(ICM_COMPRESS_END), ICERR_OK);
        Close();
        EXPECT_EQ(FileSizeOf(Piece(0)), uint64_t(pages > 200 ? pages : 200) * kPage);
        EXPECT_EQ(ReadAt(Piece(0), 199u * kPage, kPage), FramePattern(kPage, 199));
        if (pages > 200) {
            EXPECT_EQ(ReadAt(Piece(0), 200u * kPage, 1)[0], 0xEE);
        }
        DeleteFileA(Piece(0).c_str());
    }
}

// Pieces of 1 GiB and frames a page over 16 MiB, 63 to a piece: each piece is grown ahead to the
// piece size and cut back to its frames at the switch, and every earlier piece stays shut to
// other writers until the run ends, while readers still open it.
TEST_F(CoreRun, SplitRunHoldsAndCutsEveryPiece) {
    width = 4096;
    height = 2049;
    const uint64_t frameBytes = uint64_t(width) * height * 2;
    const int perPiece = int((uint64_t(1) << 30) / frameBytes);
    ASSERT_EQ(perPiece, 63);
    Start(true, true, 3, true);
    kestro::PageBuffer image{size_t(frameBytes)}; // page-aligned: written as it is
    ASSERT_TRUE(image);
    for (int f = 0; f < 2 * perPiece + 4; ++f) {
        auto stamp = FramePattern(kPage, f);
        std::memcpy(image.data(), stamp.data(), kPage);
        uint64_t offset = 0;
        ASSERT_EQ(FrameFrom(image.data(), &offset), ICERR_OK) << "frame " << f;
        EXPECT_EQ(offset, uint64_t(f % perPiece) * frameBytes);
    }
    EXPECT_EQ(FileSizeOf(Piece(0)), perPiece * frameBytes);
    EXPECT_EQ(FileSizeOf(Piece(1)), perPiece * frameBytes);
    EXPECT_GT(FileSizeOf(Piece(2)), 4 * frameBytes) << "the last piece was grown ahead";
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(CanOpenForWriting(Piece(i))) << "piece " << i;
    EXPECT_EQ(ReadAt(Piece(1), (perPiece - 1) * frameBytes, kPage),
              FramePattern(kPage, 2 * perPiece - 1));
    Close(); // released without an end
    EXPECT_EQ(FileSizeOf(Piece(2)), 4 * frameBytes);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(CanOpenForWriting(Piece(i))) << "piece " << i;
}

// Writes that the platform never finishes: the end and the close give them up in bounded time
// instead of waiting for ever, and the frame stored before them is kept. The codec's clock runs
// 100 times faster, so that its stall limits of seconds pass in a test's tenths.
TEST_F(CaptureTest, EndAndCloseReturnWhenWritesNeverFinish) {
    for (bool close : {false, true}) {
        SCOPED_TRACE(close ? "DRV_CLOSE" : "ICM_COMPRESS_END");
        Open({{"fastwrite", "1"}, {"buffer", "1"}, {"request", "3"}});
        AsyncOptions options;
        options.driver = AsyncOptions::Driver::WhenBlocked;
        options.timeScale = 100;
        std::optional<AsyncIo> io(std::in_place, options);
        ASSERT_TRUE(io->active());
        io->SetPolicy(
            [](const Transfer& t) { return t.sequence == 1 ? Fate{Fate::HoldForEver} : Fate{}; });
        Format in = MakeFormat(64, 32, kYuy2, 16);
        ASSERT_EQ(Begin(in), ICERR_OK);
        kestro::PageBuffer image(kPage);
        for (int f = 0; f < 2; ++f) {
            auto pattern = FramePattern(kPage, f);
            std::memcpy(image.data(), pattern.data(), kPage);
            ASSERT_EQ(Compress(in, image.data()).result, ICERR_OK) << "frame " << f;
        }
        ASSERT_EQ(io->Pending().size(), 1u) << io->Report();
        DWORD start = GetTickCount();
        if (close)
            hic.reset();
        else
            EXPECT_EQ(End(), ICERR_OK);
        EXPECT_LT(GetTickCount() - start, 6000u) << "a stall limit to cancel, one to give up";
        hic.reset();
        // The disk comes back and the write given up lands after all.
        std::vector<Transfer> pending = io->Pending();
        ASSERT_EQ(pending.size(), 1u) << io->Report();
        EXPECT_TRUE(io->Complete(pending[0].id));
        io.reset();
        EXPECT_EQ(ReadAt(Piece(0), 0, kPage), FramePattern(kPage, 0));
        DeleteFileA(Piece(0).c_str());
    }
}

// Two instances of one process: the second begin on the same data file is refused, and the
// first run goes on untouched, readable while it runs.
TEST_F(CaptureTest, SecondCaptureIntoTheSameDataFileIsRefused) {
    for (const char* fast : {"0", "1"}) {
        SCOPED_TRACE(std::string("fastwrite=") + fast);
        Open({{"fastwrite", fast}, {"buffer", "0"}});
        Format in = MakeFormat(64, 32, kYuy2, 16);
        ASSERT_EQ(Begin(in), ICERR_OK);
        for (int f = 0; f < 3; ++f)
            ASSERT_EQ(Compress(in, FramePattern(kPage, f).data()).result, ICERR_OK);
        EXPECT_EQ(ReadAt(Piece(0), kPage, kPage), FramePattern(kPage, 1))
            << "a reader opens the piece during the run";

        Hic second = OpenKest();
        ASSERT_TRUE(second);
        Format out2 = StreamFormatFor(second.get(), in);
        EXPECT_EQ(ICCompressBegin(second.get(), in.header(), out2.header()), ICERR_BADFORMAT);
        std::vector<uint8_t> record(600);
        DWORD ckid = 0, flags = 0;
        auto intruder = FramePattern(kPage, 77);
        EXPECT_EQ(LONG(ICCompress(second.get(), 0, out2.header(), record.data(), in.header(),
                                  intruder.data(), &ckid, &flags, 0, 0, 0, nullptr, nullptr)),
                  ICERR_BADFORMAT)
            << "nor may a frame start the run itself";
        EXPECT_FALSE(CanOpenForWriting(Piece(0)));

        // The space reservation's writer cannot write into the held piece either.
        CWriteThread* writer = CWriteThread::Create(nullptr, Piece(0), 16 * kPage);
        ASSERT_TRUE(writer);
        ASSERT_TRUE(writer->Start());
        EXPECT_EQ(WaitForSingleObject(writer->finishedEvent, 20000), WAIT_OBJECT_0);
        writer->Stop();
        delete writer;

        for (int f = 3; f < 6; ++f) {
            FrameResult r = Compress(in, FramePattern(kPage, f).data());
            ASSERT_EQ(r.result, ICERR_OK);
            EXPECT_EQ(r.record.offset, uint64_t(f) * kPage);
        }
        EXPECT_EQ(End(), ICERR_OK);
        EXPECT_EQ(FileSizeOf(Piece(0)), 6u * kPage);
        for (int f = 0; f < 6; ++f)
            EXPECT_EQ(ReadAt(Piece(0), uint64_t(f) * kPage, kPage), FramePattern(kPage, f)) << f;
        EXPECT_EQ(ICCompressBegin(second.get(), in.header(), out2.header()), ICERR_OK)
            << "the data file is free once the first run has ended";
        ICCompressEnd(second.get());
        second.reset();
        hic.reset();
        DeleteFileA(Piece(0).c_str());
    }
}

// Two processes with the same settings: whichever begins second is refused, and the first
// run's frames are all its own.
TEST_F(CaptureTest, CaptureInAnotherProcessIsRefusedBothWays) {
    Open({{"fastwrite", "1"}, {"buffer", "1"}});
    Format in = MakeFormat(64, 32, kYuy2, 16);
    ASSERT_EQ(Begin(in), ICERR_OK);
    ASSERT_EQ(Compress(in, FramePattern(kPage, 0).data()).result, ICERR_OK);
    HANDLE child = StartChild("refused");
    ASSERT_TRUE(child);
    EXPECT_EQ(ExitCodeOf(child), 0u) << "the other process's begin was not refused";
    ASSERT_EQ(Compress(in, FramePattern(kPage, 1).data()).result, ICERR_OK);
    EXPECT_EQ(End(), ICERR_OK);
    EXPECT_EQ(ReadAt(Piece(0), 0, kPage), FramePattern(kPage, 0));
    EXPECT_EQ(ReadAt(Piece(0), kPage, kPage), FramePattern(kPage, 1));

    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, kReadyEvent);
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, kGoEvent);
    child = StartChild("holds");
    ASSERT_TRUE(child);
    ASSERT_EQ(WaitForSingleObject(ready, 60000), WAIT_OBJECT_0);
    EXPECT_EQ(Begin(in), ICERR_BADFORMAT);
    EXPECT_EQ(Compress(in, FramePattern(kPage, 9).data()).result, ICERR_BADFORMAT);
    SetEvent(go);
    EXPECT_EQ(ExitCodeOf(child), 0u);
    CloseHandle(ready);
    CloseHandle(go);
    for (int f = 0; f < 4; ++f)
        EXPECT_EQ(ReadAt(Piece(0), uint64_t(f) * kPage, kPage), FramePattern(kPage, 100 + f)) << f;
    EXPECT_EQ(End(), ICERR_OK);
}

// An instance closed in the middle of a run (no compress end) still cuts the grown piece back.
TEST_F(CaptureTest, ReleasedRunCutsItsPieceBack) {
    for (const char* buffer : {"0", "1"}) {
        SCOPED_TRACE(std::string("buffer=") + buffer);
        Open({{"fastwrite", "1"}, {"buffer", buffer}});
        Format in = MakeFormat(64, 32, kYuy2, 16);
        ASSERT_EQ(Begin(in), ICERR_OK);
        for (int f = 0; f < 3; ++f)
            ASSERT_EQ(Compress(in, FramePattern(kPage, f).data()).result, ICERR_OK);
        EXPECT_GT(FileSizeOf(Piece(0)), 3u * kPage) << "the piece was grown ahead";
        hic.reset();
        EXPECT_EQ(FileSizeOf(Piece(0)), 3u * kPage);
        EXPECT_EQ(ReadAt(Piece(0), 2u * kPage, kPage), FramePattern(kPage, 2));
        DeleteFileA(Piece(0).c_str());
    }
}

} // namespace
