#pragma once
// Helpers for tests that reach the codec the way hosts do: through the platform's codec manager.
#include <windows.h>
#include <vfw.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "testcodec/TestCodecControl.h"

namespace kt {

constexpr DWORD kKest = mmioFOURCC('K', 'E', 'S', 'T');
constexpr DWORD kYuy2 = mmioFOURCC('Y', 'U', 'Y', '2');
constexpr DWORD kUyvy = mmioFOURCC('U', 'Y', 'V', 'Y');
constexpr DWORD kMrle = mmioFOURCC('M', 'R', 'L', 'E');

std::string SystemDir();
std::string IniPath(); // kestdisk.ini beside the installed codec

// Writes kestdisk.ini (section "general") from key/value pairs, replacing the file. Must be
// called while the codec library is not loaded, since it reads the file only at load. Unless the
// values name it, "quiet" is 1: no message box of a refused begin.
void WriteIni(const std::map<std::string, std::string>& values);
void RemoveIni();
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
bool CodecLoaded(); // is kestro32.dll mapped in this process?
// The build's kestro-host.exe, found from this test program's place (<build>\tests).
std::string HostProgram();

// A folder for data files of one test, on the tmpfs-backed drive T: when the harness mapped it.
std::string DataDir(const std::string& name);

// `normal`, or `longer` in a run with KESTRO_LONG=1 (scripts/test.sh --long): the count of a
// loop whose every behaviour the normal count already exercises.
int LongCount(int normal, int longer);

// An open codec handle, closed at scope end.
class Hic {
public:
    Hic() = default;
    explicit Hic(HIC h) : h_(h) {}
    Hic(const Hic&) = delete;
    Hic& operator=(const Hic&) = delete;
    Hic(Hic&& o) noexcept : h_(o.h_) { o.h_ = nullptr; }
    Hic& operator=(Hic&& o) noexcept {
        if (this != &o) {
            reset();
            h_ = o.h_;
            o.h_ = nullptr;
        }
        return *this;
    }
    ~Hic() { reset(); }
    void reset() {
        if (h_)
            ICClose(h_);
        h_ = nullptr;
    }
    HIC get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }

private:
    HIC h_ = nullptr;
};

Hic OpenKest(UINT mode = ICMODE_COMPRESS);

// A bitmap format with its trailing data (palette, chained format...).
struct Format {
    std::vector<uint8_t> bytes;
    BITMAPINFOHEADER* header() { return reinterpret_cast<BITMAPINFOHEADER*>(bytes.data()); }
    const BITMAPINFOHEADER* header() const {
        return reinterpret_cast<const BITMAPINFOHEADER*>(bytes.data());
    }
};
Format MakeFormat(LONG width, LONG height, DWORD compression, WORD bits);
Format MakePalettized(LONG width, LONG height); // 8-bit with a 256-entry grey palette
// The stream format the codec produces for `in` (ICM_COMPRESS_GET_FORMAT through the manager).
Format StreamFormatFor(HIC hic, const Format& in);

// The loaded test codec's control entry; null when it is not loaded.
KestTestControlFn TestCodecControlEntry();
void SetTestCodec(const TestCodecControl& control);
TestCodecCounters TestCodecCounts();

} // namespace kt
