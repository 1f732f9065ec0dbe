// Every frame writer stores what its records say, including through chained compressors.
#include <cstring>

#include "CaptureFixture.h"

using namespace kt;

namespace {

struct WriterCase {
    const char* name;
    const char* fastwrite;
    const char* divide;
    const char* buffer;
    bool chained;
};

const WriterCase kWriters[] = {
    {"Direct", "0", "0", "0", false},          {"Compressed", "0", "0", "1", true},
    {"DirectSplit", "0", "1", "1", false},     {"CompressedSplit", "0", "1", "0", true},
    {"DirectFast", "1", "0", "0", false},      {"CopiedFast", "1", "0", "1", false},
    {"CompressedFast", "1", "0", "0", true},   {"DirectFastSplit", "1", "1", "0", false},
    {"CopiedFastSplit", "1", "1", "1", false}, {"CompressedFastSplit", "1", "1", "1", true},
};

// Frames whose trailing zeros vary, so the test codec's output size varies too.
std::vector<uint8_t> VaryingFrame(size_t bytes, int frame) {
    auto data = FramePattern(bytes, frame);
    size_t keep = bytes - (size_t(frame) * 1777) % bytes;
    std::fill(data.begin() + keep, data.end(), 0);
    return data;
}

class Writers : public CaptureTest, public ::testing::WithParamInterface<WriterCase> {};

TEST_P(Writers, StoresEveryFrameWhereItsRecordSays) {
    const WriterCase& c = GetParam();
    Open({{"fastwrite", c.fastwrite},
          {"divide", c.divide},
          {"dividesize", "1"},
          {"buffer", c.buffer},
          {"request", "3"},
          {"fourcc", c.chained ? FourccSetting(kKtst) : "0"}});
    Format in = MakeFormat(64, 64, kYuy2, 16); // 8192 bytes
    ASSERT_EQ(Begin(in), ICERR_OK);
    uint64_t expectedOffset = 0;
    std::vector<std::pair<Record, std::vector<uint8_t>>> stored;
    for (int f = 0; f < 10; ++f) {
        auto image = VaryingFrame(8192, f);
        FrameResult r = Compress(in, image.data());
        ASSERT_EQ(r.result, ICERR_OK) << "frame " << f;
        auto expected = c.chained ? TestCodecForm(image) : image;
        EXPECT_EQ(r.record.offset, expectedOffset) << "frame " << f;
        EXPECT_EQ(r.record.size, expected.size());
        EXPECT_EQ(r.record.name, Piece(0));
        EXPECT_EQ(r.ckid, kKest);
        EXPECT_EQ(r.flags, DWORD(AVIIF_KEYFRAME));
        expectedOffset += (expected.size() + kPage - 1) / kPage * kPage;
        stored.emplace_back(r.record, expected);
    }
    EXPECT_EQ(End(), ICERR_OK);
    // Read back only after the end, when every overlapped write has been waited for.
    for (const auto& [record, expected] : stored)
        EXPECT_EQ(ReadAt(Piece(0), record.offset, expected.size()), expected)
            << "offset " << record.offset;
}

INSTANTIATE_TEST_SUITE_P(AllTen, Writers, ::testing::ValuesIn(kWriters),
                         [](const auto& info) { return std::string(info.param.name); });

class Chained : public CaptureTest {};

// Wine's own RLE codec on 8-bit input: the stored bytes are what the codec gives for the frame.
TEST_F(Chained, BuiltInRleOnPalettizedInput) {
    for (const char* fast : {"0", "1"}) {
        SCOPED_TRACE(std::string("fastwrite=") + fast);
        Open({{"fastwrite", fast}, {"fourcc", FourccSetting(kMrle)}});
        Format in = MakePalettized(64, 48);
        ASSERT_EQ(Begin(in), ICERR_OK);
        auto* stream = reinterpret_cast<const uint8_t*>(out.header());
        uint32_t chainSize;
        std::memcpy(&chainSize, stream + 48, 4);
        ASSERT_GE(chainSize, 40u);
        std::vector<uint8_t> chainFormat(stream + 52, stream + 52 + chainSize);

        Hic rle(ICOpen(ICTYPE_VIDEO, kMrle, ICMODE_COMPRESS));
        ASSERT_TRUE(rle);
        std::vector<uint8_t> reference(64 * 48 * 3);
        auto* refFormat = reinterpret_cast<BITMAPINFOHEADER*>(chainFormat.data());
        ASSERT_EQ(ICCompressBegin(rle.get(), in.header(), refFormat), ICERR_OK);
        std::vector<Record> records;
        std::vector<std::vector<uint8_t>> expected;
        for (int f = 0; f < 4; ++f) {
            std::vector<uint8_t> image(64 * 48);
            for (size_t i = 0; i < image.size(); ++i)
                image[i] = uint8_t((i / (5 + f)) * (f + 1)); // runs of varying length
            FrameResult r = Compress(in, image.data());
            ASSERT_EQ(r.result, ICERR_OK);
            DWORD ckid = 0, flags = 0;
            ASSERT_EQ(ICCompress(rle.get(), 0, refFormat, reference.data(), in.header(),
                                 image.data(), &ckid, &flags, 0, 0, 0, nullptr, nullptr),
                      ICERR_OK);
            EXPECT_EQ(r.record.size, refFormat->biSizeImage);
            records.push_back(r.record);
            expected.emplace_back(reference.begin(), reference.begin() + refFormat->biSizeImage);
        }
        EXPECT_EQ(End(), ICERR_OK);
        rle.reset();
        uint64_t offset = 0;
        for (size_t f = 0; f < records.size(); ++f) {
            EXPECT_EQ(records[f].offset, offset);
            EXPECT_EQ(ReadAt(Piece(0), records[f].offset, expected[f].size()), expected[f]);
            offset += (records[f].size + kPage - 1) / kPage * kPage;
        }
        hic.reset();
        DeleteFileA(Piece(0).c_str());
    }
}

// The chained codec fails every third frame: those frames fail and take no space, in every
// compressing writer.
TEST_F(Chained, CompressorFailuresFailTheirFrames) {
    for (const char* fast : {"0", "1"}) {
        SCOPED_TRACE(std::string("fastwrite=") + fast);
        Open({{"fastwrite", fast}, {"fourcc", FourccSetting(kKtst)}, {"request", "2"}});
        Format in = MakeFormat(64, 64, kYuy2, 16);
        ASSERT_EQ(Begin(in), ICERR_OK);
        TestCodecControl control;
        control.failFrameEvery = 3;
        SetTestCodec(control);
        int before = TestCodecCounts().compressFrames;
        uint64_t offset = 0;
        std::vector<std::pair<Record, std::vector<uint8_t>>> stored;
        for (int f = 0; f < 9; ++f) {
            auto image = VaryingFrame(8192, f + 1);
            FrameResult r = Compress(in, image.data());
            bool fails = (before + f + 1) % 3 == 0;
            ASSERT_EQ(r.result, fails ? ICERR_BADFORMAT : ICERR_OK) << "frame " << f;
            if (fails)
                continue;
            EXPECT_EQ(r.record.offset, offset);
            auto form = TestCodecForm(image);
            offset += (form.size() + kPage - 1) / kPage * kPage;
            stored.emplace_back(r.record, form);
        }
        End();
        for (const auto& [record, form] : stored)
            EXPECT_EQ(ReadAt(Piece(0), record.offset, form.size()), form);
        hic.reset();
        DeleteFileA(Piece(0).c_str());
    }
}

// A codec may produce more than one raw frame as long as its own largest-frame answer allows it;
// a size beyond that is refused rather than written from past the buffer.
TEST_F(Chained, OutputSizeIsBoundByTheCodecsOwnAnswer) {
    for (const char* fast : {"0", "1"}) {
        SCOPED_TRACE(std::string("fastwrite=") + fast);
        Open({{"fastwrite", fast}, {"fourcc", FourccSetting(kKtst)}});
        Format in = MakeFormat(64, 64, kYuy2, 16); // 8192 bytes
        TestCodecControl control;
        control.maxCompressedBytes = 8192 + 3 * kPage;
        Hic keepLoaded(ICOpen(ICTYPE_VIDEO, kKtst, ICMODE_QUERY));
        ASSERT_TRUE(keepLoaded);
        // The test codec is loaded now; steer it before the run asks for its largest frame.
        SetTestCodec(control);
        ASSERT_EQ(Begin(in), ICERR_OK);
        auto image = FramePattern(8192, 2);
        control.reportedSizeExtra = 2 * kPage; // claims 8196 + 8192 bytes: within the answer
        SetTestCodec(control);
        FrameResult r = Compress(in, image.data());
        ASSERT_EQ(r.result, ICERR_OK);
        EXPECT_EQ(r.record.size, 8196u + 2 * kPage);
        control.reportedSizeExtra = 4 * kPage; // beyond what any buffer holds
        SetTestCodec(control);
        EXPECT_EQ(Compress(in, image.data()).result, ICERR_BADFORMAT);
        control.reportedSizeExtra = 0;
        SetTestCodec(control);
        r = Compress(in, image.data());
        ASSERT_EQ(r.result, ICERR_OK);
        EXPECT_EQ(r.record.offset, 5u * kPage);
        End();
        EXPECT_EQ(ReadAt(Piece(0), r.record.offset, 8196), TestCodecForm(image));
        SetTestCodec(TestCodecControl{});
        hic.reset();
        DeleteFileA(Piece(0).c_str());
    }
}

TEST_F(Chained, BeginWithoutOutputFormatIsRefused) {
    Open({{"fastwrite", "0"}, {"fourcc", FourccSetting(kKtst)}});
    Format in = MakeFormat(64, 64, kYuy2, 16);
    EXPECT_EQ(ICSendMessage(hic.get(), ICM_COMPRESS_BEGIN, DWORD_PTR(in.header()), 0),
              ICERR_BADFORMAT);
    EXPECT_EQ(End(), ICERR_OK);
}

class Requests : public CaptureTest {};

// Committed memory of this process, summed over its address space.
uint64_t CommittedBytes() {
    uint64_t total = 0;
    MEMORY_BASIC_INFORMATION info;
    for (uint8_t* at = nullptr; VirtualQuery(at, &info, sizeof info) == sizeof info;
         at = static_cast<uint8_t*>(info.BaseAddress) + info.RegionSize) {
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE)
            total += info.RegionSize;
        if (uintptr_t(info.BaseAddress) + info.RegionSize < uintptr_t(info.BaseAddress))
            break;
    }
    return total;
}

