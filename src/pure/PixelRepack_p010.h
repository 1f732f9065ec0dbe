#pragma once

// The rows of a planar kind of 16-bit samples (P010, P210) for the kernel levels that do not read
// such samples themselves: a chunk of the row's luma and chroma samples is reduced to 8 bits on the
// stack and converted with the level's own row, or row pair, of the 8-bit kind of the same planes
// (NV12), so both steps stay the ones tested on their own. The AVX2 and AVX-512 rows into RGB
// read them directly (To8BitWords), where a load of words costs no more than one of bytes.
// Included by each kernel file, in an anonymous namespace so that every such file keeps its own
// copy (built with its own instruction set's flags).
#include <cstddef>
#include <cstdint>

#include "pure/RawConversions.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__AVX2__)
#include <immintrin.h>
#endif

namespace kestro {
namespace {

// The 8-bit planar kind whose rows lie as those of Op's source (NV12 for P010 and P210: a row is
// converted with its chroma row, however many rows share it), and its op to Op's output.
template <RawOp Op> constexpr PixelKind Planar8KindOf() {
    const PlaneLayout p = SourcePlanes(Op);
    for (const PixelFormat& f : kPixelFormats)
        if (f.layout == Layout::Planar && f.planes.sampleBytes == 1 && f.planes.count == p.count &&
            f.planes.shiftX == p.shiftX && f.planes.redFirst == p.redFirst)
            return f.kind;
    return KIND_NONE;
}
template <RawOp Op> constexpr RawOp Planar8OpOf() {
    return ChooseRawOp(Planar8KindOf<Op>(), OutputKindOfOp(Op));
}
// Whether there is such a kind.
template <RawOp Op> constexpr bool HasPlanar8Twin() {
    return Planar8OpOf<Op>() != RawOp::Refuse;
}
// Whether its row pairs fit too: both kinds share a chroma row between the same rows.
template <RawOp Op> constexpr bool PairsAsPlanar8Twin() {
    return HasPlanar8Twin<Op>() &&
           SourcePlanes(Op).shiftY == SourcePlanes(Planar8OpOf<Op>()).shiftY;
}

using ReduceFn = void (*)(const uint8_t* src, uint8_t* dst, size_t count);

// count little-endian 16-bit samples to 8 bits: the value is the high 10 bits, whatever the low 6
// hold, rounded as min(255, (v + 2) >> 2).
inline void Reduce16C(const uint8_t* src, uint8_t* dst, size_t count) {
    for (size_t i = 0; i < count; ++i)
        dst[i] = To8Bits(uint32_t(src[2 * i] | src[2 * i + 1] << 8) >> 6);
}

#if defined(__SSE2__)
// Eight samples a register: (v >> 6 + 2) >> 2 is at most 256, which the unsigned saturation of
// the pack takes down to 255.
inline __m128i Reduce8Words(__m128i w) {
    const __m128i v = _mm_srli_epi16(w, 6);
    return _mm_srli_epi16(_mm_add_epi16(v, _mm_set1_epi16(2)), 2);
}
inline void Reduce16Sse2(const uint8_t* src, uint8_t* dst, size_t count) {
    size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * i + 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i),
                         _mm_packus_epi16(Reduce8Words(a), Reduce8Words(b)));
    }
    Reduce16C(src + 2 * i, dst + i, count - i);
}
#endif

#if defined(__AVX2__)
// Thirty-two samples a step; the in-lane pack leaves the quarters in the order 0 2 1 3.
inline __m256i Reduce16Words(__m256i w) {
    const __m256i v = _mm256_srli_epi16(w, 6);
    return _mm256_srli_epi16(_mm256_add_epi16(v, _mm256_set1_epi16(2)), 2);
}
// The same as words at 8 bits, for the kernels that convert them without a pack.
inline __m256i To8BitWords(__m256i w) {
    return _mm256_min_epu16(Reduce16Words(w), _mm256_set1_epi16(255));
}
inline void Reduce16Avx2(const uint8_t* src, uint8_t* dst, size_t count) {
    size_t i = 0;
    for (; i + 32 <= count; i += 32) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 2 * i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 2 * i + 32));
        const __m256i packed = _mm256_packus_epi16(Reduce16Words(a), Reduce16Words(b));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i),
                            _mm256_permute4x64_epi64(packed, _MM_SHUFFLE(3, 1, 2, 0)));
    }
    Reduce16Sse2(src + 2 * i, dst + i, count - i);
}
#endif
#if defined(__AVX512BW__)
inline __m512i To8BitWords(__m512i w) {
    const __m512i v = _mm512_srli_epi16(w, 6);
    return _mm512_min_epu16(_mm512_srli_epi16(_mm512_add_epi16(v, _mm512_set1_epi16(2)), 2),
                            _mm512_set1_epi16(255));
}
#endif

