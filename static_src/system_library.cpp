// System libraries that only some runs need (the splash's window, imaging
// and COM libraries, the shell's folder lookup, the security functions of
// the parent) are loaded when first used, from System32 only, instead of
// being imported: every launcher starts with kernel32 and the C runtime,
// and the child, which needs none of them, never loads them.
#include "launcher.h"

FARPROC load_system_function(const wchar_t *library, const char *name)
{
    // A library already loaded is only looked up; the search is System32
    // alone, never the current or the launcher's directory.
    HMODULE module = GetModuleHandleW(library);
    if (module == nullptr)
        module = LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return module == nullptr ? nullptr : GetProcAddress(module, name);
}
