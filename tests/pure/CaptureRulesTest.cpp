// The choices a capture run makes from its settings: which writer, which create flags, how far a
// piece grows.
#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <set>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

#include "pure/CaptureRules.h"

using namespace kestro;

namespace {

// Which writer a setting asks for, in the terms of the writer rows: overlapped with fast write,
// switching pieces with divide, bytes from the chained codec when there is one, else a copy of the
// host's image where an overlapped writer may copy.
TEST(WriterChoice, EachOfTheSixteenSettingsGetsTheRowOfItsFacts) {
    std::set<WriterKind> chosen;
    std::set<std::string> names;
    for (const WriterRow& row : kWriterRows)
        EXPECT_TRUE(names.insert(row.name).second) << row.name << " names one row only";
    for (int bits = 0; bits < 16; ++bits) {
        const bool fastwrite = bits & 8, divide = bits & 4, chained = bits & 2, buffer = bits & 1;
        const WriterSource source = chained               ? WriterSource::Compressed
                                    : fastwrite && buffer ? WriterSource::Copied
                                                          : WriterSource::Host;
        const WriterKind got = ChooseWriter(fastwrite, divide, chained, buffer);
        const WriterRow& row = WriterRowOf(got);
        EXPECT_EQ(row.kind, got) << row.name;
        EXPECT_TRUE(row.fast == fastwrite && row.split == divide && row.source == source)
            << row.name << " for fastwrite " << fastwrite << ", divide " << divide << ", chained "
            << chained << ", buffer " << buffer;
        chosen.insert(got);
    }
    EXPECT_EQ(chosen.size(), std::size(kWriterRows)) << "every writer row is reachable";
    EXPECT_EQ(chosen.size(), 10u);
}

TEST(PieceCreateFlags, FastWriteAndCpuGiveTheirFlags) {
    struct Row {
        bool fastwrite, cpu;
        uint32_t flags;
    };
    const Row rows[] = {
        {false, false, 0x20000000}, // unbuffered
        {false, true, 0x20000000},  // cpu has no effect without fast write
        {true, false, 0x60000000},  // overlapped and unbuffered
        {true, true, 0x40000000},   // overlapped through the system's cache
    };
    for (const Row& r : rows)
        EXPECT_EQ(PieceCreateFlags(r.fastwrite, r.cpu), r.flags)
            << "fastwrite " << r.fastwrite << ", cpu " << r.cpu;
#ifdef _WIN32
    static_assert(kNoBuffering == FILE_FLAG_NO_BUFFERING);
    static_assert(kOverlapped == FILE_FLAG_OVERLAPPED);
#endif
}

// Growth bounds over a grid of offsets, frame sizes and limits, near the 64-bit end as well: the
// frame always fits, the step stays within 64 frames or 256 MiB, a split piece never grows past
// its size unless the frame itself needs it.
TEST(PieceGrowth, TargetCoversTheFrameAndStaysInsideItsBounds) {
    const uint64_t offsets[] = {0, 4096, uint64_t(3) << 30, (uint64_t(1) << 62) + 4096};
    const uint32_t writes[] = {4096, 614400, 8 << 20, 0xFFFFF000u};
    const uint64_t limits[] = {0, 1 << 20, uint64_t(1) << 30, uint64_t(2) << 30,
                               (uint64_t(1) << 62) + (uint64_t(1) << 30)};
    for (uint64_t offset : offsets)
        for (uint32_t write : writes)
            for (uint64_t limit : limits) {
                const uint64_t target = GrowTarget(offset, write, limit);
                const uint64_t end = offset + write;
                ASSERT_GE(target, end) << offset << " " << write << " " << limit;
                uint64_t step = 64 * uint64_t(write);
                if (step > (uint64_t(256) << 20))
                    step = uint64_t(256) << 20;
                if (step < write)
                    step = write;
                ASSERT_LE(target - offset, step) << offset << " " << write << " " << limit;
                if (limit != 0 && limit >= end) {
                    ASSERT_LE(target, limit) << offset << " " << write << " " << limit;
                }
            }
}

TEST(PieceGrowth, FreeSpaceCoversOnlyWhatIsLeftAfterWritesInFlightAndTheMargin) {
    const uint64_t mib = 1 << 20;
    // 10 MiB free, 2 MiB in flight, 1 MiB margin: 7 MiB past the frame's offset.
    EXPECT_EQ(CoveredGrowth(10 * mib, 2 * mib, 100 * mib, 101 * mib, 200 * mib), 107 * mib);
    EXPECT_EQ(CoveredGrowth(10 * mib, 2 * mib, 100 * mib, 101 * mib, 103 * mib), 103 * mib);
    EXPECT_EQ(CoveredGrowth(10 * mib, 2 * mib, 100 * mib, 108 * mib, 200 * mib), 0u)
        << "the frame itself not covered";
    EXPECT_EQ(CoveredGrowth(3 * mib, 2 * mib, 0, 4096, mib), 0u) << "only the margin is left";
    EXPECT_EQ(CoveredGrowth(2 * mib, 2 * mib, 0, 4096, mib), 0u);
    EXPECT_EQ(CoveredGrowth(0, 0, 0, 4096, mib), 0u);
    // Room that would wrap past the end of the position range reaches the target, never less.
    EXPECT_EQ(CoveredGrowth(UINT64_MAX, 0, UINT64_MAX - 8192, UINT64_MAX - 4096, UINT64_MAX - 4096),
              UINT64_MAX - 4096);
}

TEST(ChainBuffers, HoldTheLargerOfTheRawFrameAndTheCodecsAnswerInWholePages) {
    const uint32_t page = 4096;
    EXPECT_EQ(ChainBufferBytes(614400, 0, page), 614400u);
    EXPECT_EQ(ChainBufferBytes(614400, -2, page), 614400u) << "a refusal is no size";
    EXPECT_EQ(ChainBufferBytes(614400, 700001, page), 700416u);
    EXPECT_EQ(ChainBufferBytes(614400, 614400, page), 614400u);
    EXPECT_EQ(ChainBufferBytes(4096, int64_t(1) << 40, page), 0u) << "does not fit 32 bits";
    EXPECT_EQ(ChainBufferBytes(4096, 0xFFFFD001, page), 0xFFFFE000u);
}

TEST(DataFileHeader, IsOnePageAndHoldsTheBitmapHeader) {
    EXPECT_EQ(HeaderBytes(4096), 4096u);
    EXPECT_EQ(HeaderBytes(65536), 65536u);
    EXPECT_EQ(HeaderBytes(16), 48u) << "a page below the header's 40 bytes still holds it";
    EXPECT_TRUE(ImageSizeAccepted(614400, 4096, false, false));
    EXPECT_FALSE(ImageSizeAccepted(614400, 16384, false, false))
        << "unbuffered writes straight from the host's image need whole pages";
    EXPECT_TRUE(ImageSizeAccepted(614400, 16384, true, false));
    EXPECT_TRUE(ImageSizeAccepted(614400, 16384, false, true));
    EXPECT_FALSE(NeedsNextPiece(uint64_t(1) << 30, 0, uint64_t(1) << 30));
    EXPECT_TRUE(NeedsNextPiece((uint64_t(1) << 30) - 4095, 4096, uint64_t(1) << 30));
    EXPECT_FALSE(NeedsNextPiece((uint64_t(1) << 30) - 4096, 4096, uint64_t(1) << 30));
}

} // namespace
