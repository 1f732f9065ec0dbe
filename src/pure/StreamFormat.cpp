#include "pure/StreamFormat.h"

#include <cstring>

namespace kestro {

std::optional<BitmapHeader> ReadBitmapHeader(const void* format) {
    if (!format)
        return std::nullopt;
    // A shorter header (a 12-byte core header) may end right there: read its size alone first.
    uint32_t size;
    std::memcpy(&size, format, sizeof size);
    if (size < kBitmapHeaderBytes)
        return std::nullopt;
    BitmapHeader header;
    std::memcpy(&header, format, sizeof header);
    return header;
}

std::optional<StreamFormatHeader> ReadStreamFormat(const void* format) {
    if (!format)
        return std::nullopt;
    uint32_t size;
    std::memcpy(&size, format, sizeof size);
    if (size < kStreamHeaderBytes)
        return std::nullopt;
    StreamFormatHeader header;
    std::memcpy(&header, format, sizeof header);
    if (header.biChainFormatSize > size - kStreamHeaderBytes)
        return std::nullopt;
    return header;
}

const void* ChainFormatOf(const void* streamFormat, const StreamFormatHeader& header) {
    if (!streamFormat || header.biChainFormatSize == 0)
        return nullptr;
    return static_cast<const uint8_t*>(streamFormat) + kStreamHeaderBytes;
}

PixelKind KindOf(const BitmapHeader& header) {
    return ClassifyPixelKind(header.biCompression, header.biBitCount);
}

PixelKind KindOf(const void* format) {
    auto header = ReadBitmapHeader(format);
    return header ? KindOf(*header) : KIND_NONE;
}

std::optional<uint32_t> PictureBytes(int32_t width, int32_t height, uint32_t bitsPerPixel) {
    if (width == 0 || height == 0)
        return std::nullopt;
    uint64_t w = width < 0 ? uint64_t(-int64_t(width)) : uint64_t(width);
    uint64_t h = height < 0 ? uint64_t(-int64_t(height)) : uint64_t(height);
    uint64_t bits = w * h; // at most 2^62
    if (bits > (uint64_t(UINT32_MAX) * 8) / (bitsPerPixel ? bitsPerPixel : 1))
        return std::nullopt;
    uint64_t bytes = bits * bitsPerPixel / 8;
    if (bytes > UINT32_MAX)
        return std::nullopt;
    return uint32_t(bytes);
}

std::optional<uint32_t> DibPictureBytes(int32_t width, int32_t height, uint32_t bitsPerPixel) {
    if (width <= 0 || height == 0 || bitsPerPixel == 0 || bitsPerPixel > 32)
        return std::nullopt;
    uint64_t row = (uint64_t(width) * bitsPerPixel + 31) / 32 * 4;
    uint64_t rows = height < 0 ? uint64_t(-int64_t(height)) : uint64_t(height);
    uint64_t bytes = row * rows; // below 2^31 x 2^31
    if (bytes > UINT32_MAX)
        return std::nullopt;
    return uint32_t(bytes);
}

std::optional<uint32_t> InputImageBytes(const BitmapHeader& header) {
    if (header.biWidth <= 0 || header.biHeight == 0)
        return std::nullopt;
    if (header.biSizeImage != 0)
        return header.biSizeImage;
    // Without a size the picture lies in memory as a DIB does: every row padded to 4 bytes (641
    // pixels of RGB24 take 1924 bytes a row, not 1923). The packed YUV kinds (16 bits) hold two
    // pixels in 4 bytes, so their padded row is a row of whole pixel pairs: the layout that
    // playback has always read them in. The host's own bit count is what its buffer was sized
    // by, so it is the one used, also when it does not fit the kind: more would read past it.
    return DibPictureBytes(header.biWidth, header.biHeight, header.biBitCount);
}

std::optional<int32_t> LargestFrameBytes(const BitmapHeader& in) {
    PixelKind kind = KindOf(in);
    uint64_t factor = (kind == KIND_RGB24 || kind == KIND_RGB32) ? 5 : 3;
    if (in.biWidth <= 0 || in.biHeight == 0)
        return std::nullopt;
    // A top-down picture (negative height) is as large as a bottom-up one.
    uint64_t height = in.biHeight < 0 ? uint64_t(-int64_t(in.biHeight)) : uint64_t(in.biHeight);
    // Both sides may be near 2^31: the pixel count alone fills 62 bits, so the factor comes only
    // after the count is known to be small.
    uint64_t pixels = uint64_t(in.biWidth) * height;
    if (pixels > uint64_t(INT32_MAX) || pixels * factor > uint64_t(INT32_MAX))
        return std::nullopt;
    return int32_t(pixels * factor);
}

StreamFormatHeader MakeStreamFormat(const BitmapHeader& in) {
    StreamFormatHeader out{};
    static_cast<BitmapHeader&>(out) = in;
    out.biSize = kStreamHeaderBytes;
    out.biCompression = kFourccKest;
    out.biClrUsed = 0;
    out.biClrImportant = 0;
    PixelKind kind = KindOf(in);
    out.biBitCount = kind == KIND_RGB32 ? 32 : kind == KIND_RGB24 ? 24 : 16;
    out.biSourceCompression = in.biCompression;
    out.biChainHandler = 0;
    out.biChainFormatSize = 0;
    return out;
}

bool RawOutputAccepted(PixelKind source, PixelKind target) {
    switch (source) {
    case KIND_YUY2:
        return target == KIND_YUY2 || target == KIND_RGB24 || target == KIND_RGB32;
    case KIND_UYVY:
        return target == KIND_YUY2 || target == KIND_UYVY || target == KIND_RGB24 ||
               target == KIND_RGB32;
    case KIND_RGB24:
        return target == KIND_RGB24 || target == KIND_RGB32;
    case KIND_RGB32:
        return target == KIND_RGB32;
    default:
        return true;
    }
}

bool CompleteRawOutputFormat(const StreamFormatHeader& in, PixelKind wanted, BitmapHeader& out) {
    out = static_cast<const BitmapHeader&>(in);
    out.biSize = kBitmapHeaderBytes;
    out.biPlanes = 1;
    PixelKind source = ClassifyPixelKind(in.biSourceCompression, in.biBitCount);
    if (wanted == KIND_NONE)
        wanted = KIND_RGB24;
    uint32_t compression = 0;
    uint16_t bits = 0;
    switch (source) {
    case KIND_YUY2:
    case KIND_UYVY:
        if (wanted == KIND_YUY2 || (source == KIND_UYVY && wanted == KIND_UYVY))
            compression = kFourccYuy2, bits = 16;
        else if (wanted == KIND_RGB24)
            bits = 24;
        else if (wanted == KIND_RGB32)
            bits = 32;
        break;
    case KIND_RGB24:
        if (wanted == KIND_RGB24)
            bits = 24;
        else if (wanted == KIND_RGB32)
            bits = 32;
        break;
    case KIND_RGB32:
        bits = 32;
        break;
    default:
        break;
    }
    if (bits == 0)
        return false;
    out.biCompression = compression;
    out.biBitCount = bits;
    // A top-down picture (negative height) has the same byte count as a bottom-up one.
    auto bytes = PictureBytes(in.biWidth, in.biHeight, bits);
    out.biSizeImage = bytes ? *bytes : 0;
    return true;
}

} // namespace kestro
