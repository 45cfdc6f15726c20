// Writing a launcher executable: a prebuilt launcher from the kit, copied
// and completed with three sections of its own: the build notes
// (`.vskinfo`), the resources (`.rsrc`) and, last, the attached data
// (`.veskar`), streamed straight into the output as it is produced. The
// section table, image sizes, resource directory and checksum are written
// here; no other program runs.
#pragma once

#include "launcher_resources.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

// A small read-only section holding "key=value" lines about the build: the
// zstd level, which the frame does not record, and where the launcher
// unpacks and whether it keeps its tree (unpack_settings.h), which the
// launcher reads from its own image.
inline const char build_notes_section[] = ".vskinfo";
inline const char attached_data_section[] = ".veskar";

// The kit files a launcher is made from (the prebuilt launcher of the
// subsystem asked for, the manifest and the default icon); throws PackError
// when one is missing.
std::vector<std::filesystem::path> kit_files(const std::filesystem::path &kit, bool console);

struct LauncherRequest {
    std::filesystem::path kit;
    bool console = false;  // the console-subsystem launcher instead of the GUI one
    LauncherResources resources;
    std::string build_notes;  // empty: no notes section
};

// The prebuilt launcher read and checked, and everything before the
// attached data laid out; nothing is written yet.
struct LauncherLayout {
    std::vector<uint8_t> prefix;  // the file's bytes up to the attached data; headers still to complete
    size_t pe_header = 0;         // offset of "PE\0\0"
    size_t new_sections = 0;      // offset of the first section header added
    std::vector<std::vector<uint8_t>> added;  // headers of the sections added before the attached data
    uint32_t file_alignment = 0, section_alignment = 0;
    uint32_t attached_rva = 0;    // where the attached data is loaded
    uint32_t size_of_headers = 0;
    size_t identity_offset = 0;   // where the archive identity's digits go in `prefix`; 0: none
};

LauncherLayout lay_out_launcher(const LauncherRequest &request);

// The most attached data the launcher can carry: its whole image must stay
// below 2 GiB, the most Windows maps as an executable image.
uint64_t attached_data_limit(const LauncherLayout &layout);

// Throws PackError naming the limit when `length` bytes would not fit.
void check_attached_data_size(const LauncherLayout &layout, uint64_t length);

// Receives the attached data in pieces; the producer is handed one.
using AttachedDataSink = std::function<void(const void *data, size_t size)>;

// Writes the launcher to `output`: beside it under a temporary name, the
// attached data streamed from `produce` (and hashed into the notes when
// they hold the identity's placeholder), then renamed. On any failure no
// output and no temporary file is left.
void write_launcher(const LauncherLayout &layout, const std::filesystem::path &output,
                    const std::function<void(const AttachedDataSink &)> &produce);
