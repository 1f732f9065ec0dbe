#include "CaptureSources.h"

#include <algorithm>
#include <cstdio>

namespace host {

FrameSource::~FrameSource() {
    if (thread_) {
        AcquireSRWLockExclusive(&lock_);
        stop_ = true;
        ReleaseSRWLockExclusive(&lock_);
        WakeConditionVariable(&roomFree_);
        WaitForSingleObject(thread_.get(), INFINITE); // a disk read always returns
    }
}

bool FrameSource::Open(uint64_t rawBytes) {
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
    return OpenFile();
}

bool FrameSource::OpenFile() {
    owned_.reset(CreateFileA(options_.input.c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    file_ = owned_.get();
    if (!owned_) {
        Error("cannot open the input " + options_.input + ": " + SystemMessage(GetLastError()));
        return false;
    }
    LARGE_INTEGER size{};
    if (GetFileType(file_) != FILE_TYPE_DISK || !GetFileSizeEx(file_, &size))
        return true;
    const uint64_t bytes = uint64_t(size.QuadPart);
    const std::string what = std::to_string(options_.size.width) + "x" +
                             std::to_string(options_.size.height) + " " +
                             RawKindName(options_.kind) + " frame";
    if (bytes < rawBytes_) {
        Error("the input " + options_.input + " holds " + std::to_string(bytes) +
              " bytes, less than one " + what + " (" + std::to_string(rawBytes_) +
              " bytes): check --size and --format");
        return false;
    }
    if (bytes % rawBytes_)
        Warning("the input is " + std::to_string(bytes) +
                " bytes = " + std::to_string(bytes / rawBytes_) + " whole " + what + "s + " +
                std::to_string(bytes % rawBytes_) +
                " bytes; if it is not a truncated file, --size or --format is wrong");
    // A partial tail counts, so that the capture reaches it and reports it.
    inputFrames_ = (bytes + rawBytes_ - 1) / rawBytes_;
    StartReadingAhead();
    return true;
}

const uint8_t* FrameSource::Next(uint8_t* raw, uint32_t frame) {
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

void FrameSource::StartReadingAhead() {
    if (GetFileType(file_) != FILE_TYPE_DISK)
        return;
    for (auto& buffer : ahead_) {
        buffer = std::make_unique<PageBuffer>(size_t(PageRounded(rawBytes_)));
        if (!buffer->data())
            return;
    }
    thread_.reset(CreateThread(nullptr, 0, ReadAheadMain, this, 0, nullptr));
}

DWORD WINAPI FrameSource::ReadAheadMain(void* self) {
    static_cast<FrameSource*>(self)->ReadAhead();
    return 0;
}

void FrameSource::ReadAhead() {
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

bool FrameSource::Read(uint8_t* raw) {
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

bool AudioSource::Open(const std::string& path) {
    path_ = path;
    file_.reset(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file_) {
        Error("cannot open the audio " + path + ": " + SystemMessage(GetLastError()));
        return false;
    }
    LARGE_INTEGER size{};
    if (GetFileType(file_.get()) != FILE_TYPE_DISK || !GetFileSizeEx(file_.get(), &size)) {
        Error("the audio " + path + " is not a file on a disk (a WAV file is needed)");
        return false;
    }
    std::vector<uint8_t> head(size_t(std::min<int64_t>(size.QuadPart, 1 << 16)));
    DWORD got = 0;
    if (!head.empty() && (!ReadFile(file_.get(), head.data(), DWORD(head.size()), &got, nullptr) ||
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
    if (!SetFilePointerEx(file_.get(), at, nullptr, FILE_BEGIN)) {
        Error("cannot read the audio " + path + ": " + SystemMessage(GetLastError()));
        return false;
    }
    return true;
}

int64_t AudioSource::ReadUpTo(uint64_t due, std::vector<uint8_t>& buffer) {
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
    if (!ReadFile(file_.get(), buffer.data(), DWORD(bytes), &got, nullptr) || got != bytes) {
        Error("reading the audio " + path_ + " failed at sample " + std::to_string(written_) +
              ": " + SystemMessage(GetLastError()));
        return -1;
    }
    return int64_t(blocks);
}

HRESULT AviWriter::Open(const std::string& path, const AVISTREAMINFOA& info, const void* format,
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

HRESULT AviWriter::AddAudio(const WaveLayout& wave) {
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

HRESULT AviWriter::Write(LONG frame, const void* data, LONG bytes) {
    return AVIStreamWrite(stream_, frame, 1, const_cast<void*>(data), bytes, AVIIF_KEYFRAME,
                          nullptr, nullptr);
}

HRESULT AviWriter::WriteAudio(LONG blocks, const void* data, LONG bytes) {
    return AVIStreamWrite(audio_, -1, blocks, const_cast<void*>(data), bytes, AVIIF_KEYFRAME,
                          nullptr, nullptr);
}

void AviWriter::Close() {
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

} // namespace host
