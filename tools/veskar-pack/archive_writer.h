// Writing an application folder as attached data: "QVY", the zstd frames
// holding the record stream (one unless framed for reuse), zero fill to a
// multiple of 8 and the trailer.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "pack_error.h"

struct ArchiveEntry {
    std::filesystem::path source;  // the file on disk
    std::u16string name;           // record name: relative, '\'-separated, UTF-16
    uint64_t size;
};

// Chosen from measurements on a mixed 200 MB application folder (README):
// most of what the higher levels gain, at a small part of their time.
// Levels above 19 keep the window within what the launcher decodes.
enum : int { default_level = 9, min_level = 1, max_level = 22 };

// A reusing launcher's archive is split into independent frames at record
// boundaries, each of at most this much record stream unless one record is
// larger, so that a start taking over another version's tree decodes only
// the frames that hold what changed.
enum : uint64_t { reuse_frame_bytes = uint64_t{16} << 20 };

struct ArchiveOptions {
    int level = default_level;
    int threads = 0;  // compression workers; 0: one per core
    bool show_progress = false;
    uint64_t frame_bytes = 0;  // 0: one frame
};

// Where a frame begins: the index of its first record, and its offset
// from the start of the attached data (the first frame's is 3).
struct FrameStart {
    uint64_t record;
    uint64_t offset;
};

// The file the launcher runs, named relative to the application folder:
// an application library (--app-library) or a program (--app-exe).
struct EntryFile {
    std::string relative;
    bool program = false;
};

// What a folder packs into: the records (the entry first, then
// every other regular file in one fixed order) and the folders met on the
// way, which a depfile lists so that adding or removing a file is noticed.
struct FolderContents {
    std::vector<ArchiveEntry> entries;
    std::vector<std::filesystem::path> folders;
};

// The entry's path below the folder, once the folder, the name and the file
// have been checked (check_entry_program or check_application_library).
// Throws PackError naming what is wrong.
std::filesystem::path checked_entry_path(const std::filesystem::path &directory, const EntryFile &entry);

// Throws PackError naming the offending path for anything that cannot be
// packed; nothing is written. The entry must have passed checked_entry_path.
FolderContents collect_entries(const std::filesystem::path &directory, const EntryFile &entry);

// Produces the attached data for the entries, handing it to `sink` in
// pieces as it is compressed.
// The records each frame begins with: 0, then every record before which a
// frame of at most `frame_bytes` would overflow (all of them at 0: one frame).
std::vector<uint64_t> frame_first_records(const std::vector<ArchiveEntry> &entries, uint64_t frame_bytes);

// Returns where each frame begins, with the offsets as written.
std::vector<FrameStart> write_attached_data(const std::vector<ArchiveEntry> &entries,
                                            const std::function<void(const void *, size_t)> &sink,
                                            const ArchiveOptions &options);

