// Where a launcher unpacks and whether it keeps its tree: chosen at pack
// time, checked here, and carried to the launcher as lines of the build
// notes, which the launcher reads from its own image.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

struct UnpackSettings {
    std::string spec;    // --unpack-dir, UTF-8; empty: the launcher's default
    bool reuse = false;  // --reuse
    // --reuse-process: with a reused tree, "self" runs the application in
    // the launcher's own process, "child" in a child process as without
    // --reuse (for an application that relies on a supervising parent).
    std::string process = "self";
    std::string app_id;  // --app-id, UTF-8; empty: from the version information or the launcher's name
    bool progress = true;  // cleared by --no-progress
};

// Throws PackError, in one line, for a spec the launcher cannot use as
// asked: an unknown placeholder, an unbalanced brace, a result that is not
// an absolute path, more than the launcher's path buffers hold, no
// {RANDOM} for a per-run directory, a per-run placeholder for a reused one.
void check_unpack_spec(const std::string &spec, bool reuse);

// Throws PackError, in one line, for an --app-id that a folder name could
// not hold: empty, longer than 100 UTF-16 units, a control character, one
// of < > : " / \ | ? *, or a trailing dot or space.
void check_app_id(const std::string &app_id);

// What a reused tree's application is: --app-id when given, otherwise the
// CompanyName and ProductName given with --version-info when both are,
// otherwise the launcher's readable name. Only the values given on the
// command line count, never those an entry's own resources carry.
struct ApplicationIdentity {
    std::string text;    // as `list` shows it, one line
    std::string source;  // "app-id", "version-info" or "name"
    std::string tag;     // 16 lowercase digits of the SHA-256 of the source and its values
};
ApplicationIdentity application_identity(const UnpackSettings &settings,
                                         const std::vector<std::string> &version_info,
                                         const std::filesystem::path &output);

// The short name a reused tree is known by: the output file's stem, kept
// to letters, digits, '-', '_' and '.', at most 40 characters.
std::string readable_name(const std::filesystem::path &output);

// The notes' line on progress at start: "progress=off" with --no-progress,
// else the bytes of the files to write, which the launcher measures its
// progress against; none when the records are not known (`link` without
// --reuse), and the launcher then shows none.
std::string progress_note(const UnpackSettings &settings,
                          const std::vector<std::pair<std::u16string, uint64_t>> &records);

// The build notes' lines for these settings (empty without either option).
// A reusing launcher also gets its application identity and one
// "file=SIZE NAME" line per record, which it checks its tree against
// without decompressing anything (its archive identity, which every
// launcher's notes hold, names the tree).
// Then one "file_hashes=" line with 16 hex digits of each record's
// content hash, in the order of the file lines (a launcher that knows no
// such line ignores it).
std::string unpack_notes(const UnpackSettings &settings, const std::vector<std::string> &version_info,
                         const std::filesystem::path &output,
                         const std::vector<std::pair<std::u16string, uint64_t>> &records,
                         const std::vector<uint64_t> &hashes);
