#include "launcher_writer.h"
#include "archive_identity.h"
#include "archive_writer.h"
#include "host_system.h"
#include "image_files.h"
#include "pe_image.h"
#include "unpack_settings.h"
#include "build_note_keys.h"

#include <algorithm>
#include <cstring>
#include <fstream>

namespace fs = std::filesystem;

enum : uint32_t {
    section_header_size = 40,
    read_only_data = 0x40000040,  // IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_READ
    page_size = 4096,
    added_sections = 2,
};

// Offsets in the PE32+ optional header.
enum : size_t {
    opt_initialized_data = 8,
    opt_section_alignment = 32,
    opt_file_alignment = 36,
    opt_size_of_image = 56,
    opt_size_of_headers = 60,
    opt_checksum = 64,
    opt_directory_count = 108,
    opt_resource_directory = 112 + 2 * 8,
    opt_certificate_directory = 112 + 4 * 8,
};

static const char *kit_launcher_name(bool console)
{
    return console ? "veskar-launcher-console.exe" : "veskar-launcher.exe";
}

std::vector<fs::path> kit_files(const fs::path &kit, bool console)
{
    std::vector<fs::path> files;
    for (const char *name : {kit_launcher_name(console), "launcher.manifest", "veskar.ico"}) {
        fs::path file = kit / name;
        if (!is_file(file))
            throw PackError{"launcher kit '" + kit.u8string() + "' has no " + name +
                            ": build the windows preset, or name the kit folder with --kit"};
        files.push_back(file);
    }
    return files;
}

static uint32_t get_u16(const std::vector<uint8_t> &b, size_t at) { return b[at] | b[at + 1] << 8; }

static uint32_t get_u32(const std::vector<uint8_t> &b, size_t at)
{
    return get_u16(b, at) | get_u16(b, at + 2) << 16;
}

