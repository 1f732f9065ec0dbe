// Frames captured by the codec's own writers come back through the codec manager, and through
// avifil32 from an AVI file holding the records.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

#include "ConversionOracle.h"
#include "PlaybackSupport.h"
#include "edge/TakeFiles.h"
#include "pure/PixelRepack.h"
#include "pure/RawConversions.h"

using namespace kp;

namespace {

struct Captured {
    kt::Format stream;
    std::vector<Bytes> records;
};

// One capture run through "KEST" of `count` frames, each as `frame` gives it: the stream format
// and one record per frame.
template <typename Frame> Captured Capture(const kt::Format& in, uint32_t count, Frame frame) {
    Captured run;
    kt::Hic hic = kt::OpenKest(ICMODE_COMPRESS);
    EXPECT_TRUE(hic);
    if (!hic)
        return run;
    run.stream = kt::StreamFormatFor(hic.get(), in);
    EXPECT_FALSE(run.stream.bytes.empty());
    if (run.stream.bytes.empty())
        return run;
    EXPECT_EQ(ICCompressBegin(hic.get(), in.header(), run.stream.header()), ICERR_OK);
    for (uint32_t i = 0; i < count; ++i) {
        const Bytes& picture = frame(i);
        Bytes record(512, 0);
        DWORD ckid = 0, flags = 0;
        LRESULT result = ICCompress(hic.get(), 0, run.stream.header(), record.data(),
                                    const_cast<BITMAPINFOHEADER*>(in.header()),
                                    const_cast<uint8_t*>(picture.data()), &ckid, &flags, LONG(i), 0,
                                    0, nullptr, nullptr);
        EXPECT_EQ(result, ICERR_OK) << "frame " << i;
        record.resize(run.stream.header()->biSizeImage);
        run.records.push_back(record);
    }
    EXPECT_EQ(ICCompressEnd(hic.get()), ICERR_OK);
    run.stream.header()->biSizeImage = 0;
    return run;
}

Captured Capture(const kt::Format& in, const std::vector<Bytes>& frames) {
    return Capture(in, uint32_t(frames.size()),
                   [&](uint32_t i) -> const Bytes& { return frames[i]; });
}

// Every output the conversion table delivers from the stored kind, in both row orders where the
// output has them, frames out of order: each as the oracle makes it from the stored frame.
void ExpectEveryConversion(const Captured& run, const kt::Format& in,
                           const std::vector<Bytes>& frames) {
    using namespace kestro;
    const LONG w = in.header()->biWidth, h = in.header()->biHeight;
    const PixelKind source = ClassifyPixelKind(in.header()->biCompression, in.header()->biBitCount);
    for (const RawConversionRow& row : kRawConversions) {
        if (row.source != source || row.anyOutput || row.op == RawOp::Refuse)
            continue;
        const PixelFormat& output = *FormatOf(row.output);
        for (LONG outHeight : {h, -h}) {
            if (outHeight < 0 && output.rows == RowOrder::TopFirst)
                continue;
            SCOPED_TRACE(::testing::Message() << "as " << output.name << " height " << outHeight);
            Player player(run.stream, kt::MakeFormat(w, outHeight, output.fourcc, output.bitCount));
            ASSERT_EQ(player.Begin(), ICERR_OK);
            const oracle::Request request{source, h, row.output, outHeight, w, true};
            Bytes picture;
            for (int i : {4, 0, 2, 2, 1}) {
                auto expected = oracle::ExpectedOutput(request, frames[size_t(i)].data());
                ASSERT_TRUE(expected);
                ASSERT_EQ(player.Play(run.records[size_t(i)], picture), ICERR_OK) << "frame " << i;
                EXPECT_EQ(picture, expected->bytes) << "frame " << i;
            }
        }
    }
}

struct RawCase {
    const char* name;
    DWORD compression;
    WORD bits;
};

// Every code of every kind a capture stores raw, from the kinds' rows.
std::vector<RawCase> StoredCodes() {
    std::vector<RawCase> cases;
    for (const kestro::PixelFormat& f : kestro::kPixelFormats) {
        if (!f.stored)
            continue;
        for (uint32_t code : {f.fourcc, f.alsoRead, f.alsoReadToo}) {
            bool seen = false;
            for (const RawCase& c : cases)
                seen = seen || (c.compression == code && c.bits == f.bitCount);
            if (!seen)
                cases.push_back({f.name, code, f.bitCount});
        }
    }
    return cases;
}

// (fastwrite, fastread)
class CaptureRoundTrip : public ::testing::TestWithParam<std::tuple<bool, bool>> {
protected:
    void Settings(std::map<std::string, std::string> extra = {}) {
        dir = kt::DataDir("round-" + TestName());
        extra["filename"] = dir + "\\cap";
        extra["fastwrite"] = std::get<0>(GetParam()) ? "1" : "0";
        extra["fastread"] = std::get<1>(GetParam()) ? "1" : "0";
        kt::WriteIni(extra);
    }
    void TearDown() override { kt::RemoveIni(); }
    std::string dir;
};

TEST_P(CaptureRoundTrip, RawFramesComeBackAsTheyWent) {
    const std::vector<RawCase> cases = StoredCodes();
    Settings();
    for (const RawCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.name << " code " << std::hex << c.compression);
        kt::Format in = kt::MakeFormat(64, 64, c.compression, c.bits);
        std::vector<Bytes> frames;
        for (uint32_t i = 0; i < 5; ++i)
            frames.push_back(Noise(in.header()->biSizeImage, 1000 + i));
        Captured run = Capture(in, frames);
        ASSERT_EQ(run.records.size(), frames.size());

        Player player(run.stream, in);
        ASSERT_EQ(player.Begin(), ICERR_OK);
        Bytes picture;
        for (int i : {0, 1, 2, 3, 4, 1, 0, 0, 4}) {
            ASSERT_EQ(player.Play(run.records[i], picture), ICERR_OK) << "frame " << i;
            EXPECT_EQ(picture, frames[i]) << "frame " << i;
        }
        if (c.compression == kt::kYuy2 || c.compression == kt::kUyvy) { // and as RGB
            Player rgb(run.stream, kt::MakeFormat(64, 64, BI_RGB, 32));
            Bytes expected(64 * 64 * 4);
            for (int i : {3, 4, 0}) {
                ASSERT_EQ(rgb.Play(run.records[i], picture), ICERR_OK);
                if (c.compression == kt::kYuy2)
                    kestro::reference::Yuy2ToRgb32(frames[i].data(), expected.data(), 64, 64);
                else
                    kestro::reference::UyvyToRgb32(frames[i].data(), expected.data(), 64, 64);
                EXPECT_EQ(picture, expected) << "frame " << i;
            }
        }
        ExpectEveryConversion(run, in, frames);
    }
}

