// The faults of a caller while a transfer is outstanding: its buffer freed, reused, touched or
// changed, its OVERLAPPED freed or reused, its file or port closed, an unbuffered transfer off
// the sector rule. Each is counted; none is let through to harm the transfer.
#include <cstdlib>
#include <malloc.h>

#include "AsyncIoState.h"

namespace kt::asyncio {

// A transfer on a handle opened unbuffered must be sector-aligned in place, size and memory.
bool Misaligned(const State* s, const FileInfo& file, const void* buffer, DWORD length,
                const OVERLAPPED* ov) {
    if (!(file.flags & FILE_FLAG_NO_BUFFERING) || s->options.sectorBytes == 0)
        return false;
    uint32_t sector = s->options.sectorBytes;
    uint64_t offset = ov ? (uint64_t(ov->OffsetHigh) << 32 | ov->Offset) : 0;
    return length % sector != 0 || uintptr_t(buffer) % sector != 0 || offset % sector != 0;
}

void Guard(const State& s, Op& op) {
    if (!s.options.guardBuffers)
        return;
    auto begin = (uintptr_t(op.t.buffer) + s.page - 1) / s.page * s.page;
    auto end = (uintptr_t(op.t.buffer) + op.t.length) / s.page * s.page;
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

bool HoldsOverlapped(const State& s, void* block, bool pendingOnly) {
    size_t size = _msize(block);
    if (size == size_t(-1))
        return false;
    for (const OpPtr& op : s.pending)
        if (Overlaps(block, size, op->t.overlapped, sizeof(OVERLAPPED)))
            return true;
    if (!pendingOnly)
        for (const OpPtr& op : s.publishing)
            if (Overlaps(block, size, op->t.overlapped, sizeof(OVERLAPPED)))
                return true;
    return false;
}

void CountChangedWrite(State& s, const Op& op) {
    if (op.t.write && s.options.checksumWrites && Checksum(op.t.buffer, op.t.length) != op.sum) {
        Locked hold(&s);
        ++s.counters.changedInUse;
    }
}

void CountFaultsAtFinish(State& s, Op& op) {
    OVERLAPPED* ov = op.t.overlapped;
    BY_HANDLE_FILE_INFORMATION now{};
    // A close that bypassed the import table still shows: the handle names no file,
    // or another one.
    if (s.options.checkFiles && !op.closeCounted &&
        (!GetFileInformationByHandle(op.t.file, &now) ||
         now.nFileIndexLow != op.identity.nFileIndexLow ||
         now.nFileIndexHigh != op.identity.nFileIndexHigh ||
         now.dwVolumeSerialNumber != op.identity.dwVolumeSerialNumber)) {
        ++s.counters.closedInUse;
        op.closeCounted = true;
    }
    if (!op.reuseCounted &&
        (LONG(ov->Internal) != kStatusPending || ov->Offset != DWORD(op.t.offset) ||
         ov->OffsetHigh != DWORD(op.t.offset >> 32))) {
        ++s.counters.overlappedReused;
        op.reuseCounted = true;
    }
}

// qemu's i386 user mode hands Wine a page fault with trap number -1, which Wine raises as an
// illegal instruction without an address: a touch of one of the guarded buffers, which cannot be
// told apart. All of them are let go and one touch counted; a real illegal instruction faults
// again with nothing guarded, and goes on as before.
static LONG UnaddressedFault(State* s) {
    Locked hold(s);
    bool guarded = false;
    for (const OpPtr& op : s->pending) {
        guarded = guarded || op->guardBegin;
        Unguard(*op);
    }
    if (!guarded)
        return EXCEPTION_CONTINUE_SEARCH;
    ++s->counters.touchedInUse;
    return EXCEPTION_CONTINUE_EXECUTION;
}

LONG CALLBACK GuardHandler(EXCEPTION_POINTERS* e) {
    State* s = g_state;
    const EXCEPTION_RECORD* r = e->ExceptionRecord;
    if (s && r->ExceptionCode == EXCEPTION_ILLEGAL_INSTRUCTION && r->NumberParameters == 0)
        return UnaddressedFault(s);
    if (!s || r->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || r->NumberParameters < 2)
        return EXCEPTION_CONTINUE_SEARCH;
    auto* address = reinterpret_cast<uint8_t*>(r->ExceptionInformation[1]);
    Locked hold(s);
    for (const OpPtr& op : s->pending) {
        if (!op->guardBegin || address < op->guardBegin ||
            address >= op->guardBegin + op->guardBytes)
            continue;
        ++s->counters.touchedInUse;
        Unguard(*op); // the caller goes on with whatever the buffer holds
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
            if (HoldsOverlapped(*s, block, true)) {
                ++s->counters.overlappedFreed;
                return; // kept: the transfer will still write its status there
            }
            if (HoldsOverlapped(*s, block, false)) {
                s->deferredFrees.push_back(block);
                return;
            }
        }
    }
    ::free(block);
}

} // namespace kt::asyncio
