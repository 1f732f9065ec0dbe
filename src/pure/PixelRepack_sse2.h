#pragma once

// The eight-pixel SSE2 body, included by each kernel file built with SSE2 or later flags. It sits
// in an anonymous namespace so that every such file keeps its own copy: an inline function shared
// across files built with different flags could be merged by the linker into the wrong one.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <emmintrin.h>

#include "pure/PixelFormats.h"

namespace kestro {
namespace {

inline __m128i WordPair(int16_t lo, int16_t hi) {
    return _mm_set1_epi32(static_cast<int32_t>(
        static_cast<uint32_t>(static_cast<uint16_t>(hi)) << 16 | static_cast<uint16_t>(lo)));
}

// The chroma terms of eight pixels (0-3 in [0], 4-7 in [1]) per channel, from their pairs'
// chroma words (U,V per pair) and the chroma of the following pairs.
struct Chroma8 {
    __m128i blue[2], green[2], red[2];
};
template <Matrix M> inline Chroma8 ChromaTerms8(__m128i uv, __m128i uvNext) {
    constexpr ChromaFactors f = FactorsOf(M);
    const __m128i bias = _mm_set1_epi16(256);
    const __m128i cLeft = _mm_sub_epi16(_mm_add_epi16(uv, uv), bias);
    const __m128i cRight = _mm_sub_epi16(_mm_add_epi16(uv, uvNext), bias);
    const __m128i c[2] = {_mm_unpacklo_epi32(cLeft, cRight), _mm_unpackhi_epi32(cLeft, cRight)};
    const __m128i kBlue = WordPair(f.blueCb, 0);
    const __m128i kGreen = WordPair(int16_t(-f.greenCb), int16_t(-f.greenCr));
    const __m128i kRed = WordPair(0, f.redCr);
    Chroma8 t;
    for (int i = 0; i < 2; ++i) {
        t.blue[i] = _mm_madd_epi16(c[i], kBlue);
        t.green[i] = _mm_madd_epi16(c[i], kGreen);
        t.red[i] = _mm_madd_epi16(c[i], kRed);
    }
    return t;
}

// Eight pixels from their luma words and chroma terms, as blue, green, red, 0 in two registers
// of four.
inline void Pixels8(__m128i y, const Chroma8& t, __m128i& p03, __m128i& p47) {
    // (Y, 16) . (19077, -18565) = 19077 * (Y - 16) + 8192.
    const __m128i sixteen = _mm_set1_epi16(16);
    const __m128i kLuma = WordPair(19077, -18565);
    const __m128i l0 = _mm_madd_epi16(_mm_unpacklo_epi16(y, sixteen), kLuma);
    const __m128i l1 = _mm_madd_epi16(_mm_unpackhi_epi16(y, sixteen), kLuma);
    const auto channel = [&](const __m128i(&c)[2]) {
        const __m128i lo = _mm_srai_epi32(_mm_add_epi32(l0, c[0]), 14);
        const __m128i hi = _mm_srai_epi32(_mm_add_epi32(l1, c[1]), 14);
        return _mm_packs_epi32(lo, hi);
    };
    const __m128i br = _mm_packus_epi16(channel(t.blue), channel(t.red));
    const __m128i g0 = _mm_packus_epi16(channel(t.green), _mm_setzero_si128());
    const __m128i bg = _mm_unpacklo_epi8(br, g0);
    const __m128i r0 = _mm_unpackhi_epi8(br, g0);
    p03 = _mm_unpacklo_epi16(bg, r0);
    p47 = _mm_unpackhi_epi16(bg, r0);
}

// Eight pixels: luma words, chroma words (U,V per pair) and the chroma of the following pairs.
// Returns the pixels as blue, green, red, 0 in two registers of four.
template <Matrix M>
inline void Convert8(__m128i y, __m128i uv, __m128i uvNext, __m128i& p03, __m128i& p47) {
    Pixels8(y, ChromaTerms8<M>(uv, uvNext), p03, p47);
}

// Luma words (Y0, Y1 of every pair) and chroma words (U, V of every pair) of packed groups in
// the order O: luma on one byte parity, chroma on the other, U and V put in order.
template <PackedOrder O> inline void Split(__m128i packed, __m128i& y, __m128i& uv) {
    static_assert(IsSplittableOrder(O));
    const __m128i low = _mm_set1_epi16(0x00FF);
    y = O.y0 & 1 ? _mm_srli_epi16(packed, 8) : _mm_and_si128(packed, low);
    uv = O.y0 & 1 ? _mm_and_si128(packed, low) : _mm_srli_epi16(packed, 8);
    if constexpr (O.u > O.v) {
        uv = _mm_shufflehi_epi16(_mm_shufflelo_epi16(uv, _MM_SHUFFLE(2, 3, 0, 1)),
                                 _MM_SHUFFLE(2, 3, 0, 1));
    }
}

// Packed groups in the order O from luma and chroma words as Split makes them.
template <PackedOrder O> inline __m128i Join(__m128i y, __m128i uv) {
    static_assert(IsSplittableOrder(O));
    if constexpr (O.u > O.v) {
        uv = _mm_shufflehi_epi16(_mm_shufflelo_epi16(uv, _MM_SHUFFLE(2, 3, 0, 1)),
                                 _MM_SHUFFLE(2, 3, 0, 1));
    }
    return O.y0 & 1 ? _mm_or_si128(_mm_slli_epi16(y, 8), uv)
                    : _mm_or_si128(y, _mm_slli_epi16(uv, 8));
}

// Streaming stores of 64 bytes a step once the destination is 16-byte aligned; the unaligned
// head and the tail go through memcpy. The fence orders the streaming stores before whatever
// reads the buffer next (the write call, another thread).
inline void CopyForDiskSse2(uint8_t* dst, const uint8_t* src, size_t count) {
    const size_t head = (16 - (reinterpret_cast<uintptr_t>(dst) & 15)) & 15;
    std::memcpy(dst, src, head < count ? head : count);
    if (head >= count)
        return;
    size_t i = head;
    for (; i + 64 <= count; i += 64) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 16));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 32));
        const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 48));
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i), a);
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i + 16), b);
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i + 32), c);
        _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i + 48), d);
    }
    _mm_sfence();
    std::memcpy(dst + i, src + i, count - i);
}

} // namespace
} // namespace kestro
