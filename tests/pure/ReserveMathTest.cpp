// Size arithmetic of a space reservation: what the dialog offers and computes, and how the
// writers cut it into pieces and unbuffered writes.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <numeric>
#include <vector>

#include "pure/ReserveMath.h"

using namespace kestro;

namespace {

constexpr uint64_t kGiB = uint64_t(1) << 30;

TEST(ReserveTable, FrameSizesArePicturesAtThreeTwoAndOneBytesPerPixel) {
    const uint32_t pictures[4][2] = {{720, 480}, {640, 480}, {352, 240}, {320, 240}};
    int index = 0;
    for (const auto& picture : pictures)
        for (uint32_t bytesPerPixel : {3u, 2u, 1u}) {
            EXPECT_EQ(kFrameSizes[index], picture[0] * picture[1] * bytesPerPixel)
                << "entry " << index;
            // Unbuffered writes are whole sectors; a reservation is a multiple of a frame size.
            EXPECT_EQ(kFrameSizes[index] % 512, 0u) << "entry " << index;
            ++index;
        }
    EXPECT_EQ(kFrameSizes[kDefaultFrameSizeIndex], 614400u);
}

TEST(ReserveBytes, FramesAreTruncatedTowardZeroBeforeTheyAreSized) {
    EXPECT_EQ(ReserveBytes(1, 29.97, 614400), 1798u * 614400) << "1798.2 frames";
    EXPECT_EQ(ReserveBytes(3, 29.97, 76800), 5394u * 76800) << "5394.6 frames";
    EXPECT_EQ(ReserveBytes(180, 30.0, 1036800), uint64_t(324000) * 1036800) << "well past 32 bits";
    EXPECT_EQ(ReserveBytes(7, 29.97, 1036800), uint64_t(12587) * 1036800) << "12587.4 frames";
    EXPECT_EQ(ReserveBytes(0, 24.0, 614400), 0u);
    EXPECT_EQ(ReserveBytes(1, 0.01, 614400), 0u) << "0.6 frames is none";
    EXPECT_EQ(ReserveBytes(INT32_MIN, 30.0, 614400), 0u);
    EXPECT_EQ(ReserveBytes(1, -24.0, 614400), 0u);
}

TEST(ReserveBytes, TheFigureIsTheLow32BitsOfTheMebibytesAsASignedNumber) {
    EXPECT_EQ(MegabyteFigure((uint64_t(1) << 20) - 1), 0) << "rounded down";
    EXPECT_EQ(MegabyteFigure(uint64_t(1) << 20), 1);
    EXPECT_EQ(MegabyteFigure(uint64_t(INT32_MAX) << 20), INT32_MAX);
    EXPECT_EQ(MegabyteFigure(uint64_t(1) << 51), INT32_MIN) << "2^31 MiB shows as negative";
    EXPECT_EQ(MegabyteFigure((uint64_t(1) << 52) + (uint64_t(7) << 20)), 7) << "high bits dropped";
}

TEST(ReservePieces, PiecesAreWholeGibibytesAndAShorterLastOne) {
    EXPECT_EQ(PieceSizes(9 * kGiB + 512, true, 4, 500),
              (std::vector<uint64_t>{4 * kGiB, 4 * kGiB, kGiB + 512}))
        << "a piece of 4 GiB does not wrap 32 bits";
    EXPECT_EQ(PieceSizes(kGiB, true, INT32_MAX, 500), std::vector<uint64_t>{kGiB});
    EXPECT_EQ(PieceSizes(2 * kGiB, true, -1, 500), (std::vector<uint64_t>{kGiB, kGiB}));
    EXPECT_EQ(PieceSizes(7 * kGiB, false, 1, 500), std::vector<uint64_t>{7 * kGiB})
        << "one piece when not splitting, whatever its size";
    EXPECT_EQ(PieceSizes(5 * kGiB, true, 1, 3).size(), 3u) << "only as many pieces as names";
    EXPECT_EQ(PieceSizes(3 * kGiB + 1, true, 1, 3).size(), 3u);
}

// Every frame size, rate and time the dialog can compute, split or not: the pieces add up to the
// reservation, and every write of every piece is whole 512-byte sectors.
TEST(ReservePieces, EveryWriteOfEveryReservationIsWholeSectors) {
    std::vector<double> rates;
    for (int r = 1; r <= 29; ++r)
        rates.push_back(r);
    rates.push_back(29.97);
    const uint64_t unit = uint64_t(4096) * 2000;
    for (uint32_t frame : kFrameSizes)
        for (double rate : rates)
            for (int32_t minutes : {1, 7, 180})
                for (int32_t dividesize : {0, 1, 2}) {
                    const uint64_t total = ReserveBytes(minutes, rate, frame);
                    const auto pieces = PieceSizes(total, dividesize != 0, dividesize, 500);
                    ASSERT_EQ(std::accumulate(pieces.begin(), pieces.end(), uint64_t(0)), total);
                    for (uint64_t piece : pieces) {
                        const WritePlan plan = PlanWrites(piece, unit);
                        ASSERT_EQ(plan.fullWrites * unit + plan.tailBytes, piece);
                        ASSERT_LT(plan.tailBytes, unit);
                        ASSERT_EQ(plan.tailBytes % 512, 0u)
                            << frame << " bytes, " << rate << "/s, " << minutes << " min";
                    }
                }
}

TEST(ReservePieces, WritePlansCountTheShortTail) {
    const uint64_t unit = 8192000;
    EXPECT_EQ(PlanWrites(0, unit).Count(), 0u);
    EXPECT_EQ(PlanWrites(512, unit).Count(), 1u);
    EXPECT_EQ(PlanWrites(unit, unit).Count(), 1u);
    EXPECT_EQ(PlanWrites(unit + 512, unit).Count(), 2u);
    // A 16 KiB-page system writes 2000 of its pages at a time.
    const WritePlan big = PlanWrites(kGiB, uint64_t(16384) * 2000);
    EXPECT_EQ(big.fullWrites, 32u);
    EXPECT_EQ(big.tailBytes, kGiB - 32 * uint64_t(16384) * 2000);
}

} // namespace
