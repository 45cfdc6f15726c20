#include "pe_image.h"
#include "archive_writer.h"
#include "host_system.h"
#include "image_files.h"

#include <cstdio>
#include <cstring>
#include <fstream>

namespace fs = std::filesystem;

static uint32_t read_u16(const std::vector<uint8_t> &b, size_t at)
{
    return at + 2 <= b.size() ? static_cast<uint32_t>(b[at] | b[at + 1] << 8) : 0;
}

static uint32_t read_u32(const std::vector<uint8_t> &b, size_t at)
{
    return at + 4 <= b.size() ? read_u16(b, at) | read_u16(b, at + 2) << 16 : 0;
}

PeImage read_pe_image(const fs::path &path)
{
    PeImage image;
    image.path = path;
    std::ifstream in(system_path(path), std::ios::binary);
    if (!in)
        throw PackError{"cannot open '" + path.u8string() + "': check the name of the launcher"};
    image.bytes = read_rest(in);
    const std::vector<uint8_t> &b = image.bytes;
    const PackError not_pe{"'" + path.u8string() + "' is not a 64-bit Windows executable"};
    if (b.size() < 0x40 || b[0] != 'M' || b[1] != 'Z')
        throw not_pe;
    size_t pe = read_u32(b, 0x3C);
    if (pe > b.size() || b.size() - pe < 24 || read_u32(b, pe) != 0x00004550)  // "PE\0\0"
        throw not_pe;
    size_t coff = pe + 4;
    size_t section_count = read_u16(b, coff + 2);
    size_t optional_size = read_u16(b, coff + 16);
    size_t optional = coff + 20;
    if (optional_size < 112 || read_u16(b, optional) != 0x20B)  // PE32+
        throw not_pe;
    image.subsystem = read_u16(b, optional + 68);
    size_t directory_count = read_u32(b, optional + 108);
    if (directory_count > 2 && optional_size >= 112 + 3 * 8) {
        image.resource_rva = read_u32(b, optional + 112 + 2 * 8);
        image.resource_size = read_u32(b, optional + 112 + 2 * 8 + 4);
    }
    size_t table = optional + optional_size;
    if (table + section_count * 40 > b.size())
        throw not_pe;
    for (size_t i = 0; i < section_count; i++) {
        size_t at = table + i * 40;
        PeSection s;
        const char *name = reinterpret_cast<const char *>(&b[at]);
        size_t length = 0;
        while (length < 8 && name[length] != '\0')
            length++;
        s.name.assign(name, length);
        s.virtual_size = read_u32(b, at + 8);
        s.virtual_address = read_u32(b, at + 12);
        s.raw_size = read_u32(b, at + 16);
        s.raw_offset = read_u32(b, at + 20);
        image.sections.push_back(s);
    }
    return image;
}

namespace {

// An image file read piece by piece where the checks need it, so that a
// large program or library is never read whole.
struct ImageFile {
    std::istream &in;
    uint64_t size;

    // Nothing when the bytes are not all in the file.
    std::vector<uint8_t> read(uint64_t offset, size_t count)
    {
        if (offset > size || count > size - offset)
            return {};
        std::vector<uint8_t> bytes(count);
        in.clear();
        in.seekg(static_cast<std::streamoff>(offset));
        if (!in.read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(count)))
            bytes.clear();
        return bytes;
    }
};

// The file and COFF headers and what follows them; `optional` and `table`
// are empty or short when the file ends first.
struct ImageHeaders {
    enum { image, not_an_image, damaged } found = not_an_image;
    uint32_t pe = 0, machine = 0, section_count = 0, characteristics = 0;
    std::vector<uint8_t> optional, table;
};

ImageHeaders read_image_headers(ImageFile &file)
{
    ImageHeaders h;
    const std::vector<uint8_t> dos = file.read(0, 0x40);
    if (dos.empty() || dos[0] != 'M' || dos[1] != 'Z')
        return h;
    h.found = ImageHeaders::damaged;
    h.pe = read_u32(dos, 0x3C);
    const std::vector<uint8_t> coff = file.read(h.pe, 24);
    if (coff.empty() || read_u32(coff, 0) != 0x00004550)  // "PE\0\0"
        return h;
    h.found = ImageHeaders::image;
    h.machine = read_u16(coff, 4);
    h.section_count = read_u16(coff, 6);
    h.characteristics = read_u16(coff, 22);
    const uint32_t optional_size = read_u16(coff, 20);
    h.optional = file.read(h.pe + 24, optional_size);
    h.table = file.read(uint64_t{h.pe} + 24 + optional_size, h.section_count * 40);
    return h;
}

