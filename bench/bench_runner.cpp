// The Windows side of bench/run.sh. Prints one line of key=value pairs.
//   bench_runner launch [--memory] PROGRAM [ARGUMENTS...]
//     Times one run of PROGRAM from just before CreateProcessW to its exit,
//     with the moment the application library's run_code was entered (it
//     writes that to the file named in VESKAR_BENCH_REPORT). --memory also
//     samples the started process's memory while it runs.
//   bench_runner limit LAUNCHER [--shell-removal] [--flush]
//     The physical limits for a launcher's archive, each step timed alone:
//     decode its frame through a 128 KiB window with the launcher's zstd
//     build, keeping nothing; write the record tree from memory with
//     CreateDirectoryW/CreateFileW/WriteFile in 32 KiB chunks; remove it
//     with a plain FindFirstFileW/DeleteFileW/RemoveDirectoryW walk; and,
//     with --shell-removal, write it afresh and remove it with
//     SHFileOperationW FO_DELETE; with --flush, write it afresh with each
//     file flushed before it is closed, as a reusing first start writes.
//   bench_runner close-delay LAUNCHER MS THREADS
//     Writes the tree from memory as the limit does, each close followed by
//     MS milliseconds of waiting (a virus scanner reading the new file),
//     with the files shared by THREADS writers as the launcher's pool shares
//     them; directories are made first.
#include <windows.h>
#include <psapi.h>
#include <shellapi.h>
#include <zstd.h>

#include <stddef.h>
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

// The whole of a file, or nothing when it does not exist.
static std::string read_whole_file(const std::wstring &path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::string();
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

    std::string report = read_whole_file(report_path);
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

// The attached data inside a launcher: where its build notes (section
// `.vskinfo`) say it lies in the file. The file is mapped, not read, so the
// decode below faults in the compressed bytes from the file.
struct AttachedData {
    const unsigned char *frame;
    size_t frame_room;
};

static AttachedData find_attached_data(const wchar_t *launcher_path)
{
    HANDLE file = CreateFileW(launcher_path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        fail("cannot open the launcher");
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size))
        fail("cannot size the launcher");
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr)
        fail("cannot map the launcher");
    const unsigned char *view = static_cast<const unsigned char *>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    if (view == nullptr)
        fail("cannot view the launcher");
    uint64_t length = static_cast<uint64_t>(size.QuadPart);
    auto inside = [length](uint64_t at, uint64_t count) { return at <= length && count <= length - at; };
    if (!inside(0, sizeof(IMAGE_DOS_HEADER)))
        fail("the launcher is no executable", 0);
    const IMAGE_DOS_HEADER *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(view);
    uint64_t nt_at = static_cast<uint64_t>(dos->e_lfanew);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE || !inside(nt_at, sizeof(IMAGE_NT_HEADERS64)))
        fail("the launcher is no executable", 0);
    const IMAGE_NT_HEADERS64 *nt = reinterpret_cast<const IMAGE_NT_HEADERS64 *>(view + nt_at);
    uint64_t sections_at = nt_at + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) + nt->FileHeader.SizeOfOptionalHeader;
    unsigned count = nt->FileHeader.NumberOfSections;
    if (!inside(sections_at, uint64_t(count) * sizeof(IMAGE_SECTION_HEADER)))
        fail("the launcher's section table is cut short", 0);
    const IMAGE_SECTION_HEADER *sections = reinterpret_cast<const IMAGE_SECTION_HEADER *>(view + sections_at);
    for (unsigned i = 0; i < count; i++) {
        uint64_t at = sections[i].PointerToRawData, room = sections[i].Misc.VirtualSize;
        unsigned long long offset = 0, archive = 0;
        if (memcmp(sections[i].Name, ".vskinfo", 8) != 0 || !inside(at, room))
            continue;
        std::string notes(reinterpret_cast<const char *>(view + at), room);
        if (sscanf(notes.c_str(), "archive_offset=%16llx\narchive_length=%16llx", &offset, &archive) == 2 &&
            archive > 3 && inside(offset, archive) && memcmp(view + offset, "QVY", 3) == 0)
            return AttachedData{view + offset + 3, static_cast<size_t>(archive - 3)};
    }
    fail("the launcher carries no attached data", 0);
}

// Decodes the frame through a window of the launcher's size, keeping
// nothing but, when asked, a copy of the whole record stream. Returns the
// size of the frame.
static size_t decode_frame(const AttachedData &attached, std::string *kept)
{
    static unsigned char window[131072];
    ZSTD_DCtx *context = ZSTD_createDCtx();
    if (context == nullptr)
        fail("no memory for a decoder", 0);
    ZSTD_inBuffer in = {attached.frame, attached.frame_room, 0};
    // Room for the whole stream at once: growing a copy of a few GiB by
    // doubling would hold two of them for a moment.
    unsigned long long content = ZSTD_getFrameContentSize(attached.frame, attached.frame_room);
    if (kept != nullptr && content < (uint64_t{1} << 40))
        kept->reserve(static_cast<size_t>(content));
    for (;;) {
        ZSTD_outBuffer out = {window, sizeof window, 0};
        size_t result = ZSTD_decompressStream(context, &out, &in);
        if (ZSTD_isError(result))
            fail(ZSTD_getErrorName(result), 0);
        if (kept != nullptr)
            kept->append(reinterpret_cast<const char *>(window), out.pos);
        if (result == 0)
            break;
        if (in.pos == in.size && out.pos < out.size)
            fail("the frame is incomplete", 0);
    }
    ZSTD_freeDCtx(context);
    return in.pos;
}

