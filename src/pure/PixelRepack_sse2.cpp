#include "pure/PixelRepack.h"
#include "pure/PixelRepack_p010.h"
#include "pure/PixelRepack_decoded.h"
#include "pure/PixelRepack_sse2.h"
#include "pure/RawConversions.h"

#include <cstring>
#include <emmintrin.h>

// Everything here is in an anonymous namespace: an inline function shared with a file built
// without -msse2 could be merged with this copy by the linker and run SSE2 on a CPU without it.
namespace kestro {
namespace {

// Four BGR0 pixels to two 6-byte runs, one per 64-bit half.
inline __m128i Compact24(__m128i p) {
    const __m128i first = _mm_set1_epi64x(0x0000000000FFFFFF);
    const __m128i second = _mm_set1_epi64x(0x0000FFFFFF000000);
    return _mm_or_si128(_mm_and_si128(p, first), _mm_and_si128(_mm_srli_epi64(p, 8), second));
}

inline void Store6Pairs(uint8_t* dst, __m128i c) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), c);
    _mm_storeh_pi(reinterpret_cast<__m64*>(dst + 6), _mm_castsi128_ps(c));
}

// 24-bit runs are written 8 bytes at a time, 2 past their end, unless the group ends the row.
template <int Bpp, bool Exact> inline void Store8(uint8_t* dst, __m128i p03, __m128i p47) {
    if constexpr (Bpp == 4) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), p03);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16), p47);
    } else {
        Store6Pairs(dst, Compact24(p03));
        const __m128i c47 = Compact24(p47);
        if constexpr (!Exact) {
            Store6Pairs(dst + 12, c47);
        } else {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 12), c47);
            const __m128i last = _mm_srli_si128(c47, 8);
            const uint32_t head = static_cast<uint32_t>(_mm_cvtsi128_si32(last));
            const uint16_t tail = static_cast<uint16_t>(_mm_extract_epi16(last, 2));
            std::memcpy(dst + 18, &head, 4);
            std::memcpy(dst + 22, &tail, 2);
        }
    }
}

template <RawOp Op> void RowSse2(const uint8_t* src, uint8_t* dst, uint32_t width) {
    constexpr PackedOrder O = SourceOrder(Op);
    constexpr int Bpp = int(OutputPixelBytes(Op));
    const uint32_t pairs = width / 2;
    // A group reads the chroma of the pair after it, so it stops short of the row's last pair.
    const uint32_t groups = pairs ? (pairs - 1) / 4 : 0;
    for (uint32_t g = 0; g < groups; ++g, src += 16, dst += 8 * Bpp) {
        __m128i y, uv, y1, uvNext, p03, p47;
        Split<O>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src)), y, uv);
        Split<O>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 4)), y1, uvNext);
        Convert8<SourceMatrix(Op)>(y, uv, uvNext, p03, p47);
        Store8<Bpp, false>(dst, p03, p47);
    }
    const uint32_t done = groups * 8;
    // Widths that are multiples of 8 end on a whole group whose last pair repeats its own chroma.
    if (width - done == 8) {
        __m128i y, uv, p03, p47;
        Split<O>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src)), y, uv);
        Convert8<SourceMatrix(Op)>(y, uv, _mm_shuffle_epi32(uv, _MM_SHUFFLE(3, 3, 2, 1)), p03, p47);
        Store8<Bpp, true>(dst, p03, p47);
        return;
    }
    repack_detail::kScalarKernels.rows[size_t(Op)](src, dst, width - done);
}

// Sixteen bytes (eight pixels) a step from one packed order to another.
template <RawOp Op> void ReorderSse2(const uint8_t* src, uint8_t* dst, uint32_t width) {
    const uint32_t steps = width / 8;
    for (uint32_t i = 0; i < steps; ++i, src += 16, dst += 16) {
        __m128i y, uv;
        Split<SourceOrder(Op)>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src)), y, uv);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), Join<OutputOrder(Op)>(y, uv));
    }
    repack_detail::kScalarKernels.rows[size_t(Op)](src, dst, width - steps * 8);
}

