// report on synthesized captures with a modelled frame journal beside their pieces: the verdict
// and the page from a journal, the AVI alone without one, and a refusal naming the journal and
// what is wrong with it for every journal a hostile user or a killed host leaves.
#include <sys/stat.h>
#include <unistd.h>

#include "ModelledJournal.h"
#include "PiecesFixture.h"
#include "pure/TakeFile.h"

using namespace kestro;

namespace {

constexpr uint32_t kRecordsTake = 0xCDCDCDCD; // the take the synthesized records name

class Report : public Pieces {
protected:
    void SetUp() override {
        Pieces::SetUp();
        avi = dir + "/take.avi";
        journal = dir + "/kestro.journal";
        page = dir + "/page.html";
        MakeRawCapture(Yuy2(4), dir, avi);
    }
    // A minute at 60 frames a second whose source drops 12 frames between 00:41 and 00:43.
    static std::vector<uint8_t> SkippingTake() {
        modelled::Model m;
        m.seconds = 60;
        m.take = kRecordsTake;
        for (uint32_t first : {2460u, 2514u, 2568u, 2622u})
            for (uint32_t k = 0; k < 3; ++k)
                m.sourceDrops.insert(first + k);
        return modelled::Simulate(m);
    }
    // The page checker's verdict on `file`: its exit status, what it said in `said`.
    static int CheckPage(const std::string& file, int svgs, std::string* said = nullptr) {
        int status = -1;
        const auto out =
            Shell("python3 '" KESTRO_PAGE_CHECK "' '" + file + "' --svgs " + std::to_string(svgs),
                  &status);
        if (said)
            *said = std::string(out.begin(), out.end());
        return status;
    }
    bool Exists(const std::string& path) {
        struct stat st;
        return lstat(path.c_str(), &st) == 0;
    }

