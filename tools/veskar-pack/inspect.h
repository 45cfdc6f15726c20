// The commands that look into a built launcher without running it.
#pragma once

#include "pe_image.h"
#include "archive_reader.h"

#include <filesystem>
#include <string>
#include <vector>

// Each prints its report on standard output and throws PackError on a
// file that is not a launcher or whose attached data is damaged.
void list_launcher(const std::filesystem::path &launcher, const std::filesystem::path &kit);
void extract_launcher(const std::filesystem::path &launcher, const std::filesystem::path &directory);
void verify_launcher(const std::filesystem::path &launcher);

// The same reports as one JSON object (inspect_json.cpp). verify's object
// says whether the attached data is intact; on damage it still throws.
void list_launcher_json(const std::filesystem::path &launcher, const std::filesystem::path &kit);
void verify_launcher_json(const std::filesystem::path &launcher);

// Shared by both forms of the reports: the attached data read through
// `visitor` (messages name the launcher), the build notes' values of a key,
// the icon compared with the kit's and the manifest's execution level.
AttachedDataSummary read_launcher(const PeImage &image, const RecordVisitor &visitor);
std::vector<std::string> build_notes(const PeImage &image, const std::string &key);
std::string build_note(const PeImage &image, const std::string &key);
std::string icon_kind(const PeImage &image, const std::filesystem::path &kit);
std::string execution_level(const PeImage &image);
