// A dependency DLL of the search-order test applications. One source, built
// several times: the function's name and the text it returns tell the
// copies apart.
extern "C" __declspec(dllexport) const char *DEPENDENCY_FUNCTION()
{
    return DEPENDENCY_TEXT;
}
