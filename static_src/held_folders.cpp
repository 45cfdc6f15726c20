// The folders above a tree that a pack-time spec places. The tree's own
// folder being private is not enough: whoever may rename, replace or write
// a folder above it can swap in a junction between the check and the
// library load and have their own library run as this user. So before a
// spec's place is used, every folder from the volume's root down to the
// one that holds the tree is opened without delete sharing, one after the
// other, and judged through that handle: a real directory, owned by the
// user, SYSTEM or Administrators, and granting no one else the right to
// change or remove what it holds (adding a new name, as every user may at
// a volume's root, is no such right). Held so for the run's life, none of
// them can be renamed, removed or replaced, so a path through them names
// what was judged; below them the tree is private. That is what lets the
// check of the files, the writes and the library load go by path.
//
// Below the user's profile the walk starts at the profile folder: what is
// above it (the volume's root, the folder of all profiles) is the system's.
// So TEMP and the local application data pass as they are; a place
// elsewhere passes where the folders down to it are closed to other users
// (a folder made at a system drive's root inherits write access for every
// authenticated user and does not).
#include "launcher.h"
#include "error_reporting.h"

#include <sddl.h>
#include <string.h>
#include <wchar.h>

static void release_held_folders()
{
    LauncherState &s = launcher_state;
    while (s.held_folder_count > 0)
        CloseHandle(s.held_folders[--s.held_folder_count]);
}

// Index just after the root of a full \\?\ path ("\\?\C:\" or
// "\\?\UNC\server\share\"), or 0 when there is none.
static size_t root_length(const wchar_t *path)
{
    if (wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0) {
        const wchar_t *share = wcschr(path + 8, L'\\');
        const wchar_t *end = share == nullptr ? nullptr : wcschr(share + 1, L'\\');
        return end == nullptr ? 0 : static_cast<size_t>(end - path) + 1;
    }
    if (wcsncmp(path, L"\\\\?\\", 4) == 0 && path[4] != L'\0' && path[5] == L':' && path[6] == L'\\')
        return 7;
    return 0;
}

