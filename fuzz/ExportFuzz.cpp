// The `kestro` tool in-process on a capture synthesized from the input (stream header numbers,
// stream format, pieces, audio and every record chunk as given), exported to every container, to
// the pipe, or inspected. Besides the sanitizers: the exit code is one the tool documents, a
// failed export leaves nothing in the output folder, a finished one is a file the demuxer opens
// with the picture size of the stream, and the pipe carries whole pictures.
extern "C" {
#include <libavformat/avformat.h>
}

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CaptureInput.h"
#include "Kestro.h"
#include "SynthAvi.h"
#include "pure/PixelFormats.h"
#include "pure/PixelKind.h"
#include "pure/StreamFormat.h"

using namespace fuzz;

namespace {

std::string gRoot; // a tmpfs folder of this process
int gRootFd = -1;

// The tool runs inside the scratch folder and is given names relative to it: the folder's random
// name would otherwise reach its messages and comparisons, and two runs from one seed would not
// make the same inputs. libFuzzer's own names (inputs, corpus, findings) are read and written
// between inputs, in the folder the run was started in.
class InScratchFolder {
public:
    InScratchFolder() : back_(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        FUZZ_CHECK(back_ >= 0 && fchdir(gRootFd) == 0, "cannot enter the scratch folder");
    }
    ~InScratchFolder() {
        FUZZ_CHECK(fchdir(back_) == 0, "cannot leave the scratch folder");
        close(back_);
    }
    InScratchFolder(const InScratchFolder&) = delete;
    InScratchFolder& operator=(const InScratchFolder&) = delete;

private:
    int back_;
};

// KESTRO_FUZZ_KEEP=1 keeps the folder of the last input, to run the tool on it by hand.
void RemoveTree() {
    if (!gRoot.empty() && !std::getenv("KESTRO_FUZZ_KEEP"))
        std::system(("rm -rf '" + gRoot + "'").c_str());
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    FUZZ_CHECK(fd >= 0, path);
    FUZZ_CHECK(bytes.empty() || write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size()),
               path);
    close(fd);
}

std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

void EmptyFolder(const std::string& dir) {
    for (const auto& name : Entries(dir))
        unlink((dir + "/" + name).c_str());
}

int Run(std::vector<std::string> args, int stdoutFd) {
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::fflush(stdout);
    const int saved = dup(1);
    dup2(stdoutFd, 1);
    const int code = kestro::tool::Main(int(args.size()), argv.data());
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    return code;
}

