#pragma once
// What a capture reads and writes besides the codec: the frames (a file, standard input or the
// test pattern), the sound of a WAV file, and the AVI the records go into.
#include <windows.h>
#include <vfw.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Host.h"
#include "HostWin.h"
#include "WaveFile.h"

namespace host {

// Frames come from a file, standard input or the pattern generator.
class FrameSource {
public:
    explicit FrameSource(const CaptureOptions& options) : options_(options) {}
    FrameSource(const FrameSource&) = delete;
    FrameSource& operator=(const FrameSource&) = delete;
    ~FrameSource();

    // False after a message naming the input and what is wrong with it.
    bool Open(uint64_t rawBytes);
    uint64_t KnownFrames() const { return inputFrames_; }

    // The next frame, in `raw` or in a buffer of the source's own that stays valid until the next
    // call; null at the end of the input. A partial last frame is reported, not stored.
    const uint8_t* Next(uint8_t* raw, uint32_t frame);

    uint64_t PartialBytes() const { return partialBytes_; }
    const std::string& ReadError() const { return readError_; }

private:
    // A file on disk is read ahead on a thread of its own, into a ring of buffers, while the
    // codec stores the current frame: the capture thread does not wait for the read. The ring
    // hands frames over under a slim lock, which costs no system call while neither side has to
    // wait (events would cost two per frame on each side). Pipes and consoles are read in line,
    // since their reads may never return.
    static constexpr int kAhead = 3;

    bool OpenFile();
    void StartReadingAhead();
    static DWORD WINAPI ReadAheadMain(void* self);
    void ReadAhead();
    bool Read(uint8_t* raw);

    const CaptureOptions& options_;
    UniqueHandle thread_;
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
    HANDLE file_ = INVALID_HANDLE_VALUE; // standard input, or owned_
    UniqueFile owned_;
    uint64_t rawBytes_ = 0;
    uint64_t inputFrames_ = 0;
    uint64_t partialBytes_ = 0;
    std::string readError_;
};

// The samples of a WAV file, read in order as the video advances.
class AudioSource {
public:
    // False after a message naming the file and what is wrong with it.
    bool Open(const std::string& path);

    const WaveLayout& Wave() const { return wave_; }
    uint64_t Written() const { return written_; }

    // Reads the blocks that belong before `due` (capped at the file's end) into `buffer`;
    // returns their count, or -1 after a message.
    int64_t ReadUpTo(uint64_t due, std::vector<uint8_t>& buffer);
    void Advance(uint64_t blocks) { written_ += blocks; }

private:
    std::string path_;
    UniqueFile file_;
    WaveLayout wave_;
    uint64_t written_ = 0;
};

class AviWriter {
public:
    AviWriter() = default;
    AviWriter(const AviWriter&) = delete;
    AviWriter& operator=(const AviWriter&) = delete;
    ~AviWriter() { Close(); }
    HRESULT Open(const std::string& path, const AVISTREAMINFOA& info, const void* format,
                 LONG formatBytes);
    // The audio stream follows the video, as capture applications lay it out (stream 01).
    HRESULT AddAudio(const WaveLayout& wave);
    HRESULT Write(LONG frame, const void* data, LONG bytes);
    // Appended (start -1): the library counts an audio stream's length its own way, and a
    // capture never leaves a gap in its sound.
    HRESULT WriteAudio(LONG blocks, const void* data, LONG bytes);
    // The index and headers are written here: everything stored so far becomes readable.
    void Close();

private:
    PAVIFILE file_ = nullptr;
    PAVISTREAM stream_ = nullptr;
    PAVISTREAM audio_ = nullptr;
};

} // namespace host
