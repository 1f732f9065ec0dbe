// The reason a refused compress begin gives the user: one line to the debugger, and a message
// box on a desktop unless the settings say quiet.
#include <cstring>
#include <functional>

#include "CaptureFixture.h"
#include "ImportPatch.h"
#include "Thread.h"

using namespace kt;

namespace {

std::vector<std::string>* g_debugLines = nullptr;
void WINAPI KeepDebugLine(LPCSTR line) {
    if (g_debugLines && std::strstr(line, "Kestro32 cannot start the capture"))
        g_debugLines->push_back(line);
}

std::string g_deniedPath;
using CreateFileFn = HANDLE(WINAPI*)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                     HANDLE);
CreateFileFn g_createFile = nullptr;
// A folder nothing may be created in (Wine run by root creates anywhere): its piece 0 is denied.
HANDLE WINAPI DenyingCreateFile(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                                DWORD disposition, DWORD flags, HANDLE tmpl) {
    if (name && g_deniedPath == name) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return g_createFile(name, access, share, sa, disposition, flags, tmpl);
}

BOOL WINAPI NoFreeSpace(LPCSTR, PULARGE_INTEGER available, PULARGE_INTEGER total,
                        PULARGE_INTEGER free) {
    for (PULARGE_INTEGER p : {available, free})
        if (p)
            p->QuadPart = 0;
    if (total)
        total->QuadPart = uint64_t(1) << 40;
    return TRUE;
}

class BeginNotice : public CaptureTest {
public:
    // The piece the run opens first.
    std::string First() const { return Piece(0); }
};

struct NoticeRow {
    const char* name;
    const char* leaf;   // data file below the test's folder; "" keeps the fixture's
    const char* reason; // what the line must say
    std::function<void(BeginNotice&, ImportPatch&)> arrange;
    bool keptTake = false;         // the data file holds a take of frames, which keeps its place
    const char* stripe1 = nullptr; // a second data file below the test's folder, which is refused
};

