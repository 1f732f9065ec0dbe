#include "pure/PixelRepack.h"
#include "pure/RawConversions.h"
#include "ConversionOracle.h"
#include "PageEndBuffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <ostream>
#include <random>
#include <span>
#include <string>
#include <tuple>
#include <vector>

namespace kestro {

// Readable parameter names in failure messages.
void PrintTo(KernelLevel level, std::ostream* os) {
    *os << static_cast<int>(level);
}

namespace {

// Every conversion of a packed 4:2:2 kind to RGB that the table delivers, with the order its
// source bytes lie in: a new kind's rows are tested here without a line of their own.
struct Converter {
    RawOp op;
    PackedOrder order;
    size_t bpp;
    Matrix matrix;
    std::string name() const {
        const RawConversionRow& row = *RowOfOp(op);
        return std::string(FormatOf(row.source)->name) + "_as_" + FormatOf(row.output)->name;
    }
    void convert(const uint8_t* src, uint8_t* dst, uint32_t w, uint32_t h, bool bottomUp) const {
        ConvertPicture(op, src, dst, w, h, bottomUp);
    }
    std::vector<uint8_t> expected(const std::vector<uint8_t>& src, uint32_t w, uint32_t h,
                                  bool bottomUp) const {
        return oracle::ExpectedPicture(op, src.data(), w, h, bottomUp);
    }
};

struct Converters {
    Converter list[kRawOpCount] = {};
    size_t count = 0;
    constexpr Converters() {
        for (size_t i = 0; i < kRawOpCount; ++i)
            if (FamilyOf(RawOp(i)) == KernelFamily::Packed422ToRgb)
                list[count++] = {RawOp(i), SourceOrder(RawOp(i)), OutputPixelBytes(RawOp(i)),
                                 SourceMatrix(RawOp(i))};
    }
};
constexpr Converters kConverterTable;
constexpr std::span<const Converter> kConverters(kConverterTable.list, kConverterTable.count);

const KernelLevel kLevels[] = {KernelLevel::Scalar, KernelLevel::Sse2, KernelLevel::Ssse3,
                               KernelLevel::Avx2, KernelLevel::Avx512};

std::string LevelName(KernelLevel level) {
    switch (level) {
    case KernelLevel::Scalar:
        return "Scalar";
    case KernelLevel::Sse2:
        return "Sse2";
    case KernelLevel::Ssse3:
        return "Ssse3";
    case KernelLevel::Avx2:
        return "Avx2";
    default:
        return "Avx512";
    }
}

using oracle::InOrder;

// Index of the first differing byte, or -1.
long FirstDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    const auto m = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    return m.first == a.end() && m.second == b.end() ? -1 : static_cast<long>(m.first - a.begin());
}

class AtLevel {
protected:
    void Enter(KernelLevel level) {
        if (static_cast<int>(level) > static_cast<int>(BestKernelLevel())) {
            GTEST_SKIP() << LevelName(level) << " not offered by this CPU";
        }
        SetKernelLevel(level);
        ASSERT_EQ(CurrentKernelLevel(), level);
    }
    void Leave() { SetKernelLevel(saved_); }

private:
    KernelLevel saved_ = CurrentKernelLevel();
};

class ConverterTest : public AtLevel,
                      public ::testing::TestWithParam<std::tuple<size_t, KernelLevel>> {
protected:
    void SetUp() override { Enter(std::get<1>(GetParam())); }
    void TearDown() override { Leave(); }
    const Converter& conv() const { return kConverters[std::get<0>(GetParam())]; }

    // Converts through page-end buffers; the output starts filled with `fill`. The source ends
    // at the page end and starts `slack` bytes into its buffer (odd addresses for odd slack).
    std::vector<uint8_t> Run(const std::vector<uint8_t>& src, uint32_t w, uint32_t h,
                             bool bottomUp = true, uint8_t fill = 0xCD, size_t slack = 0) {
        PageEndBuffer in(src.size() + slack), out(conv().bpp * w * h);
        std::copy(src.begin(), src.end(), in.data() + slack);
        std::fill_n(out.data(), conv().bpp * w * h, fill);
        conv().convert(in.data() + slack, out.data(), w, h, bottomUp);
        return out.Bytes();
    }

    // One expected pixel repeated over the whole picture, fourth byte zero in 32-bit output.
    std::vector<uint8_t> Uniform(std::array<uint8_t, 3> bgr, size_t pixels) const {
        std::vector<uint8_t> out;
        for (size_t i = 0; i < pixels; ++i) {
            out.insert(out.end(), bgr.begin(), bgr.end());
            if (conv().bpp == 4) {
                out.push_back(0);
            }
        }
        return out;
    }
};

TEST_P(ConverterTest, MatchesReferenceForEveryShape) {
    std::vector<std::pair<uint32_t, uint32_t>> shapes;
    for (uint32_t w = 1; w <= 64; ++w) {
        for (uint32_t h : {1u, 2u, 3u}) {
            shapes.emplace_back(w, h);
        }
    }
    for (auto big : {std::pair{720u, 3u}, {719u, 2u}, {1920u, 2u}, {1918u, 1u}, {1926u, 2u}}) {
        shapes.push_back(big);
    }
    std::mt19937 rng(1234);
    for (auto [w, h] : shapes) {
        for (bool bottomUp : {true, false}) {
            for (size_t slack : {0, 1}) {
                SCOPED_TRACE(::testing::Message()
                             << w << "x" << h << " bottomUp=" << bottomUp << " slack " << slack);
                std::vector<uint8_t> src(size_t{2} * w * h);
                std::generate(src.begin(), src.end(), [&] { return static_cast<uint8_t>(rng()); });
                const std::vector<uint8_t> expected = conv().expected(src, w, h, bottomUp);
                ASSERT_EQ(FirstDifference(Run(src, w, h, bottomUp, 0xCD, slack), expected), -1);
            }
        }
    }
}

struct UniformCase {
    const char* name;
    std::array<uint8_t, 4> yuy2Pair;
    std::array<uint8_t, 3> bgr, bgr709; // by the BT.601 and the BT.709 factors
};

TEST_P(ConverterTest, UniformPicturesGiveKnownColours) {
    const UniformCase cases[] = {
        {"black", {16, 128, 16, 128}, {0, 0, 0}, {0, 0, 0}},
        {"white", {235, 128, 235, 128}, {255, 255, 255}, {255, 255, 255}},
        {"all zero", {0, 0, 0, 0}, {0, 136, 0}, {0, 77, 0}},
        {"all 255", {255, 255, 255, 255}, {255, 125, 255}, {255, 184, 255}},
    };
    for (const UniformCase& c : cases) {
        for (uint32_t w : {2u, 40u, 48u}) {
            SCOPED_TRACE(::testing::Message() << c.name << " width " << w);
            std::vector<uint8_t> src;
            for (uint32_t k = 0; k < w; ++k) { // two rows of w/2 pairs
                src.insert(src.end(), c.yuy2Pair.begin(), c.yuy2Pair.end());
            }
            EXPECT_EQ(Run(InOrder(src, conv().order), w, 2),
                      Uniform(conv().matrix == Matrix::Bt709 ? c.bgr709 : c.bgr, 2 * w));
        }
    }
}

TEST_P(ConverterTest, RowOrderFollowsBottomUp) {
    const uint32_t w = 24;
    std::vector<uint8_t> src;
    for (uint32_t k = 0; k < w; ++k) {
        const bool firstRow = k < w / 2;
        const uint8_t y = firstRow ? 16 : 235;
        src.insert(src.end(), {y, 128, y, 128});
    }
    src = InOrder(src, conv().order);
    std::vector<uint8_t> blackThenWhite = Uniform({0, 0, 0}, w);
    const std::vector<uint8_t> white = Uniform({255, 255, 255}, w);
    std::vector<uint8_t> whiteThenBlack = white;
    whiteThenBlack.insert(whiteThenBlack.end(), blackThenWhite.begin(), blackThenWhite.end());
    blackThenWhite.insert(blackThenWhite.end(), white.begin(), white.end());
    EXPECT_EQ(Run(src, w, 2, true), whiteThenBlack);
    EXPECT_EQ(Run(src, w, 2, false), blackThenWhite);
}

// Y=128 throughout; neutral chroma except the last pair, U=160. With 14-bit fixed point:
// Cb 0 -> 130,130,130; Cb 32 (mean with the next pair) -> 163,124,130; Cb 64 -> 195,118,130
// (BT.709: 164,127,130 and 198,124,130).
TEST_P(ConverterTest, LastPairAndLonePixelUseTheLastChroma) {
    const bool hd = conv().matrix == Matrix::Bt709;
    const std::array<uint8_t, 3> neutral{130, 130, 130};
    const std::array<uint8_t, 3> mean =
        hd ? std::array<uint8_t, 3>{164, 127, 130} : std::array<uint8_t, 3>{163, 124, 130};
    const std::array<uint8_t, 3> own =
        hd ? std::array<uint8_t, 3>{198, 124, 130} : std::array<uint8_t, 3>{195, 118, 130};
    for (uint32_t w : {4u, 5u, 16u, 17u, 40u, 41u}) {
        SCOPED_TRACE(::testing::Message() << "width " << w);
        std::vector<uint8_t> src;
        for (uint32_t k = 0; k < w / 2; ++k) {
            src.insert(src.end(),
                       {128, static_cast<uint8_t>(k + 1 == w / 2 ? 160 : 128), 128, 128});
        }
        if (w & 1) {
            src.insert(src.end(), {128, 0}); // the lone pixel's U slot is ignored
        }
        std::vector<uint8_t> expected = Uniform(neutral, w - 3 - (w & 1));
        for (auto px : {mean, own, own}) {
            const auto one = Uniform(px, 1);
            expected.insert(expected.end(), one.begin(), one.end());
        }
        if (w & 1) {
            const auto one = Uniform(own, 1);
            expected.insert(expected.end(), one.begin(), one.end());
        }
        EXPECT_EQ(Run(InOrder(src, conv().order), w, 1), expected);
    }
    // A single pixel has no chroma at all: it is grey.
    EXPECT_EQ(Run(InOrder({128, 0}, conv().order), 1, 1), Uniform(neutral, 1));
}

TEST_P(ConverterTest, EmptyPictureWritesNothing) {
    std::vector<uint8_t> src(64, 77), dst(256, 0xEE);
    conv().convert(src.data(), dst.data(), 0, 4, true);
    conv().convert(src.data(), dst.data(), 8, 0, true);
    EXPECT_EQ(dst, std::vector<uint8_t>(256, 0xEE));
}

INSTANTIATE_TEST_SUITE_P(AllLevels, ConverterTest,
                         ::testing::Combine(::testing::Range<size_t>(0, std::size(kConverters)),
                                            ::testing::ValuesIn(kLevels)),
                         [](const ::testing::TestParamInfo<ConverterTest::ParamType>& info) {
                             return kConverters[std::get<0>(info.param)].name() + "_" +
                                    LevelName(std::get<1>(info.param));
                         });

// Every converting op of the table at every level, whatever its kinds: against the scalar rows
// for every width class, at the page end, from odd addresses, in both row orders.
class EveryConversionTest : public AtLevel,
                            public ::testing::TestWithParam<std::tuple<size_t, KernelLevel>> {
protected:
    void SetUp() override {
        if (!Converts(op()))
            GTEST_SKIP() << "not a converting op";
        Enter(std::get<1>(GetParam()));
    }
    void TearDown() override { Leave(); }
    RawOp op() const { return RawOp(std::get<0>(GetParam())); }
};

TEST_P(EveryConversionTest, MatchesTheScalarRowsAtPageEnds) {
    const auto in = [&](uint32_t w) { return size_t(SourceRowBytes(op(), w)); };
    const size_t out = OutputPixelBytes(op());
    const PixelFormat& source = *FormatOf(RowOfOp(op())->source);
    std::vector<std::pair<uint32_t, uint32_t>> shapes;
    for (uint32_t w = 1; w <= 70; ++w)
        for (uint32_t h : {1u, 2u, 3u})
            shapes.emplace_back(w, h);
    // 485, 487 and 966 end a row a few pixels after a 480-pixel block of the 10-bit rows.
    for (auto big : {std::pair{720u, 3u},
                     {719u, 2u},
                     {1920u, 2u},
                     {1918u, 1u},
                     {1926u, 2u},
                     {485u, 2u},
                     {487u, 1u},
                     {966u, 1u}})
        shapes.push_back(big);
    std::mt19937 rng(4321);
    for (auto [w, h] : shapes) {
        if (FromPlanes(op()) && (w % 2 || h % 2))
            continue; // no picture of whole 2x2 blocks
        for (bool reverse : {true, false}) {
            for (size_t slack : {0, 1, 3}) {
                SCOPED_TRACE(::testing::Message()
                             << w << "x" << h << " reverse=" << reverse << " slack " << slack);
                // A planar kind's picture is all of its planes, the last one ending the page.
                const size_t bytes =
                    FromPlanes(op()) ? size_t(PictureBytesOf(source, w, h)) : in(w)*h;
                PageEndBuffer src(bytes + slack), dst(out * w * h);
                std::generate_n(src.data(), bytes + slack,
                                [&] { return static_cast<uint8_t>(rng()); });
                std::fill_n(dst.data(), out * w * h, 0xCD);
                const std::vector<uint8_t> expected =
                    oracle::ExpectedPicture(op(), src.data() + slack, w, h, reverse);
                ConvertPicture(op(), src.data() + slack, dst.data(), w, h, reverse);
                ASSERT_EQ(FirstDifference(dst.Bytes(), expected), -1);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllLevels, EveryConversionTest,
                         ::testing::Combine(::testing::Range<size_t>(kFirstConversion, kRawOpCount),
                                            ::testing::ValuesIn(kLevels)),
                         [](const ::testing::TestParamInfo<EveryConversionTest::ParamType>& info) {
                             const RawOp op = RawOp(std::get<0>(info.param));
                             const RawConversionRow* row = RowOfOp(op);
                             const std::string name =
                                 row && Converts(op) ? std::string(FormatOf(row->source)->name) +
                                                           "_as_" + FormatOf(row->output)->name
                                                     : "op" + std::to_string(int(op));
                             return name + "_" + LevelName(std::get<1>(info.param));
                         });

// Restores the kernel level however the test ends.
struct LevelGuard {
    KernelLevel saved = CurrentKernelLevel();
    ~LevelGuard() { SetKernelLevel(saved); }
};

// Every (Y, U, V) of a left pixel: one row per luma value whose pairs run through all 65536 chroma
// pairs, in a scrambled order so that the right pixels meet a wide spread of chroma sums.
TEST(ExhaustiveTest, EveryLeftPixelInputMatchesTheReference) {
    std::vector<KernelLevel> levels;
    for (KernelLevel level :
         {KernelLevel::Sse2, KernelLevel::Ssse3, KernelLevel::Avx2, KernelLevel::Avx512}) {
        if (static_cast<int>(level) <= static_cast<int>(BestKernelLevel())) {
            levels.push_back(level);
        }
    }
    if (levels.empty()) {
        GTEST_SKIP() << "no SIMD level on this CPU";
    }
    LevelGuard guard;
    constexpr uint32_t kPairs = 65536, kWidth = 2 * kPairs;
    std::mt19937 rng(2024);
    std::vector<uint8_t> yuy2(2 * kWidth), expected, actual;
    for (uint32_t luma = 0; luma < 256; ++luma) {
        const uint32_t step = rng() | 1, start = rng();
        for (uint32_t k = 0; k < kPairs; ++k) {
            const uint32_t chroma = (start + step * k) & 0xFFFF; // odd step: a permutation
            yuy2[4 * k] = static_cast<uint8_t>(luma);
            yuy2[4 * k + 1] = static_cast<uint8_t>(chroma);
            yuy2[4 * k + 2] = static_cast<uint8_t>(rng());
            yuy2[4 * k + 3] = static_cast<uint8_t>(chroma >> 8);
        }
        for (const Converter& conv : kConverters) {
            const std::vector<uint8_t> src = InOrder(yuy2, conv.order);
            expected = conv.expected(src, kWidth, 1, true);
            for (KernelLevel level : levels) {
                SetKernelLevel(level);
                actual.assign(conv.bpp * kWidth, 0xCD);
                conv.convert(src.data(), actual.data(), kWidth, 1, true);
                const long at = FirstDifference(actual, expected);
                ASSERT_EQ(at, -1) << conv.name() << " at " << LevelName(level) << ", luma " << luma
                                  << ", pixel " << at / static_cast<long>(conv.bpp);
            }
        }
    }
}

// YVYU (Y0, V, Y1, U) delivered as YUY2 (Y0, U, Y1, V) at every level, in a row long enough
// for every level's widest step and its tail.
TEST(ReorderTest, YvyuChromaBytesChangePlaces) {
    LevelGuard guard;
    std::vector<uint8_t> yvyu, yuy2;
    for (uint8_t k = 0; k < 40; ++k) {
        const uint8_t y0 = k, v = uint8_t(100 + k), y1 = uint8_t(50 + k), u = uint8_t(200 + k);
        yvyu.insert(yvyu.end(), {y0, v, y1, u});
        yuy2.insert(yuy2.end(), {y0, u, y1, v});
    }
    for (KernelLevel level : kLevels) {
        SetKernelLevel(level);
        std::vector<uint8_t> out(yuy2.size(), 0xCD);
        ConvertPicture(ChooseRawOp(KIND_YVYU, KIND_YUY2), yvyu.data(), out.data(), 80, 1, false);
        EXPECT_EQ(out, yuy2) << LevelName(CurrentKernelLevel());
    }
}

// The same bytes as UYVY and as HDYC: red from Cr = 2 x (240 - 128) at luma 16 is
// (8192 + 13075 x 224) >> 14 = 179 in BT.601 and (8192 + 14686 x 224) >> 14 = 201 in BT.709;
// green goes below 0 in both. At every level, in a row long enough for every level's step.
TEST(MatrixTest, HdycIsBt709AndUyvyBt601) {
    LevelGuard guard;
    std::vector<uint8_t> src;
    for (int k = 0; k < 40; ++k)
        src.insert(src.end(), {128, 16, 240, 16});
    for (KernelLevel level : kLevels) {
        SetKernelLevel(level);
        for (auto [op, red] : {std::pair{ChooseRawOp(KIND_UYVY, KIND_RGB24), 179},
                               {ChooseRawOp(KIND_HDYC, KIND_RGB24), 201}}) {
            std::vector<uint8_t> out(80 * 3, 0xCD), expected;
            for (int k = 0; k < 80; ++k)
                expected.insert(expected.end(), {0, 0, uint8_t(red)});
            ConvertPicture(op, src.data(), out.data(), 80, 1, false);
            EXPECT_EQ(out, expected) << LevelName(CurrentKernelLevel()) << " red " << red;
        }
    }
}

// Luma alone: grey levels of Cb = Cr = 0 (16 black, 235 white, 128 gives 130, 100 gives 98) and
// YUY2 with neutral chroma, at every level, in a row long enough for every level's step.
TEST(LumaTest, Y800IsGreyAndYuy2OfNeutralChroma) {
    LevelGuard guard;
    const uint8_t luma[] = {16, 235, 128, 100, 0, 255};
    const uint8_t grey[] = {0, 255, 130, 98, 0, 255};
    std::vector<uint8_t> src, rgb24, rgb32, yuy2;
    for (int k = 0; k < 70; ++k) {
        const uint8_t y = luma[k % 6], g = grey[k % 6];
        src.push_back(y);
        rgb24.insert(rgb24.end(), {g, g, g});
        rgb32.insert(rgb32.end(), {g, g, g, 0});
        yuy2.insert(yuy2.end(), {y, 128});
    }
    for (KernelLevel level : kLevels) {
        SetKernelLevel(level);
        for (auto [op, expected] : {std::pair{ChooseRawOp(KIND_Y800, KIND_RGB24), &rgb24},
                                    {ChooseRawOp(KIND_Y800, KIND_RGB32), &rgb32},
                                    {ChooseRawOp(KIND_Y800, KIND_YUY2), &yuy2}}) {
            std::vector<uint8_t> out(expected->size(), 0xCD);
            ConvertPicture(op, src.data(), out.data(), 70, 1, false);
            EXPECT_EQ(out, *expected) << LevelName(CurrentKernelLevel()) << " op " << int(op);
        }
    }
}

class SwapTest : public AtLevel, public ::testing::TestWithParam<KernelLevel> {
protected:
    void SetUp() override { Enter(GetParam()); }
    void TearDown() override { Leave(); }
};

TEST_P(SwapTest, ExchangesPairs) {
    const uint8_t src[] = {10, 20, 30, 40};
    uint8_t dst[4] = {};
    SwapBytePairs(dst, src, 4);
    EXPECT_EQ(std::vector<uint8_t>(dst, dst + 4), (std::vector<uint8_t>{20, 10, 40, 30}));
}

TEST_P(SwapTest, MatchesReferenceForEveryCount) {
    std::vector<size_t> counts;
    for (size_t n = 0; n <= 160; ++n) {
        counts.push_back(n);
    }
    counts.insert(counts.end(), {size_t{720} * 480 * 2, size_t{1920} * 1080 * 2 + 1});
    std::mt19937 rng(99);
    for (size_t n : counts) {
        // The source ends at a page end; the destination `slack` bytes before one, so that its
        // alignment varies apart from the count's and every byte after the count is checked.
        for (size_t slack : {0, 1, 2, 33}) {
            SCOPED_TRACE(::testing::Message() << "count " << n << " slack " << slack);
            PageEndBuffer in(n), out(n + slack);
            std::generate_n(in.data(), n, [&] { return static_cast<uint8_t>(rng()); });
            std::fill_n(out.data(), n + slack, 0xCD);
            std::vector<uint8_t> expected(n + slack, 0xCD);
            reference::SwapBytePairs(expected.data(), in.data(), n);
            SwapBytePairs(out.data(), in.data(), n);
            ASSERT_EQ(FirstDifference(out.Bytes(), expected), -1);
            if (n % 2 == 1) {
                EXPECT_EQ(out.data()[n - 1], 0xCD) << "odd last byte must stay untouched";
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllLevels, SwapTest, ::testing::ValuesIn(kLevels),
                         [](const ::testing::TestParamInfo<KernelLevel>& info) {
                             return LevelName(info.param);
                         });

class Rgb24ToRgb32Test : public AtLevel, public ::testing::TestWithParam<KernelLevel> {
protected:
    void SetUp() override { Enter(GetParam()); }
    void TearDown() override { Leave(); }
};

// Every width up to a few SIMD steps and some real ones, each source starting at every offset
// within 4 bytes of a page end, the output ending at one too.
TEST_P(Rgb24ToRgb32Test, MatchesReferenceAtPageEnds) {
    std::vector<uint32_t> widths;
    for (uint32_t w = 1; w <= 100; ++w) {
        widths.push_back(w);
    }
    widths.insert(widths.end(), {127, 129, 641, 719, 720, 1918, 1920});
    std::mt19937 rng(24);
    for (uint32_t w : widths) {
        for (uint32_t h : {1u, 3u}) {
            for (size_t slack : {0, 1, 2, 3}) {
                SCOPED_TRACE(::testing::Message() << w << "x" << h << " slack " << slack);
                const size_t srcBytes = size_t{3} * w * h, dstBytes = size_t{4} * w * h;
                PageEndBuffer in(srcBytes + slack), out(dstBytes);
                uint8_t* src = in.data() + slack; // odd offsets for slack 1 and 3
                std::generate_n(in.data(), srcBytes + slack,
                                [&] { return static_cast<uint8_t>(rng() | 1); });
                for (bool reverse : {false, true}) {
                    std::fill_n(out.data(), dstBytes, 0xCD);
                    const std::vector<uint8_t> expected = oracle::ExpectedPicture(
                        ChooseRawOp(KIND_RGB24, KIND_RGB32), src, w, h, reverse);
                    Rgb24ToRgb32(src, out.data(), w, h, reverse);
                    ASSERT_EQ(FirstDifference(out.Bytes(), expected), -1) << "reverse " << reverse;
                }
            }
        }
    }
}

// The reference itself, against the pixels written out by hand.
TEST_P(Rgb24ToRgb32Test, CopiesThreeBytesAndZeroesTheFourth) {
    std::vector<uint8_t> src(3 * 40);
    for (size_t i = 0; i < src.size(); ++i) {
        src[i] = static_cast<uint8_t>(255 - i);
    }
    std::vector<uint8_t> expected;
    for (size_t p = 0; p < 40; ++p) {
        expected.insert(expected.end(), {src[3 * p], src[3 * p + 1], src[3 * p + 2], 0});
    }
    std::vector<uint8_t> out(4 * 40, 0xEE);
    Rgb24ToRgb32(src.data(), out.data(), 20, 2);
    EXPECT_EQ(out, expected);
    // Reversed: the second row of 20 pixels comes first.
    Rgb24ToRgb32(src.data(), out.data(), 20, 2, true);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 80),
              std::vector<uint8_t>(expected.begin() + 80, expected.end()));
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 80, out.end()),
              std::vector<uint8_t>(expected.begin(), expected.begin() + 80));
}

INSTANTIATE_TEST_SUITE_P(AllLevels, Rgb24ToRgb32Test, ::testing::ValuesIn(kLevels),
                         [](const ::testing::TestParamInfo<KernelLevel>& info) {
                             return LevelName(info.param);
                         });

} // namespace
} // namespace kestro