// Writes the record stream out below root with the launcher's calls: each
// directory created once, parents first, each file created and written in
// 32 KiB chunks. Returns the number of files.
// Makes the folders on the way to the record `name` below `root`, each once.
static void make_parent_directories(const std::wstring &root, const std::wstring &name,
                                    std::set<std::wstring> &directories)
{
    for (size_t separator = name.find(L'\\'); separator != std::wstring::npos;
         separator = name.find(L'\\', separator + 1)) {
        std::wstring directory = root + L"\\" + name.substr(0, separator);
        if (directories.insert(directory).second && !CreateDirectoryW(directory.c_str(), nullptr) &&
            GetLastError() != ERROR_ALREADY_EXISTS)
            fail("cannot create a directory");
    }
}

static size_t write_tree(const std::string &records, const std::wstring &root, bool flush = false)
{
    const unsigned char *stream = reinterpret_cast<const unsigned char *>(records.data());
    size_t length = records.size();
    if (!CreateDirectoryW(root.c_str(), nullptr))
        fail("cannot create the limit's directory");
    std::set<std::wstring> directories;
    size_t at = 0, files = 0;
    for (;;) {
        std::wstring name;
        for (;;) {
            if (at + 2 > length)
                fail("record stream cut in a name", 0);
            wchar_t unit = static_cast<wchar_t>(stream[at] | stream[at + 1] << 8);
            at += 2;
            if (unit == 0)
                break;
            name.push_back(unit);
        }
        if (name.empty())
            return files;
        if (at + 8 > length)
            fail("record stream cut in a size", 0);
        uint64_t size = 0;
        for (int i = 7; i >= 0; i--)
            size = size << 8 | stream[at + i];
        at += 8;
        if (size > length - at)
            fail("record stream cut in a content", 0);
        make_parent_directories(root, name, directories);
        std::wstring path = root + L"\\" + name;
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            fail("cannot create a file");
        if (!write_all(file, stream + at, size) || (flush && !FlushFileBuffers(file)))
            fail("cannot write a file");
        CloseHandle(file);
        at += size;
        files++;
    }
}

// The plain removal: files first, then each directory once it is empty; a
// reparse point is removed itself, never entered.
static void remove_tree(const std::wstring &directory)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        fail("cannot list a directory");
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0)
            continue;
        std::wstring path = directory + L"\\" + found.cFileName;
        bool is_directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (is_directory && (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
            remove_tree(path);
        else if (is_directory ? !RemoveDirectoryW(path.c_str()) : !DeleteFileW(path.c_str()))
            fail("cannot remove an entry");
    } while (FindNextFileW(search, &found));
    FindClose(search);
    if (!RemoveDirectoryW(directory.c_str()))
        fail("cannot remove a directory");
}

static void shell_remove_tree(const std::wstring &directory)
{
    std::vector<wchar_t> from(directory.begin(), directory.end());
    from.push_back(L'\0');
    from.push_back(L'\0');
    SHFILEOPSTRUCTW operation = {};
    operation.wFunc = FO_DELETE;
    operation.pFrom = from.data();
    operation.pTo = L"";
    operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
    operation.lpszProgressTitle = L"";
    int result = SHFileOperationW(&operation);
    if (result != 0)
        fail("the shell did not remove the limit's directory", static_cast<DWORD>(result));
}

// The files of a record stream, for the writers of close_delay.
struct FileJob {
    std::wstring path;
    const unsigned char *bytes;
    uint64_t size;
};
struct DelayedWrite {
    std::vector<FileJob> jobs;
    volatile LONG next;
    DWORD close_delay_ms;
};

static DWORD WINAPI write_delayed(void *context)
{
    DelayedWrite &work = *static_cast<DelayedWrite *>(context);
    for (LONG i = InterlockedIncrement(&work.next) - 1; i < static_cast<LONG>(work.jobs.size());
         i = InterlockedIncrement(&work.next) - 1) {
        const FileJob &job = work.jobs[static_cast<size_t>(i)];
        HANDLE file = CreateFileW(job.path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE || !write_all(file, job.bytes, job.size))
            fail("cannot write a file");
        CloseHandle(file);
        Sleep(work.close_delay_ms);
    }
    return 0;
}

