// A launcher packed with --reuse keeps its unpacked tree between runs. The
// tree is named after the application identity (a hash of what the packer
// was told the application is) and the archive identity (the SHA-256 of the
// attached data), both from the build notes, and is checked at every start
// against the notes' list of files before the application runs from it:
//
//   <spec>_<16 digits of the application>_<16 digits of the archive>
//                                                   the published tree
//   <that>~<11 random characters>                   a working directory: a
//                                                   first unpack, a mend, a
//                                                   tree being retired, or a
//                                                   complete unpack the system
//                                                   would not rename yet
//
// Only trees of the same application are its old versions: two unrelated
// applications of the same file name never remove each other's trees.
//
// A tree only ever appears complete: it is unpacked into a working
// directory that the run owns (removed at cleanup), renamed into place
// through a handle held since its creation, then disowned. Every launcher
// running from a tree, parent and child, holds its root open without delete
// sharing; a tree is removed only when nobody holds it.
//
// NTFS refuses to rename a folder while a file below it is open, as a virus
// scanner keeps a file just written. A complete working directory that
// cannot be published is then kept and run from; a later start of the same
// archive finds it, checks it like a tree and publishes it (or runs from it
// again while that is still refused). The check tells it from a killed
// unpack: a file gets the tree's time only once it is written whole.
#include "launcher.h"
#include "build_note_keys.h"
#include "error_reporting.h"

#include <aclapi.h>
#include <wchar.h>

enum : size_t { identity_digits_in_name = 16, working_suffix_length = 12 };

// How long a start waits for another start of the same archive that
// unpacks, mends or publishes: a first unpack of a large application under
// a slow virus scanner takes seconds, a hung or suspended one for ever.
// After this the start runs from a directory of its own in TEMP instead.
enum : DWORD { archive_lock_wait_ms = 20000 };

// Attempts at publishing, 100 ms apart: a first unpack waits out a scanner
// that still reads the files just written; a later start tries once, so
// that it never waits for a scanner at all.
enum : int { first_publish_attempts = 21, later_publish_attempts = 1 };

// The last-write time every file of a reused tree gets (1 January 2000,
// UTC): a file that anyone rewrote since has another, and the check sees
// it without reading the file.
const FILETIME reused_file_time = {0x256D4000u, 0x01BF53EBu};

// Access of a tree's root held while this process runs from it. Without
// delete sharing it keeps the tree from being renamed or removed; the
// listing access makes an exclusive open fail. Reading its security and
// attributes is no use of the tree.
static const DWORD held_access = FILE_LIST_DIRECTORY | SYNCHRONIZE;
static const DWORD inspect_access = READ_CONTROL | FILE_READ_ATTRIBUTES;
static const DWORD held_share = FILE_SHARE_READ | FILE_SHARE_WRITE;

