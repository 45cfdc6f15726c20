#include "pe_image.h"
#include "host_system.h"

#include <cstdio>
#include <cstring>

namespace fs = std::filesystem;

PeImage open_image(const fs::path &path)
{
    PeImage image;
    image.path = path;
    if (!is_file(path))
        return image;
    image.file = std::make_shared<std::ifstream>(system_path(path), std::ios::binary | std::ios::ate);
    if (!*image.file)
        return image;
    image.file_size = static_cast<uint64_t>(image.file->tellg());
    image.found = PeImage::not_an_image;
    const std::optional<std::vector<uint8_t>> dos = read_image_bytes(image, 0, 0x40);
    if (!dos || (*dos)[0] != 'M' || (*dos)[1] != 'Z')
        return image;
    image.found = PeImage::damaged;
    image.pe = get_le32(*dos, 0x3C);
    const std::optional<std::vector<uint8_t>> coff = read_image_bytes(image, image.pe, 24);
    if (!coff || get_le32(*coff, 0) != 0x00004550)  // "PE\0\0"
        return image;
    image.found = PeImage::image;
    image.machine = get_le16(*coff, 4);
    image.section_count = get_le16(*coff, 6);
    image.characteristics = get_le16(*coff, 22);
    const uint32_t optional_size = get_le16(*coff, 20);
    const uint64_t end = image.file_size - std::min<uint64_t>(image.file_size, image.optional_offset());
    image.optional = read_image_bytes(image, image.optional_offset(), static_cast<size_t>(std::min<uint64_t>(optional_size, end)))
                         .value_or(std::vector<uint8_t>());
    image.subsystem = get_le16(image.optional, 68);
    const std::optional<std::vector<uint8_t>> table =
        read_image_bytes(image, image.optional_offset() + optional_size, size_t{image.section_count} * 40);
    for (size_t i = 0; table && i < image.section_count; i++) {
        const ByteSpan header{table->data() + i * 40, 40};
        const char *name = reinterpret_cast<const char *>(header.data);
        image.sections.push_back(PeSection{std::string(name, strnlen(name, 8)), get_le32(header, 8),
                                           get_le32(header, 12), get_le32(header, 16), get_le32(header, 20)});
    }
    return image;
}

PeImage open_launcher_image(const fs::path &path)
{
    const EntryKind kind = entry_kind(path);
    if (kind == EntryKind::folder || (kind == EntryKind::link && is_folder(path)))
        throw PackError{"'" + path.u8string() + "' is a folder, not a launcher: name the launcher's .exe file"};
    if (kind == EntryKind::other || (kind == EntryKind::link && !is_file(path)))
        throw PackError{"'" + path.u8string() + "' is not a regular file, so it is no launcher"};
    PeImage image = open_image(path);
    if (image.found == PeImage::unreadable)
        throw PackError{"cannot open '" + path.u8string() + "': check the name of the launcher"};
    // Windows runs no executable file of 4 GiB or more; nothing larger is read.
    if (image.file_size > 0xFFFFFFFFu)
        throw PackError{"'" + path.u8string() + "' is " + std::to_string(image.file_size) +
                        " bytes, larger than any executable Windows runs (4 GiB): it is no launcher"};
    if (image.found != PeImage::image || image.optional.size() < 112 || get_le16(image.optional, 0) != 0x20B ||
        image.sections.size() != image.section_count)
        throw PackError{"'" + path.u8string() + "' is not a 64-bit Windows executable"};
    return image;
}

std::optional<std::vector<uint8_t>> read_image_bytes(const PeImage &image, uint64_t offset, size_t count)
{
    if (!image.file || offset > image.file_size || count > image.file_size - offset)
        return std::nullopt;
    std::vector<uint8_t> bytes(count);
    image.file->clear();
    image.file->seekg(static_cast<std::streamoff>(offset));
    if (!image.file->read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(count)))
        return std::nullopt;
    return bytes;
}

FileRange data_directory(const PeImage &image, size_t index)
{
    // After 96 bytes of PE32 fields or 112 of PE32+ ones, behind their count.
    const size_t start = get_le16(image.optional, 0) == 0x10B ? 96 : 112;
    if (get_le32(image.optional, start - 4) <= index || image.optional.size() < start + 8 * (index + 1))
        return FileRange{0, 0};
    return FileRange{get_le32(image.optional, start + 8 * index), get_le32(image.optional, start + 8 * index + 4)};
}

const PeSection *find_section(const PeImage &image, const std::string &name)
{
    for (const PeSection &s : image.sections) {
        if (s.name == name)
            return &s;
    }
    return nullptr;
}

