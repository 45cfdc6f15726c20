#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

static std::map<std::string, HelperFunction> &helpers()
{
    static std::map<std::string, HelperFunction> table;
    return table;
}

bool register_helper(const std::string &name, HelperFunction function)
{
    helpers()[name] = std::move(function);
    return true;
}

std::string narrow(const std::wstring &text)
{
    if (text.empty())
        return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

std::wstring widen(const std::string &text)
{
    if (text.empty())
        return {};
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

DWORD scaled_timeout(DWORD milliseconds)
{
    const char *scale = std::getenv("VESKAR_TEST_TIMEOUT_SCALE");
    double factor = scale ? std::atof(scale) : 1.0;
    if (factor <= 0)
        factor = 1.0;
    return static_cast<DWORD>(milliseconds * factor);
}

std::wstring own_executable_path()
{
    wchar_t path[32768];
    DWORD length = GetModuleFileNameW(nullptr, path, 32768);
    return std::wstring(path, length);
}

std::wstring test_binary_directory()
{
    std::wstring self = own_executable_path();
    return self.substr(0, self.find_last_of(L'\\'));
}

std::wstring quote_for_test(const std::wstring &argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            backslashes++;
            continue;
        }
        if (c == L'"')
            out.append(backslashes * 2 + 1, L'\\');
        else
            out.append(backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    out += L'"';
    return out;
}

std::string read_file(const std::wstring &path)
{
    std::string content;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return content;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        content.append(buffer, got);
    CloseHandle(file);
    return content;
}

void write_file(const std::wstring &path, const std::string &content)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "cannot create " << narrow(path);
        return;
    }
    DWORD written = 0;
    WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
}

bool path_exists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring temp_directory()
{
    wchar_t path[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, path);
    std::wstring out(path, length);
    while (!out.empty() && out.back() == L'\\')
        out.pop_back();
    return out;
}

std::vector<std::wstring> list_directory(const std::wstring &directory, const std::wstring &prefix)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((directory + L"\\" + prefix + L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        std::wstring name = data.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(name);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
}

void remove_tree(const std::wstring &path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        for (const std::wstring &name : list_directory(path))
            remove_tree(path + L"\\" + name);
        RemoveDirectoryW(path.c_str());
    } else {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
    }
}

std::wstring make_scratch_directory(const std::wstring &tag)
{
    static unsigned counter = 0;
    std::wstring path = temp_directory() + L"\\veskar_test_" + tag + L"_" + std::to_wstring(GetCurrentProcessId()) +
                        L"_" + std::to_wstring(counter++);
    remove_tree(path);
    CreateDirectoryW(path.c_str(), nullptr);
    return path;
}

// Environment block for the child: this process's, with the overrides applied.
static std::vector<wchar_t> environment_block(const std::map<std::wstring, std::optional<std::wstring>> &overrides)
{
    std::map<std::wstring, std::wstring> variables;
    wchar_t *block = GetEnvironmentStringsW();
    for (wchar_t *p = block; *p != L'\0'; p += wcslen(p) + 1) {
        std::wstring entry = p;
        size_t equals = entry.find(L'=', 1);  // "=C:=C:\..." entries start with '='
        if (equals != std::wstring::npos)
            variables[entry.substr(0, equals)] = entry.substr(equals + 1);
    }
    FreeEnvironmentStringsW(block);
    for (const auto &[name, value] : overrides) {
        for (auto it = variables.begin(); it != variables.end();) {
            if (_wcsicmp(it->first.c_str(), name.c_str()) == 0)
                it = variables.erase(it);
            else
                ++it;
        }
        if (value)
            variables[name] = *value;
    }
    std::vector<wchar_t> out;
    for (const auto &[name, value] : variables) {
        std::wstring entry = name + L"=" + value;
        out.insert(out.end(), entry.begin(), entry.end());
        out.push_back(L'\0');
    }
    out.push_back(L'\0');
    return out;
}

static HANDLE inheritable_file(const std::wstring &path, bool write)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    return CreateFileW(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                       write ? CREATE_ALWAYS : OPEN_EXISTING, 0, nullptr);
}

ProcessResult run_process(const std::wstring &application, const std::wstring &command_line,
                          const ProcessOptions &options)
{
    // Tests start processes from several threads at once: each gets names of its own.
    static std::atomic<unsigned> counter{0};
    std::wstring base = temp_directory() + L"\\veskar_run_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                        std::to_wstring(counter++);
    std::wstring in_path = base + L".in", out_path = base + L".out", err_path = base + L".err";
    write_file(in_path, options.input);
    HANDLE in = inheritable_file(in_path, false);
    HANDLE out = inheritable_file(out_path, true);
    HANDLE err = inheritable_file(err_path, true);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process = {};
    std::vector<wchar_t> line(command_line.begin(), command_line.end());
    line.push_back(L'\0');
    std::vector<wchar_t> environment = environment_block(options.environment);
    ProcessResult result;
    BOOL created = CreateProcessW(application.empty() ? nullptr : application.c_str(), line.data(),
                                  options.process_security, nullptr,
                                  TRUE, CREATE_UNICODE_ENVIRONMENT, environment.data(),
                                  options.current_directory.empty() ? nullptr : options.current_directory.c_str(),
                                  &startup, &process);
    CloseHandle(in);
    CloseHandle(out);
    CloseHandle(err);
    if (!created) {
        ADD_FAILURE() << "cannot start " << narrow(command_line) << ": error " << GetLastError();
        result.exit_code = 0xFFFFFFFF;
    } else {
        if (WaitForSingleObject(process.hProcess, scaled_timeout(options.timeout_ms)) != WAIT_OBJECT_0) {
            result.timed_out = true;
            TerminateProcess(process.hProcess, 0xDEAD);
            WaitForSingleObject(process.hProcess, 5000);
        }
        GetExitCodeProcess(process.hProcess, &result.exit_code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    DeleteFileW(in_path.c_str());
    DeleteFileW(out_path.c_str());
    DeleteFileW(err_path.c_str());
    return result;
}

ProcessResult run_helper(const std::string &name, const std::vector<std::wstring> &arguments,
                         const ProcessOptions &options)
{
    std::wstring self = own_executable_path();
    std::wstring line = quote_for_test(self) + L" --helper " + widen(name);
    for (const std::wstring &argument : arguments)
        line += L" " + quote_for_test(argument);
    return run_process(self, line, options);
}

int main(int argc, char **argv)
{
    // Helper mode: this program was started by one of its own tests.
    if (argc >= 3 && std::string(argv[1]) == "--helper") {
        auto it = helpers().find(argv[2]);
        if (it == helpers().end()) {
            std::fprintf(stderr, "unknown helper %s\n", argv[2]);
            return 125;
        }
        int count = 0;
        wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
        std::vector<std::wstring> arguments;
        for (int i = 3; i < count; i++)
            arguments.push_back(wide[i]);
        int status = it->second(arguments);
        std::fflush(stdout);
        std::fflush(stderr);
        return status;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
