// Raw frames delivered in either row order, with padded and unpadded rows, against the oracle's
// picture built row by row from the stored one and turned over independently.
#include "pure/RawConvert.h"
#include "pure/PixelRepack.h"
#include "pure/RawConversions.h"
#include "ConversionOracle.h"
#include "PageEndBuffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace kestro {
namespace {

using Bytes = std::vector<uint8_t>;

// Every pair the conversion table delivers, from random stored bytes, against the oracle: the
// plan's sizes and row order, every picture byte, the padding, and every plane of a planar copy.
TEST(RawConvert, EveryPairEitherRowOrderPaddedOrNot) {
    std::mt19937 rng(77);
    for (const RawConversionRow& r : kRawConversions) {
        if (r.op == RawOp::Refuse || r.anyOutput)
            continue;
        const PixelFormat& source = *FormatOf(r.source);
        const int32_t rows = source.planes.shiftY ? 4 : 5; // whole chroma blocks where shared
        for (int32_t width : {2, 6, 8, 10, 36, 130}) {
            for (int32_t streamSign : {1, -1}) {
                for (int32_t outputSign : {1, -1}) {
                    for (bool padded : {true, false}) {
                        SCOPED_TRACE(::testing::Message()
                                     << source.name << " as " << FormatOf(r.output)->name
                                     << " width " << width << " stream " << streamSign << " output "
                                     << outputSign << " padded " << padded);
                        const oracle::Request request{r.source, streamSign * rows,
                                                      r.output, outputSign * rows,
                                                      width,    padded};
                        auto plan = PlanRawConversion(request.source, request.streamHeight,
                                                      request.output, request.outputHeight,
                                                      request.width, request.paddedRows);
                        ASSERT_TRUE(plan);
                        PageEndBuffer stored(plan->storedBytes), out(plan->outputBytes);
                        std::generate_n(stored.data(), plan->storedBytes,
                                        [&] { return uint8_t(rng()); });
                        std::memset(out.data(), 0xEE, plan->outputBytes);
                        ApplyRawConversion(*plan, stored.data(), out.data());
                        ASSERT_EQ(oracle::Difference(request, *plan, stored.data(), out.data()),
                                  "");
                    }
                }
            }
        }
    }
}

TEST(RawConvert, OppositeRgbRowOrderIsTheStoredRowsTurnedOver) {
    // Two rows of two RGB24 pixels: 6 picture bytes and 2 of padding per row.
    const Bytes stored = {1, 2, 3, 4, 5, 6, 0xA1, 0xA2, 7, 8, 9, 10, 11, 12, 0xB1, 0xB2};
    auto plan = PlanRawConversion(KIND_RGB24, 2, KIND_RGB24, -2, 2, true);
    ASSERT_TRUE(plan);
    EXPECT_TRUE(plan->reverseRows);
    Bytes out(16, 0xEE);
    ApplyRawConversion(*plan, stored.data(), out.data());
    EXPECT_EQ(out, (Bytes{7, 8, 9, 10, 11, 12, 0, 0, 1, 2, 3, 4, 5, 6, 0, 0}));
    // The same order is a plain copy, padding and all: the reader may read straight into it.
    auto same = PlanRawConversion(KIND_RGB24, -2, KIND_RGB24, -2, 2, true);
    ASSERT_TRUE(same);
    EXPECT_TRUE(IsStraightCopy(*same));
    ApplyRawConversion(*same, stored.data(), out.data());
    EXPECT_EQ(out, stored);
    EXPECT_FALSE(IsStraightCopy(*plan));
}

TEST(RawConvert, PackedYuvHasOneRowOrder) {
    for (int32_t stream : {4, -4})
        for (int32_t output : {4, -4}) {
            EXPECT_FALSE(
                PlanRawConversion(KIND_UYVY, stream, KIND_YUY2, output, 8, true)->reverseRows);
            EXPECT_EQ(
                PlanRawConversion(KIND_YUY2, stream, KIND_RGB32, output, 8, true)->reverseRows,
                output > 0);
        }
}

TEST(RawConvert, RefusesWhatNoRoutineDelivers) {
    EXPECT_FALSE(PlanRawConversion(KIND_RGB24, 4, KIND_YUY2, 4, 8, true));
    EXPECT_FALSE(PlanRawConversion(KIND_RGB32, 4, KIND_YUY2, 4, 8, true));
    EXPECT_FALSE(PlanRawConversion(KIND_NV12, 4, KIND_I420, 4, 8, true));
    EXPECT_FALSE(PlanRawConversion(KIND_YUY2, 4, KIND_NV12, 4, 8, true));
    // A 4:2:0 picture needs whole 2x2 blocks.
    EXPECT_FALSE(PlanRawConversion(KIND_NV12, 5, KIND_RGB24, 5, 8, true)) << "odd height";
    EXPECT_FALSE(PlanRawConversion(KIND_I420, 4, KIND_YUY2, 4, 7, true)) << "odd width";
    EXPECT_FALSE(PlanRawConversion(KIND_YV12, -3, KIND_YV12, -3, 8, true)) << "odd height";
    EXPECT_FALSE(PlanRawConversion(KIND_P010, 3, KIND_YUY2, 3, 8, true)) << "odd height";
    EXPECT_FALSE(PlanRawConversion(KIND_P010, 4, KIND_RGB32, 4, 9, false)) << "odd width";
    EXPECT_FALSE(PlanRawConversion(KIND_NONE, 4, KIND_RGB24, 4, 8, true));
    EXPECT_FALSE(PlanRawConversion(KIND_YUY2, 4, KIND_RGB24, 5, 8, true)) << "other height";
    EXPECT_FALSE(PlanRawConversion(KIND_YUY2, 4, KIND_RGB24, 4, 0, true));
    EXPECT_FALSE(PlanRawConversion(KIND_RGB24, INT32_MIN, KIND_RGB32, INT32_MIN, 1, true));
    EXPECT_FALSE(PlanRawConversion(KIND_RGB24, 0x10000, KIND_RGB32, 0x10000, 0x4000, true))
        << "4 GiB of output";
    // Rows of 4 GiB and more: as 32-bit numbers they would wrap to strides of 0 or a few bytes.
    EXPECT_FALSE(PlanRawConversion(KIND_RGB32, 1, KIND_RGB32, 1, 1 << 30, true));
    EXPECT_FALSE(PlanRawConversion(KIND_RGB24, 1, KIND_RGB32, 1, 0x5C7E4A56, true));
    EXPECT_FALSE(PlanRawConversion(KIND_YUY2, 2, KIND_YUY2, 2, INT32_MAX, true));
    auto big = PlanRawConversion(KIND_RGB24, -0x8000, KIND_RGB32, 0x8000, 0x7FFF, true);
    ASSERT_TRUE(big);
    EXPECT_EQ(big->outputBytes, 0x8000u * 0x7FFF * 4);

    // A row alone past 32 bits is refused: its stride would wrap to nothing.
    struct Wide {
        PixelKind source, output;
        int32_t width;
        bool padded;
    } wide[] = {
        {KIND_YUY2, KIND_RGB32, 1 << 30, true},       {KIND_YUY2, KIND_RGB32, 1 << 30, false},
        {KIND_UYVY, KIND_RGB32, INT32_MAX, true},     {KIND_RGB32, KIND_RGB32, 1 << 30, true},
        {KIND_RGB24, KIND_RGB32, 1 << 30, false},     {KIND_YUY2, KIND_RGB24, 1431655766, true},
        {KIND_YUY2, KIND_YUY2, INT32_MAX, true},      {KIND_UYVY, KIND_YUY2, INT32_MAX, false},
        {KIND_Y800, KIND_RGB32, 1 << 30, false},      {KIND_Y800, KIND_RGB24, 1431655766, false},
        {KIND_NV12, KIND_RGB32, 1 << 30, false},      {KIND_I420, KIND_RGB24, 1431655766, true},
        {KIND_YV12, KIND_YUY2, INT32_MAX - 1, false}, {KIND_NV12, KIND_NV12, INT32_MAX - 1, true},
        {KIND_V210, KIND_RGB32, 1 << 30, true},       {KIND_V210, KIND_V210, 0x7FFFFFFE, true},
        {KIND_P010, KIND_RGB32, 1 << 30, false},      {KIND_P010, KIND_P010, INT32_MAX - 1, true},
        {KIND_P010, KIND_YUY2, 1 << 30, true},
    };
    for (const Wide& w : wide)
        for (int32_t rows : {1, -1, 2})
            EXPECT_FALSE(PlanRawConversion(w.source, rows, w.output, rows, w.width, w.padded))
                << w.source << " as " << w.output << ", width " << w.width << ", rows " << rows;
    // The widest row that fits.
    auto widest = PlanRawConversion(KIND_YUY2, 1, KIND_RGB32, -1, (1 << 30) - 1, true);
    ASSERT_TRUE(widest);
    EXPECT_EQ(widest->dstStride, 0xFFFFFFFCu);
    EXPECT_EQ(widest->outputBytes, 0xFFFFFFFCu);
    EXPECT_EQ(widest->storedBytes, 0x80000000u);
}

} // namespace
} // namespace kestro
