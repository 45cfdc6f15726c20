#include "inspect.h"
#include "archive_reader.h"
#include "archive_writer.h"
#include "host_system.h"
#include "image_files.h"
#include "launcher_resources.h"
#include "launcher_writer.h"
#include "record_names.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

namespace fs = std::filesystem;

// Messages about the attached data name the launcher they come from.
static AttachedDataSummary read_launcher(const PeImage &image, const RecordVisitor &visitor)
{
    try {
        AttachedDataSummary summary = read_attached_data(attached_data_of(image), visitor);
        if (summary.records == 0)
            throw PackError{"the record stream holds no records, so there is no application to run"};
        return summary;
    } catch (const PackError &e) {
        if (e.message.compare(0, 1, "'") == 0)
            throw;
        throw PackError{"'" + image.path.u8string() + "': " + e.message};
    }
}

// Every value of `key` in the build notes, in their order.
static std::vector<std::string> build_notes(const PeImage &image, const std::string &key)
{
    std::vector<std::string> values;
    std::optional<ByteSpan> notes = section_contents(image, build_notes_section);
    if (!notes)
        return values;
    const std::string text(reinterpret_cast<const char *>(notes->data), notes->size);
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        if (text.compare(at, key.size() + 1, key + "=") == 0)
            values.push_back(text.substr(at + key.size() + 1, end - at - key.size() - 1));
        at = end + 1;
    }
    return values;
}

static std::string build_note(const PeImage &image, const std::string &key)
{
    std::vector<std::string> values = build_notes(image, key);
    return values.empty() ? std::string() : values.front();
}

// The icon group as linked, compared with the kit's own icon.
static std::string icon_kind(const PeImage &image, const fs::path &kit)
{
    std::optional<ByteSpan> group = find_resource(image, resource_group_icon, 1);
    if (!group)
        return "none";
    std::optional<std::vector<IconImage>> images = icon_group_images(image, *group);
    if (!images)
        return "damaged icon group";
    const std::vector<IconImage> &linked = *images;
    const size_t count = linked.size();
    const fs::path default_icon = kit / "veskar.ico";
    if (!is_file(default_icon))
        return "present (" + std::to_string(count) + " images; no launcher kit here to compare with)";
    std::vector<IconImage> kit_images = read_icon_file(read_whole_file(default_icon, "kit icon"),
                                                       default_icon.u8string());
    return linked == kit_images ? "default" : "custom (" + std::to_string(count) + " images)";
}

// The level the manifest requests; Windows runs a launcher without one as
// the user who starts it.
static std::string execution_level(const PeImage &image)
{
    std::optional<ByteSpan> manifest = find_resource(image, resource_manifest, 1);
    if (!manifest)
        return "no manifest";
    const std::string text(reinterpret_cast<const char *>(manifest->data), manifest->size);
    static const std::string attribute = "requestedExecutionLevel level=\"";
    size_t at = text.find(attribute);
    size_t end = at == std::string::npos ? at : text.find('"', at + attribute.size());
    return end == std::string::npos ? "not requested" : text.substr(at + attribute.size(), end - at - attribute.size());
}

