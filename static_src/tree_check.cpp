// The check of a reused tree against the build notes' list of files, made
// at every start before the application runs from it. Sizes and times say
// enough for a file stamped durable or in this boot; any other is read
// (tree_durability.cpp).
#include "launcher.h"
#include "build_note_keys.h"
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

enum FileCheck { files_differ, files_match, files_to_read };

// The file lines of one part of the list (every `parts`-th from `part` on)
// against the tree: there, files, of their size, and stamped durable or in
// this boot. A file of another stamp is read back for its content hash
// where `read_back` says so, else the part is files_to_read. Its own name
// and path buffers: parts run on threads of their own.
static FileCheck check_files(const wchar_t *tree, int part, int parts, bool read_back)
{
    struct {
        wchar_t name[record_name_capacity];
        wchar_t path[path_capacity];
    } buffers;
    const char *cursor = launcher_state.build_notes;
    const char *value = nullptr;
    size_t length = 0;
    FileCheck verdict = files_match;
    for (size_t index = 0; next_build_note(cursor, note_file, value, length); index++) {
        if (static_cast<int>(index % static_cast<size_t>(parts)) != part)
            continue;
        uint64_t size = 0;
        if (!read_file_note(value, length, size, buffers.name, array_count(buffers.name)))
            return files_differ;
        copy_wide_text(buffers.path, tree, array_count(buffers.path));
        append_wide_text(buffers.path, L"\\", array_count(buffers.path));
        append_wide_text(buffers.path, buffers.name, array_count(buffers.path));
        WIN32_FILE_ATTRIBUTE_DATA data;
        SystemPath system;
        if (!GetFileAttributesExW(system_path(system, buffers.path), GetFileExInfoStandard, &data) ||
            (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
            (static_cast<uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow) != size)
            return files_differ;
        if (CompareFileTime(&data.ftLastWriteTime, &durable_file_time) == 0 || is_this_boots_stamp(data.ftLastWriteTime))
            continue;
        bool known = false;
        uint64_t hash = record_content_hash(index, known);
        if (!known)
            return files_differ;
        if (!read_back)
            verdict = files_to_read;
        else if (!file_has_content(buffers.path, size, hash, true))
            return files_differ;
    }
    return verdict;
}

// The check is spread over two threads: under Wine each attribute query
// waits on the file system, and two overlap (measured: 45 ms for one
// thread, 32 ms for two on the reference payload's 1,971 files, four no
// better). A part's thread only queries attributes; reading files back
// for their contents, rare, is done on this thread afterwards.
struct CheckPart {
    const wchar_t *tree;
    FileCheck verdict;
};

static DWORD WINAPI check_second_part(void *argument)
{
    CheckPart *part = static_cast<CheckPart *>(argument);
    part->verdict = check_files(part->tree, 1, 2, false);
    return 0;
}

// Every packed file is there, a file, with its size, and stamped durable
// or in this boot, or read back with its packed content; one attribute
// query per file, no folder is opened. Files the application added are
// not looked at.
bool tree_matches_archive(const wchar_t *tree)
{
    LauncherState &s = launcher_state;
    const char *cursor = s.build_notes;
    const char *value = nullptr;
    size_t length = 0;
    if (!next_build_note(cursor, note_file, value, length))
        return false;
    CheckPart second = {tree, files_differ};
    HANDLE thread = CreateThread(nullptr, 65536, check_second_part, &second, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    FileCheck first = check_files(tree, 0, thread != nullptr ? 2 : 1, false);
    if (thread != nullptr) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    FileCheck verdict = thread == nullptr ? first : (first == files_differ || second.verdict == files_differ)
                                                        ? files_differ
                                                        : (first == files_to_read || second.verdict == files_to_read)
                                                              ? files_to_read
                                                              : files_match;
    if (verdict == files_to_read)
        verdict = check_files(tree, 0, 1, true);
    return verdict == files_match;
}

// The first packed file, the application library or entry program, below `tree`.
void set_first_record_path(const wchar_t *tree)
{
    LauncherState &s = launcher_state;
    const char *cursor = s.build_notes;
    const char *value = nullptr;
    size_t length = 0;
    uint64_t size = 0;
    if (!next_build_note(cursor, note_file, value, length) ||
        !read_file_note(value, length, size, s.current_record_name, array_count(s.current_record_name)))
        report_error(MESSAGE_NO_APPLICATION_LIBRARY);
    copy_wide_text(s.first_record_path, tree, array_count(s.first_record_path));
    append_wide_text(s.first_record_path, L"\\", array_count(s.first_record_path));
    append_wide_text(s.first_record_path, s.current_record_name, array_count(s.first_record_path));
}
