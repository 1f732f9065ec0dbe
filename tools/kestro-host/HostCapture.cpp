// capture: raw frames compressed through vidc.KEST into an AVI of frame records, step by step as
// a capture application takes them: the options, the sources, the data file, the negotiation, the
// begin, the AVI, then one frame after another.
#include <windows.h>
#include <vfw.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <optional>
#include <set>
#include <vector>

#include "CaptureSources.h"
#include "Host.h"
#include "HostWin.h"
#include "pure/FrameRecord.h"
#include "pure/PixelKind.h"
#include "pure/StreamFormat.h"
#include "settings/CodecSettings.h"

namespace host {

namespace {

std::atomic<bool> g_stop{false};

BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
        g_stop = true;
        return TRUE;
    }
    return FALSE;
}

// Installed once and never taken away: a Ctrl-C that comes while the capture closes its files (a
// console sends one to every process of its group, an impatient user presses it twice, and a
// handler thread the system started earlier may run late) would otherwise reach the default
// handler, which ends the process with an exit code of its own (0 under Wine,
// STATUS_CONTROL_C_EXIT on Windows) instead of the capture's 130.
void CatchConsoleControl() {
    static const bool installed = SetConsoleCtrlHandler(OnConsoleControl, TRUE) != FALSE;
    (void)installed;
}

std::string Rate(double bytes, double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB/s", seconds > 0 ? bytes / seconds / 1e6 : 0.0);
    return text;
}

std::string Fps(double rate) {
    return std::to_string(rate).substr(0, 6);
}

// A key set for one capture and given back its earlier text afterwards, also when the capture
// fails or is stopped by Ctrl-C.
class SettingForRun {
public:
    SettingForRun(const SettingKey& row, const std::string& value)
        : row_(row), path_(SettingsFilePath()), earlier_(ReadKeyText(path_, row, kAbsent)),
          set_(WriteKeyText(path_, row, value)) {}
    ~SettingForRun() {
        if (set_)
            WritePrivateProfileStringA(kSettingsSection, row_.key,
                                       earlier_ == kAbsent ? nullptr : earlier_.c_str(),
                                       path_.c_str());
    }
    SettingForRun(const SettingForRun&) = delete;
    SettingForRun& operator=(const SettingForRun&) = delete;
    bool Set() const { return set_; }
    const std::string& Path() const { return path_; }

private:
    static constexpr char kAbsent[] = "\x01";
    const SettingKey& row_;
    const std::string path_, earlier_;
    const bool set_;
};

// One capture; each step returns kExitOk to go on, else the exit code (after its message).
class CaptureSession {
public:
    CaptureSession(const CaptureOptions& options, CaptureResult& out)
        : options_(options), out_(out), source_(options) {}

    int Run() {
        for (auto step :
             {&CaptureSession::CheckOptions, &CaptureSession::OpenSources,
              &CaptureSession::PrepareCodec, &CaptureSession::Negotiate, &CaptureSession::Begin,
              &CaptureSession::OpenAvi, &CaptureSession::AllocateBuffers})
            if (int code = (this->*step)())
                return code;
        PlanLength();
        return Finish(CaptureFrames());
    }

private:
    int CheckOptions();
    int OpenSources();
    int PrepareCodec();
    int Negotiate();
    int Begin();
    int OpenAvi();
    int AllocateBuffers();
    void PlanLength();
    int CaptureFrames();
    int Finish(int code);

    // The frame loop's parts: each empty to go on, else the exit code that ends the capture.
    void Pace(uint32_t frame);
    std::optional<int> StoreFrame(uint32_t frame, const uint8_t* image);
    std::optional<int> StoreAudio(uint32_t frame);
    int InputEnded(uint32_t frame);
    void Count(uint32_t frame);
    void Report();
    void SayWhere() const;
    // A started run that cannot go on: the codec's run ends before `code` is returned.
    int EndRun(int code) {
        ICCompressEnd(hic_.get());
        return code;
    }

