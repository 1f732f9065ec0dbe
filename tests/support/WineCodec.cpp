#include "WineCodec.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "pure/PictureShape.h"
#include "pure/PixelFormats.h"

namespace kt {

std::string SystemDir() {
    char dir[MAX_PATH] = {};
    GetSystemDirectoryA(dir, MAX_PATH);
    return dir;
}

std::string IniPath() {
    return SystemDir() + "\\kestdisk.ini";
}

void WriteIni(const std::map<std::string, std::string>& values) {
    EXPECT_FALSE(CodecLoaded()) << "the codec reads kestdisk.ini only when it is loaded";
    std::ostringstream text;
    text << "[general]\r\n";
    for (const auto& [key, value] : values)
        text << key << "=" << value << "\r\n";
    // Tests run on a visible desktop: a refused begin would wait in its message box for a click.
    if (!values.count("quiet"))
        text << "quiet=1\r\n";
    // Most tests begin capture after capture into one data file, which would keep every take
    // beside it (and fill the test disk); tests of kept takes say overwrite=0.
    if (!values.count("overwrite"))
        text << "overwrite=1\r\n";
    WriteFileBytes(IniPath(), text.str());
}

void RemoveIni() {
    DeleteFileA(IniPath().c_str());
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string HostProgram() {
    char exe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string dir(exe);
    dir = dir.substr(0, dir.find_last_of("\\/")); // <build>\tests
    return dir.substr(0, dir.find_last_of("\\/")) + "\\tools\\kestro-host.exe";
}

bool CodecLoaded() {
    return GetModuleHandleA("kestro32.dll") != nullptr;
}

std::string DataDir(const std::string& name) {
    std::string root = GetFileAttributesA("T:\\") != INVALID_FILE_ATTRIBUTES ? "T:\\" : [] {
        char tmp[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, tmp);
        return std::string(tmp);
    }();
    std::string dir = root + "kt-" + std::to_string(GetCurrentProcessId()) + "-" + name;
    CreateDirectoryA(dir.c_str(), nullptr);
    return dir;
}

int LongCount(int normal, int longer) {
    char value[8] = {};
    DWORD n = GetEnvironmentVariableA("KESTRO_LONG", value, sizeof value);
    return n == 1 && value[0] == '1' ? longer : normal;
}

Hic OpenKest(UINT mode) {
    return Hic(ICOpen(ICTYPE_VIDEO, kKest, mode));
}

Format MakeFormat(LONG width, LONG height, DWORD compression, WORD bits) {
    Format f;
    f.bytes.resize(sizeof(BITMAPINFOHEADER));
    auto* h = f.header();
    h->biSize = sizeof(BITMAPINFOHEADER);
    h->biWidth = width;
    h->biHeight = height;
    h->biPlanes = 1;
    h->biBitCount = bits;
    h->biCompression = compression;
    long rows = height < 0 ? -height : height;
    h->biSizeImage = DWORD(((width * bits + 31) / 32) * 4 * rows);
    // A 10-bit kind's rows are whole blocks, which no bit count describes.
    const kestro::PixelFormat* kind = kestro::FormatFor(compression, bits);
    if (kind && kind->layout == kestro::Layout::Packed10)
        h->biSizeImage = DWORD(kestro::PictureBytesOf(*kind, width, height));
    return f;
}

Format MakePalettized(LONG width, LONG height) {
    Format f = MakeFormat(width, height, BI_RGB, 8);
    f.header()->biClrUsed = 256;
    f.bytes.resize(sizeof(BITMAPINFOHEADER) + 256 * sizeof(RGBQUAD));
    auto* palette = reinterpret_cast<RGBQUAD*>(f.bytes.data() + sizeof(BITMAPINFOHEADER));
    for (int i = 0; i < 256; ++i)
        palette[i] = RGBQUAD{BYTE(i), BYTE(i), BYTE(i), 0};
    return f;
}

Format StreamFormatFor(HIC hic, const Format& in) {
    Format out;
    LRESULT size = ICCompressGetFormatSize(hic, in.header());
    if (size <= 0 || size > 1 << 20)
        return out;
    out.bytes.assign(size_t(size), 0);
    if (ICCompressGetFormat(hic, in.header(), out.header()) != ICERR_OK)
        out.bytes.clear();
    return out;
}

KestTestControlFn TestCodecControlEntry() {
    HMODULE module = GetModuleHandleA("kesttest.dll");
    if (!module)
        return nullptr;
    return reinterpret_cast<KestTestControlFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "KestTestControl")));
}

void SetTestCodec(const TestCodecControl& control) {
    auto entry = TestCodecControlEntry();
    ASSERT_NE(entry, nullptr) << "the test codec must be open before it is steered";
    entry(&control, nullptr);
}

TestCodecCounters TestCodecCounts() {
    TestCodecCounters counts{};
    if (auto entry = TestCodecControlEntry())
        entry(nullptr, &counts);
    return counts;
}

} // namespace kt
