// Hostile and absurd formats: refused, never read past what the host gave, never a crash.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "GuardedBuffer.h"
#include "WineCodec.h"
#include "pure/PixelFormats.h"
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

// A kind of unpadded rows has one picture size and whole chroma blocks: every other size and
// shape is refused, asked from a header that ends at a no-access page, and so is a stored stream
// that names such a kind at another bit count. Every such kind of the table, with no list here.
TEST_F(BadFormats, KindsOfUnpaddedRowsRefuseOtherSizesAndShapes) {
    for (const kestro::PixelFormat& f : kestro::kPixelFormats) {
        if (!f.recognised || !f.stored || f.dibRows)
            continue;
        SCOPED_TRACE(f.name);
        const LONG w = 64, h = 48;
        const DWORD bytes = DWORD(kestro::PictureBytesOf(f, w, h));
        struct Case {
            const char* what;
            LONG w, h;
            DWORD sizeImage;
            LRESULT answer;
        };
        std::vector<Case> cases = {{"the picture's size", w, h, bytes, ICERR_OK},
                                   {"no size", w, h, 0, ICERR_OK},
                                   {"top-down", w, -h, bytes, ICERR_OK},
                                   {"one byte short", w, h, bytes - 1, ICERR_BADFORMAT},
                                   {"one byte over", w, h, bytes + 1, ICERR_BADFORMAT},
                                   {"a padded bitmap's size", w, h, bytes + 4 * h, ICERR_BADFORMAT},
                                   {"a width of 2^30", LONG(1) << 30, 2, 0, ICERR_BADFORMAT}};
        if (f.pairedPixels)
            cases.push_back({"an odd width", w + 1, h, 0, ICERR_BADFORMAT});
        if (f.planes.shiftY)
            cases.push_back({"an odd height", w, h + 1, 0, ICERR_BADFORMAT});
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            GuardedBuffer in(sizeof(BITMAPINFOHEADER));
            Format made = MakeFormat(2, 2, f.fourcc, f.bitCount);
            made.header()->biWidth = c.w;
            made.header()->biHeight = c.h;
            made.header()->biSizeImage = c.sizeImage;
            in.fill(made.bytes.data(), made.bytes.size());
            Format yuy2 = MakeFormat(w, h, kYuy2, 16);
            ASSERT_NO_FATAL_FAILURE(
                AskEverything(in.as<BITMAPINFOHEADER>(), yuy2.header(), c.answer));
            if (c.answer == ICERR_OK)
                continue;
            Format stream = StreamFormatFor(hic.get(), MakeFormat(w, h, kYuy2, 16));
            EXPECT_EQ(ICCompressBegin(hic.get(), in.as<BITMAPINFOHEADER>(), stream.header()),
                      ICERR_BADFORMAT);
        }
        // The stream formats of a capture of this kind, at the bit count it was made with and
        // at others: only the first is played.
        for (WORD bits : {f.bitCount, WORD(f.bitCount + 8), WORD(f.bitCount - 8), WORD(0)}) {
            SCOPED_TRACE(bits);
            const bool right = bits == f.bitCount;
            Format source = MakeFormat(w, h, f.fourcc, f.bitCount);
            source.header()->biSizeImage = bytes;
            Format stream = StreamFormatFor(hic.get(), source);
            ASSERT_EQ(stream.bytes.size(), 52u);
            ASSERT_EQ(stream.header()->biBitCount, f.bitCount) << "the input's bit count is kept";
            stream.header()->biBitCount = bits;
            GuardedBuffer guarded(52);
            guarded.fill(stream.bytes.data(), 52);
            auto* in = guarded.as<BITMAPINFOHEADER>();
            Format rgb = MakeFormat(w, h, BI_RGB, 24);
            EXPECT_EQ(ICDecompressQuery(hic.get(), in, nullptr),
                      right ? ICERR_OK : ICERR_BADFORMAT);
            EXPECT_EQ(ICDecompressQuery(hic.get(), in, rgb.header()),
                      right ? ICERR_OK : ICERR_BADFORMAT);
            EXPECT_EQ(ICDecompressGetFormat(hic.get(), in, rgb.header()),
                      right ? ICERR_OK : ICERR_BADFORMAT);
            if (!right) {
                EXPECT_EQ(ICDecompressBegin(hic.get(), in, rgb.header()), ICERR_BADFORMAT);
            }
        }
        // Played as itself into a picture one byte short of the kind's size: refused at the
        // begin, which would otherwise size its buffers by the bit count.
        Format source = MakeFormat(w, h, f.fourcc, f.bitCount);
        Format stream = StreamFormatFor(hic.get(), source);
        Format self = MakeFormat(w, h, f.fourcc, f.bitCount);
        self.header()->biSizeImage = bytes - 1;
        EXPECT_EQ(ICDecompressBegin(hic.get(), stream.header(), self.header()), ICERR_BADFORMAT);
        self.header()->biSizeImage = bytes;
        EXPECT_EQ(ICDecompressBegin(hic.get(), stream.header(), self.header()), ICERR_OK);
        EXPECT_EQ(ICDecompressEnd(hic.get()), ICERR_OK);
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

namespace {

// Headers shorter than what their message takes (a bitmap header, or the 52-byte stream format
// on the stream side), each ending where the host's memory ends, in every message that hands one
// over: before a run, and while a capture run and a playback run are going, for both readers.
class ShortFormats : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        dir = DataDir(std::string("short-formats-") + (GetParam() ? "fast" : "plain"));
        WriteIni({{"fourcc", "0"},
                  {"fastread", GetParam() ? "1" : "0"},
                  {"fastwrite", "0"},
                  {"filename", dir + "\\cap"}});
        hic = OpenKest();
        ASSERT_TRUE(hic);
        yuy2 = MakeFormat(kWidth, kHeight, kYuy2, 16);
        stream = StreamFormatFor(hic.get(), yuy2);
        ASSERT_EQ(stream.bytes.size(), 52u);
        picture.assign(kWidth * kHeight * 2, 0);
        for (size_t i = 0; i < picture.size(); ++i)
            picture[i] = uint8_t(i * 7 + i / 128);
        std::string file(picture.begin(), picture.end());
        file.resize(8192, 'x');
        WriteFileBytes(dir + "\\data.000", file);
        std::string path = dir + "\\data.000";
        record.assign(16 + path.size() + 1, 0);
        uint32_t size = uint32_t(picture.size());
        std::memcpy(record.data() + 8, &size, 4);
        std::memcpy(record.data() + 16, path.data(), path.size());
        // The frames' stream format vouches for the record's bytes.
        stream.header()->biSizeImage = DWORD(record.size());
    }
    void TearDown() override {
        hic.reset();
        DeleteFileA((dir + "\\data.000").c_str());
        DeleteFileA((dir + "\\cap.000").c_str());
        RemoveDirectoryA(dir.c_str());
        RemoveIni();
    }

    LRESULT Send(UINT message, const void* a, const void* b) {
        return LONG(ICSendMessage(hic.get(), message, DWORD_PTR(a), DWORD_PTR(b)));
    }
    LRESULT Decode(const void* in, const void* out, uint8_t* into) {
        ICDECOMPRESS icd{};
        icd.lpbiInput = static_cast<BITMAPINFOHEADER*>(const_cast<void*>(in));
        icd.lpInput = record.data();
        icd.lpbiOutput = static_cast<BITMAPINFOHEADER*>(const_cast<void*>(out));
        icd.lpOutput = into;
        return Send(ICM_DECOMPRESS, &icd, reinterpret_cast<void*>(sizeof icd));
    }
    LRESULT Compress(const void* in, void* out) {
        GuardedBuffer output(size_t(kWidth) * kHeight * 3);
        DWORD ckid = 0, flags = 0;
        ICCOMPRESS icc{};
        icc.lpbiOutput = static_cast<BITMAPINFOHEADER*>(out);
        icc.lpOutput = output.data();
        icc.lpbiInput = static_cast<BITMAPINFOHEADER*>(const_cast<void*>(in));
        icc.lpInput = picture.data();
        icc.lpckid = &ckid;
        icc.lpdwFlags = &flags;
        return Send(ICM_COMPRESS, &icc, reinterpret_cast<void*>(sizeof icc));
    }

    static constexpr LONG kWidth = 64, kHeight = 48;
    std::string dir;
    Hic hic;
    Format yuy2, stream;
    std::vector<uint8_t> picture, record;
};

