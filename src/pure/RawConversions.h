#pragma once
// Which stored kind a raw stream delivers as which output kind, by which routine, and which
// format it offers when asked: one table read by negotiation, planning and the conversion.
#include <cstddef>
#include <cstdint>
#include <utility>

#include "pure/PixelFormats.h"
#include "pure/PixelRepack.h"

namespace kestro {

struct RawConversionRow {
    PixelKind source;
    PixelKind output;  // ignored when anyOutput
    bool anyOutput;    // the row answers every output kind not listed before it
    RawOp op;          // Refuse: the pair is not delivered
    PixelKind offered; // the format the stream offers for this output, when asked for one
};

inline constexpr RawConversionRow kRawConversions[] = {
    {.source = KIND_YUY2,
     .output = KIND_YUY2,
     .anyOutput = false,
     .op = RawOp::Copy,
     .offered = KIND_YUY2},
    {.source = KIND_YUY2,
     .output = KIND_RGB24,
     .anyOutput = false,
     .op = RawOp::Yuy2ToRgb24,
     .offered = KIND_RGB24},
    {.source = KIND_YUY2,
     .output = KIND_RGB32,
     .anyOutput = false,
     .op = RawOp::Yuy2ToRgb32,
     .offered = KIND_RGB32},
    {.source = KIND_UYVY,
     .output = KIND_YUY2,
     .anyOutput = false,
     .op = RawOp::Swap,
     .offered = KIND_YUY2},
    // Asked for UYVY, the stream still offers YUY2, the order every player knows.
    {.source = KIND_UYVY,
     .output = KIND_UYVY,
     .anyOutput = false,
     .op = RawOp::Copy,
     .offered = KIND_YUY2},
    {.source = KIND_UYVY,
     .output = KIND_RGB24,
     .anyOutput = false,
     .op = RawOp::UyvyToRgb24,
     .offered = KIND_RGB24},
    {.source = KIND_UYVY,
     .output = KIND_RGB32,
     .anyOutput = false,
     .op = RawOp::UyvyToRgb32,
     .offered = KIND_RGB32},
    {.source = KIND_RGB24,
     .output = KIND_RGB24,
     .anyOutput = false,
     .op = RawOp::Copy,
     .offered = KIND_RGB24},
    {.source = KIND_RGB24,
     .output = KIND_RGB32,
     .anyOutput = false,
     .op = RawOp::Rgb24ToRgb32,
     .offered = KIND_RGB32},
    {.source = KIND_RGB32,
     .output = KIND_RGB32,
     .anyOutput = false,
     .op = RawOp::Copy,
     .offered = KIND_RGB32},
    {.source = KIND_YVYU,
     .output = KIND_YVYU,
     .anyOutput = false,
     .op = RawOp::Copy,
     .offered = KIND_YVYU},
    {.source = KIND_YVYU,
     .output = KIND_YUY2,
     .anyOutput = false,
     .op = RawOp::YvyuToYuy2,
     .offered = KIND_YUY2},
    {.source = KIND_YVYU,
     .output = KIND_RGB24,
     .anyOutput = false,
     .op = RawOp::YvyuToRgb24,
     .offered = KIND_RGB24},
    {.source = KIND_YVYU,
     .output = KIND_RGB32,
     .anyOutput = false,
     .op = RawOp::YvyuToRgb32,
     .offered = KIND_RGB32},
    {.source = KIND_HDYC,
     .output = KIND_HDYC,
     .anyOutput = false,
     .op = RawOp::Copy,
     .offered = KIND_HDYC},
    // The bytes of UYVY: exchanged in pairs they are YUY2's, the colours still BT.709's.
    {.source = KIND_HDYC,
     .output = KIND_YUY2,
     .anyOutput = false,
     .op = RawOp::Swap,
     .offered = KIND_YUY2},
    {.source = KIND_HDYC,
     .output = KIND_RGB24,
     .anyOutput = false,
     .op = RawOp::HdycToRgb24,
     .offered = KIND_RGB24},
    {.source = KIND_HDYC,
     .output = KIND_RGB32,
     .anyOutput = false,
     .op = RawOp::HdycToRgb32,
     .offered = KIND_RGB32},
    {.source = KIND_Y800,
     .output = KIND_Y800,
     .anyOutput = false,
     .op = RawOp::Copy,
     .offered = KIND_Y800},
    {.source = KIND_Y800,
     .output = KIND_YUY2,
     .anyOutput = false,
     .op = RawOp::Y800ToYuy2,
     .offered = KIND_YUY2},
    {.source = KIND_Y800,
     .output = KIND_RGB24,
     .anyOutput = false,
     .op = RawOp::Y800ToRgb24,
     .offered = KIND_RGB24},
    {.source = KIND_Y800,
     .output = KIND_RGB32,
     .anyOutput = false,
     .op = RawOp::Y800ToRgb32,
     .offered = KIND_RGB32},
    {.source = KIND_RGB32,
     .output = KIND_RGB24,
     .anyOutput = false,
     .op = RawOp::Rgb32ToRgb24,
     .offered = KIND_RGB24},
    {.source = KIND_NV12,
     .output = KIND_NV12,
     .anyOutput = false,
     .op = RawOp::Copy,
     .offered = KIND_NV12},
    {.source = KIND_NV12,
     .output = KIND_YUY2,
     .anyOutput = false,
     .op = RawOp::Nv12ToYuy2,
     .offered = KIND_YUY2},
    {.source = KIND_NV12,
     .output = KIND_RGB24,
     .anyOutput = false,
     .op = RawOp::Nv12ToRgb24,
     .offered = KIND_RGB24},
    {.source = KIND_NV12,
     .output = KIND_RGB32,
     .anyOutput = false,
     .op = RawOp::Nv12ToRgb32,
     .offered = KIND_RGB32},
    {.source = KIND_I420,
     .output = KIND_I420,
     .anyOutput = false,
     .op = RawOp::Copy,
     .offered = KIND_I420},
    {.source = KIND_I420,
     .output = KIND_YUY2,
     .anyOutput = false,
     .op = RawOp::I420ToYuy2,
     .offered = KIND_YUY2},
    {.source = KIND_I420,
     .output = KIND_RGB24,
     .anyOutput = false,
     .op = RawOp::I420ToRgb24,
     .offered = KIND_RGB24},
    {.source = KIND_I420,
     .output = KIND_RGB32,
     .anyOutput = false,
     .op = RawOp::I420ToRgb32,
     .offered = KIND_RGB32},
    {.source = KIND_YV12,
     .output = KIND_YV12,
     .anyOutput = false,
     .op = RawOp::Copy,
     .offered = KIND_YV12},
    {.source = KIND_YV12,
     .output = KIND_YUY2,
     .anyOutput = false,
     .op = RawOp::Yv12ToYuy2,
     .offered = KIND_YUY2},
    {.source = KIND_YV12,
     .output = KIND_RGB24,
     .anyOutput = false,
     .op = RawOp::Yv12ToRgb24,
     .offered = KIND_RGB24},
    {.source = KIND_YV12,
     .output = KIND_RGB32,
     .anyOutput = false,
     .op = RawOp::Yv12ToRgb32,
     .offered = KIND_YV12},
    {.source = KIND_V210,
     .output = KIND_V210,
     .anyOutput = false,
     .op = RawOp::Copy,
     .offered = KIND_V210},
    {.source = KIND_V210,
     .output = KIND_YUY2,
     .anyOutput = false,
     .op = RawOp::V210ToYuy2,
     .offered = KIND_YUY2},
    {.source = KIND_V210,
     .output = KIND_RGB24,
     .anyOutput = false,
     .op = RawOp::V210ToRgb24,
     .offered = KIND_RGB24},
    {.source = KIND_V210,
     .output = KIND_RGB32,
     .anyOutput = false,
     .op = RawOp::V210ToRgb32,
     .offered = KIND_RGB32},
    {.source = KIND_P010,
     .output = KIND_P010,
     .anyOutput = false,
     .op = RawOp::Copy,
     .offered = KIND_P010},
    {.source = KIND_P010,
     .output = KIND_YUY2,
     .anyOutput = false,
     .op = RawOp::P010ToYuy2,
     .offered = KIND_YUY2},
    {.source = KIND_P010,
     .output = KIND_RGB24,
     .anyOutput = false,
     .op = RawOp::P010ToRgb24,
     .offered = KIND_RGB24},
    {.source = KIND_P010,
     .output = KIND_RGB32,
     .anyOutput = false,
     .op = RawOp::P010ToRgb32,
     .offered = KIND_RGB32},
    // An RGB32 stream offers itself whatever was asked, but delivers nothing else.
    {.source = KIND_RGB32,
     .output = KIND_NONE,
     .anyOutput = true,
     .op = RawOp::Refuse,
     .offered = KIND_RGB32},
};

// The row for a pair; null when the table has none.
constexpr const RawConversionRow* ConversionFor(PixelKind source, PixelKind output) {
    for (const RawConversionRow& r : kRawConversions)
        if (r.source == source && (r.anyOutput || r.output == output))
            return &r;
    return nullptr;
}

// By value rather than through ConversionFor, so that it folds in the sanitizer build too (a
// kernel chosen by it is a template argument there; see FamilyOf).
constexpr RawOp ChooseRawOp(PixelKind source, PixelKind output) {
    for (const RawConversionRow& r : kRawConversions)
        if (r.source == source && (r.anyOutput || r.output == output))
            return r.op;
    return RawOp::Refuse;
}

// The first row of an op: every row of one op converts between the same two kinds.
constexpr const RawConversionRow* RowOfOp(RawOp op) {
    for (const RawConversionRow& r : kRawConversions)
        if (r.op == op)
            return &r;
    return nullptr;
}

// The two kinds of an op's first row, by value for the same reason as ChooseRawOp.
constexpr PixelKind SourceKindOfOp(RawOp op) {
    for (const RawConversionRow& r : kRawConversions)
        if (r.op == op)
            return r.source;
    return KIND_STORED;
}
constexpr PixelKind OutputKindOfOp(RawOp op) {
    for (const RawConversionRow& r : kRawConversions)
        if (r.op == op)
            return r.output;
    return KIND_STORED;
}

// Which body of kernels an op needs, from the layouts of the two kinds it joins.
enum class KernelFamily {
    None,
    Packed422ToRgb,
    Packed422Reorder,
    RgbWiden,
    LumaToRgb,
    LumaToPacked,
    RgbNarrow,
    PlanarToRgb,
    PlanarToPacked,
    Packed10ToRgb,
    Packed10ToPacked
};

// By index rather than by RowOfOp and FormatOf, so that it folds in the sanitizer build too
// (see FormatIndexOf).
constexpr KernelFamily FamilyOf(RawOp op) {
    if (op == RawOp::Copy || op == RawOp::Swap || op == RawOp::Refuse)
        return KernelFamily::None;
    size_t row = 0;
    while (row < std::size(kRawConversions) && kRawConversions[row].op != op)
        ++row;
    if (row == std::size(kRawConversions))
        return KernelFamily::None;
    const size_t fromIndex = FormatIndexOf(kRawConversions[row].source);
    const size_t toIndex = FormatIndexOf(kRawConversions[row].output);
    if (fromIndex == std::size(kPixelFormats) || toIndex == std::size(kPixelFormats))
        return KernelFamily::None;
    const PixelFormat* from = &kPixelFormats[fromIndex];
    const PixelFormat* to = &kPixelFormats[toIndex];
    if (from->layout == Layout::Packed422 && to->layout == Layout::Packed422 &&
        IsSplittableOrder(from->order) && IsSplittableOrder(to->order))
        return KernelFamily::Packed422Reorder;
    if (from->layout == Layout::Luma && to->layout == Layout::Packed422 &&
        IsSplittableOrder(to->order))
        return KernelFamily::LumaToPacked;
    if (from->layout == Layout::Planar && to->layout == Layout::Packed422 &&
        IsSplittableOrder(to->order))
        return KernelFamily::PlanarToPacked;
    if (from->layout == Layout::Packed10 && to->layout == Layout::Packed422 &&
        IsSplittableOrder(to->order))
        return KernelFamily::Packed10ToPacked;
    if (from->layout == Layout::Packed10 && to->layout == Layout::Rgb)
        return KernelFamily::Packed10ToRgb;
    if (to->layout != Layout::Rgb)
        return KernelFamily::None;
    if (from->layout == Layout::Planar)
        return KernelFamily::PlanarToRgb;
    if (from->layout == Layout::Luma)
        return KernelFamily::LumaToRgb;
    if (from->layout == Layout::Packed422 && IsSplittableOrder(from->order))
        return KernelFamily::Packed422ToRgb;
    if (from->layout == Layout::Rgb && PixelBytes(*from) == 3 && PixelBytes(*to) == 4)
        return KernelFamily::RgbWiden;
    if (from->layout == Layout::Rgb && PixelBytes(*from) == 4 && PixelBytes(*to) == 3)
        return KernelFamily::RgbNarrow;
    return KernelFamily::None;
}

// An op that runs a kernel (not a copy, a byte-pair swap or a refusal).
constexpr bool Converts(RawOp op) {
    return FamilyOf(op) != KernelFamily::None;
}

// The facts a kernel of a converting op is instantiated with.
constexpr PackedOrder SourceOrder(RawOp op) {
    return FormatOf(RowOfOp(op)->source)->order;
}
constexpr Matrix SourceMatrix(RawOp op) {
    return FormatOf(RowOfOp(op)->source)->matrix;
}
constexpr PackedOrder OutputOrder(RawOp op) {
    return FormatOf(RowOfOp(op)->output)->order;
}
constexpr PlaneLayout SourcePlanes(RawOp op) {
    return FormatOf(RowOfOp(op)->source)->planes;
}
// The op reads a planar kind: its kernels are the planar rows.
constexpr bool FromPlanes(RawOp op) {
    const KernelFamily family = FamilyOf(op);
    return family == KernelFamily::PlanarToRgb || family == KernelFamily::PlanarToPacked;
}
constexpr uint32_t OutputPixelBytes(RawOp op) {
    return PixelBytes(*FormatOf(RowOfOp(op)->output));
}
// Bytes of one unpadded row of `width` pixels on either side of a converting op.
constexpr uint64_t SourceRowBytes(RawOp op, uint32_t width) {
    return PackedRowBytes(*FormatOf(RowOfOp(op)->source), width);
}
constexpr uint64_t OutputRowBytes(RawOp op, uint32_t width) {
    return PackedRowBytes(*FormatOf(RowOfOp(op)->output), width);
}

namespace repack_detail {
template <class Level, RawOp Op> constexpr PlanarRowPairFn PlanarRowPairOf() {
    if constexpr (requires { Level::template PlanarRowPair<Op>(); }) {
        return Level::template PlanarRowPair<Op>();
    } else {
        return nullptr;
    }
}

// A level's table: Level::Row<op>() is its row kernel of each op (null where it has none), so a
// new conversion row gets its kernel at every level from the kinds' descriptions; a level that
// has row pairs of planar kinds gives them as Level::PlanarRowPair<op>().
template <class Level, size_t... I>
constexpr RepackKernels MakeKernels(SwapFn swap, CopyFn copy, std::index_sequence<I...>) {
    RepackKernels k{};
    k.swapBytePairs = swap;
    k.copyForDisk = copy;
    ((k.rows[I] = Level::template Row<RawOp(I)>()), ...);
    ((k.planarRows[I] = Level::template PlanarRow<RawOp(I)>()), ...);
    ((k.planarRowPairs[I] = PlanarRowPairOf<Level, RawOp(I)>()), ...);
    return k;
}
template <class Level> constexpr RepackKernels MakeKernels(SwapFn swap, CopyFn copy) {
    return MakeKernels<Level>(swap, copy, std::make_index_sequence<kRawOpCount>{});
}
} // namespace repack_detail

} // namespace kestro
