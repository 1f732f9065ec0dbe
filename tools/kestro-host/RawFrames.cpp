#include "RawFrames.h"

#include <cstdio>
#include <cstring>

#include "pure/Fourcc.h"
#include "pure/PixelFormats.h"
#include "pure/ReadPlan.h"

namespace host {

namespace {

uint8_t Clamp255(int v) {
    return v < 0 ? 0 : v > 255 ? 255 : uint8_t(v);
}

uint64_t RgbStride(FrameSize size, uint32_t bytesPerPixel) {
    return kestro::DibRowBytes(int32_t(size.width), bytesPerPixel * 8);
}

struct Yuv {
    uint8_t y, u, v;
};
struct Bgr {
    uint8_t b, g, r;
};

// 75% colour bars: white, yellow, cyan, green, magenta, red, blue, black.
constexpr Yuv kBarsYuv[8] = {{180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
                             {84, 184, 198},  {65, 100, 212}, {35, 212, 114}, {16, 128, 128}};
constexpr Bgr kBarsRgb[8] = {{191, 191, 191}, {0, 191, 191}, {191, 191, 0}, {0, 191, 0},
                             {191, 0, 191},   {0, 0, 191},   {191, 0, 0},   {0, 0, 0}};

// What the picture shows at (x, y) of frame f: 0-7 a bar, 8 the moving box, 9/10 counter bits.
int PatternCell(FrameSize size, uint32_t frame, uint32_t x, uint32_t y) {
    const uint32_t box = size.height / 4 ? size.height / 4 : 1;
    const uint32_t travel = size.width > box ? size.width - box : 1;
    const uint32_t step = size.width / 64 ? size.width / 64 : 1;
    const uint32_t boxX = (frame * step) % travel;
    const uint32_t boxY = size.height / 2 - box / 2;
    const uint32_t bitWidth = size.width / 16 ? size.width / 16 : 1;
    const uint32_t bitRows = size.height / 16;
    if (y < bitRows) {
        const uint32_t bit = x / bitWidth;
        return bit < 16 && (frame >> (15 - bit) & 1) ? 10 : 9;
    }
    if (x >= boxX && x < boxX + box && y >= boxY && y < boxY + box)
        return 8;
    return int(uint64_t(x) * 8 / size.width);
}

Yuv PatternYuv(int cell) {
    return cell < 8 ? kBarsYuv[cell] : cell == 9 ? Yuv{16, 128, 128} : Yuv{235, 128, 128};
}

// Where a planar picture's samples lie: luma first, then the chroma of 2x2 blocks, interleaved
// (U, V pairs) in one plane or as a U and a V plane in the kind's order.
struct PlanarPlaces {
    uint64_t luma, width, blocksWide, blocks;
    uint64_t uAt, vAt, step;
};
PlanarPlaces PlacesOf(const kestro::PixelFormat& f, FrameSize size) {
    PlanarPlaces p{};
    p.luma = uint64_t(size.width) * size.height;
    p.width = size.width;
    p.blocksWide = size.width / 2;
    p.blocks = p.blocksWide * (size.height / 2);
    const bool vFirst = f.planes.redFirst;
    if (f.planes.count == 2) {
        p.step = 2;
        p.uAt = p.luma + (vFirst ? 1 : 0);
        p.vAt = p.luma + (vFirst ? 0 : 1);
    } else {
        p.step = 1;
        p.uAt = p.luma + (vFirst ? p.blocks : 0);
        p.vAt = p.luma + (vFirst ? 0 : p.blocks);
    }
    return p;
}

// The pattern's luma, and each block's chroma as the rounded mean of its four pixels'.
void MakePlanarPattern(const kestro::PixelFormat& f, FrameSize size, uint32_t frame, uint8_t* out) {
    const PlanarPlaces p = PlacesOf(f, size);
    for (uint32_t y = 0; y < size.height; ++y)
        for (uint32_t x = 0; x < size.width; ++x)
            out[uint64_t(y) * size.width + x] = PatternYuv(PatternCell(size, frame, x, y)).y;
    for (uint32_t by = 0; by < size.height / 2; ++by)
        for (uint32_t bx = 0; bx < size.width / 2; ++bx) {
            int u = 2, v = 2;
            for (uint32_t k = 0; k < 4; ++k) {
                const Yuv c = PatternYuv(PatternCell(size, frame, 2 * bx + k % 2, 2 * by + k / 2));
                u += c.u, v += c.v;
            }
            const uint64_t block = uint64_t(by) * p.blocksWide + bx;
            out[p.uAt + block * p.step] = uint8_t(u / 4);
            out[p.vAt + block * p.step] = uint8_t(v / 4);
        }
}

// A planar picture as the YUY2 picture of the same pixels: each row with its blocks' chroma.
std::vector<uint8_t> PlanarAsYuy2(const uint8_t* src, FrameSize size,
                                  const kestro::PixelFormat& f) {
    const PlanarPlaces p = PlacesOf(f, size);
    std::vector<uint8_t> yuy2(uint64_t(size.width) * size.height * 2);
    for (uint32_t y = 0; y < size.height; ++y)
        for (uint32_t k = 0; k < size.width / 2; ++k) {
            const uint64_t block = uint64_t(y / 2) * p.blocksWide + k;
            uint8_t* d = yuy2.data() + (uint64_t(y) * size.width + 2 * k) * 2;
            d[0] = src[uint64_t(y) * size.width + 2 * k];
            d[1] = src[p.uAt + block * p.step];
            d[2] = src[uint64_t(y) * size.width + 2 * k + 1];
            d[3] = src[p.vAt + block * p.step];
        }
    return yuy2;
}

} // namespace

std::optional<kestro::PixelKind> ParseRawKind(std::string_view text) {
    const kestro::PixelFormat* format = kestro::FormatNamed(text);
    return format ? std::optional(format->kind) : std::nullopt;
}

const char* RawKindName(kestro::PixelKind kind) {
    const kestro::PixelFormat* format = kestro::FormatOf(kind);
    return format ? format->name : "rgb32";
}

uint32_t BitsPerPixel(kestro::PixelKind kind) {
    const kestro::PixelFormat* format = kestro::FormatOf(kind);
    return format ? format->bitCount : 16;
}

bool SharesChroma(kestro::PixelKind kind) {
    const kestro::PixelFormat* format = kestro::FormatOf(kind);
    return format && format->pairedPixels;
}

bool IsRgbKind(kestro::PixelKind kind) {
    const kestro::PixelFormat* format = kestro::FormatOf(kind);
    return !format || format->layout == kestro::Layout::Rgb ||
           format->layout == kestro::Layout::Indexed;
}

uint32_t FourccOf(kestro::PixelKind kind) {
    const kestro::PixelFormat* format = kestro::FormatOf(kind);
    return format ? format->fourcc : 0;
}

std::optional<FrameSize> ParseFrameSize(std::string_view text) {
    FrameSize size;
    uint32_t* field = &size.width;
    bool digits = false;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            if (*field > 100000)
                return std::nullopt;
            *field = *field * 10 + uint32_t(c - '0');
            digits = true;
        } else if ((c == 'x' || c == 'X') && field == &size.width && digits) {
            field = &size.height;
            digits = false;
        } else {
            return std::nullopt;
        }
    }
    if (field != &size.height || !digits || size.width == 0 || size.height == 0 ||
        size.width > 16384 || size.height > 16384)
        return std::nullopt;
    return size;
}

