#pragma once
// Small owners and lookups at the Win32 edge, shared by the codec, its dialogs and its tools.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace kestro {

// The system's memory page size: the unit of every unbuffered transfer and of page rounding.
uint32_t SystemPageSize();

// Committed, page-aligned, zero-filled memory (unbuffered I/O needs page-aligned buffers); at
// least one page even for 0 bytes, null when the system has none.
uint8_t* AllocatePages(size_t bytes, DWORD protection = PAGE_READWRITE);
// Idempotent: frees what `pages` holds, if anything, and empties it.
void FreePages(uint8_t*& pages);

// Idempotent closes, each storing the handle's empty value: files use INVALID_HANDLE_VALUE,
// ports, events, mappings and threads use null.
void CloseFile(HANDLE& file);
void CloseObject(HANDLE& object);

// A page buffer owned by one scope or object.
class PageBuffer {
public:
    PageBuffer() = default;
    explicit PageBuffer(size_t bytes, DWORD protection = PAGE_READWRITE)
        : data_(AllocatePages(bytes, protection)), size_(data_ ? bytes : 0) {}
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;
    PageBuffer(PageBuffer&& other) noexcept : data_(other.data_), size_(other.size_) {
        other.data_ = nullptr;
        other.size_ = 0;
    }
    PageBuffer& operator=(PageBuffer&& other) noexcept {
        if (this != &other) {
            reset();
            std::swap(data_, other.data_);
            std::swap(size_, other.size_);
        }
        return *this;
    }
    ~PageBuffer() { reset(); }
    uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    explicit operator bool() const { return data_ != nullptr; }
    // Idempotent: frees the pages, if any.
    void reset() {
        FreePages(data_);
        size_ = 0;
    }
    // Gives the pages up without freeing them: memory a transfer that never ended may still use.
    void release() {
        data_ = nullptr;
        size_ = 0;
    }

private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// One handle owned by one scope or object. `Empty` is the value the call that makes it returns
// on failure: INVALID_HANDLE_VALUE for files, null for everything else.
template <bool IsFile> class UniqueHandleOf {
public:
    UniqueHandleOf() = default;
    explicit UniqueHandleOf(HANDLE h) : h_(h) {}
    UniqueHandleOf(const UniqueHandleOf&) = delete;
    UniqueHandleOf& operator=(const UniqueHandleOf&) = delete;
    UniqueHandleOf(UniqueHandleOf&& other) noexcept : h_(other.release()) {}
    UniqueHandleOf& operator=(UniqueHandleOf&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~UniqueHandleOf() { reset(); }
    static HANDLE Empty() { return IsFile ? INVALID_HANDLE_VALUE : nullptr; }
    HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != Empty(); }
    HANDLE release() {
        HANDLE h = h_;
        h_ = Empty();
        return h;
    }
    void reset(HANDLE h = Empty()) {
        if (h_ != Empty())
            CloseHandle(h_);
        h_ = h;
    }

private:
    HANDLE h_ = Empty();
};
using UniqueFile = UniqueHandleOf<true>;
using UniqueHandle = UniqueHandleOf<false>;

// Errors of a system briefly short of memory, quota or locked pages for one more transfer: they
// pass once an outstanding transfer finishes.
bool IsShortage(DWORD error);
// Errors of a disk with no room left for the file.
bool IsDiskFull(DWORD error);

// Calls that only newer systems have, looked up once at run time; null where missing (Windows
// XP lacks all of them, and Wine lacks some information classes behind them).
struct Kernel32Calls {
    BOOL(WINAPI* CancelIoEx)(HANDLE, LPOVERLAPPED);
    BOOL(WINAPI* GetQueuedCompletionStatusEx)
    (HANDLE, LPOVERLAPPED_ENTRY, ULONG, PULONG, DWORD, BOOL);
    BOOL(WINAPI* SetFileCompletionNotificationModes)(HANDLE, UCHAR);
    BOOL(WINAPI* SetFileInformationByHandle)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
    BOOL(WINAPI* GetFileInformationByHandleEx)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
};
const Kernel32Calls& Kernel32();

// CancelIoEx cancels one request whichever thread issued it; before Vista only CancelIo is
// there, which reaches the calling thread's requests (the host's thread issues all of ours).
BOOL CancelRequest(HANDLE file, OVERLAPPED* which);

// Transfers on `file` that finish inside their call queue no packet on its port (true), or do as
// before (false: older systems lack the call, and then every transfer's packet must be taken).
bool SkipPacketsOnSuccess(HANDLE file);

// The UTF-16 name that this process's ANSI file calls (CreateFileA...) open for `bytes`: converted
// with the ANSI code page, or with the OEM one once the process called SetFileApisToOEM, as the
// system converts it; the piece rule judges that name (a WideName).
std::optional<std::u16string> FileCallName(std::string_view bytes);

} // namespace kestro
