#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>

#include "pure/PictureShape.h"
#include "pure/PixelFormats.h"
#include "pure/PixelKind.h"

namespace kestro {

// The 40-byte bitmap header as it lies in memory and in files (little-endian, no padding).
struct BitmapHeader {
    uint32_t biSize;
    int32_t biWidth;
    int32_t biHeight;
    uint16_t biPlanes;
    uint16_t biBitCount;
    uint32_t biCompression;
    uint32_t biSizeImage;
    int32_t biXPelsPerMeter;
    int32_t biYPelsPerMeter;
    uint32_t biClrUsed;
    uint32_t biClrImportant;
};
static_assert(sizeof(BitmapHeader) == 40);

// The compressed stream format stored by hosts as the AVI stream format; the chained codec's
// own format (biChainFormatSize bytes) follows at offset 52.
struct StreamFormatHeader : BitmapHeader {
    uint32_t biSourceCompression;
    uint32_t biChainHandler;
    uint32_t biChainFormatSize;
};
static_assert(sizeof(StreamFormatHeader) == 52);

constexpr uint32_t kBitmapHeaderBytes = 40;
constexpr uint32_t kStreamHeaderBytes = 52;

// Reads a host format defensively: null, or a biSize below 40, is no format.
std::optional<BitmapHeader> ReadBitmapHeader(const void* format);

// A stream format is usable only when biSize covers the 52 bytes and the chained format it claims.
std::optional<StreamFormatHeader> ReadStreamFormat(const void* format);

// The chained codec's format inside a stream format, or null when there is none.
const void* ChainFormatOf(const void* streamFormat, const StreamFormatHeader& header);

// The rows of a bitmap: a negative height is a top-down picture of as many rows.
constexpr uint32_t AbsoluteHeight(int32_t height) {
    return height < 0 ? uint32_t(0) - uint32_t(height) : uint32_t(height);
}

// Bytes of a DIB picture: rows padded to 4 bytes, the height's sign ignored (top-down pictures
// have the same size). Empty when a dimension is not positive, the bit count is not 1 to 32, or
// the count does not fit 32 bits.
constexpr std::optional<uint32_t> DibImageBytes(int32_t width, int32_t height, uint32_t bits) {
    if (width <= 0 || height == 0 || bits == 0 || bits > 32)
        return std::nullopt;
    const uint64_t bytes = DibRowBytes(width, bits) * AbsoluteHeight(height); // below 2^62
    if (bytes > UINT32_MAX)
        return std::nullopt;
    return uint32_t(bytes);
}

PixelKind KindOf(const BitmapHeader& header);
PixelKind KindOf(const void* format); // KIND_NONE for null or short formats

// Byte count of a picture of the given size, computed in 64 bits; empty when a dimension is zero
// or the count does not fit 32 bits (such formats are refused).
std::optional<uint32_t> PictureBytes(int32_t width, int32_t height, uint32_t bitsPerPixel);

// The size a picture of the kind has as the codec reports it in a format (biSizeImage): its pixels
// times its bit count, unpadded, or for a kind whose bit count names no size (v210) its picture.
// Empty when that does not fit 32 bits.
std::optional<uint32_t> ReportedImageBytes(const PixelFormat& f, int32_t width, int32_t height);

// The input image size a capture run stores: biSizeImage, or the DIB size (rows padded to 4
// bytes; 16 bits a pixel for YUY2 and UYVY) when the host left it 0. A kind of unpadded rows
// stores its picture size, which a non-zero biSizeImage must equal. Empty when the dimensions
// are unusable, or the size or shape does not fit the kind.
std::optional<uint32_t> InputImageBytes(const BitmapHeader& header);

// Largest compressed frame: width x height x 5 for RGB input, x 3 otherwise; empty if it does not
// fit a positive 32-bit result.
std::optional<int32_t> LargestFrameBytes(const BitmapHeader& in);

constexpr uint64_t RoundUpToPage(uint64_t n, uint32_t pageSize) {
    return (n + pageSize - 1) & ~uint64_t(pageSize - 1);
}

// Fills the 52-byte stream format for an input header (no chained codec part).
StreamFormatHeader MakeStreamFormat(const BitmapHeader& in);

// The decompress output for an uncompressed stream: `out` receives the completed header; returns
// false when the pair is not one the stream can produce (out then keeps the copied header).
bool CompleteRawOutputFormat(const StreamFormatHeader& in, PixelKind wanted, BitmapHeader& out);

// Whether the frames of a raw stream could be played at all: false when its source names a kind
// of exact bit count at another one, or a picture that kind cannot have (an odd width where two
// pixels share chroma). The kinds of padded bitmap rows always pass, as they always have.
bool StoredSourceUsable(const StreamFormatHeader& stream);

// Whether a stored raw stream of `source` kind can be delivered as `target`.
bool RawOutputAccepted(PixelKind source, PixelKind target);

} // namespace kestro
