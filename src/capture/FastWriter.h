#pragma once
#include <windows.h>

#include <cstdint>
#include <optional>

#include "capture/CaptureStats.h"
#include "capture/ChainCompressor.h"
#include "capture/Frame.h"
#include "capture/FrameJournal.h"
#include "capture/PieceFile.h"
#include "capture/RequestPool.h"
#include "capture/TailPage.h"
#include "pure/CaptureRules.h"

namespace kestro {

// The overlapped writers: a frame, the host's image, a copy of it or the chained compressor's
// output, goes out through a request of the pool, which the host gets back while it is written;
// or, where the frame is the host's image, through a write the pool finishes before the host
// gets the image back.
class FastWriter {
public:
    FastWriter(PieceFile& piece, ChainCompressor& chain, CaptureStats& stats, FrameJournal& journal)
        : piece(&piece), chain(chain), stats(stats), pool(stats, journal) {}
    FastWriter(const FastWriter&) = delete;
    FastWriter& operator=(const FastWriter&) = delete;

    // A run of host images of `raw` size, whose frames come from `source`, with a pool of
    // `requests`.
    bool Begin(FrameSize raw, uint32_t pageSize, WriterSource source, uint32_t requests);
    // A piece of another stripe of the run joins the pool's port after Begin.
    bool Join(const PieceFile& other) { return pool.Attach(other.Handle()); }
    // The frames from now on go to `next` (the stripe whose turn it is).
    void Use(PieceFile& next) { piece = &next; }
    std::optional<StoredFrame> Write(const ImageView& image, WriterSource source, bool split);
    // Idempotent: the writes finish (or are given up) before the memory they use goes.
    void Release();

    RequestPoolView PoolView() const { return pool.View(); }

private:
    enum class HostWrite { NotTried, Stored, Failed };

    bool SwitchPieceIfFull(uint32_t write);
    HostWrite WriteHostWhileAtOnce(WriteRequest* r, const uint8_t* image, StoredFrame& stored);
    std::optional<StoredFrame> DirectFrame(const uint8_t* image);
    std::optional<StoredFrame> PooledFrame(const ImageView& image, WriterSource source, bool split);

    PieceFile* piece;
    ChainCompressor& chain;
    CaptureStats& stats;
    FrameSize raw;
    uint32_t pageSize = 0;
    bool hostWritesAtOnce = false; // no write of this piece stayed pending: skip the copy
    TailPage tail;                 // the last page of a host image that is not whole pages
    RequestPool pool;              // last: its writes end before the memory above goes
};

} // namespace kestro
