#include "pure/PixelRepack.h"

#include <array>
#include <cstring>
#include <immintrin.h>

#include "pure/PixelRepack_p010.h"
#include "pure/PixelRepack_decoded.h"
#include "pure/RawConversions.h"

// Only reached after the CPUID and XGETBV checks; kept in an anonymous namespace so no inline
// function built with -mavx2 can stand in for a copy used by the other levels.
namespace kestro {
namespace {

inline __m256i WordPair(int16_t lo, int16_t hi) {
    return _mm256_set1_epi32(static_cast<int32_t>(
        static_cast<uint32_t>(static_cast<uint16_t>(hi)) << 16 | static_cast<uint16_t>(lo)));
}

// Sixteen pixels, eight per 128-bit lane. A 32-bit lane holds one pixel: the left pixels of the
// four pairs in one set of registers, the right pixels in another, so luma and chroma are taken
// where the source puts them and only the finished bytes are interleaved.
// pA holds pixels 0-3 and 8-11, pB pixels 4-7 and 12-15.
// Chroma words of packed groups in the order O, U before V in every pair.
template <PackedOrder O> inline __m256i ChromaWords(__m256i packed) {
    const __m256i uv = O.y0 & 1 ? _mm256_and_si256(packed, _mm256_set1_epi16(0x00FF))
                                : _mm256_srli_epi16(packed, 8);
    if constexpr (O.u > O.v) {
        return _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(uv, _MM_SHUFFLE(2, 3, 0, 1)),
                                      _MM_SHUFFLE(2, 3, 0, 1));
    } else {
        return uv;
    }
}

// The chroma terms of sixteen pixels, per channel for the left (Y0) and the right (Y1) pixel of
// each pair, from their pairs' chroma words (U, V of pairs 0-3 and 4-7) and each pair's
// successor's chroma, with `k` added.
struct Chroma16 {
    __m256i blue[2], green[2], red[2];
};
template <Matrix M> inline Chroma16 ChromaTerms16(__m256i uv, __m256i uvNext, __m256i k) {
    constexpr ChromaFactors f = FactorsOf(M);
    const __m256i bias = _mm256_set1_epi16(-256);
    const __m256i c[2] = {_mm256_add_epi16(_mm256_add_epi16(uv, uv), bias),
                          _mm256_add_epi16(_mm256_add_epi16(uv, uvNext), bias)};
    Chroma16 t;
    for (int side = 0; side < 2; ++side) {
        t.blue[side] = _mm256_add_epi32(_mm256_madd_epi16(c[side], WordPair(f.blueCb, 0)), k);
        t.green[side] = _mm256_add_epi32(
            _mm256_madd_epi16(c[side], WordPair(int16_t(-f.greenCb), int16_t(-f.greenCr))), k);
        t.red[side] = _mm256_add_epi32(_mm256_madd_epi16(c[side], WordPair(0, f.redCr)), k);
    }
    return t;
}

// 19077 * (Y - 16) + 8192 is the luma term with this added.
inline __m256i LumaBias() {
    return _mm256_set1_epi32(8192 - 19077 * 16);
}

// Sixteen pixels from their luma words (pixels 0-7 in the low lane, 8-15 in the high one), with
// `k` added to the luma terms, and their chroma terms.
inline void Pixels16(__m256i y, __m256i k, const Chroma16& t, __m256i& pA, __m256i& pB) {
    const __m256i l[2] = {_mm256_add_epi32(_mm256_madd_epi16(y, WordPair(19077, 0)), k),
                          _mm256_add_epi32(_mm256_madd_epi16(y, WordPair(0, 19077)), k)};
    // Blue's shifted value in the low word, green's in the high word (4x fits: |sum| < 2^29),
    // red with its sign word, which the unsigned pack turns into the zero fourth byte.
    // Result bytes: blue, green of the four pixels, then red, 0 of the four pixels.
    __m256i side[2];
    for (int s = 0; s < 2; ++s) {
        const __m256i b = _mm256_add_epi32(l[s], t.blue[s]);
        const __m256i g = _mm256_add_epi32(l[s], t.green[s]);
        const __m256i r = _mm256_add_epi32(l[s], t.red[s]);
        const __m256i bg =
            _mm256_blend_epi16(_mm256_srai_epi32(b, 14), _mm256_slli_epi32(g, 2), 0xAA);
        side[s] = _mm256_packus_epi16(bg, _mm256_srai_epi32(r, 14));
    }
    const __m256i bg = _mm256_unpacklo_epi16(side[0], side[1]);
    const __m256i r0 = _mm256_unpackhi_epi16(side[0], side[1]);
    pA = _mm256_unpacklo_epi16(bg, r0);
    pB = _mm256_unpackhi_epi16(bg, r0);
}

// Sixteen pixels from their luma words, their pairs' chroma words and each pair's successor's.
template <Matrix M>
inline void Convert16Words(__m256i y, __m256i uv, __m256i uvNext, __m256i& pA, __m256i& pB) {
    Pixels16(y, LumaBias(), ChromaTerms16<M>(uv, uvNext, _mm256_setzero_si256()), pA, pB);
}

template <PackedOrder O, Matrix M>
inline void Convert16(const uint8_t* src, __m256i& pA, __m256i& pB) {
    static_assert(IsSplittableOrder(O));
    const __m256i packed = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
    const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 4));
    // Words: luma Y0, Y1 and chroma U, V of every pair; uvNext is the following pair's chroma.
    const __m256i y = O.y0 & 1 ? _mm256_srli_epi16(packed, 8)
                               : _mm256_and_si256(packed, _mm256_set1_epi16(0x00FF));
    Convert16Words<M>(y, ChromaWords<O>(packed), ChromaWords<O>(next), pA, pB);
}