uint64_t end_of_sections(const PeImage &image)
{
    uint64_t end = 0;
    for (const PeSection &s : image.sections) {
        if (s.raw_size != 0)
            end = std::max(end, uint64_t{s.raw_offset} + s.raw_size);
    }
    return end;
}

// The file range of `size` bytes at a relative virtual address, when one
// section's raw data holds them all.
static std::optional<FileRange> rva_range(const PeImage &image, uint32_t rva, uint64_t size)
{
    for (const PeSection &s : image.sections) {
        if (rva >= s.virtual_address && rva - s.virtual_address <= s.raw_size &&
            size <= s.raw_size - (rva - s.virtual_address)) {
            const FileRange range{uint64_t{s.raw_offset} + (rva - s.virtual_address), size};
            if (range.offset <= image.file_size && size <= image.file_size - range.offset)
                return range;
        }
    }
    return std::nullopt;
}

static std::optional<std::vector<uint8_t>> read_at_rva(const PeImage &image, uint32_t rva, size_t size)
{
    std::optional<FileRange> range = rva_range(image, rva, size);
    return range ? read_image_bytes(image, range->offset, size) : std::nullopt;
}

namespace {

std::string machine_hex(uint32_t machine)
{
    char hex[8];
    std::snprintf(hex, sizeof hex, "%04X", machine);
    return hex;
}

// What is wrong with a file as the application library; empty when nothing.
std::string application_library_problem(const PeImage &image)
{
    const std::string not_dll = "is not a 64-bit Windows DLL";
    const std::string damaged = not_dll + " (its headers are damaged or cut short)";
    if (image.found == PeImage::unreadable)
        return "cannot be read";
    if (image.found == PeImage::not_an_image)
        return not_dll + " (not a Windows program or library at all)";
    if (image.found == PeImage::damaged)
        return damaged;
    if (image.machine == machine_x86)
        return not_dll + " (a 32-bit x86 image)";
    if (image.machine != machine_x86_64)
        return not_dll + " (built for another processor, machine type 0x" + machine_hex(image.machine) + ")";
    if ((image.characteristics & 0x2000) == 0)  // IMAGE_FILE_DLL
        return not_dll + " (a program, not a library)";
    if (image.optional.size() < 112 || get_le16(image.optional, 0) != 0x20B ||
        image.sections.size() != image.section_count)
        return damaged;
    const FileRange exports = data_directory(image, 0);
    if (exports.offset == 0 || exports.size < 40)
        return "exports no run_code (it exports nothing)";
    const std::optional<std::vector<uint8_t>> directory = read_at_rva(image, static_cast<uint32_t>(exports.offset), 40);
    if (!directory)
        return damaged;
    const uint32_t name_count = get_le32(*directory, 24);
    const std::optional<std::vector<uint8_t>> names =
        read_at_rva(image, get_le32(*directory, 32), size_t{name_count} * 4);
    if (!names)
        return damaged;
    static const char wanted[] = "run_code";  // compared with its terminating zero
    for (uint32_t i = 0; i < name_count; i++) {
        const std::optional<std::vector<uint8_t>> name = read_at_rva(image, get_le32(*names, i * 4), sizeof wanted);
        if (name && std::memcmp(name->data(), wanted, sizeof wanted) == 0)
            return {};
    }
    return "exports no run_code";
}

// What is wrong with a file as the program the launcher starts; empty when
// nothing. Windows starts x86 programs under WOW64 and ARM64 ones natively
// on ARM64; each carries the optional header of its width.
std::string entry_program_problem(const PeImage &image)
{
    const std::string not_program = "is not a Windows program";
    const std::string damaged = not_program + " (its headers are damaged or cut short)";
    if (image.found == PeImage::unreadable)
        return "cannot be read";
    if (image.found == PeImage::not_an_image)
        return not_program + " (not a PE image at all)";
    if (image.found == PeImage::damaged)
        return damaged;
    if (image.machine != machine_x86_64 && image.machine != machine_x86 && image.machine != machine_arm64)
        return not_program + " (built for a processor Windows does not run it on, machine type 0x" +
               machine_hex(image.machine) + "; x86-64, x86 and ARM64 are)";
    if ((image.characteristics & 0x2000) != 0)  // IMAGE_FILE_DLL
        return not_program + " (a library, not a program)";
    const uint32_t magic = image.machine == machine_x86 ? 0x10B : 0x20B;  // PE32, PE32+
    if (image.optional.size() < 70 || get_le16(image.optional, 0) != magic ||
        image.sections.size() != image.section_count || image.section_count == 0)
        return damaged;
    if ((image.characteristics & 0x0002) == 0)  // IMAGE_FILE_EXECUTABLE_IMAGE
        return not_program + " (not marked as a finished executable image)";
    if (image.subsystem != subsystem_gui && image.subsystem != subsystem_console)
        return not_program + " (subsystem " + std::to_string(image.subsystem) +
               ", neither a console nor a GUI program)";
    return {};
}

} // namespace

