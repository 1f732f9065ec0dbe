#pragma once
// How a frame stored raw becomes the host's picture: the routine, the row layout on both sides and
// the row order. Plain bytes only, so that every case is tested natively.
#include <cstdint>
#include <optional>

#include "pure/PixelFormats.h"
#include "pure/PixelKind.h"
#include "pure/ReadPlan.h"

namespace kestro {

// Packed 4:2:2 pictures lie top row first whatever the sign of their height (the platform's rule
// for YUV bitmaps); an RGB bitmap lies bottom row first unless its height is negative.
constexpr bool TopRowFirst(PixelKind kind, int32_t height) {
    const PixelFormat* format = FormatOf(kind);
    return format ? TopRowFirst(*format, height) : height < 0;
}

struct RawConversion {
    RawOp op = RawOp::Refuse;
    uint32_t width = 0;
    uint32_t rows = 0;
    uint32_t srcStride = 0;   // from one stored row to the next
    uint32_t dstStride = 0;   // from one output row to the next
    uint32_t dstRowBytes = 0; // picture bytes of an output row; the rest of the stride is padding
    bool reverseRows = false; // output row j comes from stored row rows-1-j
    uint32_t storedBytes = 0; // what the conversion reads of the stored frame
    uint32_t outputBytes = 0; // what it writes into the host's buffer
};

// Stored rows are bitmap rows (padded to 4 bytes) of `source`; output rows are padded likewise
// unless the host declared the unpadded size. Empty for a pair no routine delivers, heights of
// different size, or sizes beyond 32 bits.
std::optional<RawConversion> PlanRawConversion(PixelKind source, int32_t streamHeight,
                                               PixelKind output, int32_t outputHeight,
                                               int32_t width, bool paddedOutputRows);

// The output is the stored bytes as they lie: a read may go straight into the host's buffer.
constexpr bool IsStraightCopy(const RawConversion& c) {
    return c.op == RawOp::Copy && !c.reverseRows && c.srcStride == c.dstStride;
}

// Writes plan.outputBytes into `out` from plan.storedBytes of `stored`; output row padding that
// the stored rows do not supply is zeroed.
void ApplyRawConversion(const RawConversion& plan, const uint8_t* stored, uint8_t* out);

} // namespace kestro
