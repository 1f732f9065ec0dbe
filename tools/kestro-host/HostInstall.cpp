#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <optional>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Host.h"
#include "HostInstall.h"
#include "DataFolder.h"
#include "HostWin.h"
#include "InstalledSettings.h"
#include "UserPermissions.h"
#include "pure/IniText.h"
#include "settings/CodecSettings.h"

namespace host {

namespace {

#ifdef _WIN64
constexpr char kBuild[] = "x64";
constexpr char kBits[] = "64-bit";
constexpr REGSAM kView = KEY_WOW64_64KEY;
#else
constexpr char kBuild[] = "x86";
constexpr char kBits[] = "32-bit";
constexpr REGSAM kView = KEY_WOW64_32KEY;
#endif

constexpr char kDrivers32[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";

std::string Product() {
    return std::string("Kestro32 (") + kBits + ")";
}

std::string InstalledInfName() {
    return std::string("kestro32-") + kBuild + ".inf";
}

// Where programs of this build load system libraries from; a 32-bit program on 64-bit Windows
// names SysWOW64 itself, so that messages show the folder the files are really in.
std::string SystemFolder() {
    char dir[MAX_PATH] = {};
#ifndef _WIN64
    if (GetSystemWow64DirectoryA(dir, MAX_PATH))
        return dir;
#endif
    GetSystemDirectoryA(dir, MAX_PATH);
    return dir;
}

std::string InfFolder() {
    char dir[MAX_PATH] = {};
    GetWindowsDirectoryA(dir, MAX_PATH);
    return std::string(dir) + "\\inf";
}

DWORD Attributes(const std::string& path) {
    return GetFileAttributesA(path.c_str());
}
bool IsFile(const std::string& path) {
    const DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}
bool IsFolder(const std::string& path) {
    const DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool ReadText(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
    return !in.bad();
}

bool WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    return bool(out);
}

std::string WithoutSlash(std::string folder) {
    while (folder.size() > 3 && (folder.back() == '\\' || folder.back() == '/'))
        folder.pop_back();
    return folder;
}

bool SamePath(const std::string& a, const std::string& b) {
    return CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.c_str(), -1, b.c_str(), -1) ==
           CSTR_EQUAL;
}

struct FileVersion {
    bool known = false;
    uint64_t value = 0; // major, minor, patch, build: 16 bits each
    std::string Text() const {
        char t[48];
        std::snprintf(t, sizeof t, "%u.%u.%u", unsigned(value >> 48),
                      unsigned(value >> 32 & 0xffff), unsigned(value >> 16 & 0xffff));
        return t;
    }
};

FileVersion VersionOf(const std::string& path) {
    FileVersion v;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    if (!size)
        return v;
    std::vector<char> block(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (GetFileVersionInfoA(path.c_str(), 0, size, block.data()) &&
        VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&info), &length) && info &&
        length >= sizeof *info && info->dwSignature == 0xFEEF04BD) {
        v.known = true;
        v.value = uint64_t(info->dwFileVersionMS) << 32 | info->dwFileVersionLS;
    }
    return v;
}

std::string RegistryText(const char* key, const char* name) {
    HKEY h = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE | kView, &h) != ERROR_SUCCESS)
        return {};
    char value[1024] = {};
    DWORD type = 0, size = sizeof value - 1;
    const LONG status =
        RegQueryValueExA(h, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(h);
    return status == ERROR_SUCCESS && type == REG_SZ ? std::string(value) : std::string();
}

std::string UninstallKey() {
    return std::string("Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Kestro32-") +
           kBuild;
}

bool UninstallKeyExists() {
    HKEY h = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, UninstallKey().c_str(), 0, KEY_QUERY_VALUE | kView, &h) !=
        ERROR_SUCCESS)
        return false;
    RegCloseKey(h);
    return true;
}

// What the setup engine reports while it runs a section; everything else is left to its default
// handler, which shows nothing here.
struct QueueReport {
    void* defaults = nullptr;
    std::string failure;
    std::vector<std::string> delayed; // in use: replaced or removed when Windows restarts
};

