#include "Kestro.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "AviRecords.h"
#include "CodePages.h"
#include "Files.h"
#include "Outputs.h"
#include "Pieces.h"
#include "RawPictures.h"
#include "Signals.h"
#include "pure/FrameRecord.h"
#include "pure/PiecePath.h"
#include "pure/PixelKind.h"
#include "pure/StreamFormat.h"

namespace kestro::tool {

namespace {

void Error(const std::string& message) {
    std::fprintf(stderr, "kestro: %s\n", message.c_str());
}

void Warning(const std::string& message) {
    std::fprintf(stderr, "kestro: warning: %s\n", message.c_str());
}

// The end of a command that a signal stopped.
int Stopped(const std::string& what) {
    Error("interrupted; " + what);
    return kExitInterrupted;
}

std::string AvError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

void SayRemoved(const OutputFile& file) {
    for (const auto& name : file.Removed())
        std::fprintf(stderr, "kestro: removed %s, left by an export or relink that was killed\n",
                     name.c_str());
}

// Reads frames from the pieces: one descriptor per piece, sequential hints, whole-frame reads.
class PieceReader {
public:
    // False with `why` set: the piece cannot be opened, or no longer holds the bytes.
    bool Read(const std::string& path, uint64_t offset, void* data, size_t bytes,
              std::string& why) {
        auto it = files_.find(path);
        if (it == files_.end()) {
            auto file = std::make_unique<PosixFile>(path, O_RDONLY);
            if (file->ok())
                posix_fadvise(file->fd(), 0, 0, POSIX_FADV_SEQUENTIAL);
            else
                why = CannotOpen(path, *file);
            it = files_.emplace(path, std::move(file)).first;
            if (!it->second->ok())
                return false;
        }
        if (!it->second->ok()) {
            why = "cannot open " + path;
            return false;
        }
        if (it->second->ReadAt(offset, data, bytes))
            return true;
        const int code = errno;
        why = "cannot read " + std::to_string(bytes) + " bytes at " + std::to_string(offset) +
              " of " + path + ": ";
        if (code == 0)
            why += "it ends before them, at " + std::to_string(it->second->Size()) +
                   " bytes (it shrank since it was looked at)";
        else
            why += Reason(code);
        return false;
    }

private:
    std::map<std::string, std::unique_ptr<PosixFile>> files_;
};

// ---- the capture --------------------------------------------------------------------------

struct Options {
    std::string command;
    std::vector<std::string> args;
    PieceRules rules;
    bool quiet = false;
    bool keepGoing = false;
    std::string to;
    std::string output;
};

constexpr uint64_t kMaxBufferedBytes = 1u << 30; // one picture or packet, held whole

struct KestInfo {
    int stream = -1;
    StreamFormatHeader format{};
    std::vector<uint8_t> chainFormat;
    bool chained = false;
    PixelKind kind = KIND_NONE;
    int width = 0, height = 0;
    bool bottomUp = false;
    uint32_t storedBytes = 0; // bytes of one stored raw picture (DIB rows padded to 4 bytes)
    uint32_t rowBytes = 0;    // bytes of one unpadded row
    uint32_t scale = 1, rate = 1, start = 0, length = 0;
};

std::string FourccText(uint32_t code) {
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char c = char(code >> (8 * i));
        s += (c >= 32 && c < 127) ? c : '.';
    }
    return s;
}

constexpr int32_t kMaxPictureSide = 65536;

std::string PictureSize(int32_t width, int32_t height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

// Reads the layout and the KEST stream's format from `file`, checking every number that sizes a
// picture before any arithmetic with it.
bool ReadKestInfo(avi::ByteFile& file, const std::string& aviPath, KestInfo& info,
                  avi::AviLayout& layout, std::string& error, bool acceptCut = false) {
    auto read = avi::ReadAviLayout(file, true, error, acceptCut);
    if (!read) {
        error = aviPath + ": " + (Interrupted() ? std::string("interrupted") : error);
        return false;
    }
    layout = std::move(*read);
    const auto& s = layout.streams[size_t(layout.kestStream)];
    info.stream = layout.kestStream;
    auto fmt = ReadStreamFormat(s.format.data());
    info.format = *fmt; // the layout only names streams whose format reads
    if (fmt->biChainFormatSize)
        info.chainFormat.assign(s.format.begin() + kStreamHeaderBytes,
                                s.format.begin() + kStreamHeaderBytes + fmt->biChainFormatSize);
    info.chained = fmt->biChainHandler != 0;
    const int64_t height = fmt->biHeight < 0 ? -int64_t(fmt->biHeight) : fmt->biHeight;
    if (fmt->biWidth <= 0 || height == 0 || height > kMaxPictureSide ||
        fmt->biWidth > kMaxPictureSide) {
        error = aviPath + ": the KEST stream has an unusable picture size " +
                PictureSize(fmt->biWidth, fmt->biHeight);
        return false;
    }
    info.width = fmt->biWidth;
    info.height = int(height);
    info.bottomUp = fmt->biHeight > 0;
    info.scale = s.scale;
    info.rate = s.rate;
    info.start = s.start;
    info.length = s.length;
    if (!info.chained) {
        auto picture = avi::RawPictureOf(*fmt, error);
        if (!picture) {
            error = aviPath + ": " + error;
            return false;
        }
        info.kind = picture->kind;
        info.rowBytes = picture->rowBytes;
        info.storedBytes = picture->storedBytes;
    } else if (info.chainFormat.size() < kBitmapHeaderBytes ||
               !ReadBitmapHeader(info.chainFormat.data())) {
        error = aviPath + ": the chained codec '" + FourccText(fmt->biChainHandler) +
                "' left no format of its own in the stream format";
        return false;
    } else {
        // 0 takes the KEST stream's size.
        const auto chain = *ReadBitmapHeader(info.chainFormat.data());
        if (chain.biWidth < 0 || chain.biWidth > kMaxPictureSide ||
            chain.biHeight < -kMaxPictureSide || chain.biHeight > kMaxPictureSide) {
            error = aviPath + ": the chained codec's format claims " +
                    PictureSize(chain.biWidth, chain.biHeight) + " pictures";
            return false;
        }
    }
    return true;
}

// Scale and rate of every stream become the libraries' rationals of two ints: 1 to 2^31 - 1.
// A start more than an hour late is what readers give up on (they begin at 0): said, not used.
bool CheckTiming(const avi::AviLayout& layout, const std::string& aviPath, std::string& error) {
    for (size_t i = 0; i < layout.streams.size(); ++i) {
        const auto& s = layout.streams[i];
        const std::string name =
            "stream " + std::to_string(i) + " (" +
            (int(i) == layout.kestStream ? std::string("KEST") : FourccText(s.fccType)) + ")";
        for (const auto& [what, value] : {std::pair{"scale", s.scale}, {"rate", s.rate}}) {
            if (value == 0 || value > uint32_t(INT32_MAX)) {
                error = aviPath + ": " + name + ": " + what + " " + std::to_string(value) +
                        " is out of range (1 to 2147483647): the stream has no usable timing";
                return false;
            }
        }
        if (int(i) == layout.kestStream && uint64_t(s.start) * s.scale > 3600ull * s.rate)
            Warning(name + ": a start of " + std::to_string(s.start) +
                    " frames (more than an hour) is not believed; the video begins at 0");
    }
    return true;
}

// The capture of export, info and verify: its layout, its KEST stream and every stream's timing.
bool ReadCapture(const std::string& path, KestInfo& info, avi::AviLayout& layout,
                 std::string& error, bool acceptCut) {
    PosixFile file(path, O_RDONLY);
    if (!file.ok()) {
        error = CannotOpen(path, file);
        return false;
    }
    if (!ReadKestInfo(file, path, info, layout, error, acceptCut) ||
        !CheckTiming(layout, path, error))
        return false;
    if (uint64_t(info.start) * info.scale > 3600ull * info.rate)
        info.start = 0;
    return true;
}

// Opens the input with libavformat, which does the container work (OpenDML indexes included).
struct Input {
    AVFormatContext* ctx = nullptr;
    ~Input() {
        if (ctx)
            avformat_close_input(&ctx);
    }
    bool Open(const std::string& path, const KestInfo& info, std::string& error) {
        ctx = avformat_alloc_context();
        if (!ctx) {
            error = "out of memory";
            return false;
        }
        ctx->interrupt_callback = {InterruptCallback, nullptr};
        int r = avformat_open_input(&ctx, path.c_str(), av_find_input_format("avi"), nullptr);
        if (r < 0) {
            error = path + ": " +
                    (Interrupted() ? std::string("interrupted")
                                   : "cannot be read as an AVI file: " + AvError(r));
            return false;
        }
        if (int(ctx->nb_streams) <= info.stream ||
            ctx->streams[info.stream]->codecpar->codec_tag != kFourccKest) {
            error = path + ": the KEST stream is not where its header list puts it";
            return false;
        }
        return true;
    }
};

// A record that names a frame this tool can read, or the reason it cannot.
struct FrameSource {
    const Piece* piece = nullptr;
    FrameRecordView record{};
};

class RecordChecker {
public:
    RecordChecker(const Options& options, const KestInfo& info)
        : finder_(options.rules), info_(info) {}

    // Empty on success; otherwise the message naming frame, record and path.
    std::optional<std::string> Check(uint64_t frame, const uint8_t* data, size_t size,
                                     FrameSource& source) {
        auto record = ParseFrameRecord(data, size);
        const std::string where =
            "frame " + std::to_string(frame) + ", record " + std::to_string(frame);
        if (!record)
            return where + " (" + std::to_string(size) +
                   " bytes): not a frame record (no terminated piece name)";
        source.record = *record;
        const std::string name(record->path);
        const std::string what = where + " (" + Shown(name) + " at " +
                                 std::to_string(record->offset) + ", " +
                                 std::to_string(record->size) + " bytes)";
        if (auto refused = finder_.Refusal(name))
            return what + ": refused: " + *refused;
        std::string why;
        source.piece = finder_.Find(name, why);
        if (!source.piece)
            return what + ": piece not found: " + why;
        WarnOnce(*source.piece);
        if (!info_.chained && record->size < info_.storedBytes)
            return what + ": smaller than one " + std::to_string(info_.width) + "x" +
                   std::to_string(info_.height) + " picture (" + std::to_string(info_.storedBytes) +
                   " bytes)";
        if (info_.chained && record->size > kMaxBufferedBytes)
            return what + ": a packet larger than this tool believes (" +
                   std::to_string(kMaxBufferedBytes) + " bytes at most)";
        if (record->offset > source.piece->size ||
            record->size > source.piece->size - record->offset)
            return what + ": outside its piece " + source.piece->path + " (" +
                   std::to_string(source.piece->size) + " bytes)";
        frames_[name] += 1;
        return std::nullopt;
    }
    PieceFinder& finder() { return finder_; }
    const std::map<std::string, uint64_t>& framesPerPiece() const { return frames_; }
    // Once per piece: a file found by name alone beside a folder that exists.
    void WarnOnce(const Piece& piece) {
        if (!piece.warning.empty() && warned_.insert(&piece).second)
            Warning(piece.warning);
    }

private:
    PieceFinder finder_;
    const KestInfo& info_;
    std::map<std::string, uint64_t> frames_;
    std::set<const Piece*> warned_;
};

// ---- info and verify ----------------------------------------------------------------------

int RunInspect(const Options& options, bool verify) {
    if (options.args.size() != 1) {
        Error(std::string("usage: kestro ") + (verify ? "verify" : "info") + " IN.avi [options]");
        return kExitUsage;
    }
    const std::string& path = options.args[0];
    KestInfo info;
    avi::AviLayout layout;
    std::string error;
    if (!ReadCapture(path, info, layout, error, true)) {
        Error(error);
        return Interrupted() ? kExitInterrupted : kExitUsage;
    }
    Input input;
    if (!input.Open(path, info, error)) {
        Error(error);
        return Interrupted() ? kExitInterrupted : kExitUsage;
    }
    RecordChecker checker(options, info);
    uint64_t frames = 0, bad = 0, bytes = 0;
    if (layout.cut) {
        Error(path + ": the file is cut short (its last list runs past the end)");
        ++bad;
    }
    AVPacket* pkt = av_packet_alloc();
    int r;
    while ((r = av_read_frame(input.ctx, pkt)) >= 0) {
        if (pkt->stream_index == info.stream) {
            FrameSource source;
            if (auto problem = checker.Check(frames, pkt->data, size_t(pkt->size), source)) {
                if (verify || bad < 10)
                    Error(*problem);
                ++bad;
            } else {
                bytes += source.record.size;
            }
            ++frames;
        }
        av_packet_unref(pkt);
        if (Interrupted())
            break;
    }
    av_packet_free(&pkt);
    if (Interrupted())
        return Stopped(path + " was not read to its end");
    if (r != AVERROR_EOF && r < 0) {
        Error(path + ": reading stopped after frame " + std::to_string(frames) + ": " + AvError(r));
        ++bad;
    }
    if (frames < info.length) {
        Error(path + ": the stream header promises " + std::to_string(info.length) +
              " frames, the file holds " + std::to_string(frames) + " (AVI cut short?)");
        ++bad;
    }
    if (!verify) {
        const auto& f = info.format;
        std::printf("file: %s\n", path.c_str());
        std::printf("stream: %d, KEST, %dx%d %s, %u/%u fps, start %u\n", info.stream, f.biWidth,
                    f.biHeight, info.bottomUp ? "bottom-up" : "top-down", info.rate, info.scale,
                    info.start);
        if (info.chained) {
            auto chain = ReadBitmapHeader(info.chainFormat.data());
            std::printf("stored: chained codec '%s', its format '%s' %u bits, %zu bytes\n",
                        FourccText(f.biChainHandler).c_str(),
                        FourccText(chain ? chain->biCompression : 0).c_str(),
                        chain ? chain->biBitCount : 0, info.chainFormat.size());
        } else {
            std::printf("stored: raw '%s' (%s), %u bytes a picture\n",
                        FourccText(f.biSourceCompression).c_str(), avi::PixFmtName(info.kind),
                        info.storedBytes);
            std::printf("pipe: kestro export %s - | ffmpeg -f rawvideo -pix_fmt %s -s %dx%d -r "
                        "%u/%u -i - ...\n",
                        path.c_str(), avi::PixFmtName(info.kind), info.width, info.height,
                        info.rate, info.scale);
        }
        std::printf("frames: %llu (header: %u), %.1f MB of frame data\n",
                    (unsigned long long)frames, info.length, double(bytes) / 1e6);
        for (unsigned i = 0; i < input.ctx->nb_streams; ++i) {
            if (int(i) == info.stream)
                continue;
            const AVCodecParameters* p = input.ctx->streams[i]->codecpar;
            std::printf("other stream: %u, %s %s (copied by export)\n", i,
                        av_get_media_type_string(p->codec_type)
                            ? av_get_media_type_string(p->codec_type)
                            : "data",
                        avcodec_get_name(p->codec_id));
        }
        for (const auto& [name, piece] : checker.finder().Found()) {
            auto it = checker.framesPerPiece().find(name);
            std::printf("piece: %s -> %s (%llu bytes, %llu frames, found by %s)\n",
                        Shown(piece.name).c_str(), piece.path.c_str(),
                        (unsigned long long)piece.size,
                        (unsigned long long)(it == checker.framesPerPiece().end() ? 0 : it->second),
                        piece.rule.c_str());
        }
    }
    if (bad) {
        Error(path + ": " + std::to_string(bad) + " problem(s) found");
        return kExitBroken;
    }
    if (verify)
        std::printf("%s: %llu frames, every record inside an existing piece\n", path.c_str(),
                    (unsigned long long)frames);
    return kExitOk;
}

// ---- export -------------------------------------------------------------------------------

// The export's output as FFmpeg writes it: through a context of our own onto the temporary file.
struct MuxOutput {
    OutputFile file;
    AVIOContext* io = nullptr;
    int lastErrno = 0;

    ~MuxOutput() { Discard(); }
    static int WritePacket(void* opaque, uint8_t* buf, int size) { // FFmpeg 5 has no const here
        auto* self = static_cast<MuxOutput*>(opaque);
        if (Interrupted())
            return AVERROR_EXIT;
        if (!WriteAll(self->file.fd(), buf, size_t(size))) {
            if (Interrupted())
                return AVERROR_EXIT;
            self->lastErrno = errno ? errno : EIO;
            return AVERROR(self->lastErrno);
        }
        return size;
    }
    static int64_t Seek(void* opaque, int64_t offset, int whence) {
        auto* self = static_cast<MuxOutput*>(opaque);
        if (whence == AVSEEK_SIZE) {
            struct stat st;
            return fstat(self->file.fd(), &st) == 0 ? int64_t(st.st_size) : -1;
        }
        off_t r = lseek(self->file.fd(), off_t(offset), whence & ~AVSEEK_FORCE);
        return r < 0 ? AVERROR(errno) : int64_t(r);
    }
    bool Create(const std::string& final, std::string& error) {
        if (!file.Create(final, UsualMode(), error))
            return false;
        SayRemoved(file);
        const int kBuffer = 1 << 20;
        auto* buffer = static_cast<uint8_t*>(av_malloc(kBuffer));
        io = buffer ? avio_alloc_context(buffer, kBuffer, 1, this, nullptr, WritePacket, Seek)
                    : nullptr;
        if (!io) {
            av_free(buffer);
            error = "out of memory";
            return false;
        }
        io->direct = 1; // whole frames go straight to write(2), not through the buffer
        return true;
    }
    void FreeContext() {
        if (io) {
            av_freep(&io->buffer);
            avio_context_free(&io);
        }
    }
    void Discard() {
        FreeContext();
        file.Discard();
    }
    bool Finish(const std::string& final, std::string& error) {
        if (io)
            avio_flush(io);
        FreeContext();
        if (lastErrno) {
            error = "cannot write " + final + ": " + std::strerror(lastErrno);
            return false;
        }
        return file.Finish(true, false, error);
    }
};

// NUT and MOV keep a stream's codec, size and extra data but not the bitmap header's bit count;
// some codecs (MS RLE, MS Video 1) cannot be decoded without it. Such an export is refused
// rather than written unplayable. Codecs this library cannot decode are given the benefit.
bool DecodableWithoutBitmapHeader(const AVCodecParameters* chained) {
    const AVCodec* decoder = avcodec_find_decoder(chained->codec_id);
    if (!decoder)
        return true;
    AVCodecContext* ctx = avcodec_alloc_context3(decoder);
    if (!ctx)
        return true;
    bool ok = avcodec_parameters_to_context(ctx, chained) >= 0;
    ctx->bits_per_coded_sample = 0;
    const int level = av_log_get_level();
    av_log_set_level(AV_LOG_QUIET); // the decoder's own complaint is not the user's business
    ok = ok && avcodec_open2(ctx, decoder, nullptr) >= 0;
    av_log_set_level(level);
    avcodec_free_context(&ctx);
    return ok;
}

bool EndsWith(const std::string& s, const char* tail) {
    size_t n = std::strlen(tail);
    return s.size() >= n && strcasecmp(s.c_str() + s.size() - n, tail) == 0;
}

void FillBlack(PixelKind kind, std::vector<uint8_t>& frame) {
    if (kind == KIND_RGB24) {
        std::fill(frame.begin(), frame.end(), 0);
        return;
    }
    // Y 16, U and V 128 in the byte order of the kind.
    const uint8_t pair[2] = {uint8_t(kind == KIND_YUY2 ? 16 : 128),
                             uint8_t(kind == KIND_YUY2 ? 128 : 16)};
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = pair[i & 1];
}

class Progress {
public:
    Progress(bool on, uint64_t total) : on_(on), total_(total), t0_(Now()) {}
    void Update(uint64_t frames, uint64_t bytes, bool last = false) {
        if (!on_)
            return;
        double now = Now();
        if (!last && now - shown_ < 0.25)
            return;
        shown_ = now;
        double secs = now - t0_;
        double mbs = secs > 0 ? double(bytes) / secs / 1e6 : 0;
        double left =
            (frames && total_ > frames) ? secs / double(frames) * double(total_ - frames) : 0;
        std::fprintf(stderr, "\rframe %llu/%llu  %.1f MB/s  %.0f s left   %s",
                     (unsigned long long)frames, (unsigned long long)total_, mbs, left,
                     last ? "\n" : "");
        std::fflush(stderr);
    }

private:
    static double Now() {
        using namespace std::chrono;
        return duration<double>(steady_clock::now().time_since_epoch()).count();
    }
    bool on_;
    uint64_t total_;
    double t0_;
    double shown_ = 0;
};

int RunExport(const Options& options) {
    if (options.args.size() != 2) {
        Error("usage: kestro export IN.avi OUT.{avi,mkv,nut,mov}|- [options]");
        return kExitUsage;
    }
    const std::string& path = options.args[0];
    const std::string& out = options.args[1];
    const bool toStdout = out == "-";
    KestInfo info;
    avi::AviLayout layout;
    std::string error;
    if (!ReadCapture(path, info, layout, error, options.keepGoing)) {
        if (Interrupted())
            return Stopped("nothing written to " + out);
        Error(error + (options.keepGoing || error.find("cut short") == std::string::npos
                           ? ""
                           : " (--keep-going exports what is there)"));
        return kExitUsage;
    }
    if (layout.cut)
        Error(path + ": the file is cut short; exporting the frames it still holds");
    if (toStdout && info.chained) {
        Error(path + ": a chained stream holds the chained codec's packets, not raw pictures; "
                     "export it to a file instead");
        return kExitUsage;
    }
    if (toStdout && isatty(1)) {
        Error("standard output is a terminal; pipe it into a program");
        return kExitUsage;
    }
    const char* formatName = EndsWith(out, ".avi")   ? "avi"
                             : EndsWith(out, ".mkv") ? "matroska"
                             : EndsWith(out, ".nut") ? "nut"
                             : EndsWith(out, ".mov") ? "mov"
                                                     : nullptr;
    if (!toStdout && !formatName) {
        Error("the output must end in .avi, .mkv, .nut or .mov (or be - for raw frames)");
        return kExitUsage;
    }
    const bool aviOut = formatName && std::strcmp(formatName, "avi") == 0;
    // Matroska here keeps raw pictures in its Video for Windows mode: a bitmap header, like AVI.
    const bool mkvOut = formatName && std::strcmp(formatName, "matroska") == 0;
    Input input;
    if (!input.Open(path, info, error)) {
        if (Interrupted())
            return Stopped("nothing written to " + out);
        Error(error);
        return kExitUsage;
    }

    AVFormatContext* oc = nullptr;
    MuxOutput file;
    std::vector<int> streamMap(input.ctx->nb_streams, -1);
    uint64_t frames = 0;
    auto fail = [&](int code, const std::string& message) {
        if (Interrupted())
            Stopped(toStdout ? "standard output got " + std::to_string(frames) + " frames"
                             : "nothing written to " + out);
        else if (!message.empty())
            Error(message);
        if (Interrupted())
            code = kExitInterrupted;
        if (oc)
            avformat_free_context(oc), oc = nullptr;
        file.Discard();
        return code;
    };
    const AVStream* inVideo = input.ctx->streams[info.stream];
    if (!toStdout) {
        if (!file.Create(out, error))
            return fail(kExitOutput, error);
        if (avformat_alloc_output_context2(&oc, nullptr, formatName, nullptr) < 0 || !oc)
            return fail(kExitOutput, "cannot set up a " + std::string(formatName) + " output");
        oc->pb = file.io;
        oc->flags |= AVFMT_FLAG_CUSTOM_IO;
        oc->interrupt_callback = {InterruptCallback, nullptr};
        AVStream* v = avformat_new_stream(oc, nullptr);
        AVCodecParameters* p = v->codecpar;
        p->codec_type = AVMEDIA_TYPE_VIDEO;
        p->width = info.width;
        p->height = info.height;
        if (info.chained) {
            auto chain = ReadBitmapHeader(info.chainFormat.data());
            const uint32_t tag =
                chain->biCompression ? chain->biCompression : info.format.biChainHandler;
            const AVCodecTag* const tables[] = {avformat_get_riff_video_tags(), nullptr};
            p->codec_id = av_codec_get_id(tables, tag);
            if (p->codec_id == AV_CODEC_ID_NONE)
                p->codec_id = av_codec_get_id(tables, info.format.biChainHandler);
            p->codec_tag = aviOut ? tag : 0;
            p->bits_per_coded_sample = chain->biBitCount;
            p->width = chain->biWidth > 0 ? chain->biWidth : info.width; // both checked
            p->height = chain->biHeight < 0 ? -chain->biHeight : chain->biHeight;
            if (p->height == 0)
                p->height = info.height;
            const size_t extra = info.chainFormat.size() - kBitmapHeaderBytes;
            if (extra) {
                p->extradata =
                    static_cast<uint8_t*>(av_mallocz(extra + AV_INPUT_BUFFER_PADDING_SIZE));
                std::memcpy(p->extradata, info.chainFormat.data() + kBitmapHeaderBytes, extra);
                p->extradata_size = int(extra);
            }
            if (!aviOut && p->codec_id == AV_CODEC_ID_NONE)
                return fail(kExitUsage, path + ": the chained codec '" + FourccText(tag) +
                                            "' is not known to the " + formatName +
                                            " writer; export to .avi to keep its packets");
            if (!aviOut && !mkvOut && !DecodableWithoutBitmapHeader(p)) {
                const std::string name = avcodec_get_name(p->codec_id);
                return fail(kExitUsage, path + ": " + name +
                                            " pictures need the bit depth of their bitmap " +
                                            "header, which a " + formatName +
                                            " file does not keep; export to .avi or .mkv instead");
            }
        } else {
            p->codec_id = AV_CODEC_ID_RAWVIDEO;
            p->format = info.kind == KIND_YUY2   ? AV_PIX_FMT_YUYV422
                        : info.kind == KIND_UYVY ? AV_PIX_FMT_UYVY422
                                                 : AV_PIX_FMT_BGR24;
            p->bits_per_coded_sample = info.kind == KIND_RGB24 ? 24 : 16;
            if (aviOut || mkvOut)
                p->codec_tag = info.kind == KIND_YUY2   ? kFourccYuy2
                               : info.kind == KIND_UYVY ? kFourccUyvy
                                                        : 0;
            else if (std::strcmp(formatName, "nut") == 0)
                // NUT names raw pictures by the pixel format's own tag; left 0 it would guess
                // one from the bit count.
                p->codec_tag = avcodec_pix_fmt_to_codec_tag(AVPixelFormat(p->format));
        }
        v->time_base = AVRational{int(info.scale), int(info.rate)};
        v->avg_frame_rate = AVRational{int(info.rate), int(info.scale)};
        v->r_frame_rate = v->avg_frame_rate;
        streamMap[info.stream] = 0;
        for (unsigned i = 0; i < input.ctx->nb_streams; ++i) {
            const AVStream* s = input.ctx->streams[i];
            if (int(i) == info.stream || s->codecpar->codec_id == AV_CODEC_ID_NONE)
                continue;
            AVStream* o = avformat_new_stream(oc, nullptr);
            avcodec_parameters_copy(o->codecpar, s->codecpar);
            if (!aviOut)
                o->codecpar->codec_tag = 0;
            o->time_base = s->time_base;
            streamMap[i] = o->index;
        }
        AVDictionary* muxOptions = nullptr;
        if (mkvOut && !info.chained)
            av_dict_set(&muxOptions, "allow_raw_vfw", "1", 0);
        if (mkvOut) // a checksum over every cluster would halve the export's speed
            av_dict_set(&muxOptions, "write_crc32", "0", 0);
        int r = avformat_write_header(oc, &muxOptions);
        av_dict_free(&muxOptions);
        if (r < 0)
            return fail(file.lastErrno ? kExitOutput : kExitUsage,
                        "cannot start " + out + ": " + AvError(r));
    }

    // Rows leave in the order and width the target expects: bitmap-header containers (AVI, Matroska
    // in its VfW mode) keep 4-byte DIB rows, written top-down (the muxer marks the header so);
    // NUT, MOV and the pipe take packed rows, top first.
    const bool flip = info.kind == KIND_RGB24 && info.bottomUp;
    const uint32_t storedStride =
        info.kind == KIND_RGB24 ? (info.rowBytes + 3) & ~3u : info.rowBytes;
    const uint32_t outStride =
        (info.kind == KIND_RGB24 && (aviOut || mkvOut)) ? storedStride : info.rowBytes;
    const bool rearrange = !info.chained && (flip || outStride != storedStride);
    std::vector<uint8_t> stored, frame, lastChained;
    if (!info.chained) {
        frame.resize(size_t(outStride) * size_t(info.height));
        if (rearrange)
            stored.resize(info.storedBytes);
    }
    bool haveGood = false;
    uint64_t replaced = 0, bytes = 0, written = 0;
    PieceReader reader;
    RecordChecker checker(options, info);
    Progress progress(!options.quiet && isatty(2), info.length);
    AVPacket* pkt = av_packet_alloc();
    AVPacket* outPkt = av_packet_alloc();
    int code = kExitOk;
    int r;
    int64_t aviFill = 0; // empty frames written before the first, up to its start
    constexpr int64_t kMaxLeadingFrames = 1 << 20;
    // A write the file refused is the output's fault; one the writer refused, the input's.
    auto writeFailed = [&](int result) {
        if (Interrupted())
            return kExitInterrupted; // said once, by the end of the export
        if (file.lastErrno) {
            Error("cannot write " + out + ": " + AvError(result) +
                  (file.lastErrno == ENOSPC ? " (disk full)" : ""));
            return kExitOutput;
        }
        Error("the " + std::string(formatName) + " writer refuses frame " +
              std::to_string(frames ? frames - 1 : 0) + " of " + path + ": " + AvError(result));
        return kExitUsage;
    };
    while ((r = av_read_frame(input.ctx, pkt)) >= 0) {
        if (Interrupted()) {
            code = kExitInterrupted;
            break;
        }
        if (pkt->stream_index != info.stream) {
            const int to = streamMap[size_t(pkt->stream_index)];
            if (to >= 0 && oc) {
                av_packet_rescale_ts(pkt, input.ctx->streams[pkt->stream_index]->time_base,
                                     oc->streams[to]->time_base);
                pkt->stream_index = to;
                pkt->pos = -1;
                if ((r = av_write_frame(oc, pkt)) < 0) {
                    code = writeFailed(r);
                    break;
                }
            }
            av_packet_unref(pkt);
            continue;
        }
        const uint64_t index = frames++;
        const int64_t pts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : int64_t(info.start + index);
        FrameSource source;
        auto problem = checker.Check(index, pkt->data, size_t(pkt->size), source);
        const uint8_t* data = nullptr;
        size_t size = 0;
        if (!problem) {
            const size_t want = info.chained ? source.record.size : info.storedBytes;
            uint8_t* into = info.chained ? nullptr : (rearrange ? stored.data() : frame.data());
            if (info.chained) {
                stored.resize(want);
                into = stored.data();
            }
            std::string why;
            if (!reader.Read(source.piece->path, source.record.offset, into, want, why)) {
                problem = "frame " + std::to_string(index) + ", record " + std::to_string(index) +
                          " (" + Shown(source.record.path) + "): " + why;
            } else if (info.chained) {
                data = stored.data();
                size = want;
                lastChained = stored;
                haveGood = true;
            } else {
                if (rearrange)
                    for (int y = 0; y < info.height; ++y)
                        std::memcpy(frame.data() + size_t(y) * outStride,
                                    stored.data() +
                                        size_t(flip ? info.height - 1 - y : y) * storedStride,
                                    info.rowBytes);
                data = frame.data();
                size = frame.size();
                haveGood = true;
            }
        }
        if (problem && Interrupted()) {
            code = kExitInterrupted;
            av_packet_unref(pkt);
            break;
        }
        if (problem) {
            if (!options.keepGoing) {
                Error(*problem);
                code = kExitBroken;
                av_packet_unref(pkt);
                break;
            }
            if (replaced < 10)
                Error(*problem + " (replaced)");
            ++replaced;
            if (info.chained) {
                if (haveGood)
                    data = lastChained.data(), size = lastChained.size();
            } else {
                if (!haveGood)
                    FillBlack(info.kind, frame), haveGood = true;
                data = frame.data(), size = frame.size();
            }
        }
        av_packet_unref(pkt);
        if (!data && size == 0 && info.chained && !haveGood)
            continue; // nothing to repeat yet: the frame is left out
        if (toStdout) {
            if (!WriteAll(1, data, size)) {
                code = Interrupted() ? kExitInterrupted : kExitOutput;
                if (code == kExitOutput)
                    Error("cannot write raw frames to standard output: " +
                          std::string(std::strerror(errno)));
                break;
            }
        } else {
            // AVI has no timestamps: a stream that starts late begins with empty (dropped)
            // frames, which its muxer adds only between frames, not before the first.
            if (aviOut && aviFill == 0 && pts > kMaxLeadingFrames) {
                Error(path + ": the video starts " + std::to_string(pts) +
                      " frames late; an AVI would need as many empty frames (export to .mkv or "
                      ".nut instead)");
                code = kExitUsage;
                break;
            }
            for (; aviOut && aviFill < pts; ++aviFill) {
                av_packet_unref(outPkt);
                outPkt->stream_index = 0;
                outPkt->pts = outPkt->dts = aviFill;
                outPkt->duration = 1;
                av_packet_rescale_ts(outPkt, inVideo->time_base, oc->streams[0]->time_base);
                if ((r = av_write_frame(oc, outPkt)) < 0)
                    break;
            }
            if (r < 0) {
                code = writeFailed(r);
                break;
            }
            aviFill = INT64_MAX;
            av_packet_unref(outPkt);
            outPkt->data = const_cast<uint8_t*>(data);
            outPkt->size = int(size);
            outPkt->stream_index = 0;
            outPkt->pts = outPkt->dts = pts;
            outPkt->duration = 1;
            outPkt->flags = AV_PKT_FLAG_KEY;
            av_packet_rescale_ts(outPkt, inVideo->time_base, oc->streams[0]->time_base);
            if ((r = av_write_frame(oc, outPkt)) < 0) {
                code = writeFailed(r);
                outPkt->data = nullptr;
                break;
            }
            outPkt->data = nullptr;
            outPkt->size = 0;
        }
        bytes += size;
        ++written;
        progress.Update(frames, bytes);
    }
    av_packet_free(&pkt);
    av_packet_free(&outPkt);
    if (Interrupted())
        code = kExitInterrupted;
    if (code == kExitOk && r != AVERROR_EOF && r < 0) {
        Error(path + ": reading stopped after frame " + std::to_string(frames) + ": " + AvError(r));
        code = kExitUsage;
    }
    if (code == kExitOk && frames < info.length) {
        const std::string message = path + ": the stream header promises " +
                                    std::to_string(info.length) + " frames, the file holds " +
                                    std::to_string(frames) + " (AVI cut short?)";
        if (!options.keepGoing) {
            Error(message);
            code = kExitUsage;
        } else {
            Error(message + "; exported what is there");
        }
    }
    // Some muxers write a file nothing reads back when no frame came (NUT has no header then).
    if (code == kExitOk && written == 0) {
        Error(path + ": the KEST stream holds no frame to export");
        code = kExitUsage;
    }
    if (code != kExitOk)
        return fail(code, "");
    if (oc) {
        if ((r = av_write_trailer(oc)) < 0)
            return fail(kExitOutput, "cannot finish " + out + ": " + AvError(r));
        avformat_free_context(oc);
        oc = nullptr;
        if (!file.Finish(out, error))
            return fail(kExitOutput, error);
        if (Interrupted()) // too late to stop: the output is whole
            Warning("interrupted as " + out + " was complete; it is kept");
    }
    progress.Update(frames, bytes, true);
    if (!options.quiet && !toStdout)
        std::fprintf(stderr, "kestro: exported %llu frames to %s\n", (unsigned long long)frames,
                     out.c_str());
    if (replaced)
        std::fprintf(stderr, "kestro: %llu frame(s) replaced by the last good one (or black)\n",
                     (unsigned long long)replaced);
    return kExitOk;
}

// ---- relink -------------------------------------------------------------------------------

// Rewrites the records in place after the original is kept, whole, as the backup: copied under
// a temporary name, flushed, and renamed only where no backup exists yet.
int RelinkInPlaceKeepingBackup(PosixFile& in, const std::string& path, const avi::AviLayout& layout,
                               const std::string& newBase) {
    const std::string backup = avi::BackupNameOf(path);
    struct stat st;
    if (lstat(backup.c_str(), &st) == 0) {
        Error(backup + " exists already; move it away or relink with -o OUT.avi");
        return kExitUsage;
    }
    PosixFile rw(path, O_RDWR);
    if (!rw.ok()) {
        Error("cannot open " + path + " for writing: " + Reason(errno) + "; nothing was changed");
        return kExitOutput;
    }
    struct stat checked, opened;
    if (fstat(in.fd(), &checked) != 0 || fstat(rw.fd(), &opened) != 0 ||
        checked.st_ino != opened.st_ino || checked.st_dev != opened.st_dev) {
        Error(path + " was replaced while it was checked; nothing was changed");
        return kExitUsage;
    }
    OutputFile copy;
    std::string error;
    if (!copy.Create(backup, checked.st_mode & 0777, error)) {
        Error(error + "; nothing was changed");
        return kExitOutput;
    }
    SayRemoved(copy);
    FdFile copyFile(copy.fd());
    if (!avi::CopyAll(in, copyFile, path, copy.temp(), error) || !copy.Finish(false, true, error)) {
        copy.Discard();
        if (Interrupted())
            return Stopped("nothing was changed");
        Error(error + (errno == 0 ? "" : std::string(": ") + Reason(errno)) +
              "; nothing was changed");
        return errno == EEXIST ? kExitUsage : kExitOutput;
    }
    // From here on the backup is whole under its name: it stays, whatever happens to the AVI.
    auto done = avi::RelinkInPlace(rw, layout, newBase, error);
    if (done && fsync(rw.fd()) != 0) {
        error = std::string("cannot write it: ") + std::strerror(errno);
        done.reset();
    }
    if (!done) {
        if (Interrupted())
            return Stopped("the original is kept as " + backup + " (" + path +
                           " may be partly relinked)");
        Error(path + ": " + error + "; the original is kept as " + backup);
        return kExitOutput;
    }
    std::printf("relinked %llu records in place in %s (original kept as %s)\n",
                (unsigned long long)*done, path.c_str(), backup.c_str());
    return kExitOk;
}

int RunRelink(const Options& options) {
    if (options.args.size() != 1 || options.to.empty()) {
        Error("usage: kestro relink IN.avi --data DIR --to 'e:\\archive\\take1' [-o OUT.avi]");
        return kExitUsage;
    }
    const std::string& path = options.args[0];
    // Records hold names in the capture's code page: a name typed here is UTF-8.
    std::string newBase = options.to;
    if (!IsAscii(newBase)) {
        const int page = options.rules.codePage;
        auto bytes = page == kCodePageAuto ? std::nullopt : FromUtf8(newBase, page);
        if (!bytes) {
            Error("--to " + newBase +
                  (page == kCodePageAuto
                       ? " is not plain ASCII: say with --codepage N which code page the "
                         "capture's Windows writes names in (1252 Western, 932 Japanese...)"
                       : " has characters that code page " + std::to_string(page) + " lacks"));
            return kExitUsage;
        }
        newBase = *bytes;
    }
    // The records must name what the codec opens: an absolute or a network base.
    if (const auto shape = ClassifyPiecePath(newBase + ".000"); shape.kind == PathKind::Refused) {
        Error(
            "--to " + options.to + ": " + RefusalText(shape.refusal) +
            ", which the codec does not open; give an absolute Windows path (e:\\archive\\take1)");
        return kExitUsage;
    }
    PosixFile in(path, O_RDONLY);
    if (!in.ok()) {
        Error(CannotOpen(path, in));
        return kExitUsage;
    }
    // One relink of an AVI at a time; the kernel drops the lock however its holder ends.
    if (flock(in.fd(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            Error("another relink of " + path + " is under way; nothing was changed");
            return kExitUsage;
        }
        Warning("cannot lock " + path + " (" + std::strerror(errno) +
                "); no other relink of it may run until this one ends");
    }
    struct stat self, other;
    if (!options.output.empty() && stat(options.output.c_str(), &other) == 0 &&
        fstat(in.fd(), &self) == 0 && self.st_ino == other.st_ino && self.st_dev == other.st_dev) {
        Error("-o names the input itself; leave -o out to relink " + path +
              " in place (the original is kept as .bak)");
        return kExitUsage;
    }
    KestInfo info;
    avi::AviLayout layout;
    std::string error;
    if (!ReadKestInfo(in, path, info, layout, error)) {
        Error(error);
        return Interrupted() ? kExitInterrupted : kExitUsage;
    }
    // Every piece must be found, under its new name first, and hold its frames.
    PieceRules renamed = options.rules;
    PieceFinder newFinder(renamed);
    RecordChecker oldChecker(options, info);
    uint64_t frames = 0;
    bool broken = false; // a record refused for its piece, not for the AVI's shape
    bool walked = avi::ForEachRecord(
        in, layout,
        [&](const avi::RecordChunk& chunk,
            const FrameRecordView& record) -> std::optional<std::string> {
            ++frames;
            broken = true; // until the record passes
            const std::string where = "frame " + std::to_string(chunk.index) + ", record " +
                                      std::to_string(chunk.index) + " (" + Shown(record.path) + ")";
            if (auto refused = oldChecker.finder().Refusal(std::string(record.path)))
                return where + ": refused: " + *refused;
            auto name = avi::RelinkedPieceName(record.path, newBase);
            if (!name)
                return where + ": the piece name has no .NNN suffix, or the new one is too long";
            std::string why;
            const Piece* piece = newFinder.Find(*name, why);
            if (!piece)
                piece = oldChecker.finder().Find(std::string(record.path), why);
            if (!piece)
                return where + ": piece not found (as " + Shown(*name) + " or as itself): " + why;
            oldChecker.WarnOnce(*piece);
            if (!info.chained && record.size < info.storedBytes)
                return where + ": smaller than one picture";
            if (record.offset > piece->size || record.size > piece->size - record.offset)
                return where + ": outside its piece " + piece->path + " (" +
                       std::to_string(piece->size) + " bytes)";
            broken = false;
            return std::nullopt;
        },
        error);
    if (!walked) {
        if (Interrupted())
            return Stopped("nothing was changed");
        Error(path + ": " + error);
        // Garbage records count as broken references, as in export; a damaged list does not.
        return broken || error.rfind("record ", 0) == 0 ? kExitBroken : kExitUsage;
    }
    if (frames < info.length) {
        Error(path + ": the stream header promises " + std::to_string(info.length) +
              " frames, the file holds " + std::to_string(frames));
        return kExitUsage;
    }
    const bool fits = avi::RelinkFitsInPlace(in, layout, newBase, error);
    if (Interrupted())
        return Stopped("nothing was changed");
    if (options.output.empty() && fits)
        return RelinkInPlaceKeepingBackup(in, path, layout, newBase);
    std::string target = options.output;
    if (target.empty()) {
        target = path.substr(0, path.size() - (EndsWith(path, ".avi") ? 4 : 0)) + ".relinked.avi";
        std::fprintf(stderr, "kestro: the new names do not fit the records' chunks; writing %s\n",
                     target.c_str());
    }
    OutputFile tmp;
    if (!tmp.Create(target, UsualMode(), error)) {
        Error(error);
        return kExitOutput;
    }
    SayRemoved(tmp);
    FdFile outFile(tmp.fd());
    auto done = avi::RelinkToNewFile(in, layout, outFile, newBase, error);
    if (!done || !tmp.Finish(true, false, error)) {
        tmp.Discard();
        if (Interrupted())
            return Stopped("nothing written to " + target);
        Error(done ? error : path + ": " + error);
        return kExitOutput;
    }
    std::printf("relinked %llu records into %s (%s unchanged)\n", (unsigned long long)*done,
                target.c_str(), path.c_str());
    return kExitOk;
}

void Usage() {
    std::fprintf(stderr,
                 "usage: kestro COMMAND IN.avi [options]\n"
                 "  export IN.avi OUT.avi|OUT.mkv|OUT.nut|OUT.mov   frames as a standard stream\n"
                 "  export IN.avi -                              raw frames to standard output\n"
                 "  info IN.avi                                  stream, frames, pieces, pipe "
                 "parameters\n"
                 "  verify IN.avi                                every record inside an existing "
                 "piece\n"
                 "  relink IN.avi --to 'e:\\archive\\take1' [--data DIR] [-o OUT.avi]\n"
                 "options:\n"
                 "  --map 'WINPREFIX=DIR'   pieces under WINPREFIX lie in DIR (repeatable, first)\n"
                 "  --wineprefix DIR        use that Wine prefix's drive links (default "
                 "$WINEPREFIX)\n"
                 "  --data DIR              look for each piece's file name in DIR\n"
                 "                          (last: the piece's file name beside the AVI)\n"
                 "  --codepage N|auto       the code page of the records' names (default auto:\n"
                 "                          the bytes as stored, then 1252, then 932)\n"
                 "  -q                      no progress line\n"
                 "  --keep-going            export anyway, repeating the last good frame\n"
                 "exit codes: 0 ok, 1 broken record or piece, 2 bad arguments or input, 4 output "
                 "not written, 130 interrupted\n");
}

} // namespace

int Main(int argc, char** argv) {
    ClearInterrupt();
    av_log_set_level(AV_LOG_ERROR);
    Options options;
    if (const char* prefix = std::getenv("WINEPREFIX"))
        options.rules.wineprefix = prefix;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= argc)
                return false;
            into = argv[++i];
            return true;
        };
        if (a == "-h" || a == "--help") {
            Usage();
            return kExitOk;
        } else if (a == "-q" || a == "--quiet") {
            options.quiet = true;
        } else if (a == "--keep-going") {
            options.keepGoing = true;
        } else if (a == "--map") {
            std::string rule;
            if (!value(rule) || rule.find('=') == std::string::npos) {
                Error("--map wants 'WINPREFIX=DIR'");
                return kExitUsage;
            }
            auto eq = rule.find('=');
            options.rules.maps.push_back({rule.substr(0, eq), rule.substr(eq + 1)});
        } else if (a == "--wineprefix") {
            if (!value(options.rules.wineprefix)) {
                Error("--wineprefix wants a folder");
                return kExitUsage;
            }
        } else if (a == "--data") {
            if (!value(options.rules.dataDir)) {
                Error("--data wants a folder");
                return kExitUsage;
            }
        } else if (a == "--codepage") {
            std::string page;
            if (!value(page)) {
                Error("--codepage wants a number (1252, 932...) or auto");
                return kExitUsage;
            }
            if (page == "auto") {
                options.rules.codePage = kCodePageAuto;
            } else {
                char* end = nullptr;
                const long n = std::strtol(page.c_str(), &end, 10);
                if (page.empty() || *end || n <= 0 || n > 65535 || !KnownCodePage(int(n))) {
                    Error("--codepage " + page + ": not a code page this system converts");
                    return kExitUsage;
                }
                options.rules.codePage = int(n);
            }
        } else if (a == "--to") {
            if (!value(options.to)) {
                Error("--to wants a Windows base path");
                return kExitUsage;
            }
        } else if (a == "-o") {
            if (!value(options.output)) {
                Error("-o wants a file name");
                return kExitUsage;
            }
        } else if (a.size() > 1 && a[0] == '-' && a != "-") {
            Error("unknown option " + a);
            return kExitUsage;
        } else if (options.command.empty()) {
            options.command = a;
        } else {
            options.args.push_back(a);
        }
    }
    if (!options.args.empty())
        options.rules.aviDir = DirOf(options.args[0]);
    if (options.command == "export")
        return RunExport(options);
    if (options.command == "info")
        return RunInspect(options, false);
    if (options.command == "verify")
        return RunInspect(options, true);
    if (options.command == "relink")
        return RunRelink(options);
    Usage();
    return kExitUsage;
}

} // namespace kestro::tool
