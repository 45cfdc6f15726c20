#include "record_names.h"
#include "pack_error.h"

#include <utf8proc.h>

#include <cstdio>
#include <string_view>

namespace fs = std::filesystem;

std::u16string utf8_to_utf16(const std::string &text, const std::string &shown)
{
    const PackError invalid{"'" + shown + "' is not valid UTF-8: rename it"};
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        uint32_t cp;
        size_t extra;
        if (c < 0x80) { cp = c; extra = 0; }
        else if ((c & 0xE0) == 0xC0) { cp = c & 0x1F; extra = 1; }
        else if ((c & 0xF0) == 0xE0) { cp = c & 0x0F; extra = 2; }
        else if ((c & 0xF8) == 0xF0) { cp = c & 0x07; extra = 3; }
        else throw invalid;
        for (size_t k = 1; k <= extra; k++) {
            if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                throw invalid;
            cp = cp << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF have no UTF-16 form.
        static const uint32_t least[4] = {0, 0x80, 0x800, 0x10000};
        if (cp < least[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            throw invalid;
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

static void append_utf8(std::string &out, uint32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | cp >> 12);
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | cp >> 18);
        out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Decodes one code point at `i`, advancing it; -1 for an unpaired surrogate.
static int32_t next_code_point(const std::u16string &text, size_t &i)
{
    uint32_t u = text[i++];
    if (u >= 0xD800 && u <= 0xDBFF && i < text.size() && text[i] >= 0xDC00 && text[i] <= 0xDFFF)
        return static_cast<int32_t>(0x10000 + ((u - 0xD800) << 10) + (text[i++] - 0xDC00));
    if (u >= 0xD800 && u <= 0xDFFF)
        return -1;
    return static_cast<int32_t>(u);
}

bool utf16_to_utf8(const std::u16string &text, std::string &out)
{
    out.clear();
    for (size_t i = 0; i < text.size();) {
        int32_t cp = next_code_point(text, i);
        if (cp < 0)
            return false;
        append_utf8(out, static_cast<uint32_t>(cp));
    }
    return true;
}

std::string printable_name(const std::u16string &name)
{
    std::string out;
    for (size_t i = 0; i < name.size();) {
        size_t at = i;
        int32_t cp = next_code_point(name, i);
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", cp < 0 ? static_cast<unsigned>(name[at]) : cp);
            out += escaped;
        } else {
            append_utf8(out, static_cast<uint32_t>(cp));
        }
    }
    return out;
}

std::string printable_text(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size();) {
        // One code point at a time, through the converter names use.
        size_t length = 1;
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        if (lead >= 0xC0)
            length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        std::u16string unit;
        try {
            unit = utf8_to_utf16(text.substr(i, length), "");
        } catch (const PackError &) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", lead);
            out += escaped;
            i++;
            continue;
        }
        out += printable_name(unit);
        i += length;
    }
    return out;
}

// Windows cannot create these characters in a file name; ':' would also
// name an alternate data stream or a drive, '/' would act as a separator.
static bool forbidden_unit(char16_t u)
{
    return u < 0x20 || u == u':' || u == u'/' || u == u'<' || u == u'>' || u == u'"' || u == u'|' || u == u'?' ||
           u == u'*';
}

// Windows opens these names as devices, in any letter case and with any
// extension, as any component of a path: "nul.txt" or "a\Con .log\b"
// would write to a device, not into the folder. The same list as the
// launcher's.
static const char16_t *const windows_device_names[] = {
    u"CON", u"PRN", u"AUX", u"NUL",
    u"COM0", u"COM1", u"COM2", u"COM3", u"COM4", u"COM5", u"COM6", u"COM7", u"COM8", u"COM9",
    u"COM\u00B9", u"COM\u00B2", u"COM\u00B3",
    u"LPT0", u"LPT1", u"LPT2", u"LPT3", u"LPT4", u"LPT5", u"LPT6", u"LPT7", u"LPT8", u"LPT9",
    u"LPT\u00B9", u"LPT\u00B2", u"LPT\u00B3",
};

