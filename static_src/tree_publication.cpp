// Making a reused tree appear only complete: unpacked into a working
// directory that the run owns (removed at cleanup), renamed into place
// through a handle held since its creation, then disowned.
//
// NTFS refuses to rename a folder while a file below it is open, as a virus
// scanner keeps a file just written. A complete working directory that
// cannot be published is then kept and run from; a later start of the same
// archive finds it, checks it like a tree and publishes it (or runs from it
// again while that is still refused). The check tells it from a killed
// unpack: a file gets the tree's time only once it is written whole.
#include "launcher.h"
#include "error_reporting.h"

#include <wchar.h>

HANDLE open_directory(const wchar_t *path, DWORD access, DWORD share)
{
    SystemPath system;
    return CreateFileW(system_path(system, path), access, share, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Renames the directory open as `directory` (with delete access) to
// `target`, which must not exist.
bool rename_held_directory(HANDLE directory, const wchar_t *target)
{
    union {
        FILE_RENAME_INFO info;
        unsigned char bytes[sizeof(FILE_RENAME_INFO) + system_path_capacity * sizeof(wchar_t)];
    } rename = {};
    SystemPath system;
    const wchar_t *name = system_path(system, target);
    size_t length = wcslen(name);
    check_or_abort(length < system_path_capacity);
    rename.info.ReplaceIfExists = FALSE;
    rename.info.FileNameLength = static_cast<DWORD>(length * sizeof(wchar_t));
    copy_wide_text(rename.info.FileName, name, system_path_capacity);
    return SetFileInformationByHandle(directory, FileRenameInfo, &rename, sizeof rename) != FALSE;
}

// `path` with "~" and 11 fresh random characters appended.
void make_working_name(wchar_t *path, size_t capacity, const wchar_t *tree)
{
    typedef BOOLEAN(WINAPI * GenerateRandomFunction)(void *, ULONG);
    auto generate = system_function<GenerateRandomFunction>(L"advapi32.dll", "SystemFunction036");
    uint8_t bytes[8];
    if (generate == nullptr || !generate(bytes, sizeof bytes))
        report_open_for_writing_failure(tree);
    wchar_t random_text[12];
    make_random_text(bytes, random_text);
    copy_wide_text(path, tree, capacity);
    append_wide_text(path, L"~", capacity);
    append_wide_text(path, random_text, capacity);
}

// Unpacks the whole archive into a new working directory beside `tree`,
// made, held (with delete access, for the rename) and owned in one guarded
// step like a per-run unpack directory: until it is published, a failure
// or an interrupt removes it. Ends the process on failure.
void unpack_into_working_directory(const wchar_t *tree)
{
    LauncherState &s = launcher_state;
    make_working_name(s.unpack_directory, array_count(s.unpack_directory), tree);
    // Delete access: the directory is renamed into place through its handle.
    create_unpack_directory(DELETE | FILE_LIST_DIRECTORY);
    open_attached_data();
    unpack_all_records();
    close_attached_data();
}

// Moves the published tree at `tree` aside under a working name, so that
// a mended one can take its place; false while someone runs from it.
static bool retire_tree(const wchar_t *tree)
{
    HANDLE old_tree = open_directory(tree, DELETE | SYNCHRONIZE, held_share);
    if (old_tree == INVALID_HANDLE_VALUE)
        return false;
    wchar_t retired[path_capacity];
    make_working_name(retired, array_count(retired), tree);
    bool moved = rename_held_directory(old_tree, retired);
    CloseHandle(old_tree);
    return moved;
}

// The directory at `path`, open as `renaming` with delete access, held
// again without it, so that other launchers can hold it too; never unheld
// on the way: a bridge that shares deletion is opened before `renaming`
// closes, and closed once the plain hold is had. INVALID_HANDLE_VALUE when
// the directory went meanwhile.
static HANDLE hold_without_delete_access(HANDLE renaming, const wchar_t *path)
{
    HANDLE bridge = open_directory(path, held_access, held_share | FILE_SHARE_DELETE);
    if (renaming != nullptr)
        CloseHandle(renaming);
    HANDLE held = open_directory(path, held_access, held_share);
    if (bridge != INVALID_HANDLE_VALUE)
        CloseHandle(bridge);
    return held;
}

// Publishes the complete working directory held as held_directory as
// `tree`, in one guarded step with giving it up: an interrupt either
// removes the working directory or finds a published tree that is not the
// run's. A refusal of the rename by a scanner is tried again up to
// `attempts` times in all. False when it cannot be done (a scanner, or a
// tree in use in the way): the caller keeps the working directory.
// Published, the tree is held as `held`.
bool publish_tree(const wchar_t *tree, bool replace, int attempts, HANDLE &held)
{
    LauncherState &s = launcher_state;
    if (replace && !retire_tree(tree))
        return false;
    for (int attempt = 1;; attempt++) {
        if (!begin_guarded_step())
            stop_for_interrupt();
        bool published = rename_held_directory(s.held_directory, tree);
        DWORD error = GetLastError();
        if (published)
            held = hold_without_delete_access(disown_unpack_directory(), tree);
        end_guarded_step();
        if (published) {
            copy_wide_text(s.unpack_directory, tree, array_count(s.unpack_directory));
            return true;
        }
        if (attempt >= attempts || (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION))
            return false;
        Sleep(100);
    }
}

// A complete working directory that could not be published stays for a
// later start: given up in one guarded step, as at publication, so an
// interrupt either removes it or leaves it whole, then held again without
// the delete access that would keep other launchers from holding it too.
// INVALID_HANDLE_VALUE when it went meanwhile.
HANDLE keep_working_directory()
{
    if (!begin_guarded_step())
        stop_for_interrupt();
    HANDLE held = hold_without_delete_access(disown_unpack_directory(), launcher_state.unpack_directory);
    end_guarded_step();
    return held;
}

// Looks beside `tree` for a working directory that a start kept because it
// could not publish it: private and complete. Held as held_directory (with
// delete access for the rename unless another launcher runs from it), not
// owned; its path in unpack_directory. False when there is none.
bool find_kept_working_directory(const wchar_t *tree)
{
    LauncherState &s = launcher_state;
    wchar_t pattern[path_capacity];
    copy_wide_text(pattern, tree, array_count(pattern));
    append_wide_text(pattern, L"~*", array_count(pattern));
    WIN32_FIND_DATAW entry;
    SystemPath system;
    HANDLE search =
        FindFirstFileExW(system_path(system, pattern), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    const wchar_t *tree_name = wcsrchr(tree, L'\\') + 1;
    bool found = false;
    do {
        if (wcslen(entry.cFileName) != wcslen(tree_name) + working_suffix_length ||
            (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
            (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            continue;
        copy_wide_text(s.unpack_directory, tree, array_count(s.unpack_directory));
        append_wide_text(s.unpack_directory, entry.cFileName + wcslen(tree_name), array_count(s.unpack_directory));
        HANDLE held = open_directory(s.unpack_directory, DELETE | held_access | inspect_access, held_share);
        if (held == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION)
            held = open_directory(s.unpack_directory, held_access | inspect_access, held_share);
        found = directory_is_private(held, false) && tree_matches_archive(s.unpack_directory);
        if (found)
            s.held_directory = held;
        else if (held != INVALID_HANDLE_VALUE)
            CloseHandle(held);
    } while (!found && FindNextFileW(search, &entry));
    FindClose(search);
    return found;
}
