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
    uint32_t PackedBytes() const { return rowBytes * height; }
};

// The geometry of the stored pictures of an unchained stream; empty, with the reason in `error`,
// for an unusable size, a YUV picture of odd width, a kind that is not exported, or a picture of
// more than a gigabyte.
std::optional<RawPicture> RawPictureOf(const StreamFormatHeader& format, std::string& error);

// A stored picture as packed rows, top row first.
void PackRows(const RawPicture& picture, const uint8_t* stored, uint8_t* packed);

// The pixel format name by which ffmpeg reads packed pictures of the kind.
const char* PixFmtName(PixelKind kind);

} // namespace kestro::avi
