#include "core_test_helpers.h"

#include "launcher.h"

#include <cstring>

void reset_launcher_state()
{
    if (launcher_state.held_directory != nullptr)
        CloseHandle(launcher_state.held_directory);
    if (launcher_state.archive_file != nullptr && launcher_state.archive_file != INVALID_HANDLE_VALUE)
        CloseHandle(launcher_state.archive_file);
    std::memset(static_cast<void *>(&launcher_state), 0, sizeof launcher_state);
}

void set_variable(const wchar_t *name, const wchar_t *value)
{
    SetEnvironmentVariableW(name, value);
}

std::wstring variable_or_absent(const wchar_t *name)
{
    wchar_t value[32768];
    SetLastError(0);
    DWORD length = GetEnvironmentVariableW(name, value, 32768);
    if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND)
        return L"<absent>";
    return std::wstring(value, length);
}

void attach_archive(const unsigned char *data, size_t length)
{
    static int files = 0;
    static const std::wstring folder = make_scratch_directory(L"archives");
    const std::wstring path = folder + L"\\launcher" + std::to_wstring(files++) + L".exe";
    // A page of other bytes before the archive and a few after it, which
    // the reader never takes for part of it.
    std::string bytes(4096, '\xEE');
    bytes.append(reinterpret_cast<const char *>(data), length);
    bytes.append(8, '\xEE');
    write_file(path, bytes);
    copy_wide_text(launcher_state.plain_launcher_path, path.c_str(), array_count(launcher_state.plain_launcher_path));
    launcher_state.archive_offset = 4096;
    launcher_state.archive_length = length;
}
