// The example application: a library that the launcher unpacks, loads in
// its child process and runs through run_code. It shows what an application
// finds there: its arguments, the variables the launcher publishes, its own
// path, a support file and a dependency DLL unpacked beside it.
//
//   hello.exe [--exit N] [any arguments...]
//
// --exit N makes run_code return N (decimal, or hexadecimal with 0x).
#include "greeting.h"

#include <windows.h>

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

// A console shows any character through WriteConsoleW; a file or pipe gets
// UTF-8. Written straight to the handle: nothing is left in a buffer when
// the process ends.
static void print_text(const wchar_t *text)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE)
        return;
    DWORD length = static_cast<DWORD>(wcslen(text));
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, text, length, &written, nullptr);
        return;
    }
    int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return;
    char *utf8 = static_cast<char *>(malloc(static_cast<size_t>(size)));
    if (utf8 == nullptr)
        return;
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), utf8, size, nullptr, nullptr);
    WriteFile(out, utf8, static_cast<DWORD>(size), &written, nullptr);
    free(utf8);
}

// One line: label, then the value in brackets so that empty and blank
// values show.
static void print_line(const wchar_t *label, const wchar_t *value)
{
    print_text(label);
    print_text(L" = [");
    print_text(value != nullptr ? value : L"(not set)");
    print_text(L"]\r\n");
}

static void print_variable(const wchar_t *name)
{
    wchar_t value[32768];
    DWORD length = GetEnvironmentVariableW(name, value, static_cast<DWORD>(sizeof value / sizeof value[0]));
    print_line(name, length > 0 && length < sizeof value / sizeof value[0] ? value : nullptr);
}

// The support file is UTF-8 text; shown without its line break.
static void print_support_file(const wchar_t *library_path)
{
    const wchar_t *separator = wcsrchr(library_path, L'\\');
    wchar_t path[32768];
    int length = separator == nullptr ? -1
                                      : _snwprintf(path, 32768, L"%.*ls\\data\\message.txt",
                                                   static_cast<int>(separator - library_path), library_path);
    if (length < 0 || length >= 32768) {
        print_line(L"data\\message.txt", nullptr);
        return;
    }
    char content[4096] = {};
    DWORD got = 0;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        ReadFile(file, content, sizeof content - 1, &got, nullptr);
        CloseHandle(file);
    }
    while (got > 0 && (content[got - 1] == '\n' || content[got - 1] == '\r'))
        content[--got] = '\0';
    wchar_t text[4096] = {};
    MultiByteToWideChar(CP_UTF8, 0, content, static_cast<int>(got), text, 4095);
    print_line(L"data\\message.txt", file != INVALID_HANDLE_VALUE ? text : nullptr);
}

// Deleting the splash feedback file tells the launcher that the application
// is up, and the launcher takes its splash image down.
static void signal_up()
{
    wchar_t parent[64];
    DWORD parent_length = GetEnvironmentVariableW(L"VESKAR_ONEFILE_PARENT", parent, 64);
    if (parent_length == 0 || parent_length >= 64)
        return;
    wchar_t temp[MAX_PATH + 1];
    DWORD temp_length = GetTempPathW(MAX_PATH + 1, temp);
    if (temp_length == 0 || temp_length > MAX_PATH)
        return;
    while (temp_length > 0 && temp[temp_length - 1] == L'\\')
        temp[--temp_length] = L'\0';
    wchar_t path[MAX_PATH + 128];
    int length = _snwprintf(path, MAX_PATH + 128, L"%ls\\onefile_%ls_splash_feedback.tmp", temp, parent);
    if (length > 0 && length < MAX_PATH + 128)
        DeleteFileW(path);
}

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *library_path)
{
    signal_up();
    int status = 0;
    wchar_t label[64];
    _snwprintf(label, 64, L"hello: %d arguments", argc);
    label[63] = L'\0';
    print_text(label);
    print_text(L"\r\n");
    for (int i = 0; i < argc; i++) {
        _snwprintf(label, 64, L"  argv[%d]", i);
        label[63] = L'\0';
        print_line(label, argv[i]);
        if (wcscmp(argv[i], L"--exit") == 0 && i + 1 < argc)
            status = static_cast<int>(wcstoul(argv[i + 1], nullptr, 0));
    }
    print_variable(L"VESKAR_ORIGINAL_ARGV0");
    print_variable(L"VESKAR_ONEFILE_DIRECTORY");
    print_line(L"library path", library_path);
    print_support_file(library_path);
    print_line(L"hello_greeting.dll", greeting_text());
    _snwprintf(label, 64, L"hello: returning %d", status);
    label[63] = L'\0';
    print_text(label);
    print_text(L"\r\n");
    return status;
}
