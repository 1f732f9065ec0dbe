#include <windows.h>
#include <vfw.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <cstdio>
#include <set>
#include <vector>

#include "Host.h"
#include "HostWin.h"
#include "WaveFile.h"
#include "pure/FrameRecord.h"
#include "pure/PiecePath.h"

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

// Frames come from a file, standard input or the pattern generator.
class FrameSource {
public:
    FrameSource(const CaptureOptions& options) : options_(options) {}
    ~FrameSource() {
        if (thread_) {
            AcquireSRWLockExclusive(&lock_);
            stop_ = true;
            ReleaseSRWLockExclusive(&lock_);
            WakeConditionVariable(&roomFree_);
            WaitForSingleObject(thread_, INFINITE); // a disk read always returns
            CloseHandle(thread_);
        }
        if (file_ != INVALID_HANDLE_VALUE && ownsFile_)
            CloseHandle(file_);
    }

    bool Open(uint64_t rawBytes) {
        rawBytes_ = rawBytes;
        if (options_.input.empty())
            return true;
        if (options_.input == "-") {
            file_ = GetStdHandle(STD_INPUT_HANDLE);
            if (file_ == INVALID_HANDLE_VALUE || !file_) {
                Error("no standard input to read frames from");
                return false;
            }
            return true;
        }
        file_ =
            CreateFileA(options_.input.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (file_ == INVALID_HANDLE_VALUE) {
            Error("cannot open the input " + options_.input + ": " + SystemMessage(GetLastError()));
            return false;
        }
        ownsFile_ = true;
        LARGE_INTEGER size{};
        if (GetFileType(file_) == FILE_TYPE_DISK && GetFileSizeEx(file_, &size)) {
            const uint64_t bytes = uint64_t(size.QuadPart);
            const std::string what = std::to_string(options_.size.width) + "x" +
                                     std::to_string(options_.size.height) + " " +
                                     RawKindName(options_.kind) + " frame";
            if (bytes < rawBytes) {
                Error("the input " + options_.input + " holds " + std::to_string(bytes) +
                      " bytes, less than one " + what + " (" + std::to_string(rawBytes) +
                      " bytes): check --size and --format");
                return false;
            }
            if (bytes % rawBytes)
                Warning("the input is " + std::to_string(bytes) +
                        " bytes = " + std::to_string(bytes / rawBytes) + " whole " + what + "s + " +
                        std::to_string(bytes % rawBytes) +
                        " bytes; if it is not a truncated file, --size or --format is wrong");
            // A partial tail counts, so that the capture reaches it and reports it.
            inputFrames_ = (bytes + rawBytes - 1) / rawBytes;
            StartReadingAhead();
        }
        return true;
    }

    uint64_t KnownFrames() const { return inputFrames_; }

    // The next frame, in `raw` or in a buffer of the source's own that stays valid until the next
    // call; null at the end of the input. A partial last frame is reported, not stored.
    const uint8_t* Next(uint8_t* raw, uint32_t frame) {
        if (options_.input.empty()) {
            MakePatternFrame(options_.kind, options_.size, frame, raw);
            return raw;
        }
        if (!thread_)
            return Read(raw) ? raw : nullptr;
        AcquireSRWLockExclusive(&lock_);
        // The frame handed out last time has been stored: its buffer takes a later read.
        if (handedOut_) {
            --filled_;
            handedOut_ = false;
            WakeConditionVariable(&roomFree_);
        }
        while (filled_ == 0)
            SleepConditionVariableSRW(&frameReady_, &lock_, INFINITE, 0);
        const int slot = next_;
        next_ = (next_ + 1) % kAhead;
        handedOut_ = true;
        const bool got = got_[slot];
        ReleaseSRWLockExclusive(&lock_);
        return got ? ahead_[slot]->data() : nullptr;
    }

    uint64_t PartialBytes() const { return partialBytes_; }
    const std::string& ReadError() const { return readError_; }

private:
    // A file on disk is read ahead on a thread of its own, into a ring of buffers, while the
    // codec stores the current frame: the capture thread does not wait for the read. The ring
    // hands frames over under a slim lock, which costs no system call while neither side has to
    // wait (events would cost two per frame on each side). Pipes and consoles are read in line,
    // since their reads may never return.
    static constexpr int kAhead = 3;

    void StartReadingAhead() {
        if (GetFileType(file_) != FILE_TYPE_DISK)
            return;
        for (auto& buffer : ahead_) {
            buffer = std::make_unique<PageBuffer>(size_t(PageRounded(rawBytes_)));
            if (!buffer->data())
                return;
        }
        thread_ = CreateThread(nullptr, 0, ReadAheadMain, this, 0, nullptr);
    }

    static DWORD WINAPI ReadAheadMain(void* self) {
        static_cast<FrameSource*>(self)->ReadAhead();
        return 0;
    }

    void ReadAhead() {
        for (int slot = 0;; slot = (slot + 1) % kAhead) {
            AcquireSRWLockExclusive(&lock_);
            // The slot handed out to the capture thread is counted in filled_ until it returns.
            while (filled_ == kAhead && !stop_)
                SleepConditionVariableSRW(&roomFree_, &lock_, INFINITE, 0);
            const bool stop = stop_;
            ReleaseSRWLockExclusive(&lock_);
            if (stop)
                return;
            const bool got = Read(ahead_[slot]->data());
            AcquireSRWLockExclusive(&lock_);
            got_[slot] = got;
            ++filled_;
            ReleaseSRWLockExclusive(&lock_);
            WakeConditionVariable(&frameReady_);
            if (!got)
                return;
        }
    }

    bool Read(uint8_t* raw) {
        uint64_t have = 0;
        while (have < rawBytes_) {
            DWORD chunk = DWORD(std::min<uint64_t>(rawBytes_ - have, 1u << 24)), got = 0;
            if (!ReadFile(file_, raw + have, chunk, &got, nullptr)) {
                const DWORD error = GetLastError();
                if (error != ERROR_BROKEN_PIPE && error != ERROR_HANDLE_EOF)
                    readError_ = SystemMessage(error);
                break;
            }
            if (got == 0)
                break;
            have += got;
        }
        if (have == rawBytes_)
            return true;
        partialBytes_ = have;
        return false;
    }

    const CaptureOptions& options_;
    HANDLE thread_ = nullptr;
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE frameReady_ = CONDITION_VARIABLE_INIT;
    CONDITION_VARIABLE roomFree_ = CONDITION_VARIABLE_INIT;
    // Under lock_: stop_, filled_ (read and not yet given back), got_, next_, handedOut_.
    bool stop_ = false;
    int filled_ = 0;
    int next_ = 0;
    bool handedOut_ = false;
    std::unique_ptr<PageBuffer> ahead_[kAhead];
    bool got_[kAhead] = {};
    HANDLE file_ = INVALID_HANDLE_VALUE;
    bool ownsFile_ = false;
    uint64_t rawBytes_ = 0;
    uint64_t inputFrames_ = 0;
    uint64_t partialBytes_ = 0;
    std::string readError_;
};

// The samples of a WAV file, read in order as the video advances.
class AudioSource {
public:
    ~AudioSource() {
        if (file_ != INVALID_HANDLE_VALUE)
            CloseHandle(file_);
    }