// Sixteen luma bytes to their grey levels, (19077 (Y - 16) + 8192) >> 14 clamped: Cb = Cr = 0.
inline __m128i Grey16(__m128i v) {
    const __m128i zero = _mm_setzero_si128(), sixteen = _mm_set1_epi16(16);
    const __m128i kLuma = WordPair(19077, -18565); // (Y, 16) . k = 19077 (Y - 16) + 8192
    const auto eight = [&](__m128i w) {
        const __m128i a = _mm_madd_epi16(_mm_unpacklo_epi16(w, sixteen), kLuma);
        const __m128i b = _mm_madd_epi16(_mm_unpackhi_epi16(w, sixteen), kLuma);
        return _mm_packs_epi32(_mm_srai_epi32(a, 14), _mm_srai_epi32(b, 14));
    };
    return _mm_packus_epi16(eight(_mm_unpacklo_epi8(v, zero)), eight(_mm_unpackhi_epi8(v, zero)));
}

// Sixteen pixels a step; 24-bit runs are written 2 bytes past the step, so one pixel must follow.
template <RawOp Op> void LumaToRgbSse2(const uint8_t* src, uint8_t* dst, uint32_t width) {
    constexpr int Bpp = int(OutputPixelBytes(Op));
    const __m128i zero = _mm_setzero_si128();
    uint32_t left = width;
    for (; left >= (Bpp == 4 ? 16u : 17u); left -= 16, src += 16, dst += 16 * Bpp) {
        const __m128i g = Grey16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src)));
        const __m128i gg0 = _mm_unpacklo_epi8(g, g), gg1 = _mm_unpackhi_epi8(g, g);
        const __m128i g00 = _mm_unpacklo_epi8(g, zero), g01 = _mm_unpackhi_epi8(g, zero);
        const __m128i p[4] = {_mm_unpacklo_epi16(gg0, g00), _mm_unpackhi_epi16(gg0, g00),
                              _mm_unpacklo_epi16(gg1, g01), _mm_unpackhi_epi16(gg1, g01)};
        for (int k = 0; k < 4; ++k) {
            if constexpr (Bpp == 4) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16 * k), p[k]);
            } else {
                Store6Pairs(dst + 12 * k, Compact24(p[k]));
            }
        }
    }
    repack_detail::kScalarKernels.rows[size_t(Op)](src, dst, left);
}

// Sixteen luma bytes a step into packed groups with neutral chroma.
template <RawOp Op> void LumaToPackedSse2(const uint8_t* src, uint8_t* dst, uint32_t width) {
    constexpr PackedOrder T = OutputOrder(Op);
    const __m128i half = _mm_set1_epi8(char(128));
    uint32_t left = width;
    for (; left >= 16; left -= 16, src += 16, dst += 32) {
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
        const __m128i lo = T.y0 & 1 ? _mm_unpacklo_epi8(half, y) : _mm_unpacklo_epi8(y, half);
        const __m128i hi = T.y0 & 1 ? _mm_unpackhi_epi8(half, y) : _mm_unpackhi_epi8(y, half);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), lo);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16), hi);
    }
    repack_detail::kScalarKernels.rows[size_t(Op)](src, dst, left);
}

// The chroma of four pairs as words U, V of each pair in order, from a planar row's cb and cr at
// one pair; eight bytes of an interleaved row, four of each separate one.
template <PlaneLayout P> inline __m128i PlanarChroma4(const uint8_t* cb, const uint8_t* cr) {
    static_assert(P.sampleBytes == 1);
    const __m128i zero = _mm_setzero_si128();
    if constexpr (P.count == 2) {
        // cb and cr are one byte apart; the pair starts at the lower of the two.
        const uint8_t* pair = cb < cr ? cb : cr;
        __m128i uv =
            _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(pair)), zero);
        if constexpr (P.redFirst) {
            uv = _mm_shufflehi_epi16(_mm_shufflelo_epi16(uv, _MM_SHUFFLE(2, 3, 0, 1)),
                                     _MM_SHUFFLE(2, 3, 0, 1));
        }
        return uv;
    } else {
        uint32_t u, v;
        std::memcpy(&u, cb, 4);
        std::memcpy(&v, cr, 4);
        const __m128i uv = _mm_unpacklo_epi8(_mm_cvtsi32_si128(int(u)), _mm_cvtsi32_si128(int(v)));
        return _mm_unpacklo_epi8(uv, zero);
    }
}

