#include "error_reporting.h"
#include "launcher.h"

#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// A report that finds a stop requested prints nothing and leaves the end,
// with the interrupted status, to the interrupt thread (begin_report).
// A report first lets the layer below settle what it must (the writer pool
// while writers run: an earlier record's failure, met by a writer, is then
// reported in its place).
// Every report of the parent ends with the removal of an unpack directory
// that this run created, so a failed start leaves nothing behind; the line
// comes first, and status and stream stay those of the report.
static void settle_before_report()
{
    end_unpack_progress();  // a line of progress is erased before the report's
    void (*settle)() = launcher_state.settle_before_report;
    if (settle != nullptr)
        settle();
}

[[noreturn]] static void end_after_report(int status)
{
    fflush(stdout);
    fflush(stderr);
    remove_unpack_directory_after_failure();
    exit(status);  // exit, not _exit: buffered output must reach its file
}

void report_error(const char *message)
{
    begin_report();
    settle_before_report();
    puts(message);
    end_after_report(2);
}

void report_os_error(const char *message, DWORD error_code)
{
    begin_report();
    settle_before_report();
    char *text = nullptr;
    DWORD count = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                     FORMAT_MESSAGE_FROM_SYSTEM,
                                 nullptr, error_code, 1033, reinterpret_cast<char *>(&text), 0, nullptr);
    if (count == 0 || text == nullptr) {
        // No English text for this code: the line keeps its shape with an empty text.
        text = const_cast<char *>("");
    } else {
        for (DWORD i = count; i > 0 && (text[i - 1] == '\r' || text[i - 1] == '\n'); i--)
            text[i - 1] = '\0';
    }
    fprintf(stderr, "%s ([Error %ld] %s)\n", message, static_cast<long>(error_code), text);
    end_after_report(2);
}

// A line on standard error with a path in it (`format` holds one "%ls"),
// always whole. A console gets the path as its own UTF-16, every character
// as it is; a file or a pipe gets it in the ANSI code page, with "?" for a
// character that code page lacks. The C runtime's "%ls" alone converts
// through the C locale and stops at the first character outside it,
// cutting the line there (a user profile in Cyrillic, a TEMP in Chinese).
static void print_line_with_path(const char *format, const wchar_t *path)
{
    static wchar_t shown[32768];
    static char narrow[4 * 32768];
    HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0, written = 0;
    const char *wide = strstr(format, "%ls");
    size_t length = wcslen(path);
    if (GetConsoleMode(handle, &mode) && wide != nullptr && length < array_count(shown)) {
        fprintf(stderr, "%.*s", static_cast<int>(wide - format), format);
        fflush(stderr);
        WriteConsoleW(handle, path, static_cast<DWORD>(length), &written, nullptr);
        fprintf(stderr, "%s", wide + 3);
        return;
    }
    // What the code page holds, and "?" for the rest; the runtime's locale
    // then converts all of it. A UTF-8 code page holds every character, but
    // this runtime has no UTF-8 locale: there, what the C locale cannot
    // convert is replaced too.
    bool in_code_page = setlocale(LC_CTYPE, "") != nullptr && GetACP() != CP_UTF8;
    const char *replacement = GetACP() == CP_UTF8 ? nullptr : "?";
    int bytes = length < array_count(shown) ? WideCharToMultiByte(CP_ACP, 0, path, static_cast<int>(length), narrow,
                                                                  static_cast<int>(sizeof narrow), replacement, nullptr)
                                            : 0;
    int units = bytes > 0 ? MultiByteToWideChar(CP_ACP, 0, narrow, bytes, shown, static_cast<int>(array_count(shown) - 1))
                          : 0;
    shown[units > 0 ? units : 0] = L'\0';
    for (int i = 0; !in_code_page && i < units; i++) {
        if (shown[i] > 0x7F)
            shown[i] = L'?';
    }
    fprintf(stderr, format, shown);
}

void report_spec_expansion_failure(const wchar_t *spec)
{
    begin_report();
    print_line_with_path("Error, couldn't runtime expand spec '%ls'.\n", spec);
    end_with_abort();
}

void report_open_for_writing_failure(const wchar_t *path)
{
    begin_report();
    settle_before_report();
    print_line_with_path("Error, failed to open '%ls' for writing.\n", path);
    end_after_report(2);
}

void end_with_abort()
{
    begin_report();
    settle_before_report();
    fflush(stdout);
    fflush(stderr);
    remove_unpack_directory_after_failure();
    abort();
}

void keep_reports_off_dialogs()
{
    _set_error_mode(_OUT_TO_STDERR);
}
