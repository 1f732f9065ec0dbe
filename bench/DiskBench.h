#pragma once
// What the modelled-disk benchmark's parts share: the codec's settings file, bitmaps of a size,
// page-aligned host buffers, the clock, and the layer as a benchmark installs it (nothing
// checked, nothing delayed but by the model).
#include <windows.h>
#include <vfw.h>

#include <cstdint>
#include <string>

#include "AsyncIo.h"

namespace diskbench {

constexpr DWORD kKest = mmioFOURCC('K', 'E', 'S', 'T');
constexpr DWORD kKtst = mmioFOURCC('K', 'T', 'S', 'T');
constexpr DWORD kYuy2 = mmioFOURCC('Y', 'U', 'Y', '2');

struct Size {
    LONG width, height;
};

inline double Now() {
    LARGE_INTEGER f, t;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t);
    return double(t.QuadPart) / double(f.QuadPart);
}

inline uint32_t PageSize() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}

inline uint64_t RoundUp(uint64_t n) {
    uint64_t page = PageSize();
    return (n + page - 1) / page * page;
}

inline std::string IniPath() {
    char dir[MAX_PATH] = {};
    GetSystemDirectoryA(dir, MAX_PATH);
    return std::string(dir) + "\\kestdisk.ini";
}

// The codec reads its settings when it is loaded, which is when the first handle opens.
inline void WriteIni(const std::string& text) {
    HANDLE f = CreateFileA(IniPath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    std::string all = "[general]\r\n" + text;
    DWORD done;
    WriteFile(f, all.data(), DWORD(all.size()), &done, nullptr);
    CloseHandle(f);
}

inline kt::AsyncOptions LayerOptions() {
    kt::AsyncOptions o;
    o.driver = kt::AsyncOptions::Driver::Worker;
    o.maxDelayUs = 0;
    o.guardBuffers = false;
    o.checksumWrites = false;
    o.checkFiles = false;
    return o;
}

inline BITMAPINFOHEADER Bitmap(Size s, DWORD compression, WORD bits) {
    BITMAPINFOHEADER h{};
    h.biSize = sizeof h;
    h.biWidth = s.width;
    h.biHeight = s.height;
    h.biPlanes = 1;
    h.biBitCount = bits;
    h.biCompression = compression;
    h.biSizeImage = DWORD(((s.width * bits + 31) / 32) * 4 * s.height);
    return h;
}

// Page-aligned, as capture drivers and the codec's own buffers are.
struct Pages {
    explicit Pages(size_t n)
        : p(static_cast<uint8_t*>(
              VirtualAlloc(nullptr, n, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE))) {}
    ~Pages() { VirtualFree(p, 0, MEM_RELEASE); }
    Pages(const Pages&) = delete;
    Pages& operator=(const Pages&) = delete;
    uint8_t* p;
};

// Captures of today's streams, paced as a capture card delivers them, onto each drive preset
// (disk_presets.cpp).
void PresetRows(const std::string& folder);

// The frame journal's cost per frame against the same captures without it (journal_cost.cpp).
void JournalCostRow(const std::string& folder);

} // namespace diskbench