inline void Store16(uint8_t* dst, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), v);
}

// Four BGR0 pixels of each lane to their 12 bytes (a constant made where it is used: a vector
// built before main would run AVX2 on any processor).
inline __m256i Squeeze24() {
    return _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0, 1, 2, 4, 5,
                            6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
}

// Sixteen pixels as Convert16Words leaves them. 24-bit pixels go as 16-byte stores of 12 valid
// bytes, the last 4 past the sixteen pixels: a pixel pair more must follow in the row.
// With Exact, the 24-bit pixels end where the sixteen pixels do.
template <int Bpp, bool Exact = false>
inline void Store16Pixels(uint8_t* dst, __m256i pA, __m256i pB) {
    if constexpr (Bpp == 4) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst),
                            _mm256_permute2x128_si256(pA, pB, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 32),
                            _mm256_permute2x128_si256(pA, pB, 0x31));
    } else {
        const __m256i squeeze24 = Squeeze24();
        const __m256i a = _mm256_shuffle_epi8(pA, squeeze24);
        const __m256i b = _mm256_shuffle_epi8(pB, squeeze24);
        Store16(dst, _mm256_castsi256_si128(a));
        Store16(dst + 12, _mm256_castsi256_si128(b));
        Store16(dst + 24, _mm256_extracti128_si256(a, 1));
        const __m128i last = _mm256_extracti128_si256(b, 1);
        if constexpr (Exact) {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 36), last);
            const uint32_t tail = static_cast<uint32_t>(_mm_extract_epi32(last, 2));
            std::memcpy(dst + 44, &tail, 4);
        } else {
            Store16(dst + 36, last);
        }
    }
}

template <RawOp Op> void RowAvx2(const uint8_t* src, uint8_t* dst, uint32_t width) {
    constexpr int Bpp = int(OutputPixelBytes(Op));
    const uint32_t pairs = width / 2;
    // A group reads the chroma of the pair after it, so it stops short of the row's last pair.
    const uint32_t groups = pairs ? (pairs - 1) / 8 : 0;
    for (uint32_t g = 0; g < groups; ++g, src += 32, dst += 16 * Bpp) {
        __m256i pA, pB;
        Convert16<SourceOrder(Op), SourceMatrix(Op)>(src, pA, pB);
        Store16Pixels<Bpp>(dst, pA, pB);
    }
    // Every processor with AVX2 has SSSE3.
    repack_detail::KernelsAt(KernelLevel::Ssse3).rows[size_t(Op)](src, dst, width - groups * 16);
}

