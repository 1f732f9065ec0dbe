// Raw streams played back through the codec manager by ReadFastRaw (fastread=1) and
// ReadPlainRaw (fastread=0).
#include <gtest/gtest.h>

#include <cstring>

#include "ConversionOracle.h"
#include "GuardedBuffer.h"
#include "PlaybackSupport.h"

using namespace kp;

namespace {

struct RawCase {
    const char* name;
    DWORD source;
    WORD storedBits;
    DWORD output;
    WORD outputBits;
};

const RawCase kRawCases[] = {
    {"Yuy2AsYuy2", kt::kYuy2, 16, kt::kYuy2, 16}, {"UyvyAsUyvy", kt::kUyvy, 16, kt::kUyvy, 16},
    {"UyvyAsYuy2", kt::kUyvy, 16, kt::kYuy2, 16}, {"Rgb24AsRgb24", BI_RGB, 24, BI_RGB, 24},
    {"Yuy2AsRgb24", kt::kYuy2, 16, BI_RGB, 24},   {"Yuy2AsRgb32", kt::kYuy2, 16, BI_RGB, 32},
    {"UyvyAsRgb24", kt::kUyvy, 16, BI_RGB, 24},   {"UyvyAsRgb32", kt::kUyvy, 16, BI_RGB, 32},
};

// What the output must be, from the oracle, padded rows (widths that are not a multiple of 4)
// included; empty when it has none of `outBytes`.
Bytes Expected(const RawCase& c, const Bytes& stored, LONG width, LONG height, size_t outBytes) {
    using namespace kestro;
    const oracle::Request request{ClassifyPixelKind(c.source, c.storedBits),
                                  height,
                                  ClassifyPixelKind(c.output, c.outputBits),
                                  height,
                                  width,
                                  true};
    auto expected = oracle::ExpectedOutput(request, stored.data());
    return expected && expected->bytes.size() == outBytes ? expected->bytes : Bytes();
}

class RawReaders : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { PlaybackIni(GetParam()); }
    void TearDown() override { kt::RemoveIni(); }
    std::string Dir() {
        return kt::DataDir(std::string("raw") + (GetParam() ? "fast" : "plain") + "-" + TestName());
    }
};

// Plays frames in an order with sequential runs, backward seeks, repeats and the last frame,
// and checks every picture.
void PlayCase(const std::string& dir, const RawCase& c, LONG width, LONG height,
              size_t hostOffset = 0) {
    SCOPED_TRACE(c.name);
    kt::Format storedFormat = kt::MakeFormat(width, height, c.source, c.storedBits);
    size_t storedBytes = storedFormat.header()->biSizeImage;
    std::vector<Bytes> frames;
    for (uint32_t i = 0; i < 6; ++i)
        frames.push_back(Noise(storedBytes, 100 + i));
    auto placed = WriteDataFile(dir + "\\" + c.name + ".000", frames);

    Player player(RawStream(width, height, c.source, c.storedBits),
                  kt::MakeFormat(width, height, c.output, c.outputBits));
    ASSERT_TRUE(player.ok());
    ASSERT_EQ(player.Begin(), ICERR_OK);
    Bytes picture;
    for (int i : {0, 1, 2, 3, 4, 5, 3, 2, 2, 2, 0, 5, 5, 4, 1, 2}) {
        ASSERT_EQ(player.Play(MakeRecord(placed[i]), picture, hostOffset), ICERR_OK)
            << "frame " << i;
        ASSERT_EQ(picture, Expected(c, frames[i], width, height, player.imageBytes()))
            << "frame " << i;
    }
    EXPECT_EQ(player.End(), ICERR_OK);
}

TEST_P(RawReaders, EveryConversionSeekAndRepeat) {
    for (const RawCase& c : kRawCases)
        PlayCase(Dir(), c, 64, 48);
}