    // False after a message naming the file and what is wrong with it.
    bool Open(const std::string& path) {
        path_ = path;
        file_ = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (file_ == INVALID_HANDLE_VALUE) {
            Error("cannot open the audio " + path + ": " + SystemMessage(GetLastError()));
            return false;
        }
        LARGE_INTEGER size{};
        if (GetFileType(file_) != FILE_TYPE_DISK || !GetFileSizeEx(file_, &size)) {
            Error("the audio " + path + " is not a file on a disk (a WAV file is needed)");
            return false;
        }
        std::vector<uint8_t> head(size_t(std::min<int64_t>(size.QuadPart, 1 << 16)));
        DWORD got = 0;
        if (!head.empty() && (!ReadFile(file_, head.data(), DWORD(head.size()), &got, nullptr) ||
                              got != head.size())) {
            Error("cannot read the audio " + path + ": " + SystemMessage(GetLastError()));
            return false;
        }
        if (std::string why = ParseWave(head.data(), head.size(), uint64_t(size.QuadPart), wave_);
            !why.empty()) {
            Error("cannot interleave the audio " + path + ": " + why);
            return false;
        }
        LARGE_INTEGER at{};
        at.QuadPart = LONGLONG(wave_.dataOffset);
        if (!SetFilePointerEx(file_, at, nullptr, FILE_BEGIN)) {
            Error("cannot read the audio " + path + ": " + SystemMessage(GetLastError()));
            return false;
        }
        return true;
    }

