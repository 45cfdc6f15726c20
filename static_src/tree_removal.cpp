// Removing a tree: the unpack directory at exit, and trees that launchers
// which are gone left behind. The walk goes by handles, never by path below
// the root: each entry is opened relative to its directory's handle without
// following a reparse point, judged by what that handle shows, and deleted
// through it. A directory swapped for a junction after it was listed is
// then a link that goes as a name, never a way out of the tree.
#include "launcher.h"

#include <string.h>
#include <wchar.h>
#include <winternl.h>

typedef NTSTATUS(NTAPI *NtOpenFileFunction)(HANDLE *, ACCESS_MASK, OBJECT_ATTRIBUTES *, IO_STATUS_BLOCK *, ULONG, ULONG);
typedef NTSTATUS(NTAPI *NtQueryDirectoryFileFunction)(HANDLE, HANDLE, void *, void *, IO_STATUS_BLOCK *, void *, ULONG,
                                                      FILE_INFORMATION_CLASS, BOOLEAN, UNICODE_STRING *, BOOLEAN);

enum : DWORD {
    // Every name is opened with these: enough to judge it, enter it and
    // delete it, none that another process's sharing could refuse but
    // deletion itself, and list access only for what the listing calls a
    // directory.
    removal_entry_access = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
    removal_share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
    // FILE_DISPOSITION_INFO_EX's class, which the headers hide below Windows 10.
    file_disposition_info_ex = 21,
};

// What the walk does with an entry, from the attributes its own handle
// shows: a real directory is entered and emptied first; anything else is
// deleted as a name. A reparse point (a junction or a symbolic link the
// application made) is never entered: the link goes, what it points to
// stays untouched.
RemovalAction removal_action(DWORD attributes)
{
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? removal_remove_directory : removal_delete_file;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? removal_enter_directory : removal_delete_file;
}

// The tree's root as a full \\?\ path in root_path, so that no length limit
// and no name rewriting applies; false when it does not fit.
static bool prepare_removal_root(RemovalWalk &walk, const wchar_t *path)
{
    return make_prefixed_path(walk.root_path, array_count(walk.root_path), path);
}

// The attributes of what `handle` is, or INVALID_FILE_ATTRIBUTES.
static DWORD handle_attributes(HANDLE handle)
{
    FILE_ATTRIBUTE_TAG_INFO information;
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &information, sizeof information))
        return INVALID_FILE_ATTRIBUTES;
    return information.FileAttributes;
}

// Deletes the name `handle` was opened by; a directory only once it is
// empty. Where the system can, read-only is ignored and the name goes at
// once; elsewhere read-only is cleared through the handle and put back
// after the deletion is set, because the attribute belongs to the file and
// other names of it (hard links outside the tree) must keep it.
static void delete_by_handle(HANDLE handle)
{
    FILE_DISPOSITION_INFO_EX extended = {FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS |
                                         FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE};
    if (SetFileInformationByHandle(handle, static_cast<FILE_INFO_BY_HANDLE_CLASS>(file_disposition_info_ex),
                                   &extended, sizeof extended))
        return;
    FILE_DISPOSITION_INFO plain = {TRUE};
    if (SetFileInformationByHandle(handle, FileDispositionInfo, &plain, sizeof plain))
        return;
    FILE_BASIC_INFO basic;
    if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) ||
        (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0)
        return;
    DWORD attributes = basic.FileAttributes;
    memset(&basic, 0, sizeof basic);  // times of zero stay as they are
    basic.FileAttributes = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (basic.FileAttributes == 0)
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (!SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic))
        return;
    SetFileInformationByHandle(handle, FileDispositionInfo, &plain, sizeof plain);
    basic.FileAttributes = attributes;
    SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic);
}

