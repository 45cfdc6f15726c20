// The one reader of Windows image files (a built launcher, an application
// library, a program entry): the headers, the section table and the
// resource directory, each read from the file where it is needed, never the
// whole file, so that memory stays small whatever the file's size.
#pragma once

#include "image_files.h"
#include "little_endian.h"
#include "pack_error.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct PeSection {
    std::string name;
    uint32_t virtual_size;
    uint32_t virtual_address;
    uint32_t raw_size;
    uint32_t raw_offset;
};

struct PeImage {
    std::filesystem::path path;
    std::shared_ptr<std::ifstream> file;  // open for the image's lifetime
    uint64_t file_size = 0;
    // unreadable: no regular file could be opened; damaged: "MZ" without
    // whole PE headers after it.
    enum { image, not_an_image, damaged, unreadable } found = unreadable;
    uint32_t pe = 0;  // offset of "PE\0\0"
    uint32_t machine = 0, characteristics = 0, section_count = 0, subsystem = 0;
    std::vector<uint8_t> optional;    // the optional header; short when the file ends first
    std::vector<PeSection> sections;  // empty unless the whole section table is in the file

    uint64_t optional_offset() const { return uint64_t{pe} + 24; }
};

// A byte range of the file.
struct FileRange {
    uint64_t offset;
    uint64_t size;
};

// Opens `path` and reads its headers; `found` says what they are. Never
// throws: each caller names the file in its own words.
PeImage open_image(const std::filesystem::path &path);

// A built launcher's headers: throws PackError, one line naming the file,
// for anything but a regular file holding a 64-bit image that Windows
// could run (below 4 GiB).
PeImage open_launcher_image(const std::filesystem::path &path);

// `count` bytes at `offset`; nothing when they are not all in the file.
std::optional<std::vector<uint8_t>> read_image_bytes(const PeImage &image, uint64_t offset, size_t count);

// Data directory `index` (2 resources, 4 certificates) as stored: a
// relative address or, for the certificates, a file offset; {0, 0} when
// the header has none.
FileRange data_directory(const PeImage &image, size_t index);

enum : size_t { directory_resources = 2, directory_certificates = 4 };

// The file offset of the checksum field in the optional header.
inline uint64_t checksum_offset(const PeImage &image) { return image.optional_offset() + 64; }

// The first section of that name, or null.
const PeSection *find_section(const PeImage &image, const std::string &name);

// Where the file ends what its sections hold (the furthest raw data).
uint64_t end_of_sections(const PeImage &image);

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

// The first language of resource type/id; nothing when absent or when the
// directory does not lie in the file.
std::optional<FileRange> find_resource(const PeImage &image, uint32_t type, uint32_t id);

// The first resource of a type, named or numbered, as Windows takes a
// program's icon: named entries sort first.
std::optional<FileRange> find_first_resource(const PeImage &image, uint32_t type);

// A resource's bytes; nothing when it is larger than `limit` or not all in
// the file.
std::optional<std::vector<uint8_t>> read_resource(const PeImage &image, FileRange range, uint64_t limit);

// The images an RT_GROUP_ICON entry lists, each from the RT_ICON its id
// names; nothing when the group is damaged, an image is missing or one is
// larger than `image_limit`.
std::optional<std::vector<IconImage>> icon_group_images(const PeImage &image, const std::vector<uint8_t> &group,
                                                        uint64_t image_limit);

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

// The standard PE checksum: the file's 16-bit little-endian words added
// with end-around carry, plus the file's length. Fed in pieces of any size,
// the checksum field itself given as zeros.
struct ImageChecksum {
    uint64_t sum = 0;
    uint64_t length = 0;

    void add(const uint8_t *data, size_t size)
    {
        size_t i = 0;
        if (length % 2 == 1 && size > 0)
            sum += uint64_t{data[i++]} << 8;  // the high byte of a word begun before
        // Whole words, in a loop the compiler can vectorise: gigabytes pass here.
        for (; i + 1 < size; i += 2)
            sum += static_cast<uint32_t>(data[i] | data[i + 1] << 8);
        if (i < size)
            sum += data[i];
        length += size;
    }

    uint32_t value() const
    {
        uint64_t folded = sum;
        while (folded >> 16)
            folded = (folded & 0xFFFF) + (folded >> 16);
        return static_cast<uint32_t>(folded + length);
    }
};
