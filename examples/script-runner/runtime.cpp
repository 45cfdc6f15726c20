// runtime.exe: a tiny script runtime standing in for node.exe, python.exe or
// java.exe, to show an ordinary application packed with its script. It runs
// the script named by its first argument, one command a line:
//
//   say TEXT        prints TEXT
//   args            prints the arguments after the script, one a line
//   env NAME        prints the variable NAME, or "(unset)"
//   beside NAME     says whether NAME lies beside the launcher the user started
//   exit N          ends with status N
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string>

static void print(const std::wstring &text)
{
    // UTF-8, so that any text survives a pipe or a file.
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(size > 0 ? size - 1 : 0, '\0');
    if (size > 1)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &bytes[0], size, nullptr, nullptr);
    printf("%s\n", bytes.c_str());
}

static std::wstring variable(const wchar_t *name)
{
    wchar_t value[32768];
    DWORD length = GetEnvironmentVariableW(name, value, 32768);
    return length > 0 && length < 32768 ? std::wstring(value, length) : L"(unset)";
}

int wmain(int argc, wchar_t **argv)
{
    FILE *script = argc >= 2 ? _wfopen(argv[1], L"rt, ccs=UTF-8") : nullptr;
    if (script == nullptr) {
        fprintf(stderr, "runtime: no script to run\n");
        return 2;
    }
    wchar_t line[4096];
    while (fgetws(line, 4096, script) != nullptr) {
        std::wstring text = line;
        while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r'))
            text.pop_back();
        size_t blank = text.find(L' ');
        std::wstring command = text.substr(0, blank);
        std::wstring rest = blank == std::wstring::npos ? L"" : text.substr(blank + 1);
        if (command == L"say") {
            print(rest);
        } else if (command == L"args") {
            for (int i = 2; i < argc; i++)
                print(L"  [" + std::wstring(argv[i]) + L"]");
        } else if (command == L"env") {
            print(rest + L"=" + variable(rest.c_str()));
        } else if (command == L"beside") {
            std::wstring path = variable(L"VESKAR_ONEFILE_DIRECTORY") + L"\\" + rest;
            print(rest + (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES ? L" is" : L" is not") +
                  L" beside the launcher");
        } else if (command == L"exit") {
            fflush(stdout);
            return _wtoi(rest.c_str());
        }
    }
    return 0;
}