// Sixteen samples of a plane's row as words at 8 bits.
template <PlaneLayout P> inline __m256i Samples16(const uint8_t* p) {
    if constexpr (P.sampleBytes == 1) {
        return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    } else {
        static_assert(P.sampleBytes == 2);
        return To8BitWords(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
    }
}

// The chroma of eight pairs of a planar row as words U, V of each pair (pairs 0-3 in the low
// lane): sixteen samples of an interleaved row, eight of each separate one.
template <PlaneLayout P> inline __m256i PlanarChroma8(const uint8_t* cb, const uint8_t* cr) {
    if constexpr (P.count == 2) {
        const uint8_t* pair = cb < cr ? cb : cr;
        const __m256i uv = Samples16<P>(pair);
        if constexpr (P.redFirst) {
            return _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(uv, _MM_SHUFFLE(2, 3, 0, 1)),
                                          _MM_SHUFFLE(2, 3, 0, 1));
        } else {
            return uv;
        }
    } else {
        static_assert(P.sampleBytes == 1);
        const __m128i u = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(cb));
        const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(cr));
        return _mm256_cvtepu8_epi16(_mm_unpacklo_epi8(u, v));
    }
}

// Sixteen pixels a step from a planar row, by the packed rows' rule. Offsets count bytes: step is
// one chroma pair's, a luma sample's is P.sampleBytes.
template <RawOp Op>
void PlanarToRgbAvx2(const repack_detail::PlaneRows& s, uint8_t* dst, uint32_t width) {
    constexpr PlaneLayout P = SourcePlanes(Op);
    constexpr size_t step = (P.count == 2 ? 2 : 1) * P.sampleBytes;
    constexpr int Bpp = int(OutputPixelBytes(Op));
    const uint32_t pairs = width / 2;
    const uint32_t groups = pairs ? (pairs - 1) / 8 : 0;
    for (uint32_t g = 0; g < groups; ++g, dst += 16 * Bpp) {
        const size_t c = size_t{g} * 8 * step;
        const __m256i y = Samples16<P>(s.luma + 16 * P.sampleBytes * size_t{g});
        __m256i pA, pB;
        Convert16Words<SourceMatrix(Op)>(y, PlanarChroma8<P>(s.cb + c, s.cr + c),
                                         PlanarChroma8<P>(s.cb + c + step, s.cr + c + step), pA,
                                         pB);
        Store16Pixels<Bpp>(dst, pA, pB);
    }
    const size_t c = size_t{groups} * 8 * step;
    // A row that ends on a whole group: its last pair repeats its own chroma.
    if (width - groups * 16 == 16) {
        const __m256i y = Samples16<P>(s.luma + 16 * P.sampleBytes * size_t{groups});
        const __m256i uv = PlanarChroma8<P>(s.cb + c, s.cr + c);
        const __m256i next =
            _mm256_permutevar8x32_epi32(uv, _mm256_setr_epi32(1, 2, 3, 4, 5, 6, 7, 7));
        __m256i pA, pB;
        Convert16Words<SourceMatrix(Op)>(y, uv, next, pA, pB);
        Store16Pixels<Bpp, true>(dst, pA, pB);
        return;
    }
    const repack_detail::PlaneRows rest{s.luma + 16 * P.sampleBytes * size_t{groups}, s.cb + c,
                                        s.cr + c};
    repack_detail::KernelsAt(KernelLevel::Sse2)
        .planarRows[size_t(Op)](rest, dst, width - groups * 16);
}

