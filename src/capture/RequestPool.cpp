#include "capture/RequestPool.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "capture/CaptureStats.h"
#include "edge/Win32Edge.h"

using namespace kestro;

void WriteRequest::Prepare(WriteTarget at, uint32_t count, HANDLE event) {
    std::memset(&overlapped, 0, sizeof overlapped);
    overlapped.Offset = DWORD(at.offset);
    overlapped.OffsetHigh = DWORD(at.offset >> 32);
    overlapped.hEvent = event;
    file = at.file;
    bytes = count;
    inFlight = false;
}

bool WriteRequest::Complete(bool succeeded, uint64_t transferred) {
    inFlight = false;
    return WriteStored(succeeded, transferred, bytes);
}

bool WriteRequest::CompleteAsRecorded() {
    return Complete(overlapped.Internal == 0, overlapped.InternalHigh);
}

bool RequestPool::Begin(HANDLE file, uint32_t entries, uint32_t bufferBytes, bool ownWrites) {
    Release();
    failed = false;
    // The direct writers, and the copied ones while they write the host's image, finish their own
    // write before the host gets its image back; an event of their own keeps that wait off the
    // completion port.
    if (ownWrites) {
        event.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        if (!event)
            return false;
    }
    return Attach(file) && Create(entries, bufferBytes);
}

bool RequestPool::Create(uint32_t entries, uint32_t bufferBytes) {
    // A count from the file too large for any array would throw even from a nothrow new.
    if (entries > PTRDIFF_MAX / sizeof(WriteRequest))
        return false;
    requests.reset(new (std::nothrow) WriteRequest[entries]);
    if (!requests)
        return false;
    count = entries;
    next = requests.get();
    for (uint32_t i = 0; i < entries; ++i) {
        requests[i].buffer = PageBuffer(bufferBytes);
        if (!requests[i].buffer)
            return false;
    }
    return true;
}

void RequestPool::Release() {
    // A write the platform never finished may still read its buffer and will still write its
    // OVERLAPPED: such a pool is left to it rather than freed under it.
    if (requests && !Drain())
        (void)requests.release();
    requests.reset();
    count = 0;
    next = walked = nullptr;
    port.reset();
    joined.clear();
    event.reset();
}

void RequestPool::Detach() {
    if (port)
        Drain();
}

bool RequestPool::Attach(HANDLE file) {
    HANDLE joinedPort = CreateIoCompletionPort(file, port.get(), 1, 0);
    if (!joinedPort)
        return false;
    if (!port)
        port.reset(joinedPort);
    try {
        joined.push_back({file, SkipPacketsOnSuccess(file)});
    } catch (...) {
        return false;
    }
    next = requests.get();
    return true;
}

bool RequestPool::SkipsOnSuccess(HANDLE file) const {
    for (auto j = joined.rbegin(); j != joined.rend(); ++j)
        if (j->file == file)
            return j->skipOnSuccess;
    return false;
}

RequestPoolView RequestPool::View() const {
    return {port.get(), count, InFlightCount()};
}

WriteRequest* RequestPool::RequestOf(OVERLAPPED* overlapped) const {
    for (uint32_t i = 0; i < count; ++i)
        if (&requests[i].overlapped == overlapped)
            return &requests[i];
    return nullptr;
}

WriteRequest* RequestPool::FirstFree() const {
    for (uint32_t i = 0; i < count; ++i)
        if (!requests[i].inFlight)
            return &requests[i];
    return nullptr;
}

bool RequestPool::AnyInFlight() const {
    for (uint32_t i = 0; i < count; ++i)
        if (requests[i].inFlight)
            return true;
    return false;
}

uint32_t RequestPool::InFlightCount() const {
    uint32_t n = 0;
    for (uint32_t i = 0; i < count; ++i)
        n += requests[i].inFlight ? 1 : 0;
    return n;
}

void RequestPool::NoteIssue(WriteRequest* r) {
    r->row = journal.Issue(InFlightCount() + 1);
}

