#include "capture/FastWriter.h"

#include <cstdint>

#include "edge/Win32Edge.h"
#include "pure/PixelRepack.h"

using namespace kestro;

bool FastWriter::Begin(FrameSize size, uint32_t page, WriterSource source, uint32_t requests) {
    raw = size;
    pageSize = page;
    hostWritesAtOnce = true;
    if (source != WriterSource::Copied)
        tail.Release();
    else if (!tail.Begin(raw.bytes, pageSize))
        return false;
    return pool.Begin(piece->Handle(), requests, chain.BufferBytes(),
                      source != WriterSource::Compressed);
}

void FastWriter::Release() {
    pool.Release();
    tail.Release();
}

bool FastWriter::SwitchPieceIfFull(uint32_t write) {
    if (!piece->Full(write))
        return true;
    pool.Detach();
    if (!piece->OpenNext())
        return false;
    if (!pool.Attach(piece->Handle())) {
        piece->CloseCurrent();
        return false;
    }
    hostWritesAtOnce = true; // a fresh piece may finish writes at once where the last did not
    return true;
}

// The copied writers copy a frame so that the host has its image back while the write goes on.
// Where the platform finishes a write inside WriteFile (NTFS writing past the data a piece
// holds, a cached piece, Wine always) the copy buys nothing and costs a pass over the frame, so
// they first write the host's image itself, as the synchronous writer does. The first write the
// platform keeps pending is waited for, and the rest of the piece is copied.
FastWriter::HostWrite FastWriter::WriteHostWhileAtOnce(WriteRequest* r, const uint8_t* image,
                                                       StoredFrame& stored) {
    if (!hostWritesAtOnce || !tail.Ready() || raw.write == 0)
        return HostWrite::NotTried;
    // Unbuffered writes take memory aligned to the sector; the page covers every sector size.
    if ((piece->Flags() & kNoBuffering) && uintptr_t(image) % pageSize != 0)
        return HostWrite::NotTried;
    // The frame's own writes are finished here, whatever the growth decided.
    auto place = piece->Place(raw, pool.InFlightBytes());
    if (!place)
        return HostWrite::Failed;
    RequestPool::Finished done;
    bool pended = false;
    bool written = tail.Write(
        image, place->target.offset, [&](const uint8_t* data, uint32_t bytes, uint64_t offset) {
            done = pool.Finish(r, {place->target.file, offset}, data, bytes, false);
            pended = pended || done.pended;
            return done.stored;
        });
    if (pended)
        hostWritesAtOnce = false;
    if (!written) {
        // A write that may still land keeps its place from the frames after it. Still going (the
        // frame fails, its request stays out of use), or the disk is full: a copy would not fare
        // better.
        if (done.outstanding)
            return HostWrite::Failed;
        piece->Undo(place->frame);
        if (IsDiskFull(done.error))
            return HostWrite::Failed;
        hostWritesAtOnce = false; // memory the platform would not write from: copy it
        return HostWrite::NotTried;
    }
    piece->CoverWritten();
    stored = place->frame;
    return HostWrite::Stored;
}

// The host may reuse its image as soon as the call returns, so the direct writers finish their
// write first: one write and one wait on the pool's event, no packet through the port.
std::optional<StoredFrame> FastWriter::DirectFrame(const uint8_t* image) {
    WriteRequest* r = pool.AcquireFirstFree();
    if (!r)
        return std::nullopt;
    if (raw.write == 0) {
        StoredFrame stored = piece->Store(raw);
        piece->CoverWritten();
        return stored;
    }
    auto place = piece->Place(raw, pool.InFlightBytes());
    if (!place)
        return std::nullopt;
    RequestPool::Finished done = pool.Finish(r, place->target, image, raw.write, true);
    if (!done.stored) {
        // A failed frame's write that the platform never finished may still land, any time later:
        // the frames after it go past its place, so that none of them lies under it.
        if (!done.outstanding)
            piece->Undo(place->frame);
        return std::nullopt;
    }
    piece->CoverWritten();
    return place->frame;
}

std::optional<StoredFrame> FastWriter::PooledFrame(const ImageView& image, WriterSource source,
                                                   bool split) {
    WriteRequest* r = pool.Acquire();
    if (!r)
        return std::nullopt;
    FrameSize size = raw;
    if (source == WriterSource::Copied) {
        StoredFrame stored;
        HostWrite host = WriteHostWhileAtOnce(r, image.bits, stored);
        if (host != HostWrite::NotTried)
            return host == HostWrite::Stored ? std::optional(stored) : std::nullopt;
        ++stats.framesCopied;
        CopyForDisk(r->Buffer(), image.bits, raw.bytes);
    } else {
        auto produced = chain.Compress(image, r->Buffer());
        // A switch waits for every write but r's (free) one.
        if (!produced || (split && !SwitchPieceIfFull(produced->write)))
            return std::nullopt;
        size = *produced;
    }
    if (size.write == 0)
        return piece->Store(size);
    auto place = piece->Place(size, pool.InFlightBytes());
    if (!place)
        return std::nullopt;
    if (!pool.Issue(r, place->target, r->Buffer(), size.write)) {
        piece->Undo(place->frame);
        return std::nullopt;
    }
    // Space the piece did not have for this frame, and no promise of it: the frame learns the
    // outcome of its write before it is reported stored, so that a full disk fails this frame.
    if (place->awaitOutcome) {
        if (!pool.WaitFor(r)) // still in flight: its place is not given to the next frame
            return std::nullopt;
        if (pool.ConsumeFailure()) {
            piece->Undo(place->frame);
            return std::nullopt;
        }
        piece->CoverWritten();
    }
    return place->frame;
}

std::optional<StoredFrame> FastWriter::Write(const ImageView& image, WriterSource source,
                                             bool split) {
    if (split && source != WriterSource::Compressed && !SwitchPieceIfFull(raw.write))
        return std::nullopt;
    if (source == WriterSource::Host)
        return DirectFrame(image.bits);
    return PooledFrame(image, source, split);
}