// NT SERVICE\TrustedInstaller, the account that installs and services
// Windows: on Windows 10 and 11 it owns a system drive's root, C:\Windows
// and C:\Program Files, and is granted full access to the latter two. It
// counts like SYSTEM above a tree.
bool is_trusted_installer(PSID sid)
{
    static unsigned char trusted_installer[SECURITY_MAX_SID_SIZE];
    static bool known;
    auto convert = system_function<decltype(&ConvertStringSidToSidW)>(L"advapi32.dll", "ConvertStringSidToSidW");
    auto equal_sid = system_function<decltype(&EqualSid)>(L"advapi32.dll", "EqualSid");
    auto length_of = system_function<decltype(&GetLengthSid)>(L"advapi32.dll", "GetLengthSid");
    if (!known && convert != nullptr && length_of != nullptr) {
        PSID made = nullptr;
        if (convert(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", &made)) {
            known = length_of(made) <= sizeof trusted_installer;
            if (known)
                memcpy(trusted_installer, made, length_of(made));
            LocalFree(made);
        }
    }
    return known && equal_sid != nullptr && equal_sid(sid, trusted_installer);
}

// The final path of the folder at `path`, as the system resolves it
// (short 8.3 names, letter case, links); false when it cannot be opened.
static bool final_folder_path(const wchar_t *path, wchar_t *final, DWORD capacity)
{
    HANDLE folder = CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return false;
    DWORD length = GetFinalPathNameByHandleW(folder, final, capacity, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    CloseHandle(folder);
    return length != 0 && length < capacity;
}

// Where the walk down `folder` starts: after the user's profile when the
// folder is the profile or below it, else after the volume's root. Below
// is decided on final paths, not on spelling: a TEMP in short form
// (C:\Users\JOHNSM~1\..., usual for a long profile name) or through a
// link is below the profile all the same. The profile is asked of the
// profile service's small library, not of the shell's, which would load a
// dozen more libraries into every reusing start.
static size_t walk_start(const wchar_t *folder)
{
    typedef BOOL(WINAPI * ProfileFunction)(HANDLE, wchar_t *, DWORD *);
    auto profile_directory = system_function<ProfileFunction>(L"userenv.dll", "GetUserProfileDirectoryW");
    auto open_process_token = system_function<decltype(&OpenProcessToken)>(L"advapi32.dll", "OpenProcessToken");
    wchar_t profile[MAX_PATH];
    DWORD size = static_cast<DWORD>(array_count(profile));
    static wchar_t profile_final[system_path_capacity], prefix[system_path_capacity], prefix_final[system_path_capacity];
    HANDLE token = nullptr;
    bool known = profile_directory != nullptr && open_process_token != nullptr &&
                 open_process_token(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                 profile_directory(token, profile, &size) &&
                 final_folder_path(profile, profile_final, static_cast<DWORD>(array_count(profile_final)));
    if (token != nullptr)
        CloseHandle(token);
    size_t root = root_length(folder);
    if (!known || root == 0)
        return root;
    // Each folder from the root down, until one is the profile itself.
    copy_wide_text(prefix, folder, array_count(prefix));
    size_t length = wcslen(prefix);
    for (size_t end = root; end < length;) {
        const wchar_t *next = wcschr(prefix + end, L'\\');
        end = next == nullptr ? length : static_cast<size_t>(next - prefix);
        wchar_t kept = prefix[end];
        prefix[end] = L'\0';
        bool profile_here = final_folder_path(prefix, prefix_final, static_cast<DWORD>(array_count(prefix_final))) &&
                            CompareStringOrdinal(prefix_final, -1, profile_final, -1, TRUE) == CSTR_EQUAL;
        prefix[end] = kept;
        if (profile_here)
            return end;
        end++;
    }
    return root;
}

// Opens the folder `path` ends at, not following a reparse point, and
// keeps it if it may stand above a tree. The traverse right is what makes
// the hold: only a handle with a right to read, write or delete takes part
// in the system's sharing checks, so one with read-control and attributes
// alone would let a rename or removal through whatever it shares.
static bool hold_folder(const wchar_t *path)
{
    LauncherState &s = launcher_state;
    if (s.held_folder_count == static_cast<int32_t>(array_count(s.held_folders)))
        return false;
    HANDLE folder = CreateFileW(path, FILE_TRAVERSE | READ_CONTROL | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return false;
    s.held_folders[s.held_folder_count++] = folder;
    return directory_is_private(folder, true);
}

bool hold_folders_above(const wchar_t *path)
{
    release_held_folders();
    wchar_t folder[system_path_capacity];
    if (!make_prefixed_path(folder, array_count(folder), path))
        return false;
    const wchar_t *last = wcsrchr(folder, L'\\');
    size_t start = walk_start(folder);
    if (last == nullptr || start == 0)
        return false;  // not a path on a volume
    // The folder that holds the tree: the root keeps its backslash.
    size_t folder_end = static_cast<size_t>(last - folder);
    if (folder_end + 1 == start)
        folder_end = start;
    if (folder_end < start)
        return false;
    folder[folder_end] = L'\0';
    // The root (with its backslash) or the profile first, then one more
    // component each time.
    for (size_t end = start;;) {
        wchar_t kept = folder[end];
        folder[end] = L'\0';
        bool held = hold_folder(folder);
        folder[end] = kept;
        if (!held) {
            release_held_folders();
            return false;
        }
        if (end == folder_end)
            return true;
        const wchar_t *next = wcschr(folder + end + 1, L'\\');
        end = next == nullptr ? folder_end : static_cast<size_t>(next - folder);
    }
}

void place_per_run_directory()
{
    LauncherState &s = launcher_state;
    if (s.reuse_tree || s.unpack_path_spec[0] == L'\0')
        return;  // a reused tree is placed by its own check; the default place needs none
    if (s.child_role) {
        wchar_t *directory = read_environment_variable("VESKAR_ONEFILE_TREE");
        if (directory != nullptr)
            copy_wide_text(s.unpack_directory, directory, array_count(s.unpack_directory));
        return;
    }
    ensure_parent_chain(s.unpack_directory);  // what is missing is made, then judged as well
    if (!hold_folders_above(s.unpack_directory) &&
        !expand_path_spec(s.unpack_directory, default_unpack_path_spec, array_count(s.unpack_directory)))
        report_spec_expansion_failure(default_unpack_path_spec);
    write_environment_variable("VESKAR_ONEFILE_TREE", s.unpack_directory);
}
