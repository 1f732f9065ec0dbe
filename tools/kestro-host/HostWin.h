#pragma once
// Win32 and Video for Windows helpers shared by the commands.
#include <windows.h>
#include <vfw.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include "AviRecords.h"
#include "edge/Win32Edge.h"
#include "pure/StreamFormat.h"
#include "pure/TakeFile.h"

namespace host {

using kestro::PageBuffer;
using kestro::UniqueFile;
using kestro::UniqueHandle;

// `n` rounded up to whole pages of this system: unbuffered transfers move whole pages.
inline uint64_t PageRounded(uint64_t n) {
    return kestro::RoundUpToPage(n, kestro::SystemPageSize());
}

std::string RegisteredDriver(); // the Drivers32 value of vidc.KEST, empty when absent
std::string SystemMessage(DWORD code);
std::string IcErrorText(LRESULT code);
std::string AviErrorText(HRESULT hr);
// Opens vidc.KEST; on failure prints why (not registered, or registered but not loadable).
HIC OpenCodec(UINT mode);
double Seconds();
std::string DirectoryOf(const std::string& path);
uint64_t FreeBytesAt(const std::string& path); // UINT64_MAX when unknown
std::string Megabytes(uint64_t bytes);
// The lock that lets one relink of an AVI run at a time (false when another holds it; Windows
// drops it when the handle closes or the process ends). Any handle of the AVI with read access.
bool LockForRelink(HANDLE file);

class CodecHandle {
public:
    explicit CodecHandle(HIC h = nullptr) : h_(h) {}
    CodecHandle(const CodecHandle&) = delete;
    CodecHandle& operator=(const CodecHandle&) = delete;
    ~CodecHandle() {
        if (h_)
            ICClose(h_);
    }
    void Reset(HIC h) {
        if (h_)
            ICClose(h_);
        h_ = h;
    }
    HIC get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }

private:
    HIC h_;
};

// A file as the record walker sees it: positioned reads and writes, nothing buffered here.
class HandleFile : public kestro::avi::ByteFile {
public:
    // A file written here is shared with readers only; one created is shared with nobody, so
    // that no other relink takes it for a leftover while it is written. `shareWrite` lets a
    // writer open the file later (the AVI held for its lock).
    bool Open(const std::string& path, bool write, bool create, bool shareWrite = false) {
        path_ = path;
        const DWORD share = create ? 0 : FILE_SHARE_READ | (shareWrite ? FILE_SHARE_WRITE : 0);
        handle_.reset(CreateFileA(path.c_str(), GENERIC_READ | (write ? GENERIC_WRITE : 0), share,
                                  nullptr, create ? CREATE_NEW : OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!handle_) {
            code_ = GetLastError();
            error_ = SystemMessage(code_);
            return false;
        }
        return true;
    }
    // Whether the close succeeded: a write may fail only then.
    bool Close() {
        const HANDLE h = handle_.release();
        return h == INVALID_HANDLE_VALUE || CloseHandle(h) != 0;
    }
    const std::string& LastError() const { return error_; }
    DWORD LastCode() const { return code_; }
    HANDLE handle() const { return handle_.get(); }
    bool Flush() {
        if (FlushFileBuffers(handle_.get()))
            return true;
        error_ = SystemMessage(GetLastError());
        return false;
    }

    uint64_t Size() override {
        LARGE_INTEGER size{};
        return GetFileSizeEx(handle_.get(), &size) ? uint64_t(size.QuadPart) : 0;
    }
    bool ReadAt(uint64_t offset, void* data, size_t bytes) override {
        return Transfer(offset, data, bytes, false);
    }
    bool WriteAt(uint64_t offset, const void* data, size_t bytes) override {
        return Transfer(offset, const_cast<void*>(data), bytes, true);
    }

private:
    bool Transfer(uint64_t offset, void* data, size_t bytes, bool write) {
        auto* p = static_cast<uint8_t*>(data);
        while (bytes) {
            const DWORD chunk = DWORD(std::min<size_t>(bytes, size_t(1) << 30));
            OVERLAPPED at{};
            at.Offset = DWORD(offset);
            at.OffsetHigh = DWORD(offset >> 32);
            DWORD done = 0;
            const BOOL ok = write ? WriteFile(handle_.get(), p, chunk, &done, &at)
                                  : ReadFile(handle_.get(), p, chunk, &done, &at);
            if (!ok || done != chunk) {
                error_ = ok ? std::string(write ? "short write" : "short read")
                            : SystemMessage(GetLastError());
                return false;
            }
            p += chunk;
            offset += chunk;
            bytes -= chunk;
        }
        return true;
    }

    std::string path_;
    UniqueFile handle_;
    std::string error_;
    DWORD code_ = ERROR_SUCCESS;
};

// Opens a capture AVI for reading and finds its KEST stream; empty after a message naming it.
std::optional<kestro::avi::AviLayout> OpenCapture(HandleFile& in, const std::string& path);
// The layout of a capture already open in `in` (a relink opens and locks it first).
std::optional<kestro::avi::AviLayout> ReadCapture(HandleFile& in, const std::string& path);

// Says so (an error naming `path`) when the AVI open in `in` was never closed by its writer but
// holds frame records, and what rebuilds it.
bool SaidUnclosed(HandleFile& in, const std::string& path);

// The take file `takeFile` (NAME.take beside NAME.000...), read only where the piece rule lets
// this program open the pieces beside it: none, damaged (and why), or the take.
kestro::TakeFileRead ReadTakeFile(const std::string& takeFile);
// The take file beside `piece`, and its name in `takeFile`.
kestro::TakeFileRead TakeBeside(const std::string& piece, std::string* takeFile = nullptr);

// The outputs of relink and recover: written under a temporary name beside `final` (shared with
// nobody while it is written), renamed when whole. The temporary files of `final` that killed
// runs of `command` left are removed first.
void RemoveLeftovers(const std::string& final, const char* command);
bool CreateTemporary(const std::string& final, HandleFile& file, std::string& name);

// AVIFileInit for the lifetime of one command.
struct AviLibrary {
    AviLibrary() { AVIFileInit(); }
    ~AviLibrary() { AVIFileExit(); }
};

} // namespace host