    const WaveLayout& Wave() const { return wave_; }
    uint64_t Written() const { return written_; }
    bool Exhausted() const { return written_ >= wave_.Blocks(); }

    // Reads the blocks that belong before `due` (capped at the file's end) into `buffer`;
    // returns their count, or -1 after a message.
    int64_t ReadUpTo(uint64_t due, std::vector<uint8_t>& buffer) {
        due = std::min(due, wave_.Blocks());
        if (due <= written_)
            return 0;
        const uint64_t blocks = due - written_, bytes = blocks * wave_.blockAlign;
        if (bytes > 0x7fffffff) {
            Error("the audio " + path_ + " needs more than 2 GB per video frame");
            return -1;
        }
        buffer.resize(size_t(bytes));
        DWORD got = 0;
        if (!ReadFile(file_, buffer.data(), DWORD(bytes), &got, nullptr) || got != bytes) {
            Error("reading the audio " + path_ + " failed at sample " + std::to_string(written_) +
                  ": " + SystemMessage(GetLastError()));
            return -1;
        }
        return int64_t(blocks);
    }
    void Advance(uint64_t blocks) { written_ += blocks; }

private:
    std::string path_;
    HANDLE file_ = INVALID_HANDLE_VALUE;
    WaveLayout wave_;
    uint64_t written_ = 0;
};

class AviWriter {
public:
    ~AviWriter() { Close(); }
    HRESULT Open(const std::string& path, const AVISTREAMINFOA& info, const void* format,
                 LONG formatBytes) {
        DeleteFileA(path.c_str());
        HRESULT hr = AVIFileOpenA(&file_, path.c_str(), OF_CREATE | OF_WRITE, nullptr);
        if (hr != AVIERR_OK)
            return hr;
        AVISTREAMINFOA copy = info;
        hr = AVIFileCreateStreamA(file_, &stream_, &copy);
        if (hr != AVIERR_OK)
            return hr;
        return AVIStreamSetFormat(stream_, 0, const_cast<void*>(format), formatBytes);
    }
    // The audio stream follows the video, as capture applications lay it out (stream 01).
    HRESULT AddAudio(const WaveLayout& wave) {
        AVISTREAMINFOA info{};
        info.fccType = streamtypeAUDIO;
        info.dwScale = wave.blockAlign;
        info.dwRate = wave.bytesPerSecond;
        info.dwSampleSize = wave.blockAlign;
        info.dwQuality = DWORD(-1);
        info.dwSuggestedBufferSize = wave.bytesPerSecond / 2;
        std::snprintf(info.szName, sizeof info.szName, "Audio");
        HRESULT hr = AVIFileCreateStreamA(file_, &audio_, &info);
        if (hr != AVIERR_OK)
            return hr;
        return AVIStreamSetFormat(audio_, 0, const_cast<uint8_t*>(wave.format.data()),
                                  LONG(wave.format.size()));
    }
    HRESULT Write(LONG frame, const void* data, LONG bytes) {
        return AVIStreamWrite(stream_, frame, 1, const_cast<void*>(data), bytes, AVIIF_KEYFRAME,
                              nullptr, nullptr);
    }
    // Appended (start -1): the library counts an audio stream's length its own way, and a
    // capture never leaves a gap in its sound.
    HRESULT WriteAudio(LONG blocks, const void* data, LONG bytes) {
        return AVIStreamWrite(audio_, -1, blocks, const_cast<void*>(data), bytes, AVIIF_KEYFRAME,
                              nullptr, nullptr);
    }
    // The index and headers are written here: everything stored so far becomes readable.
    void Close() {
        if (audio_)
            AVIStreamRelease(audio_);
        audio_ = nullptr;
        if (stream_)
            AVIStreamRelease(stream_);
        stream_ = nullptr;
        if (file_)
            AVIFileRelease(file_);
        file_ = nullptr;
    }

private:
    PAVIFILE file_ = nullptr;
    PAVISTREAM stream_ = nullptr;
    PAVISTREAM audio_ = nullptr;
};

std::string Rate(double bytes, double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB/s", seconds > 0 ? bytes / seconds / 1e6 : 0.0);
    return text;
}

} // namespace

