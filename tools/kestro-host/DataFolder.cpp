#include "DataFolder.h"

#include <windows.h>

#include <vector>

#include "FolderTrust.h"
#include "Host.h"
#include "HostWin.h"
#include "UserPermissions.h"

namespace host {

namespace {

DWORD Attributes(const std::string& path) {
    return GetFileAttributesA(path.c_str());
}

// The folders from the drive's root down to `folder`, as they are now; a link is seen as itself.
std::vector<kestro::install::PathPart> PartsOf(const std::string& folder) {
    std::vector<kestro::install::PathPart> parts;
    for (size_t at = folder.find('\\', 3);; at = folder.find('\\', at + 1)) {
        const std::string path = folder.substr(0, at);
        const DWORD a = Attributes(path);
        const bool exists = a != INVALID_FILE_ATTRIBUTES;
        parts.push_back({path, exists, exists && (a & FILE_ATTRIBUTE_DIRECTORY),
                         exists && (a & FILE_ATTRIBUTE_REPARSE_POINT)});
        if (at == std::string::npos)
            return parts;
    }
}

// Creates the folder and every missing one above it.
bool CreateFolders(const std::string& folder, std::string& failed) {
    for (size_t at = folder.find('\\', 3);; at = folder.find('\\', at + 1)) {
        const std::string part = folder.substr(0, at);
        const DWORD a = Attributes(part);
        const bool exists = a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
        if (!exists && !CreateDirectoryA(part.c_str(), nullptr) &&
            GetLastError() != ERROR_ALREADY_EXISTS) {
            failed = part + ": " + SystemMessage(GetLastError());
            return false;
        }
        if (at == std::string::npos)
            return true;
    }
}

} // namespace

std::optional<std::string> DataFolderRefusal(const std::string& folder) {
    return kestro::install::DataFolderRefusal(PartsOf(folder), OwnerOf(folder));
}

std::string MakeDataFolderForUsers(const std::string& folder) {
    std::string failed;
    if (!CreateFolders(folder, failed))
        return "cannot create the data folder " + failed;
    // A link laid while the folders were made is found here.
    if (auto refused = DataFolderRefusal(folder))
        return *refused;
    UniqueFile opened(
        CreateFileA(folder.c_str(), READ_CONTROL | WRITE_DAC,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!opened || !GetFileInformationByHandle(opened.get(), &info))
        return "cannot open the data folder " + folder + ": " + SystemMessage(GetLastError());
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return folder + " became a link or a file while it was made";
    // What changes is the folder checked, whatever its name leads to by now.
    const DWORD status = GrantUsersModifyOn(opened.get());
    if (status != ERROR_SUCCESS)
        return "cannot let users change " + folder + ": " + SystemMessage(status);
    if (!UsersMayModify(folder, true))
        Warning("the permissions of " + folder + " read back without the entry for users: this " +
                "file system keeps no permissions of its own (Wine keeps none either)");
    return {};
}

} // namespace host
