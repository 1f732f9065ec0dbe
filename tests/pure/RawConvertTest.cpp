// Raw frames delivered in either row order, with padded and unpadded rows, against a picture
// built row by row from the stored one and turned over independently.
#include "pure/RawConvert.h"
#include "pure/PixelRepack.h"
#include "pure/RawConversions.h"
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

struct Pair {
    const char* name;
    PixelKind source, output;
};

const Pair kPairs[] = {
    {"Yuy2AsYuy2", KIND_YUY2, KIND_YUY2},     {"UyvyAsUyvy", KIND_UYVY, KIND_UYVY},
    {"UyvyAsYuy2", KIND_UYVY, KIND_YUY2},     {"Yuy2AsRgb24", KIND_YUY2, KIND_RGB24},
    {"Yuy2AsRgb32", KIND_YUY2, KIND_RGB32},   {"UyvyAsRgb24", KIND_UYVY, KIND_RGB24},
    {"UyvyAsRgb32", KIND_UYVY, KIND_RGB32},   {"Rgb24AsRgb24", KIND_RGB24, KIND_RGB24},
    {"Rgb24AsRgb32", KIND_RGB24, KIND_RGB32}, {"Rgb32AsRgb32", KIND_RGB32, KIND_RGB32},
    {"YvyuAsYvyu", KIND_YVYU, KIND_YVYU},     {"YvyuAsYuy2", KIND_YVYU, KIND_YUY2},
    {"YvyuAsRgb24", KIND_YVYU, KIND_RGB24},   {"YvyuAsRgb32", KIND_YVYU, KIND_RGB32},
    {"HdycAsHdyc", KIND_HDYC, KIND_HDYC},     {"HdycAsYuy2", KIND_HDYC, KIND_YUY2},
    {"HdycAsRgb24", KIND_HDYC, KIND_RGB24},   {"HdycAsRgb32", KIND_HDYC, KIND_RGB32},
    {"Y800AsY800", KIND_Y800, KIND_Y800},     {"Y800AsYuy2", KIND_Y800, KIND_YUY2},
    {"Y800AsRgb24", KIND_Y800, KIND_RGB24},   {"Y800AsRgb32", KIND_Y800, KIND_RGB32},
    {"Rgb32AsRgb24", KIND_RGB32, KIND_RGB24}, {"Nv12AsNv12", KIND_NV12, KIND_NV12},
    {"Nv12AsYuy2", KIND_NV12, KIND_YUY2},     {"Nv12AsRgb24", KIND_NV12, KIND_RGB24},
    {"Nv12AsRgb32", KIND_NV12, KIND_RGB32},   {"I420AsI420", KIND_I420, KIND_I420},
    {"I420AsYuy2", KIND_I420, KIND_YUY2},     {"I420AsRgb24", KIND_I420, KIND_RGB24},
    {"I420AsRgb32", KIND_I420, KIND_RGB32},   {"Yv12AsYv12", KIND_YV12, KIND_YV12},
    {"Yv12AsYuy2", KIND_YV12, KIND_YUY2},     {"Yv12AsRgb24", KIND_YV12, KIND_RGB24},
    {"Yv12AsRgb32", KIND_YV12, KIND_RGB32},   {"V210AsV210", KIND_V210, KIND_V210},
    {"V210AsYuy2", KIND_V210, KIND_YUY2},     {"V210AsRgb24", KIND_V210, KIND_RGB24},
    {"V210AsRgb32", KIND_V210, KIND_RGB32},   {"P010AsP010", KIND_P010, KIND_P010},
    {"P010AsYuy2", KIND_P010, KIND_YUY2},     {"P010AsRgb24", KIND_P010, KIND_RGB24},
    {"P010AsRgb32", KIND_P010, KIND_RGB32},
};

bool IsPlanar(PixelKind kind) {
    return kind == KIND_NV12 || kind == KIND_I420 || kind == KIND_YV12 || kind == KIND_P010;
}

