// Hosts load and unload every installed codec each time they list the codecs, so one editing
// session loads the library thousands of times: a cycle must give back everything it took.
#include <gtest/gtest.h>
#include <winternl.h>

#include <string>
#include <vector>

#include "WineCodec.h"

using namespace kt;

namespace {

// Each way of loading goes past the process's 1088 thread-local-storage slots on its own in a
// long run; a leak of any of them shows long before that.
const int kCycles = LongCount(200, 1500);
// A leak of a slot per load shows up after these few, long before it would abort the process.
constexpr int kFirstCycles = 20;

// How many thread-local-storage slots the process can still take: all are taken, counted and
// given back. (The lowest free slot is no measure: the system hands slots out round the table.)
int FreeTlsSlots() {
    std::vector<DWORD> taken;
    for (DWORD slot; (slot = TlsAlloc()) != TLS_OUT_OF_INDEXES;)
        taken.push_back(slot);
    for (DWORD slot : taken)
        TlsFree(slot);
    return int(taken.size());
}

// The next handle the process would get. Handles are handed out lowest free first here, so a
// load that keeps a handle moves it up.
[[maybe_unused]] uintptr_t NextHandle() {
    HANDLE probe = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(probe);
    return reinterpret_cast<uintptr_t>(probe);
}

// Open handles of the process other than registry keys, found by asking each handle value below
// a bound far above what these tests reach for its kind.
[[maybe_unused]] int OpenHandlesOtherThanKeys() {
    using Query = NTSTATUS(WINAPI*)(HANDLE, OBJECT_INFORMATION_CLASS, void*, ULONG, ULONG*);
    static const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryObject")));
    if (!query)
        return -1;
    int count = 0;
    for (uintptr_t value = 4; value < 0x4000; value += 4) {
        alignas(8) unsigned char buffer[512];
        ULONG length = 0;
        if (query(reinterpret_cast<HANDLE>(value), ObjectTypeInformation, buffer, sizeof buffer,
                  &length) != 0)
            continue;
        const auto* type = reinterpret_cast<const PUBLIC_OBJECT_TYPE_INFORMATION*>(buffer);
        const std::wstring kind(type->TypeName.Buffer, type->TypeName.Length / 2);
        if (kind != L"Key")
            ++count;
    }
    return count;
}

// The measure of a cycle's handles. Wine's 32-bit codec manager leaves its Drivers32 registry key
// open after every ICOpen (this library opens no registry key, and the 64-bit manager keeps
// nothing): under the 32-bit build every other kind counts, under the 64-bit build every handle.
uintptr_t HandleMeasure() {
#ifdef _WIN64
    return NextHandle();
#else
    return uintptr_t(OpenHandlesOtherThanKeys());
#endif
}

// What a host has loaded anyway: the system libraries the codec uses stay, so that only the
// codec's own load and unload are measured.
void KeepSystemLibrariesLoaded() {
    for (const char* name :
         {"user32.dll", "gdi32.dll", "advapi32.dll", "comctl32.dll", "comdlg32.dll", "shell32.dll",
          "ole32.dll", "oleaut32.dll", "msvfw32.dll", "avifil32.dll", "winmm.dll"})
        LoadLibraryA(name);
}

std::string CodecPath() {
    return SystemDir() + "\\kestro32.dll";
}

// One load of the library as a host program's LoadLibrary does it, with a look at the entry.
bool LoadAndUnload() {
    HMODULE module = LoadLibraryA(CodecPath().c_str());
    if (!module)
        return false;
    bool entry = GetProcAddress(module, "DriverProc") != nullptr;
    return FreeLibrary(module) && entry;
}

// One load through the codec manager: the open loads the library, the close of the last
// instance unloads it. The instance answers a question in between, as in a host's listing.
bool OpenAndClose() {
    HIC hic = ICOpen(ICTYPE_VIDEO, kKest, ICMODE_QUERY);
    if (!hic)
        return false;
    ICINFO info{};
    bool answered = ICGetInfo(hic, &info, sizeof info) == sizeof info;
    Format in = MakeFormat(64, 48, kYuy2, 16);
    answered = answered && ICCompressQuery(hic, in.header(), nullptr) == ICERR_OK;
    return ICClose(hic) == ICERR_OK && answered;
}

// The codec is fully usable after the cycles: it opens and negotiates a capture format.
void ExpectCodecStillWorks() {
    Hic hic = OpenKest();
    ASSERT_TRUE(hic) << "the codec no longer opens";
    Format in = MakeFormat(320, 240, kYuy2, 16);
    Format out = StreamFormatFor(hic.get(), in);
    ASSERT_EQ(out.bytes.size(), 52u);
    EXPECT_EQ(out.header()->biCompression, kKest);
    EXPECT_EQ(ICCompressGetSize(hic.get(), in.header(), out.header()), 320 * 240 * 3);
}

class LoadCycles : public ::testing::Test {
protected:
    void SetUp() override {
        RemoveIni();
        KeepSystemLibrariesLoaded();
        ASSERT_FALSE(CodecLoaded()) << "every cycle must really load and unload the library";
    }
    void TearDown() override { RemoveIni(); }

    void Cycle(bool (*once)(), const char* how) {
        // The first load may set up what the process keeps for good (its settings file, the
        // system's own caches); the cycles after it must leave everything as they found it.
        ASSERT_TRUE(once()) << how;
        const int slots = FreeTlsSlots();
        const uintptr_t handle = HandleMeasure();
        ASSERT_GT(slots, 1000);
        for (int i = 1; i < kCycles; ++i) {
            ASSERT_TRUE(once()) << how << " failed in cycle " << i;
            ASSERT_FALSE(CodecLoaded()) << how << " left the library loaded in cycle " << i;
            if (i == kFirstCycles) {
                ASSERT_EQ(FreeTlsSlots(), slots)
                    << kFirstCycles << " cycles of " << how << " kept thread-local-storage slots";
                ASSERT_EQ(HandleMeasure(), handle)
                    << kFirstCycles << " cycles of " << how << " kept handles";
            }
        }
        EXPECT_EQ(FreeTlsSlots(), slots) << how;
        EXPECT_EQ(HandleMeasure(), handle) << how;
        ExpectCodecStillWorks();
    }
};

TEST_F(LoadCycles, LoadLibraryAndFreeLibraryLeaveNothingBehind) {
    Cycle(LoadAndUnload, "LoadLibrary/FreeLibrary");
}

TEST_F(LoadCycles, OpenAndCloseThroughTheManagerLeaveNothingBehind) {
    Cycle(OpenAndClose, "ICOpen/ICClose");
}

} // namespace
