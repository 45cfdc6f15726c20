// Writing an application folder as attached data: "QVY", one zstd frame
// holding the record stream, zero fill to a multiple of 8 and the trailer.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct ArchiveEntry {
    std::filesystem::path source;  // the file on disk
    std::u16string name;           // record name: relative, '\'-separated, UTF-16
    uint64_t size;
};

struct ArchiveOptions {
    int level = 19;
    int threads = 0;  // 0: one per core
    bool show_progress = false;
};

// The records of an application folder, application library first, then
// every other regular file in one fixed order. Throws PackError naming the
// offending path for anything that cannot be packed.
std::vector<ArchiveEntry> collect_entries(const std::filesystem::path &directory, const std::string &app_library);

// Writes the attached data for the entries to `output`.
void write_attached_data(const std::vector<ArchiveEntry> &entries, const std::filesystem::path &output,
                         const ArchiveOptions &options);

// The one error the packer reports: a sentence for the user, ending the command.
struct PackError {
    std::string message;
};
