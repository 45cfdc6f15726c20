#include "launcher_resources.h"
#include "little_endian.h"
#include "pack_error.h"
#include "pe_image.h"
#include "record_names.h"

#include <algorithm>
#include <cstring>

const char *const version_info_keys[8] = {"FileVersion",     "ProductVersion", "ProductName",      "CompanyName",
                                          "FileDescription", "LegalCopyright", "OriginalFilename", "InternalName"};

enum : uint32_t { splash_resource_id = 28 };
enum : uint16_t { resource_language = 0x0409 };  // US English, with code page 1200 (UTF-16) in the version strings


// "1.2.3" as the two 32-bit halves of a fixed version, missing parts 0;
// nothing when it is not 1 to 4 dot-separated numbers 0-65535.
static std::optional<uint64_t> parse_version(const std::string &text)
{
    uint64_t version = 0;
    int parts = 0;
    size_t at = 0;
    for (;;) {
        size_t end = text.find('.', at);
        std::string part = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (part.empty() || part.size() > 5 || part.find_first_not_of("0123456789") != std::string::npos ||
            std::stoul(part) > 65535 || ++parts > 4)
            return std::nullopt;
        version |= static_cast<uint64_t>(std::stoul(part)) << (48 - 16 * (parts - 1));
        if (end == std::string::npos)
            return version;
        at = end + 1;
    }
}

void add_version_info(VersionInfo &info, const std::string &key_value)
{
    size_t equals = key_value.find('=');
    std::string key = key_value.substr(0, equals);
    if (equals == std::string::npos)
        throw PackError{"--version-info '" + key_value + "' is not KEY=VALUE"};
    if (std::find_if(std::begin(version_info_keys), std::end(version_info_keys),
                     [&](const char *k) { return key == k; }) == std::end(version_info_keys))
        throw PackError{"--version-info key '" + key + "' is not one of FileVersion, ProductVersion, ProductName, "
                        "CompanyName, FileDescription, LegalCopyright, OriginalFilename, InternalName"};
    std::string value = key_value.substr(equals + 1);
    if ((key == "FileVersion" || key == "ProductVersion") && !parse_version(value))
        throw PackError{"--version-info " + key + " '" + value + "' is not 1 to 4 dot-separated numbers from 0 to "
                        "65535, such as 1.2.0.7"};
    utf8_to_utf16(value, "--version-info " + key);
    if (!info.strings.emplace(key, value).second)
        throw PackError{"--version-info " + key + " is given twice: give each key once"};
}

bool is_execution_level(const std::string &level)
{
    return level == "asInvoker" || level == "highestAvailable" || level == "requireAdministrator";
}

void check_execution_level(const std::string &level)
{
    if (!is_execution_level(level))
        throw PackError{"--execution-level '" + level + "' is not asInvoker, highestAvailable or requireAdministrator"};
}

// Where the level attribute's value lies in the manifest: its offset and
// length; nothing when there is no such attribute.
static std::optional<std::pair<size_t, size_t>> execution_level_value(const std::string &manifest)
{
    const size_t element = manifest.find("requestedExecutionLevel");
    const size_t end = manifest.find('>', element);
    if (element == std::string::npos || end == std::string::npos)
        return std::nullopt;
    for (size_t at = manifest.find("level", element); at < end; at = manifest.find("level", at + 1)) {
        size_t p = manifest.find_first_not_of(" \t\r\n", at + 5);
        const char before = manifest[at - 1];
        if ((before != ' ' && before != '\t' && before != '\r' && before != '\n') || p >= end || manifest[p] != '=')
            continue;
        p = manifest.find_first_not_of(" \t\r\n", p + 1);
        if (p >= end || (manifest[p] != '"' && manifest[p] != '\''))
            continue;
        const size_t close = manifest.find(manifest[p], p + 1);
        if (close < end)
            return std::pair{p + 1, close - p - 1};
    }
    return std::nullopt;
}

std::string requested_execution_level(const std::string &manifest)
{
    const std::optional<std::pair<size_t, size_t>> value = execution_level_value(manifest);
    return value ? manifest.substr(value->first, value->second) : std::string();
}

std::string manifest_with_level(const std::string &manifest, const std::string &level)
{
    const std::optional<std::pair<size_t, size_t>> value = execution_level_value(manifest);
    if (!value)
        throw PackError{"the launcher kit's manifest has no requestedExecutionLevel: reinstall the kit"};
    std::string out = manifest;
    out.replace(value->first, value->second, level);
    return out;
}

