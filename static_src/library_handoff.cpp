// Running the application: load its library from the unpack directory and
// call run_code. The child role does it and ends with its status; a reusing
// parent running from its published tree does it in its own process, with
// what a child would have been given.
#include "launcher.h"
#include "error_reporting.h"

#include <stdlib.h>
#include <wchar.h>

static int run_application_library(int argument_count, wchar_t **argument_vector)
{
    LauncherState &s = launcher_state;
    // Dependencies are searched in the library's own directory, the unpack
    // directory and System32, never in the current directory. The library
    // itself is loaded by its \\?\ form past the limit; a library in a
    // subfolder finds its neighbours there also where the search directory
    // has no short form (the loader searches its own folder by that form).
    SystemPath directory, library_path;
    AddDllDirectory(unprefixed_system_path(directory, s.unpack_directory));
    // Every later load by a bare name (the application's own, a delay-loaded
    // import) searches the same places: the tree's two folders and System32.
    // Not the process's default order, whose first place is the launcher's
    // folder (often Downloads), nor PATH, whose folders anyone may have been
    // able to write to; an application that wants a library from elsewhere
    // names its full path or adds its folder itself.
    wchar_t library_folder[path_capacity];
    copy_wide_text(library_folder, s.first_record_path, array_count(library_folder));
    wchar_t *separator = wcsrchr(library_folder, L'\\');
    if (separator != nullptr)
        *separator = L'\0';
    if (wcscmp(library_folder, s.unpack_directory) != 0)
        AddDllDirectory(unprefixed_system_path(directory, library_folder));
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_USER_DIRS);
    HMODULE library = LoadLibraryExW(system_path(library_path, s.first_record_path), nullptr,
                                     LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_USER_DIRS |
                                         LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR);
    if (library == nullptr)
        report_os_error(MESSAGE_LOAD_FAILED, GetLastError());
    run_code_function run_code =
        reinterpret_cast<run_code_function>(reinterpret_cast<void *>(GetProcAddress(library, "run_code")));
    if (run_code == nullptr)
        report_error(MESSAGE_ENTRY_POINT_MISSING);
    // The reader stays open and the library loaded: both go with the process.
    return run_code(argument_count, argument_vector, s.first_record_path);
}

void hand_off_to_library()
{
    LauncherState &s = launcher_state;
    exit(run_application_library(s.argument_count, s.argument_vector));
}

static void add_application_argument(const wchar_t *argument)
{
    LauncherState &s = launcher_state;
    size_t count = static_cast<size_t>(s.application_argument_count);
    // The command line holds fewer than command_line_capacity arguments.
    check_or_abort(count + 2 <= command_line_capacity);
    s.application_arguments =
        static_cast<wchar_t **>(realloc(s.application_arguments, (count + 2) * sizeof(wchar_t *)));
    check_or_abort(s.application_arguments != nullptr);
    s.application_arguments[count] = _wcsdup(argument);
    check_or_abort(s.application_arguments[count] != nullptr);
    s.application_arguments[count + 1] = nullptr;
    s.application_argument_count++;
}

// The vector a child reads from the command line the parent builds for it:
// the launcher's full path, then the own arguments as split from the
// command line.
static void build_application_arguments()
{
    LauncherState &s = launcher_state;
    const wchar_t *cursor = GetCommandLineW();
    split_next_argument(cursor, s.split_argument, array_count(s.split_argument), true);
    add_application_argument(s.launcher_executable_path);
    while (split_next_argument(cursor, s.split_argument, array_count(s.split_argument), false))
        add_application_argument(s.split_argument);
}

int run_application_in_own_process()
{
    LauncherState &s = launcher_state;
    publish_for_application();
    build_application_arguments();
    // From here on a console event is the application's, as in a child.
    if (!hand_console_to_application())
        stop_for_interrupt();
    start_sweep_of_stale_trees();
    int status = run_application_library(s.application_argument_count, s.application_arguments);
    end_sweep();
    // The splash feedback file is the run's; the tree is kept.
    SystemPath feedback;
    if (s.splash_feedback_file_path[0] != L'\0')
        DeleteFileW(system_path(feedback, s.splash_feedback_file_path));
    return status;
}
