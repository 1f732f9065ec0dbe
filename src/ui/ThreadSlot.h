#pragma once
#include <windows.h>

#include <type_traits>

namespace kestro {

// A pointer kept per thread in a thread-local-storage slot of its own, taken when the library is
// loaded and given back when it is unloaded. The compiler's thread_local takes a slot on first
// use and never returns it, so every load of the library would cost the process one more.
template <typename T> class ThreadSlot {
    static_assert(std::is_pointer_v<T>);

public:
    ThreadSlot() : slot_(TlsAlloc()) {}
    ~ThreadSlot() {
        if (slot_ != TLS_OUT_OF_INDEXES)
            TlsFree(slot_);
    }
    ThreadSlot(const ThreadSlot&) = delete;
    ThreadSlot& operator=(const ThreadSlot&) = delete;

    // Without a slot (the process ran out) every thread reads null: the helpers it serves
    // (key handling, a window title) then simply do nothing.
    T get() const {
        return slot_ == TLS_OUT_OF_INDEXES ? nullptr : static_cast<T>(TlsGetValue(slot_));
    }
    void set(T value) {
        if (slot_ != TLS_OUT_OF_INDEXES)
            TlsSetValue(slot_, const_cast<void*>(static_cast<const void*>(value)));
    }

private:
    DWORD slot_;
};

} // namespace kestro
