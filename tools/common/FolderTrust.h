#pragma once
// Whether an install running with an administrator's rights (or the system's) may make or change
// a folder on a path that standard users can write to: the data folder the installed settings
// name lies in the Public folder, where any user may make folders and links. Plain values: the
// host program reads them from the file system, this decides.
#include <optional>
#include <string>
#include <vector>

namespace kestro::install {

// One folder on the way to the data folder, the drive's root first, the data folder last.
struct PathPart {
    std::string path;    // as far as this folder
    bool exists = false; // there is something of that name
    bool folder = false;
    bool link = false; // a reparse point: a junction, a symbolic link, a mount point
};

// Who owns the data folder where it exists already.
enum class Owner {
    Administrators, // the group, as an elevated administrator's folders are owned
    System,
    Installer, // the user running the install
    Other,     // any other user or group
    Unknown,   // it could not be read
};

// Why the install must not make the data folder or change its permissions: a part that is a link
// (a user may have made it lead into a folder of the system), a part that is no folder, or a data
// folder made before by someone else than an administrator, the system or the installing user.
// Empty when it may. A data folder the install makes itself passes as owned by the installer.
std::optional<std::string> DataFolderRefusal(const std::vector<PathPart>& parts, Owner owner);

} // namespace kestro::install
