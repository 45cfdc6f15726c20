#include "archive_writer.h"
#include "host_system.h"
#include "pe_image.h"
#include "progress.h"
#include "record_names.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getCParams: the window a level would choose
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>

namespace fs = std::filesystem;

enum : unsigned { max_window_log = 27 };  // the launcher's decoder accepts windows up to 2^27 bytes

static const char *entry_option(const EntryFile &entry) { return entry.program ? "--app-exe" : "--app-library"; }

// The entry as given on the command line: checked as text first, so that
// "../x" or "C:\\x" is refused before anything is read.
static fs::path entry_relative_path(const fs::path &directory, const EntryFile &entry)
{
    std::string text = entry.relative;
    std::replace(text.begin(), text.end(), '/', '\\');
    std::string problem = record_name_problem(utf8_to_utf16(text, entry.relative));
    if (!problem.empty())
        throw PackError{std::string(entry_option(entry)) + " '" + entry.relative + "' must name a file below '" +
                        directory.u8string() + "': " + problem};
    std::replace(text.begin(), text.end(), '\\', '/');
    return fs::u8path(text);
}

// Windows file names ignore case: two names that differ only in case would
// unpack into one file, silently losing the other, and a file whose name
// differs only in case from a folder another file needs cannot be made.
static void refuse_case_collisions(const ArchiveEntry &first, const std::vector<ArchiveEntry> &rest)
{
    WindowsNameSet names;
    names.add(first.name, 0);
    for (size_t i = 0; i < rest.size(); i++) {
        std::optional<WindowsNameSet::Clash> clash = names.add(rest[i].name, i + 1);
        if (!clash)
            continue;
        const ArchiveEntry &earlier = clash->earlier == 0 ? first : rest[clash->earlier - 1];
        if (clash->kind == WindowsNameSet::ClashKind::same_file)
            throw PackError{"'" + earlier.source.u8string() + "' and '" + rest[i].source.u8string() +
                            "' differ only in case, so Windows would unpack them into one file: rename one"};
        if (clash->kind == WindowsNameSet::ClashKind::short_name)
            throw PackError{"'" + earlier.source.u8string() + "' and '" + rest[i].source.u8string() +
                            "' may name one file where Windows makes short (8.3) names: one has the form of the "
                            "short name the other can get, as LONGFI~1.TXT for longfilename.txt; rename one"};
        throw PackError{"'" + earlier.source.u8string() + "' and '" + rest[i].source.u8string() +
                        "' need a file and a folder whose names differ only in case, which Windows cannot "
                        "unpack side by side: rename one"};
    }
}

// A symbolic link is packed as a copy of the regular file it leads to
// inside the folder (npm and other tools on Linux put such links in trees
// meant for Windows); any other link is refused, not followed: what it
// leads to may lie outside the folder or appear twice. The file's size; it
// is read, and named in a depfile, through the link.
static uint64_t followed_link_size(const fs::path &path, const fs::path &directory)
{
    const LinkTarget t = file_link_target(path, directory);
    if (!t.problem.empty())
        throw PackError{"'" + path.u8string() + "' is a symbolic link " + t.problem +
                        ": put the file or folder itself there"};
    return t.size;
}

fs::path checked_entry_path(const fs::path &directory, const EntryFile &entry)
{
    if (!is_folder(directory))
        throw PackError{"application folder '" + directory.u8string() + "' " +
                        (entry_kind(directory) != EntryKind::missing ? "is not a folder" : "does not exist") +
                        ": name the folder to pack with --dir"};
    const fs::path entry_path = directory / entry_relative_path(directory, entry);
    EntryKind kind = entry_kind(entry_path);
    if (kind == EntryKind::link)
        followed_link_size(entry_path, directory), kind = EntryKind::file;
    if (kind != EntryKind::file)
        throw PackError{std::string(entry.program ? "application program '" : "application library '") +
                        entry_path.u8string() + "' " +
                        (kind == EntryKind::missing ? "does not exist" : "is not a regular file") + ": " +
                        entry_option(entry) + " names the " + (entry.program ? "program" : "library") +
                        " relative to --dir"};
    if (entry.program)
        check_entry_program(entry_path);
    else
        check_application_library(entry_path);
    return entry_path;
}