// Every capture into a data file replaces the take it held: the AVI of the earlier take gets no
// picture at all, not the later take's pictures; so does an AVI whose pieces now hold another
// machine's take (another take file at the same path). Without a take file frames play as before.
TEST_P(CaptureRoundTrip, FramesOfAReplacedTakeAreRefused) {
    Settings();
    kt::Format in = kt::MakeFormat(64, 64, kt::kYuy2, 16);
    std::vector<Bytes> first, second;
    for (uint32_t i = 0; i < 4; ++i) {
        first.push_back(Noise(in.header()->biSizeImage, 1300 + i));
        second.push_back(Noise(in.header()->biSizeImage, 1400 + i));
    }
    Captured a = Capture(in, first);
    Captured b = Capture(in, second); // this host knows nothing of the take before
    ASSERT_EQ(a.records.size(), 4u);
    ASSERT_EQ(b.records.size(), 4u);
    const std::string takeFile = dir + "\\cap.take";
    const std::string heldByB = kt::ReadFileBytes(takeFile);
    ASSERT_FALSE(heldByB.empty());

    const Bytes untouched(in.header()->biSizeImage, 0xEE);
    auto expectPlays = [&](const Captured& run, const std::vector<Bytes>& frames, bool plays,
                           std::initializer_list<int> order) {
        Player player(run.stream, in);
        ASSERT_EQ(player.Begin(), ICERR_OK);
        Bytes picture;
        for (int i : order) {
            const LRESULT result = player.Play(run.records[i], picture);
            EXPECT_EQ(result, plays ? ICERR_OK : ICERR_BADFORMAT) << "frame " << i;
            EXPECT_EQ(picture, plays ? frames[i] : untouched) << "frame " << i;
        }
    };
    expectPlays(a, first, false, {0, 1, 2, 3, 2, 0});
    expectPlays(b, second, true, {0, 1, 2, 3, 1});
    {
        // Records of both takes in one stream: a frame of the earlier take is refused also where
        // the reads ahead of the later one already hold its position.
        Player player(a.stream, in);
        ASSERT_EQ(player.Begin(), ICERR_OK);
        Bytes picture;
        for (int i = 0; i < 4; ++i) {
            ASSERT_EQ(player.Play(b.records[i], picture), ICERR_OK) << "frame " << i;
            EXPECT_EQ(picture, second[i]);
            if (i + 1 < 4) {
                EXPECT_EQ(player.Play(a.records[i + 1], picture), ICERR_BADFORMAT) << i + 1;
                EXPECT_EQ(picture, untouched);
            }
        }
    }

    // The pieces as another machine's take left them, under the same name.
    std::string other = heldByB;
    const size_t id = other.find("id=") + 3;
    other[id] = other[id] == '0' ? '1' : '0';
    kt::WriteFileBytes(takeFile, other);
    expectPlays(b, second, false, {0, 1, 3});
    // A data file without a take file plays as captures of earlier builds did.
    DeleteFileA(takeFile.c_str());
    expectPlays(b, second, true, {0, 1, 2, 3});
    kt::WriteFileBytes(takeFile, heldByB);
    expectPlays(b, second, true, {3, 2});
}

