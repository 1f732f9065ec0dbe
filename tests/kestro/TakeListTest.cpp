// The takes of a folder as both tools group them, and what a removal may delete.
#include <gtest/gtest.h>

#include "TakeList.h"

using namespace kestro;
using namespace kestro::avi;

namespace {

FolderEntry File(const char* name, uint64_t bytes = 4096) {
    return {name, bytes, true};
}

TakeFileRead Take(uint32_t id, bool ended = true, const char* removed = "",
                  std::vector<EarlierTake> replaced = {}) {
    TakeFile take;
    take.id = id;
    take.started = TakeTimeText(2026, 12, 11, 9, 0, 0);
    if (ended) {
        take.frames = 4;
        take.ended = TakeTimeText(2026, 12, 11, 9, 1, 0);
    }
    take.removed = removed;
    take.replaced = std::move(replaced);
    return {take, {}};
}

// Stripe `stripe` of a take over `files` data files, d:\caps\take first.
TakeFileRead StripedTake(uint32_t id, uint32_t stripe, uint32_t files = 2) {
    TakeFileRead read = Take(id);
    read.take->stripe = stripe;
    for (uint32_t k = 0; k < files; ++k)
        read.take->stripeFiles.push_back(std::string(1, char('d' + k)) + ":\\caps\\take");
    return read;
}

// Another data file of a striped take as a tool found it in the folder "e/".
StripeFound Stripe(uint32_t stripe, std::optional<TakeFileRead> take,
                   std::vector<TakePiece> pieces = {{0, "take.000", 1000, true}},
                   const char* refusal = "") {
    StripeFound found;
    found.stripe = stripe;
    found.dataFile = "e:\\caps\\take";
    found.base = "take";
    found.folder = "e/";
    found.refusal = refusal;
    found.pieces = std::move(pieces);
    if (take) {
        found.takeFile = "take.take";
        found.take = *take;
    }
    return found;
}

std::vector<std::string> Bases(const std::vector<DataFileTakes>& takes) {
    std::vector<std::string> bases;
    for (const auto& data : takes)
        bases.push_back(data.base + ":" + std::to_string(data.pieces.size()) +
                        (data.takeFile.empty() ? "" : "+take"));
    return bases;
}

TEST(TakeList, AFolderIsGroupedByDataFileAndItsNumberedSiblings) {
    const std::vector<FolderEntry> folder = {
        File("take-10.000"),  File("take-2.001"),       File("TAKE-2.000"),   File("take.000"),
        File("take.take"),    File("take-2.take"),      File("take-10.take"), File("take.avi"),
        File("take.500"),     File("take.00"),          File("other.000"),    File("take-1.000"),
        File("take-02.take"), {"take-3.000", 0, false}, File("notes.txt")};
    const auto all = GroupDataFiles(folder);
    EXPECT_EQ(Bases(all),
              (std::vector<std::string>{"other:1", "take:1+take", "take-2:2+take", "take-3:1",
                                        "take-10:1+take", "take-02:0+take", "take-1:1"}));
    const auto& pieces = all[2].pieces;
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].name, "TAKE-2.000") << "by index, letter case aside";
    EXPECT_EQ(pieces[1].name, "take-2.001");
    for (const char* named : {"take", "take-2", "TAKE-10", "take-7"})
        EXPECT_EQ(Bases(FamilyOf(all, named)),
                  (std::vector<std::string>{"take:1+take", "take-2:2+take", "take-3:1",
                                            "take-10:1+take"}))
            << named;
    EXPECT_EQ(Bases(FamilyOf(all, "take-1")), std::vector<std::string>{"take-1:1"})
        << "take-1 is a name of its own";
    EXPECT_TRUE(FamilyOf(all, "ceremony").empty());
}

struct Row {
    const char* what;
    std::vector<FolderEntry> files;
    std::vector<TakeFileRead> takes; // in the order of the groups with a take file
    const char* id;
    bool mustHaveEnded;
    const char* refusal; // part of it; empty: removed
    std::vector<std::string> pieces = {};
    std::vector<StripeFound> stripes = {}; // of the first data file, as a tool finds them
    std::vector<std::string> stripePieces = {};
};