FolderContents collect_entries(const fs::path &directory, const EntryFile &entry)
{
    const fs::path entry_relative = entry_relative_path(directory, entry);
    const fs::path entry_path = directory / entry_relative;

    FolderContents contents;
    std::vector<ArchiveEntry> rest;
    // Its size comes from the walk, which meets it like every other file.
    ArchiveEntry first{entry_path, record_name_for_path(entry_relative, entry_path.u8string()), 0};
    std::error_code error;

    // Folders still to list, relative to the application folder.
    std::vector<fs::path> pending{fs::path()};
    while (!pending.empty()) {
        const fs::path relative_folder = pending.back();
        pending.pop_back();
        const fs::path folder = relative_folder.empty() ? directory : directory / relative_folder;
        const std::vector<FolderEntry> listed = list_folder(folder, error);
        if (error)
            throw PackError{"cannot read the folder '" + folder.u8string() + "': " + error.message()};
        contents.folders.push_back(folder);
        // The launcher makes folders only for the files below them.
        if (listed.empty() && !relative_folder.empty())
            throw PackError{"'" + folder.u8string() + "' is an empty folder, which the launcher would not make: "
                            "put a file in it (such as .keep) or remove it"};
        for (const FolderEntry &entry : listed) {
            const fs::path relative = relative_folder / entry.name;
            const fs::path path = directory / relative;
            const std::string shown = path.u8string();
            // A link is a regular file here, or refused.
            const bool link = entry.kind == EntryKind::link;
            const uint64_t size = link ? followed_link_size(path, directory) : entry.size;
            const EntryKind kind = link ? EntryKind::file : entry.kind;
            if (kind == EntryKind::folder) {
                record_name_for_path(relative, shown);  // files below need a valid folder name
                pending.push_back(relative);
                continue;
            }
            if (kind != EntryKind::file)
                throw PackError{"'" + shown + "' is neither a regular file nor a folder: remove it from the folder"};
            std::u16string name = record_name_for_path(relative, shown);
            // Where names ignore case, --app-library X.DLL finds x.dll: one
            // file, named as the folder spells it.
            std::error_code other;
            if (name == first.name ||
                (same_windows_name(name, first.name) &&
                 fs::equivalent(system_path(path), system_path(entry_path), other)))
                first = ArchiveEntry{path, name, size};
            else
                rest.push_back(ArchiveEntry{path, name, size});
        }
    }
    // One fixed order, whatever order the file system lists entries in.
    std::sort(rest.begin(), rest.end(),
              [](const ArchiveEntry &a, const ArchiveEntry &b) { return a.name < b.name; });
    std::sort(contents.folders.begin(), contents.folders.end());
    refuse_case_collisions(first, rest);
    contents.entries.push_back(first);
    contents.entries.insert(contents.entries.end(), rest.begin(), rest.end());
    return contents;
}

namespace {

struct Compressor {
    ZSTD_CCtx *context;
    const std::function<void(const void *, size_t)> &sink;
    Progress &progress;
    std::vector<char> buffer;
    uint64_t written = 0;

    void feed(const void *data, size_t size, ZSTD_EndDirective mode)
    {
        ZSTD_inBuffer in{data, size, 0};
        for (;;) {
            ZSTD_outBuffer o{buffer.data(), buffer.size(), 0};
            size_t remaining = ZSTD_compressStream2(context, &o, &in, mode);
            if (ZSTD_isError(remaining))
                throw PackError{std::string("compression failed: ") + ZSTD_getErrorName(remaining)};
            if (o.pos > 0)
                sink(buffer.data(), o.pos);
            written += o.pos;
            // Workers take input ahead of compressing it: count what they have done.
            progress.update(ZSTD_getFrameProgression(context).consumed);
            if (mode == ZSTD_e_continue ? in.pos == in.size : remaining == 0)
                return;
        }
    }
};

void put_u64(unsigned char *p, uint64_t v)
{
    for (int i = 0; i < 8; i++)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void check(size_t result, const char *what)
{
    if (ZSTD_isError(result))
        throw PackError{std::string("cannot set up compression (") + what + "): " + ZSTD_getErrorName(result)};
}

} // namespace

static uint64_t record_bytes(const ArchiveEntry &e) { return (e.name.size() + 1) * 2 + 8 + e.size; }

std::vector<uint64_t> frame_first_records(const std::vector<ArchiveEntry> &entries, uint64_t frame_bytes)
{
    std::vector<uint64_t> firsts{0};
    uint64_t in_frame = 0;
    for (size_t i = 0; i < entries.size(); i++) {
        const uint64_t bytes = record_bytes(entries[i]);
        if (frame_bytes > 0 && in_frame > 0 && bytes > frame_bytes - std::min(in_frame, frame_bytes)) {
            firsts.push_back(i);
            in_frame = 0;
        }
        in_frame += bytes;
    }
    return firsts;
}

std::vector<FrameStart> write_attached_data(const std::vector<ArchiveEntry> &entries,
                                            const std::function<void(const void *, size_t)> &sink,
                                            const ArchiveOptions &options)
{
    std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx *)> context(ZSTD_createCCtx(), ZSTD_freeCCtx);
    uint64_t total = 2;  // the end marker
    for (const ArchiveEntry &e : entries)
        total += record_bytes(e);
    const std::vector<uint64_t> firsts = frame_first_records(entries, options.frame_bytes);
    // Each frame's record stream, the end marker in the last.
    std::vector<uint64_t> frame_sizes(firsts.size(), 0);
    for (size_t f = 0, i = 0; i < entries.size(); i++) {
        if (f + 1 < firsts.size() && firsts[f + 1] == i)
            f++;
        frame_sizes[f] += record_bytes(entries[i]);
    }
    frame_sizes.back() += 2;

