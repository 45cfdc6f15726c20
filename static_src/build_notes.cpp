// The build notes: "key=value" UTF-8 lines that the packer writes into the
// launcher's own `.vskinfo` section (pack-time settings). Only the keys of
// the table below are read, each into its field; a launcher without the
// section or a key keeps the default behaviour, and a value that does not
// fit its field is not taken.
#include "launcher.h"

#include <string.h>

// 1 to writer_limit + 1 threads; 1 is the one-thread loop.
static void store_unpack_threads(const char *value, size_t length)
{
    if (length == 1 && value[0] >= '1' && value[0] <= '0' + static_cast<int>(writer_limit) + 1)
        launcher_state.unpack_threads = value[0] - '0';
}

struct NoteKey {
    const char *key;
    void (*store)(const char *value, size_t length);
};

static const NoteKey known_notes[] = {
    {"unpack_threads", store_unpack_threads},
};

void read_build_notes(const char *notes, uint64_t length)
{
    const char *end = notes + length;
    for (const char *line = notes; line < end;) {
        const char *line_end = static_cast<const char *>(memchr(line, '\n', static_cast<size_t>(end - line)));
        if (line_end == nullptr)
            line_end = end;
        for (const NoteKey &note : known_notes) {
            size_t key_length = strlen(note.key);
            if (static_cast<size_t>(line_end - line) > key_length && memcmp(line, note.key, key_length) == 0 &&
                line[key_length] == '=')
                note.store(line + key_length + 1, static_cast<size_t>(line_end - line) - key_length - 1);
        }
        line = line_end + 1;
    }
}
