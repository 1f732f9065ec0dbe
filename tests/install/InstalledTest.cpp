// The codec as an installer left it, seen from a host of this build (run by install.sh inside the
// prefixes it installs into, not on its own): the codec manager loads the installed library, and
// accepting the configuration sheet stores the change in the settings file beside it.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "UiCommon.h"
#include "UiDriver.h"
#include "WineCodec.h"
#include "resources/resource.h"

using namespace ui;

namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string LoadedCodecPath() {
    char path[MAX_PATH] = {};
    HMODULE module = GetModuleHandleA("kestro32.dll");
    if (module)
        GetModuleFileNameA(module, path, MAX_PATH);
    return path;
}

// One file under two names: a 32-bit program on 64-bit Windows may see SysWOW64 as System32.
bool SameFile(const std::string& a, const std::string& b) {
    BY_HANDLE_FILE_INFORMATION info[2]{};
    const std::string* names[2] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
        HANDLE file = CreateFileA(names[i]->c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return false;
        const BOOL ok = GetFileInformationByHandle(file, &info[i]);
        CloseHandle(file);
        if (!ok)
            return false;
    }
    return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
           info[0].nFileIndexHigh == info[1].nFileIndexHigh &&
           info[0].nFileIndexLow == info[1].nFileIndexLow;
}

std::string IniBeside(const std::string& library) {
    return library.substr(0, library.find_last_of('\\')) + "\\kestdisk.ini";
}

std::string IniFilename(const std::string& ini) {
    char value[MAX_PATH] = {};
    GetPrivateProfileStringA("general", "filename", "", value, sizeof value, ini.c_str());
    return value;
}

// KESTRO_INSTALLED_LIBRARY: where this build's codec was installed (SysWOW64 for the 32-bit
// build on 64-bit Windows).
TEST(Installed, TheCodecManagerLoadsTheInstalledLibrary) {
    const std::string expected = Env("KESTRO_INSTALLED_LIBRARY");
    ASSERT_FALSE(expected.empty()) << "KESTRO_INSTALLED_LIBRARY is not set";
    kt::Hic hic = kt::OpenKest(ICMODE_QUERY);
    ASSERT_TRUE(hic) << "vidc.KEST does not open";
    ICINFO info{};
    ASSERT_EQ(ICGetInfo(hic.get(), &info, sizeof info), LRESULT(sizeof info));
    EXPECT_STREQ(info.szName, L"Kestro32");
    EXPECT_TRUE(SameFile(LoadedCodecPath(), expected)) << LoadedCodecPath();
}

// KESTRO_SHEET_FILENAME: the data file to enter on the file page. The sheet shows the installed
// settings, and once it is accepted the file beside the library holds the new name while the
// codec is still loaded (so it was the sheet, not the unload, that wrote it).
TEST(Installed, AcceptingTheSheetWritesTheSettingsBesideTheLibrary) {
    const std::string entered = Env("KESTRO_SHEET_FILENAME");
    ASSERT_FALSE(entered.empty()) << "KESTRO_SHEET_FILENAME is not set";
    UseUiLanguage(kJapanese); // the sheet's title as a Japanese user sees it
    kt::Hic hic = kt::OpenKest(ICMODE_QUERY);
    ASSERT_TRUE(hic);
    const std::string ini = IniBeside(LoadedCodecPath());
    const std::string installed = IniFilename(ini);
    ASSERT_FALSE(installed.empty()) << ini << " names no data file";
    Drive(
        [&](DWORD thread) {
            HWND sheet = WaitWindow(thread, kSheetTitle);
            ASSERT_NE(sheet, nullptr) << "no sheet";
            HWND file = CurrentPage(sheet);
            EXPECT_EQ(ItemText(file, IDC_FILENAME),
                      std::wstring(installed.begin(), installed.end()));
            SetText(file, IDC_FILENAME, std::wstring(entered.begin(), entered.end()));
            PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_OK, 0);
            EXPECT_TRUE(WaitGone(sheet));
            // Where the other build is installed too, OK offers to write the data file into its
            // settings as well: No, so that this test changes this build's settings alone.
            if (HWND box = WaitMessageBox(thread, 3000)) {
                EXPECT_NE(MessageBoxText(box).find(L"kestdisk.ini"), std::wstring::npos);
                PostMessageW(box, WM_COMMAND, IDNO, 0);
                EXPECT_TRUE(WaitGone(box));
            }
        },
        [&] { EXPECT_EQ(ICConfigure(hic.get(), GetDesktopWindow()), ICERR_OK); });
    EXPECT_TRUE(kt::CodecLoaded());
    EXPECT_EQ(IniFilename(ini), entered) << ini;
}

} // namespace