namespace {

// VS_VERSIONINFO is a tree of nodes: length, value length, type (0 binary,
// 1 text), a UTF-16 key, the value and the children, each 32-bit aligned.
size_t open_node(std::vector<uint8_t> &b, const std::u16string &key, uint32_t value_length, uint32_t type)
{
    while (b.size() % 4)
        b.push_back(0);
    size_t start = b.size();
    put_le16(b, 0);
    put_le16(b, value_length);
    put_le16(b, type);
    for (char16_t unit : key + u'\0')
        put_le16(b, unit);
    while (b.size() % 4)
        b.push_back(0);
    return start;
}

void close_node(std::vector<uint8_t> &b, size_t start)
{
    size_t length = b.size() - start;
    b[start] = static_cast<uint8_t>(length);
    b[start + 1] = static_cast<uint8_t>(length >> 8);
}

std::vector<uint8_t> version_resource(const VersionInfo &info)
{
    auto fixed = [&](const char *key) {
        auto it = info.strings.find(key);
        return it == info.strings.end() ? 0 : *parse_version(it->second);
    };
    std::vector<uint8_t> b;
    size_t root = open_node(b, u"VS_VERSION_INFO", 52, 0);
    const uint64_t file_version = fixed("FileVersion"), product_version = fixed("ProductVersion");
    for (uint32_t field : {0xFEEF04BDu, 0x00010000u, static_cast<uint32_t>(file_version >> 32),
                           static_cast<uint32_t>(file_version), static_cast<uint32_t>(product_version >> 32),
                           static_cast<uint32_t>(product_version), 0x3Fu, 0u,
                           0x00040004u,  // VOS_NT_WINDOWS32
                           1u,           // VFT_APP
                           0u, 0u, 0u})
        put_le32(b, field);
    size_t string_info = open_node(b, u"StringFileInfo", 0, 1);
    size_t table = open_node(b, u"040904b0", 0, 1);
    for (const char *key : version_info_keys) {
        auto it = info.strings.find(key);
        if (it == info.strings.end())
            continue;
        std::u16string value = utf8_to_utf16(it->second, key);
        size_t node = open_node(b, utf8_to_utf16(key, key), static_cast<uint32_t>(value.size() + 1), 1);
        for (char16_t unit : value + u'\0')
            put_le16(b, unit);
        close_node(b, node);
    }
    close_node(b, table);
    close_node(b, string_info);
    size_t var_info = open_node(b, u"VarFileInfo", 0, 1);
    size_t translation = open_node(b, u"Translation", 4, 0);
    put_le32(b, resource_language | 1200u << 16);
    close_node(b, translation);
    close_node(b, var_info);
    close_node(b, root);
    if (b.size() > 0xFFFF)
        throw PackError{"the --version-info texts are too long for a version resource: shorten them"};
    return b;
}

struct Resource {
    uint32_t type, id;
    std::vector<uint8_t> bytes;
};

} // namespace