// Opens the root, not following a reparse point, with `share`; or
// INVALID_HANDLE_VALUE.
static HANDLE open_root(const RemovalWalk &walk, DWORD share)
{
    return CreateFileW(walk.root_path, removal_entry_access | FILE_LIST_DIRECTORY, share, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// One pass over the tree below `root`, an opened real directory: entries
// as listed, each directory emptied before it goes, the root last.
// Depth first with one open directory per level instead of recursion, so
// the depth of the tree never meets the thread's stack. What cannot be
// deleted now stays for the next pass.
static void remove_tree_once(RemovalWalk &walk, HANDLE root)
{
    auto open_file = system_function<NtOpenFileFunction>(L"ntdll.dll", "NtOpenFile");
    auto query_directory = system_function<NtQueryDirectoryFileFunction>(L"ntdll.dll", "NtQueryDirectoryFile");
    if (open_file == nullptr || query_directory == nullptr)
        return;
    auto *entry = reinterpret_cast<FILE_FULL_DIR_INFORMATION *>(walk.entry);
    size_t depth = 0;
    walk.directories[0] = root;
    for (;;) {
        if (walk.may_go_on != nullptr && !walk.may_go_on()) {
            // Asked to end: what is left stays for a later walk.
            for (; depth > 0; depth--)
                CloseHandle(walk.directories[depth]);
            return;
        }
        IO_STATUS_BLOCK status_block;
        NTSTATUS listed = query_directory(walk.directories[depth], nullptr, nullptr, nullptr, &status_block, walk.entry,
                                          sizeof walk.entry, FileFullDirectoryInformation, TRUE, nullptr, FALSE);
        if (listed != 0) {
            // This level is listed to its end (or cannot be listed): the
            // directory itself goes.
            delete_by_handle(walk.directories[depth]);
            walk.removed++;
            if (depth == 0)
                return;
            CloseHandle(walk.directories[depth]);
            depth--;
            continue;
        }
        const wchar_t *name = entry->FileName;
        size_t name_length = entry->FileNameLength / sizeof(wchar_t);
        if (name[0] == L'.' && (name_length == 1 || (name_length == 2 && name[1] == L'.')))
            continue;
        // The listing only chooses whether to ask for list access.
        bool listed_directory = removal_action(entry->FileAttributes) == removal_enter_directory;
        UNICODE_STRING relative_name;
        relative_name.Buffer = const_cast<wchar_t *>(name);
        relative_name.Length = relative_name.MaximumLength = static_cast<USHORT>(entry->FileNameLength);
        OBJECT_ATTRIBUTES object;
        InitializeObjectAttributes(&object, &relative_name, 0, walk.directories[depth], nullptr);
        HANDLE opened;
        if (open_file(&opened, removal_entry_access | (listed_directory ? FILE_LIST_DIRECTORY : 0), &object,
                      &status_block, removal_share, FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT) != 0)
            continue;
        // Only what the handle shows to be a real directory is entered;
        // anything else, whatever it has become since it was listed, goes
        // as a name (a directory only when empty).
        if (listed_directory && depth + 1 < array_count(walk.directories) &&
            removal_action(handle_attributes(opened)) == removal_enter_directory) {
            walk.directories[++depth] = opened;
            continue;
        }
        delete_by_handle(opened);
        walk.removed++;
        CloseHandle(opened);
    }
}

// Passes over the tree with the root opened with `share`: one, then while
// the root remains about two seconds more for a file still held by a
// process that is ending; the root's absence is the judge. With `share` 0
// the root is opened exclusively: false, and nothing removed, when the
// first opening fails or finds no real directory; and one pass only, since
// a file still in use in a dead launcher's tree is a later start's to
// remove, not a reason to keep the parent from ending.
static bool remove_tree_passes(RemovalWalk &walk, const wchar_t *path, DWORD share)
{
    if (!prepare_removal_root(walk, path))
        return false;
    for (int pass = 0; pass <= (share == 0 ? 0 : 20); pass++) {
        if (pass > 0) {
            if (GetFileAttributesW(walk.root_path) == INVALID_FILE_ATTRIBUTES)
                return true;
            Sleep(100);
        }
        HANDLE root = open_root(walk, share);
        if (root == INVALID_HANDLE_VALUE) {
            if (pass == 0 && share == 0)
                return false;
            continue;
        }
        DWORD attributes = handle_attributes(root);
        if (removal_action(attributes) == removal_enter_directory) {
            remove_tree_once(walk, root);
        } else if (share == 0 || attributes == INVALID_FILE_ATTRIBUTES) {
            CloseHandle(root);
            return false;
        } else {
            delete_by_handle(root);  // a link or a file: the name goes
        }
        CloseHandle(root);
    }
    return true;
}

void remove_tree(RemovalWalk &walk, const wchar_t *path)
{
    remove_tree_passes(walk, path, removal_share);
}

bool remove_tree_unless_held(RemovalWalk &walk, const wchar_t *path)
{
    return remove_tree_passes(walk, path, 0);
}
