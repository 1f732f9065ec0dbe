#pragma once
// Windows' asynchronous file I/O under a loaded library, for tests and benchmarks. Wine finishes
// every overlapped transfer inside ReadFile/WriteFile, so nothing there shows what happens while
// a transfer is still on its way. This layer replaces the library's imports (kt::ImportPatch):
// it answers every overlapped ReadFile/WriteFile pending and finishes the transfer later (on a
// worker thread, when the library is about to block, or when the test says), in an order the
// test or a seeded random choice decides: whole, short, failed or cancelled. The caller's buffer
// is read or written only then. The OVERLAPPED, its event and the completion port packet behave
// as Windows documents them, and the layer counts what a caller must never do while a transfer
// is outstanding: free or reuse its buffer, touch its memory, reissue or free its OVERLAPPED,
// close its file.
//
// It works on the shipped library unchanged and sees only the platform calls, not how the codec
// keeps its runs; so the same tests hold whatever shape the run objects take. Install it after
// the library is loaded and before its first run: the library looks up the calls that only newer
// systems have (CancelIoEx, SetFileCompletionNotificationModes...) once, by GetProcAddress, and
// only lookups made while the layer is in place reach it. One layer at a time.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DiskModel.h"

namespace kt {

// What becomes of one overlapped transfer, decided when it is issued.
struct Fate {
    enum Kind {
        Later,        // pending, finished in full by the driver chosen
        AtOnce,       // finished inside the call, as a cached or small transfer may be
        Short,        // pending, then only `bytes` move (success)
        Fail,         // pending, then fails with `error` (nothing moves)
        Hold,         // pending until cancelled or released by the test
        HoldForEver,  // pending; cancelling it does nothing either
        RefuseAtIssue // the call fails at once with `error`; no completion follows
    };
    Kind kind = Later;
    DWORD error = 0;
    DWORD bytes = 0;

    static Fate Failing(DWORD error) { return {Fail, error, 0}; }
    static Fate Shortened(DWORD bytes) { return {Short, 0, bytes}; }
    static Fate Refused(DWORD error) { return {RefuseAtIssue, error, 0}; }
};

// One overlapped transfer as the test sees it.
struct Transfer {
    uint64_t id = 0;       // 1, 2, ... in issue order, reads and writes together
    uint32_t sequence = 0; // 0, 1, ... among transfers of the same direction
    bool write = false;
    HANDLE file = nullptr; // the caller's handle
    std::string path;      // as the caller opened it
    uint64_t offset = 0;
    DWORD length = 0;
    const void* buffer = nullptr;
    OVERLAPPED* overlapped = nullptr;
    bool held = false; // Hold or HoldForEver
};

struct IoCounters {
    uint32_t reads = 0, writes = 0; // overlapped transfers issued
    uint32_t pendingAnswers = 0;    // answered FALSE + ERROR_IO_PENDING
    uint32_t atOnce = 0, refused = 0;
    uint32_t completed = 0; // finished with success (whole or short)
    uint32_t failed = 0, cancelled = 0;
    uint32_t packets = 0;                   // completion port packets queued
    uint32_t syncReads = 0, syncWrites = 0; // transfers on handles opened without overlapped
    uint32_t closes = 0;                    // CloseHandle calls of the library seen
    uint32_t pieceOpens = 0;                // files opened unbuffered or overlapped (pieces)
    uint32_t lookups = 0;                   // run-time lookups of the calls above answered
    uint32_t discarded = 0;                 // writes a sink completed without storing their bytes
    uint32_t discardedReads = 0;            // reads of bytes a sink discarded, refused
    uint32_t maxInFlight = 0, maxReadsInFlight = 0, maxWritesInFlight = 0;
    // Faults of the caller; Faults() is their sum.
    uint32_t freedInUse = 0;       // VirtualFree of memory a transfer still uses (not freed)
    uint32_t overlappedFreed = 0;  // heap block of a pending OVERLAPPED freed (not freed)
    uint32_t reusedInUse = 0;      // a transfer issued on a buffer another one still uses
    uint32_t touchedInUse = 0;     // a pending read's pages accessed, a pending write's written
    uint32_t changedInUse = 0;     // a write's data differs at completion from its issue
    uint32_t overlappedReused = 0; // an OVERLAPPED issued again, or changed, while pending
    uint32_t closedInUse = 0;      // a file closed while a transfer on it is outstanding
    uint32_t portsClosedInUse = 0; // its completion port closed meanwhile
    uint32_t misaligned = 0;       // unbuffered transfer off the sector rule (refused)
    uint32_t Faults() const {
        return freedInUse + overlappedFreed + reusedInUse + touchedInUse + changedInUse +
               overlappedReused + closedInUse + portsClosedInUse + misaligned;
    }
};

// A read of bytes that a sink discarded fails at once with this error: the layer holds no data
// for them, and zeros would pass for a frame.
constexpr DWORD kDiscardedBytesError = ERROR_INVALID_DATA;

// A disk of its own for the files under one path. A sink discards the bytes of the data files
// on it (files opened unbuffered or overlapped: capture pieces, the reservation's pieces): their
// writes take the model's time and complete in full, a file grows as they say, and nothing is
// stored, so a long modelled capture needs no space. Reads through the layer of discarded bytes
// fail with kDiscardedBytesError (a program outside the layer reads the file's holes: zeros).
// Small buffered files (take files) are stored as on any disk.
struct ModelledDisk {
    std::string prefix; // files whose path as opened starts with it (letter case, / and \ aside)
    DiskModel model;
    bool sink = false;
};

struct AsyncOptions {
    enum class Driver {
        Worker,      // a thread of the layer finishes transfers, in seeded random order
        WhenBlocked, // the library's own thread finishes one (seeded random) each time it is
                     // about to block: deterministic, and the pool fills before anything ends
        Manual       // only Complete() and the OnBlock callback finish transfers
    };
    Driver driver = Driver::Worker;
    uint32_t seed = 1;
    uint32_t maxDelayUs = 300; // Worker: up to this long before each completion
    // The library's clock (GetTickCount, the time-outs of its waits, Sleep) runs this many
    // times faster, so that its stall limits of seconds pass in a test's milliseconds.
    uint32_t timeScale = 1;
    bool guardBuffers = true;   // protect a pending transfer's whole pages to see touches
    bool checksumWrites = true; // compare a write's data at issue and at completion
    // Notice a file closed under a transfer also where the close bypasses the import table
    // (the 32-bit library closes through an entry it looked up): two calls per transfer.
    bool checkFiles = true;
    uint32_t sectorBytes = 4096; // unbuffered transfers must be aligned to this
    // Systems before Vista: the run-time lookups of these find nothing.
    bool withoutCancelIoEx = false;
    bool withoutSkipOnSuccess = false;
    // Timing of every transfer, synchronous ones too (Worker driver only; benchmarks).
    std::optional<DiskModel> model;
    // Disks by path, the first that matches a file's path timing its transfers; each disk's
    // transfers finish on a worker thread of its own (Worker driver), so that disks move their
    // bytes at the same time. `model` above stands for a disk of every other file.
    std::vector<ModelledDisk> disks;
};

class AsyncIo {
public:
    // Patches `module` (null: patches nothing; the replacements are called through Calls()).
    explicit AsyncIo(AsyncOptions options = {}, const char* module = "kestro32.dll");
    ~AsyncIo();
    AsyncIo(const AsyncIo&) = delete;
    AsyncIo& operator=(const AsyncIo&) = delete;

