#include "capture/FastWriter.h"

#include <cstdint>
#include <cstring>

#include "capture/CaptureStats.h"
#include "edge/Win32Edge.h"
#include "pure/PixelRepack.h"

using namespace kestro;

bool FastWriter::Begin(FrameSize size, uint32_t page, WriterSource source) {
    raw = size;
    pageSize = page;
    hostWritesAtOnce = true;
    // The direct writers, and the copied ones while they write the host's image, finish their
    // own write before the host gets its image back; an event of their own keeps that wait off
    // the completion port.
    if (source != WriterSource::Compressed &&
        !(event = CreateEventA(nullptr, TRUE, FALSE, nullptr)))
        return false;
    return source != WriterSource::Copied || raw.bytes % pageSize == 0 ||
           (tailPage = AllocatePages(pageSize));
}

void FastWriter::Release() {
    CloseObject(event);
    FreePages(tailPage);
}

bool FastWriter::SwitchPieceIfFull(uint32_t write) {
    if (!piece.Full(write))
        return true;
    if (pool.HasPort()) {
        pool.Drain();
        pool.ClosePort();
    }
    if (!piece.OpenNext(!pool.Stuck()))
        return false;
    if (!pool.AttachPort(piece.Handle())) {
        piece.CloseCurrent();
        return false;
    }
    pool.Rewind();
    hostWritesAtOnce = true; // a fresh piece may finish writes at once where the last did not
    return true;
}

// Issues the write of the current frame with r. Only a request with no packet owed is handed
// here, and r stays in flight until the port delivers the packet of this write. With ownEvent
// the write posts no packet: it completes on the run's event, and this call waits for it.
FastWriter::Issue FastWriter::StartWrite(WriteRequest* r, const void* data, FrameSize size,
                                         bool ownEvent) {
    if (size.write == 0)
        return Issue::Issued;
    auto growth = piece.Grow(piece.Offset() + size.write, size.write, pool.InFlightBytes());
    if (growth == PieceFile::Growth::Refused)
        return Issue::Failed;
    const Issue issued =
        growth == PieceFile::Growth::OwnWrite ? Issue::AwaitOutcome : Issue::Issued;
    for (;;) {
        r->Prepare(piece.Offset(), size.write, ownEvent ? OwnEvent() : nullptr);
        if (WriteFile(piece.Handle(), data, size.write, nullptr, &r->overlapped)) {
            if (ownEvent)
                return FinishedWrite(r) ? issued : Issue::Failed;
            r->inFlight = pool.SkipsOnSuccess() ? 0 : 1;
            return issued;
        }
        DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            if (ownEvent)
                return FinishPendingOwnWrite(r) ? issued : Issue::Failed;
            r->inFlight = 1;
            return issued;
        }
        // A shortage passes once a write finishes; with none in flight it would never pass.
        if (!IsShortage(error) || !pool.AnyInFlight())
            return Issue::Failed;
        WriteRequest* done = nullptr;
        if (pool.TakeCompletion(pool.StallMs(), &done) != RequestPool::Taken::Request)
            return Issue::Failed;
        pool.SetNext(done);
    }
}

// The run's event for the writes it finishes itself; its low bit keeps their completions off the
// port.
HANDLE FastWriter::OwnEvent() const {
    return HANDLE(uintptr_t(event) | 1);
}

// An own-event write that WriteFile answered pending. Wine answers pending for writes it has
// already finished: nothing to wait for then. `waited` learns whether the platform really kept
// the write going.
bool FastWriter::FinishPendingOwnWrite(WriteRequest* r, bool* waited) {
    if (HasOverlappedIoCompleted(&r->overlapped))
        return FinishedWrite(r);
    if (waited)
        *waited = true;
    return WaitOwnWrite(r);
}

// The direct writers' wait for their own write, which holds the host's image. A write that
// makes no progress for the stall time is cancelled; one that outlives even that stays in flight
// (its request is not used again) and the frame fails.
bool FastWriter::WaitOwnWrite(WriteRequest* r) {
    ++stats.blockingWaits;
    if (WaitForSingleObject(event, pool.StallMs()) != WAIT_OBJECT_0) {
        r->inFlight = 1;
        pool.CancelWrites();
        if (WaitForSingleObject(event, pool.StallMs()) != WAIT_OBJECT_0 &&
            !HasOverlappedIoCompleted(&r->overlapped)) {
            pool.MarkStuck();
            return false;
        }
    }
    return FinishedWrite(r);
}

bool FastWriter::FinishedWrite(WriteRequest* r) {
    DWORD done = 0;
    BOOL ok = GetOverlappedResult(piece.Handle(), &r->overlapped, &done, FALSE);
    return r->Complete(ok != FALSE, done);
}

// Writes memory that the host gets back on return, and finishes the write first. `pended`
// learns whether the platform kept the write going past WriteFile.
bool FastWriter::WriteAndFinish(WriteRequest* r, const void* data, uint32_t bytes, uint64_t offset,
                                bool& pended) {
    r->Prepare(offset, bytes, OwnEvent());
    if (WriteFile(piece.Handle(), data, bytes, nullptr, &r->overlapped))
        return FinishedWrite(r);
    return GetLastError() == ERROR_IO_PENDING && FinishPendingOwnWrite(r, &pended);
}

