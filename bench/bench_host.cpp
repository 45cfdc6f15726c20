// A plain executable that runs an application library the simplest way:
//   bench_host.exe LIBRARY          load it and call run_code in this process
//   bench_host.exe --twice LIBRARY  start this executable once more as a child
//                                   that does the above, wait, pass its status on
// The second form is the floor of a launcher that always runs its
// application in a second process of its own executable.
#include <windows.h>

#include <stdlib.h>
#include <wchar.h>

typedef int (*run_code_function)(int, wchar_t **, const wchar_t *);

static int run_library(const wchar_t *library_path)
{
    wchar_t full[MAX_PATH];
    DWORD length = GetFullPathNameW(library_path, MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH)
        return 80;
    HMODULE library = LoadLibraryExW(full, nullptr,
                                     LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_USER_DIRS |
                                         LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR);
    if (library == nullptr)
        return 81;
    run_code_function run_code =
        reinterpret_cast<run_code_function>(reinterpret_cast<void *>(GetProcAddress(library, "run_code")));
    if (run_code == nullptr)
        return 82;
    return run_code(__argc, __wargv, full);
}

static int run_twice(const wchar_t *library_path)
{
    wchar_t self[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return 83;
    wchar_t command_line[3 * MAX_PATH + 8];
    if (swprintf(command_line, sizeof command_line / sizeof command_line[0], L"\"%ls\" \"%ls\"", self,
                 library_path) < 0)
        return 84;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(self, command_line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        return 85;
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 86;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    return static_cast<int>(status);
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    if (__argc == 2)
        return run_library(__wargv[1]);
    if (__argc == 3 && wcscmp(__wargv[1], L"--twice") == 0)
        return run_twice(__wargv[2]);
    return 87;
}
