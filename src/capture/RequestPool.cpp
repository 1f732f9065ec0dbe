#include "capture/RequestPool.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "capture/CaptureStats.h"
#include "edge/Win32Edge.h"

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

void RequestPool::Reset() {
    failed = false;
    stuck = false;
}

bool RequestPool::Create(uint32_t entries, uint32_t bufferBytes) {
    // A count from the file too large for any array would throw even from a nothrow new.
    if (entries > PTRDIFF_MAX / sizeof(WriteRequest))
        return false;
    requests = new (std::nothrow) WriteRequest[entries];
    if (!requests)
        return false;
    count = entries;
    next = requests;
    last = requests + entries - 1;
    for (uint32_t i = 0; i < entries; ++i) {
        requests[i].buffer = AllocatePages(bufferBytes);
        if (!requests[i].buffer)
            return false;
    }
    return true;
}

void RequestPool::Release() {
    if (!requests)
        return;
    // A write the platform never finished may still read its buffer and will still write its
    // OVERLAPPED: such a pool is left to it rather than freed under it.
    if (Drain())
        delete[] requests;
    requests = next = last = nullptr;
    count = 0;
}

bool RequestPool::AttachPort(HANDLE piece) {
    port = CreateIoCompletionPort(piece, nullptr, 1, 0);
    if (!port)
        return false;
    file = piece;
    skipOnSuccess = SkipPacketsOnSuccess(piece);
    return true;
}

void RequestPool::ClosePort() {
    CloseObject(port);
    file = INVALID_HANDLE_VALUE;
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
    return FirstInFlight() != nullptr;
}

WriteRequest* RequestPool::FirstInFlight() const {
    for (uint32_t i = 0; i < count; ++i)
        if (requests[i].inFlight)
            return &requests[i];
    return nullptr;
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
    BOOL ok = GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, timeout);
    if (!overlapped)
        return GetLastError() == WAIT_TIMEOUT ? Taken::Empty : Taken::Broken;
    WriteRequest* r = RequestOf(overlapped);
    if (!r)
        return Taken::Empty;
    if (!r->Complete(ok != FALSE, bytes))
        failed = true;
    if (delivered)
        *delivered = r;
    return Taken::Request;
}

// Returns in bounded time: writes that make no progress for stallMs are cancelled, and if even
// that does not finish them within stallMs the run gives them up (false; the pool is stuck). The
// port hands back exactly one packet per write it owes; if it breaks, the requests' own completion
// status is watched instead.
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
            stuck = true;
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
        }
    }
    if (!AnyInFlight())
        return true;
    stuck = true;
    return false;
}

void RequestPool::CancelWrites() {
    for (uint32_t i = 0; i < count; ++i)
        if (requests[i].inFlight)
            CancelRequest(file, &requests[i].overlapped);
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
    if (!batch(port, entries, 16, &got, 0, FALSE))
        return false;
    bool any = false;
    for (ULONG i = 0; i < got; ++i) {
        WriteRequest* r = RequestOf(entries[i].lpOverlapped);
        if (!r)
            continue;
        // The write's own status and byte count are in its OVERLAPPED by now.
        if (!r->CompleteAsRecorded())
            failed = true;
        any = true;
    }
    return any;
}

WriteRequest* RequestPool::Acquire() {
    if (next && !next->inFlight)
        return next;
    WriteRequest* r = FirstFree();
    if (r || (CollectCompletions() && (r = FirstFree())))
        return r;
    return TakeCompletion(stallMs, &r) == Taken::Request ? r : nullptr;
}
