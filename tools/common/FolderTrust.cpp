#include "FolderTrust.h"

namespace kestro::install {

std::optional<std::string> DataFolderRefusal(const std::vector<PathPart>& parts, Owner owner) {
    if (parts.empty())
        return "the data folder has no path";
    for (const PathPart& part : parts) {
        if (!part.exists)
            return std::nullopt; // the install makes this one and the rest itself
        if (part.link)
            return part.path + " is a link (a junction or a symbolic link), which any user may " +
                   "have made to lead into a folder of the system: the install follows none; " +
                   "remove it and run install again";
        if (!part.folder)
            return part.path + " is a file, not a folder";
    }
    switch (owner) {
    case Owner::Administrators:
    case Owner::System:
    case Owner::Installer:
        return std::nullopt;
    case Owner::Other:
        return "the data folder " + parts.back().path + " was made by another user (neither the " +
               "administrators nor the system own it): the install gives users no rights in it; " +
               "move it away and run install again";
    case Owner::Unknown:
        break;
    }
    return "the owner of the data folder " + parts.back().path + " cannot be read";
}

} // namespace kestro::install
