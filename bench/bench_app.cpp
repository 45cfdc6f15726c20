// The benchmark's application library. run_code notes the moment it is
// entered (system clock, microseconds since 1601, comparable across
// processes) and the process's peak memory so far, then returns at once: a
// launch then measures the launcher, not an application. Built with
// BENCH_ENTRY_PROGRAM it is an ordinary console program instead, doing the
// same as the first thing of its main.
#include <windows.h>
#include <psapi.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

static uint64_t system_time_us()
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    return ((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime) / 10;
}

extern "C" __declspec(dllexport) int run_code(int, wchar_t **, const wchar_t *)
{
    uint64_t entered = system_time_us();
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        return 90;
    char line[256];
    int length = snprintf(line, sizeof line, "app_us=%llu app_peak_working_set=%llu app_peak_private=%llu\n",
                          static_cast<unsigned long long>(entered),
                          static_cast<unsigned long long>(counters.PeakWorkingSetSize),
                          static_cast<unsigned long long>(counters.PeakPagefileUsage));
    if (length <= 0 || length >= static_cast<int>(sizeof line))
        return 91;
    // The runner names a report file: a package that starts the application
    // from a GUI program need not pass standard output on.
    wchar_t report[MAX_PATH];
    DWORD found = GetEnvironmentVariableW(L"VESKAR_BENCH_REPORT", report, MAX_PATH);
    if (found == 0 || found >= MAX_PATH) {
        fputs(line, stdout);
        fflush(stdout);
        return 0;
    }
    HANDLE file = CreateFileW(report, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 92;
    DWORD written = 0;
    bool ok = WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr) && written == DWORD(length);
    CloseHandle(file);
    return ok ? 0 : 93;
}

#ifdef BENCH_ENTRY_PROGRAM
int main()
{
    return run_code(0, nullptr, nullptr);
}
#endif
