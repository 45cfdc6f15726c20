// `list --json` and `verify --json`: the same facts as the reports people
// read, as one JSON object on standard output for programs (the npm
// package's list() and verify() parse it). Keys are documented in
// docs/packing.md; a key once there keeps its meaning.
#include "inspect.h"
#include "archive_reader.h"
#include "archive_writer.h"
#include "launcher_resources.h"
#include "launcher_writer.h"
#include "record_names.h"

#include <cstdio>

namespace fs = std::filesystem;

namespace {

// A JSON string: the bytes as they are (UTF-8), with quotes, backslashes
// and control characters escaped.
std::string json_string(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
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
    PeImage image = read_pe_image(launcher);
    std::string files = "[";
    std::u16string entry;
    AttachedDataSummary summary = read_launcher(image, RecordVisitor{
        [&](const RecordInfo &r) {
            if (entry.empty())
                entry = r.name;
            files += std::string(files.size() > 1 ? ",\n    " : "\n    ") + "{\"name\": " + json_name(r.name) +
                     ", \"size\": " + json_number(r.size) + "}";
        },
        nullptr, nullptr});
    files += "\n  ]";
    const bool program = build_note(image, "entry") == "exe";
    std::string reuse = "null";
    if (build_note(image, "reuse") == "1") {
        reuse = "{\"archiveIdentity\": " + json_string(build_note(image, "archive")) +
                ", \"applicationId\": " + json_optional(build_note(image, "app_id")) +
                ", \"applicationIdFrom\": " + json_optional(build_note(image, "app_id_from")) +
                ", \"process\": " + json_string(build_note(image, "reuse_process") == "child" ? "child" : "self") +
                "}";
    }
    std::optional<ByteSpan> splash = find_resource(image, resource_rcdata, 28);
    const std::string icon = icon_kind(image, kit);
    std::string version = "null";
    if (std::optional<ByteSpan> resource = find_resource(image, resource_version, 1)) {
        version = "{";
        for (const auto &[key, value] : read_version_strings(resource->data, resource->size))
            version += (version.size() > 1 ? ", " : "") + json_string(key) + ": " + json_string(value);
        version += "}";
    }
    const std::string level = build_note(image, "level");
    std::printf("{\n  \"launcher\": %s,\n  \"files\": %s,\n", json_string(launcher.u8string()).c_str(), files.c_str());
    std::printf("  \"entry\": {\"kind\": %s, \"name\": %s, \"arguments\": %s},\n",
                program ? "\"program\"" : "\"library\"", json_name(entry).c_str(),
                program ? json_strings(build_notes(image, "app_arg")).c_str() : "[]");
    std::printf("  \"fileBytes\": %s,\n  \"streamBytes\": %s,\n  \"frameBytes\": %s,\n  \"attachedBytes\": %s,\n"
                "  \"zstdWindow\": %s,\n  \"zstdLevel\": %s,\n",
                json_number(summary.content_bytes).c_str(), json_number(summary.stream_size).c_str(),
                json_number(summary.frame_size).c_str(), json_number(summary.attached_length).c_str(),
                json_number(summary.window_size).c_str(), level.empty() ? "null" : level.c_str());
    std::printf("  \"unpackDir\": %s,\n  \"reuse\": %s,\n  \"splashBytes\": %s,\n",
                json_optional(build_note(image, "unpack_dir")).c_str(), reuse.c_str(),
                splash ? json_number(splash->size).c_str() : "null");
    // The first word of the readable form: none, default, custom, present or damaged.
    std::printf("  \"icon\": %s,\n  \"subsystem\": %s,\n  \"executionLevel\": %s,\n  \"versionInfo\": %s\n}\n",
                json_string(icon.substr(0, icon.find(' '))).c_str(),
                image.subsystem == 3 ? "\"console\"" : image.subsystem == 2 ? "\"gui\"" : "\"unknown\"",
                json_string(execution_level(image)).c_str(), version.c_str());
}

void verify_launcher_json(const fs::path &launcher)
{
    std::string problem;
    AttachedDataSummary summary;
    try {
        summary = read_launcher(read_pe_image(launcher), RecordVisitor{});
    } catch (const PackError &e) {
        problem = e.message;
    }
    std::printf("{\"launcher\": %s, \"intact\": %s, ", json_string(launcher.u8string()).c_str(),
                problem.empty() ? "true" : "false");
    if (problem.empty())
        std::printf("\"records\": %zu, \"fileBytes\": %s}\n", summary.records,
                    json_number(summary.content_bytes).c_str());
    else
        std::printf("\"problem\": %s}\n", json_string(problem).c_str());
    // A damaged launcher still ends with the one line and status 1.
    if (!problem.empty())
        throw PackError{problem};
}
