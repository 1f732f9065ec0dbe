#pragma once
// What an install changes in permissions, and who may make the change.
#include <windows.h>

#include <string>

namespace host {

// An elevated administrator: under UAC an administrator's ordinary token holds the group only
// for denying, and CheckTokenMembership then answers no.
bool RunsAsAdministrator();

// Adds "Users: Modify" to the object's permissions (inherited by everything inside a folder),
// keeping what is there. Returns the error, or ERROR_SUCCESS.
DWORD GrantUsersModify(const std::string& path, bool folder);

// Read back: an allowing entry for Users with every right of Modify (and, on a folder, passed on
// to files and folders inside).
bool UsersMayModify(const std::string& path, bool folder);

} // namespace host
