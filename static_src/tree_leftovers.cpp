// What a reusing application's other archives and killed unpacks leave
// beside its tree, removed while the application runs.
#include "launcher.h"

#include <wchar.h>

size_t version_stem_length(const wchar_t *own_name)
{
    size_t own_length = wcslen(own_name);
    // A kept working directory: its tree's name is the part before the "~".
    if (own_length > working_suffix_length && own_name[own_length - working_suffix_length] == L'~')
        own_length -= working_suffix_length;
    return own_length - identity_digits_in_name;
}

bool is_version_name(const wchar_t *name, const wchar_t *own_name, size_t stem_length)
{
    size_t length = wcslen(name);
    bool tree_name = length == stem_length + identity_digits_in_name ||
                     (length == stem_length + identity_digits_in_name + working_suffix_length &&
                      name[length - working_suffix_length] == L'~');
    if (!tree_name || wcsncmp(name, own_name, stem_length) != 0 || wcscmp(name, own_name) == 0)
        return false;
    for (size_t i = stem_length; i < stem_length + identity_digits_in_name; i++) {
        if (!((name[i] >= L'0' && name[i] <= L'9') || (name[i] >= L'a' && name[i] <= L'f')))
            return false;
    }
    return true;
}

// Removes what this application's other archives and killed unpacks left
// beside the tree: trees of the same application with other archive
// identities, and working directories, each only when it is private and
// nobody holds it. Runs on the sweep thread while the application runs.
void sweep_beside_reused_tree()
{
    LauncherState &s = launcher_state;
    if (!s.running_from_reused_tree)
        return;
    wchar_t *folder = s.reused_sweep_path;
    copy_wide_text(folder, s.unpack_directory, array_count(s.reused_sweep_path));
    wchar_t *separator = wcsrchr(folder, L'\\');
    if (separator == nullptr)
        return;
    *separator = L'\0';
    const wchar_t *own_name = separator + 1;
    size_t stem_length = version_stem_length(own_name);
    wchar_t pattern[path_capacity];
    copy_wide_text(pattern, folder, array_count(pattern));
    append_wide_text(pattern, L"\\*", array_count(pattern));
    WIN32_FIND_DATAW entry;
    SystemPath system;
    HANDLE search =
        FindFirstFileExW(system_path(system, pattern), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (!sweep_may_go_on())
            break;
        const wchar_t *name = entry.cFileName;
        copy_wide_text(s.reused_sweep_candidate, folder, array_count(s.reused_sweep_candidate));
        append_wide_text(s.reused_sweep_candidate, L"\\", array_count(s.reused_sweep_candidate));
        append_wide_text(s.reused_sweep_candidate, name, array_count(s.reused_sweep_candidate));
        size_t manifest_stem = 0;
        if ((entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
            is_manifest_name(name, manifest_stem)) {
            // Another version's manifest outlives its tree by a start at most.
            wchar_t *candidate_stem = s.reused_sweep_candidate + wcslen(folder) + 1;
            candidate_stem[manifest_stem] = L'\0';
            if (is_version_name(candidate_stem, own_name, stem_length) &&
                GetFileAttributesW(system_path(system, s.reused_sweep_candidate)) == INVALID_FILE_ATTRIBUTES)
                remove_tree_manifest(s.reused_sweep_candidate);
            continue;
        }
        if (!is_version_name(name, own_name, stem_length) || (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
            (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            continue;
        HANDLE candidate = open_directory(s.reused_sweep_candidate, inspect_access,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
        bool removable = directory_is_private(candidate, false);
        if (candidate != INVALID_HANDLE_VALUE)
            CloseHandle(candidate);
        if (removable)
            remove_tree_unless_held(s.sweep_walk, s.reused_sweep_candidate);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return;
}
