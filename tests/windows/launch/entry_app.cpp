// entry.exe: the ordinary program the launch tests pack as an entry, built
// as a console and as a GUI program from this one source. The launcher
// starts it from the unpacked tree; what it does is chosen by its first
// argument after the fixed ones (the first argument that is not
// "fixed:..."), and it reports like probe.dll does.
//
//   args                     every argument, working directory, the published
//                            variables, own path, own command line; 0
//   echo                     standard input to standard output, then a line on
//                            standard error; 0
//   exit N                   returns N (decimal, or hexadecimal with 0x)
//   wait READY GO STATUS     as probe.dll's, and a console event is noted in
//                            READY.event and otherwise ignored
//   relaunch                 own path, then runs VESKAR_ORIGINAL_ARGV0 "args"
//                            (the launcher, as the user started it); its status
//   spawn READY GO           starts a copy of itself in "wait READY GO 0" that
//                            shares nothing with it, waits for READY; 7
#include "probe_report.h"

static std::wstring event_file;

static BOOL WINAPI note_console_event(DWORD event_type)
{
    write_whole_file(event_file, std::to_string(event_type) + "\n");
    return TRUE;
}

static std::wstring own_path()
{
    std::vector<wchar_t> path(32768);
    DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    return std::wstring(path.data(), length);
}

static int report_arguments(int argc, wchar_t **argv)
{
    report("count", std::to_string(argc));
    for (int i = 0; i < argc; i++)
        report("argument", hex(argv[i]));
    std::vector<wchar_t> directory(32768);
    GetCurrentDirectoryW(static_cast<DWORD>(directory.size()), directory.data());
    report("working directory", hex(directory.data()));
    for (const wchar_t *name : {L"VESKAR_ORIGINAL_ARGV0", L"VESKAR_ONEFILE_DIRECTORY", L"VESKAR_ONEFILE_PARENT",
                                L"VESKAR_ONEFILE_TREE", L"VESKAR_ONEFILE_RANDOM"}) {
        bool present = false;
        std::wstring value = variable(name, present);
        report(utf8(name), present ? hex(value.c_str()) : "unset");
    }
    report("program", hex(own_path().c_str()));
    report("command line", hex(GetCommandLineW()));
    return 0;
}

static int echo_input()
{
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) && got > 0)
        write_out(std::string(buffer, got));
    DWORD written = 0;
    const char line[] = "to standard error\n";
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, sizeof line - 1, &written, nullptr);
    return 0;
}

// Runs `line` with `inherit` handles and waits for it; its status, or 90 and up.
static int run_and_wait(const wchar_t *program, std::wstring line, bool inherit, HANDLE *left_running)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program, &line[0], nullptr, nullptr, inherit, inherit ? 0 : DETACHED_PROCESS, nullptr,
                        nullptr, &startup, &process))
        return 90;
    CloseHandle(process.hThread);
    if (left_running != nullptr) {
        *left_running = process.hProcess;
        return 0;
    }
    DWORD status = 91;
    if (WaitForSingleObject(process.hProcess, patience_ms()) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    return static_cast<int>(status);
}

static int relaunch()
{
    report("program", hex(own_path().c_str()));
    bool present = false;
    std::wstring launcher = variable(L"VESKAR_ORIGINAL_ARGV0", present);
    int status = run_and_wait(nullptr, L"\"" + launcher + L"\" args", true, nullptr);
    report("relaunch status", std::to_string(status));
    return status;
}

static int spawn(const wchar_t *ready, const wchar_t *go)
{
    std::wstring self = own_path();
    HANDLE copy = nullptr;
    int started = run_and_wait(self.c_str(), L"\"" + self + L"\" wait \"" + ready + L"\" \"" + go + L"\" 0", false,
                               &copy);
    if (started != 0)
        return started;
    for (DWORD waited = 0; GetFileAttributesW(ready) == INVALID_FILE_ATTRIBUTES; waited += 20) {
        if (waited > patience_ms() || WaitForSingleObject(copy, 0) == WAIT_OBJECT_0)
            return 92;
        Sleep(20);
    }
    CloseHandle(copy);
    return 7;
}

static int entry_main(int argc, wchar_t **argv)
{
    int first = 1;
    while (first < argc && wcsncmp(argv[first], L"fixed:", 6) == 0)
        first++;
    int count = argc - first;
    std::wstring mode = count >= 1 ? argv[first] : L"";
    wchar_t **rest = argv + first + 1;
    if (mode == L"args")
        return report_arguments(argc, argv);
    if (mode == L"echo")
        return echo_input();
    if (mode == L"exit" && count == 2)
        return static_cast<int>(wcstoul(rest[0], nullptr, 0));
    if (mode == L"wait" && count == 4) {
        event_file = std::wstring(rest[0]) + L".event";
        SetConsoleCtrlHandler(note_console_event, TRUE);
        return wait_for_go(rest[0], rest[1], rest[2], own_path().c_str());
    }
    if (mode == L"relaunch")
        return relaunch();
    if (mode == L"spawn" && count == 3)
        return spawn(rest[0], rest[1]);
    report("problem", "unknown mode");
    return 99;
}

#ifdef ENTRY_GUI
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    return entry_main(__argc, __wargv);
}
#else
int wmain(int argc, wchar_t **argv)
{
    return entry_main(argc, argv);
}
#endif
