#pragma once
#include <windows.h>
#include <vfw.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "formats/ChainedCodecs.h"
#include "formats/CodecFormats.h"
#include "playback/ReadPieces.h"
#include "playback/ReadRing.h"
#include "pure/PixelKind.h"
#include "pure/RawConvert.h"
#include "settings/CodecSettings.h"

namespace kestro {

struct FrameRecordView;

// What a playback run shows of itself: each part's view.
struct PlaybackRunView {
    ReadPieceView piece;
    ReadRingView ring;
};

// The playback run of one codec instance: begin, the four frame readers, end, and what the
// frames of a run share: the pieces being read, the read slots with their reads ahead, and the
// output picture and conversion that begin planned. Each part is declared after those it reads
// through, and so released before them.
class PlaybackRun {
public:
    PlaybackRun(CCodecSettings* shared, CodecFormats& formats, ChainedCodecs& chained);
    PlaybackRun(const PlaybackRun&) = delete;
    PlaybackRun& operator=(const PlaybackRun&) = delete;

    LRESULT Begin(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out);
    LRESULT Frame(ICDECOMPRESS* icd);
    LRESULT End();

    PlaybackRunView View() const { return {pieces.Current().View(), ring.View()}; }

private:
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
    std::optional<FramePlan> PlanFrame(const ICDECOMPRESS* icd) const;
    std::optional<BOOL> OpenSource(const FramePlan& plan, bool overlapped, bool chained,
                                   ICDECOMPRESS* icd);
    bool OutputMatchesRun(const BITMAPINFOHEADER* out) const;
    bool DecodeChained(const uint8_t* data, uint32_t size, ICDECOMPRESS* icd);
    bool ProduceRaw(const uint8_t* data, uint32_t available, ICDECOMPRESS* icd);
    // A run that decodes with the chained decompressor holds it: it stays the codec of that run.
    void NoteChainedHeld();
    // Idempotent releases; the outstanding reads are collected before either goes.
    void ReleaseReadSlots();
    void CloseReadFile();

    CCodecSettings* settings;
    CodecFormats& formats;  // the decompress check of negotiation
    ChainedCodecs& chained; // the decompressor a chained run decodes with
    bool decompressActive = false;
    PixelKind sourceKind = KIND_NONE;
    PixelKind outputKind = KIND_NONE;
    FrameReader frameReader = nullptr;
    uint32_t pageSize = 0;
    // What the frames of a run take from the settings, copied at begin: the sheet's changes
    // apply from the next begin.
    // The data file and its stripes: a network piece a record names must lie in one's folder.
    std::vector<std::string> runDataFiles;
    bool runChainedExtraPages = false; // chained frames may run two pages past their size

    ReadPieces pieces;
    ReadRing ring{pieces};
    // The chained codec's input format, copied at begin; each frame sets its biSizeImage.
    std::unique_ptr<uint8_t[]> readChainFormat;
    // The output picture of the run, as begin accepted it.
    int32_t readWidth = 0;
    int32_t readHeight = 0;
    uint16_t readBitCount = 0;
    uint32_t readImageBytes = 0;
    bool readRowsPadded = true;   // output rows follow the DIB rule (padded to 4 bytes)
    RawConversion readConversion; // how a raw run's frames become the output picture
};

} // namespace kestro
