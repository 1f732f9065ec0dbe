#pragma once
// Which stored kind a raw stream delivers as which output kind, how, and which format it offers
// when asked: one table read by negotiation, planning and the conversion. The conversions, their
// count and the kernel tables are numbered from it, so a row appended here has its kernels at
// every level and its place in every test that walks the conversions.
#include <array>
#include <cstddef>
#include <cstdint>

#include "pure/PictureShape.h"
#include "pure/PixelFormats.h"

namespace kestro {

// How a pair is delivered: not at all, the stored bytes as they are, their byte pairs exchanged
// (UYVY order to YUY2 order), or by a kernel of the two kinds.
enum class Delivery : uint8_t { Refuse, Copy, Swap, Convert };

// A conversion. The first three deliver without a kernel; every converting row of the table is
// one more, in the table's order, and indexes the kernel tables.
enum class RawOp : uint16_t { Refuse, Copy, Swap };
constexpr size_t kFirstConversion = 3;

struct RawConversionRow {
    PixelKind source;
    PixelKind output;  // ignored when anyOutput
    bool anyOutput;    // the row answers every output kind not listed before it
    Delivery how;      // Refuse: the pair is not delivered
    PixelKind offered; // the format the stream offers for this output, when asked for one
    RawOp op;          // numbered from the table
};

constexpr RawConversionRow Delivers(PixelKind source, PixelKind output, Delivery how,
                                    PixelKind offered = KIND_NONE) {
    return {source, output, false, how, offered == KIND_NONE ? output : offered, RawOp::Refuse};
}
constexpr RawConversionRow AnyOutput(PixelKind source, Delivery how, PixelKind offered) {
    return {source, KIND_NONE, true, how, offered, RawOp::Refuse};
}

namespace conversion_detail {
template <size_t N>
constexpr std::array<RawConversionRow, N> Numbered(const RawConversionRow (&rows)[N]) {
    std::array<RawConversionRow, N> out{};
    uint16_t next = kFirstConversion;
    for (size_t i = 0; i < N; ++i) {
        out[i] = rows[i];
        out[i].op = rows[i].how == Delivery::Convert ? RawOp(next++)
                    : rows[i].how == Delivery::Copy  ? RawOp::Copy
                    : rows[i].how == Delivery::Swap  ? RawOp::Swap
                                                     : RawOp::Refuse;
    }
    return out;
}
constexpr RawConversionRow kRows[] = {
    Delivers(KIND_YUY2, KIND_YUY2, Delivery::Copy),
    Delivers(KIND_YUY2, KIND_RGB24, Delivery::Convert),
    Delivers(KIND_YUY2, KIND_RGB32, Delivery::Convert),
    Delivers(KIND_UYVY, KIND_YUY2, Delivery::Swap),
    // Asked for UYVY, the stream still offers YUY2, the order every player knows.
    Delivers(KIND_UYVY, KIND_UYVY, Delivery::Copy, KIND_YUY2),
    Delivers(KIND_UYVY, KIND_RGB24, Delivery::Convert),
    Delivers(KIND_UYVY, KIND_RGB32, Delivery::Convert),
    Delivers(KIND_RGB24, KIND_RGB24, Delivery::Copy),
    Delivers(KIND_RGB24, KIND_RGB32, Delivery::Convert),
    Delivers(KIND_RGB32, KIND_RGB32, Delivery::Copy),
    Delivers(KIND_YVYU, KIND_YVYU, Delivery::Copy),
    Delivers(KIND_YVYU, KIND_YUY2, Delivery::Convert),
    Delivers(KIND_YVYU, KIND_RGB24, Delivery::Convert),
    Delivers(KIND_YVYU, KIND_RGB32, Delivery::Convert),
    Delivers(KIND_HDYC, KIND_HDYC, Delivery::Copy),
    // The bytes of UYVY: exchanged in pairs they are YUY2's, the colours still BT.709's.
    Delivers(KIND_HDYC, KIND_YUY2, Delivery::Swap),
    Delivers(KIND_HDYC, KIND_RGB24, Delivery::Convert),
    Delivers(KIND_HDYC, KIND_RGB32, Delivery::Convert),
    Delivers(KIND_Y800, KIND_Y800, Delivery::Copy),
    Delivers(KIND_Y800, KIND_YUY2, Delivery::Convert),
    Delivers(KIND_Y800, KIND_RGB24, Delivery::Convert),
    Delivers(KIND_Y800, KIND_RGB32, Delivery::Convert),
    Delivers(KIND_RGB32, KIND_RGB24, Delivery::Convert),
    Delivers(KIND_NV12, KIND_NV12, Delivery::Copy),
    Delivers(KIND_NV12, KIND_YUY2, Delivery::Convert),
    Delivers(KIND_NV12, KIND_RGB24, Delivery::Convert),
    Delivers(KIND_NV12, KIND_RGB32, Delivery::Convert),
    Delivers(KIND_I420, KIND_I420, Delivery::Copy),
    Delivers(KIND_I420, KIND_YUY2, Delivery::Convert),
    Delivers(KIND_I420, KIND_RGB24, Delivery::Convert),
    Delivers(KIND_I420, KIND_RGB32, Delivery::Convert),
    Delivers(KIND_YV12, KIND_YV12, Delivery::Copy),
    Delivers(KIND_YV12, KIND_YUY2, Delivery::Convert),
    Delivers(KIND_YV12, KIND_RGB24, Delivery::Convert),
    Delivers(KIND_YV12, KIND_RGB32, Delivery::Convert, KIND_YV12),
    Delivers(KIND_V210, KIND_V210, Delivery::Copy),
    Delivers(KIND_V210, KIND_YUY2, Delivery::Convert),
    Delivers(KIND_V210, KIND_RGB24, Delivery::Convert),
    Delivers(KIND_V210, KIND_RGB32, Delivery::Convert),
    Delivers(KIND_P010, KIND_P010, Delivery::Copy),
    Delivers(KIND_P010, KIND_YUY2, Delivery::Convert),
    Delivers(KIND_P010, KIND_RGB24, Delivery::Convert),
    Delivers(KIND_P010, KIND_RGB32, Delivery::Convert),
    // An RGB32 stream offers itself whatever was asked, but delivers nothing else.
    AnyOutput(KIND_RGB32, Delivery::Refuse, KIND_RGB32),
    Delivers(KIND_Y210, KIND_Y210, Delivery::Copy),
    Delivers(KIND_Y210, KIND_YUY2, Delivery::Convert),
    Delivers(KIND_Y210, KIND_RGB24, Delivery::Convert),
    Delivers(KIND_Y210, KIND_RGB32, Delivery::Convert),
    Delivers(KIND_P210, KIND_P210, Delivery::Copy),
    Delivers(KIND_P210, KIND_YUY2, Delivery::Convert),
    Delivers(KIND_P210, KIND_RGB24, Delivery::Convert),
    Delivers(KIND_P210, KIND_RGB32, Delivery::Convert),
};
} // namespace conversion_detail

inline constexpr auto kRawConversions = conversion_detail::Numbered(conversion_detail::kRows);

constexpr size_t CountConversions() {
    size_t n = 0;
    for (const RawConversionRow& r : kRawConversions)
        n += r.how == Delivery::Convert;
    return n;
}
constexpr size_t kRawOpCount = kFirstConversion + CountConversions();

// The index of the row for a pair; the table's size when it has none. By index rather than by
// address, so that it folds in the sanitizer build too (see FormatIndexOf).
constexpr size_t ConversionIndexFor(PixelKind source, PixelKind output) {
    for (size_t i = 0; i < kRawConversions.size(); ++i)
        if (kRawConversions[i].source == source &&
            (kRawConversions[i].anyOutput || kRawConversions[i].output == output))
            return i;
    return kRawConversions.size();
}

// The row for a pair; null when the table has none.
constexpr const RawConversionRow* ConversionFor(PixelKind source, PixelKind output) {
    const size_t i = ConversionIndexFor(source, output);
    return i < kRawConversions.size() ? &kRawConversions[i] : nullptr;
}

constexpr RawOp ChooseRawOp(PixelKind source, PixelKind output) {
    const size_t i = ConversionIndexFor(source, output);
    return i < kRawConversions.size() ? kRawConversions[i].op : RawOp::Refuse;
}

// The index of the first row of an op (the table's size for none): a converting op has one row.
constexpr size_t RowIndexOfOp(RawOp op) {
    size_t i = 0;
    while (i < kRawConversions.size() && kRawConversions[i].op != op)
        ++i;
    return i;
}
constexpr const RawConversionRow* RowOfOp(RawOp op) {
    const size_t i = RowIndexOfOp(op);
    return i < kRawConversions.size() ? &kRawConversions[i] : nullptr;
}

// The two kinds of an op's first row, by value for the same reason as ChooseRawOp.
constexpr PixelKind SourceKindOfOp(RawOp op) {
    const size_t i = RowIndexOfOp(op);
    return i < kRawConversions.size() ? kRawConversions[i].source : KIND_STORED;
}
constexpr PixelKind OutputKindOfOp(RawOp op) {
    const size_t i = RowIndexOfOp(op);
    return i < kRawConversions.size() ? kRawConversions[i].output : KIND_STORED;
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
    // Any other YUV kind of one plane: its samples decoded to 8-bit groups by their places
    // (SamplePlaces), then the YUY2 row of the output, so that such a kind plays without a
    // kernel of its own.
    DecodedToRgb,
    DecodedToPacked
};

// 8-bit packed groups whose luma and chroma lie on opposite byte parities: the packed rows' kind.
constexpr bool SplittablePacked(const PixelFormat& f) {
    return f.layout == Layout::Packed422 && f.planes.sampleBytes == 1 && IsSplittableOrder(f.order);
}
// A YUV kind of one plane whose samples SamplePlaces finds.
constexpr bool Decodable(const PixelFormat& f) {
    return f.matrix != Matrix::None &&
           (f.layout == Layout::Packed422 || f.layout == Layout::Packed10);
}

// By index rather than by RowOfOp and FormatOf, so that it folds in the sanitizer build too
// (see FormatIndexOf).
constexpr KernelFamily FamilyOf(RawOp op) {
    const size_t row = RowIndexOfOp(op);
    if (size_t(op) < kFirstConversion || row == kRawConversions.size())
        return KernelFamily::None;
    const size_t fromIndex = FormatIndexOf(kRawConversions[row].source);
    const size_t toIndex = FormatIndexOf(kRawConversions[row].output);
    if (fromIndex == std::size(kPixelFormats) || toIndex == std::size(kPixelFormats))
        return KernelFamily::None;
    const PixelFormat& from = kPixelFormats[fromIndex];
    const PixelFormat& to = kPixelFormats[toIndex];
    if (to.layout == Layout::Packed422 && SplittablePacked(to)) {
        if (SplittablePacked(from))
            return KernelFamily::Packed422Reorder;
        if (from.layout == Layout::Luma)
            return KernelFamily::LumaToPacked;
        if (from.layout == Layout::Planar)
            return KernelFamily::PlanarToPacked;
        return Decodable(from) ? KernelFamily::DecodedToPacked : KernelFamily::None;
    }
    if (to.layout != Layout::Rgb)
        return KernelFamily::None;
    if (from.layout == Layout::Planar)
        return KernelFamily::PlanarToRgb;
    if (from.layout == Layout::Luma)
        return KernelFamily::LumaToRgb;
    if (SplittablePacked(from))
        return KernelFamily::Packed422ToRgb;
    if (Decodable(from))
        return KernelFamily::DecodedToRgb;
    if (from.layout == Layout::Rgb && PixelBytes(from) == 3 && PixelBytes(to) == 4)
        return KernelFamily::RgbWiden;
    if (from.layout == Layout::Rgb && PixelBytes(from) == 4 && PixelBytes(to) == 3)
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
constexpr const PixelFormat& SourceFormat(RawOp op) {
    return kPixelFormats[FormatIndexOf(SourceKindOfOp(op))];
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

static_assert(
    [] {
        for (size_t op = kFirstConversion; op < kRawOpCount; ++op)
            if (FamilyOf(RawOp(op)) == KernelFamily::None)
                return false;
        return true;
    }(),
    "every converting row of the conversion table has a body of kernels");

} // namespace kestro