std::optional<std::string> SizeProblem(kestro::PixelKind kind, FrameSize size) {
    if (SharesChroma(kind) && size.width % 2)
        return std::string(RawKindName(kind)) +
               " pictures need an even width (two pixels share "
               "one chroma pair), got " +
               std::to_string(size.width);
    const kestro::PixelFormat* format = kestro::FormatOf(kind);
    if (format && format->planes.shiftY && size.height % 2)
        return std::string(RawKindName(kind)) +
               " pictures need an even height (two rows share one chroma row), got " +
               std::to_string(size.height);
    return std::nullopt;
}

uint64_t RawFrameBytes(kestro::PixelKind kind, FrameSize size) {
    const kestro::PixelFormat* format = kestro::FormatOf(kind);
    if (format && format->layout == kestro::Layout::Planar)
        return kestro::PictureBytesOf(*format, int32_t(size.width), int32_t(size.height));
    if (format && format->layout == kestro::Layout::Packed10) // whole blocks of 128 bytes a row
        return (uint64_t(size.width) + 47) / 48 * 128 * size.height;
    return uint64_t(size.width) * size.height * (BitsPerPixel(kind) / 8);
}

uint64_t DibFrameBytes(kestro::PixelKind kind, FrameSize size) {
    if (!IsRgbKind(kind))
        return RawFrameBytes(kind, size);
    return RgbStride(size, BitsPerPixel(kind) / 8) * size.height;
}

