// The small owners and lookups every part of the codec uses at the Win32 edge.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "edge/Win32Edge.h"

using namespace kestro;

namespace {

std::string TempName(const char* tag) {
    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    return std::string(dir) + "kestro-edge-" + tag + "-" + std::to_string(GetCurrentProcessId());
}

// A file opened for exclusive use: a second open fails while any owner still holds it.
HANDLE OpenExclusive(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool StillHeld(const std::string& path) {
    HANDLE second = OpenExclusive(path);
    if (second == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(second);
    return false;
}

} // namespace

// Ownership passes exactly once: a moved-from owner closes nothing, the last owner closes the
// file, and a reset owner can be reset again.
TEST(Win32Edge, UniqueFileClosesOnceThroughMoves) {
    const std::string path = TempName("unique");
    {
        UniqueFile first(OpenExclusive(path));
        ASSERT_TRUE(first);
        UniqueFile second(std::move(first));
        EXPECT_FALSE(first);
        EXPECT_TRUE(StillHeld(path));
        {
            UniqueFile third;
            third = std::move(second);
            EXPECT_FALSE(second);
            second.reset(); // nothing to close
            EXPECT_TRUE(StillHeld(path)) << "an empty owner closed somebody's handle";
        }
        EXPECT_FALSE(StillHeld(path)) << "the last owner did not close the file";
        first.reset();
    }
    // A failed open is an empty owner that closes nothing.
    UniqueFile failed(CreateFileA((path + "\\no\\such").c_str(), GENERIC_READ, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(failed);
    EXPECT_EQ(failed.get(), INVALID_HANDLE_VALUE);
    DeleteFileA(path.c_str());
}

TEST(Win32Edge, IdempotentClosesStoreTheEmptyValue) {
    const std::string path = TempName("close");
    HANDLE file = OpenExclusive(path);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseFile(file);
    EXPECT_EQ(file, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(StillHeld(path));
    CloseFile(file); // a second release is a no-op
    EXPECT_EQ(file, INVALID_HANDLE_VALUE);

    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    CloseObject(event);
    EXPECT_EQ(event, nullptr);
    CloseObject(event);
    EXPECT_EQ(event, nullptr);
    DeleteFileA(path.c_str());
}

// Unbuffered I/O needs page-aligned, committed memory of at least the asked size; the zero-byte
// case still hands out a usable page, and a read-only buffer reads as zeros.
TEST(Win32Edge, PageBuffersAreAlignedCommittedAndReleasedOnce) {
    const uint32_t page = SystemPageSize();
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    EXPECT_EQ(page, info.dwPageSize);

    for (size_t bytes : {size_t(0), size_t(1), size_t(page), size_t(page) * 3 + 5}) {
        uint8_t* pages = AllocatePages(bytes);
        ASSERT_NE(pages, nullptr) << bytes;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(pages) % page, 0u) << bytes;
        MEMORY_BASIC_INFORMATION region{};
        ASSERT_NE(VirtualQuery(pages, &region, sizeof region), 0u);
        EXPECT_EQ(region.State, DWORD(MEM_COMMIT));
        EXPECT_GE(region.RegionSize, bytes ? bytes : 1) << bytes;
        EXPECT_EQ(pages[bytes ? bytes - 1 : 0], 0) << bytes;
        FreePages(pages);
        EXPECT_EQ(pages, nullptr);
        FreePages(pages);
    }

    PageBuffer zeros(size_t(page) * 2, PAGE_READONLY);
    ASSERT_TRUE(zeros);
    EXPECT_EQ(zeros.size(), size_t(page) * 2);
    EXPECT_EQ(zeros.data()[page * 2 - 1], 0);
    MEMORY_BASIC_INFORMATION region{};
    ASSERT_NE(VirtualQuery(zeros.data(), &region, sizeof region), 0u);
    EXPECT_EQ(region.Protect, DWORD(PAGE_READONLY));
}

// Pages pass from owner to owner and are freed once, by the last; pages given up (memory a
// transfer that never ended may still write) are never freed by their owner.
TEST(Win32Edge, PageBufferFreesOnceThroughMovesAndKeepsWhatIsGivenUp) {
    const size_t page = SystemPageSize();
    auto committed = [](const void* pages) {
        MEMORY_BASIC_INFORMATION region{};
        return VirtualQuery(pages, &region, sizeof region) != 0 && region.State == MEM_COMMIT;
    };
    PageBuffer first(page);
    uint8_t* pages = first.data();
    ASSERT_TRUE(first);
    PageBuffer second(std::move(first));
    EXPECT_FALSE(first);
    EXPECT_EQ(second.data(), pages);
    EXPECT_EQ(second.size(), page);
    {
        PageBuffer third(page);
        uint8_t* replaced = third.data();
        third = std::move(second);
        EXPECT_FALSE(committed(replaced)) << "the pages an owner held before a move were kept";
        EXPECT_FALSE(second);
        second.reset(); // nothing to free
        EXPECT_TRUE(committed(pages)) << "an empty owner freed somebody's pages";
    }
    EXPECT_FALSE(committed(pages)) << "the last owner did not free the pages";

    PageBuffer kept(page);
    uint8_t* left = kept.data();
    kept.release();
    EXPECT_FALSE(kept);
    kept.reset();
    EXPECT_TRUE(committed(left)) << "pages given up were freed";
    VirtualFree(left, 0, MEM_RELEASE);
}

// Each late-bound call is the very function the import library would have bound: a misspelt
// name would leave it null and quietly send every run down the older, slower path.
TEST(Win32Edge, Kernel32LookupsFindTheNamedCalls) {
    const Kernel32Calls& calls = Kernel32();
    EXPECT_EQ(reinterpret_cast<void*>(calls.CancelIoEx), reinterpret_cast<void*>(&::CancelIoEx));
    EXPECT_EQ(reinterpret_cast<void*>(calls.GetQueuedCompletionStatusEx),
              reinterpret_cast<void*>(&::GetQueuedCompletionStatusEx));
    EXPECT_EQ(reinterpret_cast<void*>(calls.SetFileCompletionNotificationModes),
              reinterpret_cast<void*>(&::SetFileCompletionNotificationModes));
    EXPECT_EQ(reinterpret_cast<void*>(calls.SetFileInformationByHandle),
              reinterpret_cast<void*>(&::SetFileInformationByHandle));
    EXPECT_EQ(reinterpret_cast<void*>(calls.GetFileInformationByHandleEx),
              reinterpret_cast<void*>(&::GetFileInformationByHandleEx));
    EXPECT_EQ(&Kernel32(), &calls) << "looked up once";
}
