#include "settings/CodecSettings.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr const char* kSection = "general";
constexpr const char* kDefaultFilename = "c:\\kestro";
constexpr int kDecimal = 10;

// Parsed here rather than by GetPrivateProfileInt so that negative values survive on every system.
int ReadInt(const std::string& path, const char* key, int fallback) {
    char text[32] = {};
    GetPrivateProfileStringA(kSection, key, "", text, sizeof text, path.c_str());
    if (text[0] == 0)
        return fallback;
    return int(std::strtol(text, nullptr, kDecimal));
}

void WriteInt(const std::string& path, const char* key, long value) {
    char text[24];
    std::snprintf(text, sizeof text, "%ld", value);
    WritePrivateProfileStringA(kSection, key, text, path.c_str());
}

bool SystemAllowsFastIo() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info; // 148 bytes
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!GetVersionExA(&info))
        return false;
#pragma GCC diagnostic pop
    return info.dwPlatformId == VER_PLATFORM_WIN32_NT && info.dwMajorVersion >= 4;
}

} // namespace

CCodecSettings& TheSettings() {
    static CCodecSettings settings;
    return settings;
}

void CCodecSettings::LoadSettings(const std::string& modulePath) {
    profilepath = kestro::ProfilePathForModule(modulePath);
    char name[MAX_PATH + 1] = {};
    GetPrivateProfileStringA(kSection, "filename", kDefaultFilename, name, sizeof name,
                             profilepath.c_str());
    filename = name;
    // A missing key takes the value a new record starts with.
    const CCodecSettings defaults;
    fastwrite = ReadInt(profilepath, "fastwrite", defaults.fastwrite) != 0;
    divide = ReadInt(profilepath, "divide", defaults.divide) != 0;
    dividesize = ReadInt(profilepath, "dividesize", defaults.dividesize);
    buffer = ReadInt(profilepath, "buffer", defaults.buffer) != 0;
    request = ReadInt(profilepath, "request", defaults.request);
    fourcc = ReadInt(profilepath, "fourcc", defaults.fourcc);
    cpu = ReadInt(profilepath, "cpu", defaults.cpu) != 0;
    fastread = ReadInt(profilepath, "fastread", defaults.fastread) != 0;
    huffyuv = ReadInt(profilepath, "huffyuv", defaults.huffyuv) != 0;
    // Each read in flight holds a slot of a whole picture: a value outside the range is no
    // choice anybody made, so it takes the default.
    readahead = ReadInt(profilepath, "readahead", defaults.readahead);
    if (readahead < 1 || readahead > kMaxReadAhead)
        readahead = defaults.readahead;
    ApplyPlatform(SystemAllowsFastIo());
    RebuildPieceNames();
}

void CCodecSettings::ApplyPlatform(bool allowsFastIo) {
    fastioallowed = allowsFastIo;
    if (!fastioallowed) {
        fastwrite = false;
        fastread = false;
    }
}

void CCodecSettings::SaveSettings() const {
    if (profilepath.empty())
        return;
    const char* path = profilepath.c_str();
    WritePrivateProfileStringA(kSection, "filename", filename.c_str(), path);
    WriteInt(profilepath, "fastwrite", fastwrite ? 1 : 0);
    WriteInt(profilepath, "divide", divide ? 1 : 0);
    WriteInt(profilepath, "dividesize", dividesize);
    WriteInt(profilepath, "buffer", buffer ? 1 : 0);
    WriteInt(profilepath, "request", request);
    WriteInt(profilepath, "fourcc", fourcc);
    WriteInt(profilepath, "cpu", cpu ? 1 : 0);
    WriteInt(profilepath, "fastread", fastread ? 1 : 0);
    WriteInt(profilepath, "huffyuv", huffyuv ? 1 : 0);
    WriteInt(profilepath, "readahead", readahead);
}

void CCodecSettings::RebuildPieceNames() {
    for (int i = 0; i < kestro::kPieceCount; ++i)
        piecenames[i] = kestro::FormatPieceName(filename, i);
    datadrive = kestro::DriveOf(filename);
    ULARGE_INTEGER total;
    if (GetDiskFreeSpaceExA(datadrive.empty() ? nullptr : (datadrive + "\\").c_str(), nullptr,
                            &total, nullptr))
        disktotal = total.QuadPart;
}

std::string CCodecSettings::PieceName(int i) const {
    if (i < 0 || i >= kestro::kPieceCount)
        return {};
    return piecenames[i];
}
