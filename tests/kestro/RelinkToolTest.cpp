// Moving and renaming pieces, then relinking: in place with a backup, or into a new file.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>

#include "ToolFixture.h"
#include "pure/PixelKind.h"
#include "pure/TakeFile.h"

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

// A new base typed on Linux is UTF-8; the records hold names in the capture's code page.
TEST_F(Relink, ANewBaseBeyondAsciiIsWrittenInTheCapturesCodePage) {
    RawCapture c = Capture();
    const std::string avi = dir + "/take.avi";
    MakeRawCapture(c, dir, avi);
    const auto original = synth::ReadFile(avi);
    Archive(3);
    const std::string base =
        "e:\\\xE3\x82\xA2\xE3\x83\xBC\xE3\x82\xAB\xE3\x82\xA4\xE3\x83\x96\\take1"; // アーカイブ
    auto r = RunKestro({"relink", avi, "--data", dir + "/archive", "--to", base});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("is not plain ASCII: say with --codepage N"), std::string::npos) << r.err;
    EXPECT_TRUE(synth::ReadFile(avi) == original);
    r = RunKestro({"relink", avi, "--data", dir + "/archive", "--to", base, "--codepage", "1252"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("has characters that code page 1252 lacks"), std::string::npos) << r.err;
    r = RunKestro({"relink", avi, "--data", dir + "/archive", "--to", base, "--codepage", "932"});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto relinked = synth::ReadFile(dir + "/take.relinked.avi"); // 23 bytes do not fit 21
    const std::string inCp932 = "e:\\\x83\x41\x81\x5b\x83\x4a\x83\x43\x83\x75\\take1.002";
    EXPECT_NE(std::string(relinked.begin(), relinked.end()).find(inCp932), std::string::npos);
    r = RunKestro({"info", dir + "/take.relinked.avi", "--map",
                   base.substr(0, base.size() - 6) + "=" + dir + "/archive"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("piece: " + base + ".002 -> " + dir +
                         "/archive/take1.002 (8192 bytes, 1 frames, found by --map "),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("reading the name as code page 932)"), std::string::npos) << r.out;
}

// A piece found only under the name the records hold: the relinked records name a file that is
// not there under that name, so the relink says which file to rename.
TEST_F(Relink, APieceFoundUnderItsOldNameIsNamedForRenaming) {
    RawCapture c = Capture();
    const std::string avi = dir + "/take.avi";
    MakeRawCapture(c, dir, avi);
    Archive(3);
    ASSERT_EQ(0,
              rename((dir + "/archive/take1.001").c_str(), (dir + "/archive/kestro.001").c_str()));
    auto r = RunKestro({"relink", avi, "--data", dir + "/archive", "--to", "e:\\a\\take1"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("warning: " + dir +
                         "/archive/kestro.001 keeps its old name; the records now name "
                         "e:\\a\\take1.001: rename it to take1.001 where it goes"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("take1.000 where"), std::string::npos) << "found under its new name";
}

// Pieces renamed under a new base get the take file of their old name beside them under the new
// one, when it names the records' take (kept through the relink); a take file of another take
// under either name is never written over, and under the new name it refuses the relink.
TEST_F(Relink, CarriesTheTakeFileAlongAndKeepsTheRecordsTakes) {
    const std::string avi = dir + "/take.avi";
    const std::string oldTake = dir + "/archive/kestro.take", newTake = dir + "/archive/take1.take";
    auto text = [](uint32_t id) {
        TakeFile take;
        take.id = id;
        take.started = TakeTimeText(2026, 12, 3, 4, 5, 6);
        take.frames = 7;
        return FormatTakeFile(take);
    };
    auto write = [](const std::string& path, const std::string& t) {
        synth::WriteFile(path, std::vector<uint8_t>(t.begin(), t.end()));
    };
    auto read = [](const std::string& path) {
        struct stat st;
        if (stat(path.c_str(), &st) != 0)
            return std::string("(absent)");
        auto bytes = synth::ReadFile(path);
        return std::string(bytes.begin(), bytes.end());
    };
    const uint32_t records = 0xCDCDCDCD, other = 0x0BADCAFE;
    struct Case {
        const char* what;
        std::optional<uint32_t> underOld, underNew;
        int code;
        std::string newAfter; // what take1.take holds after the relink
    } cases[] = {
        {"the old name's take file is carried", records, std::nullopt, 0, text(records)},
        {"another take's old take file stays where it is", other, std::nullopt, 0, "(absent)"},
        {"the new name's take file holds the records' take", other, records, 0, text(records)},
        {"the new name's take file holds another take", records, other, 1, text(other)},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        MakeRawCapture(Capture(), dir, avi);
        unlink((avi + ".bak").c_str());
        unlink(oldTake.c_str());
        unlink(newTake.c_str());
        Archive(3);
        if (k.underOld)
            write(oldTake, text(*k.underOld));
        if (k.underNew)
            write(newTake, text(*k.underNew));
        auto r = RunKestro({"relink", avi, "--data", dir + "/archive", "--to", "e:\\arch\\take1"});
        EXPECT_EQ(r.code, k.code) << r.err;
        EXPECT_EQ(read(newTake), k.newAfter);
        EXPECT_EQ(read(oldTake), k.underOld ? text(*k.underOld) : "(absent)") << "left alone";
        if (k.code != 0) {
            EXPECT_NE(r.err.find("frame 0, record 0 (c:\\capture\\kestro.000): the AVI's take "
                                 "cdcdcdcd (not known to this take file) is no longer in the data "
                                 "file: " +
                                 newTake + " names take 0badcafe"),
                      std::string::npos)
                << r.err;
            continue;
        }
        if (k.newAfter != "(absent)" && !k.underNew) {
            EXPECT_NE(r.err.find("the take file " + oldTake + " is carried along as " + newTake),
                      std::string::npos)
                << r.err;
        }
        // The records keep their take: they play against the take file wherever it says theirs.
        r = RunKestro({"verify", avi, "--data", dir + "/archive"});
        EXPECT_EQ(r.code, 0) << r.err;
        write(newTake, text(other));
        r = RunKestro({"verify", avi, "--data", dir + "/archive"});
        EXPECT_EQ(r.code, 1) << "the records no longer carry their take";
    }
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

namespace {

// Relinks and exports that meet each other or end at any moment: the AVI is unchanged, or stands
// beside a whole backup; no file looks whole under its final name unless it is.
class RelinkRace : public ToolTest {
protected:
    void SetUp() override {
        ToolTest::SetUp();
        RawCapture c;
        c.source = MakeFourcc('Y', 'U', 'Y', '2');
        c.width = 16;
        c.height = 8;
        c.frames = 3000; // a 2.3 MB AVI with its sound: a relink takes a while
        c.framesPerPiece = 1000;
        c.audio = true;
        avi = dir + "/take.avi";
        MakeRawCapture(c, dir, avi);
        original = synth::ReadFile(avi);
        // The results of undisturbed runs, for comparison.
        auto r = RunKestro({"relink", avi, "--to", kShorter});
        ASSERT_EQ(r.code, 0) << r.err;
        inPlace = synth::ReadFile(avi);
        Restore();
        r = RunKestro({"relink", avi, "--to", kLonger, "-o", dir + "/new.avi"});
        ASSERT_EQ(r.code, 0) << r.err;
        newFile = synth::ReadFile(dir + "/new.avi");
        unlink((dir + "/new.avi").c_str());
        r = RunKestro({"export", avi, dir + "/out.avi", "-q"});
        ASSERT_EQ(r.code, 0) << r.err;
        exported = synth::ReadFile(dir + "/out.avi");
        unlink((dir + "/out.avi").c_str());
    }
    void Restore() {
        synth::WriteFile(avi, original);
        unlink((avi + ".bak").c_str());
    }
    std::vector<uint8_t> Optional(const std::string& path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? synth::ReadFile(path) : std::vector<uint8_t>{};
    }
    std::string Temporaries() {
        std::string names;
        DIR* d = opendir(dir.c_str());
        while (dirent* e = d ? readdir(d) : nullptr)
            if (std::strstr(e->d_name, ".kestro-"))
                names += std::string(e->d_name) + "\n";
        if (d)
            closedir(d);
        return names;
    }
    static constexpr const char* kShorter = "e:\\arch\\take1"; // fits: in place
    static constexpr const char* kLonger = "e:\\archive\\a much longer folder\\take1";
    std::string avi;
    std::vector<uint8_t> original, inPlace, newFile, exported;
};

TEST_F(RelinkRace, TwoRelinksAtOnceOneWinsAndTheBackupIsTheOriginal) {
    int refusedAsBusy = 0;
    const int pairs = LongCount(8, 32);
    for (int pair = 0; pair < pairs; ++pair) {
        Restore();
        pid_t pids[2];
        for (int k = 0; k < 2; ++k)
            pids[k] = SpawnKestro({"relink", avi, "--to", kShorter}, dir + "/out" + char('0' + k),
                                  dir + "/err" + char('0' + k));
        int codes[2];
        std::string errors;
        for (int k = 0; k < 2; ++k) {
            codes[k] = WaitForExit(pids[k], 60);
            auto err = synth::ReadFile(dir + "/err" + char('0' + k));
            errors.append(err.begin(), err.end());
        }
        const std::string label = "pair " + std::to_string(pair) + ": " + errors;
        // The other one is refused, or came after the winner and finds the records renamed
        // (their pieces are not found under the new names: exit 1).
        ASSERT_EQ(std::min(codes[0], codes[1]), 0) << label;
        ASSERT_TRUE(std::max(codes[0], codes[1]) == 2 || std::max(codes[0], codes[1]) == 1)
            << label;
        refusedAsBusy +=
            errors.find("another relink of " + avi + " is under way") != std::string::npos;
        ASSERT_TRUE(Optional(avi + ".bak") == original) << label;
        ASSERT_TRUE(synth::ReadFile(avi) == inPlace) << label;
        ASSERT_EQ(Temporaries(), "") << label;
    }
    std::printf("%d pairs: the loser found the other relink under way %d times\n", pairs,
                refusedAsBusy);
}

TEST_F(RelinkRace, KilledAtRandomMomentsLeavesTheOriginalOrAWholeBackup) {
    const char* asked = std::getenv("KESTRO_KILLS");
    const int kills = asked ? std::atoi(asked) : LongCount(24, 600);
    struct Job {
        const char* name;
        std::vector<std::string> args;
        std::string output; // the file that must be whole when it exists
        const std::vector<uint8_t>* whole;
        double seconds = 0; // of an undisturbed run, from the moment it opened the AVI
        int runs = 0, finished = 0, leftovers = 0;
    };
    Job jobs[] = {
        {"relink in place", {"relink", avi, "--to", kShorter}, avi + ".bak", &original},
        {"relink into a new file",
         {"relink", avi, "--to", kLonger, "-o", dir + "/new.avi"},
         dir + "/new.avi",
         &newFile},
        {"export", {"export", avi, dir + "/out.avi", "-q"}, dir + "/out.avi", &exported},
    };
    // Kills fall into the work, not into the start of the process, which changes nothing.
    auto start = [&](const Job& job) {
        const pid_t pid = SpawnKestro(job.args, dir + "/stdout", dir + "/stderr");
        WaitUntil([&] { return HasOpen(pid, avi) || waitpid(pid, nullptr, WNOHANG) != 0; }, 60);
        return pid;
    };
    for (Job& job : jobs) {
        Restore();
        const pid_t pid = start(job);
        const double t0 = Seconds();
        ASSERT_EQ(WaitForExit(pid, 60), 0);
        job.seconds = Seconds() - t0;
        unlink(job.output.c_str());
    }
    Restore();
    std::mt19937 random(20261208);
    int unchanged = 0, beside = 0;
    for (int kill = 0; kill < kills; ++kill) {
        Job& job = jobs[random() % 4 == 3 ? 2 : random() % 2];
        const double at = std::uniform_real_distribution<double>(0, job.seconds * 1.1)(random);
        const pid_t pid = start(job);
        usleep(useconds_t(at * 1e6));
        ::kill(pid, SIGKILL);
        const int code = WaitForExit(pid, 60);
        ++job.runs;
        job.finished += code == 0;
        const std::string label = std::string(job.name) + ", killed at " +
                                  std::to_string(int(at * 1000)) + " ms, kill " +
                                  std::to_string(kill);
        // The AVI: unchanged, or (partly) rewritten beside a whole backup.
        const auto now = synth::ReadFile(avi), backup = Optional(avi + ".bak");
        if (backup.empty()) {
            ASSERT_TRUE(now == original) << label << ": the AVI changed without a backup";
            ++unchanged;
        } else {
            ASSERT_TRUE(backup == original) << label << ": a backup that is not the original";
            ASSERT_EQ(now.size(), original.size()) << label;
            size_t i = 0;
            while (i < now.size() && (now[i] == original[i] || now[i] == inPlace[i]))
                ++i;
            ASSERT_EQ(i, now.size()) << label << ": a byte neither old nor relinked";
            ++beside;
        }
        // Outputs under their final names are whole.
        if (job.output != avi + ".bak") {
            const auto output = Optional(job.output);
            ASSERT_TRUE(output.empty() || output == *job.whole)
                << label << ": " << job.output << " looks whole but is not";
        }
        // A leftover temporary file is removed by the next run for the same output, which
        // says so.
        if (!Temporaries().empty()) {
            ++job.leftovers;
            if (job.output == avi + ".bak") {
                ASSERT_TRUE(backup.empty()) << label; // a backup is made only where none is
            }
            auto r = RunKestro(job.args);
            ASSERT_EQ(r.code, 0) << label << ": " << r.err;
            ASSERT_NE(r.err.find(", left by an export or relink that was killed"),
                      std::string::npos)
                << label << ": " << r.err;
            ASSERT_EQ(Temporaries(), "") << label;
        }
        if (job.output != avi + ".bak")
            unlink(job.output.c_str());
        Restore();
    }
    for (const Job& job : jobs)
        std::printf("%s (%.0f ms undisturbed): %d kills, %d runs ended before the kill, %d "
                    "leftovers removed by the next run\n",
                    job.name, job.seconds * 1000, job.runs, job.finished, job.leftovers);
    std::printf("%d kills: the AVI unchanged %d times, beside a whole backup %d times\n", kills,
                unchanged, beside);
}

} // namespace