void RawRgbToDib(const uint8_t* raw, uint8_t* dib, FrameSize size, uint32_t bytesPerPixel,
                 bool topDown) {
    const uint64_t row = uint64_t(size.width) * bytesPerPixel,
                   stride = RgbStride(size, bytesPerPixel);
    for (uint32_t y = 0; y < size.height; ++y) {
        uint8_t* d = dib + (topDown ? y : size.height - 1 - y) * stride;
        std::memcpy(d, raw + y * row, row);
        std::memset(d + row, 0, stride - row);
    }
}

void MakePatternFrame(kestro::PixelKind kind, FrameSize size, uint32_t frame, uint8_t* out) {
    auto yuvOf = [](int cell) {
        return cell < 8 ? kBarsYuv[cell] : cell == 9 ? Yuv{16, 128, 128} : Yuv{235, 128, 128};
    };
    auto rgbOf = [](int cell) {
        return cell < 8 ? kBarsRgb[cell] : cell == 9 ? Bgr{0, 0, 0} : Bgr{255, 255, 255};
    };
    const kestro::PixelFormat* format = kestro::FormatOf(kind);
    const kestro::Layout layout = format ? format->layout : kestro::Layout::Rgb;
    if (layout == kestro::Layout::Packed422) {
        const kestro::PackedOrder o = format->order;
        for (uint32_t y = 0; y < size.height; ++y) {
            uint8_t* row = out + uint64_t(y) * size.width * 2;
            for (uint32_t x = 0; x + 1 < size.width; x += 2, row += 4) {
                const Yuv a = yuvOf(PatternCell(size, frame, x, y));
                const Yuv b = yuvOf(PatternCell(size, frame, x + 1, y));
                row[o.y0] = a.y, row[o.y1] = b.y;
                row[o.u] = uint8_t((a.u + b.u + 1) / 2), row[o.v] = uint8_t((a.v + b.v + 1) / 2);
            }
        }
        return;
    }
    if (layout == kestro::Layout::Planar && format->planes.sampleBytes == 2) {
        // Each 8-bit value v as the 16-bit sample v << 8 (the 10-bit 4v, low bits 0), which
        // rounds back to v: the picture is the 8-bit kind's of the same planes.
        const size_t samples = size_t(RawFrameBytes(kind, size) / 2);
        std::vector<uint8_t> eight(samples);
        MakePlanarPattern(*format, size, frame, eight.data());
        for (size_t i = 0; i < samples; ++i)
            out[2 * i] = 0, out[2 * i + 1] = eight[i];
        return;
    }
    if (layout == kestro::Layout::Planar) {
        MakePlanarPattern(*format, size, frame, out);
        return;
    }
    if (layout == kestro::Layout::Packed10) {
        // Each 8-bit value v as the 10-bit 4v, which rounds back to v; the rows' padding is zero.
        const uint64_t stride = RawFrameBytes(kind, {size.width, 1});
        std::memset(out, 0, size_t(stride * size.height));
        for (uint32_t y = 0; y < size.height; ++y) {
            uint8_t* row = out + y * stride;
            for (uint32_t x = 0; x + 1 < size.width; x += 2) {
                const Yuv a = yuvOf(PatternCell(size, frame, x, y));
                const Yuv b = yuvOf(PatternCell(size, frame, x + 1, y));
                const uint32_t cb = uint32_t(a.u + b.u + 1) / 2, cr = uint32_t(a.v + b.v + 1) / 2;
                // Samples in word order: Cb Y Cr Y of every pair, three to a 32-bit word.
                const uint32_t samples[4] = {cb, a.y, cr, b.y};
                for (uint32_t i = 0; i < 4; ++i) {
                    const uint32_t at = 2 * x + i; // this sample's index along the row
                    uint8_t* word = row + 4 * (at / 3);
                    const uint32_t bits = (4 * samples[i]) << (10 * (at % 3));
                    for (int k = 0; k < 4; ++k)
                        word[k] = uint8_t(word[k] | bits >> (8 * k));
                }
            }
        }
        return;
    }
    if (layout == kestro::Layout::Luma) {
        for (uint32_t y = 0; y < size.height; ++y)
            for (uint32_t x = 0; x < size.width; ++x)
                out[uint64_t(y) * size.width + x] = yuvOf(PatternCell(size, frame, x, y)).y;
        return;
    }
    if (layout == kestro::Layout::Indexed) {
        // Grey levels far apart, in runs: what a run-length codec is made for.
        for (uint32_t y = 0; y < size.height; ++y)
            for (uint32_t x = 0; x < size.width; ++x)
                out[uint64_t(y) * size.width + x] = uint8_t(PatternCell(size, frame, x, y) * 23);
        return;
    }
    const uint32_t bpp = BitsPerPixel(kind) / 8;
    for (uint32_t y = 0; y < size.height; ++y) {
        uint8_t* p = out + uint64_t(y) * size.width * bpp;
        for (uint32_t x = 0; x < size.width; ++x, p += bpp) {
            const Bgr c = rgbOf(PatternCell(size, frame, x, y));
            p[0] = c.b, p[1] = c.g, p[2] = c.r;
            if (bpp == 4)
                p[3] = 0;
        }
    }
}