// Bytes of one picture on the pipe (packed rows), 0 when the format is not a raw one the tool
// exports.
uint64_t PipePictureBytes(const std::vector<uint8_t>& format) {
    if (format.size() < kestro::kStreamHeaderBytes)
        return 0;
    auto f = kestro::ReadStreamFormat(format.data());
    if (!f || f->biChainHandler || f->biWidth <= 0)
        return 0;
    const uint64_t w = uint64_t(f->biWidth);
    const uint64_t h = kestro::AbsoluteHeight(f->biHeight);
    const kestro::PixelFormat* facts =
        kestro::FormatOf(kestro::ClassifyPixelKind(f->biSourceCompression, f->biBitCount));
    if (!facts || !facts->ffmpegName)
        return 0;
    // A planar picture is its planes (3/2 bytes a pixel at 4:2:0), a packed one its rows.
    if (facts->layout == kestro::Layout::Planar)
        return uint64_t(w * h * facts->bitCount / 8);
    return kestro::PackedRowBytes(*facts, uint32_t(w)) * h;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char name[] = "/dev/shm/kestro-fuzz-XXXXXX";
    if (!mkdtemp(name)) {
        std::strcpy(name, "/tmp/kestro-fuzz-XXXXXX");
        FUZZ_CHECK(mkdtemp(name), "no scratch folder");
    }
    gRoot = name;
    if (std::getenv("KESTRO_FUZZ_KEEP"))
        std::fprintf(stderr, "fuzz_export: the captures are made in %s\n", name);
    std::atexit(RemoveTree);
    for (const char* sub : {"/avi", "/pieces", "/out", "/prefix", "/prefix/dosdevices"})
        mkdir((gRoot + sub).c_str(), 0755);
    FUZZ_CHECK(symlink("../../pieces", (gRoot + "/prefix/dosdevices/c:").c_str()) == 0,
               "drive link");
    gRootFd = open(name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    FUZZ_CHECK(gRootFd >= 0, "cannot open the scratch folder");
    unsetenv("WINEPREFIX");
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const InScratchFolder inside;
    Reader reader(data, size);
    CaptureInput c = CaptureInput::Read(reader);

    // Keeps each run short: pictures beyond 4 MiB, which the tool would buffer and the pieces
    // would have to hold, teach nothing that small ones do not. The tool's own limits (65536
    // pixels a side, 1 GiB a picture) still meet the headers that pass here.
    if (c.format.size() >= 12) {
        int32_t w, h;
        std::memcpy(&w, c.format.data() + 4, 4);
        std::memcpy(&h, c.format.data() + 8, 4);
        const uint64_t aw = w < 0 ? uint64_t(-int64_t(w)) : uint64_t(w);
        const uint64_t ah = h < 0 ? uint64_t(-int64_t(h)) : uint64_t(h);
        if (aw <= 65536 && ah <= 65536 && aw * ah * 4 > (4u << 20))
            return -1;
    }

    synth::AviPlan plan;
    plan.format = c.format;
    if (plan.format.size() < 12)
        plan.format.resize(12, 0); // the synthesizer reads the picture size from it
    plan.scale = c.scale;
    plan.rate = c.rate;
    plan.start = c.start;
    if (c.flags & CaptureInput::kLength)
        plan.length = c.length;
    plan.records = c.records;
    plan.recLists = c.flags & CaptureInput::kRecLists;
    plan.idx1 = c.flags & CaptureInput::kIdx1;
    plan.odml = c.flags & CaptureInput::kOdml;
    if (c.flags & CaptureInput::kAudio) {
        plan.withAudio = true;
        plan.audio.channels = uint16_t(1 + c.channels % 8);
        plan.audio.bitsPerSample = uint16_t(8 * (1 + c.bitsPerSample % 4));
        plan.audio.sampleRate = c.sampleRate;
        for (size_t i = 0; i < c.audioChunks.size(); ++i)
            plan.audio.chunks.push_back(
                std::vector<uint8_t>(c.audioChunks[i] % 8192, uint8_t(i * 37 + c.pattern)));
    }
    std::vector<uint8_t> avi = synth::BuildAvi(plan);
    if ((c.flags & CaptureInput::kCut) && c.cutAt < avi.size())
        avi.resize(c.cutAt);

    const std::string aviPath = "avi/take.avi";
    WriteBytes(aviPath, avi);
    for (int i = 0; i < 2; ++i) {
        std::vector<uint8_t> piece(c.pieceBytes[i] % (4u << 20));
        uint32_t x = c.pattern * 2654435761u + uint32_t(i);
        for (auto& b : piece)
            b = uint8_t((x = x * 1103515245u + 12345u) >> 24);
        WriteBytes("pieces/take.00" + std::to_string(i), piece);
    }

    static const char* const kOutputs[] = {"out.avi", "out.mkv", "out.nut", "out.mov"};
    std::vector<std::string> args{"kestro"};
    const bool exporting = c.command <= kPipe;
    if (exporting) {
        args.push_back("export");
        args.push_back(aviPath);
        args.push_back(c.command == kPipe ? "-" : std::string("out/") + kOutputs[c.command]);
    } else {
        args.push_back(c.command == kInfo ? "info" : "verify");
        args.push_back(aviPath);
    }
    args.push_back("-q");
    if (c.flags & CaptureInput::kKeepGoing)
        args.push_back("--keep-going");
    if (c.flags & CaptureInput::kWinePrefix) {
        args.push_back("--wineprefix");
        args.push_back("prefix");
    } else {
        args.push_back("--data");
        args.push_back("pieces");
    }

    const std::string pipePath = "pipe";
    const int pipeFd = open(pipePath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    FUZZ_CHECK(pipeFd >= 0, pipePath);
    const int code = Run(args, pipeFd);
    struct stat st {};
    fstat(pipeFd, &st);
    close(pipeFd);

    if (exporting)
        FUZZ_CHECK(code == kestro::tool::kExitOk || code == kestro::tool::kExitBroken ||
                       code == kestro::tool::kExitUsage || code == kestro::tool::kExitOutput,
                   "exit code " + std::to_string(code));
    else
        FUZZ_CHECK(code == kestro::tool::kExitOk || code == kestro::tool::kExitBroken ||
                       code == kestro::tool::kExitUsage,
                   "exit code " + std::to_string(code));
    const std::string outDir = "out";
    if (exporting && c.command != kPipe) {
        const auto left = Entries(outDir);
        if (code != kestro::tool::kExitOk) {
            FUZZ_CHECK(left.empty(), "a failed export left " + (left.empty() ? "" : left[0]));
        } else {
            FUZZ_CHECK(left.size() == 1 && left[0] == kOutputs[c.command],
                       "a finished export left " + std::to_string(left.size()) + " files");
            AVFormatContext* ctx = nullptr;
            const std::string out = outDir + "/" + kOutputs[c.command];
            FUZZ_CHECK(avformat_open_input(&ctx, out.c_str(), nullptr, nullptr) >= 0,
                       "the finished export does not open");
            FUZZ_CHECK(ctx->nb_streams >= 1 &&
                           ctx->streams[0]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO,
                       "the finished export has no video stream first");
            avformat_close_input(&ctx);
        }
    }
    if (c.command == kPipe && code == kestro::tool::kExitOk) {
        const uint64_t picture = PipePictureBytes(c.format);
        FUZZ_CHECK(picture > 0 && uint64_t(st.st_size) % picture == 0,
                   "the pipe carried " + std::to_string(st.st_size) + " bytes, pictures of " +
                       std::to_string(picture));
    }
    if (!std::getenv("KESTRO_FUZZ_KEEP"))
        EmptyFolder(outDir);
    return 0;
}
