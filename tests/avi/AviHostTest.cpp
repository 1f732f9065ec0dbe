// The AVI as capture applications and players see it: captures made through the codec manager and
// AVIFile by the host program's commands, read back through ICDecompress and AVIStreamGetFrame.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Host.h"
#include "HostWin.h"
#include "WineCodec.h"
#include "pure/TakeNames.h"

using namespace host;
using namespace kestro;

namespace {

std::string Dir() {
    static const std::string dir = kt::DataDir("avi");
    return dir;
}
std::string PathOf(const std::string& name) {
    return Dir() + "\\" + name;
}

std::vector<uint8_t> PatternFrames(kestro::PixelKind kind, FrameSize size, uint32_t frames) {
    const size_t bytes = size_t(RawFrameBytes(kind, size));
    std::vector<uint8_t> all(bytes * frames);
    for (uint32_t i = 0; i < frames; ++i)
        MakePatternFrame(kind, size, i, all.data() + i * bytes);
    return all;
}

std::vector<uint8_t> FileBytes(const std::string& path) {
    const std::string s = kt::ReadFileBytes(path);
    return std::vector<uint8_t>(s.begin(), s.end());
}

class AviHost : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // The codec reads its settings at load: point its data file into this test's folder.
        if (!kt::CodecLoaded())
            kt::WriteIni({{"filename", PathOf("kestro")}});
    }

    CaptureOptions Capture(const std::string& avi, kestro::PixelKind kind, FrameSize size) {
        CaptureOptions o;
        o.output = PathOf(avi);
        o.kind = kind;
        o.size = size;
        o.quiet = true;
        // These captures share one data file and are checked before the next one: each may
        // write over the last. The refusal has tests of its own.
        o.overwrite = true;
        return o;
    }
    PlayOptions Play(const std::string& avi, kestro::PixelKind as, const std::string& raw) {
        PlayOptions o;
        o.input = PathOf(avi);
        o.as = as;
        o.rawOutput = PathOf(raw);
        o.quiet = true;
        return o;
    }
};

constexpr FrameSize kSmall{128, 64}; // 4:2:2 and RGB24 frames are whole pages: any settings work

TEST_F(AviHost, RawInputComesBackUnchangedAndAsReferenceRgb) {
    for (kestro::PixelKind kind : {kestro::KIND_YUY2, kestro::KIND_UYVY}) {
        SCOPED_TRACE(RawKindName(kind));
        const auto input = PatternFrames(kind, kSmall, 7);
        kt::WriteFileBytes(PathOf("in.raw"),
                           std::string(reinterpret_cast<const char*>(input.data()), input.size()));
        CaptureOptions c = Capture("yuv.avi", kind, kSmall);
        c.input = PathOf("in.raw");
        CaptureResult captured;
        ASSERT_EQ(RunCapture(c, &captured), kExitOk);
        EXPECT_EQ(captured.frames, 7u);
        ASSERT_EQ(RunInspect(c.output, true, false), kExitOk);

        ASSERT_EQ(RunPlay(Play("yuv.avi", kind, "out.raw")), kExitOk);
        EXPECT_EQ(FileBytes(PathOf("out.raw")), input) << "stored bytes must come back as given";

        for (kestro::PixelKind rgb : {kestro::KIND_RGB24, kestro::KIND_RGB32}) {
            const uint32_t bpp = BitsPerPixel(rgb) / 8;
            const size_t inBytes = size_t(RawFrameBytes(kind, kSmall));
            const size_t outBytes = size_t(RawFrameBytes(rgb, kSmall));
            std::vector<uint8_t> expected(outBytes * 7);
            for (size_t i = 0; i < 7; ++i)
                ReferenceYuvToRgb(input.data() + i * inBytes, expected.data() + i * outBytes,
                                  kSmall, kind, bpp, false);
            ASSERT_EQ(RunPlay(Play("yuv.avi", rgb, "out.rgb")), kExitOk);
            EXPECT_EQ(FileBytes(PathOf("out.rgb")), expected) << RawKindName(rgb);
            PlayOptions viaAvifile = Play("yuv.avi", rgb, "getframe.rgb");
            viaAvifile.getFrame = true;
            ASSERT_EQ(RunPlay(viaAvifile), kExitOk);
            EXPECT_EQ(FileBytes(PathOf("getframe.rgb")), expected)
                << "AVIStreamGetFrame must deliver what ICDecompress does";
        }
    }
}

