#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kt {

// Bytes that end exactly where an inaccessible page begins: any read or write past them faults.
class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t bytes) : size_(bytes) {
        SYSTEM_INFO si;
        GetSystemInfo(&si);
        size_t page = si.dwPageSize;
        span_ = (bytes + page - 1) / page * page + page;
        base_ = static_cast<uint8_t*>(VirtualAlloc(nullptr, span_, MEM_COMMIT, PAGE_READWRITE));
        DWORD old;
        VirtualProtect(base_ + span_ - page, page, PAGE_NOACCESS, &old);
        data_ = base_ + span_ - page - bytes;
    }
    ~GuardedBuffer() { VirtualFree(base_, 0, MEM_RELEASE); }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    uint8_t* data() { return data_; }
    size_t size() const { return size_; }
    template <typename T> T* as() { return reinterpret_cast<T*>(data_); }
    void fill(const void* src, size_t n) { std::memcpy(data_, src, n < size_ ? n : size_); }

private:
    size_t size_;
    size_t span_;
    uint8_t* base_;
    uint8_t* data_;
};

} // namespace kt
