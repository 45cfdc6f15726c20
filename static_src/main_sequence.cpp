// The main sequence of both roles. A run started by a user is the parent:
// it unpacks, starts its own executable again and supervises it. A run whose
// parent is the same executable is the child: it runs the application.
// With an entry program there is no child: the parent starts the program. A
// reusing parent with an application library that runs from its published
// tree removes nothing at exit and needs no child: it runs the application
// itself.
#include "launcher.h"
#include "error_reporting.h"

#include <stdio.h>
#include <stdlib.h>

LauncherState launcher_state;

const wchar_t default_unpack_path_spec[] = L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}";

static void publish_parent_process_id()
{
    char narrow[128];
    snprintf(narrow, sizeof narrow, "%ld", static_cast<long>(GetCurrentProcessId()));
    wchar_t wide[128] = L"";
    append_narrow_text(wide, narrow, array_count(wide));
    write_environment_variable("VESKAR_ONEFILE_PARENT", wide);
}

void clear_unpack_name_values()
{
    write_environment_variable("VESKAR_ONEFILE_START", nullptr);
    write_environment_variable("VESKAR_ONEFILE_TIME_US", nullptr);
    write_environment_variable("VESKAR_ONEFILE_RANDOM", nullptr);
}

int run_main_sequence()
{
    LauncherState &s = launcher_state;
    s.argument_count = __argc;
    s.argument_vector = __wargv;
    SetDllDirectoryW(L"");  // the current directory leaves the library search order
    // An entry program is started by the parent itself: a launcher it
    // starts again is a whole new run, never a child.
    bool child = !s.exe_entry && decide_role();
    const wchar_t *spec = s.unpack_path_spec[0] != L'\0' ? s.unpack_path_spec : default_unpack_path_spec;

    if (!child) {
        // Old time and random values must not name this run's directory.
        clear_unpack_name_values();
        publish_parent_process_id();
        bool expanded = expand_path_spec(s.unpack_directory, spec, array_count(s.unpack_directory));
        show_splash_screen();
        if (!expanded)
            report_spec_expansion_failure(spec);
        if (!SetConsoleCtrlHandler(console_control_handler, TRUE))
            report_error(MESSAGE_SIGNAL_HANDLER_FAILED);
        s.child_role = false;
    } else {
        // The inherited variables make this the parent's directory; a
        // reused tree is named by the parent instead.
        bool expanded = s.reuse_tree || expand_path_spec(s.unpack_directory, spec, array_count(s.unpack_directory));
        if (!expanded)
            report_spec_expansion_failure(spec);
        s.child_role = true;
    }

    if (s.reuse_tree && start_from_reused_tree() == reused_start_ready) {
        if (s.running_from_reused_tree && !s.reuse_in_child_process && !s.exe_entry)
            return run_application_in_own_process();
        return static_cast<int>(launch_and_supervise());
    }

    place_per_run_directory();
    open_attached_data();
    if (!child)
        create_unpack_directory();
    else
        hold_unpack_directory();
    unpack_all_records();  // the child role hands off to the application in here
    close_attached_data();
    return static_cast<int>(launch_and_supervise());
}
