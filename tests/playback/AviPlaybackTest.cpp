// A stream of records in an AVI file written with avifil32, played with AVIStreamGetFrame.
#include <gtest/gtest.h>

#include <cstring>

#include "PlaybackSupport.h"
#include "pure/PixelRepack.h"

using namespace kp;

namespace {

struct AviLibrary {
    AviLibrary() { AVIFileInit(); }
    ~AviLibrary() { AVIFileExit(); }
};

class AviPlayback : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { PlaybackIni(GetParam()); }
    void TearDown() override { kt::RemoveIni(); }
};

TEST_P(AviPlayback, GetFrameDeliversTheConvertedPictures) {
    constexpr LONG w = 64, h = 48;
    AviLibrary library;
    std::string dir = kt::DataDir(std::string("avi") + (GetParam() ? "F" : "P"));
    std::vector<Bytes> frames, records;
    for (uint32_t i = 0; i < 5; ++i)
        frames.push_back(Noise(w * h * 2, 800 + i));
    for (auto& p : WriteDataFile(dir + "\\avi.000", frames))
        records.push_back(MakeRecord(p));
    std::string file = dir + "\\records.avi";
    WriteAvi(file, RawStream(w, h, kt::kYuy2, 16), records, w, h);

    PAVISTREAM stream = nullptr;
    ASSERT_EQ(AVIStreamOpenFromFileA(&stream, file.c_str(), streamtypeVIDEO, 0, OF_READ, nullptr),
              0);
    kt::Format wanted = kt::MakeFormat(w, h, BI_RGB, 24);
    PGETFRAME getter = AVIStreamGetFrameOpen(stream, wanted.header());
    ASSERT_NE(getter, nullptr) << "no decompressor for the KEST stream";
    for (LONG i : {0, 1, 2, 3, 4, 2, 0, 4}) {
        auto* dib = static_cast<BITMAPINFOHEADER*>(AVIStreamGetFrame(getter, i));
        ASSERT_NE(dib, nullptr) << "frame " << i;
        ASSERT_EQ(dib->biBitCount, 24);
        const uint8_t* bits = reinterpret_cast<const uint8_t*>(dib) + dib->biSize;
        Bytes expected(size_t(w) * h * 3);
        kestro::reference::Yuy2ToRgb24(frames[i].data(), expected.data(), w, h);
        EXPECT_EQ(Bytes(bits, bits + expected.size()), expected) << "frame " << i;
    }
    AVIStreamGetFrameClose(getter);
    AVIStreamRelease(stream);
}

INSTANTIATE_TEST_SUITE_P(FastRead, AviPlayback, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Fast" : "Plain"; });

} // namespace
