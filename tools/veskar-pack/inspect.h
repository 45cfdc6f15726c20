// The commands that look into a built launcher without running it.
#pragma once

#include <filesystem>

// Each prints its report on standard output and throws PackError on a
// file that is not a launcher or whose attached data is damaged.
void list_launcher(const std::filesystem::path &launcher, const std::filesystem::path &kit);
void extract_launcher(const std::filesystem::path &launcher, const std::filesystem::path &directory);
void verify_launcher(const std::filesystem::path &launcher);
