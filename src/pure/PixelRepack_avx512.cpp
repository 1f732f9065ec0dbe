#include "pure/PixelRepack.h"

// GCC 12's AVX-512 header makes its "undefined" vectors by self-initialisation, which warns
// wherever such an intrinsic is inlined; the warning points into the header, where it is ignored.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#ifndef __clang__
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#pragma GCC diagnostic pop

#include "pure/PixelRepack_p010.h"
#include "pure/RawConversions.h"

// Only reached after the CPUID and XGETBV checks for AVX-512 BW and VL (which imply AVX2); kept
// in an anonymous namespace so no inline function built with these flags can stand in for a copy
// used by the other levels. Row ends are done with masked loads and stores, which neither read
// nor write a byte past the row, so no lower level is called for them.
namespace kestro {
namespace {

inline __m512i WordPair(int16_t lo, int16_t hi) {
    return _mm512_set1_epi32(static_cast<int32_t>(
        static_cast<uint32_t>(static_cast<uint16_t>(hi)) << 16 | static_cast<uint16_t>(lo)));
}

// The low n bits set, n up to 64.
inline __mmask64 LowBytes(uint32_t n) {
    return n >= 64 ? ~__mmask64{0} : (__mmask64{1} << n) - 1;
}

// Sixteen pairs: `packed` holds them, `next` each pair's successor. A 32-bit lane holds one pair,
// so luma and chroma are taken where the source puts them; the channels of the left and the
// right pixels come out as 32-bit sums, whose value is the sum shifted right by 14.
struct Sums {
    __m512i bLeft, gLeft, rLeft, bRight, gRight, rRight;
};

// Chroma words of packed groups in the order O, U before V in every pair.
template <PackedOrder O> inline __m512i ChromaWords(__m512i packed) {
    const __m512i uv = O.y0 & 1 ? _mm512_and_si512(packed, _mm512_set1_epi16(0x00FF))
                                : _mm512_srli_epi16(packed, 8);
    if constexpr (O.u > O.v) {
        return _mm512_shufflehi_epi16(_mm512_shufflelo_epi16(uv, _MM_SHUFFLE(2, 3, 0, 1)),
                                      _MM_SHUFFLE(2, 3, 0, 1));
    } else {
        return uv;
    }
}

template <PackedOrder O, Matrix M> inline Sums Convert32(__m512i packed, __m512i next) {
    constexpr ChromaFactors f = FactorsOf(M);
    static_assert(IsSplittableOrder(O));
    // Words: luma Y0, Y1 and chroma U, V of every pair; uvNext is the following pair's chroma.
    const __m512i y = O.y0 & 1 ? _mm512_srli_epi16(packed, 8)
                               : _mm512_and_si512(packed, _mm512_set1_epi16(0x00FF));
    const __m512i uv = ChromaWords<O>(packed);
    const __m512i uvNext = ChromaWords<O>(next);
    const __m512i bias = _mm512_set1_epi16(-256);
    const __m512i cLeft = _mm512_add_epi16(_mm512_add_epi16(uv, uv), bias);
    const __m512i cRight = _mm512_add_epi16(_mm512_add_epi16(uv, uvNext), bias);
    // 19077 * (Y - 16) + 8192 for the left (Y0) and the right (Y1) pixel of each pair.
    const __m512i k = _mm512_set1_epi32(8192 - 19077 * 16);
    const __m512i lLeft = _mm512_add_epi32(_mm512_madd_epi16(y, WordPair(19077, 0)), k);
    const __m512i lRight = _mm512_add_epi32(_mm512_madd_epi16(y, WordPair(0, 19077)), k);
    const __m512i kBlue = WordPair(f.blueCb, 0);
    const __m512i kGreen = WordPair(int16_t(-f.greenCb), int16_t(-f.greenCr));
    const __m512i kRed = WordPair(0, f.redCr);
    return {_mm512_add_epi32(lLeft, _mm512_madd_epi16(cLeft, kBlue)),
            _mm512_add_epi32(lLeft, _mm512_madd_epi16(cLeft, kGreen)),
            _mm512_add_epi32(lLeft, _mm512_madd_epi16(cLeft, kRed)),
            _mm512_add_epi32(lRight, _mm512_madd_epi16(cRight, kBlue)),
            _mm512_add_epi32(lRight, _mm512_madd_epi16(cRight, kGreen)),
            _mm512_add_epi32(lRight, _mm512_madd_epi16(cRight, kRed))};
}

// Two channel values in one 32-bit lane: lo's in the low word, hi's in the high word (4x fits:
// |sum| < 2^29), for an unsigned pack to turn into two adjacent bytes.
inline __m512i Two(__m512i lo, __m512i hi) {
    return _mm512_mask_blend_epi16(0xAAAAAAAA, _mm512_srai_epi32(lo, 14), _mm512_slli_epi32(hi, 2));
}

// A pack of two registers leaves, in 128-bit lane i, word j of the first and word 4 + j of the
// second for pair 4i + j. The word numbers of a permutation that puts each pair's words in order:
// part p of a pair comes from word base[p] + 8i + j, the second source's words numbered from 32.
struct WordOrder {
    uint16_t words[64];
};

template <int Parts> constexpr WordOrder OrderOf(const int (&base)[Parts]) {
    WordOrder order{};
    for (int m = 0; m < 16 * Parts; ++m) {
        const int pair = m / Parts;
        order.words[m] = static_cast<uint16_t>(base[m % Parts] + 8 * (pair / 4) + pair % 4);
    }
    return order;
}

// 32-bit: a pixel is the words (blue, green) and (red, 0); the left pixels' come from the first
// source, the right pixels' from the second.
constexpr WordOrder kOrder32 = OrderOf<4>({0, 4, 32, 36});
// 24-bit: a pair is the words (blue, green) of its left pixel, (red, blue) across the two pixels
// and (green, red) of its right pixel; the first two from the first source, the third from the
// second.
constexpr WordOrder kOrder24 = OrderOf<3>({0, 4, 32});

// Thirty-two pixels as blue, green, red, 0: 128 bytes in two registers.
inline void Finish32(const Sums& s, __m512i& out0, __m512i& out1) {
    // Red with its sign word, which the unsigned pack turns into the zero fourth byte.
    const __m512i left = _mm512_packus_epi16(Two(s.bLeft, s.gLeft), _mm512_srai_epi32(s.rLeft, 14));
    const __m512i right =
        _mm512_packus_epi16(Two(s.bRight, s.gRight), _mm512_srai_epi32(s.rRight, 14));
    out0 = _mm512_permutex2var_epi16(left, _mm512_loadu_si512(kOrder32.words), right);
    out1 = _mm512_permutex2var_epi16(left, _mm512_loadu_si512(kOrder32.words + 32), right);
}

// Thirty-two pixels as blue, green, red: 96 bytes, the first 64 in out0, the rest in out1.
inline void Finish24(const Sums& s, __m512i& out0, __m256i& out1) {
    const __m512i across = _mm512_packus_epi16(Two(s.bLeft, s.gLeft), Two(s.rLeft, s.bRight));
    const __m512i rightHalf = Two(s.gRight, s.rRight);
    const __m512i last = _mm512_packus_epi16(rightHalf, rightHalf);
    out0 = _mm512_permutex2var_epi16(across, _mm512_loadu_si512(kOrder24.words), last);
    out1 = _mm512_castsi512_si256(
        _mm512_permutex2var_epi16(across, _mm512_loadu_si512(kOrder24.words + 32), last));
}

// Stores one group: `bytes` of its output (all of it when 32 * Bpp), nothing past them.
template <int Bpp> inline void StoreGroup(uint8_t* dst, const Sums& sums, uint32_t bytes) {
    const __mmask64 first = LowBytes(bytes), second = LowBytes(bytes > 64 ? bytes - 64 : 0);
    if constexpr (Bpp == 4) {
        __m512i p0, p1;
        Finish32(sums, p0, p1);
        if (bytes == 128) {
            _mm512_storeu_si512(dst, p0);
            _mm512_storeu_si512(dst + 64, p1);
        } else {
            _mm512_mask_storeu_epi8(dst, first, p0);
            _mm512_mask_storeu_epi8(dst + 64, second, p1);
        }
    } else {
        __m512i p0;
        __m256i p1;
        Finish24(sums, p0, p1);
        if (bytes == 96) {
            _mm512_storeu_si512(dst, p0);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 64), p1);
        } else {
            _mm512_mask_storeu_epi8(dst, first, p0);
            _mm256_mask_storeu_epi8(dst + 64, static_cast<__mmask32>(second), p1);
        }
    }
}

