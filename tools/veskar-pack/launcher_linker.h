// Linking a launcher executable: the launcher kit's objects, one attached
// data file and the resources (manifest, icon, optional splash image), with
// the MinGW-w64 toolchain.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// A small read-only section beside the attached data holding "key=value"
// lines about the build (the zstd level, which the frame does not record).
// The launcher never reads it.
inline const char build_notes_section[] = ".vskinfo";

struct LinkRequest {
    std::filesystem::path attached_data;
    std::filesystem::path output;
    std::filesystem::path kit;                 // folder with libveskar_launcher.a and its companions
    std::optional<std::filesystem::path> splash;
    std::optional<std::filesystem::path> icon; // replaces the kit's icon group
    std::string build_notes;                   // empty: no notes section
};

// The files of a kit that every launcher is made from; throws PackError
// when one is missing.
std::vector<std::filesystem::path> kit_files(const std::filesystem::path &kit);

// Links in `work`, then puts the launcher in place only when it is complete.
void link_launcher(const LinkRequest &request, const std::filesystem::path &work);