void ReferenceYuvToRgb(const uint8_t* src, uint8_t* dst, FrameSize size, kestro::PixelKind source,
                       uint32_t bytesPerPixel, bool bottomUp) {
    const kestro::PixelFormat* format = kestro::FormatOf(source);
    if (format && format->layout == kestro::Layout::Luma) { // Cb = Cr = 0: grey
        for (uint32_t j = 0; j < size.height; ++j) {
            const uint8_t* s = src + uint64_t(bottomUp ? size.height - 1 - j : j) * size.width;
            uint8_t* d = dst + uint64_t(j) * size.width * bytesPerPixel;
            for (uint32_t x = 0; x < size.width; ++x, d += bytesPerPixel) {
                d[0] = d[1] = d[2] = Clamp255((19077 * (s[x] - 16) + 8192) >> 14);
                if (bytesPerPixel == 4)
                    d[3] = 0;
            }
        }
        return;
    }
    if (format && format->layout == kestro::Layout::Planar) { // the rule of its YUY2 picture
        if (format->matrix != kestro::Matrix::Bt601 || size.width % 2 || size.height % 2)
            return;
        std::vector<uint8_t> reduced;
        if (format->planes.sampleBytes == 2) { // the high 10 bits v of each, as min(255, (v+2)/4)
            reduced.resize(size_t(RawFrameBytes(source, size) / 2));
            for (size_t i = 0; i < reduced.size(); ++i) {
                const uint32_t v = uint32_t(src[2 * i] | src[2 * i + 1] << 8) >> 6;
                reduced[i] = uint8_t((v + 2) / 4 > 255 ? 255 : (v + 2) / 4);
            }
            src = reduced.data();
        }
        const std::vector<uint8_t> yuy2 = PlanarAsYuy2(src, size, *format);
        ReferenceYuvToRgb(yuy2.data(), dst, size, kestro::KIND_YUY2, bytesPerPixel, bottomUp);
        return;
    }
    if (format && format->layout == kestro::Layout::Packed10) {
        // Its samples in word order are UYVY's at 10 bits: rounded to 8, they are UYVY pictures.
        const uint64_t stride = RawFrameBytes(source, {size.width, 1});
        std::vector<uint8_t> uyvy(size_t(size.width) * 2 * size.height);
        for (uint32_t y = 0; y < size.height; ++y)
            for (uint32_t i = 0; i < 2 * size.width; ++i) {
                const uint8_t* w = src + y * stride + 4 * (i / 3);
                const uint32_t word = w[0] | w[1] << 8 | w[2] << 16 | uint32_t(w[3]) << 24;
                const uint32_t v = (word >> (10 * (i % 3)) & 1023) + 2;
                uyvy[size_t(y) * 2 * size.width + i] = uint8_t(v >> 2 > 255 ? 255 : v >> 2);
            }
        static_assert(kestro::kPixelFormats[kestro::FormatIndexOf(kestro::KIND_V210)].matrix ==
                      kestro::kPixelFormats[kestro::FormatIndexOf(kestro::KIND_UYVY)].matrix);
        ReferenceYuvToRgb(uyvy.data(), dst, size, kestro::KIND_UYVY, bytesPerPixel, bottomUp);
        return;
    }
    if (!format || format->layout != kestro::Layout::Packed422)
        return;
    const kestro::PackedOrder o = format->order;
    const int iy0 = o.y0, iu = o.u, iy1 = o.y1, iv = o.v;
    // round(8192 x c) of the studio-range coefficients: red from Cr, green from Cb and Cr, blue
    // from Cb; BT.601 (1.596, 0.392, 0.813, 2.017) or BT.709 (1.793, 0.213, 0.533, 2.112).
    const bool hd = format->matrix == kestro::Matrix::Bt709;
    const int kr = hd ? 14686 : 13075, kgb = hd ? 1747 : 3209, kgr = hd ? 4366 : 6660,
              kb = hd ? 17305 : 16525;
    auto put = [=](uint8_t* d, int y, int cb, int cr) {
        const int l = 19077 * (y - 16) + 8192;
        d[0] = Clamp255((l + kb * cb) >> 14);
        d[1] = Clamp255((l - kgb * cb - kgr * cr) >> 14);
        d[2] = Clamp255((l + kr * cr) >> 14);
        if (bytesPerPixel == 4)
            d[3] = 0;
    };
    const uint32_t pairs = size.width / 2;
    for (uint32_t j = 0; j < size.height; ++j) {
        const uint32_t r = bottomUp ? size.height - 1 - j : j;
        const uint8_t* s = src + uint64_t(r) * size.width * 2;
        uint8_t* d = dst + uint64_t(j) * size.width * bytesPerPixel;
        for (uint32_t k = 0; k < pairs; ++k) {
            const uint8_t* p = s + 4 * k;
            const uint8_t* next = k + 1 < pairs ? p + 4 : p;
            put(d + 2 * k * bytesPerPixel, p[iy0], 2 * (p[iu] - 128), 2 * (p[iv] - 128));
            put(d + (2 * k + 1) * bytesPerPixel, p[iy1], p[iu] + next[iu] - 256,
                p[iv] + next[iv] - 256);
        }
    }
}

