// The resources a launcher carries, written as a PE resource section: the
// icon group (id 1), the process manifest (id 1) with the requested
// execution level, the splash image (RT_RCDATA 28) and the version
// information (VS_VERSIONINFO, id 1).
#pragma once

#include "image_files.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

// The keys --version-info accepts: the ones Explorer shows under
// Properties, Details.
extern const char *const version_info_keys[8];

struct VersionInfo {
    std::map<std::string, std::string> strings;  // key → UTF-8 value, keys from version_info_keys
};

// Adds one KEY=VALUE; throws PackError for a refused key, a key given twice
// or a FileVersion/ProductVersion that is not 1 to 4 numbers 0-65535.
void add_version_info(VersionInfo &info, const std::string &key_value);

// Whether `level` is a level Windows accepts in a manifest; check_ throws
// PackError naming the option unless it is.
bool is_execution_level(const std::string &level);
void check_execution_level(const std::string &level);

struct LauncherResources {
    std::vector<IconImage> icon;
    std::string manifest;              // the kit's, with the requested execution level
    std::vector<uint8_t> splash;       // empty: no splash
    std::optional<VersionInfo> version;  // as given with --version-info
    std::vector<uint8_t> copied_version; // a program entry's own VS_VERSIONINFO, used when `version` is not given
};

// The kit's manifest with its requestedExecutionLevel set to `level`.
std::string manifest_with_level(const std::string &manifest, const std::string &level);

// The level attribute of a manifest's requestedExecutionLevel element,
// quoted either way, spaces allowed around '='; empty when there is none.
std::string requested_execution_level(const std::string &manifest);

// The resource section's bytes as loaded at relative virtual address `rva`.
std::vector<uint8_t> resource_section(const LauncherResources &resources, uint32_t rva);

// The strings of a VS_VERSIONINFO resource in their stored order, as UTF-8
// "key: value" pairs; nothing when the bytes are not one.
std::vector<std::pair<std::string, std::string>> read_version_strings(const std::vector<uint8_t> &resource);
