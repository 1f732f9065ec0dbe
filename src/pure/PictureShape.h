#pragma once
// How large a picture of a kind is and where its samples lie, worked out for any kind from its row
// of PixelFormats.h alone: row and picture bytes, plane offsets, the least buffer a picture needs,
// and the place of every luma and chroma sample. Nothing outside src/pure works these out itself.
#include <cstddef>
#include <cstdint>

#include "pure/PixelFormats.h"

namespace kestro {

// Bytes of one bitmap row: padded to 4 bytes, in 64 bits (2^30 pixels at 32 bits is 2^32 bytes).
constexpr uint64_t DibRowBytes(int32_t width, uint32_t bits) {
    return ((uint64_t(width < 0 ? 0 : width) * bits + 31) / 32) * 4;
}

// Bytes of one pixel as the kernels step through a row: a packed 4:2:2 pixel is half a group, a
// planar pixel its luma sample. A kind whose pixels share words (v210) has none; its rows are
// sized by ShapeOf.
constexpr uint32_t PixelBytes(const PixelFormat& f) {
    return f.layout == Layout::Planar ? f.planes.sampleBytes : f.bitCount / 8u;
}

// How a sample is held: a byte; a little-endian 16-bit word with the value in its high 10 bits;
// or one of three 10-bit fields of a little-endian 32-bit word, from bit 0 up.
enum class SampleCode : uint8_t { Byte, High10Of16, Three10In32 };
constexpr SampleCode CodeOf(const PixelFormat& f) {
    return f.layout == Layout::Packed10 ? SampleCode::Three10In32
           : f.planes.sampleBytes == 2  ? SampleCode::High10Of16
                                        : SampleCode::Byte;
}

// The rows a picture is laid out in.
enum class RowRule : uint8_t {
    Stored, // as a capture stores it: bitmap rows for the kinds of dibRows, else as Packed
    Packed, // as pipes, raw files and the kernels carry it: the samples of a row and no more
            // than the kind's own row blocks
    Bitmap, // as a host's output bitmap: a one-plane kind's rows padded to 4 bytes, unless they
            // come in blocks of the kind's own; planes as Packed
};

struct PlaneShape {
    uint64_t offset = 0;   // from the picture's first byte
    uint64_t rowBytes = 0; // the samples of one row, with the kind's own row blocks
    uint64_t stride = 0;   // from one row to the next
    uint64_t rows = 0;
};

struct PictureShape {
    uint8_t planes = 0;
    PlaneShape plane[3]{};
    uint64_t bytes = 0; // of every plane: the least buffer that holds the picture (saturated)
};

namespace shape_detail {
constexpr uint64_t Times(uint64_t a, uint64_t b) {
    return a && b > UINT64_MAX / a ? UINT64_MAX : a * b;
}
constexpr uint64_t Plus(uint64_t a, uint64_t b) {
    return b > UINT64_MAX - a ? UINT64_MAX : a + b;
}
// Bytes of n samples in a row of the kind.
constexpr uint64_t RunBytes(const PixelFormat& f, uint64_t n) {
    return CodeOf(f) == SampleCode::Three10In32 ? (n + 2) / 3 * 4 : n * f.planes.sampleBytes;
}
// Samples of one row of the first plane: both chroma and luma of a packed 4:2:2 row, the bytes
// of an RGB or palette row.
constexpr uint64_t FirstPlaneSamples(const PixelFormat& f, uint64_t width) {
    switch (f.layout) {
    case Layout::Packed422:
    case Layout::Packed10:
        return 2 * width;
    case Layout::Rgb:
    case Layout::Indexed:
        return width * (f.bitCount / 8u);
    default:
        return width;
    }
}
} // namespace shape_detail

// A picture of `width` x `rows` pixels of the kind.
constexpr PictureShape ShapeOf(const PixelFormat& f, uint32_t width, uint64_t rows, RowRule rule) {
    using namespace shape_detail;
    PictureShape s;
    s.planes = f.planes.count;
    const uint64_t align = f.rowAlign;
    const uint64_t row = (RunBytes(f, FirstPlaneSamples(f, width)) + align - 1) / align * align;
    uint64_t stride = row;
    if (rule == RowRule::Stored && f.dibRows)
        stride = DibRowBytes(int32_t(width > INT32_MAX ? INT32_MAX : width), f.bitCount);
    else if (rule == RowRule::Bitmap && s.planes == 1 && align == 1)
        stride = (row + 3) / 4 * 4;
    s.plane[0] = {0, row, stride, rows};
    s.bytes = Times(stride, rows);
    const uint64_t perPlane = f.planes.count == 2 ? 2 : 1;
    const uint64_t chroma = RunBytes(f, (uint64_t(width) >> f.planes.shiftX) * perPlane);
    for (uint8_t i = 1; i < s.planes; ++i) {
        s.plane[i] = {s.bytes, chroma, chroma, rows >> f.planes.shiftY};
        s.bytes = Plus(s.bytes, Times(chroma, s.plane[i].rows));
    }
    return s;
}

// Where a pixel at the start of a group (a pair, v210's six pixels) begins in a row of the first
// plane.
constexpr uint64_t RowOffsetOf(const PixelFormat& f, uint32_t pixel) {
    return shape_detail::RunBytes(f, shape_detail::FirstPlaneSamples(f, pixel));
}

// The absolute rows of a signed bitmap height, and a negative width as none.
constexpr uint64_t RowsOf(int32_t height) {
    return height < 0 ? uint64_t(0) - uint64_t(int64_t(height)) : uint64_t(height);
}
constexpr uint32_t PixelsOf(int32_t width) {
    return uint32_t(width < 0 ? 0 : width);
}

// One row as pipes, raw files and the kernels carry it: the pixels alone (of a planar kind, its
// luma row), or a 10-bit kind's blocks, whose padding belongs to the kind itself.
constexpr uint64_t PackedRowBytes(const PixelFormat& f, uint32_t width) {
    return ShapeOf(f, width, 1, RowRule::Packed).plane[0].rowBytes;
}

// Bytes of a stored picture, in 64 bits (the height's sign only orders the rows).
constexpr uint64_t PictureBytesOf(const PixelFormat& f, int32_t width, int32_t height) {
    return ShapeOf(f, PixelsOf(width), RowsOf(height), RowRule::Stored).bytes;
}

// Whether the bitmap bit count of the kind names the size of its pictures, as it does for every
// kind whose rows are not made of blocks of their own.
constexpr bool BitCountSizesPictures(const PixelFormat& f) {
    return f.rowAlign == 1;
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

// A 10-bit sample at 8 bits: rounded to the nearest, 1022 and 1023 kept at 255.
constexpr uint8_t To8Bits(uint32_t v) {
    const uint32_t r = (v + 2) >> 2;
    return uint8_t(r > 255 ? 255 : r);
}

enum class Component : uint8_t { Y, Cb, Cr };

// Where one sample lies: a byte offset from the picture's start, and for a field of a 32-bit word
// its first bit.
struct SampleSlot {
    uint64_t at;
    uint8_t shift;
};

// The places of the samples of a YUV picture of one kind and size (rows by the rule given), read
// and written at 8 bits: the one description that the generic rows, the tools' pictures and their
// reference conversion share. Chroma belongs to a block of pixels: a pair of a packed row, the
// 2x2 or 2x1 block of a planar picture. A luma-only kind has none (Cb = Cr = 0).
class SamplePlaces {
public:
    constexpr SamplePlaces(const PixelFormat& f, uint32_t width, uint64_t rows,
                           RowRule rule = RowRule::Packed)
        : f_(f), shape_(ShapeOf(f, width, rows, rule)), code_(CodeOf(f)) {}

    constexpr const PictureShape& Shape() const { return shape_; }
    constexpr bool HasChroma() const { return f_.layout != Layout::Luma; }
    constexpr uint32_t BlockWidth() const { return Planar() ? 1u << f_.planes.shiftX : 2; }
    constexpr uint32_t BlockHeight() const { return Planar() ? 1u << f_.planes.shiftY : 1; }

    constexpr SampleSlot Luma(uint32_t x, uint64_t y) const {
        if (!Packed())
            return Slot(0, y, x);
        return Slot(0, y, 4 * uint64_t(x / 2) + (x & 1 ? f_.order.y1 : f_.order.y0));
    }
    // The chroma of the block that holds pixel (x, y).
    constexpr SampleSlot Chroma(Component c, uint32_t x, uint64_t y) const {
        const bool red = c == Component::Cr;
        if (Packed())
            return Slot(0, y, 4 * uint64_t(x / 2) + (red ? f_.order.v : f_.order.u));
        const uint64_t block = x >> f_.planes.shiftX, row = y >> f_.planes.shiftY;
        const bool second = red != f_.planes.redFirst;
        if (f_.planes.count == 2)
            return Slot(1, row, 2 * block + second);
        return Slot(second ? 2 : 1, row, block);
    }
    // The chroma stored beside the luma of a lone last pixel of a packed row (an odd width);
    // Y where there is none.
    constexpr Component LonePartner() const {
        const uint8_t place = f_.order.y0 == 0 ? 1 : 0;
        return !Packed() || !HasChroma() ? Component::Y
               : place == f_.order.u     ? Component::Cb
               : place == f_.order.v     ? Component::Cr
                                         : Component::Y;
    }

    constexpr uint8_t Read(const uint8_t* picture, SampleSlot s) const {
        const uint8_t* p = picture + s.at;
        switch (code_) {
        case SampleCode::High10Of16:
            return To8Bits(uint32_t(p[0] | p[1] << 8) >> 6);
        case SampleCode::Three10In32:
            return To8Bits(Word(p) >> s.shift & 0x3FF);
        default:
            return p[0];
        }
    }
    // An 8-bit value v at the kind's depth: the 10-bit 4v, which reads back as v.
    constexpr void Write(uint8_t* picture, SampleSlot s, uint8_t v) const {
        uint8_t* p = picture + s.at;
        if (code_ == SampleCode::High10Of16) {
            p[0] = 0, p[1] = v;
        } else if (code_ == SampleCode::Three10In32) {
            const uint32_t w = (Word(p) & ~(0x3FFu << s.shift)) | uint32_t(v) << 2 << s.shift;
            for (int k = 0; k < 4; ++k)
                p[k] = uint8_t(w >> (8 * k));
        } else {
            p[0] = v;
        }
    }

private:
    constexpr bool Packed() const {
        return f_.layout == Layout::Packed422 || f_.layout == Layout::Packed10;
    }
    constexpr bool Planar() const { return f_.layout == Layout::Planar; }
    constexpr SampleSlot Slot(int plane, uint64_t row, uint64_t sample) const {
        const PlaneShape& p = shape_.plane[plane];
        const uint64_t start = p.offset + row * p.stride;
        if (code_ == SampleCode::Three10In32)
            return {start + 4 * (sample / 3), uint8_t(10 * (sample % 3))};
        return {start + sample * f_.planes.sampleBytes, 0};
    }
    static constexpr uint32_t Word(const uint8_t* p) {
        return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    }

    const PixelFormat& f_;
    PictureShape shape_;
    SampleCode code_;
};

// Row y of a YUV picture as 8-bit packed groups in the order T: each pair's luma and its block's
// chroma (128 for a kind without). A lone last pixel (an odd width) is its luma and the sample
// stored beside it in its group.
constexpr void DecodeRow(const SamplePlaces& s, const uint8_t* picture, uint64_t y, uint32_t width,
                         PackedOrder t, uint8_t* out) {
    const uint32_t pairs = width / 2;
    for (uint32_t k = 0; k < pairs; ++k, out += 4) {
        out[t.y0] = s.Read(picture, s.Luma(2 * k, y));
        out[t.y1] = s.Read(picture, s.Luma(2 * k + 1, y));
        out[t.u] = s.HasChroma() ? s.Read(picture, s.Chroma(Component::Cb, 2 * k, y)) : 128;
        out[t.v] = s.HasChroma() ? s.Read(picture, s.Chroma(Component::Cr, 2 * k, y)) : 128;
    }
    if (width & 1) {
        out[t.y0] = s.Read(picture, s.Luma(2 * pairs, y));
        const Component other = s.LonePartner();
        out[1 - t.y0] =
            other == Component::Y ? 128 : s.Read(picture, s.Chroma(other, 2 * pairs, y));
    }
}

} // namespace kestro
