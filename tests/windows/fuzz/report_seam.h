// The one seam between the launcher fuzzer and the launcher's own code. The
// launcher's error_reporting.cpp is compiled into the fuzzer with this header
// forced in front of it and VESKAR_REDIRECT_REPORTS defined: its catalogue
// lines go to the driver and its end of the process becomes a jump back to
// the driver. Everything else, the removal of the unpack directory after a
// report included, runs as written.
#pragma once

#include <stdio.h>
#include <stdlib.h>

[[noreturn]] void seam_end_process(int status);
int seam_print_line(const char *text);                           // puts: the text and a newline, to stdout
int seam_print_formatted(FILE *stream, const char *format, ...); // fprintf

#ifdef VESKAR_REDIRECT_REPORTS
#define exit(status) seam_end_process(status)
#define abort() seam_end_process(3)
#define puts(text) seam_print_line(text)
#define fprintf seam_print_formatted
#endif
