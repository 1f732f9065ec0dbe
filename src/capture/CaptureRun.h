#pragma once
#include <windows.h>
#include <vfw.h>

#include <cstdint>

#include "capture/CaptureStats.h"
#include "capture/ChainCompressor.h"
#include "capture/FastWriter.h"
#include "capture/PieceFile.h"
#include "capture/RequestPool.h"
#include "capture/SyncWriter.h"
#include "capture/TakeRecorder.h"
#include "pure/CaptureRules.h"
#include "settings/CodecSettings.h"

namespace kestro {

struct RunTestAccess;

// What a capture run asks of the codec instance it belongs to: the compress check of negotiation
// and the chained compressor, which the instance keeps because negotiation opens it too.
class CaptureContext {
public:
    // With a chained codec configured this opens it and asks it.
    virtual LRESULT CompressQuery(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out) = 0;
    // Opens the chained compressor of the current choice; false when none opens.
    virtual bool OpenChainedCompressor() = 0;
    virtual void CloseChainedCompressor() = 0;
    // The open chained compressor, or null, and the code it was opened for.
    virtual HIC ChainedCompressor() const = 0;
    virtual uint32_t ChainedCompressorCode() const = 0;

protected:
    ~CaptureContext() = default;
};

// The capture run of one codec instance: begin, a frame through the writer of its row, end. The
// parts it is made of own their state: the piece file, the request pool, the chained compressor
// and the two writer families.
class CaptureRun {
public:
    CaptureRun(CCodecSettings* shared, CaptureContext& owner);
    ~CaptureRun();
    CaptureRun(const CaptureRun&) = delete;
    CaptureRun& operator=(const CaptureRun&) = delete;

    LRESULT Begin(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out);
    LRESULT Frame(ICCOMPRESS* icc);
    LRESULT End();

    // Idempotent releases; the pool goes first, so that no write is left to use the file.
    void ReleaseRequestPool();
    void CloseDataFile();

    // A run has begun and not ended; its chained compressor stays what it began with.
    bool Active() const { return compressActive; }
    const CaptureStats& Stats() const { return stats; }

private:
    friend struct RunTestAccess;

    LRESULT StartCapture(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out);
    bool BeginChainedCompressor(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out,
                                uint32_t writeBytes);
    bool BeginWriter(WriterKind kind, FrameSize raw);
    bool InputMatchesRun(const ICCOMPRESS* icc) const;

    CCodecSettings* settings;
    CaptureContext& instance; // the codec instance, as far as a capture run may ask it
    bool compressActive = false;
    const WriterRow* writer = nullptr; // of the current run
    uint32_t pageSize = 0;
    uint32_t recordBytes = 0;
    int32_t runWidth = 0;
    int32_t runHeight = 0;
    uint32_t runImageBytes = 0;

    CaptureStats stats;
    TakeRecorder take; // the run's identity and its take file
    PieceFile piece{stats};
    RequestPool pool{stats};
    ChainCompressor chain;
    SyncWriter syncWriter{piece, chain};
    FastWriter fastWriter{piece, pool, chain, stats};
};

} // namespace kestro
