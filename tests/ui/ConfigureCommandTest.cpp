// `kestro-host configure`, as the Start menu entries run it: the codec's sheet in a program of
// its own, in the language of a user who is not Japanese, accepted with a new data file.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include "UiCommon.h"
#include "UiDriver.h"
#include "resources/resource.h"

using namespace ui;

namespace {

std::string DataFileIn(const std::string& settingsFile) {
    char text[MAX_PATH] = {};
    GetPrivateProfileStringA("general", "filename", "", text, sizeof text, settingsFile.c_str());
    return text;
}

// The settings file of the other bitness's codec: SysWOW64's, seen from the 64-bit codec; ""
// where this build has no other (32-bit Windows).
std::string OtherSettingsFile() {
#ifdef _WIN64
    char wow64[MAX_PATH] = {};
    if (GetSystemWow64DirectoryA(wow64, MAX_PATH))
        return std::string(wow64) + "\\kestdisk.ini";
#endif
    return {};
}

} // namespace

// Yes writes the data file into both settings files; No leaves the other one as it was. Where
// there is no other codec nothing is asked.
TEST(ConfigureCommand, AcceptedSheetWritesTheDataFileIntoBothSettingsFiles) {
    ASSERT_TRUE(WaitCodecUnloaded());
    const std::string dir = kt::DataDir("configure");
    const std::string other = OtherSettingsFile();
    const std::string otherBefore = "C:\\elsewhere\\take";
    for (int answer : {IDYES, IDNO}) {
        SCOPED_TRACE(answer == IDYES ? "yes" : "no");
        kt::WriteIni({{"filename", dir + "\\old"}});
        if (!other.empty())
            kt::WriteFileBytes(other, "[general]\r\nfilename=" + otherBefore + "\r\n");
        const std::string entered = dir + "\\take" + std::to_string(answer);
        // Appended, not added to a literal: GCC 12 warns of a bogus overlap in that operator.
        std::string command = std::string(1, '"').append(kt::HostProgram()).append("\" configure");
        STARTUPINFOA start{};
        start.cb = sizeof start;
        PROCESS_INFORMATION process{};
        ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, &start, &process))
            << command;
        HWND sheet = WaitWindow(process.dwThreadId, L"Kestro32 settings");
        EXPECT_NE(sheet, nullptr) << "no sheet, or not in English";
        std::wstring question;
        if (sheet) {
            SetText(CurrentPage(sheet), IDC_FILENAME, std::wstring(entered.begin(), entered.end()));
            PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_OK, 0);
            EXPECT_TRUE(WaitGone(sheet));
            if (HWND box = WaitMessageBox(process.dwThreadId, other.empty() ? 2000 : kWaitMs)) {
                question = MessageBoxText(box);
                PostMessageW(box, WM_COMMAND, answer, 0);
            }
        }
        EXPECT_EQ(WaitForSingleObject(process.hProcess, 30000), WAIT_OBJECT_0);
        DWORD code = 1;
        GetExitCodeProcess(process.hProcess, &code);
        EXPECT_EQ(code, 0u);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        EXPECT_EQ(IniValue("filename"), entered);
        if (other.empty()) {
            EXPECT_EQ(question, L"") << "nothing to share";
            continue;
        }
        EXPECT_NE(question.find(std::wstring(other.begin(), other.end())), std::wstring::npos)
            << ::testing::PrintToString(question);
        EXPECT_EQ(DataFileIn(other), answer == IDYES ? entered : otherBefore);
        DeleteFileA(other.c_str());
    }
    kt::RemoveIni();
}
