// The AVI as capture applications and players see it: captures made through the codec manager and
// AVIFile by the host program's commands, read back through ICDecompress and AVIStreamGetFrame.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Host.h"
#include "HostWin.h"
#include "WineCodec.h"
#include "edge/TakeFiles.h"
#include "pure/FrameJournal.h"
#include "pure/TakeNames.h"
#include "settings/CodecSettings.h"

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

// A journal with the take's identity beside a capture's pieces, as the codec leaves one: report
// blames what its rows show, reads a killed host's journal up to its last whole row, and refuses
// the journal of another take and a folder in its place. A striped take's journal lies beside its
// first data file, which the take file beside the pieces names.
TEST_F(AviHost, ReportJudgesTheJournalBesideTheCapture) {
    CaptureOptions c = Capture("report.avi", kestro::KIND_YUY2, kSmall);
    c.frames = 8;
    ASSERT_EQ(RunCapture(c), kExitOk);
    const kestro::TakeFileRead take = kestro::ReadTakeFileAt(PathOf("kestro.take"));
    ASSERT_TRUE(take.take) << take.damage;
    // 20 s at 30 frames a second, each written in 2 ms; the host skips numbers 300 to 304.
    const auto journal = [&](uint32_t id) {
        JournalHeader h;
        h.ticksPerSecond = 10'000'000;
        h.take = id;
        h.requests = 3;
        h.rate = 30, h.scale = 1;
        std::string bytes(kJournalHeaderBytes, '\0');
        EncodeJournalHeader(h, reinterpret_cast<uint8_t*>(bytes.data()));
        for (uint32_t n = 0; n < 600; ++n) {
            if (n >= 300 && n < 305)
                continue;
            JournalRow r{n, 16384, n * 10'000'000ull / 30, 0, 0, 1, 1000, 0, 100, 20000};
            bytes.resize(bytes.size() + kJournalRowBytes);
            EncodeJournalRow(r, reinterpret_cast<uint8_t*>(bytes.data()) + bytes.size() -
                                    kJournalRowBytes);
        }
        return bytes;
    };
    const std::string ours = journal(take.take->id), path = PathOf("kestro.journal"),
                      page = PathOf("report.html");
    struct Row {
        const char* name;
        std::string bytes; // empty: a folder
        int code;
        std::string said;
        bool striped = false; // the pieces of the take's second data file; its journal elsewhere
    };
    const std::string takeBytes = kt::ReadFileBytes(PathOf("kestro.take")),
                      first = PathOf("first.journal");
    const std::vector<Row> rows = {
        {"the take's", ours, kExitOk,
         "verdict: the host skipped 5 frames at 00:10 while the codec returned within 0.1 ms: the "
         "source or the host\n"},
        {"cut by a killed host", ours.substr(0, ours.size() - 20), kExitOk,
         "journal: its last row is cut (12 bytes after the last whole row)"},
        {"another take's", journal(take.take->id ^ 1), kExitBroken,
         "the journal " + path + " is of take "},
        {"a folder", "", kExitBroken, "the journal " + path + " is a folder"},
        {"a striped take's", ours, kExitOk, "journal: " + first + ": 595 rows", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        DeleteFileA(path.c_str());
        RemoveDirectoryA(path.c_str());
        DeleteFileA(page.c_str());
        if (row.bytes.empty())
            ASSERT_TRUE(CreateDirectoryA(path.c_str(), nullptr));
        else
            kt::WriteFileBytes(path, row.bytes);
        if (row.striped) {
            kestro::TakeFile striped = *take.take;
            striped.stripe = 1;
            striped.stripeFiles = {PathOf("first"), PathOf("kestro")};
            kt::WriteFileBytes(PathOf("kestro.take"), kestro::FormatTakeFile(striped));
            kt::WriteFileBytes(first, row.bytes);
            kt::WriteFileBytes(path, journal(take.take->id ^ 1)); // not this take's: never read
        }
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const int code = RunReport(c.output, page);
        const std::string said =
            ::testing::internal::GetCapturedStdout() + ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(code, row.code) << said;
        EXPECT_NE(said.find(row.said), std::string::npos) << said;
        const std::string made = kt::ReadFileBytes(page);
        EXPECT_EQ(made.find("<svg ") != std::string::npos, code == kExitOk);
        kt::WriteFileBytes(PathOf("kestro.take"), takeBytes);
        DeleteFileA(first.c_str());
    }
    RemoveDirectoryA(path.c_str());
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
    // These captures keep every take, as the codec's settings do by default.
    void SetUp() override {
        Clean();
        WriteKeyText(kt::IniPath(), SettingKeyOf(&CCodecSettings::overwrite), "0");
    }
    void TearDown() override {
        WriteKeyText(kt::IniPath(), SettingKeyOf(&CCodecSettings::overwrite), "1");
        Clean();
    }
    void Clean() {
        for (const char* n : {"", "-2", "-3", "-4"}) {
            DeleteFileA(PathOf(std::string("kestro") + n + ".000").c_str());
            DeleteFileA(PathOf(std::string("kestro") + n + ".take").c_str());
        }
    }
};

TEST_F(Takes, ASecondTakeGoesBesideTheFirstAndOverwriteReplacesIt) {
    Take a;
    ASSERT_EQ(CaptureTake("a.avi", PatternFrames(kestro::KIND_YUY2, kSmall, 10), false, &a),
              kExitOk);
    ASSERT_EQ(a.piece, Piece0());
    auto later = PatternFrames(kestro::KIND_YUY2, kSmall, 20);
    later.erase(later.begin(), later.begin() + later.size() / 4); // frames 5-19: other pictures
    Take b;
    testing::internal::CaptureStderr();
    EXPECT_EQ(CaptureTake("b.avi", later, false, &b), kExitOk);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(b.piece, PathOf("kestro-2.000"));
    EXPECT_NE(said.find("the take went to " + PathOf("kestro-2.000")), std::string::npos) << said;
    ExpectUntouched(a);
    ExpectUntouched(b);
    EXPECT_EQ(ReadSetting(SettingKeyOf(&CCodecSettings::dataFileName)), PathOf("kestro"))
        << "the settings keep the configured name";

    // Written over on request: the first take's frames are gone, and its AVI says so instead of
    // showing the third one's pictures; the request lasts for that capture only.
    ASSERT_EQ(CaptureTake("c.avi", later, true), kExitOk);
    EXPECT_EQ(ReadSetting(SettingKeyOf(&CCodecSettings::overwrite)), "0");
    EXPECT_EQ(RunPlay(Play("a.avi", kestro::KIND_YUY2, "a.after")), kExitBroken);
    EXPECT_EQ(FileBytes(PathOf("a.after")), std::vector<uint8_t>()) << "no frame was shown";
    EXPECT_EQ(RunInspect(PathOf("a.avi"), true, false), kExitBroken);
    ASSERT_EQ(RunPlay(Play("c.avi", kestro::KIND_YUY2, "c.played")), kExitOk);
    EXPECT_EQ(FileBytes(PathOf("c.played")), later);
    ExpectUntouched(b);
}

// check says where the next take goes, and looking creates nothing there.
TEST_F(Takes, CheckNamesWhereTheNextTakeGoes) {
    ASSERT_EQ(CaptureTake("a.avi", PatternFrames(kestro::KIND_YUY2, kSmall, 2), false), kExitOk);
    testing::internal::CaptureStdout();
    EXPECT_EQ(RunCheck(), kExitOk);
    const std::string checked = testing::internal::GetCapturedStdout();
    EXPECT_NE(checked.find("the next take goes to " + PathOf("kestro-2.000")), std::string::npos)
        << checked;
    EXPECT_EQ(GetFileAttributesA(PathOf("kestro-2.000").c_str()), INVALID_FILE_ATTRIBUTES)
        << "a name looked for was created";
}

TEST_F(Takes, WhatHoldsNoTakeIsCapturedInto) {
    const uint32_t page = 4096;
    const auto frames = PatternFrames(kestro::KIND_YUY2, kSmall, 4);
    struct Case {
        const char* what;
        std::string piece0;    // empty: no piece 0
        bool beside;           // the take goes beside, and piece 0 stays as it is
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
        {"no piece 0", "", false},
        {"an empty piece 0", std::string(), false},
        {"space reserved in advance (zeros)", std::string(64 * page, '\0'), false},
        {"the header page of a capture that stored no frame", std::string(page, '\x28'), false},
        {"reserved space that a capture began in", reservedWithHeader, false},
        {"a header page and a frame after it", headerThenPicture, true},
        {"a take that starts with black frames", blackThenPicture, true},
        {"a take in the last page only", std::string(15 * page, '\0') + std::string(page, '\x10'),
         true},
        // A take file says exactly what the pieces hold, where sampling would guess.
        {"a take of black frames, by its take file", std::string(64 * page, '\0'), true,
         "frames=4"},
        {"a take whose capture has not ended", std::string(64 * page, '\0'), true, "-"},
        {"space reserved over a take, by its take file", headerThenPicture, false, "frames=0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Clean();
        if (!c.take.empty())
            kt::WriteFileBytes(TakeFile(), "[take]\r\nid=0000beef\r\n" +
                                               (c.take == "-" ? std::string() : c.take + "\r\n"));
        if (std::string(c.what) != "no piece 0")
            kt::WriteFileBytes(Piece0(), c.piece0);
        Take t;
        ASSERT_EQ(CaptureTake("c.avi", frames, false, &t), kExitOk);
        EXPECT_EQ(t.piece, c.beside ? PathOf("kestro-2.000") : Piece0());
        ASSERT_EQ(RunPlay(Play("c.avi", kestro::KIND_YUY2, "c.played")), kExitOk);
        EXPECT_EQ(FileBytes(PathOf("c.played")), frames);
        if (c.beside) {
            EXPECT_TRUE(kt::ReadFileBytes(Piece0()) == c.piece0) << "the kept take was written";
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
    // With overwrite=1 the codec meets what piece 0 holds; without, it goes beside it.
    WriteKeyText(kt::IniPath(), SettingKeyOf(&CCodecSettings::overwrite), "1");
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
    WriteKeyText(kt::IniPath(), SettingKeyOf(&CCodecSettings::overwrite), "0");
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

} // namespace
