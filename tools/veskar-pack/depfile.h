// Makefile-style dependency files, so that a build system that runs the
// packer knows every input of a launcher and rebuilds it when one changes.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

// Writes "target: input input ..." to `path`; throws PackError when a name
// cannot be written in that syntax or the file cannot be written.
void write_depfile(const std::filesystem::path &path, const std::string &target,
                   const std::vector<std::filesystem::path> &inputs);
