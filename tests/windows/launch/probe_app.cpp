// probe.dll: the application library of the launch tests. The launcher runs
// it in its child process; what it does is chosen by its first argument and
// everything it reports goes to standard output as "key: value" lines, wide
// texts as hexadecimal UTF-16 units so that nothing is lost on the way.
//
//   args ...                       every argument, the published variables, own path and
//                                  process number; 0
//   exit N                         returns N (decimal, or hexadecimal with 0x)
//   nest                           changes data\note.txt, runs the launcher again as
//                                  "report" with the inherited environment; its status
//   report                         own path and data\note.txt; 5
//   hold HELPER RELEASE STATUS     has HELPER hold data\note.txt open until the event
//                                  RELEASE is set; STATUS
//   wait READY GO STATUS           writes its process id and path to READY, waits for the
//                                  file GO, then writes READY.done; STATUS
//   verify                         checks the unpacked tree against manifest.txt; 0 or 1
//   litter OUTSIDE                 leaves what an application may leave in the unpack
//                                  directory: paths of 300, 1,000 and 4,000 units,
//                                  read-only files and folders, a link to OUTSIDE; 0
//   modules                        which of the system libraries a launcher must not
//                                  need are loaded here and in the parent process; 0
//   load NAME [FUNCTION]           loads NAME as a bare name; the text FUNCTION returns,
//                                  "loaded", or the system's error; 0
#include "probe_report.h"

#include <psapi.h>
#include <stdint.h>

static int report_arguments(int argc, wchar_t **argv, const wchar_t *library_path)
{
    report("count", std::to_string(argc));
    for (int i = 0; i < argc; i++)
        report("argument", hex(argv[i]));
    const wchar_t *names[] = {L"VESKAR_ORIGINAL_ARGV0", L"VESKAR_ONEFILE_DIRECTORY", L"VESKAR_ONEFILE_PARENT",
                              L"VESKAR_ONEFILE_TREE"};
    for (const wchar_t *name : names) {
        bool present = false;
        std::wstring value = variable(name, present);
        report(utf8(name), present ? hex(value.c_str()) : "unset");
    }
    report("library", hex(library_path));
    report("process", std::to_string(GetCurrentProcessId()));
    return 0;
}

