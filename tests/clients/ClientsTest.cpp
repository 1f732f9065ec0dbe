// Captures made through the codec, opened by client code nobody here wrote: the platform's MCI
// video player, AVIFile's frame getter with its best-display request, and DrawDib. Windows are
// drawn, so this program runs under a display (Xvfb in the test runs).
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "Host.h"
#include "WineCodec.h"

using namespace host;

namespace {

using Bytes = std::vector<uint8_t>;
constexpr FrameSize kSize{160, 120};
constexpr uint32_t kFrames = 6;

std::string Dir() {
    static const std::string dir = kt::DataDir("clients");
    return dir;
}
std::string PathOf(const std::string& name) {
    return Dir() + "\\" + name;
}

struct AviLibrary {
    AviLibrary() { AVIFileInit(); }
    ~AviLibrary() { AVIFileExit(); }
};

// The pattern frame as the capture got it (raw layout: rows top first, unpadded).
Bytes Pattern(kestro::PixelKind kind, uint32_t frame) {
    Bytes raw(size_t(RawFrameBytes(kind, kSize)));
    MakePatternFrame(kind, kSize, frame, raw.data());
    return raw;
}

// What a picture of `bytesPerPixel` must show, rows top first, unpadded, from the captured frame:
// 4:2:2 through the independent reference conversion, RGB24 as it was given.
Bytes Expected(kestro::PixelKind kind, uint32_t frame, uint32_t bytesPerPixel) {
    const Bytes raw = Pattern(kind, frame);
    Bytes out(size_t(kSize.width) * kSize.height * bytesPerPixel);
    if (kind != kestro::KIND_RGB24) {
        ReferenceYuvToRgb(raw.data(), out.data(), kSize, kind, bytesPerPixel, false);
        return out;
    }
    for (size_t p = 0; p < size_t(kSize.width) * kSize.height; ++p) {
        std::memcpy(&out[p * bytesPerPixel], &raw[p * 3], 3);
        if (bytesPerPixel == 4)
            out[p * 4 + 3] = 0;
    }
    return out;
}

// An RGB bitmap's rows, top first and unpadded, whichever way up it lies.
Bytes TopFirst(const BITMAPINFOHEADER* dib, const uint8_t* bits) {
    const uint32_t bpp = dib->biBitCount / 8, width = uint32_t(dib->biWidth);
    const uint32_t rows = uint32_t(dib->biHeight < 0 ? -dib->biHeight : dib->biHeight);
    const size_t stride = (size_t(width) * dib->biBitCount + 31) / 32 * 4;
    Bytes out;
    for (uint32_t j = 0; j < rows; ++j) {
        const uint8_t* row = bits + stride * (dib->biHeight > 0 ? rows - 1 - j : j);
        out.insert(out.end(), row, row + size_t(width) * bpp);
    }
    return out;
}

// Blue, green and red of every pixel: what a display shows of a 32-bit picture.
Bytes Colours(const Bytes& pixels, uint32_t bytesPerPixel) {
    Bytes out;
    for (size_t i = 0; i + bytesPerPixel <= pixels.size(); i += bytesPerPixel)
        out.insert(out.end(), pixels.begin() + i, pixels.begin() + i + 3);
    return out;
}

class Clients : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // The codec reads its settings at load: its data file goes into this test's folder.
        if (!kt::CodecLoaded())
            kt::WriteIni({{"filename", PathOf("kestro")}});
        for (kestro::PixelKind kind : {kestro::KIND_YUY2, kestro::KIND_RGB24}) {
            CaptureOptions c;
            c.output = Avi(kind);
            c.kind = kind;
            c.size = kSize;
            c.frames = kFrames;
            c.quiet = true;
            c.overwrite = true; // each capture's pictures are kept aside below
            CaptureResult result;
            ASSERT_EQ(RunCapture(c, &result), kExitOk) << RawKindName(kind);
            ASSERT_EQ(result.pieces.size(), 1u);
            piece_ = result.pieces[0];
            // Every capture starts the data file afresh: keep each one's pictures aside, with
            // the take file that says they are that take's.
            stored_[int(kind)] = kt::ReadFileBytes(piece_);
            takes_[int(kind)] = kt::ReadFileBytes(TakeFile());
        }
    }
    static std::string Avi(kestro::PixelKind kind) {
        return PathOf(std::string(RawKindName(kind)) + ".avi");
    }
    // Puts the capture of `kind` back into the data file its records name.
    static void Use(kestro::PixelKind kind) {
        kt::WriteFileBytes(piece_, stored_[int(kind)]);
        kt::WriteFileBytes(TakeFile(), takes_[int(kind)]);
    }
    static std::string TakeFile() { return piece_.substr(0, piece_.size() - 4) + ".take"; }

    static inline std::string piece_;
    static inline std::string stored_[4], takes_[4];
};