const std::vector<Row>& RemovalRows() {
    static const std::vector<Row> rows = {
        {"its pieces, and no sibling's",
         {File("take.000"), File("take.001", 100), File("take.take"), File("take-2.000"),
          File("take-2.take")},
         {Take(0xA), Take(0xB)},
         "0000000A",
         true,
         "",
         {"take.000", "take.001"}},
        {"no such identity",
         {File("take.000"), File("take.take")},
         {Take(0xA)},
         "0000000b",
         true,
         "no take 0000000b among"},
        {"no identity at all",
         {File("take.take")},
         {Take(0xA)},
         "take",
         true,
         "is no take identity"},
        {"an identity of zero",
         {File("take.take")},
         {Take(0xA)},
         "00000000",
         true,
         "is no take identity"},
        {"a take its pieces no longer hold",
         {File("take.000"), File("take.take")},
         {Take(0xB, true, "", {{0xA, ""}})},
         "0000000a",
         true,
         "its pieces hold take 0000000b now"},
        {"one identity in two take files",
         {File("a.000"), File("a.take"), File("b.000"), File("b.take")},
         {Take(0xA), Take(0xA)},
         "0000000a",
         true,
         "two data files name take 0000000a"},
        {"a capture not ended, where that is told by the take file alone",
         {File("take.000"), File("take.take")},
         {Take(0xA, false)},
         "0000000a",
         true,
         "has not ended"},
        {"a capture not ended, where held pieces tell",
         {File("take.000"), File("take.take")},
         {Take(0xA, false)},
         "0000000a",
         false,
         "",
         {"take.000"}},
        {"removed already",
         {File("take.take")},
         {Take(0xA, true, "2026-12-11T10:00:00Z")},
         "0000000a",
         true,
         "was removed already"},
        {"a removal cut short, finished",
         {File("take.001"), File("take.take")},
         {Take(0xA, true, "2026-12-11T10:00:00Z")},
         "0000000a",
         true,
         "",
         {"take.001"}},
        {"a piece that is a folder",
         {File("take.000"), {"take.001", 0, false}, File("take.take")},
         {Take(0xA)},
         "0000000a",
         true,
         "take.001 is no regular file"},
        {"two files of one piece's name",
         {File("take.000"), File("TAKE.000"), File("take.take")},
         {Take(0xA)},
         "0000000a",
         true,
         "two files are piece 0"},
        {"a damaged take file tells no identity",
         {File("take.000"), File("take.take")},
         {TakeFileRead{std::nullopt, "empty"}},
         "0000000a",
         true,
         "no take 0000000a"},
    };
    return rows;
}

// A striped take goes from every folder, or from none.
const std::vector<Row>& StripedRemovalRows() {
    static const std::vector<Row> rows = {
        {"a striped take: every stripe's pieces go",
         {File("take.000"), File("take.001", 100), File("take.take")},
         {StripedTake(0xA, 0)},
         "0000000a",
         true,
         "",
         {"take.000", "take.001"},
         {Stripe(1, StripedTake(0xA, 1))},
         {"e/take.000"}},
        {"a stripe whose take file names another take",
         {File("take.000"), File("take.take")},
         {StripedTake(0xA, 0)},
         "0000000a",
         true,
         "names take 0000000b",
         {},
         {Stripe(1, StripedTake(0xB, 1))}},
        {"a stripe without its take file (its disk not here)",
         {File("take.000"), File("take.take")},
         {StripedTake(0xA, 1)},
         "0000000a",
         true,
         "stripe 0 of take 0000000a (e:\\caps\\take) has no take file",
         {},
         {Stripe(0, std::nullopt)}},
        {"a stripe the path rule refuses",
         {File("take.000"), File("take.take")},
         {StripedTake(0xA, 0)},
         "0000000a",
         true,
         "cannot be looked at: a device",
         {},
         {Stripe(1, std::nullopt, {}, "a device")}},
        {"a stripe's piece that is a folder",
         {File("take.000"), File("take.take")},
         {StripedTake(0xA, 0)},
         "0000000a",
         true,
         "take.001 is no regular file",
         {},
         {Stripe(1, StripedTake(0xA, 1), {{0, "take.000", 1, true}, {1, "take.001", 0, false}})}},
        {"one stripe of three found, one missing",
         {File("take.000"), File("take.take")},
         {StripedTake(0xA, 0, 3)},
         "0000000a",
         true,
         "stripe 2 of take",
         {},
         {Stripe(1, StripedTake(0xA, 1, 3)), Stripe(2, std::nullopt, {})}},
        {"two stripes of one take in one folder are one take",
         {File("a.000"), File("a.take"), File("b.000", 10), File("b.take")},
         {StripedTake(0xA, 0), StripedTake(0xA, 1)},
         "0000000a",
         true,
         "",
         {"a.000"},
         {Stripe(1, StripedTake(0xA, 1), {{0, "b.000", 10, true}})},
         {"e/b.000"}},
    };
    return rows;
}

