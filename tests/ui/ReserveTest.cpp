// Space reservation: the dialog reached from the file page, and its writers on real files.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "AsyncIo.h"
#include "UiCommon.h"
#include "UiDriver.h"
#include "driver/CodecInstance.h"
#include "pure/TakeFile.h"
#include "resources/resource.h"
#include "ui/ConfigDlg.h"
#include "ui/PartitionDlg.h"
#include "ui/SheetChecks.h"

using namespace ui;

namespace {

constexpr uint64_t kGiB = 1ull << 30;

std::wstring W(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

void SelectFrameSize(HWND dialog, int index) {
    SendMessageW(GetDlgItem(dialog, IDC_FRAME_SIZE), CB_SETCURSEL, index, 0);
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_FRAME_SIZE, CBN_SELCHANGE),
                 LPARAM(GetDlgItem(dialog, IDC_FRAME_SIZE)));
    Sleep(100);
}

void WriteFilled(const std::string& path, size_t bytes, char fill) {
    kt::WriteFileBytes(path, std::string(bytes, fill));
}

// The end of a reservation: the message of the rate it measured, dismissed, or "" when the
// dialog closed without one (a reservation too short to time).
std::wstring RateMessage(DWORD thread, HWND partition) {
    for (int i = 0; i < 2400 && IsWindow(partition); ++i) {
        const std::wstring text = DismissMessageBox(thread, 50);
        if (!text.empty())
            return text;
    }
    return L"";
}

// The configuration sheet through the installed codec, with the reservation opened from it.
class Reservation : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(WaitCodecUnloaded());
        dataDir = kt::DataDir("reserve");
    }
    // `layer`: the asynchronous I/O layer goes under the codec before the sheet opens.
    void RunSheet(const std::map<std::string, std::string>& ini,
                  const std::function<void(DWORD, HWND)>& partitionDriver,
                  std::optional<kt::AsyncOptions> layer = std::nullopt) {
        kt::WriteIni(ini);
        kt::Hic hic = kt::OpenKest();
        ASSERT_TRUE(hic);
        std::optional<kt::AsyncIo> io;
        if (layer) {
            io.emplace(*layer);
            ASSERT_TRUE(io->active());
        }
        Drive(
            [&](DWORD thread) {
                HWND sheet = WaitWindow(thread, kSheetTitle);
                ASSERT_NE(sheet, nullptr);
                Press(CurrentPage(sheet), IDC_RESERVE);
                HWND partition = WaitWindow(thread, kPartitionTitle);
                ASSERT_NE(partition, nullptr);
                partitionDriver(thread, partition);
                EXPECT_TRUE(WaitGone(partition, 120000));
                PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
                EXPECT_TRUE(WaitGone(sheet));
            },
            [&] { ICConfigure(hic.get(), nullptr); });
    }
    std::string dataDir;
};

} // namespace

