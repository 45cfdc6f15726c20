#include "inspect.h"
#include "archive_reader.h"
#include "build_note_keys.h"
#include "host_system.h"
#include "image_files.h"
#include "launcher_resources.h"
#include "launcher_writer.h"
#include "record_names.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <set>

namespace fs = std::filesystem;

namespace {

// The build notes, read line by line from the file through a handle of
// their own, so that they can be compared with the records while the
// attached data is read. A line is at most a fixed argument's length.
class NoteLines {
public:
    explicit NoteLines(const PeImage &image) : shown(image.path.u8string())
    {
        const PeSection *section = find_section(image, build_notes_section);
        if (section == nullptr)
            return;
        if (section->virtual_size > section->raw_size ||
            uint64_t{section->raw_offset} + section->virtual_size > image.file_size)
            throw PackError{"'" + shown + "': section " + build_notes_section + " lies outside the file; the file "
                            "is damaged"};
        left = section->virtual_size;
        in.open(system_path(image.path), std::ios::binary);
        in.seekg(section->raw_offset);
    }

    // The next line, without its line feed; false after the last.
    bool next(std::string &line)
    {
        enum : size_t { longest_line = 128 << 10 };
        line.clear();
        for (;;) {
            if (at == block.size()) {
                if (left == 0)
                    return !line.empty();
                block.resize(static_cast<size_t>(std::min<uint64_t>(left, 1 << 16)));
                if (!in.read(block.data(), static_cast<std::streamsize>(block.size())))
                    throw PackError{"'" + shown + "': its build notes cannot be read"};
                left -= block.size();
                at = 0;
            }
            const size_t end = std::min(block.size(), at + longest_line + 1 - line.size());
            const char *start = block.data() + at;
            const void *feed = std::memchr(start, '\n', end - at);
            const size_t taken = feed ? static_cast<const char *>(feed) - start : end - at;
            line.append(start, taken);
            at += taken + (feed ? 1 : 0);
            if (feed)
                return true;
            if (line.size() > longest_line)
                throw PackError{"'" + shown + "': its build notes hold a line longer than " +
                                std::to_string(longest_line >> 10) + " KiB; the file is damaged"};
        }
    }

private:
    std::string shown;
    std::ifstream in;
    uint64_t left = 0;
    std::vector<char> block;
    size_t at = 0;
};

} // namespace

// The first value of each of `keys` in the notes.
std::map<std::string, std::string> note_values(const PeImage &image, std::initializer_list<const char *> keys)
{
    std::map<std::string, std::string> values;
    NoteLines lines(image);
    for (std::string line; lines.next(line);) {
        const size_t equals = line.find('=');
        const std::string key = line.substr(0, equals);
        for (const char *wanted : keys) {
            if (equals != std::string::npos && key == wanted && !values.count(key))
                values[key] = line.substr(equals + 1);
        }
    }
    return values;
}

std::string value_of(const std::map<std::string, std::string> &values, const std::string &key)
{
    auto found = values.find(key);
    return found == values.end() ? std::string() : found->second;
}

std::vector<std::string> note_all(const PeImage &image, const std::string &key)
{
    std::vector<std::string> values;
    NoteLines lines(image);
    for (std::string line; lines.next(line);) {
        if (line.compare(0, key.size() + 1, key + "=") == 0)
            values.push_back(line.substr(key.size() + 1));
    }
    return values;
}

// A note's fixed-width lowercase hexadecimal number.
static std::optional<uint64_t> hex_note(const std::string &text)
{
    if (text.size() != note_location_digits || text.find_first_not_of("0123456789abcdef") != std::string::npos)
        return std::nullopt;
    return std::stoull(text, nullptr, 16);
}

