// What a reused tree's archive packed, kept beside the tree as
// `<tree>.files`, so that another version taking the tree over knows which
// of its files the new archive packs too without reading them: a file
// stamped whole is its archive's record, so the same name, size and content
// hash in the new archive's notes mean the same bytes.
//
//   8 bytes   "VSKFILES"
//   8         the number of entries, N
//   24 x N    TreeManifestEntry, sorted by name hash
//   8         XXH64 of everything before it
//
// Written unflushed: one cut short or zeroed by a power cut fails its own
// hash, and the files are then read instead. A taking over in place removes
// the source's manifest before it changes anything, so no manifest ever
// describes a tree that was changed after it was written.
#include "launcher.h"
#include "build_note_keys.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#define XXH_STATIC_LINKING_ONLY
#include "common/xxhash.h"

static const char manifest_magic[8] = {'V', 'S', 'K', 'F', 'I', 'L', 'E', 'S'};

// Far beyond any archive the packer makes; a larger file is not read.
enum : uint64_t { manifest_entry_limit = 16u << 20 };

static const wchar_t manifest_suffix[] = L".files";

// FNV-1a of the name's UTF-16 units as packed, letter case kept: a name
// that differs only in case is another name here, and its file is written
// again rather than kept wrongly.
static uint64_t name_hash(const wchar_t *name)
{
    uint64_t hash = 14695981039346656037ull;
    for (; *name != L'\0'; name++)
        hash = (hash ^ static_cast<uint64_t>(*name)) * 1099511628211ull;
    return hash;
}

static int compare_entries(const void *a, const void *b)
{
    uint64_t x = static_cast<const TreeManifestEntry *>(a)->name_hash;
    uint64_t y = static_cast<const TreeManifestEntry *>(b)->name_hash;
    return x < y ? -1 : x > y ? 1 : 0;
}

// The manifest's path for `directory`, a tree or one of its working directories.
static void manifest_path(wchar_t (&path)[path_capacity], const wchar_t *directory)
{
    copy_wide_text(path, directory, array_count(path));
    size_t length = wcslen(path);
    if (length > working_suffix_length && path[length - working_suffix_length] == L'~')
        path[length - working_suffix_length] = L'\0';
    append_wide_text(path, manifest_suffix, array_count(path));
}

void write_tree_manifest(const wchar_t *tree)
{
    LauncherState &s = launcher_state;
    size_t count = 0;
    const char *cursor = s.build_notes;
    const char *value = nullptr;
    size_t length = 0;
    while (next_build_note(cursor, note_file, value, length))
        count++;
    if (count == 0 || count > manifest_entry_limit)
        return;
    size_t bytes = sizeof manifest_magic + 8 + count * sizeof(TreeManifestEntry) + 8;
    unsigned char *image = static_cast<unsigned char *>(malloc(bytes));
    if (image == nullptr)
        return;  // another version then reads the files it would keep
    TreeManifestEntry *entries = reinterpret_cast<TreeManifestEntry *>(image + 16);
    cursor = s.build_notes;
    size_t index = 0;
    for (; index < count && next_build_note(cursor, note_file, value, length); index++) {
        bool known = false;
        entries[index].content_hash = record_content_hash(index, known);
        if (!known || !read_file_note(value, length, entries[index].size, s.current_record_name,
                                      array_count(s.current_record_name)))
            break;
        entries[index].name_hash = name_hash(s.current_record_name);
    }
    if (index == count) {
        qsort(entries, count, sizeof *entries, compare_entries);
        memcpy(image, manifest_magic, sizeof manifest_magic);
        uint64_t stored_count = count;
        memcpy(image + 8, &stored_count, 8);
        uint64_t sum = XXH64(image, bytes - 8, 0);
        memcpy(image + bytes - 8, &sum, 8);
        wchar_t path[path_capacity];
        manifest_path(path, tree);
        SystemPath system;
        // The folder is the user's own and held: nobody else can plant a
        // link at the name.
        HANDLE file = CreateFileW(system_path(system, path), GENERIC_WRITE, 0, private_directory_security(),
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr);
        DWORD written = 0;
        bool whole = file != INVALID_HANDLE_VALUE && WriteFile(file, image, static_cast<DWORD>(bytes), &written, nullptr) &&
                     written == bytes;
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        if (!whole)
            DeleteFileW(system_path(system, path));
    }
    free(image);
}

void load_takeover_manifest(const wchar_t *source)
{
    LauncherState &s = launcher_state;
    s.takeover_manifest = nullptr;
    s.takeover_manifest_count = 0;
    wchar_t path[path_capacity];
    manifest_path(path, source);
    SystemPath system;
    // Sharing deletion: a takeover in place must always be able to remove
    // a manifest that another start is reading.
    HANDLE file = CreateFileW(system_path(system, path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    LARGE_INTEGER size = {};
    unsigned char *image = nullptr;
    DWORD read = 0;
    bool whole = GetFileSizeEx(file, &size) && size.QuadPart >= 24 &&
                 static_cast<uint64_t>(size.QuadPart) <= 24 + manifest_entry_limit * sizeof(TreeManifestEntry) &&
                 (image = static_cast<unsigned char *>(malloc(static_cast<size_t>(size.QuadPart)))) != nullptr &&
                 ReadFile(file, image, static_cast<DWORD>(size.QuadPart), &read, nullptr) &&
                 read == static_cast<DWORD>(size.QuadPart);
    CloseHandle(file);
    uint64_t count = 0, sum = 0;
    if (whole) {
        memcpy(&count, image + 8, 8);
        memcpy(&sum, image + read - 8, 8);
    }
    if (!whole || memcmp(image, manifest_magic, sizeof manifest_magic) != 0 ||
        count != (read - 24) / sizeof(TreeManifestEntry) || (read - 24) % sizeof(TreeManifestEntry) != 0 ||
        XXH64(image, read - 8, 0) != sum) {
        free(image);
        return;
    }
    // The entries stay where they were read; the image is freed with the process.
    s.takeover_manifest = reinterpret_cast<TreeManifestEntry *>(image + 16);
    s.takeover_manifest_count = static_cast<size_t>(count);
}

bool manifest_vouches(const wchar_t *name, uint64_t size, uint64_t content_hash)
{
    const LauncherState &s = launcher_state;
    uint64_t hash = name_hash(name);
    size_t low = 0, high = s.takeover_manifest_count;
    while (low < high) {
        size_t middle = low + (high - low) / 2;
        if (s.takeover_manifest[middle].name_hash < hash)
            low = middle + 1;
        else
            high = middle;
    }
    // Two names of one hash: neither is vouched for.
    const TreeManifestEntry *entry = s.takeover_manifest + low;
    return low < s.takeover_manifest_count && entry->name_hash == hash &&
           (low + 1 == s.takeover_manifest_count || entry[1].name_hash != hash) && entry->size == size &&
           entry->content_hash == content_hash;
}

bool remove_tree_manifest(const wchar_t *directory)
{
    wchar_t path[path_capacity];
    manifest_path(path, directory);
    SystemPath system;
    return DeleteFileW(system_path(system, path)) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

bool is_manifest_name(const wchar_t *name, size_t &stem)
{
    size_t length = wcslen(name), suffix = array_count(manifest_suffix) - 1;
    stem = length - suffix;
    return length > suffix && wcscmp(name + stem, manifest_suffix) == 0;
}
