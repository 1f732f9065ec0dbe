#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Host.h"
#include "HostWin.h"
#include "Recover.h"
#include "settings/CodecSettings.h"

namespace host {

void Error(const std::string& message) {
    std::fprintf(stderr, "kestro-host: error: %s\n", message.c_str());
    std::fflush(stderr);
}

void Warning(const std::string& message) {
    std::fprintf(stderr, "kestro-host: warning: %s\n", message.c_str());
    std::fflush(stderr);
}

void Note(const std::string& message) {
    std::fprintf(stderr, "%s\n", message.c_str());
    std::fflush(stderr);
}

std::string RegisteredDriver() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                      "Software\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32", 0,
                      KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return {};
    char value[MAX_PATH] = {};
    DWORD type = 0, size = sizeof value - 1;
    const LONG status =
        RegQueryValueExA(key, "vidc.KEST", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        return {};
    return value;
}

namespace {
bool systemFolderOnly = false;
}

bool LoadCodecsFromSystemFolderOnly() {
    using SetDirectories = BOOL(WINAPI*)(DWORD);
    const auto set = reinterpret_cast<SetDirectories>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories")));
    systemFolderOnly = set && set(LOAD_LIBRARY_SEARCH_SYSTEM32);
    return systemFolderOnly;
}

std::string CodecLibraryPath() {
    const std::string driver = RegisteredDriver();
    const std::string name = driver.empty() ? "kestro32.dll" : driver;
    if (name.find_first_of("\\/:") != std::string::npos)
        return name;
    // The driver manager loads it by name: from the system folder alone once the search is
    // restricted, else the program's folder first, then the system folders.
    char dir[MAX_PATH] = {};
    std::vector<std::string> folders;
    if (!systemFolderOnly && GetModuleFileNameA(nullptr, dir, MAX_PATH))
        folders.push_back(DirectoryOf(dir));
    if (GetSystemDirectoryA(dir, MAX_PATH))
        folders.push_back(std::string(dir) + "\\");
    if (!systemFolderOnly && GetWindowsDirectoryA(dir, MAX_PATH))
        folders.push_back(std::string(dir) + "\\");
    for (const auto& folder : folders)
        if (GetFileAttributesA((folder + name).c_str()) != INVALID_FILE_ATTRIBUTES)
            return folder + name;
    return (folders.size() > 1 ? folders[1] : std::string()) + name;
}

std::string LoadedCodecPath() {
    const std::string driver = RegisteredDriver();
    const std::string name = driver.empty() ? "kestro32.dll" : driver;
    char path[MAX_PATH] = {};
    if (HMODULE module = GetModuleHandleA(name.c_str());
        module && GetModuleFileNameA(module, path, MAX_PATH))
        return path;
    if (name.find_first_of("\\/:") != std::string::npos)
        return name;
    GetSystemDirectoryA(path, MAX_PATH);
    return std::string(path) + "\\" + name;
}

std::string SettingsFilePath() {
    const std::string dll = CodecLibraryPath();
    const size_t slash = dll.find_last_of("\\/");
    return (slash == std::string::npos ? std::string(".") : dll.substr(0, slash)) +
           "\\kestdisk.ini";
}

std::string SettingRefusal(const SettingKey& row, const std::string& value) {
    const std::string why = row.Refusal(value);
    return why.empty()
               ? why
               : "the setting " + std::string(row.key) + "=" + value + " is refused: " + why;
}

bool WriteSetting(const SettingKey& row, const std::string& value) {
    const std::string key = row.key;
    if (const std::string why = SettingRefusal(row, value); !why.empty()) {
        Error(why);
        return false;
    }
    if (GetModuleHandleA("kestro32.dll"))
        Warning("the codec is already loaded in this process: " + key +
                " takes effect only at its next load");
    const std::string ini = SettingsFilePath();
    if (!WriteKeyText(ini, row, value)) {
        Error("cannot write " + key + " into " + ini + ": " + SystemMessage(GetLastError()));
        return false;
    }
    return true;
}

std::string ReadSetting(const SettingKey& row) {
    return ReadKeyText(SettingsFilePath(), row, row.DefaultText());
}

std::string SystemMessage(DWORD code) {
    char text[512] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, text, sizeof text, nullptr);
    while (n && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' '))
        text[--n] = 0;
    return n ? std::string(text) + " (" + std::to_string(code) + ")"
             : "system error " + std::to_string(code);
}

HIC OpenCodec(UINT mode) {
    HIC hic = ICOpen(ICTYPE_VIDEO, kestro::kFourccKest, mode);
    if (hic)
        return hic;
    const std::string driver = RegisteredDriver();
    if (driver.empty())
        Error("the codec is not registered: no value \"vidc.KEST\" under HKLM\\Software\\Microsoft"
              "\\Windows NT\\CurrentVersion\\Drivers32. Copy kestro32.dll into the system folder "
              "and add that value with the data kestro32.dll (see \"Installing by hand\" in "
              "README-Windows.txt).");
    else
        Error("vidc.KEST is registered as \"" + driver + "\" but the codec does not open: is " +
              CodecLibraryPath() + " present and built for this " +
              (sizeof(void*) == 8 ? "64" : "32") + "-bit program?");
    return nullptr;
}

std::string IcErrorText(LRESULT code) {
    switch (code) {
    case ICERR_OK:
        return "ICERR_OK";
    case ICERR_UNSUPPORTED:
        return "ICERR_UNSUPPORTED";
    case ICERR_BADFORMAT:
        return "ICERR_BADFORMAT";
    case ICERR_MEMORY:
        return "ICERR_MEMORY";
    default:
        return "codec result " + std::to_string(long(code));
    }
}

std::string AviErrorText(HRESULT hr) {
    switch (hr) {
    case AVIERR_FILEOPEN:
        return "cannot open the file";
    case AVIERR_FILEREAD:
        return "read error";
    case AVIERR_FILEWRITE:
        return "write error (disk full?)";
    case AVIERR_NODATA:
        return "no data";
    case AVIERR_BADFORMAT:
        return "not an AVI file the system can read";
    case AVIERR_MEMORY:
        return "out of memory";
    default: {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(hr));
        return std::string("AVIFile error ") + hex;
    }
    }
}

double Seconds() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return double(now.QuadPart) / double(frequency.QuadPart);
}

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".\\") : path.substr(0, slash + 1);
}

uint64_t FreeBytesAt(const std::string& path) {
    ULARGE_INTEGER freeToCaller{};
    if (!GetDiskFreeSpaceExA(DirectoryOf(path).c_str(), &freeToCaller, nullptr, nullptr))
        return UINT64_MAX;
    return freeToCaller.QuadPart;
}

std::optional<kestro::avi::AviLayout> OpenCapture(HandleFile& in, const std::string& path) {
    if (!in.Open(path, false, false)) {
        Error("cannot open " + path + ": " + in.LastError());
        return std::nullopt;
    }
    return ReadCapture(in, path);
}

std::optional<kestro::avi::AviLayout> ReadCapture(HandleFile& in, const std::string& path) {
    std::string error;
    auto layout = kestro::avi::ReadAviLayout(in, true, error);
    if (!layout && !SaidUnclosed(in, path))
        Error(path + ": " + error);
    return layout;
}

bool SaidUnclosed(HandleFile& in, const std::string& path) {
    auto text = kestro::avi::UnclosedCaptureText(in, "kestro-host recover");
    if (text)
        Error(path + ": " + *text);
    return text.has_value();
}

std::string Megabytes(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", double(bytes) / 1e6);
    return text;
}

} // namespace host
