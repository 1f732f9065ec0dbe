#pragma once
// A frame on its way from the host's image to a piece of the data file: what it is, where its
// write goes, where it was stored.
#include <windows.h>

#include <cstdint>

namespace kestro {

// The host's image of one frame: its format (for a chained compressor) and its bytes.
struct ImageView {
    const BITMAPINFOHEADER* format = nullptr;
    const uint8_t* bits = nullptr;
    uint32_t bytes = 0;
};

// A frame's size: the bytes it holds and the whole pages its write covers.
struct FrameSize {
    uint32_t bytes = 0;
    uint32_t write = 0;
};

// Where one write goes: a piece's handle and the offset in it.
struct WriteTarget {
    HANDLE file = INVALID_HANDLE_VALUE;
    uint64_t offset = 0;
};

// Where a writer put a frame; the frame's record is made of this and nothing else.
struct StoredFrame {
    uint64_t offset = 0;
    uint32_t bytes = 0;
    int32_t piece = 0;
};

// The one rule by which a write counts as finished: it succeeded and moved every byte it was
// given.
constexpr bool WriteStored(bool succeeded, uint64_t transferred, uint32_t bytes) {
    return succeeded && transferred == bytes;
}

} // namespace kestro
