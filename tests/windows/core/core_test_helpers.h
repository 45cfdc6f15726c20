// Shared by the core tests: a clean launcher state for in-process tests,
// environment edits, and the checks made on a helper that must end the
// process.
#pragma once

#include "test_support.h"

#include <string>

// Zero-fills the launcher's state record, as at process start.
void reset_launcher_state();

// Writes `data` into a file of its own that stands for the launcher's own
// file, at a page's offset, and names that place in the state as the build
// notes would; the reader can then be opened on it.
void attach_archive(const unsigned char *data, size_t length);

// Sets (or with nullptr removes) a variable of this process's environment.
void set_variable(const wchar_t *name, const wchar_t *value);

// The value of a variable of this process, or "<absent>".
std::wstring variable_or_absent(const wchar_t *name);
