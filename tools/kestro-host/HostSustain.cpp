// check --sustain: whether the data file's disk keeps a stream for a whole capture, found by
// letting the codec itself write frames of the stream's kind and size into a data file of its
// own beside the configured one, as fast as the disk takes them, past the drive's write cache.
#include <windows.h>
#include <vfw.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <set>
#include <vector>

#include "Host.h"
#include "HostWin.h"
#include "PathGate.h"
#include "SustainRate.h"
#include "pure/FrameRecord.h"
#include "pure/PiecePath.h"
#include "pure/ReserveMath.h"
#include "pure/TakeNames.h"
#include "settings/CodecSettings.h"

namespace host {

namespace {

// The check's data file, in the folder of the configured one. A check that was killed leaves it;
// the next one removes it first.
constexpr char kCheckName[] = "kestro-sustain-check";
// What the check leaves free on the disk: this much, or a hundredth of what was free.
constexpr uint64_t kLeftFree = 64ull << 20;
constexpr uint64_t kLeftFreeShare = 100;
constexpr size_t kSamplesPerRow = 5;
constexpr double kSecondsPerMinute = 60;
constexpr double kMegabyte = 1e6, kGigabyte = 1e9;

std::string MbPerSecond(double bytesPerSecond) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB/s", bytesPerSecond / kMegabyte);
    return text;
}

// Gigabytes from ten on, megabytes below.
std::string Gigabytes(double bytes) {
    char text[32];
    if (bytes >= 10 * kGigabyte)
        std::snprintf(text, sizeof text, "%.1f GB", bytes / kGigabyte);
    else
        std::snprintf(text, sizeof text, "%.0f MB", bytes / kMegabyte);
    return text;
}

std::string FileNameOf(const std::string& path) {
    const size_t slash = path.find_last_of("\\/:");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Whether `fileName` is one of the files a capture into the data file `baseName` makes: a piece,
// its take file and what lies beside it under the data file's name.
bool BelongsTo(const std::string& fileName, const std::string& baseName) {
    if (kestro::IsPieceOf(fileName, baseName))
        return true;
    if (fileName.size() <= baseName.size() + 1 ||
        lstrcmpiA(fileName.substr(0, baseName.size()).c_str(), baseName.c_str()) != 0 ||
        fileName[baseName.size()] != '.')
        return false;
    const std::string rest = fileName.substr(baseName.size() + 1);
    return rest == "take" || rest == "journal" || rest.rfind("take.tmp-", 0) == 0;
}

// Removes the files of data file `base`; those that would not go stay in `left`.
// A file the codec has just closed may still be held for a moment by whoever else opened it (a
// virus scanner, an indexer, the system finishing a transfer): tried again for up to 2 s.
bool DeleteSoon(const std::string& file) {
    for (int tries = 0;; ++tries) {
        if (DeleteFileA(file.c_str()))
            return true;
        if (GetLastError() != ERROR_SHARING_VIOLATION || tries == 40)
            return false;
        Sleep(50);
    }
}

void RemoveDataFile(const std::string& base, std::vector<std::string>& removed,
                    std::vector<std::string>& left) {
    WIN32_FIND_DATAA found{};
    HANDLE search = FindFirstFileA((base + ".*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    const std::string folder = DirectoryOf(base), name = FileNameOf(base);
    std::vector<std::string> files;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            BelongsTo(found.cFileName, name))
            files.push_back(folder + found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    for (const std::string& file : files)
        (DeleteSoon(file) ? removed : left).push_back(file);
}

// The settings file names the check's data files while the codec loads (the data file's, and
// each set stripe's in its own folder), and the user's again at once: the codec holds what it
// read, and a check that is killed leaves the user's names.
class DataFileSwap {
public:
    DataFileSwap() : ini_(SettingsFilePath()) {
        const char kAbsent[] = "\x01";
        for (auto field : {&CCodecSettings::dataFileName, &CCodecSettings::stripeFile1,
                           &CCodecSettings::stripeFile2, &CCodecSettings::stripeFile3}) {
            Kept k{&SettingKeyOf(field), ReadKeyText(ini_, SettingKeyOf(field), kAbsent)};
            k.absent = k.original == kAbsent;
            kept_.push_back(k);
        }
    }
    ~DataFileSwap() { Restore(); }
    DataFileSwap(const DataFileSwap&) = delete;
    DataFileSwap& operator=(const DataFileSwap&) = delete;

    // `bases` in turn order: the data file's, then one for each stripe that is set.
    bool Point(const std::vector<std::string>& bases) {
        size_t next = 0;
        for (size_t i = 0; i < kept_.size(); ++i)
            if ((i == 0 || (!kept_[i].absent && !kept_[i].original.empty())) &&
                (next >= bases.size() || !WriteKeyText(ini_, *kept_[i].row, bases[next++])))
                return false;
        return true;
    }
    void Restore() {
        for (const Kept& k : kept_) {
            if (k.absent)
                WritePrivateProfileStringA(kSettingsSection, k.row->key, nullptr, ini_.c_str());
            else
                WriteKeyText(ini_, *k.row, k.original);
        }
    }

private:
    struct Kept {
        const SettingKey* row;
        std::string original;
        bool absent = false;
    };
    std::string ini_;
    std::vector<Kept> kept_;
};

// The data files the check wrote, removed when it ends in whatever way.
class CheckFiles {
public:
    explicit CheckFiles(std::vector<std::string>& removed) : removed_(removed) {}
    ~CheckFiles() { RemoveAll(); }
    CheckFiles(const CheckFiles&) = delete;
    CheckFiles& operator=(const CheckFiles&) = delete;

    void Add(const std::string& base) { bases_.insert(base); }
    void RemoveAll() {
        std::vector<std::string> left;
        for (const std::string& base : bases_)
            RemoveDataFile(base, removed_, left);
        bases_.clear();
        for (const std::string& file : left)
            Warning("could not remove " + file +
                    ", which the check wrote: " + SystemMessage(GetLastError()));
    }

private:
    std::set<std::string> bases_;
    std::vector<std::string>& removed_;
};

class SustainCheck {
public:
    SustainCheck(const SustainOptions& options, SustainResult& out)
        : o_(options), out_(out),
          files_(out.removed), windows_{options.sampleSeconds, SustainWindows{}.sampleFrames,
                                        options.steadySeconds} {}

    int Run() {
        // From here a Ctrl-C ends the check through its own cleanup.
        ListenForStop();
        for (auto step : {&SustainCheck::CheckOptions, &SustainCheck::Prepare,
                          &SustainCheck::OpenCodec, &SustainCheck::Negotiate, &SustainCheck::Begin})
            if (int code = (this->*step)())
                return code;
        Announce();
        WriteFrames();
        ICCompressEnd(hic_.get());
        hic_.Reset(nullptr);
        // The codec saves its settings as it unloads, the check's data file among them.
        if (!GetModuleHandleA("kestro32.dll"))
            swap_.reset();
        files_.RemoveAll();
        if (!o_.quiet && !out_.removed.empty())
            std::printf("check: removed the %zu files it wrote (%s...)\n", out_.removed.size(),
                        out_.removed[0].c_str());
        return Judge();
    }

private:
    int CheckOptions();
    int Prepare();
    int PrepareFolder(const std::vector<std::string>& files, const std::string& file);
    int OpenCodec();
    int Negotiate();
    int Begin();
    void Announce();
    void WriteFrames();
    std::optional<SustainResult::Stop> Decide(const RateReading& r) const;
    void PrintRow(const SustainTrace& trace, size_t& printed) const;
    int Judge();
    void AddToStripe(const std::string& base, uint64_t bytes);
    void SayStripes();
    std::string Stream() const;
    std::string Pieces() const;

    const SustainOptions& o_;
    SustainResult& out_;
    CCodecSettings settings_;
    std::vector<std::string> checkBases_; // the data file's, then each stripe's, in turn order
    uint64_t dibBytes_ = 0, writeBytes_ = 0, room_ = UINT64_MAX, planned_ = 0;
    std::optional<DataFileSwap> swap_;
    CheckFiles files_; // declared before the codec: its files are closed before they go
    CodecHandle hic_;
    BITMAPINFOHEADER in_{};
    std::vector<uint8_t> formatBlock_, frameFormatBlock_, record_;
    SustainWindows windows_;
    RateReading reading_;
    // A striped check: each data file's frames in turn order (the order their pieces first came
    // back in), as the moment and the bytes handed over by then.
    std::vector<std::string> stripeBases_;
    std::vector<std::vector<FrameMoment>> stripeFrames_;
    uint64_t inFlightBytes_ = 0; // on their way when a frame is taken back, over every disk
};

// Piece 0 of each of the check's data files, in turn order.
std::string SustainCheck::Pieces() const {
    std::string text;
    for (const std::string& base : checkBases_)
        text += (text.empty() ? "" : " and ") + kestro::FormatPieceName(base, 0);
    return text;
}

std::string SustainCheck::Stream() const {
    char rate[32];
    std::snprintf(rate, sizeof rate, "%g", o_.rate);
    return std::string(RawKindName(o_.kind)) + " " + std::to_string(o_.size.width) + "x" +
           std::to_string(o_.size.height) + " at " + rate + " fps";
}

int SustainCheck::CheckOptions() {
    if (auto problem = SizeProblem(o_.kind, o_.size)) {
        Error(*problem);
        return kExitUsage;
    }
    if (!(o_.rate > 0 && o_.rate <= 1000) || !(o_.minutes > 0) ||
        !(o_.sampleSeconds > 0 && o_.steadySeconds >= o_.sampleSeconds)) {
        Error("check --sustain needs a rate above 0 and at most 1000 frames a second and a "
              "positive number of minutes");
        return kExitUsage;
    }
    dibBytes_ = DibFrameBytes(o_.kind, o_.size);
    if (dibBytes_ > 0x7fffffff / 5) {
        Error("frames of " + std::to_string(dibBytes_) + " bytes are too large");
        return kExitUsage;
    }
    writeBytes_ = PageRounded(dibBytes_);
    out_.needRate = kestro::StreamBytesPerSecond(writeBytes_, o_.rate);
    planned_ = uint64_t(o_.minutes * kSecondsPerMinute * out_.needRate);
    return kExitOk;
}

// The check's data file goes beside the configured one, on the same disk; a striped take's
// beside each of its data files, each disk writing its turns.
int SustainCheck::Prepare() {
    if (GetModuleHandleA("kestro32.dll")) {
        Error("the codec is already loaded in this process: the check can give it a data file "
              "of its own only as it loads");
        return kExitUsage;
    }
    if (RegisteredDriver().empty() && !CodecHandle(host::OpenCodec(ICMODE_COMPRESS)))
        return kExitCodec;
    settings_.LoadSettings(CodecLibraryPath());
    const std::vector<std::string> files = settings_.StripeFiles();
    for (const std::string& file : files)
        if (int code = PrepareFolder(files, file))
            return code;
    room_ = room_ == UINT64_MAX ? room_ : room_ * files.size();
    return kExitOk;
}

int SustainCheck::PrepareFolder(const std::vector<std::string>& files, const std::string& file) {
    const std::string piece = kestro::FormatPieceName(file, 0);
    if (const std::string why = PathGate(files).Refusal(piece, ""); !why.empty()) {
        Error(why + ": name another data file with --datafile NAME" +
              (files.size() > 1 ? " (or another stripe with --ini stripeN=NAME)" : ""));
        return kExitUsage;
    }
    const std::string folder = DirectoryOf(piece);
    const DWORD attributes = GetFileAttributesA(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        Error("the folder " + folder + " of the data file " + piece + " does not exist");
        return kExitUsage;
    }
    const std::string base = folder + kCheckName;
    for (const std::string& earlier : checkBases_)
        if (lstrcmpiA(earlier.c_str(), base.c_str()) == 0) {
            Error("two data files of the take lie in " + folder +
                  ": a stripe spreads the writes only on a disk of its own");
            return kExitUsage;
        }
    std::vector<std::string> removed, left;
    RemoveDataFile(base, removed, left);
    if (!left.empty()) {
        Error(left[0] + " is in use: another check is writing into " + folder);
        return kExitUsage;
    }
    checkBases_.push_back(base);
    files_.Add(base);
    // Each disk takes its turns: the take stops when the fullest would.
    if (const uint64_t free = FreeBytesAt(piece); free != UINT64_MAX) {
        const uint64_t keep = std::max(kLeftFree, free / kLeftFreeShare);
        room_ = std::min(room_, free > keep ? free - keep : 0);
    }
    return kExitOk;
}

int SustainCheck::OpenCodec() {
    swap_.emplace();
    if (!swap_->Point(checkBases_)) {
        Error("cannot write the check's data file into " + SettingsFilePath() + ": " +
              SystemMessage(GetLastError()));
        return kExitUsage;
    }
    hic_.Reset(host::OpenCodec(ICMODE_COMPRESS));
    swap_->Restore();
    if (!hic_)
        return kExitCodec;
    if (o_.onCodecOpen)
        o_.onCodecOpen();
    return kExitOk;
}

int SustainCheck::Negotiate() {
    in_.biSize = sizeof in_;
    in_.biWidth = LONG(o_.size.width);
    in_.biHeight = LONG(o_.size.height);
    in_.biPlanes = 1;
    in_.biBitCount = WORD(BitsPerPixel(o_.kind));
    in_.biCompression = FourccOf(o_.kind);
    in_.biSizeImage = DWORD(dibBytes_);
    const LRESULT status = ICCompressQuery(hic_.get(), &in_, nullptr);
    const LRESULT formatBytes = ICCompressGetFormatSize(hic_.get(), &in_);
    if (status != ICERR_OK || formatBytes < LRESULT(sizeof in_) || formatBytes > 1 << 20) {
        Error("the codec refuses " + Stream() + " (" + IcErrorText(status) + ")");
        return kExitCodec;
    }
    formatBlock_.assign(size_t(formatBytes), 0);
    auto* format = reinterpret_cast<BITMAPINFOHEADER*>(formatBlock_.data());
    const LRESULT largest = ICCompressGetFormat(hic_.get(), &in_, format) == ICERR_OK
                                ? ICCompressGetSize(hic_.get(), &in_, format)
                                : 0;
    if (largest <= 0) {
        Error("the codec gives no output format for " + Stream());
        return kExitCodec;
    }
    frameFormatBlock_ = formatBlock_;
    record_.resize(size_t(largest));
    return kExitOk;
}

int SustainCheck::Begin() {
    auto* format = reinterpret_cast<BITMAPINFOHEADER*>(formatBlock_.data());
    const LRESULT status = ICCompressBegin(hic_.get(), &in_, format);
    if (status == ICERR_OK)
        return kExitOk;
    const StartReport report = CheckCaptureStart(dibBytes_);
    Error("the codec cannot start writing into " + kestro::FormatPieceName(checkBases_[0], 0) +
          " (" + IcErrorText(status) + ")" +
          (report.obstacle.empty() ? "" : ": " + report.obstacle));
    PrintStartReport(report, false);
    return kExitCodec;
}

void SustainCheck::Announce() {
    std::string mode =
        settings_.overlappedWrites
            ? "request=" + std::to_string(settings_.EffectiveRequestCount()) +
                  (settings_.cachedWrites ? ", overlapped" : ", overlapped, unbuffered")
            : "one write at a time, unbuffered";
    std::printf("sustain: %s needs %s (%s with a margin of 20 %%)\n", Stream().c_str(),
                MbPerSecond(out_.needRate).c_str(),
                MbPerSecond(out_.needRate * kestro::kRateMargin).c_str());
    std::printf("sustain: the codec writes as fast as the disk takes it (%s) into %s, until the "
                "rate has fallen and held for %g s or the %g min planned (%s) are written\n",
                mode.c_str(), Pieces().c_str(), o_.steadySeconds, o_.minutes,
                Gigabytes(double(planned_)).c_str());
    if (!o_.quiet)
        std::printf("%10s %10s %13s\n", "time", "written", "rate");
    std::fflush(stdout);
}

// The rate has fallen and held since for the window: the cache is behind. It held steady from
// the start below the stream's need: more writing tells nothing new.
std::optional<SustainResult::Stop> SustainCheck::Decide(const RateReading& r) const {
    if (r.fall && r.steadyRate && out_.seconds - r.fall->at >= windows_.steadySeconds)
        return SustainResult::Stop::AfterCache;
    if (!r.fall && r.steadyRate && !kestro::KeepsUp(*r.steadyRate, out_.needRate))
        return SustainResult::Stop::BelowNeed;
    return std::nullopt;
}

void SustainCheck::PrintRow(const SustainTrace& trace, size_t& printed) const {
    const auto& samples = trace.Samples();
    if (o_.quiet || samples.size() < printed + kSamplesPerRow)
        return;
    const RateSample& last = samples.back();
    const double since = printed ? samples[printed - 1].end : 0;
    const uint64_t before = printed ? samples[printed - 1].bytes : 0;
    std::printf("%8.1f s %10s %13s\n", last.end, Gigabytes(double(last.bytes)).c_str(),
                MbPerSecond(double(last.bytes - before) / (last.end - since)).c_str());
    std::fflush(stdout);
    printed = samples.size();
}

void SustainCheck::WriteFrames() {
    // The codec writes whole pages; with a direct writer it waits for each write itself.
    const bool keepsInFlight =
        settings_.overlappedWrites && (settings_.copyBeforeWrite || settings_.chainedFourcc != 0);
    inFlightBytes_ = keepsInFlight ? settings_.EffectiveRequestCount() * writeBytes_ : 0;
    SustainTrace trace(windows_, inFlightBytes_);
    PageBuffer frames[2] = {PageBuffer(size_t(writeBytes_)), PageBuffer(size_t(writeBytes_))};
    if (!frames[0] || !frames[1]) {
        Error("out of memory for frames of " + std::to_string(dibBytes_) + " bytes");
        out_.stop = SustainResult::Stop::WriteFailed;
        return;
    }
    std::vector<uint8_t> raw(size_t(RawFrameBytes(o_.kind, o_.size)));
    for (uint32_t i = 0; i < 2; ++i) {
        MakePatternFrame(o_.kind, o_.size, i, raw.data());
        if (IsRgbKind(o_.kind))
            RawRgbToDib(raw.data(), frames[i].data(), o_.size, BitsPerPixel(o_.kind) / 8);
        else
            std::copy(raw.begin(), raw.end(), frames[i].data());
    }
    auto* format = reinterpret_cast<BITMAPINFOHEADER*>(formatBlock_.data());
    auto* frameFormat = reinterpret_cast<BITMAPINFOHEADER*>(frameFormatBlock_.data());
    const PathGate gate(checkBases_);
    size_t printed = 0;
    const double start = Seconds(), limit = o_.minutes * kSecondsPerMinute;
    while (out_.stop == SustainResult::Stop::None) {
        if (StopRequested()) {
            out_.stop = SustainResult::Stop::Interrupted;
            break;
        }
        if (trace.Bytes() + writeBytes_ > room_) {
            out_.stop = SustainResult::Stop::Space;
            break;
        }
        DWORD ckid = 0, flags = 0;
        frameFormat->biSizeImage = format->biSizeImage;
        const LRESULT status = ICCompress(hic_.get(), ICCOMPRESS_KEYFRAME, frameFormat,
                                          record_.data(), &in_, frames[out_.frames % 2].data(),
                                          &ckid, &flags, LONG(out_.frames), 0, 0, nullptr, nullptr);
        out_.seconds = Seconds() - start;
        auto stored =
            status == ICERR_OK
                ? kestro::ParseFrameRecord(record_.data(), size_t(frameFormat->biSizeImage))
                : std::nullopt;
        if (!stored || stored->path.size() < 4) {
            Error("the codec could not store frame " + std::to_string(out_.frames) + " (" +
                  IcErrorText(status) + ")");
            out_.stop = SustainResult::Stop::WriteFailed;
            break;
        }
        // A piece's name is its data file's and ".NNN"; only a name the rule accepts is removed.
        const std::string piece(stored->path);
        if (gate.Refusal(piece, "").empty())
            files_.Add(piece.substr(0, piece.size() - 4));
        if (checkBases_.size() > 1)
            AddToStripe(piece.substr(0, piece.size() - 4), PageRounded(stored->size));
        ++out_.frames;
        const bool sampled = trace.Add(out_.seconds, PageRounded(stored->size));
        // What the codec writes a frame (less than the picture through a chained codec).
        out_.needRate = double(trace.Bytes()) / double(out_.frames) * o_.rate;
        if (sampled) {
            PrintRow(trace, printed);
            if (auto stop = Decide(trace.Read()))
                out_.stop = *stop;
        }
        if (out_.stop == SustainResult::Stop::None && trace.Bytes() >= planned_)
            out_.stop = SustainResult::Stop::Planned;
        if (out_.stop == SustainResult::Stop::None && out_.seconds >= limit)
            out_.stop = SustainResult::Stop::TimeLimit;
    }
    out_.bytes = trace.Bytes();
    reading_ = trace.Read();
}

void SustainCheck::AddToStripe(const std::string& base, uint64_t bytes) {
    size_t k = 0;
    while (k < stripeBases_.size() && stripeBases_[k] != base)
        ++k;
    if (k == stripeBases_.size()) {
        stripeBases_.push_back(base);
        stripeFrames_.emplace_back();
    }
    auto& frames = stripeFrames_[k];
    frames.emplace_back(out_.seconds, (frames.empty() ? 0 : frames.back().second) + bytes);
}

// What each disk of a striped check did; the slowest one holds the take back.
void SustainCheck::SayStripes() {
    for (size_t k = 0; k < stripeFrames_.size(); ++k) {
        const StripeShare share =
            ReadStripeShare(stripeFrames_[k], reading_.fall, out_.seconds, windows_.steadySeconds,
                            inFlightBytes_ / stripeFrames_.size());
        out_.stripeRates.push_back(share.after);
        out_.stripeCacheBytes.push_back(share.cacheBytes);
        std::printf("check: data file %zu (%s): %s at first", k, stripeBases_[k].c_str(),
                    MbPerSecond(share.first).c_str());
        if (reading_.fall)
            std::printf(", then %s once %s were written", MbPerSecond(share.after).c_str(),
                        Gigabytes(double(share.cacheBytes)).c_str());
        std::printf("\n");
    }
}

int SustainCheck::Judge() {
    SayStripes();
    const RateReading& r = reading_;
    const double average = out_.seconds > 0 ? double(out_.bytes) / out_.seconds : 0;
    out_.fastRate = r.fastRate > 0 ? r.fastRate : average;
    out_.sustainedRate = r.steadyRate.value_or(average);
    const double need = out_.needRate, plannedSeconds = o_.minutes * kSecondsPerMinute;
    const std::string needs = "the stream needs " + MbPerSecond(need) + ", " +
                              MbPerSecond(need * kestro::kRateMargin) + " with a margin of 20 %";
    std::string& v = out_.verdict;
    if (out_.stop == SustainResult::Stop::Interrupted ||
        out_.stop == SustainResult::Stop::WriteFailed)
        v = "stopped after " + Gigabytes(double(out_.bytes)) + " in " + DurationText(out_.seconds) +
            ", at " + MbPerSecond(average) + " on average";
    else if (!kestro::KeepsUp(out_.fastRate, need))
        v = "this disk does not keep " + Stream() + ": it writes " + MbPerSecond(out_.fastRate) +
            " from the start; " + needs;
    else if (r.fall) {
        out_.cacheBytes = r.fall->cacheBytes;
        out_.keepsSeconds = kestro::KeepsUp(out_.sustainedRate, need)
                                ? plannedSeconds
                                : double(out_.cacheBytes) / need;
        out_.keeps = out_.keepsSeconds >= plannedSeconds;
        v = out_.keeps && kestro::KeepsUp(out_.sustainedRate, need)
                ? "this disk keeps " + Stream() + ": " + MbPerSecond(out_.fastRate) +
                      " for the first " + Gigabytes(double(out_.cacheBytes)) +
                      " (its write cache), then " + MbPerSecond(out_.sustainedRate) + "; " + needs
                : "this disk keeps " + Stream() + " for about " + DurationText(out_.keepsSeconds) +
                      ", then falls to " + MbPerSecond(out_.sustainedRate) + " (after " +
                      Gigabytes(double(out_.cacheBytes)) + " at " + MbPerSecond(out_.fastRate) +
                      "); " + needs;
    } else if (out_.stop == SustainResult::Stop::Planned) {
        out_.keeps = true;
        out_.keepsSeconds = plannedSeconds;
        v = "this disk keeps " + Stream() + " for the " + DurationText(plannedSeconds) +
            " planned: it wrote " + Gigabytes(double(out_.bytes)) + " at " + MbPerSecond(average) +
            " without slowing down; " + needs;
    } else if (out_.stop == SustainResult::Stop::BelowNeed) {
        v = "this disk does not keep " + Stream() + ": it writes " + MbPerSecond(out_.fastRate) +
            " at first and settles at " + MbPerSecond(out_.sustainedRate) + "; " + needs;
    } else {
        const char* why = out_.stop == SustainResult::Stop::Space ? "the disk has no room for more"
                                                                  : "the time planned passed first";
        v = "this disk wrote only " + Gigabytes(double(out_.bytes)) + " of the " +
            Gigabytes(double(planned_)) + " planned (" + why + "), at " + MbPerSecond(average) +
            " without slowing down; " + needs;
    }
    if (r.fall)
        std::printf("check: %s at first, %s once %s were written (the write cache), then %s\n",
                    MbPerSecond(out_.fastRate).c_str(), "falling",
                    Gigabytes(double(out_.cacheBytes)).c_str(),
                    MbPerSecond(out_.sustainedRate).c_str());
    std::printf("check: %s\n", v.c_str());
    std::fflush(stdout);
    if (out_.stop == SustainResult::Stop::Interrupted)
        return kExitInterrupted;
    if (out_.stop == SustainResult::Stop::WriteFailed)
        return kExitPartial;
    return out_.keeps ? kExitOk : kExitBroken;
}

} // namespace

int RunSustain(const SustainOptions& options, SustainResult* result) {
    SustainResult local;
    SustainResult& out = result ? *result : local;
    out = {};
    return SustainCheck(options, out).Run();
}

} // namespace host
