// The asynchronous I/O layer itself, called directly on a file of the test's own: what Windows
// does with an overlapped transfer that finishes later, and the caller's faults it counts.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "AsyncIo.h"
#include "Thread.h"
#include "WineCodec.h"

namespace {

constexpr DWORD kPage = 4096;
constexpr DWORD kFileBytes = 16 * kPage;

uint8_t FileByte(size_t i) {
    return uint8_t(i * 13 + (i >> 12) + 5);
}

class Layer : public ::testing::Test {
public:
    void Open(kt::AsyncOptions options = Manual()) {
        io = std::make_unique<kt::AsyncIo>(options, nullptr);
        path = kt::DataDir("layer") + "\\probe.bin";
        std::string bytes(kFileBytes, '\0');
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = char(FileByte(i));
        kt::WriteFileBytes(path, bytes);
        file = call.CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED | FILE_FLAG_NO_BUFFERING, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        port = call.CreateIoCompletionPort(file, nullptr, 7, 0);
        ASSERT_NE(port, nullptr);
        buffer = static_cast<uint8_t*>(
            VirtualAlloc(nullptr, 8 * kPage, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        std::memset(buffer, 0xEE, 8 * kPage);
        event = CreateEventA(nullptr, TRUE, TRUE, nullptr); // set: an issue must reset it
    }
    void TearDown() override {
        io.reset();
        if (buffer)
            VirtualFree(buffer, 0, MEM_RELEASE);
        if (event)
            CloseHandle(event);
        if (port)
            CloseHandle(port);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        DeleteFileA(path.c_str());
    }
    static kt::AsyncOptions Manual() {
        kt::AsyncOptions o;
        o.driver = kt::AsyncOptions::Driver::Manual;
        return o;
    }
    BOOL Read(OVERLAPPED& ov, uint64_t offset, DWORD length, void* into = nullptr) {
        ov = OVERLAPPED{};
        ov.Offset = DWORD(offset);
        ov.OffsetHigh = DWORD(offset >> 32);
        ov.hEvent = event;
        return call.ReadFile(file, into ? into : buffer, length, nullptr, &ov);
    }
    BOOL Write(OVERLAPPED& ov, uint64_t offset, DWORD length) {
        ov = OVERLAPPED{};
        ov.Offset = DWORD(offset);
        ov.hEvent = event;
        return call.WriteFile(file, buffer, length, nullptr, &ov);
    }
    // Packets queued now; each is checked to carry the file's key.
    int Packets(OVERLAPPED* expected, DWORD* lastError = nullptr, DWORD* lastBytes = nullptr) {
        int packets = 0;
        for (;;) {
            DWORD bytes = 0;
            ULONG_PTR key = 0;
            OVERLAPPED* got = nullptr;
            BOOL ok = GetQueuedCompletionStatus(port, &bytes, &key, &got, 0);
            if (!got)
                return packets;
            EXPECT_EQ(got, expected);
            EXPECT_EQ(key, 7u);
            if (lastError)
                *lastError = ok ? ERROR_SUCCESS : GetLastError();
            if (lastBytes)
                *lastBytes = bytes;
            ++packets;
        }
    }
    uint64_t OnlyPending() {
        auto pending = io->Pending();
        EXPECT_EQ(pending.size(), 1u);
        return pending.empty() ? 0 : pending[0].id;
    }

    const kt::AsyncIo::Calls& call = kt::AsyncIo::Replacements();
    std::unique_ptr<kt::AsyncIo> io;
    std::string path;
    HANDLE file = INVALID_HANDLE_VALUE, port = nullptr, event = nullptr;
    uint8_t* buffer = nullptr;
};

TEST_F(Layer, ReadIsPendingUntilCompletedAndMovesTheBytesOnlyThen) {
    Open();
    OVERLAPPED ov;
    ASSERT_FALSE(Read(ov, kPage, 2 * kPage));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    EXPECT_EQ(ov.Internal, ULONG_PTR(0x103)) << "STATUS_PENDING";
    EXPECT_FALSE(HasOverlappedIoCompleted(&ov));
    EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_TIMEOUT)) << "the issue resets the event";
    DWORD bytes = 99;
    EXPECT_FALSE(call.GetOverlappedResult(file, &ov, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_INCOMPLETE));
    EXPECT_EQ(Packets(&ov), 0);

