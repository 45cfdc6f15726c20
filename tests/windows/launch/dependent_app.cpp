// Application libraries that import dependency DLLs (see dependency.cpp):
// run_code reports which copy of each dependency the loader gave them.
#include <windows.h>

#include <string>

extern "C" __declspec(dllimport) const char *FIRST_DEPENDENCY();
#ifdef SECOND_DEPENDENCY
extern "C" __declspec(dllimport) const char *SECOND_DEPENDENCY();
#endif

extern "C" __declspec(dllexport) int run_code(int, wchar_t **, const wchar_t *)
{
    std::string text = std::string("dependency: ") + FIRST_DEPENDENCY() + "\n";
#ifdef SECOND_DEPENDENCY
    text += std::string("dependency: ") + SECOND_DEPENDENCY() + "\n";
#endif
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return 0;
}
