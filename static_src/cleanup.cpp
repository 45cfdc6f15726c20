// Ending the parent role: the child and the unpack directory, at the normal
// end, on console interrupt, close, logoff and shutdown, and after a failed
// start.
#include "launcher.h"

#include <string.h>
#include <wchar.h>

// The child process handle is shared by the main thread (which waits on it)
// and the interrupt thread (which may wait on it, terminate the child and
// let it go). Whoever takes it out of the field by atomic exchange owns the
// child; a thread that finds the field empty has lost it. The handle must
// not be closed while the other thread may still be inside a wait on it, so
// the taking thread and the losing thread each release it once they are done
// with it, and the second release closes it. When the main thread takes it,
// the interrupt thread never touched it, and the main thread closes it alone.
void release_child_handle(HANDLE handle)
{
    if (InterlockedIncrement(&launcher_state.child_handle_releases) == 2)
        CloseHandle(handle);
}

static void end_child()
{
    LauncherState &s = launcher_state;
    HANDLE child = static_cast<HANDLE>(InterlockedExchangePointer(const_cast<HANDLE *>(&s.child_process), nullptr));
    if (child == nullptr)
        return;
    if (WaitForSingleObject(child, 5000) != WAIT_OBJECT_0)
        TerminateProcess(child, 0);
    release_child_handle(child);
}

