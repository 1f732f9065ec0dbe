// play: a capture decoded through the codec (ICDecompress, or AVIFile's AVIStreamGetFrame) into
// raw frames and PPM stills, as a player asks for them.
#include <windows.h>
#include <vfw.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <optional>
#include <vector>

#include "CaptureAvi.h"
#include "Host.h"
#include "HostWin.h"
#include "pure/FrameRecord.h"
#include "pure/StreamFormat.h"

namespace host {

namespace {

class Output {
public:
    ~Output() {
        if (file_ && file_ != stdout)
            std::fclose(file_);
    }
    bool Open(const std::string& path) {
        if (path.empty())
            return true;
        if (path == "-") {
            _setmode(_fileno(stdout), _O_BINARY);
            file_ = stdout;
        } else {
            file_ = std::fopen(path.c_str(), "wb");
        }
        if (!file_)
            Error("cannot create " + path);
        return file_ != nullptr;
    }
    bool Write(const uint8_t* data, size_t bytes) {
        if (!file_)
            return true;
        if (std::fwrite(data, 1, bytes, file_) != bytes) {
            Error("writing the decoded frames failed (disk full or closed pipe)");
            return false;
        }
        return true;
    }
    bool Close() {
        bool ok = true;
        if (file_ && file_ != stdout)
            ok = std::fclose(file_) == 0;
        else if (file_)
            ok = std::fflush(file_) == 0;
        file_ = nullptr;
        return ok;
    }

private:
    FILE* file_ = nullptr;
};

// A decoded picture: where its rows are, how far apart, and which comes first.
struct Picture {
    const uint8_t* bits = nullptr;
    uint64_t stride = 0;
    bool bottomUp = false;
};

// One playback; each step returns kExitOk to go on, else the exit code (after its message).
class PlaySession {
public:
    PlaySession(const PlayOptions& options, PlayResult& out) : options_(options), out_(out) {}
    ~PlaySession() {
        if (getFrame_)
            AVIStreamGetFrameClose(getFrame_);
    }

    int Run() {
        for (auto step : {&PlaySession::OpenInput, &PlaySession::Plan, &PlaySession::OpenOutput,
                          &PlaySession::OpenDecoder})
            if (int code = (this->*step)())
                return code;
        return Finish(PlayFrames());
    }

private:
    int OpenInput();
    int Plan();
    int OpenOutput();
    int OpenDecoder();
    int PlayFrames();
    int Finish(int code);

    std::optional<kestro::FrameRecordView> PlayableRecord(LONG frame);
    std::optional<Picture> ThroughGetFrame(LONG frame);
    std::optional<Picture> ThroughDecompress(LONG frame);
    const uint8_t* TopRowFirst(const Picture& picture);
    bool WriteStill(LONG frame, const uint8_t* ordered);