    ASSERT_TRUE(io->Complete(OnlyPending()));
    EXPECT_TRUE(HasOverlappedIoCompleted(&ov));
    EXPECT_EQ(ov.Internal, 0u);
    EXPECT_EQ(ov.InternalHigh, 2 * kPage);
    EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_OBJECT_0));
    DWORD packetBytes = 0;
    EXPECT_EQ(Packets(&ov, nullptr, &packetBytes), 1);
    EXPECT_EQ(packetBytes, 2 * kPage);
    EXPECT_TRUE(call.GetOverlappedResult(file, &ov, &bytes, FALSE));
    EXPECT_EQ(bytes, 2 * kPage);
    for (size_t i = 0; i < 2 * kPage; ++i)
        ASSERT_EQ(buffer[i], FileByte(kPage + i)) << "byte " << i;
    EXPECT_EQ(buffer[2 * kPage], 0xEE);
    EXPECT_EQ(io->Counters().Faults(), 0u) << io->Report();
}

TEST_F(Layer, WriteReachesTheFileOnlyAtCompletion) {
    Open();
    std::memset(buffer, 0x42, kPage);
    OVERLAPPED ov;
    ASSERT_FALSE(Write(ov, 3 * kPage, kPage));
    ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    EXPECT_EQ(uint8_t(kt::ReadFileBytes(path)[3 * kPage]), FileByte(3 * kPage));
    ASSERT_TRUE(io->Complete(OnlyPending()));
    EXPECT_EQ(uint8_t(kt::ReadFileBytes(path)[3 * kPage]), 0x42);
    EXPECT_EQ(Packets(&ov), 1);
    EXPECT_EQ(io->Counters().Faults(), 0u) << io->Report();
}

struct NotifyCase {
    const char* name;
    bool atOnce;
    bool skipOnSuccess;
    bool lowBit;
    int packets;
};

class Notification : public Layer, public ::testing::WithParamInterface<NotifyCase> {};

// A port packet for every pending answer and for a success at once, except where the file asked
// for none on success or the event's low bit asks for none at all.
TEST_P(Notification, PacketsAsWindowsQueuesThem) {
    const NotifyCase& c = GetParam();
    Open();
    if (c.skipOnSuccess) {
        ASSERT_TRUE(
            call.SetFileCompletionNotificationModes(file, FILE_SKIP_COMPLETION_PORT_ON_SUCCESS));
    }
    io->SetPolicy([&](const kt::Transfer&) {
        return kt::Fate{c.atOnce ? kt::Fate::AtOnce : kt::Fate::Later};
    });
    OVERLAPPED ov{};
    ov.hEvent = c.lowBit ? HANDLE(uintptr_t(event) | 1) : event;
    BOOL done = call.ReadFile(file, buffer, kPage, nullptr, &ov);
    EXPECT_EQ(bool(done), c.atOnce);
    if (!c.atOnce) {
        EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
        EXPECT_EQ(Packets(&ov), 0);
        ASSERT_TRUE(io->Complete(OnlyPending()));
    }
    EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_OBJECT_0));
    EXPECT_EQ(Packets(&ov), c.packets);
    EXPECT_EQ(buffer[1], FileByte(1));
}