// `root` as a full \\?\ path in removal_path, so that no length limit and
// no name rewriting applies; its length, or 0.
static size_t prepare_removal_root(const wchar_t *root)
{
    LauncherState &s = launcher_state;
    wchar_t *path = s.removal_path;
    const size_t room = array_count(s.removal_path) - 8;  // kept for the longest prefix, \\?\UNC\ .
    wchar_t *full = path + 8;
    DWORD length = GetFullPathNameW(root, static_cast<DWORD>(room), full, nullptr);
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
static size_t extend_removal_path(size_t length, const wchar_t *name)
{
    LauncherState &s = launcher_state;
    size_t name_length = wcslen(name);
    if (length + 1 + name_length >= array_count(s.removal_path))
        return 0;
    s.removal_path[length] = L'\\';
    memcpy(s.removal_path + length + 1, name, (name_length + 1) * sizeof(wchar_t));
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

static HANDLE open_search(size_t length)
{
    LauncherState &s = launcher_state;
    if (extend_removal_path(length, L"*") == 0)
        return INVALID_HANDLE_VALUE;
    HANDLE search = FindFirstFileExW(s.removal_path, FindExInfoBasic, &s.removal_entry, FindExSearchNameMatch,
                                     nullptr, FIND_FIRST_EX_LARGE_FETCH);
    s.removal_path[length] = L'\0';
    return search;
}

// One pass over the tree: files first, then each directory once it is
// empty, bottom-up. Depth first with one open search per level instead of
// recursion, so the depth of the tree never meets the thread's stack.
// What cannot be deleted now stays for the next pass.
static void remove_tree_once(size_t root_length)
{
    LauncherState &s = launcher_state;
    s.removal_path[root_length] = L'\0';
    DWORD root_attributes = GetFileAttributesW(s.removal_path);
    if (root_attributes == INVALID_FILE_ATTRIBUTES)
        return;
    if (removal_action(root_attributes) != removal_enter_directory) {
        delete_entry(s.removal_path, root_attributes);
        return;
    }
    size_t depth = 0;
    s.removal_lengths[0] = root_length;
    s.removal_searches[0] = open_search(root_length);
    bool have_entry = s.removal_searches[0] != INVALID_HANDLE_VALUE;
    for (;;) {
        size_t length = s.removal_lengths[depth];
        if (!have_entry) {
            // This level is listed to its end: the directory itself goes.
            if (s.removal_searches[depth] != INVALID_HANDLE_VALUE)
                FindClose(s.removal_searches[depth]);
            s.removal_path[length] = L'\0';
            DWORD attributes = GetFileAttributesW(s.removal_path);
            if (attributes != INVALID_FILE_ATTRIBUTES)
                delete_entry(s.removal_path, attributes | FILE_ATTRIBUTE_DIRECTORY);
            if (depth == 0)
                return;
            depth--;
            s.removal_path[s.removal_lengths[depth]] = L'\0';
            have_entry = FindNextFileW(s.removal_searches[depth], &s.removal_entry) != FALSE;
            continue;
        }
        const wchar_t *name = s.removal_entry.cFileName;
        DWORD attributes = s.removal_entry.dwFileAttributes;
        bool dots = name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
        size_t entry_length = dots ? 0 : extend_removal_path(length, name);
        if (entry_length != 0) {
            bool real_directory = removal_action(attributes) == removal_enter_directory;
            if (real_directory && depth + 1 < array_count(s.removal_searches)) {
                depth++;
                s.removal_lengths[depth] = entry_length;
                s.removal_searches[depth] = open_search(entry_length);
                have_entry = s.removal_searches[depth] != INVALID_HANDLE_VALUE;
                continue;
            }
            if (!real_directory)
                delete_entry(s.removal_path, attributes);
            s.removal_path[length] = L'\0';
        }
        have_entry = FindNextFileW(s.removal_searches[depth], &s.removal_entry) != FALSE;
    }
}

static bool removal_root_remains(size_t root_length)
{
    LauncherState &s = launcher_state;
    s.removal_path[root_length] = L'\0';
    return GetFileAttributesW(s.removal_path) != INVALID_FILE_ATTRIBUTES;
}

void remove_unpack_directory()
{
    LauncherState &s = launcher_state;
    if (!s.remove_unpack_directory_at_cleanup)
        return;
    // One removal at a time: a second caller waits for the first instead of
    // racing it, so the process never ends halfway through a removal.
    if (InterlockedExchange(&s.removal_started, 1) != 0) {
        while (!s.removal_finished)
            Sleep(10);
        return;
    }
    size_t root_length = prepare_removal_root(s.unpack_directory);
    if (root_length != 0) {
        // A file still held open by a process that is ending gets about
        // two seconds; the directory's absence is the judge.
        remove_tree_once(root_length);
        for (int retry = 0; retry < 20 && removal_root_remains(root_length); retry++) {
            Sleep(100);
            remove_tree_once(root_length);
        }
    }
    InterlockedExchange(&s.removal_finished, 1);
}

// Removes the tree at `path` unless a process holds its root open (as every
// launcher running from a reused tree does); false when it was held. Uses
// the exit removal's walk: only a launcher that owns no unpack directory
// calls it.
bool remove_tree_unless_held(const wchar_t *path)
{
    HANDLE root = CreateFileW(path, DELETE | FILE_LIST_DIRECTORY, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (root == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(root);
    size_t root_length = prepare_removal_root(path);
    if (root_length != 0)
        remove_tree_once(root_length);
    return true;
}

void close_unpack_directory_handles()
{
    LauncherState &s = launcher_state;
    HANDLE file = static_cast<HANDLE>(InterlockedExchangePointer(const_cast<HANDLE *>(&s.current_file),
                                                                 INVALID_HANDLE_VALUE));
    if (file != INVALID_HANDLE_VALUE && file != nullptr)
        CloseHandle(file);
    HANDLE directory = static_cast<HANDLE>(
        InterlockedExchangePointer(const_cast<HANDLE *>(&s.unpack_directory_handle), nullptr));
    if (directory != nullptr)
        CloseHandle(directory);
}

void remove_unpack_directory_after_failure()
{
    LauncherState &s = launcher_state;
    if (s.child_role || !s.remove_unpack_directory_at_cleanup)
        return;
    // The file being written, and the directory held, would keep it alive.
    close_unpack_directory_handles();
    remove_unpack_directory();
}

// A reusing launcher's working directory is owned, like a per-run unpack
// directory, from its creation until it is published in one rename; an
// interrupt that came first removes it here.
void take_unpack_directory_ownership()
{
    LauncherState &s = launcher_state;
    s.remove_unpack_directory_at_cleanup = true;
    if (s.stopping) {
        close_unpack_directory_handles();
        remove_unpack_directory();
        stop_for_interrupt();
    }
}

// Published: nothing is removed at exit any more. An interrupt's removal
// that began first may have taken files of it: the next start's check sees
// that and mends the tree.
void give_up_unpack_directory_ownership()
{
    launcher_state.remove_unpack_directory_at_cleanup = false;
}

bool unpack_directory_owned()
{
    return launcher_state.remove_unpack_directory_at_cleanup;
}

void cleanup()
{
    end_child();
    remove_unpack_directory();
}

BOOL WINAPI console_control_handler(DWORD event_type)
{
    switch (event_type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // Before the child is looked for: a launch that has not published
        // its child yet sees this and never lets it run.
        InterlockedExchange(&launcher_state.stopping, 1);
        cleanup();
        // A child being started right now is published within moments:
        // wait for the launch to settle and end that child too.
        while (launcher_state.launch_in_progress)
            Sleep(1);
        end_child();
        // The end the system's own handler gives an interrupted process,
        // whichever event it was: not every system ends a process after
        // close, logoff or shutdown, and the main thread would then pass on
        // the status of the child it terminated as if the application had
        // ended by itself. Terminated, not exited: the main thread may hold
        // a lock of the runtime or the heap that the library detach of an
        // exit would wait for, and there is no output left to flush.
        TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    default:
        break;
    }
    // Not the launcher's business: the next handler sees the event.
    return FALSE;
}
