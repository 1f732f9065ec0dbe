// The configuration sheet as hosts open it: ICConfigure on the installed codec, driven by hand.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <cpuid.h>

#include "UiCommon.h"
#include "ImportPatch.h"
#include "UiDriver.h"
#include "pure/CpuFeatures.h"
#include "resources/resource.h"
#include "ui/ConfigDlg.h"

using namespace ui;

namespace {

constexpr wchar_t kRangeRequest[] = L"Please enter an integer between 1 and 20.";

class Sheet : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(WaitCodecUnloaded());
        dataDir = kt::DataDir("sheet");
    }
    void Open(std::map<std::string, std::string> ini) {
        kt::WriteIni(ini);
        before = kt::ReadFileBytes(kt::IniPath());
        hic = kt::OpenKest();
        ASSERT_TRUE(hic);
    }
    // Runs the sheet the way hosts do, with a window of their own that must not become owner.
    void Run(const std::function<void(DWORD, HWND)>& driver) {
        Drive(
            [&](DWORD thread) {
                HWND sheet = WaitWindow(thread, kSheetTitle);
                ASSERT_NE(sheet, nullptr) << "no sheet";
                driver(thread, sheet);
                EXPECT_TRUE(WaitGone(sheet));
            },
            [&] { EXPECT_EQ(ICConfigure(hic.get(), GetDesktopWindow()), ICERR_OK); });
    }
    static void PressSheet(HWND sheet, int button) {
        PostMessageW(sheet, PSM_PRESSBUTTON, button, 0);
    }
    std::string dataDir;
    std::string before;
    kt::Hic hic;
};

std::wstring TabText(HWND sheet, int index) {
    HWND tab = reinterpret_cast<HWND>(SendMessageW(sheet, PSM_GETTABCONTROL, 0, 0));
    wchar_t text[64] = {};
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = text;
    item.cchTextMax = 64;
    SendMessageW(tab, TCM_GETITEMW, index, LPARAM(&item));
    return text;
}

// The chooser's list: find an entry by its text (null: the first, no compression), select it
// and press a button.
void ChooseInChooser(DWORD thread, const wchar_t* wanted, int button) {
    HWND chooser = WaitWindow(thread, L"圧縮の設定");
    ASSERT_NE(chooser, nullptr) << "no chooser";
    HWND list = FindWindowExW(chooser, nullptr, L"ComboBox", nullptr);
    ASSERT_NE(list, nullptr);
    int count = int(SendMessageW(list, CB_GETCOUNT, 0, 0)), found = -1;
    for (int i = 0; i < count && found < 0; ++i) {
        wchar_t text[256] = {};
        SendMessageW(list, CB_GETLBTEXT, i, LPARAM(text));
        if (wanted ? wcsstr(text, wanted) != nullptr : i == 0)
            found = i;
    }
    ASSERT_GE(found, 0) << "entry not listed";
    SendMessageW(list, CB_SETCURSEL, found, 0);
    PostMessageW(chooser, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(list), CBN_SELCHANGE), LPARAM(list));
    Sleep(200);
    PostMessageW(chooser, WM_COMMAND, button, 0);
    EXPECT_TRUE(WaitGone(chooser));
}

} // namespace