// The codec's reader over the hostile list of take files: no frame beside any of them is
// delivered, and the host's picture is left as it was.
TEST_P(CaptureRoundTrip, NoFrameBesideAHostileTakeFileIsDelivered) {
    Settings();
    kt::Format in = kt::MakeFormat(64, 64, kt::kYuy2, 16);
    std::vector<Bytes> frames;
    for (uint32_t i = 0; i < 3; ++i)
        frames.push_back(Noise(in.header()->biSizeImage, 1500 + i));
    kestro::TakeFile later;
    later.id = 0x0BADCAFE;
    later.started = kestro::TakeTimeText(2026, 12, 2, 9, 30, 0);
    const std::string real = kestro::FormatTakeFile(later);
    const Bytes untouched(in.header()->biSizeImage, 0xEE);
    for (const hostile::TakeFileRow& row : hostile::TakeFileRows()) {
        // Wine shows a Windows program no dangling link (hostile_takes.sh).
        if (row.entry == hostile::Entry::DanglingLink)
            continue;
        SCOPED_TRACE(row.name);
        const std::string folder = HostileTakeFolder(row.entry, dir);
        const std::string take = folder + "\\kestro.take";
        const auto placed = WriteDataFile(folder + "\\kestro.000", frames);
        if (row.entry == hostile::Entry::Text) {
            kt::WriteFileBytes(take, row.text(real));
        } else if (row.entry == hostile::Entry::Folder) {
            ASSERT_TRUE(CreateDirectoryA(take.c_str(), nullptr));
        }
        const kestro::TakeFileRead read = kestro::ReadTakeFileAt(take);
        ASSERT_EQ(read.take.has_value(), row.valid) << read.damage;
        Player player(RawStream(64, 64, kt::kYuy2, 16), in);
        ASSERT_EQ(player.Begin(), ICERR_OK);
        Bytes picture;
        for (int i : {0, 1, 2, 1}) {
            EXPECT_EQ(player.Play(MakeRecord(placed[size_t(i)]), picture), ICERR_BADFORMAT) << i;
            EXPECT_EQ(picture, untouched) << "frame " << i;
        }
        player.End();
        DeleteFileA((folder + "\\kestro.000").c_str());
        if (row.entry == hostile::Entry::Text)
            DeleteFileA(take.c_str());
        if (row.entry == hostile::Entry::Folder)
            RemoveDirectoryA(take.c_str());
    }
}

