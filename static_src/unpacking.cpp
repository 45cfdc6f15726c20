// Writing the record stream out as files below the unpack directory.
#include "launcher.h"
#include "error_reporting.h"

#include <stdlib.h>
#include <wchar.h>

// Names come from the archive: one that could reach outside the unpack
// directory (absolute, with a drive or stream colon, an empty, "." or ".."
// component, or a "/" that Windows would take as a separator) is refused.
bool record_name_is_safe(const wchar_t *name)
{
    const wchar_t *component = name;
    for (const wchar_t *p = name;; p++) {
        if (*p == L':' || *p == L'/')
            return false;
        if (*p == L'\\' || *p == L'\0') {
            size_t length = static_cast<size_t>(p - component);
            if (length == 0 || (length == 1 && component[0] == L'.') ||
                (length == 2 && component[0] == L'.' && component[1] == L'.'))
                return false;
            if (*p == L'\0')
                return true;
            component = p + 1;
        }
    }
}

// Index of the last backslash after the first unit, or 0 when there is none.
static size_t last_separator_after_first(const wchar_t *path)
{
    for (size_t i = wcslen(path); i > 1; i--) {
        if (path[i - 1] == L'\\')
            return i - 1;
    }
    return 0;
}

bool ensure_directory(const wchar_t *path)
{
    LauncherState &s = launcher_state;
    if (s.created_directory_count == 0) {
        wchar_t home[path_capacity];
        if (!expand_path_spec(home, L"{HOME}", array_count(home)))
            report_spec_expansion_failure(L"{HOME}");
        wchar_t *copy = _wcsdup(home);
        if (copy != nullptr)
            s.created_directories[s.created_directory_count++] = copy;
    }
    for (int32_t i = 0; i < s.created_directory_count; i++) {
        if (wcscmp(s.created_directories[i], path) == 0)
            return true;
    }
    if (path[0] != L'\0' && path[1] == L':' && path[2] == L'\0')
        return true;  // a bare drive always exists
    if (!CreateDirectoryW(path, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    if (s.created_directory_count < static_cast<int32_t>(created_directory_limit)) {
        // A copy that cannot be made is simply not cached.
        wchar_t *copy = _wcsdup(path);
        if (copy != nullptr)
            s.created_directories[s.created_directory_count++] = copy;
    }
    return true;
}

void ensure_parent_chain(const wchar_t *path)
{
    wchar_t parent[path_capacity] = {};
    copy_wide_text(parent, path, array_count(parent));
    size_t separator = last_separator_after_first(parent);
    if (separator == 0)
        return;
    parent[separator] = L'\0';
    if (ensure_directory(parent))
        return;
    ensure_parent_chain(parent);
    ensure_directory(parent);
}

// An interrupt is removing the unpack directory: create nothing more, wait
// for the removal to finish and end the way an interrupted process ends.
[[noreturn]] static void stop_for_removal(HANDLE open_file)
{
    LauncherState &s = launcher_state;
    if (open_file != INVALID_HANDLE_VALUE)
        CloseHandle(open_file);
    while (!s.removal_finished)
        Sleep(10);
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

static void write_record_content(uint64_t size)
{
    LauncherState &s = launcher_state;
    HANDLE file = CreateFileW(s.current_record_path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE)
        report_open_for_writing_failure(s.current_record_path);
    while (size > 0) {
        if (s.removal_started)
            stop_for_removal(file);
        DWORD chunk = size < chunk_size ? static_cast<DWORD>(size) : static_cast<DWORD>(chunk_size);
        read_exactly(s.chunk_buffer, chunk);
        DWORD written = 0;
        if (!WriteFile(file, s.chunk_buffer, chunk, &written, nullptr))
            report_os_error(MESSAGE_WRITE_FAILED, GetLastError());
        if (written != chunk)
            report_os_error(MESSAGE_WRITE_FAILED, ERROR_WRITE_FAULT);
        size -= chunk;
    }
    CloseHandle(file);
}

void unpack_all_records()
{
    LauncherState &s = launcher_state;
    s.remove_unpack_directory_at_cleanup = true;
    for (;;) {
        read_record_name();
        if (s.current_record_name[0] == L'\0') {
            if (s.child_role)
                report_error(MESSAGE_NO_APPLICATION_LIBRARY);
            return;
        }
        if (!record_name_is_safe(s.current_record_name))
            report_error(MESSAGE_DECODING_FAILED);
        copy_wide_text(s.current_record_path, s.unpack_directory, array_count(s.current_record_path));
        append_wide_text(s.current_record_path, L"\\", array_count(s.current_record_path));
        append_wide_text(s.current_record_path, s.current_record_name, array_count(s.current_record_path));
        if (s.first_record_path[0] == L'\0') {
            copy_wide_text(s.first_record_path, s.current_record_path, array_count(s.first_record_path));
            if (s.child_role)
                hand_off_to_library();
        }
        uint64_t size = read_record_size();
        if (s.removal_started)
            stop_for_removal(INVALID_HANDLE_VALUE);

        wchar_t directory[path_capacity] = {};
        copy_wide_text(directory, s.current_record_path, array_count(directory));
        size_t separator = last_separator_after_first(directory);
        if (separator != 0) {
            directory[separator] = L'\0';
            if (!ensure_directory(directory)) {
                ensure_parent_chain(directory);
                ensure_directory(directory);
            }
        }
        write_record_content(size);
    }
}
