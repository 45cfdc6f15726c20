#include "image_files.h"
#include "host_system.h"
#include "little_endian.h"
#include "pack_error.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

std::vector<uint8_t> read_whole_file(const fs::path &path, const std::string &what)
{
    if (!is_file(path))
        throw PackError{what + " '" + path.u8string() + "' does not exist or is not a file"};
    std::ifstream in(system_path(path), std::ios::binary);
    if (!in)
        throw PackError{"cannot read " + what + " '" + path.u8string() + "'"};
    return read_rest(in);
}

std::vector<uint8_t> read_rest(std::istream &in)
{
    const std::streampos start = in.tellg();
    in.seekg(0, std::ios::end);
    const std::streampos end = in.tellg();
    if (start < 0 || end < start) {  // not a file that can seek: byte by byte
        in.clear();
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    in.seekg(start);
    std::vector<uint8_t> bytes(static_cast<size_t>(end - start));
    in.read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

static uint32_t big_u32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}


void check_splash_png(const fs::path &path)
{
    const std::vector<uint8_t> b = read_whole_file(path, "splash image");
    const std::string named = "splash image '" + path.u8string() + "' ";
    static const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (b.size() < 8 || std::memcmp(b.data(), signature, 8) != 0)
        throw PackError{named + "is not a PNG file: give --splash a .png image"};
    // Walk the chunks: IHDR first, an end chunk, and no animation control,
    // since the launcher shows one still image.
    size_t at = 8;
    bool first = true, ended = false;
    while (!ended) {
        if (b.size() - at < 12)
            throw PackError{named + "is cut short at byte " + std::to_string(at) + ": save the PNG again"};
        uint32_t length = big_u32(&b[at]);
        std::string type(reinterpret_cast<const char *>(&b[at + 4]), 4);
        if (length > b.size() - at - 12)
            throw PackError{named + "has a " + type + " chunk running past the end of the file: save the PNG again"};
        const uint8_t *data = &b[at + 8];
        if (first) {
            if (type != "IHDR" || length != 13)
                throw PackError{named + "does not start with an image header: save the PNG again"};
            if (big_u32(data) == 0 || big_u32(data + 4) == 0)
                throw PackError{named + "has a width or height of 0"};
            first = false;
        }
        if (type == "acTL")
            throw PackError{named + "is an animated PNG: give a PNG with a single frame"};
        ended = type == "IEND";
        at += 12 + length;
    }
}

std::vector<IconImage> read_icon_file(const std::vector<uint8_t> &b, const std::string &shown)
{
    const PackError not_icon{"'" + shown + "' is not an icon (.ico) file: give --icon an .ico file"};
    if (b.size() < 6 || get_le16(b, 0) != 0 || get_le16(b, 2) != 1 || get_le16(b, 4) == 0)
        throw not_icon;
    size_t count = get_le16(b, 4);
    if (b.size() < 6 + count * 16)
        throw not_icon;
    std::vector<IconImage> images;
    for (size_t i = 0; i < count; i++) {
        const size_t entry_at = 6 + i * 16;
        const uint8_t *entry = &b[entry_at];
        uint32_t size = get_le32(b, entry_at + 8);
        uint32_t offset = get_le32(b, entry_at + 12);
        if (size < 8 || offset > b.size() || size > b.size() - offset)
            throw PackError{"icon file '" + shown + "': image " + std::to_string(i + 1) +
                            " lies outside the file; save the icon again"};
        const uint8_t *image = &b[offset];
        // Each image is PNG-coded or a device-independent bitmap (its header is 40 bytes long).
        if (std::memcmp(image, "\x89PNG", 4) != 0 && get_le32(b, offset) != 40)
            throw PackError{"icon file '" + shown + "': image " + std::to_string(i + 1) +
                            " is neither a PNG nor a bitmap; save the icon again"};
        images.push_back(IconImage{std::vector<uint8_t>(entry, entry + 8), std::vector<uint8_t>(image, image + size)});
    }
    return images;
}
