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
// The parts: tree_check.cpp (is the tree as packed), tree_publication.cpp
// (unpack, publish, keep), archive_lock.cpp (starts take turns),
// tree_security.cpp (who may change it), tree_leftovers.cpp (old versions
// and killed unpacks beside it), tree_takeover.cpp (a new tree from what an
// old one holds), tree_manifest.cpp (what a tree's archive packed).
#include "launcher.h"
#include "error_reporting.h"

#include <wchar.h>

// Attempts at publishing, 100 ms apart: a first unpack waits out a scanner
// that still reads the files just written; a later start tries once, so
// that it never waits for a scanner at all.
enum : int { first_publish_attempts = 21, later_publish_attempts = 1 };

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
    settle_boot_stamp();
    ensure_parent_chain(tree);
    if (!hold_folders_above(tree))
        return reused_tree_untrusted;
    HANDLE lock = INVALID_HANDLE_VALUE;
    ArchiveLock locked = lock_archive(tree, lock);
    if (locked != archive_lock_had)
        return locked == archive_lock_timed_out ? reused_tree_lock_timed_out : reused_tree_untrusted;
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
        if (!kept && !take_over_beside(tree))
            unpack_into_working_directory(tree);
        // A damaged tree taken over in place is no longer in the way.
        SystemPath system;
        bool replace = present && GetFileAttributesW(system_path(system, tree)) != INVALID_FILE_ATTRIBUTES;
        if (!publish_tree(tree, replace, kept ? later_publish_attempts : first_publish_attempts, held)) {
            held = keep_working_directory();
            outcome = reused_tree_unpublished;
        }
        write_tree_manifest(tree);
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

