#pragma once
#include <windows.h>
#include <vfw.h>

#include <cstdint>
#include <memory>
#include <optional>

#include "capture/Frame.h"
#include "edge/Win32Edge.h"

namespace kestro {

// The chained compressor as a capture run uses it: the output format it was begun with, the
// buffer of the synchronous writers, and the capacity every buffer it writes into has.
class ChainCompressor {
public:
    ChainCompressor() = default;
    ChainCompressor(const ChainCompressor&) = delete;
    ChainCompressor& operator=(const ChainCompressor&) = delete;

    // Begins `hic` on the output format `out` carries for it; without a compressor the buffers
    // hold one raw frame of `writeBytes`.
    bool Begin(HIC hic, const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out,
               uint32_t writeBytes, uint32_t pageSize);
    void Reset(uint32_t writeBytes) { bufferBytes = writeBytes; }
    // Compresses the host's image into `destination` (of BufferBytes()); what it produced.
    std::optional<FrameSize> Compress(const ImageView& image, void* destination);
    // Idempotent.
    void Release();

    uint8_t* Buffer() const { return buffer.data(); }
    uint32_t BufferBytes() const { return bufferBytes; }

private:
    HIC compressor = nullptr; // the chained codecs' handle, not ours to close
    std::unique_ptr<uint8_t[]> outputFormat;
    PageBuffer buffer;
    uint32_t bufferBytes = 0;
    uint32_t pageSize = 0;
};

} // namespace kestro