// One command to the MCI player; a refusal names the command and MCI's error.
::testing::AssertionResult Mci(const std::string& command, std::string* answer = nullptr) {
    char text[256] = {};
    const MCIERROR e = mciSendStringA(command.c_str(), text, sizeof text, nullptr);
    if (answer)
        *answer = text;
    if (e != 0)
        return ::testing::AssertionFailure() << command << ": MCI error " << e;
    return ::testing::AssertionSuccess();
}

// Closes the clip when a failed step leaves it open, so that the next kind can open it again.
struct ClipCloser {
    bool open = false;
    ~ClipCloser() {
        if (open)
            mciSendStringA("close clip", nullptr, 0, nullptr);
    }
};

TEST_F(Clients, MciPlayerOpensPlaysSeeksAndCloses) {
    for (kestro::PixelKind kind : {kestro::KIND_YUY2, kestro::KIND_RGB24}) {
        SCOPED_TRACE(RawKindName(kind));
        Use(kind);
        ClipCloser clip;
        ASSERT_TRUE(Mci("open \"" + Avi(kind) + "\" type avivideo alias clip"))
            << "the player cannot open the capture";
        clip.open = true;
        std::string answer;
        ASSERT_TRUE(Mci("status clip length", &answer));
        EXPECT_EQ(answer, std::to_string(kFrames));
        ASSERT_TRUE(Mci("play clip wait"));
        ASSERT_TRUE(Mci("seek clip to 3"));
        ASSERT_TRUE(Mci("status clip position", &answer));
        EXPECT_EQ(answer, "3");
        const auto start = std::chrono::steady_clock::now();
        clip.open = false;
        ASSERT_TRUE(Mci("close clip"));
        std::printf(
            "[ info ] %s: MCI close took %.0f ms\n", RawKindName(kind),
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
}

// The frame getter asked for the display's best format: it settles on a format the codec
// offers, and every frame shows the captured picture.
TEST_F(Clients, BestDisplayFramesShowTheCapture) {
    AviLibrary library;
    for (kestro::PixelKind kind : {kestro::KIND_YUY2, kestro::KIND_RGB24}) {
        SCOPED_TRACE(RawKindName(kind));
        Use(kind);
        PAVISTREAM stream = nullptr;
        ASSERT_EQ(AVIStreamOpenFromFileA(&stream, Avi(kind).c_str(), streamtypeVIDEO, 0, OF_READ,
                                         nullptr),
                  0);
        PGETFRAME getter = AVIStreamGetFrameOpen(
            stream, reinterpret_cast<BITMAPINFOHEADER*>(uintptr_t(AVIGETFRAMEF_BESTDISPLAYFMT)));
        EXPECT_NE(getter, nullptr) << "no decoder for the best display format";
        for (uint32_t i : {0u, 1u, 5u, 2u}) {
            if (!getter)
                break;
            auto* dib = static_cast<BITMAPINFOHEADER*>(AVIStreamGetFrame(getter, LONG(i)));
            ASSERT_NE(dib, nullptr) << "frame " << i;
            ASSERT_EQ(dib->biCompression, DWORD(BI_RGB));
            ASSERT_TRUE(dib->biBitCount == 24 || dib->biBitCount == 32) << dib->biBitCount;
            const uint32_t bpp = dib->biBitCount / 8;
            const auto* bits = reinterpret_cast<const uint8_t*>(dib) + dib->biSize;
            EXPECT_EQ(Colours(TopFirst(dib, bits), bpp), Colours(Expected(kind, i, bpp), bpp))
                << "frame " << i;
        }
        if (getter)
            AVIStreamGetFrameClose(getter);
        AVIStreamRelease(stream);
    }
}

// Frames of a top-down RGB24 capture, stored through the codec manager, asked for as the
// display's best format: the getter wants them bottom-up.
TEST_F(Clients, TopDownCaptureComesOutTheRightWayUp) {
    const LONG w = LONG(kSize.width), h = LONG(kSize.height);
    kt::Format in = kt::MakeFormat(w, -h, BI_RGB, 24);
    kt::Hic hic = kt::OpenKest(ICMODE_COMPRESS);
    ASSERT_TRUE(hic);
    kt::Format stream = kt::StreamFormatFor(hic.get(), in);
    ASSERT_EQ(stream.bytes.size(), 52u);
    ASSERT_EQ(ICCompressBegin(hic.get(), in.header(), stream.header()), ICERR_OK);
    const size_t stride = (size_t(w) * 3 + 3) & ~size_t(3);
    std::vector<Bytes> records;
    for (uint32_t i = 0; i < 3; ++i) {
        // Top-down bitmap rows are the raw rows, padded.
        Bytes raw = Pattern(kestro::KIND_RGB24, i), dib(stride * h, 0);
        for (LONG j = 0; j < h; ++j)
            std::memcpy(&dib[stride * j], &raw[size_t(w) * 3 * j], size_t(w) * 3);
        Bytes record(size_t(ICCompressGetSize(hic.get(), in.header(), stream.header())));
        DWORD ckid = 0, flags = 0;
        ASSERT_EQ(LONG(ICCompress(hic.get(), 0, stream.header(), record.data(), in.header(),
                                  dib.data(), &ckid, &flags, LONG(i), 0, 0, nullptr, nullptr)),
                  ICERR_OK);
        record.resize(stream.header()->biSizeImage);
        records.push_back(record);
    }
    ASSERT_EQ(ICCompressEnd(hic.get()), ICERR_OK);
    hic.reset();

    AviLibrary library;
    const std::string file = PathOf("topdown.avi");
    PAVIFILE avi = nullptr;
    DeleteFileA(file.c_str());
    ASSERT_EQ(AVIFileOpenA(&avi, file.c_str(), OF_CREATE | OF_WRITE, nullptr), 0);
    AVISTREAMINFOA info{};
    info.fccType = streamtypeVIDEO;
    info.fccHandler = kt::kKest;
    info.dwScale = 1;
    info.dwRate = 30;
    SetRect(&info.rcFrame, 0, 0, w, h);
    PAVISTREAM out = nullptr;
    ASSERT_EQ(AVIFileCreateStreamA(avi, &out, &info), 0);
    stream.header()->biSizeImage = DWORD(records[0].size());
    ASSERT_EQ(AVIStreamSetFormat(out, 0, stream.bytes.data(), LONG(stream.bytes.size())), 0);
    for (size_t i = 0; i < records.size(); ++i)
        ASSERT_EQ(AVIStreamWrite(out, LONG(i), 1, records[i].data(), LONG(records[i].size()),
                                 AVIIF_KEYFRAME, nullptr, nullptr),
                  0);
    AVIStreamRelease(out);
    AVIFileRelease(avi);

    PAVISTREAM played = nullptr;
    ASSERT_EQ(AVIStreamOpenFromFileA(&played, file.c_str(), streamtypeVIDEO, 0, OF_READ, nullptr),
              0);
    kt::Format bottomUp = kt::MakeFormat(w, h, BI_RGB, 24);
    for (BITMAPINFOHEADER* wanted :
         {reinterpret_cast<BITMAPINFOHEADER*>(uintptr_t(AVIGETFRAMEF_BESTDISPLAYFMT)),
          bottomUp.header()}) {
        PGETFRAME getter = AVIStreamGetFrameOpen(played, wanted);
        EXPECT_NE(getter, nullptr) << "no decoder for a top-down stream";
        if (!getter)
            continue;
        for (uint32_t i : {2u, 0u, 1u}) {
            auto* dib = static_cast<BITMAPINFOHEADER*>(AVIStreamGetFrame(getter, LONG(i)));
            ASSERT_NE(dib, nullptr) << "frame " << i;
            const uint32_t bpp = dib->biBitCount / 8;
            const auto* bits = reinterpret_cast<const uint8_t*>(dib) + dib->biSize;
            EXPECT_EQ(Colours(TopFirst(dib, bits), bpp),
                      Colours(Expected(kestro::KIND_RGB24, i, bpp), bpp))
                << "frame " << i << " at " << dib->biBitCount << " bits, height " << dib->biHeight;
        }
        AVIStreamGetFrameClose(getter);
    }
    AVIStreamRelease(played);
}

// DrawDib finds the decompressor for a KEST frame itself and paints it into a bitmap.
TEST_F(Clients, DrawDibPaintsAKestFrame) {
    AviLibrary library;
    for (kestro::PixelKind kind : {kestro::KIND_YUY2, kestro::KIND_RGB24}) {
        SCOPED_TRACE(RawKindName(kind));
        Use(kind);
        PAVISTREAM stream = nullptr;
        ASSERT_EQ(AVIStreamOpenFromFileA(&stream, Avi(kind).c_str(), streamtypeVIDEO, 0, OF_READ,
                                         nullptr),
                  0);
        LONG formatBytes = 0;
        AVIStreamReadFormat(stream, 0, nullptr, &formatBytes);
        Bytes format(static_cast<size_t>(formatBytes));
        ASSERT_EQ(AVIStreamReadFormat(stream, 0, format.data(), &formatBytes), 0);
        const uint32_t frame = 4;
        LONG recordBytes = 0;
        AVIStreamRead(stream, frame, 1, nullptr, 0, &recordBytes, nullptr);
        Bytes record(static_cast<size_t>(recordBytes));
        ASSERT_EQ(AVIStreamRead(stream, frame, 1, record.data(), recordBytes, nullptr, nullptr), 0);
        AVIStreamRelease(stream);
        auto* kest = reinterpret_cast<BITMAPINFOHEADER*>(format.data());
        kest->biSizeImage = DWORD(recordBytes);

        const LONG w = LONG(kSize.width), h = LONG(kSize.height);
        BITMAPINFO target{};
        target.bmiHeader.biSize = sizeof target.bmiHeader;
        target.bmiHeader.biWidth = w;
        target.bmiHeader.biHeight = -h;
        target.bmiHeader.biPlanes = 1;
        target.bmiHeader.biBitCount = 32;
        HDC screen = GetDC(nullptr);
        HDC dc = CreateCompatibleDC(screen);
        void* pixels = nullptr;
        HBITMAP bitmap = CreateDIBSection(screen, &target, DIB_RGB_COLORS, &pixels, nullptr, 0);
        ReleaseDC(nullptr, screen);
        ASSERT_NE(bitmap, nullptr);
        HGDIOBJ old = SelectObject(dc, bitmap);
        std::memset(pixels, 0x55, size_t(w) * h * 4);
        HDRAWDIB dd = DrawDibOpen();
        ASSERT_NE(dd, nullptr);
        EXPECT_TRUE(DrawDibDraw(dd, dc, 0, 0, w, h, kest, record.data(), 0, 0, w, h, 0));
        GdiFlush();
        Bytes drawn(static_cast<uint8_t*>(pixels),
                    static_cast<uint8_t*>(pixels) + size_t(w) * h * 4);
        EXPECT_EQ(Colours(drawn, 4), Colours(Expected(kind, frame, 4), 4));
        DrawDibClose(dd);
        SelectObject(dc, old);
        DeleteObject(bitmap);
        DeleteDC(dc);
    }
}

} // namespace
