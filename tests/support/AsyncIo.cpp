#include "AsyncIo.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <map>
#include <random>
#include <stdexcept>

#include "ImportPatch.h"

namespace kt {

namespace {

// The status words the kernel leaves in OVERLAPPED::Internal.
constexpr LONG kStatusPending = 0x00000103;
constexpr LONG kStatusSuccess = 0;
constexpr LONG kStatusCancelled = LONG(0xC0000120);

LONG StatusOf(DWORD error) {
    switch (error) {
    case ERROR_SUCCESS:
        return kStatusSuccess;
    case ERROR_OPERATION_ABORTED:
        return kStatusCancelled;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return LONG(0xC000007F); // STATUS_DISK_FULL
    case ERROR_IO_DEVICE:
        return LONG(0xC0000185); // STATUS_IO_DEVICE_ERROR
    case ERROR_CRC:
        return LONG(0xC000003F); // STATUS_CRC_ERROR
    case ERROR_HANDLE_EOF:
        return LONG(0xC0000011); // STATUS_END_OF_FILE
    case ERROR_INVALID_PARAMETER:
        return LONG(0xC000000D);
    case ERROR_NOT_ENOUGH_MEMORY:
        return LONG(0xC0000017); // STATUS_NO_MEMORY
    case ERROR_NOT_ENOUGH_QUOTA:
        return LONG(0xC0000044); // STATUS_QUOTA_EXCEEDED
    case ERROR_INVALID_USER_BUFFER:
        return LONG(0xC00000E8);
    case ERROR_ACCESS_DENIED:
        return LONG(0xC0000022);
    default:
        return LONG(0xC0000001); // STATUS_UNSUCCESSFUL
    }
}

using NtSetIoCompletionFn = LONG(WINAPI*)(HANDLE, ULONG_PTR, ULONG_PTR, LONG, SIZE_T);
using StatusToErrorFn = ULONG(WINAPI*)(LONG);
using DelayFn = LONG(WINAPI*)(BOOLEAN, LARGE_INTEGER*);
using CancelIoExFn = BOOL(WINAPI*)(HANDLE, LPOVERLAPPED);
using NotificationModesFn = BOOL(WINAPI*)(HANDLE, UCHAR);
using BatchFn = BOOL(WINAPI*)(HANDLE, LPOVERLAPPED_ENTRY, ULONG, PULONG, DWORD, BOOL);

FARPROC Entry(const char* module, const char* name) {
    HMODULE m = GetModuleHandleA(module);
    return m ? GetProcAddress(m, name) : nullptr;
}
template <typename Fn> Fn EntryAs(const char* module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(Entry(module, name)));
}

double Now() {
    static const double tick = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return 1.0 / double(f.QuadPart);
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return double(t.QuadPart) * tick;
}

// Waits to a deadline closer than Sleep's milliseconds allow.
void WaitUntil(double deadline) {
    static const DelayFn delay = EntryAs<DelayFn>("ntdll.dll", "NtDelayExecution");
    for (;;) {
        double left = deadline - Now();
        if (left <= 0)
            return;
        if (left > 0.003) {
            Sleep(DWORD((left - 0.002) * 1000));
        } else if (left > 0.0001 && delay) {
            LARGE_INTEGER interval;
            interval.QuadPart = -LONGLONG(left * 0.7 * 1e7);
            delay(FALSE, &interval);
        } else {
            SwitchToThread();
        }
    }
}

uint64_t Checksum(const void* data, size_t bytes) {
    const auto* p = static_cast<const uint8_t*>(data);
    uint64_t h = 0xcbf29ce484222325ull;
    size_t i = 0;
    for (; i + 8 <= bytes; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        h = (h ^ w) * 0x100000001b3ull;
    }
    for (; i < bytes; ++i)
        h = (h ^ p[i]) * 0x100000001b3ull;
    return h;
}

bool Overlaps(const void* a, size_t an, const void* b, size_t bn) {
    auto x = uintptr_t(a), y = uintptr_t(b);
    return an && bn && x < y + bn && y < x + an;
}

struct FileInfo {
    std::string path;
    DWORD flags = 0;
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
};

using OpPtr = std::shared_ptr<Op>;

} // namespace

struct AsyncIo::State {
    AsyncOptions options;
    AsyncIo* owner = nullptr;
    std::unique_ptr<ImportPatch> patch;
    CRITICAL_SECTION lock;
    CONDITION_VARIABLE changed;
    std::vector<OpPtr> pending;    // issued and not yet seen complete by the caller
    std::vector<OpPtr> publishing; // status written, packet not yet queued
    std::map<HANDLE, std::shared_ptr<FileInfo>> files;
    std::vector<void*> deferredFrees;
    std::vector<HANDLE> events;
    IoCounters counters;
    uint64_t nextId = 1;
    uint32_t readSequence = 0, writeSequence = 0;
    std::mt19937 random;
    std::function<Fate(const Transfer&)> policy;
    std::function<bool(AsyncIo&)> onBlock;
    HANDLE worker = nullptr;
    bool stop = false;
    PVOID guardHandler = nullptr;
    DWORD tickBase = 0;
    DiskModel model;
    uint32_t page = 4096;
    NtSetIoCompletionFn setCompletion =
        EntryAs<NtSetIoCompletionFn>("ntdll.dll", "NtSetIoCompletion");
    StatusToErrorFn statusToError = EntryAs<StatusToErrorFn>("ntdll.dll", "RtlNtStatusToDosError");
    CancelIoExFn realCancelIoEx = EntryAs<CancelIoExFn>("kernel32.dll", "CancelIoEx");
    NotificationModesFn realModes =
        EntryAs<NotificationModesFn>("kernel32.dll", "SetFileCompletionNotificationModes");
    BatchFn realBatch = EntryAs<BatchFn>("kernel32.dll", "GetQueuedCompletionStatusEx");

