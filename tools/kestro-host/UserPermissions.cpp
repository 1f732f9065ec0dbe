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

namespace {

// `dacl` with "Users: Modify" added; the caller frees it with LocalFree.
DWORD WithUsersModify(PACL dacl, bool folder, PACL& updated) {
    UsersSid users;
    if (!users.ok)
        return GetLastError();
    EXPLICIT_ACCESSA access{};
    access.grfAccessPermissions = kModify;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = folder ? SUB_CONTAINERS_AND_OBJECTS_INHERIT : NO_INHERITANCE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = reinterpret_cast<LPSTR>(users.get());
    return SetEntriesInAclA(1, &access, dacl, &updated);
}

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
    BYTE known[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof known;
    return CreateWellKnownSid(type, nullptr, known, &size) && EqualSid(sid, known);
}

bool IsThisUser(PSID sid) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    const bool same = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
                      EqualSid(sid, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
    CloseHandle(token);
    return same;
}

} // namespace

DWORD GrantUsersModify(const std::string& path, bool folder) {
    PACL dacl = nullptr, updated = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD status = GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                         nullptr, nullptr, &dacl, nullptr, &descriptor);
    if (status != ERROR_SUCCESS)
        return status;
    status = WithUsersModify(dacl, folder, updated);
    if (status == ERROR_SUCCESS)
        status =
            SetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION, nullptr, nullptr, updated, nullptr);
    LocalFree(updated);
    LocalFree(descriptor);
    return status;
}

DWORD GrantUsersModifyOn(HANDLE folder) {
    PACL dacl = nullptr, updated = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD status = GetSecurityInfo(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                   nullptr, &dacl, nullptr, &descriptor);
    if (status != ERROR_SUCCESS)
        return status;
    status = WithUsersModify(dacl, true, updated);
    if (status == ERROR_SUCCESS)
        status = SetSecurityInfo(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                 nullptr, updated, nullptr);
    LocalFree(updated);
    LocalFree(descriptor);
    return status;
}

kestro::install::Owner OwnerOf(const std::string& path) {
    using kestro::install::Owner;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                              nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS ||
        !owner) {
        LocalFree(descriptor);
        return Owner::Unknown;
    }
    const Owner found = IsWellKnown(owner, WinBuiltinAdministratorsSid) ? Owner::Administrators
                        : IsWellKnown(owner, WinLocalSystemSid)         ? Owner::System
                        : IsThisUser(owner)                             ? Owner::Installer
                                                                        : Owner::Other;
    LocalFree(descriptor);
    return found;
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
