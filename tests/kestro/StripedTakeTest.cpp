// A take striped over two folders, frames going to each in turn: every command reads it whole in
// record order, takes lists it once and removes it from both folders, and a take file that names
// a stripe it should not look at, or a stripe that is not the take's, is refused with nothing
// removed.
#include <sys/stat.h>

#include <cstdio>
#include <functional>

#include "PiecesFixture.h"
#include "pure/SettingsText.h"
#include "pure/TakeFile.h"

using namespace kestro;

namespace {

class StripedTake : public Pieces {
public: // the rows of a test change the take through these
    const std::vector<std::string> names = {"c:\\capture\\kestro", "d:\\stripe\\kestro"};
    std::vector<std::string> folders; // where each stripe lies here, in turn order
    RawCapture c = Yuy2(6);           // two frames to a piece: two pieces in each folder

    void SetUp() override {
        Pieces::SetUp();
        folders = {dir + "/c", dir + "/d"};
        for (const auto& folder : folders)
            ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
        synth::AviPlan plan;
        plan.format = synth::StreamFormat(c.width, c.height, c.source, c.bits);
        plan.rate = c.rate;
        const uint32_t span = (StoredBytes(c) + 4095) & ~4095u;
        std::vector<std::vector<std::vector<uint8_t>>> pieces(names.size());
        for (size_t i = 0; i < c.frames; ++i) {
            const size_t stripe = i % names.size(), nth = i / names.size();
            const size_t piece = nth / c.framesPerPiece;
            if (pieces[stripe].size() <= piece)
                pieces[stripe].resize(piece + 1);
            auto& into = pieces[stripe][piece];
            plan.records.push_back(synth::Record(into.size(), StoredBytes(c),
                                                 FormatPieceName(names[stripe], int(piece))));
            auto frame = StoredFrame(c, i);
            frame.resize(span, 0xEE);
            into.insert(into.end(), frame.begin(), frame.end());
        }
        for (size_t stripe = 0; stripe < names.size(); ++stripe) {
            for (size_t piece = 0; piece < pieces[stripe].size(); ++piece) {
                synth::WriteFile(FormatPieceName(folders[stripe] + "/kestro", int(piece)),
                                 pieces[stripe][piece]);
            }
            WriteTake(stripe, Take(stripe));
        }
        synth::WriteFile(dir + "/take.avi", synth::BuildAvi(plan));
    }

    TakeFile Take(size_t stripe) const {
        TakeFile take;
        take.id = 0xCDCDCDCD;
        take.started = TakeTimeText(2026, 12, 11, 9, 0, 0);
        take.frames = 3;
        take.ended = TakeTimeText(2026, 12, 11, 9, 1, 0);
        take.stripe = uint32_t(stripe);
        take.stripeFiles = names;
        return take;
    }
    void WriteTake(size_t stripe, const TakeFile& take) {
        WriteText(folders[stripe] + "/kestro.take", FormatTakeFile(take));
    }
    std::vector<std::string> With(std::vector<std::string> args, bool mapSecond = true) {
        for (size_t stripe = 0; stripe < (mapSecond ? names.size() : 1); ++stripe) {
            const std::string windowsFolder = names[stripe].substr(0, names[stripe].rfind('\\'));
            args.insert(args.end(), {"--map", windowsFolder + "=" + folders[stripe]});
        }
        return args;
    }
    static std::string ReadText(const std::string& path) {
        const auto bytes = synth::ReadFile(path);
        return std::string(bytes.begin(), bytes.end());
    }
    bool AllPiecesThere() {
        struct stat st;
        for (const auto& folder : folders)
            for (const char* piece : {"/kestro.000", "/kestro.001"})
                if (lstat((folder + piece).c_str(), &st) != 0)
                    return false;
        return true;
    }
};

TEST_F(StripedTake, IsReadWholeListedOnceAndRemovedFromEveryFolder) {
    RunResult r = RunKestro(With({"verify", dir + "/take.avi"}));
    EXPECT_EQ(r.code, 0) << r.err;
    r = RunKestro(With({"export", dir + "/take.avi", "-", "-q"}));
    ASSERT_EQ(r.code, 0) << r.err;
    std::string frames;
    for (size_t i = 0; i < c.frames; ++i) {
        const auto frame = StoredFrame(c, i);
        frames.append(frame.begin(), frame.end());
    }
    EXPECT_TRUE(r.out == frames) << "the frames of both folders, in record order";

    r = RunKestro(With({"takes", folders[1], "--avi-dir", dir}));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Count(r.out, "data file: "), 1u) << r.out;
    for (const std::string& line : std::vector<std::string>{
             "  stripe: 1 of 2 (frames go to each data file in turn): this one\n",
             "  stripe: 0, c:\\capture\\kestro: 2 piece(s), " + std::to_string(3 * 8192) +
                 " bytes, in " + folders[0] + "/\n",
             "  all:    4 piece(s), " + std::to_string(6 * 8192) +
                 " bytes on disk in 2 of its 2 data files, 6 frames\n",
             std::string("  avi:    take.avi: 6 frames, of this take")})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;