static HANDLE open_directory(const wchar_t *path, DWORD access, DWORD share)
{
    SystemPath system;
    return CreateFileW(system_path(system, path), access, share, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Renames the directory open as `directory` (with delete access) to
// `target`, which must not exist.
static bool rename_held_directory(HANDLE directory, const wchar_t *target)
{
    union {
        FILE_RENAME_INFO info;
        unsigned char bytes[sizeof(FILE_RENAME_INFO) + system_path_capacity * sizeof(wchar_t)];
    } rename = {};
    SystemPath system;
    const wchar_t *name = system_path(system, target);
    size_t length = wcslen(name);
    check_or_abort(length < system_path_capacity);
    rename.info.ReplaceIfExists = FALSE;
    rename.info.FileNameLength = static_cast<DWORD>(length * sizeof(wchar_t));
    copy_wide_text(rename.info.FileName, name, system_path_capacity);
    return SetFileInformationByHandle(directory, FileRenameInfo, &rename, sizeof rename) != FALSE;
}

// Who may change a tree: its owner must be the user, and only the user,
// SYSTEM and Administrators may be granted any kind of write. A tree that
// someone else could have changed is neither used nor removed.
bool security_is_private(PSECURITY_DESCRIPTOR descriptor, PSID user, bool above_tree)
{
    const wchar_t *library = L"advapi32.dll";
    auto get_owner = system_function<decltype(&GetSecurityDescriptorOwner)>(library, "GetSecurityDescriptorOwner");
    auto get_dacl = system_function<decltype(&GetSecurityDescriptorDacl)>(library, "GetSecurityDescriptorDacl");
    auto get_ace = system_function<decltype(&GetAce)>(library, "GetAce");
    auto equal_sid = system_function<decltype(&EqualSid)>(library, "EqualSid");
    auto well_known = system_function<decltype(&IsWellKnownSid)>(library, "IsWellKnownSid");
    if (get_owner == nullptr || get_dacl == nullptr || get_ace == nullptr || equal_sid == nullptr ||
        well_known == nullptr)
        return false;
    PSID owner = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    PACL dacl = nullptr;
    if (!get_owner(descriptor, &owner, &defaulted) || owner == nullptr ||
        !(equal_sid(owner, user) || (above_tree && (well_known(owner, WinLocalSystemSid) ||
                                                    well_known(owner, WinBuiltinAdministratorsSid) ||
                                                    is_trusted_installer(owner)))))
        return false;
    if (!get_dacl(descriptor, &present, &dacl, &defaulted) || !present || dacl == nullptr)
        return false;  // no list at all grants everyone everything
    // Above a tree, adding a file or a folder (as every user may at a
    // volume's root) only plants a new name: every folder on the way
    // exists and is held, and a name planted where the tree goes is not
    // the user's and fails this check itself. Changing or removing what is
    // there still counts.
    const ACCESS_MASK add_access = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY;
    const ACCESS_MASK write_access = (FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                                      FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                      GENERIC_ALL) &
                                     ~(above_tree ? add_access : 0);
    for (DWORD i = 0; i < dacl->AceCount; i++) {
        ACE_HEADER *header = nullptr;
        if (!get_ace(dacl, i, reinterpret_cast<void **>(&header)))
            return false;
        // An inherit-only entry grants nothing here but everything it names
        // to what the application creates inside a tree: there it counts.
        if (header->AceType == ACCESS_DENIED_ACE_TYPE || (above_tree && (header->AceFlags & INHERIT_ONLY_ACE) != 0))
            continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE)
            return false;  // callback and object entries are not read here: not trusted
        ACCESS_ALLOWED_ACE *ace = reinterpret_cast<ACCESS_ALLOWED_ACE *>(header);
        PSID sid = &ace->SidStart;
        if ((ace->Mask & write_access) != 0 && !equal_sid(sid, user) && !well_known(sid, WinLocalSystemSid) &&
            !well_known(sid, WinBuiltinAdministratorsSid) && !(above_tree && is_trusted_installer(sid)))
            return false;
    }
    return true;
}

// A real directory (not a link) that only the user and the system can
// change; `directory` is open with read-control access.
bool directory_is_private(HANDLE directory, bool above_tree)
{
    if (directory == INVALID_HANDLE_VALUE)
        return false;
    auto get_security = system_function<decltype(&GetSecurityInfo)>(L"advapi32.dll", "GetSecurityInfo");
    BY_HANDLE_FILE_INFORMATION information = {};
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PSID user = const_cast<SID *>(current_user_sid());
    bool result = user != nullptr && get_security != nullptr && GetFileInformationByHandle(directory, &information) &&
                  (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                  (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
                  get_security(directory, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                               nullptr, nullptr, nullptr, nullptr, &descriptor) == ERROR_SUCCESS &&
                  security_is_private(descriptor, user, above_tree);
    if (descriptor != nullptr)
        LocalFree(descriptor);
    return result;
}

// The notes' "file=SIZE NAME" line at hand, read into a size and a name.
static bool read_file_note(const char *value, size_t length, uint64_t &size, wchar_t *name, size_t capacity)
{
    size = 0;
    size_t i = 0;
    for (; i < length && value[i] >= '0' && value[i] <= '9'; i++) {
        check_or_abort(size <= (UINT64_MAX - 9) / 10);
        size = size * 10 + static_cast<uint64_t>(value[i] - '0');
    }
    return i > 0 && i + 1 < length && value[i] == ' ' &&
           wide_from_utf8(value + i + 1, length - i - 1, name, capacity) && record_name_is_safe(name);
}

// Every packed file is there, a file, with its size and the reused tree's
// last-write time; one attribute query per file, no folder is opened.
// Files the application added are not looked at.
static bool tree_matches_archive(const wchar_t *tree)
{
    LauncherState &s = launcher_state;
    const char *cursor = s.build_notes;
    const char *value = nullptr;
    size_t length = 0;
    bool any = false;
    while (next_build_note(cursor, note_file, value, length)) {
        uint64_t size = 0;
        if (!read_file_note(value, length, size, s.current_record_name, array_count(s.current_record_name)))
            return false;
        copy_wide_text(s.current_record_path, tree, array_count(s.current_record_path));
        append_wide_text(s.current_record_path, L"\\", array_count(s.current_record_path));
        append_wide_text(s.current_record_path, s.current_record_name, array_count(s.current_record_path));
        WIN32_FILE_ATTRIBUTE_DATA data;
        SystemPath system;
        if (!GetFileAttributesExW(system_path(system, s.current_record_path), GetFileExInfoStandard, &data) ||
            (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
            (static_cast<uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow) != size ||
            CompareFileTime(&data.ftLastWriteTime, &reused_file_time) != 0)
            return false;
        any = true;
    }
    return any;
}

// The first packed file, the application library or entry program, below `tree`.
void set_first_record_path(const wchar_t *tree)
{
    LauncherState &s = launcher_state;
    const char *cursor = s.build_notes;
    const char *value = nullptr;
    size_t length = 0;
    uint64_t size = 0;
    if (!next_build_note(cursor, note_file, value, length) ||
        !read_file_note(value, length, size, s.current_record_name, array_count(s.current_record_name)))
        report_error(MESSAGE_NO_APPLICATION_LIBRARY);
    copy_wide_text(s.first_record_path, tree, array_count(s.first_record_path));
    append_wide_text(s.first_record_path, L"\\", array_count(s.first_record_path));
    append_wide_text(s.first_record_path, s.current_record_name, array_count(s.first_record_path));
}

// `path` with "~" and 11 fresh random characters appended.
static void make_working_name(wchar_t *path, size_t capacity, const wchar_t *tree)
{
    typedef BOOLEAN(WINAPI * GenerateRandomFunction)(void *, ULONG);
    auto generate = system_function<GenerateRandomFunction>(L"advapi32.dll", "SystemFunction036");
    uint8_t bytes[8];
    if (generate == nullptr || !generate(bytes, sizeof bytes))
        report_open_for_writing_failure(tree);
    wchar_t random_text[12];
    make_random_text(bytes, random_text);
    copy_wide_text(path, tree, capacity);
    append_wide_text(path, L"~", capacity);
    append_wide_text(path, random_text, capacity);
}

// Unpacks the whole archive into a new working directory beside `tree`,
// made, held (with delete access, for the rename) and owned in one guarded
// step like a per-run unpack directory: until it is published, a failure
// or an interrupt removes it. Ends the process on failure.
static void unpack_into_working_directory(const wchar_t *tree)
{
    LauncherState &s = launcher_state;
    make_working_name(s.unpack_directory, array_count(s.unpack_directory), tree);
    // Delete access: the directory is renamed into place through its handle.
    create_unpack_directory(DELETE | FILE_LIST_DIRECTORY);
    // A published tree is checked by sizes and times only, which the file
    // system keeps across a power cut even when it loses the contents.
    s.flush_unpacked_files = true;
    open_attached_data();
    unpack_all_records();
    close_attached_data();
}

// Moves the published tree at `tree` aside under a working name, so that
// a mended one can take its place; false while someone runs from it.
static bool retire_tree(const wchar_t *tree)
{
    HANDLE old_tree = open_directory(tree, DELETE | SYNCHRONIZE, held_share);
    if (old_tree == INVALID_HANDLE_VALUE)
        return false;
    wchar_t retired[path_capacity];
    make_working_name(retired, array_count(retired), tree);
    bool moved = rename_held_directory(old_tree, retired);
    CloseHandle(old_tree);
    return moved;
}

// Publishes the complete working directory held as held_directory as
// `tree`, in one guarded step with giving it up: an interrupt either
// removes the working directory or finds a published tree that is not the
// run's. A refusal of the rename by a scanner is tried again up to
// `attempts` times in all. False when it cannot be done (a scanner, or a
// tree in use in the way): the caller keeps the working directory.
static bool publish_tree(const wchar_t *tree, bool replace, int attempts)
{
    LauncherState &s = launcher_state;
    if (replace && !retire_tree(tree))
        return false;
    for (int attempt = 1;; attempt++) {
        if (!begin_guarded_step())
            stop_for_interrupt();
        bool published = rename_held_directory(s.held_directory, tree);
        DWORD error = GetLastError();
        if (published)
            CloseHandle(disown_unpack_directory());
        end_guarded_step();
        if (published) {
            copy_wide_text(s.unpack_directory, tree, array_count(s.unpack_directory));
            return true;
        }
        if (attempt >= attempts || (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION))
            return false;
        Sleep(100);
    }
}

// A complete working directory that could not be published stays for a
// later start: given up in one guarded step, as at publication, so an
// interrupt either removes it or leaves it whole, then held again without
// the delete access that would keep other launchers from holding it too.
// INVALID_HANDLE_VALUE when it went meanwhile.
static HANDLE keep_working_directory()
{
    if (!begin_guarded_step())
        stop_for_interrupt();
    HANDLE renaming = disown_unpack_directory();
    end_guarded_step();
    if (renaming != nullptr)
        CloseHandle(renaming);
    return open_directory(launcher_state.unpack_directory, held_access, held_share);
}

// Looks beside `tree` for a working directory that a start kept because it
// could not publish it: private and complete. Held as held_directory (with
// delete access for the rename unless another launcher runs from it), not
// owned; its path in unpack_directory. False when there is none.
static bool find_kept_working_directory(const wchar_t *tree)
{
    LauncherState &s = launcher_state;
    wchar_t pattern[path_capacity];
    copy_wide_text(pattern, tree, array_count(pattern));
    append_wide_text(pattern, L"~*", array_count(pattern));
    WIN32_FIND_DATAW entry;
    SystemPath system;
    HANDLE search =
        FindFirstFileExW(system_path(system, pattern), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    const wchar_t *tree_name = wcsrchr(tree, L'\\') + 1;
    bool found = false;
    do {
        if (wcslen(entry.cFileName) != wcslen(tree_name) + working_suffix_length ||
            (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
            (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            continue;
        copy_wide_text(s.unpack_directory, tree, array_count(s.unpack_directory));
        append_wide_text(s.unpack_directory, entry.cFileName + wcslen(tree_name), array_count(s.unpack_directory));
        HANDLE held = open_directory(s.unpack_directory, DELETE | held_access | inspect_access, held_share);
        if (held == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION)
            held = open_directory(s.unpack_directory, held_access | inspect_access, held_share);
        found = directory_is_private(held, false) && tree_matches_archive(s.unpack_directory);
        if (found)
            s.held_directory = held;
        else if (held != INVALID_HANDLE_VALUE)
            CloseHandle(held);
    } while (!found && FindNextFileW(search, &entry));
    FindClose(search);
    return found;
}

// A second start of the same archive waits here while a first one unpacks
// or mends, then finds the tree complete; a killed holder releases it.
// False when the wait is over first: the lock is not had.
static bool lock_archive(HANDLE &lock)
{
    wchar_t name[64 + archive_identity_length] = L"Local\\VeskarOnefile_";
    append_narrow_text(name, launcher_state.archive_identity, array_count(name));
    lock = CreateMutexW(nullptr, FALSE, name);
    // An abandoned lock is taken as well.
    if (lock == nullptr || WaitForSingleObject(lock, archive_lock_wait_ms) != WAIT_TIMEOUT)
        return true;
    CloseHandle(lock);
    lock = nullptr;
    return false;
}

static void unlock_archive(HANDLE lock)
{
    if (lock != nullptr) {
        ReleaseMutex(lock);
        CloseHandle(lock);
    }
}

// `<spec>_<application digits>_<archive digits>`, the published tree's path.
static void make_tree_path(wchar_t (&tree)[path_capacity])
{
    LauncherState &s = launcher_state;
    copy_wide_text(tree, s.unpack_directory, array_count(tree));  // the expanded spec
    append_wide_text(tree, L"_", array_count(tree));
    append_narrow_text(tree, s.application_tag, array_count(tree));
    append_wide_text(tree, L"_", array_count(tree));
    char digits[identity_digits_in_name + 1] = "";
    for (size_t i = 0; i < identity_digits_in_name; i++)
        digits[i] = s.archive_identity[i];
    append_narrow_text(tree, digits, array_count(tree));
    check_or_abort(wcslen(tree) + working_suffix_length < array_count(tree));
}

// The parent's part: finds the tree, checks it, unpacks, mends or publishes
// it as needed and holds it.
static ReusedTreeOutcome prepare_reused_tree()
{
    LauncherState &s = launcher_state;
    wchar_t tree[path_capacity];
    make_tree_path(tree);
    HANDLE lock = nullptr;
    if (!lock_archive(lock))
        return reused_tree_lock_timed_out;
    ensure_parent_chain(tree);
    if (!hold_folders_above(tree)) {
        unlock_archive(lock);
        return reused_tree_untrusted;
    }
    // Held before it is checked: nothing can rename or remove it meanwhile.
    HANDLE held = open_directory(tree, held_access | inspect_access, held_share);
    bool present = held != INVALID_HANDLE_VALUE;
    if (!present && GetLastError() != ERROR_FILE_NOT_FOUND) {
        unlock_archive(lock);
        return reused_tree_untrusted;
    }
    if (present && !directory_is_private(held, false)) {
        CloseHandle(held);
        unlock_archive(lock);
        return reused_tree_untrusted;
    }
    ReusedTreeOutcome outcome = reused_tree_published;
    if (!present || !tree_matches_archive(tree)) {
        if (present)
            CloseHandle(held);  // a mend renames the damaged tree away
        bool kept = find_kept_working_directory(tree);
        if (!kept)
            unpack_into_working_directory(tree);
        if (publish_tree(tree, present, kept ? later_publish_attempts : first_publish_attempts)) {
            held = open_directory(tree, held_access, held_share);
        } else {
            held = keep_working_directory();
            outcome = reused_tree_unpublished;
        }
    }
    unlock_archive(lock);
    if (held == INVALID_HANDLE_VALUE)
        return reused_tree_untrusted;
    if (outcome == reused_tree_published)
        copy_wide_text(s.unpack_directory, tree, array_count(s.unpack_directory));
    s.held_directory = held;  // not owned: nothing is removed at exit
    s.running_from_reused_tree = true;
    return outcome;
}

// Removes what this application's other archives and killed unpacks left
// beside the tree: trees of the same application with other archive
// identities, and working directories, each only when it is private and
// nobody holds it. Runs on the sweep thread while the application runs.
void sweep_beside_reused_tree()
{
    LauncherState &s = launcher_state;
    if (!s.running_from_reused_tree)
        return;
    wchar_t *folder = s.reused_sweep_path;
    copy_wide_text(folder, s.unpack_directory, array_count(s.reused_sweep_path));
    wchar_t *separator = wcsrchr(folder, L'\\');
    if (separator == nullptr)
        return;
    *separator = L'\0';
    const wchar_t *own_name = separator + 1;
    size_t own_length = wcslen(own_name);
    // Run from a kept working directory: its tree's name is the part before the "~".
    if (own_length > working_suffix_length && own_name[own_length - working_suffix_length] == L'~')
        own_length -= working_suffix_length;
    // "<name>_<application>_" is shared by every version of the application.
    size_t stem_length = own_length - identity_digits_in_name;
    wchar_t pattern[path_capacity];
    copy_wide_text(pattern, folder, array_count(pattern));
    append_wide_text(pattern, L"\\*", array_count(pattern));
    WIN32_FIND_DATAW entry;
    SystemPath system;
    HANDLE search =
        FindFirstFileExW(system_path(system, pattern), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (!sweep_may_go_on())
            break;
        const wchar_t *name = entry.cFileName;
        size_t length = wcslen(name);
        bool tree_name = length == stem_length + identity_digits_in_name ||
                         (length == stem_length + identity_digits_in_name + working_suffix_length &&
                          name[length - working_suffix_length] == L'~');
        if (!tree_name || wcsncmp(name, own_name, stem_length) != 0 || wcscmp(name, own_name) == 0 ||
            (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
            (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            continue;
        for (size_t i = stem_length; i < stem_length + identity_digits_in_name; i++) {
            if (!((name[i] >= L'0' && name[i] <= L'9') || (name[i] >= L'a' && name[i] <= L'f')))
                tree_name = false;
        }
        copy_wide_text(s.reused_sweep_candidate, folder, array_count(s.reused_sweep_candidate));
        append_wide_text(s.reused_sweep_candidate, L"\\", array_count(s.reused_sweep_candidate));
        append_wide_text(s.reused_sweep_candidate, name, array_count(s.reused_sweep_candidate));
        if (!tree_name)
            continue;
        HANDLE candidate = open_directory(s.reused_sweep_candidate, inspect_access,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
        bool removable = directory_is_private(candidate, false);
        if (candidate != INVALID_HANDLE_VALUE)
            CloseHandle(candidate);
        if (removable)
            remove_tree_unless_held(s.sweep_walk, s.reused_sweep_candidate);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return;
}

ReusedStart start_from_reused_tree()
{
    LauncherState &s = launcher_state;
    if (s.child_role) {
        // The parent names the tree it prepared: argument 0, which a spec
        // may use, differs between the two.
        wchar_t *tree = read_environment_variable("VESKAR_ONEFILE_TREE");
        if (tree == nullptr)
            report_spec_expansion_failure(s.unpack_path_spec);
        copy_wide_text(s.unpack_directory, tree, array_count(s.unpack_directory));
        hold_unpack_directory();
        set_first_record_path(s.unpack_directory);
        hand_off_to_library();
    }
    ReusedTreeOutcome outcome = prepare_reused_tree();
    bool fresh = outcome == reused_tree_untrusted || outcome == reused_tree_lock_timed_out;
    // A tree unpacked just now was renamed into place since its first
    // record was written; an entry program and an application run in this
    // process are started from it here.
    if (!fresh && (s.exe_entry || s.running_from_reused_tree))
        set_first_record_path(s.unpack_directory);
    if (fresh) {
        // A fresh directory of the default kind, removed at exit.
        if (!expand_path_spec(s.unpack_directory, default_unpack_path_spec, array_count(s.unpack_directory)))
            report_spec_expansion_failure(default_unpack_path_spec);
    }
    write_environment_variable("VESKAR_ONEFILE_TREE", s.unpack_directory);
    return fresh ? reused_start_fresh_directory : reused_start_ready;
}
