// The Windows side of bench/run.sh. Prints one line of key=value pairs.
//   bench_runner launch [--memory] PROGRAM [ARGUMENTS...]
//     Times one run of PROGRAM from just before CreateProcessW to its exit,
//     with the moment the application library's run_code was entered (it
//     writes that to the file named in VESKAR_BENCH_REPORT). --memory also
//     samples the started process's memory while it runs.
//   bench_runner limit ATTACHED_DATA
//     The unpacking limit for an attached-data file: decode its frame into
//     memory with the launcher's zstd build, then write the record tree with
//     CreateFileW/WriteFile in 32 KiB chunks, then remove it with the same
//     shell call the launcher's cleanup makes. Each step is timed on its own.
#include <windows.h>
#include <psapi.h>
#include <shellapi.h>
#include <zstd.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

[[noreturn]] static void fail(const char *what, DWORD code = GetLastError())
{
    fprintf(stderr, "bench_runner: %s (error %lu)\n", what, static_cast<unsigned long>(code));
    exit(1);
}

static uint64_t system_time_us()
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    return ((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime) / 10;
}

static uint64_t counter_us()
{
    static LARGE_INTEGER frequency;
    if (frequency.QuadPart == 0)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<uint64_t>(now.QuadPart / frequency.QuadPart * 1000000 +
                                 now.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart);
}

static std::wstring temp_path(const std::wstring &leaf)
{
    wchar_t directory[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH, directory);
    if (length == 0 || length >= MAX_PATH)
        fail("no temporary directory");
    return std::wstring(directory) + leaf;
}

// Quoted the way CommandLineToArgvW and the C runtime read it back.
static std::wstring quote(const std::wstring &argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos)
        return argument;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            backslashes++;
            continue;
        }
        out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(2 * backslashes, L'\\');
    return out + L"\"";
}

static std::string read_whole_file(const std::wstring &path, bool must_exist)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        if (must_exist)
            fail("cannot open an input file");
        return std::string();
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size))
        fail("cannot size an input file");
    std::string content(static_cast<size_t>(size.QuadPart), '\0');
    size_t done = 0;
    while (done < content.size()) {
        DWORD want = static_cast<DWORD>(content.size() - done < (1u << 30) ? content.size() - done : (1u << 30));
        DWORD got = 0;
        if (!ReadFile(file, &content[done], want, &got, nullptr) || got == 0)
            fail("cannot read an input file");
        done += got;
    }
    CloseHandle(file);
    return content;
}

// The value of `key=` in a report line, or 0.
static unsigned long long report_value(const std::string &report, const char *key)
{
    std::string needle = std::string(key) + "=";
    size_t at = report.find(needle);
    if (at == std::string::npos)
        return 0;
    return strtoull(report.c_str() + at + needle.size(), nullptr, 10);
}

static int launch(int argc, wchar_t **argv)
{
    int next = 2;
    bool memory = false;
    if (next < argc && wcscmp(argv[next], L"--memory") == 0) {
        memory = true;
        next++;
    }
    if (next >= argc)
        fail("launch needs a program", 0);
    std::wstring program = argv[next];
    std::wstring command_line = quote(program);
    for (int i = next + 1; i < argc; i++)
        command_line += L" " + quote(argv[i]);
    std::vector<wchar_t> writable(command_line.begin(), command_line.end());
    writable.push_back(L'\0');

    std::wstring report_path = temp_path(L"veskar_bench_report_" + std::to_wstring(GetCurrentProcessId()) + L".txt");
    DeleteFileW(report_path.c_str());
    if (!SetEnvironmentVariableW(L"VESKAR_BENCH_REPORT", report_path.c_str()))
        fail("cannot set VESKAR_BENCH_REPORT");

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    uint64_t start = system_time_us();
    if (!CreateProcessW(program.c_str(), writable.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process))
        fail("cannot start the program");
    CloseHandle(process.hThread);
    // Peak counters may not survive the process, so they are sampled while it
    // runs; the private usage is kept as the largest sample seen.
    uint64_t peak_working_set = 0, peak_private = 0;
    for (;;) {
        DWORD waited = WaitForSingleObject(process.hProcess, memory ? 2 : INFINITE);
        if (memory) {
            PROCESS_MEMORY_COUNTERS counters = {};
            counters.cb = sizeof counters;
            if (GetProcessMemoryInfo(process.hProcess, &counters, sizeof counters)) {
                if (counters.PeakWorkingSetSize > peak_working_set)
                    peak_working_set = counters.PeakWorkingSetSize;
                uint64_t used = counters.PeakPagefileUsage > counters.PagefileUsage ? counters.PeakPagefileUsage
                                                                                     : counters.PagefileUsage;
                if (used > peak_private)
                    peak_private = used;
            }
        }
        if (waited == WAIT_OBJECT_0)
            break;
        if (waited != WAIT_TIMEOUT)
            fail("cannot wait for the program");
    }
    uint64_t end = system_time_us();
    DWORD status = 0;
    if (!GetExitCodeProcess(process.hProcess, &status))
        fail("no exit status");
    CloseHandle(process.hProcess);

    std::string report = read_whole_file(report_path, false);
    DeleteFileW(report_path.c_str());
    unsigned long long entered = report_value(report, "app_us");
    printf("start_us=%llu app_us=%llu end_us=%llu exit=%lu app_peak_working_set=%llu app_peak_private=%llu",
           static_cast<unsigned long long>(start), entered, static_cast<unsigned long long>(end),
           static_cast<unsigned long>(status), report_value(report, "app_peak_working_set"),
           report_value(report, "app_peak_private"));
    if (memory)
        printf(" parent_peak_working_set=%llu parent_peak_private=%llu",
               static_cast<unsigned long long>(peak_working_set), static_cast<unsigned long long>(peak_private));
    printf("\n");
    // A run that failed or never reached the application is no measurement.
    return status == 0 && entered != 0 ? 0 : 1;
}