template <RawOp Op> void RowAvx512(const uint8_t* src, uint8_t* dst, uint32_t width) {
    constexpr PackedOrder O = SourceOrder(Op);
    constexpr int Bpp = int(OutputPixelBytes(Op));
    const uint32_t pairs = width / 2;
    uint32_t k = 0;
    // Whole groups of sixteen pairs while the pair after them is still in the row.
    for (; k + 16 < pairs; k += 16, src += 64, dst += 32 * Bpp) {
        StoreGroup<Bpp>(
            dst,
            Convert32<O, SourceMatrix(Op)>(_mm512_loadu_si512(src), _mm512_loadu_si512(src + 4)),
            32 * Bpp);
    }
    // The last one to sixteen pairs; the last pair's right pixel takes its own chroma.
    const uint32_t n = pairs - k;
    if (n > 0) {
        const __m512i packed = _mm512_maskz_loadu_epi8(LowBytes(4 * n), src);
        const __m512i next =
            _mm512_mask_blend_epi32(static_cast<__mmask16>((1u << (n - 1)) - 1), packed,
                                    _mm512_maskz_loadu_epi8(LowBytes(4 * (n - 1)), src + 4));
        StoreGroup<Bpp>(dst, Convert32<O, SourceMatrix(Op)>(packed, next), 2 * Bpp * n);
    }
    // An odd width's lone pixel with the last pair before it, whose pixels come out the same.
    if (width & 1) {
        const repack_detail::RowFn lone = repack_detail::kScalarKernels.rows[size_t(Op)];
        const uint32_t back = pairs ? 2 : 0;
        lone(src + 4 * n - 2 * back, dst + Bpp * (2 * n - back), 1 + back);
    }
}