// The host waits for a free request: the journal counts the time against the frame.
RequestPool::Taken RequestPool::TimedWait(WriteRequest** delivered) {
    const int64_t from = FrameJournal::Now();
    const Taken taken = TakeCompletion(stallMs, delivered);
    journal.Waited(FrameJournal::Now() - from);
    return taken;
}

uint64_t RequestPool::InFlightBytes() const {
    uint64_t bytes = 0;
    for (uint32_t i = 0; i < count; ++i)
        if (requests[i].inFlight)
            bytes += requests[i].bytes;
    return bytes;
}

RequestPool::Taken RequestPool::TakeCompletion(DWORD timeout, WriteRequest** delivered) {
    if (!port)
        return Taken::Broken;
    if (timeout != 0)
        ++stats.blockingWaits;
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* overlapped = nullptr;
    BOOL ok = GetQueuedCompletionStatus(port.get(), &bytes, &key, &overlapped, timeout);
    if (!overlapped)
        return GetLastError() == WAIT_TIMEOUT ? Taken::Empty : Taken::Broken;
    WriteRequest* r = RequestOf(overlapped);
    if (!r)
        return Taken::Empty;
    if (!r->Complete(ok != FALSE, bytes))
        failed = true;
    journal.Complete(r->row);
    if (delivered)
        *delivered = r;
    return Taken::Request;
}

// Returns in bounded time: writes that make no progress for stallMs are cancelled, and if even
// that does not finish them within stallMs the run gives them up (false). The port hands back
// exactly one packet per write it owes; if it breaks, the requests' own completion status is
// watched instead.
bool RequestPool::Drain() {
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
            GiveUp();
            return false;
        }
        CancelWrites();
        cancelled = true;
        since = GetTickCount();
    }
    return true;
}

bool RequestPool::WatchRequests() {
    for (int round = 0; round < 2 && AnyInFlight(); ++round) {
        if (round == 1)
            CancelWrites();
        DWORD since = GetTickCount();
        for (uint32_t i = 0; i < count; ++i) {
            WriteRequest& r = requests[i];
            if (!r.inFlight)
                continue;
            while (!HasOverlappedIoCompleted(&r.overlapped) && GetTickCount() - since < stallMs)
                Sleep(1);
            if (!HasOverlappedIoCompleted(&r.overlapped))
                continue;
            if (!r.CompleteAsRecorded())
                failed = true;
            journal.Complete(r.row);
        }
    }
    if (!AnyInFlight())
        return true;
    GiveUp();
    return false;
}

void RequestPool::CancelWrites() {
    for (uint32_t i = 0; i < count; ++i)
        if (requests[i].inFlight)
            CancelRequest(requests[i].file, &requests[i].overlapped);
}

// Writes the platform never finished: the pieces they go to keep their length, and the pool
// its memory.
void RequestPool::GiveUp() {
    ++stats.writesGivenUp;
}

bool RequestPool::ConsumeFailure() {
    bool was = failed;
    failed = false;
    return was;
}

// Takes every completion the port holds in one call where the system has the batch form, so
// that a pool of n requests costs one look at the port per n frames rather than one per frame.
// False when the port held none.
bool RequestPool::CollectCompletions() {
    auto batch = Kernel32().GetQueuedCompletionStatusEx;
    if (!batch || !port)
        return TakeCompletion(0) == Taken::Request;
    OVERLAPPED_ENTRY entries[16];
    ULONG got = 0;
    if (!batch(port.get(), entries, 16, &got, 0, FALSE))
        return false;
    bool any = false;
    for (ULONG i = 0; i < got; ++i) {
        WriteRequest* r = RequestOf(entries[i].lpOverlapped);
        if (!r)
            continue;
        // The write's own status and byte count are in its OVERLAPPED by now.
        if (!r->CompleteAsRecorded())
            failed = true;
        journal.Complete(r->row);
        any = true;
    }
    return any;
}

WriteRequest* RequestPool::Acquire() {
    WriteRequest* r = nullptr;
    if (next && !next->inFlight)
        r = next;
    else if (!(r = FirstFree()) && !(CollectCompletions() && (r = FirstFree())) &&
             TimedWait(&r) != Taken::Request)
        r = nullptr;
    walked = r && r == next ? r : nullptr;
    return ConsumeFailure() ? nullptr : r;
}

