#pragma once
#include <windows.h>
#include <vfw.h>

#include <cstdint>
#include <optional>

#include "capture/ChainCompressor.h"
#include "capture/PieceFile.h"

namespace kestro {

// The synchronous writers: each frame is written and finished before the host gets its image
// back, at the frame's own offset.
class SyncWriter {
public:
    SyncWriter(PieceFile& piece, ChainCompressor& chain) : piece(piece), chain(chain) {}
    ~SyncWriter() { Release(); }
    SyncWriter(const SyncWriter&) = delete;
    SyncWriter& operator=(const SyncWriter&) = delete;

    // A run of host images of `raw` size; `fromHost` writers need a page of their own for an
    // image that ends inside a page.
    bool Begin(FrameSize raw, uint32_t pageSize, bool fromHost);
    std::optional<StoredFrame> Write(const ICCOMPRESS* icc, bool compressed, bool split);
    void Release();

private:
    bool WriteAt(const void* data, uint32_t bytes, uint64_t offset);
    bool WriteHostImage(const void* image);

    PieceFile& piece;
    ChainCompressor& chain;
    FrameSize raw;
    uint32_t pageSize = 0;
    uint8_t* tailPage = nullptr; // last partial page of a host image that is not whole pages
};

} // namespace kestro
