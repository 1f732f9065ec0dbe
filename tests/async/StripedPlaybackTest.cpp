// A take striped over data files in several folders, laid out as a capture leaves it: a header
// page, then page-aligned frames, the take's frames going to the data files in turn, a take file
// beside each naming its place and all of them. Every frame plays as stored, each piece opens
// once for the whole run, and the fast readers read ahead across the folders in turn, each frame
// read once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "AsyncIo.h"
#include "PlaybackSupport.h"
#include "pure/TakeFile.h"

using namespace kp;

namespace {

using kt::AsyncIo;
using kt::AsyncOptions;
using Driver = AsyncOptions::Driver;

constexpr LONG kRawWidth = 64, kRawHeight = 48; // YUY2: 6,144 bytes, two pages rounded
constexpr LONG kChainWidth = 64, kChainHeight = 64;
constexpr uint32_t kTakeId = 0x5712ead1;
constexpr int kFrames = 21;

struct StripeRow {
    const char* name;
    int stripes;
    bool fast;
    bool chained;
    int readahead = 1;
    bool huffyuv = false; // chained reads take two pages more
};

class StripedPlayback : public ::testing::TestWithParam<StripeRow> {
protected:
    void SetUp() override {
        ASSERT_FALSE(kt::CodecLoaded()) << "another test left a codec handle open";
        dir = kt::DataDir("striped-" + TestName());
    }
    void TearDown() override {
        player.reset();
        io.reset();
        kt::RemoveIni();
        for (const std::string& base : bases) {
            DeleteFileA((base + ".000").c_str());
            DeleteFileA(kestro::TakeFileName(base).c_str());
            RemoveDirectoryA(std::string(base, 0, base.rfind('\\')).c_str());
        }
        RemoveDirectoryA(dir.c_str());
    }

    // Frame k goes to data file k % stripes. Compressed frames take a size of their data file's
    // own (three pages, one, two...), so that the data files' positions part.
    void MakeTake(const StripeRow& row) {
        static const size_t kUsed[] = {9000, 200, 5000, 7000};
        std::vector<std::vector<Bytes>> stored(size_t(row.stripes));
        for (int k = 0; k < kFrames; ++k) {
            const int stripe = k % row.stripes;
            if (row.chained) {
                pictures.push_back(
                    KtstPicture(kChainWidth, kChainHeight, kUsed[stripe], uint32_t(k + 1)));
                stored[size_t(stripe)].push_back(KtstFrame(pictures.back()));
            } else {
                pictures.push_back(Noise(size_t(kRawWidth) * kRawHeight * 2, uint32_t(k + 1)));
                stored[size_t(stripe)].push_back(pictures.back());
            }
        }
        for (int s = 0; s < row.stripes; ++s) {
            const std::string folder = dir + "\\disk" + std::to_string(s);
            CreateDirectoryA(folder.c_str(), nullptr);
            bases.push_back(folder + "\\take");
        }
        std::vector<std::vector<Placed>> placed;
        for (int s = 0; s < row.stripes; ++s) {
            auto& frames = stored[size_t(s)];
            frames.insert(frames.begin(), Noise(PageSize(), uint32_t(900 + s))); // header page
            placed.push_back(WriteDataFile(bases[size_t(s)] + ".000", frames));
            kestro::TakeFile take;
            take.id = kTakeId;
            take.started = "2026-12-11T09:00:00Z";
            take.stripe = uint32_t(s);
            take.stripeFiles = bases;
            kt::WriteFileBytes(kestro::TakeFileName(bases[size_t(s)]),
                               kestro::FormatTakeFile(take));
        }
        for (int k = 0; k < kFrames; ++k)
            frames.push_back(placed[size_t(k % row.stripes)][size_t(k / row.stripes + 1)]);
        if (row.chained) {
            stream = ChainedStream(kChainWidth, kChainHeight, 24, kTestCodecFourcc,
                                   KtstFormat(kChainWidth, kChainHeight));
            output = kt::MakeFormat(kChainWidth, kChainHeight, BI_RGB, 24);
        } else {
            stream = RawStream(kRawWidth, kRawHeight, kt::kYuy2, 16);
            output = kt::MakeFormat(kRawWidth, kRawHeight, kt::kYuy2, 16);
        }
    }
    LRESULT Play(int k, Bytes& picture) {
        Bytes record = MakeRecord(frames[size_t(k)]);
        std::memcpy(record.data() + 12, &kTakeId, 4);
        return player->Play(record, picture);
    }
    // The frame a read at `offset` of `path` falls in, and whether it starts there.
    std::optional<int> FrameOf(const kt::Transfer& t, bool* atStart = nullptr) const {
        for (int k = 0; k < kFrames; ++k) {
            const Placed& p = frames[size_t(k)];
            if (_stricmp(p.path.c_str(), t.path.c_str()) == 0 && t.offset >= p.offset &&
                t.offset < p.offset + RoundUp(p.size)) {
                if (atStart)
                    *atStart = t.offset == p.offset;
                return k;
            }
        }
        return std::nullopt;
    }

