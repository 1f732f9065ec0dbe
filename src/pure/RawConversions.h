#pragma once
// Which stored kind a raw stream delivers as which output kind, by which routine, and which
// format it offers when asked: one table read by negotiation, planning and the conversion.
#include <cstdint>

#include "pure/PixelFormats.h"
#include "pure/PixelRepack.h"

namespace kestro {

enum class RawOp {
    Refuse,
    Copy,
    Swap,
    Yuy2ToRgb24,
    Yuy2ToRgb32,
    UyvyToRgb24,
    UyvyToRgb32,
    Rgb24ToRgb32
};

// A whole picture: source rows, output rows, width, rows, whether to turn the rows over.
using PlaneFn = void (*)(const uint8_t*, uint8_t*, uint32_t, uint32_t, bool);

struct RawConversionRow {
    PixelKind source;
    PixelKind output;  // ignored when anyOutput
    bool anyOutput;    // the row answers every output kind not listed before it
    RawOp op;          // Refuse: the pair is not delivered
    PlaneFn plane;     // the routine of a converting op; null for Copy, Swap and Refuse
    PixelKind offered; // the format the stream offers for this output, when asked for one
};

inline constexpr RawConversionRow kRawConversions[] = {
    {.source = KIND_YUY2,
     .output = KIND_YUY2,
     .anyOutput = false,
     .op = RawOp::Copy,
     .plane = nullptr,
     .offered = KIND_YUY2},
    {.source = KIND_YUY2,
     .output = KIND_RGB24,
     .anyOutput = false,
     .op = RawOp::Yuy2ToRgb24,
     .plane = Yuy2ToRgb24,
     .offered = KIND_RGB24},
    {.source = KIND_YUY2,
     .output = KIND_RGB32,
     .anyOutput = false,
     .op = RawOp::Yuy2ToRgb32,
     .plane = Yuy2ToRgb32,
     .offered = KIND_RGB32},
    {.source = KIND_UYVY,
     .output = KIND_YUY2,
     .anyOutput = false,
     .op = RawOp::Swap,
     .plane = nullptr,
     .offered = KIND_YUY2},
    // Asked for UYVY, the stream still offers YUY2, the order every player knows.
    {.source = KIND_UYVY,
     .output = KIND_UYVY,
     .anyOutput = false,
     .op = RawOp::Copy,
     .plane = nullptr,
     .offered = KIND_YUY2},
    {.source = KIND_UYVY,
     .output = KIND_RGB24,
     .anyOutput = false,
     .op = RawOp::UyvyToRgb24,
     .plane = UyvyToRgb24,
     .offered = KIND_RGB24},
    {.source = KIND_UYVY,
     .output = KIND_RGB32,
     .anyOutput = false,
     .op = RawOp::UyvyToRgb32,
     .plane = UyvyToRgb32,
     .offered = KIND_RGB32},
    {.source = KIND_RGB24,
     .output = KIND_RGB24,
     .anyOutput = false,
     .op = RawOp::Copy,
     .plane = nullptr,
     .offered = KIND_RGB24},
    {.source = KIND_RGB24,
     .output = KIND_RGB32,
     .anyOutput = false,
     .op = RawOp::Rgb24ToRgb32,
     .plane = Rgb24ToRgb32,
     .offered = KIND_RGB32},
    {.source = KIND_RGB32,
     .output = KIND_RGB32,
     .anyOutput = false,
     .op = RawOp::Copy,
     .plane = nullptr,
     .offered = KIND_RGB32},
    // An RGB32 stream offers itself whatever was asked, but delivers nothing else.
    {.source = KIND_RGB32,
     .output = KIND_NONE,
     .anyOutput = true,
     .op = RawOp::Refuse,
     .plane = nullptr,
     .offered = KIND_RGB32},
};

// The row for a pair; null when the table has none.
constexpr const RawConversionRow* ConversionFor(PixelKind source, PixelKind output) {
    for (const RawConversionRow& r : kRawConversions)
        if (r.source == source && (r.anyOutput || r.output == output))
            return &r;
    return nullptr;
}

constexpr RawOp ChooseRawOp(PixelKind source, PixelKind output) {
    const RawConversionRow* row = ConversionFor(source, output);
    return row ? row->op : RawOp::Refuse;
}

// The routine of a converting op; null for the others.
constexpr PlaneFn PlaneOf(RawOp op) {
    for (const RawConversionRow& r : kRawConversions)
        if (r.op == op && r.plane)
            return r.plane;
    return nullptr;
}

} // namespace kestro