    const CaptureOptions& options_;
    CaptureResult& out_;
    uint64_t rawBytes_ = 0, dibBytes_ = 0;
    FrameSource source_;
    AudioSource audio_;
    // Restored only after the codec has closed: a codec that unloads writes its settings back.
    std::optional<SettingForRun> overwrite_;
    CodecHandle hic_;
    // Palettized input carries its grey palette after the header.
    struct {
        BITMAPINFOHEADER header;
        RGBQUAD palette[256];
    } inBlock_{};
    BITMAPINFOHEADER& in_ = inBlock_.header;
    LRESULT formatBytes_ = 0, largest_ = 0;
    std::vector<uint8_t> formatBlock_, frameFormatBlock_;
    BITMAPINFOHEADER* format_ = nullptr;
    BITMAPINFOHEADER* frameFormat_ = nullptr; // a copy: ICCompress changes its biSizeImage
    std::string piece0_;
    AVISTREAMINFOA info_{};
    std::optional<AviLibrary> aviLibrary_;
    AviWriter avi_;
    std::vector<uint8_t> samples_;
    std::optional<PageBuffer> raw_, bits_;
    std::vector<uint8_t> record_;
    bool rgbInput_ = false, pattern_ = false;
    uint64_t limit_ = 0;
    std::set<std::string> pieces_;
    std::string lastPiece_;
    double start_ = 0, lastProgress_ = 0;
};

int CaptureSession::CheckOptions() {
    if (auto problem = SizeProblem(options_.kind, options_.size)) {
        Error(*problem);
        return kExitUsage;
    }
    if (options_.topDown && options_.kind != kestro::KIND_RGB24) {
        Error("--top-down applies to rgb24 input only");
        return kExitUsage;
    }
    if (!(options_.rate > 0 && options_.rate <= 1000)) {
        Error("--rate must lie between 0 and 1000 frames per second");
        return kExitUsage;
    }
    if (options_.output.empty()) {
        Error("no output AVI given (-o FILE.avi)");
        return kExitUsage;
    }
    rawBytes_ = RawFrameBytes(options_.kind, options_.size);
    dibBytes_ = DibFrameBytes(options_.kind, options_.size);
    if (dibBytes_ > 0x7fffffff / 5) {
        Error("frames of " + std::to_string(dibBytes_) + " bytes are too large");
        return kExitUsage;
    }
    return kExitOk;
}

int CaptureSession::OpenSources() {
    if (!source_.Open(rawBytes_))
        return kExitUsage;
    if (!options_.audio.empty() && !audio_.Open(options_.audio))
        return kExitUsage;
    return kExitOk;
}

// The data file is settled before the codec loads: it reads the data file's name only then.
int CaptureSession::PrepareCodec() {
    if (options_.overwrite && options_.nextDataFile) {
        Error("--overwrite and --next-datafile exclude each other");
        return kExitUsage;
    }
    // Without a registration nothing here would be the codec's data file.
    if (RegisteredDriver().empty() && !CodecHandle(OpenCodec(ICMODE_COMPRESS)))
        return kExitCodec;
    if (options_.overwrite) {
        overwrite_.emplace(SettingKeyOf(&CCodecSettings::overwrite), "1");
        if (!overwrite_->Set()) {
            Error("cannot write overwrite=1 into " + overwrite_->Path() + ": " +
                  SystemMessage(GetLastError()));
            return kExitUsage;
        }
    }
    hic_.Reset(OpenCodec(ICMODE_COMPRESS));
    return hic_ ? kExitOk : kExitCodec;
}

int CaptureSession::Negotiate() {
    in_.biSize = sizeof in_;
    in_.biWidth = LONG(options_.size.width);
    in_.biHeight = options_.topDown ? -LONG(options_.size.height) : LONG(options_.size.height);
    in_.biPlanes = 1;
    in_.biBitCount = WORD(BitsPerPixel(options_.kind));
    in_.biCompression = FourccOf(options_.kind);
    in_.biSizeImage = DWORD(dibBytes_);
    if (options_.kind == kestro::KIND_PAL8) {
        in_.biClrUsed = 256;
        for (int i = 0; i < 256; ++i)
            inBlock_.palette[i] = RGBQUAD{BYTE(i), BYTE(i), BYTE(i), 0};
    }
    LRESULT status = ICCompressQuery(hic_.get(), &in_, nullptr);
    if (status != ICERR_OK) {
        Error(std::string("the codec refuses ") + RawKindName(options_.kind) + " " +
              std::to_string(in_.biWidth) + "x" + std::to_string(in_.biHeight) + " input (" +
              IcErrorText(status) + ")" +
              (options_.kind == kestro::KIND_PAL8
                   ? std::string("; pal8 is stored only through a chained codec (--chain)")
                   : std::string()));
        return kExitCodec;
    }
    formatBytes_ = ICCompressGetFormatSize(hic_.get(), &in_);
    if (formatBytes_ < LRESULT(sizeof(BITMAPINFOHEADER)) || formatBytes_ > 1 << 20) {
        Error("the codec reports an output format of " + std::to_string(long(formatBytes_)) +
              " bytes");
        return kExitCodec;
    }
    formatBlock_.assign(size_t(formatBytes_), 0);
    format_ = reinterpret_cast<BITMAPINFOHEADER*>(formatBlock_.data());
    status = ICCompressGetFormat(hic_.get(), &in_, format_);
    if (status != ICERR_OK) {
        Error("the codec gives no output format (" + IcErrorText(status) + ")");
        return kExitCodec;
    }
    largest_ = ICCompressGetSize(hic_.get(), &in_, format_);
    if (largest_ <= 0) {
        Error("the codec reports no frame size (" + IcErrorText(largest_) + ")");
        return kExitCodec;
    }
    // The stream format is stored as negotiated; ICCompress changes biSizeImage of this copy only.
    frameFormatBlock_ = formatBlock_;
    frameFormat_ = reinterpret_cast<BITMAPINFOHEADER*>(frameFormatBlock_.data());
    return kExitOk;
}

