// The check of a reused tree against the build notes' list of files, made
// at every start before the application runs from it. Sizes and times say
// enough for a file stamped durable or in this boot; any other is read
// (tree_durability.cpp).
#include "launcher.h"
#include "error_reporting.h"

// The notes' "file=SIZE NAME" line at hand, read into a size and a name.
bool read_file_note(const char *value, size_t length, uint64_t &size, wchar_t *name, size_t capacity)
{
    size = 0;
    size_t i = 0;
    for (; i < length && value[i] >= '0' && value[i] <= '9'; i++) {
        check_or_abort(size <= (UINT64_MAX - 9) / 10);
        size = size * 10 + static_cast<uint64_t>(value[i] - '0');
    }
    return i > 0 && i + 1 < length && value[i] == ' ' &&
           wide_from_utf8(value + i + 1, length - i - 1, name, capacity) && record_name_is_safe(name);
}

// Every packed file is there, a file, with its size, and stamped durable
// or in this boot, or read back with its packed content; one attribute
// query per file, no folder is opened. Files the application added are not
// looked at.
bool tree_matches_archive(const wchar_t *tree)
{
    LauncherState &s = launcher_state;
    const char *cursor = s.build_notes;
    const char *value = nullptr;
    size_t length = 0;
    bool any = false;
    s.tree_needs_sealing = false;
    for (size_t index = 0; next_build_note(cursor, "file", value, length); index++) {
        uint64_t size = 0;
        if (!read_file_note(value, length, size, s.current_record_name, array_count(s.current_record_name)))
            return false;
        copy_wide_text(s.current_record_path, tree, array_count(s.current_record_path));
        append_wide_text(s.current_record_path, L"\\", array_count(s.current_record_path));
        append_wide_text(s.current_record_path, s.current_record_name, array_count(s.current_record_path));
        WIN32_FILE_ATTRIBUTE_DATA data;
        SystemPath system;
        if (!GetFileAttributesExW(system_path(system, s.current_record_path), GetFileExInfoStandard, &data) ||
            (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
            (static_cast<uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow) != size)
            return false;
        any = true;
        if (CompareFileTime(&data.ftLastWriteTime, &durable_file_time) == 0)
            continue;
        bool known = false;
        uint64_t hash = record_content_hash(index, known);
        if (!is_this_boots_stamp(data.ftLastWriteTime) &&
            !(known && file_has_content(s.current_record_path, size, hash)))
            return false;
        s.tree_needs_sealing = true;
    }
    return any;
}

// The first packed file, the application library or entry program, below `tree`.
void set_first_record_path(const wchar_t *tree)
{
    LauncherState &s = launcher_state;
    const char *cursor = s.build_notes;
    const char *value = nullptr;
    size_t length = 0;
    uint64_t size = 0;
    if (!next_build_note(cursor, "file", value, length) ||
        !read_file_note(value, length, size, s.current_record_name, array_count(s.current_record_name)))
        report_error(MESSAGE_NO_APPLICATION_LIBRARY);
    copy_wide_text(s.first_record_path, tree, array_count(s.first_record_path));
    append_wide_text(s.first_record_path, L"\\", array_count(s.first_record_path));
    append_wide_text(s.first_record_path, s.current_record_name, array_count(s.first_record_path));
}
