// Split data files at the real 1 GiB piece size, and runs on drives that fail under them.
#include <cstring>

#include "CaptureFixture.h"

using namespace kt;

namespace {

constexpr uint32_t kBig = 16u << 20; // 4096 x 2048 YUY2
constexpr uint64_t kGiB = uint64_t(1) << 30;

// One big picture whose first and last pages carry the frame number.
class BigFrame {
public:
    BigFrame() : data_(FramePattern(kBig, 0)) {}
    const uint8_t* For(int frame) {
        for (uint32_t at : {0u, kBig - kPage})
            for (uint32_t i = 0; i < kPage; i += 4)
                std::memcpy(data_.data() + at + i, &frame, 4);
        return data_.data();
    }
    std::vector<uint8_t> Page(int frame, bool last) {
        For(frame);
        uint32_t at = last ? kBig - kPage : 0;
        return {data_.begin() + at, data_.begin() + at + kPage};
    }

private:
    std::vector<uint8_t> data_;
};

struct SplitCase {
    const char* name;
    const char* fastwrite;
    const char* buffer;
};

class Split : public CaptureTest, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(Split, SwitchesAtTheExactBoundary) {
    std::string filler(20u << 20, '\xEE');
    WriteFileBytes(base + ".001", filler);
    Open({{"fastwrite", GetParam().fastwrite},
          {"buffer", GetParam().buffer},
          {"divide", "1"},
          {"dividesize", "1"},
          {"request", "4"}});
    Format in = MakeFormat(4096, 2048, kYuy2, 16);
    ASSERT_EQ(Begin(in), ICERR_OK);
    BigFrame frame;
    for (int f = 0; f < 65; ++f) {
        FrameResult r = Compress(in, frame.For(f));
        ASSERT_EQ(r.result, ICERR_OK) << "frame " << f;
        if (f < 64) {
            EXPECT_EQ(r.record.offset, uint64_t(f) * kBig) << "frame " << f;
            EXPECT_EQ(r.record.name, Piece(0));
        } else {
            EXPECT_EQ(r.record.offset, 0u);
            EXPECT_EQ(r.record.name, Piece(1));
        }
    }
    EXPECT_EQ(End(), ICERR_OK);
    EXPECT_EQ(FileSizeOf(Piece(0)), kGiB) << "the frame that ends at 1 GiB stays in piece 0";
    EXPECT_EQ(ReadAt(Piece(0), 0, kPage), frame.Page(0, false));
    EXPECT_EQ(ReadAt(Piece(0), kGiB - kPage, kPage), frame.Page(63, true));
    EXPECT_EQ(ReadAt(Piece(1), 0, kPage), frame.Page(64, false)) << "no header in later pieces";
    EXPECT_EQ(ReadAt(Piece(1), kBig - kPage, kPage), frame.Page(64, true));
    EXPECT_EQ(FileSizeOf(Piece(1)), filler.size()) << "a longer piece keeps its length";
    EXPECT_EQ(ReadAt(Piece(1), kBig, 1)[0], 0xEE);
    EXPECT_FALSE(Exists(Piece(2)));
}

INSTANTIATE_TEST_SUITE_P(Modes, Split,
                         ::testing::Values(SplitCase{"Sync", "0", "0"},
                                           SplitCase{"FastCopied", "1", "1"}),
                         [](const auto& info) { return std::string(info.param.name); });

// Pieces 1 to 498 cannot be opened (directories of those names): each frame that needs a switch
// fails and the next one tries the following index; piece 499 takes frames until it is full, and
// past it every frame fails.
TEST_F(CaptureTest, PiecesThatCannotOpenAndTheLastPiece) {
    for (int i = 1; i <= 498; ++i)
        CreateDirectoryA(Piece(i).c_str(), nullptr);
    Open({{"fastwrite", "1"}, {"buffer", "0"}, {"divide", "1"}, {"dividesize", "0"}});
    Format in = MakeFormat(4096, 2048, kYuy2, 16);
    ASSERT_EQ(Begin(in), ICERR_OK);
    BigFrame frame;
    for (int f = 0; f < 64; ++f)
        ASSERT_EQ(Compress(in, frame.For(f)).result, ICERR_OK) << "a piece below 1 GiB counts as 1";
    for (int i = 1; i <= 498; ++i)
        ASSERT_EQ(Compress(in, frame.For(1000 + i)).result, ICERR_BADFORMAT) << "piece " << i;
    FrameResult r = Compress(in, frame.For(499));
    ASSERT_EQ(r.result, ICERR_OK);
    EXPECT_EQ(r.record.name, Piece(499));
    EXPECT_EQ(r.record.offset, 0u);
    for (int f = 1; f < 64; ++f)
        ASSERT_EQ(Compress(in, frame.For(499 + f)).result, ICERR_OK);
    for (int f = 0; f < 3; ++f)
        EXPECT_EQ(Compress(in, frame.For(7)).result, ICERR_BADFORMAT) << "no piece after 499";
    EXPECT_EQ(End(), ICERR_OK);
    EXPECT_EQ(ReadAt(Piece(499), 0, kPage), frame.Page(499, false));
    EXPECT_EQ(ReadAt(Piece(499), kGiB - kPage, kPage), frame.Page(499 + 63, true));
    EXPECT_EQ(ReadAt(Piece(0), kGiB - kPage, kPage), frame.Page(63, true));
}

struct FullCase {
    const char* name;
    const char* fastwrite;
    const char* buffer;
    bool chained;
    const char* cpu = "0"; // a cached piece takes the copied writer's frames from the host's image
};

class DiskFull : public CaptureTest, public ::testing::WithParamInterface<FullCase> {};

// A 4 MiB drive fills in the middle of a run: frames fail, nothing stored is damaged, and once
// space is freed the run goes on at the right places.
TEST_P(DiskFull, FramesFailCleanlyAndTheRunGoesOn) {
    if (GetFileAttributesA("S:\\") == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << "no small drive S: (needs the capture_drives fixture)";
    const FullCase& c = GetParam();
    std::string filler = "S:\\filler";
    WriteFileBytes(filler, std::string(1u << 20, 'f'));
    extraCleanup.push_back(filler);
    Open({{"filename", "S:\\full"},
          {"fastwrite", c.fastwrite},
          {"buffer", c.buffer},
          {"request", "3"},
          {"cpu", c.cpu},
          {"fourcc", c.chained ? FourccSetting(kKtst) : "0"}});
    Format in = MakeFormat(512, 256, kYuy2, 16); // 256 KiB
    ASSERT_EQ(Begin(in), ICERR_OK);
    std::vector<std::pair<Record, std::vector<uint8_t>>> stored;
    int failures = 0;
    int f = 0;
    for (; f < 40 && failures < 3; ++f) {
        auto image = FramePattern(256u << 10, f);
        FrameResult r = Compress(in, image.data());
        if (r.result != ICERR_OK) {
            EXPECT_EQ(r.result, ICERR_BADFORMAT);
            ++failures;
            continue;
        }
        stored.emplace_back(r.record, c.chained ? TestCodecForm(image) : image);
    }
    EXPECT_EQ(failures, 3) << "the drive never filled";
    EXPECT_GE(stored.size(), 5u);
    DeleteFileA(filler.c_str());
    for (int more = 0; more < 2; ++more, ++f) {
        auto image = FramePattern(256u << 10, f);
        FrameResult r = Compress(in, image.data());
        ASSERT_EQ(r.result, ICERR_OK) << "space was freed";
        stored.emplace_back(r.record, c.chained ? TestCodecForm(image) : image);
    }
    EXPECT_EQ(End(), ICERR_OK);
    uint64_t previousEnd = 0;
    for (const auto& [record, expected] : stored) {
        EXPECT_GE(record.offset, previousEnd);
        previousEnd = record.offset + expected.size();
        EXPECT_EQ(ReadAt(base + ".000", record.offset, expected.size()), expected)
            << "offset " << record.offset;
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, DiskFull,
                         ::testing::Values(FullCase{"Sync", "0", "0", false},
                                           FullCase{"SyncChained", "0", "0", true},
                                           FullCase{"FastDirect", "1", "0", false},
                                           FullCase{"FastCopied", "1", "1", false},
                                           FullCase{"FastCopiedCached", "1", "1", false, "1"},
                                           FullCase{"FastChained", "1", "0", true}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
