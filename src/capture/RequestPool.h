#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "capture/CaptureStats.h"
#include "capture/FrameJournal.h"
#include "capture/Frame.h"
#include "edge/Win32Edge.h"

namespace kestro {

// One entry of the fast writers' request pool: the OVERLAPPED of its write (the completion port
// hands back its address, which names the request), the page buffer it owns, and the write last
// issued with it. A writer fills the buffer; only the pool changes the rest.
class WriteRequest {
public:
    uint8_t* Buffer() const { return buffer.data(); }

private:
    friend class RequestPool;

    // Sets up a write of `count` bytes at `at`; `event` is null or the event it completes on.
    void Prepare(WriteTarget at, uint32_t count, HANDLE event);
    // Where every way of learning that the write finished ends: its status and byte count decide
    // whether it stored its bytes, and the request is free again.
    bool Complete(bool succeeded, uint64_t transferred);
    // The same, from what the system recorded in the OVERLAPPED (status, bytes).
    bool CompleteAsRecorded();

    OVERLAPPED overlapped{};
    PageBuffer buffer;
    HANDLE file = INVALID_HANDLE_VALUE;  // the piece the last write went to
    uint32_t bytes = 0;                  // what that write must transfer
    bool inFlight = false;               // its completion is still owed
    uint32_t row = FrameJournal::kNoRow; // the journal's row of the frame it writes
};

// What the pool shows of itself.
struct RequestPoolView {
    HANDLE port = nullptr;
    uint32_t requests = 0;
    uint32_t inFlight = 0;
};

// The fast writers' requests, the completion port of the run (every piece it writes joins it, the
// pieces of every stripe at once), the event of the writes the pool finishes itself, and what the
// completions told: a write that failed in the background, writes that never finished (counted in
// the run's stats; their memory is left to them).
class RequestPool {
public:
    // What a write the pool waited for came to.
    struct Finished {
        bool stored = false;
        bool pended = false;      // the platform kept it going past WriteFile
        bool outstanding = false; // given up while the platform still has it
        DWORD error = ERROR_SUCCESS;
    };

    RequestPool(CaptureStats& stats, FrameJournal& journal) : stats(stats), journal(journal) {}
    ~RequestPool() { Release(); }
    RequestPool(const RequestPool&) = delete;
    RequestPool& operator=(const RequestPool&) = delete;

    // A run's pool: `count` requests with buffers of `bufferBytes` writing into `file`, and with
    // `ownWrites` an event for the writes it finishes itself.
    bool Begin(HANDLE file, uint32_t count, uint32_t bufferBytes, bool ownWrites);
    // Idempotent; a pool with writes the platform never finished is left to them.
    void Release();
    // Before a piece is left: every write of the run finished or given up, whichever piece it
    // went to, so that none lands in a piece after it was cut back.
    void Detach();
    // `file` joins the run's port (the first one opens it); the walk starts again from the first
    // request. A handle joins one port for its life: each piece joins once.
    bool Attach(HANDLE file);

    // A free request for the next frame: the next one along the pool where it is free, else any,
    // else the first that completes within the stall time. Null when none does, or when a write
    // failed in the background since the last frame (this frame reports it).
    WriteRequest* Acquire();
    // The first free request, for a write the pool finishes itself; null as Acquire.
    WriteRequest* AcquireFirstFree();

    // Issues r's write of `bytes` from `data` at `at`; its completion comes through the port. A
    // system short of resources for it waits for another write to finish and tries again.
    bool Issue(WriteRequest* r, WriteTarget at, const void* data, uint32_t bytes);
    // Writes with r and waits for it on the pool's event; the port gets no packet. A write that
    // makes no progress for the stall time is cancelled, and given up if even that does not end
    // it. `retryShortage`: a shortage waits for another write as Issue does.
    Finished Finish(WriteRequest* r, WriteTarget at, const void* data, uint32_t bytes,
                    bool retryShortage);
    // Waits for the completion of r's write; false when it makes no progress within the stall
    // time (it stays in flight).
    bool WaitFor(WriteRequest* r);
    // A background write failed since the last call.
    bool ConsumeFailure();
    uint64_t InFlightBytes() const;

    RequestPoolView View() const;

private:
    enum class Taken { Request, Empty, Broken };

    bool Create(uint32_t count, uint32_t bufferBytes);
    Taken TakeCompletion(DWORD timeout, WriteRequest** delivered = nullptr);
    bool CollectCompletions();
    // Leaves no write in flight, in bounded time; false when some never finished.
    bool Drain();
    bool WatchRequests();
    void CancelWrites();
    void GiveUp();
    bool AwaitShortage();
    bool FinishedWrite(WriteRequest* r);
    bool FinishPending(WriteRequest* r, bool& pended);
    bool WaitOwnWrite(WriteRequest* r);
    HANDLE OwnEvent() const;
    WriteRequest* RequestOf(OVERLAPPED* overlapped) const;
    WriteRequest* FirstFree() const;
    bool AnyInFlight() const;
    uint32_t InFlightCount() const;
    // A write of r goes out: the journal notes it with the writes on their way.
    void NoteIssue(WriteRequest* r);
    Taken TimedWait(WriteRequest** delivered);
    // Whether the port gets no packet for a write to `file` that completes at once.
    bool SkipsOnSuccess(HANDLE file) const;

    // A piece that joined the port, and whether it skips packets of writes done at once.
    struct Joined {
        HANDLE file;
        bool skipOnSuccess;
    };

    CaptureStats& stats;
    FrameJournal& journal;
    UniqueHandle event; // the writes the pool finishes itself complete on it
    std::unique_ptr<WriteRequest[]> requests;
    uint32_t count = 0;             // entries the pool was built with
    WriteRequest* next = nullptr;   // the walk along the pool; null once it has passed the last
    WriteRequest* walked = nullptr; // what Acquire took from the walk, until it is issued
    UniqueHandle port;              // of the run
    std::vector<Joined> joined;     // every piece of the run, the latest last
    bool failed = false;            // a write failed in the background and no frame reported it
    uint32_t stallMs = 10000;       // a write making no progress this long is given up on
};

} // namespace kestro
