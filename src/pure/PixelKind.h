#pragma once
#include <cstdint>

namespace kestro {

// Four-character codes: the first character in the low byte, compared exactly.
constexpr uint32_t MakeFourcc(char a, char b, char c, char d) {
    return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 |
           uint32_t(uint8_t(d)) << 24;
}

constexpr uint32_t kFourccKest = MakeFourcc('K', 'E', 'S', 'T');
constexpr uint32_t kFourccYuy2 = MakeFourcc('Y', 'U', 'Y', '2');
constexpr uint32_t kFourccVyuy = MakeFourcc('V', 'Y', 'U', 'Y');
constexpr uint32_t kFourccUyvy = MakeFourcc('U', 'Y', 'V', 'Y');
constexpr uint32_t kFourccYvyu = MakeFourcc('Y', 'V', 'Y', 'U');
constexpr uint32_t kFourccHdyc = MakeFourcc('H', 'D', 'Y', 'C');
constexpr uint32_t kFourccY800 = MakeFourcc('Y', '8', '0', '0');
constexpr uint32_t kFourccY8 = MakeFourcc('Y', '8', ' ', ' ');
constexpr uint32_t kFourccGrey = MakeFourcc('G', 'R', 'E', 'Y');
constexpr uint32_t kFourccNv12 = MakeFourcc('N', 'V', '1', '2');
constexpr uint32_t kFourccI420 = MakeFourcc('I', '4', '2', '0');
constexpr uint32_t kFourccIyuv = MakeFourcc('I', 'Y', 'U', 'V');
constexpr uint32_t kFourccYv12 = MakeFourcc('Y', 'V', '1', '2');
constexpr uint32_t kFourccP010 = MakeFourcc('P', '0', '1', '0');
constexpr uint32_t kFourccV210 = MakeFourcc('v', '2', '1', '0');
constexpr uint32_t kFourccY210 = MakeFourcc('Y', '2', '1', '0');
constexpr uint32_t kFourccP210 = MakeFourcc('P', '2', '1', '0');
constexpr uint32_t kFourccDib = MakeFourcc('D', 'I', 'B', ' ');
constexpr uint32_t kFourccVidc = MakeFourcc('v', 'i', 'd', 'c');
constexpr uint32_t kCompressionRgb = 0;

enum PixelKind : int32_t {
    KIND_NONE = 0,
    KIND_YUY2 = 1,
    KIND_UYVY = 2,
    KIND_RGB24 = 3,
    KIND_RGB32 = 4,
    KIND_PAL8 = 5, // a host-side test input only: never classified from a header
    KIND_YVYU = 6,
    KIND_HDYC = 7,
    KIND_Y800 = 8,
    KIND_NV12 = 9,
    KIND_I420 = 10,
    KIND_YV12 = 11,
    KIND_P010 = 12,
    KIND_V210 = 13,
    KIND_Y210 = 14,
    KIND_P210 = 15,
    KIND_STORED = -1,
};

PixelKind ClassifyPixelKind(uint32_t compression, uint16_t bitCount);

} // namespace kestro
