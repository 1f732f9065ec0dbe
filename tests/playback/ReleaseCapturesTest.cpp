// Captures of the 0.4.0 release (tests/inputs/release-0.4.0): records without a take, no take
// file beside their pieces. Every build plays those of both builds exactly as that release did.
#include <gtest/gtest.h>

#include <cstring>

#include "PlaybackSupport.h"
#include "pure/PixelRepack.h"

using namespace kp;

namespace {

constexpr LONG kWidth = 64, kHeight = 48;
constexpr size_t kFrameBytes = kWidth * kHeight * 2;
constexpr int kFrames = 4;

// The input the release captured: byte i of frame f.
Bytes ReleaseInput(int frame) {
    Bytes bytes(kFrameBytes);
    for (size_t i = 0; i < kFrameBytes; ++i)
        bytes[i] = uint8_t(i * 7 + size_t(frame) * 31 + (i / 128) * 3);
    return bytes;
}

std::string InputsFolder() {
    std::string path = "Z:" KESTRO_RELEASE_INPUTS;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

struct AviLibrary {
    AviLibrary() { AVIFileInit(); }
    ~AviLibrary() { AVIFileExit(); }
};

class ReleaseCaptures : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { PlaybackIni(GetParam()); }
    void TearDown() override { kt::RemoveIni(); }
};

TEST_P(ReleaseCaptures, PlayAsTheReleasePlayedThem) {
    ASSERT_NE(GetFileAttributesA("T:\\"), INVALID_FILE_ATTRIBUTES) << "the harness maps T:";
    CreateDirectoryA("T:\\kestro-release", nullptr);
    AviLibrary library;
    for (const char* name : {"x64-sync", "x64-fast", "x86-sync", "x86-fast"}) {
        SCOPED_TRACE(name);
        const std::string piece = std::string("T:\\kestro-release\\") + name + ".000";
        kt::WriteFileBytes(piece, kt::ReadFileBytes(InputsFolder() + "\\" + name + ".000"));
        const std::string avi = InputsFolder() + "\\" + name + ".avi";
        PAVISTREAM stream = nullptr;
        ASSERT_EQ(
            AVIStreamOpenFromFileA(&stream, avi.c_str(), streamtypeVIDEO, 0, OF_READ, nullptr), 0);
        kt::Format format;
        LONG size = 0;
        AVIStreamReadFormat(stream, 0, nullptr, &size);
        format.bytes.resize(size_t(size));
        ASSERT_EQ(AVIStreamReadFormat(stream, 0, format.bytes.data(), &size), 0);
        ASSERT_EQ(AVIStreamLength(stream), kFrames);
        std::vector<Bytes> records;
        for (LONG i = 0; i < kFrames; ++i) {
            Bytes record(64);
            LONG bytes = 0;
            ASSERT_EQ(
                AVIStreamRead(stream, i, 1, record.data(), LONG(record.size()), &bytes, nullptr),
                0);
            record.resize(size_t(bytes));
            records.push_back(record);
        }

        Player player(format, kt::MakeFormat(kWidth, kHeight, kt::kYuy2, 16));
        ASSERT_EQ(player.Begin(), ICERR_OK);
        Bytes picture;
        for (int i : {0, 1, 2, 3, 2, 0}) {
            ASSERT_EQ(player.Play(records[size_t(i)], picture), ICERR_OK) << "frame " << i;
            EXPECT_EQ(picture, ReleaseInput(i)) << "frame " << i;
        }
        kt::Format rgb = kt::MakeFormat(kWidth, kHeight, BI_RGB, 24);
        PGETFRAME getter = AVIStreamGetFrameOpen(stream, rgb.header());
        ASSERT_NE(getter, nullptr);
        for (int i : {3, 0}) {
            auto* dib = static_cast<BITMAPINFOHEADER*>(AVIStreamGetFrame(getter, i));
            ASSERT_NE(dib, nullptr) << "frame " << i;
            const uint8_t* bits = reinterpret_cast<const uint8_t*>(dib) + dib->biSize;
            Bytes expected(size_t(kWidth) * kHeight * 3);
            kestro::reference::Yuy2ToRgb24(ReleaseInput(i).data(), expected.data(), kWidth,
                                           kHeight);
            EXPECT_EQ(Bytes(bits, bits + expected.size()), expected) << "frame " << i;
        }
        AVIStreamGetFrameClose(getter);
        AVIStreamRelease(stream);

        // Once a later capture's take file lies beside the piece, the release's frames are gone.
        const std::string takeFile = std::string("T:\\kestro-release\\") + name + ".take";
        kt::WriteFileBytes(takeFile, "[take]\r\nid=0badcafe\r\n");
        Player after(format, kt::MakeFormat(kWidth, kHeight, kt::kYuy2, 16));
        ASSERT_EQ(after.Begin(), ICERR_OK);
        EXPECT_EQ(after.Play(records[1], picture), ICERR_BADFORMAT);
        EXPECT_EQ(picture, Bytes(kFrameBytes, 0xEE)) << "nothing of the later take is shown";
        DeleteFileA(takeFile.c_str());
        DeleteFileA(piece.c_str());
    }
    RemoveDirectoryA("T:\\kestro-release");
}

INSTANTIATE_TEST_SUITE_P(FastRead, ReleaseCaptures, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Fast" : "Plain"; });

} // namespace