TEST_F(Sheet, CancelAfterEditsLeavesTheIniAsItWas) {
    Open({{"filename", dataDir + "\\cap"}, {"request", "4"}, {"fourcc", "0"}});
    Run([&](DWORD, HWND sheet) {
        EXPECT_EQ(GetWindow(sheet, GW_OWNER), nullptr) << "the host's window is not the owner";
        EXPECT_EQ(CurrentPageIndex(sheet), 0);
        EXPECT_EQ(TabText(sheet, 0), L"ファイル");
        EXPECT_EQ(TabText(sheet, 1), L"ビデオ圧縮");
        EXPECT_TRUE(IsWindowVisible(GetDlgItem(sheet, IDOK)));
        EXPECT_TRUE(IsWindowVisible(GetDlgItem(sheet, IDCANCEL)));
        HWND apply = GetDlgItem(sheet, kestro::kSheetApplyButton);
        EXPECT_TRUE(!apply || !IsWindowVisible(apply)) << "no Apply button";

        HWND file = CurrentPage(sheet);
        EXPECT_EQ(ItemText(file, IDC_FILENAME),
                  std::wstring(dataDir.begin(), dataDir.end()) + L"\\cap");
        EXPECT_EQ(ItemText(file, IDC_REQUEST), L"4");
        EXPECT_TRUE(SaveScreenshot(sheet, ShotPath("file-page")));
        SetText(file, IDC_FILENAME, L"T:\\elsewhere");
        Click(file, IDC_SPLIT);
        SetText(file, IDC_REQUEST, L"9");

        SelectPageAsync(sheet, 1).wait();
        EXPECT_EQ(CurrentPageIndex(sheet), 1);
        HWND compress = CurrentPage(sheet);
        EXPECT_EQ(ItemText(compress, IDC_DESCRIPTION), L"");
        unsigned a, b, c, d;
        __cpuid(0, a, b, c, d);
        char vendor[13] = {};
        memcpy(vendor, &b, 4);
        memcpy(vendor + 4, &d, 4);
        memcpy(vendor + 8, &c, 4);
        __cpuid(1, a, b, c, d);
        int family = (a >> 8) & 15, model = (a >> 4) & 15;
        if (family == 15)
            family += 16 * ((a >> 20) & 0xFF);
        const char* name = kestro::CpuName(family, model, vendor);
        EXPECT_EQ(ItemText(compress, IDC_CPU_NAME), std::wstring(name, name + strlen(name)));
        for (int id : {IDC_CPU_MMX, IDC_CPU_SSE, IDC_CPU_SSE2, IDC_OS_MMX, IDC_OS_SSE, IDC_OS_SSE2})
            EXPECT_EQ(ItemText(compress, id), L"ON") << id;
        __cpuid(0x80000000u, a, b, c, d);
        bool has3dnow = false;
        if (a >= 0x80000001u) {
            __cpuid(0x80000001u, a, b, c, d);
            has3dnow = d & 0x80000000u;
        }
        EXPECT_EQ(ItemText(compress, IDC_OS_3DNOW), has3dnow ? L"ON" : L"OFF");
        EXPECT_TRUE(SaveScreenshot(sheet, ShotPath("compress-page")));
        PressSheet(sheet, PSBTN_CANCEL);
    });
    EXPECT_EQ(kt::ReadFileBytes(kt::IniPath()), before);
}

TEST_F(Sheet, OkStoresEveryValueAndSavesTheIni) {
    Open({{"filename", dataDir + "\\cap"},
          {"fourcc", "1234"}, // no such compressor: kept as it is
          {"fastwrite", "1"},
          {"cpu", "0"},
          {"fastread", "1"},
          {"huffyuv", "1"}});
    const std::string newName = dataDir + "\\renamed", stripe = dataDir + "\\second\\cap";
    Run([&](DWORD, HWND sheet) {
        HWND file = CurrentPage(sheet);
        SetText(file, IDC_FILENAME, std::wstring(newName.begin(), newName.end()));
        SetText(file, IDC_STRIPE2, std::wstring(stripe.begin(), stripe.end()));
        Click(file, IDC_SPLIT);
        SetText(file, IDC_PIECE_SIZE, L"3");
        SetText(file, IDC_REQUEST, L"7");
        Click(file, IDC_NOCACHE);
        Click(file, IDC_CPU);
        Click(file, IDC_FASTREAD);
        EXPECT_FALSE(Enabled(file, IDC_HUFFYUV));
        EXPECT_TRUE(Checked(file, IDC_HUFFYUV)) << "a disabled box keeps its mark";
        EXPECT_TRUE(Checked(file, IDC_OVERWRITE)) << "the tests' settings file says overwrite=1";
        Click(file, IDC_OVERWRITE);
        PressSheet(sheet, PSBTN_OK);
    });
    EXPECT_EQ(IniValue("filename"), newName);
    EXPECT_EQ(IniValue("divide"), "1");
    EXPECT_EQ(IniValue("dividesize"), "3");
    EXPECT_EQ(IniValue("request"), "7");
    EXPECT_EQ(IniValue("buffer"), "0");
    EXPECT_EQ(IniValue("cpu"), "1");
    EXPECT_EQ(IniValue("fastread"), "0");
    EXPECT_EQ(IniValue("huffyuv"), "1");
    EXPECT_EQ(IniValue("fastwrite"), "1");
    EXPECT_EQ(IniValue("fourcc"), "1234");
    EXPECT_EQ(IniValue("overwrite"), "0");
    EXPECT_EQ(IniValue("stripe1"), "");
    EXPECT_EQ(IniValue("stripe2"), stripe);
}

