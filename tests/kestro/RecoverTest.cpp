// recover on captures whose writer died: a table of what crashed writers leave (cut, zeroed,
// unsized, unindexed), random cuts, and what info, verify and export say about such a file.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>

#include "AviRecords.h"
#include "RecoverScan.h"
#include "ToolFixture.h"
#include "pure/Fourcc.h"
#include "pure/TakeFile.h"

using namespace kestro;

namespace {

// Where the parts of a built capture lie.
struct Parts {
    size_t moviList = 0; // offset of "LIST" of the movi list
    size_t idx1 = 0;
    std::vector<size_t> records; // chunk offsets of the frame records
    std::vector<size_t> recordEnds;
};

class MemoryBytes : public avi::ByteFile {
public:
    explicit MemoryBytes(const std::vector<uint8_t>& b) : bytes_(b) {}
    uint64_t Size() override { return bytes_.size(); }
    bool ReadAt(uint64_t offset, void* data, size_t n) override {
        if (offset > bytes_.size() || n > bytes_.size() - offset)
            return false;
        std::memcpy(data, bytes_.data() + offset, n);
        return true;
    }
    bool WriteAt(uint64_t, const void*, size_t) override { return false; }

private:
    const std::vector<uint8_t>& bytes_;
};

Parts Locate(const std::vector<uint8_t>& avi) {
    Parts p;
    for (size_t i = 0; i + 12 <= avi.size(); ++i) {
        if (!p.moviList && std::memcmp(&avi[i], "LIST", 4) == 0 &&
            std::memcmp(&avi[i + 8], "movi", 4) == 0)
            p.moviList = i;
        if (std::memcmp(&avi[i], "idx1", 4) == 0)
            p.idx1 = i;
    }
    MemoryBytes file(avi);
    std::string error;
    auto layout = avi::ReadAviLayout(file, true, error);
    EXPECT_TRUE(layout) << error;
    if (layout)
        avi::ForEachStreamChunk(
            file, *layout, layout->kestStream,
            [&](const avi::RecordChunk& c) {
                p.records.push_back(c.chunkOffset);
                p.recordEnds.push_back(c.chunkOffset + 8 + c.chunkSize);
                return true;
            },
            error);
    return p;
}

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

class Recover : public ToolTest {
protected:
    // Every frame of the recovered AVI, through export, is the input frame of its index; verify
    // passes on it.
    void ExpectFrames(const RawCapture& c, const std::string& out, size_t frames,
                      const std::string& label, size_t zeroed = 0) {
        auto r = RunKestro({"verify", out});
        EXPECT_EQ(r.code, 0) << label << ": " << r.err;
        EXPECT_NE(r.out.find(": " + std::to_string(frames) + " frames"), std::string::npos)
            << label << ": " << r.out;
        const std::string mkv = dir + "/out.mkv";
        r = RunKestro({"export", out, mkv, "-q"});
        ASSERT_EQ(r.code, 0) << label << ": " << r.err;
        int status = 0;
        auto got = Shell("ffmpeg -v error -i '" + mkv + "' -map 0:v -f rawvideo -pix_fmt " +
                             (c.source ? "yuyv422" : "bgr24") + " -",
                         &status);
        std::vector<uint8_t> want;
        for (size_t i = 0; i < frames; ++i) {
            auto f =
                i + zeroed < frames ? UprightFrame(c, i) : std::vector<uint8_t>(StoredBytes(c));
            want.insert(want.end(), f.begin(), f.end());
        }
        EXPECT_EQ(got.size(), want.size()) << label;
        EXPECT_TRUE(got == want) << label << ": frames differ";
        unlink(mkv.c_str());
    }
    // The audio of the output: the first `chunks` chunks of the capture, sample for sample.
    void ExpectAudio(const std::string& file, size_t chunks) {
        int status = 0;
        auto got = Shell("ffmpeg -v error -i '" + file + "' -map 0:a -f s16le -", &status);
        std::vector<uint8_t> want;
        for (size_t i = 0; i < chunks; ++i)
            for (size_t k = 0; k < 1600 * 4; ++k) // as MakeRawCapture writes them
                want.push_back(uint8_t(k * 31 + i * 7));
        EXPECT_EQ(got.size(), want.size());
        EXPECT_TRUE(got == want) << "audio differs";
    }
};

struct Damage {
    const char* name;
    std::function<void(std::vector<uint8_t>&, const Parts&)> apply = {};          // to the AVI
    std::function<void(const std::string& dir, const RawCapture& c)> beside = {}; // to the pieces
    std::vector<std::string> args = {};
    const char* said = ""; // in the report (standard output) or the refusal (standard error)
    int code = 0;
    size_t lost = 0;               // frames not recovered, from the end
    bool audio = false;            // the capture has an audio stream
    int64_t audioKept = -1;        // audio chunks in the output; -1: not looked at
    int32_t width = 0, height = 0; // 0: the default size
    size_t keptZero = 0;           // frames at the end recovered as the zeros they are
};

void ZeroHeader(std::vector<uint8_t>& b, const Parts& p) {
    std::fill(b.begin(), b.begin() + long(p.moviList), 0);
}

void WriteTake(const std::string& dir, const RawCapture& c) {
    TakeFile take;
    take.id = 0xCDCDCDCDu; // what the synthesized records hold
    take.started = "2026-12-09T10:11:12Z";
    take.streamFormat = synth::StreamFormat(c.width, c.height, c.source, c.bits);
    synth::WriteFile(dir + "/kestro.take", [&] {
        auto text = FormatTakeFile(take);
        return std::vector<uint8_t>(text.begin(), text.end());
    }());
}

// The last two frames' bytes in their piece (frames 4 to 6 lie in piece 1): zeros, as writes
// that never reached the disk.
void ZeroLastTwoFrames(const std::string& dir, const RawCapture& c) {
    const std::string piece = dir + "/kestro.001";
    auto bytes = synth::ReadFile(piece);
    const size_t span = (size_t(c.width) * 2 * size_t(c.height) + 4095) & ~size_t(4095);
    std::fill(bytes.begin() + long(span), bytes.end(), 0);
    synth::WriteFile(piece, bytes);
}

const Damage kDamages[] = {
    {.name = "closed and whole", .said = "from the header", .audio = true, .audioKept = 7},
    {.name = "RIFF and movi sizes 0",
     .apply = [](auto& b, const Parts& p) { Put32(b, 4, 0), Put32(b, p.moviList + 4, 0); },
     .said = "from the header",
     .audio = true,
     .audioKept = 7},
    {.name = "RIFF and movi sizes past the end",
     .apply =
         [](auto& b, const Parts& p) {
             Put32(b, 4, 0xFFFFFFF0u), Put32(b, p.moviList + 4, 0x7FFFFFF0u);
         },
     .said = "7 pass every check"},
    {.name = "no idx1",
     .apply = [](auto& b, const Parts& p) { b.resize(p.idx1); },
     .said = "frames: 7 recovered",
     .audio = true,
     .audioKept = 7},
    {.name = "last record cut short",
     .apply = [](auto& b, const Parts& p) { b.resize(p.records.back() + 8 + 5); },
     .said = "the file ends inside it",
     .lost = 1},
    {.name = "cut inside record 3, the audio before it kept",
     .apply = [](auto& b, const Parts& p) { b.resize(p.records[3] + 11); },
     .said = "frames: 3 recovered",
     .lost = 4,
     .audio = true,
     .audioKept = 3},
    {.name = "header zeroed, format given",
     .apply = ZeroHeader,
     .args = {"--format", "yuy2", "--size", "66x48", "--rate", "25"},
     .said = "from the command line; 25/1",
     .audio = true},
    {.name = "header zeroed, take file beside",
     .apply = ZeroHeader,
     .beside = WriteTake,
     .said = "from the take file"},
    {.name = "header zeroed, nothing says the format",
     .apply = ZeroHeader,
     .said = "Say which with --format",
     .code = 2},
    {.name = "header zeroed, 320x240 frames",
     .apply = ZeroHeader,
     .said = "inferred from the frame size: 320x240 yuy2",
     .width = 320,
     .height = 240},
    {.name = "the last two writes never reached the disk",
     .beside = ZeroLastTwoFrames,
     .said = "reads all zero",
     .lost = 2},
    {.name = "zero frames kept when asked",
     .beside = ZeroLastTwoFrames,
     .args = {"--keep-zero-frames"},
     .said = "frames: 7 recovered",
     .keptZero = 2},
    {.name = "a piece gone",
     .beside = [](const std::string& dir,
                  const RawCapture&) { unlink((dir + "/kestro.001").c_str()); },
     .said = "piece not found",
     .lost = 3},
};

TEST_F(Recover, WhatCrashedWritersLeaveIsRebuiltFromTheRecordsWhollyThere) {
    for (const Damage& d : kDamages) {
        SCOPED_TRACE(d.name);
        RawCapture c;
        c.source = MakeFourcc('Y', 'U', 'Y', '2');
        c.frames = 7;
        c.framesPerPiece = 4;
        c.audio = d.audio;
        if (d.width)
            c.width = d.width, c.height = d.height;
        const std::string in = dir + "/take.avi", out = dir + "/recovered.avi";
        MakeRawCapture(c, dir, in);
        auto bytes = synth::ReadFile(in);
        const Parts parts = Locate(bytes);
        if (d.apply)
            d.apply(bytes, parts);
        synth::WriteFile(in, bytes);
        size_t present = 0; // records wholly in the damaged file
        for (size_t end : parts.recordEnds)
            present += end <= bytes.size();
        if (d.beside)
            d.beside(dir, c);
        std::vector<std::string> args{"recover", in, "-o", out};
        args.insert(args.end(), d.args.begin(), d.args.end());
        auto r = RunKestro(args);
        ASSERT_EQ(r.code, d.code) << r.out << r.err;
        EXPECT_NE((r.out + r.err).find(d.said), std::string::npos) << r.out << r.err;
        EXPECT_TRUE(synth::ReadFile(in) == bytes) << "the input changed";
        struct stat st;
        if (d.code != 0) {
            EXPECT_NE(stat(out.c_str(), &st), 0) << "a refused recover left an output";
        } else {
            ExpectFrames(c, out, c.frames - d.lost, d.name, d.keptZero);
            if (d.audioKept >= 0) {
                ExpectAudio(out, size_t(d.audioKept));
            }
            // Never over an existing file.
            r = RunKestro(args);
            EXPECT_EQ(r.code, 2);
            EXPECT_NE(r.err.find("exists already"), std::string::npos) << r.err;
        }
        for (const char* command : {"info", "verify", "export"}) {
            if (!d.apply || d.code != 0)
                break;
            auto said = std::string(command) == "export" ? RunKestro({command, in, dir + "/x.mkv"})
                                                         : RunKestro({command, in});
            EXPECT_NE(said.code, 0) << command;
            EXPECT_NE(said.err.find("the AVI was not closed by the program that wrote it; "
                                    "`kestro recover` rebuilds it from its " +
                                    std::to_string(present) + " frame records"),
                      std::string::npos)
                << command << ": " << said.err;
        }
        std::system(("rm -f '" + dir + "'/*").c_str());
    }
}

// Millions of tiny chunks of the records' own id after the records: recover keeps the records it
// rebuilds and only counts the rest, so that the memory it holds does not grow with the chunks it
// scans (it once held some 200 bytes for each).
TEST_F(Recover, ChunksItScansButCannotKeepAreCountedNotHeld) {
    RawCapture c;
    c.source = MakeFourcc('Y', 'U', 'Y', '2');
    c.frames = 4;
    MakeRawCapture(c, dir, dir + "/take.avi");
    const auto bytes = synth::ReadFile(dir + "/take.avi");
    const Parts parts = Locate(bytes);
    ASSERT_EQ(parts.records.size(), 4u);
    // As a crashed writer leaves it: no sizes, no index.
    std::vector<uint8_t> head(bytes.begin(), bytes.begin() + long(parts.idx1));
    Put32(head, 4, 0);
    Put32(head, parts.moviList + 4, 0);
    const std::vector<uint8_t> tiny = {bytes[parts.records[0]],
                                       bytes[parts.records[0] + 1],
                                       bytes[parts.records[0] + 2],
                                       bytes[parts.records[0] + 3],
                                       0,
                                       0,
                                       0,
                                       0};
    const size_t counts[2] = {10000, 1500000};
    long peakKb[2] = {0, 0};
    for (int k = 0; k < 2; ++k) {
        std::vector<uint8_t> file = head;
        file.reserve(head.size() + tiny.size() * counts[k]);
        for (size_t i = 0; i < counts[k]; ++i)
            file.insert(file.end(), tiny.begin(), tiny.end());
        const std::string in = dir + "/tiny.avi", out = dir + "/out" + std::to_string(k) + ".avi";
        synth::WriteFile(in, file);
        const pid_t pid =
            SpawnKestro({"recover", in, "-o", out}, dir + "/said.txt", dir + "/err.txt");
        ASSERT_GT(pid, 0);
        ASSERT_EQ(WaitForExit(pid, 600, nullptr, &peakKb[k]), 0);
        const auto said = synth::ReadFile(dir + "/said.txt");
        const std::string report(said.begin(), said.end());
        EXPECT_NE(report.find("records: " + std::to_string(counts[k] + 4) + " chunks"),
                  std::string::npos)
            << report;
        EXPECT_NE(report.find("frames: 4 recovered"), std::string::npos) << report;
    }
    const double perChunk = double(peakKb[1] - peakKb[0]) * 1024 / double(counts[1] - counts[0]);
    EXPECT_LT(perChunk, 16.0) << "bytes held for each chunk scanned (" << peakKb[0]
                              << " KiB at most, then " << peakKb[1] << " KiB)";
}

// Cuts at random lengths: recover ends with 0 and exactly the records wholly present, or with a
// refusal when none is.
TEST_F(Recover, RandomCutsRecoverExactlyTheRecordsWhollyPresent) {
    RawCapture c;
    c.source = MakeFourcc('Y', 'U', 'Y', '2');
    c.width = 16;
    c.height = 8;
    c.frames = 300;
    c.framesPerPiece = 300;
    c.audio = true;
    const std::string in = dir + "/take.avi", cut = dir + "/cut.avi", out = dir + "/out.avi";
    MakeRawCapture(c, dir, in);
    const auto whole = synth::ReadFile(in);
    const Parts parts = Locate(whole);
    const char* env = std::getenv("KESTRO_RECOVER_CUTS");
    const int cuts = env ? std::atoi(env) : LongCount(300, 3000);
    std::mt19937_64 random(20261209);
    size_t done = 0, refused = 0;
    for (int k = 0; k < cuts; ++k) {
        // The first two at the edge that a few hundred random ones seldom meet: one byte short of
        // the first whole record, and that record just whole.
        const size_t first = parts.recordEnds.front();
        const size_t at = k < 2 ? first - 1 + size_t(k) : size_t(random() % (whole.size() + 1));
        synth::WriteFile(cut, std::vector<uint8_t>(whole.begin(), whole.begin() + long(at)));
        size_t present = 0;
        while (present < parts.recordEnds.size() && parts.recordEnds[present] <= at)
            ++present;
        auto r = RunKestro({"recover", cut, "-o", out, "-q"});
        if (present == 0) {
            ASSERT_NE(r.code, 0) << "cut at " << at;
            ++refused;
            continue;
        }
        ASSERT_EQ(r.code, 0) << "cut at " << at << ": " << r.err;
        ASSERT_NE(r.out.find("frames: " + std::to_string(present) + " recovered"),
                  std::string::npos)
            << "cut at " << at << ": " << r.out;
        auto again = synth::ReadFile(out);
        MemoryBytes rebuilt(again);
        std::string error;
        auto layout = avi::ReadAviLayout(rebuilt, true, error);
        ASSERT_TRUE(layout) << "cut at " << at << ": " << error;
        EXPECT_EQ(layout->totalFrames, present);
        unlink(out.c_str());
        ++done;
    }
    std::printf("%d cuts: %zu recovered, %zu refused (no record wholly present)\n", cuts, done,
                refused);
    EXPECT_GT(done, size_t(cuts) * 8 / 10);
}

} // namespace

