#pragma once
#include <windows.h>
#include <vfw.h>

#include <cstdint>
#include <optional>
#include <string>

#include "capture/BeginNotice.h"
#include "capture/CaptureStats.h"
#include "capture/ChainCompressor.h"
#include "capture/FastWriter.h"
#include "capture/FrameJournal.h"
#include "capture/PieceFile.h"
#include "capture/SyncWriter.h"
#include "capture/TakeRecorder.h"
#include "formats/ChainedCodecs.h"
#include "formats/CodecFormats.h"
#include "pure/CaptureRules.h"
#include "settings/CodecSettings.h"

namespace kestro {

// What a capture run shows of itself: what it counted, and each part's view.
struct CaptureRunView {
    CaptureStats stats;
    PieceFileView piece;
    RequestPoolView pool;
};

// The capture run of one codec instance: begin, a frame from its source to its sink through the
// writer of its row, end. The parts it is made of own their state: the piece file, the chained
// compressor and the two writer families (the fast one with its request pool). Each part is
// declared after those it writes through, and so released before them.
class CaptureRun {
public:
    CaptureRun(CCodecSettings* shared, CodecFormats& formats, ChainedCodecs& chained);
    CaptureRun(const CaptureRun&) = delete;
    CaptureRun& operator=(const CaptureRun&) = delete;

    LRESULT Begin(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out);
    LRESULT Frame(ICCOMPRESS* icc);
    LRESULT End();
    // The host's frame rate, for the journal; the answer stays that of a message not handled.
    LRESULT FramesInfo(const ICCOMPRESSFRAMES* info, DWORD bytes);

    CaptureRunView View() const { return {stats, piece.View(), fastWriter.PoolView()}; }

private:
    // Idempotent: everything a run holds, in the order of its parts.
    void CloseRun();
    LRESULT BeginRun(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out);
    void SayRefusal();
    bool OpenPlace(uint32_t largestFrame);
    LRESULT StartCapture(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out);
    bool BeginChainedCompressor(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out,
                                uint32_t writeBytes);
    bool BeginWriter(WriterKind kind, FrameSize raw);
    bool InputMatchesRun(const ICCOMPRESS* icc) const;
    void SetActive(bool active);
    void BeginJournal(uint32_t compression);

    CCodecSettings* settings;
    CodecFormats& formats;  // the compress check of negotiation
    ChainedCodecs& chained; // the compressor a chained run writes through
    // A run has begun and not ended; its chained compressor stays what it began with.
    bool compressActive = false;
    const WriterRow* writer = nullptr; // of the current run
    uint32_t pageSize = 0;
    uint32_t recordBytes = 0;
    int32_t runWidth = 0;
    int32_t runHeight = 0;
    uint32_t runImageBytes = 0;
    // Why the last begin was refused, where the user can mend it, and whether that was said.
    std::optional<BeginRefusal> refusal;
    DWORD refusalError = ERROR_SUCCESS;
    std::string refusalPiece; // piece 0 of the name tried last
    std::string refusalPlace; // the take that kept its place and the name tried, for the reason
    bool refusalSaid = false;

    CaptureStats stats;
    TakeRecorder take; // the run's identity and its take file
    PieceFile piece{stats};
    ChainCompressor chain;
    FrameJournal journal; // the writers note their writes in it
    SyncWriter syncWriter{piece, chain, journal};
    FastWriter fastWriter{piece, chain, stats, journal};
};

} // namespace kestro
