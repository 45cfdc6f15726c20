// Environment variables by narrow name, and the bounded wide-text appends
// that every fixed buffer of the launcher goes through.
#include "launcher.h"

#include <stdlib.h>
#include <wchar.h>

enum : size_t { name_capacity = 40, value_capacity = 32768 };

// Length of a terminated text in a buffer of `capacity` units; aborts when
// the buffer holds no terminator.
static size_t bounded_length(const wchar_t *text, size_t capacity)
{
    size_t length = wcsnlen(text, capacity);
    check_or_abort(length < capacity);
    return length;
}

void append_narrow_text(wchar_t *target, const char *text, size_t capacity)
{
    // Byte by byte: only texts whose every byte is a whole character convert,
    // and every text the launcher widens is ASCII.
    for (; *text != '\0'; text++) {
        char single[2] = {*text, '\0'};
        wchar_t wide[2] = {0, 0};
        check_or_abort(mbstowcs(wide, single, 2) == 1);
        size_t length = bounded_length(target, capacity);
        check_or_abort(capacity - length >= 2);
        target[length] = wide[0];
        target[length + 1] = L'\0';
    }
}

void append_wide_text(wchar_t *target, const wchar_t *text, size_t capacity)
{
    size_t length = bounded_length(target, capacity);
    for (; *text != L'\0'; text++) {
        check_or_abort(capacity - length >= 2);
        target[length++] = *text;
    }
    target[length] = L'\0';
}

void copy_wide_text(wchar_t *target, const wchar_t *text, size_t capacity)
{
    check_or_abort(capacity >= 1);
    target[0] = L'\0';
    append_wide_text(target, text, capacity);
}

static void widen_name(wchar_t (&wide_name)[name_capacity], const char *name)
{
    wide_name[0] = L'\0';
    append_narrow_text(wide_name, name, array_count(wide_name));
}

wchar_t *read_environment_variable(const char *name)
{
    wchar_t wide_name[name_capacity];
    widen_name(wide_name, name);
    static_assert(value_capacity == 32768, "the system's limit for one value");
    wchar_t value[value_capacity];
    DWORD result = GetEnvironmentVariableW(wide_name, value, array_count(value));
    // 0 covers both a missing and an empty variable: the call cannot tell them apart.
    if (result == 0 || result >= array_count(value))
        return nullptr;
    return _wcsdup(value);
}

BOOL write_environment_variable(const char *name, const wchar_t *value)
{
    wchar_t wide_name[name_capacity];
    widen_name(wide_name, name);
    return SetEnvironmentVariableW(wide_name, value);
}
