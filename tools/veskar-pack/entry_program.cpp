#include "entry_program.h"
#include "archive_writer.h"

static const std::string app_dir_placeholder = "{APP_DIR}";

void check_fixed_argument(const std::string &argument)
{
    // Shown on one line, whatever it holds.
    std::string shown;
    for (char c : argument)
        shown += c == '\n' ? "\\n" : c == '\r' ? "\\r" : std::string(1, c);
    const std::string quoted = "--app-arg '" + shown + "' ";
    if (argument.find_first_of("\r\n") != std::string::npos)
        throw PackError{quoted + "holds a line break, which a fixed argument cannot"};
    for (size_t at = argument.find_first_of("{}"); at != std::string::npos;
         at = argument.find_first_of("{}", at + 1)) {
        if (argument.compare(at, app_dir_placeholder.size(), app_dir_placeholder) == 0) {
            at += app_dir_placeholder.size() - 1;
            continue;
        }
        if (argument[at] == '}')
            throw PackError{quoted + "has a '}' that closes no '{': the only placeholder is {APP_DIR}"};
        const size_t end = argument.find_first_of("{}", at + 1);
        if (end == std::string::npos || argument[end] != '}')
            throw PackError{quoted + "has a '{' that is not closed: the only placeholder is {APP_DIR}"};
        throw PackError{quoted + "names an unknown placeholder " + argument.substr(at, end - at + 1) +
                        ": the only placeholder is {APP_DIR}, the folder the application is unpacked to"};
    }
}

std::string program_entry_notes(const std::vector<std::string> &fixed_arguments)
{
    std::string notes = "entry=exe\n";
    for (const std::string &argument : fixed_arguments)
        notes += "app_arg=" + argument + "\n";
    return notes;
}
