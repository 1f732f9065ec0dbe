// Records and output formats a hostile or careless host can hand the codec: records cut short
// at the end of readable memory, records naming pipes, devices and files that are no pieces,
// and output buffers smaller than the picture. Each is refused promptly, nothing is read or
// written outside the host's buffers, and the next good frame plays.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>

#include "GuardedBuffer.h"
#include "ImportPatch.h"
#include "PlaybackSupport.h"

using namespace kp;

namespace {

constexpr LONG kWidth = 64, kHeight = 48; // YUY2: 6,144 bytes; RGB32: 12,288 bytes

struct Job {
    std::function<LRESULT()> work;
    LRESULT result = 0;
};

DWORD WINAPI RunJob(void* p) {
    auto* job = static_cast<Job*>(p);
    job->result = job->work();
    return 0;
}

// Runs `work` on its own thread; if it has not returned after `ms`, `unblock` is called (so that
// a hang fails the test instead of stopping the suite) and nothing is returned.
std::optional<LRESULT> Bounded(const std::function<LRESULT()>& work, DWORD ms,
                               const std::function<void()>& unblock = {}) {
    Job job{work};
    HANDLE thread = CreateThread(nullptr, 0, RunJob, &job, 0, nullptr);
    if (!thread)
        return std::nullopt;
    bool done = WaitForSingleObject(thread, ms) == WAIT_OBJECT_0;
    if (!done) {
        if (unblock)
            unblock();
        WaitForSingleObject(thread, 10000);
    }
    CloseHandle(thread);
    return done ? std::optional<LRESULT>(job.result) : std::nullopt;
}

class HostileSource : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        PlaybackIni(GetParam());
        dir = kt::DataDir(std::string("hostile") + (GetParam() ? "F-" : "P-") + TestName());
        for (uint32_t i = 0; i < 3; ++i)
            frames.push_back(Noise(kWidth * kHeight * 2, 800 + i));
        placed = WriteDataFile(dir + "\\data.000", frames);
        in = RawStream(kWidth, kHeight, kt::kYuy2, 16);
        out = kt::MakeFormat(kWidth, kHeight, kt::kYuy2, 16);
        hic = kt::OpenKest(ICMODE_DECOMPRESS);
        ASSERT_TRUE(hic);
        ASSERT_EQ(ICDecompressBegin(hic.get(), in.header(), out.header()), ICERR_OK);
    }
    void TearDown() override {
        hic.reset();
        kt::RemoveIni();
    }

    // Decodes the record lying at `record` while the input format vouches for `claim` bytes.
    LRESULT Decode(const uint8_t* record, uint32_t claim, void* picture,
                   BITMAPINFOHEADER* output = nullptr) {
        in.header()->biSizeImage = claim;
        return LONG(ICDecompress(hic.get(), 0, in.header(), const_cast<uint8_t*>(record),
                                 output ? output : out.header(), picture));
    }
    LRESULT DecodeCopy(const Bytes& record, Bytes& picture) {
        picture.assign(kWidth * kHeight * 2, 0xEE);
        return Decode(record.data(), DWORD(record.size()), picture.data());
    }
    void ExpectPlays(int i) {
        Bytes picture;
        ASSERT_EQ(DecodeCopy(MakeRecord(placed[i]), picture), ICERR_OK) << "frame " << i;
        EXPECT_EQ(picture, frames[i]) << "frame " << i;
    }
    // A record naming `path` is refused within a few seconds, and the picture is not touched.
    void ExpectRefusedPromptly(const std::string& path, const std::function<void()>& unblock = {}) {
        Bytes record = MakeRecord(0, kWidth * kHeight * 2, path), picture;
        for (int attempt = 0; attempt < 2; ++attempt) {
            auto result = Bounded([&] { return DecodeCopy(record, picture); }, 5000, unblock);
            ASSERT_TRUE(result) << path << ": still waiting after 5 s";
            EXPECT_EQ(*result, ICERR_BADFORMAT) << path << ", attempt " << attempt;
            EXPECT_EQ(picture, Bytes(picture.size(), 0xEE)) << path << ": the picture was written";
        }
    }

    std::string dir;
    std::vector<Bytes> frames;
    std::vector<Placed> placed;
    kt::Format in, out;
    kt::Hic hic;
};

