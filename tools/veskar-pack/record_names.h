// Record names: relative paths below the unpack directory, '\'-separated
// UTF-16. One set of rules for the names the packer writes and the names the
// inspecting commands accept, so nothing is packed that they would refuse.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// A name of at most 1023 units, each component of at most 255, the most
// a Windows file system holds in one name.
enum : size_t { max_record_name_units = 1023, max_component_units = 255 };

// UTF-8 to UTF-16; throws PackError naming `shown` on invalid UTF-8.
std::u16string utf8_to_utf16(const std::string &text, const std::string &shown);

// UTF-16 to UTF-8; false on an unpaired surrogate.
bool utf16_to_utf8(const std::u16string &text, std::string &out);

// The record name for a path relative to the application folder. Throws
// PackError naming `shown` when the name cannot be unpacked safely.
std::u16string record_name_for_path(const std::filesystem::path &relative, const std::string &shown);

// Whether Windows takes two record names for one file (letter case aside).
bool same_windows_name(const std::u16string &a, const std::u16string &b);

// Empty when `name` is a safe record name; otherwise what is wrong with it.
std::string record_name_problem(const std::u16string &name);

// A name for messages: UTF-8 where possible; unpaired surrogates and
// control characters as \uXXXX, so that no name can drive a terminal.
std::string printable_name(const std::u16string &name);

// UTF-8 text from a launcher (notes, version information) shown the same
// way; bytes that are not UTF-8 as \xHH.
std::string printable_text(const std::string &text);

// The record names of one archive as Windows file systems see them: letter
// case folded by simple upper-case mapping, and short (8.3) names as a
// volume that makes them may give them. Each component is held once, in
// the spelling first met, so memory grows with the distinct components and
// not with the names' full length.
class WindowsNameSet {
public:
    enum class ClashKind {
        same_file,        // the names differ only in case
        file_and_folder,  // one name is a file where the other needs a folder
        short_name,       // one has the form of the short name the other may get
    };
    struct Clash {
        size_t earlier;              // the index given with the earlier name
        ClashKind kind;
        std::u16string earlier_name;  // the earlier name, or the folder of it that clashes
    };
    // Adds a name given as valid by record_name_problem; reports an earlier
    // name that Windows could unpack onto this one, if any.
    std::optional<Clash> add(const std::u16string &name, size_t index);

    // About what the set holds in memory, in bytes.
    uint64_t held_bytes() const { return held; }

    struct Key {
        size_t parent;
        std::u16string component;
    };
    struct KeyHash {
        size_t operator()(const Key &key) const;
    };
    struct KeyEqual {
        bool operator()(const Key &a, const Key &b) const;
    };

private:
    struct Node {
        size_t index;
        size_t parent;
        bool folder;
        const std::u16string *component;  // the spelling first met, held by `children`
    };
    std::u16string path_of(size_t node) const;

    std::vector<Node> nodes{Node{0, 0, true, nullptr}};  // node 0: the folder everything unpacks into
    std::unordered_map<Key, size_t, KeyHash, KeyEqual> children;  // (parent node, component) -> node
    // (parent node, short-name key) -> the first node whose name has the
    // form of a short name, and the first whose name gets one.
    std::map<std::pair<size_t, std::u16string>, std::pair<size_t, size_t>> short_names;
    uint64_t held = 0;
};