int CaptureSession::Begin() {
    piece0_ = kestro::FormatPieceName(ReadSetting(SettingKeyOf(&CCodecSettings::dataFileName)), 0);
    const LRESULT status = ICCompressBegin(hic_.get(), &in_, format_);
    if (status == ICERR_OK)
        return kExitOk;
    // The codec gives no reason: look for it where the codec would have met it.
    const StartReport report = CheckCaptureStart(dibBytes_, largest_);
    std::string why = report.obstacle;
    auto stream = kestro::ReadStreamFormat(format_);
    if (why.empty())
        why = std::string("no reason was found in its settings or its data file") +
              (stream && stream->biChainHandler
                   ? "; the chained codec may refuse this input (--chain none stores it raw)"
                   : "");
    Error("the codec cannot start the capture (" + IcErrorText(status) + "): " + why);
    PrintStartReport(report, false);
    return kExitCodec;
}

int CaptureSession::OpenAvi() {
    info_.fccType = streamtypeVIDEO;
    info_.fccHandler = kestro::kFourccKest;
    // The rate as a fraction, kept exact for rates like 29.97.
    info_.dwScale = std::fabs(options_.rate - std::round(options_.rate)) < 1e-9 ? 1 : 1000;
    info_.dwRate = DWORD(std::llround(options_.rate * info_.dwScale));
    info_.dwQuality = DWORD(-1);
    info_.dwSuggestedBufferSize = DWORD(largest_);
    SetRect(&info_.rcFrame, 0, 0, in_.biWidth, in_.biHeight);
    std::snprintf(info_.szName, sizeof info_.szName, "Kestro32 capture");
    aviLibrary_.emplace();
    HRESULT hr = avi_.Open(options_.output, info_, format_, LONG(formatBytes_));
    if (hr != AVIERR_OK) {
        Error("cannot create " + options_.output + ": " + AviErrorText(hr));
        return EndRun(kExitUsage);
    }
    if (!options_.audio.empty() && (hr = avi_.AddAudio(audio_.Wave())) != AVIERR_OK) {
        Error("cannot add the audio stream to " + options_.output + ": " + AviErrorText(hr));
        return EndRun(kExitUsage);
    }
    return kExitOk;
}

int CaptureSession::AllocateBuffers() {
    raw_.emplace(size_t(rawBytes_));
    bits_.emplace(size_t(PageRounded(dibBytes_)));
    record_.resize(size_t(largest_));
    if (!raw_->data() || !bits_->data()) {
        Error("out of memory for frames of " + std::to_string(dibBytes_) + " bytes");
        return EndRun(kExitUsage);
    }
    return kExitOk;
}

// How many frames: the input's, the asked-for count, or 3 s (0: until Ctrl-C) of the pattern.
void CaptureSession::PlanLength() {
    rgbInput_ = IsRgbKind(options_.kind);
    pattern_ = options_.input.empty();
    limit_ = options_.frames < 0
                 ? (pattern_ ? uint64_t(std::llround(options_.rate * 3)) : UINT64_MAX)
             : options_.frames == 0 && pattern_ ? UINT64_MAX
                                                : uint64_t(options_.frames);
    if (options_.frames < 0 && source_.KnownFrames())
        limit_ = source_.KnownFrames();
    if (limit_ == UINT64_MAX)
        return;
    const uint64_t need = limit_ * PageRounded(dibBytes_);
    const uint64_t room = FreeBytesAt(piece0_);
    if (room != UINT64_MAX && need > room)
        Warning("the data disk has " + Megabytes(room) + " free, the capture needs about " +
                Megabytes(need) + ": it will stop when the disk is full");
}

