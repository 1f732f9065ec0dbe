// Hostile and absurd formats: refused, never read past what the host gave, never a crash.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "GuardedBuffer.h"
#include "WineCodec.h"
#include "pure/StreamFormat.h"

using namespace kt;

namespace {

class BadFormats : public ::testing::Test {
protected:
    void SetUp() override {
        WriteIni({{"fourcc", "0"}});
        hic = OpenKest();
        ASSERT_TRUE(hic);
    }
    // Every negotiation question about `in`, with and without an output; stops at the first
    // wrong answer (callers wrap it in ASSERT_NO_FATAL_FAILURE).
    void AskEverything(BITMAPINFOHEADER* in, BITMAPINFOHEADER* out, LRESULT expected) {
        ASSERT_EQ(ICCompressQuery(hic.get(), in, nullptr), expected);
        // The manager's macros hand sizes back as 32-bit values, also on 64-bit hosts.
        ASSERT_EQ(int32_t(ICCompressGetFormatSize(hic.get(), in)),
                  expected == ICERR_OK ? 52 : expected);
        ASSERT_EQ(ICDecompressQuery(hic.get(), in, nullptr), ICERR_BADFORMAT);
        ASSERT_EQ(ICDecompressGetFormatSize(hic.get(), in), ICERR_BADFORMAT);
        if (out) {
            ASSERT_EQ(ICDecompressQuery(hic.get(), in, out), ICERR_BADFORMAT);
            ASSERT_EQ(ICDecompressGetFormat(hic.get(), in, out), ICERR_BADFORMAT);
        }
    }
    Hic hic;
};

TEST_F(BadFormats, NullFormats) {
    EXPECT_EQ(ICCompressQuery(hic.get(), nullptr, nullptr), ICERR_BADFORMAT);
    EXPECT_EQ(ICCompressGetFormatSize(hic.get(), nullptr), ICERR_BADFORMAT);
    EXPECT_EQ(ICCompressGetSize(hic.get(), nullptr, nullptr), ICERR_BADFORMAT);
    EXPECT_EQ(ICDecompressQuery(hic.get(), nullptr, nullptr), ICERR_BADFORMAT);
    EXPECT_EQ(ICDecompressGetFormatSize(hic.get(), nullptr), ICERR_BADFORMAT);
    BITMAPINFOHEADER out{};
    EXPECT_EQ(ICDecompressGetFormat(hic.get(), nullptr, &out), ICERR_BADFORMAT);
    EXPECT_EQ(ICCompressBegin(hic.get(), nullptr, nullptr), ICERR_BADFORMAT);
    EXPECT_EQ(ICDecompressBegin(hic.get(), nullptr, nullptr), ICERR_BADFORMAT);
}

TEST_F(BadFormats, ShortHeadersAreNotReadPast) {
    // A 40-byte header that claims to be a stream format, and one claiming less than 40 bytes.
    GuardedBuffer in(40);
    Format yuy2 = MakeFormat(320, 240, kYuy2, 16);
    in.fill(yuy2.bytes.data(), 40);
    ASSERT_NO_FATAL_FAILURE(AskEverything(in.as<BITMAPINFOHEADER>(), yuy2.header(), ICERR_OK));
    in.as<BITMAPINFOHEADER>()->biCompression = kKest;
    ASSERT_NO_FATAL_FAILURE(
        AskEverything(in.as<BITMAPINFOHEADER>(), yuy2.header(), ICERR_BADFORMAT));

    GuardedBuffer tiny(40);
    tiny.fill(yuy2.bytes.data(), 40);
    tiny.as<BITMAPINFOHEADER>()->biSize = 39;
    ASSERT_NO_FATAL_FAILURE(
        AskEverything(tiny.as<BITMAPINFOHEADER>(), yuy2.header(), ICERR_BADFORMAT));
    EXPECT_EQ(ICCompressGetSize(hic.get(), tiny.as<BITMAPINFOHEADER>(), nullptr), ICERR_BADFORMAT);
}

TEST_F(BadFormats, AbsurdDimensions) {
    struct Case {
        LONG w, h;
    } cases[] = {{0, 240},
                 {320, 0},
                 {-320, 240},
                 {0x7FFFFFFF, 0x7FFFFFFF},
                 {65536, 65536},
                 {LONG(0x80000000), 2},
                 {2, LONG(0x80000000)}};
    for (auto c : cases) {
        Format in = MakeFormat(c.w, c.h, kYuy2, 16);
        EXPECT_EQ(ICCompressQuery(hic.get(), in.header(), nullptr), ICERR_BADFORMAT)
            << c.w << "x" << c.h;
        EXPECT_EQ(ICCompressGetFormatSize(hic.get(), in.header()), ICERR_BADFORMAT);
        EXPECT_EQ(ICCompressGetSize(hic.get(), in.header(), nullptr), ICERR_BADFORMAT);
    }
    // Top-down input is a picture like any other.
    Format topDown = MakeFormat(320, -240, kYuy2, 16);
    EXPECT_EQ(ICCompressQuery(hic.get(), topDown.header(), nullptr), ICERR_OK);
}

TEST_F(BadFormats, StreamFormatsThatLieAboutTheirChainedPart) {
    kestro::StreamFormatHeader s{};
    s.biSize = 52;
    s.biWidth = 64;
    s.biHeight = 48;
    s.biPlanes = 1;
    s.biBitCount = 16;
    s.biCompression = kKest;
    s.biSourceCompression = kYuy2;
    s.biChainHandler = kTestCodecFourcc;
    s.biChainFormatSize = 4096; // far beyond the 52 bytes given
    GuardedBuffer in(52);
    in.fill(&s, 52);
    Format out = MakeFormat(64, 48, BI_RGB, 24);
    ASSERT_NO_FATAL_FAILURE(
        AskEverything(in.as<BITMAPINFOHEADER>(), out.header(), ICERR_BADFORMAT));

    // A chained part present but too small for a header, or declaring more than it holds.
    GuardedBuffer small(52 + 8);
    s.biSize = 60;
    s.biChainFormatSize = 8;
    small.fill(&s, 52);
    std::memset(small.data() + 52, 0, 8);
    ASSERT_NO_FATAL_FAILURE(
        AskEverything(small.as<BITMAPINFOHEADER>(), out.header(), ICERR_BADFORMAT));

    GuardedBuffer lying(52 + 40);
    s.biSize = 92;
    s.biChainFormatSize = 40;
    lying.fill(&s, 52);
    BITMAPINFOHEADER chained = *MakeFormat(64, 48, kTestCodecFourcc, 16).header();
    chained.biSize = 4000;
    std::memcpy(lying.data() + 52, &chained, 40);
    ASSERT_NO_FATAL_FAILURE(
        AskEverything(lying.as<BITMAPINFOHEADER>(), out.header(), ICERR_BADFORMAT));
}

TEST_F(BadFormats, CompressQueryWithAHostileOutput) {
    Format in = MakeFormat(64, 48, kYuy2, 16);
    GuardedBuffer out(40);
    Format stream = StreamFormatFor(hic.get(), in);
    out.fill(stream.bytes.data(), 40);
    out.as<BITMAPINFOHEADER>()->biSize = 40;
    EXPECT_EQ(ICCompressQuery(hic.get(), in.header(), out.as<BITMAPINFOHEADER>()), ICERR_OK);
    out.as<BITMAPINFOHEADER>()->biSize = 12;
    EXPECT_EQ(ICCompressQuery(hic.get(), in.header(), out.as<BITMAPINFOHEADER>()), ICERR_BADFORMAT);
}

TEST_F(BadFormats, DecompressOutputBufferOfExactlyFortyBytes) {
    kestro::StreamFormatHeader s{};
    s.biSize = 52;
    s.biWidth = 64;
    s.biHeight = 48;
    s.biPlanes = 1;
    s.biBitCount = 16;
    s.biCompression = kKest;
    s.biSourceCompression = kYuy2;
    GuardedBuffer out(40);
    std::memset(out.data(), 0xCD, 40); // an uninitialised host buffer
    EXPECT_EQ(ICDecompressGetFormat(hic.get(), &s, out.as<BITMAPINFOHEADER>()), ICERR_OK);
    EXPECT_EQ(out.as<BITMAPINFOHEADER>()->biBitCount, 24);
    EXPECT_EQ(out.as<BITMAPINFOHEADER>()->biSizeImage, 64u * 48 * 3);
}

} // namespace