INSTANTIATE_TEST_SUITE_P(Cases, Notification,
                         ::testing::Values(NotifyCase{"Pending", false, false, false, 1},
                                           NotifyCase{"PendingSkipOnSuccess", false, true, false,
                                                      1},
                                           NotifyCase{"PendingLowBit", false, false, true, 0},
                                           NotifyCase{"AtOnce", true, false, false, 1},
                                           NotifyCase{"AtOnceSkipOnSuccess", true, true, false, 0},
                                           NotifyCase{"AtOnceLowBit", true, false, true, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

struct EndCase {
    const char* name;
    kt::Fate fate;
    DWORD error; // of the packet and of GetOverlappedResult; 0: success
    DWORD bytes;
};

class Endings : public Layer, public ::testing::WithParamInterface<EndCase> {};

TEST_P(Endings, StatusReachesPacketAndResult) {
    const EndCase& c = GetParam();
    Open();
    OVERLAPPED ov;
    ASSERT_FALSE(Read(ov, 0, 4 * kPage));
    ASSERT_TRUE(io->Complete(OnlyPending(), c.fate));
    DWORD error = 0, bytes = 0;
    EXPECT_EQ(Packets(&ov, &error, &bytes), 1);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(bytes, c.bytes);
    DWORD result = 0;
    EXPECT_EQ(bool(call.GetOverlappedResult(file, &ov, &result, FALSE)), c.error == 0);
    if (c.error) {
        EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_EQ(result, c.bytes);
    EXPECT_EQ(buffer[c.bytes], 0xEE) << "nothing past the bytes moved";
    if (c.bytes) {
        EXPECT_EQ(buffer[c.bytes - 1], FileByte(c.bytes - 1));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Endings,
    ::testing::Values(EndCase{"Whole", kt::Fate{}, 0, 4 * kPage},
                      EndCase{"Short", kt::Fate::Shortened(kPage), 0, kPage},
                      EndCase{"DiskFull", kt::Fate::Failing(ERROR_DISK_FULL), ERROR_DISK_FULL, 0},
                      EndCase{"DeviceError", kt::Fate::Failing(ERROR_IO_DEVICE), ERROR_IO_DEVICE,
                              0},
                      EndCase{"Crc", kt::Fate::Failing(ERROR_CRC), ERROR_CRC, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Layer, CancellationAbortsWhatCanBeCancelled) {
    Open();
    io->SetPolicy([](const kt::Transfer& t) {
        return kt::Fate{t.sequence == 0 ? kt::Fate::Hold : kt::Fate::HoldForEver};
    });
    OVERLAPPED held, stuck;
    ASSERT_FALSE(Read(held, 0, kPage));
    ASSERT_FALSE(Read(stuck, kPage, kPage, buffer + kPage));
    // CancelIo reaches only the calling thread's transfers.
    kt::Thread([&] { EXPECT_TRUE(call.CancelIo(file)); }).wait();
    EXPECT_EQ(io->Pending().size(), 2u);
    EXPECT_TRUE(call.CancelIoEx(file, &held));
    DWORD error = 0;
    EXPECT_EQ(Packets(&held, &error), 1);
    EXPECT_EQ(error, DWORD(ERROR_OPERATION_ABORTED));
    EXPECT_TRUE(call.CancelIoEx(file, &stuck)) << "asked, though it never ends";
    EXPECT_FALSE(HasOverlappedIoCompleted(&stuck));
    EXPECT_FALSE(call.CancelIoEx(file, &held));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_FOUND));
    EXPECT_EQ(io->Counters().cancelled, 1u);
    ASSERT_TRUE(io->Complete(io->Pending()[0].id)) << "a held transfer ends when the test says";
    EXPECT_EQ(Packets(&stuck), 1);
}

TEST_F(Layer, RefusalAtIssueQueuesNothing) {
    Open();
    io->SetPolicy([](const kt::Transfer&) { return kt::Fate::Refused(ERROR_NOT_ENOUGH_QUOTA); });
    OVERLAPPED ov;
    EXPECT_FALSE(Read(ov, 0, kPage));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_QUOTA));
    EXPECT_TRUE(io->Pending().empty());
    EXPECT_EQ(Packets(&ov), 0);
}

// Without an event the wait is on the file, which the completion signals.
TEST_F(Layer, ResultWaitsWithoutAnEvent) {
    kt::AsyncOptions options;
    options.maxDelayUs = 20000;
    Open(options);
    OVERLAPPED ov{};
    ASSERT_FALSE(call.ReadFile(file, buffer, kPage, nullptr, &ov));
    DWORD bytes = 0;
    EXPECT_TRUE(call.GetOverlappedResult(file, &ov, &bytes, TRUE));
    EXPECT_EQ(bytes, kPage);
    EXPECT_EQ(buffer[7], FileByte(7));
}

struct FaultCase {
    const char* name;
    uint32_t kt::IoCounters::*counter;
    // Does the misdeed while one read into buffer[0, 2 pages) at offset 0 is pending.
    void (*misdeed)(Layer& t, OVERLAPPED& pending);
};

class Faults : public Layer, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(Faults, AreCountedAndSurvived) {
    Open();
    auto* ov = static_cast<OVERLAPPED*>(malloc(sizeof(OVERLAPPED) + 64));
    ASSERT_FALSE(Read(*ov, 0, 2 * kPage));
    GetParam().misdeed(*this, *ov);
    kt::IoCounters c = io->Counters();
    EXPECT_EQ(c.*GetParam().counter, 1u) << io->Report();
    io->CompleteAll();
    if (!HasOverlappedIoCompleted(ov)) // a file closed under the read: its duplicate finishes it
        io->CompleteAll();
    free(ov);
}

void FreeBuffer(Layer& t, OVERLAPPED&) {
    EXPECT_TRUE(t.call.VirtualFree(t.buffer, 0, MEM_RELEASE));
    t.buffer[0] = 1; // still there
}
void CloseFile(Layer& t, OVERLAPPED&) {
    EXPECT_TRUE(t.call.CloseHandle(t.file));
    t.file = INVALID_HANDLE_VALUE;
}
void ReissueOverlapped(Layer& t, OVERLAPPED& ov) {
    ov.Offset = 4 * kPage;
    t.call.ReadFile(t.file, t.buffer + 4 * kPage, kPage, nullptr, &ov);
}
void ReuseBuffer(Layer& t, OVERLAPPED&) {
    static OVERLAPPED other;
    t.Read(other, 4 * kPage, kPage, t.buffer + kPage);
}
void PeekBuffer(Layer& t, OVERLAPPED&) {
    volatile uint8_t b = t.buffer[kPage + 5];
    (void)b;
}
void UnalignedRead(Layer& t, OVERLAPPED&) {
    static OVERLAPPED other;
    EXPECT_FALSE(t.Read(other, 512, kPage, t.buffer + 4 * kPage));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}
void FreeOverlapped(Layer& t, OVERLAPPED& ov) {
    t.call.free(&ov); // kept by the layer; the test frees it at the end
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Faults,
    ::testing::Values(
        FaultCase{"BufferFreed", &kt::IoCounters::freedInUse, &FreeBuffer},
        FaultCase{"FileClosed", &kt::IoCounters::closedInUse, &CloseFile},
        FaultCase{"OverlappedReissued", &kt::IoCounters::overlappedReused, &ReissueOverlapped},
        FaultCase{"BufferReused", &kt::IoCounters::reusedInUse, &ReuseBuffer},
        FaultCase{"BufferRead", &kt::IoCounters::touchedInUse, &PeekBuffer},
        FaultCase{"Unaligned", &kt::IoCounters::misaligned, &UnalignedRead},
        FaultCase{"OverlappedFreed", &kt::IoCounters::overlappedFreed, &FreeOverlapped}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Layer, WriteDataChangedBeforeCompletionIsSeen) {
    Open();
    OVERLAPPED ov;
    ASSERT_FALSE(Write(ov, 0, kPage));
    buffer[10] = 0x11; // faults once on the protected page, then goes through
    ASSERT_TRUE(io->Complete(OnlyPending()));
    kt::IoCounters c = io->Counters();
    EXPECT_EQ(c.touchedInUse, 1u);
    EXPECT_EQ(c.changedInUse, 1u);
    EXPECT_EQ(buffer[10], 0x11);
}

struct ModelRow {
    double issued;
    uint64_t bytes;
    double begin, finish;
    bool write = true;
};

struct ModelCase {
    const char* name;
    kt::DiskModel disk;
    std::vector<ModelRow> rows;
};

class DiskModelRows : public ::testing::TestWithParam<ModelCase> {};

// Times in quarter seconds at 1024 bytes a second: every figure is exact in binary.
TEST_P(DiskModelRows, SlotsFollowTheDisk) {
    kt::DiskModel disk = GetParam().disk;
    for (const ModelRow& r : GetParam().rows) {
        auto slot = disk.Schedule(r.issued, r.bytes, r.write);
        EXPECT_NEAR(slot.begin, r.begin, 1e-12) << r.issued;
        EXPECT_NEAR(slot.finish, r.finish, 1e-12) << r.issued;
    }
}

constexpr kt::DiskModel kCached{.bytesPerSecond = 1024,
                                .cacheBytes = 768,
                                .sustainedBytesPerSecond = 256,
                                .drainBytesPerSecond = 128};

INSTANTIATE_TEST_SUITE_P(
    Cases, DiskModelRows,
    ::testing::Values(
        // 2 ms access, 1000 bytes per ms: accesses overlap, the bytes move one transfer at a time.
        ModelCase{"AccessOverlapsBandwidthDoesNot",
                  {0.002, 1e6},
                  {{0.000, 1000, 0.002, 0.003}, // alone: access, then its bytes
                   {0.000, 1000, 0.003, 0.004}, // issued with it: waits for the channel only
                   {0.000, 2000, 0.004, 0.006}, //
                   {0.010, 1000, 0.012, 0.013}, // after an idle spell: the access again
                   {0.0125, 500, 0.0145, 0.015}}},
        // 768 bytes at the fast rate, then a quarter of it; idle time drains 128 bytes a second.
        ModelCase{"WriteCacheFillsAndDrainsAtIdle",
                  kCached,
                  {{0, 512, 0, 0.5},
                   {0, 512, 0.5, 1.75},        // 256 fill the cache, 256 at the slow rate
                   {0, 256, 1.75, 2.75},       // full: all slow
                   {0, 256, 2.75, 3.0, false}, // reads pass the cache by
                   {7.0, 768, 7.0, 8.5}}},     // 4 s idle drained 512: 512 fast, 256 slow
        // After 0.75 s of work half the rate; idle time cools as fast.
        ModelCase{
            "HeatSlowsAfterLoadAndCoolsAtIdle",
            {.bytesPerSecond = 1024, .heatAfterSeconds = 0.75, .heatFactor = 0.5},
            {{0, 512, 0, 0.5}, {0, 256, 0.5, 0.75}, {0, 256, 0.75, 1.25}, {2.0, 256, 2.0, 2.25}}},
        // Every second from the first transfer the next one to begin waits 0.25 s; an idle spell
        // of many seconds costs one stall, and the next is due on the same grid.
        ModelCase{"StallsEverySecond",
                  {.bytesPerSecond = 1024, .stallEverySeconds = 1.0, .stallSeconds = 0.25},
                  {{0, 256, 0, 0.25},
                   {0.875, 256, 0.875, 1.125},
                   {1.0, 256, 1.375, 1.625}, // due at 1.0, begins at 1.125
                   {1.75, 256, 1.75, 2.0},
                   {5.5, 256, 5.75, 6.0},    // one stall for those due at 2, 3, 4 and 5
                   {6.5, 256, 6.75, 7.0}}}), // the one due at 6
    [](const auto& info) { return std::string(info.param.name); });

TEST(DiskModel, LimitsScaleAndStreams) {
    EXPECT_DOUBLE_EQ(kt::DiskModel({0.002, 1e6}).LimitPerSecond(4000), 250.0);
    // Frames of 256 bytes twice a second for 4 s: the first three and part of the fourth fill
    // the cache (drained a little between them), the fifth ends at 3.22 s, the sixth after 4 s.
    kt::DiskModel used = kCached;
    used.Schedule(0, 768);
    EXPECT_EQ(used.FramesStoredWithin(256, 2, 4), 5u) << "from a rested disk";
    for (const kt::DiskPreset& preset : kt::DiskPresets()) {
        SCOPED_TRACE(preset.name);
        const kt::DiskModel real = preset.model;
        const kt::DiskModel test = real.Scaled(kt::kTestSizeDivisor, kt::kTestTimeDivisor);
        // Crossing the cache takes a twentieth of the time; rates are a tenth.
        EXPECT_NEAR(test.bytesPerSecond * 10, real.bytesPerSecond, 1e-3);
        EXPECT_NEAR(test.cacheBytes / test.bytesPerSecond * 20,
                    real.cacheBytes / real.bytesPerSecond, 1e-9);
        EXPECT_NEAR(test.stallEverySeconds * 20, real.stallEverySeconds, 1e-12);
        EXPECT_GT(real.bytesPerSecond, 0);
    }
    const kt::DiskModel qlc = kt::DiskPresets()[1].model.Scaled(200, 20);
    EXPECT_DOUBLE_EQ(qlc.cacheBytes, 120e6);
    EXPECT_NEAR(qlc.cacheBytes / qlc.bytesPerSecond, 0.4, 1e-12);
}

// The model's times are lower bounds of what the transfers take here.
TEST_F(Layer, ModelledTransfersTakeTheirTime) {
    kt::AsyncOptions options;
    options.model = kt::DiskModel{0.020, 2 * kPage * 100.0}; // 20 ms, 2 pages in 10 ms
    Open(options);
    LARGE_INTEGER f, t0, t1, t2;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t0);
    OVERLAPPED a, b{};
    ASSERT_FALSE(Read(a, 0, 2 * kPage));
    b.Offset = 2 * kPage;
    ASSERT_FALSE(call.ReadFile(file, buffer + 2 * kPage, 2 * kPage, nullptr, &b));
    DWORD bytes = 0;
    ASSERT_TRUE(call.GetOverlappedResult(file, &a, &bytes, TRUE));
    QueryPerformanceCounter(&t1);
    ASSERT_TRUE(call.GetOverlappedResult(file, &b, &bytes, TRUE));
    QueryPerformanceCounter(&t2);
    auto ms = [&](LARGE_INTEGER t) { return double(t.QuadPart - t0.QuadPart) * 1000 / f.QuadPart; };
    EXPECT_GE(ms(t1), 29.0);
    EXPECT_GE(ms(t2), 39.0) << "the second transfer's bytes wait for the first's";
    EXPECT_EQ(buffer[2 * kPage + 3], FileByte(2 * kPage + 3));
}

// A sink: writes take the model's time, complete in full and store nothing, the file grows as
// they say; a read of what it discarded fails at once, one beside it reads the file. A take file
// on the same disk (buffered) keeps its bytes.
TEST_F(Layer, SinkStoresNothingAndRefusesReadsOfWhatItDiscarded) {
    kt::AsyncOptions options = Manual();
    const std::string dir = kt::DataDir("layer");
    options.disks.push_back({dir + "/", kt::DiskModel{0, 1e9}, true});
    Open(options);
    std::memset(buffer, 0x42, 2 * kPage);
    OVERLAPPED ov;
    ASSERT_FALSE(Write(ov, 4 * kPage, 2 * kPage));
    ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    ASSERT_TRUE(io->Complete(OnlyPending()));
    DWORD bytes = 0;
    EXPECT_TRUE(call.GetOverlappedResult(file, &ov, &bytes, FALSE));
    EXPECT_EQ(bytes, 2 * kPage);
    EXPECT_EQ(Packets(&ov), 1);
    ASSERT_FALSE(Write(ov, 20 * kPage, kPage));
    ASSERT_TRUE(io->Complete(OnlyPending()));
    EXPECT_EQ(Packets(&ov), 1);
    const std::string now = kt::ReadFileBytes(path);
    ASSERT_EQ(now.size(), 21 * kPage) << "grown by the write past its end";
    EXPECT_EQ(uint8_t(now[4 * kPage]), FileByte(4 * kPage)) << "nothing stored";
    EXPECT_EQ(now[20 * kPage], 0);

    EXPECT_FALSE(Read(ov, 5 * kPage, 2 * kPage));
    EXPECT_EQ(GetLastError(), kt::kDiscardedBytesError);
    EXPECT_TRUE(io->Pending().empty());
    EXPECT_EQ(Packets(&ov), 0);
    ASSERT_FALSE(Read(ov, 6 * kPage, kPage));
    ASSERT_TRUE(io->Complete(OnlyPending()));
    EXPECT_EQ(buffer[7], FileByte(6 * kPage + 7));

    HANDLE sync = call.CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_NO_BUFFERING, nullptr);
    ASSERT_NE(sync, INVALID_HANDLE_VALUE);
    LARGE_INTEGER at{};
    at.QuadPart = 8 * kPage;
    SetFilePointerEx(sync, at, nullptr, FILE_BEGIN);
    DWORD done = 0;
    EXPECT_TRUE(call.WriteFile(sync, buffer, kPage, &done, nullptr));
    EXPECT_EQ(done, kPage);
    SetFilePointerEx(sync, LARGE_INTEGER{}, &at, FILE_CURRENT);
    EXPECT_EQ(at.QuadPart, 9 * kPage) << "the pointer moves past the write";
    at.QuadPart = 8 * kPage;
    SetFilePointerEx(sync, at, nullptr, FILE_BEGIN);
    EXPECT_FALSE(call.ReadFile(sync, buffer, kPage, &done, nullptr));
    EXPECT_EQ(GetLastError(), kt::kDiscardedBytesError);
    EXPECT_EQ(uint8_t(kt::ReadFileBytes(path)[8 * kPage]), FileByte(8 * kPage));
    call.CloseHandle(sync);

    const std::string take = dir + "\\probe.take";
    HANDLE text = call.CreateFileA(take.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(text, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(call.WriteFile(text, "[take]", 6, &done, nullptr));
    call.CloseHandle(text);
    EXPECT_EQ(kt::ReadFileBytes(take), "[take]");
    DeleteFileA(take.c_str());
    kt::IoCounters c = io->Counters();
    EXPECT_EQ(c.discarded, 3u) << io->Report();
    EXPECT_EQ(c.discardedReads, 2u) << io->Report();
}

// Each disk times its own files and moves its bytes while the others move theirs: a short read
// on a fast disk issued after a long one on a slow disk ends first; a file on no disk is not
// timed.
TEST_F(Layer, DisksChosenByPathMoveTheirBytesAtTheSameTime) {
    const std::string dir = kt::DataDir("layer");
    kt::AsyncOptions options;
    options.maxDelayUs = 0;
    options.disks = {{dir + "\\slow\\", kt::DiskModel{0, 2 * kPage * 5.0}},     // 200 ms
                     {dir + "\\FAST\\", kt::DiskModel{0, 2 * kPage * 1000.0}}}; // 1 ms
    Open(options);
    HANDLE files[2];
    const char* names[2] = {"slow", "fast"};
    for (int i = 0; i < 2; ++i) {
        const std::string folder = dir + "\\" + names[i];
        CreateDirectoryA(folder.c_str(), nullptr);
        kt::WriteFileBytes(folder + "\\probe.bin", kt::ReadFileBytes(path));
        files[i] = call.CreateFileA((folder + "\\probe.bin").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED | FILE_FLAG_NO_BUFFERING, nullptr);
        ASSERT_NE(files[i], INVALID_HANDLE_VALUE);
        ASSERT_EQ(call.CreateIoCompletionPort(files[i], port, 7, 0), port);
    }
    LARGE_INTEGER f, t0, t1;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t0);
    OVERLAPPED slow{}, fast{}, plain{};
    ASSERT_FALSE(call.ReadFile(files[0], buffer, 2 * kPage, nullptr, &slow));
    ASSERT_FALSE(call.ReadFile(files[1], buffer + 2 * kPage, 2 * kPage, nullptr, &fast));
    ASSERT_FALSE(call.ReadFile(file, buffer + 4 * kPage, 2 * kPage, nullptr, &plain));
    std::vector<OVERLAPPED*> order;
    for (int i = 0; i < 3; ++i) {
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* got = nullptr;
        ASSERT_TRUE(GetQueuedCompletionStatus(port, &bytes, &key, &got, 5000));
        order.push_back(got);
    }
    QueryPerformanceCounter(&t1);
    EXPECT_EQ(order.back(), &slow) << "the fast disk waited for the slow one";
    EXPECT_GE(double(t1.QuadPart - t0.QuadPart) * 1000 / f.QuadPart, 199.0);
    EXPECT_EQ(buffer[2 * kPage + 9], FileByte(9));
    for (HANDLE h : files)
        call.CloseHandle(h);
    EXPECT_EQ(io->Counters().Faults(), 0u) << io->Report();
}

} // namespace