// Both rows of a 2x2 block's row pair, sixteen pixels of each a step: one chroma step serves both.
template <RawOp Op>
void PlanarPairToRgbAvx2(const repack_detail::PlaneRows& s, const uint8_t* luma2, uint8_t* dst,
                         uint8_t* dst2, uint32_t width) {
    constexpr PlaneLayout P = SourcePlanes(Op);
    constexpr size_t step = (P.count == 2 ? 2 : 1) * P.sampleBytes;
    constexpr int Bpp = int(OutputPixelBytes(Op));
    const uint32_t pairs = width / 2;
    const uint32_t groups = pairs ? (pairs - 1) / 8 : 0;
    const __m256i zero = _mm256_setzero_si256();
    for (uint32_t g = 0; g < groups; ++g) {
        const size_t c = size_t{g} * 8 * step;
        const Chroma16 t = ChromaTerms16<SourceMatrix(Op)>(
            PlanarChroma8<P>(s.cb + c, s.cr + c),
            PlanarChroma8<P>(s.cb + c + step, s.cr + c + step), LumaBias());
        for (int row = 0; row < 2; ++row) {
            const __m256i y = Samples16<P>((row ? luma2 : s.luma) + 16 * P.sampleBytes * size_t{g});
            __m256i pA, pB;
            Pixels16(y, zero, t, pA, pB);
            Store16Pixels<Bpp>((row ? dst2 : dst) + size_t{g} * 16 * Bpp, pA, pB);
        }
    }
    const size_t c = size_t{groups} * 8 * step, done = size_t{groups} * 16;
    const size_t luma = done * P.sampleBytes;
    PlanarToRgbAvx2<Op>({s.luma + luma, s.cb + c, s.cr + c}, dst + done * Bpp, width - done);
    PlanarToRgbAvx2<Op>({luma2 + luma, s.cb + c, s.cr + c}, dst2 + done * Bpp, width - done);
}

// Thirty-two pixels a step from a planar row into packed groups; the in-lane unpacks put pixels
// 0-7 and 16-23 in one register and 8-15, 24-31 in the other.
template <RawOp Op>
void PlanarToPackedAvx2(const repack_detail::PlaneRows& s, uint8_t* dst, uint32_t width) {
    constexpr PlaneLayout P = SourcePlanes(Op);
    static_assert(P.sampleBytes == 1);
    constexpr PackedOrder T = OutputOrder(Op);
    constexpr size_t step = P.count == 2 ? 2 : 1;
    const uint32_t steps = width / 32;
    for (uint32_t i = 0; i < steps; ++i, dst += 64) {
        const size_t c = size_t{i} * 16 * step;
        const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s.luma + 32 * i));
        __m256i uv;
        if constexpr (P.count == 2) {
            uv = _mm256_loadu_si256(
                reinterpret_cast<const __m256i*>(s.cb < s.cr ? s.cb + c : s.cr + c));
            if constexpr (P.redFirst != (T.u > T.v)) {
                uv = _mm256_or_si256(_mm256_slli_epi16(uv, 8), _mm256_srli_epi16(uv, 8));
            }
        } else {
            const __m128i u = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.cb + c));
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.cr + c));
            const __m128i a = T.u < T.v ? u : v, b = T.u < T.v ? v : u;
            uv = _mm256_set_m128i(_mm_unpackhi_epi8(a, b), _mm_unpacklo_epi8(a, b));
        }
        const __m256i lo = T.y0 & 1 ? _mm256_unpacklo_epi8(uv, y) : _mm256_unpacklo_epi8(y, uv);
        const __m256i hi = T.y0 & 1 ? _mm256_unpackhi_epi8(uv, y) : _mm256_unpackhi_epi8(y, uv);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst),
                            _mm256_permute2x128_si256(lo, hi, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 32),
                            _mm256_permute2x128_si256(lo, hi, 0x31));
    }
    const size_t c = size_t{steps} * 16 * step;
    const repack_detail::PlaneRows rest{s.luma + 32 * steps, s.cb + c, s.cr + c};
    repack_detail::KernelsAt(KernelLevel::Sse2)
        .planarRows[size_t(Op)](rest, dst, width - steps * 32);
}