WriteRequest* RequestPool::AcquireFirstFree() {
    WriteRequest* r = FirstFree();
    return ConsumeFailure() ? nullptr : r;
}

// A shortage passes once a write finishes; with none in flight it would never pass. The request
// that finished is where the walk goes on.
bool RequestPool::AwaitShortage() {
    WriteRequest* done = nullptr;
    if (!AnyInFlight() || TimedWait(&done) != Taken::Request)
        return false;
    next = done;
    return true;
}

bool RequestPool::Issue(WriteRequest* r, WriteTarget at, const void* data, uint32_t bytes) {
    for (;;) {
        r->Prepare(at, bytes, nullptr);
        NoteIssue(r);
        if (WriteFile(at.file, data, bytes, nullptr, &r->overlapped)) {
            // A packet follows unless the port skips writes that complete at once.
            r->inFlight = !SkipsOnSuccess(at.file);
            break;
        }
        DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            r->inFlight = true;
            break;
        }
        if (!IsShortage(error) || !AwaitShortage())
            return false;
    }
    // The walk moves on past a request taken from it whose write stays in flight; one that
    // completed at once is free for the next frame.
    if (r == walked && r == next && r->inFlight)
        next = r == &requests[count - 1] ? nullptr : r + 1;
    walked = nullptr;
    return true;
}

// The pool's event for the writes it finishes itself; its low bit keeps their completions off
// the port.
HANDLE RequestPool::OwnEvent() const {
    return HANDLE(uintptr_t(event.get()) | 1);
}

RequestPool::Finished RequestPool::Finish(WriteRequest* r, WriteTarget at, const void* data,
                                          uint32_t bytes, bool retryShortage) {
    Finished done;
    if (!event) {
        done.error = ERROR_INVALID_HANDLE;
        return done;
    }
    for (;;) {
        r->Prepare(at, bytes, OwnEvent());
        NoteIssue(r);
        if (WriteFile(at.file, data, bytes, nullptr, &r->overlapped)) {
            done.stored = FinishedWrite(r);
            break;
        }
        DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            done.stored = FinishPending(r, done.pended);
            break;
        }
        if (!retryShortage || !IsShortage(error) || !AwaitShortage()) {
            done.error = error;
            return done;
        }
    }
    if (!done.stored)
        done.error = GetLastError();
    done.outstanding = r->inFlight;
    return done;
}

// An own-event write that WriteFile answered pending. Wine answers pending for writes it has
// already finished: nothing to wait for then. `pended` learns whether the platform really kept
// the write going.
bool RequestPool::FinishPending(WriteRequest* r, bool& pended) {
    if (HasOverlappedIoCompleted(&r->overlapped))
        return FinishedWrite(r);
    pended = true;
    return WaitOwnWrite(r);
}

// The wait for a write that holds memory the host gets back on return. A write that makes no
// progress for the stall time is cancelled; one that outlives even that stays in flight (its
// request is not used again) and the frame fails.
bool RequestPool::WaitOwnWrite(WriteRequest* r) {
    ++stats.blockingWaits;
    if (WaitForSingleObject(event.get(), stallMs) != WAIT_OBJECT_0) {
        r->inFlight = true;
        CancelWrites();
        if (WaitForSingleObject(event.get(), stallMs) != WAIT_OBJECT_0 &&
            !HasOverlappedIoCompleted(&r->overlapped)) {
            GiveUp();
            return false;
        }
    }
    return FinishedWrite(r);
}

bool RequestPool::FinishedWrite(WriteRequest* r) {
    DWORD done = 0;
    BOOL ok = GetOverlappedResult(r->file, &r->overlapped, &done, FALSE);
    const bool stored = r->Complete(ok != FALSE, done);
    journal.Complete(r->row);
    return stored;
}

bool RequestPool::WaitFor(WriteRequest* r) {
    while (r->inFlight) {
        Taken taken = TakeCompletion(stallMs);
        if (taken == Taken::Broken)
            return Drain();
        if (taken == Taken::Empty && r->inFlight)
            return false; // no progress within stallMs: the frame gives up, the write goes on
    }
    return true;
}