    std::string dir;
    std::vector<std::string> bases;
    std::vector<Placed> frames; // in turn order
    std::vector<Bytes> pictures;
    kt::Format stream, output;
    std::optional<Player> player;
    std::optional<AsyncIo> io;
};

TEST_P(StripedPlayback, PlaysInTurnReadingAheadAcrossTheFolders) {
    const StripeRow& row = GetParam();
    MakeTake(row);
    PlaybackIni(row.fast, row.huffyuv, row.readahead);
    player.emplace(stream, output);
    ASSERT_TRUE(player->ok());
    AsyncOptions options;
    options.driver = Driver::Manual;
    io.emplace(options);
    ASSERT_TRUE(io->active());
    // Reads end in the order they were issued, and only when the codec waits.
    std::vector<kt::Transfer> reads;
    io->SetPolicy([&](const kt::Transfer& t) {
        reads.push_back(t);
        return kt::Fate{};
    });
    io->OnBlock([](AsyncIo& layer) {
        auto pending = layer.Pending();
        return !pending.empty() && layer.Complete(pending.front().id);
    });
    ASSERT_EQ(player->Begin(), ICERR_OK);
    Bytes picture;
    for (int k = 0; k < kFrames; ++k) {
        ASSERT_EQ(Play(k, picture), ICERR_OK) << "frame " << k << ": " << io->Report();
        ASSERT_EQ(picture, pictures[size_t(k)]) << "frame " << k;
        if (!row.fast)
            continue;
        // Until every data file has had a frame, the next one's piece is not open yet.
        auto pending = io->Pending();
        const int expected = k < row.stripes - 1 ? 0
                             : row.chained       ? std::min(1, kFrames - 1 - k)
                                                 : std::min(row.readahead, kFrames - 1 - k);
        ASSERT_EQ(int(pending.size()), expected) << "after frame " << k;
        for (size_t i = 0; i < pending.size(); ++i) {
            bool atStart = false;
            EXPECT_EQ(FrameOf(pending[i], &atStart), k + 1 + int(i)) << "after frame " << k;
            EXPECT_TRUE(atStart) << "after frame " << k;
        }
    }
    const size_t readsInTurn = reads.size();
    // The frames again, backwards: nothing predicted, every piece still open.
    for (int k = kFrames; k-- > 0;) {
        ASSERT_EQ(Play(k, picture), ICERR_OK) << "frame " << k << ": " << io->Report();
        ASSERT_EQ(picture, pictures[size_t(k)]) << "frame " << k;
    }
    EXPECT_EQ(player->End(), ICERR_OK);
    kt::IoCounters c = io->Counters();
    EXPECT_EQ(c.pieceOpens, uint32_t(row.stripes)) << "a piece reopened: " << io->Report();
    EXPECT_EQ(c.Faults(), 0u) << io->Report();
    EXPECT_TRUE(io->Pending().empty());
    if (!row.fast) {
        EXPECT_EQ(c.reads, 0u);
        return;
    }
    // In turn each frame is read once from its start, no read wasted on a wrong guess; only a
    // compressed frame longer than the one before it takes a second read, for its rest.
    int starts = 0;
    for (size_t i = 0; i < reads.size(); ++i) {
        bool atStart = false;
        ASSERT_TRUE(FrameOf(reads[i], &atStart)) << "a read off the frames at " << reads[i].offset;
        starts += atStart && i < readsInTurn;
    }
    EXPECT_EQ(starts, kFrames) << io->Report();
    if (!row.chained) {
        EXPECT_EQ(readsInTurn, size_t(kFrames)) << io->Report();
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, StripedPlayback,
                         ::testing::Values(StripeRow{"RawTwoPlain", 2, false, false},
                                           StripeRow{"ChainedThreePlain", 3, false, true},
                                           StripeRow{"RawTwo", 2, true, false},
                                           StripeRow{"RawThreeDepth4", 3, true, false, 4},
                                           StripeRow{"RawFourDepth16", 4, true, false, 16},
                                           StripeRow{"ChainedTwo", 2, true, true},
                                           StripeRow{"ChainedThreeDepth4", 3, true, true, 4},
                                           StripeRow{"ChainedFourHuffyuv", 4, true, true, 1, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A piece named in the folder of an open one takes its place, and a fifth folder takes the place
// of the piece played longest ago: the pieces no longer played are let go (they can be deleted),
// the others stay open (they cannot, and are not opened again).
TEST(OpenPieces, OnePerFolderUpToFour) {
    ASSERT_FALSE(kt::CodecLoaded()) << "another test left a codec handle open";
    const std::string dir = kt::DataDir("striped-" + TestName());
    const Bytes frame = Noise(size_t(kRawWidth) * kRawHeight * 2, 77);
    std::vector<std::string> folders, made;
    for (int f = 0; f < 5; ++f) {
        folders.push_back(dir + "\\disk" + std::to_string(f));
        CreateDirectoryA(folders.back().c_str(), nullptr);
        for (const char* piece : {"\\take.000", "\\take.001"}) {
            made.push_back(folders.back() + piece);
            WriteDataFile(made.back(), {frame});
        }
    }
    PlaybackIni(true);
    {
        Player player(RawStream(kRawWidth, kRawHeight, kt::kYuy2, 16),
                      kt::MakeFormat(kRawWidth, kRawHeight, kt::kYuy2, 16));
        ASSERT_TRUE(player.ok());
        AsyncIo io;
        ASSERT_TRUE(io.active());
        ASSERT_EQ(player.Begin(), ICERR_OK);
        auto play = [&](int folder, const char* piece) {
            Bytes picture;
            const std::string path = folders[size_t(folder)] + piece;
            EXPECT_EQ(player.Play(MakeRecord(0, uint32_t(frame.size()), path), picture), ICERR_OK)
                << path;
            EXPECT_EQ(picture, frame) << path;
        };
        auto held = [&](int folder, const char* piece) {
            const std::string path = folders[size_t(folder)] + piece;
            const bool deleted = DeleteFileA(path.c_str()) != FALSE;
            if (deleted)
                WriteDataFile(path, {frame});
            return !deleted;
        };
        for (int folder : {0, 1, 0, 1})
            play(folder, "\\take.000");
        EXPECT_EQ(io.Counters().pieceOpens, 2u) << "a piece reopened when another folder played";
        EXPECT_TRUE(held(0, "\\take.000"));
        play(0, "\\take.001");
        EXPECT_FALSE(held(0, "\\take.000")) << "replaced in its folder, yet kept open";
        EXPECT_TRUE(held(1, "\\take.000"));
        for (int folder : {2, 3, 4})
            play(folder, "\\take.000");
        EXPECT_FALSE(held(1, "\\take.000")) << "the piece played longest ago";
        EXPECT_TRUE(held(0, "\\take.001"));
        EXPECT_TRUE(held(2, "\\take.000"));
        EXPECT_EQ(io.Counters().pieceOpens, 6u);
        EXPECT_EQ(player.End(), ICERR_OK);
        EXPECT_FALSE(held(4, "\\take.000")) << "the end lets every piece go";
        EXPECT_EQ(io.Counters().Faults(), 0u) << io.Report();
    }
    kt::RemoveIni();
    for (const std::string& path : made)
        DeleteFileA(path.c_str());
    for (const std::string& folder : folders)
        RemoveDirectoryA(folder.c_str());
    RemoveDirectoryA(dir.c_str());
}

} // namespace