    struct Locked {
        explicit Locked(State* s) : s_(s) { EnterCriticalSection(&s_->lock); }
        ~Locked() { LeaveCriticalSection(&s_->lock); }
        State* s_;
    };

    size_t Waiting(bool includeHeld) const {
        size_t n = 0;
        for (const OpPtr& op : pending)
            if (!op->completing && (includeHeld || !op->t.held))
                ++n;
        return n;
    }

    std::shared_ptr<FileInfo> FileOf(HANDLE h) const {
        auto it = files.find(h);
        return it == files.end() ? nullptr : it->second;
    }

    DWORD Scale(DWORD ms) const {
        if (ms == 0 || ms == INFINITE || options.timeScale <= 1)
            return ms;
        return std::max<DWORD>(1, ms / options.timeScale);
    }

    bool DrivenByCaller() const { return options.driver != AsyncOptions::Driver::Worker; }

    // The library is about to block: let the chosen driver finish something first.
    bool Block() {
        if (options.driver == AsyncOptions::Driver::WhenBlocked)
            return owner->CompleteRandom();
        if (options.driver == AsyncOptions::Driver::Manual && onBlock)
            return onBlock(*owner);
        return false;
    }

    void Guard(Op& op) {
        if (!options.guardBuffers)
            return;
        auto begin = (uintptr_t(op.t.buffer) + page - 1) / page * page;
        auto end = (uintptr_t(op.t.buffer) + op.t.length) / page * page;
        if (end <= begin)
            return;
        DWORD old = 0;
        if (VirtualProtect(reinterpret_cast<void*>(begin), end - begin,
                           op.t.write ? PAGE_READONLY : PAGE_NOACCESS, &old)) {
            op.guardBegin = reinterpret_cast<uint8_t*>(begin);
            op.guardBytes = end - begin;
            op.guardOld = old;
        }
    }

    void Unguard(Op& op) {
        if (!op.guardBegin)
            return;
        DWORD old = 0;
        VirtualProtect(op.guardBegin, op.guardBytes, op.guardOld, &old);
        op.guardBegin = nullptr;
    }

    // The transfer itself, on our duplicate of the caller's handle, finished before it returns.
    LONG Move(const Op& op, DWORD length, DWORD* moved) {
        *moved = 0;
        if (length == 0)
            return kStatusSuccess;
        OVERLAPPED at{};
        at.Offset = DWORD(op.t.offset);
        at.OffsetHigh = DWORD(op.t.offset >> 32);
        HANDLE done = TakeEvent();
        // The low bit keeps this transfer's own packet off the caller's port.
        at.hEvent = HANDLE(uintptr_t(done) | 1);
        void* buffer = const_cast<void*>(op.t.buffer);
        BOOL ok = op.t.write ? ::WriteFile(op.dup, buffer, length, nullptr, &at)
                             : ::ReadFile(op.dup, buffer, length, nullptr, &at);
        LONG status = kStatusSuccess;
        if (!ok && GetLastError() != ERROR_IO_PENDING)
            status = StatusOf(GetLastError());
        else if (!::GetOverlappedResult(op.dup, &at, moved, TRUE))
            status = StatusOf(GetLastError());
        GiveEvent(done);
        return status;
    }

