#pragma once
// What a raw conversion must write, worked out from the kinds' rows of facts (layout, order,
// planes, row rule and row order) and the scalar rows of the packed 4:2:2 kinds alone: every
// stored YUV picture is read as the YUY2 picture of the same pixels, which becomes the output
// kind's bytes. The native and Windows tests and fuzz_pure compare the product with it.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pure/PixelFormats.h"
#include "pure/PixelRepack.h"
#include "pure/RawConvert.h"

namespace kestro::oracle {

using Bytes = std::vector<uint8_t>;

// Bytes of one unpadded row of `width` pixels (of a planar kind, its luma row); 0 for no kind.
uint64_t RowBytes(PixelKind kind, uint32_t width);
// Bytes of a stored picture: its rows by the kind's row rule, then its chroma planes.
uint64_t StoredBytes(PixelKind kind, int32_t width, int32_t height);

// A conversion as the host asks for it: the arguments of PlanRawConversion.
struct Request {
    PixelKind source;
    int32_t streamHeight;
    PixelKind output;
    int32_t outputHeight;
    int32_t width;
    bool paddedRows;
};

struct Expected {
    Bytes bytes; // the whole output; row padding zero unless the stored rows bring it
    uint32_t width = 0;
    uint32_t rows = 0;
    uint32_t srcStride = 0;   // from one stored row to the next (a planar kind's luma rows)
    uint32_t rowBytes = 0;    // picture bytes of an output row
    uint32_t stride = 0;      // from one output row to the next
    uint32_t storedBytes = 0; // what the conversion reads of the stored picture
    bool reverseRows = false;
    bool paddingCompared = true; // false: a reorder over rows of one stride keeps their padding
};

// The output of a request the conversion table delivers, from `stored` (StoredBytes of it); empty
// when the table delivers no such pair or the picture has no whole chroma blocks.
std::optional<Expected> ExpectedOutput(const Request& request, const uint8_t* stored);

// How a plan, and the output it made of `stored` (plan.storedBytes of it), differ from what the
// request must give; empty when they agree. The plan's sizes are checked before a byte is read.
std::string Difference(const Request& request, const RawConversion& plan, const uint8_t* stored,
                       const uint8_t* output);

// A picture of unpadded rows as ConvertPicture makes it: the op's two kinds, rows in memory
// order, reverseRows taking output row j from stored row height-1-j. Empty for an op that
// converts nothing or a planar picture without whole chroma blocks.
Bytes ExpectedPicture(RawOp op, const uint8_t* stored, uint32_t width, uint32_t height,
                      bool reverseRows);

// Groups written in YUY2 order (Y0, U, Y1, V) placed in `order`; a lone last pixel's two bytes
// keep luma where a group's first luma sits.
Bytes InOrder(const Bytes& yuy2, PackedOrder order);

} // namespace kestro::oracle