// OK with a data file whose folder is missing asks first: Yes creates it (and every folder above
// it) and stores, No stores as typed, Cancel keeps the sheet open with nothing stored.
TEST_F(Sheet, OkOffersToCreateAMissingDataFolder) {
    struct Row {
        int answer;
        bool stored, created;
    };
    for (const Row row :
         {Row{IDYES, true, true}, Row{IDNO, true, false}, Row{IDCANCEL, false, false}}) {
        SCOPED_TRACE(row.answer);
        const std::string parent = dataDir + "\\new" + std::to_string(row.answer);
        const std::string folder = parent + "\\deeper";
        RemoveDirectoryA(folder.c_str()); // left by an earlier run of this test
        RemoveDirectoryA(parent.c_str());
        Open({{"filename", dataDir + "\\cap"}});
        Run([&](DWORD thread, HWND sheet) {
            const std::string typed = folder + "\\take";
            SetText(CurrentPage(sheet), IDC_FILENAME, std::wstring(typed.begin(), typed.end()));
            PressSheet(sheet, PSBTN_OK);
            HWND box = WaitMessageBox(thread);
            ASSERT_NE(box, nullptr) << "no question about the missing folder";
            EXPECT_NE(MessageBoxText(box).find(std::wstring(folder.begin(), folder.end())),
                      std::wstring::npos)
                << "the question does not name the folder";
            PostMessageW(box, WM_COMMAND, row.answer, 0);
            EXPECT_TRUE(WaitGone(box));
            if (!row.stored) {
                EXPECT_TRUE(Responsive(sheet) && IsWindowVisible(sheet)) << "the sheet closed";
                PressSheet(sheet, PSBTN_CANCEL);
            }
        });
        EXPECT_EQ(IniValue("filename"), row.stored ? folder + "\\take" : dataDir + "\\cap");
        const DWORD a = GetFileAttributesA(folder.c_str());
        EXPECT_EQ(a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY), row.created);
        hic.reset();
        ASSERT_TRUE(WaitCodecUnloaded());
    }
}

