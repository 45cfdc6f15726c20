// Linking a launcher executable: the launcher kit's objects, one attached
// data file and the resources (manifest, icon, optional splash image), with
// the MinGW-w64 toolchain.
#pragma once

#include <filesystem>
#include <optional>

struct LinkRequest {
    std::filesystem::path attached_data;
    std::filesystem::path output;
    std::filesystem::path kit;                 // folder with libveskar_launcher.a and its companions
    std::optional<std::filesystem::path> splash;
    std::optional<std::filesystem::path> icon; // replaces the kit's icon group
};

// The kit beside the running packer: <prefix>/lib/veskar-onefile for <prefix>/bin/veskar-pack.
std::filesystem::path default_kit_directory();

void link_launcher(const LinkRequest &request);