int CaptureSession::CaptureFrames() {
    CatchConsoleControl();
    if (!options_.quiet)
        Note("capture: " + std::to_string(options_.size.width) + "x" +
             std::to_string(options_.size.height) + " " + RawKindName(options_.kind) + " at " +
             Fps(options_.rate) + " fps from " +
             (pattern_ ? std::string("the test pattern") : options_.input) + " into " +
             options_.output + ", data file " + piece0_ + " (Ctrl-C stops)");
    start_ = lastProgress_ = Seconds();
    for (uint32_t frame = 0; frame < limit_ && !g_stop; ++frame) {
        Pace(frame);
        const uint8_t* input = source_.Next(rgbInput_ ? raw_->data() : bits_->data(), frame);
        if (!input)
            return InputEnded(frame);
        if (rgbInput_)
            RawRgbToDib(input, bits_->data(), options_.size, BitsPerPixel(options_.kind) / 8,
                        options_.topDown);
        if (g_stop)
            break;
        if (auto code = StoreFrame(frame, rgbInput_ ? bits_->data() : input))
            return *code;
        if (auto code = StoreAudio(frame))
            return *code;
        Count(frame);
    }
    return kExitOk;
}

// Waits for the frame's time, like a live source.
void CaptureSession::Pace(uint32_t frame) {
    if (!options_.pace)
        return;
    const double due = start_ + frame / options_.rate;
    for (double now = Seconds(); now < due && !g_stop; now = Seconds())
        Sleep(DWORD(std::min(50.0, (due - now) * 1000) + 0.5));
}

int CaptureSession::InputEnded(uint32_t frame) {
    if (!source_.ReadError().empty()) {
        Error("reading the input failed after " + std::to_string(frame) +
              " frames: " + source_.ReadError());
        return kExitPartial;
    }
    if (source_.PartialBytes()) {
        Warning("the input ends inside frame " + std::to_string(frame) + " (" +
                std::to_string(source_.PartialBytes()) + " of " + std::to_string(rawBytes_) +
                " bytes): that partial frame was not captured");
        return kExitPartial;
    }
    if (options_.frames > 0 && uint64_t(options_.frames) > frame) {
        Warning("the input holds only " + std::to_string(frame) + " frames of the " +
                std::to_string(options_.frames) + " asked for");
        return kExitPartial;
    }
    return kExitOk;
}

// The codec stores the picture and hands back its record, which goes into the AVI.
std::optional<int> CaptureSession::StoreFrame(uint32_t frame, const uint8_t* image) {
    DWORD ckid = 0, flags = 0;
    frameFormat_->biSizeImage = format_->biSizeImage;
    const LRESULT status =
        ICCompress(hic_.get(), ICCOMPRESS_KEYFRAME, frameFormat_, record_.data(), &in_,
                   const_cast<uint8_t*>(image), &ckid, &flags, LONG(frame), 0, 0, nullptr, nullptr);
    if (status != ICERR_OK) {
        const uint64_t room = FreeBytesAt(piece0_);
        if (room != UINT64_MAX && room < dibBytes_ + kestro::SystemPageSize())
            Error("the data disk is full (" + std::to_string(room) + " bytes free at " +
                  DirectoryOf(piece0_) + "): capture stopped after " + std::to_string(frame) +
                  " frames");
        else
            Error("the codec could not store frame " + std::to_string(frame) + " (" +
                  IcErrorText(status) + "): capture stopped; the data file is " + piece0_);
        return kExitPartial;
    }
    const LONG recordBytes = LONG(frameFormat_->biSizeImage);
    // A run names a new piece only at a switch: compare before making a string of it.
    if (auto parsed = kestro::ParseFrameRecord(record_.data(), size_t(recordBytes)))
        if (parsed->path != lastPiece_) {
            lastPiece_.assign(parsed->path);
            pieces_.insert(lastPiece_);
        }
    if (const HRESULT hr = avi_.Write(LONG(frame), record_.data(), recordBytes); hr != AVIERR_OK) {
        Error("cannot write frame " + std::to_string(frame) + " into " + options_.output + ": " +
              AviErrorText(hr) + "; capture stopped");
        return kExitPartial;
    }
    return std::nullopt;
}

// The audio of this frame's time span goes right after it, as a capture application stores what
// its sound card delivered meanwhile.
std::optional<int> CaptureSession::StoreAudio(uint32_t frame) {
    if (options_.audio.empty())
        return std::nullopt;
    const int64_t blocks =
        audio_.ReadUpTo(AudioBlocksBefore(frame + 1ull, audio_.Wave().samplesPerSecond,
                                          info_.dwRate, info_.dwScale),
                        samples_);
    if (blocks < 0)
        return kExitPartial;
    if (blocks > 0) {
        const HRESULT hr = avi_.WriteAudio(LONG(blocks), samples_.data(), LONG(samples_.size()));
        if (hr != AVIERR_OK) {
            Error("cannot write the audio of frame " + std::to_string(frame) + " into " +
                  options_.output + ": " + AviErrorText(hr) + "; capture stopped");
            return kExitPartial;
        }
    }
    audio_.Advance(uint64_t(blocks));
    out_.audioBlocks = audio_.Written();
    return std::nullopt;
}