// The part before the first dot is what Windows compares, without the
// spaces it strips before an extension ("CON .txt" is CON).
static bool is_windows_device_name(const std::u16string &component)
{
    std::u16string base = component.substr(0, component.find(u'.'));
    while (!base.empty() && base.back() == u' ')
        base.pop_back();
    for (char16_t &u : base) {
        if (u >= u'a' && u <= u'z')
            u = static_cast<char16_t>(u - u'a' + u'A');
    }
    for (const char16_t *device : windows_device_names) {
        if (base == device)
            return true;
    }
    return false;
}

std::string record_name_problem(const std::u16string &name)
{
    if (name.empty())
        return "the name is empty";
    if (name.size() > max_record_name_units)
        return "the name is longer than " + std::to_string(max_record_name_units) + " UTF-16 units";
    if (name[0] == u'\\')
        return "the name is absolute (it starts with a separator)";
    if (name.size() >= 2 && name[1] == u':')
        return "the name starts with a drive";
    if (name.find(u':') != std::u16string::npos)
        return "the name holds a ':', which Windows takes for a drive or a stream";
    for (size_t i = 0; i < name.size();) {
        if (next_code_point(name, i) < 0)
            return "the name holds an unpaired UTF-16 surrogate";
    }
    size_t start = 0;
    for (size_t i = 0; i <= name.size(); i++) {
        if (i < name.size() && name[i] != u'\\') {
            if (forbidden_unit(name[i]))
                return "the name holds a character that Windows file names cannot hold (':', '/', control "
                       "characters or <>\"|?*)";
            continue;
        }
        std::u16string part = name.substr(start, i - start);
        if (part.empty())
            return "the name has an empty component";
        if (part == u"." || part == u"..")
            return "the name has a '.' or '..' component";
        if (part.size() > max_component_units)
            return "a component of the name is longer than " + std::to_string(max_component_units) +
                   " UTF-16 units, more than a Windows file system holds";
        // Windows drops trailing dots and spaces, so "a." and "a" would be one file.
        if (part.back() == u'.' || part.back() == u' ')
            return "a component of the name ends in a dot or a space, which Windows drops";
        if (is_windows_device_name(part))
            return "'" + printable_name(part) + "' is a Windows device name (CON, PRN, AUX, NUL, COM0-COM9, "
                   "LPT0-LPT9), with or without an extension, which Windows opens as a device, not a file";
        start = i + 1;
    }
    return {};
}

std::u16string record_name_for_path(const fs::path &relative, const std::string &shown)
{
    std::u16string name;
    for (const fs::path &component : relative) {
        if (!name.empty())
            name.push_back(u'\\');
        const std::string part = component.u8string();
        if (part.find('\\') != std::string::npos)
            throw PackError{"'" + shown + "' has a '\\' in a file name, which Windows takes as a separator: rename it"};
        name += utf8_to_utf16(part, shown);
    }
    std::string problem = record_name_problem(name);
    if (!problem.empty())
        throw PackError{"'" + shown + "' cannot be packed: " + problem};
    return name;
}

// NTFS and FAT compare names through a table of 65536 upper-case units:
// each unit's simple upper-case mapping (so "straße" stays apart from
// "STRASSE"), while surrogate pairs, outside the table, compare as they are.
// utf8proc maps U+00DF to U+1E9E, which Unicode's simple mapping and
// Windows do not: there "ß" is its own capital.
static std::u16string windows_case_key(const std::u16string &component)
{
    std::u16string key = component;
    for (char16_t &u : key) {
        if (u < 0x80) {  // most names: no table needed
            if (u >= u'a' && u <= u'z')
                u = static_cast<char16_t>(u - u'a' + u'A');
            continue;
        }
        if ((u >= 0xD800 && u <= 0xDFFF) || u == 0xDF)
            continue;
        utf8proc_int32_t upper = utf8proc_toupper(u);
        if (upper <= 0xFFFF)
            u = static_cast<char16_t>(upper);
    }
    return key;
}

bool same_windows_name(const std::u16string &a, const std::u16string &b)
{
    return a.size() == b.size() && windows_case_key(a) == windows_case_key(b);
}

size_t WindowsNameSet::KeyHash::operator()(const Key &key) const
{
    return std::hash<std::u16string>()(windows_case_key(key.component)) ^ std::hash<size_t>()(key.parent) * 31;
}

bool WindowsNameSet::KeyEqual::operator()(const Key &a, const Key &b) const
{
    return a.parent == b.parent && a.component.size() == b.component.size() &&
           windows_case_key(a.component) == windows_case_key(b.component);
}