static int close_delay(int argc, wchar_t **argv)
{
    if (argc != 5)
        fail("close-delay needs a launcher, the delay in ms and the number of writers", 0);
    AttachedData attached = find_attached_data(argv[2]);
    std::string records;
    decode_frame(attached, &records);
    DelayedWrite work;
    work.next = 0;
    work.close_delay_ms = static_cast<DWORD>(_wtoi(argv[3]));
    int writers = _wtoi(argv[4]);
    std::wstring root = temp_path(L"veskar_bench_delay_" + std::to_wstring(GetCurrentProcessId()));
    uint64_t start = counter_us();
    if (!CreateDirectoryW(root.c_str(), nullptr))
        fail("cannot create the directory");
    std::set<std::wstring> directories;
    const unsigned char *stream = reinterpret_cast<const unsigned char *>(records.data());
    for (size_t at = 0;;) {
        std::wstring name;
        for (wchar_t unit; (unit = static_cast<wchar_t>(stream[at] | stream[at + 1] << 8)) != 0; at += 2)
            name.push_back(unit);
        at += 2;
        if (name.empty())
            break;
        uint64_t size = 0;
        for (int i = 7; i >= 0; i--)
            size = size << 8 | stream[at + i];
        at += 8;
        make_parent_directories(root, name, directories);
        work.jobs.push_back(FileJob{root + L"\\" + name, stream + at, size});
        at += size;
    }
    std::vector<HANDLE> threads;
    for (int i = 0; i < writers; i++)
        threads.push_back(CreateThread(nullptr, 0, write_delayed, &work, 0, nullptr));
    WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
    uint64_t write_us = counter_us() - start;
    remove_tree(root);
    printf("write_us=%llu files=%llu\n", static_cast<unsigned long long>(write_us),
           static_cast<unsigned long long>(work.jobs.size()));
    return 0;
}

// Each part of the limit alone, timed on its own: the decode through the
// window (nothing kept), the write of the tree from memory, its plain
// removal and, with --shell-removal, the shell's removal of a fresh copy;
// with --flush, the write of a fresh copy with a flush per file.
static int limit(int argc, wchar_t **argv)
{
    bool shell = false, flush = false;
    for (int i = 3; i < argc; i++) {
        if (wcscmp(argv[i], L"--shell-removal") == 0)
            shell = true;
        else if (wcscmp(argv[i], L"--flush") == 0)
            flush = true;
        else
            fail("limit needs a launcher and, at most, --shell-removal and --flush", 0);
    }
    AttachedData attached = find_attached_data(argv[2]);

    uint64_t decode_start = counter_us();
    decode_frame(attached, nullptr);
    uint64_t decode_us = counter_us() - decode_start;

    std::string records;
    size_t frame_bytes = decode_frame(attached, &records);
    std::wstring root = temp_path(L"veskar_bench_limit_" + std::to_wstring(GetCurrentProcessId()));
    if (GetFileAttributesW(root.c_str()) != INVALID_FILE_ATTRIBUTES)
        remove_tree(root);
    uint64_t write_start = counter_us();
    size_t files = write_tree(records, root);
    uint64_t write_us = counter_us() - write_start;

    uint64_t removal_start = counter_us();
    remove_tree(root);
    uint64_t removal_us = counter_us() - removal_start;
    if (GetFileAttributesW(root.c_str()) != INVALID_FILE_ATTRIBUTES)
        fail("the plain removal left the limit's directory", 0);
    printf("decode_us=%llu write_us=%llu removal_us=%llu", static_cast<unsigned long long>(decode_us),
           static_cast<unsigned long long>(write_us), static_cast<unsigned long long>(removal_us));

    if (shell) {
        write_tree(records, root);
        uint64_t shell_start = counter_us();
        shell_remove_tree(root);
        uint64_t shell_us = counter_us() - shell_start;
        if (GetFileAttributesW(root.c_str()) != INVALID_FILE_ATTRIBUTES)
            fail("the shell left the limit's directory", 0);
        printf(" shell_removal_us=%llu", static_cast<unsigned long long>(shell_us));
    }
    if (flush) {
        uint64_t flush_start = counter_us();
        write_tree(records, root, true);
        uint64_t flushed_write_us = counter_us() - flush_start;
        remove_tree(root);
        printf(" flushed_write_us=%llu", static_cast<unsigned long long>(flushed_write_us));
    }
    printf(" files=%llu bytes=%llu frame_bytes=%llu\n", static_cast<unsigned long long>(files),
           static_cast<unsigned long long>(records.size()), static_cast<unsigned long long>(frame_bytes));
    return 0;
}

int wmain(int argc, wchar_t **argv)
{
    if (argc >= 2 && wcscmp(argv[1], L"launch") == 0)
        return launch(argc, argv);
    if (argc >= 3 && wcscmp(argv[1], L"limit") == 0)
        return limit(argc, argv);
    if (argc >= 2 && wcscmp(argv[1], L"close-delay") == 0)
        return close_delay(argc, argv);
    fprintf(stderr, "usage: bench_runner launch [--memory] PROGRAM [ARGUMENTS...] | limit LAUNCHER [--shell-removal] [--flush] | close-delay LAUNCHER MS THREADS\n");
    return 2;
}