// A 4:2:0 picture (top row first, even sides) as the YUY2 picture of the same pixels: each row
// with the chroma row of its blocks, read from where the kind puts its U and V.
Bytes PlanarAsYuy2(PixelKind kind, const uint8_t* stored, uint32_t width, uint32_t rows) {
    const size_t luma = size_t(width) * rows, quarter = luma / 4;
    if (kind == KIND_P010) { // NV12 of 16-bit samples: the high 10 bits of each, rounded to 8
        Bytes nv12(luma + 2 * quarter);
        for (size_t i = 0; i < nv12.size(); ++i)
            nv12[i] =
                uint8_t(std::min(255, ((stored[2 * i] | stored[2 * i + 1] << 8) / 64 + 2) / 4));
        return PlanarAsYuy2(KIND_NV12, nv12.data(), width, rows);
    }
    Bytes out;
    for (uint32_t j = 0; j < rows; ++j)
        for (uint32_t k = 0; k < width / 2; ++k) {
            const size_t c = size_t(j / 2) * (width / 2) + k;
            const uint8_t* y = stored + size_t(j) * width + 2 * k;
            const uint8_t u = kind == KIND_NV12   ? stored[luma + 2 * c]
                              : kind == KIND_I420 ? stored[luma + c]
                                                  : stored[luma + quarter + c];
            const uint8_t v = kind == KIND_NV12   ? stored[luma + 2 * c + 1]
                              : kind == KIND_I420 ? stored[luma + quarter + c]
                                                  : stored[luma + c];
            out.insert(out.end(), {y[0], u, y[1], v});
        }
    return out;
}

uint32_t PixelBytes(PixelKind kind) {
    return kind == KIND_RGB24 ? 3 : kind == KIND_RGB32 ? 4 : kind == KIND_Y800 ? 1 : 2;
}
// Bytes of one unpadded row: a 10-bit row is whole blocks of 48 pixels in 128 bytes.
uint32_t RowBytes(PixelKind kind, uint32_t width) {
    return kind == KIND_V210 ? (width + 47) / 48 * 128 : width * PixelBytes(kind);
}
uint32_t Padded(uint32_t bytes) {
    return (bytes + 3) / 4 * 4;
}
bool IsYuv(PixelKind kind) {
    return kind == KIND_YUY2 || kind == KIND_UYVY || kind == KIND_YVYU || kind == KIND_HDYC ||
           kind == KIND_Y800 || kind == KIND_V210 || IsPlanar(kind);
}