std::string machine_hex(uint32_t machine)
{
    char hex[8];
    std::snprintf(hex, sizeof hex, "%04X", machine);
    return hex;
}

// What is wrong with a file as the application library; empty when nothing.
std::string application_library_problem(ImageFile &file)
{
    const std::string not_dll = "is not a 64-bit Windows DLL";
    const std::string damaged = not_dll + " (its headers are damaged or cut short)";
    const ImageHeaders h = read_image_headers(file);
    if (h.found == ImageHeaders::not_an_image)
        return not_dll + " (not a Windows program or library at all)";
    if (h.found == ImageHeaders::damaged)
        return damaged;
    if (h.machine == machine_x86)
        return not_dll + " (a 32-bit x86 image)";
    if (h.machine != machine_x86_64)
        return not_dll + " (built for another processor, machine type 0x" + machine_hex(h.machine) + ")";
    if ((h.characteristics & 0x2000) == 0)  // IMAGE_FILE_DLL
        return not_dll + " (a program, not a library)";
    const std::vector<uint8_t> &optional = h.optional, &table = h.table;
    const uint32_t section_count = h.section_count;
    if (optional.size() < 112 || read_u16(optional, 0) != 0x20B || table.size() != section_count * 40u)
        return damaged;
    const uint32_t export_rva = read_u32(optional, 112), export_size = read_u32(optional, 116);
    if (read_u32(optional, 108) == 0 || export_rva == 0 || export_size < 40)
        return "exports no run_code (it exports nothing)";
    // File bytes at a relative virtual address, through the section table.
    auto at_rva = [&](uint32_t rva, size_t size) {
        for (size_t i = 0; i < section_count; i++) {
            const uint32_t start = read_u32(table, i * 40 + 12), raw_size = read_u32(table, i * 40 + 16);
            if (rva >= start && uint64_t{rva} - start + size <= raw_size)
                return file.read(uint64_t{read_u32(table, i * 40 + 20)} + (rva - start), size);
        }
        return std::vector<uint8_t>();
    };
    const std::vector<uint8_t> directory = at_rva(export_rva, 40);
    if (directory.empty())
        return damaged;
    const uint32_t name_count = read_u32(directory, 24);
    const std::vector<uint8_t> names = at_rva(read_u32(directory, 32), size_t{name_count} * 4);
    if (names.size() != size_t{name_count} * 4)
        return damaged;
    static const char wanted[] = "run_code";  // compared with its terminating zero
    for (uint32_t i = 0; i < name_count; i++) {
        const std::vector<uint8_t> name = at_rva(read_u32(names, i * 4), sizeof wanted);
        if (name.size() == sizeof wanted && std::memcmp(name.data(), wanted, sizeof wanted) == 0)
            return {};
    }
    return "exports no run_code";
}

// What is wrong with a file as the program the launcher starts; empty when
// nothing. Windows starts x86 programs under WOW64 and ARM64 ones natively
// on ARM64; each carries the optional header of its width.
std::string entry_program_problem(ImageFile &file, uint32_t &subsystem)
{
    const std::string not_program = "is not a Windows program";
    const std::string damaged = not_program + " (its headers are damaged or cut short)";
    const ImageHeaders h = read_image_headers(file);
    if (h.found == ImageHeaders::not_an_image)
        return not_program + " (not a PE image at all)";
    if (h.found == ImageHeaders::damaged)
        return damaged;
    if (h.machine != machine_x86_64 && h.machine != machine_x86 && h.machine != machine_arm64)
        return not_program + " (built for a processor Windows does not run it on, machine type 0x" +
               machine_hex(h.machine) + "; x86-64, x86 and ARM64 are)";
    if ((h.characteristics & 0x2000) != 0)  // IMAGE_FILE_DLL
        return not_program + " (a library, not a program)";
    const uint32_t magic = h.machine == machine_x86 ? 0x10B : 0x20B;  // PE32, PE32+
    if (h.optional.size() < 70 || read_u16(h.optional, 0) != magic || h.table.size() != h.section_count * 40u ||
        h.section_count == 0)
        return damaged;
    if ((h.characteristics & 0x0002) == 0)  // IMAGE_FILE_EXECUTABLE_IMAGE
        return not_program + " (not marked as a finished executable image)";
    subsystem = read_u16(h.optional, 68);
    if (subsystem != subsystem_gui && subsystem != subsystem_console)
        return not_program + " (subsystem " + std::to_string(subsystem) + ", neither a console nor a GUI program)";
    return {};
}

} // namespace