TEST_F(Reservation, SizeFollowsRateMinutesAndFrameSize) {
    const std::string base = dataDir + "\\cap";
    const uint64_t tail = 4096;
    WriteFilled(base + ".000", 2 * 4608000 + tail, '\xAB');
    RunSheet({{"filename", base}, {"divide", "0"}}, [&](DWORD thread, HWND dialog) {
        EXPECT_EQ(ItemText(dialog, IDC_FRAME_RATE), L"24");
        EXPECT_EQ(ItemText(dialog, IDC_MINUTES), L"1");
        HWND list = GetDlgItem(dialog, IDC_FRAME_SIZE);
        const wchar_t* sizes[] = {L"1036800", L"691200", L"345600", L"921600", L"614400", L"307200",
                                  L"253440",  L"168960", L"84480",  L"230400", L"153600", L"76800"};
        ASSERT_EQ(SendMessageW(list, CB_GETCOUNT, 0, 0), 12);
        for (int i = 0; i < 12; ++i) {
            wchar_t text[32] = {};
            SendMessageW(list, CB_GETLBTEXT, i, LPARAM(text));
            EXPECT_STREQ(text, sizes[i]) << i;
        }
        EXPECT_EQ(SendMessageW(list, CB_GETCURSEL, 0, 0), 4);
        EXPECT_EQ(ItemText(dialog, IDC_SIZE_TEXT), L"843");
        // overwrite=1: the zeros go into the data file of the settings, whatever it holds.
        EXPECT_EQ(ItemText(dialog, IDC_RESERVE_NAME),
                  L"確保先: " + std::wstring(base.begin(), base.end()) + L".000");

        // Spinning up from 29 reaches the top of the range, which stands for 29.97.
        SetText(dialog, IDC_FRAME_RATE, L"29");
        SendMessageW(GetDlgItem(dialog, IDC_FRAME_RATE), WM_KEYDOWN, VK_UP, 0);
        SendMessageW(GetDlgItem(dialog, IDC_FRAME_RATE), WM_KEYUP, VK_UP, 0);
        EXPECT_EQ(ItemText(dialog, IDC_FRAME_RATE), L"29.97");
        EXPECT_EQ(ItemText(dialog, IDC_SIZE_TEXT), L"1053");
        EXPECT_TRUE(SaveScreenshot(dialog, ShotPath("reservation-dialog")));
        // Spinning down again leaves the fraction.
        SendMessageW(GetDlgItem(dialog, IDC_FRAME_RATE), WM_KEYDOWN, VK_DOWN, 0);
        SendMessageW(GetDlgItem(dialog, IDC_FRAME_RATE), WM_KEYUP, VK_DOWN, 0);
        EXPECT_EQ(ItemText(dialog, IDC_FRAME_RATE), L"29");

        // Out of range: the message comes, and the size still follows what was typed.
        SetText(dialog, IDC_FRAME_RATE, L"1");
        SelectFrameSize(dialog, 11);
        EXPECT_EQ(ItemText(dialog, IDC_SIZE_TEXT), L"4");
        auto typed = SetTextAsync(dialog, IDC_MINUTES, L"181");
        EXPECT_EQ(DismissMessageBox(thread), L"Please enter an integer between 1 and 180.");
        typed.wait();
        EXPECT_EQ(ItemText(dialog, IDC_SIZE_TEXT), L"795"); // 181 × 60 × 76800 bytes
        SetText(dialog, IDC_MINUTES, L"1");
        typed = SetTextAsync(dialog, IDC_FRAME_RATE, L"31");
        EXPECT_EQ(DismissMessageBox(thread), L"Please enter a number between 1 and 30.");
        typed.wait();
        SetText(dialog, IDC_FRAME_RATE, L"1");
        typed = SetTextAsync(dialog, IDC_FRAME_RATE, L"");
        EXPECT_EQ(DismissMessageBox(thread), L"Please enter a number.");
        typed.wait();
        EXPECT_EQ(ItemText(dialog, IDC_FRAME_RATE), L"1") << "the field shows the rate it kept";
        EXPECT_EQ(ItemText(dialog, IDC_SIZE_TEXT), L"4");
        Press(dialog, IDOK);
        RateMessage(thread, dialog);
    });
    if (HasFatalFailure())
        return;
    // 4608000 bytes of zeros, and the longer file keeps its length and its tail.
    const std::string piece = base + ".000";
    EXPECT_EQ(FileSize(piece), 2 * 4608000 + tail);
    EXPECT_TRUE(AllZero(piece, 0, 4608000));
    std::string bytes = kt::ReadFileBytes(piece);
    EXPECT_EQ(bytes.find_first_not_of('\xAB', 4608000), std::string::npos);
    EXPECT_EQ(FileSize(base + ".001"), UINT64_MAX) << "no split: one piece";
    DeleteFileA(piece.c_str());
}

// Cancel writes nothing. The dialog names where the zeros would go: beside a take of frames,
// where the next capture would go too.
TEST_F(Reservation, CancelWritesNothing) {
    struct Row {
        const char* leaf;
        bool takeThere;
        const char* shown;
    };
    for (const Row& row : {Row{"none", false, "none.000"}, Row{"kept", true, "kept-2.000"}}) {
        SCOPED_TRACE(row.leaf);
        const std::string base = dataDir + "\\" + row.leaf;
        if (row.takeThere)
            WriteFilled(base + ".000", 8 * 4096, '\xAB');
        std::wstring shown;
        RunSheet({{"filename", base}, {"overwrite", "0"}}, [&](DWORD, HWND dialog) {
            shown = ItemText(dialog, IDC_RESERVE_NAME);
            Press(dialog, IDCANCEL);
        });
        if (HasFatalFailure())
            return;
        const std::string want = dataDir + "\\" + row.shown;
        EXPECT_EQ(shown, L"確保先: " + std::wstring(want.begin(), want.end()));
        EXPECT_EQ(FileSize(base + "-2.000"), UINT64_MAX);
        EXPECT_EQ(FileSize(base + ".000"), row.takeThere ? uint64_t(8 * 4096) : UINT64_MAX);
        DeleteFileA((base + ".000").c_str());
    }
}

