#pragma once
#include <windows.h>

#include <cstdint>
#include <optional>

#include "capture/ChainCompressor.h"
#include "capture/Frame.h"
#include "capture/FrameJournal.h"
#include "capture/PieceFile.h"
#include "capture/TailPage.h"

namespace kestro {

// The synchronous writers: a frame, the host's image or the chained compressor's output, goes by
// a positioned write to its own offset, finished before the host gets its image back.
class SyncWriter {
public:
    SyncWriter(PieceFile& piece, ChainCompressor& chain, FrameJournal& journal)
        : piece(&piece), chain(chain), journal(journal) {}
    SyncWriter(const SyncWriter&) = delete;
    SyncWriter& operator=(const SyncWriter&) = delete;

    // A run of host images of `raw` size; `fromHost` writers need a page of their own for an
    // image that ends inside a page.
    bool Begin(FrameSize raw, uint32_t pageSize, bool fromHost);
    // The frames from now on go to `next` (the stripe whose turn it is).
    void Use(PieceFile& next) { piece = &next; }
    std::optional<StoredFrame> Write(const ImageView& image, bool compressed, bool split);
    // Idempotent.
    void Release() { tail.Release(); }

private:
    PieceFile* piece;
    ChainCompressor& chain;
    FrameJournal& journal;
    FrameSize raw;
    TailPage tail;
};

} // namespace kestro
