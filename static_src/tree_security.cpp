// Who may change a tree. A reused tree and the folders above it are trusted
// only when nobody but the user, SYSTEM and Administrators could have
// changed what is there; a tree that someone else could have changed is
// neither used nor removed.
#include "launcher.h"

#include <aclapi.h>

// Its owner must be the user, and only the user, SYSTEM and Administrators
// may be granted any kind of write.
bool security_is_private(PSECURITY_DESCRIPTOR descriptor, PSID user, bool above_tree)
{
    const wchar_t *library = L"advapi32.dll";
    auto get_owner = system_function<decltype(&GetSecurityDescriptorOwner)>(library, "GetSecurityDescriptorOwner");
    auto get_dacl = system_function<decltype(&GetSecurityDescriptorDacl)>(library, "GetSecurityDescriptorDacl");
    auto get_ace = system_function<decltype(&GetAce)>(library, "GetAce");
    auto equal_sid = system_function<decltype(&EqualSid)>(library, "EqualSid");
    auto well_known = system_function<decltype(&IsWellKnownSid)>(library, "IsWellKnownSid");
    if (get_owner == nullptr || get_dacl == nullptr || get_ace == nullptr || equal_sid == nullptr ||
        well_known == nullptr)
        return false;
    PSID owner = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    PACL dacl = nullptr;
    if (!get_owner(descriptor, &owner, &defaulted) || owner == nullptr ||
        !(equal_sid(owner, user) || (above_tree && (well_known(owner, WinLocalSystemSid) ||
                                                    well_known(owner, WinBuiltinAdministratorsSid) ||
                                                    is_trusted_installer(owner)))))
        return false;
    if (!get_dacl(descriptor, &present, &dacl, &defaulted) || !present || dacl == nullptr)
        return false;  // no list at all grants everyone everything
    // Above a tree, adding a file or a folder (as every user may at a
    // volume's root) only plants a new name: every folder on the way
    // exists and is held, and a name planted where the tree goes is not
    // the user's and fails this check itself. Changing or removing what is
    // there still counts.
    const ACCESS_MASK add_access = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY;
    const ACCESS_MASK write_access = (FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                                      FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                      GENERIC_ALL) &
                                     ~(above_tree ? add_access : 0);
    for (DWORD i = 0; i < dacl->AceCount; i++) {
        ACE_HEADER *header = nullptr;
        if (!get_ace(dacl, i, reinterpret_cast<void **>(&header)))
            return false;
        // An inherit-only entry grants nothing here but everything it names
        // to what the application creates inside a tree: there it counts.
        if (header->AceType == ACCESS_DENIED_ACE_TYPE || (above_tree && (header->AceFlags & INHERIT_ONLY_ACE) != 0))
            continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE)
            return false;  // callback and object entries are not read here: not trusted
        ACCESS_ALLOWED_ACE *ace = reinterpret_cast<ACCESS_ALLOWED_ACE *>(header);
        PSID sid = &ace->SidStart;
        if ((ace->Mask & write_access) != 0 && !equal_sid(sid, user) && !well_known(sid, WinLocalSystemSid) &&
            !well_known(sid, WinBuiltinAdministratorsSid) && !(above_tree && is_trusted_installer(sid)))
            return false;
    }
    return true;
}

// A real directory (not a link) that only the user and the system can
// change; `directory` is open with read-control access.
bool directory_is_private(HANDLE directory, bool above_tree)
{
    if (directory == INVALID_HANDLE_VALUE)
        return false;
    auto get_security = system_function<decltype(&GetSecurityInfo)>(L"advapi32.dll", "GetSecurityInfo");
    BY_HANDLE_FILE_INFORMATION information = {};
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PSID user = const_cast<SID *>(current_user_sid());
    bool result = user != nullptr && get_security != nullptr && GetFileInformationByHandle(directory, &information) &&
                  (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                  (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
                  get_security(directory, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                               nullptr, nullptr, nullptr, nullptr, &descriptor) == ERROR_SUCCESS &&
                  security_is_private(descriptor, user, above_tree);
    if (descriptor != nullptr)
        LocalFree(descriptor);
    return result;
}