void check_application_library(const fs::path &path)
{
    std::ifstream in(system_path(path), std::ios::binary | std::ios::ate);
    ImageFile file{in, in ? static_cast<uint64_t>(in.tellg()) : 0};
    const std::string problem = in ? application_library_problem(file) : "cannot be read";
    if (!problem.empty())
        throw PackError{"application library '" + path.u8string() + "' " + problem +
                        ": --app-library names the DLL whose run_code the launcher calls"};
}

uint32_t check_entry_program(const fs::path &path)
{
    std::ifstream in(system_path(path), std::ios::binary | std::ios::ate);
    ImageFile file{in, in ? static_cast<uint64_t>(in.tellg()) : 0};
    uint32_t subsystem = 0;
    const std::string problem = in ? entry_program_problem(file, subsystem) : "cannot be read";
    if (!problem.empty())
        throw PackError{"application program '" + path.u8string() + "' " + problem +
                        ": --app-exe names the .exe the launcher starts"};
    return subsystem;
}

std::optional<ByteSpan> section_contents(const PeImage &image, const std::string &name)
{
    for (const PeSection &s : image.sections) {
        if (s.name != name)
            continue;
        // A loaded size past the file's bytes would be zero fill the tools never wrote.
        if (s.virtual_size > s.raw_size || static_cast<uint64_t>(s.raw_offset) + s.raw_size > image.bytes.size())
            throw PackError{"'" + image.path.u8string() + "': section " + name + " lies outside the file; the file " +
                            "is damaged"};
        return ByteSpan{image.bytes.data() + s.raw_offset, s.virtual_size};
    }
    return std::nullopt;
}

// The file bytes at a relative virtual address, or nothing if no section holds them all.
static std::optional<ByteSpan> at_rva(const PeImage &image, uint32_t rva, uint32_t size)
{
    for (const PeSection &s : image.sections) {
        uint64_t end = static_cast<uint64_t>(rva) + size;
        if (rva >= s.virtual_address && end <= static_cast<uint64_t>(s.virtual_address) + s.raw_size &&
            static_cast<uint64_t>(s.raw_offset) + s.raw_size <= image.bytes.size())
            return ByteSpan{image.bytes.data() + s.raw_offset + (rva - s.virtual_address), size};
    }
    return std::nullopt;
}

// One level of the resource tree: the entry with the given id, as an offset
// from the start of the resource section (high bit: another directory).
static std::optional<uint32_t> resource_entry(const PeImage &image, uint32_t directory, std::optional<uint32_t> id,
                                              bool named_too = false)
{
    auto header = at_rva(image, image.resource_rva + directory, 16);
    if (!header)
        return std::nullopt;
    uint32_t named = header->data[12] | header->data[13] << 8;
    uint32_t ids = header->data[14] | header->data[15] << 8;
    auto entries = at_rva(image, image.resource_rva + directory + 16, (named + ids) * 8);
    if (!entries)
        return std::nullopt;
    for (uint32_t i = 0; i < named + ids; i++) {
        const uint8_t *e = entries->data + i * 8;
        uint32_t name = e[0] | e[1] << 8 | e[2] << 16 | static_cast<uint32_t>(e[3]) << 24;
        uint32_t offset = e[4] | e[5] << 8 | e[6] << 16 | static_cast<uint32_t>(e[7]) << 24;
        if (((name & 0x80000000u) == 0 || named_too) && (!id || name == *id))
            return offset;
    }
    return std::nullopt;
}

