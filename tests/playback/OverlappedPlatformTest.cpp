// What the platform does with the overlapped reads the playback readers plan.
#include <gtest/gtest.h>

#include "PlaybackSupport.h"

namespace {

constexpr uint32_t kPage = 4096;

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