TEST_F(Reservation, SplitGibibyteOnTmpfs) {
    const std::string base = dataDir + "\\big";
    RunSheet({{"filename", base}, {"divide", "1"}, {"dividesize", "1"}},
             [&](DWORD thread, HWND dialog) {
                 SetText(dialog, IDC_FRAME_RATE, L"30");
                 EXPECT_EQ(ItemText(dialog, IDC_FRAME_RATE), L"29.97");
                 EXPECT_EQ(ItemText(dialog, IDC_SIZE_TEXT), L"1053");
                 Press(dialog, IDOK);
                 if (HWND progress = WaitWindow(thread, kProgressTitle, 5000)) {
                     // The writers may finish first; the deterministic picture is taken below.
                     SaveScreenshot(progress, ShotPath("progress-split"));
                 }
                 RateMessage(thread, dialog);
             });
    if (HasFatalFailure())
        return;
    EXPECT_EQ(FileSize(base + ".000"), kGiB);
    EXPECT_EQ(FileSize(base + ".001"), 30949376u);
    EXPECT_TRUE(AllZero(base + ".000", 0, kGiB));
    EXPECT_TRUE(AllZero(base + ".001", 0, 30949376u));
    EXPECT_EQ(FileSize(base + ".002"), UINT64_MAX);
    DeleteFileA((base + ".000").c_str());
    DeleteFileA((base + ".001").c_str());
}

// The reservation says the rate it wrote at, and warns when that falls short of the chosen frame
// size and rate (24 fps of 76800 bytes: 1.84 MB/s, 2.2 MB/s with the margin). The disk is a
// modelled sink under the codec whose clock runs 100 times faster: 110 MB at 150 MB/s take
// 0.74 s here and 74 s by the codec's clock, so it measures 1.5 MB/s. With a stripe on a disk
// of its own each disk writes half, and the take goes as fast as twice the slower one.
struct RateRow {
    const char* name;
    double bytesPerSecond; // of the model
    UINT text;
    double low, high;            // the rate shown, in MB/s: a real clock's delays only lower it
    double stripeBytesPerSecond; // of the stripe's disk; 0: no stripe
};

class ReservationRate : public Reservation, public ::testing::WithParamInterface<RateRow> {};

