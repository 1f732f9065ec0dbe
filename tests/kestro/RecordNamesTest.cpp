// Record names as the codec wrote them: read in the capture's code page, and refused by name
// where the codec itself would not open them.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "PiecesFixture.h"
#include "ToolFixture.h"
#include "pure/PixelKind.h"
#include "pure/TakeFile.h"

using namespace kestro;

namespace {

// Record names are bytes in the code page of the Windows that wrote them: read so under Linux's
// UTF-8 names, in cp1252 (Wine's default) and cp932 (Japanese), whose second bytes may be a
// backslash.
TEST_F(Pieces, RecordNamesAreReadInTheCapturesCodePage) {
    const std::string cafe1252 = "c:\\caf\xE9\\kestro.000";                   // c:\café\...
    const std::string shoot932 = "c:\\\x8E\x42\x89\x65\\kestro.000";          // c:\撮影\...
    const std::string show932 = "c:\\\x8E\x42\x89\x65\\\x95\x5C\x8E\xA6.000"; // c:\撮影\表示.000
    const std::string cafeUtf8 = "c:\\caf\xC3\xA9\\kestro.000";               // as stored
    struct Row {
        const char* label;
        std::string record;
        std::vector<std::string> pieces; // under the prefix's drive c:, or "AVI/..." beside it
        std::vector<std::string> args;
        int code;
        std::vector<std::string> says; // on standard output or error
    };
    const std::string found = "found by wine prefix ";
    const Row rows[] = {
        {"cp1252 folder",
         cafe1252,
         {"café/kestro.000"},
         {},
         0,
         {"reading the name as code page 1252)"}},
        {"cp932 names, a backslash as second byte",
         show932,
         {"撮影/表示.000"},
         {},
         0,
         {"piece: c:\\撮影\\表示.000 -> ", "reading the name as code page 932)"}},
        {"UTF-8 as stored",
         cafeUtf8,
         {"café/kestro.000"},
         {},
         0,
         {"reading the name as its stored bytes)"}},
        // The recorded folder is here, the piece is not: a file of its name beside the AVI is
        // taken, and said to be suspect.
        {"found beside the AVI, its folder here",
         cafe1252,
         {"café/other.000", "AVI/kestro.000"},
         {},
         0,
         {"kestro: warning: c:\\caf\\xE9\\kestro.000 was found only by its file name, as ",
          "/kestro.000 (beside the AVI), while its folder exists here as ",
          "/dosdevices/c:/café (reading the name as code page 1252) without it"}},
        {"a code page given that misreads the folder",
         shoot932,
         {"撮影/kestro.000", "AVI/kestro.000"},
         {"--codepage", "1252"},
         0,
         {"was found only by its file name", "/dosdevices/c:/撮影 (reading the name as code page "
                                             "932) without it"}},
        {"two readings, two files",
         cafe1252,
         {"café/kestro.000", "caf饅kestro.000"},
         {},
         1,
         {"piece not found: the name reads as different files; as code page 1252: ",
          "/café/kestro.000; as code page 932: ", "/caf饅kestro.000 (by wine prefix ",
          "; --codepage N chooses)"}},
        {"the same, a code page given",
         cafe1252,
         {"café/kestro.000", "caf饅kestro.000"},
         {"--codepage", "1252"},
         0,
         {"/café/kestro.000 ("}},
        {"a code page the system lacks",
         cafe1252,
         {"café/kestro.000"},
         {"--codepage", "77777"},
         2,
         {"--codepage 77777: not a code page this system converts"}},
    };
    RawCapture c = Yuy2(2);
    const std::string scratch = dir + "/scratch";
    mkdir(scratch.c_str(), 0755);
    auto plan = MakeRawCapture(c, scratch, dir + "/take.avi");
    const auto piece = synth::ReadFile(scratch + "/kestro.000");
    const std::string prefix = dir + "/prefix";
    for (const Row& row : rows) {
        ASSERT_EQ(0, std::system(("rm -rf '" + prefix + "' '" + dir + "/kestro.000' && mkdir -p '" +
                                  prefix + "/drive_c' '" + prefix +
                                  "/dosdevices' && ln -s ../drive_c '" + prefix + "/dosdevices/c:'")
                                     .c_str()));
        for (auto& r : plan.records)
            r = synth::Record(r[0] | r[1] << 8 | r[2] << 16, uint32_t(StoredBytes(c)), row.record);
        synth::WriteFile(dir + "/take.avi", synth::BuildAvi(plan));
        for (const std::string& at : row.pieces) {
            const std::string path =
                at.rfind("AVI/", 0) == 0 ? dir + at.substr(3) : prefix + "/drive_c/" + at;
            std::system(("mkdir -p \"$(dirname '" + path + "')\"").c_str());
            synth::WriteFile(path, piece);
        }
        std::vector<std::string> args{"info", dir + "/take.avi", "--wineprefix", prefix};
        args.insert(args.end(), row.args.begin(), row.args.end());
        auto r = RunKestro(args);
        EXPECT_EQ(r.code, row.code) << row.label << ": " << r.out << r.err;
        for (const auto& text : row.says)
            EXPECT_NE((r.out + r.err).find(text), std::string::npos)
                << row.label << ": " << text << "\n"
                << r.out << r.err;
        const bool warns = std::any_of(row.says.begin(), row.says.end(), [](const auto& text) {
            return text.find("found only by its file name") != std::string::npos;
        });
        if (row.code == 0 && !warns) {
            EXPECT_EQ(r.err, "") << row.label;
        }
    }
}

} // namespace

