// Record names: relative paths below the unpack directory, '\'-separated
// UTF-16. One set of rules for the names the packer writes and the names the
// inspecting commands accept, so nothing is packed that they would refuse.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

enum : size_t { max_record_name_units = 1023 };

// UTF-8 to UTF-16; throws PackError naming `shown` on invalid UTF-8.
std::u16string utf8_to_utf16(const std::string &text, const std::string &shown);

// UTF-16 to UTF-8; false on an unpaired surrogate.
bool utf16_to_utf8(const std::u16string &text, std::string &out);

// The record name for a path relative to the application folder. Throws
// PackError naming `shown` when the name cannot be unpacked safely.
std::u16string record_name_for_path(const std::filesystem::path &relative, const std::string &shown);

// Empty when `name` is a safe record name; otherwise what is wrong with it.
std::string record_name_problem(const std::u16string &name);

// A name for messages: UTF-8 where possible, unpaired surrogates as \uXXXX.
std::string printable_name(const std::u16string &name);

// The record names of one archive as Windows file systems see them: letter
// case folded by simple upper-case mapping. add() reports an earlier name
// that Windows would unpack onto this one, if any.
struct WindowsNameSet {
    struct Clash {
        size_t earlier;  // the index given with the earlier name
        bool same_file;  // false: one name is a file where the other needs a folder
    };
    std::optional<Clash> add(const std::u16string &name, size_t index);

    struct Node {
        size_t index;
        bool folder;
    };
    std::vector<Node> nodes{Node{0, true}};  // node 0: the folder everything unpacks into
    // (parent node, folded component) -> node; one entry per component keeps
    // the set linear in the names' length however deep they go.
    std::map<std::pair<size_t, std::u16string>, size_t> children;
};