// Eight BGR0 pixels a load to 24 bytes: two 16-byte stores of 12, the second writing 4 bytes past
// the step, so two more pixels must follow.
void Rgb32ToRgb24Avx2(const uint8_t* src, uint8_t* dst, uint32_t width) {
    const __m256i squeeze24 = Squeeze24();
    uint32_t left = width;
    for (; left >= 10; left -= 8, src += 32, dst += 24) {
        const __m256i v = _mm256_shuffle_epi8(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src)), squeeze24);
        Store16(dst, _mm256_castsi256_si128(v));
        Store16(dst + 12, _mm256_extracti128_si256(v, 1));
    }
    repack_detail::KernelsAt(KernelLevel::Sse2)
        .rows[size_t(ChooseRawOp(KIND_RGB32, KIND_RGB24))](src, dst, left);
}

// Thirty-two bytes (sixteen pixels) a step from one packed order to another.
template <RawOp Op> void ReorderAvx2(const uint8_t* src, uint8_t* dst, uint32_t width) {
    constexpr PackedOrder F = SourceOrder(Op), T = OutputOrder(Op);
    static_assert(IsSplittableOrder(T));
    const __m256i low = _mm256_set1_epi16(0x00FF);
    const uint32_t steps = width / 16;
    for (uint32_t i = 0; i < steps; ++i, src += 32, dst += 32) {
        const __m256i packed = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
        const __m256i y = F.y0 & 1 ? _mm256_srli_epi16(packed, 8) : _mm256_and_si256(packed, low);
        __m256i uv = ChromaWords<F>(packed);
        if constexpr (T.u > T.v) {
            uv = _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(uv, _MM_SHUFFLE(2, 3, 0, 1)),
                                        _MM_SHUFFLE(2, 3, 0, 1));
        }
        const __m256i out = T.y0 & 1 ? _mm256_or_si256(_mm256_slli_epi16(y, 8), uv)
                                     : _mm256_or_si256(y, _mm256_slli_epi16(uv, 8));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), out);
    }
    repack_detail::KernelsAt(KernelLevel::Sse2).rows[size_t(Op)](src, dst, width - steps * 16);
}

// Thirty-two luma bytes to their grey levels (Cb = Cr = 0); the packs keep the bytes in order,
// since both unpack and pack work within each 128-bit lane.
inline __m256i Grey32(__m256i v) {
    const __m256i zero = _mm256_setzero_si256(), sixteen = _mm256_set1_epi16(16);
    const __m256i kLuma = WordPair(19077, -18565); // (Y, 16) . k = 19077 (Y - 16) + 8192
    const auto sixteenWords = [&](__m256i w) {
        const __m256i a = _mm256_madd_epi16(_mm256_unpacklo_epi16(w, sixteen), kLuma);
        const __m256i b = _mm256_madd_epi16(_mm256_unpackhi_epi16(w, sixteen), kLuma);
        return _mm256_packs_epi32(_mm256_srai_epi32(a, 14), _mm256_srai_epi32(b, 14));
    };
    return _mm256_packus_epi16(sixteenWords(_mm256_unpacklo_epi8(v, zero)),
                               sixteenWords(_mm256_unpackhi_epi8(v, zero)));
}

