#pragma once
// What an install changes in permissions, and who may make the change.
#include <windows.h>

#include <string>

#include "FolderTrust.h"

namespace host {

// An elevated administrator: under UAC an administrator's ordinary token holds the group only
// for denying, and CheckTokenMembership then answers no.
bool RunsAsAdministrator();

// Adds "Users: Modify" to the object's permissions (inherited by everything inside a folder),
// keeping what is there. Returns the error, or ERROR_SUCCESS.
DWORD GrantUsersModify(const std::string& path, bool folder);
// The same on the folder open as `folder` (with READ_CONTROL and WRITE_DAC): what was checked is
// what changes, whatever replaced its name meanwhile.
DWORD GrantUsersModifyOn(HANDLE folder);

// Who owns the file or folder at `path`.
kestro::install::Owner OwnerOf(const std::string& path);

// Read back: an allowing entry for Users with every right of Modify (and, on a folder, passed on
// to files and folders inside).
bool UsersMayModify(const std::string& path, bool folder);

} // namespace host
