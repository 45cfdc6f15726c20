// Shared by the core tests: a clean launcher state for in-process tests,
// environment edits, and the checks made on a helper that must end the
// process.
#pragma once

#include "test_support.h"

#include <string>

// Zero-fills the launcher's state record, as at process start.
void reset_launcher_state();

// Sets (or with nullptr removes) a variable of this process's environment.
void set_variable(const wchar_t *name, const wchar_t *value);

// The value of a variable of this process, or "<absent>".
std::wstring variable_or_absent(const wchar_t *name);
