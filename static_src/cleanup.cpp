// Removing a tree: the unpack directory at the end of a run, and trees of
// launchers that are gone.
#include "launcher.h"

#include <string.h>
#include <wchar.h>

// The unpack directory as a full \\?\ path in removal_path, so that no
// length limit and no name rewriting applies; its length, or 0.
static size_t prepare_removal_root(RemovalWalk &walk, const wchar_t *directory)
{
    wchar_t *path = walk.path;
    const size_t room = array_count(walk.path) - 8;  // kept for the longest prefix, \\?\UNC\ .
    wchar_t *full = path + 8;
    DWORD length = GetFullPathNameW(directory, static_cast<DWORD>(room), full, nullptr);
    if (length == 0 || length >= room)
        return 0;
    const wchar_t *prefix = L"\\\\?\\";
    if (wcsncmp(full, L"\\\\?\\", 4) == 0 || wcsncmp(full, L"\\\\.\\", 4) == 0) {
        prefix = L"";
    } else if (full[0] == L'\\' && full[1] == L'\\') {
        prefix = L"\\\\?\\UNC";  // \\server\share\x becomes \\?\UNC\server\share\x
        full += 1;
        length -= 1;
    }
    size_t prefix_length = wcslen(prefix);
    memmove(path + prefix_length, full, (static_cast<size_t>(length) + 1) * sizeof(wchar_t));
    memcpy(path, prefix, prefix_length * sizeof(wchar_t));
    return prefix_length + length;
}

// Appends "\" and `name` to removal_path at `length`; the new length, or 0
// when it would not fit (that entry is then left alone).
static size_t extend_removal_path(RemovalWalk &walk, size_t length, const wchar_t *name)
{
    size_t name_length = wcslen(name);
    if (length + 1 + name_length >= array_count(walk.path))
        return 0;
    walk.path[length] = L'\\';
    memcpy(walk.path + length + 1, name, (name_length + 1) * sizeof(wchar_t));
    return length + 1 + name_length;
}

// What the walk does with an entry it meets: a real directory is entered
// and emptied first; anything else is deleted as a name. A reparse point
// (a junction or a symbolic link the application made) is never entered:
// the link goes, what it points to stays untouched.
RemovalAction removal_action(DWORD attributes)
{
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? removal_remove_directory : removal_delete_file;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? removal_enter_directory : removal_delete_file;
}

// Deletes one name, as removal_action says; an entered directory once it
// is empty. Read-only entries would refuse deletion.
static void delete_entry(const wchar_t *path, DWORD attributes)
{
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        DWORD writable = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
        SetFileAttributesW(path, writable == 0 ? FILE_ATTRIBUTE_NORMAL : writable);
    }
    if (removal_action(attributes) == removal_delete_file)
        DeleteFileW(path);
    else
        RemoveDirectoryW(path);
}

static HANDLE open_search(RemovalWalk &walk, size_t length)
{
    if (extend_removal_path(walk, length, L"*") == 0)
        return INVALID_HANDLE_VALUE;
    HANDLE search = FindFirstFileExW(walk.path, FindExInfoBasic, &walk.entry, FindExSearchNameMatch,
                                     nullptr, FIND_FIRST_EX_LARGE_FETCH);
    walk.path[length] = L'\0';
    return search;
}

// One pass over the tree: files first, then each directory once it is
// empty, bottom-up. Depth first with one open search per level instead of
// recursion, so the depth of the tree never meets the thread's stack.
// What cannot be deleted now stays for the next pass.
static void remove_tree_once(RemovalWalk &walk, size_t root_length)
{
    walk.path[root_length] = L'\0';
    DWORD root_attributes = GetFileAttributesW(walk.path);
    if (root_attributes == INVALID_FILE_ATTRIBUTES)
        return;
    if (removal_action(root_attributes) != removal_enter_directory) {
        delete_entry(walk.path, root_attributes);
        return;
    }
    size_t depth = 0;
    walk.lengths[0] = root_length;
    walk.searches[0] = open_search(walk, root_length);
    bool have_entry = walk.searches[0] != INVALID_HANDLE_VALUE;
    for (;;) {
        size_t length = walk.lengths[depth];
        if (!have_entry) {
            // This level is listed to its end: the directory itself goes.
            if (walk.searches[depth] != INVALID_HANDLE_VALUE)
                FindClose(walk.searches[depth]);
            walk.path[length] = L'\0';
            DWORD attributes = GetFileAttributesW(walk.path);
            if (attributes != INVALID_FILE_ATTRIBUTES)
                delete_entry(walk.path, attributes | FILE_ATTRIBUTE_DIRECTORY);
            if (depth == 0)
                return;
            depth--;
            walk.path[walk.lengths[depth]] = L'\0';
            have_entry = FindNextFileW(walk.searches[depth], &walk.entry) != FALSE;
            continue;
        }
        const wchar_t *name = walk.entry.cFileName;
        DWORD attributes = walk.entry.dwFileAttributes;
        bool dots = name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
        size_t entry_length = dots ? 0 : extend_removal_path(walk, length, name);
        if (entry_length != 0) {
            bool real_directory = removal_action(attributes) == removal_enter_directory;
            if (real_directory && depth + 1 < array_count(walk.searches)) {
                depth++;
                walk.lengths[depth] = entry_length;
                walk.searches[depth] = open_search(walk, entry_length);
                have_entry = walk.searches[depth] != INVALID_HANDLE_VALUE;
                continue;
            }
            if (!real_directory)
                delete_entry(walk.path, attributes);
            walk.path[length] = L'\0';
        }
        have_entry = FindNextFileW(walk.searches[depth], &walk.entry) != FALSE;
    }
}

static bool removal_root_remains(RemovalWalk &walk, size_t root_length)
{
    walk.path[root_length] = L'\0';
    return GetFileAttributesW(walk.path) != INVALID_FILE_ATTRIBUTES;
}

void remove_tree(RemovalWalk &walk, const wchar_t *path)
{
    size_t root_length = prepare_removal_root(walk, path);
    if (root_length == 0)
        return;
    // A file still held open by a process that is ending gets about two
    // seconds; the directory's absence is the judge.
    remove_tree_once(walk, root_length);
    for (int retry = 0; retry < 20 && removal_root_remains(walk, root_length); retry++) {
        Sleep(100);
        remove_tree_once(walk, root_length);
    }
}

bool remove_tree_unless_held(RemovalWalk &walk, const wchar_t *path)
{
    // Exclusive: fails while any process has the directory open.
    HANDLE root = CreateFileW(path, DELETE | FILE_LIST_DIRECTORY, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (root == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION information;
    bool real_directory = GetFileInformationByHandle(root, &information) &&
                          removal_action(information.dwFileAttributes) == removal_enter_directory;
    CloseHandle(root);
    if (real_directory)
        remove_tree(walk, path);
    return real_directory;
}
