#include "pure/PixelRepack.h"

#include <atomic>
#include <cstring>
#include <cpuid.h>

#include "pure/CpuFeatures.h"
#include "pure/PixelRepack_decoded.h"
#include "pure/RawConversions.h"

namespace kestro {

namespace {

inline uint8_t Clamp255(int v) {
    return v < 0 ? 0 : v > 255 ? 255 : static_cast<uint8_t>(v);
}

// 14-bit fixed point studio-range YUV of the matrix M; cb and cr arrive at doubled scale.
template <int Bpp, Matrix M> inline void StorePixel(uint8_t* d, int y, int cb, int cr) {
    constexpr ChromaFactors k = FactorsOf(M);
    const int l = 19077 * (y - 16) + 8192;
    d[0] = Clamp255((l + k.blueCb * cb) >> 14);
    d[1] = Clamp255((l - k.greenCb * cb - k.greenCr * cr) >> 14);
    d[2] = Clamp255((l + k.redCr * cr) >> 14);
    if constexpr (Bpp == 4) {
        d[3] = 0;
    }
}

template <PackedOrder O, int Bpp, Matrix M>
void RowC(const uint8_t* src, uint8_t* dst, uint32_t width) {
    constexpr int kY0 = O.y0, kU = O.u, kY1 = O.y1, kV = O.v;
    const uint32_t pairs = width / 2;
    for (uint32_t k = 0; k < pairs; ++k, src += 4, dst += 2 * Bpp) {
        const uint8_t* next = k + 1 < pairs ? src + 4 : src;
        const int u = src[kU], v = src[kV];
        StorePixel<Bpp, M>(dst, src[kY0], 2 * (u - 128), 2 * (v - 128));
        StorePixel<Bpp, M>(dst + Bpp, src[kY1], u + next[kU] - 256, v + next[kV] - 256);
    }
    if (width & 1) {
        const int u = pairs ? src[kU - 4] : 128, v = pairs ? src[kV - 4] : 128;
        StorePixel<Bpp, M>(dst, src[kY0], 2 * (u - 128), 2 * (v - 128));
    }
}

// Packed 4:2:2 groups from order F to order T. A lone last pixel (an odd width) has two bytes:
// its luma keeps being luma, the other byte goes to the other slot.
template <PackedOrder F, PackedOrder T>
void ReorderRowC(const uint8_t* src, uint8_t* dst, uint32_t width) {
    const uint32_t pairs = width / 2;
    for (uint32_t k = 0; k < pairs; ++k, src += 4, dst += 4) {
        const uint8_t y0 = src[F.y0], u = src[F.u], y1 = src[F.y1], v = src[F.v];
        dst[T.y0] = y0, dst[T.u] = u, dst[T.y1] = y1, dst[T.v] = v;
    }
    if (width & 1) {
        const uint8_t y = src[F.y0], other = src[1 - F.y0];
        dst[T.y0] = y, dst[1 - T.y0] = other;
    }
}

// Luma alone is a grey level: the pixel of Cb = Cr = 0.
template <int Bpp> void LumaToRgbRowC(const uint8_t* src, uint8_t* dst, uint32_t width) {
    for (uint32_t i = 0; i < width; ++i, dst += Bpp)
        StorePixel<Bpp, Matrix::Bt601>(dst, src[i], 0, 0);
}

// Luma into packed groups of order T with neutral chroma; a lone last pixel gets 128 beside it.
template <PackedOrder T> void LumaToPackedRowC(const uint8_t* src, uint8_t* dst, uint32_t width) {
    const uint32_t pairs = width / 2;
    for (uint32_t k = 0; k < pairs; ++k, src += 2, dst += 4)
        dst[T.y0] = src[0], dst[T.y1] = src[1], dst[T.u] = 128, dst[T.v] = 128;
    if (width & 1)
        dst[T.y0] = src[0], dst[1 - T.y0] = 128;
}

// A chroma or luma sample of a planar kind as the 8 bits the conversions use: a two-byte sample
// holds its value in the high 10 bits and is rounded to 8.
template <PlaneLayout P> inline int SampleAt(const uint8_t* p, size_t i) {
    if constexpr (P.sampleBytes == 2) {
        const int v = (p[2 * i] | p[2 * i + 1] << 8) >> 6;
        const int rounded = (v + 2) >> 2;
        return rounded > 255 ? 255 : rounded;
    } else {
        return p[i];
    }
}
// Samples from one chroma pair to the next: interleaved pairs are two apart.
template <PlaneLayout P> constexpr size_t kChromaStep = P.count == 2 ? 2 : 1;

// The pixel rule of the packed rows over a planar row: each pair's chroma on its left pixel, the
// mean with the next pair's on the right one (its own for the last pair). A lone last pixel (an
// odd width, never stored) takes the last whole pair's chroma, 128 when there is none.
template <PlaneLayout P, int Bpp, Matrix M>
void PlanarToRgbRowC(const repack_detail::PlaneRows& s, uint8_t* dst, uint32_t width) {
    constexpr size_t step = kChromaStep<P>;
    const uint32_t pairs = width / 2;
    for (uint32_t k = 0; k < pairs; ++k, dst += 2 * Bpp) {
        const size_t c = k * step, n = k + 1 < pairs ? c + step : c;
        const int u = SampleAt<P>(s.cb, c), v = SampleAt<P>(s.cr, c);
        const int un = SampleAt<P>(s.cb, n), vn = SampleAt<P>(s.cr, n);
        StorePixel<Bpp, M>(dst, SampleAt<P>(s.luma, 2 * k), 2 * (u - 128), 2 * (v - 128));
        StorePixel<Bpp, M>(dst + Bpp, SampleAt<P>(s.luma, 2 * k + 1), u + un - 256, v + vn - 256);
    }
    if (width & 1) {
        const size_t c = pairs ? (pairs - 1) * step : 0;
        const int u = pairs ? SampleAt<P>(s.cb, c) : 128, v = pairs ? SampleAt<P>(s.cr, c) : 128;
        StorePixel<Bpp, M>(dst, SampleAt<P>(s.luma, 2 * pairs), 2 * (u - 128), 2 * (v - 128));
    }
}

// A planar row into packed groups of order T, each pair with its block's chroma; a lone last
// pixel gets the last pair's blue-difference sample (128 when there is none) beside it.
template <PlaneLayout P, PackedOrder T>
void PlanarToPackedRowC(const repack_detail::PlaneRows& s, uint8_t* dst, uint32_t width) {
    constexpr size_t step = kChromaStep<P>;
    const uint32_t pairs = width / 2;
    for (uint32_t k = 0; k < pairs; ++k, dst += 4) {
        dst[T.y0] = uint8_t(SampleAt<P>(s.luma, 2 * k));
        dst[T.y1] = uint8_t(SampleAt<P>(s.luma, 2 * k + 1));
        dst[T.u] = uint8_t(SampleAt<P>(s.cb, k * step));
        dst[T.v] = uint8_t(SampleAt<P>(s.cr, k * step));
    }
    if (width & 1) {
        dst[T.y0] = uint8_t(SampleAt<P>(s.luma, 2 * pairs));
        dst[1 - T.y0] = uint8_t(pairs ? SampleAt<P>(s.cb, (pairs - 1) * step) : 128);
    }
}

void Rgb32ToRgb24RowC(const uint8_t* src, uint8_t* dst, uint32_t width) {
    for (uint32_t i = 0; i < width; ++i, src += 4, dst += 3) {
        dst[0] = src[0];
        dst[1] = src[1];
        dst[2] = src[2];
    }
}

void Rgb24ToRgb32RowC(const uint8_t* src, uint8_t* dst, uint32_t width) {
    for (uint32_t i = 0; i < width; ++i, src += 3, dst += 4) {
        dst[0] = src[0];
        dst[1] = src[1];
        dst[2] = src[2];
        dst[3] = 0;
    }
}

// Unpadded rows of the op's two kinds; reverseRows takes output row j from input row height-1-j.
void ConvertPlane(RawOp op, repack_detail::RowFn row, const uint8_t* src, uint8_t* dst,
                  uint32_t width, uint32_t height, bool reverseRows) {
    if (width == 0 || height == 0) {
        return;
    }
    const size_t srcStride = size_t(SourceRowBytes(op, width));
    const size_t dstStride = size_t(OutputRowBytes(op, width));
    for (uint32_t j = 0; j < height; ++j) {
        const uint32_t r = reverseRows ? height - 1 - j : j;
        // Rows walked from the bottom step backwards through memory, which the hardware
        // prefetcher does not follow from one row to the next: ask for the next row now.
        if (reverseRows && r > 0) {
            const uint8_t* next = src + (r - 1) * srcStride;
            for (size_t offset = 0; offset < srcStride; offset += 64) {
                __builtin_prefetch(next + offset);
            }
        }
        row(src + r * srcStride, dst + j * dstStride, width);
    }
}

// The planes of a picture of the op's source kind, row by row into output rows dstStride apart.
// Where `pair` is given, both rows of each 2x2 block go to it in one call.
void WalkPlanes(RawOp op, repack_detail::PlanarRowFn row, repack_detail::PlanarRowPairFn pair,
                const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t height, bool reverseRows,
                size_t dstStride) {
    const PlaneLayout p = SourcePlanes(op);
    const uint32_t blockW = 1u << p.shiftX, blockH = 1u << p.shiftY;
    if (width == 0 || height == 0 || width % blockW || height % blockH) {
        return;
    }
    const size_t lumaStride = size_t{width} * p.sampleBytes;
    const size_t chromaSamples = size_t{width >> p.shiftX} * (p.count == 2 ? 2 : 1);
    const size_t chromaStride = chromaSamples * p.sampleBytes;
    const uint8_t* first = src + lumaStride * height;
    const uint8_t* second =
        p.count == 2 ? first + p.sampleBytes : first + chromaStride * (height >> p.shiftY);
    const uint8_t* cb = p.redFirst ? second : first;
    const uint8_t* cr = p.redFirst ? first : second;
    const uint32_t rowsPerCall = pair && blockH == 2 ? 2 : 1;
    for (uint32_t j = 0; j < height; j += rowsPerCall) {
        const uint32_t r = reverseRows ? height - 1 - j : j;
        const size_t c = size_t{r >> p.shiftY} * chromaStride;
        // As in ConvertPlane: the prefetcher does not follow rows walked backwards.
        if (reverseRows && r + 1 >= 2 * rowsPerCall) {
            const uint8_t* next = src + (r + 1 - 2 * rowsPerCall) * lumaStride;
            for (size_t offset = 0; offset < rowsPerCall * lumaStride; offset += 64) {
                __builtin_prefetch(next + offset);
            }
        }
        const repack_detail::PlaneRows rows{src + r * lumaStride, cb + c, cr + c};
        if (rowsPerCall == 2) {
            const uint32_t other = reverseRows ? r - 1 : r + 1;
            pair(rows, src + other * lumaStride, dst + j * dstStride, dst + (j + 1) * dstStride,
                 width);
        } else {
            row(rows, dst + j * dstStride, width);
        }
    }
}

// The scalar row of every converting op, from the kinds' descriptions.
struct ScalarRows {
    template <RawOp Op> static constexpr repack_detail::RowFn Row() {
        if constexpr (FamilyOf(Op) == KernelFamily::Packed422ToRgb) {
            return RowC<SourceOrder(Op), int(OutputPixelBytes(Op)), SourceMatrix(Op)>;
        } else if constexpr (FamilyOf(Op) == KernelFamily::Packed422Reorder) {
            return ReorderRowC<SourceOrder(Op), OutputOrder(Op)>;
        } else if constexpr (FamilyOf(Op) == KernelFamily::LumaToRgb) {
            return LumaToRgbRowC<int(OutputPixelBytes(Op))>;
        } else if constexpr (FamilyOf(Op) == KernelFamily::LumaToPacked) {
            return LumaToPackedRowC<OutputOrder(Op)>;
        } else if constexpr (FamilyOf(Op) == KernelFamily::DecodedToRgb) {
            return DecodedViaYuy2<Op, DecodeRowC<Op, kOrderYuy2>,
                                  RowC<kOrderYuy2, int(OutputPixelBytes(Op)), SourceMatrix(Op)>>;
        } else if constexpr (FamilyOf(Op) == KernelFamily::DecodedToPacked) {
            return DecodeRowC<Op, OutputOrder(Op)>;
        } else if constexpr (FamilyOf(Op) == KernelFamily::RgbWiden) {
            return Rgb24ToRgb32RowC;
        } else if constexpr (FamilyOf(Op) == KernelFamily::RgbNarrow) {
            return Rgb32ToRgb24RowC;
        } else {
            return nullptr;
        }
    }
    template <RawOp Op> static constexpr repack_detail::PlanarRowFn PlanarRow() {
        if constexpr (FamilyOf(Op) == KernelFamily::PlanarToRgb) {
            return PlanarToRgbRowC<SourcePlanes(Op), int(OutputPixelBytes(Op)), SourceMatrix(Op)>;
        } else if constexpr (FamilyOf(Op) == KernelFamily::PlanarToPacked) {
            return PlanarToPackedRowC<SourcePlanes(Op), OutputOrder(Op)>;
        } else {
            return nullptr;
        }
    }
};

// What this processor and system report; XGETBV only where OSXSAVE says it may run. A processor
// without leaf 7 answers zeros for it.
SimdSupport ReadSimdSupport() {
    SimdSupport support{};
    const uint32_t highest = HighestCpuidLeaf(0);
    if (highest < 1) {
        return support;
    }
    const CpuidRegisters leaf1 = Cpuid(1);
    support.leaf1Ecx = leaf1.ecx;
    support.leaf1Edx = leaf1.edx;
    if (highest >= 7) {
        support.leaf7Ebx = Cpuid(7, 0).ebx;
    }
    if (support.leaf1Ecx & bit_OSXSAVE) {
        unsigned xcr0Lo, xcr0Hi;
        __asm__ volatile("xgetbv" : "=a"(xcr0Lo), "=d"(xcr0Hi) : "c"(0));
        support.xcr0 = uint64_t{xcr0Hi} << 32 | xcr0Lo;
    }
    return support;
}

// A level's own rows over the table of the level below. A level that gives an op's planar row
// but no row pair walks by that row, not by the pairs of a level below it.
repack_detail::RepackKernels Over(const repack_detail::RepackKernels& below,
                                  const repack_detail::RepackKernels& own) {
    repack_detail::RepackKernels k = below;
    if (own.swapBytePairs)
        k.swapBytePairs = own.swapBytePairs;
    if (own.copyForDisk)
        k.copyForDisk = own.copyForDisk;
    for (size_t op = 0; op < kRawOpCount; ++op) {
        if (own.rows[op])
            k.rows[op] = own.rows[op];
        if (own.planarRows[op])
            k.planarRows[op] = own.planarRows[op], k.planarRowPairs[op] = own.planarRowPairs[op];
        else if (own.planarRowPairs[op])
            k.planarRowPairs[op] = own.planarRowPairs[op];
    }
    return k;
}

struct LevelTables {
    repack_detail::RepackKernels level[5];
};

LevelTables Compose() {
    LevelTables t{};
    t.level[0] = repack_detail::kScalarKernels;
    const repack_detail::RepackKernels* own[] = {
        &repack_detail::kSse2Own, &repack_detail::kSsse3Own, &repack_detail::kAvx2Own,
        &repack_detail::kAvx512Own};
    for (int i = 1; i < 5; ++i)
        t.level[i] = Over(t.level[i - 1], *own[i - 1]);
    return t;
}

std::atomic<int> g_level{-1};

const repack_detail::RepackKernels& Active() {
    int level = g_level.load(std::memory_order_acquire);
    if (level < 0) {
        SetKernelLevel(BestKernelLevel());
        level = g_level.load(std::memory_order_acquire);
    }
    return repack_detail::KernelsAt(static_cast<KernelLevel>(level));
}

} // namespace

namespace reference {

void SwapBytePairs(uint8_t* dst, const uint8_t* src, size_t count) {
    for (size_t i = 0; i + 1 < count; i += 2) {
        const uint8_t first = src[i];
        dst[i] = src[i + 1];
        dst[i + 1] = first;
    }
}

void ConvertRow(RawOp op, const uint8_t* src, uint8_t* dst, uint32_t width) {
    if (Converts(op) && !FromPlanes(op))
        repack_detail::kScalarKernels.rows[size_t(op)](src, dst, width);
}
void ConvertPicture(RawOp op, const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t height,
                    bool reverseRows) {
    if (!Converts(op))
        return;
    if (FromPlanes(op)) {
        reference::ConvertPlanes(op, src, dst, width, height, reverseRows,
                                 size_t{OutputPixelBytes(op)} * width);
        return;
    }
    ConvertPlane(op, repack_detail::kScalarKernels.rows[size_t(op)], src, dst, width, height,
                 reverseRows);
}
void ConvertPlanes(RawOp op, const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t height,
                   bool reverseRows, size_t dstStride) {
    if (!FromPlanes(op))
        return;
    WalkPlanes(op, repack_detail::kScalarKernels.planarRows[size_t(op)], nullptr, src, dst, width,
               height, reverseRows, dstStride);
}

void Yuy2ToRgb24(const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t height, bool bottomUp) {
    reference::ConvertPicture(ChooseRawOp(KIND_YUY2, KIND_RGB24), src, dst, width, height,
                              bottomUp);
}
void UyvyToRgb24(const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t height, bool bottomUp) {
    reference::ConvertPicture(ChooseRawOp(KIND_UYVY, KIND_RGB24), src, dst, width, height,
                              bottomUp);
}
void Yuy2ToRgb32(const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t height, bool bottomUp) {
    reference::ConvertPicture(ChooseRawOp(KIND_YUY2, KIND_RGB32), src, dst, width, height,
                              bottomUp);
}
void UyvyToRgb32(const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t height, bool bottomUp) {
    reference::ConvertPicture(ChooseRawOp(KIND_UYVY, KIND_RGB32), src, dst, width, height,
                              bottomUp);
}
} // namespace reference

namespace {
void CopyPlain(uint8_t* dst, const uint8_t* src, size_t count) {
    std::memcpy(dst, src, count);
}
} // namespace

namespace repack_detail {
constexpr RepackKernels kScalarTable = MakeKernels<ScalarRows>(reference::SwapBytePairs, CopyPlain);
static_assert(HasEveryRow(kScalarTable), "every converting op has a scalar row");
constinit const RepackKernels kScalarKernels = kScalarTable;

const RepackKernels& KernelsAt(KernelLevel level) {
    static const LevelTables tables = Compose();
    return tables.level[int(level) < 0 || int(level) > 4 ? 0 : int(level)];
}
} // namespace repack_detail

KernelLevel LevelFor(const SimdSupport& s) {
    // Leaf 1 ECX: SSSE3 bit 9, OSXSAVE bit 27, AVX bit 28; EDX: SSE2 bit 26. Leaf 7 EBX: AVX2
    // bit 5, AVX512F bit 16, AVX512BW bit 30, AVX512VL bit 31.
    constexpr uint32_t kSse2 = 1u << 26, kSsse3 = 1u << 9, kOsxsave = 1u << 27, kAvx = 1u << 28;
    constexpr uint32_t kAvx2 = 1u << 5, kAvx512 = 1u << 16 | 1u << 30 | 1u << 31;
    // XCR0: SSE and AVX state (bits 1, 2); opmask, ZMM_Hi256 and Hi16_ZMM state (bits 5 to 7).
    // The system must save the wider registers across context switches, not only the CPU offer
    // them.
    constexpr uint64_t kAvxState = 0x06, kAvx512State = 0xE6;
    const uint64_t xcr0 = s.leaf1Ecx & kOsxsave ? s.xcr0 : 0;
    const bool avx2 = (s.leaf1Ecx & kAvx) && (xcr0 & kAvxState) == kAvxState &&
                      (s.leaf7Ebx & kAvx2) && (s.leaf1Ecx & kSsse3) && (s.leaf1Edx & kSse2);
    if (avx2 && (xcr0 & kAvx512State) == kAvx512State && (s.leaf7Ebx & kAvx512) == kAvx512) {
        return KernelLevel::Avx512;
    }
    if (avx2) {
        return KernelLevel::Avx2;
    }
    if ((s.leaf1Ecx & kSsse3) && (s.leaf1Edx & kSse2)) {
        return KernelLevel::Ssse3;
    }
    return s.leaf1Edx & kSse2 ? KernelLevel::Sse2 : KernelLevel::Scalar;
}

KernelLevel BestKernelLevel() {
    static const KernelLevel best = LevelFor(ReadSimdSupport());
    return best;
}

void SetKernelLevel(KernelLevel level) {
    const KernelLevel best = BestKernelLevel();
    if (static_cast<int>(level) > static_cast<int>(best)) {
        level = best;
    }
    g_level.store(static_cast<int>(level), std::memory_order_release);
}

KernelLevel CurrentKernelLevel() {
    Active();
    return static_cast<KernelLevel>(g_level.load(std::memory_order_acquire));
}

void SwapBytePairs(uint8_t* dst, const uint8_t* src, size_t count) {
    Active().swapBytePairs(dst, src, count);
}

void ConvertPicture(RawOp op, const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t height,
                    bool reverseRows) {
    if (!Converts(op))
        return;
    if (FromPlanes(op)) {
        ConvertPlanes(op, src, dst, width, height, reverseRows,
                      size_t{OutputPixelBytes(op)} * width);
        return;
    }
    ConvertPlane(op, Active().rows[size_t(op)], src, dst, width, height, reverseRows);
}

void ConvertPlanes(RawOp op, const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t height,
                   bool reverseRows, size_t dstStride) {
    if (!FromPlanes(op))
        return;
    WalkPlanes(op, Active().planarRows[size_t(op)], Active().planarRowPairs[size_t(op)], src, dst,
               width, height, reverseRows, dstStride);
}

void Rgb24ToRgb32(const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t height,
                  bool reverseRows) {
    ConvertPicture(ChooseRawOp(KIND_RGB24, KIND_RGB32), src, dst, width, height, reverseRows);
}

void CopyForDisk(uint8_t* dst, const uint8_t* src, size_t count) {
    if (count < kStreamCopyMin) {
        std::memcpy(dst, src, count);
        return;
    }
    Active().copyForDisk(dst, src, count);
}

} // namespace kestro
