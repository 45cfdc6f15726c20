#include "launcher_writer.h"
#include "archive_identity.h"
#include "archive_writer.h"
#include "host_system.h"
#include "image_files.h"
#include "unpack_settings.h"

#include <algorithm>
#include <cstring>
#include <fstream>

namespace fs = std::filesystem;

enum : uint32_t {
    section_header_size = 40,
    read_only_data = 0x40000040,  // IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_READ
    largest_image = 0x80000000,   // 2 GiB: larger images are not mapped by Windows
    page_size = 4096,
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
    // its headers for three more section headers.
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
        l.new_sections + 3 * section_header_size > l.size_of_headers || l.size_of_headers > b.size() ||
        get_u32(b, opt + opt_resource_directory) != 0 || get_u32(b, opt + opt_certificate_directory) != 0)
        throw not_prebuilt;
    for (size_t at = l.new_sections; at < l.new_sections + 3 * section_header_size; at++) {
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
    if (!request.build_notes.empty()) {
        // A line of its own: a fixed argument could hold the same text.
        const std::string notes = "\n" + request.build_notes;
        size_t identity = notes.find("\n" + identity_placeholder + "\n");
        if (identity != std::string::npos)
            l.identity_offset = align_up(b.size(), l.file_alignment) + identity + identity_note_key.size();
        add(build_notes_section, std::vector<uint8_t>(request.build_notes.begin(), request.build_notes.end()));
    }
    uint32_t resource_rva = rva;
    std::vector<uint8_t> resources = resource_section(request.resources, resource_rva);
    add(".rsrc", resources);
    set_u32(b, opt + opt_resource_directory, resource_rva);
    set_u32(b, opt + opt_resource_directory + 4, static_cast<uint32_t>(resources.size()));
    // The archive starts at a page of the file as well as of the image, so
    // that a loader can map it straight from the file; Wine reads a section
    // at any other offset into private memory, the whole archive in each of
    // the two processes.
    b.resize(align_up(b.size(), std::max<uint32_t>(l.file_alignment, page_size)), 0);
    l.attached_rva = rva;
    return l;
}

uint64_t attached_data_limit(const LauncherLayout &layout)
{
    return largest_image - layout.section_alignment - layout.attached_rva;
}

void check_attached_data_size(const LauncherLayout &layout, uint64_t length)
{
    uint64_t limit = attached_data_limit(layout);
    if (length > limit)
        throw PackError{"the attached data is " + std::to_string(length) + " bytes or more, but a launcher carries " +
                        "at most " + std::to_string(limit) + " bytes (a Windows executable image stays below 2 GiB): " +
                        "pack fewer or smaller files"};
}

namespace {

// The standard PE checksum: the file's 16-bit little-endian words added
// with end-around carry, plus the file's length. Fed in pieces of any size.
struct PeChecksum {
    uint64_t sum = 0;
    uint64_t length = 0;

    void add(const uint8_t *data, size_t size)
    {
        for (size_t i = 0; i < size; i++, length++)
            sum += length % 2 ? uint64_t{data[i]} << 8 : data[i];
    }

    uint32_t value() const
    {
        uint64_t folded = sum;
        while (folded >> 16)
            folded = (folded & 0xFFFF) + (folded >> 16);
        return static_cast<uint32_t>(folded + length);
    }
};

// The output's temporary name, removed unless the launcher was completed.
struct PartialOutput {
    fs::path path;
    bool kept = false;
    ~PartialOutput()
    {
        if (!kept) {
            std::error_code ignored;
            fs::remove(system_path(path), ignored);
        }
    }
};

} // namespace

void write_launcher(const LauncherLayout &layout, const fs::path &output,
                    const std::function<void(const AttachedDataSink &)> &produce)
{
    const fs::path final_path = fs::absolute(output);
    PartialOutput partial{final_path};
    partial.path += ".partial";
    const PackError write_failed{"cannot write '" + output.u8string() + "': check the disk and the folder's rights"};
    std::ofstream out(system_path(partial.path), std::ios::binary | std::ios::trunc);
    if (!out)
        throw write_failed;
    std::vector<uint8_t> prefix = layout.prefix;
    out.write(reinterpret_cast<const char *>(prefix.data()), static_cast<std::streamsize>(prefix.size()));

    // The attached data goes straight into the file; its checksum is taken
    // on the way, so the archive is never read back.
    PeChecksum archive_sum;
    archive_sum.length = prefix.size();  // an even offset: words line up with the file's
    ArchiveIdentity identity;
    produce([&](const void *data, size_t size) {
        check_attached_data_size(layout, archive_sum.length - prefix.size() + size);
        out.write(static_cast<const char *>(data), static_cast<std::streamsize>(size));
        if (!out)
            throw write_failed;
        archive_sum.add(static_cast<const uint8_t *>(data), size);
        if (layout.identity_offset != 0)
            identity.add(data, size);
    });
    if (layout.identity_offset != 0) {
        const std::string digits = identity.hex();
        std::copy(digits.begin(), digits.end(), prefix.begin() + static_cast<std::ptrdiff_t>(layout.identity_offset));
    }
    const uint64_t length = archive_sum.length - prefix.size();
    const uint64_t raw_size = align_up(length, layout.file_alignment);
    static const char zeros[4096] = {};
    for (uint64_t left = raw_size - length; left > 0;) {
        size_t piece = static_cast<size_t>(std::min<uint64_t>(left, sizeof zeros));
        out.write(zeros, static_cast<std::streamsize>(piece));
        left -= piece;
    }

    // An empty archive gets no section: the launcher then finds none and
    // says that its attached data is missing.
    std::vector<std::vector<uint8_t>> headers = layout.added;
    uint32_t image_end = layout.attached_rva;
    if (length > 0) {
        headers.push_back(section_header(attached_data_section, static_cast<uint32_t>(length), layout.attached_rva,
                                         static_cast<uint32_t>(raw_size), static_cast<uint32_t>(prefix.size())));
        image_end = static_cast<uint32_t>(align_up(layout.attached_rva + length, layout.section_alignment));
    }
    const size_t coff = layout.pe_header + 4, opt = coff + 20;
    uint32_t added_data = 0;
    for (size_t i = 0; i < headers.size(); i++) {
        std::copy(headers[i].begin(), headers[i].end(), prefix.begin() + layout.new_sections + i * section_header_size);
        added_data += get_u32(headers[i], 16);
    }
    set_u16(prefix, coff + 2, get_u16(prefix, coff + 2) + static_cast<uint32_t>(headers.size()));
    set_u32(prefix, opt + opt_initialized_data, get_u32(prefix, opt + opt_initialized_data) + added_data);
    set_u32(prefix, opt + opt_size_of_image, image_end);
    set_u32(prefix, opt + opt_checksum, 0);
    PeChecksum sum;
    sum.add(prefix.data(), prefix.size());
    sum.sum += archive_sum.sum;
    sum.length += length + (raw_size - length);
    set_u32(prefix, opt + opt_checksum, sum.value());

    out.seekp(0);
    // The headers, and the notes too once they hold the identity.
    const size_t rewritten = layout.identity_offset != 0 ? prefix.size() : layout.size_of_headers;
    out.write(reinterpret_cast<const char *>(prefix.data()), static_cast<std::streamsize>(rewritten));
    out.close();
    if (!out)
        throw write_failed;
    stop_if_interrupted();
    std::error_code error;
    fs::rename(system_path(partial.path), system_path(final_path), error);
    if (error)
        throw PackError{"cannot write '" + output.u8string() + "': " + error.message()};
    partial.kept = true;
}
