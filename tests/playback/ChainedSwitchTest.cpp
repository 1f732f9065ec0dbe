// One decompressor instance asked about streams chained to different codecs: each stream's own
// codec answers, and a running playback keeps decoding with the codec it began with.
#include <gtest/gtest.h>

#include <cstring>

#include "PlaybackSupport.h"

using namespace kp;

namespace {

constexpr LONG kSide = 64;

kt::Format KtstStream() {
    kt::Format chained = kt::MakeFormat(kSide, kSide, kTestCodecFourcc, 24);
    chained.header()->biSizeImage += 4;
    return ChainedStream(kSide, kSide, 24, kTestCodecFourcc, chained);
}

// The platform's RLE codec, chained for an 8-bit picture of the same size.
kt::Format MrleStream() {
    kt::Format eight = kt::MakePalettized(kSide, kSide);
    kt::Hic mrle(ICOpen(ICTYPE_VIDEO, kt::kMrle, ICMODE_COMPRESS));
    EXPECT_TRUE(mrle);
    kt::Format chained;
    chained.bytes.assign(size_t(ICCompressGetFormatSize(mrle.get(), eight.header())), 0);
    EXPECT_EQ(ICCompressGetFormat(mrle.get(), eight.header(), chained.header()), ICERR_OK);
    return ChainedStream(kSide, kSide, 16, kt::kMrle, chained);
}

// Noise in the first 5000 bytes, zeros after: a frame that fits the run's buffer once stored.
Bytes Picture(uint32_t seed) {
    Bytes picture(size_t(kSide) * kSide * 3, 0);
    Bytes noise = Noise(5000, seed);
    std::memcpy(picture.data(), noise.data(), noise.size());
    return picture;
}

class ChainedSwitch : public ::testing::Test {
protected:
    void SetUp() override { PlaybackIni(false); }
    void TearDown() override { kt::RemoveIni(); }
};

TEST_F(ChainedSwitch, EachStreamIsAskedOfItsOwnCodec) {
    kt::Format ktst = KtstStream(), mrle = MrleStream();
    kt::Format out = kt::MakeFormat(kSide, kSide, BI_RGB, 24);
    kt::Hic fresh = kt::OpenKest(ICMODE_DECOMPRESS);
    ASSERT_TRUE(fresh);
    const LRESULT query = ICDecompressQuery(fresh.get(), ktst.header(), out.header());
    const LRESULT size = ICDecompressGetFormatSize(fresh.get(), ktst.header());
    ASSERT_EQ(query, ICERR_OK);
    ASSERT_GE(size, 40);

    kt::Hic hic = kt::OpenKest(ICMODE_DECOMPRESS);
    ASSERT_TRUE(hic);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(ICDecompressQuery(hic.get(), mrle.header(), nullptr), ICERR_OK);
        EXPECT_EQ(ICDecompressQuery(hic.get(), ktst.header(), out.header()), query);
        EXPECT_EQ(ICDecompressGetFormatSize(hic.get(), ktst.header()), size);
    }
}

TEST_F(ChainedSwitch, ARunKeepsItsCodecAndANewBeginTakesTheStreamsCodec) {
    std::vector<Bytes> pictures = {Picture(5), Picture(6)};
    auto placed = WriteDataFile(kt::DataDir("chained-switch") + "\\ktst.000",
                                {KtstFrame(pictures[0]), KtstFrame(pictures[1])});
    kt::Format mrle = MrleStream();
    Player player(KtstStream(), kt::MakeFormat(kSide, kSide, BI_RGB, 24));
    ASSERT_TRUE(player.ok());
    kt::Format eight = kt::MakePalettized(kSide, kSide);
    // A run on the other codec's stream, then one on KTST's without an end between them.
    ASSERT_EQ(ICDecompressBegin(player.hic(), mrle.header(), eight.header()), ICERR_OK);
    ASSERT_EQ(player.Begin(), ICERR_OK);
    Bytes picture;
    ASSERT_EQ(player.Play(MakeRecord(placed[0]), picture), ICERR_OK);
    EXPECT_EQ(picture, pictures[0]);
    // A question about the other codec's stream in the middle of the run leaves it its codec.
    EXPECT_EQ(ICDecompressQuery(player.hic(), mrle.header(), nullptr), ICERR_OK);
    ASSERT_EQ(player.Play(MakeRecord(placed[1]), picture), ICERR_OK);
    EXPECT_EQ(picture, pictures[1]);
    // And once more both ways.
    ASSERT_EQ(ICDecompressBegin(player.hic(), mrle.header(), eight.header()), ICERR_OK);
    ASSERT_EQ(player.Begin(), ICERR_OK);
    ASSERT_EQ(player.Play(MakeRecord(placed[0]), picture), ICERR_OK);
    EXPECT_EQ(picture, pictures[0]);
    EXPECT_EQ(player.End(), ICERR_OK);
}

} // namespace
