#include "pure/StreamFormat.h"

#include <cstring>

#include "pure/RawConversions.h"

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
    uint64_t w = AbsoluteHeight(width); // a negative width counts its pixels alike
    uint64_t h = AbsoluteHeight(height);
    uint64_t bits = w * h; // at most 2^62
    if (bits > (uint64_t(UINT32_MAX) * 8) / (bitsPerPixel ? bitsPerPixel : 1))
        return std::nullopt;
    uint64_t bytes = bits * bitsPerPixel / 8;
    if (bytes > UINT32_MAX)
        return std::nullopt;
    return uint32_t(bytes);
}

std::optional<uint32_t> ReportedImageBytes(const PixelFormat& f, int32_t width, int32_t height) {
    if (BitCountSizesPictures(f))
        return PictureBytes(width, height, f.bitCount);
    const uint64_t bytes = PictureBytesOf(f, width, height);
    return width > 0 && bytes <= UINT32_MAX ? std::optional(uint32_t(bytes)) : std::nullopt;
}

std::optional<uint32_t> InputImageBytes(const BitmapHeader& header) {
    if (header.biWidth <= 0 || header.biHeight == 0)
        return std::nullopt;
    // A kind of unpadded rows has one size for a picture, and no other is taken for it.
    if (const PixelFormat* format = FormatOf(KindOf(header)); format && !format->dibRows) {
        const uint64_t bytes = PictureBytesOf(*format, header.biWidth, header.biHeight);
        if (ShapeProblem(*format, header.biWidth, header.biHeight) || bytes > UINT32_MAX ||
            (header.biSizeImage != 0 && header.biSizeImage != bytes))
            return std::nullopt;
        return uint32_t(bytes);
    }
    if (header.biSizeImage != 0)
        return header.biSizeImage;
    // Without a size the picture lies in memory as a DIB does: every row padded to 4 bytes (641
    // pixels of RGB24 take 1924 bytes a row, not 1923). The packed YUV kinds (16 bits) hold two
    // pixels in 4 bytes, so their padded row is a row of whole pixel pairs: the layout that
    // playback has always read them in. The host's own bit count is what its buffer was sized
    // by, so it is the one used, also when it does not fit the kind: more would read past it.
    return DibImageBytes(header.biWidth, header.biHeight, header.biBitCount);
}

std::optional<int32_t> LargestFrameBytes(const BitmapHeader& in) {
    const PixelFormat* format = FormatOf(KindOf(in));
    uint64_t factor = format ? format->largestFrameFactor : 3;
    if (in.biWidth <= 0 || in.biHeight == 0)
        return std::nullopt;
    // A top-down picture (negative height) is as large as a bottom-up one.
    uint64_t height = AbsoluteHeight(in.biHeight);
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
    const PixelFormat* format = FormatOf(KindOf(in));
    out.biBitCount = format ? format->bitCount : 16;
    out.biSourceCompression = in.biCompression;
    out.biChainHandler = 0;
    out.biChainFormatSize = 0;
    return out;
}

bool StoredSourceUsable(const StreamFormatHeader& stream) {
    const PixelFormat* format = FormatFor(stream.biSourceCompression, stream.biBitCount);
    if (format)
        return format->dibRows || !ShapeProblem(*format, stream.biWidth, stream.biHeight);
    for (const PixelFormat& f : kPixelFormats)
        if (f.recognised && !f.dibRows && NamesKind(f, stream.biSourceCompression))
            return false;
    return true;
}

bool RawOutputAccepted(PixelKind source, PixelKind target) {
    // A kind the table does not know passes the query; its frames then fail one by one.
    const PixelFormat* format = FormatOf(source);
    if (!format || !format->recognised)
        return true;
    return ChooseRawOp(source, target) != RawOp::Refuse;
}

bool CompleteRawOutputFormat(const StreamFormatHeader& in, PixelKind wanted, BitmapHeader& out) {
    out = static_cast<const BitmapHeader&>(in);
    out.biSize = kBitmapHeaderBytes;
    out.biPlanes = 1;
    PixelKind source = ClassifyPixelKind(in.biSourceCompression, in.biBitCount);
    if (wanted == KIND_NONE)
        wanted = KIND_RGB24;
    const RawConversionRow* row = ConversionFor(source, wanted);
    const PixelFormat* offered = row ? FormatOf(row->offered) : nullptr;
    if (!offered)
        return false;
    out.biCompression = offered->fourcc;
    out.biBitCount = offered->bitCount;
    // A top-down picture (negative height) has the same byte count as a bottom-up one.
    const auto bytes = ReportedImageBytes(*offered, in.biWidth, in.biHeight);
    out.biSizeImage = bytes ? *bytes : 0;
    return true;
}

} // namespace kestro