// The codec's writer over the same list: a capture into a data file whose take file is any of
// them leaves one its own reader reads whole, naming its take, and its frames play. A take file
// it cannot replace (a folder) stays, and the frames beside it are refused like any others.
TEST_P(CaptureRoundTrip, EveryCaptureLeavesATakeFileItsReaderReads) {
    Settings();
    kt::Format in = kt::MakeFormat(64, 64, kt::kYuy2, 16);
    std::vector<Bytes> frames;
    for (uint32_t i = 0; i < 2; ++i)
        frames.push_back(Noise(in.header()->biSizeImage, 1600 + i));
    const std::string takeFile = dir + "\\cap.take";
    kestro::TakeFile other;
    other.id = 0x0BADCAFE;
    other.started = kestro::TakeTimeText(2026, 12, 2, 9, 30, 0);
    const std::string real = kestro::FormatTakeFile(other);
    for (const hostile::TakeFileRow& row : hostile::TakeFileRows()) {
        if (row.entry != hostile::Entry::Text && row.entry != hostile::Entry::Folder)
            continue;
        SCOPED_TRACE(row.name);
        DeleteFileA(takeFile.c_str());
        if (row.entry == hostile::Entry::Text) {
            kt::WriteFileBytes(takeFile, row.text(real));
        } else {
            ASSERT_TRUE(CreateDirectoryA(takeFile.c_str(), nullptr));
        }
        Captured run = Capture(in, frames);
        ASSERT_EQ(run.records.size(), frames.size());
        uint32_t id = 0;
        std::memcpy(&id, run.records[0].data() + 12, 4);
        const kestro::TakeFileRead read = kestro::ReadTakeFileAt(takeFile);
        Player player(run.stream, in);
        ASSERT_EQ(player.Begin(), ICERR_OK);
        Bytes picture;
        if (row.entry == hostile::Entry::Folder) {
            EXPECT_EQ(read.damage, "is a folder");
            EXPECT_EQ(player.Play(run.records[0], picture), ICERR_BADFORMAT);
            player.End();
            RemoveDirectoryA(takeFile.c_str());
            continue;
        }
        ASSERT_TRUE(read.take) << read.damage;
        EXPECT_EQ(read.take->id, id);
        EXPECT_EQ(read.take->frames, frames.size());
        EXPECT_EQ(read.take->replaced.empty(), !row.valid) << "only a whole take file is history";
        for (size_t i = 0; i < frames.size(); ++i) {
            ASSERT_EQ(player.Play(run.records[i], picture), ICERR_OK) << "frame " << i;
            EXPECT_EQ(picture, frames[i]);
        }
        player.End();
    }
}

// Each frame of a long run: a picture whose first and last bytes carry its index.
class StampedFrames {
public:
    StampedFrames(size_t bytes, uint32_t seed) : picture_(Noise(bytes, seed)) {}
    const Bytes& For(uint32_t index) {
        for (size_t at : {size_t(0), picture_.size() - 16})
            for (size_t i = 0; i < 16; i += 4)
                std::memcpy(picture_.data() + at + i, &index, 4);
        return picture_;
    }

private:
    Bytes picture_;
};

bool InPiece(const Bytes& record, const char* extension) {
    const std::string name = reinterpret_cast<const char*>(record.data() + 16);
    return name.size() > 4 && name.substr(name.size() - 4) == extension;
}

