// The commands that look into a built launcher without running it.
#pragma once

#include "archive_reader.h"
#include "pe_image.h"

#include <filesystem>
#include <map>
#include <string>
#include <vector>

// What verify found, beyond the lines it prints.
struct VerifyVerdict {
    size_t records = 0;
    uint64_t content_bytes = 0;  // the files' bytes
    bool is_signed = false;
};

// Each prints its report on standard output (verify only with `print`) and
// throws PackError on a file that is not a launcher or whose attached data
// is damaged.
void list_launcher(const std::filesystem::path &launcher, const std::filesystem::path &kit);
void extract_launcher(const std::filesystem::path &launcher, const std::filesystem::path &directory);
VerifyVerdict verify_launcher(const std::filesystem::path &launcher, bool print = true);

// The same reports as one JSON object (inspect_json.cpp). verify's says
// whether the launcher is intact; a damaged one still throws.
void list_launcher_json(const std::filesystem::path &launcher, const std::filesystem::path &kit);
void verify_launcher_json(const std::filesystem::path &launcher);

// Shared by both forms of the reports. Where a launcher's attached data
// lies: after the image, where the build notes say, or, in launchers made
// before it moved there, the .veskar section. Never found from the end of
// the file.
struct ArchiveLocation {
    FileRange range;
    bool in_section = false;  // the earlier layout
};
ArchiveLocation locate_archive(const PeImage &image);
// The attached data read through `visitor`; messages name the launcher.
AttachedDataSummary read_launcher(const PeImage &image, const ArchiveLocation &where, const RecordVisitor &visitor);
// The first value of each of `keys` in the build notes; every value of `key`.
std::map<std::string, std::string> note_values(const PeImage &image, std::initializer_list<const char *> keys);
std::string value_of(const std::map<std::string, std::string> &values, const std::string &key);
std::vector<std::string> note_all(const PeImage &image, const std::string &key);
// The icon group as linked, compared with the kit's own icon.
std::string icon_kind(const PeImage &image, const std::filesystem::path &kit);