TEST_P(HostileSource, RecordsCutShortAtThePageEndAreRefused) {
    ExpectPlays(0);
    const Bytes good = MakeRecord(placed[1]);
    kt::GuardedBuffer picture(kWidth * kHeight * 2);
    // 1 to 17 bytes cannot hold a name; the host vouches for all of them, or for nothing.
    for (size_t n = 1; n <= 17; ++n) {
        kt::GuardedBuffer record(n);
        record.fill(good.data(), n);
        EXPECT_EQ(Decode(record.data(), DWORD(n), picture.data()), ICERR_BADFORMAT) << n;
        EXPECT_EQ(Decode(record.data(), 0, picture.data()), ICERR_BADFORMAT) << n << ", claim 0";
    }
    // The name runs into the faulting page without a terminator, from every length up to past
    // the longest record.
    for (size_t n = 18; n <= 300; n += (n < 40 ? 1 : 13)) {
        Bytes unterminated(n, 'k');
        std::memcpy(unterminated.data(), good.data(), 16);
        kt::GuardedBuffer record(n);
        record.fill(unterminated.data(), n);
        EXPECT_EQ(Decode(record.data(), DWORD(n), picture.data()), ICERR_BADFORMAT) << n;
    }
    // The whole record at the page end, with its terminator as the last readable byte, plays.
    kt::GuardedBuffer whole(good.size());
    whole.fill(good.data(), good.size());
    ASSERT_EQ(Decode(whole.data(), DWORD(good.size()), picture.data()), ICERR_OK);
    EXPECT_EQ(0, std::memcmp(picture.data(), frames[1].data(), frames[1].size()));
    ExpectPlays(2);
}