TEST_P(RawReaders, TopDownOutputKeepsRowOrder) {
    for (const RawCase& c : kRawCases)
        PlayCase(Dir(), c, 32, -16);
}

TEST_P(RawReaders, PaddedRowsAndUnalignedHostBuffer) {
    // 6 pixels of RGB24 are 18 bytes, padded to 20 per row; an odd host buffer address cannot
    // take an unbuffered read.
    for (const RawCase& c : kRawCases)
        PlayCase(Dir(), c, 6, 10, 3);
    PlayCase(Dir(), kRawCases[3], 64, 64, 1); // 3 whole pages, plain copy
}

TEST_P(RawReaders, HostDeclaringUnpaddedRowsGetsUnpaddedRows) {
    // The size this codec reports for a 6-pixel RGB24 picture is unpadded; a host that trusts it
    // allocates exactly that, and nothing may be written past it.
    const RawCase& c = kRawCases[4];
    Bytes frame = Noise(6 * 4 * 2, 11);
    auto placed = WriteDataFile(Dir() + "\\tight.000", {frame});
    kt::Format in = RawStream(6, 4, c.source, 16);
    kt::Format out = kt::MakeFormat(6, 4, BI_RGB, 24);
    out.header()->biSizeImage = 6 * 4 * 3;
    kt::Hic hic = kt::OpenKest(ICMODE_DECOMPRESS);
    ASSERT_TRUE(hic);
    ASSERT_EQ(ICDecompressBegin(hic.get(), in.header(), out.header()), ICERR_OK);
    kt::GuardedBuffer picture(6 * 4 * 3);
    Bytes record = MakeRecord(placed[0]);
    in.header()->biSizeImage = DWORD(record.size());
    ASSERT_EQ(int32_t(ICDecompress(hic.get(), 0, in.header(), record.data(), out.header(),
                                   picture.data())),
              ICERR_OK);
    auto expected = kestro::oracle::ExpectedOutput(
        {kestro::KIND_YUY2, 4, kestro::KIND_RGB24, 4, 6, false}, frame.data());
    ASSERT_TRUE(expected);
    ASSERT_EQ(expected->bytes.size(), size_t(6 * 4 * 3));
    EXPECT_EQ(0, std::memcmp(picture.data(), expected->bytes.data(), expected->bytes.size()));
    EXPECT_EQ(ICDecompressEnd(hic.get()), ICERR_OK);
}

TEST_P(RawReaders, DecompressWithoutBeginBeginsItself) {
    const RawCase& c = kRawCases[4];
    Bytes frame = Noise(64 * 32 * 2, 7);
    auto placed = WriteDataFile(Dir() + "\\implicit.000", {frame, frame});
    Player player(RawStream(64, 32, c.source, 16), kt::MakeFormat(64, 32, BI_RGB, 24));
    Bytes picture;
    ASSERT_EQ(player.Play(MakeRecord(placed[1]), picture), ICERR_OK);
    EXPECT_EQ(picture, Expected(c, frame, 64, 32, player.imageBytes()));
    // End, then a second run without begin; and two begins in a row.
    EXPECT_EQ(player.End(), ICERR_OK);
    EXPECT_EQ(player.End(), ICERR_OK);
    ASSERT_EQ(player.Play(MakeRecord(placed[0]), picture), ICERR_OK);
    ASSERT_EQ(player.Begin(), ICERR_OK);
    ASSERT_EQ(player.Begin(), ICERR_OK);
    ASSERT_EQ(player.Play(MakeRecord(placed[1]), picture), ICERR_OK);
    EXPECT_EQ(picture, Expected(c, frame, 64, 32, player.imageBytes()));
}