std::vector<uint8_t> MakePpm(const uint8_t* bgrTopDown, FrameSize size, uint32_t bytesPerPixel) {
    const std::string head =
        "P6\n" + std::to_string(size.width) + " " + std::to_string(size.height) + "\n255\n";
    std::vector<uint8_t> out(head.begin(), head.end());
    out.reserve(head.size() + uint64_t(size.width) * size.height * 3);
    const uint64_t pixels = uint64_t(size.width) * size.height;
    for (uint64_t i = 0; i < pixels; ++i) {
        const uint8_t* p = bgrTopDown + i * bytesPerPixel;
        out.push_back(p[2]);
        out.push_back(p[1]);
        out.push_back(p[0]);
    }
    return out;
}

std::string FrameFileName(const std::string& pattern, uint32_t frame) {
    const size_t pct = pattern.find('%');
    if (pct != std::string::npos) {
        size_t end = pct + 1;
        while (end < pattern.size() && pattern[end] >= '0' && pattern[end] <= '9')
            ++end;
        if (end < pattern.size() && pattern[end] == 'd') {
            const std::string conversion = pattern.substr(pct, end - pct) + "u";
            char number[32];
            std::snprintf(number, sizeof number, conversion.c_str(), frame);
            return pattern.substr(0, pct) + number + pattern.substr(end + 1);
        }
    }
    char number[32];
    std::snprintf(number, sizeof number, "-%04u", frame);
    const size_t dot = pattern.find_last_of('.');
    const size_t slash = pattern.find_last_of("/\\");
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return pattern + number;
    return pattern.substr(0, dot) + number + pattern.substr(dot);
}

std::string FourccText(uint32_t code) {
    if (code == 0)
        return "0 (BI_RGB)";
    if (!kestro::IsPrintableFourcc(code)) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08X", code);
        return hex;
    }
    std::string text = "\"";
    text += kestro::FourccText(code);
    text += '"';
    return text;
}

} // namespace host