// The data of the first language below an id directory entry.
static std::optional<ByteSpan> resource_data(const PeImage &image, std::optional<uint32_t> by_id)
{
    if (!by_id || (*by_id & 0x80000000u) == 0)
        return std::nullopt;
    auto by_language = resource_entry(image, *by_id & 0x7FFFFFFFu, std::nullopt);
    if (!by_language || (*by_language & 0x80000000u) != 0)
        return std::nullopt;
    auto leaf = at_rva(image, image.resource_rva + *by_language, 16);
    if (!leaf)
        return std::nullopt;
    const uint8_t *l = leaf->data;
    uint32_t rva = l[0] | l[1] << 8 | l[2] << 16 | static_cast<uint32_t>(l[3]) << 24;
    uint32_t size = l[4] | l[5] << 8 | l[6] << 16 | static_cast<uint32_t>(l[7]) << 24;
    return at_rva(image, rva, size);
}

static std::optional<uint32_t> type_directory(const PeImage &image, uint32_t type)
{
    if (image.resource_rva == 0)
        return std::nullopt;
    auto by_type = resource_entry(image, 0, type);
    if (!by_type || (*by_type & 0x80000000u) == 0)
        return std::nullopt;
    return *by_type & 0x7FFFFFFFu;
}

std::optional<ByteSpan> find_resource(const PeImage &image, uint32_t type, uint32_t id)
{
    auto directory = type_directory(image, type);
    return directory ? resource_data(image, resource_entry(image, *directory, id)) : std::nullopt;
}

std::optional<ByteSpan> find_first_resource(const PeImage &image, uint32_t type)
{
    auto directory = type_directory(image, type);
    return directory ? resource_data(image, resource_entry(image, *directory, std::nullopt, true)) : std::nullopt;
}

std::optional<std::vector<IconImage>> icon_group_images(const PeImage &image, ByteSpan group)
{
    const uint8_t *g = group.data;
    const size_t count = group.size >= 6 ? (g[4] | g[5] << 8) : 0;
    if (group.size < 6 + count * 14)
        return std::nullopt;
    std::vector<IconImage> images;
    for (size_t i = 0; i < count; i++) {
        const uint8_t *entry = g + 6 + i * 14;
        std::optional<ByteSpan> bytes = find_resource(image, resource_icon, entry[12] | entry[13] << 8);
        if (!bytes)
            return std::nullopt;
        images.push_back(IconImage{std::vector<uint8_t>(entry, entry + 8),
                                   std::vector<uint8_t>(bytes->data, bytes->data + bytes->size)});
    }
    return images;
}

PeImage read_resource_image(const fs::path &path)
{
    std::ifstream in(system_path(path), std::ios::binary | std::ios::ate);
    ImageFile file{in, in ? static_cast<uint64_t>(in.tellg()) : 0};
    const ImageHeaders h = read_image_headers(file);
    PeImage image;
    image.path = path;
    // The resource directory's entry: the third, after 96 bytes of PE32
    // fields or 112 of PE32+ ones.
    const size_t directories = read_u16(h.optional, 0) == 0x10B ? 96 : 112;
    image.subsystem = read_u16(h.optional, 68);
    if (h.found != ImageHeaders::image || h.optional.size() < directories + 3 * 8 ||
        read_u32(h.optional, directories - 4) < 3)
        return image;
    const uint32_t rva = read_u32(h.optional, directories + 2 * 8);
    for (size_t i = 0; rva != 0 && i < h.section_count; i++) {
        PeSection s{"", read_u32(h.table, i * 40 + 8), read_u32(h.table, i * 40 + 12), read_u32(h.table, i * 40 + 16),
                    read_u32(h.table, i * 40 + 20)};
        if (rva < s.virtual_address || rva - s.virtual_address >= s.raw_size)
            continue;
        image.bytes = file.read(s.raw_offset, s.raw_size);
        if (image.bytes.empty())
            throw PackError{"application program '" + path.u8string() + "': its resources lie outside the file; "
                            "the file is damaged"};
        s.raw_offset = 0;
        image.sections.push_back(s);
        image.resource_rva = rva;
        image.resource_size = read_u32(h.optional, directories + 2 * 8 + 4);
        break;
    }
    return image;
}
