// A new tree made from what an older one already holds. Beside a tree go
// the application's other versions and working directories of killed or
// earlier unpacks; a file of one that has the packed size and content is
// used instead of written again:
//
//   nobody holds it   taken over in place: renamed to a fresh working
//                     name (the run's from then on, like an unpack of its
//                     own), what differs written (the old file deleted
//                     first), what the archive does not hold removed, then
//                     published like a first unpack
//   a launcher holds  nothing of it changes: a fresh working directory
//   it                gets a hard link to each unchanged file that is no
//                     executable image (written from the archive where a
//                     link fails), and the old tree goes once it is free
//
// Held is decided by the open that takes it: delete access without sharing
// deletion fails while any launcher holds the root (held_access shares no
// deletion), and once it succeeds no launcher can begin to hold it.
// A file of the same archive that is stamped durable or in this boot is
// whole; any other is read back and compared with its content hash.
#include "launcher.h"
#include "build_note_keys.h"
#include "error_reporting.h"

#include <stdlib.h>
#include <wchar.h>

static void remove_what_the_archive_lacks();

// The folder holding `tree`, and its name in it.
static const wchar_t *split_tree_path(const wchar_t *tree, wchar_t (&folder)[path_capacity])
{
    copy_wide_text(folder, tree, array_count(folder));
    wchar_t *separator = wcsrchr(folder, L'\\');
    check_or_abort(separator != nullptr);
    *separator = L'\0';
    return separator + 1;
}

// Whether the directory's 16 archive digits after `stem_length` are this archive's.
static bool of_this_archive(const wchar_t *name, size_t stem_length)
{
    for (size_t i = 0; i < identity_digits_in_name; i++) {
        if (name[stem_length + i] != static_cast<wchar_t>(launcher_state.archive_identity[i]))
            return false;
    }
    return true;
}

// The directory at `path`, held for a takeover in place: delete access,
// sharing no deletion. INVALID_HANDLE_VALUE when a launcher holds it, it
// is no private directory, or it went.
static HANDLE take_directory(const wchar_t *path)
{
    HANDLE taken = open_directory(path, DELETE | held_access | inspect_access, held_share);
    if (taken != INVALID_HANDLE_VALUE && !directory_is_private(taken, false)) {
        CloseHandle(taken);
        return INVALID_HANDLE_VALUE;
    }
    return taken;
}

