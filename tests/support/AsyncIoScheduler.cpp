// The scheduler: which pending transfer finishes when (seeded random, or the disk model's
// clock), and how its status, event and packet reach the caller.
#include <algorithm>
#include <cctype>
#include <iterator>
#include <cstdlib>
#include <cstring>
#include <malloc.h>

#include "AsyncIoState.h"

namespace kt {

namespace asyncio {

State* g_state = nullptr;

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

void AddRange(Ranges& ranges, uint64_t begin, uint64_t end) {
    if (begin >= end)
        return;
    auto at = ranges.upper_bound(begin);
    if (at != ranges.begin() && std::prev(at)->second >= begin) {
        --at;
        begin = at->first;
        end = std::max(end, at->second);
        at = ranges.erase(at);
    }
    while (at != ranges.end() && at->first <= end) {
        end = std::max(end, at->second);
        at = ranges.erase(at);
    }
    ranges.emplace(begin, end);
}

bool Touches(const Ranges& ranges, uint64_t begin, uint64_t end) {
    auto at = ranges.lower_bound(end);
    return begin < end && at != ranges.begin() && std::prev(at)->second > begin;
}

std::string PathKey(const std::string& path) {
    std::string key = path;
    for (char& c : key)
        c = c == '/' ? '\\' : char(std::toupper(uint8_t(c)));
    return key;
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

} // namespace asyncio

using namespace asyncio;

size_t AsyncIo::State::Waiting(bool includeHeld, int disk) const {
    size_t n = 0;
    for (const OpPtr& op : pending)
        if (!op->completing && (includeHeld || !op->t.held) &&
            (disk == kAnyDisk || op->file->disk == disk))
            ++n;
    return n;
}

int AsyncIo::State::DiskFor(const std::string& path) const {
    const std::string key = PathKey(path);
    for (size_t i = 0; i < disks.size(); ++i)
        if (key.compare(0, disks[i].prefix.size(), PathKey(disks[i].prefix)) == 0)
            return int(i);
    return -1;
}

DiskModel::Slot AsyncIo::State::Place(const FileInfo& file, uint64_t bytes, bool write,
                                      bool* timed) {
    *timed = file.disk >= 0;
    if (!*timed)
        return {};
    return disks[size_t(file.disk)].model.Schedule(Now(), bytes, write);
}

LONG AsyncIo::State::Discard(const FileInfo& file, HANDLE h, uint64_t offset, DWORD length) {
    {
        Locked hold(this);
        AddRange(discarded[file.where], offset, offset + length);
        ++counters.discarded;
    }
    // The file is as long as the writes say, all of it a hole: no space taken.
    LARGE_INTEGER size{}, end{};
    end.QuadPart = LONGLONG(offset + length);
    if (GetFileSizeEx(h, &size) && size.QuadPart < end.QuadPart &&
        !(SetFilePointerEx(h, end, nullptr, FILE_BEGIN) && SetEndOfFile(h)))
        return StatusOf(GetLastError());
    return kStatusSuccess;
}

std::shared_ptr<FileInfo> AsyncIo::State::FileOf(HANDLE h) const {
    auto it = files.find(h);
    return it == files.end() ? nullptr : it->second;
}

DWORD AsyncIo::State::Scale(DWORD ms) const {
    if (ms == 0 || ms == INFINITE || options.timeScale <= 1)
        return ms;
    return std::max<DWORD>(1, ms / options.timeScale);
}

// The library is about to block: let the chosen driver finish something first.
bool AsyncIo::State::Block() {
    if (options.driver == AsyncOptions::Driver::WhenBlocked)
        return owner->CompleteRandom();
    if (options.driver == AsyncOptions::Driver::Manual && onBlock)
        return onBlock(*owner);
    return false;
}

// The transfer itself, on our duplicate of the caller's handle, finished before it returns.
LONG AsyncIo::State::Move(const Op& op, DWORD length, DWORD* moved) {
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
HANDLE AsyncIo::State::TakeEvent() {
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

void AsyncIo::State::GiveEvent(HANDLE e) { // the next transfer's issue resets it
    Locked hold(this);
    events.push_back(e);
}

void AsyncIo::State::Publish(const OpPtr& op, LONG status, DWORD bytes) {
    OVERLAPPED* ov = op->t.overlapped;
    {
        Locked hold(this);
        CountFaultsAtFinish(*this, *op);
        pending.erase(std::find(pending.begin(), pending.end(), op));
        publishing.push_back(op);
        if (status == kStatusSuccess)
            ++counters.completed;
        else if (status == kStatusCancelled)
            ++counters.cancelled;
        else
            ++counters.failed;
        // The system holds no handle of its own past a completion: a caller that sees it and
        // closes the file may delete it at once.
        ::CloseHandle(op->dup);
        op->dup = nullptr;
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
        if (!HoldsOverlapped(*this, *it, false)) {
            ::free(*it);
            it = deferredFrees.erase(it);
        } else {
            ++it;
        }
    }
    WakeAllConditionVariable(&changed);
}

// Finishes a transfer taken out of the waiting ones (marked completing).
void AsyncIo::State::Finish(const OpPtr& op, Fate how) {
    Unguard(*op);
    CountChangedWrite(*this, *op);
    if (op->timed)
        WaitUntil(op->slot.begin);
    LONG status = kStatusSuccess;
    DWORD bytes = 0;
    const DWORD length = how.kind == Fate::Short ? std::min(how.bytes, op->t.length) : op->t.length;
    if (how.kind == Fate::Fail) {
        status = StatusOf(how.error);
    } else if (op->file->sink && op->t.write) {
        status = Discard(*op->file, op->dup, op->t.offset, length);
        bytes = status == kStatusSuccess ? length : 0;
    } else {
        status = Move(*op, length, &bytes);
    }
    if (op->timed)
        WaitUntil(op->slot.finish);
    Publish(op, status, bytes);
}

OpPtr AsyncIo::State::TakeRandom(int disk) {
    std::vector<OpPtr> choice;
    for (const OpPtr& op : pending)
        if (!op->completing && !op->t.held && (disk == kAnyDisk || op->file->disk == disk))
            choice.push_back(op);
    if (choice.empty())
        return nullptr;
    OpPtr op = choice[random() % choice.size()];
    op->completing = true;
    return op;
}

OpPtr AsyncIo::State::TakeEarliest(int disk) {
    OpPtr best;
    for (const OpPtr& op : pending)
        if (!op->completing && !op->t.held && op->file->disk == disk &&
            (!best || op->slot.begin < best->slot.begin))
            best = op;
    if (best)
        best->completing = true;
    return best;
}

// One disk's transfers, in the order its channel moves them, or those of the files on no disk
// in seeded random order after a random delay.
DWORD WINAPI AsyncIo::State::WorkerMain(void* start) {
    auto* s = static_cast<WorkerStart*>(start)->s;
    const int disk = static_cast<WorkerStart*>(start)->disk;
    EnterCriticalSection(&s->lock);
    while (!s->stop) {
        if (s->Waiting(false, disk) == 0) {
            SleepConditionVariableCS(&s->changed, &s->lock, INFINITE);
            continue;
        }
        OpPtr op;
        if (disk >= 0) {
            op = s->TakeEarliest(disk);
        } else {
            uint32_t delay = s->options.maxDelayUs ? s->random() % (s->options.maxDelayUs + 1) : 0;
            LeaveCriticalSection(&s->lock);
            WaitUntil(Now() + delay * 1e-6);
            EnterCriticalSection(&s->lock);
            if (s->stop)
                break;
            op = s->TakeRandom(-1);
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

} // namespace kt