ArchiveLocation locate_archive(const PeImage &image)
{
    const std::string shown = image.path.u8string();
    if (const PeSection *s = find_section(image, attached_data_section)) {
        // A loaded size past the file's bytes would be zero fill the tools never wrote.
        if (s->virtual_size > s->raw_size || uint64_t{s->raw_offset} + s->raw_size > image.file_size)
            throw PackError{"'" + shown + "': section " + attached_data_section + " lies outside the file; the "
                            "file is damaged"};
        return ArchiveLocation{FileRange{s->raw_offset, s->virtual_size}, true};
    }
    const std::map<std::string, std::string> notes = note_values(image, {note_archive_offset, note_archive_length});
    if (notes.size() < 2)
        throw PackError{"'" + shown + "' is not a launcher built by veskar-pack: its build notes name no attached "
                        "data"};
    const std::optional<uint64_t> offset = hex_note(value_of(notes, note_archive_offset)),
                                  length = hex_note(value_of(notes, note_archive_length));
    if (!offset || !length)
        throw PackError{"'" + shown + "': the build notes' archive_offset and archive_length are not " +
                        std::to_string(note_location_digits) + " lowercase hexadecimal digits each; the file is "
                        "damaged"};
    const std::string placed = "'" + shown + "': the build notes place the attached data at offset " +
                               std::to_string(*offset) + ", " + std::to_string(*length) + " bytes long, ";
    if (*offset > image.file_size || *length > image.file_size - *offset)
        throw PackError{placed + "past the file's end at " + std::to_string(image.file_size) + "; the file is damaged"};
    if (*offset < end_of_sections(image))
        throw PackError{placed + "inside the image, which ends at " + std::to_string(end_of_sections(image)) +
                        "; the file is damaged"};
    return ArchiveLocation{FileRange{*offset, *length}, false};
}

// Messages about the attached data name the launcher they come from.
AttachedDataSummary read_launcher(const PeImage &image, const ArchiveLocation &where, const RecordVisitor &visitor)
{
    try {
        std::ifstream in(system_path(image.path), std::ios::binary);
        in.seekg(static_cast<std::streamoff>(where.range.offset));
        AttachedDataSummary summary = read_attached_data(in, where.range.size, visitor);
        if (summary.records == 0)
            throw PackError{"the record stream holds no records, so there is no application to run"};
        return summary;
    } catch (const PackError &e) {
        if (e.message.compare(0, 1, "'") == 0)
            throw;
        throw PackError{"'" + image.path.u8string() + "': " + e.message};
    }
}

// The icon group as linked, compared with the kit's own icon. Images are
// read only up to the size of the kit's largest.
std::string icon_kind(const PeImage &image, const fs::path &kit)
{
    std::optional<FileRange> group_range = find_resource(image, resource_group_icon, 1);
    if (!group_range)
        return "none";
    std::optional<std::vector<uint8_t>> group = read_resource(image, *group_range, 6 + 0xFFFF * 14);
    const size_t count = group ? get_le16(*group, 4) : 0;
    if (!group || group->size() < 6 + count * 14)
        return "damaged icon group";
    // Each image is a search of the resource tree: an icon needs a few.
    enum : size_t { most_images_looked_at = 256 };
    if (count > most_images_looked_at)
        return "custom (" + std::to_string(count) + " images, not looked into)";
    for (size_t i = 0; i < count; i++) {
        if (!find_resource(image, resource_icon, get_le16(*group, 6 + i * 14 + 12)))
            return "damaged icon group";
    }
    const fs::path default_icon = kit / "veskar.ico";
    if (!is_file(default_icon))
        return "present (" + std::to_string(count) + " images; no launcher kit here to compare with)";
    const std::vector<IconImage> kit_images =
        read_icon_file(read_whole_file(default_icon, "kit icon"), default_icon.u8string());
    uint64_t largest = 0;
    for (const IconImage &i : kit_images)
        largest = std::max<uint64_t>(largest, i.data.size());
    const std::optional<std::vector<IconImage>> images = icon_group_images(image, *group, largest);
    return images && *images == kit_images ? "default" : "custom (" + std::to_string(count) + " images)";
}

