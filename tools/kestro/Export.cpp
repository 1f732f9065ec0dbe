// export: the frames of a capture, read from its pieces, as a standard stream in the container
// the output's name asks for (the table in Containers.cpp), or raw pictures to a pipe. Every
// other stream of the AVI is copied with its timing.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "CodePages.h"
#include "Commands.h"
#include "Containers.h"
#include "KestStream.h"
#include "Kestro.h"
#include "Messages.h"
#include "MuxOutput.h"
#include "RawPictures.h"
#include "Signals.h"
#include "pure/Fourcc.h"
#include "pure/PixelFormats.h"
#include "pure/ReadPlan.h"

namespace kestro::tool {

namespace {

// Each empty frame is a packet through the muxer: a million of them take seconds and an index of
// 16 MB, for a start that the other containers keep as a timestamp.
constexpr int64_t kMaxLeadingFrames = 1 << 16;
constexpr uint64_t kProblemsNamed = 10;

// Whether a chained codec's pictures decode without the bitmap header's bit count, which NUT
// and MOV do not keep (MS RLE and MS Video 1 need it). Codecs this library cannot decode are
// given the benefit.
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

// The bitmap header's code for raw pictures of the kind (0 for RGB).
uint32_t FourccOfKind(PixelKind kind) {
    const PixelFormat* format = FormatOf(kind);
    return format ? format->fourcc : 0;
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

// One export, step by step; each step returns kExitOk to go on, else the exit code (after its
// message).
class ExportSession {
public:
    ExportSession(const Options& options)
        : options_(options), path_(options.args[0]), out_(options.args[1]), toStdout_(out_ == "-") {
    }
    ~ExportSession() {
        if (oc_)
            avformat_free_context(oc_);
        av_packet_free(&pkt_);
        av_packet_free(&outPkt_);
    }

    int Run() {
        for (auto step : {&ExportSession::ReadInput, &ExportSession::PlanOutput,
                          &ExportSession::OpenInput, &ExportSession::WriteHeader})
            if (int code = (this->*step)())
                return code;
        if (int code = CopyFrames())
            return Fail(code, "");
        return Finish();
    }

private:
    int ReadInput();
    int PlanOutput();
    int OpenInput();
    int WriteHeader();
    int CopyFrames();
    int Finish();

    int AddVideoStream();
    int SetChainedParameters(AVCodecParameters* p);
    void SetRawParameters(AVCodecParameters* p);
    void AddOtherStreams();

    int PassOtherPacket();
    int ExportFrame();
    std::optional<std::string> ReadFrame(uint64_t index, const uint8_t*& data, size_t& size);
    void Substitute(const uint8_t*& data, size_t& size);
    int SendToPipe(const uint8_t* data, size_t size);
    int WriteVideo(const uint8_t* data, size_t size, int64_t pts);
    int FillLateStart(int64_t pts);
    int WriteFailed(int result);
    int EndOfFrames(int code);
    // Ends a failed export: says why (or what a signal left), removes the temporary output.
    int Fail(int code, const std::string& message);

    const Options& options_;
    const std::string path_, out_;
    const bool toStdout_;
    const Container* container_ = nullptr; // null for the pipe
    KestInfo info_;
    avi::AviLayout layout_;
    Input input_;
    const AVStream* inVideo_ = nullptr;
    AVFormatContext* oc_ = nullptr;
    MuxOutput file_;
    std::vector<int> streamMap_; // input stream -> output stream, -1 for none

    // How rows leave: flipped to top first, and as wide as the target takes them.
    bool flip_ = false;
    uint32_t outStride_ = 0;
    bool rearrange_ = false;
    std::vector<uint8_t> stored_, frame_, lastChained_;

    std::optional<RecordChecker> checker_;
    PieceReader reader_;
    std::optional<Progress> progress_;
    AVPacket* pkt_ = nullptr;
    AVPacket* outPkt_ = nullptr;
    int read_ = 0;        // the reader's last result
    int64_t aviFill_ = 0; // empty frames written before the first, up to its start
    bool haveGood_ = false;
    uint64_t frames_ = 0, replaced_ = 0, bytes_ = 0, written_ = 0;
};

int ExportSession::Fail(int code, const std::string& message) {
    if (Interrupted())
        Stopped(toStdout_ ? "standard output got " + std::to_string(frames_) + " frames"
                          : "nothing written to " + out_);
    else if (!message.empty())
        Error(message);
    if (Interrupted())
        code = kExitInterrupted;
    if (oc_)
        avformat_free_context(oc_), oc_ = nullptr;
    file_.Discard();
    return code;
}

int ExportSession::ReadInput() {
    std::string error;
    if (!ReadCapture(path_, info_, layout_, error, options_.keepGoing)) {
        if (Interrupted())
            return Stopped("nothing written to " + out_);
        Error(error + (options_.keepGoing || error.find("cut short") == std::string::npos
                           ? ""
                           : " (--keep-going exports what is there)"));
        return kExitUsage;
    }
    if (layout_.cut)
        Error(CutShortText(path_) + "; exporting the frames it still holds");
    return kExitOk;
}

int ExportSession::PlanOutput() {
    if (toStdout_ && info_.chained) {
        Error(path_ + ": a chained stream holds the chained codec's packets, not raw pictures; "
                      "export it to a file instead");
        return kExitUsage;
    }
    if (toStdout_ && isatty(1)) {
        Error("standard output is a terminal; pipe it into a program");
        return kExitUsage;
    }
    container_ = toStdout_ ? nullptr : ContainerFor(out_);
    if (!toStdout_ && !container_) {
        Error("the output must end in " + ContainerList() + " (or be - for raw frames)");
        return kExitUsage;
    }
    // Only RGB is stored bottom-up, and only RGB rows are padded.
    const PixelFormat* facts = FormatOf(info_.kind);
    flip_ = facts && facts->rows == RowOrder::BottomFirstUnlessTopDown && info_.bottomUp;
    outStride_ = container_ && container_->dibRows ? info_.storedStride : info_.rowBytes;
    rearrange_ = !info_.chained && (flip_ || outStride_ != info_.storedStride);
    return kExitOk;
}

int ExportSession::OpenInput() {
    std::string error;
    if (!input_.Open(path_, info_, error)) {
        if (Interrupted())
            return Stopped("nothing written to " + out_);
        Error(error);
        return kExitUsage;
    }
    streamMap_.assign(input_.ctx->nb_streams, -1);
    inVideo_ = input_.ctx->streams[info_.stream];
    return kExitOk;
}

int ExportSession::WriteHeader() {
    if (toStdout_)
        return kExitOk;
    std::string error;
    if (!file_.Create(out_, error))
        return Fail(kExitOutput, error);
    if (avformat_alloc_output_context2(&oc_, nullptr, container_->muxer, nullptr) < 0 || !oc_)
        return Fail(kExitOutput, "cannot set up a " + std::string(container_->muxer) + " output");
    oc_->pb = file_.io();
    oc_->flags |= AVFMT_FLAG_CUSTOM_IO;
    oc_->interrupt_callback = {InterruptCallback, nullptr};
    if (int code = AddVideoStream())
        return code;
    AddOtherStreams();
    AVDictionary* muxOptions = nullptr;
    for (const auto& option : container_->options)
        if (!option.rawOnly || !info_.chained)
            av_dict_set(&muxOptions, option.key, option.value, 0);
    const int r = avformat_write_header(oc_, &muxOptions);
    av_dict_free(&muxOptions);
    if (r < 0)
        return Fail(file_.lastErrno() ? kExitOutput : kExitUsage,
                    "cannot start " + out_ + ": " + AvError(r));
    return kExitOk;
}

int ExportSession::AddVideoStream() {
    AVStream* v = avformat_new_stream(oc_, nullptr);
    AVCodecParameters* p = v->codecpar;
    p->codec_type = AVMEDIA_TYPE_VIDEO;
    p->width = info_.width;
    p->height = info_.height;
    if (info_.chained) {
        if (int code = SetChainedParameters(p))
            return code;
    } else if (std::string why = RawRefusal(*container_, avi::PixFmtName(info_.kind));
               !why.empty()) {
        return Fail(kExitUsage, path_ + ": " + why);
    } else {
        SetRawParameters(p);
    }
    v->time_base = AVRational{int(info_.scale), int(info_.rate)};
    v->avg_frame_rate = AVRational{int(info_.rate), int(info_.scale)};
    v->r_frame_rate = v->avg_frame_rate;
    streamMap_[size_t(info_.stream)] = 0;
    return kExitOk;
}

// The chained codec's packets are copied: its codec, fourcc, size and extra data.
int ExportSession::SetChainedParameters(AVCodecParameters* p) {
    auto chain = ReadBitmapHeader(info_.chainFormat.data());
    const uint32_t tag = chain->biCompression ? chain->biCompression : info_.format.biChainHandler;
    const AVCodecTag* const tables[] = {avformat_get_riff_video_tags(), nullptr};
    p->codec_id = av_codec_get_id(tables, tag);
    if (p->codec_id == AV_CODEC_ID_NONE)
        p->codec_id = av_codec_get_id(tables, info_.format.biChainHandler);
    p->codec_tag = container_->keepsFourccs ? tag : 0;
    p->bits_per_coded_sample = chain->biBitCount;
    p->width = chain->biWidth > 0 ? chain->biWidth : info_.width; // both checked
    p->height = int(AbsoluteHeight(chain->biHeight));
    if (p->height == 0)
        p->height = info_.height;
    const size_t extra = info_.chainFormat.size() - kBitmapHeaderBytes;
    if (extra) {
        p->extradata = static_cast<uint8_t*>(av_mallocz(extra + AV_INPUT_BUFFER_PADDING_SIZE));
        std::memcpy(p->extradata, info_.chainFormat.data() + kBitmapHeaderBytes, extra);
        p->extradata_size = int(extra);
    }
    const std::string writer = container_->muxer;
    if (!container_->keepsFourccs && p->codec_id == AV_CODEC_ID_NONE)
        return Fail(kExitUsage, path_ + ": the chained codec '" + FourccText(tag) +
                                    "' is not known to the " + writer + " writer; export to " +
                                    ContainerList(&Container::keepsFourccs) +
                                    " to keep its packets");
    if (!container_->keepsBitDepth && !DecodableWithoutBitmapHeader(p))
        return Fail(kExitUsage,
                    path_ + ": " + avcodec_get_name(p->codec_id) +
                        " pictures need the bit depth of their bitmap header, which a " + writer +
                        " file does not keep; export to " +
                        ContainerList(&Container::keepsBitDepth) + " instead");
    return kExitOk;
}

void ExportSession::SetRawParameters(AVCodecParameters* p) {
    p->bits_per_coded_sample = int(SourceBitsOf(info_.kind));
    if (FormatOf(info_.kind)->ffmpegCodec) {
        // No pixel format of FFmpeg's lies like this: its own codec, whose packets are the rows.
        p->codec_id = AV_CODEC_ID_V210;
        p->format = AV_PIX_FMT_YUV422P10LE;
        p->codec_tag = container_->rawTag == RawTag::None ? 0 : FourccOfKind(info_.kind);
        return;
    }
    p->codec_id = AV_CODEC_ID_RAWVIDEO;
    p->format = av_get_pix_fmt(avi::PixFmtName(info_.kind));
    switch (container_->rawTag) {
    case RawTag::Fourcc:
        p->codec_tag = FourccOfKind(info_.kind);
        break;
    case RawTag::PixelFormat:
        p->codec_tag = avcodec_pix_fmt_to_codec_tag(AVPixelFormat(p->format));
        break;
    case RawTag::None:
        break;
    }
    if (TagsWithFourcc(*container_, avi::PixFmtName(info_.kind))) {
        p->codec_tag = FourccOfKind(info_.kind);
        oc_->strict_std_compliance = FF_COMPLIANCE_UNOFFICIAL;
    }
}

void ExportSession::AddOtherStreams() {
    for (unsigned i = 0; i < input_.ctx->nb_streams; ++i) {
        const AVStream* s = input_.ctx->streams[i];
        if (int(i) == info_.stream || s->codecpar->codec_id == AV_CODEC_ID_NONE)
            continue;
        AVStream* o = avformat_new_stream(oc_, nullptr);
        avcodec_parameters_copy(o->codecpar, s->codecpar);
        if (!container_->keepsFourccs)
            o->codecpar->codec_tag = 0;
        o->time_base = s->time_base;
        streamMap_[i] = o->index;
    }
}

int ExportSession::CopyFrames() {
    if (!info_.chained) {
        // Unless rows are moved, a frame is its stored bytes (a planar one all of its planes).
        frame_.resize(rearrange_ ? size_t(outStride_) * size_t(info_.height) : info_.storedBytes);
        if (rearrange_)
            stored_.resize(info_.storedBytes);
    }
    checker_.emplace(options_, info_);
    progress_.emplace(!options_.quiet && isatty(2), info_.length);
    pkt_ = av_packet_alloc();
    outPkt_ = av_packet_alloc();
    int code = kExitOk;
    while ((read_ = av_read_frame(input_.ctx, pkt_)) >= 0) {
        if (Interrupted()) {
            code = kExitInterrupted;
            break;
        }
        code = pkt_->stream_index == info_.stream ? ExportFrame() : PassOtherPacket();
        av_packet_unref(pkt_);
        if (code != kExitOk)
            break;
    }
    return EndOfFrames(code);
}

int ExportSession::PassOtherPacket() {
    const int to = streamMap_[size_t(pkt_->stream_index)];
    if (to < 0 || !oc_)
        return kExitOk;
    av_packet_rescale_ts(pkt_, input_.ctx->streams[pkt_->stream_index]->time_base,
                         oc_->streams[to]->time_base);
    pkt_->stream_index = to;
    pkt_->pos = -1;
    const int r = av_write_frame(oc_, pkt_);
    return r < 0 ? WriteFailed(r) : kExitOk;
}

int ExportSession::ExportFrame() {
    const uint64_t index = frames_++;
    const int64_t pts = pkt_->pts != AV_NOPTS_VALUE ? pkt_->pts : int64_t(info_.start + index);
    const uint8_t* data = nullptr;
    size_t size = 0;
    if (auto problem = ReadFrame(index, data, size)) {
        if (Interrupted())
            return kExitInterrupted;
        if (!options_.keepGoing) {
            Error(*problem);
            return kExitBroken;
        }
        if (replaced_ < kProblemsNamed)
            Error(*problem + " (replaced)");
        ++replaced_;
        Substitute(data, size);
    }
    if (!data && size == 0 && info_.chained && !haveGood_)
        return kExitOk; // nothing to repeat yet: the frame is left out
    if (int code = toStdout_ ? SendToPipe(data, size) : WriteVideo(data, size, pts))
        return code;
    bytes_ += size;
    ++written_;
    progress_->Update(frames_, bytes_);
    return kExitOk;
}

// The frame the record names, as the target takes it; the problem when it cannot be had.
std::optional<std::string> ExportSession::ReadFrame(uint64_t index, const uint8_t*& data,
                                                    size_t& size) {
    FrameSource source;
    if (auto problem = checker_->Check(index, pkt_->data, size_t(pkt_->size), source))
        return problem;
    const size_t want = info_.chained ? source.record.size : info_.storedBytes;
    if (info_.chained)
        stored_.resize(want);
    uint8_t* into = info_.chained || rearrange_ ? stored_.data() : frame_.data();
    std::string why;
    if (!reader_.Read(source.piece->path, source.record.offset, into, want, why))
        return "frame " + std::to_string(index) + ", record " + std::to_string(index) + " (" +
               Shown(source.record.path) + "): " + why;
    haveGood_ = true;
    if (info_.chained) {
        data = stored_.data();
        size = want;
        lastChained_ = stored_;
        return std::nullopt;
    }
    if (rearrange_)
        for (int y = 0; y < info_.height; ++y)
            std::memcpy(frame_.data() + size_t(y) * outStride_,
                        stored_.data() +
                            size_t(flip_ ? info_.height - 1 - y : y) * info_.storedStride,
                        info_.rowBytes);
    data = frame_.data();
    size = frame_.size();
    return std::nullopt;
}

// With --keep-going: the last good frame again (black before the first; a chained stream has
// none to give then).
void ExportSession::Substitute(const uint8_t*& data, size_t& size) {
    if (info_.chained) {
        if (haveGood_)
            data = lastChained_.data(), size = lastChained_.size();
        return;
    }
    if (!haveGood_)
        avi::FillBlack(info_.kind, uint32_t(info_.width), uint32_t(info_.height), frame_.data(),
                       frame_.size()),
            haveGood_ = true;
    data = frame_.data(), size = frame_.size();
}

int ExportSession::SendToPipe(const uint8_t* data, size_t size) {
    if (WriteAll(1, data, size))
        return kExitOk;
    if (Interrupted())
        return kExitInterrupted;
    Error("cannot write raw frames to standard output: " + std::string(std::strerror(errno)));
    return kExitOutput;
}

int ExportSession::WriteVideo(const uint8_t* data, size_t size, int64_t pts) {
    if (int code = FillLateStart(pts))
        return code;
    av_packet_unref(outPkt_);
    outPkt_->data = const_cast<uint8_t*>(data);
    outPkt_->size = int(size);
    outPkt_->stream_index = 0;
    outPkt_->pts = outPkt_->dts = pts;
    outPkt_->duration = 1;
    outPkt_->flags = AV_PKT_FLAG_KEY;
    av_packet_rescale_ts(outPkt_, inVideo_->time_base, oc_->streams[0]->time_base);
    const int r = av_write_frame(oc_, outPkt_);
    outPkt_->data = nullptr;
    outPkt_->size = 0;
    return r < 0 ? WriteFailed(r) : kExitOk;
}

// A container without timestamps: a stream that starts late begins with empty (dropped) frames,
// which its muxer adds only between frames, not before the first.
int ExportSession::FillLateStart(int64_t pts) {
    if (!container_->fillsLateStart)
        return kExitOk;
    if (aviFill_ == 0 && pts > kMaxLeadingFrames) {
        Error(path_ + ": the video starts " + std::to_string(pts) +
              " frames late; an AVI would need as many empty frames (export to .mkv or .nut "
              "instead)");
        return kExitUsage;
    }
    for (; aviFill_ < pts; ++aviFill_) {
        av_packet_unref(outPkt_);
        outPkt_->stream_index = 0;
        outPkt_->pts = outPkt_->dts = aviFill_;
        outPkt_->duration = 1;
        av_packet_rescale_ts(outPkt_, inVideo_->time_base, oc_->streams[0]->time_base);
        if (const int r = av_write_frame(oc_, outPkt_); r < 0)
            return WriteFailed(r);
    }
    aviFill_ = INT64_MAX;
    return kExitOk;
}

// A write the file refused is the output's fault; one the writer refused, the input's.
int ExportSession::WriteFailed(int result) {
    if (Interrupted())
        return kExitInterrupted; // said once, by the end of the export
    if (file_.lastErrno()) {
        Error("cannot write " + out_ + ": " + AvError(result) +
              (file_.lastErrno() == ENOSPC ? " (disk full)" : ""));
        return kExitOutput;
    }
    Error("the " + std::string(container_->muxer) + " writer refuses frame " +
          std::to_string(frames_ ? frames_ - 1 : 0) + " of " + path_ + ": " + AvError(result));
    return kExitUsage;
}

int ExportSession::EndOfFrames(int code) {
    if (Interrupted())
        code = kExitInterrupted;
    if (code == kExitOk && read_ != AVERROR_EOF && read_ < 0) {
        Error(path_ + ": reading stopped after frame " + std::to_string(frames_) + ": " +
              AvError(read_));
        code = kExitUsage;
    }
    if (code == kExitOk && frames_ < info_.length) {
        const std::string message = path_ + ": the stream header promises " +
                                    std::to_string(info_.length) + " frames, the file holds " +
                                    std::to_string(frames_) + " (AVI cut short?)";
        if (!options_.keepGoing) {
            Error(message);
            code = kExitUsage;
        } else {
            Error(message + "; exported what is there");
        }
    }
    // Some muxers write a file nothing reads back when no frame came (NUT has no header then).
    if (code == kExitOk && written_ == 0) {
        Error(path_ + ": the KEST stream holds no frame to export");
        code = kExitUsage;
    }
    return code;
}

int ExportSession::Finish() {
    if (oc_) {
        if (const int r = av_write_trailer(oc_); r < 0)
            return Fail(kExitOutput, "cannot finish " + out_ + ": " + AvError(r));
        avformat_free_context(oc_);
        oc_ = nullptr;
        std::string error;
        if (!file_.Finish(out_, error))
            return Fail(kExitOutput, error);
        if (Interrupted()) // too late to stop: the output is whole
            Warning("interrupted as " + out_ + " was complete; it is kept");
    }
    progress_->Update(frames_, bytes_, true);
    if (!options_.quiet && !toStdout_)
        std::fprintf(stderr, "kestro: exported %llu frames to %s\n", (unsigned long long)frames_,
                     out_.c_str());
    if (replaced_)
        std::fprintf(stderr, "kestro: %llu frame(s) replaced by the last good one (or black)\n",
                     (unsigned long long)replaced_);
    return kExitOk;
}

} // namespace

int RunExport(const Options& options) {
    if (options.args.size() != 2) {
        Error("usage: kestro export IN.avi OUT." + ContainerBraces() + "|- [options]");
        return kExitUsage;
    }
    return ExportSession(options).Run();
}

} // namespace kestro::tool
