// The layer as tests and benchmarks hold it: installed over a module, driven and read by them.
#include "AsyncIo.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "AsyncIoState.h"

namespace kt {

using namespace asyncio;

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
    s->disks = options.disks;
    if (options.model)
        s->disks.push_back({"", *options.model, false});
    g_state = s;
    if (options.guardBuffers)
        s->guardHandler = AddVectoredExceptionHandler(1, &GuardHandler);
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
        for (int disk = -1; disk < int(s->disks.size()); ++disk) {
            s->workerStarts.push_back(
                std::make_unique<State::WorkerStart>(State::WorkerStart{s, disk}));
            s->workers.push_back(CreateThread(nullptr, 0, &State::WorkerMain,
                                              s->workerStarts.back().get(), 0, nullptr));
        }
}

AsyncIo::~AsyncIo() {
    State* s = state_.get();
    {
        Locked hold(s);
        s->stop = true;
        WakeAllConditionVariable(&s->changed);
    }
    for (HANDLE worker : s->workers)
        if (worker) {
            ::WaitForSingleObject(worker, INFINITE);
            ::CloseHandle(worker);
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
            Unguard(*op);
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
    char text[720];
    std::snprintf(text, sizeof text,
                  "reads %u writes %u pending %u at-once %u refused %u completed %u failed %u "
                  "cancelled %u packets %u in-flight max %u (reads %u, writes %u) discarded %u "
                  "(reads refused %u) | faults: "
                  "freed %u overlapped-freed %u reused %u touched %u changed %u "
                  "overlapped-reused %u closed %u ports-closed %u misaligned %u",
                  c.reads, c.writes, c.pendingAnswers, c.atOnce, c.refused, c.completed, c.failed,
                  c.cancelled, c.packets, c.maxInFlight, c.maxReadsInFlight, c.maxWritesInFlight,
                  c.discarded, c.discardedReads, c.freedInUse, c.overlappedFreed, c.reusedInUse,
                  c.touchedInUse, c.changedInUse, c.overlappedReused, c.closedInUse,
                  c.portsClosedInUse, c.misaligned);
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