// Picks what to take over beside `tree`: the damaged tree itself first,
// then working directories of this archive (a killed unpack), then any
// other version. The first that nobody holds is renamed to a fresh working
// name and owned; else the first private one held is the source of links.
static bool choose_takeover_source(const wchar_t *tree)
{
    LauncherState &s = launcher_state;
    wchar_t folder[path_capacity];
    const wchar_t *own_name = split_tree_path(tree, folder);
    size_t stem_length = version_stem_length(own_name);
    s.takeover_source[0] = L'\0';
    HANDLE taken = INVALID_HANDLE_VALUE;
    for (int round = 0; round < 3 && taken == INVALID_HANDLE_VALUE; round++) {
        wchar_t pattern[path_capacity];
        copy_wide_text(pattern, round == 0 ? tree : folder, array_count(pattern));
        if (round > 0)
            append_wide_text(pattern, L"\\*", array_count(pattern));
        WIN32_FIND_DATAW entry;
        SystemPath system;
        HANDLE search = FindFirstFileExW(system_path(system, pattern), FindExInfoBasic, &entry,
                                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
        if (search == INVALID_HANDLE_VALUE)
            continue;
        do {
            const wchar_t *name = entry.cFileName;
            bool wanted = round == 0 || (is_version_name(name, own_name, stem_length) &&
                                         of_this_archive(name, stem_length) == (round == 1));
            if (!wanted || (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
                (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
                continue;
            copy_wide_text(s.takeover_candidate, folder, array_count(s.takeover_candidate));
            append_wide_text(s.takeover_candidate, L"\\", array_count(s.takeover_candidate));
            append_wide_text(s.takeover_candidate, name, array_count(s.takeover_candidate));
            taken = take_directory(s.takeover_candidate);
            s.takeover_same_archive = round < 2 || of_this_archive(name, stem_length);
            if (taken == INVALID_HANDLE_VALUE && s.takeover_source[0] == L'\0') {
                HANDLE looked = open_directory(s.takeover_candidate, inspect_access,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
                if (directory_is_private(looked, false)) {
                    copy_wide_text(s.takeover_source, s.takeover_candidate, array_count(s.takeover_source));
                    s.takeover_source_same_archive = s.takeover_same_archive;
                }
                if (looked != INVALID_HANDLE_VALUE)
                    CloseHandle(looked);
            }
        } while (taken == INVALID_HANDLE_VALUE && FindNextFileW(search, &entry));
        FindClose(search);
    }
    if (taken == INVALID_HANDLE_VALUE) {
        s.takeover_same_archive = s.takeover_source_same_archive;
        if (s.takeover_source[0] != L'\0' && !s.takeover_same_archive)
            load_takeover_manifest(s.takeover_source);
        return s.takeover_source[0] != L'\0';
    }
    s.takeover_source[0] = L'\0';
    // Another archive's tree keeps its archive's name while it changes: a
    // start that finds it half done never takes it for one of this
    // archive, whose whole files its stamps would vouch for. Its manifest
    // goes before anything in it changes; while it cannot, the tree is not
    // taken (a fresh unpack instead).
    if (!s.takeover_same_archive) {
        load_takeover_manifest(s.takeover_candidate);
        if (!remove_tree_manifest(s.takeover_candidate)) {
            CloseHandle(taken);
            return false;
        }
        size_t length = wcslen(s.takeover_candidate);
        if (s.takeover_candidate[length - working_suffix_length] == L'~')
            s.takeover_candidate[length - working_suffix_length] = L'\0';
    }
    make_working_name(s.unpack_directory, array_count(s.unpack_directory),
                      s.takeover_same_archive ? tree : s.takeover_candidate);
    // Renamed and owned in one guarded step: an interrupt after it removes
    // the working directory, as it removes a first unpack's.
    if (!begin_guarded_step())
        stop_for_interrupt();
    bool renamed = rename_held_directory(taken, s.unpack_directory);
    if (renamed)
        own_unpack_directory(taken);
    end_guarded_step();
    if (!renamed) {
        CloseHandle(taken);
        return false;
    }
    return true;
}

bool take_over_beside(const wchar_t *tree)
{
    LauncherState &s = launcher_state;
    if (!choose_takeover_source(tree))
        return false;
    if (s.takeover_source[0] != L'\0') {
        make_working_name(s.unpack_directory, array_count(s.unpack_directory), tree);
        create_unpack_directory(DELETE | FILE_LIST_DIRECTORY);
    }
    else
        remove_what_the_archive_lacks();
    s.taking_over = true;
    s.takeover_next_frame = 0;
    s.takeover_kept_below = 0;
    s.takeover_missing_at = SIZE_MAX;
    s.takeover_note_cursor = s.build_notes;
    s.takeover_note_index = 0;
    open_attached_data();
    unpack_all_records();
    close_attached_data();
    s.taking_over = false;
    // Frames skipped by an index that lies about the stream would leave
    // files out: the result is checked like a found tree before it is
    // published, and one that fails is a damaged archive.
    if (s.frame_count > 0 && !tree_matches_archive(s.unpack_directory))
        report_error(MESSAGE_DECODING_FAILED);
    return true;
}

// Whether the file at `path` is the index-th record whole.
static bool file_is_record(const wchar_t *path, size_t index, uint64_t size, bool same_archive)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    SystemPath system;
    if (!GetFileAttributesExW(system_path(system, path), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
        (static_cast<uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow) != size)
        return false;
    bool stamped = CompareFileTime(&data.ftLastWriteTime, &durable_file_time) == 0 ||
                   is_this_boots_stamp(data.ftLastWriteTime);
    if (same_archive && stamped)
        return true;
    bool known = false;
    uint64_t hash = record_content_hash(index, known);
    if (known && stamped && manifest_vouches(launcher_state.current_record_name, size, hash))
        return true;
    // Read to compare only. A stamp that vouches for the file's place on the
    // disk stays; another is sealed like the check's, but only in place: a
    // source another launcher holds does not change.
    bool seal = !stamped && launcher_state.takeover_source[0] == L'\0';
    return known && file_has_content(path, size, hash, seal);
}

// Whether the file starts as an executable image does ("MZ"). The system
// lets no name of a mapped image go, whichever tree it is in, so a linked
// library would keep the old tree from going while the new one runs.
static bool is_executable_image(const wchar_t *path)
{
    SystemPath system;
    HANDLE file = CreateFileW(system_path(system, path), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    char start[2] = {};
    DWORD read = 0;
    bool image = file == INVALID_HANDLE_VALUE ||
                 (ReadFile(file, start, sizeof start, &read, nullptr) && read == 2 && start[0] == 'M' && start[1] == 'Z');
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return image;
}

static bool record_already_there(size_t index, uint64_t size)
{
    LauncherState &s = launcher_state;
    SystemPath system;
    if (s.takeover_source[0] == L'\0') {
        if (file_is_record(s.current_record_path, index, size, s.takeover_same_archive))
            return true;
        // Deleted, never truncated: it may be a link another tree shares.
        DWORD attributes = GetFileAttributesW(system_path(system, s.current_record_path));
        if (attributes != INVALID_FILE_ATTRIBUTES && removal_action(attributes) == removal_enter_directory)
            remove_tree(s.sweep_walk, s.current_record_path);
        else if (attributes != INVALID_FILE_ATTRIBUTES)
            DeleteFileW(system_path(system, s.current_record_path));
        return false;
    }
    copy_wide_text(s.takeover_candidate, s.takeover_source, array_count(s.takeover_candidate));
    append_wide_text(s.takeover_candidate, L"\\", array_count(s.takeover_candidate));
    append_wide_text(s.takeover_candidate, s.current_record_name, array_count(s.takeover_candidate));
    if (!file_is_record(s.takeover_candidate, index, size, s.takeover_same_archive) ||
        is_executable_image(s.takeover_candidate))
        return false;
    SystemPath source;
    return CreateHardLinkW(system_path(system, s.current_record_path), system_path(source, s.takeover_candidate),
                           nullptr) != FALSE;
}

bool takeover_keeps_record(size_t index, uint64_t size)
{
    const LauncherState &s = launcher_state;
    if (index < s.takeover_kept_below)
        return true;
    return index != s.takeover_missing_at && record_already_there(index, size);
}

// The index-th file line's size and name, into current_record_name and
// current_record_path; the lines are looked at in order, never again.
static bool file_note_at(size_t index, uint64_t &size)
{
    LauncherState &s = launcher_state;
    const char *value = nullptr;
    size_t length = 0;
    for (;;) {
        if (!next_build_note(s.takeover_note_cursor, note_file, value, length))
            return false;
        if (s.takeover_note_index++ == index)
            break;
    }
    if (!read_file_note(value, length, size, s.current_record_name, array_count(s.current_record_name)))
        return false;
    copy_wide_text(s.current_record_path, s.unpack_directory, array_count(s.current_record_path));
    append_wide_text(s.current_record_path, L"\\", array_count(s.current_record_path));
    append_wide_text(s.current_record_path, s.current_record_name, array_count(s.current_record_path));
    return true;
}

// The index entry's first record and the frame's offset in the archive.
static void frame_entry(size_t entry, uint64_t &record, uint64_t &offset)
{
    const char *digits = launcher_state.frame_index + entry * 32;
    record = hex_digits_value(digits, 16);
    offset = hex_digits_value(digits + 16, 16);
}

// A frame is skipped only where the index and the stream agree that it
// begins at this record; wherever they do not, the stream is decoded as
// it comes, and the records it holds are judged one by one.
bool skip_frames_already_there(size_t &index)
{
    LauncherState &s = launcher_state;
    while (s.takeover_next_frame < s.frame_count) {
        uint64_t first = 0, offset = 0;
        frame_entry(s.takeover_next_frame, first, offset);
        if (first != index || !reader_at_frame(offset))
            return true;
        // The last frame's records end with the files, one hash each.
        bool last = s.takeover_next_frame + 1 == s.frame_count;
        uint64_t next_first = s.file_hash_count, next_offset = 0;
        if (!last)
            frame_entry(s.takeover_next_frame + 1, next_first, next_offset);
        if (next_first <= first)
            return true;
        s.takeover_next_frame++;
        // Every record of the frame, up to the first that is missing: those
        // before it are kept as the frame is decoded, that one is written.
        uint64_t frame_bytes = 0;
        for (uint64_t record = first; record < next_first; record++) {
            uint64_t size = 0;
            bool there = file_note_at(static_cast<size_t>(record), size);
            if (there) {
                make_record_folder();
                there = record_already_there(static_cast<size_t>(record), size);
            }
            if (!there) {
                s.takeover_kept_below = static_cast<size_t>(record);
                s.takeover_missing_at = static_cast<size_t>(record);
                return true;
            }
            frame_bytes += size;
        }
        count_unpacked_bytes(frame_bytes);
        if (last)
            return false;
        skip_to_frame(next_offset);
        index = static_cast<size_t>(next_first);
        s.takeover_kept_below = index;
    }
    return true;
}

// FNV-1a of a name with ASCII letters folded, as Windows compares them
// well enough here: a name missed by the folding is removed and written
// again, never kept wrongly.
static uint64_t name_hash(const wchar_t *name, size_t length)
{
    uint64_t hash = 14695981039346656037ull;
    for (size_t i = 0; i < length; i++) {
        wchar_t unit = name[i] >= L'a' && name[i] <= L'z' ? name[i] - (L'a' - L'A') : name[i];
        hash = (hash ^ static_cast<uint64_t>(unit)) * 1099511628211ull;
    }
    return hash | 1;  // 0 marks an empty slot
}

static void insert_name(uint64_t *table, size_t slots, uint64_t hash)
{
    for (size_t i = hash % slots;; i = (i + 1) % slots) {
        if (table[i] == 0 || table[i] == hash) {
            table[i] = hash;
            return;
        }
    }
}

static bool table_has(const uint64_t *table, size_t slots, uint64_t hash)
{
    for (size_t i = hash % slots; table[i] != 0; i = (i + 1) % slots) {
        if (table[i] == hash)
            return true;
    }
    return false;
}

enum : int { gone_walk_depth_limit = 256 };

// Removes the entry at current_record_path (its name from `relative_start`
// on) unless it is a record or a folder above one; within such a folder,
// what it holds is judged the same way.
static void remove_entry_unless_packed(const uint64_t *table, size_t slots, size_t relative_start, DWORD attributes,
                                       int depth)
{
    LauncherState &s = launcher_state;
    const wchar_t *relative = s.current_record_path + relative_start;
    bool kept = table_has(table, slots, name_hash(relative, wcslen(relative)));
    RemovalAction action = removal_action(attributes);
    SystemPath system;
    if (!kept && action == removal_delete_file) {
        DeleteFileW(system_path(system, s.current_record_path));
        return;
    }
    if (!kept) {
        remove_tree(s.sweep_walk, s.current_record_path);
        return;
    }
    size_t length = wcslen(s.current_record_path);
    if (action != removal_enter_directory || depth > gone_walk_depth_limit ||
        length + 3 >= array_count(s.current_record_path))
        return;
    append_wide_text(s.current_record_path, L"\\*", array_count(s.current_record_path));
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileExW(system_path(system, s.current_record_path), FindExInfoBasic, &entry,
                                     FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    s.current_record_path[length] = L'\0';
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (wcscmp(entry.cFileName, L".") == 0 || wcscmp(entry.cFileName, L"..") == 0 ||
            length + 1 + wcslen(entry.cFileName) >= array_count(s.current_record_path))
            continue;
        append_wide_text(s.current_record_path, L"\\", array_count(s.current_record_path));
        append_wide_text(s.current_record_path, entry.cFileName, array_count(s.current_record_path));
        remove_entry_unless_packed(table, slots, relative_start, entry.dwFileAttributes, depth + 1);
        s.current_record_path[length] = L'\0';
    } while (FindNextFileW(search, &entry));
    FindClose(search);
}

// The root's entries, listed through the handle that holds it: a listing
// by name opens the folder again, which its delete access keeps out where
// that open shares no deletion (as under Wine).
static void remove_root_entries_lacking(const uint64_t *table, size_t slots)
{
    LauncherState &s = launcher_state;
    size_t length = wcslen(s.unpack_directory);
    FILE_INFO_BY_HANDLE_CLASS listing = FileFullDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(s.held_directory, listing, s.hash_buffer, sizeof s.hash_buffer)) {
        listing = FileFullDirectoryInfo;
        for (size_t offset = 0;;) {
            auto *entry = reinterpret_cast<FILE_FULL_DIR_INFO *>(s.hash_buffer + offset);
            size_t units = entry->FileNameLength / sizeof(wchar_t);
            bool dots = (units == 1 && entry->FileName[0] == L'.') ||
                        (units == 2 && entry->FileName[0] == L'.' && entry->FileName[1] == L'.');
            if (!dots && length + 1 + units < array_count(s.current_record_path)) {
                copy_wide_text(s.current_record_path, s.unpack_directory, array_count(s.current_record_path));
                append_wide_text(s.current_record_path, L"\\", array_count(s.current_record_path));
                wmemcpy(s.current_record_path + length + 1, entry->FileName, units);
                s.current_record_path[length + 1 + units] = L'\0';
                remove_entry_unless_packed(table, slots, length + 1, entry->FileAttributes, 0);
            }
            if (entry->NextEntryOffset == 0)
                break;
            offset += entry->NextEntryOffset;
        }
    }
}

static void remove_what_the_archive_lacks()
{
    LauncherState &s = launcher_state;
    // Every name and the folders above it, at most one per separator and
    // one per line; a table at most half full.
    size_t names = 0;
    const char *cursor = s.build_notes;
    const char *value = nullptr;
    size_t length = 0;
    while (next_build_note(cursor, note_file, value, length)) {
        names++;
        for (size_t i = 0; i < length; i++)
            names += value[i] == '\\' ? 1 : 0;
    }
    size_t slots = 2 * names + 1;
    uint64_t *table = static_cast<uint64_t *>(calloc(slots, sizeof(uint64_t)));
    if (table == nullptr)
        return;  // what the archive lacks stays, as an application's own files do
    cursor = s.build_notes;
    uint64_t size = 0;
    while (next_build_note(cursor, note_file, value, length)) {
        if (!read_file_note(value, length, size, s.current_record_name, array_count(s.current_record_name)))
            continue;
        for (size_t i = 0; s.current_record_name[i] != L'\0'; i++) {
            if (s.current_record_name[i] == L'\\')
                insert_name(table, slots, name_hash(s.current_record_name, i));
        }
        insert_name(table, slots, name_hash(s.current_record_name, wcslen(s.current_record_name)));
    }
    remove_root_entries_lacking(table, slots);
    free(table);
}
