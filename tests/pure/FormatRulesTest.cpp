// Record layout, stream format rules, size arithmetic and piece names, over plain bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "pure/Fourcc.h"
#include "pure/FrameRecord.h"
#include "pure/PiecePath.h"
#include "pure/PixelFormats.h"
#include "pure/PixelRepack.h"
#include "pure/RawConversions.h"
#include "pure/StreamFormat.h"
#include "pure/SettingsText.h"
#include "pure/TakeFile.h"

#include "HostileTakeFiles.h"

using namespace kestro;

namespace {

TEST(FrameRecordLayout, DefaultNameGivesThirtyBytesWithTheTakeInTheReservedWord) {
    std::vector<uint8_t> out(64, 0xAB);
    ASSERT_EQ(FrameRecordBytes(std::strlen("c:\\kestro.000")), 30u);
    ASSERT_TRUE(WriteFrameRecord(out.data(), 30, 0x0000000123456789ull, 0xCAFEF00Du, 0x8F3A91C2u,
                                 "c:\\kestro.000"));
    const uint8_t expected[30] = {0x89, 0x67, 0x45, 0x23, 0x01, 0,    0,   0,   0x0D, 0xF0,
                                  0xFE, 0xCA, 0xC2, 0x91, 0x3A, 0x8F, 'c', ':', '\\', 'k',
                                  'e',  's',  't',  'r',  'o',  '.',  '0', '0', '0',  0};
    EXPECT_EQ(0, std::memcmp(out.data(), expected, 30));
    EXPECT_EQ(out[30], 0xAB) << "nothing past the record is written";
    EXPECT_FALSE(WriteFrameRecord(out.data(), 29, 0, 0, 0, "c:\\kestro.000"));
    EXPECT_FALSE(WriteFrameRecord(nullptr, 64, 0, 0, 0, "c:\\kestro.000"));
}

TEST(FrameRecordLayout, ParseRoundTripsAndRefusesBrokenRecords) {
    std::vector<uint8_t> rec(40, 0);
    ASSERT_TRUE(WriteFrameRecord(rec.data(), rec.size(), 5ull << 32, 4096, 0xFEEDu, "T:\\x.001"));
    auto view = ParseFrameRecord(rec.data(), FrameRecordBytes(8));
    ASSERT_TRUE(view);
    EXPECT_EQ(view->offset, 5ull << 32);
    EXPECT_EQ(view->size, 4096u);
    EXPECT_EQ(view->take, 0xFEEDu);
    EXPECT_EQ(view->path, "T:\\x.001");

    EXPECT_FALSE(ParseFrameRecord(rec.data(), FrameRecordBytes(8) - 1)) << "unterminated";
    EXPECT_FALSE(ParseFrameRecord(rec.data(), 16)) << "no room for a path";
    EXPECT_FALSE(ParseFrameRecord(nullptr, 40));
    rec[16] = 0;
    EXPECT_FALSE(ParseFrameRecord(rec.data(), rec.size())) << "empty path";

    std::vector<uint8_t> longest(16 + 261, 'a');
    longest.back() = 0;
    EXPECT_TRUE(ParseFrameRecord(longest.data(), longest.size())) << "260 characters fit";
    std::vector<uint8_t> tooLong(16 + 262, 'a');
    tooLong.back() = 0;
    EXPECT_FALSE(ParseFrameRecord(tooLong.data(), tooLong.size()));
}

TEST(TakeFiles, WrittenAndReadBackBesideTheirPieces) {
    TakeFile take;
    take.id = 0x8F3A91C2u;
    take.started = TakeTimeText(2026, 12, 9, 10, 11, 12);
    take.pieceBytes = 2ull << 30;
    take.inputFormat = {40, 0, 0, 0, 0x80, 2, 0, 0};
    take.streamFormat = std::vector<uint8_t>(52, 0xA5);
    std::string open = FormatTakeFile(take);
    EXPECT_EQ(open.substr(0, 39), "[take]\r\nid=8f3a91c2\r\nstarted=2026-12-09");
    take.frames = 277;
    take.ended = TakeTimeText(2026, 12, 9, 10, 21, 2);
    for (const std::string& text : {open, FormatTakeFile(take)}) {
        auto back = ParseTakeFile(text).take;
        ASSERT_TRUE(back) << text;
        EXPECT_EQ(back->id, take.id);
        EXPECT_EQ(back->started, "2026-12-09T10:11:12Z");
        EXPECT_EQ(back->pieceBytes, take.pieceBytes);
        EXPECT_EQ(back->inputFormat, take.inputFormat);
        EXPECT_EQ(back->streamFormat, take.streamFormat);
        EXPECT_EQ(back->frames.has_value(), text != open);
    }
    EXPECT_EQ(ParseTakeFile(FormatTakeFile(take)).take->frames, 277u);

    // Each take that replaces another keeps its identity and start; the oldest go beyond 16.
    TakeFile latest = take;
    for (uint32_t n = 1; n <= 20; ++n) {
        TakeFile next;
        next.id = take.id + n;
        next.started = n == 7 ? "" : TakeTimeText(2026, 12, 10, 0, 0, n);
        NoteReplacedTake(next, latest);
        latest = *ParseTakeFile(FormatTakeFile(next)).take;
    }
    ASSERT_EQ(latest.replaced.size(), kMaxEarlierTakes);
    EXPECT_EQ(latest.replaced.front().id, take.id + 4) << "the oldest first";
    EXPECT_EQ(latest.replaced.back(), (EarlierTake{take.id + 19, "2026-12-10T00:00:19Z"}));
    EXPECT_FALSE(FindEarlierTake(latest, take.id)) << "forgotten";
    ASSERT_TRUE(FindEarlierTake(latest, take.id + 7));
    EXPECT_EQ(FindEarlierTake(latest, take.id + 7)->started, "") << "a start never known";
    EXPECT_EQ(FindEarlierTake(latest, take.id + 8)->started, "2026-12-10T00:00:08Z");
    TakeFile again = latest;
    NoteReplacedTake(again, latest);
    EXPECT_EQ(again.replaced, latest.replaced) << "a take never replaces itself";

    EXPECT_EQ(TakeFileName("C:\\Users\\Public\\Videos\\Kestro32\\take"),
              "C:\\Users\\Public\\Videos\\Kestro32\\take.take");
    EXPECT_EQ(TakeFileOfPiece("T:\\caps\\take.017"), "T:\\caps\\take.take");
    EXPECT_FALSE(IsPiecePath(TakeFileName("T:\\caps\\take"))) << "never taken for a piece";
    EXPECT_FALSE(TakeFileOfPiece("T:\\caps\\take.500"));
    EXPECT_FALSE(TakeFileOfPiece(".000"));

    const TakeFileRead none, damaged{std::nullopt, "empty"}, whole{take, {}};
    EXPECT_EQ(MatchTake(none, 5), TakeMatch::NoTakeFile);
    EXPECT_EQ(MatchTake(none, 0), TakeMatch::NoTakeFile) << "a capture of an earlier build";
    EXPECT_EQ(MatchTake(whole, take.id), TakeMatch::Same);
    EXPECT_EQ(MatchTake(whole, 0), TakeMatch::Replaced);
    EXPECT_EQ(MatchTake(damaged, take.id), TakeMatch::Untold);
    EXPECT_EQ(MatchTake(damaged, 0), TakeMatch::Untold);
    TakeFile gone = take;
    gone.removed = TakeTimeText(2026, 12, 11, 8, 0, 0);
    const TakeFileRead removed = ParseTakeFile(FormatTakeFile(gone));
    ASSERT_TRUE(removed.take) << removed.damage;
    EXPECT_EQ(removed.take->removed, gone.removed);
    EXPECT_EQ(MatchTake(removed, take.id), TakeMatch::Removed) << "never Same once removed";
    EXPECT_EQ(MatchTake(removed, take.id + 1), TakeMatch::Replaced);

    TakeFile striped = take;
    striped.stripe = 2;
    striped.stripeFiles = {"D:\\caps\\take", "E:\\caps\\take-2", "\\\\nas\\v\\take"};
    const TakeFileRead back = ParseTakeFile(FormatTakeFile(striped));
    ASSERT_TRUE(back.take) << back.damage;
    EXPECT_EQ(back.take->stripe, 2u);
    EXPECT_EQ(back.take->stripeFiles, striped.stripeFiles);
    EXPECT_TRUE(ParseTakeFile(FormatTakeFile(take)).take->stripeFiles.empty());
}

TEST(TakeFiles, AnythingElseIsADamagedTakeFileThatSaysWhy) {
    const std::string good = "[take]\nid=0000beef\n";
    ASSERT_TRUE(ParseTakeFile(good).take);
    EXPECT_TRUE(ParseTakeFile(good + "later=key\nno equals sign\n").take) << "unknown lines";
    EXPECT_TRUE(ParseTakeFile(good + "later=1\nlater=2\n").take) << "unknown keys repeat";
    EXPECT_EQ(ParseTakeFile(good + "replaced=0000cafe\r\nreplaced=0000f00d\r\n").take->replaced,
              (std::vector<EarlierTake>{{0xCAFE, ""}, {0xF00D, ""}}));
    for (const std::string& bad :
         {std::string("id=0000beef\n"), std::string("[take]\nid=beef\n"),
          good + "frames=18446744073709551616\n", good + "input=zz\n",
          good + "replaced=0000beef yesterday\n", good + "replaced=00000000\n",
          good + "replaced=\n", good + "frames=1\nframes=2\n",
          // Stripes: a place outside the files, a file alone, too many, a place twice.
          good + "stripe=2\nstripefile=d:\\a\nstripefile=e:\\a\n",
          good + "stripe=0\nstripefile=d:\\a\n", good + "stripefile=d:\\a\nstripefile=e:\\a\n",
          good + "stripe=0\n"
                 "stripefile=a\nstripefile=b\nstripefile=c\nstripefile=d\nstripefile=e\n",
          good + "stripe=0\nstripe=1\nstripefile=d:\\a\nstripefile=e:\\a\n", good + "stripe=4\n",
          good + "stripefile=\n",
          good + "stream=" + std::string(2 * kMaxTakeFormatBytes + 2, '0') + "\n",
          good + std::string(kMaxTakeFileBytes, ' ')}) {
        const TakeFileRead read = ParseTakeFile(bad);
        EXPECT_FALSE(read.take) << bad.substr(0, 60);
        EXPECT_FALSE(read.damage.empty()) << bad.substr(0, 60);
    }
    // Every row of the hostile list that is text, from a take file as the codec writes it.
    TakeFile other;
    other.id = 0x0BADCAFE;
    other.started = TakeTimeText(2026, 1, 2, 3, 4, 5);
    other.streamFormat = std::vector<uint8_t>(52, 0x5A);
    other.frames = 3;
    other.ended = TakeTimeText(2026, 1, 2, 3, 5, 0);
    const std::string real = FormatTakeFile(other);
    size_t rows = 0;
    for (const hostile::TakeFileRow& row : hostile::TakeFileRows()) {
        if (row.entry != hostile::Entry::Text)
            continue;
        ++rows;
        const TakeFileRead read = ParseTakeFile(row.text(real));
        EXPECT_EQ(read.take.has_value(), row.valid) << row.name << ": " << read.damage;
        EXPECT_NE(read.damage.find(row.damage), std::string::npos)
            << row.name << ": \"" << read.damage << "\" does not say \"" << row.damage << "\"";
        EXPECT_EQ(MatchTake(read, 0x8F3A91C2u), row.valid ? TakeMatch::Replaced : TakeMatch::Untold)
            << row.name;
    }
    EXPECT_EQ(rows, 29u);
}

TEST(PixelKinds, ClassificationTable) {
    EXPECT_EQ(ClassifyPixelKind(kFourccYuy2, 16), KIND_YUY2);
    EXPECT_EQ(ClassifyPixelKind(kFourccVyuy, 16), KIND_YUY2);
    EXPECT_EQ(ClassifyPixelKind(kFourccUyvy, 16), KIND_UYVY);
    EXPECT_EQ(ClassifyPixelKind(0, 24), KIND_RGB24);
    EXPECT_EQ(ClassifyPixelKind(kFourccDib, 32), KIND_RGB32);
    EXPECT_EQ(ClassifyPixelKind(0, 16), KIND_NONE);
    EXPECT_EQ(ClassifyPixelKind(0, 8), KIND_NONE) << "a palettized bitmap is no kind of the codec";
    EXPECT_EQ(ClassifyPixelKind(kFourccKest, 0), KIND_STORED);
    EXPECT_EQ(ClassifyPixelKind(MakeFourcc('y', 'u', 'y', '2'), 16), KIND_NONE) << "case matters";
}

// A row that an earlier one shadows, a kind or name given twice, a stored kind that cannot be
// exported or played as itself: each would compile and misbehave at one site only.
TEST(PixelKinds, EveryRowIsFoundAndComplete) {
    for (const PixelFormat& f : kPixelFormats) {
        SCOPED_TRACE(f.name);
        EXPECT_EQ(FormatOf(f.kind), &f);
        EXPECT_EQ(FormatNamed(f.name), &f);
        EXPECT_EQ(ClassifyPixelKind(f.fourcc, f.bitCount) == f.kind, f.recognised);
        EXPECT_EQ(ClassifyPixelKind(f.alsoRead, f.bitCount) == f.kind, f.recognised);
        EXPECT_EQ(ClassifyPixelKind(f.alsoReadToo, f.bitCount) == f.kind, f.recognised);
        // A planar kind counts its chroma samples in its bits a pixel: 12 for 4:2:0 bytes. Rows
        // sized by bytes a pixel need whole bytes; a 10-bit kind's rows are whole blocks.
        const uint32_t sampleBits = 8 * f.planes.sampleBytes;
        const uint32_t planarBits =
            f.planes.count == 1
                ? 0
                : sampleBits + 2 * sampleBits / (1u << (f.planes.shiftX + f.planes.shiftY));
        if (f.layout == Layout::Planar) {
            EXPECT_TRUE(f.bitCount == planarBits && f.planes.count > 1);
        } else {
            EXPECT_TRUE(f.planes.count == 1 && !f.planes.shiftX && !f.planes.shiftY);
            EXPECT_TRUE(f.layout == Layout::Packed10 ||
                        (f.bitCount % 8 == 0 && f.bitCount >= 8 && f.bitCount <= 32));
        }
        if (f.stored) {
            EXPECT_TRUE(f.recognised);
            // YV12 has no pixel format of FFmpeg's that keeps its bytes: its export is refused.
            EXPECT_EQ(f.ffmpegName == nullptr, f.kind == KIND_YV12);
            EXPECT_NE(ChooseRawOp(f.kind, f.kind), RawOp::Refuse);
        }
    }
    EXPECT_EQ(FormatOf(KIND_NONE), nullptr);
    EXPECT_EQ(FormatOf(KIND_STORED), nullptr);
    EXPECT_EQ(FormatNamed("YUY2"), nullptr) << "the tools' names are lower case";
    for (const RawConversionRow& r : kRawConversions) {
        SCOPED_TRACE(std::to_string(r.source) + " as " + std::to_string(r.output));
        ASSERT_NE(FormatOf(r.source), nullptr);
        EXPECT_TRUE(FormatOf(r.source)->recognised);
        EXPECT_NE(FormatOf(r.offered), nullptr);
        EXPECT_EQ(ConversionFor(r.source, r.output), &r) << "shadowed by an earlier row";
        const bool converts = r.op != RawOp::Refuse && r.op != RawOp::Copy && r.op != RawOp::Swap;
        EXPECT_EQ(Converts(r.op), converts);
        // Every level runs a kernel for every converting row, its own or one from below.
        for (KernelLevel level : {KernelLevel::Scalar, KernelLevel::Sse2, KernelLevel::Ssse3,
                                  KernelLevel::Avx2, KernelLevel::Avx512}) {
            const repack_detail::RepackKernels& k = repack_detail::KernelsAt(level);
            EXPECT_EQ((k.rows[size_t(r.op)] != nullptr) + // a kernel of one of the two kinds
                          (k.planarRows[size_t(r.op)] != nullptr),
                      int(converts));
            EXPECT_TRUE(repack_detail::HasEveryRow(k)) << int(level);
        }
    }
}

TEST(PixelKinds, FourccsAreSpelledAndShownLowByteFirst) {
    EXPECT_EQ(MakeFourcc("KEST"), kFourccKest);
    EXPECT_EQ(FourccText(kFourccUyvy), "UYVY");
    EXPECT_EQ(FourccText(0), "....");
    // Bytes beyond ASCII are signed as plain chars: they must not pass as printable.
    EXPECT_EQ(FourccText(MakeFourcc('a', '\x7f', ' ', '\xe9'), '?'), "a? ?");
    EXPECT_TRUE(IsPrintableFourcc(MakeFourcc("rec ")));
    EXPECT_FALSE(IsPrintableFourcc(MakeFourcc('M', 'J', 'P', '\xe9')));
    EXPECT_FALSE(IsPrintableFourcc(0));
}

TEST(Sizes, PictureBytesAreComputedWideAndRefusedWhenTheyDoNotFit) {
    EXPECT_EQ(PictureBytes(720, 480, 16), 691200u);
    EXPECT_EQ(PictureBytes(720, -480, 16), 691200u);
    EXPECT_FALSE(PictureBytes(0, 480, 16));
    EXPECT_FALSE(PictureBytes(65536, 65536, 8));
    EXPECT_EQ(PictureBytes(65536, 65535, 8), 65536u * 65535u);
    EXPECT_FALSE(PictureBytes(INT32_MIN, INT32_MIN, 32));
    EXPECT_EQ(AbsoluteHeight(-480), 480u);
    EXPECT_EQ(AbsoluteHeight(480), 480u);
    EXPECT_EQ(AbsoluteHeight(INT32_MIN), 2147483648u) << "no signed overflow";
    EXPECT_EQ(RoundUpToPage(691200, 4096), 692224u);
    EXPECT_EQ(RoundUpToPage(921600, 4096), 921600u);
    EXPECT_EQ(RoundUpToPage(0, 4096), 0u);
    EXPECT_EQ(RoundUpToPage(0xFFFFF001ull, 4096), 0x100000000ull) << "no 32-bit wrap";

    BitmapHeader h{40, 32768, 16384, 1, 24, 0, 0, 0, 0, 0, 0};
    EXPECT_FALSE(LargestFrameBytes(h)) << "w x h x 5 does not fit a signed 32-bit answer";
    h.biWidth = 320;
    h.biHeight = 240;
    EXPECT_EQ(LargestFrameBytes(h), 384000);
    EXPECT_EQ(InputImageBytes(h), 230400u) << "a zero biSizeImage is computed";
    h.biSizeImage = 1234;
    EXPECT_EQ(InputImageBytes(h), 1234u);
}

TEST(StreamFormats, ShortOrLyingHeadersAreNotFormats) {
    std::vector<uint8_t> bytes(64, 0);
    uint32_t size = 52;
    std::memcpy(bytes.data(), &size, 4);
    EXPECT_TRUE(ReadStreamFormat(bytes.data()));
    uint32_t chain = 13;
    std::memcpy(bytes.data() + 48, &chain, 4);
    EXPECT_FALSE(ReadStreamFormat(bytes.data())) << "claims more than biSize covers";
    size = 65;
    std::memcpy(bytes.data(), &size, 4);
    EXPECT_TRUE(ReadStreamFormat(bytes.data()));
    size = 51;
    std::memcpy(bytes.data(), &size, 4);
    EXPECT_FALSE(ReadStreamFormat(bytes.data()));
    EXPECT_FALSE(ReadBitmapHeader(nullptr));
}

TEST(StreamFormats, RawOutputTable) {
    struct Row {
        uint32_t source;
        uint16_t bits;
        PixelKind wanted;
        bool listed;
        uint32_t compression;
        uint16_t outBits;
        uint32_t sizeImage = 0; // 0: the width, height and bit count's product
    } rows[] = {
        {kFourccYuy2, 16, KIND_YUY2, true, kFourccYuy2, 16},
        {kFourccYuy2, 16, KIND_UYVY, false, 0, 0},
        {kFourccYuy2, 16, KIND_NONE, true, 0, 24},
        {kFourccYuy2, 16, KIND_RGB32, true, 0, 32},
        {kFourccUyvy, 16, KIND_UYVY, true, kFourccYuy2, 16},
        {kFourccUyvy, 16, KIND_RGB24, true, 0, 24},
        {0, 24, KIND_RGB24, true, 0, 24},
        {0, 24, KIND_RGB32, true, 0, 32},
        {0, 24, KIND_YUY2, false, 0, 0},
        {0, 32, KIND_YUY2, true, 0, 32},
        // Ten pixels of 10-bit 4:2:2 take one block of 128 bytes a row.
        {kFourccV210, 20, KIND_V210, true, kFourccV210, 20, 128 * 4},
        {kFourccV210, 20, KIND_YUY2, true, kFourccYuy2, 16},
        {kFourccV210, 20, KIND_NONE, true, 0, 24},
        {kFourccV210, 20, KIND_UYVY, false, 0, 0},
        {kFourccP010, 24, KIND_P010, true, kFourccP010, 24},
        {kFourccP010, 24, KIND_YUY2, true, kFourccYuy2, 16},
        {kFourccP010, 24, KIND_NONE, true, 0, 24},
        {kFourccP010, 24, KIND_NV12, false, 0, 0},
    };
    for (const Row& r : rows) {
        StreamFormatHeader in{};
        in.biSize = 52;
        in.biWidth = 10;
        in.biHeight = -4;
        in.biBitCount = r.bits;
        in.biCompression = kFourccKest;
        in.biSourceCompression = r.source;
        BitmapHeader out;
        EXPECT_EQ(CompleteRawOutputFormat(in, r.wanted, out), r.listed) << r.source << r.wanted;
        EXPECT_EQ(out.biSize, 40u);
        EXPECT_EQ(out.biPlanes, 1);
        if (r.listed) {
            EXPECT_EQ(out.biCompression, r.compression);
            EXPECT_EQ(out.biBitCount, r.outBits);
            EXPECT_EQ(out.biSizeImage, r.sizeImage ? r.sizeImage : 10u * 4 * r.outBits / 8)
                << "top-down counts its rows";
        } else {
            EXPECT_EQ(out.biCompression, kFourccKest);
            EXPECT_EQ(out.biBitCount, r.bits);
        }
    }
    EXPECT_TRUE(RawOutputAccepted(KIND_NONE, KIND_RGB24));
    EXPECT_FALSE(RawOutputAccepted(KIND_YUY2, KIND_UYVY));
    EXPECT_TRUE(RawOutputAccepted(KIND_UYVY, KIND_UYVY));
}

TEST(SettingsText, ProfilePathPieceNamesAndDrives) {
    EXPECT_EQ(ProfilePathForModule("C:\\windows\\system32\\kestro32.dll"),
              "C:\\windows\\system32\\\\kestdisk.ini");
    EXPECT_EQ(FormatPieceName("c:\\kestro", 0), "c:\\kestro.000");
    EXPECT_EQ(FormatPieceName("c:\\kestro", 499), "c:\\kestro.499");
    EXPECT_EQ(DriveOf("D:\\video\\take"), "D:");
    EXPECT_EQ(DriveOf("video\\take"), "");
    EXPECT_EQ(DriveOf("\\\\server\\share"), "");
    EXPECT_EQ(DriveOf("1:\\x"), "");
}

} // namespace
