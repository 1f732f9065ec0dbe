#pragma once
// Test buffers that end where an inaccessible page begins, for the pure tests of both builds.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace kestro {

// `size` bytes ending exactly where an inaccessible page begins, so any access past the end faults.
class PageEndBuffer {
public:
    explicit PageEndBuffer(size_t size) : size_(size) {
#ifdef _WIN32
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        const size_t page = info.dwPageSize;
#else
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
#endif
        const size_t body = (size + page - 1) / page * page;
        capacity_ = body;
        total_ = body + page;
#ifdef _WIN32
        base_ = static_cast<uint8_t*>(
            VirtualAlloc(nullptr, total_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old;
        if (!base_ || !VirtualProtect(base_ + body, page, PAGE_NOACCESS, &old)) {
            throw std::runtime_error("guard page");
        }
#else
        void* p = mmap(nullptr, total_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
        if (!base_ || mprotect(base_ + body, page, PROT_NONE) != 0) {
            throw std::runtime_error("guard page");
        }
#endif
        data_ = base_ + body - size;
    }
    ~PageEndBuffer() {
#ifdef _WIN32
        VirtualFree(base_, 0, MEM_RELEASE);
#else
        munmap(base_, total_);
#endif
    }
    PageEndBuffer(const PageEndBuffer&) = delete;
    PageEndBuffer& operator=(const PageEndBuffer&) = delete;

    uint8_t* data() {
        return data_;
    }
    std::vector<uint8_t> Bytes() const {
        return {data_, data_ + size_};
    }
    // A copy of `from` in the last bytes before the inaccessible page, for inputs of changing
    // length in one buffer; `from` may be longer than `size`, up to the whole pages below.
    uint8_t* Place(const std::vector<uint8_t>& from) {
        if (from.size() > capacity_)
            throw std::length_error("more than the buffer's pages");
        uint8_t* at = base_ + capacity_ - from.size();
        if (!from.empty())
            std::memcpy(at, from.data(), from.size());
        return at;
    }

private:
    size_t size_;
    size_t capacity_ = 0;
    size_t total_ = 0;
    uint8_t* base_ = nullptr;
    uint8_t* data_ = nullptr;
};

} // namespace kestro
