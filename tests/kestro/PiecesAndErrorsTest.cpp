// Finding pieces by each rule, and refusing broken references with a message that names them.
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

TEST_F(Pieces, EachRuleFindsItsPieceAndInfoSaysWhich) {
    // Pieces 0..2 spread over: a Wine drive, a mapped folder, a data folder, the AVI's folder.
    RawCapture c = Yuy2(8);
    c.base = "c:\\Caps\\kestro";
    const std::string scratch = dir + "/scratch";
    mkdir(scratch.c_str(), 0755);
    MakeRawCapture(c, scratch, dir + "/take.avi");
    const std::string prefix = dir + "/prefix", cdrive = prefix + "/drive_c/caps";
    ASSERT_EQ(0, std::system(("mkdir -p '" + cdrive + "' '" + prefix + "/dosdevices' '" + dir +
                              "/mapped' '" + dir + "/data' && ln -s ../drive_c '" + prefix +
                              "/dosdevices/c:'")
                                 .c_str()));
    rename((scratch + "/kestro.000").c_str(), (cdrive + "/KESTRO.000").c_str()); // case differs
    rename((scratch + "/kestro.001").c_str(), (dir + "/mapped/kestro.001").c_str());
    rename((scratch + "/kestro.002").c_str(), (dir + "/data/kestro.002").c_str());
    rename((scratch + "/kestro.003").c_str(), (dir + "/kestro.003").c_str());
    // A stale copy of piece 1 under the Wine drive must lose to the user's map.
    synth::WriteFile(cdrive + "/kestro.001", std::vector<uint8_t>(10));

    auto r = RunKestro({"info", dir + "/take.avi", "--wineprefix", prefix, "--map",
                        "C:\\caps\\kestro.001=" + dir + "/mapped", "--data", dir + "/data"});
    // A rule covers only what lies below it: the stale copy on the Wine drive is taken, and the
    // records of piece 1 lie outside it.
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(
        r.err.find("outside its piece " + prefix + "/dosdevices/c:/caps/kestro.001 (10 bytes)"),
        std::string::npos)
        << r.err;

    r = RunKestro({"info", dir + "/take.avi", "--wineprefix", prefix, "--map",
                   "C:\\CAPS=" + dir + "/mapped", "--data", dir + "/data"});
    // With the map covering all of c:\caps, pieces 0, 2 and 3 are not in mapped/: they fall
    // through to the later rules.
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("c:\\Caps\\kestro.000 -> " + prefix + "/dosdevices/c:/caps/KESTRO.000"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("found by wine prefix"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(dir + "/mapped/kestro.001 (16384 bytes, 2 frames, found by --map"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(dir + "/data/kestro.002 (16384 bytes, 2 frames, found by --data"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("found by beside the AVI"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("frames: 8 (header: 8)"), std::string::npos) << r.out;

    // The same through $WINEPREFIX, and the export gives back every picture.
    setenv("WINEPREFIX", prefix.c_str(), 1);
    r = RunKestro({"export", dir + "/take.avi", "-", "--map", "c:\\caps=" + dir + "/mapped",
                   "--data", dir + "/data"});
    unsetenv("WINEPREFIX");
    ASSERT_EQ(r.code, 0) << r.err;
    std::string want;
    for (size_t i = 0; i < c.frames; ++i) {
        auto f = UprightFrame(c, i);
        want.append(f.begin(), f.end());
    }
    EXPECT_TRUE(r.out == want);
}

TEST_F(Pieces, OnlyRegularFilesCount) {
    RawCapture c = Yuy2(2);
    mkdir((dir + "/elsewhere").c_str(), 0755); // where no rule looks
    MakeRawCapture(c, dir + "/elsewhere", dir + "/take.avi");
    mkdir((dir + "/kestro.000").c_str(), 0755); // a folder by the piece's name
    auto r = RunKestro({"verify", dir + "/take.avi"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("(not a regular file) by beside the AVI"), std::string::npos) << r.err;
    rmdir((dir + "/kestro.000").c_str());
    ASSERT_EQ(0, mkfifo((dir + "/kestro.000").c_str(), 0644));
    r = RunKestro({"export", dir + "/take.avi", dir + "/out.avi", "-q"});
    EXPECT_EQ(r.code, 1) << "a pipe must not be opened (it would block): " << r.err;
    EXPECT_NE(r.err.find("frame 0, record 0 (c:\\capture\\kestro.000"), std::string::npos) << r.err;
    EXPECT_FALSE(LeftoverOutput());
}

TEST_F(Pieces, BrokenReferencesNameFrameRecordAndPathAndLeaveNoOutput) {
    RawCapture c = Yuy2(6);
    MakeRawCapture(c, dir, dir + "/take.avi");
    // Piece 1 cut in the middle of its second frame: frame 3 lies outside it.
    ASSERT_EQ(0, truncate((dir + "/kestro.001").c_str(), 8192 + 100));
    auto r = RunKestro({"verify", dir + "/take.avi"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("frame 3, record 3 (c:\\capture\\kestro.001 at 8192, 6336 bytes): "
                         "outside its piece " +
                         dir + "/kestro.001 (8292 bytes)"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(Count(r.err, "outside its piece"), 1u);
    for (const char* ext : {"avi", "mkv", "nut"}) {
        r = RunKestro({"export", dir + "/take.avi", dir + "/out." + ext, "-q"});
        EXPECT_EQ(r.code, 1) << ext;
        EXPECT_NE(r.err.find("frame 3, record 3"), std::string::npos) << r.err;
        EXPECT_FALSE(LeftoverOutput()) << ext << ": a failed export left a file";
    }
    // Piece 2 missing: the message lists where it was looked for.
    unlink((dir + "/kestro.002").c_str());
    r = RunKestro({"verify", dir + "/take.avi", "--data", dir + "/nowhere"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("frame 4, record 4 (c:\\capture\\kestro.002 at 0, 6336 bytes): piece "
                         "not found: " +
                         dir + "/nowhere/kestro.002 (absent) by --data"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(Count(r.err, "piece not found"), 2u);
}

// A take file beside the pieces says which take they hold: frames of another take are refused by
// verify and export, naming both takes; info prints the take. Without one, nothing changes.
TEST_F(Pieces, FramesOfATakeThePiecesNoLongerHoldAreRefused) {
    RawCapture c = Yuy2(4); // records of take cdcdcdcd
    MakeRawCapture(c, dir, dir + "/take.avi");
    auto r = RunKestro({"info", dir + "/take.avi"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("take: no take file beside the pieces"), std::string::npos) << r.out;

    TakeFile held;
    held.id = 0xCDCDCDCD;
    held.started = TakeTimeText(2026, 12, 1, 8, 0, 0);
    held.frames = 4;
    WriteText(dir + "/Kestro.TAKE", FormatTakeFile(held)); // any case, as Wine finds it
    r = RunKestro({"verify", dir + "/take.avi"});
    EXPECT_EQ(r.code, 0) << r.err;
    r = RunKestro({"info", dir + "/take.avi"});
    EXPECT_NE(r.out.find("take: cdcdcdcd, started 2026-12-01T08:00:00Z, 4 frames (" + dir +
                         "/Kestro.TAKE)"),
              std::string::npos)
        << r.out;
    unlink((dir + "/Kestro.TAKE").c_str());

    TakeFile later;
    later.id = 0x0BADCAFE;
    later.started = TakeTimeText(2026, 12, 2, 9, 30, 0);
    for (bool known : {true, false}) {
        later.replaced.clear();
        if (known)
            NoteReplacedTake(later, held);
        WriteText(dir + "/kestro.take", FormatTakeFile(later));
        r = RunKestro({"verify", dir + "/take.avi"});
        EXPECT_EQ(r.code, 1);
        EXPECT_NE(r.err.find("frame 0, record 0 (c:\\capture\\kestro.000 at 0, 6336 bytes): "
                             "the AVI's take cdcdcdcd (" +
                             std::string(known ? "started 2026-12-01T08:00:00Z"
                                               : "not known to this take file") +
                             ") is no longer in the data file: " + dir +
                             "/kestro.take names take 0badcafe (started 2026-12-02T09:30:00Z) "
                             "now"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(Count(r.err, "is no longer in the data file"), 4u) << "every frame";
    }
    for (const char* out : {"/out.mkv", "/out.nut"}) {
        r = RunKestro({"export", dir + "/take.avi", dir + out, "-q"});
        EXPECT_EQ(r.code, 1) << out;
        EXPECT_NE(r.err.find("frame 0, record 0"), std::string::npos) << r.err;
        EXPECT_FALSE(LeftoverOutput()) << out;
    }
    r = RunKestro({"info", dir + "/take.avi"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("take: 0badcafe, started 2026-12-02T09:30:00Z, no frame count"),
              std::string::npos)
        << r.out;
}

TEST_F(Pieces, KeepGoingRepeatsTheLastGoodFrameOrBlack) {
    RawCapture c = Yuy2(6);
    auto plan = MakeRawCapture(c, dir, dir + "/take.avi");
    // Frame 0 names a missing piece, frame 3 is garbage, frame 4 lies past its piece's end.
    plan.records[0] = synth::Record(0, 6336, "c:\\capture\\gone.000");
    plan.records[3].assign(plan.records[3].size(), 'x');
    plan.records[4] = synth::Record(1u << 20, 6336, "c:\\capture\\kestro.002");
    synth::WriteFile(dir + "/take.avi", synth::BuildAvi(plan));
    auto r = RunKestro({"export", dir + "/take.avi", "-"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("frame 0, record 0"), std::string::npos) << r.err;
    r = RunKestro({"export", dir + "/take.avi", "-", "--keep-going"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("3 frame(s) replaced"), std::string::npos) << r.err;
    const size_t n = StoredBytes(c);
    ASSERT_EQ(r.out.size(), 6 * n);
    for (size_t i = 0; i < n; ++i)
        ASSERT_EQ(uint8_t(r.out[i]), (i & 1) ? 128 : 16) << "frame 0 is black YUY2 at " << i;
    const int source[6] = {-1, 1, 2, 2, 2, 5}; // which picture each output frame shows
    for (size_t i = 1; i < 6; ++i) {
        auto f = UprightFrame(c, size_t(source[i]));
        EXPECT_EQ(0, std::memcmp(r.out.data() + i * n, f.data(), n)) << "frame " << i;
    }
    // A 10-bit kind's black is no byte pair: every sample, in word order C Y C Y ..., is a
    // chroma of 512 or a luma of 64, padding included.
    RawCapture v = c;
    v.source = kestro::MakeFourcc('v', '2', '1', '0');
    v.bits = 20;
    auto tenBit = MakeRawCapture(v, dir, dir + "/v210.avi");
    tenBit.records[0] = synth::Record(0, StoredBytes(v), "c:\\capture\\gone.000");
    synth::WriteFile(dir + "/v210.avi", synth::BuildAvi(tenBit));
    r = RunKestro({"export", dir + "/v210.avi", "-", "--keep-going"});
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_GE(r.out.size(), StoredBytes(v));
    for (size_t i = 0; i + 4 <= StoredBytes(v); i += 4) {
        uint32_t word;
        std::memcpy(&word, r.out.data() + i, 4);
        for (uint32_t field = 0; field < 3; ++field) {
            const size_t sample = 3 * (i / 4) + field;
            ASSERT_EQ(word >> (10 * field) & 1023, sample % 2 ? 64u : 512u) << "sample " << sample;
        }
    }
}

TEST_F(Pieces, RefusesWhatIsNotAKestCaptureOrArguments) {
    RawCapture c = Yuy2(2);
    auto plan = MakeRawCapture(c, dir, dir + "/take.avi");
    std::memcpy(plan.format.data() + 16, "MJPG", 4);
    synth::WriteFile(dir + "/mjpg.avi", synth::BuildAvi(plan));
    auto r = RunKestro({"export", dir + "/mjpg.avi", dir + "/out.avi"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("no KEST stream"), std::string::npos) << r.err;
    r = RunKestro({"info", dir + "/absent.avi"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("cannot open " + dir + "/absent.avi"), std::string::npos) << r.err;
    r = RunKestro({"export", dir + "/take.avi", dir + "/out.mp4"});
    EXPECT_EQ(r.code, 2);
    r = RunKestro({"export", dir + "/take.avi", "/proc/out.avi", "-q"});
    EXPECT_EQ(r.code, 4) << r.err;
    // A stream without frames: no container gets a file that looks whole and holds nothing.
    std::memcpy(plan.format.data() + 16, "KEST", 4);
    plan.records.clear();
    synth::WriteFile(dir + "/empty.avi", synth::BuildAvi(plan));
    for (const char* out : {"/out.avi", "/out.mkv", "/out.nut", "/out.mov"}) {
        r = RunKestro({"export", dir + "/empty.avi", dir + out, "-q"});
        EXPECT_EQ(r.code, 2) << out;
        EXPECT_NE(r.err.find("no frame to export"), std::string::npos) << r.err;
        EXPECT_NE(access((dir + out).c_str(), F_OK), 0) << out;
    }
    r = RunKestro({"frobnicate", dir + "/take.avi"});
    EXPECT_EQ(r.code, 2);
    r = RunKestro({"info", dir + "/take.avi", "--map", "no-equals-sign"});
    EXPECT_EQ(r.code, 2);
}

TEST_F(Pieces, AFullDiskFailsTheExportAndRemovesThePartialFile) {
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    RawCapture c = Yuy2(20); // 127 kB of pictures for a 64 kB drive
    MakeRawCapture(c, dir, dir + "/take.avi");
    auto r = RunKestro({"export", dir + "/take.avi", "-"});
    ASSERT_EQ(r.code, 0);
    int status;
    Shell("'" KESTRO_TOOL "' export '" + dir + "/take.avi' - > /dev/full 2>" + dir + "/err.txt",
          &status);
    EXPECT_EQ(status, 4);
    auto err = synth::ReadFile(dir + "/err.txt");
    EXPECT_NE(std::string(err.begin(), err.end()).find("No space left"), std::string::npos);

    // A file export onto a small drive that fills up.
    const std::string small = dir + "/small";
    mkdir(small.c_str(), 0755);
    if (std::system(("mount -t tmpfs -o size=64k tmpfs '" + small + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "cannot mount a small drive here";
    r = RunKestro({"export", dir + "/take.avi", small + "/out.avi", "-q"});
    EXPECT_EQ(r.code, 4) << r.err;
    EXPECT_NE(r.err.find("disk full"), std::string::npos) << r.err;
    auto left = Shell("ls -A '" + small + "'");
    EXPECT_TRUE(left.empty()) << std::string(left.begin(), left.end());
    std::system(("umount '" + small + "'").c_str());
}

} // namespace

namespace {

class OutputFiles : public ToolTest {
protected:
    static size_t Count(const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    }
    mode_t ModeOf(const std::string& path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
    }
};

TEST_F(OutputFiles, GetTheModeTheUmaskGivesAndABackupTheOriginals) {
    RawCapture c;
    c.source = MakeFourcc('Y', 'U', 'Y', '2');
    c.frames = 2;
    const std::string avi = dir + "/take.avi";
    MakeRawCapture(c, dir, avi);
    const mode_t saved = umask(022);
    for (mode_t mask : {mode_t(022), mode_t(077), mode_t(002)}) {
        umask(mask);
        for (const char* ext : {"mkv", "avi"}) {
            const std::string out = dir + "/out." + ext;
            auto r = RunKestro({"export", avi, out, "-q"});
            EXPECT_EQ(r.code, 0) << r.err;
            EXPECT_EQ(ModeOf(out), 0666 & ~mask) << ext << ", umask " << mask;
            unlink(out.c_str());
        }
        auto r = RunKestro(
            {"relink", avi, "--to", "e:\\a longer folder\\kestro", "-o", dir + "/new.avi"});
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(ModeOf(dir + "/new.avi"), 0666 & ~mask) << "umask " << mask;
        unlink((dir + "/new.avi").c_str());
    }
    // The backup keeps what the original allowed, whatever the umask.
    umask(0);
    ASSERT_EQ(0, chmod(avi.c_str(), 0640));
    auto r = RunKestro({"relink", avi, "--to", "e:\\k\\kestro"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(ModeOf(avi + ".bak"), 0640u);
    EXPECT_EQ(ModeOf(avi), 0640u);
    umask(saved);
}

TEST_F(OutputFiles, LeftoversOfKilledRunsGoAndOnlyThose) {
    RawCapture c;
    c.source = MakeFourcc('Y', 'U', 'Y', '2');
    c.frames = 2;
    const std::string avi = dir + "/take.avi";
    MakeRawCapture(c, dir, avi);
    const std::string dead = dir + "/.out.mkv.kestro-AbC123",
                      live = dir + "/.out.mkv.kestro-LiVe12",
                      other = dir + "/.other.mkv.kestro-XyZ789",
                      notOurs = dir + "/.out.mkv.kestro-notours";
    for (const auto& path : {dead, live, other, notOurs})
        synth::WriteFile(path, std::vector<uint8_t>(100, 1));
    // A run still writing holds the lock of its temporary file.
    const int held = open(live.c_str(), O_RDONLY);
    ASSERT_EQ(0, flock(held, LOCK_EX | LOCK_NB));
    auto r = RunKestro({"export", avi, dir + "/out.mkv", "-q"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(
        r.err.find("kestro: removed " + dead + ", left by an export or relink that was killed"),
        std::string::npos)
        << r.err;
    EXPECT_EQ(Count(r.err, "removed"), 1u) << r.err;
    struct stat st;
    EXPECT_NE(stat(dead.c_str(), &st), 0);
    for (const auto& kept : {live, other, notOurs})
        EXPECT_EQ(stat(kept.c_str(), &st), 0) << kept;
    close(held);
    // Its creator gone, the same file is a leftover too: the next run for that output takes it.
    r = RunKestro({"relink", avi, "--to", "e:\\a longer folder\\kestro", "-o", dir + "/out.mkv"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("kestro: removed " + live), std::string::npos) << r.err;
}

TEST_F(OutputFiles, APieceThatShrinksDuringTheExportIsSaidSo) {
    RawCapture c;
    c.source = MakeFourcc('Y', 'U', 'Y', '2');
    c.frames = 200;
    c.framesPerPiece = 200;
    const std::string avi = dir + "/take.avi";
    MakeRawCapture(c, dir, avi);
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    const pid_t pid = SpawnKestro({"export", avi, "-"}, "", dir + "/err", fds[1]);
    close(fds[1]);
    // The pipe holds a few frames: the tool waits in its write while the piece is cut.
    std::vector<uint8_t> block(StoredBytes(c));
    ASSERT_EQ(read(fds[0], block.data(), block.size()), ssize_t(block.size()));
    usleep(100000);
    ASSERT_EQ(0, truncate((dir + "/kestro.000").c_str(), 8192 * 20));
    while (read(fds[0], block.data(), block.size()) > 0) {
    }
    close(fds[0]);
    EXPECT_EQ(WaitForExit(pid, 20), 1);
    auto err = synth::ReadFile(dir + "/err");
    const std::string said(err.begin(), err.end());
    EXPECT_NE(said.find("of " + dir +
                        "/kestro.000: it ends before them, at 163840 bytes (it "
                        "shrank since it was looked at)"),
              std::string::npos)
        << said;
}

} // namespace
