// Starting the launcher's own executable as the child that runs the
// application, and waiting for it.
#include "launcher.h"
#include "error_reporting.h"

#include <shellapi.h>
#include <wchar.h>

static void append_unit(wchar_t *command_line, size_t &length, size_t capacity, wchar_t unit)
{
    check_or_abort(capacity - length >= 2);
    command_line[length++] = unit;
    command_line[length] = L'\0';
}

static void append_units(wchar_t *command_line, size_t &length, size_t capacity, wchar_t unit, size_t count)
{
    for (size_t i = 0; i < count; i++)
        append_unit(command_line, length, capacity, unit);
}

// Appends one argument so that CommandLineToArgvW and the C runtime both
// read it back unchanged. The one quoting routine of the launcher:
//
//   argument        written as
//   abc             abc
//   C:\dir\         C:\dir\            (no trigger unit: untouched)
//   (empty)         ""
//   a b             "a b"
//   a"b             "a\"b"
//   a b\            "a b\\"
//   a\\"b c         "a\\\\\"b c"
//   \\server\a b    "\\server\a b"
void append_quoted_argument(wchar_t *command_line, size_t &length, size_t capacity, const wchar_t *argument)
{
    // An empty argument would vanish without quotes.
    bool quote = argument[0] == L'\0';
    for (const wchar_t *trigger = L" \t\n\v\""; *trigger != L'\0'; trigger++) {
        if (wcschr(argument, *trigger) != nullptr)
            quote = true;
    }
    if (!quote) {
        for (const wchar_t *p = argument; *p != L'\0'; p++)
            append_unit(command_line, length, capacity, *p);
        return;
    }
    append_unit(command_line, length, capacity, L'"');
    for (const wchar_t *p = argument; *p != L'\0';) {
        size_t backslashes = 0;
        while (p[backslashes] == L'\\')
            backslashes++;
        if (backslashes > 0) {
            wchar_t next = p[backslashes];
            if (next == L'"') {
                append_units(command_line, length, capacity, L'\\', 2 * backslashes + 1);
                append_unit(command_line, length, capacity, L'"');
                p += backslashes + 1;
            } else if (next == L'\0') {
                append_units(command_line, length, capacity, L'\\', 2 * backslashes);
                p += backslashes;
            } else {
                append_units(command_line, length, capacity, L'\\', backslashes);
                append_unit(command_line, length, capacity, next);
                p += backslashes + 1;
            }
        } else if (*p == L'"') {
            append_unit(command_line, length, capacity, L'\\');
            append_unit(command_line, length, capacity, L'"');
            p++;
        } else {
            append_unit(command_line, length, capacity, *p);
            p++;
        }
    }
    append_unit(command_line, length, capacity, L'"');
}

static void publish_for_application()
{
    LauncherState &s = launcher_state;
    copy_wide_text(s.launcher_directory, get_launcher_path(false), array_count(s.launcher_directory));
    wchar_t *last_separator = wcsrchr(s.launcher_directory, L'\\');
    if (last_separator != nullptr)
        *last_separator = L'\0';
    write_environment_variable("VESKAR_ONEFILE_DIRECTORY", s.launcher_directory);
    write_environment_variable("VESKAR_ORIGINAL_ARGV0", s.argument_count >= 1 ? s.argument_vector[0] : nullptr);
}

static void build_child_command_line()
{
    LauncherState &s = launcher_state;
    int count = 0;
    wchar_t **arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr)
        count = 0;
    s.child_command_line[0] = L'\0';
    if (count >= 1)
        arguments[0] = s.launcher_executable_path;
    size_t length = 0;
    for (int i = 0; i < count; i++) {
        if (i > 0)
            append_unit(s.child_command_line, length, array_count(s.child_command_line), L' ');
        append_quoted_argument(s.child_command_line, length, array_count(s.child_command_line), arguments[i]);
    }
}

// Waits until the child has ended and returns its exit code.
static DWORD wait_for_child(HANDLE child)
{
    DWORD timeout = 50;
    for (;;) {
        DWORD waited = WaitForSingleObject(child, timeout);
        DWORD exit_code = 0;
        if (!GetExitCodeProcess(child, &exit_code))
            return 1;
        // A child may really end with 259 (STILL_ACTIVE): the wait tells.
        if (exit_code != STILL_ACTIVE || waited == WAIT_OBJECT_0)
            return exit_code;
        if (!check_splash_feedback())
            timeout = INFINITE;
        // When the interrupt thread has taken the child, it ends it within
        // seconds; this thread's handle stays valid until it releases it.
    }
}

DWORD launch_and_supervise()
{
    LauncherState &s = launcher_state;
    publish_for_application();
    if (s.launcher_executable_path[0] == L'\0') {
        DWORD length = GetModuleFileNameW(nullptr, s.launcher_executable_path,
                                          static_cast<DWORD>(array_count(s.launcher_executable_path)));
        check_or_abort(length != 0);
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    build_child_command_line();

    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(s.launcher_executable_path, s.child_command_line, nullptr, nullptr, TRUE,
                        NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &process))
        report_os_error(MESSAGE_LAUNCH_FAILED, GetLastError());
    CloseHandle(process.hThread);
    s.child_handle_releases = 0;
    InterlockedExchangePointer(const_cast<HANDLE *>(&s.child_process), process.hProcess);

    DWORD exit_code = wait_for_child(process.hProcess);

    // See release_child_handle: taking the handle back means the interrupt
    // thread never had it; finding the field empty means it did.
    if (InterlockedExchangePointer(const_cast<HANDLE *>(&s.child_process), nullptr) != nullptr)
        CloseHandle(process.hProcess);
    else
        release_child_handle(process.hProcess);
    cleanup();
    return exit_code;
}
