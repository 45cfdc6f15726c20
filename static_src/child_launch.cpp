// Starting the launcher's own executable as the child that runs the
// application, and waiting for it.
#include "launcher.h"
#include "error_reporting.h"

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

void publish_for_application()
{
    LauncherState &s = launcher_state;
    if (s.launcher_executable_path[0] == L'\0') {
        DWORD length = GetModuleFileNameW(nullptr, s.launcher_executable_path,
                                          static_cast<DWORD>(array_count(s.launcher_executable_path)));
        check_or_abort(length != 0);
    }
    copy_wide_text(s.launcher_directory, get_launcher_path(false), array_count(s.launcher_directory));
    wchar_t *last_separator = wcsrchr(s.launcher_directory, L'\\');
    if (last_separator != nullptr)
        *last_separator = L'\0';
    write_environment_variable("VESKAR_ONEFILE_DIRECTORY", s.launcher_directory);
    write_environment_variable("VESKAR_ORIGINAL_ARGV0", s.argument_count >= 1 ? s.argument_vector[0] : nullptr);
}

// Takes the next argument off `cursor` the way CommandLineToArgvW splits a
// command line, into `argument`; false when none is left. The first
// argument, the program, ends at the next quote if it starts with one,
// otherwise at a blank, and knows no escapes. After it, 2n backslashes and
// a quote give n backslashes and open or close quoting, 2n+1 backslashes and
// a quote give n backslashes and a literal quote, other backslashes are
// literal, and inside quotes "" gives a literal quote and ends the quoting.
bool split_next_argument(const wchar_t *&cursor, wchar_t *argument, size_t capacity, bool first)
{
    size_t length = 0;
    argument[0] = L'\0';
    if (first) {
        wchar_t end = L'\0';
        if (*cursor == L'"') {
            end = L'"';
            cursor++;
        }
        while (*cursor != L'\0' && (end == L'"' ? *cursor != L'"' : *cursor != L' ' && *cursor != L'\t'))
            append_unit(argument, length, capacity, *cursor++);
        if (end == L'"' && *cursor == L'"')
            cursor++;
        return true;
    }
    while (*cursor == L' ' || *cursor == L'\t')
        cursor++;
    if (*cursor == L'\0')
        return false;
    size_t backslashes = 0;
    int quotes = 0;  // odd while inside quotes
    while (*cursor != L'\0') {
        wchar_t unit = *cursor;
        if ((unit == L' ' || unit == L'\t') && quotes == 0)
            break;
        if (unit == L'\\') {
            append_unit(argument, length, capacity, unit);
            backslashes++;
            cursor++;
            continue;
        }
        if (unit != L'"') {
            append_unit(argument, length, capacity, unit);
            backslashes = 0;
            cursor++;
            continue;
        }
        // Half the backslashes before a quote stay; an odd one escapes it.
        length -= backslashes / 2;
        if (backslashes % 2 == 0) {
            quotes++;
        } else {
            length--;
            append_unit(argument, length, capacity, L'"');
        }
        argument[length] = L'\0';
        backslashes = 0;
        cursor++;
        for (; *cursor == L'"'; cursor++) {
            if (++quotes == 3) {
                append_unit(argument, length, capacity, L'"');
                quotes = 0;
            }
        }
        if (quotes == 2)
            quotes = 0;
    }
    return true;
}

static void build_child_command_line()
{
    LauncherState &s = launcher_state;
    s.child_command_line[0] = L'\0';
    size_t length = 0;
    const wchar_t *cursor = GetCommandLineW();
    // Argument 0 becomes the launcher's own full path.
    split_next_argument(cursor, s.split_argument, array_count(s.split_argument), true);
    append_quoted_argument(s.child_command_line, length, array_count(s.child_command_line),
                           s.launcher_executable_path);
    while (split_next_argument(cursor, s.split_argument, array_count(s.split_argument), false)) {
        append_unit(s.child_command_line, length, array_count(s.child_command_line), L' ');
        append_quoted_argument(s.child_command_line, length, array_count(s.child_command_line), s.split_argument);
    }
}

// Waits until the child has ended and returns its exit code. When the
// interrupt thread has taken the child, it ends it within seconds; this
// thread's handle stays valid until it releases it.
static DWORD wait_for_child(HANDLE child)
{
    DWORD exit_code = 0;
    if (WaitForSingleObject(child, INFINITE) != WAIT_OBJECT_0 || !GetExitCodeProcess(child, &exit_code))
        return 1;
    return exit_code;
}

DWORD launch_and_supervise()
{
    LauncherState &s = launcher_state;
    publish_for_application();
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    build_child_command_line();

    // Started suspended and published before it runs, in one guarded step:
    // an interrupt from now on waits for the step, then finds the child and
    // ends it, or is seen here and the child never runs.
    if (!begin_guarded_step())
        stop_for_interrupt();
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(s.launcher_executable_path, s.child_command_line, nullptr, nullptr, TRUE,
                        NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED, nullptr, nullptr, &startup, &process)) {
        DWORD error = GetLastError();
        end_guarded_step();
        report_os_error(MESSAGE_LAUNCH_FAILED, error);
    }
    publish_child(process.hProcess);
    if (stop_is_requested()) {
        TerminateProcess(process.hProcess, 0);
        end_guarded_step();
        stop_for_interrupt();
    }
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    end_guarded_step();
    start_sweep_of_stale_trees();

    DWORD exit_code = wait_for_child(process.hProcess);
    let_child_go(process.hProcess);
    cleanup();
    // An interrupt that ended the child ends the launcher as interrupted.
    if (stop_is_requested())
        stop_for_interrupt();
    return exit_code;
}
