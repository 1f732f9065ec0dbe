#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "pure/RawConversions.h"

namespace kestro {

// Exchanges the bytes of every pair: UYVY order to YUY2 order. count is a byte count; an odd last
// byte is left untouched (not read past).
void SwapBytePairs(uint8_t* dst, const uint8_t* src, size_t count);

// 24-bit RGB rows (3*width bytes, blue, green, red) to 32-bit ones (4*width bytes, a zero fourth
// byte), both without padding. Both sides are bitmaps of the same row order unless reverseRows,
// which takes output row j from input row height-1-j.
void Rgb24ToRgb32(const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t height,
                  bool reverseRows = false);

// Any converting op of the table over a whole picture of unpadded rows; reverseRows takes output
// row j from input row height-1-j. An op that converts nothing (a copy, a swap, a refusal) is
// the caller's to deliver: nothing is written for it.
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
// Pictures of the packed 4:2:2 kinds into RGB; the last pair's right pixel uses its own chroma.
void Yuy2ToRgb24(const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t height,
                 bool bottomUp = true);
void UyvyToRgb24(const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t height,
                 bool bottomUp = true);
void Yuy2ToRgb32(const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t height,
                 bool bottomUp = true);
void UyvyToRgb32(const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t height,
                 bool bottomUp = true);
// One row of any converting op; does nothing for an op that converts nothing.
void ConvertRow(RawOp op, const uint8_t* src, uint8_t* dst, uint32_t width);
void ConvertPicture(RawOp op, const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t height,
                    bool reverseRows);
void ConvertPlanes(RawOp op, const uint8_t* src, uint8_t* dst, uint32_t width, uint32_t height,
                   bool reverseRows, size_t dstStride);
} // namespace reference

// Per instruction set tables. Each level file fills the rows it implements itself; the table a
// level runs is the table of the level below with those rows in place, down to the scalar table,
// which has a row for every converting op. So no op is ever without a row.
namespace repack_detail {
using SwapFn = void (*)(uint8_t* dst, const uint8_t* src, size_t count);
using RowFn = void (*)(const uint8_t* src, uint8_t* dst, uint32_t width);
using CopyFn = void (*)(uint8_t* dst, const uint8_t* src, size_t count);
// One output row of a planar kind: its luma row and the chroma row of its block, cb and cr
// pointing at the first blue- and red-difference sample (one sample apart in an interleaved
// plane).
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
    RowFn rows[kRawOpCount];             // by conversion, for the ops from a kind of one plane
    PlanarRowFn planarRows[kRawOpCount]; // likewise, for the ops from a planar kind
    // Where a level has them: the rows of a 2x2 block's row pair, which share their chroma work.
    PlanarRowPairFn planarRowPairs[kRawOpCount];
    CopyFn copyForDisk;
};

// Whether a table has the row each converting op needs.
constexpr bool HasEveryRow(const RepackKernels& k) {
    for (size_t op = kFirstConversion; op < kRawOpCount; ++op)
        if (FromPlanes(RawOp(op)) ? !k.planarRows[op] : !k.rows[op])
            return false;
    return k.swapBytePairs && k.copyForDisk;
}

extern const RepackKernels kScalarKernels;
// What each level implements itself; null elsewhere.
extern const RepackKernels kSse2Own;
extern const RepackKernels kSsse3Own;
extern const RepackKernels kAvx2Own;
extern const RepackKernels kAvx512Own;
// The table a level runs: every row there, the level's own where it has one.
const RepackKernels& KernelsAt(KernelLevel level);

// A level's own table from Level::Row<op>(), Level::PlanarRow<op>() and Level::PlanarRowPair<op>()
// (each null, or left out, where the level has none), so that a new conversion row gets its
// kernels at every level from the kinds' descriptions.
template <class Level, RawOp Op> constexpr RowFn OwnRow() {
    if constexpr (requires { Level::template Row<Op>(); })
        return Level::template Row<Op>();
    else
        return nullptr;
}
template <class Level, RawOp Op> constexpr PlanarRowFn OwnPlanarRow() {
    if constexpr (requires { Level::template PlanarRow<Op>(); })
        return Level::template PlanarRow<Op>();
    else
        return nullptr;
}
template <class Level, RawOp Op> constexpr PlanarRowPairFn OwnPlanarRowPair() {
    if constexpr (requires { Level::template PlanarRowPair<Op>(); })
        return Level::template PlanarRowPair<Op>();
    else
        return nullptr;
}
template <class Level, size_t... I>
constexpr RepackKernels MakeKernels(SwapFn swap, CopyFn copy, std::index_sequence<I...>) {
    RepackKernels k{};
    k.swapBytePairs = swap;
    k.copyForDisk = copy;
    ((k.rows[I] = OwnRow<Level, RawOp(I)>()), ...);
    ((k.planarRows[I] = OwnPlanarRow<Level, RawOp(I)>()), ...);
    ((k.planarRowPairs[I] = OwnPlanarRowPair<Level, RawOp(I)>()), ...);
    return k;
}
template <class Level> constexpr RepackKernels MakeKernels(SwapFn swap, CopyFn copy) {
    return MakeKernels<Level>(swap, copy, std::make_index_sequence<kRawOpCount>{});
}
} // namespace repack_detail

} // namespace kestro
