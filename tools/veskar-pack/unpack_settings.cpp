#include "unpack_settings.h"
#include "archive_identity.h"
#include "build_note_keys.h"
#include "archive_writer.h"
#include "record_names.h"

#include <algorithm>
#include <cctype>
#include <optional>

namespace {

// The launcher's path buffers hold 4095 UTF-16 units: the unpack directory,
// a separator and a record name of up to 1023 units, and for a reused
// tree "_", 16 digits of the application identity, "_", 16 digits of the
// archive identity and a working directory's "~" and 11 random characters. A folder or program placeholder is counted at MAX_PATH
// units; a longer value makes the launcher's own expansion fail at run time.
enum : size_t {
    launcher_path_units = 4095,
    reused_suffix_units = 1 + 16 + 1 + 16 + 1 + 11,
    folder_value_units = 260,
    number_value_units = 20,
};

struct Placeholder {
    const char *name;
    size_t most_units;
    bool per_run;   // a new value at every run
    bool absolute;  // a path that a spec may start with
};

const Placeholder placeholders[] = {
    {"TEMP", folder_value_units, false, true},
    {"HOME", folder_value_units, false, true},
    {"CACHE_DIR", folder_value_units, false, true},
    {"PROGRAM", folder_value_units, false, true},
    {"PROGRAM_BASE", folder_value_units, false, true},
    {"PROGRAM_DIR", folder_value_units, false, true},
    {"PID", number_value_units, true, false},
    {"TIME", number_value_units, true, false},
    {"TIME_US", number_value_units, true, false},
    {"RANDOM", 11, true, false},
};

const Placeholder *find_placeholder(const std::string &name)
{
    std::string upper = name;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    for (const Placeholder &p : placeholders) {
        if (upper == p.name)
            return &p;
    }
    return nullptr;
}

size_t utf16_units(const std::string &utf8)
{
    size_t units = 0;
    for (unsigned char c : utf8) {
        if ((c & 0xC0) != 0x80)
            units += c >= 0xF0 ? 2 : 1;
    }
    return units;
}

} // namespace

void check_unpack_spec(const std::string &spec, bool reuse)
{
    const std::string quoted = "the unpack directory spec '" + spec + "' ";
    if (spec.empty())
        throw PackError{"the unpack directory spec is empty"};
    size_t most_units = utf16_units(spec);
    bool has_random = false;
    const Placeholder *first = nullptr;
    for (size_t at = 0; at < spec.size(); at++) {
        if (static_cast<unsigned char>(spec[at]) < 0x20)
            throw PackError{quoted + "holds a control character"};
        if (spec[at] == '}')
            throw PackError{quoted + "has a '}' that closes no '{'"};
        if (spec[at] != '{')
            continue;
        size_t end = spec.find_first_of("{}", at + 1);
        if (end == std::string::npos || spec[end] != '}')
            throw PackError{quoted + "has a '{' that is not closed"};
        std::string name = spec.substr(at + 1, end - at - 1);
        const Placeholder *p = find_placeholder(name);
        if (p == nullptr)
            throw PackError{quoted + "names an unknown placeholder {" + name + "}: use TEMP, HOME, CACHE_DIR, "
                            "PROGRAM, PROGRAM_BASE, PROGRAM_DIR, PID, TIME, TIME_US or RANDOM"};
        if (reuse && p->per_run)
            throw PackError{quoted + "uses {" + name + "}, which changes at every run: a reused tree must be found "
                            "again at the same place"};
        if (at == 0)
            first = p;
        has_random = has_random || std::string(p->name) == "RANDOM";
        most_units += p->most_units - utf16_units(spec.substr(at, end - at + 1));
        at = end;
    }
    const bool drive = spec.size() >= 3 && std::isalpha(static_cast<unsigned char>(spec[0])) && spec[1] == ':' &&
                       spec[2] == '\\';
    const bool unc = spec.compare(0, 2, "\\\\") == 0;
    if (!drive && !unc && (first == nullptr || !first->absolute))
        throw PackError{quoted + "does not give an absolute path: start it with a drive (C:\\), a share "
                        "(\\\\server\\share) or {TEMP}, {HOME}, {CACHE_DIR} or {PROGRAM_DIR}"};
    if (!reuse && !has_random)
        throw PackError{quoted + "has no {RANDOM}: without --reuse every run needs a new directory that no one "
                        "can guess"};
    const size_t room = launcher_path_units - 1 - max_record_name_units - reused_suffix_units;
    if (most_units > room)
        throw PackError{quoted + "can expand to " + std::to_string(most_units) + " UTF-16 units; the launcher "
                        "holds at most " + std::to_string(room) + " beside the record names"};
}