// Thirty-two pixels a step. The 24-bit stores write 16 bytes for 12, the last 4 past the step,
// so two pixels must follow.
template <RawOp Op> void LumaToRgbAvx2(const uint8_t* src, uint8_t* dst, uint32_t width) {
    constexpr int Bpp = int(OutputPixelBytes(Op));
    const __m256i zero = _mm256_setzero_si256();
    const __m256i squeeze24 =
        _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0, 1, 2, 4, 5, 6,
                         8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    uint32_t left = width;
    for (; left >= (Bpp == 4 ? 32u : 34u); left -= 32, src += 32, dst += 32 * Bpp) {
        const __m256i g = Grey32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(src)));
        const __m256i gg0 = _mm256_unpacklo_epi8(g, g), gg1 = _mm256_unpackhi_epi8(g, g);
        const __m256i g00 = _mm256_unpacklo_epi8(g, zero), g01 = _mm256_unpackhi_epi8(g, zero);
        // Pixels 0-3 | 16-19, 4-7 | 20-23, 8-11 | 24-27, 12-15 | 28-31.
        const __m256i q[4] = {_mm256_unpacklo_epi16(gg0, g00), _mm256_unpackhi_epi16(gg0, g00),
                              _mm256_unpacklo_epi16(gg1, g01), _mm256_unpackhi_epi16(gg1, g01)};
        if constexpr (Bpp == 4) {
            auto* out = reinterpret_cast<__m256i*>(dst);
            _mm256_storeu_si256(out, _mm256_permute2x128_si256(q[0], q[1], 0x20));
            _mm256_storeu_si256(out + 1, _mm256_permute2x128_si256(q[2], q[3], 0x20));
            _mm256_storeu_si256(out + 2, _mm256_permute2x128_si256(q[0], q[1], 0x31));
            _mm256_storeu_si256(out + 3, _mm256_permute2x128_si256(q[2], q[3], 0x31));
        } else {
            // In memory order: each store's 4 extra bytes are rewritten by the next.
            __m256i s[4];
            for (int k = 0; k < 4; ++k) {
                s[k] = _mm256_shuffle_epi8(q[k], squeeze24);
                Store16(dst + 12 * k, _mm256_castsi256_si128(s[k]));
            }
            for (int k = 0; k < 4; ++k) {
                Store16(dst + 48 + 12 * k, _mm256_extracti128_si256(s[k], 1));
            }
        }
    }
    repack_detail::KernelsAt(KernelLevel::Sse2).rows[size_t(Op)](src, dst, left);
}

// Thirty-two luma bytes a step into packed groups with neutral chroma.
template <RawOp Op> void LumaToPackedAvx2(const uint8_t* src, uint8_t* dst, uint32_t width) {
    constexpr PackedOrder T = OutputOrder(Op);
    const __m256i half = _mm256_set1_epi8(char(128));
    uint32_t left = width;
    for (; left >= 32; left -= 32, src += 32, dst += 64) {
        const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
        const __m256i lo = T.y0 & 1 ? _mm256_unpacklo_epi8(half, y) : _mm256_unpacklo_epi8(y, half);
        const __m256i hi = T.y0 & 1 ? _mm256_unpackhi_epi8(half, y) : _mm256_unpackhi_epi8(y, half);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst),
                            _mm256_permute2x128_si256(lo, hi, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 32),
                            _mm256_permute2x128_si256(lo, hi, 0x31));
    }
    repack_detail::KernelsAt(KernelLevel::Sse2).rows[size_t(Op)](src, dst, left);
}

// Where each byte of a 8-bit group of order T comes from, out of the 12 samples of a 10-bit
// group packed as fields: bytes 0-3 the low field of words 0-3, 4-7 the middle, 8-11 the high.
// By pair: left luma, Cb, right luma, Cr.
template <PackedOrder T> constexpr std::array<int8_t, 16> Packed10Shuffle() {
    constexpr int8_t kY0[3] = {4, 9, 3}, kU[3] = {0, 5, 10}, kY1[3] = {1, 6, 11}, kV[3] = {8, 2, 7};
    std::array<int8_t, 16> s{};
    for (size_t i = 0; i < 16; ++i)
        s[i] = -1;
    for (size_t k = 0; k < 3; ++k) {
        s[4 * k + T.y0] = kY0[k], s[4 * k + T.u] = kU[k];
        s[4 * k + T.y1] = kY1[k], s[4 * k + T.v] = kV[k];
    }
    return s;
}