UINT CALLBACK OnQueueNotice(PVOID context, UINT notice, UINT_PTR param1, UINT_PTR param2) {
    auto* report = static_cast<QueueReport*>(context);
    switch (notice) {
    case SPFILENOTIFY_COPYERROR:
    case SPFILENOTIFY_DELETEERROR:
    case SPFILENOTIFY_RENAMEERROR: {
        const auto* paths = reinterpret_cast<const FILEPATHS_A*>(param1);
        // A file already gone is what removing it wanted.
        if (notice == SPFILENOTIFY_DELETEERROR && (paths->Win32Error == ERROR_FILE_NOT_FOUND ||
                                                   paths->Win32Error == ERROR_PATH_NOT_FOUND))
            return FILEOP_SKIP;
        report->failure =
            std::string(notice == SPFILENOTIFY_COPYERROR ? "cannot copy " : "cannot remove ") +
            (paths->Target ? paths->Target : "") + ": " + SystemMessage(paths->Win32Error);
        return FILEOP_ABORT;
    }
    case SPFILENOTIFY_NEEDMEDIA: { // asked once per source: only a missing file is a failure
        const auto* media = reinterpret_cast<const SOURCE_MEDIA_A*>(param1);
        const std::string file = std::string(media->SourcePath ? media->SourcePath : "") + "\\" +
                                 (media->SourceFile ? media->SourceFile : "");
        if (!IsFile(file)) {
            report->failure = file + " is missing";
            return FILEOP_ABORT;
        }
        break;
    }
    case SPFILENOTIFY_FILEOPDELAYED: {
        const auto* paths = reinterpret_cast<const FILEPATHS_A*>(param1);
        report->delayed.push_back(paths->Target ? paths->Target : "");
        break;
    }
    default:
        break;
    }
    return SetupDefaultQueueCallbackA(report->defaults, notice, param1, param2);
}

struct Inf {
    HINF handle = INVALID_HANDLE_VALUE;
    ~Inf() {
        if (handle != INVALID_HANDLE_VALUE)
            SetupCloseInfFile(handle);
    }
};

// Opens the INF and checks that it installs this build; on failure `problem` says why.
bool OpenInf(const std::string& path, Inf& inf, std::string& problem) {
    if (!IsFile(path)) {
        problem = "there is no INF at " + path + " (run the kestro-host.exe of the package's " +
                  kBuild + " folder, or name it with --inf)";
        return false;
    }
    UINT errorLine = 0;
    inf.handle = SetupOpenInfFileA(path.c_str(), nullptr, INF_STYLE_WIN4, &errorLine);
    if (inf.handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        problem = "cannot read the INF " + path + ": " + SystemMessage(error) +
                  (errorLine ? " (line " + std::to_string(errorLine) + ")" : std::string());
        return false;
    }
    INFCONTEXT line{};
    char name[MAX_PATH] = {};
    if (!SetupFindFirstLineA(inf.handle, "Kestro32.Inf", nullptr, &line) ||
        !SetupGetStringFieldA(&line, 1, name, sizeof name, nullptr)) {
        problem = path + " is not a Kestro32 installer";
        return false;
    }
    if (!SamePath(name, InstalledInfName())) {
        problem = path + " installs the other build (it is copied as " + name + "); this is the " +
                  kBits + " kestro-host, which installs the codec of " + kBits + " programs";
        return false;
    }
    return true;
}

// Runs the install or uninstall section meant for this program's setup engine, the one
// right-click Install would pick on this system for a program of this build.
bool RunSection(const Inf& inf, const char* section, const std::string& sourceFolder,
                QueueReport& report) {
    char actual[256] = {};
    if (!SetupDiGetActualSectionToInstallA(inf.handle, section, actual, sizeof actual, nullptr,
                                           nullptr)) {
        report.failure =
            std::string("no section ") + section + ": " + SystemMessage(GetLastError());
        return false;
    }
    report.defaults = SetupInitDefaultQueueCallbackEx(
        nullptr, static_cast<HWND>(INVALID_HANDLE_VALUE), 0, 0, nullptr);
    const BOOL ok =
        SetupInstallFromInfSectionA(nullptr, inf.handle, actual, SPINST_ALL, nullptr,
                                    sourceFolder.empty() ? nullptr : sourceFolder.c_str(), 0,
                                    OnQueueNotice, &report, nullptr, nullptr);
    const DWORD error = GetLastError();
    SetupTermDefaultQueueCallback(report.defaults);
    if (!ok && report.failure.empty())
        report.failure = std::string("section ") + actual + " failed: " + SystemMessage(error);
    return ok;
}

// The data file the installed settings name, and the folder the installer owns.
std::string InstalledDataFile() {
    const SettingKey& dataFile = SettingKeyOf(&CCodecSettings::dataFileName);
    return kestro::IniValue(kInstalledSettings, kSettingsSection, dataFile.key).value_or("");
}