    r = RunKestro(With({"takes", folders[1], "--remove", "cdcdcdcd", "--yes"}));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("removed take cdcdcdcd: 4 piece(s)"), std::string::npos) << r.out;
    for (size_t stripe = 0; stripe < folders.size(); ++stripe) {
        struct stat st;
        EXPECT_NE(lstat((folders[stripe] + "/kestro.000").c_str(), &st), 0) << stripe;
        const std::string text = ReadText(folders[stripe] + "/kestro.take");
        const TakeFileRead read = ParseTakeFile(text);
        ASSERT_TRUE(read.take) << text;
        EXPECT_FALSE(read.take->removed.empty()) << "stripe " << stripe << " is not marked";
        EXPECT_EQ(read.take->stripe, stripe);
        EXPECT_EQ(read.take->stripeFiles, names);
    }
    r = RunKestro(With({"verify", dir + "/take.avi"}));
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("frame 1, record 1 (d:\\stripe\\kestro.000"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("as " + folders[1] + "/kestro.take says"), std::string::npos)
        << "the take file beside that frame's piece" << r.err;
    EXPECT_NE(r.err.find("was removed on "), std::string::npos) << r.err;
}

// Moved to two new folders: a new base for each data file, in turn order. Too few, or a new base
// the codec would not open, changes nothing.
TEST_F(StripedTake, IsRelinkedWithANewBaseForEachDataFile) {
    const std::string avi = dir + "/take.avi";
    const auto original = synth::ReadFile(avi);
    const std::string moved[] = {dir + "/f", dir + "/g"};
    for (size_t stripe = 0; stripe < 2; ++stripe)
        ASSERT_EQ(0, rename(folders[stripe].c_str(), moved[stripe].c_str()));
    for (const std::vector<std::string>& to :
         {std::vector<std::string>{"f:\\k"}, {"f:\\k", "g:\\k", "h:\\k"}, {"f:\\k", "con"}}) {
        std::vector<std::string> args = {"relink",         avi,     "--map",
                                         "f:=" + moved[0], "--map", "g:=" + moved[1]};
        for (const std::string& base : to)
            args.insert(args.end(), {"--to", base});
        const RunResult r = RunKestro(args);
        EXPECT_EQ(r.code, 2) << to.size() << " --to: " << r.err;
        if (to.size() != 2) {
            EXPECT_NE(r.err.find("the records name 2 data file(s) (c:\\capture\\kestro, "
                                 "d:\\stripe\\kestro) and " +
                                 std::to_string(to.size()) + " --to were given"),
                      std::string::npos)
                << r.err;
        }
        EXPECT_TRUE(synth::ReadFile(avi) == original) << "a refused relink changed the AVI";
    }
    for (size_t stripe = 0; stripe < 2; ++stripe)
        for (const char* piece : {"/kestro.000", "/kestro.001"})
            ASSERT_EQ(0, rename((moved[stripe] + piece).c_str(),
                                (moved[stripe] + "/k" + (piece + 7)).c_str()));
    RunResult r = RunKestro({"relink", avi, "--map", "f:=" + moved[0], "--map", "g:=" + moved[1],
                             "--to", "f:\\k", "--to", "g:\\k"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("relinked 6 records in place"), std::string::npos) << r.out;
    for (size_t stripe = 0; stripe < 2; ++stripe)
        EXPECT_TRUE(ParseTakeFile(ReadText(moved[stripe] + "/k.take")).take)
            << "the take file went with stripe " << stripe;
    r = RunKestro({"export", avi, "-", "-q", "--map", "f:=" + moved[0], "--map", "g:=" + moved[1]});
    ASSERT_EQ(r.code, 0) << r.err;
    std::string frames;
    for (size_t i = 0; i < c.frames; ++i) {
        const auto frame = StoredFrame(c, i);
        frames.append(frame.begin(), frame.end());
    }
    EXPECT_TRUE(r.out == frames) << "frame k from the k-th data file's new name, in turn";
}

// An AVI whose writer died: rebuilt from the records of both folders; with one folder missing,
// refused, naming it, rather than cut after its first frame.
TEST_F(StripedTake, IsRecoveredWholeOrRefusedWithAStripeMissing) {
    const std::string avi = dir + "/take.avi", out = dir + "/recovered.avi";
    auto bytes = synth::ReadFile(avi);
    std::fill(bytes.begin() + 4, bytes.begin() + 8, uint8_t(0)); // the RIFF size a crash leaves
    synth::WriteFile(avi, bytes);
    RunResult r =
        RunKestro(With({"recover", avi, "-o", out, "--format", "yuy2", "--size", "66x48"}, false));
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(r.err.find("stripe 1 of take cdcdcdcd (d:\\stripe\\kestro, as " + folders[0] +
                         "/kestro.take names it) is missing: its first frame, frame 1"),
              std::string::npos)
        << r.err;
    struct stat st;
    EXPECT_NE(lstat(out.c_str(), &st), 0) << "a refused recovery wrote its output";
    r = RunKestro(With({"recover", avi, "-o", out, "--format", "yuy2", "--size", "66x48"}));
    ASSERT_EQ(r.code, 0) << r.err;
    r = RunKestro(With({"export", out, "-", "-q"}));
    ASSERT_EQ(r.code, 0) << r.err;
    std::string frames;
    for (size_t i = 0; i < c.frames; ++i) {
        const auto frame = StoredFrame(c, i);
        frames.append(frame.begin(), frame.end());
    }
    EXPECT_TRUE(r.out == frames) << "every frame of both folders, in turn";
}

// What the second stripe's take file, or the first one's name for it, leaves: what takes says of
// that stripe, and why a removal is refused with every piece left where it was.
TEST_F(StripedTake, AStripeNotWhollyTheTakesIsNeverTouched) {
    struct Row {
        const char* what;
        std::function<void(StripedTake&)> make;
        bool mapSecond;
        const char* listed;  // said of stripe 1 when stripe 0's folder is listed
        const char* refusal; // part of the removal's refusal
    };
    const std::vector<Row> rows = {
        {"its take file names another take",
         [](StripedTake& t) {
             TakeFile other = t.Take(1);
             other.id = 0x0BADCAFE;
             t.WriteTake(1, other);
         },
         true, "names take 0badcafe: this take's frames there are gone", "names take 0badcafe"},
        {"its take file is missing",
         [](StripedTake& t) { std::remove((t.folders[1] + "/kestro.take").c_str()); }, true,
         "missing: no take file kestro.take in ", "has no take file in "},
        {"its take file is a folder",
         [](StripedTake& t) {
             std::remove((t.folders[1] + "/kestro.take").c_str());
             mkdir((t.folders[1] + "/kestro.take").c_str(), 0755);
         },
         true, "is damaged", "is damaged"},
        {"its folder is not here", [](StripedTake&) {}, false, "no folder of it is here",
         "no folder of it is here"},
        {"it names a device",
         [](StripedTake& t) {
             TakeFile first = t.Take(0);
             first.stripeFiles[1] = "d:\\stripe\\con";
             t.WriteTake(0, first);
         },
         true, "not looked at: ", "cannot be looked at: "},
        {"it names a share no --map maps",
         [](StripedTake& t) {
             TakeFile first = t.Take(0);
             first.stripeFiles[1] = "\\\\server\\share\\kestro";
             t.WriteTake(0, first);
         },
         true, "not looked at: a network path", "a network path"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Shell("rm -rf '" + folders[1] + "/kestro.take'");
        WriteTake(0, Take(0));
        WriteTake(1, Take(1));
        row.make(*this);
        RunResult r = RunKestro(With({"takes", folders[0]}, row.mapSecond));
        EXPECT_EQ(r.code, 0) << r.err;
        EXPECT_NE(r.out.find(row.listed), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("on disk in 1 of its 2 data files"), std::string::npos) << r.out;
        r = RunKestro(With({"takes", folders[0], "--remove", "cdcdcdcd", "--yes"}, row.mapSecond));
        EXPECT_EQ(r.code, 2);
        EXPECT_NE(r.err.find("nothing removed: "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(row.refusal), std::string::npos) << r.err;
        EXPECT_TRUE(AllPiecesThere());
        EXPECT_TRUE(ParseTakeFile(ReadText(folders[0] + "/kestro.take")).take->removed.empty())
            << "the first stripe was marked removed";
    }
}

} // namespace
