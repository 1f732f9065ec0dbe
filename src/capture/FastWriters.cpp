#include <cstdint>
#include <cstring>
#include <new>

#include "capture/CaptureRun.h"
#include "edge/Win32Edge.h"
#include "pure/CaptureRules.h"
#include "pure/PixelRepack.h"

using namespace kestro;

WriteRequest::~WriteRequest() {
    FreePages(buffer);
}

void WriteRequest::Prepare(uint64_t offset, uint32_t count, HANDLE event) {
    std::memset(&overlapped, 0, sizeof overlapped);
    overlapped.Offset = DWORD(offset);
    overlapped.OffsetHigh = DWORD(offset >> 32);
    overlapped.hEvent = event;
    bytes = count;
    inFlight = 0;
}

bool WriteRequest::Complete(bool succeeded, uint64_t transferred) {
    inFlight = 0;
    return WriteStored(succeeded, transferred, bytes);
}

bool WriteRequest::CompleteAsRecorded() {
    return Complete(overlapped.Internal == 0, overlapped.InternalHigh);
}

bool CaptureRun::CreateRequestPool() {
    uint32_t count = settings->EffectiveRequestCount();
    // A count from the file too large for any array would throw even from a nothrow new.
    if (count > PTRDIFF_MAX / sizeof(WriteRequest))
        return false;
    requests = new (std::nothrow) WriteRequest[count];
    if (!requests)
        return false;
    requestCount = count;
    nextRequest = requests;
    lastRequest = requests + count - 1;
    for (uint32_t i = 0; i < count; ++i) {
        requests[i].buffer = AllocatePages(bufferBytes);
        if (!requests[i].buffer)
            return false;
    }
    return true;
}

void CaptureRun::ReleaseRequestPool() {
    if (!requests)
        return;
    // A write the platform never finished may still read its buffer and will still write its
    // OVERLAPPED: such a pool is left to it rather than freed under it.
    if (DrainWrites())
        delete[] requests;
    requests = nextRequest = lastRequest = nullptr;
    requestCount = 0;
}

WriteRequest* CaptureRun::RequestOf(OVERLAPPED* overlapped) const {
    for (uint32_t i = 0; i < requestCount; ++i)
        if (&requests[i].overlapped == overlapped)
            return &requests[i];
    return nullptr;
}

WriteRequest* CaptureRun::FirstFreeRequest() const {
    for (uint32_t i = 0; i < requestCount; ++i)
        if (!requests[i].inFlight)
            return &requests[i];
    return nullptr;
}

bool CaptureRun::AnyInFlight() const {
    return FirstInFlight() != nullptr;
}

WriteRequest* CaptureRun::FirstInFlight() const {
    for (uint32_t i = 0; i < requestCount; ++i)
        if (requests[i].inFlight)
            return &requests[i];
    return nullptr;
}

CaptureRun::Taken CaptureRun::TakeCompletion(DWORD timeout, WriteRequest** delivered) {
    if (!hWritePort)
        return Taken::Broken;
    if (timeout != 0)
        ++stats.blockingWaits;
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* overlapped = nullptr;
    BOOL ok = GetQueuedCompletionStatus(hWritePort, &bytes, &key, &overlapped, timeout);
    if (!overlapped)
        return GetLastError() == WAIT_TIMEOUT ? Taken::Empty : Taken::Broken;
    WriteRequest* r = RequestOf(overlapped);
    if (!r)
        return Taken::Empty;
    if (!r->Complete(ok != FALSE, bytes))
        completionFailed = true;
    if (delivered)
        *delivered = r;
    return Taken::Request;
}

// Leaves no write in flight, and returns in bounded time: writes that make no progress for
// stallMs are cancelled, and if even that does not finish them within stallMs the run gives them
// up (false; writesStuck is set). The port hands back exactly one packet per write it owes; if it
// breaks, the requests' own completion status is watched instead.
bool CaptureRun::DrainWrites() {
    bool cancelled = false;
    DWORD since = GetTickCount();
    while (AnyInFlight()) {
        Taken taken = TakeCompletion(stallMs);
        if (taken == Taken::Request) {
            since = GetTickCount();
            continue;
        }
        if (taken == Taken::Broken)
            return WatchRequests();
        if (GetTickCount() - since < stallMs)
            continue; // a packet of no request of ours
        if (cancelled) {
            writesStuck = true;
            return false;
        }
        CancelWrites();
        cancelled = true;
        since = GetTickCount();
    }
    return true;
}