std::string FolderOf(const std::string& file) {
    return WithoutSlash(DirectoryOf(file));
}

void NoteDelayed(const QueueReport& report) {
    for (const std::string& file : report.delayed)
        Warning(file +
                " is in use (a program has the codec loaded): Windows finishes with it at the "
                "next restart");
}

// After the INF's uninstall: the settings file if it still holds the installed settings, and the
// data folder if it is empty and no user laid a link in its path (the package removes its own).
// Only an empty folder goes: captures and their pieces are never touched.
int RemoveWhatIsLeft(const std::string& ini, bool hasIni, bool removeIni, bool msi) {
    int code = kExitOk;
    if (removeIni) {
        if (DeleteFileA(ini.c_str())) {
            std::printf("  removed %s\n", ini.c_str());
        } else {
            Error("cannot remove " + ini + ": " + SystemMessage(GetLastError()));
            code = kExitPartial;
        }
    } else if (hasIni) {
        std::printf("  kept %s: it holds settings made after installing\n", ini.c_str());
    }
    const std::string ownFolder = FolderOf(InstalledDataFile());
    if (msi || !IsFolder(ownFolder))
        return code;
    if (auto refused = DataFolderRefusal(ownFolder))
        std::printf("  kept %s: %s\n", ownFolder.c_str(), refused->c_str());
    else if (RemoveDirectoryA(ownFolder.c_str()))
        std::printf("  removed the empty data folder %s\n", ownFolder.c_str());
    else
        std::printf("  kept %s and the captures in it\n", ownFolder.c_str());
    return code;
}

// An install: every refusal before anything changes, then the INF, then what an INF cannot do
// (the data folder, permissions for users). Each step returns kExitOk to go on, else the exit code.
class Installer {
public:
    explicit Installer(const InstallOptions& options)
        : infPath_(options.inf), msi_(options.msi), system_(SystemFolder()),
          dll_(system_ + "\\kestro32.dll"), ini_(system_ + "\\kestdisk.ini") {}

    int Run() {
        for (auto step :
             {&Installer::CheckPackage, &Installer::CheckSystem, &Installer::CheckDataFolder,
              &Installer::RunInf, &Installer::PrepareDataFolder, &Installer::LeaveAppsToPackage})
            if (int code = (this->*step)())
                return code;
        PrintInstalled();
        return kExitOk;
    }

private:
    int CheckPackage() {
        if (infPath_.empty()) {
            char self[MAX_PATH] = {};
            GetModuleFileNameA(nullptr, self, MAX_PATH);
            infPath_ = DirectoryOf(self) + "kestro32.inf";
        }
        std::string problem;
        if (!OpenInf(infPath_, inf_, problem)) {
            Error(problem + "; nothing was changed");
            return kExitUsage;
        }
        source_ = DirectoryOf(infPath_);
        for (const char* file : {"kestro32.dll", "kestdisk.ini"})
            if (!IsFile(source_ + file)) {
                Error(source_ + file +
                      " is missing: the package is incomplete; nothing was changed");
                return kExitUsage;
            }
        offered_ = VersionOf(source_ + "kestro32.dll");
        if (!offered_.known) {
            Error(source_ + "kestro32.dll carries no version: it is not a Kestro32 build; "
                            "nothing was changed");
            return kExitUsage;
        }
        return kExitOk;
    }

    int CheckSystem() {
        const FileVersion present = VersionOf(dll_);
        if (present.known && present.value > offered_.value) {
            Error("a newer Kestro32 (" + present.Text() + ") is installed in " + system_ +
                  "; this package is " + offered_.Text() + ". To go back, uninstall the newer " +
                  "one first (its kestro-host uninstall, or Apps). Nothing was changed");
            return kExitUsage;
        }
        iniAttributes_ = Attributes(ini_);
        if (iniAttributes_ != INVALID_FILE_ATTRIBUTES &&
            (iniAttributes_ & FILE_ATTRIBUTE_READONLY)) {
            Error(ini_ + " is read-only: the codec could keep no setting there. Clear the " +
                  "attribute (attrib -r \"" + ini_ + "\") and run install again; nothing was " +
                  "changed");
            return kExitUsage;
        }
        if (!RunsAsAdministrator()) {
            Error("installing needs an administrator: run kestro-host install from a command "
                  "prompt opened with \"Run as administrator\"; nothing was changed");
            return kExitUsage;
        }
        return kExitOk;
    }

