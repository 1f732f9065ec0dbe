// Sizes computed from host formats whose numbers lie at the edges of their types.
#include <gtest/gtest.h>

#include <climits>
#include <optional>

#include "pure/StreamFormat.h"

using namespace kestro;

namespace {

BitmapHeader Header(int32_t width, int32_t height, uint32_t compression, uint16_t bits,
                    uint32_t sizeImage = 0) {
    return BitmapHeader{40, width, height, 1, bits, compression, sizeImage, 0, 0, 0, 0};
}

TEST(ImageSizes, AnUndeclaredSizeIsTheDibSizeWithRowsPaddedToFourBytes) {
    // 641 x 4 RGB24: 1923 bytes of pixels, 1924 a row as the host lays the picture out.
    EXPECT_EQ(InputImageBytes(Header(641, 4, 0, 24)), 7696u);
    EXPECT_EQ(InputImageBytes(Header(641, -4, 0, 24)), 7696u) << "top-down";
    EXPECT_EQ(InputImageBytes(Header(641, 4, kFourccDib, 24)), 7696u);
    EXPECT_EQ(InputImageBytes(Header(1, 1, 0, 24)), 4u);
    EXPECT_EQ(InputImageBytes(Header(640, 480, 0, 24)), 921600u) << "already a multiple of 4";
    EXPECT_EQ(InputImageBytes(Header(641, 4, 0, 32)), 10256u);
    // Packed YUV holds two pixels in 4 bytes: an odd row ends in a whole pair, as playback reads.
    EXPECT_EQ(InputImageBytes(Header(641, 4, kFourccYuy2, 16)), 5136u);
    EXPECT_EQ(InputImageBytes(Header(641, 4, kFourccUyvy, 16)), 5136u);
    // The host sized its buffer by the bit count it declares: a YUY2 header that says 12 or 0
    // bits a pixel gets no more than that, lest the codec read past the host's picture.
    EXPECT_EQ(InputImageBytes(Header(641, 4, kFourccYuy2, 12)), 3856u);
    EXPECT_FALSE(InputImageBytes(Header(641, 4, kFourccYuy2, 0)));
    EXPECT_EQ(InputImageBytes(Header(640, 480, kFourccYuy2, 16)), 614400u);
    // A declared size is the host's word, padded or not, as every earlier capture stored it.
    EXPECT_EQ(InputImageBytes(Header(641, 4, 0, 24, 7692)), 7692u);
    EXPECT_EQ(InputImageBytes(Header(641, 4, kFourccYuy2, 16, 5128)), 5128u);
}

// 10-bit 4:2:2 rows are whole blocks of 48 pixels in 128 bytes, whatever the bit count says (20
// bits a pixel would give 4800 bytes for 1920 pixels, not 5120); no other size is taken.
TEST(ImageSizes, TenBitRowsAreWholeBlocksAndTakeNoOtherSize) {
    struct Row {
        int32_t width, height;
        uint32_t sizeImage;
        std::optional<uint32_t> bytes;
    } rows[] = {
        {1920, 1080, 0, 5120u * 1080},
        {1920, -1080, 5529600, 5529600u},
        {1280, 720, 0, 3456u * 720},
        {48, 1, 0, 128u},
        {50, 2, 0, 512u},
        {2, 1, 0, 128u},
        {6, 3, 384, 384u},
        {1920, 1080, 4800 * 1080, std::nullopt},
        {1920, 1080, 5529601, std::nullopt},
        {1920, 1080, 5529472, std::nullopt},
        {1919, 1080, 0, std::nullopt},
        {1 << 30, 2, 0, std::nullopt},
        {1 << 30, 1, 0, 2863311616u},
        {0x7FFFFFFE, 1, 0, std::nullopt},
        {48, 0x2000000, 0, std::nullopt},
    };
    for (const Row& r : rows)
        EXPECT_EQ(InputImageBytes(Header(r.width, r.height, kFourccV210, 20, r.sizeImage)), r.bytes)
            << r.width << "x" << r.height << " declared " << r.sizeImage;
    // With another bit count the code names no kind: the host's size is taken as for any other.
    EXPECT_EQ(InputImageBytes(Header(1920, 1080, kFourccV210, 16, 1234)), 1234u);
}

TEST(ImageSizes, UndeclaredSizesThatCannotBeAPictureAreRefused) {
    EXPECT_FALSE(InputImageBytes(Header(0, 4, 0, 24)));
    EXPECT_FALSE(InputImageBytes(Header(-641, 4, 0, 24)));
    EXPECT_FALSE(InputImageBytes(Header(641, 0, 0, 24)));
    EXPECT_FALSE(InputImageBytes(Header(641, 4, 0, 0)));
    EXPECT_FALSE(InputImageBytes(Header(641, 4, 0, 40))) << "no pixel has 40 bits";
    EXPECT_FALSE(InputImageBytes(Header(INT32_MAX, INT32_MIN, 0, 32)));
    EXPECT_FALSE(InputImageBytes(Header(65536, 16384, 0, 32))) << "2^32 bytes";
    EXPECT_EQ(InputImageBytes(Header(65535, 16384, 0, 32)), 65535u * 16384u * 4u);
}

TEST(ImageSizes, LargestFrameStaysExactUpToTheSignedLimitAndRefusesBeyond) {
    EXPECT_EQ(LargestFrameBytes(Header(320, 240, kFourccYuy2, 16)), 230400);
    EXPECT_EQ(LargestFrameBytes(Header(320, -240, 0, 24)), 384000);
    // 3 x 715827882 = 2147483646, the largest multiple of 3 that is a signed 32-bit value.
    EXPECT_EQ(LargestFrameBytes(Header(715827882, 1, kFourccYuy2, 16)), 2147483646);
    EXPECT_FALSE(LargestFrameBytes(Header(715827883, 1, kFourccYuy2, 16)));
    EXPECT_EQ(LargestFrameBytes(Header(1, -429496729, 0, 24)), 2147483645);
    EXPECT_FALSE(LargestFrameBytes(Header(1, 429496730, 0, 32)));
    // Dimensions near 2^31 on both sides: the product must not wrap into a small answer.
    for (int32_t width : {INT32_MAX, 65536, 46341})
        for (int32_t height : {INT32_MAX, INT32_MIN, -46341, 65536}) {
            EXPECT_FALSE(LargestFrameBytes(Header(width, height, 0, 24))) << width << "x" << height;
            EXPECT_FALSE(LargestFrameBytes(Header(width, height, kFourccUyvy, 16)))
                << width << "x" << height;
        }
    EXPECT_FALSE(LargestFrameBytes(Header(INT32_MIN, 2, 0, 24)));
    EXPECT_FALSE(LargestFrameBytes(Header(-1, -1, 0, 24)));
    EXPECT_FALSE(LargestFrameBytes(Header(320, 0, 0, 24)));
}

} // namespace
