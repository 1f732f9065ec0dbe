#pragma once
#include <windows.h>

#include <cstdint>

#include "capture/CaptureStats.h"

namespace kestro {

struct RunTestAccess;

// The one rule by which a write counts as finished: it succeeded and moved every byte it was
// given.
constexpr bool WriteStored(bool succeeded, uint64_t transferred, uint32_t bytes) {
    return succeeded && transferred == bytes;
}

// One entry of the fast writers' request pool: the OVERLAPPED of its write (first: the completion
// port hands back its address, which is the request itself), the page buffer it owns, and the
// byte count of the write last issued with it.
struct WriteRequest {
    OVERLAPPED overlapped{};
    uint8_t* buffer = nullptr; // page-allocated, released with the request
    uint32_t bytes = 0;        // what the last write issued with it must transfer
    uint32_t inFlight = 0;     // 1 while the completion of that write is owed

    WriteRequest() = default;
    ~WriteRequest();
    WriteRequest(const WriteRequest&) = delete;
    WriteRequest& operator=(const WriteRequest&) = delete;

    // Sets up a write of `count` bytes at `offset`; `event` is null or the event it completes on.
    void Prepare(uint64_t offset, uint32_t count, HANDLE event);
    // Where every way of learning that the write finished ends: its status and byte count decide
    // whether it stored its bytes, and the request is free again.
    bool Complete(bool succeeded, uint64_t transferred);
    // The same, from what the system recorded in the OVERLAPPED (status, bytes).
    bool CompleteAsRecorded();
};

// The fast writers' requests, the completion port of the piece they write, and what the
// completions told: a write that failed in the background, writes that never finished.
class RequestPool {
public:
    enum class Taken { Request, Empty, Broken };

    explicit RequestPool(CaptureStats& stats) : stats(stats) {}
    ~RequestPool() { Release(); }
    RequestPool(const RequestPool&) = delete;
    RequestPool& operator=(const RequestPool&) = delete;

    // A new run: no failure reported yet, no write stuck.
    void Reset();
    bool Create(uint32_t count, uint32_t bufferBytes);
    // Idempotent; a pool with writes the platform never finished is left to them.
    void Release();
    bool AttachPort(HANDLE file);
    void ClosePort();
    bool HasPort() const { return port != nullptr; }
    // The port gets no packet for a write that completes at once.
    bool SkipsOnSuccess() const { return skipOnSuccess; }

    // A free request: the next one along the pool where it is free, else any, else the first
    // that completes within the stall time; null when none does.
    WriteRequest* Acquire();
    WriteRequest* FirstFree() const;
    // The walk along the pool: `r` is the next one, it moves past it, it starts again.
    bool IsNext(const WriteRequest* r) const { return r == next; }
    void StepPast(WriteRequest* r) { next = r == last ? nullptr : r + 1; }
    void SetNext(WriteRequest* r) { next = r; }
    void Rewind() { next = requests; }

    Taken TakeCompletion(DWORD timeout, WriteRequest** delivered = nullptr);
    // Waits for r's own completion; false when it makes no progress within the stall time.
    bool WaitFor(WriteRequest* r);
    // Leaves no write in flight, in bounded time; false when some never finished.
    bool Drain();
    void CancelWrites();
    // A background write failed since the last call.
    bool ConsumeFailure();
    bool AnyInFlight() const;
    uint64_t InFlightBytes() const;

    void MarkStuck() { stuck = true; }
    bool Stuck() const { return stuck; }
    uint32_t StallMs() const { return stallMs; }

private:
    friend struct RunTestAccess;

    bool CollectCompletions();
    bool WatchRequests();
    WriteRequest* RequestOf(OVERLAPPED* overlapped) const;
    WriteRequest* FirstInFlight() const;

    CaptureStats& stats;
    WriteRequest* requests = nullptr;
    WriteRequest* next = nullptr;
    WriteRequest* last = nullptr;
    uint32_t count = 0;                 // entries the pool was built with
    HANDLE port = nullptr;              // of the piece being written
    HANDLE file = INVALID_HANDLE_VALUE; // that piece, for cancelling its writes
    bool skipOnSuccess = false; // the port gets no packet for a write that completes at once
    bool failed = false;        // a write failed in the background and no frame reported it
    bool stuck = false;         // writes the platform never finished: keep their memory
    uint32_t stallMs = 10000;   // a write making no progress this long is given up on
};

} // namespace kestro
