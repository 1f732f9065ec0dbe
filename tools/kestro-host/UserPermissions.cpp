#include "UserPermissions.h"

#include <aclapi.h>

namespace host {

bool RunsAsAdministrator() {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    BOOL member = FALSE;
    return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size) &&
           CheckTokenMembership(nullptr, sid, &member) && member;
}

namespace {

// What "Modify" grants in a file's or folder's permissions: read, write, run, delete.
constexpr DWORD kModify = FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE;

struct UsersSid {
    BYTE bytes[SECURITY_MAX_SID_SIZE];
    bool ok;
    UsersSid() {
        DWORD size = sizeof bytes;
        ok = CreateWellKnownSid(WinBuiltinUsersSid, nullptr, bytes, &size);
    }
    PSID get() { return bytes; }
};

} // namespace

DWORD GrantUsersModify(const std::string& path, bool folder) {
    UsersSid users;
    if (!users.ok)
        return GetLastError();
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD status = GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                         nullptr, nullptr, &dacl, nullptr, &descriptor);
    if (status != ERROR_SUCCESS)
        return status;
    EXPLICIT_ACCESSA access{};
    access.grfAccessPermissions = kModify;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = folder ? SUB_CONTAINERS_AND_OBJECTS_INHERIT : NO_INHERITANCE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = reinterpret_cast<LPSTR>(users.get());
    PACL updated = nullptr;
    status = SetEntriesInAclA(1, &access, dacl, &updated);
    if (status == ERROR_SUCCESS)
        status =
            SetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION, nullptr, nullptr, updated, nullptr);
    LocalFree(updated);
    LocalFree(descriptor);
    return status;
}

bool UsersMayModify(const std::string& path, bool folder) {
    UsersSid users;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!users.ok ||
        GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    bool found = false;
    for (DWORD i = 0; dacl && i < dacl->AceCount && !found; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)) ||
            ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;
        const BYTE inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
        found = EqualSid(&ace->SidStart, users.get()) && (ace->Mask & kModify) == kModify &&
                !(ace->Header.AceFlags & INHERIT_ONLY_ACE) &&
                (!folder || (ace->Header.AceFlags & inherit) == inherit);
    }
    LocalFree(descriptor);
    return found;
}

} // namespace host