    std::string avi, journal, page;
};

TEST_F(Report, TheJournalBesideThePiecesBlamesTheHostAndMakesAPage) {
    synth::WriteFile(journal, SkippingTake());
    const RunResult r = RunKestro({"report", avi, "--html", page});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("journal: " + journal + ": 3,588 rows"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("verdict: the host skipped 12 frames at 00:41-00:43 while the codec "
                         "returned within 0.2 ms: the source or the host\n"),
              std::string::npos)
        << r.out;
    std::string said;
    EXPECT_EQ(CheckPage(page, 3, &said), 0) << said;
    EXPECT_FALSE(LeftoverOutput());
    // The check itself must see a page that fetches from elsewhere.
    const std::vector<uint8_t> made = synth::ReadFile(page);
    std::string text(made.begin(), made.end());
    text.insert(text.find("</body>"), "<img src=\"http://example.com/x.png\"/>");
    WriteText(dir + "/fetching.html", text);
    EXPECT_NE(CheckPage(dir + "/fetching.html", 3), 0);
}

TEST_F(Report, WithoutAJournalOnlyWhatTheAviSays) {
    const RunResult r = RunKestro({"report", avi, "--html", page});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("frames: 4 in the AVI"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("journal: none beside the pieces (" + journal +
                         "): only what the AVI says (frames, rate, sizes), nothing about timing"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("verdict:"), std::string::npos) << r.out;
    std::string said;
    EXPECT_EQ(CheckPage(page, 0, &said), 0) << said;
}

TEST_F(Report, AHostKilledMidRowLeavesAJournalReadToItsLastWholeRow) {
    std::vector<uint8_t> bytes = SkippingTake();
    bytes.resize(bytes.size() - kJournalRowBytes + 5);
    synth::WriteFile(journal, bytes);
    const RunResult r = RunKestro({"report", avi});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("3,587 rows"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("journal: its last row is cut (5 bytes after the last whole row)"),
              std::string::npos)
        << r.out;
}

TEST_F(Report, EveryJournalThatCannotBeBelievedIsRefusedByName) {
    const std::vector<uint8_t> good = SkippingTake();
    std::vector<uint8_t> version = good, order = good, other = good;
    version[4] = 3;
    order[kJournalHeaderBytes + kJournalRowBytes + 8] = 0; // row 1 arrives at tick 0
    order[kJournalHeaderBytes + kJournalRowBytes + 9] = 0;
    order[kJournalHeaderBytes + kJournalRowBytes + 10] = 0;
    order[kJournalHeaderBytes + 8 + 1] = 1; // row 0 arrives later than that
    other[24] ^= 1;
    const auto write = [&](const std::vector<uint8_t>& bytes) {
        return [&, bytes] { synth::WriteFile(journal, bytes); };
    };
    struct Row {
        const char* name;
        std::function<void()> place;
        std::string why;
    };
    const std::vector<Row> rows = {
        {"cut in its header", write({good.begin(), good.begin() + 30}),
         "shorter than its 64-byte header"},
        {"huge",
         [&] {
             synth::WriteFile(journal, good);
             ASSERT_EQ(0, truncate(journal.c_str(), off_t(600) << 20));
         },
         "is 629145600 bytes, larger than a journal may be (512 MiB)"},
        {"another version", write(version), "version 3, this build reads 1 and 2"},
        {"rows out of order", write(order), "row 1 arrived before the row ahead of it"},
        {"another take", write(other), "is of take cdcdcdcc, the AVI's frames of take cdcdcdcd"},
        {"a folder", [&] { ASSERT_EQ(0, mkdir(journal.c_str(), 0755)); }, "is a folder"},
        {"a FIFO", [&] { ASSERT_EQ(0, mkfifo(journal.c_str(), 0644)); },
         "is no regular file (a FIFO, a device or a socket)"},
        {"a link", [&] { ASSERT_EQ(0, symlink("/dev/zero", journal.c_str())); },
         "is a symbolic link, which is not followed"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Shell("rm -rf '" + journal + "' '" + page + "'");
        row.place();
        const RunResult r = RunKestro({"report", avi, "--html", page});
        EXPECT_EQ(r.code, 1) << r.err;
        EXPECT_NE(r.err.find(journal), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(row.why), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(Exists(page));
    }
}

// A striped take's first record may name a later data file's piece (the first frame failed and
// used the first data file's turn): the take file beside it names the first data file, whose
// journal is read, and each data file's disk gets its line. A first data file the piece rule
// refuses is not looked for.
TEST_F(Report, AStripedTakesJournalLiesBesideItsFirstDataFile) {
    TakeFile take;
    take.id = kRecordsTake;
    take.started = TakeTimeText(2026, 12, 2, 9, 30, 0);
    take.stripe = 1;
    take.stripeFiles = {"c:\\capture\\first", "c:\\capture\\kestro"};
    WriteText(dir + "/kestro.take", FormatTakeFile(take));
    modelled::Model m;
    m.seconds = 2, m.take = kRecordsTake, m.stripes = 2;
    synth::WriteFile(dir + "/first.journal", modelled::Simulate(m));
    synth::WriteFile(journal, SkippingTake()); // beside the first piece, of no use
    const RunResult r = RunKestro({"report", avi, "--html", page});
    ASSERT_EQ(r.code, 0) << r.err;
    std::string said;
    EXPECT_EQ(CheckPage(page, 3, &said), 0) << said;
    EXPECT_NE(r.out.find("journal: " + dir + "/first.journal: 120 rows"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\ndisk of c:\\capture\\first: 60 frames, "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\ndisk of c:\\capture\\kestro: 60 frames, "), std::string::npos) << r.out;

    // Something else where that journal belongs is refused by name, not taken for no journal.
    Shell("rm -f '" + dir + "/first.journal' && mkdir '" + dir + "/first.journal'");
    const RunResult folder = RunKestro({"report", avi});
    EXPECT_EQ(folder.code, 1);
    EXPECT_NE(folder.err.find("the journal " + dir + "/first.journal is a folder"),
              std::string::npos)
        << folder.err;
    EXPECT_EQ(folder.out, "");

    take.stripeFiles[0] = "\\\\server\\share\\first";
    WriteText(dir + "/kestro.take", FormatTakeFile(take));
    const RunResult refused = RunKestro({"report", avi});
    EXPECT_EQ(refused.code, 1);
    EXPECT_NE(refused.err.find("the take file " + dir +
                               "/kestro.take names the first data file's "
                               "piece "),
              std::string::npos)
        << refused.err;
    EXPECT_NE(refused.err.find("which is not looked for"), std::string::npos) << refused.err;
    EXPECT_EQ(refused.out, "");
}

TEST_F(Report, ARecordNameThePieceRuleRefusesIsNotFollowed) {
    RawCapture c = Yuy2(2);
    c.base = "kestro"; // relative: a player would resolve it against its own folder
    MakeRawCapture(c, dir, avi);
    synth::WriteFile(journal, SkippingTake());
    const RunResult r = RunKestro({"report", avi});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("which is not looked for: a relative name"), std::string::npos) << r.err;
}

} // namespace
