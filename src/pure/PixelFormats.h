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
    Packed422, // two pixels in four samples sharing one chroma pair, placed by a PackedOrder
    Luma,      // one luma sample a pixel and no chroma (Cb = Cr = 0)
    Indexed,   // palette indices
    Planar,    // a luma plane, then subsampled chroma as a PlaneLayout places it
    Packed10   // 4:2:2 samples of 10 bits, three to a little-endian 32-bit word (PictureShape.h)
};

// Places, inside a packed 4:2:2 group of four samples, of the left and right pixels' luma and
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

// Where the planes of a kind lie and how wide its samples are: every kind but the planar ones is
// one plane (of two-byte samples where sampleBytes says so). A planar picture is its luma plane
// (width x height samples), then its chroma at 1/2^shiftX of the width and 1/2^shiftY of the
// height, either as one plane of interleaved blue- and red-difference pairs (2 planes) or as two
// planes (3). All rows unpadded. A structural type, so that a kernel is instantiated for a layout.
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
    Layout layout;
    PackedOrder order; // where the samples of a packed group lie (a 10-bit group: in word order)
    Matrix matrix;     // YUV kinds only
    // Rows padded to 4 bytes as bitmap rows are, and any biSizeImage taken as the host gives it:
    // the kinds of the first releases, whose stored frames keep that layout. A kind without it
    // has unpadded rows, whole chroma blocks, and a biSizeImage of 0 or exactly its picture.
    bool dibRows;
    PlaneLayout planes;
    uint16_t rowAlign = 1;    // rows come in whole blocks of this many bytes
    bool ffmpegCodec = false; // ffmpegName is a codec of FFmpeg's whose packets are the rows
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
     .layout = Layout::Packed10,
     .order = kOrderUyvy,
     .matrix = Matrix::Bt601,
     .dibRows = false,
     .planes = kOnePlane,
     .rowAlign = 128,
     .ffmpegCodec = true},
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
     .layout = Layout::Planar,
     .order = {},
     .matrix = Matrix::Bt601,
     .dibRows = false,
     .planes = {.count = 2, .shiftX = 1, .shiftY = 1, .sampleBytes = 2, .redFirst = false}},
    // What Windows' capture stack delivers for 10-bit 4:2:2: YUY2's order in 16-bit little-endian
    // samples, each value in the high 10 bits (the low 6 are kept as stored and change nothing).
    {.kind = KIND_Y210,
     .name = "y210",
     .fourcc = kFourccY210,
     .alsoRead = kFourccY210,
     .alsoReadToo = kFourccY210,
     .bitCount = 32,
     .anyBitCount = false,
     .pairedPixels = true,
     .rows = RowOrder::TopFirst,
     .recognised = true,
     .stored = true,
     .largestFrameFactor = 5,
     .ffmpegName = "y210le",
     .layout = Layout::Packed422,
     .order = kOrderYuy2,
     .matrix = Matrix::Bt601,
     .dibRows = false,
     .planes = {.count = 1, .shiftX = 0, .shiftY = 0, .sampleBytes = 2, .redFirst = false}},
    // P010 with 4:2:2 chroma: the interleaved chroma plane at half the width and the full height.
    {.kind = KIND_P210,
     .name = "p210",
     .fourcc = kFourccP210,
     .alsoRead = kFourccP210,
     .alsoReadToo = kFourccP210,
     .bitCount = 32,
     .anyBitCount = false,
     .pairedPixels = true,
     .rows = RowOrder::TopFirst,
     .recognised = true,
     .stored = true,
     .largestFrameFactor = 5,
     .ffmpegName = "p210le",
     .layout = Layout::Planar,
     .order = {},
     .matrix = Matrix::Bt601,
     .dibRows = false,
     .planes = {.count = 2, .shiftX = 1, .shiftY = 0, .sampleBytes = 2, .redFirst = false}},
};

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

constexpr bool TopRowFirst(const PixelFormat& f, int32_t height) {
    return f.rows == RowOrder::TopFirst || height < 0;
}

} // namespace kestro
