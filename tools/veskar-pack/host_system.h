// What the packer needs from the system it runs on, for Linux and Windows
// alike. Text inside the packer is UTF-8 everywhere; paths are made with
// fs::u8path and shown with u8string(), never through the narrow code page
// Windows would use for std::string.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

// The command line as UTF-8 (on Windows read from the wide command line,
// since argv there holds the ANSI code page). Also sets a console, if there
// is one, to show UTF-8. Throws PackError on text that has no UTF-8 form.
std::vector<std::string> utf8_arguments(int argc, char **argv);

// The kit beside the running packer: <prefix>/lib/veskar-onefile for
// <prefix>/bin/veskar-pack. Throws PackError when the packer cannot find itself.
std::filesystem::path default_kit_directory();

// The form of a path to hand to the system. On Windows, for a path too long
// for the plain form, the absolute "\\?\" form ("\\?\UNC\" for a share):
// MinGW's C runtime and std::filesystem fail past 260 units otherwise,
// whatever the manifest says. Shorter paths, and every path elsewhere, stay
// as they are. Messages show the path as the user gave it, never this.
std::filesystem::path system_path(const std::filesystem::path &path);

// What a directory entry is, a link never followed.
enum class EntryKind { missing, file, folder, link, other };

struct FolderEntry {
    std::filesystem::path name;
    EntryKind kind;
    uint64_t size;  // files only
};

// The entries of one folder (not "." and ".."); `error` is set when the
// folder cannot be read.
std::vector<FolderEntry> list_folder(const std::filesystem::path &folder, std::error_code &error);

// What is at `path` itself: a link there is a link, even to a folder.
EntryKind entry_kind(const std::filesystem::path &path);

// Whether `path` is a folder, or a regular file, a link there followed. On
// Windows asked of the system directly, as std::filesystem cannot for a
// long path.
bool is_folder(const std::filesystem::path &path);
bool is_file(const std::filesystem::path &path);

// The kind Windows file attributes and reparse tag (from a directory
// listing) describe. A reparse point that stands for another name (a
// symbolic link, a junction, a mount point) is a link, folder or not; one
// that only stores the file differently (a cloud placeholder, a
// deduplicated file) is what its other attributes say. Here on every
// system, so that the rule is tested where links can be made.
EntryKind kind_from_windows_attributes(uint32_t attributes, uint32_t reparse_tag);

// What a symbolic link found in the application folder `folder` leads to:
// a regular file, when it and every link on the way lie below `folder` (on
// Windows the final target, from the system), of `size` bytes; otherwise
// `problem` says why it cannot be packed ("to a folder", ...).
struct LinkTarget {
    uint64_t size = 0;
    std::string problem;
};
LinkTarget file_link_target(const std::filesystem::path &link, const std::filesystem::path &folder);

// Whether the absolute path `path` lies below the folder `folder`, both in
// one form (final paths on Windows, canonical ones elsewhere), compared as
// text up to a `separator`. Here on every system, so that the Windows rule
// is tested where links can be made.
bool path_text_is_below(const std::string &path, const std::string &folder, char separator);

// Opens a file for writing in binary mode, created or emptied; a symbolic
// link in its place is refused rather than followed. Null with errno set
// on failure.
std::FILE *open_for_writing(const std::filesystem::path &path);

bool stderr_is_terminal();

// A file written beside `target` under a name no other build uses,
// created exclusively (whatever is at that name, a link included, is never
// opened), and removed unless it is renamed into place. Ctrl+C, a
// termination request or a closed console (catch_interrupts) removes it
// and ends the packer at once. Every failure throws PackError naming
// `shown` and the system's reason.
class TemporaryFile {
public:
    TemporaryFile(const std::filesystem::path &target, const std::string &shown);
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile &) = delete;
    TemporaryFile &operator=(const TemporaryFile &) = delete;
    void write(const void *data, size_t size);
    void rewrite_start(const void *data, size_t size);  // the file's first bytes again
    void close();
    void rename_into_place();  // closes it first when open

private:
    [[noreturn]] void fail() const;
    std::filesystem::path target_, path_;
    std::string shown_;
    std::FILE *stream_ = nullptr;
    size_t slot_ = 0;  // its place among the names an interrupt removes
    bool placed_ = false;
};

// From here on, Ctrl+C, a termination request or a closed console removes
// the temporary files and ends the packer with status 1 and one line.
void catch_interrupts();