// Thirty-two samples of a plane's row as words at 8 bits.
template <PlaneLayout P> inline __m512i Samples32(const uint8_t* p) {
    if constexpr (P.sampleBytes == 1) {
        return _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
    } else {
        static_assert(P.sampleBytes == 2);
        return To8BitWords(_mm512_loadu_si512(p));
    }
}

// Sixteen pairs of a planar row's chroma as words U, V, one pair a 32-bit lane.
template <PlaneLayout P> inline __m512i PlanarChroma16(const uint8_t* cb, const uint8_t* cr) {
    if constexpr (P.count == 2) {
        const uint8_t* pair = cb < cr ? cb : cr;
        const __m512i uv = Samples32<P>(pair);
        if constexpr (P.redFirst) {
            return _mm512_shufflehi_epi16(_mm512_shufflelo_epi16(uv, _MM_SHUFFLE(2, 3, 0, 1)),
                                          _MM_SHUFFLE(2, 3, 0, 1));
        } else {
            return uv;
        }
    } else {
        static_assert(P.sampleBytes == 1);
        const __m128i u = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cb));
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cr));
        return _mm512_cvtepu8_epi16(
            _mm256_set_m128i(_mm_unpackhi_epi8(u, v), _mm_unpacklo_epi8(u, v)));
    }
}

// The chroma terms of sixteen pairs, with the luma term's constant, left and right pixels.
struct Chroma32 {
    __m512i blue[2], green[2], red[2];
};
template <Matrix M> inline Chroma32 ChromaTerms32(__m512i uv, __m512i uvNext) {
    constexpr ChromaFactors f = FactorsOf(M);
    const __m512i bias = _mm512_set1_epi16(-256);
    const __m512i c[2] = {_mm512_add_epi16(_mm512_add_epi16(uv, uv), bias),
                          _mm512_add_epi16(_mm512_add_epi16(uv, uvNext), bias)};
    const __m512i k = _mm512_set1_epi32(8192 - 19077 * 16);
    Chroma32 t;
    for (int side = 0; side < 2; ++side) {
        t.blue[side] = _mm512_add_epi32(_mm512_madd_epi16(c[side], WordPair(f.blueCb, 0)), k);
        t.green[side] = _mm512_add_epi32(
            _mm512_madd_epi16(c[side], WordPair(int16_t(-f.greenCb), int16_t(-f.greenCr))), k);
        t.red[side] = _mm512_add_epi32(_mm512_madd_epi16(c[side], WordPair(0, f.redCr)), k);
    }
    return t;
}

// Sixteen pairs' sums from their luma words (Y0, Y1 a 32-bit lane) and chroma terms.
inline Sums PairSums(__m512i y, const Chroma32& t) {
    const __m512i left = _mm512_madd_epi16(y, WordPair(19077, 0));
    const __m512i right = _mm512_madd_epi16(y, WordPair(0, 19077));
    return {_mm512_add_epi32(left, t.blue[0]),   _mm512_add_epi32(left, t.green[0]),
            _mm512_add_epi32(left, t.red[0]),    _mm512_add_epi32(right, t.blue[1]),
            _mm512_add_epi32(right, t.green[1]), _mm512_add_epi32(right, t.red[1])};
}

