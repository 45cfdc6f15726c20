#include "archive_writer.h"
#include "progress.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getCParams: the window a level would choose
#include <zstd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>

namespace fs = std::filesystem;

enum : size_t { max_name_units = 1023, max_window_log = 27 };

static std::u16string utf8_to_utf16(const std::string &text, const std::string &shown)
{
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        uint32_t cp;
        size_t extra;
        if (c < 0x80) { cp = c; extra = 0; }
        else if ((c & 0xE0) == 0xC0) { cp = c & 0x1F; extra = 1; }
        else if ((c & 0xF0) == 0xE0) { cp = c & 0x0F; extra = 2; }
        else if ((c & 0xF8) == 0xF0) { cp = c & 0x07; extra = 3; }
        else throw PackError{"'" + shown + "' is not valid UTF-8; rename it"};
        for (size_t k = 1; k <= extra; k++) {
            if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                throw PackError{"'" + shown + "' is not valid UTF-8; rename it"};
            cp = cp << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        i += extra + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

// The record name for a path relative to the application folder. Refuses
// what Windows could not create below the unpack directory, or what would
// lead out of it.
static std::u16string record_name(const fs::path &relative)
{
    const std::string shown = relative.generic_string();
    if (relative.empty() || relative.is_absolute() || relative.has_root_name() || relative.has_root_directory())
        throw PackError{"'" + shown + "' is not a path relative to the application folder"};
    std::u16string name;
    for (const fs::path &component : relative) {
        const std::string part = component.string();
        if (part.empty() || part == "." || part == "..")
            throw PackError{"'" + shown + "' has an empty, '.' or '..' component"};
        for (unsigned char c : part) {
            if (c == ':' || c == '\\' || c < 0x20 || c == '<' || c == '>' || c == '"' || c == '|' || c == '?' ||
                c == '*')
                throw PackError{"'" + shown + "' has a character that Windows file names cannot hold: rename it"};
        }
        if (!name.empty())
            name.push_back(u'\\');
        name += utf8_to_utf16(part, shown);
    }
    if (name.size() > max_name_units)
        throw PackError{"'" + shown + "' is longer than " + std::to_string(max_name_units) +
                        " UTF-16 units below the application folder"};
    return name;
}

std::vector<ArchiveEntry> collect_entries(const fs::path &directory, const std::string &app_library)
{
    std::error_code error;
    if (!fs::is_directory(directory, error))
        throw PackError{"'" + directory.string() + "' is not a folder"};

    fs::path library_relative = fs::path(app_library).lexically_normal();
    std::string library_text = app_library;
    std::replace(library_text.begin(), library_text.end(), '\\', '/');
    library_relative = fs::path(library_text);
    fs::path library_path = directory / library_relative;
    fs::file_status library_status = fs::symlink_status(library_path, error);
    if (error || !fs::is_regular_file(library_status))
        throw PackError{"application library '" + library_text + "' is not a regular file in '" + directory.string() +
                        "'"};

    std::vector<ArchiveEntry> rest;
    ArchiveEntry first{library_path, record_name(library_relative), 0};
    first.size = fs::file_size(library_path);

    fs::recursive_directory_iterator it(directory, fs::directory_options::none, error);
    if (error)
        throw PackError{"cannot read '" + directory.string() + "': " + error.message()};
    for (; it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (error)
            throw PackError{"cannot read below '" + directory.string() + "': " + error.message()};
        const fs::path relative = it->path().lexically_relative(directory);
        fs::file_status status = it->symlink_status();
        // Symbolic links are refused, not followed: what they point to may lie
        // outside the folder, or appear twice.
        if (fs::is_symlink(status))
            throw PackError{"'" + relative.generic_string() +
                            "' is a symbolic link; put the file itself into the application folder"};
        if (fs::is_directory(status)) {
            record_name(relative);  // a folder's own name must be valid too
            continue;
        }
        if (!fs::is_regular_file(status))
            throw PackError{"'" + relative.generic_string() + "' is neither a regular file nor a folder"};
        std::u16string name = record_name(relative);
        if (name == first.name)
            continue;
        rest.push_back(ArchiveEntry{it->path(), name, fs::file_size(it->path())});
    }
    // One fixed order, whatever order the file system lists entries in.
    std::sort(rest.begin(), rest.end(),
              [](const ArchiveEntry &a, const ArchiveEntry &b) { return a.name < b.name; });
    std::vector<ArchiveEntry> entries;
    entries.push_back(first);
    entries.insert(entries.end(), rest.begin(), rest.end());
    return entries;
}

namespace {

struct Compressor {
    ZSTD_CCtx *context;
    std::FILE *out;
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
            if (o.pos > 0 && std::fwrite(buffer.data(), 1, o.pos, out) != o.pos)
                throw PackError{"cannot write the attached data"};
            written += o.pos;
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

} // namespace

void write_attached_data(const std::vector<ArchiveEntry> &entries, const fs::path &output,
                         const ArchiveOptions &options)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE *)> out(std::fopen(output.c_str(), "wb"), std::fclose);
    if (!out)
        throw PackError{"cannot create '" + output.string() + "'"};
    std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx *)> context(ZSTD_createCCtx(), ZSTD_freeCCtx);
    uint64_t total = 2;  // the end marker
    for (const ArchiveEntry &e : entries)
        total += (e.name.size() + 1) * 2 + 8 + e.size;

    ZSTD_CCtx *c = context.get();
    ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, options.level);
    ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1);
    ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 1);
    ZSTD_CCtx_setParameter(c, ZSTD_c_nbWorkers, options.threads);
    // The launcher's decoder accepts windows up to 2^27 bytes.
    ZSTD_compressionParameters chosen = ZSTD_getCParams(options.level, total, 0);
    if (chosen.windowLog > max_window_log)
        ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, max_window_log);
    ZSTD_CCtx_setPledgedSrcSize(c, total);

    if (std::fwrite("QVY", 1, 3, out.get()) != 3)
        throw PackError{"cannot write '" + output.string() + "'"};
    Compressor compressor{c, out.get(), std::vector<char>(ZSTD_CStreamOutSize())};
    Progress progress(total, options.show_progress);
    std::vector<char> chunk(1 << 20);
    for (const ArchiveEntry &e : entries) {
        std::vector<unsigned char> head((e.name.size() + 1) * 2 + 8);
        for (size_t i = 0; i < e.name.size(); i++) {
            head[2 * i] = static_cast<unsigned char>(e.name[i]);
            head[2 * i + 1] = static_cast<unsigned char>(e.name[i] >> 8);
        }
        put_u64(head.data() + head.size() - 8, e.size);
        compressor.feed(head.data(), head.size(), ZSTD_e_continue);
        progress.advance(head.size());

        std::ifstream in(e.source, std::ios::binary);
        if (!in)
            throw PackError{"cannot read '" + e.source.string() + "'"};
        uint64_t left = e.size;
        while (left > 0) {
            size_t want = left < chunk.size() ? static_cast<size_t>(left) : chunk.size();
            in.read(chunk.data(), static_cast<std::streamsize>(want));
            if (static_cast<size_t>(in.gcount()) != want)
                throw PackError{"'" + e.source.string() + "' changed while it was being packed"};
            compressor.feed(chunk.data(), want, ZSTD_e_continue);
            progress.advance(want);
            left -= want;
        }
    }
    const unsigned char end_marker[2] = {0, 0};
    compressor.feed(end_marker, 2, ZSTD_e_end);
    progress.advance(2);
    progress.finish();

    // Zero fill up to a multiple of 8, then the trailer holding that offset.
    uint64_t offset = 3 + compressor.written;
    unsigned char tail[16] = {};
    size_t fill = static_cast<size_t>((8 - offset % 8) % 8);
    put_u64(tail + fill, offset + fill);
    if (std::fwrite(tail, 1, fill + 8, out.get()) != fill + 8 || std::fflush(out.get()) != 0)
        throw PackError{"cannot write '" + output.string() + "'"};
}