void check_application_library(const fs::path &path)
{
    const std::string problem = application_library_problem(open_image(path));
    if (!problem.empty())
        throw PackError{"application library '" + path.u8string() + "' " + problem +
                        ": --app-library names the DLL whose run_code the launcher calls"};
}

uint32_t check_entry_program(const fs::path &path)
{
    const PeImage image = open_image(path);
    const std::string problem = entry_program_problem(image);
    if (!problem.empty())
        throw PackError{"application program '" + path.u8string() + "' " + problem +
                        ": --app-exe names the .exe the launcher starts"};
    return image.subsystem;
}

// One level of the resource tree: the entry with the given id, as an offset
// from the start of the resource section (high bit: another directory).
static std::optional<uint32_t> resource_entry(const PeImage &image, uint32_t directory, std::optional<uint32_t> id,
                                              bool named_too = false)
{
    const uint32_t root = static_cast<uint32_t>(data_directory(image, directory_resources).offset);
    const std::optional<std::vector<uint8_t>> header = read_at_rva(image, root + directory, 16);
    if (!header)
        return std::nullopt;
    const uint32_t count = get_le16(*header, 12) + get_le16(*header, 14);  // named, then numbered
    const std::optional<std::vector<uint8_t>> entries = read_at_rva(image, root + directory + 16, size_t{count} * 8);
    for (uint32_t i = 0; entries && i < count; i++) {
        const uint32_t name = get_le32(*entries, i * 8), offset = get_le32(*entries, i * 8 + 4);
        if (((name & 0x80000000u) == 0 || named_too) && (!id || name == *id))
            return offset;
    }
    return std::nullopt;
}

// The data of the first language below an id's directory entry.
static std::optional<FileRange> resource_data(const PeImage &image, std::optional<uint32_t> by_id)
{
    if (!by_id || (*by_id & 0x80000000u) == 0)
        return std::nullopt;
    const std::optional<uint32_t> by_language = resource_entry(image, *by_id & 0x7FFFFFFFu, std::nullopt);
    if (!by_language || (*by_language & 0x80000000u) != 0)
        return std::nullopt;
    const uint32_t root = static_cast<uint32_t>(data_directory(image, directory_resources).offset);
    const std::optional<std::vector<uint8_t>> leaf = read_at_rva(image, root + *by_language, 16);
    if (!leaf)
        return std::nullopt;
    return rva_range(image, get_le32(*leaf, 0), get_le32(*leaf, 4));
}

static std::optional<uint32_t> type_directory(const PeImage &image, uint32_t type)
{
    if (data_directory(image, directory_resources).offset == 0)
        return std::nullopt;
    const std::optional<uint32_t> by_type = resource_entry(image, 0, type);
    if (!by_type || (*by_type & 0x80000000u) == 0)
        return std::nullopt;
    return *by_type & 0x7FFFFFFFu;
}

std::optional<FileRange> find_resource(const PeImage &image, uint32_t type, uint32_t id)
{
    const std::optional<uint32_t> directory = type_directory(image, type);
    return directory ? resource_data(image, resource_entry(image, *directory, id)) : std::nullopt;
}

std::optional<FileRange> find_first_resource(const PeImage &image, uint32_t type)
{
    const std::optional<uint32_t> directory = type_directory(image, type);
    return directory ? resource_data(image, resource_entry(image, *directory, std::nullopt, true)) : std::nullopt;
}

std::optional<std::vector<uint8_t>> read_resource(const PeImage &image, FileRange range, uint64_t limit)
{
    if (range.size > limit)
        return std::nullopt;
    return read_image_bytes(image, range.offset, static_cast<size_t>(range.size));
}

std::optional<std::vector<IconImage>> icon_group_images(const PeImage &image, const std::vector<uint8_t> &group,
                                                        uint64_t image_limit)
{
    const size_t count = get_le16(group, 4);
    if (group.size() < 6 + count * 14)
        return std::nullopt;
    std::vector<IconImage> images;
    for (size_t i = 0; i < count; i++) {
        const uint8_t *entry = group.data() + 6 + i * 14;
        const std::optional<FileRange> range = find_resource(image, resource_icon, entry[12] | entry[13] << 8);
        std::optional<std::vector<uint8_t>> bytes =
            range ? read_resource(image, *range, image_limit) : std::nullopt;
        if (!bytes)
            return std::nullopt;
        images.push_back(IconImage{std::vector<uint8_t>(entry, entry + 8), std::move(*bytes)});
    }
    return images;
}