void list_launcher(const fs::path &launcher, const fs::path &kit)
{
    PeImage image = open_launcher_image(launcher);
    const ArchiveLocation where = locate_archive(image);
    std::printf("%12s  %s\n", "size", "name");
    std::u16string entry;
    AttachedDataSummary summary = read_launcher(image, where, RecordVisitor{
        [&](const RecordInfo &r) {
            if (entry.empty())
                entry = r.name;
            std::printf("%12llu  %s\n", static_cast<unsigned long long>(r.size), printable_name(r.name).c_str());
        },
        nullptr, nullptr});
    const std::map<std::string, std::string> notes =
        note_values(image, {note_level, note_entry, note_unpack_dir, note_reuse, note_archive, note_application,
                            note_app_id_from, note_app_id, note_reuse_process});
    auto note = [&](const char *key) { return printable_text(value_of(notes, key)); };
    std::printf("records: %zu\n", summary.records);
    const bool program = note(note_entry) == "exe";
    std::printf("entry: %s %s\n", program ? "program" : "library", printable_name(entry).c_str());
    if (program) {
        bool any = false;
        NoteLines lines(image);
        for (std::string line; lines.next(line);) {
            const std::string key = std::string(note_app_arg) + "=";
            if (line.compare(0, key.size(), key) != 0)
                continue;
            if (!any)
                std::printf("fixed arguments:\n");
            any = true;
            std::printf("  \"%s\"\n", printable_text(line.substr(key.size())).c_str());
        }
        if (!any)
            std::printf("fixed arguments: none\n");
    }
    std::printf("uncompressed: %llu bytes of files, %llu bytes of record stream\n",
                static_cast<unsigned long long>(summary.content_bytes),
                static_cast<unsigned long long>(summary.stream_size));
    std::printf("compressed: %llu bytes of zstd frame, %llu bytes of attached data (%.1f%% of the stream)\n",
                static_cast<unsigned long long>(summary.frame_size),
                static_cast<unsigned long long>(summary.attached_length),
                summary.stream_size ? 100.0 * summary.attached_length / summary.stream_size : 0.0);
    if (where.in_section)
        std::printf("attached data: in the .veskar section (the layout of launchers made before it moved after "
                    "the image)\n");
    else
        std::printf("attached data: at file offset %llu, after the image\n",
                    static_cast<unsigned long long>(where.range.offset));
    std::printf("zstd window: %llu bytes\n", static_cast<unsigned long long>(summary.window_size));
    const std::string level = note(note_level);
    std::printf("zstd level: %s\n", level.empty() ? "not recorded (linked from attached data made elsewhere)"
                                                  : level.c_str());
    const std::string spec = note(note_unpack_dir);
    std::printf("unpack directory: %s\n", spec.empty() ? "{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM} (the default)"
                                                       : spec.c_str());
    if (note(note_reuse) == "1") {
        const std::string identity = note(note_archive);
        // Launchers packed before the application identity have none.
        const std::string application = note(note_application), from = note(note_app_id_from);
        const std::string tree = application.empty() ? spec : spec + "_" + application;
        std::printf("reuses its tree: yes, kept as %s_%s and checked at every start (archive identity %s)\n",
                    tree.c_str(), identity.substr(0, 16).c_str(), identity.c_str());
        if (!application.empty())
            std::printf("application identity: %s (%s)\n", note(note_app_id).c_str(),
                        from == "app-id"         ? "from --app-id"
                        : from == "version-info" ? "from the CompanyName and ProductName of --version-info"
                                                 : "the launcher's name");
        // A program is always a process of its own; only a library can run
        // in the launcher's.
        std::printf("runs the application: %s\n",
                    program ? "in a child process, as a program entry always does"
                    : note(note_reuse_process) == "child" ? "in a child process, the launcher waiting beside it"
                                                       : "in the launcher's own process");
    } else {
        std::printf("reuses its tree: no, a new directory removed at exit\n");
    }
    const std::string progress = note(note_progress);
    std::printf("progress at start: %s\n", progress == "off" ? "off (--no-progress)"
                                             : progress.empty() ? "none (the size of the files is not recorded)"
                                                                : "shown when unpacking takes over a second");
    if (std::optional<FileRange> splash = find_resource(image, resource_rcdata, 28))
        std::printf("splash: built in (%llu bytes)\n", static_cast<unsigned long long>(splash->size));
    else
        std::printf("splash: none\n");
    std::printf("icon: %s\n", icon_kind(image, kit).c_str());
    std::printf("subsystem: %s\n", image.subsystem == subsystem_console ? "console (shares the console it is "
                                                                          "started from)"
                                   : image.subsystem == subsystem_gui   ? "GUI (no console)"
                                                                        : "unknown");
    // Windows runs a launcher without a manifest as the user who starts it.
    std::optional<FileRange> manifest_range = find_resource(image, resource_manifest, 1);
    std::optional<std::vector<uint8_t>> manifest =
        manifest_range ? read_resource(image, *manifest_range, 1 << 20) : std::nullopt;
    const std::string level_requested =
        manifest ? requested_execution_level(std::string(manifest->begin(), manifest->end())) : std::string();
    std::printf("execution level: %s\n", !manifest_range ? "no manifest"
                                         : level_requested.empty() ? "not requested"
                                                                   : printable_text(level_requested).c_str());
    std::optional<FileRange> version_range = find_resource(image, resource_version, 1);
    // A version resource's length is a 16-bit field.
    std::optional<std::vector<uint8_t>> version =
        version_range ? read_resource(image, *version_range, 0xFFFF) : std::nullopt;
    if (!version) {
        std::printf("version information: %s\n", version_range ? "damaged" : "none");
        return;
    }
    std::printf("version information:\n");
    for (const auto &[key, value] : read_version_strings(*version))
        std::printf("  %s: %s\n", printable_text(key).c_str(), printable_text(value).c_str());
}

