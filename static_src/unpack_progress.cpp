// Progress while the parent unpacks: the bytes handed to be written of the
// bytes to write, which the packer records in the build notes. The decoding
// thread counts them and publishes the count at most ten times a second,
// and only once a second has passed: a start that is done by then shows
// exactly what it showed before. Where the count goes: a console launcher
// whose standard error is an interactive console rewrites one line there
// (and, where the console takes virtual-terminal sequences, shows it on the
// terminal's tab); a splash gets a bar along its bottom edge; a GUI
// launcher without a splash shows a window of its own. Nothing ever reaches
// a pipe, a file or NUL, and the line is erased before anything else is
// written.
#include "launcher.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

enum : ULONGLONG { progress_delay_ms = 1000, progress_interval_ms = 100 };

void begin_unpack_progress()
{
    LauncherState &s = launcher_state;
    if (s.progress_off || s.progress_total == 0)
        return;
    s.progress_done = 0;
    s.progress_next_tick = GetTickCount64() + progress_delay_ms;
}

static bool launcher_is_console_program()
{
    const unsigned char *base = reinterpret_cast<const unsigned char *>(GetModuleHandleW(nullptr));
    const IMAGE_DOS_HEADER *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const IMAGE_NT_HEADERS64 *nt = reinterpret_cast<const IMAGE_NT_HEADERS64 *>(base + dos->e_lfanew);
    return nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI;
}

// A name for people, not a path: one too long for its field is cut.
static void copy_display_name(const wchar_t *name, size_t length)
{
    LauncherState &s = launcher_state;
    size_t units = length < array_count(s.application_name) - 1 ? length : array_count(s.application_name) - 1;
    memcpy(s.application_name, name, units * sizeof(wchar_t));
    s.application_name[units] = L'\0';
}

// The product name of the version information, in its first translation;
// else the launcher's file name without ".exe".
static void find_application_name()
{
    const wchar_t *path = get_launcher_path(false);
    auto info_size = system_function<decltype(&GetFileVersionInfoSizeW)>(L"version.dll", "GetFileVersionInfoSizeW");
    auto read_info = system_function<decltype(&GetFileVersionInfoW)>(L"version.dll", "GetFileVersionInfoW");
    auto query = system_function<decltype(&VerQueryValueW)>(L"version.dll", "VerQueryValueW");
    DWORD ignored = 0;
    DWORD size = info_size != nullptr && read_info != nullptr && query != nullptr ? info_size(path, &ignored) : 0;
    void *info = size > 0 ? malloc(size) : nullptr;
    if (info != nullptr && read_info(path, 0, size, info)) {
        const WORD *translation = nullptr;
        UINT length = 0;
        if (query(info, L"\\VarFileInfo\\Translation", reinterpret_cast<void **>(const_cast<WORD **>(&translation)),
                  &length) &&
            length >= 4) {
            wchar_t key[64];
            swprintf(key, array_count(key), L"\\StringFileInfo\\%04x%04x\\ProductName", translation[0],
                     translation[1]);
            const wchar_t *name = nullptr;
            if (query(info, key, reinterpret_cast<void **>(const_cast<wchar_t **>(&name)), &length) && length > 1 &&
                name[0] != L'\0') {
                copy_display_name(name, wcsnlen(name, length));
                free(info);
                return;
            }
        }
    }
    free(info);
    const wchar_t *file = wcsrchr(path, L'\\');
    file = file != nullptr ? file + 1 : path;
    size_t length = wcslen(file);
    if (length > 4 && _wcsicmp(file + length - 4, L".exe") == 0)
        length -= 4;
    copy_display_name(file, length);
}

static void write_console(const wchar_t *text, size_t length)
{
    DWORD written = 0;
    WriteConsoleW(launcher_state.progress_console, text, static_cast<DWORD>(length), &written, nullptr);
}

// Whole megabytes (of 1,000,000 bytes) with thousands separators.
static void format_megabytes(uint64_t bytes, wchar_t (&text)[32])
{
    wchar_t digits[24];
    int count = swprintf(digits, array_count(digits), L"%llu", static_cast<unsigned long long>(bytes / 1000000));
    size_t out = 0;
    for (int i = 0; i < count; i++) {
        if (i > 0 && (count - i) % 3 == 0)
            text[out++] = L',';
        text[out++] = digits[i];
    }
    text[out] = L'\0';
}

