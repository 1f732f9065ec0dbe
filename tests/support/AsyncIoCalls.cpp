// The replacement calls the library reaches through its patched imports: overlapped transfers
// answered pending and handed to the scheduler, the files and ports they run on, cancelling, and
// the waits and the clock through which a caller-driven layer finishes transfers.
#include <algorithm>
#include <cstring>

#include "AsyncIoState.h"

namespace kt::asyncio {

namespace {

// A sink's synchronous write at `ov`'s offset, else at the file pointer, which moves past it as
// the write would have moved it.
BOOL DiscardSync(State* s, const FileInfo& info, HANDLE file, DWORD length, DWORD* done,
                 OVERLAPPED* ov) {
    LARGE_INTEGER at{};
    if (ov)
        at.QuadPart = LONGLONG(uint64_t(ov->OffsetHigh) << 32 | ov->Offset);
    else if (!SetFilePointerEx(file, LARGE_INTEGER{}, &at, FILE_CURRENT))
        return FALSE;
    const LONG status = s->Discard(info, file, uint64_t(at.QuadPart), length);
    if (status != kStatusSuccess) {
        SetLastError(s->statusToError ? s->statusToError(status) : ERROR_GEN_FAILURE);
        return FALSE;
    }
    at.QuadPart += length;
    SetFilePointerEx(file, at, nullptr, FILE_BEGIN);
    if (done)
        *done = length;
    return TRUE;
}

// A transfer on a handle opened without overlapped: done inside the call, timed by the file's
// disk if it has one. A write of a buffered file returns once the system's cache holds it, as
// Windows' does: its bytes reach the disk later, after what the disk had to do, and take their
// time there without the caller waiting for it. Called with the lock held; leaves it.
template <typename Real>
BOOL IssueSync(State* s, const FileInfo& info, bool write, DWORD length, Real real) {
    ++(write ? s->counters.syncWrites : s->counters.syncReads);
    bool timed = false;
    const DiskModel::Slot slot = s->Place(info, length, write, &timed);
    if (write && !(info.flags & (FILE_FLAG_NO_BUFFERING | FILE_FLAG_WRITE_THROUGH)))
        timed = false;
    LeaveCriticalSection(&s->lock);
    if (timed)
        WaitUntil(slot.begin);
    BOOL ok = real();
    DWORD error = GetLastError();
    if (timed)
        WaitUntil(slot.finish);
    SetLastError(error);
    return ok;
}

std::shared_ptr<Op> NewOp(State* s, bool write, HANDLE file, void* buffer, DWORD length,
                          OVERLAPPED* ov, const std::shared_ptr<FileInfo>& info) {
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
    return op;
}

// A transfer whose fate is to finish inside the call. Called with the lock held; leaves it.
BOOL FinishAtOnce(State* s, Op* op, const FileInfo* info, bool lowBit, DWORD length, DWORD* done) {
    OVERLAPPED* ov = op->t.overlapped;
    ++s->counters.atOnce;
    bool timed = false;
    const DiskModel::Slot slot = s->Place(*info, length, op->t.write, &timed);
    LeaveCriticalSection(&s->lock);
    if (timed)
        WaitUntil(slot.finish);
    DWORD bytes = 0;
    LONG status = kStatusSuccess;
    if (info->sink && op->t.write) {
        status = s->Discard(*info, op->dup, op->t.offset, length);
        bytes = status == kStatusSuccess ? length : 0;
    } else {
        status = s->Move(*op, length, &bytes);
    }
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

// Answers the transfer pending: the scheduler finishes it later. Called with the lock held.
void AddPending(State* s, const OpPtr& op, const FileInfo* info, bool lowBit) {
    const bool write = op->t.write;
    void* buffer = const_cast<void*>(op->t.buffer);
    const DWORD length = op->t.length;
    // Every pending answer gets its packet, skip-on-success or not; none for the low bit.
    op->packet = info->portDup && !lowBit;
    if (write && s->options.checksumWrites)
        op->sum = Checksum(buffer, length);
    op->slot = s->Place(*info, length, write, &op->timed);
    Guard(*s, *op);
    s->pending.push_back(op);
    ++s->counters.pendingAnswers;
    uint32_t reads = 0, writes = 0;
    for (const OpPtr& p : s->pending)
        ++(p->t.write ? writes : reads);
    s->counters.maxInFlight = std::max<uint32_t>(s->counters.maxInFlight, reads + writes);
    s->counters.maxReadsInFlight = std::max(s->counters.maxReadsInFlight, reads);
    s->counters.maxWritesInFlight = std::max(s->counters.maxWritesInFlight, writes);
    WakeAllConditionVariable(&s->changed);
}

// Whether a read of `length` bytes at `ov`'s offset (else the file pointer) takes any bytes a
// sink discarded. Called with the lock held.
bool ReadsDiscarded(const State* s, const FileInfo& info, HANDLE file, DWORD length,
                    const OVERLAPPED* ov) {
    auto ranges = s->discarded.find(info.where);
    if (ranges == s->discarded.end())
        return false;
    LARGE_INTEGER at{};
    if (ov)
        at.QuadPart = LONGLONG(uint64_t(ov->OffsetHigh) << 32 | ov->Offset);
    else
        SetFilePointerEx(file, LARGE_INTEGER{}, &at, FILE_CURRENT);
    return Touches(ranges->second, uint64_t(at.QuadPart), uint64_t(at.QuadPart) + length);
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
    if (!write && ReadsDiscarded(s, *info, file, length, ov)) {
        ++s->counters.discardedReads;
        LeaveCriticalSection(&s->lock);
        SetLastError(kDiscardedBytesError);
        return FALSE;
    }
    if (!(info->flags & FILE_FLAG_OVERLAPPED) || !ov) {
        if (write && info->sink)
            return IssueSync(s, *info, write, length,
                             [&] { return DiscardSync(s, *info, file, length, done, ov); });
        return IssueSync(s, *info, write, length, real);
    }

    OpPtr op = NewOp(s, write, file, buffer, length, ov, info);
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

    if (op->fate.kind == Fate::AtOnce)
        return FinishAtOnce(s, op.get(), info.get(), lowBit, length, done);

    AddPending(s, op, info.get(), lowBit);
    LeaveCriticalSection(&s->lock);
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

} // namespace

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
        info->where = PathKey(info->path);
        info->disk = s->DiskFor(info->path);
        // The data files: pieces are opened unbuffered or overlapped, take files neither.
        info->sink = info->disk >= 0 && s->disks[size_t(info->disk)].sink &&
                     (flags & (FILE_FLAG_NO_BUFFERING | FILE_FLAG_OVERLAPPED));
        if (flags & (FILE_FLAG_NO_BUFFERING | FILE_FLAG_OVERLAPPED))
            ++s->counters.pieceOpens;
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

namespace {

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

} // namespace

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

} // namespace kt::asyncio