    // Before anything changes: the installed data folder is made and opened to users only on a
    // path where no user laid a link. Under the package its own tables make it.
    int CheckDataFolder() {
        std::string settings;
        if (!ReadText(ini_, settings))
            settings = kInstalledSettings; // what the INF is about to write
        ChooseDataFolder(settings);
        if (msi_ || !ownFolder_)
            return kExitOk;
        if (auto refused = DataFolderRefusal(folder_)) {
            Error(*refused + "; nothing was changed");
            return kExitUsage;
        }
        return kExitOk;
    }

    void ChooseDataFolder(const std::string& settings) {
        // The codec's own default when the file names none.
        const SettingKey& dataFile = SettingKeyOf(&CCodecSettings::dataFileName);
        dataFile_ = kestro::IniValue(settings, kSettingsSection, dataFile.key)
                        .value_or(dataFile.fallbackText);
        folder_ = FolderOf(dataFile_);
        ownFolder_ = SamePath(folder_, FolderOf(InstalledDataFile()));
    }

    // The INF copies its settings file only where none exists; a setup engine that ignores that
    // flag (Wine's ignores every per-file flag) must not cost the user theirs.
    int RunInf() {
        std::string kept, settings;
        const bool hadIni = iniAttributes_ != INVALID_FILE_ATTRIBUTES;
        if (hadIni && !ReadText(ini_, kept)) {
            Error("cannot read " + ini_ + "; nothing was changed");
            return kExitUsage;
        }
        QueueReport report;
        const bool installed = RunSection(inf_, "DefaultInstall", source_, report);
        if (hadIni && (!ReadText(ini_, settings) || settings != kept) && !WriteText(ini_, kept)) {
            Error("the INF replaced " + ini_ + " and the settings in it could not be put back: " +
                  SystemMessage(GetLastError()) + ". They were:\n" + kept);
            return kExitPartial;
        }
        if (!installed) {
            Error("installing from " + infPath_ + " stopped: " + report.failure +
                  ". Run kestro-host uninstall to remove what was installed");
            return kExitPartial;
        }
        NoteDelayed(report);
        return kExitOk;
    }

    // Lets users change `path`; the exit code stays kExitOk when that worked.
    void Grant(const std::string& path, bool isFolder, int& code) {
        const DWORD status = GrantUsersModify(path, isFolder);
        if (status != ERROR_SUCCESS) {
            Error("cannot let users change " + path + ": " + SystemMessage(status));
            code = kExitPartial;
        } else if (!UsersMayModify(path, isFolder)) {
            Warning("the permissions of " + path + " read back without the entry for users: " +
                    "this file system keeps no permissions of its own (Wine keeps none either)");
        }
    }

    int PrepareDataFolder() {
        std::string settings;
        if (!ReadText(ini_, settings)) {
            Error("the INF wrote no " + ini_ + "; run install again");
            return kExitPartial;
        }
        ChooseDataFolder(settings);
        int code = kExitOk;
        if (ownFolder_ && !msi_) {
            if (const std::string failed = MakeDataFolderForUsers(folder_); !failed.empty()) {
                Error(failed + "; users were given no rights in it");
                code = kExitPartial;
            }
        } else if (!IsFolder(folder_)) {
            Warning("the settings (" + ini_ + ") name the data file " + dataFile_ +
                    ", but the folder " + folder_ + " does not exist: captures fail until it " +
                    "exists or the codec's settings name another data file");
        }
        Grant(ini_, false, code);
        if (RegistryText(kDrivers32, "vidc.KEST").empty()) {
            Error("the INF did not register vidc.KEST under HKLM\\" + std::string(kDrivers32));
            code = kExitPartial;
        }
        return code;
    }

    // The INF writes an Apps entry of its own for those who install by hand; under the package
    // it would be a second entry whose removal leaves the package's files behind.
    int LeaveAppsToPackage() {
        if (!msi_ || !UninstallKeyExists())
            return kExitOk;
        const LONG status = RegDeleteKeyExA(HKEY_LOCAL_MACHINE, UninstallKey().c_str(), kView, 0);
        if (status != ERROR_SUCCESS) {
            Error("cannot remove the INF's Apps entry HKLM\\" + UninstallKey() + ": " +
                  SystemMessage(status));
            return kExitPartial;
        }
        return kExitOk;
    }