namespace {

// The tool reads only what the codec would open: a record naming anything else (a file through
// a Wine drive link, a network share, a relative, device or stream name) is refused by name,
// before any rule looks for a file, even where one is there to be read.
TEST_F(Pieces, RecordsTheCodecWouldNotOpenAreRefusedByName) {
    struct Row {
        const char* label;
        std::string record;
        std::vector<std::string> args;
        int code;
        std::string says;       // after "frame 0, record 0 (NAME at 0, 6336 bytes): "
        std::string shown = ""; // NAME where it is not UTF-8
    };
    const Row rows[] = {
        {"any file through a drive link",
         "z:\\secret.txt",
         {},
         1,
         "refused: not the name of a piece (.000 to .499)"},
        {"a network share",
         "\\\\127.0.0.1\\share\\kestro.000",
         {},
         1,
         "refused: a network path, read only where --map maps it"},
        {"a network share, mapped",
         "\\\\127.0.0.1\\share\\kestro.000",
         {"--map", "\\\\127.0.0.1\\SHARE=" + dir + "/mapped"},
         0,
         ""},
        {"a relative name", "kestro.000", {}, 1, "refused: a relative name"},
        {"a drive-relative name",
         "z:kestro.000",
         {},
         1,
         "refused: a name relative to a drive's current folder"},
        {"a device", "z:\\nul.000", {}, 1, "refused: a reserved device name (CON, NUL, COM1...)"},
        {"a device with a superscript digit",
         "z:\\COM\xB9.000",
         {},
         1,
         "refused: a reserved device name (CON, NUL, COM1...)",
         "z:\\COM\\xB9.000"},
        {"COM¹ in the Korean code page",
         "z:\\COM\xA9\xF6.000",
         {"--codepage", "949"},
         1,
         "refused: a reserved device name (CON, NUL, COM1...) (reading the name as code page 949)",
         "z:\\COM\\xA9\\xF6.000"},
        {"COM¹ in an OEM code page",
         "z:\\COM\xFB.000",
         {"--codepage", "850"},
         1,
         "refused: a reserved device name (CON, NUL, COM1...) (reading the name as code page 850)",
         "z:\\COM\\xFB.000"},
        {"a stream name",
         "z:\\kestro.000:x.000",
         {},
         1,
         "refused: a colon past the drive letter (a stream or device name)"},
    };
    RawCapture c = Yuy2(2);
    auto plan = MakeRawCapture(c, dir, dir + "/take.avi");
    const auto piece = synth::ReadFile(dir + "/kestro.000");
    // Drive z: leads to this folder, as Wine's z: leads to /; what lies there is readable.
    const std::string prefix = dir + "/prefix";
    ASSERT_EQ(0, std::system(("mkdir -p '" + prefix + "/dosdevices' '" + dir +
                              "/mapped' && ln -s '" + dir + "' '" + prefix + "/dosdevices/z:'")
                                 .c_str()));
    synth::WriteFile(dir + "/secret.txt", std::vector<uint8_t>(piece.size(), 'S'));
    synth::WriteFile(dir + "/mapped/kestro.000", piece);
    for (const Row& row : rows) {
        for (auto& r : plan.records)
            r = synth::Record(r[0] | r[1] << 8 | r[2] << 16, uint32_t(StoredBytes(c)), row.record);
        synth::WriteFile(dir + "/take.avi", synth::BuildAvi(plan));
        for (const char* command : {"export", "verify"}) {
            std::vector<std::string> args{command, dir + "/take.avi"};
            if (command == std::string("export"))
                args.push_back("-");
            args.insert(args.end(), {"--wineprefix", prefix});
            args.insert(args.end(), row.args.begin(), row.args.end());
            auto r = RunKestro(args);
            EXPECT_EQ(r.code, row.code) << row.label << ", " << command << ": " << r.err;
            if (row.code == 0)
                continue;
            const std::string name = row.shown.empty() ? row.record : row.shown;
            EXPECT_NE(r.err.find("frame 0, record 0 (" + name + " at 0, 6336 bytes): " + row.says),
                      std::string::npos)
                << row.label << ", " << command << ": " << r.err;
            EXPECT_EQ(r.out.find('S'), std::string::npos) << row.label << ": the file was read";
            if (command == std::string("verify")) {
                EXPECT_EQ(Count(r.err, row.says), 2u) << row.label << ": every record is named";
            }
        }
    }
    // relink writes no name the codec refuses.
    auto r = RunKestro({"relink", dir + "/take.avi", "--to", "archive\\take1"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("--to archive\\take1: a relative name, which the codec does not open"),
              std::string::npos)
        << r.err;
}

} // namespace