namespace {

TEST_F(BadFormats, CoreHeadersAreRefusedWithoutReadingPastThem) {
    // A 12-byte core header, as old AVI files carry, ending where the host's memory ends.
    GuardedBuffer core(12);
    BITMAPCOREHEADER h{sizeof(BITMAPCOREHEADER), 320, 240, 1, 24};
    core.fill(&h, sizeof h);
    auto* in = core.as<BITMAPINFOHEADER>();
    Format out = MakeFormat(320, 240, BI_RGB, 24);
    ASSERT_NO_FATAL_FAILURE(AskEverything(in, out.header(), ICERR_BADFORMAT));
    EXPECT_EQ(ICCompressGetSize(hic.get(), in, nullptr), ICERR_BADFORMAT);
    EXPECT_EQ(ICCompressBegin(hic.get(), in, out.header()), ICERR_BADFORMAT);
    Format yuy2 = MakeFormat(320, 240, kYuy2, 16);
    EXPECT_EQ(ICCompressQuery(hic.get(), yuy2.header(), in), ICERR_BADFORMAT);
}

TEST_F(BadFormats, TopDownPicturesHaveTheSizesOfBottomUpOnes) {
    for (auto [compression, bits, largest] :
         {std::tuple{kYuy2, 16, 230400}, {DWORD(BI_RGB), 24, 384000}}) {
        Format down = MakeFormat(320, -240, compression, WORD(bits));
        EXPECT_EQ(ICCompressQuery(hic.get(), down.header(), nullptr), ICERR_OK);
        EXPECT_EQ(ICCompressGetSize(hic.get(), down.header(), nullptr), largest) << bits;
    }
}

class ChainedBadFormats : public ::testing::Test {
protected:
    void SetUp() override {
        WriteIni({{"fourcc", std::to_string(int32_t(kMrle))}});
        hic = OpenKest();
        ASSERT_TRUE(hic);
    }
    Hic hic;
};

// The chained codec reads a whole header from the chained part we hand it: a part that is
// shorter than a header, or that claims more than it holds, is refused before it gets there.
TEST_F(ChainedBadFormats, CompressQueryWithAShortChainedPartIsRefused) {
    Format eight = MakePalettized(64, 48);
    Format stream = StreamFormatFor(hic.get(), eight);
    ASSERT_GT(stream.bytes.size(), 52u + 40);
    EXPECT_EQ(ICCompressQuery(hic.get(), eight.header(), stream.header()), ICERR_OK);

    for (uint32_t part : {8u, 39u}) {
        GuardedBuffer out(52 + part);
        out.fill(stream.bytes.data(), 52 + part);
        auto* s = out.as<kestro::StreamFormatHeader>();
        s->biSize = 52 + part;
        s->biChainFormatSize = part;
        EXPECT_EQ(ICCompressQuery(hic.get(), eight.header(), out.as<BITMAPINFOHEADER>()),
                  ICERR_BADFORMAT)
            << part;
        EXPECT_EQ(ICCompressBegin(hic.get(), eight.header(), out.as<BITMAPINFOHEADER>()),
                  ICERR_BADFORMAT)
            << part;
    }
    GuardedBuffer lying(52 + 40);
    lying.fill(stream.bytes.data(), 52 + 40);
    auto* s = lying.as<kestro::StreamFormatHeader>();
    s->biSize = 52 + 40;
    s->biChainFormatSize = 40;
    reinterpret_cast<BITMAPINFOHEADER*>(lying.data() + 52)->biSize = 4000;
    EXPECT_EQ(ICCompressQuery(hic.get(), eight.header(), lying.as<BITMAPINFOHEADER>()),
              ICERR_BADFORMAT);
}

} // namespace