namespace {

// The reusing launcher's "file=SIZE NAME" lines, compared with the records
// in order as they are read.
struct FileNotes {
    NoteLines lines;
    std::string shown;
    size_t listed = 0;

    // The next file line, or nothing after the last.
    std::optional<std::string> next()
    {
        const std::string key = std::string(note_file) + "=";
        for (std::string line; lines.next(line);) {
            if (line.compare(0, key.size(), key) == 0)
                return line.substr(key.size());
        }
        return std::nullopt;
    }

    void check(const RecordInfo &r)
    {
        std::string name;
        utf16_to_utf8(r.name, name);
        const std::string expected = std::to_string(r.size) + " " + name;
        std::optional<std::string> line = next();
        if (!line || *line != expected)
            throw PackError{"'" + shown + "': the build notes list " +
                            (line ? "file " + std::to_string(r.index) + " as '" + printable_text(*line) + "'"
                                  : std::string("no file ") + std::to_string(r.index)) +
                            " where the attached data holds '" + printable_text(expected) +
                            "' (size and name): the notes do not match the attached data"};
        listed++;
    }
};

// The whole file's PE checksum, read in blocks.
uint32_t file_checksum(const PeImage &image)
{
    std::ifstream in(system_path(image.path), std::ios::binary);
    ImageChecksum sum;
    const uint64_t field = checksum_offset(image);
    std::vector<char> block(1 << 20);
    for (uint64_t at = 0; at < image.file_size;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(block.size(), image.file_size - at));
        if (!in.read(block.data(), static_cast<std::streamsize>(want)))
            throw PackError{"'" + image.path.u8string() + "' cannot be read to its end: it changed while it was read"};
        for (uint64_t i = std::max(at, field); i < std::min(at + want, field + 4); i++)
            block[static_cast<size_t>(i - at)] = 0;
        sum.add(reinterpret_cast<const uint8_t *>(block.data()), want);
        at += want;
    }
    return sum.value();
}