    void PrintInstalled() const {
        std::printf("installed %s %s:\n", Product().c_str(), offered_.Text().c_str());
        std::printf("  codec      %s (vidc.KEST)\n", dll_.c_str());
        std::printf("  settings   %s (users may change them)\n", ini_.c_str());
        std::printf("  data file  %s.000 (%s)\n", dataFile_.c_str(),
                    ownFolder_ ? ("users may write in " + folder_).c_str()
                               : "its folder keeps the permissions it has");
        if (msi_)
            std::printf("  uninstall  Apps > Kestro32 video codec\n");
        else
            std::printf("  uninstall  Apps > Kestro32 video codec (%s), or kestro-host uninstall\n",
                        kBits);
    }

    std::string infPath_;
    const bool msi_;
    const std::string system_, dll_, ini_;
    Inf inf_;
    std::string source_;
    FileVersion offered_{};
    DWORD iniAttributes_ = INVALID_FILE_ATTRIBUTES;
    std::string dataFile_, folder_;
    bool ownFolder_ = false;
};

} // namespace

int RunInstall(const InstallOptions& options) {
    return Installer(options).Run();
}

int RunUninstall(bool msi) {
    const std::string system = SystemFolder();
    const std::string dll = system + "\\kestro32.dll", ini = system + "\\kestdisk.ini";
    const std::string infPath = InfFolder() + "\\" + InstalledInfName();
    if (!IsFile(infPath)) {
        if (IsFile(dll) || !RegistryText(kDrivers32, "vidc.KEST").empty())
            Error(Product() + " was not installed from its INF (there is no " + infPath +
                  "): remove " + dll + " and the value vidc.KEST under HKLM\\" + kDrivers32 +
                  " by hand; nothing was changed");
        else
            Error(Product() + " is not installed (there is no " + infPath +
                  "); nothing was changed");
        if (IsFile(ini))
            Note("the settings " + ini + " stay where they are");
        return kExitUsage;
    }
    std::string settings;
    const bool hasIni = IsFile(ini);
    if (hasIni && !ReadText(ini, settings)) {
        Error("cannot read " + ini + "; nothing was changed");
        return kExitUsage;
    }
    const bool removeIni = hasIni && kestro::SameSettings(settings, kInstalledSettings);
    if (removeIni && (Attributes(ini) & FILE_ATTRIBUTE_READONLY)) {
        Error(ini + " is read-only and cannot be removed: clear the attribute (attrib -r \"" + ini +
              "\") or delete it, then run uninstall again; nothing was changed");
        return kExitUsage;
    }
    if (!RunsAsAdministrator()) {
        Error("uninstalling needs an administrator: run kestro-host uninstall from a command "
              "prompt opened with \"Run as administrator\"; nothing was changed");
        return kExitUsage;
    }
    Inf inf;
    std::string problem;
    if (!OpenInf(infPath, inf, problem)) {
        Error(problem + "; nothing was changed");
        return kExitUsage;
    }
    QueueReport report;
    if (!RunSection(inf, "DefaultUninstall", {}, report)) {
        Error("uninstalling with " + infPath + " stopped: " + report.failure);
        return kExitPartial;
    }
    NoteDelayed(report);
    if (UninstallKeyExists() || !RegistryText(kDrivers32, "vidc.KEST").empty()) {
        Error("the INF's uninstall section left its registry entries (vidc.KEST, "
              "Uninstall\\Kestro32-" +
              std::string(kBuild) + "); the settings file and the data folder were left as well");
        return kExitPartial;
    }
    std::printf("uninstalled %s\n", Product().c_str());
    return RemoveWhatIsLeft(ini, hasIni, removeIni, msi);
}

int RunInstallCommand(const std::string& command, const std::vector<std::string>& args) {
    InstallOptions options;
    for (size_t i = 0; i < args.size(); ++i) {
        if (command == "install" && args[i] == "--inf" && i + 1 < args.size() &&
            !args[i + 1].empty()) {
            options.inf = args[++i];
            continue;
        }
        if (args[i] == "--msi") {
            options.msi = true;
            continue;
        }
        Error("unknown " + command + " option \"" + args[i] + "\"");
        std::fprintf(stderr, "run \"kestro-host --help\" for the commands\n");
        return kExitUsage;
    }
    return command == "install" ? RunInstall(options) : RunUninstall(options.msi);
}

} // namespace host
