// Moving and renaming pieces, then relinking: in place with a backup, or into a new file.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "ToolFixture.h"
#include "pure/PixelKind.h"

using namespace kestro;

namespace {

class Relink : public ToolTest {
protected:
    RawCapture Capture() {
        RawCapture c;
        c.source = MakeFourcc('U', 'Y', 'V', 'Y');
        c.frames = 7;
        c.framesPerPiece = 3;
        c.audio = true;
        return c; // names c:\capture\kestro.00N: 38-byte records
    }
    // Moves the pieces into archive/ as take1.00N, the way a user files them away.
    void Archive(size_t pieces) {
        mkdir((dir + "/archive").c_str(), 0755);
        for (size_t i = 0; i < pieces; ++i) {
            std::string n = ".00" + std::to_string(i);
            ASSERT_EQ(0,
                      rename((dir + "/kestro" + n).c_str(), (dir + "/archive/take1" + n).c_str()));
        }
    }
    std::string Pictures(const RawCapture& c) {
        std::string all;
        for (size_t i = 0; i < c.frames; ++i) {
            auto f = UprightFrame(c, i);
            all.append(f.begin(), f.end());
        }
        return all;
    }
};

TEST_F(Relink, InPlaceWhenTheNamesFitKeepingAByteIdenticalBackup) {
    RawCapture c = Capture();
    const std::string avi = dir + "/take.avi";
    MakeRawCapture(c, dir, avi);
    const auto original = synth::ReadFile(avi);
    Archive(3);
    auto r = RunKestro({"verify", avi});
    EXPECT_EQ(r.code, 1) << "the pieces moved away";

    r = RunKestro({"relink", avi, "--data", dir + "/archive", "--to", "e:\\arch\\take1"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("relinked 7 records in place"), std::string::npos) << r.out;
    EXPECT_TRUE(synth::ReadFile(avi + ".bak") == original);
    const auto relinked = synth::ReadFile(avi);
    ASSERT_EQ(relinked.size(), original.size());

    r = RunKestro({"info", avi, "--map", "E:\\ARCH=" + dir + "/archive"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("piece: e:\\arch\\take1.002 -> " + dir + "/archive/take1.002"),
              std::string::npos)
        << r.out;
    r = RunKestro({"export", avi, "-", "--map", "e:\\arch=" + dir + "/archive"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(r.out == Pictures(c));

    // A second relink would overwrite the backup: refused, nothing touched.
    r = RunKestro({"relink", avi, "--data", dir + "/archive", "--to", "e:\\arch\\take1"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find(".bak exists"), std::string::npos) << r.err;
    EXPECT_TRUE(synth::ReadFile(avi) == relinked);
    EXPECT_TRUE(synth::ReadFile(avi + ".bak") == original);
}

TEST_F(Relink, IntoANewFileWhenTheNamesGrowLeavingTheInputAlone) {
    RawCapture c = Capture();
    c.base = "c:\\k"; // 22-byte records: no longer name fits
    const std::string avi = dir + "/take.avi";
    MakeRawCapture(c, dir, avi);
    for (int i = 0; i < 3; ++i)
        rename((dir + "/k.00" + std::to_string(i)).c_str(),
               (dir + "/kestro.00" + std::to_string(i)).c_str());
    const auto original = synth::ReadFile(avi);
    Archive(3);
    const std::string moved = dir + "/moved.avi";
    auto r = RunKestro({"relink", avi, "--data", dir + "/archive", "--to",
                        "e:\\archive\\a longer folder\\take1", "-o", moved});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(synth::ReadFile(avi) == original);
    struct stat st;
    EXPECT_NE(stat((avi + ".bak").c_str(), &st), 0) << "no backup needed: the input is unchanged";
    r = RunKestro({"verify", moved, "--map", "e:\\archive\\a longer folder=" + dir + "/archive"});
    ASSERT_EQ(r.code, 0) << r.err;
    r = RunKestro({"export", moved, dir + "/out.mkv", "-q", "--map",
                   "e:\\archive\\a longer folder=" + dir + "/archive"});
    ASSERT_EQ(r.code, 0) << r.err;
    int status;
    auto pictures =
        Shell("ffmpeg -v error -i '" + dir + "/out.mkv' -f rawvideo -pix_fmt uyvy422 -", &status);
    EXPECT_TRUE(std::string(pictures.begin(), pictures.end()) == Pictures(c));
    auto audio = Shell("ffmpeg -v error -i '" + moved + "' -map 0:a -f s16le -", &status);
    EXPECT_EQ(audio.size(), 7u * 6400);
}

// A capture whose AVI carries OpenDML indexes (indx per stream, ix## in movi) and no idx1, as
// long captures are written: after relinking into a new file the indexes must lead to the moved
// chunks, since readers follow them.
TEST_F(Relink, NewFileKeepsOpenDmlIndexesRight) {
    RawCapture c = Capture();
    c.frames = 9;
    c.framesPerPiece = 4;
    const std::string avi = dir + "/take.avi";
    auto plan = MakeRawCapture(c, dir, avi);
    plan.odml = true;
    plan.idx1 = false;
    plan.recLists = true;
    synth::WriteFile(avi, synth::BuildAvi(plan));
    auto r = RunKestro({"export", avi, "-"});
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_TRUE(r.out == Pictures(c)) << "the reader does not take this capture as written";
    Archive(3);
    const std::string moved = dir + "/moved.avi";
    r = RunKestro({"relink", avi, "--data", dir + "/archive", "--to",
                   "z:\\a much longer archive path\\take1", "-o", moved});
    ASSERT_EQ(r.code, 0) << r.err;
    r = RunKestro(
        {"export", moved, "-", "--map", "z:\\a much longer archive path=" + dir + "/archive"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(r.out == Pictures(c));
    int status;
    auto audio = Shell("ffmpeg -v error -i '" + moved + "' -map 0:a -f s16le -", &status);
    std::vector<uint8_t> want;
    for (auto& chunk : plan.audio.chunks)
        want.insert(want.end(), chunk.begin(), chunk.end());
    EXPECT_TRUE(audio == want);
}

TEST_F(Relink, RefusesWhenAPieceIsMissingOrShortAndChangesNothing) {
    RawCapture c = Capture();
    const std::string avi = dir + "/take.avi";
    MakeRawCapture(c, dir, avi);
    const auto original = synth::ReadFile(avi);
    Archive(3);
    ASSERT_EQ(0, truncate((dir + "/archive/take1.002").c_str(), 4096));
    auto r = RunKestro({"relink", avi, "--data", dir + "/archive", "--to", "e:\\a\\take1"});
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(r.err.find("frame 6, record 6 (c:\\capture\\kestro.002): outside its piece"),
              std::string::npos)
        << r.err;
    unlink((dir + "/archive/take1.001").c_str());
    r = RunKestro({"relink", avi, "--data", dir + "/archive", "--to", "e:\\a\\take1"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("frame 3, record 3 (c:\\capture\\kestro.001): piece not found"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(synth::ReadFile(avi) == original);
    struct stat st;
    EXPECT_NE(stat((avi + ".bak").c_str(), &st), 0);
}

} // namespace
