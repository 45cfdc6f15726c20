#include "depfile.h"
#include "archive_writer.h"
#include "host_system.h"

#include <fstream>

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
    fs::path partial = path;
    partial += ".partial";
    std::error_code error;
    {
        std::ofstream out(system_path(partial), std::ios::binary);
        if (!out || !out.write(text.data(), static_cast<std::streamsize>(text.size())).flush()) {
            fs::remove(system_path(partial), error);
            throw PackError{"cannot write the depfile '" + path.u8string() + "': check that its folder exists"};
        }
    }
    fs::rename(system_path(partial), system_path(path), error);
    if (error) {
        const std::string reason = error.message();
        fs::remove(system_path(partial), error);
        throw PackError{"cannot write the depfile '" + path.u8string() + "': " + reason};
    }
}