TEST(TakeList, OnlyATakeTheFilesNameWhollyIsRemoved) {
    std::vector<Row> rows = RemovalRows();
    rows.insert(rows.end(), StripedRemovalRows().begin(), StripedRemovalRows().end());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        auto takes = GroupDataFiles(row.files);
        size_t next = 0;
        for (auto& data : takes)
            if (!data.takeFile.empty() && next < row.takes.size())
                data.take = row.takes[next++];
        ASSERT_EQ(next, row.takes.size());
        takes[0].stripes = row.stripes;
        const RemovalPlan plan = PlanRemoval(takes, row.id, row.mustHaveEnded);
        if (*row.refusal) {
            EXPECT_NE(plan.refusal.find(row.refusal), std::string::npos) << plan.refusal;
            EXPECT_TRUE(plan.pieces.empty());
            continue;
        }
        ASSERT_EQ(plan.refusal, "");
        EXPECT_EQ(plan.pieces, row.pieces);
        const std::string said = RemovalText(plan, "d/");
        for (const auto& piece : row.pieces)
            EXPECT_NE(said.find("d/" + piece), std::string::npos) << said;
        for (const auto& piece : row.stripePieces)
            EXPECT_NE(said.find(piece), std::string::npos) << said;
        EXPECT_EQ(plan.stripes.size(), row.stripes.size());
        uint64_t bytes = plan.data->Bytes();
        for (const StripeFound& stripe : row.stripes)
            for (const TakePiece& piece : stripe.pieces)
                bytes += piece.bytes;
        EXPECT_EQ(plan.bytes, bytes) << "every stripe's bytes are counted";
        EXPECT_NE(said.find("d/" + plan.data->takeFile), std::string::npos) << said;
        const TakeFile marked = RemovedTake(*plan.data->take.take, "2026-12-11T11:00:00Z");
        EXPECT_EQ(MatchTake({marked, {}}, plan.data->take.take->id), TakeMatch::Removed);
        EXPECT_EQ(marked.removed, plan.data->take.take->removed.empty()
                                      ? "2026-12-11T11:00:00Z"
                                      : plan.data->take.take->removed)
            << "a removal finished keeps its first time";
        EXPECT_EQ(marked.stripe, plan.data->take.take->stripe);
        EXPECT_EQ(marked.stripeFiles, plan.data->take.take->stripeFiles)
            << "a removed stripe still names its take's other data files";
    }
}

TEST(TakeList, AStripedTakeIsOneRowNamingEveryDataFile) {
    auto takes = GroupDataFiles(
        {File("a.000", 10), File("a.001", 5), File("a.take"), File("b.000", 7), File("b.take")});
    ASSERT_EQ(takes.size(), 2u);
    takes[0].take = StripedTake(0xA, 0, 4);
    takes[1].take = StripedTake(0xA, 1, 4);
    takes[0].take.take->stripeFiles[1] = "e:\\caps\\b";
    takes[1].take.take->stripeFiles = takes[0].take.take->stripeFiles;
    const std::vector<StripeFound> wanted = StripesOf(takes[0]);
    ASSERT_EQ(wanted.size(), 3u);
    EXPECT_EQ(wanted[0].stripe, 1u);
    EXPECT_EQ(wanted[0].base, "b") << "the name without its folder";
    EXPECT_EQ(wanted[2].dataFile, "g:\\caps\\take");
    EXPECT_TRUE(StripesOf(takes[1]).size() == 3 && StripesOf(takes[1])[0].stripe == 0);
    takes[0].stripes = wanted;
    NoteStripeFiles(takes[0].stripes[0], {File("b.000", 7), File("B.take"), File("a.000")});
    takes[0].stripes[0].folder = "d/";
    takes[0].stripes[0].take = takes[1].take;
    takes[0].stripes[1].refusal = "a network path";
    takes[0].stripes[2].folder = "g/";
    const std::string text = TakesText(takes, "d/", false);
    EXPECT_EQ(text.find("data file: d/b"), std::string::npos) << "one row for the take\n" << text;
    for (const char* line : {"  stripe: 0 of 4 (frames go to each data file in turn): this one\n",
                             "  stripe: 1, e:\\caps\\b: 1 piece(s), 7 bytes, in d/\n",
                             "  stripe: 2, f:\\caps\\take: not looked at: a network path\n",
                             "  stripe: 3, g:\\caps\\take: missing: no take file take.take in g/\n",
                             "  all:    3 piece(s), 22 bytes on disk in 2 of its 4 data files\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
}

} // namespace