static void set_u16(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

static void set_u32(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
    set_u16(b, at, v & 0xFFFF);
    set_u16(b, at + 2, v >> 16);
}

static uint64_t align_up(uint64_t value, uint32_t alignment) { return (value + alignment - 1) / alignment * alignment; }

static std::vector<uint8_t> section_header(const char *name, uint32_t size, uint32_t rva, uint32_t raw_size,
                                           uint32_t raw_offset)
{
    std::vector<uint8_t> h(section_header_size, 0);
    std::memcpy(h.data(), name, std::strlen(name));
    set_u32(h, 8, size);
    set_u32(h, 12, rva);
    set_u32(h, 16, raw_size);
    set_u32(h, 20, raw_offset);
    set_u32(h, 36, read_only_data);
    return h;
}

// The notes' three archive lines, zeros until the archive is written.
static std::string hex_digits(uint64_t value, unsigned digits)
{
    std::string hex(digits, '0');
    for (unsigned i = digits; i > 0 && value != 0; i--, value >>= 4)
        hex[i - 1] = "0123456789abcdef"[value & 15];
    return hex;
}

static std::string location_line(const char *key, uint64_t value, unsigned digits)
{
    return std::string(key) + "=" + hex_digits(value, digits) + "\n";
}

// The frame index: per frame its first record, then its offset.
static std::string frames_line(const std::vector<FrameStart> &frames)
{
    if (frames.empty())
        return "";
    std::string line = std::string(note_frames) + "=";
    for (const FrameStart &f : frames)
        line += hex_digits(f.record, note_location_digits) + hex_digits(f.offset, note_location_digits);
    return line + "\n";
}

static std::string location_lines(uint64_t offset, uint64_t length, const std::string &identity,
                                  const std::vector<FrameStart> &frames)
{
    return location_line(note_archive_offset, offset, note_location_digits) +
           location_line(note_archive_length, length, note_location_digits) + note_archive + "=" + identity + "\n" +
           frames_line(frames);
}

static std::string location_placeholder(size_t frame_count)
{
    return location_lines(0, 0, std::string(note_identity_digits, '0'), std::vector<FrameStart>(frame_count));
}

LauncherLayout lay_out_launcher(const LauncherRequest &request)
{
    const fs::path exe = kit_files(request.kit, request.console).front();
    std::ifstream in(system_path(exe), std::ios::binary);
    LauncherLayout l;
    l.prefix = read_rest(in);
    std::vector<uint8_t> &b = l.prefix;
    const PackError not_prebuilt{"'" + exe.u8string() + "' is not a prebuilt launcher: reinstall the launcher kit"};

    // The prebuilt launcher must be a stripped PE32+ image with no
    // resources, no signature, no data after its last section and room in
    // its headers for two more section headers.
    if (b.size() < 0x40 || b[0] != 'M' || b[1] != 'Z')
        throw not_prebuilt;
    l.pe_header = get_u32(b, 0x3C);
    if (l.pe_header + 24 + 240 > b.size() || get_u32(b, l.pe_header) != 0x00004550)
        throw not_prebuilt;
    const size_t coff = l.pe_header + 4, opt = coff + 20;
    const size_t sections = get_u16(b, coff + 2), optional_size = get_u16(b, coff + 16);
    if (get_u16(b, opt) != 0x20B || optional_size < 240 || get_u32(b, opt + opt_directory_count) < 16 ||
        get_u32(b, coff + 8) != 0)
        throw not_prebuilt;
    l.section_alignment = get_u32(b, opt + opt_section_alignment);
    l.file_alignment = get_u32(b, opt + opt_file_alignment);
    l.size_of_headers = get_u32(b, opt + opt_size_of_headers);
    l.new_sections = opt + optional_size + sections * section_header_size;
    if (l.file_alignment < 512 || l.section_alignment < l.file_alignment ||
        l.new_sections + added_sections * section_header_size > l.size_of_headers || l.size_of_headers > b.size() ||
        get_u32(b, opt + opt_resource_directory) != 0 || get_u32(b, opt + opt_certificate_directory) != 0)
        throw not_prebuilt;
    for (size_t at = l.new_sections; at < l.new_sections + added_sections * section_header_size; at++) {
        if (b[at] != 0)
            throw not_prebuilt;
    }
    uint64_t raw_end = l.size_of_headers;
    for (size_t i = 0; i < sections; i++) {
        size_t at = opt + optional_size + i * section_header_size;
        if (std::memcmp(&b[at], ".rsrc", 6) == 0 || std::memcmp(&b[at], attached_data_section, 8) == 0 ||
            std::memcmp(&b[at], build_notes_section, 8) == 0)
            throw not_prebuilt;
        if (get_u32(b, at + 16) != 0)
            raw_end = std::max<uint64_t>(raw_end, uint64_t{get_u32(b, at + 20)} + get_u32(b, at + 16));
    }
    uint32_t rva = get_u32(b, opt + opt_size_of_image);
    if (raw_end != b.size() || rva % l.section_alignment != 0)
        throw not_prebuilt;

    // The notes and the resources come first; their sizes are known now.
    auto add = [&](const char *name, const std::vector<uint8_t> &contents) {
        b.resize(align_up(b.size(), l.file_alignment), 0);
        uint32_t raw_size = static_cast<uint32_t>(align_up(contents.size(), l.file_alignment));
        l.added.push_back(
            section_header(name, static_cast<uint32_t>(contents.size()), rva, raw_size, static_cast<uint32_t>(b.size())));
        b.insert(b.end(), contents.begin(), contents.end());
        b.resize(b.size() + (raw_size - contents.size()), 0);
        rva += static_cast<uint32_t>(align_up(contents.size(), l.section_alignment));
    };
    // The archive's place comes first: a launcher reads the first line of
    // a key, and nothing before it can be a line of ours.
    const std::string notes = location_placeholder(request.frame_count) + request.build_notes;
    l.location_offset = align_up(b.size(), l.file_alignment);
    l.frame_count = request.frame_count;
    add(build_notes_section, std::vector<uint8_t>(notes.begin(), notes.end()));
    uint32_t resource_rva = rva;
    std::vector<uint8_t> resources = resource_section(request.resources, resource_rva);
    add(".rsrc", resources);
    set_u32(b, opt + opt_resource_directory, resource_rva);
    set_u32(b, opt + opt_resource_directory + 4, static_cast<uint32_t>(resources.size()));
    // The archive starts at a page of the file, after the image: a reader
    // may map its views from there.
    b.resize(align_up(b.size(), std::max<uint32_t>(l.file_alignment, page_size)), 0);
    l.image_end = rva;
    return l;
}

void check_attached_data_size(const LauncherLayout &layout, uint64_t length)
{
    if (length > largest_launcher - layout.prefix.size())
        throw PackError{"the launcher would be " + std::to_string(layout.prefix.size() + length) +
                        " bytes or more, but it may be at most " + std::to_string(largest_launcher) +
                        " bytes (Windows runs no executable over " + std::to_string(largest_executable) +
                        " bytes, and a signature needs room after the attached data): pack fewer or smaller files"};
}

void write_launcher(const LauncherLayout &layout, const fs::path &output,
                    const std::function<std::vector<FrameStart>(const AttachedDataSink &)> &produce,
                    const std::function<void()> &before_rename)
{
    TemporaryFile out(fs::absolute(output), "'" + output.u8string() + "'");
    std::vector<uint8_t> prefix = layout.prefix;
    out.write(prefix.data(), prefix.size());

    // The attached data goes straight into the file; its checksum and
    // identity are taken on the way, so the archive is never read back.
    ImageChecksum archive_sum;
    archive_sum.length = prefix.size();  // an even offset: words line up with the file's
    ArchiveIdentity identity;
    std::vector<FrameStart> frames = produce([&](const void *data, size_t size) {
        check_attached_data_size(layout, archive_sum.length - prefix.size() + size);
        out.write(data, size);
        archive_sum.add(static_cast<const uint8_t *>(data), size);
        identity.add(data, size);
    });
    if (layout.frame_count == 0)
        frames.clear();
    // The index was laid out before the frames were written.
    if (frames.size() != layout.frame_count)
        throw PackError{"internal error: the archive has " + std::to_string(frames.size()) + " frames, not the " +
                        std::to_string(layout.frame_count) + " laid out"};
    const uint64_t length = archive_sum.length - prefix.size();
    const std::string lines = location_lines(prefix.size(), length, identity.hex(), frames);
    std::copy(lines.begin(), lines.end(), prefix.begin() + static_cast<std::ptrdiff_t>(layout.location_offset));

    const size_t coff = layout.pe_header + 4, opt = coff + 20;
    uint32_t added_data = 0;
    for (size_t i = 0; i < layout.added.size(); i++) {
        std::copy(layout.added[i].begin(), layout.added[i].end(),
                  prefix.begin() + static_cast<std::ptrdiff_t>(layout.new_sections + i * section_header_size));
        added_data += get_u32(layout.added[i], 16);
    }
    set_u16(prefix, coff + 2, get_u16(prefix, coff + 2) + static_cast<uint32_t>(layout.added.size()));
    set_u32(prefix, opt + opt_initialized_data, get_u32(prefix, opt + opt_initialized_data) + added_data);
    set_u32(prefix, opt + opt_size_of_image, layout.image_end);
    set_u32(prefix, opt + opt_checksum, 0);
    ImageChecksum sum;
    sum.add(prefix.data(), prefix.size());
    sum.sum += archive_sum.sum;
    sum.length += length;
    set_u32(prefix, opt + opt_checksum, sum.value());

    // The headers and the notes, completed.
    out.rewrite_start(prefix.data(), layout.location_offset + lines.size());
    out.close();
    before_rename();
    out.rename_into_place();
}