void CaptureSession::Count(uint32_t frame) {
    ++out_.frames;
    out_.bytes += dibBytes_;
    const double now = Seconds();
    if (now > start_ + (frame + 1) / options_.rate + 0.5 / options_.rate)
        ++out_.late;
    if (options_.onFrame)
        options_.onFrame(out_.frames);
    if (!options_.quiet && now - lastProgress_ >= 0.5) {
        lastProgress_ = now;
        std::fprintf(stderr, "\rframes %llu  %s  late %llu   ", (unsigned long long)out_.frames,
                     Rate(double(out_.bytes), now - start_).c_str(), (unsigned long long)out_.late);
        std::fflush(stderr);
    }
}

int CaptureSession::Finish(int code) {
    out_.seconds = Seconds() - start_;
    const bool interrupted = g_stop.load();
    ICCompressEnd(hic_.get());
    avi_.Close();
    out_.pieces.assign(pieces_.begin(), pieces_.end());
    Report();
    SayWhere();
    if (interrupted) {
        Note("capture stopped by Ctrl-C after " + std::to_string(out_.frames) + " frames; " +
             options_.output + " is closed and holds every captured frame");
        return kExitInterrupted;
    }
    return code;
}

void CaptureSession::Report() {
    if (!options_.quiet) {
        std::fprintf(stderr, "\r");
        std::string where;
        for (const auto& piece : out_.pieces)
            where += (where.empty() ? "" : ", ") + piece;
        const double seconds = out_.seconds;
        Note("captured " + std::to_string(out_.frames) + " frames (" + Megabytes(out_.bytes) +
             ") in " + std::to_string(seconds).substr(0, 5) +
             " s: " + Rate(double(out_.bytes), seconds) + ", " +
             std::to_string(seconds > 0 ? out_.frames / seconds : 0.0).substr(0, 6) + " fps, " +
             std::to_string(out_.late) + " late against " + Fps(options_.rate) + " fps; AVI " +
             options_.output + (where.empty() ? "" : ", data in " + where));
    }
    if (options_.audio.empty())
        return;
    const WaveLayout& wave = audio_.Wave();
    if (!options_.quiet) {
        const double rate = wave.samplesPerSecond;
        Note("audio: " + std::to_string(audio_.Written()) + " of " + std::to_string(wave.Blocks()) +
             " sample frames of " + options_.audio + " (" +
             std::to_string(audio_.Written() / rate).substr(0, 6) + " s of " +
             std::to_string(wave.Blocks() / rate).substr(0, 6) + " s) interleaved");
    }
    if (AudioBlocksBefore(out_.frames, wave.samplesPerSecond, info_.dwRate, info_.dwScale) >
        wave.Blocks())
        Warning("the audio of " + options_.audio + " ends before the video: the last frames " +
                "have no sound");
}

// The take went where the codec's begin chose: said whether or not that is beside the data file
// of the settings, since only then does the user learn the name.
void CaptureSession::SayWhere() const {
    // Every piece of a take shares its base name; records name pieces by their suffix ".NNN".
    if (out_.pieces.empty() || out_.pieces.front().size() < 4 || piece0_.size() < 4)
        return;
    const std::string& first = out_.pieces.front();
    const std::string base = first.substr(0, first.size() - 4);
    if (kestro::FormatPieceName(base, 0) == piece0_) {
        if (!options_.quiet)
            Note("the take went to " + piece0_);
        return;
    }
    Note("the take went to " + kestro::FormatPieceName(base, 0) + ", beside " + piece0_ +
         ", whose take keeps its place (the settings still name " +
         piece0_.substr(0, piece0_.size() - 4) + ")");
}

} // namespace

void RequestStop() {
    g_stop = true;
}

void ListenForStop() {
    g_stop = false;
    CatchConsoleControl();
}

bool StopRequested() {
    return g_stop;
}

int RunCapture(const CaptureOptions& options, CaptureResult* result) {
    CaptureResult local;
    CaptureResult& out = result ? *result : local;
    out = {};
    g_stop = false;
    return CaptureSession(options, out).Run();
}

} // namespace host
