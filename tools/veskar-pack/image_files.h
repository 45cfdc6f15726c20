// The splash image and the icon given to the packer: checked before any
// work, so a wrong file is named at once instead of giving a launcher that
// silently shows no splash or no icon.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// Throws PackError naming the file unless it is a PNG with one frame and
// a non-zero size.
void check_splash_png(const std::filesystem::path &path);

// One image of an icon: its directory fields (width, height, colours,
// reserved, planes, bits per pixel) and its bytes.
struct IconImage {
    std::vector<uint8_t> fields;
    std::vector<uint8_t> data;
    bool operator==(const IconImage &o) const { return fields == o.fields && data == o.data; }
};

// The images of an .ico file; throws PackError naming `shown` when the
// bytes are not an icon file.
std::vector<IconImage> read_icon_file(const std::vector<uint8_t> &bytes, const std::string &shown);

std::vector<uint8_t> read_whole_file(const std::filesystem::path &path, const std::string &what);

// What is left of an open file, in one read where its size is known.
std::vector<uint8_t> read_rest(std::istream &in);
