#include "pure/PixelRepack.h"
#include "pure/PixelRepack_sse2.h"
#include "pure/RawConversions.h"

#include <tmmintrin.h>

// Only reached after the CPUID check for SSSE3. The byte shuffle packs 24-bit pixels in one step;
// everything else gains nothing from it and runs the SSE2 rows.
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
    repack_detail::KernelsAt(KernelLevel::Sse2).rows[size_t(Op)](src, dst, width - groups * 8);
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
    repack_detail::KernelsAt(KernelLevel::Sse2)
        .rows[size_t(ChooseRawOp(KIND_RGB24, KIND_RGB32))](src, dst, left);
}

struct Ssse3Rows {
    template <RawOp Op> static constexpr repack_detail::RowFn Row() {
        if constexpr (FamilyOf(Op) == KernelFamily::Packed422ToRgb && OutputPixelBytes(Op) == 3) {
            return Rgb24Ssse3<Op>;
        } else if constexpr (FamilyOf(Op) == KernelFamily::RgbWiden) {
            return Rgb24ToRgb32Ssse3;
        } else {
            return nullptr;
        }
    }
};

} // namespace

namespace repack_detail {
constinit const RepackKernels kSsse3Own = MakeKernels<Ssse3Rows>(nullptr, nullptr);
} // namespace repack_detail

} // namespace kestro
