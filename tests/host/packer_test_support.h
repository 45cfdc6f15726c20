// Running veskar-pack as a user would, in scratch folders of its own.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;

struct RunResult {
    int status;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs a program without a shell; standard output and error go to files
// read back afterwards. `environment` adds or replaces variables.
RunResult run_program(const std::vector<std::string> &arguments,
                      const std::map<std::string, std::string> &environment = {});

// veskar-pack with these arguments, its temporary files kept in `temp`.
RunResult run_pack(const std::vector<std::string> &arguments, const fs::path &temp);

std::string read_file(const fs::path &path);
void write_file(const fs::path &path, const std::string &bytes);
std::vector<fs::path> files_below(const fs::path &folder);  // sorted, relative

// The launcher kit made by the Windows build; empty when it is not built.
fs::path real_kit();
#define REQUIRE_KIT()                                                                                         \
    do {                                                                                                      \
        if (real_kit().empty())                                                                               \
            GTEST_SKIP() << "the launcher kit is not built yet: build the windows preset, then run again";   \
    } while (0)

// A kit whose manifest and icon are usable but whose prebuilt launchers are
// not: enough for every check made before the launcher is written.
fs::path make_dummy_kit(const fs::path &folder);

// A minimal application library: a PE32+ image with one section holding an
// export table that names `export_name` (none when empty). `machine` and
// `dll` (IMAGE_FILE_DLL) make the libraries the packer refuses.
std::string make_dll(const std::string &export_name = "run_code", uint16_t machine = 0x8664, bool dll = true);

// A minimal program image: make_dll's image without exports, marked as a
// program with `subsystem`; for x86 (0x014C) with the PE32 optional header.
std::string make_program(uint16_t machine = 0x8664, uint16_t subsystem = 3);

// A small PNG of the given size, optionally with an animation chunk.
std::string make_png(uint32_t width, uint32_t height, bool animated = false);
// An icon file with one PNG-coded image.
std::string make_icon(uint8_t shade);

// A fresh scratch folder per test, removed afterwards.
class PackerTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    fs::path scratch;
    fs::path temp;  // TMPDIR of the packer: must be empty after every run
};

// One record of a hand-made record stream.
struct TestRecord {
    std::u16string name;
    std::string content;
};
// The record stream for records, followed by the end marker and `tail`.
std::string record_stream(const std::vector<TestRecord> &records, const std::string &tail = "");
// "QVY", a zstd frame of `stream`, the zero fill and the trailer.
std::string attached_data(const std::string &stream, bool checksum = true);