// The notes' frame index against the frames the attached data holds: entry
// by entry, the record each frame begins with and where it lies.
void check_frame_index(const std::string &shown, const std::string &index, const std::vector<FrameStart> &frames,
                       const std::vector<uint64_t> &record_starts)
{
    const size_t entry_length = 2 * note_location_digits;
    for (size_t k = 0; k * entry_length < index.size() || k < frames.size(); k++) {
        const std::string listed = index.substr(std::min(index.size(), k * entry_length), entry_length);
        std::string actual;
        if (k < frames.size()) {
            auto at = std::lower_bound(record_starts.begin(), record_starts.end(), frames[k].record);
            if (at != record_starts.end() && *at == frames[k].record) {
                char digits[2 * note_location_digits + 1];
                std::snprintf(digits, sizeof digits, "%016llx%016llx",
                              static_cast<unsigned long long>(at - record_starts.begin()),
                              static_cast<unsigned long long>(frames[k].offset));
                actual = digits;
            }
        }
        if (listed != actual)
            throw PackError{"'" + shown + "': the build notes' frame index has " +
                            (listed.empty() ? "no entry " + std::to_string(k)
                                            : "entry " + std::to_string(k) + " '" + printable_text(listed) + "'") +
                            " where the attached data has " +
                            (k >= frames.size()   ? std::string("no frame")
                             : actual.empty() ? "a frame that begins inside a record"
                                              : "'" + actual + "' (first record, offset)") +
                            ": the notes do not match the attached data"};
    }
}

} // namespace

VerifyVerdict verify_launcher(const fs::path &launcher, bool print)
{
    auto say = [print](const char *format, auto... values) {
        if (print)
            std::printf(format, values...);
    };
    PeImage image = open_launcher_image(launcher);
    const std::string shown = launcher.u8string();
    const ArchiveLocation where = locate_archive(image);
    FileNotes files{NoteLines(image), shown};
    bool reusing = false;
    {
        NoteLines lines(image);
        for (std::string line; lines.next(line) && !reusing;)
            reusing = line.compare(0, std::strlen(note_file) + 1, std::string(note_file) + "=") == 0;
    }
    RecordVisitor visitor;
    std::vector<uint64_t> record_starts;
    visitor.begin = [&](const RecordInfo &r) {
        record_starts.push_back(r.stream_offset);
        if (reusing)
            files.check(r);
    };
    AttachedDataSummary summary = read_launcher(image, where, visitor);
    const std::string frame_index = value_of(note_values(image, {note_frames}), note_frames);
    if (!frame_index.empty())
        check_frame_index(shown, frame_index, summary.frames, record_starts);
    if (reusing && files.next())
        throw PackError{"'" + shown + "': the build notes list more files than the " +
                        std::to_string(summary.records) + " the attached data holds: the notes do not match it"};
    const std::string identity = value_of(note_values(image, {note_archive}), note_archive);
    if (!identity.empty() && identity != summary.identity)
        throw PackError{"'" + shown + "': the build notes give the archive identity " + printable_text(identity) +
                        ", but the attached data's SHA-256 is " + summary.identity +
                        ": the notes do not match the attached data"};
    say("'%s': attached data intact: %zu records, %llu bytes of files, checksum correct\n", shown.c_str(),
        summary.records, static_cast<unsigned long long>(summary.content_bytes));
    const std::string frames_text =
        frame_index.empty() ? "" : ", and the index of its " + std::to_string(summary.frames.size()) + " frames";
    say("'%s': build notes match it: %s%s\n", shown.c_str(),
        reusing ? ("the archive identity and " + std::to_string(files.listed) + " file sizes and names").c_str()
        : identity.empty() ? "nothing in them describes it"
                           : "the archive identity",
        frames_text.c_str());

    // What follows the image and the attached data: a signature's
    // certificate table, named by its directory, and anything else.
    const FileRange certificates = data_directory(image, directory_certificates);
    const uint64_t content_end = std::max(end_of_sections(image), where.range.offset + where.range.size);
    uint64_t unsigned_tail = image.file_size - std::min(image.file_size, content_end);
    if (certificates.size == 0) {
        say("'%s': signed: no\n", shown.c_str());
    } else {
        const uint64_t table_end = certificates.offset + certificates.size;
        if (table_end <= where.range.offset && table_end <= image.file_size)
            throw PackError{"'" + shown + "': the attached data lies after the signature's certificate table, "
                            "which a signature never covers: the file was changed after it was signed"};
        if (certificates.offset < content_end || table_end > image.file_size)
            throw PackError{"'" + shown + "': its certificate table, at file offset " +
                            std::to_string(certificates.offset) + ", overlaps the image or the attached data or "
                            "runs past the file's end; the file is damaged"};
        // Signing pads the file to a multiple of 8 bytes before the table.
        if (certificates.offset - content_end >= 8)
            say("'%s': %llu bytes lie between the attached data and the signature: no part of the launcher, "
                "which never reads them\n",
                shown.c_str(), static_cast<unsigned long long>(certificates.offset - content_end));
        say("'%s': signed: yes, and the signature covers the whole attached data (whether it is valid, "
            "osslsigncode verify or signtool verify tells)\n",
            shown.c_str());
        unsigned_tail = image.file_size - table_end;
    }
    if (unsigned_tail > 0)
        say("'%s': %llu bytes follow the %s: no signature covers them and the launcher never reads them\n",
            shown.c_str(), static_cast<unsigned long long>(unsigned_tail),
            certificates.size == 0 ? "attached data" : "signature");
    const uint32_t stored = get_le32(read_image_bytes(image, checksum_offset(image), 4).value_or(std::vector<uint8_t>()), 0),
                   computed = file_checksum(image);
    if (stored != computed)
        throw PackError{"'" + shown + "': the PE checksum is " + std::to_string(stored) + " but the file's bytes give " +
                        std::to_string(computed) + ": the file was changed after it was made"};
    say("'%s': PE checksum correct\n", shown.c_str());
    return VerifyVerdict{summary.records, summary.content_bytes, certificates.size != 0};
}