// Both rows of a 2x2 block's row pair, thirty-two pixels of each a step while the pair after
// the step is in the row: one chroma step serves both. AVX2's rows finish the two rows.
template <RawOp Op>
void PlanarPairToRgbAvx512(const repack_detail::PlaneRows& s, const uint8_t* luma2, uint8_t* dst,
                           uint8_t* dst2, uint32_t width) {
    constexpr PlaneLayout P = SourcePlanes(Op);
    constexpr size_t step = (P.count == 2 ? 2 : 1) * P.sampleBytes; // bytes of a chroma pair
    constexpr int Bpp = int(OutputPixelBytes(Op));
    const uint32_t pairs = width / 2;
    uint32_t k = 0;
    for (; k + 16 < pairs; k += 16) {
        const size_t c = size_t{k} * step;
        const Chroma32 t =
            ChromaTerms32<SourceMatrix(Op)>(PlanarChroma16<P>(s.cb + c, s.cr + c),
                                            PlanarChroma16<P>(s.cb + c + step, s.cr + c + step));
        for (int row = 0; row < 2; ++row) {
            const __m512i y = Samples32<P>((row ? luma2 : s.luma) + 2 * P.sampleBytes * size_t{k});
            StoreGroup<Bpp>((row ? dst2 : dst) + 2 * size_t{k} * Bpp, PairSums(y, t), 32 * Bpp);
        }
    }
    const size_t c = size_t{k} * step, done = 2 * size_t{k}, luma = done * P.sampleBytes;
    const repack_detail::PlanarRowFn rest =
        repack_detail::KernelsAt(KernelLevel::Avx2).planarRows[size_t(Op)];
    rest({s.luma + luma, s.cb + c, s.cr + c}, dst + done * Bpp, uint32_t(width - done));
    rest({luma2 + luma, s.cb + c, s.cr + c}, dst2 + done * Bpp, uint32_t(width - done));
}

// Masked steps of up to 64 bytes, whole pairs only: an odd last byte stays untouched.
inline void SwapMasked(uint8_t* dst, const uint8_t* src, size_t count, __m512i swap) {
    for (size_t done = 0; done + 1 < count;) {
        const size_t left = (count - done) & ~size_t{1};
        const __mmask64 mask = LowBytes(left > 64 ? 64 : static_cast<uint32_t>(left));
        const __m512i v = _mm512_maskz_loadu_epi8(mask, src + done);
        _mm512_mask_storeu_epi8(dst + done, mask, _mm512_shuffle_epi8(v, swap));
        done += left > 64 ? 64 : left;
    }
}

void SwapAvx512(uint8_t* dst, const uint8_t* src, size_t count) {
    const __m512i swap =
        _mm512_broadcast_i32x4(_mm_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14));
    size_t i = 0;
    for (; i + 128 <= count; i += 128) {
        const __m512i a = _mm512_loadu_si512(src + i);
        const __m512i b = _mm512_loadu_si512(src + i + 64);
        _mm512_storeu_si512(dst + i, _mm512_shuffle_epi8(a, swap));
        _mm512_storeu_si512(dst + i + 64, _mm512_shuffle_epi8(b, swap));
    }
    SwapMasked(dst + i, src + i, count - i, swap);
}

// Sixteen pixels a step from 48 bytes, whose twelve dwords are spread three to a 128-bit lane and
// then to 4-byte pixels; the last step loads and stores only what the row has.
void Rgb24ToRgb32Avx512(const uint8_t* src, uint8_t* dst, uint32_t width) {
    const __m512i lanes = _mm512_setr_epi32(0, 1, 2, 0, 3, 4, 5, 0, 6, 7, 8, 0, 9, 10, 11, 0);
    const __m512i spread =
        _mm512_broadcast_i32x4(_mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1));
    const auto sixteen = [&](__m512i v) {
        return _mm512_shuffle_epi8(_mm512_permutexvar_epi32(lanes, v), spread);
    };
    uint32_t left = width;
    for (; left >= 32; left -= 32, src += 96, dst += 128) {
        const __m512i a = _mm512_loadu_si512(src);
        const __m512i b =
            _mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 64)));
        _mm512_storeu_si512(dst, sixteen(a));
        _mm512_storeu_si512(
            dst + 64, _mm512_shuffle_epi8(
                          _mm512_permutex2var_epi32(a,
                                                    _mm512_setr_epi32(12, 13, 14, 0, 15, 16, 17, 0,
                                                                      18, 19, 20, 0, 21, 22, 23, 0),
                                                    b),
                          spread));
    }
    for (; left > 0;) {
        const uint32_t step = left > 16 ? 16 : left;
        const __m512i v = _mm512_maskz_loadu_epi8(LowBytes(3 * step), src);
        _mm512_mask_storeu_epi8(dst, LowBytes(4 * step), sixteen(v));
        left -= step;
        src += 3 * step;
        dst += 4 * step;
    }
}