TEST_P(ReservationRate, SaysTheRateAndWarnsWhenTooSlow) {
    const RateRow& row = GetParam();
    const std::string base = dataDir + "\\rate-" + row.name;
    kt::AsyncOptions layer;
    layer.maxDelayUs = 0;
    layer.guardBuffers = false;
    layer.checksumWrites = false;
    layer.timeScale = 100;
    const std::string stripe = dataDir + "\\second\\rate-" + row.name;
    if (row.stripeBytesPerSecond > 0) {
        CreateDirectoryA((dataDir + "\\second").c_str(), nullptr);
        layer.disks.push_back(
            {dataDir + "\\second\\", kt::DiskModel{0, row.stripeBytesPerSecond}, true});
    }
    layer.disks.push_back({dataDir + "\\", kt::DiskModel{0, row.bytesPerSecond}, true});
    std::wstring message;
    RunSheet(
        {{"filename", base}, {"divide", "0"}, {"stripe1", row.stripeBytesPerSecond ? stripe : ""}},
        [&](DWORD thread, HWND dialog) {
            SelectFrameSize(dialog, 11);
            EXPECT_EQ(ItemText(dialog, IDC_SIZE_TEXT), L"105");
            Press(dialog, IDOK);
            message = RateMessage(thread, dialog);
        },
        layer);
    if (HasFatalFailure())
        return;
    UseCodecResources(); // the texts as the codec holds them
    if (row.stripeBytesPerSecond > 0) {
        // A line per disk with the rate it measured, then the take's.
        const size_t end = message.find(L"\n\n");
        ASSERT_NE(end, std::wstring::npos) << message;
        const std::wstring data = W(base + ".000: "), second = W(stripe + ".000: ");
        ASSERT_EQ(message.find(data), 0u) << message;
        const size_t at = message.find(second);
        ASSERT_NE(at, std::wstring::npos) << message;
        EXPECT_GT(std::stod(message.substr(data.size())), 5) << message;
        EXPECT_LE(std::stod(message.substr(at + second.size())), row.high / 2) << message;
        message = message.substr(end + 2);
    }
    const std::wstring expected = kestro::WithValues(row.text, L"\x01", L"2.2");
    const size_t at = expected.find(L'\x01');
    const size_t end = message.find_first_not_of(L"0123456789.", at);
    ASSERT_NE(end, std::wstring::npos) << message;
    EXPECT_EQ(message.substr(0, at), expected.substr(0, at));
    EXPECT_EQ(message.substr(end), expected.substr(at + 1)) << "the need with its margin";
    const double shown = end > at ? std::stod(message.substr(at, end - at)) : 0;
    EXPECT_GE(shown, row.low) << message;
    EXPECT_LE(shown, row.high) << message;
    const uint64_t share = row.stripeBytesPerSecond > 0 ? 110592000u / 2 : 110592000u;
    EXPECT_EQ(FileSize(base + ".000"), share) << "the sink grows the piece";
    DeleteFileA((base + ".000").c_str());
    if (row.stripeBytesPerSecond > 0) {
        EXPECT_EQ(FileSize(stripe + ".000"), share) << "the stripe's disk holds its share";
        DeleteFileA((stripe + ".000").c_str());
    }
}

INSTANTIATE_TEST_SUITE_P(Disks, ReservationRate,
                         ::testing::Values(RateRow{"Slow", 150e6, IDS_RESERVE_SLOW, 0.5, 1.55, 0},
                                           RateRow{"Fast", 4e9, IDS_RESERVE_RATE, 5, 42, 0},
                                           RateRow{"Striped", 4e9, IDS_RESERVE_RATE, 2.3, 6.1,
                                                   300e6}),
                         [](const auto& info) { return std::string(info.param.name); });

// In-process: the dialog classes themselves, on this program's own settings record.

class ReserveInProcess : public ::testing::Test {
protected:
    void SetUp() override {
        UseCodecResources();
        kestro::ReserveFaultInjection() = {};
        dataDir = kt::DataDir(std::string("inproc-") +
                              ::testing::UnitTest::GetInstance()->current_test_info()->name());
        settings.profilepath = dataDir + "\\kestdisk.ini";
        settings.dataFileName = dataDir + "\\piece";
        settings.RebuildPieceNames();
    }
    void TearDown() override { kestro::ReserveFaultInjection() = {}; }
    // Runs the progress dialog for `bytes`; the driver gets the dialog when it shows. A fatal
    // failure inside ends the test: what the writers left is then no measure.
    void RunProgress(uint64_t bytes, bool divide, int32_t dividesize,
                     const std::function<void(DWORD, HWND)>& driver = nullptr) {
        CCodecSettings chosen = settings;
        chosen.splitPieces = divide;
        chosen.pieceGiB = dividesize;
        CFilePage page(chosen);
        Drive(
            [&](DWORD thread) {
                if (driver) {
                    HWND dialog = WaitWindow(thread, kProgressTitle);
                    ASSERT_NE(dialog, nullptr);
                    driver(thread, dialog);
                    EXPECT_TRUE(WaitGone(dialog));
                }
            },
            [&] {
                CProgressDlg dialog(page, bytes);
                ASSERT_EQ(dialog.RunModal(nullptr, IDD_PROGRESS), IDCANCEL);
            });
    }
    std::string Piece(int i) { return settings.PieceName(i); }
    CCodecSettings settings;
    std::string dataDir;
};