TEST_F(AviHost, Rgb24InputRoundTripsThroughBottomUpBitmaps) {
    const FrameSize odd{130, 40}; // 390-byte rows: bitmap rows carry two bytes of padding
    const auto input = PatternFrames(kestro::KIND_RGB24, odd, 3);
    kt::WriteFileBytes(PathOf("in.rgb"),
                       std::string(reinterpret_cast<const char*>(input.data()), input.size()));
    CaptureOptions c = Capture("rgb.avi", kestro::KIND_RGB24, odd);
    c.input = PathOf("in.rgb");
    ASSERT_EQ(RunCapture(c), kExitOk);
    // The codec returns its bitmap rows unpadded, so only whole-row widths compare directly.
    const FrameSize even{128, 40};
    const auto evenInput = PatternFrames(kestro::KIND_RGB24, even, 3);
    kt::WriteFileBytes(
        PathOf("in2.rgb"),
        std::string(reinterpret_cast<const char*>(evenInput.data()), evenInput.size()));
    CaptureOptions c2 = Capture("rgb2.avi", kestro::KIND_RGB24, even);
    c2.input = PathOf("in2.rgb");
    ASSERT_EQ(RunCapture(c2), kExitOk);
    ASSERT_EQ(RunPlay(Play("rgb2.avi", kestro::KIND_RGB24, "out2.rgb")), kExitOk);
    EXPECT_EQ(FileBytes(PathOf("out2.rgb")), evenInput);
}

TEST_F(AviHost, StopMidCaptureLeavesAReadableAvi) {
    CaptureOptions c = Capture("stop.avi", kestro::KIND_YUY2, kSmall);
    c.frames = 0; // pattern until stopped
    c.onFrame = [](uint64_t done) {
        if (done == 5)
            RequestStop();
    };
    CaptureResult r;
    EXPECT_EQ(RunCapture(c, &r), kExitInterrupted);
    EXPECT_EQ(r.frames, 5u);
    EXPECT_EQ(RunInspect(c.output, true, false), kExitOk);
    PlayResult played;
    PlayOptions p = Play("stop.avi", kestro::KIND_YUY2, "stop.raw");
    ASSERT_EQ(RunPlay(p, &played), kExitOk);
    EXPECT_EQ(played.frames, 5u);
    EXPECT_EQ(FileBytes(PathOf("stop.raw")), PatternFrames(kestro::KIND_YUY2, kSmall, 5));
}