bool CaptureRun::WatchRequests() {
    for (int round = 0; round < 2 && AnyInFlight(); ++round) {
        if (round == 1)
            CancelWrites();
        DWORD since = GetTickCount();
        for (uint32_t i = 0; i < requestCount; ++i) {
            WriteRequest& r = requests[i];
            if (!r.inFlight)
                continue;
            while (!HasOverlappedIoCompleted(&r.overlapped) && GetTickCount() - since < stallMs)
                Sleep(1);
            if (!HasOverlappedIoCompleted(&r.overlapped))
                continue;
            if (!r.CompleteAsRecorded())
                completionFailed = true;
        }
    }
    if (!AnyInFlight())
        return true;
    writesStuck = true;
    return false;
}

bool CaptureRun::WaitForRequest(WriteRequest* r) {
    while (r->inFlight) {
        Taken taken = TakeCompletion(stallMs);
        if (taken == Taken::Broken)
            return DrainWrites();
        if (taken == Taken::Empty && r->inFlight)
            return false; // no progress within stallMs: the frame gives up, the write goes on
    }
    return true;
}

bool CaptureRun::ConsumeWriteFailure() {
    bool failed = completionFailed;
    completionFailed = false;
    return failed;
}

// Takes every completion the port holds in one call where the system has the batch form, so
// that a pool of n requests costs one look at the port per n frames rather than one per frame.
// False when the port held none.
bool CaptureRun::CollectCompletions() {
    auto batch = Kernel32().GetQueuedCompletionStatusEx;
    if (!batch || !hWritePort)
        return TakeCompletion(0) == Taken::Request;
    OVERLAPPED_ENTRY entries[16];
    ULONG count = 0;
    if (!batch(hWritePort, entries, 16, &count, 0, FALSE))
        return false;
    bool any = false;
    for (ULONG i = 0; i < count; ++i) {
        WriteRequest* r = RequestOf(entries[i].lpOverlapped);
        if (!r)
            continue;
        // The write's own status and byte count are in its OVERLAPPED by now.
        if (!r->CompleteAsRecorded())
            completionFailed = true;
        any = true;
    }
    return any;
}

WriteRequest* CaptureRun::AcquireRequest() {
    if (nextRequest && !nextRequest->inFlight)
        return nextRequest;
    WriteRequest* r = FirstFreeRequest();
    if (r || (CollectCompletions() && (r = FirstFreeRequest())))
        return r;
    return TakeCompletion(stallMs, &r) == Taken::Request ? r : nullptr;
}