// Eight pixels a step from a planar row, by the packed rows' rule; the step reads the chroma of
// the pair after it, so it stops short of the row's last pair.
template <RawOp Op>
void PlanarToRgbSse2(const repack_detail::PlaneRows& s, uint8_t* dst, uint32_t width) {
    constexpr PlaneLayout P = SourcePlanes(Op);
    constexpr size_t step = P.count == 2 ? 2 : 1;
    constexpr int Bpp = int(OutputPixelBytes(Op));
    const uint32_t pairs = width / 2;
    const uint32_t groups = pairs ? (pairs - 1) / 4 : 0;
    const __m128i zero = _mm_setzero_si128();
    for (uint32_t g = 0; g < groups; ++g, dst += 8 * Bpp) {
        const size_t c = size_t{g} * 4 * step;
        const __m128i y = _mm_unpacklo_epi8(
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s.luma + 8 * g)), zero);
        __m128i p03, p47;
        Convert8<SourceMatrix(Op)>(y, PlanarChroma4<P>(s.cb + c, s.cr + c),
                                   PlanarChroma4<P>(s.cb + c + step, s.cr + c + step), p03, p47);
        Store8<Bpp, false>(dst, p03, p47);
    }
    const size_t c = size_t{groups} * 4 * step;
    // A row that ends on a whole group: its last pair repeats its own chroma.
    if (width - groups * 8 == 8) {
        const __m128i y = _mm_unpacklo_epi8(
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s.luma + 8 * groups)), zero);
        const __m128i uv = PlanarChroma4<P>(s.cb + c, s.cr + c);
        __m128i p03, p47;
        Convert8<SourceMatrix(Op)>(y, uv, _mm_shuffle_epi32(uv, _MM_SHUFFLE(3, 3, 2, 1)), p03, p47);
        Store8<Bpp, true>(dst, p03, p47);
        return;
    }
    const repack_detail::PlaneRows rest{s.luma + 8 * groups, s.cb + c, s.cr + c};
    repack_detail::kScalarKernels.planarRows[size_t(Op)](rest, dst, width - groups * 8);
}

// Both rows of a 2x2 block's row pair, eight pixels of each a step: one chroma step serves both.
template <RawOp Op>
void PlanarPairToRgbSse2(const repack_detail::PlaneRows& s, const uint8_t* luma2, uint8_t* dst,
                         uint8_t* dst2, uint32_t width) {
    constexpr PlaneLayout P = SourcePlanes(Op);
    constexpr size_t step = P.count == 2 ? 2 : 1;
    constexpr int Bpp = int(OutputPixelBytes(Op));
    const uint32_t pairs = width / 2;
    const uint32_t groups = pairs ? (pairs - 1) / 4 : 0;
    const __m128i zero = _mm_setzero_si128();
    for (uint32_t g = 0; g < groups; ++g) {
        const size_t c = size_t{g} * 4 * step;
        const Chroma8 t =
            ChromaTerms8<SourceMatrix(Op)>(PlanarChroma4<P>(s.cb + c, s.cr + c),
                                           PlanarChroma4<P>(s.cb + c + step, s.cr + c + step));
        for (int row = 0; row < 2; ++row) {
            const __m128i y = _mm_unpacklo_epi8(
                _mm_loadl_epi64(reinterpret_cast<const __m128i*>((row ? luma2 : s.luma) + 8 * g)),
                zero);
            __m128i p03, p47;
            Pixels8(y, t, p03, p47);
            Store8<Bpp, false>((row ? dst2 : dst) + size_t{g} * 8 * Bpp, p03, p47);
        }
    }
    const size_t c = size_t{groups} * 4 * step, done = size_t{groups} * 8;
    PlanarToRgbSse2<Op>({s.luma + done, s.cb + c, s.cr + c}, dst + done * Bpp, width - done);
    PlanarToRgbSse2<Op>({luma2 + done, s.cb + c, s.cr + c}, dst2 + done * Bpp, width - done);
}