// Pieces of the smallest size (1 GiB) filled and passed: frames of every kind before and after
// the switch come back from both pieces as themselves and through every conversion, out of order.
// Each reader takes half of the kinds, so that both writers split every kind once.
TEST_P(CaptureRoundTrip, SplittingWritersRecordsPlay) {
    Settings({{"divide", "1"}, {"dividesize", "1"}});
    const RawCase cases[] = {{"YUY2", kt::kYuy2, 16},           {"RGB32", BI_RGB, 32},
                             {"YVYU", kestro::kFourccYvyu, 16}, {"HDYC", kestro::kFourccHdyc, 16},
                             {"Y800", kestro::kFourccY800, 8},  {"NV12", kestro::kFourccNv12, 12},
                             {"I420", kestro::kFourccI420, 12}, {"YV12", kestro::kFourccYv12, 12},
                             {"V210", kestro::kFourccV210, 20}, {"P010", kestro::kFourccP010, 24}};
    constexpr uint64_t kGiB = uint64_t(1) << 30;
    for (size_t k = std::get<1>(GetParam()) ? 1 : 0; k < std::size(cases); k += 2) {
        const RawCase& c = cases[k];
        SCOPED_TRACE(c.name);
        kt::Format in = kt::MakeFormat(1024, 512, c.compression, c.bits);
        const size_t bytes = in.header()->biSizeImage;
        StampedFrames frames(bytes, 1100 + uint32_t(k));
        std::vector<Bytes> played;
        Captured run = Capture(in, uint32_t(kGiB / bytes + 4),
                               [&](uint32_t i) -> const Bytes& { return frames.For(i); });
        size_t first = 0; // the first frame of piece 1
        while (first < run.records.size() && InPiece(run.records[first], ".000"))
            ++first;
        ASSERT_GE(first, 2u);
        ASSERT_LE(first + 3, run.records.size()) << "the run never reached piece 1";
        uint64_t offset = 1;
        std::memcpy(&offset, run.records[first].data(), 8);
        EXPECT_EQ(offset, 0u) << "piece 1 starts with its first frame";
        Captured boundary{run.stream, {}};
        for (size_t i : {first - 1, first, first - 2, first + 1, first + 2}) {
            EXPECT_TRUE(InPiece(run.records[i], i < first ? ".000" : ".001")) << "frame " << i;
            boundary.records.push_back(run.records[i]);
            played.push_back(frames.For(uint32_t(i)));
        }
        Player player(run.stream, in);
        Bytes picture;
        for (int i : {0, 1, 2, 3, 4, 1, 0, 0, 4}) {
            ASSERT_EQ(player.Play(boundary.records[size_t(i)], picture), ICERR_OK) << "frame " << i;
            EXPECT_EQ(picture, played[size_t(i)]) << "frame " << i;
        }
        ExpectEveryConversion(boundary, in, played);
        for (const char* piece : {"\\cap.000", "\\cap.001"})
            DeleteFileA((dir + piece).c_str());
    }
}

Bytes Palettized(LONG width, LONG height, uint32_t seed) {
    Bytes bits = Noise(size_t(width) * height, seed);
    for (LONG y = 0; y < height; ++y)
        for (LONG x = 0; x < width; ++x)
            if ((x / 8 + y + seed) % 3 != 0)
                bits[size_t(y) * width + x] = uint8_t(seed * 16 + y);
    return bits;
}

TEST_P(CaptureRoundTrip, MrleChainedFramesDecodeAsMrleDecodesThem) {
    Settings({{"fourcc", std::to_string(int32_t(kt::kMrle))}});
    constexpr LONG w = 96, h = 40;
    kt::Format in = kt::MakePalettized(w, h);
    std::vector<Bytes> frames;
    for (uint32_t i = 0; i < 5; ++i)
        frames.push_back(Palettized(w, h, i));
    Captured run = Capture(in, frames);
    ASSERT_EQ(run.records.size(), frames.size());

    // What MRLE makes of each stored frame, read straight from the data file.
    auto stream = run.stream;
    uint32_t chainedBytes;
    std::memcpy(&chainedBytes, stream.bytes.data() + 48, 4);
    ASSERT_EQ(std::memcmp(stream.bytes.data() + 44, &kt::kMrle, 4), 0);
    kt::Format chained;
    chained.bytes.assign(stream.bytes.begin() + 52, stream.bytes.begin() + 52 + chainedBytes);
    kt::Format out = kt::MakePalettized(w, h);
    std::vector<Bytes> expected;
    {
        kt::Hic mrle(ICOpen(ICTYPE_VIDEO, kt::kMrle, ICMODE_DECOMPRESS));
        ASSERT_TRUE(mrle);
        for (const Bytes& record : run.records) {
            uint64_t offset;
            uint32_t size;
            std::memcpy(&offset, record.data(), 8);
            std::memcpy(&size, record.data() + 8, 4);
            std::string file = kt::ReadFileBytes(reinterpret_cast<const char*>(record.data() + 16));
            ASSERT_LE(offset + size, file.size());
            Bytes data(file.begin() + offset, file.begin() + offset + size);
            chained.header()->biSizeImage = size;
            // Frames compressed without the key-frame request may skip pixels, which keep
            // what the buffer held: the same filler the player starts from.
            Bytes picture(out.header()->biSizeImage, 0xEE);
            ASSERT_EQ(ICDecompress(mrle.get(), 0, chained.header(), data.data(), out.header(),
                                   picture.data()),
                      ICERR_OK);
            expected.push_back(picture);
        }
    }
    Player player(run.stream, out);
    ASSERT_EQ(player.Begin(), ICERR_OK);
    Bytes picture;
    for (int i : {0, 1, 2, 3, 4, 3, 0}) {
        ASSERT_EQ(player.Play(run.records[i], picture), ICERR_OK) << "frame " << i;
        EXPECT_EQ(picture, expected[i]) << "frame " << i;
    }
}