// The 10-bit fields of two groups (one per 128-bit lane) at 8 bits, as 16 bytes a lane: the
// low, middle and high fields of the four words, then the high ones again.
inline __m256i Fields8(__m256i words) {
    const __m256i mask = _mm256_set1_epi32(0x3FF), two = _mm256_set1_epi32(2);
    const auto field = [&](int shift) {
        const __m256i v = _mm256_and_si256(_mm256_srli_epi32(words, shift), mask);
        return _mm256_srli_epi32(_mm256_add_epi32(v, two), 2);
    };
    const __m256i high = field(20);
    // The unsigned pack takes 256 (from 1022 and 1023) to 255.
    return _mm256_packus_epi16(_mm256_packs_epi32(field(0), field(10)),
                               _mm256_packs_epi32(high, high));
}

// Four 10-bit groups (24 pixels, 64 bytes) a step: two a register, reordered within each lane
// and the lanes' 12 bytes joined; every store is exact.
template <RawOp Op> void Packed10ToPackedAvx2(const uint8_t* src, uint8_t* dst, uint32_t width) {
    static constexpr std::array<int8_t, 16> kShuffle = Packed10Shuffle<OutputOrder(Op)>();
    const __m256i shuffle =
        _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&kShuffle)));
    const __m256i join = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7);
    const auto two = [&](const uint8_t* from, uint8_t* to) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
        const __m256i g =
            _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(Fields8(v), shuffle), join);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm256_castsi256_si128(g));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(to + 16), _mm256_extracti128_si256(g, 1));
    };
    uint32_t left = width;
    for (; left >= 24; left -= 24, src += 64, dst += 48) {
        two(src, dst);
        two(src + 32, dst + 24);
    }
    repack_detail::KernelsAt(KernelLevel::Sse2).rows[size_t(Op)](src, dst, left);
}

void Reduce16RowAvx2(const uint8_t* src, uint8_t* dst, uint32_t width) {
    Reduce16Avx2(src, dst, 2 * size_t{width});
}

// This level's row that decodes the source of Op into Op's output order; null where it has none.
template <RawOp Op> constexpr repack_detail::RowFn DecoderAvx2() {
    if constexpr (SourceFormat(Op).layout == Layout::Packed10) {
        return Packed10ToPackedAvx2<Op>;
    } else if constexpr (ReducesInPlace<Op>()) {
        return Reduce16RowAvx2;
    } else {
        return nullptr;
    }
}

template <RawOp Op> constexpr repack_detail::RowFn DecodedToRgbAvx2() {
    constexpr repack_detail::RowFn decode = DecoderAvx2<UnpackOpOf<Op>()>();
    if constexpr (decode != nullptr && Yuy2RowFits<Op>()) {
        return DecodedViaYuy2<Op, decode, RowAvx2<Yuy2RowOpOf<Op>()>>;
    } else {
        return nullptr;
    }
}

void SwapAvx2(uint8_t* dst, const uint8_t* src, size_t count) {
    const __m256i swap = _mm256_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14, 1,
                                          0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14);
    size_t i = 0;
    for (; i + 64 <= count; i += 64) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i + 32));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), _mm256_shuffle_epi8(a, swap));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i + 32), _mm256_shuffle_epi8(b, swap));
    }
    repack_detail::KernelsAt(KernelLevel::Sse2).swapBytePairs(dst + i, src + i, count - i);
}

// 32 pixels (96 bytes) from four 32-byte loads that stay inside them: each load supplies eight
// pixels, whose six dwords are spread over the two lanes and then to 4-byte pixels.
void Rgb24ToRgb32Avx2(const uint8_t* src, uint8_t* dst, uint32_t width) {
    const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1, 0,
                                            1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m256i low = _mm256_setr_epi32(0, 1, 2, 0, 3, 4, 5, 0);
    const __m256i high = _mm256_setr_epi32(2, 3, 4, 0, 5, 6, 7, 0);
    const auto eight = [&](const uint8_t* from, __m256i lanes, uint8_t* to) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to),
                            _mm256_shuffle_epi8(_mm256_permutevar8x32_epi32(v, lanes), spread));
    };
    uint32_t left = width;
    for (; left >= 32; left -= 32, src += 96, dst += 128) {
        eight(src, low, dst);
        eight(src + 24, low, dst + 32);
        eight(src + 48, low, dst + 64);
        eight(src + 64, high, dst + 96); // bytes 72-95 are this load's dwords 2-7
    }
    repack_detail::KernelsAt(KernelLevel::Ssse3)
        .rows[size_t(ChooseRawOp(KIND_RGB24, KIND_RGB32))](src, dst, left);
}

