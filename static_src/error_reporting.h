// The closed catalogue of everything the launcher prints, and the routines
// that print it. Every routine ends the process: status 2 after a reported
// error, status 3 (the C runtime's abort) after a spec that cannot be expanded.
#pragma once

#include <windows.h>

#define MESSAGE_HEADER_NOT_FOUND "Error, couldn't find attached data header."
#define MESSAGE_ALLOCATION_FAILED "Error, couldn't allocate memory."
#define MESSAGE_DECODING_FAILED "Error, couldn't decode attached data."
#define MESSAGE_SIGNAL_HANDLER_FAILED "Error, failed to register signal handler."
#define MESSAGE_WRITE_FAILED "Error, couldn't unpack file to target path."
#define MESSAGE_LAUNCH_FAILED "Error, couldn't launch child"
#define MESSAGE_LOAD_FAILED "Error, load DLL."
#define MESSAGE_ENTRY_POINT_MISSING "Error, DLL entry point not found."
// A crafted archive can start with its end marker; the packer never writes one.
#define MESSAGE_NO_APPLICATION_LIBRARY "Error, attached data holds no application library."

[[noreturn]] void report_error(const char *message);
[[noreturn]] void report_os_error(const char *message, DWORD error_code);
[[noreturn]] void report_spec_expansion_failure(const wchar_t *spec);
[[noreturn]] void report_open_for_writing_failure(const wchar_t *path);

// Sends the C runtime's own assertion and abort reports to standard error:
// a GUI program would otherwise show them in a dialog and wait.
void keep_reports_off_dialogs();