// Runs the launcher executable (our argument 0) again from inside the
// application, the way an application starts a second instance of itself.
static int run_nested(wchar_t **argv, const wchar_t *library_path)
{
    report("library", hex(library_path));
    if (!write_whole_file(unpack_directory(library_path) + L"\\data\\note.txt", "changed by the application"))
        return 90;
    std::wstring line = L"\"" + std::wstring(argv[0]) + L"\" report";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(argv[0], &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        return 91;
    CloseHandle(process.hThread);
    DWORD status = 92;
    if (WaitForSingleObject(process.hProcess, patience_ms()) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    report("nested status", std::to_string(status));
    return static_cast<int>(status);
}

static int report_note(const wchar_t *library_path)
{
    report("nested library", hex(library_path));
    std::string note;
    report("nested note", read_whole_file(unpack_directory(library_path) + L"\\data\\note.txt", note) ? note : "missing");
    return 5;
}

static int hold_note(const wchar_t *helper, const wchar_t *release, const wchar_t *status, const wchar_t *library_path)
{
    std::wstring ready = L"veskar_probe_ready_" + std::to_wstring(GetCurrentProcessId());
    HANDLE ready_event = CreateEventW(nullptr, TRUE, FALSE, ready.c_str());
    std::wstring note = unpack_directory(library_path) + L"\\data\\note.txt";
    std::wstring line = L"\"" + std::wstring(helper) + L"\" --helper hold_file \"" + note + L"\" " + ready + L" " +
                        release;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    // Nothing inherited: the holder must not keep the test's output files open.
    if (ready_event == nullptr ||
        !CreateProcessW(helper, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return 93;
    CloseHandle(process.hThread);
    HANDLE waits[2] = {ready_event, process.hProcess};
    DWORD woke = WaitForMultipleObjects(2, waits, FALSE, patience_ms());
    CloseHandle(process.hProcess);
    if (woke != WAIT_OBJECT_0)
        return 94;
    report("library", hex(library_path));
    report("held", "yes");
    return static_cast<int>(wcstoul(status, nullptr, 0));
}


// FNV-1a, 64 bits: a fingerprint of each file's bytes.
static uint64_t fingerprint(const std::string &bytes)
{
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char byte : bytes)
        hash = (hash ^ byte) * 1099511628211ull;
    return hash;
}

static size_t count_files(const std::wstring &directory, size_t &directories)
{
    size_t files = 0;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((directory + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return 0;
    do {
        std::wstring name = data.cFileName;
        if (name == L"." || name == L"..")
            continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            directories++;
            files += count_files(directory + L"\\" + name, directories);
        } else {
            files++;
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return files;
}

// manifest.txt, one line per file: size, fingerprint (16 hex digits) and
// the name below the unpack directory (UTF-8, "\" separators).
static int verify_tree(const wchar_t *library_path)
{
    std::wstring root = unpack_directory(library_path);
    std::string manifest;
    if (!read_whole_file(root + L"\\manifest.txt", manifest)) {
        report("problem", "no manifest.txt");
        return 1;
    }
    size_t listed = 0, problems = 0, start = 0;
    while (start < manifest.size()) {
        size_t end = manifest.find('\n', start);
        std::string line = manifest.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? manifest.size() : end + 1;
        if (line.empty())
            continue;
        unsigned long long size = 0, hash = 0;
        int consumed = 0;
        if (sscanf(line.c_str(), "%llu %16llx %n", &size, &hash, &consumed) != 2 || consumed == 0) {
            report("problem", "bad manifest line " + line);
            return 1;
        }
        std::string name = line.substr(static_cast<size_t>(consumed));
        listed++;
        std::string content;
        if (!read_whole_file(root + L"\\" + wide(name), content)) {
            report("problem", "missing " + name);
            problems++;
        } else if (content.size() != size || fingerprint(content) != hash) {
            report("problem", "different " + name + " (" + std::to_string(content.size()) + " bytes)");
            problems++;
        }
    }
    size_t directories = 0;
    size_t found = count_files(root, directories);
    // The tree holds the listed files, this library and the manifest, nothing else.
    if (found != listed + 2) {
        report("problem", "found " + std::to_string(found) + " files for " + std::to_string(listed) + " listed");
        problems++;
    }
    report("files checked", std::to_string(listed));
    report("directories", std::to_string(directories));
    return problems == 0 ? 0 : 1;
}

// A chain of folders below `root` whose last file's path is `length` units
// long, made through \\?\ paths as an application that knows long paths would.
static bool make_long_path(const std::wstring &root, size_t length)
{
    std::wstring path = L"\\\\?\\" + root + L"\\long" + std::to_wstring(length);
    if (!CreateDirectoryW(path.c_str(), nullptr))
        return false;
    while (path.size() - 4 + 1 + 200 < length) {
        path += L"\\" + std::wstring(199, L'd');
        if (!CreateDirectoryW(path.c_str(), nullptr))
            return false;
    }
    path += L"\\" + std::wstring(length - (path.size() - 4) - 1, L'f');
    return write_whole_file(path, "deep") && path.size() - 4 == length;
}

static int litter(const wchar_t *outside, const wchar_t *library_path)
{
    std::wstring root = unpack_directory(library_path);
    report("library", hex(library_path));
    for (size_t length : {300, 1000, 4000})
        report("long path " + std::to_string(length), make_long_path(root, length) ? "made" : "failed");
    std::wstring locked = root + L"\\locked";
    bool read_only = CreateDirectoryW(locked.c_str(), nullptr) && write_whole_file(locked + L"\\inner.txt", "x") &&
                     write_whole_file(root + L"\\read_only.txt", "x") &&
                     SetFileAttributesW((locked + L"\\inner.txt").c_str(), FILE_ATTRIBUTE_READONLY) &&
                     SetFileAttributesW((root + L"\\read_only.txt").c_str(), FILE_ATTRIBUTE_READONLY) &&
                     SetFileAttributesW(locked.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY);
    report("read-only", read_only ? "made" : "failed");
    // Where the system cannot make links (Wine cannot), the walk's rule for
    // them is tested on its own.
    std::wstring link = root + L"\\link_out";
    bool linked = CreateSymbolicLinkW(link.c_str(), outside, SYMBOLIC_LINK_FLAG_DIRECTORY | 2) &&
                  (GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    report("link", linked ? "made" : "not supported");
    return 0;
}

// Peak private memory of this process and which libraries are loaded in it
// and in its parent, the launcher.
static int report_modules()
{
    const wchar_t *libraries[] = {L"user32.dll", L"gdi32.dll", L"ole32.dll", L"windowscodecs.dll",
                                  L"shell32.dll", L"shlwapi.dll", L"advapi32.dll"};
    bool present = false;
    std::wstring parent = variable(L"VESKAR_ONEFILE_PARENT", present);
    HANDLE launcher = present ? OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE,
                                            static_cast<DWORD>(wcstoul(parent.c_str(), nullptr, 10)))
                              : nullptr;
    HMODULE modules[1024];
    DWORD needed = 0;
    std::vector<std::wstring> parent_modules;
    if (launcher != nullptr && K32EnumProcessModules(launcher, modules, sizeof modules, &needed)) {
        for (DWORD i = 0; i < needed / sizeof(HMODULE) && i < 1024; i++) {
            wchar_t name[MAX_PATH] = L"";
            K32GetModuleBaseNameW(launcher, modules[i], name, MAX_PATH);
            parent_modules.push_back(name);
        }
    }
    report("parent modules listed", parent_modules.empty() ? "no" : "yes");
    for (const wchar_t *library : libraries) {
        bool in_parent = false;
        for (const std::wstring &name : parent_modules)
            in_parent = in_parent || _wcsicmp(name.c_str(), library) == 0;
        report(std::string("child ") + utf8(library), GetModuleHandleW(library) != nullptr ? "loaded" : "absent");
        report(std::string("parent ") + utf8(library), in_parent ? "loaded" : "absent");
    }
    if (launcher != nullptr)
        CloseHandle(launcher);
    return 0;
}

static int load_by_name(int argc, wchar_t **argv)
{
    HMODULE library = LoadLibraryW(argv[2]);
    if (library == nullptr) {
        report("load", "error " + std::to_string(GetLastError()));
        return 0;
    }
    typedef const char *(*TextFunction)();
    FARPROC function = argc == 4 ? GetProcAddress(library, utf8(argv[3]).c_str()) : nullptr;
    report("load", function != nullptr ? reinterpret_cast<TextFunction>(reinterpret_cast<void *>(function))()
                                       : "loaded");
    return 0;
}

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *library_path)
{
    std::wstring mode = argc >= 2 ? argv[1] : L"";
    if (mode == L"args")
        return report_arguments(argc, argv, library_path);
    if (mode == L"exit" && argc == 3)
        return static_cast<int>(wcstoul(argv[2], nullptr, 0));
    if (mode == L"nest")
        return run_nested(argv, library_path);
    if (mode == L"report")
        return report_note(library_path);
    if (mode == L"hold" && argc == 5)
        return hold_note(argv[2], argv[3], argv[4], library_path);
    if (mode == L"wait" && argc == 5)
        return wait_for_go(argv[2], argv[3], argv[4], library_path);
    if (mode == L"verify")
        return verify_tree(library_path);
    if (mode == L"litter" && argc == 3)
        return litter(argv[2], library_path);
    if (mode == L"modules")
        return report_modules();
    if (mode == L"load" && (argc == 3 || argc == 4))
        return load_by_name(argc, argv);
    report("problem", "unknown mode");
    return 99;
}
