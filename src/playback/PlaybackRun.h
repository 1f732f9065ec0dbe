#pragma once
#include <windows.h>
#include <vfw.h>

#include <cstddef>
#include <cstdint>

#include "pure/PixelKind.h"
#include "pure/RawConvert.h"
#include "settings/CodecSettings.h"

class CCodecInstance;

namespace kestro {

// One overlapped read slot of a playback run. Its OVERLAPPED lies in the page after its buffer
// (the completion port hands back that address): a read that never ends keeps both, and no later
// read or release of the instance touches memory the platform may still write.
struct ReadSlot {
    OVERLAPPED* overlapped;
    uint8_t* buffer;
    uint32_t size;
    uint32_t index;
};

// MAX_PATH and one: a name as long as any the ANSI file calls take still ends in a zero here.
constexpr size_t kReadFileNameBytes = MAX_PATH + 1;

// The playback run of one codec instance: begin, the four frame readers, end, and the state that
// only a playback run has. The run works on the instance's read-path fields (hReadFile, the read
// slots, readAhead...) under the instance's own names, bound once at construction. The readers'
// helpers (src/playback/FrameReaders.cpp) use the steps below directly.
class PlaybackRun {
public:
    using FrameReader = BOOL (PlaybackRun::*)(ICDECOMPRESS* icd);

    explicit PlaybackRun(CCodecInstance& owner);
    ~PlaybackRun();
    PlaybackRun(const PlaybackRun&) = delete;
    PlaybackRun& operator=(const PlaybackRun&) = delete;

    LRESULT Begin(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out);
    LRESULT Frame(ICDECOMPRESS* icd);
    LRESULT End();

    // Idempotent releases; the outstanding read is collected before either goes.
    void ReleaseReadSlots();
    void CloseReadFile();

    BOOL ReadFastChained(ICDECOMPRESS* icd);
    BOOL ReadFastRaw(ICDECOMPRESS* icd);
    BOOL ReadPlainChained(ICDECOMPRESS* icd);
    BOOL ReadPlainRaw(ICDECOMPRESS* icd);

    void ClearFrame(ICDECOMPRESS* icd);
    enum class DataFile { Open, JustFailed, Failed };
    DataFile LookUpDataFile(const char* path, size_t length, bool overlapped);
    bool IssueRead(ReadSlot* slot, uint64_t position, uint32_t offset, uint32_t length);
    bool AwaitRead(DWORD* transferred, DWORD timeout);
    void CollectPendingRead();
    bool SameDataFile(const char* path, size_t length) const;
    bool OutputMatchesRun(const BITMAPINFOHEADER* out) const;
    bool DecodeChained(const uint8_t* data, uint32_t size, ICDECOMPRESS* icd);
    bool ProduceRaw(const uint8_t* data, uint32_t available, ICDECOMPRESS* icd);

    CCodecInstance& instance;
    CCodecSettings*& settings;
    bool& decompressActive;
    HIC& hicDecompressor;
    HANDLE& hReadPort;
    char (&readFileName)[kReadFileNameBytes];
    HANDLE& hReadFile;
    uint64_t& readAhead;
    PixelKind& sourceKind;
    PixelKind& outputKind;
    FrameReader& frameReader;
    ReadSlot (&readSlots)[2];
    uint64_t& readFileSize;
    uint32_t& pageSize;

    // The slot whose overlapped read is outstanding (at most one), or null.
    ReadSlot* readPending = nullptr;
    // The chained codec's input format, copied at begin; each frame sets its biSizeImage.
    uint8_t* readChainFormat = nullptr;
    // The output picture of the run, as begin accepted it.
    int32_t readWidth = 0;
    int32_t readHeight = 0;
    uint16_t readBitCount = 0;
    uint32_t readImageBytes = 0;
    bool readRowsPadded = true;   // output rows follow the DIB rule (padded to 4 bytes)
    RawConversion readConversion; // how a raw run's frames become the output picture
};

} // namespace kestro
