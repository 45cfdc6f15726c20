// The application inside cmake-app.exe: prints its arguments and the text of
// greeting.txt, which the launcher unpacked beside this library, and ends
// with the status asked for by "--exit N" (0 otherwise).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

static std::string utf8(const wchar_t *text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return std::string();
    std::string result(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &result[0], size, nullptr, nullptr);
    result.resize(size - 1);
    return result;
}

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t **argv, const wchar_t *library_path)
{
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        std::printf("argument %d: [%s]\n", i, utf8(argv[i]).c_str());
        if (std::wstring(argv[i]) == L"--exit" && i + 1 < argc)
            status = _wtoi(argv[i + 1]);
    }

    std::wstring greeting_path = library_path;
    greeting_path.erase(greeting_path.find_last_of(L'\\') + 1);
    greeting_path += L"greeting.txt";
    FILE *greeting = _wfopen(greeting_path.c_str(), L"r");
    if (greeting == nullptr) {
        std::printf("greeting.txt is missing\n");
        std::fflush(stdout);
        return 1;
    }
    char line[256];
    while (std::fgets(line, sizeof line, greeting) != nullptr)
        std::printf("greeting: %s", line);
    std::fclose(greeting);
    std::fflush(stdout);
    return status;
}
