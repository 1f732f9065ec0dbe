#pragma once

#include <cstddef>
#include <cstdint>

namespace kestro {

// The conversions of stored raw frames, which also index the kernel tables: RawConversions.h
// says what each converts from and to.
enum class RawOp {
    Refuse,
    Copy,
    Swap,
    Yuy2ToRgb24,
    Yuy2ToRgb32,
    UyvyToRgb24,
    UyvyToRgb32,
    Rgb24ToRgb32,
    YvyuToYuy2,
    YvyuToRgb24,
    YvyuToRgb32,
    HdycToRgb24,
    HdycToRgb32,
    Y800ToYuy2,
    Y800ToRgb24,
    Y800ToRgb32,
    Rgb32ToRgb24,
    Nv12ToYuy2,
    Nv12ToRgb24,
    Nv12ToRgb32,
    I420ToYuy2,
    I420ToRgb24,
    I420ToRgb32,
    Yv12ToYuy2,
    Yv12ToRgb24,
    Yv12ToRgb32,
    V210ToYuy2,
    V210ToRgb24,
    V210ToRgb32,
    P010ToYuy2,
    P010ToRgb24,
    P010ToRgb32
};
constexpr size_t kRawOpCount = size_t(RawOp::P010ToRgb32) + 1;

// Exchanges the bytes of every pair: UYVY order to YUY2 order. count is a byte count; an odd last
// byte is left untouched (not read past).
void SwapBytePairs(uint8_t* dst, const uint8_t* src, size_t count);

// 4:2:2 packed source, `height` rows of 2*width bytes without padding, row 0 first.
// Output rows without padding (3*width or 4*width bytes, blue, green, red[, 0]).
// bottomUp=true: output row j comes from input row height-1-j (a stored frame is turned over);
// bottomUp=false keeps the row order (top-down output pictures).
void Yuy2ToRgb24(const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t height,
                 bool bottomUp = true);
void UyvyToRgb24(const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t height,
                 bool bottomUp = true);
void Yuy2ToRgb32(const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t height,
                 bool bottomUp = true);
void UyvyToRgb32(const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t height,
                 bool bottomUp = true);

// 24-bit RGB rows (3*width bytes, blue, green, red) to 32-bit ones (4*width bytes, a zero fourth
// byte), both without padding. Both sides are bitmaps of the same row order unless reverseRows,
// which takes output row j from input row height-1-j.
void Rgb24ToRgb32(const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t height,
                  bool reverseRows = false);

// Any converting op of the table over a whole picture of unpadded rows; reverseRows takes output
// row j from input row height-1-j. Does nothing for an op that converts nothing.
void ConvertPicture(RawOp op, const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t height,
                    bool reverseRows);

// Any converting op of the table from a planar kind: the source is a whole picture of its planes
// (PictureBytesOf), output rows lie dstStride bytes apart (their padding is left as it was).
// Does nothing for an op that converts nothing, or for an odd width or height.
void ConvertPlanes(RawOp op, const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t height,
                   bool reverseRows, size_t dstStride);

// Copies a frame into a buffer that only the disk will read: large copies bypass the cache
// (streaming stores), so a frame on its way out does not evict what the host works on, and no
// cache line of the buffer is read before it is overwritten. Small copies stay ordinary. The
// bytes are those of memcpy; everything is stored before this returns.
void CopyForDisk(uint8_t* dst, const uint8_t* src, size_t count);
constexpr size_t kStreamCopyMin = size_t(1) << 20;

// Which implementation the functions above use; tests and benchmarks switch it.
enum class KernelLevel { Scalar, Sse2, Ssse3, Avx2, Avx512 };
KernelLevel BestKernelLevel();

// CPUID leaf 1 ECX and EDX, leaf 7 (sub-leaf 0) EBX, and XCR0 as XGETBV reads it (looked at only
// where leaf 1 reports OSXSAVE).
struct SimdSupport {
    uint32_t leaf1Ecx;
    uint32_t leaf1Edx;
    uint32_t leaf7Ebx;
    uint64_t xcr0;
};
// The highest level whose instructions the processor offers and whose registers the system saves.
KernelLevel LevelFor(const SimdSupport& support);
void SetKernelLevel(KernelLevel level); // clamped to BestKernelLevel()
KernelLevel CurrentKernelLevel();

// The scalar reference every other level must match byte for byte.
namespace reference {
void SwapBytePairs(uint8_t* dst, const uint8_t* src, size_t count);
// One row of `width` pixels from 2*width source bytes. The last pair's right pixel uses its own
// chroma; with an odd width the lone last pixel takes its luma from the next Y slot and the
// chroma of the last whole pair (U=V=128 when there is none), so every output byte is defined.
void Yuy2ToRgb24Row(const uint8_t* src, uint8_t* dst, uint32_t width);
void UyvyToRgb24Row(const uint8_t* src, uint8_t* dst, uint32_t width);
void Yuy2ToRgb32Row(const uint8_t* src, uint8_t* dst, uint32_t width);
void UyvyToRgb32Row(const uint8_t* src, uint8_t* dst, uint32_t width);
void Yuy2ToRgb24(const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t height,
                 bool bottomUp = true);
void UyvyToRgb24(const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t height,
                 bool bottomUp = true);
void Yuy2ToRgb32(const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t height,
                 bool bottomUp = true);
void UyvyToRgb32(const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t height,
                 bool bottomUp = true);
void Rgb24ToRgb32Row(const uint8_t* src, uint8_t* dst, uint32_t width);
void Rgb24ToRgb32(const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t height,
                  bool reverseRows = false);
// One row of any converting op; does nothing for an op that converts nothing.
void ConvertRow(RawOp op, const uint8_t* src, uint8_t* dst, uint32_t width);
void ConvertPicture(RawOp op, const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t height,
                    bool reverseRows);
void ConvertPlanes(RawOp op, const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t height,
                   bool reverseRows, size_t dstStride);
} // namespace reference

// Per instruction set tables, filled by the files built with that instruction set's flags.
namespace repack_detail {
using SwapFn = void (*)(uint8_t* dst, const uint8_t* src, size_t count);
using RowFn = void (*)(const uint8_t* src, uint8_t* dst, uint32_t width);
using CopyFn = void (*)(uint8_t* dst, const uint8_t* src, size_t count);
// One output row of a planar kind: its luma row and the chroma row of its block, cb and cr
// pointing at the first blue- and red-difference sample (one byte apart in an interleaved plane).
struct PlaneRows {
    const uint8_t* luma;
    const uint8_t* cb;
    const uint8_t* cr;
};
using PlanarRowFn = void (*)(const PlaneRows& src, uint8_t* dst, uint32_t width);
// Two output rows of one chroma row: `src` and the other luma row `luma2`, into `dst` and `dst2`.
using PlanarRowPairFn = void (*)(const PlaneRows& src, const uint8_t* luma2, uint8_t* dst,
                                 uint8_t* dst2, uint32_t width);
struct RepackKernels {
    SwapFn swapBytePairs;
    RowFn rows[kRawOpCount];             // by conversion; null for an op that converts nothing
    PlanarRowFn planarRows[kRawOpCount]; // likewise, for the ops from a planar kind
    // Where a level has them: the rows of a 2x2 block's row pair, which share their chroma work.
    PlanarRowPairFn planarRowPairs[kRawOpCount];
    CopyFn copyForDisk;
};
extern const RepackKernels kScalarKernels;
extern const RepackKernels kSse2Kernels;
extern const RepackKernels kSsse3Kernels;
extern const RepackKernels kAvx2Kernels;
extern const RepackKernels kAvx512Kernels;
} // namespace repack_detail

} // namespace kestro