    // The module is loaded and its overlapped transfers come here.
    bool active() const { return active_; }

    void SetPolicy(std::function<Fate(const Transfer&)> policy);
    // Manual driver: called on the library's thread when it is about to block; returns whether
    // it finished anything (then the library looks again before it waits).
    void OnBlock(std::function<bool(AsyncIo&)> callback);

    std::vector<Transfer> Pending() const; // in issue order
    // Finishes a pending transfer as `how` says (Later or AtOnce: in full; Short; Fail), by
    // default as its fate at issue said (a held one: in full). False when it is not pending.
    bool Complete(uint64_t id, std::optional<Fate> how = std::nullopt);
    bool CompleteRandom(); // one seeded-random pending transfer that is not held
    size_t CompleteAll();  // every pending one that is not held
    // Waits until at least `count` transfers are pending.
    bool WaitForPending(size_t count, DWORD timeoutMs) const;
    // Waits until nothing but held transfers is pending.
    bool WaitIdle(DWORD timeoutMs) const;

    IoCounters Counters() const;
    std::string Report() const; // the counters as one line, for failure messages

    // The replacements themselves, for callers outside the patched module (self-tests, the
    // baselines of benchmarks). They act on the layer alive at the time.
    struct Calls {
        HANDLE(WINAPI* CreateFileA)
        (LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
        BOOL(WINAPI* ReadFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
        BOOL(WINAPI* WriteFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
        HANDLE(WINAPI* CreateIoCompletionPort)(HANDLE, HANDLE, ULONG_PTR, DWORD);
        BOOL(WINAPI* SetFileCompletionNotificationModes)(HANDLE, UCHAR);
        BOOL(WINAPI* GetOverlappedResult)(HANDLE, LPOVERLAPPED, LPDWORD, BOOL);
        BOOL(WINAPI* CancelIo)(HANDLE);
        BOOL(WINAPI* CancelIoEx)(HANDLE, LPOVERLAPPED);
        BOOL(WINAPI* CloseHandle)(HANDLE);
        BOOL(WINAPI* VirtualFree)(LPVOID, SIZE_T, DWORD);
        void(__cdecl* free)(void*);
        BOOL(WINAPI* GetQueuedCompletionStatus)(HANDLE, LPDWORD, PULONG_PTR, LPOVERLAPPED*, DWORD);
        DWORD(WINAPI* WaitForSingleObject)(HANDLE, DWORD);
    };
    static const Calls& Replacements();

    struct State; // everything the replacements share

private:
    bool active_ = false;
    std::unique_ptr<State> state_;
};

} // namespace kt
