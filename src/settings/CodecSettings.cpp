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
        {.key = "filename", .text = &S::dataFileName, .fallbackText = kDefaultFilename},
        {.key = "fastwrite", .flag = &S::overlappedWrites, .fallback = 1},
        {.key = "divide", .flag = &S::splitPieces, .fallback = 0},
        {.key = "dividesize",
         .number = &S::pieceGiB,
         .fallback = 2,
         .low = 1,
         .high = 100,
         .keptOutsideRange = true},
        {.key = "buffer", .flag = &S::copyBeforeWrite, .fallback = 1},
        {.key = "request",
         .number = &S::writeRequests,
         .fallback = 3,
         .low = 1,
         .high = 20,
         .keptOutsideRange = true},
        {.key = "fourcc", .number = &S::chainedFourcc, .fallback = 0},
        {.key = "cpu", .flag = &S::cachedWrites, .fallback = 0},
        {.key = "fastread", .flag = &S::overlappedReads, .fallback = 1},
        {.key = "huffyuv", .flag = &S::chainedExtraPages, .fallback = 0},
        // Each read in flight ahead holds a slot of a whole picture.
        {.key = "readahead",
         .number = &S::readAheadDepth,
         .fallback = S::kDefaultReadAhead,
         .low = 1,
         .high = S::kMaxReadAhead},
        {.key = "quiet", .flag = &S::quiet, .fallback = 0},
    };
    return keys;
}

const SettingKey& SettingKeyOf(int32_t CCodecSettings::*number) {
    for (const SettingKey& row : SettingKeys())
        if (row.number == number)
            return row;
    // Every number field has its row; a field without one would be neither read nor saved.
    std::abort();
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
            this->*row.number = row.InRange(value) || row.keptOutsideRange ? value : row.fallback;
    }
    ApplyPlatform(SystemAllowsFastIo());
    RebuildPieceNames();
}

void CCodecSettings::ApplyPlatform(bool allowsFastIo) {
    fastioallowed = allowsFastIo;
    if (!fastioallowed) {
        overlappedWrites = false;
        overlappedReads = false;
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

bool CCodecSettings::StoreAccepted(const CCodecSettings& chosen) {
    for (const SettingKey& row : SettingKeys())
        if (row.number && !row.InRange(chosen.*row.number))
            return false;
    for (const SettingKey& row : SettingKeys()) {
        if (row.text)
            this->*row.text = chosen.*row.text;
        else if (row.flag)
            this->*row.flag = chosen.*row.flag;
        else
            this->*row.number = chosen.*row.number;
    }
    SaveSettings();
    RebuildPieceNames();
    return true;
}

void CCodecSettings::RebuildPieceNames() {
    for (int i = 0; i < kestro::kPieceCount; ++i)
        piecenames[i] = kestro::FormatPieceName(dataFileName, i);
    datadrive = kestro::DriveOf(dataFileName);
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
