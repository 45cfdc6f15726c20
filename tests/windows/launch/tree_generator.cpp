// Writes, at build time, the trees that the unpacking tests pack: files of
// awkward sizes, deep and non-ASCII names, more directories than the
// launcher's directory cache holds, and a manifest.txt with each file's size
// and fingerprint (the probe application's "verify" mode checks against it).
//
//   tree_generator TREE_DIR OVERWRITE_DIR
//
// OVERWRITE_DIR receives big.bin, small.bin and a manifest for an archive
// that writes same\file.bin twice, the smaller content last.
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <string>
#include <vector>

static uint64_t fingerprint(const std::string &bytes)
{
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char byte : bytes)
        hash = (hash ^ byte) * 1099511628211ull;
    return hash;
}

// Every byte value, zero and line breaks included, in a sequence that
// differs from file to file.
static std::string content(size_t size, uint32_t seed)
{
    std::string bytes(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; i++) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = static_cast<char>(state & 0xFF);
    }
    return bytes;
}

static std::wstring wide(const std::string &text)
{
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size);
    return out;
}

static void fail(const std::string &what)
{
    fprintf(stderr, "tree_generator: %s\n", what.c_str());
    exit(1);
}

static void make_parents(const std::wstring &path)
{
    for (size_t at = path.find(L'\\'); at != std::wstring::npos; at = path.find(L'\\', at + 1))
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
}

static void write_bytes(const std::wstring &path, const std::string &bytes)
{
    make_parents(path);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    if (file == INVALID_HANDLE_VALUE || !WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size())
        fail("cannot write a file below the output folder");
    CloseHandle(file);
}

static std::string manifest_line(const std::string &name, const std::string &bytes)
{
    char head[64];
    snprintf(head, sizeof head, "%llu %016llx ", static_cast<unsigned long long>(bytes.size()),
             static_cast<unsigned long long>(fingerprint(bytes)));
    return head + name + "\n";
}

int main(int argc, char **argv)
{
    if (argc != 3)
        fail("usage: tree_generator TREE_DIR OVERWRITE_DIR");
    std::wstring tree = wide(argv[1]), overwrite = wide(argv[2]);
    struct File {
        std::string name;  // UTF-8, "\" separators
        size_t size;
    };
    std::vector<File> files = {
        {"empty.bin", 0},
        {"one.bin", 1},
        {"chunk_exact.bin", 32768},
        {"chunk_plus_one.bin", 32769},
        {"window_exact.bin", 131072},
        {"large.bin", 5 * 1024 * 1024 + 3},
        {"nested\\deeper\\deepest\\leaf.bin", 1000},
        {"nested\\deeper\\sibling.bin", 77},
        {"\xc3\xa0 la fran\xc3\xa7" "aise\\\xc3\x89t\xc3\xa9 na\xc3\xafve.txt", 300},
        {"\xd0\xba\xd0\xb8\xd1\x80\xd0\xb8\xd0\xbb\xd0\xbb\xd0\xb8\xd1\x86\xd0\xb0\\\xd1\x84\xd0\xb0\xd0\xb9\xd0\xbb.txt", 301},
        {"\xe6\xbc\xa2\xe5\xad\x97\\\xe6\x96\x87\xe5\xad\x97\xe5\x88\x97.txt", 302},
        {"\xf0\x9f\x98\x80 outside the BMP.bin", 303},
    };
    // Past the 1024 entries of the created-directory cache, in two levels.
    for (int i = 0; i < 1100; i++) {
        char name[64];
        snprintf(name, sizeof name, "many\\d%02d\\e%04d\\f.bin", i / 100, i);
        files.push_back({name, static_cast<size_t>(i % 37)});
    }

    std::string manifest;
    uint32_t seed = 1;
    for (const File &file : files) {
        std::string bytes = content(file.size, seed++);
        write_bytes(tree + L"\\" + wide(file.name), bytes);
        manifest += manifest_line(file.name, bytes);
    }
    write_bytes(tree + L"\\manifest.txt", manifest);

    std::string big = content(100000, 7777), small = content(10, 8888);
    write_bytes(overwrite + L"\\big.bin", big);
    write_bytes(overwrite + L"\\small.bin", small);
    write_bytes(overwrite + L"\\manifest.txt", manifest_line("same\\file.bin", small));
    return 0;
}
