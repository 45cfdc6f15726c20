// `list --json` and `verify --json`: the same facts as the reports people
// read, as one JSON object on standard output for programs (the npm
// package's list() and verify() parse it). Keys are documented in
// docs/packing.md; a key once there keeps its meaning.
#include "inspect.h"
#include "archive_reader.h"
#include "archive_writer.h"
#include "build_note_keys.h"
#include "launcher_resources.h"
#include "launcher_writer.h"
#include "record_names.h"

#include <cstdio>

namespace fs = std::filesystem;

namespace {

// A JSON string: the text as it is where it is UTF-8, a byte that is not
// (only a crafted launcher's notes or version strings hold one) as U+FFFD,
// so that the output is always valid JSON; quotes, backslashes and control
// characters escaped.
std::string json_string(const std::string &text)
{
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
            try {
                utf8_to_utf16(text.substr(i, length), "");
                out += text.substr(i, length);
                i += length;
            } catch (const PackError &) {
                out += "\\ufffd";
                i++;
            }
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
        i++;
    }
    return out + "\"";
}

std::string json_name(const std::u16string &name)
{
    std::string text;
    utf16_to_utf8(name, text);  // the reader let only valid UTF-16 through
    return json_string(text);
}

std::string json_number(uint64_t value) { return std::to_string(value); }

// A string, or null where the launcher does not record one.
std::string json_optional(const std::string &text) { return text.empty() ? "null" : json_string(text); }

std::string json_strings(const std::vector<std::string> &values)
{
    std::string out = "[";
    for (const std::string &value : values)
        out += (out.size() > 1 ? ", " : "") + json_string(value);
    return out + "]";
}

} // namespace

void list_launcher_json(const fs::path &launcher, const fs::path &kit)
{
    PeImage image = open_launcher_image(launcher);
    const ArchiveLocation where = locate_archive(image);
    // The records are written as they are read, so that a launcher of any
    // number of files is listed in bounded memory.
    std::printf("{\n  \"launcher\": %s,\n  \"files\": [", json_string(launcher.u8string()).c_str());
    std::u16string entry;
    AttachedDataSummary summary = read_launcher(image, where, RecordVisitor{
        [&](const RecordInfo &r) {
            std::printf("%s\n    {\"name\": %s, \"size\": %s}", entry.empty() ? "" : ",", json_name(r.name).c_str(),
                        json_number(r.size).c_str());
            if (entry.empty())
                entry = r.name;
        },
        nullptr, nullptr});
    const std::map<std::string, std::string> notes =
        note_values(image, {note_level, note_entry, note_unpack_dir, note_reuse, note_archive, note_app_id_from,
                            note_app_id, note_reuse_process});
    auto note = [&](const char *key) { return value_of(notes, key); };
    const bool program = note(note_entry) == "exe";
    std::printf("\n  ],\n  \"entry\": {\"kind\": %s, \"name\": %s, \"arguments\": %s},\n",
                program ? "\"program\"" : "\"library\"", json_name(entry).c_str(),
                json_strings(program ? note_all(image, note_app_arg) : std::vector<std::string>()).c_str());
    const std::string level = note(note_level);
    std::printf("  \"fileBytes\": %s,\n  \"streamBytes\": %s,\n  \"frameBytes\": %s,\n  \"attachedBytes\": %s,\n"
                "  \"zstdWindow\": %s,\n  \"zstdLevel\": %s,\n",
                json_number(summary.content_bytes).c_str(), json_number(summary.stream_size).c_str(),
                json_number(summary.frame_size).c_str(), json_number(summary.attached_length).c_str(),
                json_number(summary.window_size).c_str(),
                level.find_first_not_of("0123456789") == std::string::npos && !level.empty() ? level.c_str() : "null");
    std::string reuse = "null";
    if (note(note_reuse) == "1")
        reuse = "{\"archiveIdentity\": " + json_string(note(note_archive)) +
                ", \"applicationId\": " + json_optional(note(note_app_id)) +
                ", \"applicationIdFrom\": " + json_optional(note(note_app_id_from)) + ", \"process\": " +
                json_string(program || note(note_reuse_process) == "child" ? "child" : "self") + "}";
    std::optional<FileRange> splash = find_resource(image, resource_rcdata, 28);
    std::printf("  \"unpackDir\": %s,\n  \"reuse\": %s,\n  \"splashBytes\": %s,\n",
                json_optional(note(note_unpack_dir)).c_str(), reuse.c_str(),
                splash ? json_number(splash->size).c_str() : "null");
    const std::string icon = icon_kind(image, kit);
    std::optional<FileRange> manifest_range = find_resource(image, resource_manifest, 1);
    std::optional<std::vector<uint8_t>> manifest =
        manifest_range ? read_resource(image, *manifest_range, 1 << 20) : std::nullopt;
    const std::string requested =
        manifest ? requested_execution_level(std::string(manifest->begin(), manifest->end())) : std::string();
    std::string version = "null";
    std::optional<FileRange> version_range = find_resource(image, resource_version, 1);
    if (std::optional<std::vector<uint8_t>> resource =
            version_range ? read_resource(image, *version_range, 0xFFFF) : std::nullopt) {
        version = "{";
        for (const auto &[key, value] : read_version_strings(*resource))
            version += (version.size() > 1 ? ", " : "") + json_string(key) + ": " + json_string(value);
        version += "}";
    }
    // The first word of the readable form: none, default, custom, present or damaged.
    std::printf("  \"icon\": %s,\n  \"subsystem\": %s,\n  \"executionLevel\": %s,\n  \"versionInfo\": %s\n}\n",
                json_string(icon.substr(0, icon.find(' '))).c_str(),
                image.subsystem == subsystem_console ? "\"console\""
                : image.subsystem == subsystem_gui   ? "\"gui\""
                                                     : "\"unknown\"",
                json_string(!manifest_range ? "no manifest" : requested.empty() ? "not requested" : requested).c_str(),
                version.c_str());
}

void verify_launcher_json(const fs::path &launcher)
{
    try {
        const VerifyVerdict verdict = verify_launcher(launcher, false);
        std::printf("{\"launcher\": %s, \"intact\": true, \"records\": %zu, \"fileBytes\": %s, \"signed\": %s}\n",
                    json_string(launcher.u8string()).c_str(), verdict.records,
                    json_number(verdict.content_bytes).c_str(), verdict.is_signed ? "true" : "false");
    } catch (const PackError &e) {
        // A damaged launcher still ends with the one line and status 1.
        std::printf("{\"launcher\": %s, \"intact\": false, \"problem\": %s}\n",
                    json_string(launcher.u8string()).c_str(), json_string(e.message).c_str());
        throw;
    }
}
