#include "depfile.h"
#include "archive_writer.h"

#include <cstdio>
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
    std::string text = escaped(target) + ":";
    for (const fs::path &input : inputs)
        text += " \\\n  " + escaped(fs::absolute(input).lexically_normal().string());
    text += "\n";
    fs::path partial = path;
    partial += ".partial";
    {
        std::ofstream out(partial, std::ios::binary);
        if (!out || !out.write(text.data(), static_cast<std::streamsize>(text.size())).flush()) {
            std::remove(partial.c_str());
            throw PackError{"cannot write the depfile '" + path.string() + "': check that its folder exists"};
        }
    }
    std::error_code error;
    fs::rename(partial, path, error);
    if (error) {
        std::remove(partial.c_str());
        throw PackError{"cannot write the depfile '" + path.string() + "': " + error.message()};
    }
}