// Sixteen pixels a step from a planar row into packed groups: luma bytes interleaved with the
// chroma pairs, U before V unless the order puts V first.
template <RawOp Op>
void PlanarToPackedSse2(const repack_detail::PlaneRows& s, uint8_t* dst, uint32_t width) {
    constexpr PlaneLayout P = SourcePlanes(Op);
    static_assert(P.sampleBytes == 1);
    constexpr PackedOrder T = OutputOrder(Op);
    constexpr size_t step = P.count == 2 ? 2 : 1;
    const uint32_t steps = width / 16;
    for (uint32_t i = 0; i < steps; ++i, dst += 32) {
        const size_t c = size_t{i} * 8 * step;
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.luma + 16 * i));
        __m128i uv;
        if constexpr (P.count == 2 && P.redFirst == (T.u > T.v)) {
            uv = _mm_loadu_si128(
                reinterpret_cast<const __m128i*>(s.cb < s.cr ? s.cb + c : s.cr + c));
        } else if constexpr (P.count == 2) {
            const __m128i vu = _mm_loadu_si128(
                reinterpret_cast<const __m128i*>(s.cb < s.cr ? s.cb + c : s.cr + c));
            uv = _mm_or_si128(_mm_slli_epi16(vu, 8), _mm_srli_epi16(vu, 8));
        } else {
            const __m128i u = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s.cb + c));
            const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s.cr + c));
            uv = T.u < T.v ? _mm_unpacklo_epi8(u, v) : _mm_unpacklo_epi8(v, u);
        }
        const __m128i lo = T.y0 & 1 ? _mm_unpacklo_epi8(uv, y) : _mm_unpacklo_epi8(y, uv);
        const __m128i hi = T.y0 & 1 ? _mm_unpackhi_epi8(uv, y) : _mm_unpackhi_epi8(y, uv);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), lo);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16), hi);
    }
    const size_t c = size_t{steps} * 8 * step;
    const repack_detail::PlaneRows rest{s.luma + 16 * steps, s.cb + c, s.cr + c};
    repack_detail::kScalarKernels.planarRows[size_t(Op)](rest, dst, width - steps * 16);
}

// Four BGR0 pixels a load to 12 bytes; the 8-byte stores write 2 bytes past a step's 12, so one
// more pixel must follow.
void Rgb32ToRgb24Sse2(const uint8_t* src, uint8_t* dst, uint32_t width) {
    uint32_t left = width;
    for (; left >= 5; left -= 4, src += 16, dst += 12) {
        Store6Pairs(dst, Compact24(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src))));
    }
    repack_detail::kScalarKernels.rows[size_t(ChooseRawOp(KIND_RGB32, KIND_RGB24))](src, dst, left);
}

// The 10-bit field of every 32-bit lane at bit Shift, at 8 bits: (v + 2) >> 2, then 256 (from
// 1022 and 1023) taken down to 255 by subtracting its ninth bit.
template <int Shift> inline __m128i Field8(__m128i words) {
    const __m128i v = _mm_and_si128(_mm_srli_epi32(words, Shift), _mm_set1_epi32(0x3FF));
    const __m128i r = _mm_srli_epi32(_mm_add_epi32(v, _mm_set1_epi32(2)), 2);
    return _mm_sub_epi32(r, _mm_srli_epi32(r, 8));
}

// Four 32-bit lanes of four registers transposed: register k then holds lane k of each.
inline void Transpose4(__m128i& a, __m128i& b, __m128i& c, __m128i& d) {
    const __m128i ab0 = _mm_unpacklo_epi32(a, b), ab1 = _mm_unpackhi_epi32(a, b);
    const __m128i cd0 = _mm_unpacklo_epi32(c, d), cd1 = _mm_unpackhi_epi32(c, d);
    a = _mm_unpacklo_epi64(ab0, cd0), b = _mm_unpackhi_epi64(ab0, cd0);
    c = _mm_unpacklo_epi64(ab1, cd1), d = _mm_unpackhi_epi64(ab1, cd1);
}

// One 8-bit packed group of order T in every lane from its four samples.
template <PackedOrder T> inline __m128i Group(__m128i y0, __m128i u, __m128i y1, __m128i v) {
    return _mm_or_si128(_mm_or_si128(_mm_slli_epi32(y0, 8 * T.y0), _mm_slli_epi32(u, 8 * T.u)),
                        _mm_or_si128(_mm_slli_epi32(y1, 8 * T.y1), _mm_slli_epi32(v, 8 * T.v)));
}

