// What the launch tests' own applications share: reporting "key: value"
// lines on standard output (wide texts as hexadecimal UTF-16 units, so that
// nothing is lost on the way), reading the environment and files, and the
// "wait" mode the interrupt and kill tests drive.
#pragma once

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <vector>

inline void write_out(const std::string &text)
{
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

inline std::string hex(const wchar_t *text)
{
    if (text == nullptr)
        return "unset";
    std::string out;
    char unit[8];
    for (const wchar_t *p = text; *p != L'\0'; p++) {
        snprintf(unit, sizeof unit, "%04x", static_cast<unsigned>(*p));
        out += unit;
    }
    return out;
}

inline void report(const std::string &key, const std::string &value)
{
    write_out(key + ": " + value + "\n");
}

inline std::wstring variable(const wchar_t *name, bool &present)
{
    std::vector<wchar_t> value(32768);
    DWORD length = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    present = length > 0 && length < value.size();
    return present ? std::wstring(value.data(), length) : std::wstring();
}

inline std::wstring unpack_directory(const wchar_t *library_path)
{
    std::wstring path = library_path;
    return path.substr(0, path.find_last_of(L'\\'));
}

inline std::string utf8(const std::wstring &text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
    return out;
}

inline std::wstring wide(const std::string &text)
{
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size);
    return out;
}

inline bool read_whole_file(const std::wstring &path, std::string &content)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    content.clear();
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        content.append(buffer, got);
    CloseHandle(file);
    return true;
}

inline bool write_whole_file(const std::wstring &path, const std::string &content)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == content.size();
}

// How long to wait for the test driving us: generous, and longer on slow machines.
inline DWORD patience_ms()
{
    bool present = false;
    std::wstring scale = variable(L"VESKAR_TEST_TIMEOUT_SCALE", present);
    double factor = present ? _wtof(scale.c_str()) : 1.0;
    return static_cast<DWORD>(120000 * (factor > 0 ? factor : 1.0));
}

// Writes its process ID and `unpacked_path` to READY, waits for the file
// GO, then writes READY.done and returns STATUS.
inline int wait_for_go(const wchar_t *ready, const wchar_t *go, const wchar_t *status, const wchar_t *unpacked_path)
{
    // Written under another name and renamed, so the reader never sees half of it.
    std::wstring partial = std::wstring(ready) + L".partial";
    if (!write_whole_file(partial, std::to_string(GetCurrentProcessId()) + "\n" + utf8(unpacked_path) + "\n") ||
        !MoveFileW(partial.c_str(), ready))
        return 95;
    for (DWORD waited = 0; GetFileAttributesW(go) == INVALID_FILE_ATTRIBUTES; waited += 20) {
        if (waited > patience_ms())
            return 96;
        Sleep(20);
    }
    write_whole_file(std::wstring(ready) + L".done", "finished\n");
    return static_cast<int>(wcstoul(status, nullptr, 0));
}