TEST_F(AviHost, TruncatedInputKeepsTheWholeFrames) {
    auto input = PatternFrames(kestro::KIND_YUY2, kSmall, 4);
    input.resize(input.size() - 100);
    kt::WriteFileBytes(PathOf("short.raw"),
                       std::string(reinterpret_cast<const char*>(input.data()), input.size()));
    CaptureOptions c = Capture("short.avi", kestro::KIND_YUY2, kSmall);
    c.input = PathOf("short.raw");
    CaptureResult r;
    EXPECT_EQ(RunCapture(c, &r), kExitPartial);
    EXPECT_EQ(r.frames, 3u);
    EXPECT_EQ(RunInspect(c.output, true, false), kExitOk);

    // Less than one frame: a size or format mistake, refused before anything is written.
    input.resize(1000);
    kt::WriteFileBytes(PathOf("tiny.raw"),
                       std::string(reinterpret_cast<const char*>(input.data()), input.size()));
    CaptureOptions tiny = Capture("tiny.avi", kestro::KIND_YUY2, kSmall);
    tiny.input = PathOf("tiny.raw");
    EXPECT_EQ(RunCapture(tiny), kExitUsage);
    EXPECT_EQ(GetFileAttributesA(tiny.output.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(AviHost, BrokenReferencesAreFoundAndNotDecoded) {
    CaptureOptions c = Capture("broken.avi", kestro::KIND_YUY2, kSmall);
    c.frames = 4;
    CaptureResult r;
    ASSERT_EQ(RunCapture(c, &r), kExitOk);
    ASSERT_EQ(r.pieces.size(), 1u);
    const std::string piece = r.pieces[0];
    ASSERT_EQ(RunInspect(c.output, true, false), kExitOk);

    // Cut the piece inside frame 2: frames 2 and 3 now point past its end.
    const std::string bytes = kt::ReadFileBytes(piece);
    const size_t frameBytes = size_t(RawFrameBytes(kestro::KIND_YUY2, kSmall));
    kt::WriteFileBytes(piece, bytes.substr(0, 2 * frameBytes + 10));
    EXPECT_EQ(RunInspect(c.output, true, false), kExitBroken);

    ASSERT_TRUE(DeleteFileA(piece.c_str()));
    EXPECT_EQ(RunInspect(c.output, true, false), kExitBroken);
    EXPECT_EQ(RunPlay(Play("broken.avi", kestro::KIND_YUY2, "broken.raw")), kExitBroken);
}

// One relink of an AVI at a time; leftovers of killed relinks go, files a relink still writes
// (open, shared with nobody) stay.
TEST_F(AviHost, OneRelinkOfAnAviAtATimeAndOnlyLeftoversRemoved) {
    CaptureOptions c = Capture("locked.avi", kestro::KIND_YUY2, kSmall);
    c.frames = 3;
    CaptureResult r;
    ASSERT_EQ(RunCapture(c, &r), kExitOk);
    const std::string original = kt::ReadFileBytes(c.output), backup = c.output + ".bak";
    RelinkOptions o;
    o.input = c.output;
    o.dataDir = Dir();
    o.newBase = Dir() + "\\kestro"; // the same names: they fit, in place
    HANDLE held = CreateFileA(c.output.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(LockForRelink(held));
    EXPECT_EQ(RunRelink(o), kExitUsage) << "the AVI is locked by another relink";
    EXPECT_EQ(GetFileAttributesA(backup.c_str()), INVALID_FILE_ATTRIBUTES);
    CloseHandle(held);

    const std::string dead = PathOf(".locked.avi.bak.kestro-AbC123"),
                      live = PathOf(".locked.avi.bak.kestro-LiVe12");
    kt::WriteFileBytes(dead, "half a backup");
    kt::WriteFileBytes(live, "being written");
    HANDLE writing =
        CreateFileA(live.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writing, INVALID_HANDLE_VALUE);
    EXPECT_EQ(RunRelink(o), kExitOk);
    EXPECT_EQ(GetFileAttributesA(dead.c_str()), INVALID_FILE_ATTRIBUTES) << "a leftover stayed";
    EXPECT_NE(GetFileAttributesA(live.c_str()), INVALID_FILE_ATTRIBUTES) << "a file in use went";
    EXPECT_EQ(kt::ReadFileBytes(backup), original);
    CloseHandle(writing);
    DeleteFileA(live.c_str());
    DeleteFileA(backup.c_str());
}

TEST_F(AviHost, NotAKestroStream) {
    kt::WriteFileBytes(PathOf("junk.avi"), "RIFF....AVI junk");
    EXPECT_NE(RunInspect(PathOf("junk.avi"), true, false), kExitOk);
    EXPECT_NE(RunPlay(Play("junk.avi", kestro::KIND_YUY2, "junk.raw")), kExitOk);
    EXPECT_EQ(RunInspect(PathOf("missing.avi"), true, false), kExitUsage);
}

// The take a test captured first: its pieces, its records and its pictures.
struct Take {
    std::string avi;
    std::string piece;
    std::string pieceBytes;
    std::vector<uint8_t> frames; // as played back, yuy2
};

class Takes : public AviHost {
protected:
    std::string Piece0() const { return PathOf("kestro.000"); }
    std::string TakeFile() const { return PathOf("kestro.take"); }
    // Captures `input` (yuy2 frames of kSmall) as a take that must not be written over.
    int CaptureTake(const std::string& avi, const std::vector<uint8_t>& input, bool overwrite,
                    Take* take = nullptr) {
        kt::WriteFileBytes(PathOf(avi + ".in"),
                           std::string(reinterpret_cast<const char*>(input.data()), input.size()));
        CaptureOptions c = Capture(avi, kestro::KIND_YUY2, kSmall);
        c.input = PathOf(avi + ".in");
        c.overwrite = overwrite;
        CaptureResult r;
        const int code = RunCapture(c, &r);
        if (take && code == kExitOk) {
            take->avi = avi;
            take->piece = r.pieces.empty() ? std::string() : r.pieces[0];
            take->pieceBytes = kt::ReadFileBytes(take->piece);
            take->frames = input;
        }
        return code;
    }
    // The take is there as it was: the same piece bytes, every record intact, the same pictures.
    void ExpectUntouched(const Take& take) {
        EXPECT_EQ(kt::ReadFileBytes(take.piece), take.pieceBytes) << take.piece << " changed";
        EXPECT_EQ(RunInspect(PathOf(take.avi), true, false), kExitOk);
        ASSERT_EQ(RunPlay(Play(take.avi, kestro::KIND_YUY2, take.avi + ".played")), kExitOk);
        EXPECT_EQ(FileBytes(PathOf(take.avi + ".played")), take.frames);
    }
    void SetUp() override {
        DeleteFileA(Piece0().c_str());
        DeleteFileA(TakeFile().c_str());
    }
};

TEST_F(Takes, ASecondTakeIsRefusedAndTheFirstKept) {
    Take a;
    ASSERT_EQ(CaptureTake("a.avi", PatternFrames(kestro::KIND_YUY2, kSmall, 10), false, &a),
              kExitOk);
    ASSERT_EQ(a.piece, Piece0());
    auto later = PatternFrames(kestro::KIND_YUY2, kSmall, 20);
    later.erase(later.begin(), later.begin() + later.size() / 4); // frames 5-19: other pictures
    DeleteFileA(PathOf("b.avi").c_str()); // the folder may be an earlier run's
    EXPECT_EQ(CaptureTake("b.avi", later, false), kExitUsage);
    EXPECT_EQ(GetFileAttributesA(PathOf("b.avi").c_str()), INVALID_FILE_ATTRIBUTES)
        << "a refused capture wrote its AVI";
    ExpectUntouched(a);

    // Written over on request: the first take's frames are gone, and its AVI says so instead of
    // showing the second one's pictures.
    ASSERT_EQ(CaptureTake("b.avi", later, true), kExitOk);
    EXPECT_EQ(RunPlay(Play("a.avi", kestro::KIND_YUY2, "a.after")), kExitBroken);
    EXPECT_EQ(FileBytes(PathOf("a.after")), std::vector<uint8_t>()) << "no frame was shown";
    EXPECT_EQ(RunInspect(PathOf("a.avi"), true, false), kExitBroken);
    ASSERT_EQ(RunPlay(Play("b.avi", kestro::KIND_YUY2, "b.played")), kExitOk);
    EXPECT_EQ(FileBytes(PathOf("b.played")), later);
}

// Two captures started together pick their names one after the other: each pick claims its name
// by creating piece 0, so the next one goes on past it even before either capture has begun.
TEST_F(Takes, EveryPickOfAFreshDataFileClaimsItsName) {
    ASSERT_EQ(CaptureTake("a.avi", PatternFrames(kestro::KIND_YUY2, kSmall, 2), false), kExitOk);
    const std::string base = PathOf("kestro");
    auto piece0 = [&](const char* n) { return base + n + ".000"; };
    for (const char* n : {"-2", "-3", "-4"})
        DeleteFileA(piece0(n).c_str()); // an earlier run's
    EXPECT_EQ(NextDataFile(base, false, true), base + "-2");
    EXPECT_EQ(NextDataFile(base, false, true), base + "-3");
    EXPECT_EQ(NextDataFile(base, false, false), base + "-4");
    EXPECT_EQ(GetFileAttributesA(piece0("-4").c_str()), INVALID_FILE_ATTRIBUTES)
        << "a name looked for without a claim was created";
    for (const char* n : {"-2", "-3"})
        EXPECT_TRUE(DeleteFileA(piece0(n).c_str())) << "the claim created no " << piece0(n);
}

TEST_F(Takes, WhatHoldsNoTakeIsCapturedInto) {
    const uint32_t page = 4096;
    const auto frames = PatternFrames(kestro::KIND_YUY2, kSmall, 4);
    struct Case {
        const char* what;
        std::string piece0; // empty: no piece 0
        int expected;
        std::string take = {}; // the take file beside it: empty for none, else its frame count
    };
    std::string blackThenPicture(8 * page, '\0'); // a take that starts black: zeros up front
    blackThenPicture.append(8 * page, '\x80');
    // Reserved space where a capture began and stored nothing: its header page, zeros after.
    std::string reservedWithHeader(64 * page, '\0');
    reservedWithHeader[0] = 40;
    reservedWithHeader[4] = char(128);                  // biWidth
    std::string headerThenPicture = reservedWithHeader; // but a later page holds a frame
    headerThenPicture.back() = 1;                       // the last page is always read
    const Case cases[] = {
        {"no piece 0", "", kExitOk},
        {"an empty piece 0", std::string(), kExitOk},
        {"space reserved in advance (zeros)", std::string(64 * page, '\0'), kExitOk},
        {"the header page of a capture that stored no frame", std::string(page, '\x28'), kExitOk},
        {"reserved space that a capture began in", reservedWithHeader, kExitOk},
        {"a header page and a frame after it", headerThenPicture, kExitUsage},
        {"a take that starts with black frames", blackThenPicture, kExitUsage},
        {"a take in the last page only", std::string(15 * page, '\0') + std::string(page, '\x10'),
         kExitUsage},
        // A take file says exactly what the pieces hold, where sampling would guess.
        {"a take of black frames, by its take file", std::string(64 * page, '\0'), kExitUsage,
         "frames=4"},
        {"a take whose capture has not ended", std::string(64 * page, '\0'), kExitUsage, "-"},
        {"space reserved over a take, by its take file", headerThenPicture, kExitOk, "frames=0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DeleteFileA(TakeFile().c_str());
        if (!c.take.empty())
            kt::WriteFileBytes(TakeFile(), "[take]\r\nid=0000beef\r\n" +
                                               (c.take == "-" ? std::string() : c.take + "\r\n"));
        DeleteFileA(Piece0().c_str());
        if (std::string(c.what) != "no piece 0")
            kt::WriteFileBytes(Piece0(), c.piece0);
        EXPECT_EQ(CaptureTake("c.avi", frames, false), c.expected);
        if (c.expected == kExitOk) {
            ASSERT_EQ(RunPlay(Play("c.avi", kestro::KIND_YUY2, "c.played")), kExitOk);
            EXPECT_EQ(FileBytes(PathOf("c.played")), frames);
        } else {
            EXPECT_TRUE(kt::ReadFileBytes(Piece0()) == c.piece0) << "a refused capture wrote";
        }
    }
}

// A removal opens every piece for nobody else: a piece a player holds stays, take and all; once
// it is closed the take goes, and its AVI says it was removed.
TEST_F(Takes, ARemovalLeavesATakeWhosePieceIsHeldOpen) {
    Take a;
    ASSERT_EQ(CaptureTake("r.avi", PatternFrames(kestro::KIND_YUY2, kSmall, 3), false, &a),
              kExitOk);
    const auto take = ReadTakeFile(TakeFile()).take;
    ASSERT_TRUE(take);
    TakesOptions o;
    o.dataFile = PathOf("kestro");
    o.remove = TakeIdText(take->id);
    o.yes = true;
    HANDLE held = CreateFileA(Piece0().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    testing::internal::CaptureStderr();
    EXPECT_EQ(RunTakes(o), kExitUsage);
    std::string said = testing::internal::GetCapturedStderr();
    CloseHandle(held);
    EXPECT_NE(said.find("is in use"), std::string::npos) << said;
    ExpectUntouched(a);
    testing::internal::CaptureStdout();
    EXPECT_EQ(RunTakes(o), kExitOk);
    said = testing::internal::GetCapturedStdout();
    EXPECT_NE(said.find("removed take " + o.remove), std::string::npos) << said;
    EXPECT_EQ(GetFileAttributesA(Piece0().c_str()), INVALID_FILE_ATTRIBUTES);
    testing::internal::CaptureStderr();
    EXPECT_EQ(RunPlay(Play("r.avi", kestro::KIND_YUY2, "r.after")), kExitBroken);
    said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("was removed on"), std::string::npos) << said;
}

// What the codec meets when it cannot start: named by the capture and by check.
TEST_F(Takes, ARefusedStartSaysWhy) {
    const auto frames = PatternFrames(kestro::KIND_YUY2, kSmall, 2);
    struct Case {
        const char* what;
        const char* reason;
    };
    for (const Case& c : {Case{"held by a writer", "held open for writing by another program"},
                          Case{"a folder", "is a folder, not a file"}}) {
        SCOPED_TRACE(c.what);
        HANDLE held = INVALID_HANDLE_VALUE;
        if (std::string(c.what) == "a folder") {
            ASSERT_TRUE(CreateDirectoryA(Piece0().c_str(), nullptr));
        } else {
            // As a running capture holds its pieces: write access, readers allowed.
            held = CreateFileA(Piece0().c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                               nullptr, CREATE_ALWAYS, 0, nullptr);
            ASSERT_NE(held, INVALID_HANDLE_VALUE);
        }
        testing::internal::CaptureStderr();
        const int captured = CaptureTake("d.avi", frames, true);
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(captured, kExitCodec);
        EXPECT_NE(said.find("cannot start the capture"), std::string::npos) << said;
        EXPECT_NE(said.find(c.reason), std::string::npos) << said;
        EXPECT_NE(said.find(kt::IniPath()), std::string::npos) << "the settings file: " << said;
        testing::internal::CaptureStdout();
        EXPECT_EQ(RunCheck(), kExitCodec);
        const std::string checked = testing::internal::GetCapturedStdout();
        EXPECT_NE(checked.find(c.reason), std::string::npos) << checked;
        if (held != INVALID_HANDLE_VALUE)
            CloseHandle(held);
        RemoveDirectoryA(Piece0().c_str());
        DeleteFileA(Piece0().c_str());
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(RunCheck(), kExitOk);
    const std::string checked = testing::internal::GetCapturedStdout();
    EXPECT_NE(checked.find("a capture can start"), std::string::npos) << checked;
}

TEST(TakeRules, ReservedSpaceAndNamesOfFreshDataFiles) {
    using P = std::vector<uint64_t>;
    EXPECT_EQ(SampledPages(0, 4096, 16), P{});
    EXPECT_EQ(SampledPages(1, 4096, 16), P{0});
    EXPECT_EQ(SampledPages(3 * 4096, 4096, 16), (P{0, 4096, 8192}));
    EXPECT_EQ(SampledPages(3 * 4096 + 1, 4096, 2), (P{0, 3 * 4096})) << "the last partial page";
    const P spread = SampledPages(uint64_t(100) << 30, 4096, 16);
    ASSERT_EQ(spread.size(), 16u);
    EXPECT_EQ(spread.back(), (uint64_t(100) << 30) - 4096);
    for (size_t i = 1; i < spread.size(); ++i)
        EXPECT_GT(spread[i], spread[i - 1]);

    EXPECT_EQ(ClassifyPiece(0, 0, 4096, false), PieceHolds::Nothing);
    EXPECT_EQ(ClassifyPiece(0, 4096, 4096, true), PieceHolds::HeaderOnly);
    EXPECT_EQ(ClassifyPiece(1, 4096, 4096, true), PieceHolds::Frames) << "later pieces: no header";
    EXPECT_EQ(ClassifyPiece(0, 8192, 4096, false), PieceHolds::Zeros);
    EXPECT_EQ(ClassifyPiece(0, 8192, 4096, true), PieceHolds::Frames);
    std::vector<uint8_t> header(4096, 0);
    header[0] = 40;
    header[8] = 7; // biHeight
    EXPECT_TRUE(IsHeaderPage(header.data(), header.size()));
    header[40] = 1;
    EXPECT_FALSE(IsHeaderPage(header.data(), header.size())) << "a byte past the header";
    header[40] = 0;
    header[0] = 52;
    EXPECT_FALSE(IsHeaderPage(header.data(), header.size())) << "not a 40-byte header";
    EXPECT_FALSE(IsHeaderPage(header.data(), 39));

    struct Name {
        const char* base;
        const char* stem;
        uint32_t number;
        const char* next;
    };
    for (const Name& n : {Name{"c:\\kestro", "c:\\kestro", 1, "c:\\kestro-2"},
                          Name{"d:\\caps\\take-2", "d:\\caps\\take", 2, "d:\\caps\\take-3"},
                          Name{"d:\\caps\\take-17", "d:\\caps\\take", 17, "d:\\caps\\take-18"},
                          Name{"d:\\a-2\\take", "d:\\a-2\\take", 1, "d:\\a-2\\take-2"},
                          Name{"d:\\caps\\take-1", "d:\\caps\\take-1", 1, "d:\\caps\\take-1-2"},
                          Name{"d:\\caps\\take-02", "d:\\caps\\take-02", 1, "d:\\caps\\take-02-2"},
                          Name{"d:\\caps\\-5", "d:\\caps\\-5", 1, "d:\\caps\\-5-2"},
                          Name{"take-3x", "take-3x", 1, "take-3x-2"}}) {
        SCOPED_TRACE(n.base);
        const NumberedBase b = SplitTakeNumber(n.base);
        EXPECT_EQ(b.stem, n.stem);
        EXPECT_EQ(b.number, n.number);
        EXPECT_EQ(TakeName(b, b.number + 1), n.next);
        EXPECT_EQ(TakeName(b, b.number), n.base);
    }
    EXPECT_TRUE(IsPieceOf("TAKE.000", "take"));
    EXPECT_TRUE(IsPieceOf("take.499", "take"));
    for (const char* other : {"take.avi", "take.00", "take.0000", "take-2.000", "take000", "take"})
        EXPECT_FALSE(IsPieceOf(other, "take")) << other;
}

TEST(RawFrames, ParsesSizesAndRefusesNonsense) {
    ASSERT_TRUE(ParseFrameSize("640x480"));
    EXPECT_EQ(ParseFrameSize("640x480")->height, 480u);
    for (const char* bad : {"", "640", "640x", "x480", "0x480", "640x0", "640x480x2", "-1x2",
                            "16385x2", "99999999999x1", "64 x 48"})
        EXPECT_FALSE(ParseFrameSize(bad)) << bad;
    EXPECT_TRUE(SizeProblem(kestro::KIND_YUY2, {641, 480}));
    EXPECT_FALSE(SizeProblem(kestro::KIND_RGB24, {641, 480}));
    EXPECT_EQ(DibFrameBytes(kestro::KIND_RGB24, {130, 2}), 392u * 2);
    EXPECT_EQ(FrameFileName("f%04d.ppm", 7), "f0007.ppm");
    EXPECT_EQ(FrameFileName("dir.x\\still", 12), "dir.x\\still-0012");
    EXPECT_EQ(FrameFileName("still.ppm", 3), "still-0003.ppm");
}

TEST(RawFrames, ReferenceConversionHitsTheKnownColours) {
    auto convert = [](std::vector<uint8_t> yuy2) {
        std::vector<uint8_t> rgb(6);
        ReferenceYuvToRgb(yuy2.data(), rgb.data(), {2, 1}, kestro::KIND_YUY2, 3, false);
        return rgb;
    };
    EXPECT_EQ(convert({16, 128, 16, 128}), std::vector<uint8_t>(6, 0));
    EXPECT_EQ(convert({235, 128, 235, 128}), std::vector<uint8_t>(6, 255));
    EXPECT_EQ(convert({0, 0, 0, 0}), (std::vector<uint8_t>{0, 136, 0, 0, 136, 0}));
    EXPECT_EQ(convert({255, 255, 255, 255}), (std::vector<uint8_t>{255, 125, 255, 255, 125, 255}));
}

} // namespace
