#include "depfile.h"
#include "archive_writer.h"
#include "host_system.h"


namespace fs = std::filesystem;

// Spaces and '#' are escaped with a backslash, '$' doubled, as make and
// ninja read them; a line break cannot be written at all.
static std::string escaped(const std::string &name)
{
    std::string out;
    for (char c : name) {
        if (c == '\n' || c == '\r')
            throw PackError{"'" + name + "' has a line break in its name, which a depfile cannot hold: rename it"};
        if (c == ' ' || c == '#' || c == '\\')
            out += '\\';
        if (c == '$')
            out += '$';
        out += c;
    }
    return out;
}

void write_depfile(const fs::path &path, const std::string &target, const std::vector<fs::path> &inputs)
{
    // Forward slashes on Windows too: make and ninja read a backslash as an escape.
    std::string text = escaped(fs::u8path(target).generic_u8string()) + ":";
    for (const fs::path &input : inputs)
        text += " \\\n  " + escaped(fs::absolute(input).lexically_normal().generic_u8string());
    text += "\n";
    TemporaryFile out(fs::absolute(path), "the depfile '" + path.u8string() + "'");
    out.write(text.data(), text.size());
    out.rename_into_place();
}
