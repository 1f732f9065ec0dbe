#pragma once
// Win32 and Video for Windows helpers shared by the commands.
#include <windows.h>
#include <vfw.h>

#include <cstdint>
#include <string>

#include "driver/Win32Edge.h"
#include "pure/StreamFormat.h"

namespace host {

using kestro::PageBuffer;
using kestro::UniqueFile;

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

// AVIFileInit for the lifetime of one command.
struct AviLibrary {
    AviLibrary() { AVIFileInit(); }
    ~AviLibrary() { AVIFileExit(); }
};

} // namespace host
