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

std::span<const SettingKey> SettingKeys() {
    using S = CCodecSettings;
    static const SettingKey keys[] = {
        {.key = "filename", .text = &S::filename, .fallbackText = kDefaultFilename},
        {.key = "fastwrite", .flag = &S::fastwrite, .fallback = 1},
        {.key = "divide", .flag = &S::divide, .fallback = 0},
        {.key = "dividesize", .number = &S::dividesize, .fallback = 2},
        {.key = "buffer", .flag = &S::copyBeforeWrite, .fallback = 1},
        {.key = "request", .number = &S::request, .fallback = 3},
        {.key = "fourcc", .number = &S::fourcc, .fallback = 0},
        {.key = "cpu", .flag = &S::cachedWrites, .fallback = 0},
        {.key = "fastread", .flag = &S::fastread, .fallback = 1},
        {.key = "huffyuv", .flag = &S::chainedExtraPages, .fallback = 0},
        // Each read in flight ahead holds a slot of a whole picture.
        {.key = "readahead",
         .number = &S::readahead,
         .fallback = S::kDefaultReadAhead,
         .low = 1,
         .high = S::kMaxReadAhead},
        {.key = "quiet", .flag = &S::quiet, .fallback = 0},
    };
    return keys;
}

CCodecSettings& TheSettings() {
    static CCodecSettings settings;
    return settings;
}

void CCodecSettings::LoadSettings(const std::string& modulePath) {
    profilepath = kestro::ProfilePathForModule(modulePath);
    for (const SettingKey& row : SettingKeys()) {
        if (row.text) {
            char text[MAX_PATH + 1] = {};
            GetPrivateProfileStringA(kSection, row.key, row.fallbackText, text, sizeof text,
                                     profilepath.c_str());
            this->*row.text = text;
            continue;
        }
        int value = ReadInt(profilepath, row.key, row.fallback);
        if (row.flag)
            this->*row.flag = value != 0;
        else
            this->*row.number = value < row.low || value > row.high ? row.fallback : value;
    }
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
    for (const SettingKey& row : SettingKeys()) {
        if (row.text)
            WritePrivateProfileStringA(kSection, row.key, (this->*row.text).c_str(),
                                       profilepath.c_str());
        else
            WriteInt(profilepath, row.key,
                     row.flag ? (this->*row.flag ? 1 : 0) : this->*row.number);
    }
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
