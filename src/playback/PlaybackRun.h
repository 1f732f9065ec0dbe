#pragma once
#include <windows.h>
#include <vfw.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "formats/ChainedCodecs.h"
#include "formats/CodecFormats.h"
#include "pure/PixelKind.h"
#include "pure/RawConvert.h"
#include "pure/TakeFile.h"
#include "settings/CodecSettings.h"

namespace kestro {

struct RunTestAccess;
struct FrameRecordView;

// One overlapped read slot of a playback run. Its OVERLAPPED lies in the page after its buffer
// (the completion port hands back that address): a read that never ends keeps both, and no later
// read or release of the instance touches memory the platform may still write.
struct ReadSlot {
    OVERLAPPED* overlapped;
    uint8_t* buffer;
    uint32_t size;
    uint32_t index;
    // The slot's last read: where it started, whether it is still outstanding, and how it ended
    // (its completion may be taken from the port while another slot's is awaited).
    uint64_t position;
    bool pending;
    bool ok;
    DWORD transferred;
};

// The frame being decoded and the deepest read-ahead of the fast readers.
constexpr uint32_t kMaxReadSlots = uint32_t(CCodecSettings::kMaxReadAhead) + 1;

// The read slots of a fast run as a ring: the frame being decoded takes one, and the reads ahead,
// in the order of the frames they predict, are `count` slots from `first` on, the first holding
// the frame predicted next. A plain run has one slot and reads nothing ahead.
struct ReadAheadRing {
    uint32_t slots = 0; // allocated: the frame's own and one per read ahead
    uint32_t depth = 0; // reads kept in flight ahead: the setting, or less where memory ran short
    uint32_t first = 0;
    uint32_t count = 0;
    // The page-rounded size of the frame before, from which the reads ahead were predicted.
    uint32_t lastRounded = 0;

    void Clear() { count = 0; }
    void PopFront() {
        first = (first + 1) % slots;
        --count;
    }
    uint32_t Back() const { return (first + count - 1) % slots; }
    void PushBack(uint32_t index) {
        if (count++ == 0)
            first = index;
    }
};

// MAX_PATH and one: a name as long as any the ANSI file calls take still ends in a zero here.
constexpr size_t kReadFileNameBytes = MAX_PATH + 1;

// The playback run of one codec instance: begin, the four frame readers, end, and everything
// that only a playback run has (the data file, its port, the read slots, the read-ahead...).
class PlaybackRun {
public:
    PlaybackRun(CCodecSettings* shared, CodecFormats& formats, ChainedCodecs& chained);
    ~PlaybackRun();
    PlaybackRun(const PlaybackRun&) = delete;
    PlaybackRun& operator=(const PlaybackRun&) = delete;

    LRESULT Begin(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out);
    LRESULT Frame(ICDECOMPRESS* icd);
    LRESULT End();

    // Idempotent releases; the outstanding reads are collected before either goes.
    void ReleaseReadSlots();
    void CloseReadFile();

private:
    friend struct RunTestAccess;
    using FrameReader = BOOL (PlaybackRun::*)(ICDECOMPRESS* icd);
    struct FramePlan;

    BOOL ReadFastChained(ICDECOMPRESS* icd);
    BOOL ReadFastRaw(ICDECOMPRESS* icd);
    BOOL ReadPlainChained(ICDECOMPRESS* icd);
    BOOL ReadPlainRaw(ICDECOMPRESS* icd);
    // The overlapped readers: up to the ring's depth of reads in flight along the predicted
    // sequence.
    BOOL ReadFast(ICDECOMPRESS* icd, bool chained);
    // The synchronous readers: one unbuffered read at the file pointer.
    BOOL ReadPlain(ICDECOMPRESS* icd, bool chained);

    void ClearFrame(ICDECOMPRESS* icd);
    enum class DataFile { Open, JustFailed, Failed };
    DataFile LookUpDataFile(const char* path, size_t length, bool overlapped);
    std::optional<FramePlan> PlanFrame(const ICDECOMPRESS* icd) const;
    std::optional<BOOL> OpenSource(const FramePlan& plan, bool overlapped, bool chained,
                                   ICDECOMPRESS* icd);
    bool AllocateReadSlots(uint32_t count, uint32_t slotBytes, bool overlapped);
    bool IssueRead(ReadSlot* slot, uint64_t position, uint32_t offset, uint32_t length);
    bool AwaitRead(ReadSlot* slot, DWORD timeout);
    void TakeCompletion(DWORD bytes, OVERLAPPED* overlapped, BOOL ok);
    void GiveUpOutstandingReads();
    void CollectPendingReads();
    void IssueReadsAhead(const ReadSlot* current, uint32_t rounded, bool chained);
    bool SameDataFile(const char* path, size_t length) const;
    // The take file beside the piece just opened, kept while it stays open; and whether a
    // record belongs to another take than the one that file names (its frames are gone).
    void ReadTakeBeside(const char* piece);
    bool TakeReplaced(const FrameRecordView& record) const;
    bool OutputMatchesRun(const BITMAPINFOHEADER* out) const;
    bool DecodeChained(const uint8_t* data, uint32_t size, ICDECOMPRESS* icd);
    bool ProduceRaw(const uint8_t* data, uint32_t available, ICDECOMPRESS* icd);
    // A run that decodes with the chained decompressor holds it: it stays the codec of that run.
    void NoteChainedHeld();

    CCodecSettings* settings;
    CodecFormats& formats;  // the decompress check of negotiation
    ChainedCodecs& chained; // the decompressor a chained run decodes with
    bool decompressActive = false;
    HANDLE hReadPort = nullptr;
    char readFileName[kReadFileNameBytes] = {};
    HANDLE hReadFile = INVALID_HANDLE_VALUE;
    PixelKind sourceKind = KIND_NONE;
    PixelKind outputKind = KIND_NONE;
    FrameReader frameReader = nullptr;
    ReadSlot readSlots[kMaxReadSlots] = {};
    uint64_t readFileSize = 0;
    std::optional<TakeFile> readTake; // beside the open data file; none: play as before
    uint32_t pageSize = 0;
    // What the frames of a run take from the settings, copied at begin: the sheet's changes
    // apply from the next begin.
    std::string runDataFileName;       // the name the pieces a record names must belong to
    bool runChainedExtraPages = false; // chained frames may run two pages past their size

    ReadAheadRing ahead;
    // A read that never ended took its slot with it: the run fails its frames until a new begin.
    bool readSlotGivenUp = false;
    // Reads that finish inside ReadFile queue no packet on the port.
    bool readPortSkips = false;
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