namespace {

// Writes the records below one new folder of its own, never through a
// symbolic link, so no name can lead outside it.
struct Extractor {
    fs::path root;
    std::set<fs::path> made;  // folders known to be real folders below root
    std::FILE *file = nullptr;
    fs::path current;

    void ensure_folder(const fs::path &folder)
    {
        if (folder == root || made.count(folder))
            return;
        ensure_folder(folder.parent_path());
        // Decided from the entry itself: a symbolic link or a junction
        // planted here is refused, never written through.
        std::error_code error;
        EntryKind kind = entry_kind(folder);
        if (kind == EntryKind::link)
            throw PackError{"'" + folder.u8string() + "' is a symbolic link: extract into a new folder"};
        if (kind == EntryKind::missing && !fs::create_directory(system_path(folder), error) && error)
            throw PackError{"cannot create '" + folder.u8string() + "': " + error.message()};
        if (entry_kind(folder) != EntryKind::folder)
            throw PackError{"'" + folder.u8string() + "' exists and is not a folder: extract into a new folder"};
        made.insert(folder);
    }

    void begin(const RecordInfo &r)
    {
        std::string name;
        utf16_to_utf8(r.name, name);  // the reader let only valid UTF-16 through
        for (char &c : name) {
            if (c == '\\')
                c = '/';
        }
        current = root / fs::u8path(name);
        ensure_folder(current.parent_path());
        file = open_for_writing(current);
        if (file == nullptr)
            throw PackError{"cannot write '" + current.u8string() + "': " + std::strerror(errno)};
    }

    void content(const uint8_t *data, size_t size)
    {
        if (std::fwrite(data, 1, size, file) != size)
            throw PackError{"cannot write '" + current.u8string() + "': " + std::strerror(errno)};
    }

