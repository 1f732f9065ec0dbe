#include "ui/SheetChecks.h"

#include <utility>
#include <vector>

#include "edge/Win32Edge.h"
#include "pure/PiecePath.h"
#include "pure/ReserveMath.h"
#include "resources/resource.h"
#include "settings/CodecSettings.h"
#include "ui/DataExchange.h"

namespace kestro {

namespace {

constexpr double kEstimateFrameRate = 30.0;

// The folder of a file without separators at its end (the settings path may hold two).
std::string FolderOfFile(const std::string& path) {
    size_t end = path.find_last_of("\\/");
    if (end == std::string::npos)
        return {};
    while (end > 0 && (path[end - 1] == '\\' || path[end - 1] == '/'))
        --end;
    return path.substr(0, end);
}

bool SameFolder(const std::string& a, const char* b) {
    return *b &&
           CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.c_str(), -1, b, -1) == CSTR_EQUAL;
}

bool IsFile(const std::string& path) {
    const DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace

std::string OtherSettingsFile(const std::string& profilepath) {
    const std::string folder = FolderOfFile(profilepath);
    char system[MAX_PATH] = {}, wow64[MAX_PATH] = {}, windows[MAX_PATH] = {};
    GetSystemDirectoryA(system, MAX_PATH);
    // Without a SysWOW64 folder this is 32-bit Windows: one codec, one settings file.
    if (!GetSystemWow64DirectoryA(wow64, MAX_PATH))
        return {};
    GetWindowsDirectoryA(windows, MAX_PATH);
    std::string other;
#ifdef _WIN64
    if (SameFolder(folder, system))
        other = std::string(wow64) + "\\kestdisk.ini";
#else
    // A 32-bit program sees SysWOW64 under either name, and System32 only as Sysnative.
    if (SameFolder(folder, system) || SameFolder(folder, wow64))
        other = std::string(windows) + "\\Sysnative\\kestdisk.ini";
#endif
    return !other.empty() && IsFile(other) ? other : std::string();
}

std::string DataFileIn(const std::string& settingsFile) {
    return ReadKeyText(settingsFile, SettingKeyOf(&CCodecSettings::dataFileName), "");
}

uint64_t OneMinuteOfCapture() {
    return ReserveBytes(1, kEstimateFrameRate, kFrameSizes[kDefaultFrameSizeIndex]);
}

uint64_t FreeBytesIn(const std::wstring& folder) {
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExW((folder + L"\\").c_str(), &available, nullptr, nullptr))
        return UINT64_MAX;
    return available.QuadPart;
}

std::wstring WithValues(UINT id, const std::wstring& one, const std::wstring& two) {
    std::wstring text = LoadResourceString(id);
    for (const auto& [mark, value] : {std::pair{L"%1", &one}, std::pair{L"%2", &two}}) {
        const size_t at = text.find(mark);
        if (at != std::wstring::npos)
            text.replace(at, 2, *value);
    }
    return text;
}

bool ConfirmFreeSpace(const std::wstring& folder, HWND owner, const std::wstring& caption) {
    const uint64_t available = FreeBytesIn(folder), minute = OneMinuteOfCapture();
    if (available >= minute)
        return true;
    constexpr int kMebibyteShift = 20;
    return MessageBoxW(owner,
                       WithValues(IDS_LOW_SPACE, std::to_wstring(available >> kMebibyteShift),
                                  std::to_wstring(minute >> kMebibyteShift))
                           .c_str(),
                       caption.c_str(), MB_OKCANCEL | MB_ICONWARNING) == IDOK;
}

std::wstring StripeRefusal(const CCodecSettings& s) {
    const std::vector<std::string> files = s.StripeFiles();
    for (size_t k = 1; k < files.size(); ++k) {
        if (!DataFileNameUsable(files[k], FileCallName))
            return WithValues(IDS_STRIPE_UNUSABLE, Widen(files[k]));
        const std::string folder(FolderOf(files[k]));
        for (size_t j = 0; j < k; ++j)
            if (SameFolder(folder, std::string(FolderOf(files[j])).c_str()))
                return WithValues(IDS_STRIPE_SAME_FOLDER, Widen(files[k]), Widen(files[j]));
    }
    return {};
}

void OfferToShareDataFile(const std::string& profilepath, const std::string& dataFile) {
    const std::string other = OtherSettingsFile(profilepath);
    if (other.empty())
        return;
    const std::string before = DataFileIn(other);
    if (before == dataFile)
        return;
    const std::wstring caption = LoadResourceString(IDS_SHEET_CAPTION);
    if (MessageBoxW(nullptr, WithValues(IDS_SHARE_DATA_FILE, Widen(other), Widen(before)).c_str(),
                    caption.c_str(), MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND) == IDYES)
        WriteKeyText(other, SettingKeyOf(&CCodecSettings::dataFileName), dataFile);
}

} // namespace kestro
