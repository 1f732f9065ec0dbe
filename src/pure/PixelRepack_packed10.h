#pragma once

// The rows of a 10-bit 4:2:2 kind as RGB, for every kernel level: each level unpacks the samples
// to 8-bit YUY2 groups and converts those with its own YUY2 row, so both steps stay the ones
// tested on their own. Included by each kernel file, in an anonymous namespace so that every
// such file keeps its own copy (built with its own instruction set's flags).
#include <cstddef>
#include <cstdint>

#include "pure/RawConversions.h"

namespace kestro {
namespace {

// The op that unpacks the source kind of Op to YUY2, and the YUY2 row of Op's output.
template <RawOp Op> constexpr RawOp UnpackOpOf() {
    return ChooseRawOp(SourceKindOfOp(Op), KIND_YUY2);
}
template <RawOp Op> constexpr RawOp Yuy2RowOpOf() {
    return ChooseRawOp(KIND_YUY2, OutputKindOfOp(Op));
}

// Chunks of a row through a stack buffer that stays in the first-level cache. A chunk is
// unpacked with the pair after it, so that its last right pixel gets that pair's chroma; the two
// pixels converted past the chunk are written again by the next one. Fewer than a group left
// after a chunk go with it, so that a lone last pixel still finds the pair before it.
template <RawOp Op, repack_detail::RowFn Unpack, repack_detail::RowFn ToRgb>
void Packed10ViaYuy2(const uint8_t* src, uint8_t* dst, uint32_t width) {
    static_assert(FamilyOf(UnpackOpOf<Op>()) == KernelFamily::Packed10ToPacked);
    static_assert(SourceMatrix(Op) == SourceMatrix(Yuy2RowOpOf<Op>()),
                  "the YUY2 row converts by its own matrix");
    constexpr uint32_t kChunk = 480; // pixels: 80 groups
    constexpr int kBpp = int(OutputPixelBytes(Op));
    uint8_t yuy2[2 * (kChunk + 6)];
    for (uint32_t done = 0; done < width;) {
        const uint32_t left = width - done;
        const uint32_t n = left >= kChunk + 6 ? kChunk : left;
        const uint32_t m = n < left ? n + 2 : n;
        Unpack(src + size_t(done / 6) * 16, yuy2, m);
        ToRgb(yuy2, dst + size_t(done) * kBpp, m);
        done += n;
    }
}

} // namespace
} // namespace kestro
