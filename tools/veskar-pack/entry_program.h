// An application whose entry is an ordinary program (--app-exe) rather
// than a library exporting run_code: the program checked at pack time, its
// fixed arguments, and the build notes that tell the launcher to start it.
#pragma once

#include "image_files.h"

#include <filesystem>
#include <string>
#include <vector>

// Throws PackError, in one line, for a fixed argument the launcher could not
// pass as given: a line feed or carriage return (the notes are lines), a
// brace that is not part of {APP_DIR}, the one placeholder there is.
void check_fixed_argument(const std::string &argument);

// Throws PackError, in one line, when the fixed arguments could leave no
// room on the program's command line, which Windows holds to 32767 UTF-16
// units: each counted quoted at its longest, {APP_DIR} as the longest
// unpack directory, beside the program's longest quoted path.
void check_fixed_arguments_fit(const std::vector<std::string> &fixed_arguments);

// The notes' lines for a program entry: "entry=exe", then one
// "app_arg=TEXT" per fixed argument in order, {APP_DIR} left for the
// launcher to expand.
std::string program_entry_notes(const std::vector<std::string> &fixed_arguments);

// What a launcher takes over from its program entry unless options say
// otherwise, so that Explorer, the taskbar and the properties dialog show
// the application rather than the launcher.
struct EntryIdentity {
    bool console = false;                // a console-subsystem program
    std::vector<IconImage> icon;         // its first icon group; empty: none
    bool icon_damaged = false;           // that group names images it lacks or is cut short
    std::vector<uint8_t> version;        // its VS_VERSIONINFO as stored; empty: none
    std::string execution_level;         // from its manifest; empty: none requested
};

// A program's identity from its headers and resources; the program must
// have passed check_entry_program.
EntryIdentity read_entry_identity(const std::filesystem::path &program);
