// kestro-host's raw frames: the sizes it takes from the command line and the reference
// conversion its checks compare the codec's pictures with.
#include <gtest/gtest.h>

#include <vector>

#include "Host.h"

using namespace host;

namespace {

TEST(RawFrames, ParsesSizesAndRefusesNonsense) {
    ASSERT_TRUE(ParseFrameSize("640x480"));
    EXPECT_EQ(ParseFrameSize("640x480")->height, 480u);
    for (const char* bad : {"", "640", "640x", "x480", "0x480", "640x0", "640x480x2", "-1x2",
                            "16385x2", "99999999999x1", "64 x 48"})
        EXPECT_FALSE(ParseFrameSize(bad)) << bad;
    EXPECT_TRUE(SizeProblem(kestro::KIND_YUY2, {641, 480}));
    EXPECT_FALSE(SizeProblem(kestro::KIND_RGB24, {641, 480}));
    EXPECT_EQ(DibFrameBytes(kestro::KIND_RGB24, {130, 2}), 392u * 2);
    EXPECT_EQ(FrameFileName("f%04d.ppm", 7), "f0007.ppm");
    EXPECT_EQ(FrameFileName("dir.x\\still", 12), "dir.x\\still-0012");
    EXPECT_EQ(FrameFileName("still.ppm", 3), "still-0003.ppm");
}

TEST(RawFrames, ReferenceConversionHitsTheKnownColours) {
    auto convert = [](std::vector<uint8_t> yuy2) {
        std::vector<uint8_t> rgb(6);
        ReferenceYuvToRgb(yuy2.data(), rgb.data(), {2, 1}, kestro::KIND_YUY2, 3, false);
        return rgb;
    };
    EXPECT_EQ(convert({16, 128, 16, 128}), std::vector<uint8_t>(6, 0));
    EXPECT_EQ(convert({235, 128, 235, 128}), std::vector<uint8_t>(6, 255));
    EXPECT_EQ(convert({0, 0, 0, 0}), (std::vector<uint8_t>{0, 136, 0, 0, 136, 0}));
    EXPECT_EQ(convert({255, 255, 255, 255}), (std::vector<uint8_t>{255, 125, 255, 255, 125, 255}));
}

} // namespace