TEST_P(CaptureRoundTrip, AviWrittenWithAvifilPlaysThroughGetFrame) {
    Settings();
    constexpr LONG w = 64, h = 32;
    kt::Format in = kt::MakeFormat(w, h, kt::kUyvy, 16);
    std::vector<Bytes> frames;
    for (uint32_t i = 0; i < 4; ++i)
        frames.push_back(Noise(in.header()->biSizeImage, 1200 + i));
    Captured run = Capture(in, frames);
    ASSERT_EQ(run.records.size(), frames.size());

    AVIFileInit();
    std::string file = dir + "\\capture.avi";
    {
        PAVIFILE avi = nullptr;
        ASSERT_EQ(AVIFileOpenA(&avi, file.c_str(), OF_CREATE | OF_WRITE, nullptr), 0);
        AVISTREAMINFOA info{};
        info.fccType = streamtypeVIDEO;
        info.fccHandler = kt::kKest;
        info.dwScale = 1;
        info.dwRate = 30;
        SetRect(&info.rcFrame, 0, 0, w, h);
        PAVISTREAM stream = nullptr;
        ASSERT_EQ(AVIFileCreateStreamA(avi, &stream, &info), 0);
        ASSERT_EQ(
            AVIStreamSetFormat(stream, 0, run.stream.bytes.data(), LONG(run.stream.bytes.size())),
            0);
        for (size_t i = 0; i < run.records.size(); ++i)
            ASSERT_EQ(AVIStreamWrite(stream, LONG(i), 1, run.records[i].data(),
                                     LONG(run.records[i].size()), AVIIF_KEYFRAME, nullptr, nullptr),
                      0);
        AVIStreamRelease(stream);
        AVIFileRelease(avi);
    }
    PAVISTREAM stream = nullptr;
    ASSERT_EQ(AVIStreamOpenFromFileA(&stream, file.c_str(), streamtypeVIDEO, 0, OF_READ, nullptr),
              0);
    kt::Format wanted = kt::MakeFormat(w, h, BI_RGB, 24);
    PGETFRAME getter = AVIStreamGetFrameOpen(stream, wanted.header());
    ASSERT_NE(getter, nullptr);
    for (LONG i : {0, 1, 2, 3, 1}) {
        auto* dib = static_cast<BITMAPINFOHEADER*>(AVIStreamGetFrame(getter, i));
        ASSERT_NE(dib, nullptr) << "frame " << i;
        const uint8_t* bits = reinterpret_cast<const uint8_t*>(dib) + dib->biSize;
        Bytes expected(size_t(w) * h * 3);
        kestro::reference::UyvyToRgb24(frames[i].data(), expected.data(), w, h);
        EXPECT_EQ(Bytes(bits, bits + expected.size()), expected) << "frame " << i;
    }
    AVIStreamGetFrameClose(getter);
    AVIStreamRelease(stream);
    AVIFileExit();
}

INSTANTIATE_TEST_SUITE_P(Modes, CaptureRoundTrip,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) ? "FastWrite" : "Write") +
                                    (std::get<1>(info.param) ? "FastRead" : "PlainRead");
                         });

} // namespace
