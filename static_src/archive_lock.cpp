// The lock that makes starts of one archive take turns while one of them
// unpacks, mends or publishes its tree: a file `<tree>.lock` beside the
// tree, opened without sharing and removed when its last holder closes it.
// A file in the user's own folder is one lock for all of the user's
// sessions (a scheduled task, a second remote session), where a named
// object would be one per session; and no other user can take it, since a
// lock file that is not the user's own is never counted as the lock.
// A killed holder releases it with its handles.
#include "launcher.h"

#include <aclapi.h>

// How long a start waits for another start of the same archive that
// unpacks, mends or publishes: a first unpack of a large application under
// a slow virus scanner takes seconds, a hung or suspended one for ever.
// After this the start runs from a directory of its own in TEMP instead.
enum : DWORD { archive_lock_wait_ms = 20000, archive_lock_poll_ms = 20 };

// Whether the user owns the open file.
static bool owned_by_user(HANDLE file)
{
    auto get_security = system_function<decltype(&GetSecurityInfo)>(L"advapi32.dll", "GetSecurityInfo");
    auto equal_sid = system_function<decltype(&EqualSid)>(L"advapi32.dll", "EqualSid");
    const SID *user = current_user_sid();
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    bool owned = get_security != nullptr && equal_sid != nullptr && user != nullptr &&
                 get_security(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                              &descriptor) == ERROR_SUCCESS &&
                 owner != nullptr && equal_sid(owner, const_cast<SID *>(user));
    if (descriptor != nullptr)
        LocalFree(descriptor);
    return owned;
}

ArchiveLock lock_archive(const wchar_t *tree, HANDLE &lock)
{
    wchar_t path[path_capacity];
    copy_wide_text(path, tree, array_count(path));
    append_wide_text(path, L".lock", array_count(path));
    SystemPath system;
    const wchar_t *name = system_path(system, path);
    lock = INVALID_HANDLE_VALUE;
    for (DWORD waited = 0;; waited += archive_lock_poll_ms) {
        lock = CreateFileW(name, GENERIC_READ | DELETE, 0, private_directory_security(), OPEN_ALWAYS,
                           FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (lock != INVALID_HANDLE_VALUE)
            break;
        // Held by another start, or removed by its last holder just now.
        DWORD error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED)
            return archive_lock_untrusted;
        if (waited >= archive_lock_wait_ms)
            return archive_lock_timed_out;
        Sleep(archive_lock_poll_ms);
    }
    if (!owned_by_user(lock)) {
        CloseHandle(lock);
        lock = INVALID_HANDLE_VALUE;
        return archive_lock_untrusted;
    }
    return archive_lock_had;
}

void unlock_archive(HANDLE lock)
{
    if (lock != INVALID_HANDLE_VALUE)
        CloseHandle(lock);
}
