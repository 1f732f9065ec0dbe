// Export of synthesized captures, checked by decoding the result with ffmpeg.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "ToolFixture.h"
#include "pure/PixelFormats.h"
#include "pure/PixelKind.h"

using namespace kestro;

namespace {

std::vector<uint8_t> Concat(const RawCapture& c, size_t frames,
                            std::vector<uint8_t> (*frame)(const RawCapture&, size_t)) {
    std::vector<uint8_t> all;
    for (size_t i = 0; i < frames; ++i) {
        auto f = frame(c, i);
        all.insert(all.end(), f.begin(), f.end());
    }
    return all;
}

class Export : public ToolTest {
protected:
    static std::vector<uint8_t> Upright(const RawCapture& c, size_t i) {
        return UprightFrame(c, i);
    }
    // The pictures in `pixFmt`; with none, the packets as they lie (v210 is a codec of its own:
    // its packets are the stored rows).
    std::vector<uint8_t> Decode(const std::string& file, const char* pixFmt) {
        int status = 0;
        const std::string as = !pixFmt || std::string(pixFmt) == "v210"
                                   ? std::string("-c:v copy")
                                   : std::string("-pix_fmt ") + pixFmt;
        auto bytes =
            Shell("ffmpeg -v error -i '" + file + "' -map 0:v -f rawvideo " + as + " -", &status);
        EXPECT_EQ(status, 0) << file;
        return bytes;
    }
};

struct Kind {
    const char* name;
    uint32_t source;
    uint16_t bits;
    int32_t height;
    const char* pixFmt;
    // FFmpeg (5.1) has no tag for such raw pictures in any container (AVI and MKV would read them
    // back as bgr24, NUT as rgb555le): refused there, nothing written; the pipe carries them.
    bool pipeOnly = false;
};

const Kind kKinds[] = {
    {"YUY2", MakeFourcc('Y', 'U', 'Y', '2'), 16, 48, "yuyv422"},
    {"UYVY", MakeFourcc('U', 'Y', 'V', 'Y'), 16, 48, "uyvy422"},
    {"RGB24 bottom-up", 0, 24, 48, "bgr24"},
    {"RGB24 top-down", 0, 24, -48, "bgr24"},
    {"YVYU", MakeFourcc('Y', 'V', 'Y', 'U'), 16, 48, "yvyu422"},
    {"HDYC", MakeFourcc('H', 'D', 'Y', 'C'), 16, 48, "uyvy422"},
    {"Y800", MakeFourcc('Y', '8', '0', '0'), 8, 48, "gray"},
    {"RGB32 bottom-up", 0, 32, 48, "bgra"},
    {"RGB32 top-down", 0, 32, -48, "bgra"},
    {"NV12", MakeFourcc('N', 'V', '1', '2'), 12, 48, "nv12"},
    {"I420", MakeFourcc('I', '4', '2', '0'), 12, 48, "yuv420p"},
    {"IYUV", MakeFourcc('I', 'Y', 'U', 'V'), 12, 48, "yuv420p"},
    {"V210", MakeFourcc('v', '2', '1', '0'), 20, 48, "v210"},
    {"P010", MakeFourcc('P', '0', '1', '0'), 24, 48, "p010le", true},
    {"Y210", MakeFourcc('Y', '2', '1', '0'), 32, 48, "y210le", true},
    {"P210", MakeFourcc('P', '2', '1', '0'), 32, 48, "p210le", true},
};

TEST_F(Export, RawKindsDecodeByteForByteFromAviMkvAndNutAcrossPieces) {
    // A stored kind without a row here would be exported untested.
    for (const PixelFormat& f : kPixelFormats) {
        if (f.stored && f.ffmpegName) {
            EXPECT_TRUE(std::any_of(std::begin(kKinds), std::end(kKinds), [&](const Kind& k) {
                return ClassifyPixelKind(k.source, k.bits) == f.kind;
            })) << f.name;
        }
    }
    for (const Kind& kind : kKinds) {
        RawCapture c;
        c.source = kind.source;
        c.bits = kind.bits;
        c.height = kind.height;
        c.frames = 7;
        c.framesPerPiece = 3;
        const std::string avi = dir + "/take.avi";
        MakeRawCapture(c, dir, avi);
        const auto want = Concat(c, c.frames, Upright);
        for (const char* ext : {"avi", "mkv", "nut", "mov"}) {
            const std::string out = dir + "/out." + ext;
            auto r = RunKestro({"export", avi, out, "-q"});
            const std::string pixFmt = kind.pixFmt;
            // FFmpeg's MOV writer has no tag that gives gray back: refused, nothing written, as
            // the kinds that go to the pipe only. The pipe below still carries them.
            if ((std::string(ext) == "mov" && pixFmt == "gray") || kind.pipeOnly) {
                EXPECT_EQ(r.code, 2) << r.err;
                EXPECT_NE(r.err.find("no tag for raw " + pixFmt), std::string::npos) << r.err;
                EXPECT_NE(access(out.c_str(), F_OK), 0);
                // What it offers instead keeps these pictures: no container for a pipe-only kind.
                const std::string advice = r.err.substr(r.err.find("no tag for raw"));
                for (const char* other : {".avi", ".mkv", ".nut", ".mov"})
                    EXPECT_EQ(advice.find(other),
                              kind.pipeOnly ? std::string::npos : advice.find(other))
                        << r.err;
                EXPECT_NE(advice.find(kind.pipeOnly ? "export to -" : ".avi, .mkv or .nut"),
                          std::string::npos)
                    << r.err;
                continue;
            }
            ASSERT_EQ(r.code, 0) << kind.name << " " << ext << ": " << r.err;
            auto got = Decode(out, kind.pixFmt);
            ASSERT_EQ(got.size(), want.size()) << kind.name << " " << ext;
            EXPECT_TRUE(got == want) << kind.name << " " << ext << ": pictures differ";
            if (std::string(ext) == "mov") { // packed rows: the packets are the pictures
                EXPECT_TRUE(Decode(out, nullptr) == want) << kind.name << ": packets differ";
            }
            unlink(out.c_str());
        }
        // The pipe gets the same bytes, and info names the parameters it needs.
        auto r = RunKestro({"export", avi, "-"});
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_TRUE(std::vector<uint8_t>(r.out.begin(), r.out.end()) == want) << kind.name;
        r = RunKestro({"info", avi});
        ASSERT_EQ(r.code, 0) << r.err;
        const std::string input = std::string(kind.pixFmt) == "v210"
                                      ? std::string("-f v210")
                                      : std::string("-f rawvideo -pix_fmt ") + kind.pixFmt;
        EXPECT_NE(r.out.find(input + " -s 66x48 -r 30/1"), std::string::npos) << r.out;
        // That line's input works: the pipe read back through it is the captured bytes again.
        const std::string pipe = dir + "/pipe.raw";
        std::ofstream(pipe, std::ios::binary)
            .write(reinterpret_cast<const char*>(want.data()), std::streamsize(want.size()));
        int status = 0;
        auto back = Shell("ffmpeg -v error " + input + " -s 66x48 -r 30/1 -i '" + pipe +
                              "' -map 0:v -c:v copy -f rawvideo -",
                          &status);
        EXPECT_EQ(status, 0);
        EXPECT_TRUE(back == want) << kind.name << ": the info line's input reads other pictures";
    }
}

// YV12 has no pixel format of FFmpeg's that keeps its bytes: refused, saying why, nothing written.
TEST_F(Export, Yv12IsRefusedWithItsReason) {
    RawCapture c;
    c.source = MakeFourcc('Y', 'V', '1', '2');
    c.bits = 12;
    c.height = 48;
    c.frames = 2;
    c.framesPerPiece = 2;
    const std::string avi = dir + "/take.avi";
    MakeRawCapture(c, dir, avi);
    for (const char* out : {"out.avi", "out.nut", "-"}) {
        const std::string path = out[0] == '-' ? std::string(out) : dir + "/" + out;
        auto r = RunKestro({"export", avi, path, "-q"});
        EXPECT_NE(r.code, 0) << out;
        EXPECT_NE(r.err.find("V before U"), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty()) << out;
        if (out[0] != '-') {
            EXPECT_NE(access(path.c_str(), F_OK), 0) << out;
        }
    }
}

// The captures the 0.4.0 release made (tests/inputs/release-0.4.0): exported as they always were.
TEST_F(Export, CapturesOfTheReleaseExportByteForByte) {
    std::vector<uint8_t> want;
    for (size_t f = 0; f < 4; ++f)
        for (size_t i = 0; i < 64 * 48 * 2; ++i)
            want.push_back(uint8_t(i * 7 + f * 31 + (i / 128) * 3));
    for (const char* name : {"x64-sync", "x64-fast", "x86-sync", "x86-fast"}) {
        SCOPED_TRACE(name);
        const std::string avi = std::string(KESTRO_RELEASE_INPUTS) + "/" + name + ".avi";
        auto r = RunKestro({"export", avi, "-", "--data", KESTRO_RELEASE_INPUTS});
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_TRUE(std::vector<uint8_t>(r.out.begin(), r.out.end()) == want);
        const std::string out = dir + "/out.mkv";
        r = RunKestro({"export", avi, out, "-q", "--data", KESTRO_RELEASE_INPUTS});
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_TRUE(Decode(out, "yuyv422") == want);
        unlink(out.c_str());
    }
}

TEST_F(Export, AudioIsCopiedSampleForSampleAndVideoKeepsItsRate) {
    RawCapture c;
    c.source = MakeFourcc('Y', 'U', 'Y', '2');
    c.audio = true;
    c.scale = 1001;
    c.rate = 30000;
    c.start = 15; // the video starts half a second after the audio
    const std::string avi = dir + "/take.avi";
    auto plan = MakeRawCapture(c, dir, avi);
    std::vector<uint8_t> samples;
    for (auto& chunk : plan.audio.chunks)
        samples.insert(samples.end(), chunk.begin(), chunk.end());
    for (const char* ext : {"avi", "mkv", "nut"}) {
        const std::string out = dir + "/out." + ext;
        auto r = RunKestro({"export", avi, out, "-q"});
        ASSERT_EQ(r.code, 0) << r.err;
        int status;
        auto audio = Shell("ffmpeg -v error -i '" + out + "' -map 0:a -f s16le -", &status);
        EXPECT_EQ(status, 0);
        EXPECT_TRUE(audio == samples)
            << ext << ": audio differs (" << audio.size() << " vs " << samples.size() << " bytes)";
        auto probe = Shell("ffprobe -v error -select_streams v -show_entries "
                           "stream=r_frame_rate,nb_read_frames -count_frames -of csv=p=0 '" +
                           out + "'");
        EXPECT_EQ(std::string(probe.begin(), probe.end()), "30000/1001,6\n") << ext;
        probe = Shell("ffprobe -v error -select_streams v -show_entries frame=pts_time -of "
                      "csv=p=0 '" +
                      out + "' | head -2");
        // Matroska counts in milliseconds.
        const std::string times =
            std::string(ext) == "mkv" ? "0.501000\n0.534000\n" : "0.500500\n0.533867\n";
        EXPECT_EQ(std::string(probe.begin(), probe.end()), times) << ext;
        unlink(out.c_str());
    }
}

TEST_F(Export, ChainedStreamsKeepTheCodecsPacketsTagAndFormat) {
    // A chained format whose codec ffmpeg knows by its tag, carrying 4 bytes of its own.
    std::vector<uint8_t> chain(44, 0);
    const uint32_t header[] = {44, 66, 48, 0x00180001u, MakeFourcc('M', 'J', 'P', 'G'), 0};
    std::memcpy(chain.data(), header, sizeof header);
    std::memcpy(chain.data() + 40, "\x01\x02\x03\x04", 4);
    synth::AviPlan plan;
    plan.format = synth::StreamFormat(66, 48, MakeFourcc('Y', 'U', 'Y', '2'), 16,
                                      MakeFourcc('M', 'J', 'P', 'G'), chain);
    std::vector<uint8_t> piece, packets;
    for (size_t i = 0; i < 5; ++i) {
        std::vector<uint8_t> packet(100 + i * 37, uint8_t(0x30 + i));
        packet[0] = uint8_t(i);
        plan.records.push_back(
            synth::Record(piece.size(), uint32_t(packet.size()), "d:\\cap\\kestro.000"));
        packets.insert(packets.end(), packet.begin(), packet.end());
        packet.resize(4096, 0);
        piece.insert(piece.end(), packet.begin(), packet.end());
    }
    synth::WriteFile(dir + "/kestro.000", piece);
    synth::WriteFile(dir + "/take.avi", synth::BuildAvi(plan));
    for (const char* ext : {"avi", "mkv", "nut"}) {
        const std::string out = dir + "/out." + ext;
        auto r = RunKestro({"export", dir + "/take.avi", out, "-q"});
        ASSERT_EQ(r.code, 0) << r.err;
        int status;
        auto copied = Shell("ffmpeg -v error -i '" + out + "' -map 0:v -c copy -f data -", &status);
        EXPECT_EQ(status, 0);
        EXPECT_TRUE(copied == packets) << ext << ": packets differ";
        auto probe = Shell("ffprobe -v quiet -show_entries stream=codec_name,width,height,"
                           "extradata_size -of csv=p=0 '" +
                           out + "'");
        EXPECT_EQ(std::string(probe.begin(), probe.end()), "mjpeg,66,48,4\n") << ext;
    }
    auto r = RunKestro({"export", dir + "/take.avi", "-"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("chained"), std::string::npos);
    r = RunKestro({"info", dir + "/take.avi"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("stored: chained codec 'MJPG', its format 'MJPG' 24 bits, 44 bytes"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("frames: 5 (header: 5)"), std::string::npos) << r.out;
}

} // namespace

namespace {

class ExportRun : public ToolTest {};

TEST_F(ExportRun, ProgressOnATerminalOnlyAndNotWithQ) {
    RawCapture c;
    c.source = MakeFourcc('Y', 'U', 'Y', '2');
    c.frames = 5;
    MakeRawCapture(c, dir, dir + "/take.avi");
    const std::string export_ = "'" KESTRO_TOOL "' export '" + dir + "/take.avi' '" + dir;
    // `script` gives the tool a terminal; its output is what the terminal showed.
    int status;
    auto shown = Shell("script -qec \"" + export_ + "/a.avi'\" /dev/null", &status);
    ASSERT_EQ(status, 0);
    const std::string text(shown.begin(), shown.end());
    EXPECT_NE(text.find("frame 5/5"), std::string::npos) << text;
    EXPECT_NE(text.find("MB/s"), std::string::npos) << text;
    EXPECT_NE(text.find("s left"), std::string::npos) << text;
    shown = Shell("script -qec \"" + export_ + "/b.avi' -q\" /dev/null", &status);
    EXPECT_EQ(std::string(shown.begin(), shown.end()).find("frame "), std::string::npos);
    shown = Shell(export_ + "/c.avi' 2>&1", &status);
    const std::string piped(shown.begin(), shown.end());
    EXPECT_EQ(piped.find("frame "), std::string::npos) << "not a terminal: " << piped;
}

TEST_F(ExportRun, InterruptedExportLeavesNoFile) {
    // Many records of one large picture: long enough to be interrupted once its output exists.
    const uint32_t bytes = 1920 * 1080 * 2;
    synth::WriteFile(dir + "/kestro.000", std::vector<uint8_t>(bytes, 0x80));
    synth::AviPlan plan;
    plan.format = synth::StreamFormat(1920, 1080, MakeFourcc('Y', 'U', 'Y', '2'), 16);
    for (int i = 0; i < 1000; ++i)
        plan.records.push_back(synth::Record(0, bytes, "c:\\kestro.000"));
    synth::WriteFile(dir + "/take.avi", synth::BuildAvi(plan));
    int status;
    Shell("'" KESTRO_TOOL "' export '" + dir + "/take.avi' '" + dir +
              "/out.mkv' -q & pid=$!; for i in $(seq 200); do ls -A '" + dir +
              "' | grep -q kestro- && break; sleep 0.05; done; kill -INT $pid; wait $pid; "
              "echo $? > '" +
              dir + "/code'",
          &status);
    auto code = synth::ReadFile(dir + "/code");
    EXPECT_EQ(std::string(code.begin(), code.end()), "130\n");
    auto left = Shell("ls -A '" + dir + "'");
    EXPECT_EQ(std::string(left.begin(), left.end()), "code\nkestro.000\ntake.avi\n");
}

// Every command ends within a second of SIGINT, SIGTERM or SIGHUP, with exit code 130 and nothing
// left that looks like an output; a second signal ends it at once.
TEST_F(ExportRun, EveryCommandEndsWithinASecondOfASignalLeavingNothing) {
    // A million records of one small picture keep info, verify and relink busy for seconds;
    // large pictures keep an export busy.
    synth::WriteFile(dir + "/kestro.000", std::vector<uint8_t>(640 * 480 * 2, 0x80));
    synth::AviPlan plan;
    plan.format = synth::StreamFormat(16, 8, MakeFourcc('Y', 'U', 'Y', '2'), 16);
    plan.records.assign(1000000, synth::Record(0, 256, "c:\\capture\\kestro.000"));
    const auto many = synth::BuildAvi(plan);
    synth::WriteFile(dir + "/many.avi", many);
    plan.format = synth::StreamFormat(640, 480, MakeFourcc('Y', 'U', 'Y', '2'), 16);
    plan.records.assign(3000, synth::Record(0, 640 * 480 * 2, "c:\\capture\\kestro.000"));
    synth::WriteFile(dir + "/wide.avi", synth::BuildAvi(plan));
    const std::string many_ = dir + "/many.avi", wide = dir + "/wide.avi";
    // What is timed is the tool's own way out. A sanitizer build's leak check then walks the
    // heap of a million records' work, seconds that no release build spends.
    const char* sanitizerOptions = std::getenv("ASAN_OPTIONS");
    const std::string keptOptions = sanitizerOptions ? sanitizerOptions : "";
    setenv("ASAN_OPTIONS",
           (keptOptions + (keptOptions.empty() ? "" : ":") + "detect_leaks=0").c_str(), 1);
    struct PutBack {
        std::string options;
        bool had;
        ~PutBack() {
            if (had)
                setenv("ASAN_OPTIONS", options.c_str(), 1);
            else
                unsetenv("ASAN_OPTIONS");
        }
    } putBack{keptOptions, sanitizerOptions != nullptr};
    // Read here, not by a shell: a relink's temporary may live for less than a shell's start on a
    // loaded machine, and a poll that misses it sees the work already done.
    auto temporaryExists = [&] {
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(dir, ec))
            if (e.path().filename().string().find("kestro-") != std::string::npos)
                return true;
        return false;
    };
    struct Row {
        const char* label;
        std::vector<std::string> args;
        std::vector<int> signals; // sent while the tool is stopped, then it goes on
        bool toPipe;              // standard output into a pipe nobody reads
        bool waitForTemporary;    // else: until the AVI is open
    };
    const Row rows[] = {
        {"export to mkv, SIGTERM",
         {"export", wide, dir + "/out.mkv", "-q"},
         {SIGTERM},
         false,
         true},
        {"export to nut, SIGHUP", {"export", wide, dir + "/out.nut", "-q"}, {SIGHUP}, false, true},
        // The pipe is full: the write waits, and a signal must end the wait.
        {"export to a stuck pipe, SIGINT", {"export", wide, "-"}, {SIGINT}, true, false},
        {"info, SIGINT", {"info", many_}, {SIGINT}, false, false},
        {"verify, SIGTERM", {"verify", many_}, {SIGTERM}, false, false},
        {"relink into a new file, SIGTERM",
         {"relink", many_, "--to", "e:\\a much longer folder\\kestro", "-o", dir + "/new.avi"},
         {SIGTERM},
         false,
         true},
        {"relink in place, SIGINT",
         {"relink", many_, "--to", "e:\\k\\kestro"},
         {SIGINT},
         false,
         false},
        {"export, a second signal",
         {"export", wide, dir + "/out.avi", "-q"},
         {SIGINT, SIGTERM},
         false,
         true},
    };
    for (const Row& row : rows) {
        int pipeFds[2] = {-1, -1};
        if (row.toPipe) {
            ASSERT_EQ(0, pipe(pipeFds));
        }
        const pid_t pid = SpawnKestro(row.args, dir + "/stdout", dir + "/stderr", pipeFds[1]);
        ASSERT_GT(pid, 0);
        if (row.toPipe)
            close(pipeFds[1]);
        const bool busy = WaitUntil(
            [&] { return row.waitForTemporary ? temporaryExists() : HasOpen(pid, row.args[1]); },
            20);
        usleep(row.toPipe ? 200000 : 50000); // into the write that waits, or into the work
        EXPECT_TRUE(busy) << row.label;
        if (row.signals.size() > 1)
            kill(pid, SIGSTOP);
        for (int signal : row.signals)
            kill(pid, signal);
        if (row.signals.size() > 1)
            kill(pid, SIGCONT);
        double took = 0;
        const int code = WaitForExit(pid, 10, &took);
        if (row.toPipe)
            close(pipeFds[0]);
        auto err = synth::ReadFile(dir + "/stderr");
        const std::string said(err.begin(), err.end());
        EXPECT_EQ(code, 130) << row.label << ": " << said;
        EXPECT_LT(took, 1.0) << row.label;
        EXPECT_NE(said.find(row.signals.size() > 1 ? "kestro: interrupted again; stopped at once"
                                                   : "kestro: interrupted; "),
                  std::string::npos)
            << row.label << ": " << said;
        auto left = Shell("cd '" + dir + "' && ls -A | grep -v -x -e kestro.000 -e many.avi -e " +
                          "wide.avi -e stdout -e stderr -e many.avi.bak || true");
        EXPECT_EQ(std::string(left.begin(), left.end()), "") << row.label;
        // An in-place relink stops before the backup is whole (nothing changed) or after it.
        struct stat st;
        if (stat((many_ + ".bak").c_str(), &st) == 0) {
            EXPECT_TRUE(synth::ReadFile(many_ + ".bak") == many) << row.label;
            unlink((many_ + ".bak").c_str());
            synth::WriteFile(many_, many);
        } else {
            EXPECT_TRUE(synth::ReadFile(many_) == many) << row.label;
        }
    }
}

} // namespace

namespace {

class ExportChained : public ToolTest {};

// MS RLE (the codec Wine ships) decodes only with the bit depth of its bitmap header: AVI and
// Matroska keep that header, NUT and MOV do not, so those exports are refused, leaving nothing.
TEST_F(ExportChained, RleCarriedWhereItsHeaderGoesAndRefusedElsewhere) {
    std::vector<uint8_t> chain(40 + 1024, 0);
    const uint32_t header[] = {40, 8, 2, 0x00080001u, 1 /* BI_RLE8 */, 0, 0, 0, 256, 0};
    std::memcpy(chain.data(), header, sizeof header);
    for (int i = 0; i < 256; ++i) { // blue, green, red, 0
        chain[40 + 4 * i] = uint8_t(i);
        chain[41 + 4 * i] = uint8_t(255 - i);
        chain[42 + 4 * i] = uint8_t(i * 3);
    }
    synth::AviPlan plan;
    plan.format = synth::StreamFormat(8, 2, 0, 8, MakeFourcc('M', 'R', 'L', 'E'), chain);
    std::vector<uint8_t> piece;
    std::vector<uint8_t> want;
    for (uint8_t i = 0; i < 3; ++i) {
        // Bottom row colour 5 + i, top row colour 7 + i, then the end of the picture.
        const uint8_t rle[] = {8, uint8_t(5 + i), 0, 0, 8, uint8_t(7 + i), 0, 1};
        plan.records.push_back(synth::Record(piece.size(), sizeof rle, "c:\\kestro.000"));
        piece.insert(piece.end(), rle, rle + sizeof rle);
        piece.resize(piece.size() + 4096 - sizeof rle);
        for (uint8_t colour : {uint8_t(7 + i), uint8_t(5 + i)})
            for (int x = 0; x < 8; ++x)
                want.insert(want.end(), {colour, uint8_t(255 - colour), uint8_t(colour * 3)});
    }
    synth::WriteFile(dir + "/kestro.000", piece);
    synth::WriteFile(dir + "/take.avi", synth::BuildAvi(plan));
    for (const char* ext : {"avi", "mkv"}) {
        const std::string out = dir + "/out." + ext;
        auto r = RunKestro({"export", dir + "/take.avi", out, "-q"});
        ASSERT_EQ(r.code, 0) << r.err;
        int status;
        auto got = Shell("ffmpeg -v error -i '" + out + "' -f rawvideo -pix_fmt bgr24 -", &status);
        EXPECT_EQ(status, 0);
        EXPECT_TRUE(got == want) << ext;
    }
    for (const char* ext : {"nut", "mov"}) {
        auto r = RunKestro({"export", dir + "/take.avi", dir + "/refused." + ext, "-q"});
        EXPECT_EQ(r.code, 2) << ext;
        EXPECT_NE(r.err.find("msrle pictures need the bit depth"), std::string::npos) << r.err;
        auto left = Shell("ls -A '" + dir + "' | grep refused || true");
        EXPECT_TRUE(left.empty()) << ext;
    }
}

} // namespace