// Four 10-bit groups (24 pixels, 64 bytes) a step, with one group in each 32-bit lane after the
// transpose; the three pairs of a group come out as one register's first 12 bytes.
template <RawOp Op> void Packed10ToPackedSse2(const uint8_t* src, uint8_t* dst, uint32_t width) {
    constexpr PackedOrder T = OutputOrder(Op);
    uint32_t left = width;
    for (; left >= 24; left -= 24, src += 64, dst += 48) {
        __m128i w0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
        __m128i w1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16));
        __m128i w2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 32));
        __m128i w3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 48));
        Transpose4(w0, w1, w2, w3); // w0: Cb0 Y0 Cr0, w1: Y1 Cb1 Y2, w2: Cr1 Y3 Cb2, w3: Y4 Cr2 Y5
        __m128i p0 = Group<T>(Field8<10>(w0), Field8<0>(w0), Field8<0>(w1), Field8<20>(w0));
        __m128i p1 = Group<T>(Field8<20>(w1), Field8<10>(w1), Field8<10>(w2), Field8<0>(w2));
        __m128i p2 = Group<T>(Field8<0>(w3), Field8<20>(w2), Field8<20>(w3), Field8<10>(w3));
        __m128i none = _mm_setzero_si128();
        Transpose4(p0, p1, p2, none);
        // 16-byte stores of 12 bytes, each one's last 4 rewritten by the next; the last exact.
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), p0);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 12), p1);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 24), p2);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 36), none);
        const uint32_t last = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(none, 8)));
        std::memcpy(dst + 44, &last, 4);
    }
    repack_detail::kScalarKernels.rows[size_t(Op)](src, dst, left);
}

// A row of 16-bit samples in the groups of the output's order: each sample taken to 8 bits.
void Reduce16RowSse2(const uint8_t* src, uint8_t* dst, uint32_t width) {
    Reduce16Sse2(src, dst, 2 * size_t{width});
}

// This level's row that decodes the source of Op into Op's output order; null where it has none.
template <RawOp Op> constexpr repack_detail::RowFn DecoderSse2() {
    if constexpr (SourceFormat(Op).layout == Layout::Packed10) {
        return Packed10ToPackedSse2<Op>;
    } else if constexpr (ReducesInPlace<Op>()) {
        return Reduce16RowSse2;
    } else {
        return nullptr;
    }
}

template <RawOp Op> constexpr repack_detail::RowFn DecodedToRgbSse2() {
    constexpr repack_detail::RowFn decode = DecoderSse2<UnpackOpOf<Op>()>();
    if constexpr (decode != nullptr && Yuy2RowFits<Op>()) {
        return DecodedViaYuy2<Op, decode, RowSse2<Yuy2RowOpOf<Op>()>>;
    } else {
        return nullptr;
    }
}

void SwapSse2(uint8_t* dst, const uint8_t* src, size_t count) {
    size_t i = 0;
    for (; i + 64 <= count; i += 64) {
        __m128i v[4];
        for (int k = 0; k < 4; ++k) {
            v[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 16 * k));
        }
        for (int k = 0; k < 4; ++k) {
            v[k] = _mm_or_si128(_mm_slli_epi16(v[k], 8), _mm_srli_epi16(v[k], 8));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i + 16 * k), v[k]);
        }
    }
    for (; i + 16 <= count; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i),
                         _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8)));
    }
    repack_detail::kScalarKernels.swapBytePairs(dst + i, src + i, count - i);
}

// The low 12 bytes of v, four 3-byte pixels, spread to four 4-byte ones with a zero fourth byte.
inline __m128i Spread24(__m128i v) {
    const __m128i t = _mm_unpacklo_epi64(v, _mm_srli_si128(v, 6));
    const __m128i first = _mm_set1_epi64x(0x0000000000FFFFFF);
    const __m128i second = _mm_set1_epi64x(0x00FFFFFF00000000);
    return _mm_or_si128(_mm_and_si128(t, first), _mm_and_si128(_mm_slli_epi64(t, 8), second));
}

