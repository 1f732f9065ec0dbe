// The planar kinds and RGB32 as a source: each planar pixel converts as the YUY2 pixel of its
// 2x2 block's chroma does, at every level, and no level reads past any plane's row.
#include "pure/PixelRepack.h"
#include "pure/RawConversions.h"
#include "ConversionOracle.h"
#include "PageEndBuffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <span>
#include <string>
#include <tuple>
#include <vector>

namespace kestro {
namespace {

const KernelLevel kLevels[] = {KernelLevel::Scalar, KernelLevel::Sse2, KernelLevel::Ssse3,
                               KernelLevel::Avx2, KernelLevel::Avx512};

// Every op of the table that reads a planar kind.
struct PlanarOps {
    RawOp list[kRawOpCount] = {};
    size_t count = 0;
    constexpr PlanarOps() {
        for (size_t i = 0; i < kRawOpCount; ++i)
            if (FromPlanes(RawOp(i)))
                list[count++] = RawOp(i);
    }
};
constexpr PlanarOps kPlanarOpTable;
constexpr std::span<const RawOp> kPlanarOps(kPlanarOpTable.list, kPlanarOpTable.count);

const PixelFormat& SourceOf(RawOp op) {
    return *FormatOf(RowOfOp(op)->source);
}
const PixelFormat& OutputOf(RawOp op) {
    return *FormatOf(RowOfOp(op)->output);
}

class PlanarTest : public ::testing::TestWithParam<std::tuple<size_t, KernelLevel>> {
protected:
    void SetUp() override {
        if (int(level()) > int(BestKernelLevel()))
            GTEST_SKIP() << "level not offered by this CPU";
        SetKernelLevel(level());
    }
    void TearDown() override { SetKernelLevel(saved_); }
    RawOp op() const { return kPlanarOps[std::get<0>(GetParam())]; }
    KernelLevel level() const { return std::get<1>(GetParam()); }

private:
    KernelLevel saved_ = CurrentKernelLevel();
};

// The rule of the 4:2:0 kinds: YUY2 output repeats each chroma row for both of its luma rows,
// and RGB output is what the YUY2 conversion makes of that YUY2 picture, byte for byte.
TEST_P(PlanarTest, ConvertsAsTheYuy2OfItsBlocks) {
    const PixelFormat& source = SourceOf(op());
    const size_t bpp = PixelBytes(OutputOf(op()));
    std::mt19937 rng(420);
    for (auto [w, h] : {std::pair{2u, 2u},
                        {4u, 2u},
                        {16u, 4u},
                        {34u, 6u},
                        {64u, 2u},
                        {66u, 4u},
                        {98u, 2u},
                        {722u, 2u},
                        {1918u, 2u},
                        {1920u, 4u}}) {
        for (bool reverse : {false, true}) {
            SCOPED_TRACE(::testing::Message() << w << "x" << h << " reverse=" << reverse);
            std::vector<uint8_t> stored(oracle::StoredBytes(source.kind, int32_t(w), int32_t(h)));
            std::generate(stored.begin(), stored.end(), [&] { return uint8_t(rng()); });
            const std::vector<uint8_t> expected =
                oracle::ExpectedPicture(op(), stored.data(), w, h, reverse);
            std::vector<uint8_t> out(bpp * w * h, 0xCD);
            ConvertPicture(op(), stored.data(), out.data(), w, h, reverse);
            ASSERT_EQ(out, expected);
        }
    }
}

// Each plane's row in a buffer of its own that ends at a page end, from even and odd addresses:
// the level's row reads nothing past any of them and matches the scalar row.
TEST_P(PlanarTest, EveryPlaneRowMayEndAtAPage) {
    const PlaneLayout planes = SourceOf(op()).planes;
    const size_t bpp = PixelBytes(OutputOf(op()));
    const repack_detail::PlanarRowFn row =
        repack_detail::KernelsAt(level()).planarRows[size_t(op())];
    const repack_detail::PlanarRowFn scalar =
        repack_detail::kScalarKernels.planarRows[size_t(op())];
    ASSERT_NE(row, nullptr);
    std::vector<uint32_t> widths;
    for (uint32_t w = 2; w <= 100; w += 2)
        widths.push_back(w);
    widths.insert(widths.end(), {640, 718, 1022, 1024, 1026, 1028, 1918, 1920, 2050});
    std::mt19937 rng(12);
    for (uint32_t w : widths) {
        for (size_t slack : {0, 1}) {
            SCOPED_TRACE(::testing::Message() << "width " << w << " slack " << slack);
            const size_t chroma = planes.count == 2 ? w : w / 2;
            const size_t bytes = planes.sampleBytes;
            PageEndBuffer luma(bytes * w + slack), first(bytes * chroma + slack),
                second(bytes * w / 2 + slack);
            PageEndBuffer out(bpp * w);
            for (PageEndBuffer* b : {&luma, &first, &second})
                std::generate_n(b->data(), b->Bytes().size(), [&] { return uint8_t(rng()); });
            repack_detail::PlaneRows rows{luma.data() + slack, first.data() + slack,
                                          second.data() + slack};
            if (planes.count == 2)
                rows.cr = rows.cb + bytes;
            std::vector<uint8_t> expected(bpp * w, 0x5A);
            scalar(rows, expected.data(), w);
            std::fill_n(out.data(), bpp * w, 0xCD);
            row(rows, out.data(), w);
            ASSERT_EQ(out.Bytes(), expected);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllLevels, PlanarTest,
                         ::testing::Combine(::testing::Range<size_t>(0, kPlanarOps.size()),
                                            ::testing::ValuesIn(kLevels)),
                         [](const ::testing::TestParamInfo<PlanarTest::ParamType>& info) {
                             const RawOp op = kPlanarOps[std::get<0>(info.param)];
                             return std::string(SourceOf(op).name) + "_as_" + OutputOf(op).name +
                                    "_" + std::to_string(int(std::get<1>(info.param)));
                         });

// Where each planar kind keeps its chroma, written out from its fourcc rather than from its
// plane description, so that a wrong description fails here and not only in what the oracle
// reads: a 4x2 picture of luma 1 to 8 and chroma 9 to 12, as the YUY2 rows of its pixels.
struct KnownPlanes {
    PixelKind kind;
    std::vector<uint8_t> stored, yuy2;
};
const KnownPlanes kKnownPlanes[] = {
    {KIND_NV12, // Cb Cr interleaved
     {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},
     {1, 9, 2, 10, 3, 11, 4, 12, 5, 9, 6, 10, 7, 11, 8, 12}},
    {KIND_I420, // the Cb plane, then Cr
     {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},
     {1, 9, 2, 11, 3, 10, 4, 12, 5, 9, 6, 11, 7, 10, 8, 12}},
    {KIND_YV12, // the Cr plane, then Cb
     {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},
     {1, 11, 2, 9, 3, 12, 4, 10, 5, 11, 6, 9, 7, 12, 8, 10}},
    {KIND_P010, // as NV12 in 16-bit little-endian samples, the value in the high 10 bits: the
                // low 6 bits change nothing, the two below the byte round (the last luma to 9)
     {0x3F, 1, 0x3F, 2, 0x3F, 3, 0x3F, 4,  0x3F, 5,  0x3F, 6,
      0x7F, 7, 0x80, 8, 0,    9, 0,    10, 0,    11, 0,    12},
     {1, 9, 2, 10, 3, 11, 4, 12, 5, 9, 6, 10, 7, 11, 9, 12}},
    {KIND_P210, // as P010, each row with a chroma row of its own
     {0x3F, 1, 0x3F, 2,  0, 3,  0, 4,  0, 5,  0, 6,  0x7F, 7,  0x80, 8,
      0,    9, 0,    10, 0, 11, 0, 12, 0, 13, 0, 14, 0,    15, 0,    16},
     {1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15, 9, 16}},
};

TEST(PlanarLayoutTest, EachKindKeepsItsChromaWhereItsFourccSays) {
    const KernelLevel saved = CurrentKernelLevel();
    for (const PixelFormat& f : kPixelFormats) {
        if (f.layout != Layout::Planar)
            continue;
        const KnownPlanes* known = nullptr;
        for (const KnownPlanes& k : kKnownPlanes)
            known = k.kind == f.kind ? &k : known;
        ASSERT_NE(known, nullptr) << f.name << " has no written-out planes here";
        const RawOp op = ChooseRawOp(f.kind, KIND_YUY2);
        EXPECT_EQ(oracle::ExpectedPicture(op, known->stored.data(), 4, 2, false), known->yuy2)
            << f.name << " as the oracle reads it";
        for (KernelLevel level : kLevels) {
            SetKernelLevel(level);
            std::vector<uint8_t> out(known->yuy2.size(), 0xCD);
            ConvertPicture(op, known->stored.data(), out.data(), 4, 2, false);
            EXPECT_EQ(out, known->yuy2) << f.name << " at " << int(CurrentKernelLevel());
        }
    }
    SetKernelLevel(saved);
}

// RGB32 played as RGB24 keeps blue, green and red and drops the fourth byte, at every level, in
// rows long enough for every level's step and its tail, in both row orders.
TEST(Rgb32Test, AsRgb24DropsTheFourthByte) {
    const KernelLevel saved = CurrentKernelLevel();
    std::vector<uint8_t> src, expected;
    for (uint32_t i = 0; i < 2 * 45; ++i) {
        const uint8_t b = uint8_t(i), g = uint8_t(100 + i), r = uint8_t(200 + i);
        src.insert(src.end(), {b, g, r, uint8_t(255 - i)});
        expected.insert(expected.end(), {b, g, r});
    }
    std::vector<uint8_t> reversed(expected.begin() + 3 * 45, expected.end());
    reversed.insert(reversed.end(), expected.begin(), expected.begin() + 3 * 45);
    for (KernelLevel level : kLevels) {
        SetKernelLevel(level);
        for (bool reverse : {false, true}) {
            std::vector<uint8_t> out(expected.size(), 0xCD);
            ConvertPicture(ChooseRawOp(KIND_RGB32, KIND_RGB24), src.data(), out.data(), 45, 2,
                           reverse);
            EXPECT_EQ(out, reverse ? reversed : expected) << int(CurrentKernelLevel());
        }
    }
    SetKernelLevel(saved);
}

} // namespace
} // namespace kestro