// A pool that cannot be built fails its begin, keeps nothing of what it did get and never
// throws out of the driver.
TEST_F(Requests, PoolThatCannotBeBuiltLeavesNothingBehind) {
    if (sizeof(void*) != 4)
        GTEST_SKIP() << "only a 32-bit address space refuses the entries but not their sizes";
    // 7*10^7 entries: 1.96 GB of entries cannot be had, 280 MB of their sizes can. 10^8
    // entries are more than an array may hold at all.
    for (const char* request : {"70000000", "100000000"}) {
        SCOPED_TRACE(std::string("request=") + request);
        Open({{"fastwrite", "1"}, {"buffer", "1"}, {"request", request}});
        Format in = MakeFormat(64, 32, kYuy2, 16);
        uint64_t before = CommittedBytes();
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(Begin(in), ICERR_BADFORMAT);
        EXPECT_LT(CommittedBytes(), before + (64u << 20));
        EXPECT_EQ(End(), ICERR_OK);
        hic.reset();
    }
}

TEST_F(Requests, CountBelowOneStillRuns) {
    for (const char* request : {"0", "-4"}) {
        SCOPED_TRACE(std::string("request=") + request);
        Open({{"fastwrite", "1"}, {"buffer", "1"}, {"request", request}});
        Format in = MakeFormat(64, 32, kYuy2, 16);
        ASSERT_EQ(Begin(in), ICERR_OK);
        for (int f = 0; f < 5; ++f) {
            auto image = FramePattern(4096, f);
            FrameResult r = Compress(in, image.data());
            ASSERT_EQ(r.result, ICERR_OK);
            EXPECT_EQ(r.record.offset, uint64_t(f) * kPage);
        }
        End();
        EXPECT_EQ(ReadAt(Piece(0), 4 * kPage, 4096), FramePattern(4096, 4));
        hic.reset();
        DeleteFileA(Piece(0).c_str());
    }
}

} // namespace