// Sixteen grey pixels a step into RGB32, each computed in a 32-bit lane of its own: the sum of
// the AVX2 row (19077 (Y - 16) + 8192, shifted and saturated), whose low byte a shuffle copies
// into blue, green and red. The row's end goes by masked load and store.
template <RawOp Op> void LumaToRgb32Avx512(const uint8_t* src, uint8_t* dst, uint32_t width) {
    static_assert(OutputPixelBytes(Op) == 4);
    const __m512i withSixteen = _mm512_set1_epi32(16 << 16);
    const __m512i kLuma = WordPair(19077, -18565); // (Y, 16) . k = 19077 (Y - 16) + 8192
    const __m512i spread = _mm512_broadcast_i32x4(
        _mm_setr_epi8(0, 0, 0, -1, 4, 4, 4, -1, 8, 8, 8, -1, 12, 12, 12, -1));
    const auto sixteen = [&](__m128i y) {
        const __m512i sum =
            _mm512_madd_epi16(_mm512_or_si512(_mm512_cvtepu8_epi32(y), withSixteen), kLuma);
        const __m512i grey =
            _mm512_min_epi32(_mm512_max_epi32(_mm512_srai_epi32(sum, 14), _mm512_setzero_si512()),
                             _mm512_set1_epi32(255));
        return _mm512_shuffle_epi8(grey, spread);
    };
    uint32_t left = width;
    for (; left >= 16; left -= 16, src += 16, dst += 64)
        _mm512_storeu_si512(dst, sixteen(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src))));
    if (left)
        _mm512_mask_storeu_epi8(dst, LowBytes(4 * left),
                                sixteen(_mm_maskz_loadu_epi8(__mmask16((1u << left) - 1), src)));
}

// Sixty-four pixels a step from a planar row of bytes into packed groups. The chroma pairs are
// built in pixel order, so each lane's unpacks meet the luma bytes of the same pixels; the lanes
// of the two unpacks are then put in order. AVX2's row finishes the row.
template <RawOp Op>
void PlanarToPackedAvx512(const repack_detail::PlaneRows& s, uint8_t* dst, uint32_t width) {
    constexpr PlaneLayout P = SourcePlanes(Op);
    static_assert(P.sampleBytes == 1);
    constexpr PackedOrder T = OutputOrder(Op);
    static_assert(IsSplittableOrder(T));
    constexpr size_t step = P.count == 2 ? 2 : 1;
    const __m512i firstHalf = _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11);
    const __m512i secondHalf = _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15);
    const uint32_t steps = width / 64;
    for (uint32_t i = 0; i < steps; ++i, dst += 128) {
        const size_t c = size_t{i} * 32 * step;
        const __m512i y = _mm512_loadu_si512(s.luma + 64 * size_t{i});
        __m512i uv; // the output's first chroma sample in the low byte of every pair
        if constexpr (P.count == 2) {
            uv = _mm512_loadu_si512(s.cb < s.cr ? s.cb + c : s.cr + c);
            if constexpr (P.redFirst != (T.u > T.v)) {
                uv = _mm512_or_si512(_mm512_slli_epi16(uv, 8), _mm512_srli_epi16(uv, 8));
            }
        } else {
            const uint8_t* a = T.u < T.v ? s.cb : s.cr;
            const uint8_t* b = T.u < T.v ? s.cr : s.cb;
            uv = _mm512_or_si512(
                _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + c))),
                _mm512_slli_epi16(_mm512_cvtepu8_epi16(
                                      _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + c))),
                                  8));
        }
        const __m512i lo = T.y0 & 1 ? _mm512_unpacklo_epi8(uv, y) : _mm512_unpacklo_epi8(y, uv);
        const __m512i hi = T.y0 & 1 ? _mm512_unpackhi_epi8(uv, y) : _mm512_unpackhi_epi8(y, uv);
        _mm512_storeu_si512(dst, _mm512_permutex2var_epi64(lo, firstHalf, hi));
        _mm512_storeu_si512(dst + 64, _mm512_permutex2var_epi64(lo, secondHalf, hi));
    }
    const size_t c = size_t{steps} * 32 * step;
    const repack_detail::PlaneRows rest{s.luma + 64 * size_t{steps}, s.cb + c, s.cr + c};
    repack_detail::KernelsAt(KernelLevel::Avx2)
        .planarRows[size_t(Op)](rest, dst, width - steps * 64);
}