    const PlayOptions& options_;
    PlayResult& out_;
    AviLibrary aviLibrary_;
    AviReader avi_;
    kestro::StreamFormatHeader stream_{};
    FrameSize size_;
    uint32_t bpp_ = 0;
    uint64_t pictureBytes_ = 0, bitmapBytes_ = 0, bitmapStride_ = 0;
    bool rgb_ = false;
    BITMAPINFOHEADER want_{};
    LONG first_ = 0, end_ = 0;
    Output raw_;
    CodecHandle hic_;
    PGETFRAME getFrame_ = nullptr;
    std::vector<uint8_t> inFormat_;
    BITMAPINFOHEADER* inHeader_ = nullptr;
    std::optional<PageBuffer> picture_;
    std::vector<uint8_t> topDown_, bgr_, record_;
    ReferenceChecker checker_;
    double t0_ = 0;
};

int PlaySession::OpenInput() {
    if (!avi_.Open(options_.input))
        return kExitUsage;
    auto stream = StreamFormatOf(options_.input, avi_.format());
    if (!stream)
        return kExitUsage;
    stream_ = *stream;
    return kExitOk;
}

// The bitmap asked of the codec, and the frames to play.
int PlaySession::Plan() {
    size_ = {uint32_t(std::abs(stream_.biWidth)), kestro::AbsoluteHeight(stream_.biHeight)};
    bpp_ = BitsPerPixel(options_.as) / 8;
    pictureBytes_ = RawFrameBytes(options_.as, size_);
    rgb_ = IsRgbKind(options_.as);
    want_.biSize = sizeof want_;
    want_.biWidth = stream_.biWidth;
    want_.biHeight = stream_.biHeight;
    want_.biPlanes = 1;
    want_.biBitCount = WORD(BitsPerPixel(options_.as));
    want_.biCompression = FourccOf(options_.as);
    // A standard bitmap: RGB rows padded to four bytes, as players lay them out; the padding is
    // dropped below.
    bitmapBytes_ = DibFrameBytes(options_.as, size_);
    bitmapStride_ =
        rgb_ ? bitmapBytes_ / size_.height : RawFrameBytes(options_.as, size_) / size_.height;
    want_.biSizeImage = DWORD(bitmapBytes_);
    const LONG start = avi_.Start(), length = avi_.Length();
    first_ = LONG(std::min<int64_t>(std::max<int64_t>(options_.first, 0), length)) + start;
    end_ = options_.count < 0 ? start + length
                              : LONG(std::min<int64_t>(first_ + options_.count, start + length));
    if (options_.first >= length && length > 0) {
        Error(options_.input + " has " + std::to_string(length) + " frames; frame " +
              std::to_string(options_.first) + " does not exist");
        return kExitUsage;
    }
    return kExitOk;
}

int PlaySession::OpenOutput() {
    return raw_.Open(options_.rawOutput) ? kExitOk : kExitUsage;
}

int PlaySession::OpenDecoder() {
    inFormat_ = avi_.format();
    inHeader_ = reinterpret_cast<BITMAPINFOHEADER*>(inFormat_.data());
    if (options_.getFrame) {
        getFrame_ = AVIStreamGetFrameOpen(avi_.stream(), &want_);
        if (!getFrame_) {
            Error("avifil32 found no decompressor delivering " +
                  std::string(RawKindName(options_.as)) + " for this stream (stored " +
                  StoredKindName(stream_) + "): is vidc.KEST registered?");
            return kExitCodec;
        }
        return kExitOk;
    }
    hic_.Reset(OpenCodec(ICMODE_DECOMPRESS));
    if (!hic_)
        return kExitCodec;
    LRESULT status = ICDecompressQuery(hic_.get(), inHeader_, &want_);
    if (status != ICERR_OK) {
        Error("the codec cannot deliver " + std::string(RawKindName(options_.as)) +
              " from this stream (stored " + StoredKindName(stream_) + ")");
        return kExitCodec;
    }
    status = ICDecompressBegin(hic_.get(), inHeader_, &want_);
    if (status != ICERR_OK) {
        Error("the codec cannot start playback (" + IcErrorText(status) + ")");
        return kExitCodec;
    }
    return kExitOk;
}

int PlaySession::PlayFrames() {
    picture_.emplace(size_t(PageRounded(bitmapBytes_)));
    topDown_.resize(static_cast<size_t>(pictureBytes_));
    t0_ = Seconds();
    for (LONG frame = first_; frame < end_; ++frame) {
        auto picture = getFrame_ ? ThroughGetFrame(frame) : ThroughDecompress(frame);
        if (!picture)
            return kExitBroken;
        const uint8_t* ordered = TopRowFirst(*picture);
        if (!raw_.Write(ordered, size_t(pictureBytes_)))
            return kExitPartial;
        if (!options_.stills.empty() && !WriteStill(frame, ordered))
            return kExitPartial;
        ++out_.frames;
        out_.bytes += pictureBytes_;
    }
    return kExitOk;
}

// The frame's record, when its frame is there to be played; else empty after a message.
std::optional<kestro::FrameRecordView> PlaySession::PlayableRecord(LONG frame) {
    if (!avi_.Read(frame, record_))
        return std::nullopt;
    // The codec shows a frame whose piece cannot be opened as a blank picture.
    auto parsed = kestro::ParseFrameRecord(record_.data(), record_.size());
    const std::string problem =
        parsed ? checker_.Problem(*parsed) : std::string("it holds no frame record");
    if (!problem.empty()) {
        Error("frame " + std::to_string(frame) + " cannot be played: " + problem);
        return std::nullopt;
    }
    return parsed;
}

std::optional<Picture> PlaySession::ThroughGetFrame(LONG frame) {
    // A frame of a take the data file no longer holds is named here; the codec only refuses it.
    if (!PlayableRecord(frame))
        return std::nullopt;
    auto* dib = static_cast<BITMAPINFOHEADER*>(AVIStreamGetFrame(getFrame_, frame));
    if (!dib) {
        Error("avifil32 could not decode frame " + std::to_string(frame) +
              " (run \"kestro-host verify\" to check its data file reference)");
        return std::nullopt;
    }
    if (dib->biCompression != want_.biCompression || dib->biBitCount != want_.biBitCount) {
        Error("avifil32 delivered " + FourccText(dib->biCompression) + "/" +
              std::to_string(dib->biBitCount) + " instead of the asked-for " +
              RawKindName(options_.as));
        return std::nullopt;
    }
    Picture p;
    p.bits = reinterpret_cast<const uint8_t*>(dib) + dib->biSize + dib->biClrUsed * 4;
    p.stride =
        rgb_ && dib->biSizeImage == pictureBytes_ ? uint64_t(size_.width) * bpp_ : bitmapStride_;
    p.bottomUp = dib->biHeight > 0;
    return p;
}

std::optional<Picture> PlaySession::ThroughDecompress(LONG frame) {
    auto parsed = PlayableRecord(frame);
    if (!parsed)
        return std::nullopt;
    inHeader_->biSizeImage = DWORD(record_.size());
    const LRESULT status =
        ICDecompress(hic_.get(), 0, inHeader_, record_.data(), &want_, picture_->data());
    if (status != ICERR_OK) {
        const std::string where =
            " from " + std::string(parsed->path) + " at offset " + std::to_string(parsed->offset);
        Error("the codec could not decode frame " + std::to_string(frame) + where + " (" +
              IcErrorText(status) + "); \"kestro-host verify\" checks every reference");
        return std::nullopt;
    }
    // A top-down stream is played as a top-down bitmap.
    return Picture{picture_->data(), bitmapStride_, want_.biHeight > 0};
}

// Raw RGB files and stills are top row first, unpadded.
const uint8_t* PlaySession::TopRowFirst(const Picture& p) {
    if (!rgb_)
        return p.bits;
    for (uint32_t y = 0; y < size_.height; ++y)
        std::memcpy(topDown_.data() + uint64_t(y) * size_.width * bpp_,
                    p.bits + uint64_t(p.bottomUp ? size_.height - 1 - y : y) * p.stride,
                    size_t(size_.width) * bpp_);
    return topDown_.data();
}

bool PlaySession::WriteStill(LONG frame, const uint8_t* ordered) {
    const uint8_t* source = ordered;
    uint32_t pixelBytes = bpp_;
    if (!rgb_) {
        bgr_.resize(size_t(size_.width) * size_.height * 3);
        ReferenceYuvToRgb(ordered, bgr_.data(), size_, options_.as, 3, false);
        source = bgr_.data();
        pixelBytes = 3;
    }
    const std::vector<uint8_t> ppm = MakePpm(source, size_, pixelBytes);
    const bool single = end_ - first_ == 1 && options_.stills.find('%') == std::string::npos;
    const std::string name =
        single ? options_.stills : FrameFileName(options_.stills, uint32_t(frame));
    FILE* f = std::fopen(name.c_str(), "wb");
    if (!f || std::fwrite(ppm.data(), 1, ppm.size(), f) != ppm.size()) {
        if (f)
            std::fclose(f);
        Error("cannot write " + name);
        return false;
    }
    std::fclose(f);
    return true;
}

int PlaySession::Finish(int code) {
    out_.seconds = Seconds() - t0_;
    if (getFrame_)
        AVIStreamGetFrameClose(getFrame_);
    getFrame_ = nullptr;
    if (hic_)
        ICDecompressEnd(hic_.get());
    if (!raw_.Close() && code == kExitOk) {
        Error("writing the decoded frames failed");
        code = kExitPartial;
    }
    if (!options_.quiet) {
        char line[256];
        std::snprintf(line, sizeof line,
                      "played %llu frames as %s (%.1f MB) in %.2f s: %.1f MB/s, %.1f fps%s",
                      (unsigned long long)out_.frames, RawKindName(options_.as), out_.bytes / 1e6,
                      out_.seconds, out_.seconds > 0 ? out_.bytes / out_.seconds / 1e6 : 0.0,
                      out_.seconds > 0 ? out_.frames / out_.seconds : 0.0,
                      options_.getFrame ? " through AVIStreamGetFrame" : " through ICDecompress");
        Note(line);
    }
    return code;
}

} // namespace

int RunPlay(const PlayOptions& options, PlayResult* result) {
    PlayResult local;
    PlayResult& out = result ? *result : local;
    out = {};
    return PlaySession(options, out).Run();
}

} // namespace host
