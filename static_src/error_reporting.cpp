#include "error_reporting.h"
#include "launcher.h"

#include <stdio.h>
#include <stdlib.h>

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

void report_spec_expansion_failure(const wchar_t *spec)
{
    begin_report();
    fprintf(stderr, "Error, couldn't runtime expand spec '%ls'.\n", spec);
    end_with_abort();
}

void report_open_for_writing_failure(const wchar_t *path)
{
    begin_report();
    settle_before_report();
    fprintf(stderr, "Error, failed to open '%ls' for writing.\n", path);
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