void RequestStop() {
    g_stop = true;
}

int RunCapture(const CaptureOptions& options, CaptureResult* result) {
    CaptureResult local;
    CaptureResult& out = result ? *result : local;
    out = {};
    g_stop = false;
    if (auto problem = SizeProblem(options.kind, options.size)) {
        Error(*problem);
        return kExitUsage;
    }
    if (options.kind == RawKind::Rgb32) {
        Error("the codec stores yuy2, uyvy or rgb24 pictures; rgb32 is an output kind only");
        return kExitUsage;
    }
    if (options.topDown && options.kind != RawKind::Rgb24) {
        Error("--top-down applies to rgb24 input only");
        return kExitUsage;
    }
    if (!(options.rate > 0 && options.rate <= 1000)) {
        Error("--rate must lie between 0 and 1000 frames per second");
        return kExitUsage;
    }
    if (options.output.empty()) {
        Error("no output AVI given (-o FILE.avi)");
        return kExitUsage;
    }
    const uint64_t rawBytes = RawFrameBytes(options.kind, options.size);
    const uint64_t dibBytes = DibFrameBytes(options.kind, options.size);
    if (dibBytes > 0x7fffffff / 5) {
        Error("frames of " + std::to_string(dibBytes) + " bytes are too large");
        return kExitUsage;
    }

    FrameSource source(options);
    if (!source.Open(rawBytes))
        return kExitUsage;
    AudioSource audio;
    if (!options.audio.empty() && !audio.Open(options.audio))
        return kExitUsage;

    if (options.overwrite && options.nextDataFile) {
        Error("--overwrite and --next-datafile exclude each other");
        return kExitUsage;
    }
    // Without a registration nothing here would be the codec's data file.
    if (RegisteredDriver().empty() && !CodecHandle(OpenCodec(ICMODE_COMPRESS)))
        return kExitCodec;
    // Before the codec loads: it reads the data file's name only then.
    if (int code = PrepareDataFile(options.overwrite, options.nextDataFile, options.quiet))
        return code;

    CodecHandle hic(OpenCodec(ICMODE_COMPRESS));
    if (!hic)
        return kExitCodec;

    // Palettized input carries its grey palette after the header.
    struct {
        BITMAPINFOHEADER header;
        RGBQUAD palette[256];
    } inBlock{};
    BITMAPINFOHEADER& in = inBlock.header;
    in.biSize = sizeof in;
    in.biWidth = LONG(options.size.width);
    in.biHeight = options.topDown ? -LONG(options.size.height) : LONG(options.size.height);
    in.biPlanes = 1;
    in.biBitCount = WORD(BitsPerPixel(options.kind));
    in.biCompression = FourccOf(options.kind);
    in.biSizeImage = DWORD(dibBytes);
    if (options.kind == RawKind::Pal8) {
        in.biClrUsed = 256;
        for (int i = 0; i < 256; ++i)
            inBlock.palette[i] = RGBQUAD{BYTE(i), BYTE(i), BYTE(i), 0};
    }

    LRESULT status = ICCompressQuery(hic.get(), &in, nullptr);
    if (status != ICERR_OK) {
        Error(std::string("the codec refuses ") + RawKindName(options.kind) + " " +
              std::to_string(in.biWidth) + "x" + std::to_string(in.biHeight) + " input (" +
              IcErrorText(status) + ")" +
              (options.kind == RawKind::Pal8
                   ? std::string("; pal8 is stored only through a chained codec (--chain)")
                   : std::string()));
        return kExitCodec;
    }
    const LRESULT formatBytes = ICCompressGetFormatSize(hic.get(), &in);
    if (formatBytes < LRESULT(sizeof(BITMAPINFOHEADER)) || formatBytes > 1 << 20) {
        Error("the codec reports an output format of " + std::to_string(long(formatBytes)) +
              " bytes");
        return kExitCodec;
    }
    std::vector<uint8_t> formatBlock(size_t(formatBytes), 0);
    auto* format = reinterpret_cast<BITMAPINFOHEADER*>(formatBlock.data());
    status = ICCompressGetFormat(hic.get(), &in, format);
    if (status != ICERR_OK) {
        Error("the codec gives no output format (" + IcErrorText(status) + ")");
        return kExitCodec;
    }
    const LRESULT largest = ICCompressGetSize(hic.get(), &in, format);
    if (largest <= 0) {
        Error("the codec reports no frame size (" + IcErrorText(largest) + ")");
        return kExitCodec;
    }
    // The stream format is stored as negotiated; ICCompress changes biSizeImage of this copy only.
    std::vector<uint8_t> frameFormatBlock = formatBlock;
    auto* frameFormat = reinterpret_cast<BITMAPINFOHEADER*>(frameFormatBlock.data());

    const std::string dataFile = ReadSetting("filename", "c:\\kestro");
    const std::string piece0 = dataFile + ".000";
    status = ICCompressBegin(hic.get(), &in, format);
    if (status != ICERR_OK) {
        // The codec gives no reason: look for it where the codec would have met it.
        const StartReport report = CheckCaptureStart(dibBytes);
        std::string why = report.obstacle;
        auto stream = kestro::ReadStreamFormat(format);
        if (why.empty())
            why = std::string("no reason was found in its settings or its data file") +
                  (stream && stream->biChainHandler
                       ? "; the chained codec may refuse this input (--chain none stores it raw)"
                       : "");
        Error("the codec cannot start the capture (" + IcErrorText(status) + "): " + why);
        PrintStartReport(report, false);
        return kExitCodec;
    }

    AVISTREAMINFOA info{};
    info.fccType = streamtypeVIDEO;
    info.fccHandler = mmioFOURCC('K', 'E', 'S', 'T');
    // The rate as a fraction, kept exact for rates like 29.97.
    info.dwScale = std::fabs(options.rate - std::round(options.rate)) < 1e-9 ? 1 : 1000;
    info.dwRate = DWORD(std::llround(options.rate * info.dwScale));
    info.dwQuality = DWORD(-1);
    info.dwSuggestedBufferSize = DWORD(largest);
    SetRect(&info.rcFrame, 0, 0, in.biWidth, in.biHeight);
    std::snprintf(info.szName, sizeof info.szName, "Kestro32 capture");

    AviLibrary aviLibrary;
    AviWriter avi;
    HRESULT hr = avi.Open(options.output, info, format, LONG(formatBytes));
    if (hr != AVIERR_OK) {
        Error("cannot create " + options.output + ": " + AviErrorText(hr));
        ICCompressEnd(hic.get());
        return kExitUsage;
    }
    if (!options.audio.empty() && (hr = avi.AddAudio(audio.Wave())) != AVIERR_OK) {
        Error("cannot add the audio stream to " + options.output + ": " + AviErrorText(hr));
        ICCompressEnd(hic.get());
        return kExitUsage;
    }
    std::vector<uint8_t> samples;

    PageBuffer raw{size_t(rawBytes)};
    PageBuffer bits{size_t(PageRounded(dibBytes))};
    std::vector<uint8_t> record(static_cast<size_t>(largest));
    if (!raw.data() || !bits.data()) {
        Error("out of memory for frames of " + std::to_string(dibBytes) + " bytes");
        ICCompressEnd(hic.get());
        return kExitUsage;
    }
    const bool rgbInput = options.kind == RawKind::Rgb24 || options.kind == RawKind::Pal8;
    const bool pattern = options.input.empty();
    uint64_t limit = options.frames < 0
                         ? (pattern ? uint64_t(std::llround(options.rate * 3)) : UINT64_MAX)
                     : options.frames == 0 && pattern ? UINT64_MAX
                                                      : uint64_t(options.frames);
    if (options.frames < 0 && source.KnownFrames())
        limit = source.KnownFrames();
    if (limit != UINT64_MAX) {
        const uint64_t need = limit * PageRounded(dibBytes);
        const uint64_t room = FreeBytesAt(piece0);
        if (room != UINT64_MAX && need > room)
            Warning("the data disk has " + Megabytes(room) + " free, the capture needs about " +
                    Megabytes(need) + ": it will stop when the disk is full");
    }

    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    if (!options.quiet)
        Note("capture: " + std::to_string(options.size.width) + "x" +
             std::to_string(options.size.height) + " " + RawKindName(options.kind) + " at " +
             std::to_string(options.rate).substr(0, 6) + " fps from " +
             (pattern ? std::string("the test pattern") : options.input) + " into " +
             options.output + ", data file " + piece0 + " (Ctrl-C stops)");

    int exitCode = kExitOk;
    std::set<std::string> pieces;
    std::string lastPiece;
    const double start = Seconds();
    double lastProgress = start;
    for (uint32_t frame = 0; frame < limit && !g_stop; ++frame) {
        if (options.pace) {
            const double due = start + frame / options.rate;
            for (double now = Seconds(); now < due && !g_stop; now = Seconds())
                Sleep(DWORD(std::min(50.0, (due - now) * 1000) + 0.5));
        }
        const uint8_t* input = source.Next(rgbInput ? raw.data() : bits.data(), frame);
        if (!input) {
            if (!source.ReadError().empty()) {
                Error("reading the input failed after " + std::to_string(frame) +
                      " frames: " + source.ReadError());
                exitCode = kExitPartial;
            } else if (source.PartialBytes()) {
                Warning("the input ends inside frame " + std::to_string(frame) + " (" +
                        std::to_string(source.PartialBytes()) + " of " + std::to_string(rawBytes) +
                        " bytes): that partial frame was not captured");
                exitCode = kExitPartial;
            } else if (options.frames > 0 && uint64_t(options.frames) > frame) {
                Warning("the input holds only " + std::to_string(frame) + " frames of the " +
                        std::to_string(options.frames) + " asked for");
                exitCode = kExitPartial;
            }
            break;
        }
        if (rgbInput)
            RawRgbToDib(input, bits.data(), options.size, BitsPerPixel(options.kind) / 8,
                        options.topDown);
        const uint8_t* image = rgbInput ? bits.data() : input;
        if (g_stop)
            break;
        DWORD ckid = 0, flags = 0;
        frameFormat->biSizeImage = format->biSizeImage;
        status = ICCompress(hic.get(), ICCOMPRESS_KEYFRAME, frameFormat, record.data(), &in,
                            const_cast<uint8_t*>(image), &ckid, &flags, LONG(frame), 0, 0, nullptr,
                            nullptr);
        if (status != ICERR_OK) {
            const uint64_t room = FreeBytesAt(piece0);
            if (room != UINT64_MAX && room < dibBytes + kestro::SystemPageSize())
                Error("the data disk is full (" + std::to_string(room) + " bytes free at " +
                      DirectoryOf(piece0) + "): capture stopped after " + std::to_string(frame) +
                      " frames");
            else
                Error("the codec could not store frame " + std::to_string(frame) + " (" +
                      IcErrorText(status) + "): capture stopped; the data file is " + piece0);
            exitCode = kExitPartial;
            break;
        }
        const LONG recordBytes = LONG(frameFormat->biSizeImage);
        // A run names a new piece only at a switch: compare before making a string of it.
        if (auto parsed = kestro::ParseFrameRecord(record.data(), size_t(recordBytes)))
            if (parsed->path != lastPiece) {
                lastPiece.assign(parsed->path);
                pieces.insert(lastPiece);
            }
        hr = avi.Write(LONG(frame), record.data(), recordBytes);
        if (hr != AVIERR_OK) {
            Error("cannot write frame " + std::to_string(frame) + " into " + options.output + ": " +
                  AviErrorText(hr) + "; capture stopped");
            exitCode = kExitPartial;
            break;
        }
        // The audio of this frame's time span goes right after it, as a capture application
        // stores what its sound card delivered meanwhile.
        if (!options.audio.empty()) {
            const int64_t blocks =
                audio.ReadUpTo(AudioBlocksBefore(frame + 1ull, audio.Wave().samplesPerSecond,
                                                 info.dwRate, info.dwScale),
                               samples);
            if (blocks < 0) {
                exitCode = kExitPartial;
                break;
            }
            if (blocks > 0 && (hr = avi.WriteAudio(LONG(blocks), samples.data(),
                                                   LONG(samples.size()))) != AVIERR_OK) {
                Error("cannot write the audio of frame " + std::to_string(frame) + " into " +
                      options.output + ": " + AviErrorText(hr) + "; capture stopped");
                exitCode = kExitPartial;
                break;
            }
            audio.Advance(uint64_t(blocks));
            out.audioBlocks = audio.Written();
        }
        ++out.frames;
        out.bytes += dibBytes;
        const double now = Seconds();
        if (now > start + (frame + 1) / options.rate + 0.5 / options.rate)
            ++out.late;
        if (options.onFrame)
            options.onFrame(out.frames);
        if (!options.quiet && now - lastProgress >= 0.5) {
            lastProgress = now;
            std::fprintf(stderr, "\rframes %llu  %s  late %llu   ", (unsigned long long)out.frames,
                         Rate(double(out.bytes), now - start).c_str(),
                         (unsigned long long)out.late);
            std::fflush(stderr);
        }
    }
    out.seconds = Seconds() - start;
    const bool interrupted = g_stop.load();
    ICCompressEnd(hic.get());
    avi.Close();
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    out.pieces.assign(pieces.begin(), pieces.end());

    if (!options.quiet) {
        std::fprintf(stderr, "\r");
        std::string where;
        for (const auto& piece : out.pieces)
            where += (where.empty() ? "" : ", ") + piece;
        Note("captured " + std::to_string(out.frames) + " frames (" + Megabytes(out.bytes) +
             ") in " + std::to_string(out.seconds).substr(0, 5) +
             " s: " + Rate(double(out.bytes), out.seconds) + ", " +
             std::to_string(out.seconds > 0 ? out.frames / out.seconds : 0.0).substr(0, 6) +
             " fps, " + std::to_string(out.late) + " late against " +
             std::to_string(options.rate).substr(0, 6) + " fps; AVI " + options.output +
             (where.empty() ? "" : ", data in " + where));
    }
    if (!options.audio.empty() && !options.quiet) {
        const double rate = audio.Wave().samplesPerSecond;
        Note("audio: " + std::to_string(audio.Written()) + " of " +
             std::to_string(audio.Wave().Blocks()) + " sample frames of " + options.audio + " (" +
             std::to_string(audio.Written() / rate).substr(0, 6) + " s of " +
             std::to_string(audio.Wave().Blocks() / rate).substr(0, 6) + " s) interleaved");
    }
    if (!options.audio.empty() &&
        AudioBlocksBefore(out.frames, audio.Wave().samplesPerSecond, info.dwRate, info.dwScale) >
            audio.Wave().Blocks())
        Warning("the audio of " + options.audio + " ends before the video: the last frames " +
                "have no sound");
    if (interrupted) {
        Note("capture stopped by Ctrl-C after " + std::to_string(out.frames) + " frames; " +
             options.output + " is closed and holds every captured frame");
        return kExitInterrupted;
    }
    return exitCode;
}

} // namespace host
