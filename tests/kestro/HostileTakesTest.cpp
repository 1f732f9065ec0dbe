// The take file beside the pieces as a hostile user leaves it: every command refuses the frames
// of the records beside a take file that names another take or is damaged, names the take file
// and what is wrong with it, and hands out no picture the pieces hold now.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "HostileTakeFiles.h"
#include "PiecesFixture.h"
#include "pure/TakeFile.h"

using namespace kestro;

namespace {

class HostileTakes : public Pieces {
protected:
    // Puts the row's entry where the take file of the pieces belongs.
    void Place(const hostile::TakeFileRow& row, const std::string& real) {
        const std::string take = dir + "/kestro.take";
        Shell("rm -rf '" + take + "'");
        switch (row.entry) {
        case hostile::Entry::Text:
            WriteText(take, row.text(real));
            break;
        case hostile::Entry::Folder:
            ASSERT_EQ(0, mkdir(take.c_str(), 0755));
            break;
        case hostile::Entry::Fifo:
            ASSERT_EQ(0, mkfifo(take.c_str(), 0644));
            break;
        case hostile::Entry::LinkToDevZero:
            ASSERT_EQ(0, symlink("/dev/zero", take.c_str()));
            break;
        case hostile::Entry::DanglingLink:
            ASSERT_EQ(0, symlink((dir + "/nowhere.take").c_str(), take.c_str()));
            break;
        }
    }
    bool Exists(const std::string& path) {
        struct stat st;
        return lstat(path.c_str(), &st) == 0;
    }
};

bool Holds(const std::string& out, const std::vector<uint8_t>& picture) {
    return std::search(out.begin(), out.end(), picture.begin(), picture.end()) != out.end();
}

TEST_F(HostileTakes, NoCommandHandsOutTheFramesBesideAnyOfThem) {
    RawCapture c = Yuy2(4); // records of take cdcdcdcd; the pieces hold a later take's pictures
    const std::string avi = dir + "/take.avi";
    MakeRawCapture(c, dir, avi);
    TakeFile later;
    later.id = 0x0BADCAFE;
    later.started = TakeTimeText(2026, 12, 2, 9, 30, 0);
    later.streamFormat = std::vector<uint8_t>(52, 0x11);
    later.frames = 4;
    later.ended = TakeTimeText(2026, 12, 2, 9, 31, 0);
    const std::string real = FormatTakeFile(later);
    std::vector<std::vector<uint8_t>> pictures;
    for (size_t i = 0; i < c.frames; ++i)
        pictures.push_back(StoredFrame(c, i));
    const std::string out = dir + "/out.nut", relinked = dir + "/relinked.avi",
                      recovered = dir + "/recovered.avi";
    struct Command {
        const char* name;
        std::vector<std::string> args;
        std::string output; // a file it must not leave
    };
    const std::vector<Command> commands = {
        {"info", {"info", avi}, ""},
        {"verify", {"verify", avi}, ""},
        {"export", {"export", avi, out, "-q"}, out},
        {"export -", {"export", avi, "-", "-q"}, ""},
        {"export - --keep-going", {"export", avi, "-", "-q", "--keep-going"}, ""},
        {"relink",
         {"relink", avi, "--data", dir, "--to", "e:\\moved\\kestro", "-o", relinked},
         relinked},
        {"recover",
         {"recover", avi, "-o", recovered, "--format", "yuy2", "--size", "66x48", "-q"},
         recovered},
    };
    const auto original = synth::ReadFile(avi);
    size_t runs = 0;
    for (const hostile::TakeFileRow& row : hostile::TakeFileRows()) {
        SCOPED_TRACE(row.name);
        ASSERT_NO_FATAL_FAILURE(Place(row, real));
        for (const Command& command : commands) {
            SCOPED_TRACE(command.name);
            const RunResult r = RunKestro(command.args);
            ++runs;
            for (const auto& picture : pictures)
                ASSERT_FALSE(Holds(r.out, picture)) << "a picture of the later take came out";
            if (!command.output.empty()) {
                EXPECT_FALSE(Exists(command.output)) << "left " << command.output;
            }
            const std::string said = r.out + r.err;
            if (std::string(command.name) == "export - --keep-going") {
                // Every frame stands in black for its refused one, and it says so.
                EXPECT_EQ(r.code, 0) << r.err;
                EXPECT_NE(said.find("4 frame(s) replaced"), std::string::npos) << said;
                EXPECT_EQ(r.out.size(), 4 * StoredBytes(c));
            } else {
                EXPECT_NE(r.code, 0) << said;
            }
            EXPECT_NE(said.find(dir + "/kestro.take"), std::string::npos) << said;
            const std::string why =
                row.valid ? std::string("is no longer in the data file") : std::string("damaged");
            EXPECT_NE(said.find(why), std::string::npos) << said;
            EXPECT_NE(said.find(row.damage), std::string::npos) << said;
        }
        EXPECT_EQ(synth::ReadFile(avi), original) << "the AVI changed";
    }
    EXPECT_EQ(runs, hostile::TakeFileRows().size() * commands.size());
    EXPECT_EQ(hostile::TakeFileRows().size(), 31u);
}

// A record of an earlier build carries no identity, and without a take file beside it plays as
// it always did; the same frames beside a damaged take file are refused like any others.
TEST_F(HostileTakes, RecordsWithoutAnIdentityPlayWhereNoTakeFileLies) {
    RawCapture c = Yuy2(2);
    auto plan = MakeRawCapture(c, dir, dir + "/take.avi");
    for (auto& record : plan.records)
        std::fill(record.begin() + 12, record.begin() + 16, uint8_t(0));
    synth::WriteFile(dir + "/take.avi", synth::BuildAvi(plan));
    auto r = RunKestro({"verify", dir + "/take.avi"});
    EXPECT_EQ(r.code, 0) << r.err;
    WriteText(dir + "/kestro.take", "[take]\r\n");
    r = RunKestro({"verify", dir + "/take.avi"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("kestro.take is damaged: no id= line"), std::string::npos) << r.err;
}

} // namespace
