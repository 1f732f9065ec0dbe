// The take file beside the pieces as a hostile user leaves it: every command refuses the frames
// of the records beside a take file that names another take or is damaged, names the take file
// and what is wrong with it, and hands out no picture the pieces hold now.
#include <signal.h>
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
    EXPECT_EQ(hostile::TakeFileRows().size(), 33u);
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

// Two takes side by side: takes lists both with their AVIs; a removal refuses what is not wholly
// one take's or is held open, then takes the first one's pieces alone, and every command refuses
// its frames, saying it was removed, while the second plays on.
TEST_F(HostileTakes, OneOfTwoTakesIsRemovedAndTheOtherKept) {
    RawCapture first = Yuy2(4), second = Yuy2(2);
    first.base = "c:\\capture\\take";
    second.base = "c:\\capture\\take-2";
    MakeRawCapture(first, dir, dir + "/first.avi");
    auto plan = MakeRawCapture(second, dir, dir + "/second.avi");
    for (auto& record : plan.records)
        std::fill(record.begin() + 12, record.begin() + 16, uint8_t(0x0B));
    synth::WriteFile(dir + "/second.avi", synth::BuildAvi(plan));
    for (const auto& [name, id] : {std::pair{"take", 0xCDCDCDCDu}, {"take-2", 0x0B0B0B0Bu}}) {
        TakeFile take;
        take.id = id;
        take.started = TakeTimeText(2026, 12, 11, 9, 0, 0);
        take.frames = 2;
        take.ended = TakeTimeText(2026, 12, 11, 9, 1, 0);
        if (id == 0x0B0B0B0Bu)
            take.replaced = {{0x0BADF00D, ""}};
        WriteText(dir + "/" + name + ".take", FormatTakeFile(take));
    }
    RunResult r = RunKestro({"takes", dir + "/take-2", "--avi-dir", dir});
    ASSERT_EQ(r.code, 0) << r.err;
    for (const char* line :
         {"data file: ", "take:   cdcdcdcd, started", "take:   0b0b0b0b", "pieces: 2, ",
          "first.avi: 4 frames, of this take", "second.avi: 2 frames, of this take"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;

    struct Refused {
        const char* id;
        const char* says;
    };
    for (const Refused& refused : {Refused{"0badcafe", "no take 0badcafe among"},
                                   Refused{"0badf00d", "its pieces hold take 0b0b0b0b now"}}) {
        r = RunKestro({"takes", dir + "/take", "--remove", refused.id, "--yes"});
        EXPECT_EQ(r.code, 2) << refused.id;
        EXPECT_NE(r.err.find(refused.says), std::string::npos) << r.err;
    }
    // A player holding a piece open.
    const std::string held = dir + "/take.001";
    const auto echoed = Shell("sleep 60 <'" + held + "' >/dev/null 2>&1 & echo $!");
    const pid_t pid = pid_t(std::stoi(std::string(echoed.begin(), echoed.end())));
    ASSERT_TRUE(WaitUntil([&] { return HasOpen(pid, held); }, 10));
    r = RunKestro({"takes", dir + "/take", "--remove", "cdcdcdcd", "--yes"});
    kill(pid, SIGKILL);
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("holds one of its pieces open"), std::string::npos) << r.err;
    // A killed process lets its files go a moment later.
    ASSERT_TRUE(WaitUntil([&] { return !HasOpen(pid, held); }, 10));
    for (const char* piece : {"/take.000", "/take.001", "/take-2.000"})
        EXPECT_TRUE(Exists(dir + piece)) << "a refused removal removed " << piece;

    r = RunKestro({"takes", dir + "/take", "--remove", "CDCDCDCD", "--yes"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("removed take cdcdcdcd: 2 piece(s)"), std::string::npos) << r.out;
    EXPECT_FALSE(Exists(dir + "/take.000") || Exists(dir + "/take.001"));
    EXPECT_EQ(RunKestro({"verify", dir + "/second.avi"}).code, 0);
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"verify", dir + "/first.avi"},
          {"info", dir + "/first.avi"},
          {"export", dir + "/first.avi", "-", "-q"}}) {
        r = RunKestro(command);
        EXPECT_NE(r.code, 0) << command[0];
        EXPECT_NE(r.err.find("cdcdcdcd (started 2026-12-11T09:00:00Z) was removed on "),
                  std::string::npos)
            << command[0] << ": " << r.err;
        EXPECT_EQ(r.err.find("piece not found"), std::string::npos) << r.err;
    }
}