static bool write_all(HANDLE file, const unsigned char *data, uint64_t size)
{
    while (size > 0) {
        DWORD chunk = size < 32768 ? static_cast<DWORD>(size) : 32768;
        DWORD written = 0;
        if (!WriteFile(file, data, chunk, &written, nullptr) || written != chunk)
            return false;
        data += chunk;
        size -= chunk;
    }
    return true;
}

static int limit(const wchar_t *attached_data_path)
{
    std::string attached = read_whole_file(attached_data_path, true);
    if (attached.size() < 3 || attached.compare(0, 3, "QVY") != 0)
        fail("not attached data", 0);
    const void *frame = attached.data() + 3;
    size_t frame_room = attached.size() - 3;
    unsigned long long content_size = ZSTD_getFrameContentSize(frame, frame_room);
    if (content_size == ZSTD_CONTENTSIZE_UNKNOWN || content_size == ZSTD_CONTENTSIZE_ERROR)
        fail("the frame does not state its content size", 0);
    unsigned char *stream = static_cast<unsigned char *>(malloc(content_size));
    if (stream == nullptr)
        fail("no memory for the record stream", 0);

    uint64_t decode_start = counter_us();
    ZSTD_DCtx *context = ZSTD_createDCtx();
    ZSTD_inBuffer in = {frame, frame_room, 0};
    ZSTD_outBuffer out = {stream, content_size, 0};
    for (;;) {
        size_t result = ZSTD_decompressStream(context, &out, &in);
        if (ZSTD_isError(result))
            fail(ZSTD_getErrorName(result), 0);
        if (result == 0)
            break;
        if (out.pos == out.size && in.pos == in.size)
            fail("the frame is incomplete", 0);
    }
    ZSTD_freeDCtx(context);
    uint64_t decode_end = counter_us();
    if (out.pos != content_size)
        fail("the frame is shorter than it states", 0);

    std::wstring root = temp_path(L"veskar_bench_limit_" + std::to_wstring(GetCurrentProcessId()));
    uint64_t write_start = counter_us();
    if (!CreateDirectoryW(root.c_str(), nullptr))
        fail("cannot create the limit's directory");
    std::set<std::wstring> directories;
    size_t at = 0, files = 0;
    for (;;) {
        std::wstring name;
        for (;;) {
            if (at + 2 > content_size)
                fail("record stream cut in a name", 0);
            wchar_t unit = static_cast<wchar_t>(stream[at] | stream[at + 1] << 8);
            at += 2;
            if (unit == 0)
                break;
            name.push_back(unit);
        }
        if (name.empty())
            break;
        if (at + 8 > content_size)
            fail("record stream cut in a size", 0);
        uint64_t size = 0;
        for (int i = 7; i >= 0; i--)
            size = size << 8 | stream[at + i];
        at += 8;
        if (size > content_size - at)
            fail("record stream cut in a content", 0);
        std::wstring path = root + L"\\" + name;
        // Each directory is created once, parents first.
        for (size_t separator = name.find(L'\\'); separator != std::wstring::npos;
             separator = name.find(L'\\', separator + 1)) {
            std::wstring directory = root + L"\\" + name.substr(0, separator);
            if (directories.insert(directory).second && !CreateDirectoryW(directory.c_str(), nullptr) &&
                GetLastError() != ERROR_ALREADY_EXISTS)
                fail("cannot create a directory");
        }
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            fail("cannot create a file");
        if (!write_all(file, stream + at, size))
            fail("cannot write a file");
        CloseHandle(file);
        at += size;
        files++;
    }
    uint64_t write_end = counter_us();

    // The same removal call, with the same flags, as the launcher's cleanup.
    std::vector<wchar_t> from(root.begin(), root.end());
    from.push_back(L'\0');
    from.push_back(L'\0');
    SHFILEOPSTRUCTW operation = {};
    operation.wFunc = FO_DELETE;
    operation.pFrom = from.data();
    operation.pTo = L"";
    operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
    operation.lpszProgressTitle = L"";
    uint64_t removal_start = counter_us();
    int removal = SHFileOperationW(&operation);
    uint64_t removal_end = counter_us();
    if (removal != 0 || GetFileAttributesW(root.c_str()) != INVALID_FILE_ATTRIBUTES)
        fail("the shell did not remove the limit's directory", static_cast<DWORD>(removal));
    free(stream);
    printf("decode_us=%llu write_us=%llu removal_us=%llu files=%llu bytes=%llu\n",
           static_cast<unsigned long long>(decode_end - decode_start),
           static_cast<unsigned long long>(write_end - write_start),
           static_cast<unsigned long long>(removal_end - removal_start), static_cast<unsigned long long>(files),
           content_size);
    return 0;
}

int wmain(int argc, wchar_t **argv)
{
    if (argc >= 2 && wcscmp(argv[1], L"launch") == 0)
        return launch(argc, argv);
    if (argc == 3 && wcscmp(argv[1], L"limit") == 0)
        return limit(argv[2]);
    fprintf(stderr, "usage: bench_runner launch [--memory] PROGRAM [ARGUMENTS...] | limit ATTACHED_DATA\n");
    return 2;
}
