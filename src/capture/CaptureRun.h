#pragma once
#include <windows.h>
#include <vfw.h>

#include <cstdint>
#include <optional>

#include "capture/BeginNotice.h"
#include "capture/CaptureStats.h"
#include "capture/ChainCompressor.h"
#include "capture/FastWriter.h"
#include "capture/PieceFile.h"
#include "capture/RequestPool.h"
#include "capture/SyncWriter.h"
#include "capture/TakeRecorder.h"
#include "formats/ChainedCodecs.h"
#include "formats/CodecFormats.h"
#include "pure/CaptureRules.h"
#include "settings/CodecSettings.h"

namespace kestro {

struct RunTestAccess;

// The capture run of one codec instance: begin, a frame through the writer of its row, end. The
// parts it is made of own their state: the piece file, the request pool, the chained compressor
// and the two writer families.
class CaptureRun {
public:
    CaptureRun(CCodecSettings* shared, CodecFormats& formats, ChainedCodecs& chained);
    ~CaptureRun();
    CaptureRun(const CaptureRun&) = delete;
    CaptureRun& operator=(const CaptureRun&) = delete;

    LRESULT Begin(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out);
    LRESULT Frame(ICCOMPRESS* icc);
    LRESULT End();

    // Idempotent releases; the pool goes first, so that no write is left to use the file.
    void ReleaseRequestPool();
    void CloseDataFile();

    const CaptureStats& Stats() const { return stats; }

private:
    friend struct RunTestAccess;

    LRESULT BeginRun(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out);
    void SayRefusal();
    LRESULT StartCapture(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out);
    bool BeginChainedCompressor(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out,
                                uint32_t writeBytes);
    bool BeginWriter(WriterKind kind, FrameSize raw);
    bool InputMatchesRun(const ICCOMPRESS* icc) const;
    void SetActive(bool active);

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
    bool refusalSaid = false;

    CaptureStats stats;
    TakeRecorder take; // the run's identity and its take file
    PieceFile piece{stats};
    RequestPool pool{stats};
    ChainCompressor chain;
    SyncWriter syncWriter{piece, chain};
    FastWriter fastWriter{piece, pool, chain, stats};
};

} // namespace kestro
