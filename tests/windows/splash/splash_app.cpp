// The application packed into the splash test launchers. It looks at what a
// user would see of the splash from inside the application (is a "Splash"
// window up, where, and is the feedback file there) and writes that down in a
// control folder named by its first argument. Then it follows the test's lead
// through files in that folder: it writes "ready", waits for "go", deletes
// the splash feedback file if its second argument is "delete", and waits for
// "finish" before it looks once more and returns 42.
// The second argument "report" makes it look once and return at once,
// "print" also writes a line to each stream (with the console's mode), and
// "window" shows a small window of its own at "go" instead of deleting
// the file. Built as a library and, with SPLASH_ENTRY_PROGRAM, as a GUI
// program for an entry launcher.
#include <windows.h>
#include <objbase.h>

#include <stdio.h>
#include <string>

// Waiting for the test is bounded so that a broken test never leaves an
// application behind; the limit is far above any real wait.
static const DWORD wait_limit_ms = 600000;

static std::wstring splash_feedback_file_path()
{
    // The same place the launcher uses: {TEMP}\onefile_{PID}_splash_feedback.tmp,
    // where PID is the launcher's process ID handed down to us.
    wchar_t temp[MAX_PATH + 1] = {};
    DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    std::wstring path(temp, length);
    while (!path.empty() && path.back() == L'\\')
        path.pop_back();
    wchar_t parent[32] = {};
    GetEnvironmentVariableW(L"VESKAR_ONEFILE_PARENT", parent, 32);
    return path + L"\\onefile_" + parent + L"_splash_feedback.tmp";
}

static bool file_exists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

static void write_text(const std::wstring &path, const std::string &text)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

// Whether this thread may join the multithreaded apartment, as a thread
// that no one has initialised COM on may.
static std::string multithreaded_apartment()
{
    HRESULT result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(result))
        CoUninitialize();
    return SUCCEEDED(result) ? "multithreaded_apartment: yes\n" : "multithreaded_apartment: no\n";
}

// "splash_window: none" or "splash_window: visible|hidden LEFT TOP RIGHT BOTTOM",
// then "feedback_file: present|absent" and "progress_window: up|none", then
// on `start` whether the application's thread may join the multithreaded
// apartment.
static void write_observation(const std::wstring &path, bool start = false)
{
    std::string text = "splash_window: ";
    HWND window = FindWindowA("Splash", nullptr);
    if (window == nullptr) {
        text += "none\n";
    } else {
        RECT r = {};
        GetWindowRect(window, &r);
        char line[128];
        snprintf(line, sizeof line, "%s %ld %ld %ld %ld\n", IsWindowVisible(window) ? "visible" : "hidden", r.left,
                 r.top, r.right, r.bottom);
        text += line;
    }
    text += file_exists(splash_feedback_file_path()) ? "feedback_file: present\n" : "feedback_file: absent\n";
    text += FindWindowA("VeskarProgress", nullptr) != nullptr ? "progress_window: up\n" : "progress_window: none\n";
    if (start)
        text += multithreaded_apartment();
    write_text(path, text);
}

static bool wait_for_file(const std::wstring &path)
{
    for (DWORD waited = 0; waited < wait_limit_ms; waited += 20) {
        if (file_exists(path))
            return true;
        Sleep(20);
    }
    return false;
}

extern "C" __declspec(dllexport) int run_code(int argument_count, wchar_t **argument_vector, const wchar_t *)
{
    if (argument_count < 3)
        return 80;
    std::wstring control = argument_vector[1];
    std::wstring action = argument_vector[2];
    write_observation(control + L"\\start.txt", true);
    if (action == L"report")
        return 42;
    if (action == L"print") {  // one line to each stream, and the console's mode as the application finds it
        DWORD mode = 0;
        printf("application output\n");
        fprintf(stderr, GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) ? "console mode: %lx\n" : "none\n", mode);
        return fflush(stdout) == 0 && fflush(stderr) == 0 ? 42 : 93;
    }
    write_text(control + L"\\ready", "");
    if (!wait_for_file(control + L"\\go"))
        return 90;
    if (action == L"delete")
        write_text(control + L"\\deleted", DeleteFileW(splash_feedback_file_path().c_str()) ? "yes\n" : "no\n");
    // In a corner, away from the splash.
    if (action == L"window" && CreateWindowExA(0, "Static", nullptr, WS_POPUP | WS_VISIBLE, 0, 0, 8, 8, nullptr,
                                                nullptr, nullptr, nullptr) == nullptr)
        return 92;
    if (!wait_for_file(control + L"\\finish"))
        return 91;
    write_observation(control + L"\\finish.txt");
    return 42;
}

#ifdef SPLASH_ENTRY_PROGRAM
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    return run_code(__argc, __wargv, nullptr);
}
#endif
