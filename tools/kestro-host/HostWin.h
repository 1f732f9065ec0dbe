#pragma once
// Win32 and Video for Windows helpers shared by the commands.
#include <windows.h>
#include <vfw.h>

#include <cstdint>
#include <string>

namespace host {

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

// Committed page-aligned memory: unbuffered writes from the host's frame need it.
class PageBuffer {
public:
    explicit PageBuffer(size_t bytes);
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;
    ~PageBuffer();
    uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

} // namespace host
