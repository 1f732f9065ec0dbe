#pragma once
#include <windows.h>
#include <vfw.h>

#include <cstdint>
#include <optional>

#include "capture/PieceFile.h"

namespace kestro {

// The chained compressor as a capture run uses it: the output format it was begun with, the
// buffer of the synchronous writers, and the capacity every buffer it writes into has.
class ChainCompressor {
public:
    ChainCompressor() = default;
    ~ChainCompressor() { Release(); }
    ChainCompressor(const ChainCompressor&) = delete;
    ChainCompressor& operator=(const ChainCompressor&) = delete;

    // Begins `hic` on the output format `out` carries for it; without a compressor the buffers
    // hold one raw frame of `writeBytes`.
    bool Begin(HIC hic, const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out,
               uint32_t writeBytes, uint32_t pageSize);
    void Reset(uint32_t writeBytes) { bufferBytes = writeBytes; }
    // Compresses the host's frame into `destination` (of BufferBytes()); what it produced.
    std::optional<FrameSize> Compress(const ICCOMPRESS* icc, void* destination);
    void Release();

    uint8_t* Buffer() const { return buffer; }
    uint32_t BufferBytes() const { return bufferBytes; }

private:
    HIC compressor = nullptr;
    BITMAPINFOHEADER* outputFormat = nullptr;
    uint8_t* buffer = nullptr;
    uint32_t bufferBytes = 0;
    uint32_t pageSize = 0;
};

} // namespace kestro