// As the SSE2 copy, 32-byte streaming stores once the destination is 32-byte aligned.
void CopyForDiskAvx2(uint8_t* dst, const uint8_t* src, size_t count) {
    const size_t head = (32 - (reinterpret_cast<uintptr_t>(dst) & 31)) & 31;
    std::memcpy(dst, src, head < count ? head : count);
    if (head >= count)
        return;
    size_t i = head;
    for (; i + 128 <= count; i += 128) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i + 32));
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i + 64));
        const __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i + 96));
        _mm256_stream_si256(reinterpret_cast<__m256i*>(dst + i), a);
        _mm256_stream_si256(reinterpret_cast<__m256i*>(dst + i + 32), b);
        _mm256_stream_si256(reinterpret_cast<__m256i*>(dst + i + 64), c);
        _mm256_stream_si256(reinterpret_cast<__m256i*>(dst + i + 96), d);
    }
    _mm_sfence();
    std::memcpy(dst + i, src + i, count - i);
}

struct Avx2Rows {
    template <RawOp Op> static constexpr repack_detail::RowFn Row() {
        if constexpr (FamilyOf(Op) == KernelFamily::Packed422ToRgb) {
            return RowAvx2<Op>;
        } else if constexpr (FamilyOf(Op) == KernelFamily::Packed422Reorder) {
            return ReorderAvx2<Op>;
        } else if constexpr (FamilyOf(Op) == KernelFamily::LumaToRgb) {
            return LumaToRgbAvx2<Op>;
        } else if constexpr (FamilyOf(Op) == KernelFamily::LumaToPacked) {
            return LumaToPackedAvx2<Op>;
        } else if constexpr (FamilyOf(Op) == KernelFamily::DecodedToPacked) {
            return DecoderAvx2<Op>();
        } else if constexpr (FamilyOf(Op) == KernelFamily::DecodedToRgb) {
            return DecodedToRgbAvx2<Op>();
        } else if constexpr (FamilyOf(Op) == KernelFamily::RgbWiden) {
            return Rgb24ToRgb32Avx2;
        } else if constexpr (FamilyOf(Op) == KernelFamily::RgbNarrow) {
            return Rgb32ToRgb24Avx2;
        } else {
            return nullptr;
        }
    }
    template <RawOp Op> static constexpr repack_detail::PlanarRowPairFn PlanarRowPair() {
        if constexpr (FamilyOf(Op) == KernelFamily::PlanarToRgb) {
            return PlanarPairToRgbAvx2<Op>;
        } else {
            return nullptr;
        }
    }
    template <RawOp Op> static constexpr repack_detail::PlanarRowFn PlanarRow() {
        if constexpr (FamilyOf(Op) == KernelFamily::PlanarToPacked &&
                      SourcePlanes(Op).sampleBytes > 1 && !HasPlanar8Twin<Op>()) {
            return nullptr;
        } else if constexpr (FamilyOf(Op) == KernelFamily::PlanarToPacked &&
                             SourcePlanes(Op).sampleBytes > 1) {
            return Planar16Via8<Op, Reduce16Avx2, PlanarToPackedAvx2<Planar8OpOf<Op>()>>;
        } else if constexpr (FamilyOf(Op) == KernelFamily::PlanarToRgb) {
            return PlanarToRgbAvx2<Op>;
        } else if constexpr (FamilyOf(Op) == KernelFamily::PlanarToPacked) {
            return PlanarToPackedAvx2<Op>;
        } else {
            return nullptr;
        }
    }
};

} // namespace

namespace repack_detail {
constinit const RepackKernels kAvx2Own = MakeKernels<Avx2Rows>(SwapAvx2, CopyForDiskAvx2);
} // namespace repack_detail

} // namespace kestro