// Issues the write of the current frame with r. Only a request with no packet owed is handed
// here, and r stays in flight until the port delivers the packet of this write. With ownEvent
// the write posts no packet: it completes on the run's event, and this call waits for it.
CaptureRun::Issue CaptureRun::StartWrite(WriteRequest* r, const void* data, bool ownEvent) {
    if (writeBytes == 0)
        return Issue::Issued;
    Growth growth = GrowPiece(fileOffset + writeBytes);
    if (growth == Growth::Refused)
        return Issue::Failed;
    const Issue issued = growth == Growth::OwnWrite ? Issue::AwaitOutcome : Issue::Issued;
    for (;;) {
        r->Prepare(fileOffset, writeBytes, ownEvent ? OwnEvent() : nullptr);
        if (WriteFile(hWriteFile, data, writeBytes, nullptr, &r->overlapped)) {
            if (ownEvent)
                return FinishedWrite(r) ? issued : Issue::Failed;
            r->inFlight = skipOnSuccess ? 0 : 1;
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
        if (!IsShortage(error) || !AnyInFlight())
            return Issue::Failed;
        WriteRequest* done = nullptr;
        if (TakeCompletion(stallMs, &done) != Taken::Request)
            return Issue::Failed;
        nextRequest = done;
    }
}

// The run's event for the writes it finishes itself; its low bit keeps their completions off the
// port.
HANDLE CaptureRun::OwnEvent() const {
    return HANDLE(uintptr_t(hWriteEvent) | 1);
}

// An own-event write that WriteFile answered pending. Wine answers pending for writes it has
// already finished: nothing to wait for then. `waited` learns whether the platform really kept
// the write going.
bool CaptureRun::FinishPendingOwnWrite(WriteRequest* r, bool* waited) {
    if (HasOverlappedIoCompleted(&r->overlapped))
        return FinishedWrite(r);
    if (waited)
        *waited = true;
    return WaitOwnWrite(r);
}

// The direct writers' wait for their own write, which holds the host's image. A write that
// makes no progress for stallMs is cancelled; one that outlives even that stays in flight (its
// request is not used again) and the frame fails.
bool CaptureRun::WaitOwnWrite(WriteRequest* r) {
    ++stats.blockingWaits;
    if (WaitForSingleObject(hWriteEvent, stallMs) != WAIT_OBJECT_0) {
        r->inFlight = 1;
        CancelWrites();
        if (WaitForSingleObject(hWriteEvent, stallMs) != WAIT_OBJECT_0 &&
            !HasOverlappedIoCompleted(&r->overlapped)) {
            writesStuck = true;
            return false;
        }
    }
    return FinishedWrite(r);
}

// A failed frame's own write that the platform never finished may still land, any time later:
// the frames after it go past its place, so that none of them lies under it.
void CaptureRun::LeavePlaceToStuckWrite(const WriteRequest* r) {
    if (r->inFlight) {
        fileOffset += writeBytes;
        pieceOffset += writeBytes;
    }
}

bool CaptureRun::FinishedWrite(WriteRequest* r) {
    DWORD done = 0;
    BOOL ok = GetOverlappedResult(hWriteFile, &r->overlapped, &done, FALSE);
    return r->Complete(ok != FALSE, done);
}

// Writes memory that the host gets back on return, and finishes the write first. `pended`
// learns whether the platform kept the write going past WriteFile.
bool CaptureRun::WriteAndFinish(WriteRequest* r, const void* data, uint32_t bytes, uint64_t offset,
                                bool& pended) {
    r->Prepare(offset, bytes, OwnEvent());
    if (WriteFile(hWriteFile, data, bytes, nullptr, &r->overlapped))
        return FinishedWrite(r);
    return GetLastError() == ERROR_IO_PENDING && FinishPendingOwnWrite(r, &pended);
}

// The copied writers copy a frame so that the host has its image back while the write goes on.
// Where the platform finishes a write inside WriteFile (NTFS writing past the data a piece
// holds, a cached piece, Wine always) the copy buys nothing and costs a pass over the frame, so
// they first write the host's image itself, as the synchronous writer does: head pages from
// the image, the last partial page from a page of their own. The first write the platform
// keeps pending is waited for, and the rest of the piece is copied.
CaptureRun::HostWrite CaptureRun::WriteHostWhileAtOnce(WriteRequest* r, const void* image) {
    if (!hostWritesAtOnce || !hWriteEvent || (frameBytes % pageSize != 0 && !tailPage))
        return HostWrite::NotTried;
    // Unbuffered writes take memory aligned to the sector; the page covers every sector size.
    if ((pieceFlags & kNoBuffering) && uintptr_t(image) % pageSize != 0)
        return HostWrite::NotTried;
    if (writeBytes == 0)
        return HostWrite::NotTried;
    // The frame's own writes are finished here, whatever the growth decided.
    if (GrowPiece(fileOffset + writeBytes) == Growth::Refused)
        return HostWrite::Failed;
    const auto* bytes = static_cast<const uint8_t*>(image);
    uint32_t whole = frameBytes - frameBytes % pageSize;
    bool pended = false;
    bool written = whole == 0 || WriteAndFinish(r, bytes, whole, fileOffset, pended);
    if (written && whole < writeBytes) {
        std::memcpy(tailPage, bytes + whole, frameBytes - whole);
        written = WriteAndFinish(r, tailPage, pageSize, fileOffset + whole, pended);
    }
    if (pended)
        hostWritesAtOnce = false;
    if (!written) {
        DWORD error = GetLastError();
        // Still going (the frame fails, its request stays out of use), or the disk is full:
        // a copy would not fare better.
        if (r->inFlight || IsDiskFull(error)) {
            LeavePlaceToStuckWrite(r);
            return HostWrite::Failed;
        }
        hostWritesAtOnce = false; // memory the platform would not write from: copy it
        return HostWrite::NotTried;
    }
    StoreFrame();
    if (fileOffset > pieceEnd)
        pieceEnd = fileOffset;
    return HostWrite::Stored;
}

CaptureRun::Issue CaptureRun::IssueDirect(WriteRequest* r, const void* source) {
    Issue issued = StartWrite(r, source);
    if (issued != Issue::Failed)
        StoreFrame();
    return issued;
}

CaptureRun::Issue CaptureRun::IssueCopied(WriteRequest* r, const void* image) {
    ++stats.framesCopied;
    CopyForDisk(r->buffer, static_cast<const uint8_t*>(image), frameBytes);
    return IssueDirect(r, r->buffer);
}

CaptureRun::Issue CaptureRun::IssueCompressed(WriteRequest* r, ICCOMPRESS* icc) {
    if (!CompressChained(icc, r->buffer))
        return Issue::Failed;
    return IssueDirect(r, r->buffer);
}

// The host may reuse its image as soon as the call returns, so the direct writers finish their
// write first: one write and one wait on the run's event, no packet through the port.
bool CaptureRun::DirectFrame(ICCOMPRESS* icc) {
    WriteRequest* r = FirstFreeRequest();
    if (ConsumeWriteFailure() || !r)
        return false;
    if (StartWrite(r, icc->lpInput, true) == Issue::Failed) {
        LeavePlaceToStuckWrite(r);
        return false;
    }
    StoreFrame();
    if (fileOffset > pieceEnd)
        pieceEnd = fileOffset;
    return true;
}

bool CaptureRun::FastFrame(ICCOMPRESS* icc, FastSource source, bool split) {
    if (split && source != FastSource::Compressed && !SwitchPieceIfFull())
        return false;
    if (source == FastSource::Host)
        return DirectFrame(icc);
    WriteRequest* r = AcquireRequest();
    // A background write that failed is reported by the frame that learns of it.
    if (ConsumeWriteFailure() || !r)
        return false;
    if (source == FastSource::Copied) {
        HostWrite host = WriteHostWhileAtOnce(r, icc->lpInput);
        if (host != HostWrite::NotTried)
            return host == HostWrite::Stored;
    }
    bool walking = r == nextRequest;
    Issue issued = Issue::Failed;
    if (source == FastSource::Copied)
        issued = IssueCopied(r, icc->lpInput);
    // SwitchPieceIfFull may switch pieces, which waits for every write but r's (free) one.
    else if (CompressChained(icc, r->buffer) && (!split || SwitchPieceIfFull()))
        issued = IssueDirect(r, r->buffer);
    if (issued == Issue::Failed)
        return false;
    if (walking && nextRequest == r && r->inFlight)
        nextRequest = r == lastRequest ? nullptr : r + 1;
    // Space the piece did not have for this frame, and no promise of it: the frame learns the
    // outcome of its write before it is reported stored, so that a full disk fails this frame.
    if (issued == Issue::AwaitOutcome) {
        if (!WaitForRequest(r)) // still in flight: its place is not given to the next frame
            return false;
        if (ConsumeWriteFailure()) {
            fileOffset = frameOffset;
            pieceOffset -= writeBytes;
            return false;
        }
        if (fileOffset > pieceEnd)
            pieceEnd = fileOffset;
    }
    return true;
}

bool CaptureRun::WriteDirectFast(ICCOMPRESS* icc) {
    return FastFrame(icc, FastSource::Host, false);
}
bool CaptureRun::WriteCopiedFast(ICCOMPRESS* icc) {
    return FastFrame(icc, FastSource::Copied, false);
}
bool CaptureRun::WriteCompressedFast(ICCOMPRESS* icc) {
    return FastFrame(icc, FastSource::Compressed, false);
}
bool CaptureRun::WriteDirectFastSplit(ICCOMPRESS* icc) {
    return FastFrame(icc, FastSource::Host, true);
}
bool CaptureRun::WriteCopiedFastSplit(ICCOMPRESS* icc) {
    return FastFrame(icc, FastSource::Copied, true);
}
bool CaptureRun::WriteCompressedFastSplit(ICCOMPRESS* icc) {
    return FastFrame(icc, FastSource::Compressed, true);
}
