#include "settings/CodecSettings.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr const char* kSection = "general";

// Parsed here rather than by GetPrivateProfileInt so that negative values survive on every system.
int ReadInt(const std::string& path, const char* key, int fallback) {
    char text[32] = {};
    GetPrivateProfileStringA(kSection, key, "", text, sizeof text, path.c_str());
    if (text[0] == 0)
        return fallback;
    return int(std::strtol(text, nullptr, 10));
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
    GetPrivateProfileStringA(kSection, "filename", "c:\\kestro", name, sizeof name,
                             profilepath.c_str());
    filename = name;
    fastwrite = ReadInt(profilepath, "fastwrite", 1) != 0;
    divide = ReadInt(profilepath, "divide", 0) != 0;
    dividesize = ReadInt(profilepath, "dividesize", 2);
    buffer = ReadInt(profilepath, "buffer", 1) != 0;
    request = ReadInt(profilepath, "request", 3);
    fourcc = ReadInt(profilepath, "fourcc", 0);
    cpu = ReadInt(profilepath, "cpu", 0) != 0;
    fastread = ReadInt(profilepath, "fastread", 1) != 0;
    huffyuv = ReadInt(profilepath, "huffyuv", 0) != 0;
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