// OK with a stripe data file whose pieces no playback would open, or one in the folder of the
// data file or of another stripe (which spreads no writes over disks): says so, naming the files,
// and keeps the sheet open with nothing stored.
TEST_F(Sheet, OkRefusesAStripeThatCannotPlayOrSharesAFolder) {
    struct Row {
        const char* name;
        std::string stripe1, stripe2;
        std::vector<std::string> named;
    };
    const std::string other = dataDir + "\\other\\a", same = dataDir + "\\other\\b";
    const Row rows[] = {
        {"relative", "cap2", "", {"cap2"}},
        {"the data file's folder", dataDir + "\\cap2", "", {dataDir + "\\cap2", dataDir + "\\cap"}},
        {"another stripe's folder", other, same, {same, other}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Open({{"filename", dataDir + "\\cap"}});
        Run([&](DWORD thread, HWND sheet) {
            HWND file = CurrentPage(sheet);
            SetText(file, IDC_STRIPE1, std::wstring(row.stripe1.begin(), row.stripe1.end()));
            SetText(file, IDC_STRIPE2, std::wstring(row.stripe2.begin(), row.stripe2.end()));
            PressSheet(sheet, PSBTN_OK);
            HWND box = WaitMessageBox(thread);
            ASSERT_NE(box, nullptr) << "no refusal";
            const std::wstring text = MessageBoxText(box);
            for (const std::string& named : row.named)
                EXPECT_NE(text.find(std::wstring(named.begin(), named.end())), std::wstring::npos)
                    << ::testing::PrintToString(text);
            PostMessageW(box, WM_COMMAND, IDOK, 0);
            EXPECT_TRUE(WaitGone(box));
            EXPECT_TRUE(Responsive(sheet) && IsWindowVisible(sheet)) << "the sheet closed";
            PressSheet(sheet, PSBTN_CANCEL);
        });
        EXPECT_EQ(kt::ReadFileBytes(kt::IniPath()), before) << "the refused sheet stored something";
        hic.reset();
        ASSERT_TRUE(WaitCodecUnloaded());
    }
}

BOOL WINAPI TenMebibytesFree(LPCWSTR, PULARGE_INTEGER available, PULARGE_INTEGER total,
                             PULARGE_INTEGER free) {
    for (PULARGE_INTEGER p : {available, total, free})
        if (p)
            p->QuadPart = 10u << 20;
    return TRUE;
}

// A disk with less room than a minute of the estimate's format: OK says so, with the format and
// the two figures, and the user may go back to the sheet.
TEST_F(Sheet, OkWarnsOfADiskWithLessThanAMinute) {
    for (int answer : {IDCANCEL, IDOK}) {
        SCOPED_TRACE(answer);
        Open({{"filename", dataDir + "\\cap"}});
        const std::string typed = dataDir + "\\low";
        {
            kt::ImportPatch patch("kestro32.dll");
            ASSERT_NE(
                patch.Replace("GetDiskFreeSpaceExW", reinterpret_cast<void*>(&TenMebibytesFree)),
                nullptr);
            Run([&](DWORD thread, HWND sheet) {
                SetText(CurrentPage(sheet), IDC_FILENAME, std::wstring(typed.begin(), typed.end()));
                PressSheet(sheet, PSBTN_OK);
                HWND box = WaitMessageBox(thread);
                ASSERT_NE(box, nullptr) << "no warning";
                const std::wstring text = MessageBoxText(box);
                // 640 x 480 x 2 bytes, 30 a second for 60 s: 1054 MiB.
                for (const wchar_t* part : {L"640×480 YUY2", L"30", L"10 MB", L"1054 MB"})
                    EXPECT_NE(text.find(part), std::wstring::npos)
                        << ::testing::PrintToString(text);
                PostMessageW(box, WM_COMMAND, answer, 0);
                EXPECT_TRUE(WaitGone(box));
                if (answer == IDCANCEL) {
                    EXPECT_TRUE(Responsive(sheet) && IsWindowVisible(sheet)) << "the sheet closed";
                    PressSheet(sheet, PSBTN_CANCEL);
                }
            });
        }
        EXPECT_EQ(IniValue("filename"), answer == IDOK ? typed : dataDir + "\\cap");
        hic.reset();
        ASSERT_TRUE(WaitCodecUnloaded());
    }
}

TEST_F(Sheet, RangeChecksStopTheSheetAndShowTheirMessages) {
    Open({{"filename", dataDir + "\\cap"}, {"request", "0"}, {"dividesize", "2"}});
    Drive(
        [&](DWORD thread) {
            // The page reads its controls as it opens: the stored 0 is out of range.
            EXPECT_EQ(DismissMessageBox(thread), kRangeRequest);
            HWND sheet = WaitWindow(thread, kSheetTitle);
            ASSERT_NE(sheet, nullptr);
            HWND file = CurrentPage(sheet);
            EXPECT_EQ(ItemText(file, IDC_REQUEST), L"0");

            SetText(file, IDC_REQUEST, L"21");
            auto change = SelectPageAsync(sheet, 1);
            EXPECT_EQ(DismissMessageBox(thread), kRangeRequest);
            EXPECT_EQ(DismissMessageBox(thread), kRangeRequest);
            change.wait();
            EXPECT_EQ(CurrentPageIndex(sheet), 0) << "the page stays while a check fails";

            SetText(file, IDC_REQUEST, L"x");
            change = SelectPageAsync(sheet, 1);
            EXPECT_EQ(DismissMessageBox(thread), L"Please enter an integer.");
            EXPECT_EQ(DismissMessageBox(thread), L"Please enter an integer.");
            change.wait();

            SetText(file, IDC_REQUEST, L"5");
            SetText(file, IDC_PIECE_SIZE, L"101");
            change = SelectPageAsync(sheet, 1);
            EXPECT_EQ(DismissMessageBox(thread), L"Please enter an integer between 1 and 100.");
            EXPECT_EQ(DismissMessageBox(thread), L"Please enter an integer between 1 and 100.");
            change.wait();
            EXPECT_EQ(CurrentPageIndex(sheet), 0);

            SetText(file, IDC_PIECE_SIZE, L"100");
            PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_OK, 0);
            EXPECT_TRUE(WaitGone(sheet));
        },
        [&] { ICConfigure(hic.get(), nullptr); });
    EXPECT_EQ(IniValue("request"), "5");
    EXPECT_EQ(IniValue("dividesize"), "100");
}