    void end()
    {
        int closed = std::fclose(file);
        file = nullptr;
        if (closed != 0)
            throw PackError{"cannot write '" + current.u8string() + "': " + std::strerror(errno)};
    }

    ~Extractor()
    {
        if (file != nullptr)
            std::fclose(file);
    }
};

// What extract made on the way to its folder, removed again unless the
// folder was completed: its missing parents and the folder it writes into.
struct ExtractionPlace {
    std::vector<fs::path> parents_made;  // outermost first
    fs::path partial;
    bool done = false;

    ~ExtractionPlace()
    {
        if (done)
            return;
        std::error_code ignored;
        if (!partial.empty())
            fs::remove_all(system_path(partial), ignored);
        for (auto it = parents_made.rbegin(); it != parents_made.rend(); ++it)
            fs::remove(system_path(*it), ignored);  // only while empty
    }
};

} // namespace

void extract_launcher(const fs::path &launcher, const fs::path &directory)
{
    PeImage image = open_launcher_image(launcher);
    const ArchiveLocation where = locate_archive(image);
    fs::path target = directory.lexically_normal();
    if (target.filename().empty() && target.has_parent_path())
        target = target.parent_path();  // "out/" names the folder "out"
    const std::string shown = target.u8string();
    const EntryKind kind = entry_kind(target);
    std::error_code error;
    if (kind == EntryKind::link)
        throw PackError{"'" + shown + "' is a symbolic link: extract into a new folder"};
    if (kind == EntryKind::folder && !fs::is_empty(system_path(target), error))
        throw PackError{"'" + shown + "' is a folder that is not empty: extract into a new or empty folder"};
    if (kind != EntryKind::folder && kind != EntryKind::missing)
        throw PackError{"'" + shown + "' exists and is not a folder: name a folder to extract into"};

    // Written into a new folder beside the target, which takes the target's
    // name only once every file is whole: a failure leaves nothing.
    ExtractionPlace place;
    const fs::path parent = fs::absolute(target).parent_path();
    // Made folder by folder from the first one missing: std::filesystem
    // cannot make a long path at once.
    for (fs::path f = parent; f.has_relative_path() && entry_kind(f) == EntryKind::missing; f = f.parent_path())
        place.parents_made.insert(place.parents_made.begin(), f);
    for (const fs::path &f : place.parents_made) {
        if (!fs::create_directory(system_path(f), error) && error)
            throw PackError{"cannot create '" + f.u8string() + "': " + error.message()};
    }
    if (!is_folder(parent))
        throw PackError{"'" + parent.u8string() + "' is not a folder: name a folder to extract into"};
    std::random_device random;
    for (int attempt = 0; place.partial.empty(); attempt++) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, ".partial-%08x", static_cast<unsigned>(random()));
        const fs::path candidate = parent / fs::u8path("." + target.filename().u8string() + suffix);
        if (fs::create_directory(system_path(candidate), error))
            place.partial = candidate;
        else if (error || attempt == 100)
            throw PackError{"cannot create '" + candidate.u8string() + "': " +
                            (error ? error.message() : "the name is taken")};
    }
    Extractor extractor;
    extractor.root = place.partial;
    AttachedDataSummary summary = read_launcher(image, where, RecordVisitor{
        [&](const RecordInfo &r) { extractor.begin(r); },
        [&](const uint8_t *data, size_t size) { extractor.content(data, size); },
        [&] { extractor.end(); }});
    // POSIX renames over an empty folder; Windows wants it gone first.
    fs::rename(system_path(place.partial), system_path(target), error);
    if (error && kind == EntryKind::folder && fs::remove(system_path(target), error))
        fs::rename(system_path(place.partial), system_path(target), error);
    if (error)
        throw PackError{"cannot rename '" + place.partial.u8string() + "' to '" + shown + "': " + error.message()};
    place.done = true;
    std::printf("extracted %zu files, %llu bytes, into '%s'\n", summary.records,
                static_cast<unsigned long long>(summary.content_bytes), directory.u8string().c_str());
}