// Every reason the user can mend is named with the data file; a frame of the host that tries
// the begin again does not say it again, the next begin of the host does.
TEST_F(BeginNotice, EveryReasonGoesToTheDebuggerOncePerBegin) {
    const NoticeRow rows[] = {
        {"relative name", "!take", "the data file name is refused: a relative name", {}},
        {"dot component", "\\..\\take", "the data file name is refused: a . or .. component", {}},
        {"no folder", "\\nowhere\\take", "nowhere of the data file does not exist", {}},
        {"piece 0 a folder", "", "cannot be created or opened for writing",
         [](BeginNotice& t, ImportPatch&) { CreateDirectoryA(t.First().c_str(), nullptr); }},
        {"folder not writable", "", "of the data file is not writable (system error 5",
         [](BeginNotice& t, ImportPatch& patch) {
             g_deniedPath = t.First();
             g_createFile = reinterpret_cast<CreateFileFn>(
                 patch.Replace("CreateFileA", reinterpret_cast<void*>(&DenyingCreateFile)));
             ASSERT_NE(g_createFile, nullptr);
         }},
        {"no free space", "", "has too little free space for the first frames",
         [](BeginNotice&, ImportPatch& patch) {
             ASSERT_NE(patch.Replace("GetDiskFreeSpaceExA", reinterpret_cast<void*>(&NoFreeSpace)),
                       nullptr);
         }},
        {"a stripe's folder missing",
         "",
         "nowhere of the data file does not exist",
         {},
         false,
         "\\nowhere\\take"},
        {"a stripe's name refused",
         "",
         "the data file name is refused: a relative name",
         {},
         false,
         "!take"},
        {"a stripe repeating the data file", "", "a stripe names it again", {}, false, "\\DATA"},
        {"a stripe's piece 0 a folder", "", "cannot be created or opened for writing",
         [this](BeginNotice&, ImportPatch&) {
             CreateDirectoryA((dir + "\\other.000").c_str(), nullptr);
         },
         false, "\\other"},
        {"the next name beside a kept take not writable", "", "is not writable (system error 5",
         [this](BeginNotice&, ImportPatch& patch) {
             // The refused begins above left a take file of no frames, which would let this
             // begin capture into the piece; frames of an earlier build have none.
             DeleteFileA((base + ".take").c_str());
             WriteFileBytes(First(), std::string(2 * 4096, '\x5A'));
             extraCleanup.push_back(First());
             g_deniedPath = base + "-2.000";
             g_createFile = reinterpret_cast<CreateFileFn>(
                 patch.Replace("CreateFileA", reinterpret_cast<void*>(&DenyingCreateFile)));
             ASSERT_NE(g_createFile, nullptr);
         },
         true},
    };
    Format in = MakeFormat(64, 32, kYuy2, 16);
    auto image = FramePattern(4096, 0);
    for (const NoticeRow& row : rows) {
        SCOPED_TRACE(row.name);
        std::string name = row.leaf[0] == '!' ? std::string(row.leaf + 1) : dir + row.leaf;
        std::map<std::string, std::string> settings{{"fastwrite", "0"}, {"quiet", "1"}};
        if (row.leaf[0])
            settings["filename"] = name;
        else
            name = base;
        if (row.keptTake)
            settings["overwrite"] = "0";
        if (row.stripe1) {
            name = row.stripe1[0] == '!' ? std::string(row.stripe1 + 1) : dir + row.stripe1;
            settings["stripe1"] = name;
        }
        Open(settings);
        std::vector<std::string> lines;
        {
            ImportPatch patch("kestro32.dll");
            ASSERT_NE(patch.Replace("OutputDebugStringA", reinterpret_cast<void*>(&KeepDebugLine)),
                      nullptr);
            if (row.arrange)
                row.arrange(*this, patch);
            g_debugLines = &lines;
            EXPECT_EQ(Begin(in), ICERR_BADFORMAT);
            EXPECT_EQ(Compress(in, image.data()).result, ICERR_BADFORMAT);
            EXPECT_EQ(lines.size(), 1u) << "a frame's own begin says nothing new";
            EXPECT_EQ(Begin(in), ICERR_BADFORMAT);
            g_debugLines = nullptr;
            g_deniedPath.clear();
        }
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_NE(lines[0].find(row.reason), std::string::npos) << lines[0];
        const std::string place =
            row.keptTake ? "; " + name +
                               " holds an earlier take, which keeps its place; the name "
                               "tried was " +
                               name + "-2"
                         : "";
        EXPECT_NE(lines[0].find("(data file " + name + place + ")\n"), std::string::npos)
            << lines[0];
        EXPECT_EQ(End(), ICERR_OK);
        hic.reset();
        RemoveDirectoryA(First().c_str());
        RemoveDirectoryA((dir + "\\other.000").c_str());
        base = dir + "\\data";
    }
    // A begin that works, and one refused for the format alone (the host's to mend), say nothing.
    Open({{"fastwrite", "1"}, {"buffer", "0"}});
    std::vector<std::string> lines;
    ImportPatch patch("kestro32.dll");
    patch.Replace("OutputDebugStringA", reinterpret_cast<void*>(&KeepDebugLine));
    g_debugLines = &lines;
    EXPECT_EQ(Begin(MakeFormat(60, 30, kYuy2, 16)), ICERR_BADFORMAT) << "not whole pages";
    EXPECT_EQ(Begin(in), ICERR_OK);
    g_debugLines = nullptr;
    EXPECT_TRUE(lines.empty()) << lines.front();
    EXPECT_EQ(End(), ICERR_OK);
}

// Without quiet, on the test's display, the same reason shows in one box, which waits for the
// user; the begin answers after the box is closed.
TEST_F(BeginNotice, WithoutQuietTheReasonShowsInOneMessageBox) {
    char display[64];
    if (!GetEnvironmentVariableA("DISPLAY", display, sizeof display))
        GTEST_SKIP() << "no display (run under Xvfb)";
    const std::string name = dir + "\\nowhere\\take";
    Open({{"fastwrite", "0"}, {"filename", name}, {"quiet", "0"}});
    std::vector<std::string> texts;
    volatile bool stop = false;
    Thread closer([&] {
        for (int waited = 0; waited < 200 && !stop; ++waited) {
            HWND box = FindWindowA("#32770", "Kestro32");
            if (!box) {
                Sleep(50);
                continue;
            }
            char text[1024] = {};
            GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
            texts.push_back(text);
            PostMessageA(box, WM_COMMAND, IDOK, 0);
            while (IsWindow(box) && ++waited < 200)
                Sleep(50);
        }
    });
    Format in = MakeFormat(64, 32, kYuy2, 16);
    EXPECT_EQ(Begin(in), ICERR_BADFORMAT);
    auto image = FramePattern(4096, 0);
    EXPECT_EQ(Compress(in, image.data()).result, ICERR_BADFORMAT);
    Sleep(500); // a second box would be found in this time
    stop = true;
    closer.wait();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_NE(texts[0].find("nowhere of the data file does not exist"), std::string::npos)
        << texts[0];
    EXPECT_NE(texts[0].find("(data file " + name + ")"), std::string::npos) << texts[0];
    EXPECT_EQ(End(), ICERR_OK);
}

} // namespace
