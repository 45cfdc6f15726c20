// The build notes: "key=value" UTF-8 lines that the packer writes into the
// launcher's own `.vskinfo` section (pack-time settings such as where to
// unpack, and where the attached data lies in the launcher's file). Only
// the keys of the table below are read, each into its field;
// a launcher without the section or a key keeps the default behaviour, and
// a value that does not fit its field is not taken.
#include "launcher.h"
#include "build_note_keys.h"

#include <string.h>

bool wide_from_utf8(const char *text, size_t length, wchar_t *target, size_t capacity)
{
    target[0] = L'\0';
    if (length == 0)
        return true;
    int units = length < capacity ? MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, static_cast<int>(length),
                                                        target, static_cast<int>(capacity - 1))
                                  : 0;
    check_or_abort(units >= 0 && static_cast<size_t>(units) < capacity);
    target[units] = L'\0';
    return units > 0;
}

static void store_unpack_path_spec(const char *value, size_t length)
{
    wide_from_utf8(value, length, launcher_state.unpack_path_spec, array_count(launcher_state.unpack_path_spec));
}

static void store_reuse(const char *value, size_t length)
{
    launcher_state.reuse_tree = length == 1 && value[0] == '1';
}

// "self" (the default) or "child".
static void store_reuse_process(const char *value, size_t length)
{
    launcher_state.reuse_in_child_process = length == 5 && memcmp(value, "child", 5) == 0;
}

// `length` lowercase hexadecimal digits into `target`, or nothing.
static void store_digits(char *target, size_t digits, const char *value, size_t length)
{
    if (length != digits)
        return;
    for (size_t i = 0; i < length; i++) {
        if (!((value[i] >= '0' && value[i] <= '9') || (value[i] >= 'a' && value[i] <= 'f')))
            return;
    }
    memcpy(target, value, length);
    target[length] = '\0';
}

static void store_archive_identity(const char *value, size_t length)
{
    store_digits(launcher_state.archive_identity, archive_identity_length, value, length);
}

static void store_application_tag(const char *value, size_t length)
{
    store_digits(launcher_state.application_tag, application_tag_length, value, length);
}

// 16 lowercase hexadecimal digits; a malformed value leaves 0, which names
// no attached data.
static uint64_t location_value(const char *value, size_t length)
{
    char digits[note_location_digits + 1] = "";
    store_digits(digits, note_location_digits, value, length);
    return hex_digits_value(digits, strlen(digits));
}

static void store_archive_offset(const char *value, size_t length)
{
    launcher_state.archive_offset = location_value(value, length);
}

static void store_archive_length(const char *value, size_t length)
{
    launcher_state.archive_length = location_value(value, length);
}

// 1 to writer_limit + 1 threads; 1 is the one-thread loop.
static void store_unpack_threads(const char *value, size_t length)
{
    if (length == 1 && value[0] >= '1' && value[0] <= '0' + static_cast<int>(writer_limit) + 1)
        launcher_state.unpack_threads = value[0] - '0';
}

// "exe": the first record is an ordinary program; absent, it is the
// application library.
static void store_entry(const char *value, size_t length)
{
    launcher_state.exe_entry = length == 3 && memcmp(value, "exe", 3) == 0;
}

// "off" (packed with --no-progress), or the bytes of the files to write.
static void store_progress(const char *value, size_t length)
{
    LauncherState &s = launcher_state;
    s.progress_off = length == 3 && memcmp(value, "off", 3) == 0;
    uint64_t total = 0;
    for (size_t i = 0; i < length; i++) {
        if (i == 19 || value[i] < '0' || value[i] > '9')
            return;  // not a count: nothing to measure against
        total = total * 10 + static_cast<uint64_t>(value[i] - '0');
    }
    s.progress_total = total;
}

struct NoteKey {
    const char *key;
    void (*store)(const char *value, size_t length);
};

// Whether the value is whole groups of `group` lowercase hexadecimal digits.
static bool is_hex_groups(const char *value, size_t length, size_t group)
{
    for (size_t i = 0; i < length; i++) {
        if (!((value[i] >= '0' && value[i] <= '9') || (value[i] >= 'a' && value[i] <= 'f')))
            return false;
    }
    return length % group == 0;
}

uint64_t hex_digits_value(const char *digits, size_t count)
{
    uint64_t value = 0;
    for (size_t i = 0; i < count; i++)
        value = value << 4 | static_cast<uint64_t>(digits[i] <= '9' ? digits[i] - '0' : digits[i] - 'a' + 10);
    return value;
}

// 16 lowercase hexadecimal digits per file line; anything else: none known.
static void store_file_hashes(const char *value, size_t length)
{
    if (!is_hex_groups(value, length, 16))
        return;
    launcher_state.file_hashes = value;
    launcher_state.file_hash_count = length / 16;
}

// 32 lowercase hexadecimal digits per frame; anything else: no index.
static void store_frames(const char *value, size_t length)
{
    if (!is_hex_groups(value, length, 32))
        return;
    launcher_state.frame_index = value;
    launcher_state.frame_count = length / 32;
}

static const NoteKey known_notes[] = {
    {note_archive_offset, store_archive_offset},
    {note_archive_length, store_archive_length},
    {note_unpack_dir, store_unpack_path_spec},
    {note_reuse, store_reuse},
    {note_reuse_process, store_reuse_process},
    {note_archive, store_archive_identity},
    {note_application, store_application_tag},
    {note_unpack_threads, store_unpack_threads},
    {note_entry, store_entry},
    {note_file_hashes, store_file_hashes},
    {note_frames, store_frames},
    {note_progress, store_progress},
};

bool next_build_note(const char *&cursor, const char *key, const char *&value, size_t &length)
{
    const LauncherState &s = launcher_state;
    const char *end = s.build_notes + s.build_notes_length;
    size_t key_length = strlen(key);
    while (cursor != nullptr && cursor < end) {
        const char *line = cursor;
        const char *line_end = static_cast<const char *>(memchr(line, '\n', static_cast<size_t>(end - line)));
        if (line_end == nullptr)
            line_end = end;
        cursor = line_end + 1;
        if (static_cast<size_t>(line_end - line) > key_length && memcmp(line, key, key_length) == 0 &&
            line[key_length] == '=') {
            value = line + key_length + 1;
            length = static_cast<size_t>(line_end - value);
            return true;
        }
    }
    return false;
}

void read_build_notes(const char *notes, uint64_t length)
{
    LauncherState &s = launcher_state;
    s.build_notes = notes;
    s.build_notes_length = length;
    for (const NoteKey &note : known_notes) {
        const char *cursor = notes;
        const char *value = nullptr;
        size_t value_length = 0;
        if (next_build_note(cursor, note.key, value, value_length))
            note.store(value, value_length);
    }
    // A tree is only reused under the names of a known archive and application.
    if (s.archive_identity[0] == '\0' || s.application_tag[0] == '\0')
        s.reuse_tree = false;
}
