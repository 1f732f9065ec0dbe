#pragma once
// Size and position arithmetic of the playback readers, over plain numbers.
#include <cstdint>
#include <optional>
#include <string_view>

#include "pure/FrameRecord.h"
#include "pure/PixelFormats.h"
#include "pure/PixelKind.h"
#include "pure/RawConversions.h"
#include "pure/StreamFormat.h"

namespace kestro {

// The slot buffer of a run: the output picture rounded up to whole pages; empty when that does
// not fit 32 bits.
constexpr std::optional<uint32_t> SlotBytes(uint32_t imageBytes, uint32_t pageSize) {
    uint64_t rounded = RoundUpToPage(imageBytes, pageSize);
    if (rounded == 0 || rounded > UINT32_MAX)
        return std::nullopt;
    return uint32_t(rounded);
}

// How many bytes of the host's input data the record may be read from: the host's biSizeImage,
// which is all it vouches for, but never more than the longest record. A size of 0 (an empty
// chunk, or a host that did not say) vouches for nothing, so no record is read.
constexpr size_t RecordLimit(uint32_t inputSizeImage) {
    return inputSizeImage < kMaxFrameRecordBytes ? inputSizeImage : kMaxFrameRecordBytes;
}

// Bits a pixel of a stored picture of the kind (16 for a kind the table does not know).
constexpr uint32_t SourceBitsOf(PixelKind source) {
    const PixelFormat* format = FormatOf(source);
    return format ? format->bitCount : 16;
}

// Bytes of a stored raw picture of the kind, by the kind's row rule (bitmap rows of 16 bits for a
// kind the table does not know); empty when a dimension is not positive or 32 bits do not hold it.
constexpr std::optional<uint32_t> StoredImageBytes(PixelKind source, int32_t width,
                                                   int32_t height) {
    const PixelFormat* format = FormatOf(source);
    if (!format || format->dibRows)
        return DibImageBytes(width, height, SourceBitsOf(source));
    const uint64_t bytes = PictureBytesOf(*format, width, height);
    if (width <= 0 || height == 0 || bytes > UINT32_MAX)
        return std::nullopt;
    return uint32_t(bytes);
}

// The picture a host's output bitmap takes, and whether its rows are padded to 4 bytes.
struct OutputImage {
    uint32_t bytes = 0;
    bool paddedRows = true;
};

// The output picture of a playback run: bitmap rows of the output's bit count, or unpadded rows
// where the host declared exactly that smaller size (the size this codec reports); a kind whose
// bit count names no size takes its own picture size, which a biSizeImage other than 0 must
// equal. Empty for a size that does not fit, or a biSizeImage that cannot hold the picture.
inline std::optional<OutputImage> OutputImageOf(const BitmapHeader& out) {
    auto bytes = DibImageBytes(out.biWidth, out.biHeight, out.biBitCount);
    const PixelFormat* shown = FormatOf(ClassifyPixelKind(out.biCompression, out.biBitCount));
    if (shown && !BitCountSizesPictures(*shown)) {
        bytes = StoredImageBytes(shown->kind, out.biWidth, out.biHeight);
        if (bytes && out.biSizeImage != 0 && out.biSizeImage != *bytes)
            return std::nullopt;
    }
    if (!bytes)
        return std::nullopt;
    if (out.biSizeImage == 0 || out.biSizeImage >= *bytes)
        return OutputImage{*bytes, true};
    // Hosts lay out DIB rows padded to 4 bytes; one that declares the unpadded size this codec
    // reports gets unpadded rows. Any other smaller size cannot hold the picture.
    const auto tight = PictureBytes(out.biWidth, out.biHeight, out.biBitCount);
    if (!tight || out.biSizeImage != *tight)
        return std::nullopt;
    return OutputImage{*tight, false};
}

struct ReadAhead {
    bool issue = false;
    uint64_t position = 0;
    uint32_t length = 0;
};

// The read-ahead of a compressed frame expected at `next`, the frame before it being `rounded`
// bytes when rounded to pages: the same length (two pages more for codecs whose frames grow a
// little), never more than the slot and, at the end of the file, the remainder rounded up to a
// page so that the unbuffered read stays valid (the read then returns short).
constexpr ReadAhead PlanChainedReadAt(uint64_t next, uint32_t rounded, uint64_t fileSize,
                                      uint32_t pageSize, uint32_t slotBytes, bool extraPages) {
    ReadAhead plan;
    plan.position = next;
    if (rounded == 0 || next >= fileSize || fileSize - next < pageSize)
        return plan;
    uint64_t length = uint64_t(rounded) + (extraPages ? 2ull * pageSize : 0);
    uint64_t remainder = RoundUpToPage(fileSize - next, pageSize);
    if (remainder < length)
        length = remainder;
    if (length > slotBytes)
        length = slotBytes;
    plan.issue = true;
    plan.length = uint32_t(length);
    return plan;
}

// The read-ahead after a compressed frame at `position` whose page-rounded size is `rounded`:
// at the next page-aligned position of the same file.
constexpr ReadAhead PlanChainedReadAhead(uint64_t position, uint32_t rounded, uint64_t fileSize,
                                         uint32_t pageSize, uint32_t slotBytes, bool extraPages) {
    // A position so near the end of the 64-bit range would wrap: there is no next frame.
    if (position + rounded < position)
        return ReadAhead{false, position + rounded, 0};
    return PlanChainedReadAt(position + rounded, rounded, fileSize, pageSize, slotBytes,
                             extraPages);
}

// The read-ahead of a raw reader: the stored frame expected at `next`, when the file still holds
// all of it. Raw frames all have the same size, `rounded` bytes.
constexpr ReadAhead PlanRawReadAt(uint64_t next, uint32_t rounded, uint64_t fileSize) {
    ReadAhead plan;
    plan.position = next;
    if (rounded != 0 && next < fileSize && fileSize - next >= rounded) {
        plan.issue = true;
        plan.length = rounded;
    }
    return plan;
}

// The read-ahead of a raw reader after the frame at `position`: `rounded` bytes further on.
constexpr ReadAhead PlanRawReadAhead(uint64_t position, uint32_t rounded, uint64_t fileSize) {
    if (position + rounded <= position)
        return ReadAhead{false, position + rounded, 0};
    return PlanRawReadAt(position + rounded, rounded, fileSize);
}

// Where the frame after one lies in a take whose frames go to its `count` data files in turn:
// the frame at `position` of data file `stripe`, `rounded` bytes rounded to pages, is followed by
// one in data file (stripe + 1) % count. Each data file has the same header page, so where every
// frame has the same size (raw frames) the turn puts the next one at the same position in a data
// file later in the turn and one frame further on in the first. Frames of changing sizes
// (compressed ones) leave each data file its own positions: `nextOfStripe` is where that file's
// next frame starts, as the last frame read from it says, and is taken when known. A take in one
// data file (count 0 or 1) goes on in the same one. Empty when the stripe is outside the take or
// the position would wrap.
struct StripeTurn {
    uint32_t stripe = 0;
    uint64_t position = 0;
    bool operator==(const StripeTurn&) const = default;
};
constexpr std::optional<StripeTurn> NextInTurn(uint32_t stripe, uint32_t count, uint64_t position,
                                               uint32_t rounded,
                                               std::optional<uint64_t> nextOfStripe = {}) {
    if (stripe >= (count ? count : 1) || position + rounded < position)
        return std::nullopt;
    if (count <= 1)
        return StripeTurn{0, position + rounded};
    const uint32_t next = (stripe + 1) % count;
    if (nextOfStripe)
        return StripeTurn{next, *nextOfStripe};
    return StripeTurn{next, next > stripe ? position : position + rounded};
}

// Where the continuation of a short transfer starts: an unbuffered read must begin on a page,
// so a transfer that ended inside a page is read again from that page's start.
constexpr uint32_t ContinuationStart(uint32_t transferred, uint32_t pageSize) {
    return transferred & ~(pageSize - 1);
}

} // namespace kestro
