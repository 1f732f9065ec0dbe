#pragma once
// Size and position arithmetic of the playback readers, over plain numbers.
#include <cstdint>
#include <optional>

#include "pure/FrameRecord.h"
#include "pure/PixelKind.h"
#include "pure/StreamFormat.h"

namespace kestro {

// Bytes of a DIB picture: rows padded to 4 bytes, the height's sign ignored (top-down pictures
// have the same size). Empty when a dimension is zero or the count does not fit 32 bits.
constexpr std::optional<uint32_t> DibImageBytes(int32_t width, int32_t height, uint32_t bits) {
    if (width <= 0 || height == 0 || bits == 0 || bits > 32)
        return std::nullopt;
    uint64_t rowBytes = ((uint64_t(width) * bits + 31) / 32) * 4;
    uint64_t rows = height < 0 ? uint64_t(-int64_t(height)) : uint64_t(height);
    uint64_t bytes = rowBytes * rows;
    if (bytes > UINT32_MAX)
        return std::nullopt;
    return uint32_t(bytes);
}

// 64 bits: a row of 2^30 pixels of 32 bits is already 2^32 bytes.
constexpr uint64_t DibRowBytes(int32_t width, uint32_t bits) {
    return ((uint64_t(width) * bits + 31) / 32) * 4;
}

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

enum class RawOp {
    Refuse,
    Copy,
    Swap,
    Yuy2ToRgb24,
    Yuy2ToRgb32,
    UyvyToRgb24,
    UyvyToRgb32,
    Rgb24ToRgb32
};

constexpr RawOp ChooseRawOp(PixelKind source, PixelKind output) {
    switch (source) {
    case KIND_YUY2:
        return output == KIND_YUY2    ? RawOp::Copy
               : output == KIND_RGB24 ? RawOp::Yuy2ToRgb24
               : output == KIND_RGB32 ? RawOp::Yuy2ToRgb32
                                      : RawOp::Refuse;
    case KIND_UYVY:
        return output == KIND_YUY2    ? RawOp::Swap
               : output == KIND_UYVY  ? RawOp::Copy
               : output == KIND_RGB24 ? RawOp::UyvyToRgb24
               : output == KIND_RGB32 ? RawOp::UyvyToRgb32
                                      : RawOp::Refuse;
    case KIND_RGB24:
        return output == KIND_RGB24   ? RawOp::Copy
               : output == KIND_RGB32 ? RawOp::Rgb24ToRgb32
                                      : RawOp::Refuse;
    case KIND_RGB32:
        return output == KIND_RGB32 ? RawOp::Copy : RawOp::Refuse;
    default:
        return RawOp::Refuse;
    }
}

constexpr uint32_t SourceBitsOf(PixelKind source) {
    return source == KIND_RGB24 ? 24 : source == KIND_RGB32 ? 32 : 16;
}

struct ReadAhead {
    bool issue = false;
    uint64_t position = 0;
    uint32_t length = 0;
};

// The read-ahead after a compressed frame at `position` whose page-rounded size is `rounded`:
// the next page-aligned position, the same length (two pages more for codecs whose frames grow
// a little), never more than the slot and, at the end of the file, the remainder rounded up to
// a page so that the unbuffered read stays valid (the read then returns short).
constexpr ReadAhead PlanChainedReadAhead(uint64_t position, uint32_t rounded, uint64_t fileSize,
                                         uint32_t pageSize, uint32_t slotBytes, bool extraPages) {
    ReadAhead plan;
    plan.position = position + rounded;
    if (rounded == 0 || plan.position >= fileSize || fileSize - plan.position < pageSize)
        return plan;
    uint64_t length = uint64_t(rounded) + (extraPages ? 2ull * pageSize : 0);
    uint64_t remainder = RoundUpToPage(fileSize - plan.position, pageSize);
    if (remainder < length)
        length = remainder;
    if (length > slotBytes)
        length = slotBytes;
    plan.issue = true;
    plan.length = uint32_t(length);
    return plan;
}

// The read-ahead of a raw reader: the next stored frame, when the file still holds all of it.
// Raw frames all have the same size, so the next one is `rounded` bytes further on.
constexpr ReadAhead PlanRawReadAhead(uint64_t position, uint32_t rounded, uint64_t fileSize) {
    ReadAhead plan;
    plan.position = position + rounded;
    if (rounded != 0 && plan.position < fileSize && fileSize - plan.position >= rounded) {
        plan.issue = true;
        plan.length = rounded;
    }
    return plan;
}

// Where the continuation of a short transfer starts: an unbuffered read must begin on a page,
// so a transfer that ended inside a page is read again from that page's start.
constexpr uint32_t ContinuationStart(uint32_t transferred, uint32_t pageSize) {
    return transferred & ~(pageSize - 1);
}

} // namespace kestro
