// Record paths written by whoever made the AVI: every command of the host program judges them
// by the codec's rule before anything asks the file system about them. Opening a share offers
// the user's logon to its host; a device may answer a read never; a stream or a relative name
// is no piece any capture wrote.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "Host.h"
#include "HostCommands.h"
#include "ImportPatch.h"
#include "PlaybackSupport.h"
#include "WineCodec.h"
#include "edge/Win32Edge.h"
#include "pure/PiecePath.h"
#include "settings/CodecSettings.h"

using namespace host;

namespace {

constexpr LONG kWidth = 128, kHeight = 64;

std::string Dir() {
    static const std::string dir = kt::DataDir("hostile-paths");
    return dir;
}

std::string PathOf(const std::string& name) {
    return Dir() + "\\" + name;
}

struct AviLibraryScope {
    AviLibraryScope() { AVIFileInit(); }
    ~AviLibraryScope() { AVIFileExit(); }
};

// A raw YUY2 capture of one frame whose record names `piece`.
void WriteCapture(const std::string& file, const std::string& piece) {
    AviLibraryScope library;
    kp::WriteAvi(file, kp::RawStream(kWidth, kHeight, kt::kYuy2, 16),
                 {kp::MakeRecord(0, kWidth * kHeight * 2, piece)}, kWidth, kHeight);
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() &&
           lstrcmpiA(text.substr(0, prefix.size()).c_str(), prefix.c_str()) == 0;
}

// What a command may ask the file system about: its own files in the test's folder, the codec
// library and its settings file, and pieces only where the rule lets them be opened.
std::vector<std::string> Unexpected(const kt::FileNameTrace& trace, const std::string& piece) {
    std::vector<std::string> unexpected;
    const std::string dataFile = ReadSetting(SettingKeyOf(&CCodecSettings::dataFileName));
    for (const std::string& call : trace.Calls()) {
        const std::string name = call.substr(call.find(' ') + 1);
        const bool mayOpen = kestro::MayOpenPiecePath(name, dataFile, kestro::FileCallName);
        const bool ownFile = StartsWith(name, Dir()) && !kestro::IsPiecePath(name);
        const std::string library = "\\kestro32.dll";
        const bool codec = name.size() > library.size() &&
                           StartsWith(name.substr(name.size() - library.size()), library);
        if (name == piece || !(mayOpen || ownFile || codec || name == SettingsFilePath()))
            unexpected.push_back(call);
    }
    return unexpected;
}

class HostilePaths : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!kt::CodecLoaded())
            kt::WriteIni({{"filename", PathOf("kestro")}});
    }

    // Runs every command on a capture naming `piece`: each fails, names the frame and the path,
    // and hands nothing the rule refuses to a file call of this program.
    void ExpectRefusedByEveryCommand(const std::string& piece) {
        SCOPED_TRACE(piece);
        const std::string avi = PathOf("hostile.avi");
        ASSERT_NO_FATAL_FAILURE(WriteCapture(avi, piece));
        kt::FileNameTrace trace(nullptr);
        ASSERT_TRUE(trace.active());
        for (const hostcmd::Command& command : hostcmd::Commands(avi, Dir())) {
            SCOPED_TRACE(command.name);
            trace.Clear();
            ::testing::internal::CaptureStderr();
            const int code = command.run();
            const std::string said = ::testing::internal::GetCapturedStderr();
            EXPECT_NE(code, kExitOk);
            EXPECT_NE(said.find("frame 0"), std::string::npos) << said;
            EXPECT_NE(said.find(piece.substr(piece.find_last_of("\\/") + 1)), std::string::npos)
                << said;
            EXPECT_EQ(Unexpected(trace, piece), std::vector<std::string>());
        }
    }
};

TEST_F(HostilePaths, NoCommandAsksTheFileSystemAboutANameTheRuleRefuses) {
    for (const std::string& piece : std::vector<std::string>{
             "\\\\127.0.0.1\\share\\x.000",
             "\\\\?\\GLOBALROOT\\Device\\Mup\\127.0.0.1\\share\\x.000",
             "\\??\\UNC\\127.0.0.1\\share\\x.000",
             "\\\\.\\UNC\\127.0.0.1\\share\\x.000",
             "\\\\;LanmanRedirector\\127.0.0.1\\share\\x.000",
             "\\\\127.0.0.1@SSL@443\\DavWWWRoot\\x.000",
             "\\\\localhost\\c$\\x.000",
             "//127.0.0.1/share/x.000",
             "AUX.000",
             "COM1 .x.000",
             PathOf("COM1 .x.000"),
             PathOf("aux.000"),
             PathOf("kestro.000:s.000"),
             PathOf("kestro.000::$DATA"),
             PathOf("..\\hostile-paths\\kestro.000"),
             "kestro.000",
             "\\kestro.000",
             "T:kestro.000",
             "file://127.0.0.1/share/x.000",
             "%5C%5C127.0.0.1%5Cshare%5Cx.000",
             "C:\\COM\xB9.000",
         })
        ExpectRefusedByEveryCommand(piece);
}

// A console program may switch its file calls to the OEM code page: the superscript two is then
// the OEM byte, which the ANSI page reads as another letter.
TEST_F(HostilePaths, NamesAreJudgedInTheCodePageOfTheFileCalls) {
    char bytes[8] = {};
    BOOL lossy = FALSE;
    const int n =
        WideCharToMultiByte(CP_OEMCP, 0, L"\u00B2", 1, bytes, sizeof bytes, nullptr, &lossy);
    ASSERT_EQ(n, 1) << "this OEM code page has no superscript two";
    ASSERT_FALSE(lossy);
    const std::string piece = PathOf(std::string("LPT") + bytes + ".000");
    SetFileApisToOEM();
    ExpectRefusedByEveryCommand(piece);
    SetFileApisToANSI();
}

// The share the settings name holds this machine's own captures: its pieces are looked for.
TEST_F(HostilePaths, PiecesOnTheConfiguredShareAreStillLookedFor) {
    const std::string ini = kt::ReadFileBytes(SettingsFilePath());
    ASSERT_TRUE(
        WriteSetting(SettingKeyOf(&CCodecSettings::dataFileName), "\\\\kestro-nas\\caps\\take"));
    const std::string piece = "\\\\kestro-nas\\caps\\take.000";
    const std::string avi = PathOf("share.avi");
    WriteCapture(avi, piece);
    {
        kt::FileNameTrace trace(nullptr);
        ASSERT_TRUE(trace.active());
        EXPECT_EQ(RunInspect(avi, true, false), kExitBroken) << "no such share here";
        EXPECT_TRUE(trace.Named(piece)) << ::testing::PrintToString(trace.Calls());
    }
    kt::WriteFileBytes(SettingsFilePath(), ini);
}

} // namespace
