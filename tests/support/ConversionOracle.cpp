#include "ConversionOracle.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "pure/RawConversions.h"

namespace kestro::oracle {
namespace {

uint64_t Magnitude(int32_t v) {
    return v < 0 ? uint64_t(-int64_t(v)) : uint64_t(v);
}

uint64_t Pad4(uint64_t bytes) {
    return (bytes + 3) / 4 * 4;
}

// Bytes of a pixel along a row: a planar kind's luma sample, a packed kind's share of its group.
uint32_t PixelBytesOf(const PixelFormat& f) {
    return f.layout == Layout::Planar ? f.planes.sampleBytes : f.bitCount / 8u;
}

// A 10-bit row is whole blocks of 48 pixels in 128 bytes; every other row its pixels alone.
uint64_t Row(const PixelFormat& f, uint32_t width) {
    if (f.layout == Layout::Packed10)
        return (uint64_t(width) + 47) / 48 * 128;
    return uint64_t(width) * PixelBytesOf(f);
}

// The kinds of the first releases store bitmap rows, padded to 4 bytes; the others their rows.
uint64_t StoredStride(const PixelFormat& f, uint32_t width) {
    return f.dibRows ? (uint64_t(width) * f.bitCount + 31) / 32 * 4 : Row(f, width);
}

bool TopFirst(const PixelFormat& f, int32_t height) {
    return f.rows == RowOrder::TopFirst || height < 0;
}

bool WholeBlocks(const PixelFormat& f, uint64_t width, uint64_t rows) {
    if (f.layout != Layout::Planar)
        return true;
    return width % (1u << f.planes.shiftX) == 0 && rows % (1u << f.planes.shiftY) == 0;
}

// Sample i of a plane row at 8 bits: a two-byte sample holds 10 bits at the top, rounded to 8.
uint8_t Sample(const uint8_t* row, size_t i, uint32_t bytes) {
    if (bytes == 1)
        return row[i];
    const uint32_t v = uint32_t(row[2 * i] | row[2 * i + 1] << 8) >> 6;
    return uint8_t(std::min(255u, (v + 2) >> 2));
}

// Row r of a planar picture as YUY2: each pair of pixels with the chroma of its block.
void PlanarAsYuy2(const PixelFormat& f, const uint8_t* picture, uint32_t width, uint32_t rows,
                  uint32_t r, uint8_t* out) {
    const PlaneLayout& p = f.planes;
    const size_t lumaStride = size_t(width) * p.sampleBytes;
    const size_t step = p.count == 2 ? 2 : 1; // samples from one chroma pair to the next
    const size_t chromaStride = size_t(width >> p.shiftX) * step * p.sampleBytes;
    const uint8_t* first = picture + lumaStride * rows;
    const uint8_t* second =
        p.count == 2 ? first + p.sampleBytes : first + chromaStride * (rows >> p.shiftY);
    const size_t c = size_t(r >> p.shiftY) * chromaStride;
    const uint8_t* cb = (p.redFirst ? second : first) + c;
    const uint8_t* cr = (p.redFirst ? first : second) + c;
    const uint8_t* luma = picture + r * lumaStride;
    for (uint32_t x = 0; x < width; ++x)
        out[2 * x] = Sample(luma, x, p.sampleBytes);
    for (uint32_t k = 0; k < width / 2; ++k) {
        const size_t at = size_t((2 * k) >> p.shiftX) * step;
        out[4 * k + 1] = Sample(cb, at, p.sampleBytes);
        out[4 * k + 3] = Sample(cr, at, p.sampleBytes);
    }
}

// Row r of a stored YUV picture as the YUY2 row of the same pixels, 2 bytes a pixel; a lone last
// pixel is its luma and the byte stored beside it.
void AsYuy2(const PixelFormat& f, const uint8_t* picture, uint32_t width, uint32_t rows,
            uint64_t stride, uint32_t r, Bytes& out) {
    out.assign(2 * size_t(width), 0);
    const uint8_t* row = picture + r * stride;
    const uint32_t pairs = width / 2;
    if (f.layout == Layout::Packed422) { // samples of one or two bytes, four a group
        const PackedOrder o = f.order;
        const uint32_t b = f.planes.sampleBytes;
        for (uint32_t k = 0; k < pairs; ++k) {
            out[4 * k] = Sample(row, 4 * k + o.y0, b), out[4 * k + 1] = Sample(row, 4 * k + o.u, b);
            out[4 * k + 2] = Sample(row, 4 * k + o.y1, b);
            out[4 * k + 3] = Sample(row, 4 * k + o.v, b);
        }
        if (width & 1) {
            out[4 * pairs] = Sample(row, 4 * pairs + o.y0, b);
            out[4 * pairs + 1] = Sample(row, 4 * pairs + 1 - o.y0, b);
        }
    } else if (f.layout == Layout::Luma) { // no chroma: Cb = Cr = 0
        for (uint32_t x = 0; x < width; ++x)
            out[2 * x] = row[x], out[2 * x + 1] = 128;
    } else if (f.layout == Layout::Packed10) {
        // The samples in word order, from bit 0 up, are Cb Y Cr Y ...: UYVY's order at 10 bits,
        // each rounded to 8 (1022 and 1023 stay 255), exchanged in pairs into YUY2's.
        for (uint32_t i = 0; i < 2 * width; ++i) {
            uint32_t word;
            std::memcpy(&word, row + 16 * (i / 12) + 4 * (i % 12 / 3), 4);
            out[i ^ 1] = uint8_t(std::min(255u, (((word >> (10 * (i % 3))) & 1023) + 2) / 4));
        }
    } else if (f.layout == Layout::Planar) {
        PlanarAsYuy2(f, picture, width, rows, r, out.data());
    }
}

// The first conversion row from an 8-bit packed 4:2:2 kind of the matrix to `output`: its scalar
// row holds the colour arithmetic of that matrix.
const RawConversionRow* ColourRowFor(Matrix matrix, PixelKind output) {
    for (const RawConversionRow& r : kRawConversions) {
        const PixelFormat* from = FormatOf(r.source);
        if (!r.anyOutput && r.output == output && Converts(r.op) && from &&
            from->layout == Layout::Packed422 && from->planes.sampleBytes == 1 &&
            from->matrix == matrix)
            return &r;
    }
    return nullptr;
}

// Output row `dst` from stored row r; false for a pair without a rule here.
bool OutputRow(const PixelFormat& from, const PixelFormat& to, const uint8_t* picture,
               uint32_t width, uint32_t rows, uint64_t stride, uint32_t r, uint8_t* dst,
               Bytes& yuy2) {
    const uint8_t* row = picture + r * stride;
    if (from.kind == to.kind) {
        std::memcpy(dst, row, size_t(Row(to, width)));
        return true;
    }
    if (from.layout == Layout::Rgb && to.layout == Layout::Rgb) { // blue, green, red kept
        const uint32_t a = PixelBytesOf(from), b = PixelBytesOf(to);
        for (uint32_t x = 0; x < width; ++x) {
            std::memcpy(dst + size_t(b) * x, row + size_t(a) * x, 3);
            if (b == 4)
                dst[4 * size_t(x) + 3] = 0;
        }
        return true;
    }
    if (from.matrix == Matrix::None)
        return false;
    AsYuy2(from, picture, width, rows, stride, r, yuy2);
    if (to.layout == Layout::Packed422) {
        const Bytes placed = InOrder(yuy2, to.order);
        std::memcpy(dst, placed.data(), placed.size());
        return true;
    }
    const RawConversionRow* colour =
        to.layout == Layout::Rgb ? ColourRowFor(from.matrix, to.kind) : nullptr;
    if (!colour)
        return false;
    const Bytes placed = InOrder(yuy2, FormatOf(colour->source)->order);
    reference::ConvertRow(colour->op, placed.data(), dst, width);
    return true;
}

// Output row j, dstStride apart, from stored row rows-1-j when reversed, else j.
bool OutputRows(const PixelFormat& from, const PixelFormat& to, const uint8_t* stored,
                uint32_t width, uint32_t rows, uint64_t srcStride, bool reverse, uint8_t* out,
                uint64_t dstStride) {
    Bytes yuy2;
    for (uint32_t j = 0; j < rows; ++j)
        if (!OutputRow(from, to, stored, width, rows, srcStride, reverse ? rows - 1 - j : j,
                       out + j * dstStride, yuy2))
            return false;
    return true;
}

// The sizes and row order of a request, without its bytes.
std::optional<Expected> LayoutOf(const Request& r) {
    const PixelFormat* from = FormatOf(r.source);
    const PixelFormat* to = FormatOf(r.output);
    const RawConversionRow* row = ConversionFor(r.source, r.output);
    const uint64_t rows = Magnitude(r.streamHeight);
    if (!from || !to || !row || row->op == RawOp::Refuse || r.width <= 0 || rows == 0 ||
        rows != Magnitude(r.outputHeight) || !WholeBlocks(*from, uint32_t(r.width), rows))
        return std::nullopt;
    const uint32_t width = uint32_t(r.width);
    const bool planarCopy = from->layout == Layout::Planar && from == to;
    const uint64_t rowBytes = Row(*to, width);
    const uint64_t stride = r.paddedRows && !planarCopy ? Pad4(rowBytes) : rowBytes;
    const uint64_t stored = StoredBytes(r.source, r.width, r.streamHeight);
    const uint64_t output = planarCopy ? stored : stride * rows;
    if (stored > UINT32_MAX || output > UINT32_MAX)
        return std::nullopt;
    Expected e;
    e.width = width;
    e.rows = uint32_t(rows);
    e.srcStride = uint32_t(StoredStride(*from, width));
    e.rowBytes = uint32_t(rowBytes);
    e.stride = uint32_t(stride);
    e.storedBytes = uint32_t(stored);
    e.reverseRows = TopFirst(*from, r.streamHeight) != TopFirst(*to, r.outputHeight);
    e.bytes.resize(size_t(output));
    return e;
}

bool Fill(const Request& r, Expected& e, const uint8_t* stored) {
    const PixelFormat& from = *FormatOf(r.source);
    const PixelFormat& to = *FormatOf(r.output);
    const bool sameRows = !e.reverseRows && e.srcStride == e.stride;
    if ((from.layout == Layout::Planar && from.kind == to.kind) ||
        (from.kind == to.kind && sameRows)) { // the stored bytes as they lie, padding and all
        std::memcpy(e.bytes.data(), stored, e.bytes.size());
        return true;
    }
    e.paddingCompared =
        !(sameRows && from.layout == Layout::Packed422 && to.layout == Layout::Packed422);
    std::fill(e.bytes.begin(), e.bytes.end(), uint8_t(0));
    return OutputRows(from, to, stored, e.width, e.rows, e.srcStride, e.reverseRows, e.bytes.data(),
                      e.stride);
}

std::string Mismatch(const char* field, uint64_t got, uint64_t expected) {
    return std::string("plan's ") + field + " is " + std::to_string(got) + ", the kinds give " +
           std::to_string(expected);
}

} // namespace

uint64_t RowBytes(PixelKind kind, uint32_t width) {
    const PixelFormat* f = FormatOf(kind);
    return f ? Row(*f, width) : 0;
}

uint64_t StoredBytes(PixelKind kind, int32_t width, int32_t height) {
    const PixelFormat* f = FormatOf(kind);
    if (!f || width <= 0)
        return 0;
    const uint64_t rows = Magnitude(height);
    const uint64_t luma = StoredStride(*f, uint32_t(width)) * rows;
    const PlaneLayout& p = f->planes;
    if (p.count == 1)
        return luma;
    const uint64_t chroma = (uint64_t(width) >> p.shiftX) * (rows >> p.shiftY) * p.sampleBytes;
    return luma + chroma * (p.count == 2 ? 2 : 1) * (p.count - 1);
}

std::optional<Expected> ExpectedOutput(const Request& request, const uint8_t* stored) {
    std::optional<Expected> e = LayoutOf(request);
    if (e && !Fill(request, *e, stored))
        return std::nullopt;
    return e;
}

std::string Difference(const Request& request, const RawConversion& plan, const uint8_t* stored,
                       const uint8_t* output) {
    std::optional<Expected> e = LayoutOf(request);
    if (!e)
        return "the kinds' rows deliver no such conversion, yet it was planned";
    const std::pair<const char*, std::pair<uint64_t, uint64_t>> fields[] = {
        {"width", {plan.width, e->width}},
        {"rows", {plan.rows, e->rows}},
        {"srcStride", {plan.srcStride, e->srcStride}},
        {"dstRowBytes", {plan.dstRowBytes, e->rowBytes}},
        {"dstStride", {plan.dstStride, e->stride}},
        {"reverseRows", {plan.reverseRows, e->reverseRows}},
        {"storedBytes", {plan.storedBytes, e->storedBytes}},
        {"outputBytes", {plan.outputBytes, e->bytes.size()}},
    };
    for (const auto& [field, values] : fields)
        if (values.first != values.second)
            return Mismatch(field, values.first, values.second);
    if (!Fill(request, *e, stored))
        return "no rule here for this pair of kinds";
    const size_t rowSpan = e->paddingCompared ? e->stride : e->rowBytes;
    for (uint32_t j = 0; j < e->rows; ++j)
        for (size_t i = 0; i < rowSpan; ++i) {
            const size_t at = size_t(j) * e->stride + i;
            if (output[at] != e->bytes[at])
                return "row " + std::to_string(j) + " byte " + std::to_string(i) + " is " +
                       std::to_string(output[at]) + ", expected " + std::to_string(e->bytes[at]);
        }
    // Planes after the luma rows (a planar picture as itself).
    for (size_t at = size_t(e->rows) * e->stride; at < e->bytes.size(); ++at)
        if (output[at] != e->bytes[at])
            return "byte " + std::to_string(at) + " after the rows differs";
    return {};
}

Bytes ExpectedPicture(RawOp op, const uint8_t* stored, uint32_t width, uint32_t height,
                      bool reverseRows) {
    const RawConversionRow* row = RowOfOp(op);
    if (!row || !Converts(op))
        return {};
    const PixelFormat& from = *FormatOf(row->source);
    const PixelFormat& to = *FormatOf(row->output);
    if (!WholeBlocks(from, width, height))
        return {};
    Bytes out(size_t(Row(to, width)) * height);
    if (!OutputRows(from, to, stored, width, height, Row(from, width), reverseRows, out.data(),
                    Row(to, width)))
        return {};
    return out;
}

Bytes InOrder(const Bytes& yuy2, PackedOrder order) {
    Bytes out(yuy2.size());
    size_t i = 0;
    for (; i + 4 <= yuy2.size(); i += 4) {
        out[i + order.y0] = yuy2[i];
        out[i + order.u] = yuy2[i + 1];
        out[i + order.y1] = yuy2[i + 2];
        out[i + order.v] = yuy2[i + 3];
    }
    if (i + 2 <= yuy2.size()) {
        out[i + order.y0] = yuy2[i];
        out[i + 1 - order.y0] = yuy2[i + 1];
    }
    return out;
}

} // namespace kestro::oracle