// Sixty-four BGR0 pixels a step into three whole stores: each lane of a load drops its fourth
// bytes, and two-source permutes close up the twelve bytes of every lane.
void Rgb32ToRgb24Avx512(const uint8_t* src, uint8_t* dst, uint32_t width) {
    const __m512i squeeze = _mm512_broadcast_i32x4(
        _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1));
    // The pixel-holding dwords (0-2, 4-6, 8-10, 12-14 of each load) of two loads x (0-15) and y
    // (16-31), in order: each store takes the next sixteen of the four loads' forty-eight.
    const __m512i first = _mm512_setr_epi32(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 16, 17, 18, 20);
    const __m512i middle =
        _mm512_setr_epi32(5, 6, 8, 9, 10, 12, 13, 14, 16, 17, 18, 20, 21, 22, 24, 25);
    const __m512i last =
        _mm512_setr_epi32(10, 12, 13, 14, 16, 17, 18, 20, 21, 22, 24, 25, 26, 28, 29, 30);
    const auto squeezed = [&](const uint8_t* p) {
        return _mm512_shuffle_epi8(_mm512_loadu_si512(p), squeeze);
    };
    uint32_t left = width;
    for (; left >= 64; left -= 64, src += 256, dst += 192) {
        const __m512i a = squeezed(src), b = squeezed(src + 64);
        const __m512i c = squeezed(src + 128), d = squeezed(src + 192);
        _mm512_storeu_si512(dst, _mm512_permutex2var_epi32(a, first, b));
        _mm512_storeu_si512(dst + 64, _mm512_permutex2var_epi32(b, middle, c));
        _mm512_storeu_si512(dst + 128, _mm512_permutex2var_epi32(c, last, d));
    }
    for (; left > 0;) {
        const uint32_t step = left > 16 ? 16 : left;
        const __m512i v =
            _mm512_shuffle_epi8(_mm512_maskz_loadu_epi8(LowBytes(4 * step), src), squeeze);
        _mm512_mask_storeu_epi8(dst, LowBytes(3 * step), _mm512_permutexvar_epi32(first, v));
        left -= step;
        src += 4 * step;
        dst += 3 * step;
    }
}

// What is bound by memory rather than by the width of a register (byte reorders, grey levels into
// YUY2, single planar rows, the decoded kinds' rows, streaming copies) runs AVX2's rows; the
// 4:2:0 kinds into RGB go by the row pairs.
struct Avx512Rows {
    template <RawOp Op> static constexpr repack_detail::RowFn Row() {
        if constexpr (FamilyOf(Op) == KernelFamily::Packed422ToRgb) {
            return RowAvx512<Op>;
        } else if constexpr (FamilyOf(Op) == KernelFamily::LumaToRgb && OutputPixelBytes(Op) == 4) {
            return LumaToRgb32Avx512<Op>;
        } else if constexpr (FamilyOf(Op) == KernelFamily::RgbWiden) {
            return Rgb24ToRgb32Avx512;
        } else if constexpr (FamilyOf(Op) == KernelFamily::RgbNarrow) {
            return Rgb32ToRgb24Avx512;
        } else {
            return nullptr;
        }
    }
    template <RawOp Op> static constexpr repack_detail::PlanarRowPairFn PlanarRowPair() {
        if constexpr (FamilyOf(Op) == KernelFamily::PlanarToRgb) {
            return PlanarPairToRgbAvx512<Op>;
        } else {
            return nullptr;
        }
    }
    template <RawOp Op> static constexpr repack_detail::PlanarRowFn PlanarRow() {
        if constexpr (FamilyOf(Op) == KernelFamily::PlanarToPacked &&
                      SourcePlanes(Op).sampleBytes == 1) {
            return PlanarToPackedAvx512<Op>;
        } else {
            return nullptr;
        }
    }
};

} // namespace

namespace repack_detail {
constinit const RepackKernels kAvx512Own = MakeKernels<Avx512Rows>(SwapAvx512, nullptr);
} // namespace repack_detail

} // namespace kestro