TEST_F(ReserveInProcess, ShortTotalMakesOneShortPiece) {
    RunProgress(8192000 + 512, true, 1);
    if (HasFatalFailure())
        return;
    EXPECT_EQ(FileSize(Piece(0)), 8192000u + 512);
    EXPECT_TRUE(AllZero(Piece(0), 0, 8192000 + 512));
    EXPECT_EQ(FileSize(Piece(1)), UINT64_MAX);
}

// Zeros written over a take replace it: the take file then names a take of no frames, and an AVI
// of the take before is refused instead of shown black. A piece 0 that cannot be written keeps
// the take it holds.
TEST_F(ReserveInProcess, ZerosReplaceTheTakeOfTheirPieces) {
    const std::string takeFile = dataDir + "\\piece.take";
    kestro::TakeFile earlier;
    earlier.id = 0x5EED1234;
    earlier.started = kestro::TakeTimeText(2026, 1, 2, 3, 4, 5);
    earlier.frames = 90;
    kt::WriteFileBytes(takeFile, kestro::FormatTakeFile(earlier));
    DeleteFileA(Piece(0).c_str()); // a folder of an earlier process of the same number
    ASSERT_TRUE(CreateDirectoryA(Piece(0).c_str(), nullptr));
    RunProgress(8192, true, 1);
    RemoveDirectoryA(Piece(0).c_str());
    EXPECT_EQ(kt::ReadFileBytes(takeFile), kestro::FormatTakeFile(earlier));

    WriteFilled(Piece(0), 3 * 8192, '\x5A');
    RunProgress(8192, true, 1);
    if (HasFatalFailure())
        return;
    EXPECT_TRUE(AllZero(Piece(0), 0, 8192));
    auto now = kestro::ParseTakeFile(kt::ReadFileBytes(takeFile)).take;
    ASSERT_TRUE(now);
    EXPECT_NE(now->id, earlier.id);
    EXPECT_EQ(now->frames, 0u);
    EXPECT_TRUE(now->streamFormat.empty());
    EXPECT_EQ(now->replaced, (std::vector<kestro::EarlierTake>{{earlier.id, earlier.started}}));
    DeleteFileA(Piece(0).c_str());
    DeleteFileA(takeFile.c_str());
}

TEST_F(ReserveInProcess, FailuresNeverLeaveTheDialogWaiting) {
    // A writer without a thread: the others run and the dialog still closes.
    kestro::ReserveFaultInjection().failThreadAt = 0;
    RunProgress(kGiB + 8192, true, 1);
    if (HasFatalFailure())
        return;
    EXPECT_EQ(FileSize(Piece(0)), UINT64_MAX);
    EXPECT_EQ(FileSize(Piece(1)), 8192u);

    // No writer at all: nothing to wait for.
    kestro::ReserveFaultInjection() = {};
    kestro::ReserveFaultInjection().failWriterAt = 0;
    RunProgress(8192, false, 1);
    if (HasFatalFailure())
        return;
    EXPECT_EQ(FileSize(Piece(0)), UINT64_MAX);

    kestro::ReserveFaultInjection() = {};
    kestro::ReserveFaultInjection().failSlots = true;
    RunProgress(8192, true, 1);
    if (HasFatalFailure())
        return;
    EXPECT_EQ(FileSize(Piece(0)), UINT64_MAX);

    // Splitting nothing makes no piece, and no writer slot is read.
    kestro::ReserveFaultInjection() = {};
    RunProgress(0, true, 1);
    if (HasFatalFailure())
        return;
    EXPECT_EQ(FileSize(Piece(0)), UINT64_MAX);
    DeleteFileA(Piece(1).c_str());
}

