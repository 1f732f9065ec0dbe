// The 32-bit static runtime gives each of its mutexes a semaphore, made when the library loads
// (the DWARF unwinder registers the library's frames under one of them) and never closed: two
// handles per load, and hosts load a codec every time they list the codecs. The link routes the
// runtime's CreateSemaphoreW and CloseHandle calls, and this library's, through the two entries
// below (their import entries are wrapped), so that the semaphores still open at an unload can be
// closed then. The runtime may still take its mutexes afterwards, while its destructors run: an
// uncontended take and release never touch the semaphore, and nothing else runs in the library
// under the loader lock at an unload. A close of one of them after that is not passed on.
#include "driver/RuntimeSemaphores.h"

#include <windows.h>

#if defined(_WIN64)

void kestro::CloseRuntimeSemaphores() {}

#else

namespace {

using CreateFn = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, LONG, LONG, LPCWSTR);
using CloseFn = BOOL(WINAPI*)(HANDLE);

constexpr int kTracked = 32;
HANDLE openSemaphores[kTracked]; // made through the runtime's entry and not closed yet
HANDLE closedAtUnload[kTracked]; // closed here: a later close of the same value is dropped
volatile LONG busy = 0;          // the runtime makes mutexes on any thread

// The real calls, found by name: calling them by import would come back here. Plain variables,
// not function statics: guarding a static's initialization takes a runtime mutex, whose
// semaphore would be made through this very file.
CreateFn realCreate = nullptr;
CloseFn realClose = nullptr;

FARPROC Kernel32Entry(const char* name) {
    return GetProcAddress(GetModuleHandleA("kernel32.dll"), name);
}
CloseFn RealClose() {
    if (!realClose)
        realClose =
            reinterpret_cast<CloseFn>(reinterpret_cast<void*>(Kernel32Entry("CloseHandle")));
    return realClose;
}

struct Guard {
    Guard() {
        while (InterlockedCompareExchange(&busy, 1, 0) != 0)
            Sleep(0);
    }
    ~Guard() { InterlockedExchange(&busy, 0); }
};

bool Take(HANDLE* table, HANDLE handle) {
    for (int i = 0; i < kTracked; ++i)
        if (table[i] == handle) {
            table[i] = nullptr;
            return true;
        }
    return false;
}

void Put(HANDLE* table, HANDLE handle) {
    for (int i = 0; i < kTracked; ++i)
        if (!table[i]) {
            table[i] = handle;
            return;
        }
}

HANDLE WINAPI CreateTrackedSemaphore(LPSECURITY_ATTRIBUTES attributes, LONG initial, LONG maximum,
                                     LPCWSTR name) {
    if (!realCreate)
        realCreate =
            reinterpret_cast<CreateFn>(reinterpret_cast<void*>(Kernel32Entry("CreateSemaphoreW")));
    if (!realCreate)
        return nullptr;
    HANDLE handle = realCreate(attributes, initial, maximum, name);
    if (handle) {
        Guard guard;
        // A new handle may reuse the value of one closed at an earlier unload of this copy.
        Take(closedAtUnload, handle);
        Put(openSemaphores, handle);
    }
    return handle;
}

BOOL WINAPI CloseTrackedHandle(HANDLE handle) {
    {
        Guard guard;
        if (handle && Take(closedAtUnload, handle))
            return TRUE;
        if (handle)
            Take(openSemaphores, handle);
    }
    CloseFn close = RealClose();
    return close ? close(handle) : FALSE;
}

} // namespace

// The import entries the link points the runtime's and the library's calls at.
extern "C" {
void* wrappedCreateSemaphore asm("___wrap__imp__CreateSemaphoreW@16") =
    reinterpret_cast<void*>(&CreateTrackedSemaphore);
void* wrappedCloseHandle asm("___wrap__imp__CloseHandle@4") =
    reinterpret_cast<void*>(&CloseTrackedHandle);
}

void kestro::CloseRuntimeSemaphores() {
    CloseFn close = RealClose();
    if (!close)
        return;
    Guard guard;
    for (HANDLE& handle : openSemaphores)
        if (handle) {
            close(handle);
            Put(closedAtUnload, handle);
            handle = nullptr;
        }
}

#endif