// A row goes in chunks through stack buffers that stay in the first-level cache. A chunk is
// reduced with the pair after it, so that its last right pixel gets that pair's chroma; the two
// pixels converted past the chunk are written again by the next one. A single pixel left after a
// chunk (an odd width) goes with it, so that it still finds the pair before it. chunk(done, m)
// converts the m pixels from pixel `done` on.
constexpr uint32_t kChunk = 1024; // pixels, even
template <class Chunk> void WalkChunks(uint32_t width, Chunk chunk) {
    for (uint32_t done = 0; done < width;) {
        const uint32_t left = width - done;
        const uint32_t n = left >= kChunk + 2 ? kChunk : left;
        chunk(done, n < left ? n + 2 : n);
        done += n;
    }
}

template <RawOp Op> constexpr void CheckPlanar16() {
    constexpr PlaneLayout P = SourcePlanes(Op);
    static_assert(P.sampleBytes == 2 && P.count == 2 && P.shiftX == 1,
                  "one plane of interleaved chroma pairs at half the width");
    static_assert(SourceMatrix(Op) == SourceMatrix(Planar8OpOf<Op>()),
                  "the 8-bit row converts by its own matrix");
}

// Room for a chunk, the pair after it and a lone pixel; the 8-bit rows read no further.
struct Reduced8 {
    uint8_t luma[kChunk + 4], chroma[kChunk + 4];
};
template <RawOp Op> repack_detail::PlaneRows RowsOf(const Reduced8& r) {
    constexpr bool redFirst = SourcePlanes(Op).redFirst;
    return {r.luma, redFirst ? r.chroma + 1 : r.chroma, redFirst ? r.chroma : r.chroma + 1};
}
inline const uint8_t* PairsOf(const repack_detail::PlaneRows& s) {
    return s.cb < s.cr ? s.cb : s.cr;
}

template <RawOp Op, ReduceFn Reduce, repack_detail::PlanarRowFn Row8>
void Planar16Via8(const repack_detail::PlaneRows& s, uint8_t* dst, uint32_t width) {
    CheckPlanar16<Op>();
    constexpr size_t kBpp = OutputPixelBytes(Op);
    Reduced8 r;
    WalkChunks(width, [&](uint32_t done, uint32_t m) {
        Reduce(s.luma + 2 * size_t{done}, r.luma, m);
        Reduce(PairsOf(s) + 2 * size_t{done}, r.chroma, m / 2 * 2);
        Row8(RowsOf<Op>(r), dst + size_t{done} * kBpp, m);
    });
}

// Both rows of a 2x2 block's row pair: the chroma row is reduced once for the two, and the 8-bit
// kind's row pair shares its chroma work between them as it does for its own pictures.
template <RawOp Op, ReduceFn Reduce, repack_detail::PlanarRowPairFn Pair8>
void Planar16PairVia8(const repack_detail::PlaneRows& s, const uint8_t* luma2, uint8_t* dst,
                      uint8_t* dst2, uint32_t width) {
    CheckPlanar16<Op>();
    constexpr size_t kBpp = OutputPixelBytes(Op);
    Reduced8 r;
    uint8_t other[kChunk + 4];
    WalkChunks(width, [&](uint32_t done, uint32_t m) {
        Reduce(s.luma + 2 * size_t{done}, r.luma, m);
        Reduce(luma2 + 2 * size_t{done}, other, m);
        Reduce(PairsOf(s) + 2 * size_t{done}, r.chroma, m / 2 * 2);
        Pair8(RowsOf<Op>(r), other, dst + size_t{done} * kBpp, dst2 + size_t{done} * kBpp, m);
    });
}

} // namespace
} // namespace kestro