void check_app_id(const std::string &app_id)
{
    const std::string quoted = "the application identity '" + app_id + "' ";
    if (app_id.empty())
        throw PackError{"the application identity is empty: give --app-id a name such as Company.Product"};
    for (unsigned char c : app_id) {
        if (c < 0x20 || c == 0x7F)
            throw PackError{quoted + "holds a control character"};
        if (std::string("<>:\"/\\|?*").find(static_cast<char>(c)) != std::string::npos)
            throw PackError{quoted + "holds '" + std::string(1, static_cast<char>(c)) + "', which a folder name "
                            "cannot: leave out < > : \" / \\ | ? *"};
    }
    if (app_id.back() == '.' || app_id.back() == ' ')
        throw PackError{quoted + "ends in a dot or a space, which a folder name cannot"};
    if (utf16_units(app_id) > 100)
        throw PackError{quoted + "is " + std::to_string(utf16_units(app_id)) + " UTF-16 units long: at most 100"};
}

ApplicationIdentity application_identity(const UnpackSettings &settings,
                                         const std::vector<std::string> &version_info,
                                         const std::filesystem::path &output)
{
    auto given = [&](const std::string &key) -> std::optional<std::string> {
        for (const std::string &key_value : version_info) {
            if (key_value.compare(0, key.size() + 1, key + "=") == 0)
                return key_value.substr(key.size() + 1);
        }
        return std::nullopt;
    };
    ApplicationIdentity identity;
    std::string hashed;  // the source and its values, NUL-separated: no two sources give the same bytes
    const std::optional<std::string> company = given("CompanyName"), product = given("ProductName");
    if (!settings.app_id.empty()) {
        identity = {settings.app_id, "app-id", ""};
        hashed = "app-id" + std::string(1, '\0') + settings.app_id;
    } else if (company && product) {
        identity = {*company + ", " + *product, "version-info", ""};
        hashed = "version-info" + std::string(1, '\0') + *company + std::string(1, '\0') + *product;
        // One line in the notes, whatever the values hold.
        for (char &c : identity.text)
            c = static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
    } else {
        identity = {readable_name(output), "name", ""};
        hashed = "name" + std::string(1, '\0') + identity.text;
    }
    ArchiveIdentity hash;
    hash.add(hashed.data(), hashed.size());
    identity.tag = hash.hex().substr(0, 16);
    return identity;
}

std::string readable_name(const std::filesystem::path &output)
{
    std::string name;
    for (char c : output.stem().u8string()) {
        const unsigned char unit = static_cast<unsigned char>(c);
        if (name.size() == 40)
            break;
        if ((unit & 0xC0) == 0x80)
            continue;  // one '_' for a whole character outside ASCII
        const bool plain = unit < 0x80 && std::isalnum(unit) != 0;
        name += plain || c == '-' || c == '_' || c == '.' ? c : '_';
    }
    // Windows drops a trailing dot from a folder name.
    while (!name.empty() && name.back() == '.')
        name.pop_back();
    return name.empty() ? "application" : name;
}

std::string progress_note(const UnpackSettings &settings,
                          const std::vector<std::pair<std::u16string, uint64_t>> &records)
{
    if (!settings.progress)
        return std::string(note_progress) + "=off\n";
    uint64_t bytes = 0;
    for (const auto &record : records)
        bytes += record.second;
    return records.empty() ? "" : std::string(note_progress) + "=" + std::to_string(bytes) + "\n";
}

std::string unpack_notes(const UnpackSettings &settings, const std::vector<std::string> &version_info,
                         const std::filesystem::path &output,
                         const std::vector<std::pair<std::u16string, uint64_t>> &records,
                         const std::vector<uint64_t> &hashes)
{
    const auto line = [](const char *key, const std::string &value) { return std::string(key) + "=" + value + "\n"; };
    if (!settings.reuse)
        return settings.spec.empty() ? "" : line(note_unpack_dir, settings.spec);
    const std::string name = readable_name(output);
    const std::string spec = settings.spec.empty() ? "{CACHE_DIR}\\VeskarOnefile\\" + name : settings.spec;
    const ApplicationIdentity application = application_identity(settings, version_info, output);
    // The launcher's own process is the default, written as no line.
    std::string notes = line(note_unpack_dir, spec) + line(note_reuse, "1") + line(note_name, name) +
                        (settings.process == "child" ? line(note_reuse_process, "child") : "") +
                        line(note_app_id, application.text) + line(note_app_id_from, application.source) +
                        line(note_application, application.tag);
    for (const auto &[record, size] : records) {
        std::string utf8;
        if (!utf16_to_utf8(record, utf8))
            throw PackError{"record '" + printable_name(record) + "' has no UTF-8 form, which --reuse needs"};
        notes += line(note_file, std::to_string(size) + " " + utf8);
    }
    std::string hex;
    for (uint64_t hash : hashes)
        hex += content_hash_hex(hash);
    return notes + line(note_file_hashes, hex);
}