// The copied writers copy a frame so that the host has its image back while the write goes on.
// Where the platform finishes a write inside WriteFile (NTFS writing past the data a piece
// holds, a cached piece, Wine always) the copy buys nothing and costs a pass over the frame, so
// they first write the host's image itself, as the synchronous writer does: head pages from
// the image, the last partial page from a page of their own. The first write the platform
// keeps pending is waited for, and the rest of the piece is copied.
FastWriter::HostWrite FastWriter::WriteHostWhileAtOnce(WriteRequest* r, const void* image,
                                                       StoredFrame& stored) {
    if (!hostWritesAtOnce || !event || (raw.bytes % pageSize != 0 && !tailPage))
        return HostWrite::NotTried;
    // Unbuffered writes take memory aligned to the sector; the page covers every sector size.
    if ((piece.Flags() & kNoBuffering) && uintptr_t(image) % pageSize != 0)
        return HostWrite::NotTried;
    if (raw.write == 0)
        return HostWrite::NotTried;
    // The frame's own writes are finished here, whatever the growth decided.
    uint64_t offset = piece.Offset();
    if (piece.Grow(offset + raw.write, raw.write, pool.InFlightBytes()) ==
        PieceFile::Growth::Refused)
        return HostWrite::Failed;
    const auto* bytes = static_cast<const uint8_t*>(image);
    uint32_t whole = raw.bytes - raw.bytes % pageSize;
    bool pended = false;
    bool written = whole == 0 || WriteAndFinish(r, bytes, whole, offset, pended);
    if (written && whole < raw.write) {
        std::memcpy(tailPage, bytes + whole, raw.bytes - whole);
        written = WriteAndFinish(r, tailPage, pageSize, offset + whole, pended);
    }
    if (pended)
        hostWritesAtOnce = false;
    if (!written) {
        DWORD error = GetLastError();
        // Still going (the frame fails, its request stays out of use), or the disk is full:
        // a copy would not fare better. A write that may still land keeps its place from the
        // frames after it.
        if (r->inFlight || IsDiskFull(error)) {
            if (r->inFlight)
                piece.Skip(raw.write);
            return HostWrite::Failed;
        }
        hostWritesAtOnce = false; // memory the platform would not write from: copy it
        return HostWrite::NotTried;
    }
    stored = piece.Store(raw);
    piece.CoverWritten();
    return HostWrite::Stored;
}

// The host may reuse its image as soon as the call returns, so the direct writers finish their
// write first: one write and one wait on the run's event, no packet through the port.
std::optional<StoredFrame> FastWriter::DirectFrame(const ICCOMPRESS* icc) {
    WriteRequest* r = pool.FirstFree();
    if (pool.ConsumeFailure() || !r)
        return std::nullopt;
    if (StartWrite(r, icc->lpInput, raw, true) == Issue::Failed) {
        // A failed frame's write that the platform never finished may still land, any time
        // later: the frames after it go past its place, so that none of them lies under it.
        if (r->inFlight)
            piece.Skip(raw.write);
        return std::nullopt;
    }
    StoredFrame stored = piece.Store(raw);
    piece.CoverWritten();
    return stored;
}

std::optional<StoredFrame> FastWriter::PooledFrame(const ICCOMPRESS* icc, WriterSource source,
                                                   bool split) {
    WriteRequest* r = pool.Acquire();
    // A background write that failed is reported by the frame that learns of it.
    if (pool.ConsumeFailure() || !r)
        return std::nullopt;
    if (source == WriterSource::Copied) {
        StoredFrame stored;
        HostWrite host = WriteHostWhileAtOnce(r, icc->lpInput, stored);
        if (host != HostWrite::NotTried)
            return host == HostWrite::Stored ? std::optional(stored) : std::nullopt;
    }
    bool walking = pool.IsNext(r);
    Issue issued = Issue::Failed;
    FrameSize size = raw;
    if (source == WriterSource::Copied) {
        ++stats.framesCopied;
        CopyForDisk(r->buffer, static_cast<const uint8_t*>(icc->lpInput), raw.bytes);
        issued = StartWrite(r, r->buffer, size);
    } else if (auto produced = chain.Compress(icc, r->buffer)) {
        size = *produced;
        // A switch waits for every write but r's (free) one.
        if (!split || SwitchPieceIfFull(size.write))
            issued = StartWrite(r, r->buffer, size);
    }
    if (issued == Issue::Failed)
        return std::nullopt;
    StoredFrame stored = piece.Store(size);
    if (walking && pool.IsNext(r) && r->inFlight)
        pool.StepPast(r);
    // Space the piece did not have for this frame, and no promise of it: the frame learns the
    // outcome of its write before it is reported stored, so that a full disk fails this frame.
    if (issued == Issue::AwaitOutcome) {
        if (!pool.WaitFor(r)) // still in flight: its place is not given to the next frame
            return std::nullopt;
        if (pool.ConsumeFailure()) {
            piece.Undo(stored);
            return std::nullopt;
        }
        piece.CoverWritten();
    }
    return stored;
}

std::optional<StoredFrame> FastWriter::Write(const ICCOMPRESS* icc, WriterSource source,
                                             bool split) {
    if (split && source != WriterSource::Compressed && !SwitchPieceIfFull(raw.write))
        return std::nullopt;
    if (source == WriterSource::Host)
        return DirectFrame(icc);
    return PooledFrame(icc, source, split);
}
