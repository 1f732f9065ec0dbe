// The planar kinds and RGB32 as a source: each planar pixel converts as the YUY2 pixel of its
// 2x2 block's chroma does, at every level, and no level reads past any plane's row.
#include "pure/PixelRepack.h"
#include "pure/RawConversions.h"
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

const repack_detail::RepackKernels& KernelsAt(KernelLevel level) {
    switch (level) {
    case KernelLevel::Sse2:
        return repack_detail::kSse2Kernels;
    case KernelLevel::Ssse3:
        return repack_detail::kSsse3Kernels;
    case KernelLevel::Avx2:
        return repack_detail::kAvx2Kernels;
    case KernelLevel::Avx512:
        return repack_detail::kAvx512Kernels;
    default:
        return repack_detail::kScalarKernels;
    }
}

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

// A 4:2:0 picture as three separate planes.
struct Picture {
    uint32_t w, h;
    std::vector<uint8_t> y, u, v;
};

Picture RandomPicture(uint32_t w, uint32_t h, std::mt19937& rng) {
    Picture p{w, h, std::vector<uint8_t>(size_t{w} * h), std::vector<uint8_t>(size_t{w} * h / 4),
              std::vector<uint8_t>(size_t{w} * h / 4)};
    for (auto* plane : {&p.y, &p.u, &p.v})
        std::generate(plane->begin(), plane->end(), [&] { return uint8_t(rng()); });
    return p;
}

// The picture's bytes as the kind stores them, written out from the kind's fourcc rather than
// from its plane description, so that a wrong description fails here. P010 stores each byte b as
// a 16-bit sample b << 8 with noise below it, and the picture becomes what its rule makes of that:
// min(255, (v + 2) >> 2) of the high 10 bits v, so that the rounding, the clamp at 256 and the
// low 6 bits (which must change nothing) all come into play.
std::vector<uint8_t> StoredAs(PixelKind kind, Picture& p) {
    if (kind == KIND_P010) {
        std::vector<uint8_t> out;
        uint32_t noise = 0x9E3779B9;
        for (auto* plane : {&p.y, &p.u}) {
            for (size_t i = 0; i < plane->size(); ++i) {
                for (std::vector<uint8_t>* s : {plane, plane == &p.u ? &p.v : nullptr}) {
                    if (!s)
                        continue;
                    noise = noise * 1664525 + 1013904223;
                    const uint32_t sample = uint32_t((*s)[i]) << 8 | noise >> 24;
                    out.insert(out.end(), {uint8_t(sample), uint8_t(sample >> 8)});
                    (*s)[i] = uint8_t(std::min(255u, ((sample >> 6) + 2) >> 2));
                }
            }
        }
        return out;
    }
    std::vector<uint8_t> out = p.y;
    if (kind == KIND_NV12) {
        for (size_t i = 0; i < p.u.size(); ++i)
            out.insert(out.end(), {p.u[i], p.v[i]});
    } else {
        const bool vFirst = kind == KIND_YV12;
        out.insert(out.end(), vFirst ? p.v.begin() : p.u.begin(), vFirst ? p.v.end() : p.u.end());
        out.insert(out.end(), vFirst ? p.u.begin() : p.v.begin(), vFirst ? p.u.end() : p.v.end());
    }
    return out;
}

// The same pixels as YUY2, each row with the chroma row of its blocks, rows reversed on request.
std::vector<uint8_t> AsYuy2(const Picture& p, bool reverse) {
    std::vector<uint8_t> out;
    for (uint32_t j = 0; j < p.h; ++j) {
        const uint32_t r = reverse ? p.h - 1 - j : j;
        for (uint32_t k = 0; k < p.w / 2; ++k) {
            const size_t c = size_t{r / 2} * (p.w / 2) + k;
            const size_t l = size_t{r} * p.w + 2 * k;
            out.insert(out.end(), {p.y[l], p.u[c], p.y[l + 1], p.v[c]});
        }
    }
    return out;
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
    const PixelKind output = OutputOf(op()).kind;
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
            Picture p = RandomPicture(w, h, rng);
            const std::vector<uint8_t> stored = StoredAs(SourceOf(op()).kind, p);
            const std::vector<uint8_t> yuy2 = AsYuy2(p, reverse);
            std::vector<uint8_t> expected(bpp * w * h, 0x5A), out(bpp * w * h, 0xCD);
            if (output == KIND_YUY2)
                expected = yuy2;
            else
                reference::ConvertPicture(ChooseRawOp(KIND_YUY2, output), yuy2.data(),
                                          expected.data(), w, h, false);
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
    const repack_detail::PlanarRowFn row = KernelsAt(level()).planarRows[size_t(op())];
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
            ConvertPicture(RawOp::Rgb32ToRgb24, src.data(), out.data(), 45, 2, reverse);
            EXPECT_EQ(out, reverse ? reversed : expected) << int(CurrentKernelLevel());
        }
    }
    SetKernelLevel(saved);
}

} // namespace
} // namespace kestro