TEST_P(ShortFormats, AreRefusedInEveryMessageWithoutReadingPastThem) {
    Format out = MakeFormat(kWidth, kHeight, kYuy2, 16);
    GuardedBuffer decoded(picture.size());
    for (uint32_t n : {4u, 12u, 16u, 23u, 39u, 40u, 51u}) {
        SCOPED_TRACE(::testing::Message() << n << " bytes");
        // A bitmap header and a stream format cut to n bytes, biSize saying so.
        GuardedBuffer bitmap(n), cut(n);
        bitmap.fill(yuy2.bytes.data(), n);
        cut.fill(stream.bytes.data(), n);
        std::memcpy(bitmap.data(), &n, 4);
        std::memcpy(cut.data(), &n, 4);
        GuardedBuffer format(52);
        const bool shortBitmap = n < 40;

        // No run.
        if (shortBitmap) {
            EXPECT_EQ(Send(ICM_COMPRESS_QUERY, bitmap.data(), nullptr), ICERR_BADFORMAT);
            EXPECT_EQ(Send(ICM_COMPRESS_QUERY, yuy2.header(), cut.data()), ICERR_BADFORMAT);
            EXPECT_EQ(Send(ICM_COMPRESS_GET_FORMAT, bitmap.data(), nullptr), ICERR_BADFORMAT);
            EXPECT_EQ(Send(ICM_COMPRESS_GET_FORMAT, bitmap.data(), format.data()), ICERR_BADFORMAT);
            EXPECT_EQ(Send(ICM_COMPRESS_GET_SIZE, bitmap.data(), nullptr), ICERR_BADFORMAT);
            EXPECT_EQ(Send(ICM_COMPRESS_BEGIN, bitmap.data(), stream.header()), ICERR_BADFORMAT);
            EXPECT_EQ(Send(ICM_COMPRESS_BEGIN, yuy2.header(), cut.data()), ICERR_BADFORMAT);
            EXPECT_EQ(Compress(bitmap.data(), stream.header()), ICERR_BADFORMAT);
            EXPECT_EQ(Compress(yuy2.header(), cut.data()), ICERR_BADFORMAT);
            EXPECT_EQ(Send(ICM_DECOMPRESS_QUERY, stream.header(), bitmap.data()), ICERR_BADFORMAT);
            EXPECT_EQ(Send(ICM_DECOMPRESS_BEGIN, stream.header(), bitmap.data()), ICERR_BADFORMAT);
            EXPECT_EQ(Decode(stream.header(), bitmap.data(), decoded.data()), ICERR_BADFORMAT);
        }
        EXPECT_EQ(Send(ICM_DECOMPRESS_QUERY, cut.data(), nullptr), ICERR_BADFORMAT);
        EXPECT_EQ(Send(ICM_DECOMPRESS_QUERY, cut.data(), out.header()), ICERR_BADFORMAT);
        EXPECT_EQ(Send(ICM_DECOMPRESS_GET_FORMAT, cut.data(), nullptr), ICERR_BADFORMAT);
        EXPECT_EQ(Send(ICM_DECOMPRESS_GET_FORMAT, cut.data(), format.data()), ICERR_BADFORMAT);
        EXPECT_EQ(Send(ICM_DECOMPRESS_BEGIN, cut.data(), out.header()), ICERR_BADFORMAT);
        EXPECT_EQ(Decode(cut.data(), out.header(), decoded.data()), ICERR_BADFORMAT);

        // While both runs go: the frames' formats are read afresh, and the runs go on.
        ASSERT_EQ(Send(ICM_DECOMPRESS_BEGIN, stream.header(), out.header()), ICERR_OK);
        ASSERT_EQ(Send(ICM_COMPRESS_BEGIN, yuy2.header(), stream.header()), ICERR_OK);
        EXPECT_EQ(Decode(cut.data(), out.header(), decoded.data()), ICERR_BADFORMAT);
        if (shortBitmap) {
            EXPECT_EQ(Decode(stream.header(), bitmap.data(), decoded.data()), ICERR_BADFORMAT);
            EXPECT_EQ(Compress(bitmap.data(), stream.header()), ICERR_BADFORMAT);
            EXPECT_EQ(Compress(yuy2.header(), cut.data()), ICERR_BADFORMAT);
        }
        std::memset(decoded.data(), 0, picture.size());
        EXPECT_EQ(Decode(stream.header(), out.header(), decoded.data()), ICERR_OK);
        EXPECT_EQ(0, std::memcmp(decoded.data(), picture.data(), picture.size()));
        EXPECT_EQ(Compress(yuy2.header(), stream.header()), ICERR_OK);
        // The capture frame stored its record's size there; the decodes vouch for our record.
        stream.header()->biSizeImage = DWORD(record.size());
        EXPECT_EQ(Send(ICM_COMPRESS_END, nullptr, nullptr), ICERR_OK);
        EXPECT_EQ(Send(ICM_DECOMPRESS_END, nullptr, nullptr), ICERR_OK);
    }
}

INSTANTIATE_TEST_SUITE_P(Readers, ShortFormats, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Fast" : "Plain"; });

} // namespace