TEST_P(RawReaders, SplitPiecesNamedInAnyCase) {
    const RawCase& c = kRawCases[0];
    std::string dir = Dir();
    std::vector<Bytes> first, second;
    for (uint32_t i = 0; i < 3; ++i) {
        first.push_back(Noise(64 * 32 * 2, 200 + i));
        second.push_back(Noise(64 * 32 * 2, 300 + i));
    }
    auto a = WriteDataFile(dir + "\\Split.000", first);
    auto b = WriteDataFile(dir + "\\Split.001", second);
    // The records of one piece name it in differing case; that stays one open file.
    a[1].path = dir + "\\SPLIT.000";
    b[2].path = dir + "\\split.001";
    Player player(RawStream(64, 32, c.source, 16), kt::MakeFormat(64, 32, kt::kYuy2, 16));
    ASSERT_EQ(player.Begin(), ICERR_OK);
    Bytes picture;
    struct Step {
        const Placed& where;
        const Bytes& frame;
    };
    std::vector<Step> steps = {{a[0], first[0]},  {a[1], first[1]},  {a[2], first[2]},
                               {b[0], second[0]}, {b[1], second[1]}, {b[2], second[2]},
                               {a[2], first[2]},  {b[0], second[0]}, {a[0], first[0]}};
    for (size_t i = 0; i < steps.size(); ++i) {
        ASSERT_EQ(player.Play(MakeRecord(steps[i].where), picture), ICERR_OK) << "step " << i;
        EXPECT_EQ(picture, steps[i].frame) << "step " << i;
    }
}

TEST_P(RawReaders, ReadAheadRunsIntoReservedSpace) {
    const RawCase& c = kRawCases[4];
    std::vector<Bytes> frames = {Noise(64 * 32 * 2, 1), Noise(64 * 32 * 2, 2)};
    // Reserved space beyond the frames, and a size that is not a whole number of sectors.
    auto placed = WriteDataFile(Dir() + "\\reserved.000", frames, 3 * PageSize() + 300);
    Player player(RawStream(64, 32, c.source, 16), kt::MakeFormat(64, 32, BI_RGB, 24));
    ASSERT_EQ(player.Begin(), ICERR_OK);
    Bytes picture;
    for (int round = 0; round < 2; ++round)
        for (int i : {0, 1}) {
            ASSERT_EQ(player.Play(MakeRecord(placed[i]), picture), ICERR_OK);
            EXPECT_EQ(picture, Expected(c, frames[i], 64, 32, player.imageBytes()));
        }
}

TEST_P(RawReaders, UnknownStoredKindFailsInsteadOfLeavingThePictureUnwritten) {
    Bytes frame = Noise(64 * 32 * 2, 3);
    auto placed = WriteDataFile(Dir() + "\\unknown.000", {frame});
    // A stream whose stored kind is none of the four: the format check lets it through.
    Player player(RawStream(64, 32, mmioFOURCC('A', 'B', 'C', 'D'), 16),
                  kt::MakeFormat(64, 32, kt::kYuy2, 16));
    ASSERT_EQ(player.Begin(), ICERR_OK);
    Bytes picture;
    EXPECT_EQ(player.Play(MakeRecord(placed[0]), picture), ICERR_BADFORMAT);
}

TEST_P(RawReaders, ARunNeedsTheOutputItWasBegunWith) {
    Player player(RawStream(64, 32, BI_RGB, 24), kt::MakeFormat(64, 32, BI_RGB, 24));
    ASSERT_TRUE(player.ok());
    EXPECT_EQ(ICDecompressBegin(player.hic(), player.in().header(), nullptr), ICERR_BADFORMAT);
    ASSERT_EQ(player.Begin(), ICERR_OK);
    Bytes record = MakeRecord(0, 64 * 32 * 3, "T:\\nothing.000"), picture(64 * 64 * 3);
    kt::Format other = kt::MakeFormat(64, 64, BI_RGB, 24);
    EXPECT_EQ(LONG(ICDecompress(player.hic(), 0, player.in().header(), record.data(),
                                other.header(), picture.data())),
              ICERR_BADFORMAT);
}

INSTANTIATE_TEST_SUITE_P(FastRead, RawReaders, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Fast" : "Plain"; });

} // namespace