TEST_F(Sheet, ControlsFollowTheChoices) {
    Open({{"filename", dataDir + "\\cap"},
          {"fastwrite", "0"},
          {"divide", "0"},
          {"fastread", "0"},
          {"huffyuv", "1"}});
    Run([&](DWORD, HWND sheet) {
        HWND file = CurrentPage(sheet);
        EXPECT_FALSE(Enabled(file, IDC_PIECE_SIZE));
        EXPECT_FALSE(Enabled(file, IDC_PIECE_SPIN));
        for (int id : {IDC_CACHE, IDC_NOCACHE, IDC_REQUEST, IDC_REQUEST_SPIN, IDC_CPU})
            EXPECT_FALSE(Enabled(file, id)) << id;
        EXPECT_FALSE(Enabled(file, IDC_HUFFYUV));
        EXPECT_TRUE(Checked(file, IDC_HUFFYUV));

        Click(file, IDC_SPLIT);
        EXPECT_TRUE(Enabled(file, IDC_PIECE_SIZE));
        EXPECT_TRUE(Enabled(file, IDC_PIECE_SPIN));
        Click(file, IDC_NOSPLIT);
        EXPECT_FALSE(Enabled(file, IDC_PIECE_SIZE));
        EXPECT_FALSE(Enabled(file, IDC_PIECE_SPIN));

        Click(file, IDC_FASTWRITE);
        for (int id : {IDC_CACHE, IDC_NOCACHE, IDC_REQUEST, IDC_REQUEST_SPIN, IDC_CPU})
            EXPECT_TRUE(Enabled(file, id)) << id;
        EXPECT_FALSE(Enabled(file, IDC_PIECE_SPIN))
            << "the piece size follows the split choice alone";
        Click(file, IDC_FASTREAD);
        EXPECT_TRUE(Enabled(file, IDC_HUFFYUV));
        PressSheet(sheet, PSBTN_CANCEL);
    });
}