void Rgb24ToRgb32Sse2(const uint8_t* src, uint8_t* dst, uint32_t width) {
    uint32_t left = width;
    // Each 16-byte load takes four pixels and the next four bytes, which must still be in the row.
    for (; left >= 18; left -= 16, src += 48, dst += 64) {
        for (int k = 0; k < 4; ++k) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 12 * k));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16 * k), Spread24(v));
        }
    }
    for (; left >= 6; left -= 4, src += 12, dst += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), Spread24(v));
    }
    repack_detail::kScalarKernels.rows[size_t(ChooseRawOp(KIND_RGB24, KIND_RGB32))](src, dst, left);
}

struct Sse2Rows {
    template <RawOp Op> static constexpr repack_detail::RowFn Row() {
        if constexpr (FamilyOf(Op) == KernelFamily::Packed422ToRgb) {
            return RowSse2<Op>;
        } else if constexpr (FamilyOf(Op) == KernelFamily::Packed422Reorder) {
            return ReorderSse2<Op>;
        } else if constexpr (FamilyOf(Op) == KernelFamily::LumaToRgb) {
            return LumaToRgbSse2<Op>;
        } else if constexpr (FamilyOf(Op) == KernelFamily::LumaToPacked) {
            return LumaToPackedSse2<Op>;
        } else if constexpr (FamilyOf(Op) == KernelFamily::DecodedToPacked) {
            return DecoderSse2<Op>();
        } else if constexpr (FamilyOf(Op) == KernelFamily::DecodedToRgb) {
            return DecodedToRgbSse2<Op>();
        } else if constexpr (FamilyOf(Op) == KernelFamily::RgbWiden) {
            return Rgb24ToRgb32Sse2;
        } else if constexpr (FamilyOf(Op) == KernelFamily::RgbNarrow) {
            return Rgb32ToRgb24Sse2;
        } else {
            return nullptr;
        }
    }
    template <RawOp Op> static constexpr repack_detail::PlanarRowPairFn PlanarRowPair() {
        if constexpr (FamilyOf(Op) == KernelFamily::PlanarToRgb &&
                      SourcePlanes(Op).sampleBytes > 1 && !PairsAsPlanar8Twin<Op>()) {
            return nullptr;
        } else if constexpr (FamilyOf(Op) == KernelFamily::PlanarToRgb &&
                             SourcePlanes(Op).sampleBytes > 1) {
            return Planar16PairVia8<Op, Reduce16Sse2, PlanarPairToRgbSse2<Planar8OpOf<Op>()>>;
        } else if constexpr (FamilyOf(Op) == KernelFamily::PlanarToRgb) {
            return PlanarPairToRgbSse2<Op>;
        } else {
            return nullptr;
        }
    }
    template <RawOp Op> static constexpr repack_detail::PlanarRowFn PlanarRow() {
        if constexpr (FromPlanes(Op) && SourcePlanes(Op).sampleBytes > 1 && !HasPlanar8Twin<Op>()) {
            return nullptr;
        } else if constexpr (FamilyOf(Op) == KernelFamily::PlanarToRgb &&
                             SourcePlanes(Op).sampleBytes > 1) {
            return Planar16Via8<Op, Reduce16Sse2, PlanarToRgbSse2<Planar8OpOf<Op>()>>;
        } else if constexpr (FamilyOf(Op) == KernelFamily::PlanarToPacked &&
                             SourcePlanes(Op).sampleBytes > 1) {
            return Planar16Via8<Op, Reduce16Sse2, PlanarToPackedSse2<Planar8OpOf<Op>()>>;
        } else if constexpr (FamilyOf(Op) == KernelFamily::PlanarToRgb) {
            return PlanarToRgbSse2<Op>;
        } else if constexpr (FamilyOf(Op) == KernelFamily::PlanarToPacked) {
            return PlanarToPackedSse2<Op>;
        } else {
            return nullptr;
        }
    }
};

} // namespace

namespace repack_detail {
constinit const RepackKernels kSse2Own = MakeKernels<Sse2Rows>(SwapSse2, CopyForDiskSse2);
} // namespace repack_detail

} // namespace kestro
