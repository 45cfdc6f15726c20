// Which role a run plays. A run is the child when VESKAR_ONEFILE_PARENT names
// a live process of the very same executable file. Paths of one file can be
// written many ways (links, letter case, "\\?\" prefixes, 8.3 names), so both
// sides are brought into one canonical form before they are compared.
#include "launcher.h"

#include <errno.h>
#include <winternl.h>
#include <stdlib.h>
#include <wchar.h>

enum : size_t { parent_path_capacity = 2048 };

typedef DWORD(WINAPI *final_path_function)(HANDLE, wchar_t *, DWORD, DWORD);

void shorten_directory_part(wchar_t *path, size_t capacity)
{
    wchar_t *file_name = nullptr;
    wchar_t *last_separator = wcsrchr(path, L'\\');
    if (last_separator != nullptr) {
        *last_separator = L'\0';
        file_name = _wcsdup(last_separator + 1);
        check_or_abort(file_name != nullptr);  // losing the file name would change the path
    }
    DWORD size = GetShortPathNameW(path, nullptr, 0);
    if (size != 0) {
        wchar_t *short_form = static_cast<wchar_t *>(malloc((size + 1) * sizeof(wchar_t)));
        check_or_abort(short_form != nullptr);
        DWORD result = GetShortPathNameW(path, short_form, size);
        check_or_abort(result <= size);
        if (result != 0)
            copy_wide_text(path, short_form, capacity);
        free(short_form);
    }
    if (file_name != nullptr) {
        append_wide_text(path, L"\\", capacity);
        append_wide_text(path, file_name, capacity);
        free(file_name);
    }
}

void normalize_executable_path(wchar_t *path, size_t capacity)
{
    HANDLE file = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    check_or_abort(wcsnlen(path, capacity) < capacity);
    if (file != INVALID_HANDLE_VALUE) {
        // Looked up at run time: systems before Vista do not have it.
        final_path_function final_path = reinterpret_cast<final_path_function>(
            reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("Kernel32.dll"), "GetFinalPathNameByHandleW")));
        if (final_path != nullptr) {
            DWORD result = final_path(file, path, static_cast<DWORD>(capacity), 0);
            CloseHandle(file);
            check_or_abort(result <= capacity - 1);
        } else {
            CloseHandle(file);
        }
        if (wcsncmp(path, L"\\\\?\\", 4) == 0 && path[4] != L'\0' && path[5] == L':') {
            memmove(path, path + 4, (wcslen(path + 4) + 1) * sizeof(wchar_t));
        } else if (wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0) {
            memmove(path, path + 6, (wcslen(path + 6) + 1) * sizeof(wchar_t));
            path[0] = L'\\';
        }
    }
    shorten_directory_part(path, capacity);
}

const wchar_t *get_launcher_path(bool resolved)
{
    LauncherState &s = launcher_state;
    wchar_t *path = resolved ? s.resolved_launcher_path : s.plain_launcher_path;
    if (path[0] != L'\0')
        return path;
    GetModuleFileNameW(nullptr, path, static_cast<DWORD>(launcher_path_capacity));
    check_or_abort(wcsnlen(path, launcher_path_capacity) < launcher_path_capacity);
    // An empty result stays "not yet computed", so a later call tries again.
    if (resolved && path[0] != L'\0')
        normalize_executable_path(path, launcher_path_capacity);
    return path;
}

// What the check of the named parent found.
enum ParentCheck { parent_differs, parent_same, parent_unknown };

// The parent's image path is asked of the system, which answers without
// reading the parent's memory: a tracer, a debugger or security software
// that denies that reading does not hide the parent.
static ParentCheck check_parent_executable(DWORD process_id)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id);
    if (process == nullptr)
        return GetLastError() == ERROR_INVALID_PARAMETER ? parent_differs : parent_unknown;  // no such process
    ParentCheck check = parent_unknown;
    wchar_t parent_path[parent_path_capacity];
    DWORD length = static_cast<DWORD>(array_count(parent_path));
    DWORD exit_code = 0;
    if (GetExitCodeProcess(process, &exit_code) && exit_code != STILL_ACTIVE) {
        check = parent_differs;  // an ended process is no parent
    } else if (QueryFullProcessImageNameW(process, 0, parent_path, &length) && length < array_count(parent_path)) {
        normalize_executable_path(parent_path, array_count(parent_path));
        check = wcscmp(parent_path, get_launcher_path(true)) == 0 ? parent_same : parent_differs;
    }
    CloseHandle(process);
    return check;
}

typedef LONG(NTAPI *QueryProcessFunction)(HANDLE, PROCESSINFOCLASS, void *, ULONG, ULONG *);

// The process that created this one, or 0 when the system does not say.
static DWORD creator_process_id()
{
    auto query = system_function<QueryProcessFunction>(L"ntdll.dll", "NtQueryInformationProcess");
    PROCESS_BASIC_INFORMATION information = {};
    if (query == nullptr || query(GetCurrentProcess(), ProcessBasicInformation, &information, sizeof information,
                                  nullptr) < 0)
        return 0;
    return static_cast<DWORD>(information.InheritedFromUniqueProcessId);
}

bool decide_role()
{
    wchar_t *value = read_environment_variable("VESKAR_ONEFILE_PARENT");
    if (value == nullptr)
        return false;
    wchar_t *end = nullptr;
    errno = 0;
    unsigned long process_id = wcstoul(value, &end, 10);
    if (errno != 0 || end == value || *end != L'\0')
        return false;
    ParentCheck check = check_parent_executable(process_id);
    // A parent role creates its own executable and nothing else, so a run
    // whose creator is the named parent is that parent's child. That settles
    // the role when the check cannot be made: otherwise the child would
    // unpack again and start a child of its own, and so on without end.
    if (check == parent_unknown)
        return creator_process_id() == process_id;
    return check == parent_same;
}
