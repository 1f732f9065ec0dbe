#pragma once
// Size and choice rules of a capture run, over plain numbers.
#include <cstdint>

#include "pure/StreamFormat.h"

namespace kestro {

enum class WriterKind {
    Direct,
    Compressed,
    DirectSplit,
    CompressedSplit,
    DirectFast,
    CopiedFast,
    CompressedFast,
    DirectFastSplit,
    CopiedFastSplit,
    CompressedFastSplit,
};

// Where a writer's bytes come from: the host's image itself, a copy of it in a request's own
// buffer, or the chained compressor's output.
enum class WriterSource { Host, Copied, Compressed };

// One row per writer: what it is called, where its bytes come from, whether it writes overlapped
// through the request pool and whether it switches pieces. Rows are in the order of WriterKind.
struct WriterRow {
    WriterKind kind;
    const char* name;
    WriterSource source;
    bool fast;
    bool split;
};

constexpr WriterRow kWriterRows[] = {
    {WriterKind::Direct, "WriteDirect", WriterSource::Host, false, false},
    {WriterKind::Compressed, "WriteCompressed", WriterSource::Compressed, false, false},
    {WriterKind::DirectSplit, "WriteDirectSplit", WriterSource::Host, false, true},
    {WriterKind::CompressedSplit, "WriteCompressedSplit", WriterSource::Compressed, false, true},
    {WriterKind::DirectFast, "WriteDirectFast", WriterSource::Host, true, false},
    {WriterKind::CopiedFast, "WriteCopiedFast", WriterSource::Copied, true, false},
    {WriterKind::CompressedFast, "WriteCompressedFast", WriterSource::Compressed, true, false},
    {WriterKind::DirectFastSplit, "WriteDirectFastSplit", WriterSource::Host, true, true},
    {WriterKind::CopiedFastSplit, "WriteCopiedFastSplit", WriterSource::Copied, true, true},
    {WriterKind::CompressedFastSplit, "WriteCompressedFastSplit", WriterSource::Compressed, true,
     true},
};

constexpr const WriterRow& WriterRowOf(WriterKind kind) {
    return kWriterRows[int(kind)];
}

constexpr bool RowsInKindOrder() {
    for (int i = 0; i < int(sizeof kWriterRows / sizeof kWriterRows[0]); ++i)
        if (int(kWriterRows[i].kind) != i)
            return false;
    return true;
}
static_assert(RowsInKindOrder(), "WriterRowOf indexes the rows by kind");

constexpr WriterKind ChooseWriter(bool fastwrite, bool divide, bool chained, bool buffer) {
    if (!fastwrite) {
        if (!divide)
            return chained ? WriterKind::Compressed : WriterKind::Direct;
        return chained ? WriterKind::CompressedSplit : WriterKind::DirectSplit;
    }
    if (chained)
        return divide ? WriterKind::CompressedFastSplit : WriterKind::CompressedFast;
    if (!divide)
        return buffer ? WriterKind::CopiedFast : WriterKind::DirectFast;
    return buffer ? WriterKind::CopiedFastSplit : WriterKind::DirectFastSplit;
}

constexpr uint32_t kNoBuffering = 0x20000000;
constexpr uint32_t kOverlapped = 0x40000000;

constexpr uint32_t PieceCreateFlags(bool fastwrite, bool cpu) {
    if (!fastwrite)
        return kNoBuffering;
    return cpu ? kOverlapped : kOverlapped | kNoBuffering;
}

// The header occupies one page (a page is never below 40 bytes on any system, but stay safe).
constexpr uint64_t HeaderBytes(uint32_t pageSize) {
    return RoundUpToPage(pageSize > kBitmapHeaderBytes ? pageSize : kBitmapHeaderBytes, pageSize);
}

// Unbuffered writes come straight from the host's image only when it is whole pages.
constexpr bool ImageSizeAccepted(uint32_t imageBytes, uint32_t pageSize, bool buffer,
                                 bool chained) {
    return imageBytes % pageSize == 0 || buffer || chained;
}

constexpr bool NeedsNextPiece(uint64_t pieceOffset, uint32_t writeBytes, uint64_t pieceBytes) {
    return pieceOffset + writeBytes > pieceBytes;
}

// How far a fast writer grows a piece when a frame would pass its end: 64 frames ahead or
// 256 MiB, whichever is smaller, but never past the piece size of a split run (0: no limit) and
// always far enough for the frame itself.
constexpr uint64_t kGrowFrames = 64;
constexpr uint64_t kGrowBytes = uint64_t(256) << 20;

constexpr uint64_t GrowTarget(uint64_t frameOffset, uint32_t writeBytes, uint64_t limit) {
    uint64_t step = kGrowFrames * writeBytes;
    if (step > kGrowBytes)
        step = kGrowBytes;
    if (step < writeBytes)
        step = writeBytes;
    uint64_t target = frameOffset + step;
    if (limit != 0 && target > limit)
        target = limit;
    return target < frameOffset + writeBytes ? frameOffset + writeBytes : target;
}

// Where growing a piece reserves no disk space, the grown part is only as good as the free space
// behind it: the writes still in flight and a margin come off first. Returns the end the piece
// may grow to, or 0 when not even the frame ending at `frameEnd` is covered.
constexpr uint64_t kSpaceMargin = uint64_t(1) << 20;

constexpr uint64_t CoveredGrowth(uint64_t freeBytes, uint64_t inFlightBytes, uint64_t frameOffset,
                                 uint64_t frameEnd, uint64_t target) {
    if (freeBytes < inFlightBytes + kSpaceMargin)
        return 0;
    uint64_t room = freeBytes - inFlightBytes - kSpaceMargin;
    uint64_t reach = frameOffset + room < frameOffset ? UINT64_MAX : frameOffset + room;
    if (reach < frameEnd)
        return 0;
    return reach < target ? reach : target;
}

// Capacity of the buffers a chained compressor writes into: one rounded raw frame, or the
// codec's own largest-frame answer when that is larger. 0 when it does not fit 32 bits.
constexpr uint32_t ChainBufferBytes(uint32_t writeBytes, int64_t chainedLargest,
                                    uint32_t pageSize) {
    uint64_t bytes = writeBytes;
    if (chainedLargest > 0) {
        uint64_t largest = RoundUpToPage(uint64_t(chainedLargest), pageSize);
        if (largest > bytes)
            bytes = largest;
    }
    return bytes > UINT32_MAX - pageSize ? 0 : uint32_t(bytes);
}

} // namespace kestro
