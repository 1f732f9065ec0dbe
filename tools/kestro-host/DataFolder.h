#pragma once
// The installed data folder, on a path where standard users may make folders and links: checked
// for links and owners before the install makes it, and given to users only as itself.
#include <optional>
#include <string>

namespace host {

// Why the install must not make `folder` or give users rights in it (a link on its path, a file
// in its place, a folder another user made); empty when it may.
std::optional<std::string> DataFolderRefusal(const std::string& folder);

// Makes `folder` and the folders above it, checks it again and, opened as itself, adds
// "Users: Modify" (inherited); what went wrong, else empty. Warns where the permissions do not
// read back.
std::string MakeDataFolderForUsers(const std::string& folder);

} // namespace host