void list_launcher(const fs::path &launcher, const fs::path &kit)
{
    PeImage image = read_pe_image(launcher);
    std::printf("%12s  %s\n", "size", "name");
    std::u16string entry;
    AttachedDataSummary summary = read_launcher(image, RecordVisitor{
        [&](const RecordInfo &r) {
            if (entry.empty())
                entry = r.name;
            std::printf("%12llu  %s\n", static_cast<unsigned long long>(r.size), printable_name(r.name).c_str());
        },
        nullptr, nullptr});
    std::string level = build_note(image, "level");
    std::optional<ByteSpan> splash = find_resource(image, resource_rcdata, 28);
    std::printf("records: %zu\n", summary.records);
    const bool program = build_note(image, "entry") == "exe";
    std::printf("entry: %s %s\n", program ? "program" : "library", printable_name(entry).c_str());
    if (program) {
        const std::vector<std::string> fixed = build_notes(image, "app_arg");
        std::printf("fixed arguments:%s\n", fixed.empty() ? " none" : "");
        for (const std::string &argument : fixed)
            std::printf("  \"%s\"\n", argument.c_str());
    }
    std::printf("uncompressed: %llu bytes of files, %llu bytes of record stream\n",
                static_cast<unsigned long long>(summary.content_bytes),
                static_cast<unsigned long long>(summary.stream_size));
    std::printf("compressed: %llu bytes of zstd frame, %llu bytes of attached data (%.1f%% of the stream)\n",
                static_cast<unsigned long long>(summary.frame_size),
                static_cast<unsigned long long>(summary.attached_length),
                summary.stream_size ? 100.0 * summary.attached_length / summary.stream_size : 0.0);
    std::printf("zstd window: %llu bytes\n", static_cast<unsigned long long>(summary.window_size));
    std::printf("zstd level: %s\n", level.empty() ? "not recorded (linked from attached data made elsewhere)"
                                                  : level.c_str());
    const std::string spec = build_note(image, "unpack_dir");
    std::printf("unpack directory: %s\n", spec.empty() ? "{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM} (the default)"
                                                       : spec.c_str());
    if (build_note(image, "reuse") == "1") {
        const std::string identity = build_note(image, "archive");
        // Launchers packed before the application identity have none.
        const std::string application = build_note(image, "application"), from = build_note(image, "app_id_from");
        const std::string tree = application.empty() ? spec : spec + "_" + application;
        std::printf("reuses its tree: yes, kept as %s_%s and checked at every start (archive identity %s)\n",
                    tree.c_str(), identity.substr(0, 16).c_str(), identity.c_str());
        if (!application.empty())
            std::printf("application identity: %s (%s)\n", build_note(image, "app_id").c_str(),
                        from == "app-id"         ? "from --app-id"
                        : from == "version-info" ? "from the CompanyName and ProductName of --version-info"
                                                 : "the launcher's name");
        std::printf("runs the application: %s\n", build_note(image, "reuse_process") == "child"
                                                      ? "in a child process, the launcher waiting beside it"
                                                      : "in the launcher's own process");
    } else {
        std::printf("reuses its tree: no, a new directory removed at exit\n");
    }
    std::printf("progress at start: %s\n", build_note(image, "progress") == "off" ? "off (--no-progress)" : build_note(image, "progress").empty() ? "none (the size of the files is not recorded)" : "shown when unpacking takes over a second");
    if (splash)
        std::printf("splash: built in (%zu bytes)\n", splash->size);
    else
        std::printf("splash: none\n");
    std::printf("icon: %s\n", icon_kind(image, kit).c_str());
    std::printf("subsystem: %s\n", image.subsystem == 3 ? "console (shares the console it is started from)"
                                   : image.subsystem == 2 ? "GUI (no console)" : "unknown");
    std::printf("execution level: %s\n", execution_level(image).c_str());
    std::optional<ByteSpan> version = find_resource(image, resource_version, 1);
    if (!version) {
        std::printf("version information: none\n");
        return;
    }
    std::printf("version information:\n");
    for (const auto &[key, value] : read_version_strings(version->data, version->size))
        std::printf("  %s: %s\n", key.c_str(), value.c_str());
}

void verify_launcher(const fs::path &launcher)
{
    PeImage image = read_pe_image(launcher);
    AttachedDataSummary summary = read_launcher(image, RecordVisitor{});
    std::printf("'%s': attached data intact: %zu records, %llu bytes of files, checksum correct\n",
                launcher.u8string().c_str(), summary.records,
                static_cast<unsigned long long>(summary.content_bytes));
}

namespace {

// Writes the records below one folder, never through a symbolic link that
// was there before, so no name can lead outside it.
struct Extractor {
    fs::path root;
    std::set<fs::path> made;  // folders known to be real folders below root
    std::FILE *file = nullptr;
    fs::path current;

    void ensure_folder(const fs::path &folder)
    {
        if (made.count(folder))
            return;
        std::error_code error;
        if (folder == root) {
            // The folder the user named may itself be reached through a link.
            // Made folder by folder from the first one missing: std::filesystem
            // cannot make a long path at once.
            std::vector<fs::path> missing;
            for (fs::path f = root; f.has_relative_path() && entry_kind(f) == EntryKind::missing; f = f.parent_path())
                missing.push_back(f);
            for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
                if (!fs::create_directory(system_path(*it), error) && error)
                    throw PackError{"cannot create '" + it->u8string() + "': " + error.message()};
            }
            if (!is_folder(root))
                throw PackError{"'" + root.u8string() + "' exists and is not a folder: name a folder to extract into"};
            made.insert(root);
            return;
        }
        ensure_folder(folder.parent_path());
        // Decided from the entry itself: a symbolic link or a junction planted
        // here is refused, never written through.
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

} // namespace

void extract_launcher(const fs::path &launcher, const fs::path &directory)
{
    PeImage image = read_pe_image(launcher);
    Extractor extractor;
    extractor.root = directory.lexically_normal();
    if (extractor.root.filename().empty() && extractor.root.has_parent_path())
        extractor.root = extractor.root.parent_path();  // "out/" names the folder "out"
    extractor.ensure_folder(extractor.root);
    AttachedDataSummary summary = read_launcher(image, RecordVisitor{
        [&](const RecordInfo &r) { extractor.begin(r); },
        [&](const uint8_t *data, size_t size) { extractor.content(data, size); },
        [&] { extractor.end(); }});
    std::printf("extracted %zu files, %llu bytes, into '%s'\n", summary.records,
                static_cast<unsigned long long>(summary.content_bytes), directory.u8string().c_str());
}
