#include "greeting.h"

const wchar_t *greeting_text()
{
    return L"Hello from hello_greeting.dll";
}
