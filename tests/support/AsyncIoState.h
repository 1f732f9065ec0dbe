#pragma once
// The insides of the asynchronous I/O layer, shared by its files: the state every replacement
// call sees, the scheduler that finishes transfers (seeded, or by the disk model's clock), and
// the checks that count a caller's faults.
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "AsyncIo.h"
#include "ImportPatch.h"

namespace kt {

namespace asyncio {

// The status words the kernel leaves in OVERLAPPED::Internal.
constexpr LONG kStatusPending = 0x00000103;
constexpr LONG kStatusSuccess = 0;
constexpr LONG kStatusCancelled = LONG(0xC0000120);

LONG StatusOf(DWORD error);

using NtSetIoCompletionFn = LONG(WINAPI*)(HANDLE, ULONG_PTR, ULONG_PTR, LONG, SIZE_T);
using StatusToErrorFn = ULONG(WINAPI*)(LONG);
using DelayFn = LONG(WINAPI*)(BOOLEAN, LARGE_INTEGER*);
using CancelIoExFn = BOOL(WINAPI*)(HANDLE, LPOVERLAPPED);
using NotificationModesFn = BOOL(WINAPI*)(HANDLE, UCHAR);
using BatchFn = BOOL(WINAPI*)(HANDLE, LPOVERLAPPED_ENTRY, ULONG, PULONG, DWORD, BOOL);

inline FARPROC Entry(const char* module, const char* name) {
    HMODULE m = GetModuleHandleA(module);
    return m ? GetProcAddress(m, name) : nullptr;
}
template <typename Fn> Fn EntryAs(const char* module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(Entry(module, name)));
}

double Now(); // seconds
// Waits to a deadline closer than Sleep's milliseconds allow.
void WaitUntil(double deadline);
uint64_t Checksum(const void* data, size_t bytes);
inline bool Overlaps(const void* a, size_t an, const void* b, size_t bn) {
    auto x = uintptr_t(a), y = uintptr_t(b);
    return an && bn && x < y + bn && y < x + an;
}

struct FileInfo {
    std::string path;
    DWORD flags = 0;
    int disk = -1;            // index into State::disks; -1: no modelled disk
    bool sink = false;        // its bytes are discarded
    std::string where;        // the path as the discarded ranges know it
    HANDLE port = nullptr;    // the caller's port handle
    HANDLE portDup = nullptr; // ours: packets still reach the port after the caller closes it
    ULONG_PTR key = 0;
    bool skipOnSuccess = false;
    FileInfo() = default;
    FileInfo(const FileInfo&) = delete;
    FileInfo& operator=(const FileInfo&) = delete;
    ~FileInfo() {
        if (portDup)
            ::CloseHandle(portDup);
    }
};

struct Op {
    Transfer t;
    std::shared_ptr<FileInfo> file;
    HANDLE dup = nullptr;   // the real transfer runs on it, whatever becomes of the caller's
    HANDLE event = nullptr; // without its low bit
    bool packet = false;
    Fate fate;
    DWORD thread = 0;
    uint64_t sum = 0;
    bool completing = false;
    bool closeCounted = false;
    bool reuseCounted = false;
    uint8_t* guardBegin = nullptr;
    size_t guardBytes = 0;
    DWORD guardOld = 0;
    BY_HANDLE_FILE_INFORMATION identity{};
    DiskModel::Slot slot{};
    bool timed = false; // slot holds the model's times
};

// Byte ranges of one file that a sink discarded, merged: begin -> end.
using Ranges = std::map<uint64_t, uint64_t>;
void AddRange(Ranges& ranges, uint64_t begin, uint64_t end);
bool Touches(const Ranges& ranges, uint64_t begin, uint64_t end);
// The path as a key: upper case, every separator a backslash.
std::string PathKey(const std::string& path);

using OpPtr = std::shared_ptr<Op>;
} // namespace asyncio

struct AsyncIo::State {
    AsyncOptions options;
    AsyncIo* owner = nullptr;
    std::unique_ptr<ImportPatch> patch;
    CRITICAL_SECTION lock;
    CONDITION_VARIABLE changed;
    std::vector<asyncio::OpPtr> pending;    // issued and not yet seen complete by the caller
    std::vector<asyncio::OpPtr> publishing; // status written, packet not yet queued
    std::map<HANDLE, std::shared_ptr<asyncio::FileInfo>> files;
    std::vector<void*> deferredFrees;
    std::vector<HANDLE> events;
    IoCounters counters;
    uint64_t nextId = 1;
    uint32_t readSequence = 0, writeSequence = 0;
    std::mt19937 random;
    std::function<Fate(const Transfer&)> policy;
    std::function<bool(AsyncIo&)> onBlock;
    std::vector<HANDLE> workers;     // Worker driver: one for the files on no disk, one per disk
    std::vector<ModelledDisk> disks; // the options' disks, then `model` for every other file
    std::map<std::string, asyncio::Ranges> discarded; // by PathKey, for the layer's life
    bool stop = false;
    PVOID guardHandler = nullptr;
    DWORD tickBase = 0;
    uint32_t page = 4096;
    asyncio::NtSetIoCompletionFn setCompletion =
        asyncio::EntryAs<asyncio::NtSetIoCompletionFn>("ntdll.dll", "NtSetIoCompletion");
    asyncio::StatusToErrorFn statusToError =
        asyncio::EntryAs<asyncio::StatusToErrorFn>("ntdll.dll", "RtlNtStatusToDosError");
    asyncio::CancelIoExFn realCancelIoEx =
        asyncio::EntryAs<asyncio::CancelIoExFn>("kernel32.dll", "CancelIoEx");
    asyncio::NotificationModesFn realModes = asyncio::EntryAs<asyncio::NotificationModesFn>(
        "kernel32.dll", "SetFileCompletionNotificationModes");
    asyncio::BatchFn realBatch =
        asyncio::EntryAs<asyncio::BatchFn>("kernel32.dll", "GetQueuedCompletionStatusEx");