// Under the lock. "Unpacking NAME: 37 % (412 of 1,113 MB)" from the line's
// start, over what the last one left, cut to the console's width (a line
// that wrapped could not be rewritten); the percentage on the tab first.
static void show_console_line(uint64_t done)
{
    LauncherState &s = launcher_state;
    unsigned percent = static_cast<unsigned>(done * 100.0 / static_cast<double>(s.progress_total));
    if (s.progress_terminal_sequence) {
        wchar_t sequence[32];
        int length = swprintf(sequence, array_count(sequence), L"\x1b]9;4;1;%u\x07", percent);
        write_console(sequence, static_cast<size_t>(length));
    }
    wchar_t done_text[32], total_text[32], tail[96], line[256];
    format_megabytes(done, done_text);
    format_megabytes(s.progress_total, total_text);
    int tail_length = swprintf(tail, array_count(tail), L": %u %% (%ls of %ls MB)", percent, done_text, total_text);
    CONSOLE_SCREEN_BUFFER_INFO screen = {};
    LONG columns = GetConsoleScreenBufferInfo(s.progress_console, &screen)
                       ? screen.srWindow.Right - screen.srWindow.Left + 1
                       : 80;
    static const wchar_t head[] = L"Unpacking ";
    LONG room = columns - 1 - static_cast<LONG>(array_count(head) - 1) - tail_length;
    if (room < 1)
        return;
    int length = swprintf(line, array_count(line), L"\r%ls%.*ls%ls", head, static_cast<int>(room),
                          s.application_name, tail);
    if (length < 0)
        return;
    write_console(line, static_cast<size_t>(length));
    DWORD shown = static_cast<DWORD>(length - 1);
    for (DWORD i = shown; i < s.progress_line_length; i++)
        write_console(L" ", 1);
    if (shown < s.progress_line_length)
        write_console(L"\r", 1);
    s.progress_line_length = shown;
}

// Where the first publication shows the progress.
static void start_displays()
{
    LauncherState &s = launcher_state;
    find_application_name();
    if (launcher_is_console_program()) {
        HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
        DWORD mode = 0;
        // Only a console has a mode: a pipe, a file or NUL has none.
        if (error != nullptr && error != INVALID_HANDLE_VALUE && GetConsoleMode(error, &mode)) {
            s.progress_console_mode = mode;
            s.progress_terminal_sequence = SetConsoleMode(error, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
            s.progress_console = error;
        }
    } else if (s.splash_ready == nullptr) {
        start_progress_window();
    }
}

void publish_unpack_progress()
{
    LauncherState &s = launcher_state;
    s.progress_next_tick = GetTickCount64() + progress_interval_ms;
    uint64_t done = s.progress_done < s.progress_total ? s.progress_done : s.progress_total;
    InterlockedExchange64(&s.progress_shown, static_cast<LONG64>(done));
    AcquireSRWLockExclusive(&s.progress_lock);
    if (s.progress_ended == 0) {
        if (InterlockedExchange(&s.progress_visible, 1) == 0)
            start_displays();
        if (s.progress_console != nullptr)
            show_console_line(done);
    }
    ReleaseSRWLockExclusive(&s.progress_lock);
}

void end_unpack_progress()
{
    LauncherState &s = launcher_state;
    s.progress_next_tick = 0;
    AcquireSRWLockExclusive(&s.progress_lock);
    if (InterlockedExchange(&s.progress_ended, 1) == 0 && s.progress_console != nullptr) {
        if (s.progress_line_length > 0) {
            write_console(L"\r", 1);
            for (DWORD i = 0; i < s.progress_line_length; i++)
                write_console(L" ", 1);
            write_console(L"\r", 1);
        }
        if (s.progress_terminal_sequence)
            write_console(L"\x1b]9;4;0\x07", 7);
        SetConsoleMode(s.progress_console, s.progress_console_mode);
    }
    ReleaseSRWLockExclusive(&s.progress_lock);
    // The window is gone before the application starts.
    HANDLE window_thread = s.progress_window_thread;
    if (window_thread != nullptr && GetThreadId(window_thread) != GetCurrentThreadId())
        WaitForSingleObject(window_thread, INFINITE);
}