    // Events for our own transfers, kept for the next one: each costs the server a call.
    HANDLE TakeEvent() {
        {
            Locked hold(this);
            if (!events.empty()) {
                HANDLE e = events.back();
                events.pop_back();
                return e;
            }
        }
        return CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    void GiveEvent(HANDLE e) { // the next transfer's issue resets it
        Locked hold(this);
        events.push_back(e);
    }

    void Publish(const OpPtr& op, LONG status, DWORD bytes) {
        OVERLAPPED* ov = op->t.overlapped;
        {
            Locked hold(this);
            BY_HANDLE_FILE_INFORMATION now{};
            // A close that bypassed the import table still shows: the handle names no file,
            // or another one.
            if (options.checkFiles && !op->closeCounted &&
                (!GetFileInformationByHandle(op->t.file, &now) ||
                 now.nFileIndexLow != op->identity.nFileIndexLow ||
                 now.nFileIndexHigh != op->identity.nFileIndexHigh ||
                 now.dwVolumeSerialNumber != op->identity.dwVolumeSerialNumber)) {
                ++counters.closedInUse;
                op->closeCounted = true;
            }
            if (!op->reuseCounted &&
                (LONG(ov->Internal) != kStatusPending || ov->Offset != DWORD(op->t.offset) ||
                 ov->OffsetHigh != DWORD(op->t.offset >> 32))) {
                ++counters.overlappedReused;
                op->reuseCounted = true;
            }
            pending.erase(std::find(pending.begin(), pending.end(), op));
            publishing.push_back(op);
            if (status == kStatusSuccess)
                ++counters.completed;
            else if (status == kStatusCancelled)
                ++counters.cancelled;
            else
                ++counters.failed;
        }
        ov->InternalHigh = bytes;
        MemoryBarrier();
        ov->Internal = ULONG_PTR(status);
        MemoryBarrier();
        if (op->event)
            SetEvent(op->event);
        bool queued =
            op->packet && setCompletion &&
            setCompletion(op->file->portDup, op->file->key, ULONG_PTR(ov), status, bytes) >= 0;
        Locked hold(this);
        if (queued)
            ++counters.packets;
        publishing.erase(std::find(publishing.begin(), publishing.end(), op));
        for (auto it = deferredFrees.begin(); it != deferredFrees.end();) {
            if (!HoldsOverlapped(*it, false)) {
                ::free(*it);
                it = deferredFrees.erase(it);
            } else {
                ++it;
            }
        }
        ::CloseHandle(op->dup);
        op->dup = nullptr;
        WakeAllConditionVariable(&changed);
    }

    // Finishes a transfer taken out of the waiting ones (marked completing).
    void Finish(const OpPtr& op, Fate how) {
        Unguard(*op);
        if (op->t.write && options.checksumWrites &&
            Checksum(op->t.buffer, op->t.length) != op->sum) {
            Locked hold(this);
            ++counters.changedInUse;
        }
        if (options.model)
            WaitUntil(op->slot.begin);
        LONG status = kStatusSuccess;
        DWORD bytes = 0;
        switch (how.kind) {
        case Fate::Fail:
            status = StatusOf(how.error);
            break;
        case Fate::Short:
            status = Move(*op, std::min(how.bytes, op->t.length), &bytes);
            break;
        default:
            status = Move(*op, op->t.length, &bytes);
            break;
        }
        if (options.model)
            WaitUntil(op->slot.finish);
        Publish(op, status, bytes);
    }

    bool HoldsOverlapped(void* block, bool pendingOnly) const {
        size_t size = _msize(block);
        if (size == size_t(-1))
            return false;
        for (const OpPtr& op : pending)
            if (Overlaps(block, size, op->t.overlapped, sizeof(OVERLAPPED)))
                return true;
        if (!pendingOnly)
            for (const OpPtr& op : publishing)
                if (Overlaps(block, size, op->t.overlapped, sizeof(OVERLAPPED)))
                    return true;
        return false;
    }

    OpPtr TakeRandom() {
        std::vector<OpPtr> choice;
        for (const OpPtr& op : pending)
            if (!op->completing && !op->t.held)
                choice.push_back(op);
        if (choice.empty())
            return nullptr;
        OpPtr op = choice[random() % choice.size()];
        op->completing = true;
        return op;
    }

    OpPtr TakeEarliest() {
        OpPtr best;
        for (const OpPtr& op : pending)
            if (!op->completing && !op->t.held && (!best || op->slot.begin < best->slot.begin))
                best = op;
        if (best)
            best->completing = true;
        return best;
    }

    static DWORD WINAPI WorkerMain(void* self) {
        auto* s = static_cast<State*>(self);
        EnterCriticalSection(&s->lock);
        while (!s->stop) {
            if (s->Waiting(false) == 0) {
                SleepConditionVariableCS(&s->changed, &s->lock, INFINITE);
                continue;
            }
            OpPtr op;
            if (s->options.model) {
                op = s->TakeEarliest();
            } else {
                uint32_t delay =
                    s->options.maxDelayUs ? s->random() % (s->options.maxDelayUs + 1) : 0;
                LeaveCriticalSection(&s->lock);
                WaitUntil(Now() + delay * 1e-6);
                EnterCriticalSection(&s->lock);
                if (s->stop)
                    break;
                op = s->TakeRandom();
            }
            if (!op)
                continue;
            LeaveCriticalSection(&s->lock);
            s->Finish(op, op->fate);
            EnterCriticalSection(&s->lock);
        }
        LeaveCriticalSection(&s->lock);
        return 0;
    }

    static LONG CALLBACK GuardHandler(EXCEPTION_POINTERS* e);
};

namespace {

AsyncIo::State* g_state = nullptr;

using State = AsyncIo::State;
using Locked = AsyncIo::State::Locked;

// A transfer on a handle opened unbuffered must be sector-aligned in place, size and memory.
bool Misaligned(const State* s, const FileInfo& file, const void* buffer, DWORD length,
                const OVERLAPPED* ov) {
    if (!(file.flags & FILE_FLAG_NO_BUFFERING) || s->options.sectorBytes == 0)
        return false;
    uint32_t sector = s->options.sectorBytes;
    uint64_t offset = ov ? (uint64_t(ov->OffsetHigh) << 32 | ov->Offset) : 0;
    return length % sector != 0 || uintptr_t(buffer) % sector != 0 || offset % sector != 0;
}

BOOL Issue(bool write, HANDLE file, void* buffer, DWORD length, DWORD* done, OVERLAPPED* ov) {
    State* s = g_state;
    auto real = [&] {
        return write ? ::WriteFile(file, buffer, length, done, ov)
                     : ::ReadFile(file, buffer, length, done, ov);
    };
    if (!s)
        return real();
    EnterCriticalSection(&s->lock);
    std::shared_ptr<FileInfo> info = s->FileOf(file);
    if (!info) { // not a file the module opened while we watched
        LeaveCriticalSection(&s->lock);
        return real();
    }
    if (Misaligned(s, *info, buffer, length, ov)) {
        ++s->counters.misaligned;
        LeaveCriticalSection(&s->lock);
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    for (const OpPtr& op : s->pending)
        if (!op->completing && Overlaps(op->t.buffer, op->t.length, buffer, length))
            ++s->counters.reusedInUse;
    if (!(info->flags & FILE_FLAG_OVERLAPPED) || !ov) {
        ++(write ? s->counters.syncWrites : s->counters.syncReads);
        DiskModel::Slot slot{};
        if (s->options.model)
            slot = s->model.Schedule(Now(), length);
        bool modelled = s->options.model.has_value();
        LeaveCriticalSection(&s->lock);
        if (modelled)
            WaitUntil(slot.begin);
        BOOL ok = real();
        DWORD error = GetLastError();
        if (modelled)
            WaitUntil(slot.finish);
        SetLastError(error);
        return ok;
    }

    auto op = std::make_shared<Op>();
    op->t.id = s->nextId++;
    op->t.sequence = write ? s->writeSequence++ : s->readSequence++;
    op->t.write = write;
    op->t.file = file;
    op->t.path = info->path;
    op->t.offset = uint64_t(ov->OffsetHigh) << 32 | ov->Offset;
    op->t.length = length;
    op->t.buffer = buffer;
    op->t.overlapped = ov;
    op->file = info;
    op->thread = GetCurrentThreadId();
    op->event = HANDLE(uintptr_t(ov->hEvent) & ~uintptr_t(1));
    bool lowBit = (uintptr_t(ov->hEvent) & 1) != 0;
    ++(write ? s->counters.writes : s->counters.reads);
    for (const OpPtr& other : s->pending)
        if (other->t.overlapped == ov && !other->reuseCounted) {
            ++s->counters.overlappedReused;
            other->reuseCounted = true;
        }
    op->fate = s->policy ? s->policy(op->t) : Fate{};
    if (op->fate.kind == Fate::RefuseAtIssue) {
        ++s->counters.refused;
        LeaveCriticalSection(&s->lock);
        SetLastError(op->fate.error);
        return FALSE;
    }
    op->t.held = op->fate.kind == Fate::Hold || op->fate.kind == Fate::HoldForEver;
    if (!DuplicateHandle(GetCurrentProcess(), file, GetCurrentProcess(), &op->dup, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        LeaveCriticalSection(&s->lock);
        return real();
    }
    if (s->options.checkFiles)
        GetFileInformationByHandle(file, &op->identity);
    ov->Internal = ULONG_PTR(kStatusPending);
    ov->InternalHigh = 0;
    if (op->event)
        ResetEvent(op->event);
    if (done)
        *done = 0;

    if (op->fate.kind == Fate::AtOnce) {
        ++s->counters.atOnce;
        DiskModel::Slot slot{};
        if (s->options.model)
            slot = s->model.Schedule(Now(), length);
        bool modelled = s->options.model.has_value();
        LeaveCriticalSection(&s->lock);
        if (modelled)
            WaitUntil(slot.finish);
        DWORD bytes = 0;
        LONG status = s->Move(*op, length, &bytes);
        ::CloseHandle(op->dup);
        ov->InternalHigh = bytes;
        MemoryBarrier();
        ov->Internal = ULONG_PTR(status);
        if (op->event)
            SetEvent(op->event);
        Locked hold(s);
        if (status != kStatusSuccess) {
            ++s->counters.failed;
            SetLastError(s->statusToError ? s->statusToError(status) : ERROR_GEN_FAILURE);
            return FALSE; // failed at once: no packet
        }
        ++s->counters.completed;
        // A transfer done at once still queues its packet unless the file asked for none.
        if (info->portDup && !lowBit && !info->skipOnSuccess && s->setCompletion &&
            s->setCompletion(info->portDup, info->key, ULONG_PTR(ov), status, bytes) >= 0)
            ++s->counters.packets;
        if (done)
            *done = bytes;
        return TRUE;
    }

    // Every pending answer gets its packet, skip-on-success or not; none for the low bit.
    op->packet = info->portDup && !lowBit;
    if (write && s->options.checksumWrites)
        op->sum = Checksum(buffer, length);
    if (s->options.model)
        op->slot = s->model.Schedule(Now(), length);
    s->Guard(*op);
    s->pending.push_back(op);
    ++s->counters.pendingAnswers;
    uint32_t reads = 0, writes = 0;
    for (const OpPtr& p : s->pending)
        ++(p->t.write ? writes : reads);
    s->counters.maxInFlight = std::max<uint32_t>(s->counters.maxInFlight, reads + writes);
    s->counters.maxReadsInFlight = std::max(s->counters.maxReadsInFlight, reads);
    s->counters.maxWritesInFlight = std::max(s->counters.maxWritesInFlight, writes);
    WakeAllConditionVariable(&s->changed);
    LeaveCriticalSection(&s->lock);
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

HANDLE WINAPI HookCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                              DWORD disposition, DWORD flags, HANDLE tmpl) {
    HANDLE h = ::CreateFileA(name, access, share, sa, disposition, flags, tmpl);
    State* s = g_state;
    if (s && h != INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        Locked hold(s);
        auto info = std::make_shared<FileInfo>();
        info->path = name ? name : "";
        info->flags = flags;
        s->files[h] = info;
        SetLastError(error); // OPEN_ALWAYS reports through it whether the file existed
    }
    return h;
}

BOOL WINAPI HookReadFile(HANDLE f, LPVOID b, DWORD n, LPDWORD done, LPOVERLAPPED ov) {
    return Issue(false, f, b, n, done, ov);
}

BOOL WINAPI HookWriteFile(HANDLE f, LPCVOID b, DWORD n, LPDWORD done, LPOVERLAPPED ov) {
    return Issue(true, f, const_cast<void*>(b), n, done, ov);
}

HANDLE WINAPI HookCreateIoCompletionPort(HANDLE file, HANDLE existing, ULONG_PTR key, DWORD n) {
    HANDLE port = ::CreateIoCompletionPort(file, existing, key, n);
    State* s = g_state;
    if (s && port && file != INVALID_HANDLE_VALUE) {
        Locked hold(s);
        if (auto info = s->FileOf(file)) {
            if (info->portDup)
                ::CloseHandle(info->portDup);
            info->portDup = nullptr;
            DuplicateHandle(GetCurrentProcess(), port, GetCurrentProcess(), &info->portDup, 0,
                            FALSE, DUPLICATE_SAME_ACCESS);
            info->port = port;
            info->key = key;
        }
    }
    return port;
}

BOOL WINAPI HookSetFileCompletionNotificationModes(HANDLE file, UCHAR modes) {
    State* s = g_state;
    auto real =
        s ? s->realModes
          : EntryAs<NotificationModesFn>("kernel32.dll", "SetFileCompletionNotificationModes");
    BOOL ok = real ? real(file, modes) : FALSE;
    if (s && ok) {
        Locked hold(s);
        if (auto info = s->FileOf(file))
            info->skipOnSuccess = (modes & FILE_SKIP_COMPLETION_PORT_ON_SUCCESS) != 0;
    }
    return ok;
}

BOOL WINAPI HookGetOverlappedResult(HANDLE file, LPOVERLAPPED ov, LPDWORD bytes, BOOL wait) {
    State* s = g_state;
    if (!s)
        return ::GetOverlappedResult(file, ov, bytes, wait);
    if (LONG(ov->Internal) == kStatusPending) {
        if (!wait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        if (s->DrivenByCaller())
            while (LONG(ov->Internal) == kStatusPending && s->Block()) {
            }
        HANDLE event = HANDLE(uintptr_t(ov->hEvent) & ~uintptr_t(1));
        if (event) {
            ::WaitForSingleObject(event, INFINITE);
        } else {
            // Windows waits on the file itself, which every completion on it signals.
            Locked hold(s);
            while (LONG(ov->Internal) == kStatusPending)
                SleepConditionVariableCS(&s->changed, &s->lock, INFINITE);
        }
        if (LONG(ov->Internal) == kStatusPending) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
    }
    MemoryBarrier();
    *bytes = DWORD(ov->InternalHigh);
    LONG status = LONG(ov->Internal);
    if (status < 0) {
        SetLastError(s->statusToError ? s->statusToError(status) : ERROR_GEN_FAILURE);
        return FALSE;
    }
    return TRUE;
}

BOOL Cancel(HANDLE file, OVERLAPPED* which, bool thisThreadOnly) {
    State* s = g_state;
    std::vector<OpPtr> cancelled;
    bool found = false;
    {
        Locked hold(s);
        for (const OpPtr& op : s->pending) {
            if (op->t.file != file || op->completing || (which && op->t.overlapped != which) ||
                (thisThreadOnly && op->thread != GetCurrentThreadId()))
                continue;
            found = true;
            if (op->fate.kind == Fate::HoldForEver)
                continue; // asked, but the device never answers
            op->completing = true;
            cancelled.push_back(op);
        }
    }
    for (const OpPtr& op : cancelled)
        s->Finish(op, Fate::Failing(ERROR_OPERATION_ABORTED));
    if (!found) {
        SetLastError(ERROR_NOT_FOUND);
        return thisThreadOnly; // CancelIo succeeds with nothing to cancel
    }
    return TRUE;
}

BOOL WINAPI HookCancelIo(HANDLE file) {
    State* s = g_state;
    if (!s)
        return ::CancelIo(file);
    bool ours = false;
    {
        Locked hold(s);
        ours = s->FileOf(file) != nullptr;
    }
    return ours ? Cancel(file, nullptr, true) : ::CancelIo(file);
}

BOOL WINAPI HookCancelIoEx(HANDLE file, LPOVERLAPPED which) {
    State* s = g_state;
    if (!s) {
        auto real = EntryAs<CancelIoExFn>("kernel32.dll", "CancelIoEx");
        return real ? real(file, which) : FALSE;
    }
    bool ours = false;
    {
        Locked hold(s);
        ours = s->FileOf(file) != nullptr;
    }
    if (ours)
        return Cancel(file, which, false);
    return s->realCancelIoEx ? s->realCancelIoEx(file, which) : FALSE;
}

BOOL WINAPI HookCloseHandle(HANDLE h) {
    State* s = g_state;
    if (s) {
        Locked hold(s);
        ++s->counters.closes;
        auto it = s->files.find(h);
        if (it != s->files.end()) {
            bool counted = false;
            for (const OpPtr& op : s->pending)
                if (op->t.file == h && !op->closeCounted) {
                    op->closeCounted = true;
                    counted = true;
                }
            if (counted)
                ++s->counters.closedInUse;
            s->files.erase(it);
        } else {
            for (auto& [file, info] : s->files) {
                if (info->port != h)
                    continue;
                info->port = nullptr;
                for (const OpPtr& op : s->pending)
                    if (op->file == info && op->packet) {
                        ++s->counters.portsClosedInUse;
                        break;
                    }
            }
        }
    }
    return ::CloseHandle(h);
}

BOOL WINAPI HookVirtualFree(LPVOID address, SIZE_T size, DWORD type) {
    State* s = g_state;
    if (s && address) {
        Locked hold(s);
        for (const OpPtr& op : s->pending) {
            bool hit = false;
            if (type & MEM_RELEASE) {
                MEMORY_BASIC_INFORMATION info{};
                hit = VirtualQuery(op->t.buffer, &info, sizeof info) &&
                      info.AllocationBase == address;
            } else {
                hit = Overlaps(address, size, op->t.buffer, op->t.length);
            }
            if (hit) {
                // Left in place: the transfer still moves bytes there.
                ++s->counters.freedInUse;
                return TRUE;
            }
        }
    }
    return ::VirtualFree(address, size, type);
}

void __cdecl HookFree(void* block) {
    State* s = g_state;
    if (s && block) {
        Locked hold(s);
        if (!s->pending.empty() || !s->publishing.empty()) {
            if (s->HoldsOverlapped(block, true)) {
                ++s->counters.overlappedFreed;
                return; // kept: the transfer will still write its status there
            }
            if (s->HoldsOverlapped(block, false)) {
                s->deferredFrees.push_back(block);
                return;
            }
        }
    }
    ::free(block);
}

BOOL WINAPI HookGetQueuedCompletionStatus(HANDLE port, LPDWORD bytes, PULONG_PTR key,
                                          LPOVERLAPPED* ov, DWORD timeout) {
    State* s = g_state;
    if (!s)
        return ::GetQueuedCompletionStatus(port, bytes, key, ov, timeout);
    if (timeout != 0 && s->DrivenByCaller()) {
        for (;;) {
            BOOL ok = ::GetQueuedCompletionStatus(port, bytes, key, ov, 0);
            if (ok || *ov || GetLastError() != WAIT_TIMEOUT)
                return ok;
            if (!s->Block())
                break;
        }
    }
    return ::GetQueuedCompletionStatus(port, bytes, key, ov, s->Scale(timeout));
}

BOOL WINAPI HookGetQueuedCompletionStatusEx(HANDLE port, LPOVERLAPPED_ENTRY entries, ULONG count,
                                            PULONG removed, DWORD timeout, BOOL alertable) {
    State* s = g_state;
    BatchFn real =
        s ? s->realBatch : EntryAs<BatchFn>("kernel32.dll", "GetQueuedCompletionStatusEx");
    if (!real)
        return FALSE;
    if (s && timeout != 0 && s->DrivenByCaller()) {
        for (;;) {
            if (real(port, entries, count, removed, 0, alertable))
                return TRUE;
            if (GetLastError() != WAIT_TIMEOUT || !s->Block())
                break;
        }
    }
    return real(port, entries, count, removed, s ? s->Scale(timeout) : timeout, alertable);
}

DWORD WINAPI HookWaitForSingleObject(HANDLE h, DWORD timeout) {
    State* s = g_state;
    if (!s)
        return ::WaitForSingleObject(h, timeout);
    if (timeout != 0 && s->DrivenByCaller()) {
        for (;;) {
            DWORD r = ::WaitForSingleObject(h, 0);
            if (r != WAIT_TIMEOUT)
                return r;
            if (!s->Block())
                break;
        }
    }
    return ::WaitForSingleObject(h, s->Scale(timeout));
}

VOID WINAPI HookSleep(DWORD ms) {
    State* s = g_state;
    if (s && ms != 0 && s->DrivenByCaller())
        s->Block();
    ::Sleep(s ? s->Scale(ms) : ms);
}

DWORD WINAPI HookGetTickCount() {
    State* s = g_state;
    DWORD now = ::GetTickCount();
    if (!s || s->options.timeScale <= 1)
        return now;
    return s->tickBase + (now - s->tickBase) * s->options.timeScale;
}

FARPROC WINAPI HookGetProcAddress(HMODULE module, LPCSTR name) {
    FARPROC real = ::GetProcAddress(module, name);
    State* s = g_state;
    if (!s || !real || IS_INTRESOURCE(name))
        return real;
    struct Answer {
        const char* name;
        void* hook;
        bool hidden;
    };
    const Answer answers[] = {
        {"CancelIoEx", reinterpret_cast<void*>(&HookCancelIoEx), s->options.withoutCancelIoEx},
        {"SetFileCompletionNotificationModes",
         reinterpret_cast<void*>(&HookSetFileCompletionNotificationModes),
         s->options.withoutSkipOnSuccess},
        {"GetQueuedCompletionStatusEx", reinterpret_cast<void*>(&HookGetQueuedCompletionStatusEx),
         false},
        // The 32-bit library closes handles through an entry it looks up itself.
        {"CloseHandle", reinterpret_cast<void*>(&HookCloseHandle), false},
    };
    for (const Answer& a : answers)
        if (std::strcmp(name, a.name) == 0) {
            Locked hold(s);
            ++s->counters.lookups;
            return a.hidden ? nullptr : reinterpret_cast<FARPROC>(a.hook);
        }
    return real;
}

} // namespace

LONG CALLBACK AsyncIo::State::GuardHandler(EXCEPTION_POINTERS* e) {
    State* s = g_state;
    const EXCEPTION_RECORD* r = e->ExceptionRecord;
    if (!s || r->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || r->NumberParameters < 2)
        return EXCEPTION_CONTINUE_SEARCH;
    auto* address = reinterpret_cast<uint8_t*>(r->ExceptionInformation[1]);
    Locked hold(s);
    for (const OpPtr& op : s->pending) {
        if (!op->guardBegin || address < op->guardBegin ||
            address >= op->guardBegin + op->guardBytes)
            continue;
        ++s->counters.touchedInUse;
        s->Unguard(*op); // the caller goes on with whatever the buffer holds
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    // The transfer ended between the fault and here, and took the guard with it: the touch was
    // still one under the transfer.
    MEMORY_BASIC_INFORMATION info{};
    bool writing = r->ExceptionInformation[0] == 1;
    DWORD allowed = writing ? (PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE)
                            : (PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                               PAGE_EXECUTE_READWRITE);
    if (s->options.guardBuffers && VirtualQuery(address, &info, sizeof info) &&
        info.State == MEM_COMMIT && (info.Protect & allowed) && !(info.Protect & PAGE_GUARD)) {
        ++s->counters.touchedInUse;
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

AsyncIo::AsyncIo(AsyncOptions options, const char* module) : state_(std::make_unique<State>()) {
    State* s = state_.get();
    if (g_state)
        throw std::logic_error("one asynchronous I/O layer at a time");
    s->options = options;
    s->owner = this;
    s->random.seed(options.seed);
    InitializeCriticalSection(&s->lock);
    InitializeConditionVariable(&s->changed);
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    s->page = si.dwPageSize;
    s->tickBase = ::GetTickCount();
    if (options.model)
        s->model = *options.model;
    g_state = s;
    if (options.guardBuffers)
        s->guardHandler = AddVectoredExceptionHandler(1, &State::GuardHandler);
    if (module) {
        s->patch = std::make_unique<ImportPatch>(module);
        if (s->patch->loaded()) {
            const Calls& c = Replacements();
            bool reads = s->patch->Replace("ReadFile", reinterpret_cast<void*>(c.ReadFile));
            bool writes = s->patch->Replace("WriteFile", reinterpret_cast<void*>(c.WriteFile));
            bool opens = s->patch->Replace("CreateFileA", reinterpret_cast<void*>(c.CreateFileA));
            s->patch->Replace("CreateIoCompletionPort",
                              reinterpret_cast<void*>(c.CreateIoCompletionPort));
            s->patch->Replace("GetOverlappedResult",
                              reinterpret_cast<void*>(c.GetOverlappedResult));
            s->patch->Replace("CancelIo", reinterpret_cast<void*>(c.CancelIo));
            s->patch->Replace("CancelIoEx", reinterpret_cast<void*>(c.CancelIoEx));
            s->patch->Replace("SetFileCompletionNotificationModes",
                              reinterpret_cast<void*>(c.SetFileCompletionNotificationModes));
            s->patch->Replace("CloseHandle", reinterpret_cast<void*>(c.CloseHandle));
            s->patch->Replace("VirtualFree", reinterpret_cast<void*>(c.VirtualFree));
            s->patch->Replace("free", reinterpret_cast<void*>(c.free));
            s->patch->Replace("GetQueuedCompletionStatus",
                              reinterpret_cast<void*>(c.GetQueuedCompletionStatus));
            s->patch->Replace("WaitForSingleObject",
                              reinterpret_cast<void*>(c.WaitForSingleObject));
            s->patch->Replace("Sleep", reinterpret_cast<void*>(&HookSleep));
            s->patch->Replace("GetTickCount", reinterpret_cast<void*>(&HookGetTickCount));
            s->patch->Replace("GetProcAddress", reinterpret_cast<void*>(&HookGetProcAddress));
            active_ = reads && writes && opens;
        }
    }
    if (options.driver == AsyncOptions::Driver::Worker)
        s->worker = CreateThread(nullptr, 0, &State::WorkerMain, s, 0, nullptr);
}

AsyncIo::~AsyncIo() {
    State* s = state_.get();
    if (s->worker) {
        {
            Locked hold(s);
            s->stop = true;
            WakeAllConditionVariable(&s->changed);
        }
        ::WaitForSingleObject(s->worker, INFINITE);
        ::CloseHandle(s->worker);
    }
    // The import table goes back first; the library may unload here, still through us for the
    // entries it looked up itself.
    s->patch.reset();
    if (s->guardHandler)
        RemoveVectoredExceptionHandler(s->guardHandler);
    {
        Locked hold(s);
        // Held transfers never finish: their memory is left alone, only our handles go.
        for (const OpPtr& op : s->pending) {
            s->Unguard(*op);
            if (op->dup)
                ::CloseHandle(op->dup);
            op->dup = nullptr;
        }
        s->pending.clear();
        for (void* block : s->deferredFrees)
            ::free(block);
        s->deferredFrees.clear();
        s->files.clear();
        for (HANDLE e : s->events)
            ::CloseHandle(e);
        s->events.clear();
    }
    g_state = nullptr;
    DeleteCriticalSection(&s->lock);
}

void AsyncIo::SetPolicy(std::function<Fate(const Transfer&)> policy) {
    Locked hold(state_.get());
    state_->policy = std::move(policy);
}

void AsyncIo::OnBlock(std::function<bool(AsyncIo&)> callback) {
    Locked hold(state_.get());
    state_->onBlock = std::move(callback);
}

std::vector<Transfer> AsyncIo::Pending() const {
    Locked hold(state_.get());
    std::vector<Transfer> list;
    for (const OpPtr& op : state_->pending)
        if (!op->completing)
            list.push_back(op->t);
    return list;
}

bool AsyncIo::Complete(uint64_t id, std::optional<Fate> how) {
    State* s = state_.get();
    OpPtr op;
    {
        Locked hold(s);
        for (const OpPtr& p : s->pending)
            if (p->t.id == id && !p->completing)
                op = p;
        if (!how && op)
            how = op->t.held ? Fate{} : op->fate;
        if (!op || how->kind == Fate::Hold || how->kind == Fate::HoldForEver ||
            how->kind == Fate::RefuseAtIssue)
            return false;
        op->completing = true;
    }
    s->Finish(op, *how);
    return true;
}

bool AsyncIo::CompleteRandom() {
    State* s = state_.get();
    OpPtr op;
    {
        Locked hold(s);
        op = s->TakeRandom();
    }
    if (!op)
        return false;
    s->Finish(op, op->fate);
    return true;
}

size_t AsyncIo::CompleteAll() {
    size_t n = 0;
    for (const Transfer& t : Pending())
        if (!t.held && Complete(t.id))
            ++n;
    return n;
}

bool AsyncIo::WaitForPending(size_t count, DWORD timeoutMs) const {
    State* s = state_.get();
    DWORD start = ::GetTickCount();
    Locked hold(s);
    while (s->Waiting(true) < count) {
        DWORD waited = ::GetTickCount() - start;
        if (waited >= timeoutMs ||
            !SleepConditionVariableCS(&s->changed, &s->lock, timeoutMs - waited))
            return s->Waiting(true) >= count;
    }
    return true;
}

bool AsyncIo::WaitIdle(DWORD timeoutMs) const {
    State* s = state_.get();
    DWORD start = ::GetTickCount();
    Locked hold(s);
    auto busy = [&] {
        for (const OpPtr& op : s->pending)
            if (!op->t.held || op->completing)
                return true;
        return !s->publishing.empty();
    };
    while (busy()) {
        DWORD waited = ::GetTickCount() - start;
        if (waited >= timeoutMs ||
            !SleepConditionVariableCS(&s->changed, &s->lock, timeoutMs - waited))
            return !busy();
    }
    return true;
}

IoCounters AsyncIo::Counters() const {
    Locked hold(state_.get());
    return state_->counters;
}

std::string AsyncIo::Report() const {
    IoCounters c = Counters();
    char text[640];
    std::snprintf(text, sizeof text,
                  "reads %u writes %u pending %u at-once %u refused %u completed %u failed %u "
                  "cancelled %u packets %u in-flight max %u (reads %u, writes %u) | faults: "
                  "freed %u overlapped-freed %u reused %u touched %u changed %u "
                  "overlapped-reused %u closed %u ports-closed %u misaligned %u",
                  c.reads, c.writes, c.pendingAnswers, c.atOnce, c.refused, c.completed, c.failed,
                  c.cancelled, c.packets, c.maxInFlight, c.maxReadsInFlight, c.maxWritesInFlight,
                  c.freedInUse, c.overlappedFreed, c.reusedInUse, c.touchedInUse, c.changedInUse,
                  c.overlappedReused, c.closedInUse, c.portsClosedInUse, c.misaligned);
    return text;
}

const AsyncIo::Calls& AsyncIo::Replacements() {
    static const Calls calls = {
        &HookCreateFileA,
        &HookReadFile,
        &HookWriteFile,
        &HookCreateIoCompletionPort,
        &HookSetFileCompletionNotificationModes,
        &HookGetOverlappedResult,
        &HookCancelIo,
        &HookCancelIoEx,
        &HookCloseHandle,
        &HookVirtualFree,
        &HookFree,
        &HookGetQueuedCompletionStatus,
        &HookWaitForSingleObject,
    };
    return calls;
}

} // namespace kt
