// Writing a launcher executable: a prebuilt launcher from the kit, copied
// and completed with two sections of its own, the build notes (`.vskinfo`)
// and the resources (`.rsrc`), then the attached data after the image,
// streamed straight into the output as it is produced, and its place and
// identity written into the notes. The section table, image sizes,
// resource directory and checksum are written here; no other program runs.
#pragma once

#include "archive_writer.h"
#include "launcher_resources.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

// A small read-only section holding "key=value" lines about the build
// (static_src/build_note_keys.h): where the attached data lies, the zstd
// level, which the frame does not record, and where the launcher unpacks
// and whether it keeps its tree (unpack_settings.h), which the launcher
// reads from its own image.
inline const char build_notes_section[] = ".vskinfo";
// The section that held the attached data in launchers made before it
// moved after the image.
inline const char attached_data_section[] = ".veskar";

// Windows runs no executable file of 4 GiB or more (its loader takes a
// file's size in 32 bits), and a signature adds its certificate table after
// the attached data: a launcher is kept below the first by room for the
// second.
inline constexpr uint64_t largest_executable = 0xFFFFFFFF;
inline constexpr uint64_t signature_room = 1 << 20;
inline constexpr uint64_t largest_launcher = largest_executable - signature_room;

// The kit files a launcher is made from (the prebuilt launcher of the
// subsystem asked for, the manifest and the default icon); throws PackError
// when one is missing.
std::vector<std::filesystem::path> kit_files(const std::filesystem::path &kit, bool console);

struct LauncherRequest {
    std::filesystem::path kit;
    bool console = false;  // the console-subsystem launcher instead of the GUI one
    LauncherResources resources;
    std::string build_notes;  // empty: no notes section
    size_t frame_count = 0;   // frames the index line lists; 0: no index
};

// The prebuilt launcher read and checked, and everything before the
// attached data laid out; nothing is written yet.
struct LauncherLayout {
    std::vector<uint8_t> prefix;  // the file's bytes up to the attached data; headers still to complete
    size_t pe_header = 0;         // offset of "PE\0\0"
    size_t new_sections = 0;      // offset of the first section header added
    std::vector<std::vector<uint8_t>> added;  // headers of the sections added
    uint32_t file_alignment = 0, section_alignment = 0;
    uint32_t image_end = 0;       // the image's size once loaded
    uint32_t size_of_headers = 0;
    size_t location_offset = 0;   // where the notes' three archive lines start in `prefix`
    size_t frame_count = 0;       // and the frame index after them lists
};

LauncherLayout lay_out_launcher(const LauncherRequest &request);

// Throws PackError naming the limit when `length` bytes of attached data
// would make the launcher larger than largest_launcher.
void check_attached_data_size(const LauncherLayout &layout, uint64_t length);

// Receives the attached data in pieces; the producer is handed one.
using AttachedDataSink = std::function<void(const void *data, size_t size)>;

// Writes the launcher to `output`: beside it into a temporary file (see
// TemporaryFile), the attached data streamed from `produce`, its place,
// length and identity (and the frames `produce` returns) completed in the
// notes; then `before_rename` runs (the depfile), and the file is renamed
// into place. On any failure no output and no temporary file is left.
void write_launcher(const LauncherLayout &layout, const std::filesystem::path &output,
                    const std::function<std::vector<FrameStart>(const AttachedDataSink &)> &produce,
                    const std::function<void()> &before_rename);
