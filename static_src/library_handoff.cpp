// The child role's whole job: load the application library from the unpack
// directory and give it the process.
#include "launcher.h"
#include "error_reporting.h"

#include <stdlib.h>
#include <wchar.h>

// The unpack directory in a form AddDllDirectory takes. It takes a drive or
// UNC path only, never the \\?\ form; so past the system's limit the
// directory's short form is given where the volume keeps short names and it
// is short enough, else the plain path, which only a system with long paths
// enabled follows (a library in a subfolder then finds its neighbours there
// still: the loader searches the library's own folder by its \\?\ form).
static const wchar_t *search_directory(SystemPath &buffer, const wchar_t *directory)
{
    const wchar_t *path = system_path(buffer, directory);
    if (path == directory)
        return directory;
    wchar_t short_form[system_path_capacity];
    DWORD length = GetShortPathNameW(path, short_form, static_cast<DWORD>(array_count(short_form)));
    if (length == 0 || length >= array_count(short_form))
        return directory;
    buffer.text[0] = L'\0';
    if (wcsncmp(short_form, L"\\\\?\\UNC\\", 8) == 0) {
        append_wide_text(buffer.text, L"\\\\", array_count(buffer.text));
        append_wide_text(buffer.text, short_form + 8, array_count(buffer.text));
    } else {
        append_wide_text(buffer.text, short_form + 4, array_count(buffer.text));
    }
    SystemPath again;
    return system_path(again, buffer.text) == buffer.text ? buffer.text : directory;
}

void hand_off_to_library()
{
    LauncherState &s = launcher_state;
    // Dependencies are searched in the library's own directory, the unpack
    // directory and System32, never in the current directory. The library
    // itself is loaded by its \\?\ form past the limit.
    SystemPath directory, library_path;
    AddDllDirectory(search_directory(directory, s.unpack_directory));
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
    exit(run_code(s.argument_count, s.argument_vector, s.first_record_path));
}