TEST_F(Sheet, DriverConfigureAndHelpButtons) {
    Open({{"filename", dataDir + "\\cap"}});
    LRESULT result = 0;
    Drive(
        [&](DWORD thread) {
            HWND sheet = WaitWindow(thread, kSheetTitle);
            ASSERT_NE(sheet, nullptr);
            const size_t windows = ThreadWindows(thread).size();
            Press(CurrentPage(sheet), IDC_HELP_BUTTON);
            SelectPageAsync(sheet, 1).wait();
            Press(CurrentPage(sheet), IDC_HELP_BUTTON);
            Sleep(1000);
            // No server to reach: nothing stalls and nothing pops up.
            EXPECT_TRUE(Responsive(sheet));
            EXPECT_EQ(ThreadWindows(thread).size(), windows);
            PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
            EXPECT_TRUE(WaitGone(sheet));
        },
        [&] { result = ICSendMessage(hic.get(), DRV_CONFIGURE, 0, 0); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(kt::ReadFileBytes(kt::IniPath()), before);
}

TEST_F(Sheet, ChooserSetsAndClearsTheChainedCodec) {
    Open({{"filename", dataDir + "\\cap"}, {"fourcc", "0"}});
    auto choose = ChooseInChooser;
    Run([&](DWORD thread, HWND sheet) {
        SelectPageAsync(sheet, 1).wait();
        HWND page = CurrentPage(sheet);
        EXPECT_EQ(ItemText(page, IDC_DESCRIPTION), L"");
        Press(page, IDC_CHOOSE);
        ASSERT_NO_FATAL_FAILURE(choose(thread, L"Kestro32 test codec", IDCANCEL));
        EXPECT_EQ(ItemText(page, IDC_DESCRIPTION), L"") << "a cancelled choice changes nothing";
        Press(page, IDC_CHOOSE);
        ASSERT_NO_FATAL_FAILURE(choose(thread, L"Kestro32 test codec", IDOK));
        EXPECT_EQ(ItemText(page, IDC_DESCRIPTION), L"Kestro32 test codec");
        PressSheet(sheet, PSBTN_OK);
    });
    EXPECT_EQ(IniValue("fourcc"), std::to_string(int32_t(mmioFOURCC('K', 'T', 'S', 'T'))));
    hic.reset();
    ASSERT_TRUE(WaitCodecUnloaded());

    Open({{"filename", dataDir + "\\cap"},
          {"fourcc", std::to_string(int32_t(mmioFOURCC('K', 'T', 'S', 'T')))}});
    Run([&](DWORD thread, HWND sheet) {
        SelectPageAsync(sheet, 1).wait();
        HWND page = CurrentPage(sheet);
        EXPECT_EQ(ItemText(page, IDC_DESCRIPTION), L"Kestro32 test codec")
            << "the stored code is shown";
        Press(page, IDC_CHOOSE);
        // The first entry: no compression.
        ASSERT_NO_FATAL_FAILURE(choose(thread, nullptr, IDOK));
        EXPECT_EQ(ItemText(page, IDC_DESCRIPTION), L"");
        PressSheet(sheet, PSBTN_OK);
    });
    EXPECT_EQ(IniValue("fourcc"), "0");
}

namespace {

// A host may query, let the user pick another compressor (or none) in the sheet of the same
// codec, and then begin: the run and the stream format follow the new choice.
TEST_F(Sheet, ChoiceMadeAfterAQueryReachesTheNextRun) {
    const std::string piece = dataDir + "\\chain.000";
    Open({{"filename", dataDir + "\\chain"},
          {"fastwrite", "0"},
          {"fourcc", std::to_string(int32_t(kt::kMrle))}});
    kt::Hic helper(ICOpen(ICTYPE_VIDEO, kTestCodecFourcc, ICMODE_QUERY)); // keeps KTST loaded
    ASSERT_TRUE(helper);
    auto chooseInSheet = [&](const wchar_t* wanted) {
        Run([&](DWORD thread, HWND sheet) {
            SelectPageAsync(sheet, 1).wait();
            Press(CurrentPage(sheet), IDC_CHOOSE);
            ASSERT_NO_FATAL_FAILURE(ChooseInChooser(thread, wanted, IDOK));
            PressSheet(sheet, PSBTN_OK);
        });
    };
    auto compress = [&](kt::Format& in, kt::Format& out, const void* bits) {
        std::vector<uint8_t> record(600, 0);
        DWORD ckid = 0, flags = 0;
        return LONG(ICCompress(hic.get(), 0, out.header(), record.data(), in.header(),
                               const_cast<void*>(bits), &ckid, &flags, 0, 0, 0, nullptr, nullptr));
    };

    // MRLE answered the query; then the test codec is chosen.
    kt::Format eight = kt::MakePalettized(64, 48);
    ASSERT_EQ(ICCompressQuery(hic.get(), eight.header(), nullptr), ICERR_OK);
    chooseInSheet(L"Kestro32 test codec");
    kt::Format stream = kt::StreamFormatFor(hic.get(), eight);
    ASSERT_GE(stream.bytes.size(), 52u + 40);
    auto* s = reinterpret_cast<const uint32_t*>(stream.bytes.data());
    EXPECT_EQ(s[11], kTestCodecFourcc) << "biChainHandler";
    EXPECT_EQ(reinterpret_cast<const BITMAPINFOHEADER*>(stream.bytes.data() + 52)->biCompression,
              kTestCodecFourcc)
        << "the chained part is the chosen codec's own format";
    const int32_t framesBefore = kt::TestCodecCounts().compressFrames;
    ASSERT_EQ(ICCompressBegin(hic.get(), eight.header(), stream.header()), ICERR_OK);
    std::vector<uint8_t> pixels(64 * 48, 7);
    EXPECT_EQ(compress(eight, stream, pixels.data()), ICERR_OK);
    EXPECT_EQ(kt::TestCodecCounts().compressFrames, framesBefore + 1);
    EXPECT_EQ(ICCompressEnd(hic.get()), ICERR_OK);

    // The test codec answered the query; then no compression is chosen.
    kt::Format yuy2 = kt::MakeFormat(64, 32, kt::kYuy2, 16);
    ASSERT_EQ(ICCompressQuery(hic.get(), yuy2.header(), nullptr), ICERR_OK);
    chooseInSheet(nullptr);
    EXPECT_EQ(IniValue("fourcc"), "0");
    kt::Format raw = kt::StreamFormatFor(hic.get(), yuy2);
    ASSERT_EQ(raw.bytes.size(), 52u);
    ASSERT_EQ(ICCompressBegin(hic.get(), yuy2.header(), raw.header()), ICERR_OK);
    std::string image(4096, '\0');
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = char(i * 7 + 1);
    EXPECT_EQ(compress(yuy2, raw, image.data()), ICERR_OK);
    EXPECT_EQ(kt::TestCodecCounts().compressFrames, framesBefore + 1) << "stored as it is";
    EXPECT_EQ(ICCompressEnd(hic.get()), ICERR_OK);
    EXPECT_EQ(kt::ReadFileBytes(piece).substr(0, 4096), image);
    hic.reset();
    DeleteFileA(piece.c_str());
}

} // namespace

// The sheet as a Japanese user sees it and as everyone else does (German has no texts of its
// own and gets the English ones), with a screenshot of each page kept in the build's folder.
TEST_F(Sheet, OpensInTheUsersLanguage) {
    struct Row {
        const char* name;
        LANGID language;
        const wchar_t* title;
        const wchar_t* fileTab;
        const wchar_t* compressTab;
        const wchar_t* fastWrite;
        const wchar_t* choose;
    };
    const Row rows[] = {
        {"ja", kJapanese, kSheetTitle, L"ファイル", L"ビデオ圧縮", L"高速書き込みを行う(&F)",
         L"設定"},
        {"en", kEnglishUs, L"Kestro32 settings", L"File", L"Video compression", L"&Fast write",
         L"Choose"},
        {"de", kGerman, L"Kestro32 settings", L"File", L"Video compression", L"&Fast write",
         L"Choose"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        UseUiLanguage(row.language);
        Open({{"filename", dataDir + "\\cap"}});
        Drive(
            [&](DWORD thread) {
                HWND sheet = WaitWindow(thread, row.title);
                ASSERT_NE(sheet, nullptr) << "no sheet of that title";
                EXPECT_EQ(TabText(sheet, 0), row.fileTab);
                EXPECT_EQ(TabText(sheet, 1), row.compressTab);
                EXPECT_EQ(ItemText(CurrentPage(sheet), IDC_FASTWRITE), row.fastWrite);
                EXPECT_TRUE(SaveScreenshot(sheet, ShotPath(std::string("file-page-") + row.name)));
                SelectPageAsync(sheet, 1).wait();
                EXPECT_EQ(ItemText(CurrentPage(sheet), IDC_CHOOSE), row.choose);
                EXPECT_TRUE(
                    SaveScreenshot(sheet, ShotPath(std::string("compress-page-") + row.name)));
                PressSheet(sheet, PSBTN_CANCEL);
                EXPECT_TRUE(WaitGone(sheet));
            },
            [&] { EXPECT_EQ(ICConfigure(hic.get(), GetDesktopWindow()), ICERR_OK); });
        hic.reset();
        ASSERT_TRUE(WaitCodecUnloaded());
    }
    UseUiLanguage(kJapanese);
}