TEST_F(ReserveInProcess, ProgressAndCancelAgainstASlowDisk) {
    // The piece is a pipe that this test drains: each write waits until it is read.
    const std::string pipeBase =
        "\\\\.\\pipe\\kestro-reserve-" + std::to_string(GetCurrentProcessId());
    settings.dataFileName = pipeBase;
    settings.RebuildPieceNames();
    HANDLE pipe = CreateNamedPipeA(Piece(0).c_str(), PIPE_ACCESS_INBOUND,
                                   PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 4096, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    const uint64_t unit = 8192000;
    std::vector<char> buffer(1 << 20);
    auto drain = [&](uint64_t bytes) {
        while (bytes) {
            DWORD got = 0;
            if (!ReadFile(pipe, buffer.data(), DWORD(std::min<uint64_t>(bytes, buffer.size())),
                          &got, nullptr) ||
                !got)
                return false;
            bytes -= got;
        }
        return true;
    };
    RunProgress(10 * unit, false, 1, [&](DWORD, HWND dialog) {
        EXPECT_TRUE(ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED);
        EXPECT_EQ(ItemText(dialog, IDC_PERCENT), L"0");
        ASSERT_TRUE(drain(3 * unit));
        for (int i = 0; i < 100 && ItemText(dialog, IDC_PERCENT) != L"30"; ++i)
            Sleep(20);
        EXPECT_EQ(ItemText(dialog, IDC_PERCENT), L"30");
        EXPECT_EQ(SendMessageW(GetDlgItem(dialog, IDC_PROGRESS_BAR), PBM_GETPOS, 0, 0), 30);
        EXPECT_TRUE(SaveScreenshot(dialog, ShotPath("progress-dialog")));
        Press(dialog, IDCANCEL);
        // The writer ends the write it is in, then stops before the next one. The press is
        // posted: on a loaded machine the dialog may take it only after the writer has begun
        // another write, so whole writes are drained until the dialog has gone.
        uint64_t afterCancel = 0;
        for (int i = 0; i < 1000 && IsWindow(dialog); ++i) {
            DWORD ready = 0, got = 0;
            if (PeekNamedPipe(pipe, nullptr, 0, nullptr, &ready, nullptr) && ready &&
                ReadFile(pipe, buffer.data(), std::min<DWORD>(ready, DWORD(buffer.size())), &got,
                         nullptr))
                afterCancel += got;
            else
                Sleep(10);
        }
        EXPECT_TRUE(WaitGone(dialog));
        EXPECT_EQ(afterCancel % unit, 0u) << "a write cut short";
        EXPECT_LT(afterCancel, 7 * unit) << "the writer went on to the end";
        Sleep(100);
        DWORD available = 0;
        PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr);
        EXPECT_EQ(available, 0u) << "a write after the stop";
    });
    CloseHandle(pipe);
}

TEST_F(ReserveInProcess, AcceptedSheetRenamesThePieces) {
    CCodecInstance* codec = CCodecInstance::Create(nullptr);
    ASSERT_NE(codec, nullptr);
    CCodecSettings& shared = TheSettings();
    shared.profilepath = dataDir + "\\kestdisk.ini";
    shared.dataFileName = "C:\\kestro";
    shared.RebuildPieceNames();
    const std::string moved = dataDir + "\\moved";
    auto run = [&](const std::string& name) {
        Drive(
            [&](DWORD thread) {
                HWND sheet = WaitWindow(thread, kSheetTitle);
                ASSERT_NE(sheet, nullptr);
                SetText(CurrentPage(sheet), IDC_FILENAME, W(name));
                PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_OK, 0);
                EXPECT_TRUE(WaitGone(sheet));
            },
            [&] { EXPECT_EQ(codec->Configure(), ICERR_OK); });
    };
    run(moved);
    EXPECT_EQ(shared.dataFileName, moved);
    EXPECT_EQ(shared.PieceName(0), moved + ".000");
    EXPECT_EQ(shared.PieceName(499), moved + ".499");
    ULARGE_INTEGER total{};
    ASSERT_TRUE(
        GetDiskFreeSpaceExA((dataDir.substr(0, 2) + "\\").c_str(), nullptr, &total, nullptr));
    EXPECT_EQ(shared.disktotal, total.QuadPart);
    char stored[300] = {};
    GetPrivateProfileStringA("general", "filename", "", stored, sizeof stored,
                             shared.profilepath.c_str());
    EXPECT_EQ(std::string(stored), moved);

    // Without a settings record the sheet still shows, and nothing is stored.
    const std::string ini = kt::ReadFileBytes(shared.profilepath);
    codec->settings = nullptr;
    run(dataDir + "\\ignored");
    EXPECT_EQ(shared.dataFileName, moved);
    EXPECT_EQ(kt::ReadFileBytes(shared.profilepath), ini);
    delete codec;
}
