// The form in which the launcher hands a path to the system. Unless long
// paths are enabled for the whole machine (they are not by default), Windows
// refuses every plain path of MAX_PATH units or more, and a directory's
// already at MAX_PATH - 12; the \\?\ form has no such limit. That form is
// taken as written: no "." or ".." part, "/" separator or relative part is
// resolved in it, and a spec's expansion or TEMP may hold any of these. So a
// path that can reach the limit is first made full, as the system itself
// would make it, and then prefixed.
#include "launcher.h"

#include <string.h>
#include <wchar.h>

enum : size_t {
    plain_path_limit = MAX_PATH - 12,
    longest_prefix = 8,  // room kept before the full path for \\?\UNC\ .
};

// The full path of `path` at `target + longest_prefix`, its length in
// `length`; false when it does not fit.
static bool make_full_path(wchar_t *target, size_t capacity, const wchar_t *path, size_t &length)
{
    check_or_abort(capacity > longest_prefix + 1);
    const size_t room = capacity - longest_prefix;
    DWORD made = GetFullPathNameW(path, static_cast<DWORD>(room), target + longest_prefix, nullptr);
    length = made;
    return made != 0 && made < room;
}

// Puts the prefix before the full path that make_full_path left.
static void prefix_full_path(wchar_t *target, size_t length)
{
    wchar_t *full = target + longest_prefix;
    const wchar_t *prefix = L"\\\\?\\";
    if (wcsncmp(full, L"\\\\?\\", 4) == 0 || wcsncmp(full, L"\\\\.\\", 4) == 0) {
        prefix = L"";
    } else if (full[0] == L'\\' && full[1] == L'\\') {
        prefix = L"\\\\?\\UNC";  // \\server\share\x becomes \\?\UNC\server\share\x
        full += 1;
        length -= 1;
    }
    size_t prefix_length = wcslen(prefix);
    memmove(target + prefix_length, full, (length + 1) * sizeof(wchar_t));
    memcpy(target, prefix, prefix_length * sizeof(wchar_t));
}

bool make_prefixed_path(wchar_t *target, size_t capacity, const wchar_t *path)
{
    size_t length = 0;
    if (!make_full_path(target, capacity, path, length))
        return false;
    prefix_full_path(target, length);
    return true;
}

const wchar_t *system_path(SystemPath &buffer, const wchar_t *path)
{
    size_t length = 0;
    // Too long for any form: as it is, for the system to refuse.
    if (!make_full_path(buffer.text, array_count(buffer.text), path, length))
        return path;
    if (length < plain_path_limit && wcsncmp(path, L"\\\\?\\", 4) != 0)
        return path;  // short paths go exactly as they were given
    prefix_full_path(buffer.text, length);
    return buffer.text;
}

// Some calls take a drive or UNC path only, never the \\?\ form
// (AddDllDirectory, and CreateProcessW for the program it starts). Past the
// limit they get the path's short form where the volume keeps short names
// and it is short enough, else the plain path, which only a system with
// long paths enabled follows.
const wchar_t *unprefixed_system_path(SystemPath &buffer, const wchar_t *path)
{
    const wchar_t *prefixed = system_path(buffer, path);
    if (prefixed == path)
        return path;
    wchar_t short_form[system_path_capacity];
    DWORD length = GetShortPathNameW(prefixed, short_form, static_cast<DWORD>(array_count(short_form)));
    if (length == 0 || length >= array_count(short_form))
        return path;
    buffer.text[0] = L'\0';
    if (wcsncmp(short_form, L"\\\\?\\UNC\\", 8) == 0) {
        append_wide_text(buffer.text, L"\\\\", array_count(buffer.text));
        append_wide_text(buffer.text, short_form + 8, array_count(buffer.text));
    } else {
        append_wide_text(buffer.text, short_form + 4, array_count(buffer.text));
    }
    SystemPath again;
    return system_path(again, buffer.text) == buffer.text ? buffer.text : path;
}
