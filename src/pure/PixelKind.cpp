#include "pure/PixelKind.h"

#include "pure/PixelFormats.h"

namespace kestro {

PixelKind ClassifyPixelKind(uint32_t compression, uint16_t bitCount) {
    if (compression == kFourccKest)
        return KIND_STORED;
    const PixelFormat* format = FormatFor(compression, bitCount);
    return format ? format->kind : KIND_NONE;
}

} // namespace kestro