TEST_P(HostileSource, PipeThatNeverAnswersIsNeitherOpenedNorWaitedFor) {
    std::string name = "kestro-" + std::to_string(GetCurrentProcessId()) + "-" + TestName();
    std::string pipePath = "\\\\.\\pipe\\" + name + ".000";
    HANDLE pipe = CreateNamedPipeA(pipePath.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_BYTE, 4, 4096, 4096, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    OVERLAPPED connect{};
    connect.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ConnectNamedPipe(pipe, &connect);
    auto unblock = [&] {
        CloseHandle(pipe);
        pipe = INVALID_HANDLE_VALUE;
    };
    ExpectPlays(0);
    ExpectPlays(1); // a read-ahead is in flight in the fast reader
    for (std::string path : {pipePath, "//./pipe/" + name + ".000", "\\\\.\\PIPE\\" + name + ".000",
                             "\\\\?\\pipe\\" + name + ".000", "\\??\\pipe\\" + name + ".000"})
        ExpectRefusedPromptly(path, unblock);
    EXPECT_NE(WaitForSingleObject(connect.hEvent, 0), WAIT_OBJECT_0) << "the codec opened the pipe";
    ExpectPlays(2);
    if (pipe != INVALID_HANDLE_VALUE) {
        CancelIo(pipe);
        CloseHandle(pipe);
    }
    CloseHandle(connect.hEvent);
}

TEST_P(HostileSource, DevicesAndFilesThatAreNoPiecesAreRefused) {
    ExpectPlays(0);
    std::string notes = dir + "\\notes.txt";
    kt::WriteFileBytes(notes, std::string(kWidth * kHeight * 4, 'n'));
    // A file with a piece's name that is a folder.
    CreateDirectoryA((dir + "\\folder.000").c_str(), nullptr);
    for (const std::string& path : std::vector<std::string>{
             notes, kt::IniPath(), dir + "\\data.500", dir + "\\data.0000", dir + "\\NUL.000",
             dir + "\\con.000", dir + "\\COM1.000", "CONIN$.000", dir + "\\folder.000"}) {
        SCOPED_TRACE(path);
        ASSERT_NO_FATAL_FAILURE(ExpectRefusedPromptly(path));
    }
    ExpectPlays(1);
}

// Opening a share offers the user's logon to its host, so an AVI naming one would hand it to
// whoever wrote the file; devices answer reads that never end; relative and stream names are
// not what any capture wrote. Each is refused by its text: not even an attribute query happens.
TEST_P(HostileSource, NamesThatReachTheNetworkOrADeviceAreNotEvenLookedUp) {
    ExpectPlays(0);
    kt::FileNameTrace trace;
    ASSERT_TRUE(trace.active());
    for (const std::string& path : std::vector<std::string>{"\\\\127.0.0.1\\share\\x.000",
                                                            "//host/share/x.000",
                                                            "\\/host\\share\\x.000",
                                                            "\\\\localhost\\c$\\x.000",
                                                            "\\\\host@80\\DavWWWRoot\\x.000",
                                                            "\\\\::1\\share\\x.000",
                                                            "\\\\?\\UNC\\host\\share\\x.000",
                                                            "NUL:x.000",
                                                            "COM1:x.000",
                                                            "CON:x.000",
                                                            dir + "\\NUL:x.000",
                                                            "C:\\COM\xB9.000",
                                                            dir + "\\LPT\xB2.000",
                                                            dir + "\\com\xB3.000",
                                                            "T:data.000",
                                                            "..\\x.000",
                                                            "x.000",
                                                            "\\x.000",
                                                            dir + "\\..\\x.000",
                                                            dir + "\\x:s.000",
                                                            dir + "\\data.000:s.000"}) {
        SCOPED_TRACE(path);
        trace.Clear();
        ASSERT_NO_FATAL_FAILURE(ExpectRefusedPromptly(path));
        EXPECT_EQ(trace.Calls(), std::vector<std::string>());
    }
    // The trace does see the codec's opens: the next good frame opens the data file again.
    ExpectPlays(1);
    EXPECT_TRUE(trace.Named(dir + "\\data.000")) << ::testing::PrintToString(trace.Calls());
}

// The name is judged as the file call converts it: a console host that switched its file calls to
// the OEM code page opens the OEM byte of a superscript as COM², which the ANSI page reads as
// another letter; the same bytes are a file like any other for an ANSI host.
TEST_P(HostileSource, NamesAreJudgedInTheCodePageOfTheFileCalls) {
    char superscript[4] = {};
    BOOL lossy = FALSE;
    ASSERT_EQ(WideCharToMultiByte(CP_OEMCP, 0, L"\u00B2", 1, superscript, sizeof superscript,
                                  nullptr, &lossy),
              1)
        << "no superscript two in this OEM code page";
    ASSERT_FALSE(lossy);
    const std::string path = dir + "\\COM" + superscript + ".000";
    kt::FileNameTrace trace;
    ASSERT_TRUE(trace.active());
    SetFileApisToOEM();
    ExpectRefusedPromptly(path);
    SetFileApisToANSI();
    EXPECT_EQ(trace.Calls(), std::vector<std::string>()) << "with OEM file calls";
    ExpectPlays(0);
    Bytes picture;
    EXPECT_EQ(DecodeCopy(MakeRecord(0, kWidth * kHeight * 2, path), picture), ICERR_OK);
    EXPECT_TRUE(trace.Named(path))
        << "with ANSI file calls: " << ::testing::PrintToString(trace.Calls());
}

// The data file configured on this machine, and each of its stripes, may lie on a share: pieces
// inside their folders are opened (none exists here, so the frame is cleared as for a missing
// piece), all others not.
TEST_P(HostileSource, NetworkPiecesAreOpenedOnlyInsideTheConfiguredDataFilesFolder) {
    hic.reset();
    kt::WriteIni({{"fastread", GetParam() ? "1" : "0"},
                  {"filename", "\\\\kestro-nas\\caps\\take"},
                  {"stripe2", "\\\\kestro-nas2\\disk2\\take"}});
    hic = kt::OpenKest(ICMODE_DECOMPRESS);
    ASSERT_TRUE(hic);
    ASSERT_EQ(ICDecompressBegin(hic.get(), in.header(), out.header()), ICERR_OK);
    kt::FileNameTrace trace;
    ASSERT_TRUE(trace.active());
    for (const std::string& path : std::vector<std::string>{
             "\\\\kestro-nas\\other\\take.000", "\\\\kestro-nas\\capsule\\take.000",
             "\\\\kestro-nas\\caps\\..\\other\\take.000", "\\\\kestro-nas.evil\\caps\\take.000",
             "\\\\127.0.0.1\\caps\\take.000", "\\\\kestro-nas\\caps\\take.txt",
             "\\\\kestro-nas2\\caps\\take.000", "\\\\kestro-nas2\\disk\\take.000"}) {
        SCOPED_TRACE(path);
        trace.Clear();
        ASSERT_NO_FATAL_FAILURE(ExpectRefusedPromptly(path));
        EXPECT_EQ(trace.Calls(), std::vector<std::string>());
    }
    for (const std::string& path : std::vector<std::string>{
             "\\\\kestro-nas\\caps\\take.000", "//KESTRO-NAS/Caps/old/take.001",
             "\\\\kestro-nas2\\disk2\\take.000", "\\\\kestro-nas2\\DISK2\\take.003"}) {
        Bytes picture;
        auto result = Bounded(
            [&] { return DecodeCopy(MakeRecord(0, kWidth * kHeight * 2, path), picture); }, 10000);
        ASSERT_TRUE(result) << path << ": still waiting after 10 s";
        EXPECT_EQ(*result, ICERR_OK) << path;
        EXPECT_EQ(picture, Bytes(picture.size(), 0)) << path << ": not cleared";
        EXPECT_TRUE(trace.Named(path)) << path;
    }
    ExpectPlays(2);
}

TEST_P(HostileSource, OutputSmallerThanThePictureIsRefusedAtBeginAndPerFrame) {
    const DWORD whole = kWidth * kHeight * 4;
    kt::Format rgb32 = kt::MakeFormat(kWidth, kHeight, BI_RGB, 32);
    ASSERT_EQ(rgb32.header()->biSizeImage, whole);
    kt::Format lying = rgb32;
    lying.header()->biSizeImage = whole - 1;
    kt::GuardedBuffer picture(whole - 1);
    Bytes record = MakeRecord(placed[0]);

    // An implicit begin on a fresh instance, then an explicit one.
    kt::Hic fresh = kt::OpenKest(ICMODE_DECOMPRESS);
    in.header()->biSizeImage = DWORD(record.size());
    EXPECT_EQ(LONG(ICDecompress(fresh.get(), 0, in.header(), record.data(), lying.header(),
                                picture.data())),
              ICERR_BADFORMAT);
    EXPECT_EQ(ICDecompressBegin(hic.get(), in.header(), lying.header()), ICERR_BADFORMAT);

    // A run begun for the whole picture, then a frame whose format declares one byte less.
    ASSERT_EQ(ICDecompressBegin(hic.get(), in.header(), rgb32.header()), ICERR_OK);
    EXPECT_EQ(Decode(record.data(), DWORD(record.size()), picture.data(), lying.header()),
              ICERR_BADFORMAT);
    kt::GuardedBuffer full(whole);
    EXPECT_EQ(Decode(record.data(), DWORD(record.size()), full.data(), rgb32.header()), ICERR_OK);

    // Padded rows: only the padded size, the unpadded size or more, or 0, can be begun.
    const LONG odd = 63;
    const DWORD padded = 64 * 3 * kHeight, tight = odd * 3 * kHeight;
    kt::Format stream = RawStream(odd, kHeight, kt::kYuy2, 16);
    kt::Format rgb24 = kt::MakeFormat(odd, kHeight, BI_RGB, 24);
    for (DWORD size : std::vector<DWORD>{0, padded, padded + 7, tight}) {
        rgb24.header()->biSizeImage = size;
        EXPECT_EQ(ICDecompressBegin(hic.get(), stream.header(), rgb24.header()), ICERR_OK) << size;
    }
    for (DWORD size : std::vector<DWORD>{tight - 1, tight + 1, padded - 1, 1}) {
        rgb24.header()->biSizeImage = size;
        EXPECT_EQ(ICDecompressBegin(hic.get(), stream.header(), rgb24.header()), ICERR_BADFORMAT)
            << size;
    }
}

TEST_P(HostileSource, EndAndCloseWaitOnlyForTheReadInFlight) {
    // Players end and close on their interface thread: with a read-ahead in flight, neither
    // may sleep or wait out a timeout.
    for (int round = 0; round < 3; ++round) {
        ExpectPlays(0);
        ExpectPlays(1);
        DWORD start = GetTickCount();
        ASSERT_EQ(ICDecompressEnd(hic.get()), ICERR_OK);
        EXPECT_LT(GetTickCount() - start, 500u) << "end, round " << round;
        ASSERT_EQ(ICDecompressBegin(hic.get(), in.header(), out.header()), ICERR_OK);
    }
    ExpectPlays(2);
    DWORD start = GetTickCount();
    hic.reset();
    EXPECT_LT(GetTickCount() - start, 500u) << "close";
}

INSTANTIATE_TEST_SUITE_P(FastRead, HostileSource, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Fast" : "Plain"; });

} // namespace
