// The read arithmetic, and what the platform does with the overlapped reads it plans.
#include <gtest/gtest.h>

#include "PlaybackSupport.h"
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
    EXPECT_FALSE(SlotBytes(0xFFFFF001u, kPage)) << "rounding past 32 bits";
}

TEST(ReadPlan, ConversionsCoverWhatNegotiationAccepts) {
    const PixelKind kinds[] = {KIND_YUY2, KIND_UYVY, KIND_RGB24, KIND_RGB32};
    for (PixelKind source : kinds)
        for (PixelKind output : kinds)
            EXPECT_EQ(ChooseRawOp(source, output) != RawOp::Refuse,
                      RawOutputAccepted(source, output))
                << source << " as " << output;
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
}

TEST(ReadPlan, RawReadAheadTakesTheNextWholeFrame) {
    auto next = PlanRawReadAhead(2 * kPage, 2 * kPage, 10 * kPage);
    EXPECT_TRUE(next.issue);
    EXPECT_EQ(next.position, 4u * kPage);
    EXPECT_EQ(next.length, 2u * kPage);
    EXPECT_FALSE(PlanRawReadAhead(6 * kPage, 2 * kPage, 9 * kPage + 5).issue);
    EXPECT_TRUE(PlanRawReadAhead(6 * kPage, 2 * kPage, 10 * kPage).issue);
    EXPECT_EQ(ContinuationStart(5000, kPage), kPage);
    EXPECT_EQ(ContinuationStart(8192, kPage), 8192u);
}

TEST(ReadPlan, RecordsAreBoundedByWhatTheHostHolds) {
    EXPECT_EQ(RecordLimit(30), 30u);
    // A host that vouches for fewer bytes than a record needs gets no record read past them.
    EXPECT_EQ(RecordLimit(16), 16u);
    EXPECT_EQ(RecordLimit(0), 0u);
    EXPECT_EQ(RecordLimit(277), 277u);
    EXPECT_EQ(RecordLimit(0xFFFFFFFFu), 16u + 261u);
}

// The fast readers count on these platform behaviours: one completion per issued read, also
// for a read that finished at once or was cancelled after finishing; none for a read refused at
// once; and a page-rounded read across the end of the file coming back short.
class OverlappedPlatform : public ::testing::Test {
protected:
    void SetUp() override {
        path = kt::DataDir("platform") + "\\probe.bin";
        kt::WriteFileBytes(path, std::string(3 * kPage + 300, 'x'));
        file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_NO_BUFFERING | FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        port = CreateIoCompletionPort(file, nullptr, 2, 0);
        ASSERT_NE(port, nullptr);
        buffer = static_cast<uint8_t*>(
            VirtualAlloc(nullptr, 4 * kPage, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    }
    void TearDown() override {
        VirtualFree(buffer, 0, MEM_RELEASE);
        CloseHandle(port);
        CloseHandle(file);
    }
    // Issues a read; returns whether it was taken (finished or pending).
    bool Issue(uint64_t position, DWORD length) {
        ov = OVERLAPPED{};
        ov.Offset = DWORD(position);
        ov.OffsetHigh = DWORD(position >> 32);
        return ReadFile(file, buffer, length, nullptr, &ov) || GetLastError() == ERROR_IO_PENDING;
    }
    int Drain(DWORD timeout, DWORD* lastBytes = nullptr) {
        int packets = 0;
        for (;;) {
            DWORD bytes = 0;
            ULONG_PTR key = 0;
            OVERLAPPED* got = nullptr;
            GetQueuedCompletionStatus(port, &bytes, &key, &got, timeout);
            if (!got)
                return packets;
            EXPECT_EQ(got, &ov);
            EXPECT_EQ(key, 2u);
            if (lastBytes)
                *lastBytes = bytes;
            ++packets;
            timeout = 0;
        }
    }
    std::string path;
    HANDLE file = INVALID_HANDLE_VALUE, port = nullptr;
    uint8_t* buffer = nullptr;
    OVERLAPPED ov{};
};

TEST_F(OverlappedPlatform, OneCompletionPerRead) {
    ASSERT_TRUE(Issue(0, 2 * kPage));
    DWORD bytes = 0;
    EXPECT_EQ(Drain(INFINITE, &bytes), 1);
    EXPECT_EQ(bytes, 2 * kPage);
}

TEST_F(OverlappedPlatform, CancellingAFinishedReadStillLeavesOneCompletion) {
    ASSERT_TRUE(Issue(kPage, kPage));
    CancelIoEx(file, &ov);
    EXPECT_EQ(Drain(INFINITE), 1);
}

TEST_F(OverlappedPlatform, ReadAcrossTheEndComesBackShort) {
    ASSERT_TRUE(Issue(2 * kPage, 2 * kPage));
    DWORD bytes = 0;
    EXPECT_EQ(Drain(INFINITE, &bytes), 1);
    EXPECT_EQ(bytes, kPage + 300);
}

TEST_F(OverlappedPlatform, ReadAtTheEndCompletesOnceOrFailsWithoutCompletion) {
    bool taken = Issue(4 * kPage, kPage);
    EXPECT_EQ(Drain(taken ? INFINITE : 0), taken ? 1 : 0);
}

} // namespace
