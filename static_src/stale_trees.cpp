// Trees that launchers left behind when they could not clean up — ended
// from the task manager, crashed, cut off by a power failure or a logoff —
// removed by a later launcher while its application runs, on a thread of
// background priority that stops between two entries once the application
// has ended (a tree half removed is still dead, and a later start goes on
// with it). Only names of the
// launcher's own making are considered, in the folder where this run makes
// its own directory, and nothing is ever decided from a file's contents.
// A tree is dead when no process holds its root open: every running parent
// and child holds its unpack directory for its whole life (see
// held_directory), so a reused process number, or an application that
// outlived its launcher, keeps a tree whole.
#include "launcher.h"

#include <aclapi.h>
#include <wchar.h>

static size_t count_digits(const wchar_t *text)
{
    size_t count = 0;
    while (text[count] >= L'0' && text[count] <= L'9')
        count++;
    return count;
}

static bool is_random_unit(wchar_t unit)
{
    return (unit >= L'A' && unit <= L'Z') || (unit >= L'a' && unit <= L'z') || (unit >= L'0' && unit <= L'9') ||
           unit == L'-' || unit == L'_';
}

// The process number part after "onefile_"; its length, or 0.
static size_t process_number_part(const wchar_t *name)
{
    if (wcsncmp(name, L"onefile_", 8) != 0)
        return 0;
    size_t digits = count_digits(name + 8);
    return digits >= 1 && digits <= 10 ? digits : 0;
}

// "onefile_" PID "_" six digits "_" eleven characters of the random alphabet.
bool is_launcher_tree_name(const wchar_t *name)
{
    size_t digits = process_number_part(name);
    if (digits == 0)
        return false;
    const wchar_t *rest = name + 8 + digits;
    if (rest[0] != L'_' || count_digits(rest + 1) != 6 || rest[7] != L'_')
        return false;
    for (size_t i = 8; i < 19; i++) {
        if (!is_random_unit(rest[i]))
            return false;
    }
    return rest[19] == L'\0';
}

// "onefile_" PID "_splash_feedback.tmp".
bool is_splash_feedback_name(const wchar_t *name)
{
    size_t digits = process_number_part(name);
    return digits != 0 && wcscmp(name + 8 + digits, L"_splash_feedback.tmp") == 0;
}

// Whether the current user owns the entry at `path` (never followed); in an
// elevated run also Administrators, who own an elevated run's directories.
static bool owned_by_current_user(const wchar_t *path)
{
    auto get_security_info = system_function<decltype(&GetSecurityInfo)>(L"advapi32.dll", "GetSecurityInfo");
    auto equal_sid = system_function<decltype(&EqualSid)>(L"advapi32.dll", "EqualSid");
    auto well_known = system_function<decltype(&IsWellKnownSid)>(L"advapi32.dll", "IsWellKnownSid");
    const SID *user = current_user_sid();
    if (get_security_info == nullptr || equal_sid == nullptr || well_known == nullptr || user == nullptr)
        return false;
    SystemPath system;
    HANDLE entry = CreateFileW(system_path(system, path), READ_CONTROL,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (entry == INVALID_HANDLE_VALUE)
        return false;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    bool owned = get_security_info(entry, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                   nullptr, &descriptor) == ERROR_SUCCESS &&
                 owner != nullptr &&
                 (equal_sid(owner, const_cast<SID *>(user)) ||
                  (process_is_elevated() && well_known(owner, WinBuiltinAdministratorsSid)));
    if (descriptor != nullptr)
        LocalFree(descriptor);
    CloseHandle(entry);
    return owned;
}

// A feedback file is named by its launcher's process number only. That
// launcher is gone when no process has the number, or when the process that
// has it now was started after the file was made.
static bool feedback_launcher_gone(const wchar_t *name, const FILETIME &made)
{
    DWORD process_id = static_cast<DWORD>(wcstoul(name + 8, nullptr, 10));
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id);
    if (process == nullptr)
        return GetLastError() == ERROR_INVALID_PARAMETER;
    FILETIME started, ended, kernel, user;
    DWORD exit_code = 0;
    bool gone = (GetExitCodeProcess(process, &exit_code) && exit_code != STILL_ACTIVE) ||
                (GetProcessTimes(process, &started, &ended, &kernel, &user) && CompareFileTime(&started, &made) > 0);
    CloseHandle(process);
    return gone;
}

static void sweep_dead_launchers_trees()
{
    LauncherState &s = launcher_state;
    wchar_t folder[path_capacity] = L"";
    copy_wide_text(folder, s.unpack_directory, array_count(folder));
    wchar_t *own_name = wcsrchr(folder, L'\\');
    if (own_name == nullptr)
        return;
    *own_name++ = L'\0';
    size_t folder_length = wcslen(folder);
    wchar_t path[path_capacity] = L"";
    copy_wide_text(path, folder, array_count(path));
    append_wide_text(path, L"\\onefile_*", array_count(path));
    WIN32_FIND_DATAW entry;
    SystemPath system;
    HANDLE search = FindFirstFileExW(system_path(system, path), FindExInfoBasic, &entry, FindExSearchNameMatch,
                                     nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (!sweep_may_go_on())
            break;
        DWORD attributes = entry.dwFileAttributes;
        bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || wcscmp(entry.cFileName, own_name) == 0)
            continue;
        bool tree = directory && is_launcher_tree_name(entry.cFileName);
        bool feedback = !directory && is_splash_feedback_name(entry.cFileName);
        if (!tree && !feedback)
            continue;
        path[folder_length] = L'\0';
        if (folder_length + 1 + wcslen(entry.cFileName) >= array_count(path))
            continue;
        append_wide_text(path, L"\\", array_count(path));
        append_wide_text(path, entry.cFileName, array_count(path));
        if (!owned_by_current_user(path))
            continue;
        if (tree)
            remove_tree_unless_held(s.sweep_walk, path);
        else if (feedback_launcher_gone(entry.cFileName, entry.ftCreationTime))
            DeleteFileW(system_path(system, path));
    } while (FindNextFileW(search, &entry));
    FindClose(search);
}

static DWORD WINAPI sweep_stale_trees(void *)
{
    // Background priority, for processor and disk: the application's start
    // comes first, and the sweep has from then until the application's end.
    SetThreadPriority(GetCurrentThread(), THREAD_MODE_BACKGROUND_BEGIN);
    sweep_beside_reused_tree();
    sweep_dead_launchers_trees();
    return 0;
}

void start_sweep_of_stale_trees()
{
    LauncherState &s = launcher_state;
    s.sweep_walk.may_go_on = sweep_may_go_on;
    // A small stack: the walk's memory is in the state record.
    s.sweep_thread = CreateThread(nullptr, 65536, sweep_stale_trees, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
}
