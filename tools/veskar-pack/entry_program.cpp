#include "entry_program.h"
#include "build_note_keys.h"
#include "archive_writer.h"
#include "pe_image.h"

#include <cctype>

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
    std::string notes = std::string(note_entry) + "=exe\n";
    for (const std::string &argument : fixed_arguments)
        notes += std::string(note_app_arg) + "=" + argument + "\n";
    return notes;
}

// The level attribute of the manifest's requestedExecutionLevel element,
// quoted either way, spaces allowed around '='; empty when there is none.
static std::string requested_level(const std::string &manifest)
{
    const size_t element = manifest.find("requestedExecutionLevel");
    const size_t end = manifest.find('>', element);
    if (element == std::string::npos || end == std::string::npos)
        return {};
    const std::string tag = manifest.substr(element, end - element);
    for (size_t at = tag.find("level"); at != std::string::npos; at = tag.find("level", at + 1)) {
        size_t p = tag.find_first_not_of(" \t\r\n", at + 5);
        if (!std::isspace(static_cast<unsigned char>(tag[at - 1])) || p == std::string::npos || tag[p] != '=')
            continue;
        p = tag.find_first_not_of(" \t\r\n", p + 1);
        if (p == std::string::npos || (tag[p] != '"' && tag[p] != '\''))
            continue;
        const size_t close = tag.find(tag[p], p + 1);
        if (close != std::string::npos)
            return tag.substr(p + 1, close - p - 1);
    }
    return {};
}

EntryIdentity read_entry_identity(const std::filesystem::path &program)
{
    EntryIdentity identity;
    const PeImage image = read_resource_image(program);
    identity.console = image.subsystem == subsystem_console;
    if (std::optional<ByteSpan> group = find_first_resource(image, resource_group_icon)) {
        std::optional<std::vector<IconImage>> icon = icon_group_images(image, *group);
        identity.icon_damaged = !icon;
        if (icon)
            identity.icon = *icon;
    }
    if (std::optional<ByteSpan> version = find_first_resource(image, resource_version))
        identity.version.assign(version->data, version->data + version->size);
    if (std::optional<ByteSpan> manifest = find_resource(image, resource_manifest, 1))
        identity.execution_level = requested_level(std::string(manifest->data, manifest->data + manifest->size));
    return identity;
}