// One row of the output kind from one row of the stored kind, written out per byte.
Bytes ConvertRow(Pair p, const uint8_t* row, uint32_t width) {
    Bytes out(RowBytes(p.output, width));
    Bytes yuy2;
    if (p.source == KIND_V210 && p.output != KIND_V210) {
        // The samples in word order, from bit 0 up, are Cb Y Cr Y ...: UYVY's order, at 10 bits.
        // Each is rounded to 8 bits (1022 and 1023 stay 255), then the bytes are made YUY2's.
        Bytes uyvy;
        for (uint32_t i = 0; uyvy.size() < 2 * size_t(width); ++i) {
            uint32_t word;
            std::memcpy(&word, row + 4 * (i / 3), 4);
            const uint32_t v = (word >> (10 * (i % 3))) & 1023;
            uyvy.push_back(uint8_t(std::min(255u, (v + 2) / 4)));
        }
        for (size_t i = 0; i < uyvy.size(); i += 2)
            yuy2.insert(yuy2.end(), {uyvy[i + 1], uyvy[i]});
        row = yuy2.data();
        p.source = KIND_YUY2;
    }
    if (p.source == KIND_YVYU && p.output != KIND_YVYU) { // Y0 V Y1 U: exchange the chroma bytes
        yuy2.assign(row, row + size_t(width) * 2);
        for (size_t i = 0; i + 3 < yuy2.size(); i += 4)
            std::swap(yuy2[i + 1], yuy2[i + 3]);
        row = yuy2.data();
        p.source = KIND_YUY2;
    }
    if (p.source == KIND_Y800 && p.output != KIND_Y800) { // the YUY2 picture of Cb = Cr = 0
        for (uint32_t x = 0; x < width; ++x)
            yuy2.insert(yuy2.end(), {row[x], 128});
        row = yuy2.data();
        p.source = KIND_YUY2;
    }
    if (p.source == p.output) {
        std::memcpy(out.data(), row, out.size());
    } else if (p.output == KIND_YUY2 && (p.source == KIND_UYVY || p.source == KIND_HDYC)) {
        for (size_t i = 0; i + 1 < out.size(); i += 2) {
            out[i] = row[i + 1];
            out[i + 1] = row[i];
        }
    } else if (p.source == KIND_RGB32) {
        for (uint32_t x = 0; x < width; ++x)
            std::memcpy(&out[3 * x], row + 4 * x, 3);
    } else if (p.source == KIND_RGB24) {
        for (uint32_t x = 0; x < width; ++x) {
            std::memcpy(&out[4 * x], row + 3 * x, 3);
            out[4 * x + 3] = 0;
        }
    } else {
        if (p.source == KIND_HDYC) { // its own matrix: the scalar rows, which MatrixTest checks
            reference::ConvertRow(p.output == KIND_RGB24 ? RawOp::HdycToRgb24 : RawOp::HdycToRgb32,
                                  row, out.data(), width);
            return out;
        }
        using Row = void (*)(const uint8_t*, uint8_t*, uint32_t);
        const bool uyvy = p.source == KIND_UYVY;
        Row convert = p.output == KIND_RGB24
                          ? (uyvy ? reference::UyvyToRgb24Row : reference::Yuy2ToRgb24Row)
                          : (uyvy ? reference::UyvyToRgb32Row : reference::Yuy2ToRgb32Row);
        convert(row, out.data(), width);
    }
    return out;
}

// The stored rows listed top row first: 4:2:2 frames always lie that way, RGB ones bottom row
// first unless their height is negative.
std::vector<const uint8_t*> TopFirst(PixelKind kind, int32_t height, const uint8_t* stored,
                                     uint32_t stride) {
    const uint32_t rows = uint32_t(height < 0 ? -height : height);
    std::vector<const uint8_t*> list;
    for (uint32_t i = 0; i < rows; ++i) {
        const bool bottomFirst = !IsYuv(kind) && height > 0;
        list.push_back(stored + size_t(bottomFirst ? rows - 1 - i : i) * stride);
    }
    return list;
}

Bytes Expected(Pair p, const Bytes& stored, uint32_t width, int32_t streamHeight,
               int32_t outputHeight, bool padded) {
    const uint32_t picture = uint32_t(streamHeight < 0 ? -streamHeight : streamHeight);
    if (IsPlanar(p.source) && p.output == p.source)
        return stored; // the planes as they lie, whatever the host's row padding
    Bytes yuy2;
    if (IsPlanar(p.source)) { // then the rule of the YUY2 picture of the same pixels
        yuy2 = PlanarAsYuy2(p.source, stored.data(), width, picture);
        p.source = KIND_YUY2;
    }
    const Bytes& source = yuy2.empty() ? stored : yuy2;
    // The kinds of the first releases lie in bitmap rows; the newer ones unpadded.
    const bool bitmapRows = yuy2.empty() && (p.source == KIND_YUY2 || p.source == KIND_UYVY ||
                                             p.source == KIND_RGB24 || p.source == KIND_RGB32);
    const uint32_t srcStride =
        bitmapRows ? Padded(width * PixelBytes(p.source)) : RowBytes(p.source, width);
    const uint32_t rowBytes = RowBytes(p.output, width);
    const uint32_t dstStride = padded ? Padded(rowBytes) : rowBytes;
    auto top = TopFirst(p.source, streamHeight, source.data(), srcStride);
    const uint32_t rows = uint32_t(top.size());
    Bytes out(size_t(dstStride) * rows, 0);
    for (uint32_t i = 0; i < rows; ++i) {
        const bool bottomFirst = !IsYuv(p.output) && outputHeight > 0;
        const uint32_t at = bottomFirst ? rows - 1 - i : i;
        Bytes row = ConvertRow(p, top[i], width);
        std::memcpy(out.data() + size_t(at) * dstStride, row.data(), row.size());
    }
    return out;
}