// Characters a short (8.3) name may hold besides letters and digits.
static bool short_name_unit(char16_t u)
{
    return (u >= u'A' && u <= u'Z') || (u >= u'a' && u <= u'z') || (u >= u'0' && u <= u'9') ||
           std::u16string_view(u"!#$%&'()-@^_`{}~").find(u) != std::u16string_view::npos;
}

static char16_t ascii_upper(char16_t u) { return u >= u'a' && u <= u'z' ? static_cast<char16_t>(u - 32) : u; }

// What a short name and the long name it may stand for share: the first
// one or two characters of the base, upper case, and the extension's first
// three. A volume that makes short names gives a long name BASE~N.EXT, from
// the first six characters of its base, or, past a few, two characters and
// a hash; so a name of that form may be another's. Empty for a name of
// neither kind: `tilde` says which it is.
static std::u16string short_name_key(const std::u16string &component, bool &tilde)
{
    const size_t dot = component.rfind(u'.');
    const std::u16string base = component.substr(0, dot), ext = dot == std::u16string::npos ? u"" : component.substr(dot + 1);
    bool valid = !base.empty() && base.size() <= 8 && ext.size() <= 3;
    for (char16_t u : component)
        valid = valid && (short_name_unit(u) || u == u'.');
    valid = valid && base.find(u'.') == std::u16string::npos;
    const size_t mark = base.rfind(u'~');
    tilde = valid && mark != std::u16string::npos && mark > 0 && mark + 1 < base.size() &&
            base.find_first_not_of(u"0123456789", mark + 1) == std::u16string::npos;
    if (valid && !tilde)
        return {};  // already a short name: the volume gives it no other
    // The characters a short name keeps: no spaces or dots, others as '_'.
    std::u16string kept, kept_ext;
    for (char16_t u : tilde ? base.substr(0, mark) : base) {
        if (u != u' ' && u != u'.')
            kept.push_back(short_name_unit(u) ? ascii_upper(u) : u'_');
    }
    for (char16_t u : ext) {
        if (u != u' ' && kept_ext.size() < 3)
            kept_ext.push_back(short_name_unit(u) ? ascii_upper(u) : u'_');
    }
    if (kept.empty())
        return {};
    return kept.substr(0, 2) + u'.' + kept_ext;
}

std::u16string WindowsNameSet::path_of(size_t node) const
{
    std::u16string path;
    for (; node != 0; node = nodes[node].parent)
        path = *nodes[node].component + (path.empty() ? u"" : u"\\") + path;
    return path;
}

std::optional<WindowsNameSet::Clash> WindowsNameSet::add(const std::u16string &name, size_t index)
{
    // About what a new node costs: its text, the map's entry and the node.
    enum : uint64_t { node_overhead = 112 };
    size_t parent = 0;
    for (size_t start = 0;;) {
        const size_t end = name.find(u'\\', start);
        const bool last = end == std::u16string::npos;
        const auto [found, inserted] =
            children.emplace(Key{parent, name.substr(start, last ? end : end - start)}, nodes.size());
        if (inserted) {
            const std::u16string &component = found->first.component;
            bool tilde = false;
            const std::u16string short_key = short_name_key(component, tilde);
            held += component.size() * 2 + node_overhead;
            nodes.push_back(Node{index, parent, !last, &component});
            if (!short_key.empty()) {
                const size_t none = 0;  // node 0 is never a component
                auto [seen, made] = short_names.try_emplace({parent, short_key}, none, none);
                if (made)
                    held += short_key.size() * 2 + node_overhead;
                size_t &mine = tilde ? seen->second.first : seen->second.second;
                const size_t other = tilde ? seen->second.second : seen->second.first;
                if (mine == none)
                    mine = found->second;
                if (other != none)
                    return Clash{nodes[other].index, ClashKind::short_name, path_of(other)};
            }
        } else {
            const Node &earlier = nodes[found->second];
            if (last || !earlier.folder)
                return Clash{earlier.index,
                             last && !earlier.folder ? ClashKind::same_file : ClashKind::file_and_folder,
                             path_of(found->second)};
        }
        if (last)
            return std::nullopt;
        parent = found->second;
        start = end + 1;
    }
}
