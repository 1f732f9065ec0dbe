// Which record paths may be opened: local absolute pieces, network pieces only inside the
// configured data file's folder, and nothing that is relative, a device, a stream or a way out.
#include <gtest/gtest.h>

#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

#include "pure/PiecePath.h"
#include "pure/SettingsText.h"

using namespace kestro;

namespace {

using K = PathKind;
using R = PathRefusal;

struct Row {
    std::string path;
    PathKind kind;
    PathRefusal refusal;
};

TEST(PiecePath, ClassifiesByTheTextAlone) {
    const std::string longest = "C:\\" + std::string(253, 'a') + ".000"; // 260 characters
    const Row rows[] = {
        // What captures write: the default data file, folders under T:, either slash.
        {"c:\\kestro.000", K::LocalAbsolute, R::None},
        {"C:/kestro.499", K::LocalAbsolute, R::None},
        {"T:\\a\\b.c.499", K::LocalAbsolute, R::None},
        {"T:\\kt-12-hostileF-Name\\data.000", K::LocalAbsolute, R::None},
        {"c:\\a\\\\b.000", K::LocalAbsolute, R::None},
        {"c:\\dir.\\...x\\k.000", K::LocalAbsolute, R::None},
        {"D:\\console.000", K::LocalAbsolute, R::None},
        {"D:\\COM10.000", K::LocalAbsolute, R::None},
        {"D:\\nul1.000", K::LocalAbsolute, R::None},
        {"C:\\\xE9t\xE9\\k.000", K::LocalAbsolute, R::None}, // cp1252
        {"C:\\\x95\x5C\\k.000", K::LocalAbsolute, R::None},  // cp932, trail byte 0x5C
        {longest, K::LocalAbsolute, R::None},
        {"\\\\aux\\share\\x.000", K::Network, R::None}, // a host is no device

        // Network paths: every spelling of one.
        {"\\\\host\\share\\x.000", K::Network, R::None},
        {"//host/share/x.000", K::Network, R::None},
        {"\\/host\\share\\x.000", K::Network, R::None},
        {"/\\host/share\\x.000", K::Network, R::None},
        {"\\\\localhost\\c$\\x.000", K::Network, R::None},
        {"\\\\host@80\\DavWWWRoot\\x.000", K::Network, R::None},
        {"\\\\127.0.0.1\\share\\x.000", K::Network, R::None},
        {"\\\\::1\\share\\x.000", K::Refused, R::Colon},
        {"\\\\host\\share.000", K::Refused, R::BadNetworkName},
        {"\\\\host\\\\share\\x.000", K::Refused, R::BadNetworkName},
        {"\\\\\\host\\share\\x.000", K::Refused, R::BadNetworkName},
        {"\\\\host\\share\\..\\x.000", K::Refused, R::DotComponent},
        {"\\\\..\\share\\x.000", K::Refused, R::DotComponent},
        {"\\\\host\\share\\CON.000", K::Refused, R::DeviceName},

        // Object names of pipes, volumes and devices.
        {"\\\\.\\pipe\\k.000", K::Refused, R::DeviceNamespace},
        {"//./pipe/k.000", K::Refused, R::DeviceNamespace},
        {"\\\\?\\C:\\k.000", K::Refused, R::DeviceNamespace},
        {"\\??\\C:\\k.000", K::Refused, R::DeviceNamespace},
        {"\\\\?\\UNC\\host\\share\\x.000", K::Refused, R::DeviceNamespace},
        {"/\\.\\COM1.000", K::Refused, R::DeviceNamespace},

        // Reserved device names in any component, the superscript digits in every code page.
        {"C:\\dir\\COM1.000", K::Refused, R::DeviceName},
        {"c:\\nul.000", K::Refused, R::DeviceName},
        {"C:\\a\\Con .txt.000", K::Refused, R::DeviceName},
        {"c:\\x\\CONOUT$.000", K::Refused, R::DeviceName},
        {"C:\\NUL\\x.000", K::Refused, R::DeviceName},
        {"C:\\COM\xB9.000", K::Refused, R::DeviceName},
        {"C:\\LPT\xB2.000", K::Refused, R::DeviceName},
        {"C:\\com\xB3.000", K::Refused, R::DeviceName},
        {"C:\\COM\xC2\xB9.000", K::Refused, R::DeviceName}, // UTF-8
        {"C:\\COM\xB4.000", K::LocalAbsolute, R::None},     // no digit anywhere
        {"CONIN$.000", K::Refused, R::DeviceName},
        {"c:aux.000", K::Refused, R::DeviceName},

        // Colons past the drive letter: devices written with one, and stream names.
        {"NUL:x.000", K::Refused, R::Colon},
        {"COM1:x.000", K::Refused, R::Colon},
        {"CON:x.000", K::Refused, R::Colon},
        {"C:\\dir\\NUL:x.000", K::Refused, R::Colon},
        {"C:\\dir\\x:s.000", K::Refused, R::Colon},
        {"C:\\x.000::$DATA:.000", K::Refused, R::Colon},
        {"ab:s.000", K::Refused, R::Colon},

        // Relative to the player's current folder or drive.
        {"x.000", K::Refused, R::Relative},
        {"dir\\x.000", K::Refused, R::Relative},
        {"\\x.000", K::Refused, R::Relative},
        {"/x.000", K::Refused, R::Relative},
        {"..\\x.000", K::Refused, R::DotComponent},
        {"T:data.000", K::Refused, R::DriveRelative},
        {"x:s.000", K::Refused, R::DriveRelative},
        {"T:..\\x.000", K::Refused, R::DotComponent},
        {"C:", K::Refused, R::DriveRelative},

        // Components of dots, wherever they are.
        {"C:\\a\\..\\x.000", K::Refused, R::DotComponent},
        {"C:/a/../../x.000", K::Refused, R::DotComponent},
        {"C:\\.\\x.000", K::Refused, R::DotComponent},
        {"C:\\a\\...\\x.000", K::Refused, R::DotComponent},
        {"C:\\a\\. .\\x.000", K::Refused, R::DotComponent},
        {"C:\\a\\..", K::Refused, R::DotComponent},
        // A trail byte 0x5C before two dots reads as a separator here: refused, never opened.
        {"C:\\\x83\x5C..\\k.000", K::Refused, R::DotComponent},

        // No piece.
        {"c:\\kestro.500", K::Refused, R::NotAPieceName},
        {"c:\\kestro.00", K::Refused, R::NotAPieceName},
        {"c:\\kestdisk.ini", K::Refused, R::NotAPieceName},
        {"\\\\host\\share\\x.txt", K::Refused, R::NotAPieceName},
        {"", K::Refused, R::NotAPieceName},
        {"C:\\a" + longest.substr(3), K::Refused, R::NotAPieceName}, // 261 characters
    };
    for (const Row& row : rows) {
        PathClass c = ClassifyPiecePath(row.path);
        EXPECT_EQ(c.kind, row.kind) << row.path;
        EXPECT_EQ(c.refusal, row.refusal) << row.path;
        EXPECT_EQ(*RefusalText(c.refusal) == 0, c.refusal == R::None) << row.path;
        // The local ones are exactly those the codec opens whatever its data file is.
        EXPECT_EQ(MayOpenPiecePath(row.path, "\\\\elsewhere\\x\\take"),
                  row.kind == K::LocalAbsolute)
            << row.path;
    }
}

// The bytes of `page` as the system's converter reads them into UTF-16 (Wine's tables under
// Wine, glibc's natively): what a file call of a process with that code page opens.
WideName InCodePage(int page) {
    return [page](std::string_view bytes) -> std::optional<std::u16string> {
#ifdef _WIN32
        const int n =
            MultiByteToWideChar(UINT(page), 0, bytes.data(), int(bytes.size()), nullptr, 0);
        if (n <= 0)
            return std::nullopt;
        std::u16string wide(size_t(n), u'\0');
        MultiByteToWideChar(UINT(page), 0, bytes.data(), int(bytes.size()),
                            reinterpret_cast<wchar_t*>(wide.data()), n);
        return wide;
#else
        const std::string name = "CP" + std::to_string(page);
        iconv_t cd = iconv_open("UTF-16LE", name.c_str());
        if (cd == iconv_t(-1))
            return std::nullopt;
        std::string out(bytes.size() * 4 + 4, '\0');
        char* from = const_cast<char*>(bytes.data());
        size_t fromLeft = bytes.size(), toLeft = out.size();
        char* to = out.data();
        const bool ok = iconv(cd, &from, &fromLeft, &to, &toLeft) != size_t(-1);
        iconv_close(cd);
        if (!ok)
            return std::nullopt;
        std::u16string wide((out.size() - toLeft) / 2, u'\0');
        for (size_t i = 0; i < wide.size(); ++i)
            wide[i] = char16_t(uint8_t(out[2 * i]) | uint8_t(out[2 * i + 1]) << 8);
        return wide;
#endif
    };
}

TEST(PiecePath, JudgesTheNameTheCodePageOfTheFileCallMakes) {
    struct CodePageRow {
        const char* path;
        int page;
        PathKind kind;
        PathRefusal refusal;
    } rows[] = {
        // COM¹ and LPT² in the Korean ANSI page and in the OEM pages of a console program.
        {"C:\\q31\\COM\xA9\xF6.000", 949, K::Refused, R::DeviceName},
        {"C:\\q31\\lpt\xA9\xF7.000", 949, K::Refused, R::DeviceName},
        {"C:\\q31\\COM\xA9\xF6\\x.000", 949, K::Refused, R::DeviceName},
        {"C:\\q31\\COM\xA9\xF5.000", 949, K::LocalAbsolute, R::None}, // no superscript
        {"C:\\q32\\COM\xFB.000", 850, K::Refused, R::DeviceName},
        {"C:\\q32\\COM\xFB.000", 857, K::Refused, R::DeviceName},
        {"C:\\q32\\LPT\xFD .x.000", 850, K::Refused, R::DeviceName},
        {"C:\\q32\\COM\xFD.000", 437, K::Refused, R::DeviceName},
        {"C:\\q32\\COM\xFD.000", 865, K::Refused, R::DeviceName},
        {"C:\\q32\\COM\xFB.000", 437, K::LocalAbsolute, R::None}, // a root sign there
        // The ANSI page of Western Windows: the superscripts are their own bytes, the OEM ones
        // are letters.
        {"C:\\q33\\COM\xB9.000", 1252, K::Refused, R::DeviceName},
        {"C:\\q33\\COM\xFB.000", 1252, K::LocalAbsolute, R::None},
        {"C:\\q33\\\xE9t\xE9\\k.000", 1252, K::LocalAbsolute, R::None},
        // Japanese: a trail byte 0x5C is part of its character in the wide name; the bytes alone
        // still refuse what would be a dot component if it were a separator.
        {"C:\\\x95\x5C\\k.000", 932, K::LocalAbsolute, R::None},
        {"C:\\\x83\x5C..\\k.000", 932, K::Refused, R::DotComponent},
        {"C:\\q34\\COM\x82\x50.000", 932, K::LocalAbsolute, R::None}, // a full-width one
        {"\\\\srv\\caps\\COM\xA9\xF6.000", 949, K::Refused, R::DeviceName},
    };
    for (const CodePageRow& row : rows) {
        const WideName wide = InCodePage(row.page);
        ASSERT_TRUE(wide("C:\\x.000")) << "no converter for code page " << row.page;
        PathClass c = ClassifyPiecePath(row.path, wide);
        EXPECT_EQ(c.kind, row.kind) << row.path << " in " << row.page;
        EXPECT_EQ(c.refusal, row.refusal) << row.path << " in " << row.page;
        EXPECT_EQ(MayOpenPiecePath(row.path, "c:\\kestro", wide), row.kind == K::LocalAbsolute)
            << row.path << " in " << row.page;
    }
    // A converter that cannot read the bytes: the file call would open some other name.
    const WideName none = [](std::string_view) { return std::optional<std::u16string>(); };
    EXPECT_EQ(ClassifyPiecePath("C:\\x.000", none).refusal, R::NotInCodePage);
    EXPECT_EQ(ClassifyPiecePath("x.000", none).refusal, R::Relative) << "the bytes come first";
}

TEST(PiecePath, NetworkPathsLieUnderTheFolderOnlyAsWindowsComparesNames) {
    struct Case {
        const char* path;
        const char* folder;
        bool under;
    } cases[] = {
        {"\\\\srv\\caps\\take.000", "\\\\srv\\caps", true},
        {"\\\\SRV\\Caps\\take.000", "\\\\srv\\caps", true},
        {"//srv/caps/take.000", "\\\\srv\\caps", true},
        {"\\\\srv\\caps\\sub\\take.000", "\\\\srv\\caps", true},
        {"\\\\srv\\caps\\\\take.000", "\\\\srv\\caps", true},
        {"\\\\srv\\caps\\take.000", "\\\\srv\\caps\\", true},
        {"\\\\srv\\caps\\d\\take.000", "//SRV/CAPS/D", true},
        {"\\\\srv\\capsule\\take.000", "\\\\srv\\caps", false},
        {"\\\\srv\\caps\\take.000", "\\\\srv\\caps\\take.000", false},
        {"\\\\srv\\caps", "\\\\srv\\caps", false},
        {"\\\\srv\\caps\\..\\other\\x.000", "\\\\srv\\caps", false},
        {"\\\\srv\\caps\\x.000", "\\\\srv\\caps\\..\\caps", false},
        {"\\\\srv\\other\\x.000", "\\\\srv\\caps", false},
        {"\\\\evil\\caps\\x.000", "\\\\srv\\caps", false},
        {"\\\\srv\\caps\\x.000", "\\\\srv", false},
        {"\\\\srv\\caps\\x.000", "c:\\caps", false},
        {"\\\\srv\\caps\\x.000", "", false},
        {"c:\\caps\\x.000", "c:\\caps", false},
        {"\\\\srv\\caps:x\\y.000", "\\\\srv\\caps:x", false},
        {"\\\\.\\caps\\x.000", "\\\\.\\caps", false},
        // Double-byte names: the byte after a lead byte is compared as it is.
        {"\\\\srv\\caps\\\x83\x41\\x.000", "\\\\srv\\caps\\\x83\x41", true},
        {"\\\\srv\\caps\\\x83\x61\\x.000", "\\\\srv\\caps\\\x83\x41", false},
        {"\\\\srv\\caps\\\xE9\x41\\x.000", "\\\\srv\\caps\\\xE9\x61", false},
        {"\\\\srv\\caps\\\xE9x\x41\\x.000", "\\\\srv\\caps\\\xE9x\x61", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(NetworkPathUnder(c.path, c.folder), c.under) << c.path << " in " << c.folder;
}

TEST(PiecePath, EveryDataFileACaptureAcceptsWritesRecordsThatPlay) {
    struct Case {
        std::string dataFile;
        bool usable;
    } cases[] = {
        {"c:\\kestro", true},
        {"T:\\capture\\take", true},
        {"C:/data/take", true},
        {"\\\\srv\\caps\\take", true},
        {"//srv/caps/take", true},
        {"\\\\srv\\caps\\sub dir\\take", true},
        {"\\\\srv@SSL\\DavWWWRoot\\caps\\take", true},
        {"C:\\" + std::string(253, 'a'), true}, // pieces of 260 characters
        {"C:\\" + std::string(254, 'a'), false},
        {"\\\\srv\\take", false},
        {"kestro", false},
        {"data\\kestro", false},
        {"T:kestro", false},
        {"..\\kestro", false},
        {"C:\\a\\..\\kestro", false},
        {"c:\\COM1", false},
        {"C:\\take:s", false},
        {"\\\\.\\pipe\\k", false},
        {"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DataFileNameUsable(c.dataFile), c.usable) << c.dataFile;
        std::string retyped = c.dataFile;
        for (char& ch : retyped)
            ch = char(std::toupper(static_cast<unsigned char>(ch)));
        for (int piece : {0, 1, 250, 499}) {
            std::string name = FormatPieceName(c.dataFile, piece);
            EXPECT_EQ(MayOpenPiecePath(name, c.dataFile), c.usable) << name;
            // The same folder typed again in other letters still plays what was captured.
            EXPECT_EQ(MayOpenPiecePath(name, retyped), c.usable) << name << " with " << retyped;
        }
    }
    // With a share configured, other shares stay closed and local pieces stay open.
    EXPECT_FALSE(MayOpenPiecePath("\\\\srv\\other\\x.000", "\\\\srv\\caps\\take"));
    EXPECT_FALSE(MayOpenPiecePath("\\\\srv\\caps\\x.txt", "\\\\srv\\caps\\take"));
    EXPECT_TRUE(MayOpenPiecePath("\\\\srv\\caps\\old\\x.000", "\\\\srv\\caps\\take"));
    EXPECT_TRUE(MayOpenPiecePath("c:\\kestro.000", "\\\\srv\\caps\\take"));
    EXPECT_FALSE(MayOpenPiecePath("\\\\srv\\caps\\x.000", "c:\\kestro"));
    EXPECT_EQ(FolderOf("\\\\srv\\caps\\take"), "\\\\srv\\caps");
    EXPECT_EQ(FolderOf("c:/kestro"), "c:");
    EXPECT_EQ(FolderOf("kestro"), "");
}

} // namespace
