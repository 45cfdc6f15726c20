#include "core_test_helpers.h"

#include "launcher.h"

#include <cstring>

void reset_launcher_state()
{
    if (launcher_state.held_directory != nullptr)
        CloseHandle(launcher_state.held_directory);
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
