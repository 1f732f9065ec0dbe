#pragma once
// What each pixel kind is: one row per kind, so that a new kind is one new row here and the
// switches that used to spell these facts cannot miss it.
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

#include "pure/PixelKind.h"

namespace kestro {

// How the rows of a stored picture lie.
enum class RowOrder : uint8_t {
    TopFirst,                // whatever the sign of the height (packed YUV bitmaps)
    BottomFirstUnlessTopDown // an RGB bitmap: bottom row first unless its height is negative
};

// How the samples of a kind lie in memory.
enum class Layout : uint8_t {
    Rgb,       // blue, green, red[, a fourth byte] a pixel
    Packed422, // two pixels in four bytes sharing one chroma pair, placed by a PackedOrder
    Luma,      // one luma byte a pixel and no chroma (Cb = Cr = 0)
    Indexed,   // palette indices
    Planar,    // a luma plane, then subsampled chroma as a PlaneLayout places it
    Packed10   // 10-bit 4:2:2: six pixels in four little-endian 32-bit words (see V210Sample)
};

// Byte offsets, inside a packed 4:2:2 group of four bytes, of the left and right pixels' luma and
// of the pair's blue- and red-difference chroma. A structural type, so that a kernel is
// instantiated for an order rather than told it at run time.
struct PackedOrder {
    uint8_t y0, u, y1, v;
    constexpr bool operator==(const PackedOrder&) const = default;
};
inline constexpr PackedOrder kOrderYuy2{.y0 = 0, .u = 1, .y1 = 2, .v = 3};
inline constexpr PackedOrder kOrderUyvy{.y0 = 1, .u = 0, .y1 = 3, .v = 2};

// The kernels' SIMD bodies split a group into even and odd bytes: luma on one parity, chroma on
// the other, each in order along the group.
constexpr bool IsSplittableOrder(PackedOrder o) {
    return o.y1 == o.y0 + 2 && o.y0 < 2 && (o.u & 1) != (o.y0 & 1) && (o.v & 1) != (o.y0 & 1) &&
           o.u != o.v && o.u < 4 && o.v < 4;
}

// Where the planes of a kind lie: every kind but the planar ones is one plane of one-byte
// samples. A planar picture is its luma plane (width x height samples), then its chroma at
// 1/2^shiftX of the width and 1/2^shiftY of the height, either as one plane of interleaved
// blue- and red-difference pairs (2 planes) or as two planes (3). All rows unpadded. A structural
// type, so that a kernel is instantiated for a layout.
struct PlaneLayout {
    uint8_t count;       // 1, 2 or 3
    uint8_t shiftX;      // chroma subsampling along a row, as a shift
    uint8_t shiftY;      // and down the picture
    uint8_t sampleBytes; // 1, or 2 for a little-endian sample with its value in the high bits
    bool redFirst;       // the red-difference chroma comes first (in its pair or as a plane)
    constexpr bool operator==(const PlaneLayout&) const = default;
};
inline constexpr PlaneLayout kOnePlane{
    .count = 1, .shiftX = 0, .shiftY = 0, .sampleBytes = 1, .redFirst = false};

// The colour matrix from studio-range YUV to RGB.
enum class Matrix : uint8_t { None, Bt601, Bt709 };

// The chroma factors of a matrix in 14-bit fixed point at the doubled chroma scale of the rows
// (round(c x 8192) of the studio-range coefficient c): red from Cr, green from Cb and from Cr,
// blue from Cb. The luma factor, 19077, is the same for both.
struct ChromaFactors {
    int16_t redCr, greenCb, greenCr, blueCb;
};
constexpr ChromaFactors FactorsOf(Matrix m) {
    return m == Matrix::Bt709 ? ChromaFactors{14686, 1747, 4366, 17305}
                              : ChromaFactors{13075, 3209, 6660, 16525};
}

struct PixelFormat {
    PixelKind kind;
    const char* name;     // as the tools spell it on their command lines and in their output
    uint32_t fourcc;      // the biCompression it is written with (0: BI_RGB)
    uint32_t alsoRead;    // a second biCompression read as this kind (fourcc itself when none)
    uint32_t alsoReadToo; // a third (fourcc itself when none)
    uint16_t bitCount;    // bits a pixel, the biBitCount it is written with
    bool anyBitCount;     // the code alone names the kind; RGB needs the bit count as well
    bool pairedPixels;    // two pixels share one chroma pair, so the width must be even
    RowOrder rows;        // row order as stored
    bool recognised;      // a bitmap header of the codec's hosts is classified as this kind
    bool stored;          // a capture without a chained codec takes it and stores it raw
    uint8_t largestFrameFactor; // bytes a pixel that the largest compressed frame is given
    const char* ffmpegName;     // ffmpeg's pixel format of packed pictures; null: not exported
    uint8_t black[2];           // a black picture is this byte pair repeated
    Layout layout;
    PackedOrder order; // Packed422 only
    Matrix matrix;     // YUV kinds only
    // Rows padded to 4 bytes as bitmap rows are, and any biSizeImage taken as the host gives it:
    // the kinds of the first releases, whose stored frames keep that layout. A kind without it
    // has unpadded rows, whole chroma blocks, and a biSizeImage of 0 or exactly its picture.
    bool dibRows;
    PlaneLayout planes;
};

inline constexpr PixelFormat kPixelFormats[] = {
    {.kind = KIND_YUY2,
     .name = "yuy2",
     .fourcc = kFourccYuy2,
     .alsoRead = kFourccVyuy,
     .alsoReadToo = kFourccVyuy,
     .bitCount = 16,
     .anyBitCount = true,
     .pairedPixels = true,
     .rows = RowOrder::TopFirst,
     .recognised = true,
     .stored = true,
     .largestFrameFactor = 3,
     .ffmpegName = "yuyv422",
     .black = {16, 128},
     .layout = Layout::Packed422,
     .order = kOrderYuy2,
     .matrix = Matrix::Bt601,
     .dibRows = true,
     .planes = kOnePlane},
    {.kind = KIND_UYVY,
     .name = "uyvy",
     .fourcc = kFourccUyvy,
     .alsoRead = kFourccUyvy,
     .alsoReadToo = kFourccUyvy,
     .bitCount = 16,
     .anyBitCount = true,
     .pairedPixels = true,
     .rows = RowOrder::TopFirst,
     .recognised = true,
     .stored = true,
     .largestFrameFactor = 3,
     .ffmpegName = "uyvy422",
     .black = {128, 16},
     .layout = Layout::Packed422,
     .order = kOrderUyvy,
     .matrix = Matrix::Bt601,
     .dibRows = true,
     .planes = kOnePlane},
    {.kind = KIND_RGB24,
     .name = "rgb24",
     .fourcc = kCompressionRgb,
     .alsoRead = kFourccDib,
     .alsoReadToo = kFourccDib,
     .bitCount = 24,
     .anyBitCount = false,
     .pairedPixels = false,
     .rows = RowOrder::BottomFirstUnlessTopDown,
     .recognised = true,
     .stored = true,
     .largestFrameFactor = 5,
     .ffmpegName = "bgr24",
     .black = {0, 0},
     .layout = Layout::Rgb,
     .order = {},
     .matrix = Matrix::None,
     .dibRows = true,
     .planes = kOnePlane},
    {.kind = KIND_RGB32,
     .name = "rgb32",
     .fourcc = kCompressionRgb,
     .alsoRead = kFourccDib,
     .alsoReadToo = kFourccDib,
     .bitCount = 32,
     .anyBitCount = false,
     .pairedPixels = false,
     .rows = RowOrder::BottomFirstUnlessTopDown,
     .recognised = true,
     .stored = true,
     .largestFrameFactor = 5,
     .ffmpegName = "bgra",
     .black = {0, 0},
     .layout = Layout::Rgb,
     .order = {},
     .matrix = Matrix::None,
     .dibRows = true,
     .planes = kOnePlane},
    // Grey-palette indices: only kestro-host's test input for chained codecs; the codec itself
    // treats an 8-bit bitmap as a kind it does not know.
    {.kind = KIND_PAL8,
     .name = "pal8",
     .fourcc = kCompressionRgb,
     .alsoRead = kCompressionRgb,
     .alsoReadToo = kCompressionRgb,
     .bitCount = 8,
     .anyBitCount = false,
     .pairedPixels = false,
     .rows = RowOrder::BottomFirstUnlessTopDown,
     .recognised = false,
     .stored = false,
     .largestFrameFactor = 3,
     .ffmpegName = nullptr,
     .black = {0, 0},
     .layout = Layout::Indexed,
     .order = {},
     .matrix = Matrix::None,
     .dibRows = true,
     .planes = kOnePlane},
    {.kind = KIND_YVYU,
     .name = "yvyu",
     .fourcc = kFourccYvyu,
     .alsoRead = kFourccYvyu,
     .alsoReadToo = kFourccYvyu,
     .bitCount = 16,
     .anyBitCount = false,
     .pairedPixels = true,
     .rows = RowOrder::TopFirst,
     .recognised = true,
     .stored = true,
     .largestFrameFactor = 3,
     .ffmpegName = "yvyu422",
     .black = {16, 128},
     .layout = Layout::Packed422,
     .order = {.y0 = 0, .u = 3, .y1 = 2, .v = 1},
     .matrix = Matrix::Bt601,
     .dibRows = false,
     .planes = kOnePlane},
    {.kind = KIND_Y800,
     .name = "y800",
     .fourcc = kFourccY800,
     .alsoRead = kFourccY8,
     .alsoReadToo = kFourccGrey,
     .bitCount = 8,
     .anyBitCount = false,
     .pairedPixels = false,
     .rows = RowOrder::TopFirst,
     .recognised = true,
     .stored = true,
     .largestFrameFactor = 3,
     .ffmpegName = "gray",
     .black = {16, 16},
     .layout = Layout::Luma,
     .order = {},
     .matrix = Matrix::Bt601,
     .dibRows = false,
     .planes = kOnePlane},
    // UYVY's bytes from a high-definition source: BT.709 colours.
    {.kind = KIND_HDYC,
     .name = "hdyc",
     .fourcc = kFourccHdyc,
     .alsoRead = kFourccHdyc,
     .alsoReadToo = kFourccHdyc,
     .bitCount = 16,
     .anyBitCount = false,
     .pairedPixels = true,
     .rows = RowOrder::TopFirst,
     .recognised = true,
     .stored = true,
     .largestFrameFactor = 3,
     .ffmpegName = "uyvy422",
     .black = {128, 16},
     .layout = Layout::Packed422,
     .order = kOrderUyvy,
     .matrix = Matrix::Bt709,
     .dibRows = false,
     .planes = kOnePlane},
    {.kind = KIND_NV12,
     .name = "nv12",
     .fourcc = kFourccNv12,
     .alsoRead = kFourccNv12,
     .alsoReadToo = kFourccNv12,
     .bitCount = 12,
     .anyBitCount = false,
     .pairedPixels = true,
     .rows = RowOrder::TopFirst,
     .recognised = true,
     .stored = true,
     .largestFrameFactor = 3,
     .ffmpegName = "nv12",
     .black = {16, 128},
     .layout = Layout::Planar,
     .order = {},
     .matrix = Matrix::Bt601,
     .dibRows = false,
     .planes = {.count = 2, .shiftX = 1, .shiftY = 1, .sampleBytes = 1, .redFirst = false}},
    {.kind = KIND_I420,
     .name = "i420",
     .fourcc = kFourccI420,
     .alsoRead = kFourccIyuv,
     .alsoReadToo = kFourccIyuv,
     .bitCount = 12,
     .anyBitCount = false,
     .pairedPixels = true,
     .rows = RowOrder::TopFirst,
     .recognised = true,
     .stored = true,
     .largestFrameFactor = 3,
     .ffmpegName = "yuv420p",
     .black = {16, 128},
     .layout = Layout::Planar,
     .order = {},
     .matrix = Matrix::Bt601,
     .dibRows = false,
     .planes = {.count = 3, .shiftX = 1, .shiftY = 1, .sampleBytes = 1, .redFirst = false}},
    // I420 with its chroma planes the other way round.
    {.kind = KIND_YV12,
     .name = "yv12",
     .fourcc = kFourccYv12,
     .alsoRead = kFourccYv12,
     .alsoReadToo = kFourccYv12,
     .bitCount = 12,
     .anyBitCount = false,
     .pairedPixels = true,
     .rows = RowOrder::TopFirst,
     .recognised = true,
     .stored = true,
     .largestFrameFactor = 3,
     .ffmpegName = nullptr,
     .black = {16, 128},
     .layout = Layout::Planar,
     .order = {},
     .matrix = Matrix::Bt601,
     .dibRows = false,
     .planes = {.count = 3, .shiftX = 1, .shiftY = 1, .sampleBytes = 1, .redFirst = true}},
    // Studio equipment's 10-bit 4:2:2, each row in whole blocks of 128 bytes (48 pixels). The
    // bit count names no byte count: rows and pictures are sized by the block rule alone.
    {.kind = KIND_V210,
     .name = "v210",
     .fourcc = kFourccV210,
     .alsoRead = kFourccV210,
     .alsoReadToo = kFourccV210,
     .bitCount = 20,
     .anyBitCount = false,
     .pairedPixels = true,
     .rows = RowOrder::TopFirst,
     .recognised = true,
     .stored = true,
     .largestFrameFactor = 3,
     .ffmpegName = "v210",
     .black = {0, 0},
     .layout = Layout::Packed10,
     .order = {},
     .matrix = Matrix::Bt601,
     .dibRows = false,
     .planes = kOnePlane},
    // NV12 of an HDR source: 16-bit little-endian samples, each value in the high 10 bits. The
    // low 6 bits are below the value: they are stored as they came and never change a conversion.
    {.kind = KIND_P010,
     .name = "p010",
     .fourcc = kFourccP010,
     .alsoRead = kFourccP010,
     .alsoReadToo = kFourccP010,
     .bitCount = 24,
     .anyBitCount = false,
     .pairedPixels = true,
     .rows = RowOrder::TopFirst,
     .recognised = true,
     .stored = true,
     .largestFrameFactor = 5,
     .ffmpegName = "p010le",
     .black = {16, 128},
     .layout = Layout::Planar,
     .order = {},
     .matrix = Matrix::Bt601,
     .dibRows = false,
     .planes = {.count = 2, .shiftX = 1, .shiftY = 1, .sampleBytes = 2, .redFirst = false}},
};

// The row of a kind; null for KIND_NONE and KIND_STORED, which are no pixel format.
// The row of a kind by its index (the table's size for none). Tables built at compile time use
// this: with the sanitizers GCC keeps null checks (-fno-delete-null-pointer-checks) and then
// cannot fold an element's address compared with null in a constant expression.
constexpr size_t FormatIndexOf(PixelKind kind) {
    for (size_t i = 0; i < std::size(kPixelFormats); ++i)
        if (kPixelFormats[i].kind == kind)
            return i;
    return std::size(kPixelFormats);
}

constexpr const PixelFormat* FormatOf(PixelKind kind) {
    for (const PixelFormat& f : kPixelFormats)
        if (f.kind == kind)
            return &f;
    return nullptr;
}

// Whether a biCompression is one of the codes of the kind.
constexpr bool NamesKind(const PixelFormat& f, uint32_t compression) {
    return compression == f.fourcc || compression == f.alsoRead || compression == f.alsoReadToo;
}

// The recognised kind that a bitmap header's compression and bit count name; null for none.
constexpr const PixelFormat* FormatFor(uint32_t compression, uint16_t bitCount) {
    for (const PixelFormat& f : kPixelFormats)
        if (f.recognised && NamesKind(f, compression) && (f.anyBitCount || bitCount == f.bitCount))
            return &f;
    return nullptr;
}

// The row a tool's name stands for ("yuy2"); null for a name no kind has.
constexpr const PixelFormat* FormatNamed(std::string_view name) {
    for (const PixelFormat& f : kPixelFormats)
        if (name == f.name)
            return &f;
    return nullptr;
}

// Bytes of one bitmap row: padded to 4 bytes, in 64 bits (2^30 pixels at 32 bits is 2^32 bytes).
constexpr uint64_t DibRowBytes(int32_t width, uint32_t bits) {
    return ((uint64_t(width < 0 ? 0 : width) * bits + 31) / 32) * 4;
}

// Bytes of one pixel as the kernels step through a row: a packed 4:2:2 pixel is half a group, a
// planar pixel its luma sample. A 10-bit kind has none (its pixels share words); its rows are
// sized by PackedRowBytes.
constexpr uint32_t PixelBytes(const PixelFormat& f) {
    return f.layout == Layout::Planar ? f.planes.sampleBytes : f.bitCount / 8u;
}

// A 10-bit 4:2:2 row: six pixels in 16 bytes, the row in whole blocks of 48 pixels (128 bytes),
// so that a row of 1920 pixels takes 5120 bytes and one of 1280 takes 3456, not 3413.
constexpr uint64_t Packed10RowBytes(uint64_t width) {
    return (width + 47) / 48 * 128;
}

// One row as pipes, raw files and the kernels carry it: the pixels alone (of a planar kind, its
// luma row), or a 10-bit kind's blocks, whose padding belongs to the kind itself.
constexpr uint64_t PackedRowBytes(const PixelFormat& f, uint32_t width) {
    return f.layout == Layout::Packed10 ? Packed10RowBytes(width) : uint64_t(width) * PixelBytes(f);
}

// The row rule of a stored picture of the kind: a bitmap row, or the row of PackedRowBytes.
constexpr uint64_t StoredRowBytes(const PixelFormat& f, int32_t width) {
    return f.dibRows ? DibRowBytes(width, f.bitCount)
                     : PackedRowBytes(f, uint32_t(width < 0 ? 0 : width));
}

// Samples of one chroma plane of a planar picture (of both, interleaved, for two planes).
constexpr uint64_t ChromaPlaneBytes(const PixelFormat& f, uint64_t width, uint64_t rows) {
    const uint64_t samples = (width >> f.planes.shiftX) * (rows >> f.planes.shiftY);
    return samples * f.planes.sampleBytes * (f.planes.count == 2 ? 2 : 1);
}

// Bytes of a stored picture, in 64 bits (the height's sign only orders the rows).
constexpr uint64_t PictureBytesOf(const PixelFormat& f, int32_t width, int32_t height) {
    const uint64_t rows = height < 0 ? uint64_t(0) - uint64_t(int64_t(height)) : uint64_t(height);
    const uint64_t luma = StoredRowBytes(f, width) * rows;
    if (f.planes.count == 1)
        return luma;
    const uint64_t w = uint64_t(width < 0 ? 0 : width);
    return luma + ChromaPlaneBytes(f, w, rows) * (f.planes.count - 1);
}

// Why a picture of this size cannot be a frame of a kind with whole chroma blocks; null when it
// can (and always for the kinds of padded bitmap rows, which never asked).
constexpr const char* ShapeProblem(const PixelFormat& f, int32_t width, int32_t height) {
    if (!f.dibRows && f.pairedPixels && (width & 1))
        return "an odd width (two pixels share one chroma pair)";
    if (!f.dibRows && f.planes.shiftY && (height & 1))
        return "an odd height (two rows share one chroma row)";
    return nullptr;
}

// Sample i (0 to 11) of the six-pixel group g of a 10-bit row, in the order the words hold them
// from bit 0 up: Cb0 Y0 Cr0, Y1 Cb1 Y2, Cr1 Y3 Cb2, Y4 Cr2 Y5, each in bits 0-9, 10-19, 20-29.
constexpr uint32_t V210Sample(const uint8_t* row, uint32_t g, uint32_t i) {
    const uint8_t* w = row + 16 * g + 4 * (i / 3);
    const uint32_t word =
        uint32_t(w[0]) | uint32_t(w[1]) << 8 | uint32_t(w[2]) << 16 | uint32_t(w[3]) << 24;
    return word >> (10 * (i % 3)) & 0x3FF;
}

// A 10-bit sample at 8 bits: rounded to the nearest, 1022 and 1023 kept at 255.
constexpr uint8_t To8Bits(uint32_t v) {
    const uint32_t r = (v + 2) >> 2;
    return uint8_t(r > 255 ? 255 : r);
}

constexpr bool TopRowFirst(const PixelFormat& f, int32_t height) {
    return f.rows == RowOrder::TopFirst || height < 0;
}

} // namespace kestro