    ZSTD_CCtx *c = context.get();
    check(ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, options.level), "level");
    check(ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1), "checksum");
    check(ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 1), "content size");
    // Always at least one worker: zstd's output is the same for any number
    // of workers, but differs from its single-threaded mode, and the same
    // inputs must give the same launcher on every machine.
    int threads = options.threads > 0 ? options.threads : static_cast<int>(std::thread::hardware_concurrency());
    check(ZSTD_CCtx_setParameter(c, ZSTD_c_nbWorkers, threads > 0 ? threads : 1),
          "workers; this libzstd lacks multithreading");
    ZSTD_compressionParameters chosen = ZSTD_getCParams(options.level, total, 0);
    if (chosen.windowLog > max_window_log)
        check(ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, max_window_log), "window");
    // A frame no larger than zstd's own job would be one job, and the
    // workers would take turns: two jobs a frame keep two of them busy
    // (measured on the reference payload at level 9: 16 MiB frames of two
    // jobs make the archive 0.45 % larger than one frame and packing 27 %
    // slower on two threads; quarter-frame jobs cost 1.3 % of size).
    if (firsts.size() > 1)
        check(ZSTD_CCtx_setParameter(c, ZSTD_c_jobSize, static_cast<int>(options.frame_bytes / 2)), "job size");
    check(ZSTD_CCtx_setPledgedSrcSize(c, frame_sizes[0]), "size");

    sink("QVY", 3);
    Progress progress(total, options.show_progress);
    Compressor compressor{c, sink, progress, std::vector<char>(ZSTD_CStreamOutSize())};
    std::vector<FrameStart> frames{FrameStart{0, 3}};
    std::vector<char> chunk(1 << 20);
    for (size_t index = 0; index < entries.size(); index++) {
        const ArchiveEntry &e = entries[index];
        if (frames.size() < firsts.size() && firsts[frames.size()] == index) {
            compressor.feed(nullptr, 0, ZSTD_e_end);
            check(ZSTD_CCtx_setPledgedSrcSize(c, frame_sizes[frames.size()]), "size");
            frames.push_back(FrameStart{index, 3 + compressor.written});
        }
        std::vector<unsigned char> head((e.name.size() + 1) * 2 + 8);
        for (size_t i = 0; i < e.name.size(); i++) {
            head[2 * i] = static_cast<unsigned char>(e.name[i]);
            head[2 * i + 1] = static_cast<unsigned char>(e.name[i] >> 8);
        }
        put_u64(head.data() + head.size() - 8, e.size);
        compressor.feed(head.data(), head.size(), ZSTD_e_continue);

        std::ifstream in(system_path(e.source), std::ios::binary);
        if (!in)
            throw PackError{"cannot read '" + e.source.u8string() + "': " + std::strerror(errno)};
        uint64_t left = e.size;
        while (left > 0) {
            size_t want = left < chunk.size() ? static_cast<size_t>(left) : chunk.size();
            in.read(chunk.data(), static_cast<std::streamsize>(want));
            if (static_cast<size_t>(in.gcount()) != want)
                throw PackError{"'" + e.source.u8string() + "' changed while it was being packed: pack again"};
            compressor.feed(chunk.data(), want, ZSTD_e_continue);
            left -= want;
        }
        // A file that grew since it was listed would not match its size field.
        if (in.peek() != std::char_traits<char>::eof())
            throw PackError{"'" + e.source.u8string() + "' changed while it was being packed: pack again"};
    }
    const unsigned char end_marker[2] = {0, 0};
    compressor.feed(end_marker, 2, ZSTD_e_end);
    progress.finish();

    // Zero fill up to a multiple of 8, then the trailer holding that offset.
    uint64_t offset = 3 + compressor.written;
    unsigned char tail[16] = {};
    size_t fill = static_cast<size_t>((8 - offset % 8) % 8);
    put_u64(tail + fill, offset + fill);
    sink(tail, fill + 8);
    return frames;
}