std::vector<uint8_t> resource_section(const LauncherResources &r, uint32_t rva)
{
    std::vector<Resource> resources;
    std::vector<uint8_t> group{0, 0, 1, 0};
    put_le16(group, static_cast<uint32_t>(r.icon.size()));
    for (size_t i = 0; i < r.icon.size(); i++) {
        resources.push_back(Resource{resource_icon, static_cast<uint32_t>(i + 1), r.icon[i].data});
        group.insert(group.end(), r.icon[i].fields.begin(), r.icon[i].fields.end());
        put_le32(group, static_cast<uint32_t>(r.icon[i].data.size()));
        put_le16(group, static_cast<uint32_t>(i + 1));
    }
    resources.push_back(Resource{resource_group_icon, 1, group});
    resources.push_back(Resource{resource_manifest, 1, std::vector<uint8_t>(r.manifest.begin(), r.manifest.end())});
    if (!r.splash.empty())
        resources.push_back(Resource{resource_rcdata, splash_resource_id, r.splash});
    if (r.version)
        resources.push_back(Resource{resource_version, 1, version_resource(*r.version)});
    else if (!r.copied_version.empty())
        resources.push_back(Resource{resource_version, 1, r.copied_version});
    std::sort(resources.begin(), resources.end(),
              [](const Resource &a, const Resource &b) { return a.type != b.type ? a.type < b.type : a.id < b.id; });

    // Three directory levels (type, id, language), then the data entries,
    // then the data, each item 8-aligned.
    std::vector<uint32_t> types;
    for (const Resource &e : resources) {
        if (types.empty() || types.back() != e.type)
            types.push_back(e.type);
    }
    auto directory_size = [](size_t entries) { return static_cast<uint32_t>(16 + 8 * entries); };
    auto of_type = [&](uint32_t t) {
        return static_cast<size_t>(
            std::count_if(resources.begin(), resources.end(), [&](const Resource &e) { return e.type == t; }));
    };
    const uint32_t count = static_cast<uint32_t>(resources.size());
    const uint32_t id_start = directory_size(types.size());
    uint32_t language_start = id_start;
    for (uint32_t t : types)
        language_start += directory_size(of_type(t));
    const uint32_t entries_start = language_start + directory_size(1) * count;
    const uint32_t data_start = entries_start + 16 * count;

    std::vector<uint8_t> b;
    auto directory = [&](size_t entries) {
        for (int i = 0; i < 12; i++)
            b.push_back(0);  // characteristics, time stamp and version stay 0
        put_le16(b, 0);
        put_le16(b, static_cast<uint32_t>(entries));
    };
    directory(types.size());
    uint32_t id_directory = id_start;
    for (uint32_t t : types) {
        put_le32(b, t);
        put_le32(b, 0x80000000u | id_directory);  // high bit: the entry leads to another directory
        id_directory += directory_size(of_type(t));
    }
    uint32_t index = 0;
    for (uint32_t t : types) {
        directory(of_type(t));
        for (size_t i = 0; i < of_type(t); i++, index++) {
            put_le32(b, resources[index].id);
            put_le32(b, 0x80000000u | (language_start + directory_size(1) * index));
        }
    }
    for (uint32_t i = 0; i < count; i++) {
        directory(1);
        put_le32(b, resource_language);
        put_le32(b, entries_start + 16 * i);
    }
    size_t data = data_start;
    for (const Resource &e : resources) {
        put_le32(b, rva + static_cast<uint32_t>(data));
        put_le32(b, static_cast<uint32_t>(e.bytes.size()));
        put_le32(b, 0);
        put_le32(b, 0);
        data += (e.bytes.size() + 7) / 8 * 8;
    }
    for (const Resource &e : resources) {
        b.insert(b.end(), e.bytes.begin(), e.bytes.end());
        while (b.size() % 8)
            b.push_back(0);
    }
    return b;
}

namespace {

struct NodeView {
    std::u16string key;
    size_t value, value_bytes, children, end;  // offsets into the resource
};

// The node at `at`, within `limit`; nothing when it does not fit.
std::optional<NodeView> read_node(ByteSpan data, size_t at, size_t limit)
{
    if (at + 6 > limit)
        return std::nullopt;
    NodeView n;
    n.end = at + get_le16(data, at);
    uint32_t value_length = get_le16(data, at + 2), type = get_le16(data, at + 4);
    if (n.end > limit || n.end < at + 6)
        return std::nullopt;
    size_t p = at + 6;
    for (; p + 2 <= n.end && get_le16(data, p) != 0; p += 2)
        n.key += static_cast<char16_t>(get_le16(data, p));
    p = (p + 2 + 3) / 4 * 4;
    n.value = p;
    n.value_bytes = type == 1 ? value_length * 2 : value_length;
    if (n.value + n.value_bytes > n.end)
        return std::nullopt;
    n.children = (n.value + n.value_bytes + 3) / 4 * 4;
    return n;
}

template <typename Visit> bool each_child(ByteSpan data, const NodeView &parent, Visit visit)
{
    for (size_t at = parent.children; at < parent.end; at = (at + 3) / 4 * 4) {
        std::optional<NodeView> child = read_node(data, at, parent.end);
        if (!child || child->end == at)
            return false;
        visit(*child);
        at = child->end;
    }
    return true;
}

} // namespace

std::vector<std::pair<std::string, std::string>> read_version_strings(const std::vector<uint8_t> &resource)
{
    const ByteSpan data = span_of(resource);
    std::vector<std::pair<std::string, std::string>> found;
    std::optional<NodeView> root = read_node(data, 0, data.size);
    if (!root || root->key != u"VS_VERSION_INFO")
        return found;
    each_child(data, *root, [&](const NodeView &info) {
        if (info.key != u"StringFileInfo")
            return;
        each_child(data, info, [&](const NodeView &table) {
            each_child(data, table, [&](const NodeView &entry) {
                std::u16string value;
                for (size_t p = entry.value; p + 2 <= entry.value + entry.value_bytes && get_le16(data, p); p += 2)
                    value += static_cast<char16_t>(get_le16(data, p));
                std::string key_text, value_text;
                utf16_to_utf8(entry.key, key_text);
                utf16_to_utf8(value, value_text);
                found.emplace_back(key_text, value_text);
            });
        });
    });
    return found;
}
