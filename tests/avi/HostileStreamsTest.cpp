// Take files and picture sizes as a hostile user leaves them. No command of the host program hands
// out a frame beside a take file that names another take or is damaged, and each names the take
// file and what is wrong with it; every command refuses a picture size no frame can have before
// any arithmetic on it, with the words the native tool uses.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Host.h"
#include "HostCommands.h"
#include "HostileSizes.h"
#include "HostileTakeFiles.h"
#include "PlaybackSupport.h"
#include "WineCodec.h"
#include "edge/TakeFiles.h"
#include "pure/TakeFile.h"

using namespace host;

namespace {

constexpr LONG kWidth = 128, kHeight = 64;

struct AviLibraryScope {
    AviLibraryScope() { AVIFileInit(); }
    ~AviLibraryScope() { AVIFileExit(); }
};

struct Outcome {
    int code;
    std::string said; // standard output and error
};

Outcome RunCommand(const hostcmd::Command& command) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int code = command.run();
    std::string said = ::testing::internal::GetCapturedStdout();
    said += ::testing::internal::GetCapturedStderr();
    return {code, said};
}

bool Holds(const std::string& text, const kp::Bytes& picture) {
    return std::search(text.begin(), text.end(), picture.begin(), picture.end()) != text.end();
}

class HostileStreams : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!kt::CodecLoaded())
            kt::WriteIni({{"filename", kt::DataDir("hostile-takes") + "\\kestro"}});
    }
};

TEST_F(HostileStreams, NoCommandHandsOutAFrameBesideAHostileTakeFile) {
    kestro::TakeFile later;
    later.id = 0x0BADCAFE;
    later.started = kestro::TakeTimeText(2026, 12, 2, 9, 30, 0);
    later.streamFormat = std::vector<uint8_t>(52, 0x11);
    later.frames = 2;
    const std::string real = kestro::FormatTakeFile(later);
    const kp::Bytes picture = kp::Noise(size_t(kWidth * kHeight * 2), 36);
    size_t rows = 0;
    for (const hostile::TakeFileRow& row : hostile::TakeFileRows()) {
        // Wine shows a Windows program no dangling link at all: there it is no take file. On
        // Windows it is a reparse point, which the reader refuses; the native tool's test has it.
        if (row.entry == hostile::Entry::DanglingLink)
            continue;
        SCOPED_TRACE(row.name);
        ++rows;
        const std::string dir = kp::HostileTakeFolder(row.entry, kt::DataDir("hostile-takes")),
                          take = dir + "\\kestro.take";
        const std::string avi = dir + "\\take.avi";
        const auto placed = kp::WriteDataFile(dir + "\\kestro.000", {picture, picture});
        {
            AviLibraryScope library;
            kp::WriteAvi(avi, kp::RawStream(kWidth, kHeight, kt::kYuy2, 16),
                         {kp::MakeRecord(placed[0]), kp::MakeRecord(placed[1])}, kWidth, kHeight);
        }
        if (row.entry == hostile::Entry::Text) {
            kt::WriteFileBytes(take, row.text(real));
        } else if (row.entry == hostile::Entry::Folder) {
            ASSERT_TRUE(CreateDirectoryA(take.c_str(), nullptr));
        } else {
            ASSERT_FALSE(kestro::ReadTakeFileAt(take).damage.empty())
                << take << " is made by the test hostile_takes_setup: run through ctest";
        }
        for (const hostcmd::Command& command : hostcmd::Commands(avi, dir)) {
            SCOPED_TRACE(command.name);
            const Outcome r = RunCommand(command);
            EXPECT_NE(r.code, kExitOk);
            EXPECT_FALSE(Holds(r.said, picture)) << "the picture the pieces hold now came out";
            EXPECT_FALSE(Holds(kt::ReadFileBytes(dir + "\\played.raw"), picture));
            EXPECT_NE(r.said.find(take), std::string::npos) << r.said;
            const std::string why = row.valid ? "is no longer in the data file" : "is damaged";
            EXPECT_NE(r.said.find(why), std::string::npos) << r.said;
            EXPECT_NE(r.said.find(row.damage), std::string::npos) << r.said;
            for (const std::string& made : hostcmd::Made(dir))
                DeleteFileA(made.c_str());
        }
        for (const std::string& file : {avi, dir + "\\kestro.000"})
            DeleteFileA(file.c_str());
        if (row.entry == hostile::Entry::Text)
            DeleteFileA(take.c_str());
        if (row.entry == hostile::Entry::Folder)
            RemoveDirectoryA(take.c_str());
    }
    EXPECT_EQ(rows, hostile::TakeFileRows().size() - 1);
}

// The same table as the native tool's: a size is refused by every command or by none.
TEST_F(HostileStreams, EveryCommandAgreesOnWhichPictureSizesAreUsable) {
    const std::string dir = kt::DataDir("hostile-sizes"), avi = dir + "\\take.avi";
    const auto placed = kp::WriteDataFile(dir + "\\kestro.000", {kp::Bytes(64 * 48 * 4, 0x40)});
    for (const hostile::SizeRow& row : hostile::SizeRows()) {
        const std::string label = std::string(row.kind) + " " + std::to_string(row.width) + "x" +
                                  std::to_string(row.height);
        SCOPED_TRACE(label);
        {
            AviLibraryScope library;
            kt::Format format =
                kp::RawStream(row.width, row.height, hostile::FourccOf(row.kind), row.bits);
            format.header()->biSizeImage = row.sizeImage; // 0: a record holds any picture
            kp::WriteAvi(
                avi, format,
                {kp::MakeRecord(placed[0].offset, std::max(64u, row.sizeImage), placed[0].path)},
                16, 16);
        }
        for (const hostcmd::Command& command : hostcmd::Commands(avi, dir)) {
            SCOPED_TRACE(command.name);
            const Outcome r = RunCommand(command);
            const bool refused = r.said.find(hostile::SizeRefusal(row)) != std::string::npos;
            EXPECT_EQ(refused, !row.usable) << r.said;
            if (!row.usable) {
                EXPECT_NE(r.code, kExitOk);
            } else if (std::string(command.name) == "info" ||
                       std::string(command.name) == "verify") {
                EXPECT_EQ(r.code, kExitOk) << r.said;
            }
            for (const std::string& made : hostcmd::Made(dir))
                DeleteFileA(made.c_str());
        }
    }
}

} // namespace
