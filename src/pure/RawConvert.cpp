#include "pure/RawConvert.h"

#include <cstring>

#include "pure/PixelRepack.h"

namespace kestro {

std::optional<RawConversion> PlanRawConversion(PixelKind source, int32_t streamHeight,
                                               PixelKind output, int32_t outputHeight,
                                               int32_t width, bool paddedOutputRows) {
    RawConversion c;
    c.op = ChooseRawOp(source, output);
    const uint64_t rows = AbsoluteHeight(outputHeight);
    if (c.op == RawOp::Refuse || width <= 0 || rows == 0 || rows != AbsoluteHeight(streamHeight))
        return std::nullopt;
    // Every size in 64 bits: a row alone may pass 32 bits (2^30 pixels at 32 bits is 2^32 bytes).
    const PixelFormat* stored = FormatOf(source);
    const PixelFormat* shown = FormatOf(output);
    if (!stored || !shown || ShapeProblem(*stored, width, streamHeight))
        return std::nullopt;
    const PictureShape from = ShapeOf(*stored, uint32_t(width), rows, RowRule::Stored);
    const PictureShape to = ShapeOf(*shown, uint32_t(width), rows,
                                    paddedOutputRows ? RowRule::Bitmap : RowRule::Packed);
    const uint64_t srcStride = from.plane[0].stride, dstStride = to.plane[0].stride;
    if (srcStride > UINT32_MAX / rows || dstStride > UINT32_MAX / rows)
        return std::nullopt;
    if (from.bytes > UINT32_MAX || to.bytes > UINT32_MAX)
        return std::nullopt;
    c.width = uint32_t(width);
    c.rows = uint32_t(rows);
    c.srcStride = uint32_t(srcStride);
    c.dstStride = uint32_t(dstStride);
    c.dstRowBytes = uint32_t(to.plane[0].rowBytes);
    c.reverseRows = TopRowFirst(source, streamHeight) != TopRowFirst(output, outputHeight);
    c.storedBytes = uint32_t(from.bytes);
    c.outputBytes = uint32_t(to.bytes);
    return c;
}

void ApplyRawConversion(const RawConversion& c, const uint8_t* stored, uint8_t* out) {
    const bool sameRows = !c.reverseRows && c.srcStride == c.dstStride;
    if (c.op == RawOp::Copy && sameRows) {
        std::memcpy(out, stored, c.outputBytes);
        return;
    }
    if (c.op == RawOp::Swap && sameRows) {
        SwapBytePairs(out, stored, c.outputBytes);
        return;
    }
    if (FromPlanes(c.op)) {
        ConvertPlanes(c.op, stored, out, c.width, c.rows, c.reverseRows, c.dstStride);
        for (uint32_t j = 0; j < c.rows && c.dstStride > c.dstRowBytes; ++j)
            std::memset(out + size_t(j) * c.dstStride + c.dstRowBytes, 0,
                        c.dstStride - c.dstRowBytes);
        return;
    }
    const bool converts = Converts(c.op);
    // Unpadded rows on both sides: the whole picture in one call, which walks the rows itself.
    if (converts && c.srcStride == SourceRowBytes(c.op, c.width) && c.dstStride == c.dstRowBytes) {
        ConvertPicture(c.op, stored, out, c.width, c.rows, c.reverseRows);
        return;
    }
    for (uint32_t j = 0; j < c.rows; ++j) {
        const uint8_t* from = stored + size_t(c.reverseRows ? c.rows - 1 - j : j) * c.srcStride;
        uint8_t* to = out + size_t(j) * c.dstStride;
        if (converts)
            ConvertPicture(c.op, from, to, c.width, 1, false);
        else if (c.op == RawOp::Swap)
            SwapBytePairs(to, from, c.dstRowBytes);
        else
            std::memcpy(to, from, c.dstRowBytes);
        std::memset(to + c.dstRowBytes, 0, c.dstStride - c.dstRowBytes);
    }
}

} // namespace kestro
