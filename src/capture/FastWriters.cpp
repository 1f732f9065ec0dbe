#include <cstdint>
#include <cstring>
#include <new>

#include "capture/CaptureRules.h"
#include "driver/CodecInstance.h"

using namespace kestro;

namespace {

bool IsShortage(DWORD error) {
    return error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_INVALID_USER_BUFFER ||
           error == ERROR_NOT_ENOUGH_QUOTA;
}

} // namespace

bool CCodecInstance::CreateRequestPool() {
    uint32_t count = settings->EffectiveRequestCount();
    // A count from the file too large for any array would throw even from a nothrow new.
    if (count > PTRDIFF_MAX / sizeof(WriteRequest))
        return false;
    requests = new (std::nothrow) WriteRequest[count];
    requestSizes = new (std::nothrow) uint32_t[count];
    if (!requests || !requestSizes)
        return false;
    requestCount = count;
    nextRequest = requests;
    lastRequest = requests + count - 1;
    for (uint32_t i = 0; i < count; ++i) {
        std::memset(&requests[i], 0, sizeof requests[i]);
        requestSizes[i] = 0;
    }
    for (uint32_t i = 0; i < count; ++i) {
        requests[i].buffer = static_cast<uint8_t*>(VirtualAlloc(
            nullptr, bufferBytes ? bufferBytes : 1, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        if (!requests[i].buffer)
            return false;
    }
    return true;
}

void CCodecInstance::ReleaseRequestPool() {
    if (requests) {
        DrainWrites();
        for (uint32_t i = 0; i < requestCount; ++i)
            if (requests[i].buffer)
                VirtualFree(requests[i].buffer, 0, MEM_RELEASE);
        delete[] requests;
        requests = nextRequest = lastRequest = nullptr;
        requestCount = 0;
    }
    // A pool that failed half-way may hold the sizes without the entries.
    delete[] requestSizes;
    requestSizes = nullptr;
}

WriteRequest* CCodecInstance::RequestOf(OVERLAPPED* overlapped) const {
    for (uint32_t i = 0; i < requestCount; ++i)
        if (&requests[i].overlapped == overlapped)
            return &requests[i];
    return nullptr;
}

WriteRequest* CCodecInstance::FirstFreeRequest() const {
    for (uint32_t i = 0; i < requestCount; ++i)
        if (!requests[i].inFlight)
            return &requests[i];
    return nullptr;
}

bool CCodecInstance::AnyInFlight() const {
    return FirstInFlight() != nullptr;
}

WriteRequest* CCodecInstance::FirstInFlight() const {
    for (uint32_t i = 0; i < requestCount; ++i)
        if (requests[i].inFlight)
            return &requests[i];
    return nullptr;
}

CCodecInstance::Taken CCodecInstance::TakeCompletion(DWORD timeout, WriteRequest** delivered) {
    if (!hWritePort)
        return Taken::Broken;
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* overlapped = nullptr;
    BOOL ok = GetQueuedCompletionStatus(hWritePort, &bytes, &key, &overlapped, timeout);
    if (!overlapped)
        return GetLastError() == WAIT_TIMEOUT ? Taken::Empty : Taken::Broken;
    WriteRequest* r = RequestOf(overlapped);
    if (!r)
        return Taken::Empty;
    if (!ok || bytes != requestSizes[r - requests])
        completionFailed = true;
    r->inFlight = 0;
    if (delivered)
        *delivered = r;
    return Taken::Request;
}

// Leaves no write in flight. The port hands back exactly one packet per write it owes; if it
// breaks, the requests' own completion status is watched instead.
void CCodecInstance::DrainWrites() {
    while (AnyInFlight()) {
        if (TakeCompletion(INFINITE) != Taken::Broken)
            continue;
        for (uint32_t i = 0; i < requestCount; ++i) {
            WriteRequest& r = requests[i];
            if (!r.inFlight)
                continue;
            while (!HasOverlappedIoCompleted(&r.overlapped))
                Sleep(1);
            if (r.overlapped.Internal != 0)
                completionFailed = true;
            r.inFlight = 0;
        }
    }
}

bool CCodecInstance::WaitForRequest(WriteRequest* r) {
    while (r->inFlight) {
        if (TakeCompletion(INFINITE) != Taken::Broken)
            continue;
        DrainWrites();
    }
    return true;
}

bool CCodecInstance::ConsumeWriteFailure() {
    bool failed = completionFailed;
    completionFailed = false;
    return failed;
}

WriteRequest* CCodecInstance::AcquireRequest() {
    if (nextRequest && !nextRequest->inFlight)
        return nextRequest;
    WriteRequest* r = nullptr;
    if (TakeCompletion(0, &r) == Taken::Request)
        return r;
    if ((r = FirstFreeRequest()))
        return r;
    return TakeCompletion(INFINITE, &r) == Taken::Request ? r : nullptr;
}

// Issues the write of the current frame with r. Only a request with no packet owed is handed
// here, and r stays in flight until the port delivers the packet of this write.
bool CCodecInstance::StartWrite(WriteRequest* r, const void* data) {
    if (writeBytes == 0)
        return true;
    requestSizes[r - requests] = writeBytes;
    for (;;) {
        std::memset(&r->overlapped, 0, sizeof r->overlapped);
        r->overlapped.Offset = DWORD(fileOffset);
        r->overlapped.OffsetHigh = DWORD(fileOffset >> 32);
        r->inFlight = 0;
        if (WriteFile(hWriteFile, data, writeBytes, nullptr, &r->overlapped)) {
            r->inFlight = skipOnSuccess ? 0 : 1;
            return true;
        }
        DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            r->inFlight = 1;
            return true;
        }
        // A shortage passes once a write finishes; with none in flight it would never pass.
        if (!IsShortage(error) || !AnyInFlight())
            return false;
        WriteRequest* done = nullptr;
        if (TakeCompletion(INFINITE, &done) != Taken::Request)
            return false;
        nextRequest = done;
    }
}

bool CCodecInstance::IssueDirect(WriteRequest* r, const void* source) {
    if (!StartWrite(r, source))
        return false;
    StoreFrame();
    return true;
}

bool CCodecInstance::IssueCopied(WriteRequest* r, const void* image) {
    std::memcpy(r->buffer, image, frameBytes);
    return IssueDirect(r, r->buffer);
}

bool CCodecInstance::IssueCompressed(WriteRequest* r, ICCOMPRESS* icc) {
    if (!CompressChained(icc, r->buffer))
        return false;
    return IssueDirect(r, r->buffer);
}

bool CCodecInstance::FastFrame(ICCOMPRESS* icc, FastSource source, bool split) {
    if (split && source != FastSource::Compressed && !SplitTest())
        return false;
    WriteRequest* r = AcquireRequest();
    // A background write that failed is reported by the frame that learns of it.
    if (ConsumeWriteFailure() || !r)
        return false;
    bool walking = r == nextRequest;
    bool issued = false;
    switch (source) {
    case FastSource::Host:
        issued = IssueDirect(r, icc->lpInput);
        break;
    case FastSource::Copied:
        issued = IssueCopied(r, icc->lpInput);
        break;
    case FastSource::Compressed:
        // The split test may switch pieces, which waits for every write but r's (free) one.
        issued =
            CompressChained(icc, r->buffer) && (!split || SplitTest()) && IssueDirect(r, r->buffer);
        break;
    }
    if (!issued)
        return false;
    if (walking && nextRequest == r && r->inFlight)
        nextRequest = r == lastRequest ? nullptr : r + 1;
    // The host may reuse its image as soon as the call returns; and a write that grows the file
    // is where a full disk shows, so its frame learns the outcome before it is reported stored.
    uint64_t end = frameOffset + writeBytes;
    if (source == FastSource::Host || end > pieceEnd) {
        WaitForRequest(r);
        if (ConsumeWriteFailure()) {
            fileOffset = frameOffset;
            pieceOffset -= writeBytes;
            return false;
        }
        if (end > pieceEnd)
            pieceEnd = end;
    }
    return true;
}

bool CCodecInstance::WriteDirectFast(ICCOMPRESS* icc) {
    return FastFrame(icc, FastSource::Host, false);
}
bool CCodecInstance::WriteCopiedFast(ICCOMPRESS* icc) {
    return FastFrame(icc, FastSource::Copied, false);
}
bool CCodecInstance::WriteCompressedFast(ICCOMPRESS* icc) {
    return FastFrame(icc, FastSource::Compressed, false);
}
bool CCodecInstance::WriteDirectFastSplit(ICCOMPRESS* icc) {
    return FastFrame(icc, FastSource::Host, true);
}
bool CCodecInstance::WriteCopiedFastSplit(ICCOMPRESS* icc) {
    return FastFrame(icc, FastSource::Copied, true);
}
bool CCodecInstance::WriteCompressedFastSplit(ICCOMPRESS* icc) {
    return FastFrame(icc, FastSource::Compressed, true);
}
