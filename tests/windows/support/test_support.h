// Shared by the Windows test programs: running processes the way a user or
// a shell would and looking at what they leave behind, and helper modes that
// let one test program also be the child it starts.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct ProcessResult {
    DWORD exit_code = 0;      // the full 32-bit status
    std::string out;          // everything written to standard output
    std::string err;          // everything written to standard error
    bool timed_out = false;   // killed after the timeout
};

struct ProcessOptions {
    // Variables to set (a value) or remove (nullopt) in the child's environment,
    // on top of this process's own.
    std::map<std::wstring, std::optional<std::wstring>> environment;
    std::wstring current_directory;  // empty: this process's
    DWORD timeout_ms = 180000;       // a hang guard, scaled by VESKAR_TEST_TIMEOUT_SCALE
    std::string input;               // written to the child's standard input
    SECURITY_ATTRIBUTES *process_security = nullptr;  // who may open the child process
};

// Starts `application` (may be empty: taken from the command line) with the
// literal command line, standard streams redirected to files, waits and
// collects everything.
ProcessResult run_process(const std::wstring &application, const std::wstring &command_line,
                          const ProcessOptions &options = {});

// The full path of this test program.
std::wstring own_executable_path();

// Runs this test program again in the helper mode `name` with extra arguments
// (each quoted for CommandLineToArgvW).
ProcessResult run_helper(const std::string &name, const std::vector<std::wstring> &arguments = {},
                         const ProcessOptions &options = {});

// Quotes one argument the way CommandLineToArgvW reads it back (for building
// test command lines; independent of the launcher's own routine on purpose).
std::wstring quote_for_test(const std::wstring &argument);

// Helper modes: a test program registers functions by name; its main runs
// `program --helper NAME ARGS...` as that function and exits with its result.
using HelperFunction = std::function<int(const std::vector<std::wstring> &arguments)>;
bool register_helper(const std::string &name, HelperFunction function);
#define VESKAR_HELPER(name)                                                                                \
    static int helper_##name(const std::vector<std::wstring> &arguments);                                 \
    static const bool helper_registered_##name = register_helper(#name, helper_##name);                   \
    static int helper_##name(const std::vector<std::wstring> &arguments)

// Files and folders.
std::string read_file(const std::wstring &path);
void write_file(const std::wstring &path, const std::string &content);
bool path_exists(const std::wstring &path);
std::wstring temp_directory();  // GetTempPathW without its trailing backslash
// The entries of a folder whose names start with `prefix` (names only).
std::vector<std::wstring> list_directory(const std::wstring &directory, const std::wstring &prefix = L"");
// A fresh empty folder below the temporary directory, removed at exit unless kept.
std::wstring make_scratch_directory(const std::wstring &tag);
void remove_tree(const std::wstring &path);

// Text conversion for assertions and messages.
std::string narrow(const std::wstring &text);   // UTF-8
std::wstring widen(const std::string &text);    // from UTF-8

// Folder of this test program, where its part's launchers and libraries are built.
std::wstring test_binary_directory();

// Milliseconds scaled by VESKAR_TEST_TIMEOUT_SCALE (default 1): Wine on a busy CI machine is slow.
DWORD scaled_timeout(DWORD milliseconds);