    struct Locked {
        explicit Locked(State* s) : s_(s) { EnterCriticalSection(&s_->lock); }
        ~Locked() { LeaveCriticalSection(&s_->lock); }
        State* s_;
    };

    // Transfers waiting to finish, not held unless `includeHeld`; of one disk unless `disk` is
    // kAnyDisk.
    static constexpr int kAnyDisk = -2;
    size_t Waiting(bool includeHeld, int disk = kAnyDisk) const;
    int DiskFor(const std::string& path) const;
    // Places a transfer on its file's disk (the lock held); untimed on no disk.
    DiskModel::Slot Place(const asyncio::FileInfo& file, uint64_t bytes, bool write, bool* timed);
    // A sink's write: its range noted and the file grown to its end, nothing stored.
    LONG Discard(const asyncio::FileInfo& file, HANDLE h, uint64_t offset, DWORD length);
    std::shared_ptr<asyncio::FileInfo> FileOf(HANDLE h) const;
    DWORD Scale(DWORD ms) const;
    bool DrivenByCaller() const { return options.driver != AsyncOptions::Driver::Worker; }
    // The library is about to block: let the chosen driver finish something first.
    bool Block();
    // The transfer itself, on our duplicate of the caller's handle, finished before it returns.
    LONG Move(const asyncio::Op& op, DWORD length, DWORD* moved);
    // Events for our own transfers, kept for the next one: each costs the server a call.
    HANDLE TakeEvent();
    void GiveEvent(HANDLE e);
    void Publish(const asyncio::OpPtr& op, LONG status, DWORD bytes);
    // Finishes a transfer taken out of the waiting ones (marked completing).
    void Finish(const asyncio::OpPtr& op, Fate how);
    asyncio::OpPtr TakeRandom(int disk = kAnyDisk);
    asyncio::OpPtr TakeEarliest(int disk);
    struct WorkerStart {
        State* s;
        int disk; // -1: the files on no disk
    };
    std::vector<std::unique_ptr<WorkerStart>> workerStarts;
    static DWORD WINAPI WorkerMain(void* start);
};

namespace asyncio {

using State = AsyncIo::State;
using Locked = AsyncIo::State::Locked;

extern State* g_state; // the layer alive, if any

// The faults of a caller (AsyncIoFaults.cpp).
// A transfer on a handle opened unbuffered must be sector-aligned in place, size and memory.
bool Misaligned(const State* s, const FileInfo& file, const void* buffer, DWORD length,
                const OVERLAPPED* ov);
// Protects a pending transfer's whole pages, so that a touch faults.
void Guard(const State& s, Op& op);
void Unguard(Op& op);
bool HoldsOverlapped(const State& s, void* block, bool pendingOnly);
// A write's data changed since its issue (takes the lock).
void CountChangedWrite(State& s, const Op& op);
// A file closed or an OVERLAPPED reused under a finishing transfer (the lock held).
void CountFaultsAtFinish(State& s, Op& op);
LONG CALLBACK GuardHandler(EXCEPTION_POINTERS* e);
BOOL WINAPI HookCloseHandle(HANDLE h);
BOOL WINAPI HookVirtualFree(LPVOID address, SIZE_T size, DWORD type);
void __cdecl HookFree(void* block);

// The replacement calls (AsyncIoCalls.cpp).
HANDLE WINAPI HookCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                              DWORD disposition, DWORD flags, HANDLE tmpl);
BOOL WINAPI HookReadFile(HANDLE f, LPVOID b, DWORD n, LPDWORD done, LPOVERLAPPED ov);
BOOL WINAPI HookWriteFile(HANDLE f, LPCVOID b, DWORD n, LPDWORD done, LPOVERLAPPED ov);
HANDLE WINAPI HookCreateIoCompletionPort(HANDLE file, HANDLE existing, ULONG_PTR key, DWORD n);
BOOL WINAPI HookSetFileCompletionNotificationModes(HANDLE file, UCHAR modes);
BOOL WINAPI HookGetOverlappedResult(HANDLE file, LPOVERLAPPED ov, LPDWORD bytes, BOOL wait);
BOOL WINAPI HookCancelIo(HANDLE file);
BOOL WINAPI HookCancelIoEx(HANDLE file, LPOVERLAPPED which);
BOOL WINAPI HookGetQueuedCompletionStatus(HANDLE port, LPDWORD bytes, PULONG_PTR key,
                                          LPOVERLAPPED* ov, DWORD timeout);
BOOL WINAPI HookGetQueuedCompletionStatusEx(HANDLE port, LPOVERLAPPED_ENTRY entries, ULONG count,
                                            PULONG removed, DWORD timeout, BOOL alertable);
DWORD WINAPI HookWaitForSingleObject(HANDLE h, DWORD timeout);
VOID WINAPI HookSleep(DWORD ms);
DWORD WINAPI HookGetTickCount();
FARPROC WINAPI HookGetProcAddress(HMODULE module, LPCSTR name);

} // namespace asyncio

} // namespace kt
