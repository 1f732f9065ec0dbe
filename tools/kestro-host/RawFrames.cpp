#include "RawFrames.h"

#include <cstdio>
#include <cstring>

#include "pure/Fourcc.h"
#include "pure/PictureShape.h"
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

// The pattern's samples as the kind holds them: each pixel's luma, each chroma block's samples
// the rounded mean of its pixels'.
void MakeYuvPattern(const kestro::PixelFormat& f, FrameSize size, uint32_t frame, uint8_t* out) {
    const kestro::SamplePlaces places(f, size.width, size.height);
    std::memset(out, 0, size_t(places.Shape().bytes));
    for (uint32_t y = 0; y < size.height; ++y)
        for (uint32_t x = 0; x < size.width; ++x)
            places.Write(out, places.Luma(x, y), PatternYuv(PatternCell(size, frame, x, y)).y);
    if (!places.HasChroma())
        return;
    const uint32_t bw = places.BlockWidth(), bh = places.BlockHeight(), n = bw * bh;
    for (uint32_t by = 0; by + bh <= size.height; by += bh)
        for (uint32_t bx = 0; bx + bw <= size.width; bx += bw) {
            uint32_t u = n / 2, v = n / 2;
            for (uint32_t k = 0; k < n; ++k) {
                const Yuv c = PatternYuv(PatternCell(size, frame, bx + k % bw, by + k / bw));
                u += c.u, v += c.v;
            }
            places.Write(out, places.Chroma(kestro::Component::Cb, bx, by), uint8_t(u / n));
            places.Write(out, places.Chroma(kestro::Component::Cr, bx, by), uint8_t(v / n));
        }
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
    if (format)
        return kestro::ShapeOf(*format, size.width, size.height, kestro::RowRule::Packed).bytes;
    return uint64_t(size.width) * size.height * (BitsPerPixel(kind) / 8);
}

uint64_t DibFrameBytes(kestro::PixelKind kind, FrameSize size) {
    const kestro::PixelFormat* format = kestro::FormatOf(kind);
    if (format)
        return kestro::ShapeOf(*format, size.width, size.height, kestro::RowRule::Stored).bytes;
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
    auto rgbOf = [](int cell) {
        return cell < 8 ? kBarsRgb[cell] : cell == 9 ? Bgr{0, 0, 0} : Bgr{255, 255, 255};
    };
    const kestro::PixelFormat* format = kestro::FormatOf(kind);
    if (format && format->matrix != kestro::Matrix::None) {
        MakeYuvPattern(*format, size, frame, out);
        return;
    }
    if (format && format->layout == kestro::Layout::Indexed) {
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
    if (!format || format->matrix == kestro::Matrix::None)
        return;
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
    // Each row as the YUY2 row of its samples at 8 bits (a kind without chroma: 128).
    const kestro::SamplePlaces places(*format, size.width, size.height);
    std::vector<uint8_t> row(size_t(size.width) * 2 + 2);
    const uint32_t pairs = size.width / 2;
    for (uint32_t j = 0; j < size.height; ++j) {
        kestro::DecodeRow(places, src, bottomUp ? size.height - 1 - j : j, size.width,
                          kestro::kOrderYuy2, row.data());
        uint8_t* d = dst + uint64_t(j) * size.width * bytesPerPixel;
        for (uint32_t k = 0; k < pairs; ++k) {
            const uint8_t* p = row.data() + 4 * k;
            const uint8_t* next = k + 1 < pairs ? p + 4 : p;
            put(d + 2 * k * bytesPerPixel, p[0], 2 * (p[1] - 128), 2 * (p[3] - 128));
            put(d + (2 * k + 1) * bytesPerPixel, p[2], p[1] + next[1] - 256, p[3] + next[3] - 256);
        }
        if (size.width & 1) { // the last pair's chroma, or none
            const int u = pairs ? row[4 * pairs - 3] : 128, v = pairs ? row[4 * pairs - 1] : 128;
            put(d + 2 * pairs * bytesPerPixel, row[4 * pairs], 2 * (u - 128), 2 * (v - 128));
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
