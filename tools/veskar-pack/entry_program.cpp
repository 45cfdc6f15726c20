#include "entry_program.h"
#include "build_note_keys.h"
#include "launcher_resources.h"
#include "pack_error.h"
#include "pe_image.h"

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

void check_fixed_arguments_fit(const std::vector<std::string> &fixed_arguments)
{
    // The launcher's unpack directory holds 4095 units, a record name 1023.
    enum : size_t { command_line_units = 32767, unpack_dir_units = 4095, program_units = 2 + 4095 + 1 + 1023 };
    size_t units = 0;
    for (const std::string &argument : fixed_arguments) {
        units += 3;  // the quotes and the space before
        for (size_t at = 0; at < argument.size(); at++) {
            const unsigned char c = static_cast<unsigned char>(argument[at]);
            if (argument.compare(at, app_dir_placeholder.size(), app_dir_placeholder) == 0) {
                units += unpack_dir_units;
                at += app_dir_placeholder.size() - 1;
            } else if (c == '"' || c == '\\') {
                units += 2;
            } else if ((c & 0xC0) != 0x80) {
                units += c >= 0xF0 ? 2 : 1;  // four UTF-8 bytes make a surrogate pair
            }
        }
    }
    const size_t room = command_line_units - 1 - program_units;
    if (units > room)
        throw PackError{"--app-arg: the fixed arguments can take " + std::to_string(units) + " UTF-16 units of the "
                        "program's command line, which holds " + std::to_string(command_line_units) +
                        "; with the program's path at most " + std::to_string(room) + " are left for them"};
}

std::string program_entry_notes(const std::vector<std::string> &fixed_arguments)
{
    std::string notes = std::string(note_entry) + "=exe\n";
    for (const std::string &argument : fixed_arguments)
        notes += std::string(note_app_arg) + "=" + argument + "\n";
    return notes;
}

EntryIdentity read_entry_identity(const std::filesystem::path &program)
{
    EntryIdentity identity;
    const PeImage image = open_image(program);
    identity.console = image.subsystem == subsystem_console;
    // What the launcher copies is as large as the program made it.
    const uint64_t unbounded = UINT64_MAX;
    if (std::optional<FileRange> group = find_first_resource(image, resource_group_icon)) {
        std::optional<std::vector<uint8_t>> bytes = read_resource(image, *group, unbounded);
        std::optional<std::vector<IconImage>> icon =
            bytes ? icon_group_images(image, *bytes, unbounded) : std::nullopt;
        identity.icon_damaged = !icon;
        if (icon)
            identity.icon = *icon;
    }
    if (std::optional<FileRange> version = find_first_resource(image, resource_version))
        identity.version = read_resource(image, *version, unbounded).value_or(std::vector<uint8_t>());
    if (std::optional<FileRange> manifest = find_resource(image, resource_manifest, 1)) {
        const std::vector<uint8_t> text = read_resource(image, *manifest, unbounded).value_or(std::vector<uint8_t>());
        identity.execution_level = requested_execution_level(std::string(text.begin(), text.end()));
    }
    return identity;
}
