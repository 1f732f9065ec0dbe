#include "pure/PixelRepack.h"
#include "pure/PixelRepack_sse2.h"
#include "pure/RawConversions.h"

#include <tmmintrin.h>

// Only reached after the CPUID check for SSSE3. The byte shuffle packs 24-bit pixels in one step;
// 32-bit output and the byte-pair swap gain nothing from it and stay with the SSE2 rows.
namespace kestro {
namespace {

template <RawOp Op> void Rgb24Ssse3(const uint8_t* src, uint8_t* dst, uint32_t width) {
    constexpr PackedOrder O = SourceOrder(Op);
    const uint32_t pairs = width / 2;
    // A group reads the chroma of the pair after it, so it stops short of the row's last pair.
    const uint32_t groups = pairs ? (pairs - 1) / 4 : 0;
    const __m128i squeeze24 = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    for (uint32_t g = 0; g < groups; ++g, src += 16, dst += 24) {
        __m128i y, uv, y1, uvNext, p03, p47;
        Split<O>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src)), y, uv);
        Split<O>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 4)), y1, uvNext);
        Convert8<SourceMatrix(Op)>(y, uv, uvNext, p03, p47);
        // 16-byte stores of 12 valid bytes; the row's last pair is still to come, so the
        // 4 bytes written past this group are rewritten afterwards.
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_shuffle_epi8(p03, squeeze24));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 12), _mm_shuffle_epi8(p47, squeeze24));
    }
    repack_detail::kSse2Kernels.rows[size_t(Op)](src, dst, width - groups * 8);
}

void SwapSse2(uint8_t* dst, const uint8_t* src, size_t count) {
    repack_detail::kSse2Kernels.swapBytePairs(dst, src, count);
}
template <RawOp Op> void RowOfSse2(const uint8_t* src, uint8_t* dst, uint32_t width) {
    repack_detail::kSse2Kernels.rows[size_t(Op)](src, dst, width);
}
template <RawOp Op>
void PlanarRowOfSse2(const repack_detail::PlaneRows& src, uint8_t* dst, uint32_t width) {
    repack_detail::kSse2Kernels.planarRows[size_t(Op)](src, dst, width);
}

template <RawOp Op>
void PlanarRowPairOfSse2(const repack_detail::PlaneRows& src, const uint8_t* luma2, uint8_t* dst,
                         uint8_t* dst2, uint32_t width) {
    repack_detail::kSse2Kernels.planarRowPairs[size_t(Op)](src, luma2, dst, dst2, width);
}

// Sixteen pixels from three whole loads: nothing is read past the 48 bytes they occupy.
void Rgb24ToRgb32Ssse3(const uint8_t* src, uint8_t* dst, uint32_t width) {
    const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    uint32_t left = width;
    for (; left >= 16; left -= 16, src += 48, dst += 64) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 32));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_shuffle_epi8(a, spread));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16),
                         _mm_shuffle_epi8(_mm_alignr_epi8(b, a, 12), spread));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 32),
                         _mm_shuffle_epi8(_mm_alignr_epi8(c, b, 8), spread));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 48),
                         _mm_shuffle_epi8(_mm_srli_si128(c, 4), spread));
    }
    repack_detail::kSse2Kernels.rows[size_t(RawOp::Rgb24ToRgb32)](src, dst, left);
}

struct Ssse3Rows {
    template <RawOp Op> static constexpr repack_detail::RowFn Row() {
        if constexpr (FamilyOf(Op) == KernelFamily::Packed422ToRgb && OutputPixelBytes(Op) == 3) {
            return Rgb24Ssse3<Op>;
        } else if constexpr (FamilyOf(Op) == KernelFamily::Packed422ToRgb ||
                             FamilyOf(Op) == KernelFamily::Packed422Reorder ||
                             FamilyOf(Op) == KernelFamily::LumaToRgb ||
                             FamilyOf(Op) == KernelFamily::LumaToPacked ||
                             FamilyOf(Op) == KernelFamily::RgbNarrow ||
                             FamilyOf(Op) == KernelFamily::Packed10ToPacked ||
                             FamilyOf(Op) == KernelFamily::Packed10ToRgb) {
            return RowOfSse2<Op>;
        } else if constexpr (FamilyOf(Op) == KernelFamily::RgbWiden) {
            return Rgb24ToRgb32Ssse3;
        } else {
            return nullptr;
        }
    }
    template <RawOp Op> static constexpr repack_detail::PlanarRowPairFn PlanarRowPair() {
        if constexpr (FamilyOf(Op) == KernelFamily::PlanarToRgb) {
            return PlanarRowPairOfSse2<Op>;
        } else {
            return nullptr;
        }
    }
    template <RawOp Op> static constexpr repack_detail::PlanarRowFn PlanarRow() {
        if constexpr (FromPlanes(Op)) {
            return PlanarRowOfSse2<Op>;
        } else {
            return nullptr;
        }
    }
};

} // namespace

namespace repack_detail {
constinit const RepackKernels kSsse3Kernels = MakeKernels<Ssse3Rows>(SwapSse2, CopyForDiskSse2);
} // namespace repack_detail

} // namespace kestro
