#pragma once
// The raw pictures of an unchained KEST stream as they lie in the pieces, and as a pipe takes
// them: packed rows, top row first. Plain bytes only; shared by `kestro` and `kestro-host`.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "pure/PixelKind.h"
#include "pure/StreamFormat.h"

namespace kestro::avi {

struct RawPicture {
    PixelKind kind = KIND_NONE;
    uint32_t width = 0;
    uint32_t height = 0;
    bool bottomUp = false;     // RGB rows stored bottom row first (a positive biHeight)
    uint32_t rowBytes = 0;     // one packed row
    uint32_t storedStride = 0; // one stored row: RGB rows are padded to four bytes
    uint32_t storedBytes = 0;  // one stored picture
    // Rows without padding; a picture whose rows have none (a planar one: all its planes) as
    // stored.
    uint32_t PackedBytes() const {
        return rowBytes == storedStride ? storedBytes : rowBytes * height;
    }
};

// The sides of a picture no command reads beyond: a larger one is a damaged header.
constexpr int32_t kMaxPictureSide = 65536;

// Why no command of either tool reads the stream's pictures, checked before any arithmetic on the
// size: a width of 0 or less, a height of 0, a side over kMaxPictureSide, or (unchained) a size
// no frame of its kind can have. Empty when the size is usable.
std::optional<std::string> PictureSizeRefusal(const StreamFormatHeader& format);

// The geometry of the stored pictures of an unchained stream; empty, with the reason in `error`,
// for an unusable size, a YUV picture of odd width, a kind that is not exported, or a picture of
// more than a gigabyte.
std::optional<RawPicture> RawPictureOf(const StreamFormatHeader& format, std::string& error);

// A stored picture as packed rows, top row first.
void PackRows(const RawPicture& picture, const uint8_t* stored, uint8_t* packed);

// The pixel format name by which ffmpeg reads packed pictures of the kind.
const char* PixFmtName(PixelKind kind);
// How ffmpeg reads the kind's raw pictures from a pipe: "-f rawvideo -pix_fmt NAME", or the
// demuxer of a kind that is its own codec ("-f v210").
std::string FfmpegRawInput(PixelKind kind);

// A black picture of an exported kind in its stored rows (RGB rows of any padding, zero).
void FillBlack(PixelKind kind, uint32_t width, uint32_t height, uint8_t* picture, size_t bytes);

// The files that info offers to make with ffmpeg from the pipe: a lossless archive (FFV1, every
// frame exact, the sound copied) and one that Windows' own players open (H.264 4:2:0 in MP4, at a
// preset that keeps ahead of 1080p at 30 frames a second, the sound as AAC). 4:2:0 needs an even
// size, so the player's file gains a black column or row where the capture has an odd one.
struct ExportTarget {
    const char* label;
    const char* extension;
    const char* filter;  // ffmpeg's -vf, or empty; holds characters a shell would take
    const char* options; // ffmpeg's output options before the file name
};
inline constexpr ExportTarget kExportTargets[] = {
    {"archive", ".mkv", "", "-c:v ffv1 -level 3 -c:a copy"},
    {"player", ".mp4", "pad=ceil(iw/2)*2:ceil(ih/2)*2",
     "-c:v libx264 -preset veryfast -crf 18 -pix_fmt yuv420p -c:a aac -movflags +faststart"},
};

} // namespace kestro::avi
