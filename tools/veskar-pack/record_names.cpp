#include "record_names.h"
#include "archive_writer.h"

#include <utf8proc.h>

#include <cstdio>

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
        if (cp < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", cp < 0 ? static_cast<unsigned>(name[at]) : cp);
            out += escaped;
        } else {
            append_utf8(out, static_cast<uint32_t>(cp));
        }
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
    std::string ignored;
    if (!utf16_to_utf8(name, ignored))
        return "the name holds an unpaired UTF-16 surrogate";
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
        if ((u >= 0xD800 && u <= 0xDFFF) || u == 0xDF)
            continue;
        utf8proc_int32_t upper = utf8proc_toupper(u);
        if (upper <= 0xFFFF)
            u = static_cast<char16_t>(upper);
    }
    return key;
}

std::optional<WindowsNameSet::Clash> WindowsNameSet::add(const std::u16string &name, size_t index)
{
    size_t parent = 0;
    for (size_t start = 0;;) {
        size_t end = name.find(u'\\', start);
        bool last = end == std::u16string::npos;
        auto key = std::make_pair(parent, windows_case_key(name.substr(start, last ? end : end - start)));
        auto found = children.find(key);
        if (found == children.end()) {
            found = children.emplace(key, nodes.size()).first;
            nodes.push_back(Node{index, !last});
        } else {
            const Node &earlier = nodes[found->second];
            if (last || !earlier.folder)
                return Clash{earlier.index, last && !earlier.folder};
        }
        if (last)
            return std::nullopt;
        parent = found->second;
        start = end + 1;
    }
}
