#pragma once

// The rows of the kinds that no kernel family reads directly (v210, 16-bit packed 4:2:2), for
// every kernel level: a chunk of the row is decoded to 8-bit YUY2 groups on the stack and
// converted with the level's own YUY2 row, so both steps stay the ones tested on their own.
// Included by each kernel file, in an anonymous namespace so that every such file keeps its own
// copy (built with its own instruction set's flags).
#include <cstddef>
#include <cstdint>

#include "pure/PictureShape.h"
#include "pure/RawConversions.h"

namespace kestro {
namespace {

// The op that delivers the source kind of Op as YUY2, and the YUY2 row of Op's output.
template <RawOp Op> constexpr RawOp UnpackOpOf() {
    return ChooseRawOp(SourceKindOfOp(Op), KIND_YUY2);
}
template <RawOp Op> constexpr RawOp Yuy2RowOpOf() {
    return ChooseRawOp(KIND_YUY2, OutputKindOfOp(Op));
}
// Whether the YUY2 row of Op's output converts by the source's own matrix.
template <RawOp Op> constexpr bool Yuy2RowFits() {
    return FamilyOf(Yuy2RowOpOf<Op>()) == KernelFamily::Packed422ToRgb &&
           SourceMatrix(Yuy2RowOpOf<Op>()) == SourceMatrix(Op);
}
// A source of 16-bit samples in the groups of the output's order: reducing each sample to 8 bits
// delivers it.
template <RawOp Op> constexpr bool ReducesInPlace() {
    const PixelFormat& f = SourceFormat(Op);
    return f.layout == Layout::Packed422 && f.planes.sampleBytes == 2 &&
           f.order == kPixelFormats[FormatIndexOf(OutputKindOfOp(Op))].order;
}

// A row of the source kind of Op as 8-bit packed groups in the order T, by the places of its
// samples: the scalar decoder of every such kind.
template <RawOp Op, PackedOrder T>
void DecodeRowC(const uint8_t* src, uint8_t* dst, uint32_t width) {
    DecodeRow(SamplePlaces(SourceFormat(Op), width, 1), src, 0, width, T, dst);
}

// Chunks of a row through a stack buffer that stays in the first-level cache. A chunk is
// decoded with the pair after it, so that its last right pixel gets that pair's chroma; the two
// pixels converted past the chunk are written again by the next one. Fewer than a group of the
// widest kind (six pixels of v210) left after a chunk go with it, so that a lone last pixel still
// finds the pair before it.
template <RawOp Op, repack_detail::RowFn Decode, repack_detail::RowFn ToRgb>
void DecodedViaYuy2(const uint8_t* src, uint8_t* dst, uint32_t width) {
    constexpr uint32_t kChunk = 480; // pixels: whole groups of every decoded kind
    constexpr int kBpp = int(OutputPixelBytes(Op));
    uint8_t yuy2[2 * (kChunk + 6)];
    for (uint32_t done = 0; done < width;) {
        const uint32_t left = width - done;
        const uint32_t n = left >= kChunk + 6 ? kChunk : left;
        const uint32_t m = n < left ? n + 2 : n;
        Decode(src + RowOffsetOf(SourceFormat(Op), done), yuy2, m);
        ToRgb(yuy2, dst + size_t(done) * kBpp, m);
        done += n;
    }
}

} // namespace
} // namespace kestro
