// hello_greeting.dll: a dependency of the example application. The loader
// must find it in the unpack directory, beside hello.dll.
#pragma once

#ifdef HELLO_GREETING_BUILD
#define HELLO_GREETING_API extern "C" __declspec(dllexport)
#else
#define HELLO_GREETING_API extern "C" __declspec(dllimport)
#endif

HELLO_GREETING_API const wchar_t *greeting_text();
