// Chained streams played back through the codec manager by ReadFastChained and
// ReadPlainChained, decoded by the test codec "KTST" and by the platform's "MRLE".
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "PlaybackSupport.h"
#include "driver/CodecInstance.h"
#include "driver/DriverProc.h"

using namespace kp;

namespace {

constexpr LONG kWidth = 64, kHeight = 64; // RGB24: 12,288 bytes, exactly three pages

// (fastread, huffyuv)
class ChainedReaders : public ::testing::TestWithParam<std::tuple<bool, bool>> {
protected:
    void SetUp() override { PlaybackIni(std::get<0>(GetParam()), std::get<1>(GetParam())); }
    void TearDown() override { kt::RemoveIni(); }
    std::string Dir(const char* what) {
        return kt::DataDir(std::string("chained-") + what + (std::get<0>(GetParam()) ? "F" : "P") +
                           (std::get<1>(GetParam()) ? "H" : ""));
    }
};

TEST_P(ChainedReaders, FramesOfChangingSizeSeeksAndRepeats) {
    // Sizes chosen so that a frame is larger than the read-ahead planned from its predecessor
    // (the rest arrives by a second read), also by more than two pages.
    std::vector<size_t> used = {100, 5000, 12000, 300, 4096, 8200, 9000, 10};
    std::vector<Bytes> pictures, stored;
    for (size_t i = 0; i < used.size(); ++i) {
        pictures.push_back(KtstPicture(kWidth, kHeight, used[i], uint32_t(40 + i)));
        stored.push_back(KtstFrame(pictures.back()));
    }
    auto placed = WriteDataFile(Dir("sizes") + "\\ktst.000", stored);

    Player player(ChainedStream(kWidth, kHeight, 24, kTestCodecFourcc, KtstFormat(kWidth, kHeight)),
                  kt::MakeFormat(kWidth, kHeight, BI_RGB, 24));
    ASSERT_TRUE(player.ok());
    ASSERT_EQ(player.Begin(), ICERR_OK);
    Bytes picture;
    for (int i : {0, 1, 2, 3, 4, 5, 6, 7, 6, 5, 5, 0, 0, 2, 1, 7, 3, 4}) {
        ASSERT_EQ(player.Play(MakeRecord(placed[i]), picture), ICERR_OK) << "frame " << i;
        ASSERT_EQ(picture, pictures[i]) << "frame " << i;
    }
    EXPECT_EQ(player.End(), ICERR_OK);
}

TEST_P(ChainedReaders, AFrameLargerThanTheBufferFailsAndTheNextPlays) {
    // Incompressible: four bytes more than the picture, a page more than the buffer holds.
    std::vector<Bytes> pictures = {KtstPicture(kWidth, kHeight, 200, 1),
                                   KtstPicture(kWidth, kHeight, size_t(kWidth) * kHeight * 3, 2),
                                   KtstPicture(kWidth, kHeight, 700, 3)};
    std::vector<Bytes> stored;
    for (auto& p : pictures)
        stored.push_back(KtstFrame(p));
    auto placed = WriteDataFile(Dir("oversize") + "\\ktst.000", stored);
    Player player(ChainedStream(kWidth, kHeight, 24, kTestCodecFourcc, KtstFormat(kWidth, kHeight)),
                  kt::MakeFormat(kWidth, kHeight, BI_RGB, 24));
    ASSERT_EQ(player.Begin(), ICERR_OK);
    Bytes picture;
    ASSERT_EQ(player.Play(MakeRecord(placed[0]), picture), ICERR_OK);
    EXPECT_EQ(player.Play(MakeRecord(placed[1]), picture), ICERR_BADFORMAT);
    ASSERT_EQ(player.Play(MakeRecord(placed[2]), picture), ICERR_OK);
    EXPECT_EQ(picture, pictures[2]);
    ASSERT_EQ(player.Play(MakeRecord(placed[0]), picture), ICERR_OK);
    EXPECT_EQ(picture, pictures[0]);
}

TEST_P(ChainedReaders, ChainedCodecFailureFailsTheFrame) {
    std::vector<Bytes> pictures = {KtstPicture(kWidth, kHeight, 200, 1),
                                   KtstPicture(kWidth, kHeight, 300, 2)};
    auto placed =
        WriteDataFile(Dir("fail") + "\\ktst.000", {KtstFrame(pictures[0]), KtstFrame(pictures[1])});
    Player player(ChainedStream(kWidth, kHeight, 24, kTestCodecFourcc, KtstFormat(kWidth, kHeight)),
                  kt::MakeFormat(kWidth, kHeight, BI_RGB, 24));
    ASSERT_EQ(player.Begin(), ICERR_OK);
    TestCodecControl control;
    control.decompressResult = ICERR_ERROR;
    kt::SetTestCodec(control);
    Bytes picture;
    EXPECT_EQ(player.Play(MakeRecord(placed[0]), picture), ICERR_BADFORMAT);
    kt::SetTestCodec(TestCodecControl{});
    ASSERT_EQ(player.Play(MakeRecord(placed[1]), picture), ICERR_OK);
    EXPECT_EQ(picture, pictures[1]);
}

// The sheet may change every setting while a run goes on: the run keeps its reader, its depth and
// length of reads ahead and the data file whose folder its pieces may lie in; the next begin
// takes the new ones. The codec is driven in this process, where the settings can be changed.
TEST_P(ChainedReaders, SettingsChangedDuringARunApplyFromTheNextBegin) {
    const auto [fast, extra] = GetParam();
    const std::string share = "\\\\kestro-nas\\caps\\take";
    std::vector<Bytes> pictures, stored;
    for (uint32_t i = 0; i < 8; ++i) { // two pages each: a read with two more fills the slot
        pictures.push_back(KtstPicture(kWidth, kHeight, 5000, 60 + i));
        stored.push_back(KtstFrame(pictures.back()));
    }
    const std::string dir = Dir("settings");
    auto placed = WriteDataFile(dir + "\\ktst.000", stored);
    kt::Format stream =
        ChainedStream(kWidth, kHeight, 24, kTestCodecFourcc, KtstFormat(kWidth, kHeight));
    kt::Format out = kt::MakeFormat(kWidth, kHeight, BI_RGB, 24);
    CCodecSettings& s = TheSettings();
    const CCodecSettings kept = s;
    auto choose = [&](const std::string& dataFile, bool overlapped, bool extraPages, int depth) {
        s.SetFilename(dataFile);
        s.RebuildPieceNames();
        s.overlappedReads = overlapped;
        s.chainedExtraPages = extraPages;
        s.readAheadDepth = depth;
    };
    choose(dir + "\\ktst", fast, extra, 1);
    const LRESULT id = DriverProc(0, nullptr, DRV_OPEN, 0, 0);
    ASSERT_NE(id, 0);
    auto* codec = reinterpret_cast<CCodecInstance*>(id);
    auto send = [&](UINT msg, const void* a = nullptr, const void* b = nullptr) {
        return DriverProc(DWORD_PTR(id), nullptr, msg, LPARAM(a), LPARAM(b));
    };
    Bytes picture(out.header()->biSizeImage);
    auto play = [&](const Bytes& record) {
        stream.header()->biSizeImage = DWORD(record.size());
        ICDECOMPRESS icd{};
        icd.lpbiInput = stream.header();
        icd.lpInput = const_cast<uint8_t*>(record.data());
        icd.lpbiOutput = out.header();
        icd.lpOutput = picture.data();
        return send(ICM_DECOMPRESS, &icd, reinterpret_cast<const void*>(sizeof icd));
    };
    // The slot that held the frame just played in sequence, and whether a slot has a buffer.
    auto slot = [&](int index) { return codec->PlaybackView().ring.slots[index]; };
    const DWORD page = DWORD(PageSize()), slotBytes = 3 * page;

    ASSERT_EQ(send(ICM_DECOMPRESS_BEGIN, stream.header(), out.header()), ICERR_OK);
    ASSERT_EQ(play(MakeRecord(placed[0])), ICERR_OK);
    EXPECT_EQ(picture, pictures[0]);
    choose(share, !fast, !extra, 16);
    for (int f : {1, 2}) {
        ASSERT_EQ(play(MakeRecord(placed[f])), ICERR_OK) << "frame " << f;
        EXPECT_EQ(picture, pictures[f]) << "frame " << f;
    }
    EXPECT_EQ(slot(1).buffered, fast) << "the run kept its reader";
    EXPECT_FALSE(slot(2).buffered) << "the run kept its depth";
    if (fast) { // frame 2 came in slot 0, by the read ahead planned after frame 1
        EXPECT_EQ(slot(0).transferred, extra ? slotBytes : 2 * page)
            << "the run kept the length of its reads ahead";
    }
    EXPECT_EQ(play(MakeRecord(0, 5004, share + ".000")), ICERR_BADFORMAT)
        << "a piece on the share is no piece of the run's data file";
    EXPECT_EQ(send(ICM_DECOMPRESS_END), ICERR_OK);

    ASSERT_EQ(send(ICM_DECOMPRESS_BEGIN, stream.header(), out.header()), ICERR_OK);
    for (int f : {3, 4, 5}) {
        ASSERT_EQ(play(MakeRecord(placed[f])), ICERR_OK) << "frame " << f;
        EXPECT_EQ(picture, pictures[f]) << "frame " << f;
    }
    EXPECT_EQ(slot(16).buffered, !fast) << "the next begin takes the new reader and depth";
    if (!fast) { // frame 5 came in slot 2, by a read ahead planned after frame 4 at depth 16
        EXPECT_EQ(slot(2).transferred, extra ? 2 * page : slotBytes);
    }
    EXPECT_EQ(play(MakeRecord(0, 5004, share + ".000")), ICERR_OK)
        << "pieces in the new data file's folder are opened (none exists: a black frame)";
    EXPECT_EQ(send(ICM_DECOMPRESS_END), ICERR_OK);
    DriverProc(DWORD_PTR(id), nullptr, DRV_CLOSE, 0, 0);
    s = kept;
}

// 8-bit pictures with long runs and some noise, as MRLE compresses them.
Bytes Palettized(LONG width, LONG height, uint32_t seed) {
    Bytes bits = Noise(size_t(width) * height, seed);
    for (LONG y = 0; y < height; ++y)
        for (LONG x = 0; x < width; ++x)
            if ((x / 8 + y + seed) % 3 != 0)
                bits[size_t(y) * width + x] = uint8_t(seed * 16 + y);
    return bits;
}

TEST_P(ChainedReaders, MrleStreamDecodesAsMrleItself) {
    constexpr LONG w = 96, h = 40;
    kt::Format in = kt::MakePalettized(w, h);
    kt::Hic mrle(ICOpen(ICTYPE_VIDEO, kt::kMrle, ICMODE_COMPRESS));
    if (!mrle)
        GTEST_SKIP() << "the platform has no MRLE codec";
    kt::Format compressed;
    compressed.bytes.assign(size_t(ICCompressGetFormatSize(mrle.get(), in.header())), 0);
    ASSERT_EQ(ICCompressGetFormat(mrle.get(), in.header(), compressed.header()), ICERR_OK);
    Bytes scratch(size_t(ICCompressGetSize(mrle.get(), in.header(), compressed.header())));
    ASSERT_EQ(ICCompressBegin(mrle.get(), in.header(), compressed.header()), ICERR_OK);
    std::vector<Bytes> frames;
    for (uint32_t i = 0; i < 6; ++i) {
        Bytes bits = Palettized(w, h, i);
        DWORD ckid = 0, flags = 0;
        ASSERT_EQ(ICCompress(mrle.get(), ICCOMPRESS_KEYFRAME, compressed.header(), scratch.data(),
                             in.header(), bits.data(), &ckid, &flags, LONG(i), 0, 10000, nullptr,
                             nullptr),
                  ICERR_OK);
        frames.emplace_back(scratch.begin(), scratch.begin() + compressed.header()->biSizeImage);
    }
    ICCompressEnd(mrle.get());
    compressed.header()->biSizeImage = 0;
    auto placed = WriteDataFile(Dir("mrle") + "\\mrle.000", frames);

    // What MRLE itself makes of each stored frame.
    kt::Format out = kt::MakePalettized(w, h);
    kt::Hic plain(ICOpen(ICTYPE_VIDEO, kt::kMrle, ICMODE_DECOMPRESS));
    ASSERT_TRUE(plain);
    std::vector<Bytes> expected;
    for (auto& frame : frames) {
        kt::Format fin = compressed;
        fin.header()->biSizeImage = DWORD(frame.size());
        Bytes picture(out.header()->biSizeImage);
        ASSERT_EQ(
            ICDecompress(plain.get(), 0, fin.header(), frame.data(), out.header(), picture.data()),
            ICERR_OK);
        expected.push_back(picture);
    }
    plain.reset();
    mrle.reset();

    Player player(ChainedStream(w, h, 8, kt::kMrle, compressed), out);
    ASSERT_EQ(player.Begin(), ICERR_OK);
    Bytes picture;
    for (int i : {0, 1, 2, 3, 4, 5, 2, 2, 0, 5}) {
        ASSERT_EQ(player.Play(MakeRecord(placed[i]), picture), ICERR_OK) << "frame " << i;
        EXPECT_EQ(picture, expected[i]) << "frame " << i;
    }
    // The run-length coding is lossless: the pictures are the originals.
    EXPECT_EQ(expected[3], Palettized(w, h, 3));
}

INSTANTIATE_TEST_SUITE_P(Settings, ChainedReaders,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) ? "Fast" : "Plain") +
                                    (std::get<1>(info.param) ? "Huffyuv" : "");
                         });

} // namespace