// Bytes of the output rows' padding are the stored padding in a straight copy and zero otherwise;
// compare the picture bytes, and the padding only where it is defined as zero.
void ComparePictures(const Bytes& actual, const Bytes& expected, const RawConversion& plan) {
    for (uint32_t j = 0; j < plan.rows; ++j) {
        const size_t at = size_t(j) * plan.dstStride;
        const size_t n = IsStraightCopy(plan) ? plan.dstRowBytes : plan.dstStride;
        ASSERT_EQ(0, std::memcmp(actual.data() + at, expected.data() + at, n)) << "row " << j;
    }
}

TEST(RawConvert, EveryPairEitherRowOrderPaddedOrNot) {
    // A delivered pair of the conversion table without a row here would go unchecked.
    for (const RawConversionRow& r : kRawConversions) {
        if (r.op == RawOp::Refuse)
            continue;
        bool listed = false;
        for (const Pair& p : kPairs)
            listed = listed || (p.source == r.source && p.output == r.output);
        EXPECT_TRUE(listed) << r.source << " as " << r.output;
    }
    std::mt19937 rng(77);
    for (const Pair& p : kPairs) {
        for (uint32_t width : {2u, 6u, 8u, 10u, 36u, 130u}) {
            for (int32_t streamSign : {1, -1}) {
                for (int32_t outputSign : {1, -1}) {
                    for (bool padded : {true, false}) {
                        const uint32_t rows = IsPlanar(p.source) ? 4 : 5;
                        SCOPED_TRACE(::testing::Message()
                                     << p.name << " width " << width << " stream " << streamSign
                                     << " output " << outputSign << " padded " << padded);
                        auto plan =
                            PlanRawConversion(p.source, streamSign * int32_t(rows), p.output,
                                              outputSign * int32_t(rows), int32_t(width), padded);
                        ASSERT_TRUE(plan);
                        PageEndBuffer stored(plan->storedBytes), out(plan->outputBytes);
                        std::generate_n(stored.data(), plan->storedBytes,
                                        [&] { return uint8_t(rng()); });
                        std::memset(out.data(), 0xEE, plan->outputBytes);
                        ApplyRawConversion(*plan, stored.data(), out.data());
                        Bytes expected = Expected(p, stored.Bytes(), width, streamSign * int(rows),
                                                  outputSign * int(rows), padded);
                        ASSERT_EQ(expected.size(), plan->outputBytes);
                        ComparePictures(out.Bytes(), expected, *plan);
                        if (IsPlanar(p.source) && p.output == p.source) {
                            ASSERT_EQ(out.Bytes(), expected) << "every plane, not only luma rows";
                        }
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
        {KIND_YUY2, KIND_RGB32, 1 << 30, true},       {KIND_YUY2, KIND_RGB32, 1 << 30, false},
        {KIND_UYVY, KIND_RGB32, INT32_MAX, true},     {KIND_RGB32, KIND_RGB32, 1 << 30, true},
        {KIND_RGB24, KIND_RGB32, 1 << 30, false},     {KIND_YUY2, KIND_RGB24, 1431655766, true},
        {KIND_YUY2, KIND_YUY2, INT32_MAX, true},      {KIND_UYVY, KIND_YUY2, INT32_MAX, false},
        {KIND_Y800, KIND_RGB32, 1 << 30, false},      {KIND_Y800, KIND_RGB24, 1431655766, false},
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
