#pragma once
// Plain-byte helpers of the host program: no <windows.h>, so the reference converter also builds
// natively.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pure/PixelKind.h"

namespace host {

// The kinds are the codec's own (pure/PixelFormats.h); KIND_PAL8, 8-bit indices into a grey
// palette (index i shows grey level i), is a capture input for chained codecs that compress
// palettized pictures.

std::optional<kestro::PixelKind> ParseRawKind(std::string_view text);
const char* RawKindName(kestro::PixelKind kind);
uint32_t BitsPerPixel(kestro::PixelKind kind);
// Whether two neighbouring pixels share one chroma pair (the 4:2:2 kinds).
bool SharesChroma(kestro::PixelKind kind);
uint32_t FourccOf(kestro::PixelKind kind); // 0 (BI_RGB) for the RGB and palettized kinds

struct FrameSize {
    uint32_t width = 0;
    uint32_t height = 0;
};

// "640x480"; empty for anything else, a zero or a side above 16384.
std::optional<FrameSize> ParseFrameSize(std::string_view text);

// Why a size cannot carry the kind (4:2:2 needs an even width), or empty when it can.
std::optional<std::string> SizeProblem(kestro::PixelKind kind, FrameSize size);

// Bytes of one picture as it travels in a raw file: rows of width * bytes-per-pixel, no padding
// (a planar kind's planes one after the other).
uint64_t RawFrameBytes(kestro::PixelKind kind, FrameSize size);
// Bytes of one picture as a bitmap: RGB rows padded to four bytes, 4:2:2 rows unpadded.
uint64_t DibFrameBytes(kestro::PixelKind kind, FrameSize size);

// RGB or palette pictures, which lie in bitmap rows (a kind the table does not know counts as RGB).
bool IsRgbKind(kestro::PixelKind kind);

// Raw file RGB (rows top first, blue-green-red, unpadded) to the bottom-up padded bitmap rows
// that a BI_RGB format describes (or top-down ones, for a negative height).
void RawRgbToDib(const uint8_t* raw, uint8_t* dib, FrameSize size, uint32_t bytesPerPixel,
                 bool topDown = false);

// A moving test picture in the given kind (raw file layout), a pure function of the frame number.
void MakePatternFrame(kestro::PixelKind kind, FrameSize size, uint32_t frame, uint8_t* out);

// Studio-range BT.601 (BT.709 for a kind of that matrix) YUV to blue-green-red(-zero), 14-bit
// fixed point, written from the formula independently of the codec's converters: each row is
// read as the YUY2 row of its samples at 8 bits (the places of the samples are the kind table's,
// through pure/PictureShape.h), a chroma block's samples serving all of its pixels. Input rows
// top first; output row j is input row height-1-j when bottomUp (the codec's bitmap order), else
// row j. Output rows unpadded. A source that is no YUV kind writes nothing.
void ReferenceYuvToRgb(const uint8_t* src, uint8_t* dst, FrameSize size, kestro::PixelKind source,
                       uint32_t bytesPerPixel, bool bottomUp);

// A binary PPM (P6) of an RGB picture given as blue-green-red rows, top first, unpadded.
std::vector<uint8_t> MakePpm(const uint8_t* bgrTopDown, FrameSize size, uint32_t bytesPerPixel);

// "frame%04d.ppm" style names: the first printf-style %d (with optional zero-padded width) gets
// the frame number; a pattern without one gets "-NNNN" before its extension.
std::string FrameFileName(const std::string& pattern, uint32_t frame);

// A four-character code as the tool prints it: "YUY2" in quotes, 0 as BI_RGB, else in hex.
std::string FourccText(uint32_t code);

} // namespace host
