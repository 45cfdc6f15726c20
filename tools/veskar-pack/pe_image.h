// Reading a built launcher: the PE section table and resource directory,
// enough to find the attached data, the build notes and the resources.
#pragma once

#include <cstdint>
#include "image_files.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

struct ByteSpan {
    const uint8_t *data;
    size_t size;
};

struct PeSection {
    std::string name;
    uint32_t virtual_size;
    uint32_t virtual_address;
    uint32_t raw_size;
    uint32_t raw_offset;
};

struct PeImage {
    std::filesystem::path path;
    std::vector<uint8_t> bytes;
    std::vector<PeSection> sections;
    uint32_t resource_rva = 0;
    uint32_t resource_size = 0;
    uint32_t subsystem = 0;  // 2: GUI, 3: console
};

// Throws PackError naming the file when it is not a 64-bit PE image.
PeImage read_pe_image(const std::filesystem::path &path);

// The application library as the launcher's child loads it: a PE32+ DLL
// for x86-64 that exports run_code by name. Throws PackError, one line
// naming the file and what is wrong, for anything else. Reads only the
// headers and the export table, however large the library.
void check_application_library(const std::filesystem::path &path);

// The program the launcher starts: a PE executable image (not a DLL) for
// x86-64, x86 or ARM64, with a console or GUI subsystem. Throws PackError,
// one line naming the file and what it is, for anything else; returns the
// subsystem. Reads only the headers.
uint32_t check_entry_program(const std::filesystem::path &path);

// A section's contents as loaded (its VirtualSize, not the padded raw
// size); nothing when the image has no such section.
std::optional<ByteSpan> section_contents(const PeImage &image, const std::string &name);

// The first language of resource type/id; nothing when absent.
std::optional<ByteSpan> find_resource(const PeImage &image, uint32_t type, uint32_t id);

// The first resource of a type, named or numbered, as Windows takes a
// program's icon: named entries sort first.
std::optional<ByteSpan> find_first_resource(const PeImage &image, uint32_t type);

// The images an RT_GROUP_ICON entry lists, each from the RT_ICON its id
// names; nothing when the group is damaged or an image is missing.
std::optional<std::vector<IconImage>> icon_group_images(const PeImage &image, ByteSpan group);

// A program's resources without reading the whole file: `bytes` holds only
// the section with the resource directory, `sections` only that section
// (empty, and no resources, when there are none), `subsystem` set. Call
// after check_entry_program.
PeImage read_resource_image(const std::filesystem::path &path);

enum : uint32_t {
    machine_x86 = 0x014C,
    machine_x86_64 = 0x8664,
    machine_arm64 = 0xAA64,
    subsystem_gui = 2,
    subsystem_console = 3,
};

enum : uint32_t {
    resource_icon = 3,
    resource_rcdata = 10,
    resource_group_icon = 14,
    resource_version = 16,
    resource_manifest = 24
};
