// The child role's whole job: load the application library from the unpack
// directory and give it the process.
#include "launcher.h"
#include "error_reporting.h"

#include <stdlib.h>

void hand_off_to_library()
{
    LauncherState &s = launcher_state;
    // Dependencies are searched in the library's own directory, the unpack
    // directory and System32, never in the current directory.
    AddDllDirectory(s.unpack_directory);
    HMODULE library = LoadLibraryExW(s.first_record_path, nullptr,
                                     LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_USER_DIRS |
                                         LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR);
    if (library == nullptr)
        report_os_error(MESSAGE_LOAD_FAILED, GetLastError());
    run_code_function run_code =
        reinterpret_cast<run_code_function>(reinterpret_cast<void *>(GetProcAddress(library, "run_code")));
    if (run_code == nullptr)
        report_error(MESSAGE_ENTRY_POINT_MISSING);
    // The reader stays open and the library loaded: both go with the process.
    exit(run_code(s.argument_count, s.argument_vector, s.first_record_path));
}
