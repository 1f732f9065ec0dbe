#include "RawPictures.h"

#include <cstring>

#include "pure/Fourcc.h"
#include "pure/PictureShape.h"
#include "pure/PixelFormats.h"
#include "pure/ReadPlan.h"

namespace kestro::avi {

std::optional<std::string> PictureSizeRefusal(const StreamFormatHeader& format) {
    const uint32_t height = AbsoluteHeight(format.biHeight);
    const std::string size = std::to_string(format.biWidth) + "x" + std::to_string(format.biHeight);
    if (format.biWidth <= 0 || format.biWidth > kMaxPictureSide || height == 0 ||
        height > uint32_t(kMaxPictureSide))
        return "the KEST stream has an unusable picture size " + size;
    const PixelFormat* facts =
        format.biChainHandler
            ? nullptr
            : FormatOf(ClassifyPixelKind(format.biSourceCompression, format.biBitCount));
    if (const char* shape = facts ? ShapeProblem(*facts, format.biWidth, format.biHeight) : nullptr)
        return "the KEST stream's " + std::string(facts->name) + " pictures are " + size + ": " +
               shape + ", which no frame of " + facts->name + " can have";
    // An RGB stream's bit count changed alone: its pictures keep the size of the other depth,
    // and a picture cut from one of them would be no picture at all.
    if (facts && (facts->kind == KIND_RGB24 || facts->kind == KIND_RGB32) && format.biSizeImage) {
        const uint16_t other = facts->kind == KIND_RGB24 ? 32 : 24;
        const auto own = DibImageBytes(format.biWidth, format.biHeight, facts->bitCount);
        const auto theirs = DibImageBytes(format.biWidth, format.biHeight, other);
        if (theirs && own != theirs && format.biSizeImage == *theirs)
            return "the KEST stream's bit count says " + std::string(facts->name) +
                   ", but its pictures are " + std::to_string(*theirs) + " bytes, as " + size +
                   " pictures of " + std::to_string(other) + " bits are: its records hold no " +
                   facts->name + " pictures";
    }
    return std::nullopt;
}

std::optional<RawPicture> RawPictureOf(const StreamFormatHeader& format, std::string& error) {
    if (auto refused = PictureSizeRefusal(format)) {
        error = *refused;
        return std::nullopt;
    }
    const uint32_t height = AbsoluteHeight(format.biHeight);
    RawPicture p;
    p.kind = ClassifyPixelKind(format.biSourceCompression, format.biBitCount);
    p.width = uint32_t(format.biWidth);
    p.height = height;
    p.bottomUp = format.biHeight > 0;
    const uint64_t w = p.width;
    const PixelFormat* facts = FormatOf(p.kind);
    if (facts && facts->stored && !facts->ffmpegName) {
        error = "the KEST stream stores '" + FourccText(format.biSourceCompression) +
                "' pictures, whose bytes no pixel format of FFmpeg's keeps (their chroma planes "
                "lie V before U); this tool does not export them";
        return std::nullopt;
    }
    if (!facts || !facts->ffmpegName) {
        error = "the KEST stream stores '" + FourccText(format.biSourceCompression) + "' with " +
                std::to_string(format.biBitCount) + " bits, which this tool cannot export";
        return std::nullopt;
    }
    if (facts->pairedPixels && w % 2) {
        error = "a YUV picture of odd width " + std::to_string(w);
        return std::nullopt;
    }
    if (facts->planes.shiftY && p.height % 2) {
        error = "a 4:2:0 picture of odd height " + std::to_string(p.height);
        return std::nullopt;
    }
    // Stored rows are DIB rows for the kinds of the first releases: RGB rows padded to four bytes
    // (4:2:2 rows of even width already are). A planar picture is its planes one after the other.
    const PictureShape shape = ShapeOf(*facts, p.width, p.height, RowRule::Stored);
    p.rowBytes = uint32_t(PackedRowBytes(*facts, p.width));
    p.storedStride = uint32_t(shape.plane[0].stride);
    // One picture is buffered whole: a header claiming more than a gigabyte is not believed.
    const uint64_t stored = shape.bytes;
    if (stored > (1u << 30)) {
        error = "the KEST stream claims " + std::to_string(w) + "x" + std::to_string(p.height) +
                " pictures of " + std::to_string(stored) + " bytes, more than this tool believes";
        return std::nullopt;
    }
    p.storedBytes = uint32_t(stored);
    return p;
}

void PackRows(const RawPicture& p, const uint8_t* stored, uint8_t* packed) {
    // Only RGB is stored bottom-up: YUV rows are top first whatever the sign of the height.
    const PixelFormat* facts = FormatOf(p.kind);
    const bool flip = facts && !TopRowFirst(*facts, p.bottomUp ? 1 : -1);
    if (!flip && p.rowBytes == p.storedStride) { // rows (or planes) as they lie
        std::memcpy(packed, stored, p.storedBytes);
        return;
    }
    for (uint32_t y = 0; y < p.height; ++y)
        std::memcpy(packed + size_t(y) * p.rowBytes,
                    stored + size_t(flip ? p.height - 1 - y : y) * p.storedStride, p.rowBytes);
}

const char* PixFmtName(PixelKind kind) {
    const PixelFormat* format = FormatOf(kind);
    return format && format->ffmpegName ? format->ffmpegName : "?";
}

std::string FfmpegRawInput(PixelKind kind) {
    const PixelFormat* format = FormatOf(kind);
    if (format && format->ffmpegCodec)
        return std::string("-f ") + format->ffmpegName;
    return std::string("-f rawvideo -pix_fmt ") + PixFmtName(kind);
}

void FillBlack(PixelKind kind, uint32_t width, uint32_t height, uint8_t* picture, size_t bytes) {
    std::memset(picture, 0, bytes);
    const PixelFormat& format = *FormatOf(kind);
    // Y 16 and Cb = Cr = 128 at the kind's depth, in every sample a row holds: rows of blocks
    // (v210) are black to their end.
    uint32_t wide = width;
    while (PackedRowBytes(format, wide + 2) == PackedRowBytes(format, width))
        wide += 2;
    const SamplePlaces places(format, wide, height, RowRule::Stored);
    if (format.matrix == Matrix::None || places.Shape().bytes > bytes) // RGB: zeros
        return;
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < wide; ++x) {
            places.Write(picture, places.Luma(x, y), 16);
            if (places.HasChroma() && x % places.BlockWidth() == 0 && y % places.BlockHeight() == 0)
                for (Component c : {Component::Cb, Component::Cr})
                    places.Write(picture, places.Chroma(c, x, y), 128);
        }
}

} // namespace kestro::avi
