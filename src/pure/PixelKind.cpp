#include "pure/PixelKind.h"

namespace kestro {

PixelKind ClassifyPixelKind(uint32_t compression, uint16_t bitCount) {
    switch (compression) {
    case kFourccYuy2:
    case kFourccVyuy:
        return KIND_YUY2;
    case kFourccUyvy:
        return KIND_UYVY;
    case kFourccKest:
        return KIND_STORED;
    case kCompressionRgb:
    case kFourccDib:
        if (bitCount == 24)
            return KIND_RGB24;
        if (bitCount == 32)
            return KIND_RGB32;
        return KIND_NONE;
    default:
        return KIND_NONE;
    }
}

} // namespace kestro
