// The read arithmetic of the playback readers.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

#include "pure/ReadPlan.h"

using namespace kestro;

namespace {

constexpr uint32_t kPage = 4096;

TEST(ReadPlan, SlotsAreWholePagesOfThePicture) {
    EXPECT_EQ(SlotBytes(*DibImageBytes(640, 480, 24), kPage), 921600u);
    EXPECT_EQ(SlotBytes(*DibImageBytes(720, 480, 16), kPage), 692224u);
    // Top-down pictures are sized like bottom-up ones, never negatively.
    EXPECT_EQ(DibImageBytes(720, -480, 16), DibImageBytes(720, 480, 16));
    EXPECT_EQ(DibImageBytes(6, 10, 24), 200u) << "rows padded to 4 bytes";
    EXPECT_FALSE(DibImageBytes(0x10000, 0x10000, 32));
    EXPECT_FALSE(DibImageBytes(1 << 30, 1, 32)) << "one row of 2^32 bytes";
    EXPECT_EQ(DibImageBytes((1 << 30) - 1, -1, 32), 0xFFFFFFFCu);
    EXPECT_EQ(DibRowBytes(1 << 30, 32), uint64_t(1) << 32);
    EXPECT_EQ(DibRowBytes(INT32_MAX, 16), uint64_t(1) << 32);
    EXPECT_FALSE(SlotBytes(0xFFFFF001u, kPage)) << "rounding past 32 bits";
}

TEST(ReadPlan, ConversionsCoverWhatNegotiationAccepts) {
    for (const PixelFormat& source : kPixelFormats)
        for (const PixelFormat& output : kPixelFormats)
            if (source.recognised && output.recognised) {
                EXPECT_EQ(ChooseRawOp(source.kind, output.kind) != RawOp::Refuse,
                          RawOutputAccepted(source.kind, output.kind))
                    << source.name << " as " << output.name;
            }
    EXPECT_EQ(ChooseRawOp(KIND_NONE, KIND_YUY2), RawOp::Refuse);
    EXPECT_EQ(ChooseRawOp(KIND_STORED, KIND_RGB24), RawOp::Refuse);
}

TEST(ReadPlan, ChainedReadAheadStaysInsideTheSlotAndTheFile) {
    const uint32_t slot = 8 * kPage;
    // In the middle of a file: the frame's length, two pages more with the huffyuv option,
    // never more than the slot.
    auto plain = PlanChainedReadAhead(0, 3 * kPage, 100 * kPage, kPage, slot, false);
    EXPECT_TRUE(plain.issue);
    EXPECT_EQ(plain.position, 3u * kPage);
    EXPECT_EQ(plain.length, 3u * kPage);
    EXPECT_EQ(PlanChainedReadAhead(0, 3 * kPage, 100 * kPage, kPage, slot, true).length,
              5u * kPage);
    EXPECT_EQ(PlanChainedReadAhead(0, 7 * kPage, 100 * kPage, kPage, slot, true).length, slot);
    // Near the end of a file whose size is not a whole number of sectors: the remainder rounded
    // up to a page, a valid unbuffered read that simply comes back short.
    auto cut = PlanChainedReadAhead(kPage, 3 * kPage, 5 * kPage + 300, kPage, slot, false);
    EXPECT_TRUE(cut.issue);
    EXPECT_EQ(cut.length, 2u * kPage);
    EXPECT_EQ(cut.length % kPage, 0u);
    // Less than a page left, or past the end: no read-ahead.
    EXPECT_FALSE(PlanChainedReadAhead(kPage, 3 * kPage, 4 * kPage + 300, kPage, slot, false).issue);
    EXPECT_FALSE(PlanChainedReadAhead(kPage, 3 * kPage, 2 * kPage, kPage, slot, false).issue);
    EXPECT_FALSE(PlanChainedReadAhead(kPage, 0, 20 * kPage, kPage, slot, false).issue);
    // A frame at the end of the 64-bit range has no next frame, not one at a wrapped position.
    EXPECT_FALSE(
        PlanChainedReadAhead(UINT64_MAX - kPage + 1, 2 * kPage, UINT64_MAX, kPage, slot, false)
            .issue);
}

TEST(ReadPlan, RawReadAheadTakesTheNextWholeFrame) {
    auto next = PlanRawReadAhead(2 * kPage, 2 * kPage, 10 * kPage);
    EXPECT_TRUE(next.issue);
    EXPECT_EQ(next.position, 4u * kPage);
    EXPECT_EQ(next.length, 2u * kPage);
    EXPECT_FALSE(PlanRawReadAhead(6 * kPage, 2 * kPage, 9 * kPage + 5).issue);
    EXPECT_TRUE(PlanRawReadAhead(6 * kPage, 2 * kPage, 10 * kPage).issue);
    EXPECT_FALSE(PlanRawReadAhead(UINT64_MAX - kPage + 1, 2 * kPage, UINT64_MAX).issue)
        << "a next position that wraps";
    EXPECT_EQ(ContinuationStart(5000, kPage), kPage);
    EXPECT_EQ(ContinuationStart(8192, kPage), 8192u);
}

// Frames of a striped take go to its data files in turn; every data file starts after one
// header page.
struct TurnRow {
    uint32_t stripe, count;
    uint64_t position;
    uint32_t rounded;
    std::optional<uint64_t> nextOfStripe;
    std::optional<StripeTurn> expected;
};

TEST(ReadPlan, NextFrameOfAStripedTakeFollowsTheTurn) {
    const uint64_t page = kPage, frame = 3 * kPage;
    const TurnRow rows[] = {
        // One data file: the next frame follows in it, whatever was read before.
        {0, 1, page, 3 * kPage, {}, StripeTurn{0, page + frame}},
        {0, 0, page, 3 * kPage, {}, StripeTurn{0, page + frame}},
        {0, 1, page, 3 * kPage, 9 * page, StripeTurn{0, page + frame}},
        // Later in the turn: the same place in the next data file; the last one wraps to the
        // first, one frame further on.
        {0, 2, page, 3 * kPage, {}, StripeTurn{1, page}},
        {1, 2, page, 3 * kPage, {}, StripeTurn{0, page + frame}},
        {1, 3, page + 4 * frame, 3 * kPage, {}, StripeTurn{2, page + 4 * frame}},
        {3, 4, page + 4 * frame, 3 * kPage, {}, StripeTurn{0, page + 5 * frame}},
        // Frames of changing sizes: where that data file's next frame starts, when known.
        {0, 2, page, 3 * kPage, 5 * page, StripeTurn{1, 5 * page}},
        {2, 3, 8 * page, kPage, 2 * page, StripeTurn{0, 2 * page}},
        // A place outside the take, or a position that would wrap.
        {2, 2, page, 3 * kPage, {}, std::nullopt},
        {1, 1, page, 3 * kPage, {}, std::nullopt},
        {1, 0, page, 3 * kPage, {}, std::nullopt},
        {0, 2, UINT64_MAX - kPage + 1, 2 * kPage, {}, std::nullopt},
    };
    for (const TurnRow& row : rows)
        EXPECT_EQ(NextInTurn(row.stripe, row.count, row.position, row.rounded, row.nextOfStripe),
                  row.expected)
            << "stripe " << row.stripe << " of " << row.count << " at " << row.position;
}

TEST(ReadPlan, PieceNumbersComeFromTheSuffix) {
    EXPECT_EQ(PieceIndexOf("d:\\caps\\kestro.000"), 0);
    EXPECT_EQ(PieceIndexOf("d:\\caps\\kestro.017"), 17);
    EXPECT_EQ(PieceIndexOf("\\\\host\\share\\k.499"), 499);
    EXPECT_FALSE(PieceIndexOf("d:\\caps\\kestro.500"));
    EXPECT_FALSE(PieceIndexOf("d:\\caps\\kestro.0a1"));
    EXPECT_FALSE(PieceIndexOf("d:\\caps\\kestro_000"));
    EXPECT_FALSE(PieceIndexOf(".000"));
}

TEST(ReadPlan, RecordsAreBoundedByWhatTheHostHolds) {
    EXPECT_EQ(RecordLimit(30), 30u);
    // A host that vouches for fewer bytes than a record needs gets no record read past them.
    EXPECT_EQ(RecordLimit(16), 16u);
    EXPECT_EQ(RecordLimit(0), 0u);
    EXPECT_EQ(RecordLimit(277), 277u);
    EXPECT_EQ(RecordLimit(0xFFFFFFFFu), 16u + 261u);
}

} // namespace
