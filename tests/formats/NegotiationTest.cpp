// Format negotiation through the codec manager, uncompressed and chained.
#include <gtest/gtest.h>

#include <cstring>

#include "WineCodec.h"
#include "pure/StreamFormat.h"

using namespace kt;

namespace {

constexpr DWORD kVyuy = mmioFOURCC('V', 'Y', 'U', 'Y');

class RawNegotiation : public ::testing::Test {
protected:
    void SetUp() override {
        WriteIni({{"fourcc", "0"}});
        hic = OpenKest();
        ASSERT_TRUE(hic);
    }
    Hic hic;
};

TEST_F(RawNegotiation, AcceptsPackedYuvAndRgb24Only) {
    for (auto [compression, bits] : {std::pair{kYuy2, 16},
                                     {kVyuy, 16},
                                     {kUyvy, 16},
                                     {DWORD(BI_RGB), 24},
                                     {mmioFOURCC('D', 'I', 'B', ' '), 24},
                                     {DWORD(kestro::kFourccYvyu), 16},
                                     {DWORD(kestro::kFourccHdyc), 16},
                                     {DWORD(kestro::kFourccY800), 8},
                                     {DWORD(kestro::kFourccY8), 8},
                                     {DWORD(kestro::kFourccGrey), 8},
                                     {DWORD(BI_RGB), 32},
                                     {mmioFOURCC('D', 'I', 'B', ' '), 32},
                                     {DWORD(kestro::kFourccNv12), 12},
                                     {DWORD(kestro::kFourccI420), 12},
                                     {DWORD(kestro::kFourccIyuv), 12},
                                     {DWORD(kestro::kFourccYv12), 12},
                                     {DWORD(kestro::kFourccV210), 20},
                                     {DWORD(kestro::kFourccP010), 24}}) {
        Format in = MakeFormat(320, 240, compression, WORD(bits));
        EXPECT_EQ(ICCompressQuery(hic.get(), in.header(), nullptr), ICERR_OK) << compression;
    }
    for (auto [compression, bits] : {std::pair{DWORD(kestro::kFourccNv12), 16},
                                     {DWORD(kestro::kFourccI420), 8},
                                     {mmioFOURCC('n', 'v', '1', '2'), 12},
                                     {DWORD(BI_RGB), 16},
                                     {DWORD(BI_RGB), 8},
                                     {mmioFOURCC('y', 'u', 'y', '2'), 16},
                                     {DWORD(kestro::kFourccYvyu), 24},
                                     {DWORD(kestro::kFourccYvyu), 0},
                                     {DWORD(kestro::kFourccY800), 16},
                                     {DWORD(kestro::kFourccV210), 16},
                                     {DWORD(kestro::kFourccV210), 24},
                                     {DWORD(kestro::kFourccP010), 12},
                                     {DWORD(kestro::kFourccP010), 16},
                                     {mmioFOURCC('p', '0', '1', '0'), 24},
                                     {kKest, 16}}) {
        Format in = MakeFormat(320, 240, compression, WORD(bits));
        EXPECT_EQ(ICCompressQuery(hic.get(), in.header(), nullptr), ICERR_BADFORMAT)
            << std::hex << compression << " " << bits;
    }
}

TEST_F(RawNegotiation, StreamFormatIsByteExact) {
    Format in = MakeFormat(320, 240, kYuy2, 16);
    in.header()->biXPelsPerMeter = 1234;
    in.header()->biYPelsPerMeter = -5;
    in.header()->biClrUsed = 7;
    EXPECT_EQ(ICCompressGetFormatSize(hic.get(), in.header()), 52);
    Format out = StreamFormatFor(hic.get(), in);
    ASSERT_EQ(out.bytes.size(), 52u);
    kestro::StreamFormatHeader s;
    std::memcpy(&s, out.bytes.data(), 52);
    EXPECT_EQ(s.biSize, 52u);
    EXPECT_EQ(s.biWidth, 320);
    EXPECT_EQ(s.biHeight, 240);
    EXPECT_EQ(s.biPlanes, 1);
    EXPECT_EQ(s.biBitCount, 16);
    EXPECT_EQ(s.biCompression, kKest);
    EXPECT_EQ(s.biSizeImage, 320u * 240 * 2);
    EXPECT_EQ(s.biXPelsPerMeter, 1234);
    EXPECT_EQ(s.biYPelsPerMeter, -5);
    EXPECT_EQ(s.biClrUsed, 0u);
    EXPECT_EQ(s.biClrImportant, 0u);
    EXPECT_EQ(s.biSourceCompression, kYuy2);
    EXPECT_EQ(s.biChainHandler, 0u);
    EXPECT_EQ(s.biChainFormatSize, 0u);

    Format rgb = MakeFormat(320, 240, BI_RGB, 24);
    Format rgbOut = StreamFormatFor(hic.get(), rgb);
    ASSERT_EQ(rgbOut.bytes.size(), 52u);
    EXPECT_EQ(rgbOut.header()->biBitCount, 24);
}

TEST_F(RawNegotiation, LargestFrame) {
    Format yuy2 = MakeFormat(320, 240, kYuy2, 16);
    Format rgb = MakeFormat(320, 240, BI_RGB, 24);
    EXPECT_EQ(ICCompressGetSize(hic.get(), yuy2.header(), nullptr), 230400);
    EXPECT_EQ(ICCompressGetSize(hic.get(), rgb.header(), nullptr), 384000);
}

TEST_F(RawNegotiation, KestOutputAcceptedWhateverTheInput) {
    Format rgb32 = MakeFormat(64, 64, BI_RGB, 32);
    Format stream = StreamFormatFor(hic.get(), MakeFormat(64, 64, kYuy2, 16));
    ASSERT_FALSE(stream.bytes.empty());
    EXPECT_EQ(ICCompressQuery(hic.get(), rgb32.header(), stream.header()), ICERR_OK);
    Format notOurs = MakeFormat(64, 64, kYuy2, 16);
    EXPECT_EQ(ICCompressQuery(hic.get(), rgb32.header(), notOurs.header()), ICERR_BADFORMAT);
}

Format StoredStream(LONG w, LONG h, DWORD source, WORD bits) {
    Format f;
    f.bytes.assign(52, 0);
    kestro::StreamFormatHeader s{};
    s.biSize = 52;
    s.biWidth = w;
    s.biHeight = h;
    s.biPlanes = 1;
    s.biBitCount = bits;
    s.biCompression = kKest;
    s.biSourceCompression = source;
    std::memcpy(f.bytes.data(), &s, 52);
    return f;
}

TEST_F(RawNegotiation, DecompressFormatsOfAStoredUyvyStream) {
    Format in = StoredStream(320, 240, kUyvy, 16);
    EXPECT_EQ(ICDecompressGetFormatSize(hic.get(), in.header()), 40);
    Format out = MakeFormat(320, 240, kUyvy, 16);
    ASSERT_EQ(ICDecompressGetFormat(hic.get(), in.header(), out.header()), ICERR_OK);
    EXPECT_EQ(out.header()->biCompression, kYuy2) << "UYVY is offered as YUY2";
    EXPECT_EQ(out.header()->biBitCount, 16);
    EXPECT_EQ(out.header()->biSizeImage, 320u * 240 * 2);
    EXPECT_EQ(out.header()->biSize, 40u);

    for (auto [compression, bits] :
         {std::pair{kYuy2, 16}, {kUyvy, 16}, {DWORD(BI_RGB), 24}, {DWORD(BI_RGB), 32}}) {
        Format want = MakeFormat(320, 240, compression, WORD(bits));
        EXPECT_EQ(ICDecompressQuery(hic.get(), in.header(), want.header()), ICERR_OK);
    }
    // Either row order can be delivered; only the size must agree.
    Format flipped = MakeFormat(320, -240, BI_RGB, 24);
    EXPECT_EQ(ICDecompressQuery(hic.get(), in.header(), flipped.header()), ICERR_OK);
    Format shorter = MakeFormat(320, -238, BI_RGB, 24);
    EXPECT_EQ(ICDecompressQuery(hic.get(), in.header(), shorter.header()), ICERR_BADFORMAT);
    Format narrower = MakeFormat(318, 240, BI_RGB, 24);
    EXPECT_EQ(ICDecompressQuery(hic.get(), in.header(), narrower.header()), ICERR_BADFORMAT);
}

TEST_F(RawNegotiation, DecompressFormatsOfAStoredRgb24Stream) {
    Format in = StoredStream(320, 240, BI_RGB, 24);
    Format out;
    out.bytes.assign(40, 0);
    ASSERT_EQ(ICDecompressGetFormat(hic.get(), in.header(), out.header()), ICERR_OK);
    EXPECT_EQ(out.header()->biCompression, DWORD(BI_RGB));
    EXPECT_EQ(out.header()->biBitCount, 24);
    EXPECT_EQ(out.header()->biSizeImage, 320u * 240 * 3);

    Format asYuy2 = MakeFormat(320, 240, kYuy2, 16);
    ASSERT_EQ(ICDecompressGetFormat(hic.get(), in.header(), asYuy2.header()), ICERR_OK);
    EXPECT_EQ(asYuy2.header()->biCompression, kKest) << "an unlisted pair keeps the copied header";
    EXPECT_EQ(asYuy2.header()->biBitCount, 24);
    EXPECT_EQ(asYuy2.header()->biSize, 40u);
    Format want = MakeFormat(320, 240, kYuy2, 16);
    EXPECT_EQ(ICDecompressQuery(hic.get(), in.header(), want.header()), ICERR_BADFORMAT);
    // What the format message offers for a 32-bit request must then be accepted.
    Format rgb32 = MakeFormat(320, 240, BI_RGB, 32);
    ASSERT_EQ(ICDecompressGetFormat(hic.get(), in.header(), rgb32.header()), ICERR_OK);
    EXPECT_EQ(rgb32.header()->biBitCount, 32);
    EXPECT_EQ(ICDecompressQuery(hic.get(), in.header(), rgb32.header()), ICERR_OK);
}

TEST_F(RawNegotiation, DecompressRefusesWhatIsNotAStream) {
    Format yuy2 = MakeFormat(320, 240, kYuy2, 16);
    Format out = MakeFormat(320, 240, kYuy2, 16);
    EXPECT_EQ(ICDecompressQuery(hic.get(), yuy2.header(), nullptr), ICERR_BADFORMAT);
    EXPECT_EQ(ICDecompressQuery(hic.get(), yuy2.header(), out.header()), ICERR_BADFORMAT);
    EXPECT_EQ(ICDecompressGetFormatSize(hic.get(), yuy2.header()), ICERR_BADFORMAT);
    Format stream = StoredStream(320, 240, kYuy2, 16);
    EXPECT_EQ(ICDecompressQuery(hic.get(), stream.header(), nullptr), ICERR_OK);
}

// A session with a chained codec named in the settings file.
class Chained : public ::testing::Test {
protected:
    void Open(DWORD fourcc) {
        WriteIni({{"fourcc", std::to_string(int32_t(fourcc))}});
        hic = OpenKest();
        ASSERT_TRUE(hic);
    }
    void TearDown() override {
        hic.reset();
        helper.reset();
    }
    Hic hic;
    Hic helper; // keeps the test codec loaded so the test can steer it
};

TEST_F(Chained, MrleDecidesAndItsFormatIsWrapped) {
    Open(kMrle);
    Format eight = MakePalettized(64, 48);
    EXPECT_EQ(ICCompressQuery(hic.get(), eight.header(), nullptr), ICERR_OK);

    Hic mrle(ICOpen(ICTYPE_VIDEO, kMrle, ICMODE_COMPRESS));
    ASSERT_TRUE(mrle);
    LRESULT n = ICCompressGetFormatSize(mrle.get(), eight.header());
    ASSERT_GT(n, 0);
    std::vector<uint8_t> expected(size_t(n), 0);
    ASSERT_EQ(ICCompressGetFormat(mrle.get(), eight.header(), expected.data()), ICERR_OK);

    EXPECT_EQ(ICCompressGetFormatSize(hic.get(), eight.header()), 52 + n);
    Format out = StreamFormatFor(hic.get(), eight);
    ASSERT_EQ(out.bytes.size(), size_t(52 + n));
    kestro::StreamFormatHeader s;
    std::memcpy(&s, out.bytes.data(), 52);
    EXPECT_EQ(s.biSize, uint32_t(52 + n));
    EXPECT_EQ(s.biCompression, kKest);
    EXPECT_EQ(s.biChainHandler, kMrle);
    EXPECT_EQ(s.biChainFormatSize, uint32_t(n));
    EXPECT_EQ(s.biSourceCompression, DWORD(BI_RGB));
    EXPECT_EQ(s.biBitCount, 16);
    EXPECT_EQ(0, std::memcmp(out.bytes.data() + 52, expected.data(), size_t(n)));

    // The chained stream's output is whatever the chained decompressor offers.
    EXPECT_EQ(ICCompressQuery(hic.get(), eight.header(), out.header()), ICERR_OK);
    EXPECT_EQ(ICDecompressQuery(hic.get(), out.header(), nullptr), ICERR_OK);
    EXPECT_EQ(ICDecompressGetFormatSize(hic.get(), out.header()),
              ICDecompressGetFormatSize(mrle.get(), expected.data()));
}

TEST_F(Chained, OnlyExactlyMinusTwoIsARefusal) {
    Open(kTestCodecFourcc);
    helper = Hic(ICOpen(ICTYPE_VIDEO, kTestCodecFourcc, ICMODE_QUERY));
    ASSERT_TRUE(helper);
    Format in = MakeFormat(64, 48, BI_RGB, 32);
    for (int32_t answer : {0, -1, -3, 5}) {
        TestCodecControl c;
        c.queryAnswer = answer;
        ASSERT_NO_FATAL_FAILURE(SetTestCodec(c));
        EXPECT_EQ(ICCompressQuery(hic.get(), in.header(), nullptr), ICERR_OK) << answer;
    }
    TestCodecControl refuse;
    refuse.queryAnswer = ICERR_BADFORMAT;
    ASSERT_NO_FATAL_FAILURE(SetTestCodec(refuse));
    EXPECT_EQ(ICCompressQuery(hic.get(), in.header(), nullptr), ICERR_BADFORMAT);
    EXPECT_EQ(ICCompressGetFormatSize(hic.get(), in.header()), ICERR_BADFORMAT);
}

TEST_F(Chained, FormatSizeAnswersThatWouldOverrunTheHostAreRefused) {
    Open(kTestCodecFourcc);
    helper = Hic(ICOpen(ICTYPE_VIDEO, kTestCodecFourcc, ICMODE_QUERY));
    ASSERT_TRUE(helper);
    Format in = MakeFormat(64, 48, kYuy2, 16);
    TestCodecControl c;
    c.formatSizeAnswer = ICERR_BADFORMAT;
    ASSERT_NO_FATAL_FAILURE(SetTestCodec(c));
    EXPECT_EQ(ICCompressGetFormatSize(hic.get(), in.header()), ICERR_BADFORMAT);
    c.formatSizeAnswer = -1;
    ASSERT_NO_FATAL_FAILURE(SetTestCodec(c));
    EXPECT_EQ(ICCompressGetFormatSize(hic.get(), in.header()), ICERR_BADFORMAT);
    c.formatSizeAnswer = 0;
    c.formatAnswer = ICERR_BADFORMAT;
    ASSERT_NO_FATAL_FAILURE(SetTestCodec(c));
    EXPECT_EQ(ICCompressGetFormatSize(hic.get(), in.header()), 92);
    Format out;
    out.bytes.assign(92, 0);
    EXPECT_EQ(ICCompressGetFormat(hic.get(), in.header(), out.header()), ICERR_BADFORMAT);
}

TEST_F(Chained, UnopenableOrSelfNamedCodecRefusesEverything) {
    for (DWORD code : {mmioFOURCC('N', 'O', 'N', 'E'), kKest, mmioFOURCC('k', 'e', 's', 't')}) {
        Open(code);
        Format in = MakeFormat(64, 48, kYuy2, 16);
        EXPECT_EQ(ICCompressQuery(hic.get(), in.header(), nullptr), ICERR_BADFORMAT);
        EXPECT_EQ(ICCompressGetFormatSize(hic.get(), in.header()), ICERR_BADFORMAT);
        hic.reset();
    }
}

TEST_F(Chained, PlaybackChoosesTheDecompressorFromTheStreamNotTheSettings) {
    Open(0);
    helper = Hic(ICOpen(ICTYPE_VIDEO, kTestCodecFourcc, ICMODE_QUERY));
    ASSERT_TRUE(helper);
    Format stream = StoredStream(64, 48, kYuy2, 16);
    stream.bytes.resize(52 + 40);
    auto* s = reinterpret_cast<kestro::StreamFormatHeader*>(stream.bytes.data());
    s->biSize = 92;
    s->biChainHandler = kTestCodecFourcc;
    s->biChainFormatSize = 40;
    Format chained = MakeFormat(64, 48, kTestCodecFourcc, 16);
    std::memcpy(stream.bytes.data() + 52, chained.bytes.data(), 40);

    TestCodecControl c;
    ASSERT_NO_FATAL_FAILURE(SetTestCodec(c));
    EXPECT_EQ(ICDecompressQuery(hic.get(), stream.header(), nullptr), ICERR_OK);
    c.queryAnswer = ICERR_BADFORMAT;
    ASSERT_NO_FATAL_FAILURE(SetTestCodec(c));
    Format out = MakeFormat(64, 48, BI_RGB, 24);
    EXPECT_EQ(ICDecompressQuery(hic.get(), stream.header(), out.header()), ICERR_BADFORMAT);
    c.queryAnswer = -1;
    ASSERT_NO_FATAL_FAILURE(SetTestCodec(c));
    EXPECT_EQ(ICDecompressQuery(hic.get(), stream.header(), out.header()), ICERR_OK);
    EXPECT_EQ(ICDecompressGetFormat(hic.get(), stream.header(), out.header()), ICERR_OK);
}

} // namespace