// A file seen only up to `size`: the cuts of a large input without copying it.
class Clipped : public avi::ByteFile {
public:
    Clipped(avi::ByteFile& file, uint64_t size) : file_(file), size_(size) {}
    uint64_t Size() override { return size_; }
    bool ReadAt(uint64_t offset, void* data, size_t n) override {
        return offset <= size_ && n <= size_ - offset && file_.ReadAt(offset, data, n);
    }
    bool WriteAt(uint64_t, const void*, size_t) override { return false; }

private:
    avi::ByteFile& file_;
    uint64_t size_;
};

class FdBytes : public avi::ByteFile {
public:
    explicit FdBytes(int fd) : fd_(fd) {}
    uint64_t Size() override {
        struct stat st;
        return fstat(fd_, &st) == 0 ? uint64_t(st.st_size) : 0;
    }
    bool ReadAt(uint64_t offset, void* data, size_t n) override {
        return pread(fd_, data, n, off_t(offset)) == ssize_t(n);
    }
    bool WriteAt(uint64_t, const void*, size_t) override { return false; }

private:
    int fd_;
};

// FFmpeg's AVI muxer past 1 GiB (a second RIFF 'AVIX', OpenDML indexes): the capture's records
// beside 1.1 GB of pictures of another stream, cut at random lengths. The scan finds exactly the
// records wholly present; recover writes them (KESTRO_RECOVER_CUTS sets how many cuts).
TEST(LargeRecover, FfmpegOpenDmlCutAtRandomLengths) {
    const char* shm = "/dev/shm";
    struct statvfs fs;
    if (statvfs(shm, &fs) != 0 || uint64_t(fs.f_bavail) * fs.f_frsize < (3ull << 30))
        GTEST_SKIP() << "not enough room on " << shm;
    char name[] = "/dev/shm/kestro-recover-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    const std::string dir = name;
    const size_t frames = 400;
    const uint32_t bytes = 16 * 8 * 2;
    std::vector<uint8_t> piece(4096 + frames * 4096);
    synth::AviPlan plan;
    plan.format = synth::StreamFormat(16, 8, MakeFourcc('Y', 'U', 'Y', '2'), 16);
    for (size_t i = 0; i < frames; ++i) {
        std::fill_n(piece.begin() + long(4096 + i * 4096), bytes, uint8_t(i + 1));
        plan.records.push_back(synth::Record(4096 + i * 4096, bytes, "z:\\x\\kestro.000"));
    }
    synth::WriteFile(dir + "/kestro.000", piece);
    synth::WriteFile(dir + "/small.avi", synth::BuildAvi(plan));
    int status = 0;
    Shell("ffmpeg -v error -y -i '" + dir + "/small.avi' -f lavfi -t " +
              std::to_string(frames / 30 + 1) + " -i color=s=1920x1080:r=30 " +
              "-map 0:v -map 1:v -c:v:0 copy -c:v:1 rawvideo -f avi '" + dir + "/big.avi'",
          &status);
    ASSERT_EQ(status, 0);
    const int fd = open((dir + "/big.avi").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    FdBytes big(fd);
    ASSERT_GT(big.Size(), 1ull << 30);
    std::vector<uint64_t> ends; // of the records' chunks
    const auto visit = [&](const avi::ScannedChunk& c, const avi::AviScan&) {
        if (c.id == MakeFourcc("00dc"))
            ends.push_back(c.offset + 8 + c.size);
    };
    EXPECT_TRUE(avi::ScanAvi(big, visit).closed);
    ASSERT_EQ(ends.size(), frames);
    ASSERT_GT(ends.back(), 1ull << 30) << "the last records lie in the AVIX part";
    auto accept = [](const FrameRecordView&) { return std::optional<std::string>(); };
    const char* env = std::getenv("KESTRO_RECOVER_CUTS");
    const int cuts = env ? std::atoi(env) / 10 + 1 : 100;
    std::mt19937_64 random(1209);
    for (int k = 0; k < cuts; ++k) {
        const uint64_t at = random() % (big.Size() + 1);
        Clipped cut(big, at);
        avi::AviScan scan;
        const auto stream = avi::FindRecords(cut, scan, false, accept);
        const size_t present =
            size_t(std::upper_bound(ends.begin(), ends.end(), at) - ends.begin());
        ASSERT_EQ(stream.passed, present) << "cut at " << at;
        EXPECT_EQ(avi::RecoverableRun(stream, true, 0, nullptr).frames, present) << at;
    }
    // One real cut inside the AVIX part through the tool: the frames there are recovered too.
    const uint64_t at = (ends[frames - 2] + ends[frames - 1]) / 2;
    ASSERT_EQ(truncate((dir + "/big.avi").c_str(), off_t(at)), 0);
    auto r = RunKestro({"recover", dir + "/big.avi", "-o", dir + "/back.avi"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("frames: " + std::to_string(frames - 1) + " recovered"), std::string::npos)
        << r.out;
    r = RunKestro({"export", dir + "/back.avi", "-"});
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_EQ(r.out.size(), (frames - 1) * bytes);
    for (size_t i = 0; i + 1 < frames; ++i)
        ASSERT_EQ(uint8_t(r.out[i * bytes]), uint8_t(i + 1)) << "frame " << i;
    close(fd);
    std::system(("rm -rf '" + dir + "'").c_str());
}
