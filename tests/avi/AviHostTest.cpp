// The AVI as capture applications and players see it: captures made through the codec manager and
// AVIFile by the host program's commands, read back through ICDecompress and AVIStreamGetFrame.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Host.h"
#include "HostWin.h"
#include "WineCodec.h"

using namespace host;

namespace {

std::string Dir() {
    static const std::string dir = kt::DataDir("avi");
    return dir;
}
std::string PathOf(const std::string& name) {
    return Dir() + "\\" + name;
}

std::vector<uint8_t> PatternFrames(RawKind kind, FrameSize size, uint32_t frames) {
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

    CaptureOptions Capture(const std::string& avi, RawKind kind, FrameSize size) {
        CaptureOptions o;
        o.output = PathOf(avi);
        o.kind = kind;
        o.size = size;
        o.quiet = true;
        return o;
    }
    PlayOptions Play(const std::string& avi, RawKind as, const std::string& raw) {
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
    for (RawKind kind : {RawKind::Yuy2, RawKind::Uyvy}) {
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

        for (RawKind rgb : {RawKind::Rgb24, RawKind::Rgb32}) {
            const uint32_t bpp = BitsPerPixel(rgb) / 8;
            const size_t inBytes = size_t(RawFrameBytes(kind, kSmall));
            const size_t outBytes = size_t(RawFrameBytes(rgb, kSmall));
            std::vector<uint8_t> expected(outBytes * 7);
            for (size_t i = 0; i < 7; ++i)
                ReferenceYuvToRgb(input.data() + i * inBytes, expected.data() + i * outBytes,
                                  kSmall, kind == RawKind::Uyvy, bpp, false);
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
    const auto input = PatternFrames(RawKind::Rgb24, odd, 3);
    kt::WriteFileBytes(PathOf("in.rgb"),
                       std::string(reinterpret_cast<const char*>(input.data()), input.size()));
    CaptureOptions c = Capture("rgb.avi", RawKind::Rgb24, odd);
    c.input = PathOf("in.rgb");
    ASSERT_EQ(RunCapture(c), kExitOk);
    // The codec returns its bitmap rows unpadded, so only whole-row widths compare directly.
    const FrameSize even{128, 40};
    const auto evenInput = PatternFrames(RawKind::Rgb24, even, 3);
    kt::WriteFileBytes(
        PathOf("in2.rgb"),
        std::string(reinterpret_cast<const char*>(evenInput.data()), evenInput.size()));
    CaptureOptions c2 = Capture("rgb2.avi", RawKind::Rgb24, even);
    c2.input = PathOf("in2.rgb");
    ASSERT_EQ(RunCapture(c2), kExitOk);
    ASSERT_EQ(RunPlay(Play("rgb2.avi", RawKind::Rgb24, "out2.rgb")), kExitOk);
    EXPECT_EQ(FileBytes(PathOf("out2.rgb")), evenInput);
}

TEST_F(AviHost, StopMidCaptureLeavesAReadableAvi) {
    CaptureOptions c = Capture("stop.avi", RawKind::Yuy2, kSmall);
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
    PlayOptions p = Play("stop.avi", RawKind::Yuy2, "stop.raw");
    ASSERT_EQ(RunPlay(p, &played), kExitOk);
    EXPECT_EQ(played.frames, 5u);
    EXPECT_EQ(FileBytes(PathOf("stop.raw")), PatternFrames(RawKind::Yuy2, kSmall, 5));
}

TEST_F(AviHost, TruncatedInputKeepsTheWholeFrames) {
    auto input = PatternFrames(RawKind::Yuy2, kSmall, 4);
    input.resize(input.size() - 100);
    kt::WriteFileBytes(PathOf("short.raw"),
                       std::string(reinterpret_cast<const char*>(input.data()), input.size()));
    CaptureOptions c = Capture("short.avi", RawKind::Yuy2, kSmall);
    c.input = PathOf("short.raw");
    CaptureResult r;
    EXPECT_EQ(RunCapture(c, &r), kExitPartial);
    EXPECT_EQ(r.frames, 3u);
    EXPECT_EQ(RunInspect(c.output, true, false), kExitOk);

    // Less than one frame: a size or format mistake, refused before anything is written.
    input.resize(1000);
    kt::WriteFileBytes(PathOf("tiny.raw"),
                       std::string(reinterpret_cast<const char*>(input.data()), input.size()));
    CaptureOptions tiny = Capture("tiny.avi", RawKind::Yuy2, kSmall);
    tiny.input = PathOf("tiny.raw");
    EXPECT_EQ(RunCapture(tiny), kExitUsage);
    EXPECT_EQ(GetFileAttributesA(tiny.output.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(AviHost, BrokenReferencesAreFoundAndNotDecoded) {
    CaptureOptions c = Capture("broken.avi", RawKind::Yuy2, kSmall);
    c.frames = 4;
    CaptureResult r;
    ASSERT_EQ(RunCapture(c, &r), kExitOk);
    ASSERT_EQ(r.pieces.size(), 1u);
    const std::string piece = r.pieces[0];
    ASSERT_EQ(RunInspect(c.output, true, false), kExitOk);

    // Cut the piece inside frame 2: frames 2 and 3 now point past its end.
    const std::string bytes = kt::ReadFileBytes(piece);
    const size_t frameBytes = size_t(RawFrameBytes(RawKind::Yuy2, kSmall));
    kt::WriteFileBytes(piece, bytes.substr(0, 2 * frameBytes + 10));
    EXPECT_EQ(RunInspect(c.output, true, false), kExitBroken);

    ASSERT_TRUE(DeleteFileA(piece.c_str()));
    EXPECT_EQ(RunInspect(c.output, true, false), kExitBroken);
    EXPECT_EQ(RunPlay(Play("broken.avi", RawKind::Yuy2, "broken.raw")), kExitBroken);
}

// One relink of an AVI at a time; leftovers of killed relinks go, files a relink still writes
// (open, shared with nobody) stay.
TEST_F(AviHost, OneRelinkOfAnAviAtATimeAndOnlyLeftoversRemoved) {
    CaptureOptions c = Capture("locked.avi", RawKind::Yuy2, kSmall);
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
    EXPECT_NE(RunPlay(Play("junk.avi", RawKind::Yuy2, "junk.raw")), kExitOk);
    EXPECT_EQ(RunInspect(PathOf("missing.avi"), true, false), kExitUsage);
}

TEST(RawFrames, ParsesSizesAndRefusesNonsense) {
    ASSERT_TRUE(ParseFrameSize("640x480"));
    EXPECT_EQ(ParseFrameSize("640x480")->height, 480u);
    for (const char* bad : {"", "640", "640x", "x480", "0x480", "640x0", "640x480x2", "-1x2",
                            "16385x2", "99999999999x1", "64 x 48"})
        EXPECT_FALSE(ParseFrameSize(bad)) << bad;
    EXPECT_TRUE(SizeProblem(RawKind::Yuy2, {641, 480}));
    EXPECT_FALSE(SizeProblem(RawKind::Rgb24, {641, 480}));
    EXPECT_EQ(DibFrameBytes(RawKind::Rgb24, {130, 2}), 392u * 2);
    EXPECT_EQ(FrameFileName("f%04d.ppm", 7), "f0007.ppm");
    EXPECT_EQ(FrameFileName("dir.x\\still", 12), "dir.x\\still-0012");
    EXPECT_EQ(FrameFileName("still.ppm", 3), "still-0003.ppm");
}

TEST(RawFrames, ReferenceConversionHitsTheKnownColours) {
    auto convert = [](std::vector<uint8_t> yuy2) {
        std::vector<uint8_t> rgb(6);
        ReferenceYuvToRgb(yuy2.data(), rgb.data(), {2, 1}, false, 3, false);
        return rgb;
    };
    EXPECT_EQ(convert({16, 128, 16, 128}), std::vector<uint8_t>(6, 0));
    EXPECT_EQ(convert({235, 128, 235, 128}), std::vector<uint8_t>(6, 255));
    EXPECT_EQ(convert({0, 0, 0, 0}), (std::vector<uint8_t>{0, 136, 0, 0, 136, 0}));
    EXPECT_EQ(convert({255, 255, 255, 255}), (std::vector<uint8_t>{255, 125, 255, 255, 125, 255}));
}

} // namespace
