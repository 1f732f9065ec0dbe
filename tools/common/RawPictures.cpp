#include "RawPictures.h"

#include <cstring>

#include "pure/Fourcc.h"
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
    p.rowBytes = uint32_t(PackedRowBytes(*facts, p.width));
    // Stored rows are DIB rows: padded to four bytes (4:2:2 rows of even width already are).
    p.storedStride = uint32_t(StoredRowBytes(*facts, format.biWidth));
    // One picture is buffered whole: a header claiming more than a gigabyte is not believed.
    // A planar picture is its planes one after the other; its rows are the luma plane's.
    const uint64_t stored = facts->layout == Layout::Planar
                                ? PictureBytesOf(*facts, int32_t(w), int32_t(p.height))
                                : uint64_t(p.storedStride) * p.height;
    if (stored > (1u << 30)) {
        error = "the KEST stream claims " + std::to_string(w) + "x" + std::to_string(p.height) +
                " pictures of " + std::to_string(stored) + " bytes, more than this tool believes";
        return std::nullopt;
    }
    p.storedBytes = uint32_t(stored);
    return p;
}

void PackRows(const RawPicture& p, const uint8_t* stored, uint8_t* packed) {
    // Only RGB is stored bottom-up: 4:2:2 rows are top first whatever the sign of the height.
    const PixelFormat* facts = FormatOf(p.kind);
    if (facts && facts->layout == Layout::Planar) { // planes, not rows: as they lie
        std::memcpy(packed, stored, p.storedBytes);
        return;
    }
    const bool flip = facts && facts->rows == RowOrder::BottomFirstUnlessTopDown && p.bottomUp;
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
    if (format && format->layout == Layout::Packed10)
        return std::string("-f ") + format->ffmpegName;
    return std::string("-f rawvideo -pix_fmt ") + PixFmtName(kind);
}

void FillBlack(PixelKind kind, uint8_t* picture, size_t bytes) {
    const PixelFormat& format = *FormatOf(kind);
    if (format.layout == Layout::Packed10) {
        // Y 64 and Cb = Cr = 512 at 10 bits: the words Cb Y Cr and Y Cb Y, over and over.
        const uint32_t words[2] = {512u | 64u << 10 | 512u << 20, 64u | 512u << 10 | 64u << 20};
        for (size_t i = 0; i < bytes; ++i)
            picture[i] = uint8_t(words[(i / 4) & 1] >> (8 * (i % 4)));
        return;
    }
    // A planar picture is two thirds luma at 4:2:0: black luma, then neutral chroma. A 16-bit
    // sample holds the 8-bit value in its high byte.
    const size_t luma = format.layout == Layout::Planar ? bytes / 3 * 2 : 0;
    const bool wide = format.planes.sampleBytes == 2;
    for (size_t i = 0; i < bytes; ++i)
        picture[i] = wide && !(i & 1) ? 0 : format.black[luma ? (i >= luma) : (i & 1)];
}

} // namespace kestro::avi
