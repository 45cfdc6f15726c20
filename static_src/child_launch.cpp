// Starting the child that runs the application, and waiting for it: the
// launcher's own executable for an application library, the unpacked
// entry program itself for an ordinary application.
#include "launcher.h"
#include "build_note_keys.h"
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

// A fixed argument of the entry program as packed (UTF-8), with every
// "{APP_DIR}" replaced by the unpack directory, into `argument`.
static void expand_fixed_argument(const char *value, size_t length, wchar_t *argument, size_t capacity)
{
    LauncherState &s = launcher_state;
    if (!wide_from_utf8(value, length, s.fixed_argument, array_count(s.fixed_argument)))
        report_error(MESSAGE_DECODING_FAILED);
    static const wchar_t placeholder[] = L"{APP_DIR}";
    const size_t placeholder_length = array_count(placeholder) - 1;
    argument[0] = L'\0';
    const wchar_t *rest = s.fixed_argument;
    for (const wchar_t *found; (found = wcsstr(rest, placeholder)) != nullptr; rest = found + placeholder_length) {
        size_t used = wcslen(argument);
        size_t before = static_cast<size_t>(found - rest);
        check_or_abort(capacity - used > before);
        wmemcpy(argument + used, rest, before);
        argument[used + before] = L'\0';
        append_wide_text(argument, s.unpack_directory, capacity);
    }
    append_wide_text(argument, rest, capacity);
}

// Argument 0 is `program`; an entry program's fixed arguments follow; then
// the launcher's own arguments. The launcher's own child gets them re-quoted
// as it splits them; an entry program gets the rest of the launcher's command
// line after argument 0 exactly as typed: its runtime may split by other
// rules (a doubled quote inside quotes), or it may read the line itself.
static void build_child_command_line(const wchar_t *program)
{
    LauncherState &s = launcher_state;
    s.child_command_line[0] = L'\0';
    size_t length = 0;
    const size_t capacity = array_count(s.child_command_line);
    append_quoted_argument(s.child_command_line, length, capacity, program);
    const char *notes = s.exe_entry ? s.build_notes : nullptr;
    const char *value = nullptr;
    size_t value_length = 0;
    while (next_build_note(notes, note_app_arg, value, value_length)) {
        expand_fixed_argument(value, value_length, s.split_argument, array_count(s.split_argument));
        append_unit(s.child_command_line, length, capacity, L' ');
        append_quoted_argument(s.child_command_line, length, capacity, s.split_argument);
    }
    const wchar_t *cursor = GetCommandLineW();
    split_next_argument(cursor, s.split_argument, array_count(s.split_argument), true);
    if (s.exe_entry) {
        // A blank keeps a tail that follows argument 0's closing quote
        // directly from joining the last fixed argument.
        if (*cursor != L'\0' && *cursor != L' ' && *cursor != L'\t')
            append_unit(s.child_command_line, length, capacity, L' ');
        for (; *cursor != L'\0'; cursor++)
            append_unit(s.child_command_line, length, capacity, *cursor);
        return;
    }
    while (split_next_argument(cursor, s.split_argument, array_count(s.split_argument), false)) {
        append_unit(s.child_command_line, length, capacity, L' ');
        append_quoted_argument(s.child_command_line, length, capacity, s.split_argument);
    }
}

// The job an entry program runs in. Its only handle stays with the
// launcher, so the system ends the entry when the launcher ends for any
// reason, a kill included; what the entry starts leaves the job silently,
// so a browser or helper it opens lives on. Null when the system refuses:
// the entry then runs without it.
static HANDLE make_entry_job()
{
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
    if (job != nullptr && !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        job = nullptr;
    }
    return job;
}

// The launcher's standard handles as the child's: each duplicated as
// inheritable, since only inheritable handles reach the child and the
// launcher's own need not be (a parent may have handed it handles it did not
// mark so). A handle that is absent, or that the system will not duplicate,
// is passed as it is.
static void set_inheritable_standard_handles(STARTUPINFOW &startup)
{
    HANDLE *fields[] = {&startup.hStdInput, &startup.hStdOutput, &startup.hStdError};
    const DWORD which[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (size_t i = 0; i < array_count(fields); i++) {
        HANDLE own = GetStdHandle(which[i]), copy = nullptr;
        bool usable = own != nullptr && own != INVALID_HANDLE_VALUE;
        *fields[i] = usable && DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &copy, 0, TRUE,
                                               DUPLICATE_SAME_ACCESS)
                         ? copy
                         : own;
    }
}

// Closes the copies once the child has its own.
static void close_standard_handle_copies(const STARTUPINFOW &startup)
{
    HANDLE fields[] = {startup.hStdInput, startup.hStdOutput, startup.hStdError};
    const DWORD which[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (size_t i = 0; i < array_count(fields); i++) {
        if (fields[i] != GetStdHandle(which[i]))
            CloseHandle(fields[i]);
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
    set_inheritable_standard_handles(startup);
    const wchar_t *program = s.launcher_executable_path;
    if (s.exe_entry) {
        program = s.first_record_path;
        // A GUI launcher started without any handles passes none: a console
        // entry then gets its new console's own.
        if (startup.hStdInput == nullptr && startup.hStdOutput == nullptr && startup.hStdError == nullptr)
            startup.dwFlags = 0;
        write_environment_variable("VESKAR_ONEFILE_TREE", s.unpack_directory);
        clear_unpack_name_values();
        // The entry searches for its libraries as when started directly.
        SetDllDirectoryW(nullptr);
        s.entry_job = make_entry_job();
    }
    build_child_command_line(program);

    // Started suspended and published before it runs, in one guarded step:
    // an interrupt from now on waits for the step, then finds the child and
    // ends it, or is seen here and the child never runs.
    if (!begin_guarded_step())
        stop_for_interrupt();
    PROCESS_INFORMATION process = {};
    SystemPath program_path;
    bool created = CreateProcessW(unprefixed_system_path(program_path, program), s.child_command_line, nullptr,
                                  nullptr, TRUE, NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED, nullptr, nullptr, &startup,
                                  &process);
    DWORD error = GetLastError();
    close_standard_handle_copies(startup);
    if (!created) {
        end_guarded_step();
        report_os_error(MESSAGE_LAUNCH_FAILED, error);
    }
    if (s.entry_job != nullptr)
        AssignProcessToJobObject(s.entry_job, process.hProcess);
    // The splash thread watches for the entry program's first window.
    if (s.exe_entry)
        InterlockedExchange(reinterpret_cast<volatile LONG *>(&s.splash_entry_process),
                            static_cast<LONG>(process.dwProcessId));
    publish_child(process.hProcess);
    if (s.exe_entry)
        hand_interrupts_to_entry();
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
