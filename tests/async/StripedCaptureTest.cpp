// Takes striped over several data files: the frames go to them in turn, each keeps its own place
// (a free name beside an earlier take), pieces and a take file naming them all, one
// journal beside the first says where each frame went, and every frame plays back as it went in.
#include <cstring>

#include "CaptureFixture.h"
#include "PlaybackSupport.h"
#include "edge/TakeFiles.h"
#include "pure/FrameJournal.h"

using namespace kt;

namespace {

struct StripeRow {
    const char* name;
    const char* fastwrite;
    const char* buffer;
    int stripes;
};

class StripedCapture : public CaptureTest, public ::testing::WithParamInterface<StripeRow> {};

TEST_P(StripedCapture, FramesGoToTheDataFilesInTurnAndPlayBack) {
    const StripeRow& row = GetParam();
    const int n = row.stripes;
    std::map<std::string, std::string> settings{
        {"fastwrite", row.fastwrite}, {"buffer", row.buffer}, {"request", "3"}, {"overwrite", "0"}};
    // The data files as the run must choose them: the last stripe's holds an earlier take of
    // frames, which keeps its place, so that stripe's take goes beside it under a longer name.
    std::vector<std::string> chosen{base};
    for (int k = 1; k < n; ++k)
        chosen.push_back(AddStripe(settings, k));
    WriteFileBytes(chosen.back() + ".000", std::string(2 * kPage, '\x5A'));
    chosen.back() += "-2";
    Open(settings);

    const Format in = MakeFormat(64, 64, kYuy2, 16);
    ASSERT_EQ(Begin(in), ICERR_OK);
    const int frames = 4 * n + 1;
    std::vector<std::vector<uint8_t>> images;
    std::vector<Record> records;
    for (int f = 0; f < frames; ++f) {
        images.push_back(FramePattern(in.header()->biSizeImage, f));
        FrameResult r = Compress(in, images.back().data(), f);
        ASSERT_EQ(r.result, ICERR_OK) << "frame " << f;
        EXPECT_EQ(r.record.name, chosen[f % n] + ".000") << "frame " << f;
        records.push_back(r.record);
    }
    const uint32_t take = runTake;
    ASSERT_EQ(End(), ICERR_OK);

    // The earlier take keeps its bytes.
    EXPECT_EQ(ReadAt(chosen.back().substr(0, chosen.back().size() - 2) + ".000", 0, 3 * kPage),
              std::vector<uint8_t>(2 * kPage, 0x5A));
    for (int k = 0; k < n; ++k) {
        SCOPED_TRACE(chosen[k]);
        auto read = kestro::ReadTakeFileAt(chosen[k] + ".take");
        ASSERT_TRUE(read.take) << read.damage;
        EXPECT_EQ(read.take->id, take);
        EXPECT_EQ(read.take->stripe, uint32_t(k));
        EXPECT_EQ(read.take->stripeFiles, chosen);
        EXPECT_EQ(read.take->frames, uint64_t(frames / n + (k < frames % n ? 1 : 0)));
        if (k > 0) {
            EXPECT_FALSE(Exists(chosen[k] + ".journal")) << "one journal, beside the first";
        }
    }
    auto size = FileSizeOf(kestro::JournalFileName(base));
    ASSERT_NE(size, UINT64_MAX);
    const kestro::JournalRead journal =
        kestro::ParseJournal(ReadAt(kestro::JournalFileName(base), 0, size_t(size)));
    ASSERT_TRUE(journal.header) << journal.damage;
    EXPECT_EQ(journal.header->take, take);
    ASSERT_EQ(journal.rows.size(), size_t(frames));
    for (int f = 0; f < frames; ++f) {
        EXPECT_EQ(journal.rows[f].stripe, f % n) << "frame " << f;
        EXPECT_EQ(journal.rows[f].piece, 0) << "frame " << f;
    }

    // Played back in an order that crosses the data files both ways.
    Format stream = out;
    stream.header()->biSizeImage = 0;
    kp::Player player(stream, in);
    ASSERT_EQ(player.Begin(), ICERR_OK);
    kp::Bytes picture;
    for (int f : {frames - 1, 0, 1, n, 2, 1, frames - 2}) {
        const Record& r = records[size_t(f)];
        kp::Bytes record = kp::MakeRecord(r.offset, r.size, r.name);
        std::memcpy(record.data() + 12, &r.take, 4);
        ASSERT_EQ(player.Play(record, picture), ICERR_OK) << "frame " << f;
        EXPECT_TRUE(picture == images[size_t(f)]) << "frame " << f;
    }
    EXPECT_EQ(player.End(), ICERR_OK);
}

INSTANTIATE_TEST_SUITE_P(Writers, StripedCapture,
                         ::testing::Values(StripeRow{"SyncTwo", "0", "0", 2},
                                           StripeRow{"FastDirectThree", "1", "0", 3},
                                           StripeRow{"FastCopiedTwo", "1", "1", 2},
                                           StripeRow{"FastCopiedFour", "1", "1", 4}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
