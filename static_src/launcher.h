// The launcher's one process-wide state record and the operations of its
// subsystems. Everything long-lived is a field of `launcher_state`; there is
// no other global state.
#pragma once

#include <windows.h>
#include <stddef.h>
#include <stdint.h>
#include <zstd.h>

// Element count of a true array; never of a pointer.
template <typename T, size_t N>
constexpr size_t array_count(T (&)[N]) { return N; }

// Always-on check, also in release builds: the guard that ends the process
// before a buffer would overflow or an impossible value is used.
#define check_or_abort(condition) ((condition) ? (void)0 : end_with_abort())
[[noreturn]] void end_with_abort();  // error_reporting.cpp

enum : size_t {
    path_capacity = 4096,
    record_name_capacity = 1024,
    output_window_size = 131072,
    input_block_size = 262144,  // the archive is read from the file in blocks of this size
    chunk_size = 32768,
    created_directory_limit = 1024,
    launcher_directory_capacity = 4112,
    command_line_capacity = 32768,
    launcher_path_capacity = 4097,
    system_path_capacity = path_capacity + 8,  // a path and its \\?\UNC prefix
    // The removal takes roots as long as Windows allows and goes as deep as
    // such paths reach, deeper than the launcher itself writes: the
    // application may have made them. Deeper folders stay.
    removal_path_capacity = 32768,
    removal_depth_limit = removal_path_capacity / 2,
    archive_identity_length = 64,
    application_tag_length = 16,
    // The writer pool: at most this many writer threads, each with a few
    // chunks of decoded bytes queued for it, so the queue stays small.
    held_folder_limit = 128,  // folders from the root or the profile down to a tree; a deeper place is not used
    writer_limit = 4,
    chunks_per_writer = 4,
    pool_chunk_limit = writer_limit * chunks_per_writer,
    pool_file_limit = writer_limit * chunks_per_writer,
};

// A file handed to the writer pool: its record, its path and its queued
// chunks, which the writer that takes it writes in order.
struct PoolFile {
    bool used;                    // the slot holds a file not yet closed
    bool taken;                   // a writer has it
    bool complete;                // every chunk of it has been queued
    uint64_t sequence;            // its record's number in stream order
    int32_t first_chunk;          // oldest queued chunk, or -1
    int32_t last_chunk;           // newest queued chunk, or -1
    wchar_t path[path_capacity];  // unpack directory \ record name
};

// A chunk of decoded bytes between the decoding thread and a writer.
struct PoolChunk {
    unsigned char *bytes;         // chunk_size bytes of the pool's one allocation
    DWORD length;
    int32_t next;                 // next chunk of the same file, or of the free list; -1 ends
};

// One tree removal's working memory; each thread that removes trees has its
// own. Below the root the walk holds no path, only per level the open
// handle of the directory being emptied.
struct RemovalWalk {
    bool (*may_go_on)();                       // asked before each entry; null: the walk never stops early
    size_t removed;                            // entries this walk has deleted, over all its trees
    wchar_t root_path[removal_path_capacity];  // the root as a \\?\ path
    HANDLE directories[removal_depth_limit];   // level 0 is the root
    ULONGLONG entry[512];                      // one listed entry, as the system's directory query gives it
};

// One packed file as a tree's manifest keeps it (tree_manifest.cpp).
struct TreeManifestEntry {
    uint64_t name_hash;     // of the record name as packed
    uint64_t size;
    uint64_t content_hash;  // the packer's XXH64 of the content
};

enum : LONG {
    stop_step_open = 1,
    stop_requested = 2,
    stop_owns_directory = 4,
    stop_removal_started = 8,
    stop_removal_done = 16,
    stop_application_in_process = 32,
    stop_sweep_ending = 64,
    stop_reporting = 128,
    stop_entry_has_interrupts = 256,
    // Entries the sweep removes at every start even when asked to end
    // before: dead trees go after a bounded number of starts however
    // quickly each application ends.
    sweep_minimum_entries = 8,
};

struct LauncherState {
    // Start-up: captured once by the main sequence.
    int argument_count;                 // the C runtime's __argc
    wchar_t **argument_vector;          // the C runtime's __wargv, handed unchanged to run_code
    bool child_role;                    // decided once; clear in the parent role

    // Where the application is unpacked. Written by the main thread only
    // (read by the interrupt thread, which removes it only while the run
    // owns what it names). What it holds, in the order of the writes:
    //   1. the expanded spec (main sequence): the per-run directory, or for
    //      a reusing launcher the stem its tree is named after;
    //   2. instead, the default per-run directory in TEMP when a spec's place
    //      does not pass (place_per_run_directory) or a reused tree cannot
    //      be trusted or its lock not had (start_from_reused_tree); in a
    //      child, the parent's directory as VESKAR_ONEFILE_TREE names it;
    //   3. a reusing parent: its working directory `<tree>~<random>` while it
    //      unpacks into it, or a kept one it found;
    //   4. then the published tree, once the rename has succeeded.
    wchar_t unpack_directory[path_capacity];

    // Pack-time settings from the build notes (build_notes.cpp); defaults without them.
    const char *build_notes;            // the notes section as loaded
    uint64_t build_notes_length;
    wchar_t unpack_path_spec[path_capacity];   // empty: default_unpack_path_spec
    bool reuse_tree;                    // keep the unpacked tree between runs (reused_tree.cpp)
    bool reuse_in_child_process;        // a reused tree's application runs in a child all the same
    char archive_identity[archive_identity_length + 1]; // SHA-256 of the attached data, hex; empty: unknown
    char application_tag[application_tag_length + 1];   // digits of the application identity's hash; empty: none in the notes
    bool running_from_reused_tree;      // the parent holds the published tree or a kept working directory (not owned: kept at exit)
    bool flush_unpacked_files;          // the boot is not known: a tree's files reach the disk before they close
    FILETIME boot_file_time;            // this boot's stamp on a tree's files (tree_durability.cpp); zero: not known
    FILETIME unpacked_file_time;        // the stamp a whole file of a tree gets: this boot's, or durable when flushed
    const char *file_hashes;            // the notes' file_hashes line: 16 hex digits per file line
    size_t file_hash_count;
    alignas(8) unsigned char hash_buffer[65536]; // a file read back for its content hash; a listing of the tree in hand
    wchar_t reused_sweep_path[path_capacity];      // the sweep beside it: the folder
    wchar_t reused_sweep_candidate[path_capacity]; // and one of its entries
    bool taking_over;                   // the unpack in hand is a takeover (tree_takeover.cpp)
    bool takeover_same_archive;         // its source is of this archive: whole files are told by their stamps
    bool takeover_source_same_archive;  // the same for the link source while a directory to take is looked for
    wchar_t takeover_source[path_capacity];    // a held tree the new one links its unchanged files from; empty: in place
    wchar_t takeover_candidate[path_capacity]; // a directory looked at, then a source file
    const char *frame_index;            // the notes' frames line: per frame 16 hex digits of its first record, 16 of its archive offset
    size_t frame_count;
    size_t takeover_next_frame;         // during a takeover: the index entry of the next frame not yet looked at
    size_t takeover_kept_below;         // records before this one were found already there in a look ahead
    size_t takeover_missing_at;         // the record such a look found missing, judged once; SIZE_MAX: none
    const char *takeover_note_cursor;   // the look's place in the file lines, at file line takeover_note_index
    size_t takeover_note_index;
    TreeManifestEntry *takeover_manifest;  // what the source's archive packed (tree_manifest.cpp); null: not known
    size_t takeover_manifest_count;
    HANDLE held_folders[held_folder_limit];        // the folders above a spec's place, judged and held without delete
    int32_t held_folder_count;                     // sharing for the run's life (held_folders.cpp)

    // Attached data and its reader. The archive lies in the launcher's own
    // file after the image, where the build notes say; it is read through
    // one handle, a block at a time, never past its end.
    uint64_t archive_offset;            // from the build notes: file offset of the header
    uint64_t archive_length;            // from the build notes: header to trailer; 0: none named
    HANDLE archive_file;                // the launcher's own file while the reader is open
    uint64_t archive_read_position;     // file offset of the next block
    unsigned char *input_block;         // input_block_size bytes of the frame as read from the file
    ZSTD_DCtx *decompression_context;   // created at open, freed at close (parent role only)
    ZSTD_inBuffer input;                // the current block; pos advanced by zstd only
    ZSTD_outBuffer output;              // during a step: capacity and bytes produced; between steps: valid bytes and read cursor
    unsigned char *output_window;       // output_window_size bytes of decompressed data
    bool window_filled;                 // last step filled the window: the decoder may hold more
    bool frame_ended;                   // the decoder ended a frame at its last step, or has begun none

    // Unpacking.
    wchar_t current_record_name[record_name_capacity];
    wchar_t current_record_path[path_capacity];  // unpack directory \ record name
    wchar_t first_record_path[path_capacity];    // the application library; empty until the first record
    unsigned char chunk_buffer[chunk_size];      // file contents on their way to WriteFile
    wchar_t *created_directories[created_directory_limit]; // owned copies of paths known to exist; entry 0 is the unpack directory
    int32_t created_directory_count;

    // The writer pool (writer_pool.cpp): in the parent, the main thread
    // decodes and makes directories; the writers create, write and close
    // the files.
    int32_t unpack_threads;             // from the build notes: threads that unpack, the decoding one included; 0: chosen at run time
    bool exe_entry;                     // the first record is a program the parent starts itself; clear: a library for the child
    int32_t writer_count;               // writers started for this unpack and not yet joined; 0: the main thread writes itself
    DWORD decoding_thread;              // the thread that started them: only its reports wait for them
    HANDLE writer_threads[writer_limit]; // joined by the main thread once the input has ended
    unsigned char *pool_bytes;          // chunks_per_writer chunks per writer, allocated while the pool runs
    volatile LONG pool_failed;          // a writer has recorded a failure: the decoding thread settles at its next step
    SRWLOCK pool_lock;                  // guards the fields from here to the end of the group
    CONDITION_VARIABLE work_ready;      // writers wait: a file to take, its next chunk, its end, or a removal
    CONDITION_VARIABLE space_ready;     // the decoding thread waits: a free file slot or chunk, or a removal
    PoolFile pool_files[pool_file_limit];
    PoolChunk pool_chunks[pool_chunk_limit]; // the first chunks_per_writer per writer are used
    int32_t free_chunk;                 // head of the free list, or -1
    uint64_t next_sequence;             // number of the next record handed over
    bool input_ended;                   // nothing more comes: a writer ends when no file is left to take
    uint64_t failure_sequence;          // the earliest failing record a writer met, or UINT64_MAX
    DWORD failure_error;                // its system error; 0: the file could not be opened
    wchar_t failure_path[path_capacity]; // its path
    // What the message routines run before a report, set by the layer that
    // needs it: the pool while its writers run. Null: nothing.
    void (*settle_before_report)();

    // Child launch and supervision.
    wchar_t launcher_directory[launcher_directory_capacity]; // value of VESKAR_ONEFILE_DIRECTORY
    wchar_t launcher_executable_path[path_capacity];         // from GetModuleFileNameW; the child's image and argument 0
    wchar_t child_command_line[command_line_capacity];       // rebuilt, re-quoted command line
    wchar_t split_argument[command_line_capacity];           // one argument of the own command line on its way there
    wchar_t **application_arguments;    // in one process: the vector a child would get, null-terminated
    int application_argument_count;
    wchar_t fixed_argument[command_line_capacity];           // an entry program's fixed argument as packed, before expansion
    HANDLE entry_job;                   // the job an entry program runs in; never closed: it ends the entry with the launcher

    // The stop protocol: who may create, write, remove, start the child and
    // end the process, and when. Its state is `stop_state`, whose bits only
    // the operations of stop_protocol.cpp change, with interlocked
    // instructions (full barriers). The threads: M, the main thread (decodes
    // and makes directories, starts and waits for the child or runs the
    // application, removes at the end, reports failures); I, the interrupt
    // thread (the system's thread for the first console event); E, the
    // threads of later events; W, the writer threads (writer_pool.cpp); S,
    // the sweep thread (stale_trees.cpp).
    //
    //   bit                          set by, when                      cleared    while it is set
    //   stop_step_open               M, entering a guarded step        M, at the  I waits for the step to end, so
    //                                (making the unpack directory,     step's     what a step makes is known to it
    //                                creating and publishing the       end
    //                                child, publishing or keeping a
    //                                reused tree), only while
    //                                stop_requested is clear
    //   stop_requested               I, at the first console event     never      no step begins; E wait to be ended;
    //                                                                             a report prints nothing and waits
    //                                                                             (but one of I itself); only I ends
    //                                                                             the process, once the child is
    //                                                                             ended and the directory removed,
    //                                                                             with the interrupted status
    //   stop_owns_directory          M, inside the step that creates   M, inside  the removal takes the directory
    //                                the unpack directory              the step
    //                                                                  that
    //                                                                  publishes
    //                                                                  or keeps it
    //   stop_removal_started         M or I, as a removal begins       never      a second removal waits for the
    //                                (one at a time)                              first; W close their files and
    //                                                                             end, silently (a failure is the
    //                                                                             removal's doing); the removal
    //                                                                             walks once `live_writers` is 0
    //   stop_removal_done            the removing thread, at its end   never      a waiting removal returns
    //   stop_application_in_process  M, inside a guarded step, before  never      console events are the
    //                                run_code runs in this process                application's: I and E pass them
    //                                from a published tree                        on and remove nothing; reports go
    //                                                                             on as an application's
    //   stop_sweep_ending            M, once the application ended     never      S stops at its next entry once it
    //                                                                             has removed sweep_minimum_entries
    //   stop_reporting               the reporting thread, as a        never      the report prints its line and ends
    //                                report begins while                          the process with its status; I
    //                                stop_requested is clear                      leaves the end to it
    //   stop_entry_has_interrupts    M, inside the launch step of a    never      Ctrl+C and Ctrl+Break are the entry
    //                                program entry, once it is                    program's: I and E ignore them and
    //                                published                                    M waits for the program as before
    //
    // Writers besides the bits: `live_writers` counts writer threads started
    // and not yet ended (counted before they check removal_has_begun()). A
    // writer never reports and never ends the process: it records its
    // failure with the record's number, and M, which decodes ahead of it,
    // lets the writers finish what was handed over before it reports, and
    // reports the earliest failing record.
    volatile LONG stop_state;
    volatile DWORD interrupt_thread;    // the thread of the first console event, once it has begun; its own reports go on
    HANDLE volatile current_file;       // the file being written, or INVALID_HANDLE_VALUE; closed before a removal
    volatile LONG live_writers;         // writer threads started and not yet ended; the removal waits for zero
    HANDLE volatile held_directory;     // the unpack directory, open for the run's life without delete sharing:
                                        // while it is held, no other launcher's sweep takes the tree for dead
    HANDLE volatile child_process;      // shared with the interrupt thread; taken out only by atomic exchange
    volatile LONG child_handle_releases; // the second of the two threads to let go of a taken handle closes it
    RemovalWalk removal_walk;           // the removal of the unpack directory
    RemovalWalk sweep_walk;             // the sweep thread's removals
    HANDLE sweep_thread;                // null until the application runs; joined before the parent's removal
    bool sweep_hurried;                 // the sweep thread has left background mode for its last entries

    // Splash screen: its own thread makes the window, pumps its messages
    // and takes it down when the feedback file goes; no other thread
    // touches it.
    HWND splash_window;                 // null while no splash is up
    wchar_t splash_feedback_file_path[path_capacity];  // empty until the window is up
    HANDLE splash_ready;                // set by the splash thread once its window and file are made
    volatile DWORD splash_entry_process; // an entry program whose first visible top-level window takes the splash down; 0: none

    // Progress while the parent unpacks (unpack_progress.cpp): counted and
    // published by the decoding thread, shown by the console line, the
    // splash's bar or the progress window.
    bool progress_off;                  // packed with --no-progress
    uint64_t progress_total;            // bytes of the files to write, from the notes; 0: unknown, nothing shown
    uint64_t progress_done;             // bytes handed to be written so far (decoding thread only)
    ULONGLONG progress_next_tick;       // when the decoding thread next publishes; 0: not counting
    volatile LONG64 progress_shown;     // the published count, valid once progress_visible is set
    volatile LONG progress_visible;     // set at the first publication, a second into the unpacking
    volatile LONG progress_ended;       // set once the unpacking is over or stopped: the displays end
    HANDLE progress_console;            // standard error, when it is an interactive console; else null
    DWORD progress_console_mode;        // its mode before ours, restored at the end
    bool progress_terminal_sequence;    // the console took virtual-terminal sequences: the tab shows progress too
    DWORD progress_line_length;         // units of the line on the console now; 0: none
    SRWLOCK progress_lock;              // one writer of the console line at a time: the decoding or the interrupt thread
    HANDLE progress_window_thread;      // the progress window's thread, once started
    volatile LONG progress_cancelled;   // Cancel pressed, or the window closed: its thread stops the start
    struct ITaskbarList3 *taskbar_list; // made once by the thread that shows progress in a window; null: none
    bool taskbar_list_tried;            // that thread has tried to make it
    wchar_t application_name[128];      // from the version information, else the launcher's file name

    // The launcher's own path, each computed on first use.
    wchar_t resolved_launcher_path[launcher_path_capacity]; // canonical form, for the same-executable test
    wchar_t plain_launcher_path[launcher_path_capacity];    // exactly as GetModuleFileNameW gives it
};

extern LauncherState launcher_state;

// The application's entry point, exported by the first record.
typedef int (*run_code_function)(int argument_count, wchar_t **argument_vector, const wchar_t *library_path);


// main_sequence.cpp
int run_main_sequence();
extern const wchar_t default_unpack_path_spec[];
// Removes the values that name a run's unpack directory (time, random
// text), which only a child needs to find its parent's.
void clear_unpack_name_values();

// build_notes.cpp
void read_build_notes(const char *notes, uint64_t length);
// The next line "key=VALUE" from `cursor` on; false when there is none.
bool next_build_note(const char *&cursor, const char *key, const char *&value, size_t &length);
// UTF-8 to UTF-16; empty and false when it is not valid or does not fit.
bool wide_from_utf8(const char *text, size_t length, wchar_t *target, size_t capacity);
uint64_t hex_digits_value(const char *digits, size_t count);  // lowercase digits, checked by the caller

// reused_tree.cpp: the reusing parent's sequence, and the child's part.
// How a reusing parent goes on once it has looked for its tree.
enum ReusedTreeOutcome {
    reused_tree_published,      // the published tree, checked and held; kept at exit
    reused_tree_unpublished,    // a complete working directory the system would not rename into place:
                                // checked, held and kept at exit; a later start publishes it
    reused_tree_untrusted,      // someone else could change the place: a fresh per-run directory instead
    reused_tree_lock_timed_out, // another start held the archive's lock too long: a fresh per-run directory
};
// What the main sequence does after start_from_reused_tree (the child role never returns).
enum ReusedStart { reused_start_ready, reused_start_fresh_directory };
ReusedStart start_from_reused_tree();
// A tree's name: `<spec>_<application digits>_<archive digits>`; a working
// directory's adds "~" and 11 random characters.
enum : size_t { identity_digits_in_name = 16, working_suffix_length = 12 };
// Access of a tree's root held while this process runs from it. Without
// delete sharing it keeps the tree from being renamed or removed; the
// listing access makes an exclusive open fail. Reading its security and
// attributes is no use of the tree.
const DWORD held_access = FILE_LIST_DIRECTORY | SYNCHRONIZE;
const DWORD inspect_access = READ_CONTROL | FILE_READ_ATTRIBUTES;
const DWORD held_share = FILE_SHARE_READ | FILE_SHARE_WRITE;

// tree_check.cpp
bool read_file_note(const char *value, size_t length, uint64_t &size, wchar_t *name, size_t capacity);
bool tree_matches_archive(const wchar_t *tree);
void set_first_record_path(const wchar_t *tree);

// tree_durability.cpp: the stamps a tree's files carry, and how a file becomes durable.
extern const FILETIME durable_file_time;
void settle_boot_stamp();  // boot_file_time, unpacked_file_time and flush_unpacked_files, once per start
bool is_this_boots_stamp(const FILETIME &time);
uint64_t record_content_hash(size_t index, bool &known);  // of the index-th file line
// Whether the file at `path` holds `size` bytes with the content hash
// `hash`; with `seal`, one that does is flushed and stamped durable (or,
// where it cannot be opened for writing, stamped as this boot's).
bool file_has_content(const wchar_t *path, uint64_t size, uint64_t hash, bool seal);

// tree_publication.cpp
HANDLE open_directory(const wchar_t *path, DWORD access, DWORD share);  // never follows a link
bool rename_held_directory(HANDLE directory, const wchar_t *target);  // open with delete access; `target` must not exist
void make_working_name(wchar_t *path, size_t capacity, const wchar_t *tree);  // `tree`~<11 random characters>
void unpack_into_working_directory(const wchar_t *tree);  // owned and held as held_directory; ends the process on failure
bool publish_tree(const wchar_t *tree, bool replace, int attempts, HANDLE &held);  // false: keep the working directory
HANDLE keep_working_directory();  // disowns the working directory and holds it again
bool find_kept_working_directory(const wchar_t *tree);  // a complete one a start could not publish

// archive_lock.cpp
enum ArchiveLock { archive_lock_had, archive_lock_timed_out, archive_lock_untrusted };
ArchiveLock lock_archive(const wchar_t *tree, HANDLE &lock);  // beside `tree`, whose folders are held
void unlock_archive(HANDLE lock);

// tree_leftovers.cpp
void sweep_beside_reused_tree();  // the sweep thread's part in a reusing parent
size_t version_stem_length(const wchar_t *own_name);  // of "<name>_<application>_", shared by every version
// A tree or working directory of another archive of the application, or a
// working directory of this one, by its name beside the tree `own_name`.
bool is_version_name(const wchar_t *name, const wchar_t *own_name, size_t stem_length);

// tree_takeover.cpp
// Makes the tree in a working directory from a tree or working directory
// beside `tree` (in place, or by links while a launcher holds it); false,
// having done nothing, when there is none.
bool take_over_beside(const wchar_t *tree);
// During a takeover, before the record at current_record_path is written:
// true when the file is already there whole (or linked), its bytes to be
// skipped; false, with whatever stood in the way removed, when it is to be written.
bool takeover_keeps_record(size_t index, uint64_t size);
// At the record `index` during a takeover: frames of the index whose
// records are all already there are skipped, undecoded, and `index` moved
// past them. False when none is left to decode.
bool skip_frames_already_there(size_t &index);

// tree_manifest.cpp: what a tree's archive packed, kept beside it.
void write_tree_manifest(const wchar_t *tree);
void load_takeover_manifest(const wchar_t *source);  // a tree or working directory of another archive
bool manifest_vouches(const wchar_t *name, uint64_t size, uint64_t content_hash);
bool remove_tree_manifest(const wchar_t *directory);  // of the tree a directory is, or a working directory of; false: still there
bool is_manifest_name(const wchar_t *name, size_t &stem);  // `<stem>.files`

// tree_security.cpp
// Whether only the user, SYSTEM and Administrators may change what the
// descriptor guards: a tree (owned by the user, nothing it would pass on to
// what is made inside granting anyone else write) or, `above_tree`, a
// folder above one (also owned by SYSTEM or Administrators; what it only
// passes on is judged on the folder it reaches).
bool security_is_private(PSECURITY_DESCRIPTOR descriptor, PSID user, bool above_tree = false);
bool directory_is_private(HANDLE directory, bool above_tree);  // a real directory whose security passes, through its handle

// environment.cpp
wchar_t *read_environment_variable(const char *name);
BOOL write_environment_variable(const char *name, const wchar_t *value);
void append_narrow_text(wchar_t *target, const char *text, size_t capacity);
void append_wide_text(wchar_t *target, const wchar_t *text, size_t capacity);
void copy_wide_text(wchar_t *target, const wchar_t *text, size_t capacity);

// path_spec.cpp
bool expand_path_spec(wchar_t *output, const wchar_t *spec, size_t capacity);
void make_random_text(const uint8_t (&bytes)[8], wchar_t (&text)[12]);

// role_decision.cpp
bool decide_role();  // true: child role
void normalize_executable_path(wchar_t *path, size_t capacity);
void shorten_directory_part(wchar_t *path, size_t capacity);
const wchar_t *get_launcher_path(bool resolved);

// attached_data_reader.cpp
void open_attached_data();
void read_exactly(void *destination, uint64_t count);
void read_record_name();
uint64_t read_record_size();
void close_attached_data();
// Whether the decoder stands exactly where the frame at `offset` (from the
// archive's start) begins, the frame before it ended; runs the decoder up
// to that end where only the end of a frame is left.
bool reader_at_frame(uint64_t offset);
void skip_to_frame(uint64_t offset);  // goes on from the frame at `offset`, nothing before it decoded

// system_library.cpp
FARPROC load_system_function(const wchar_t *library, const char *name);  // null when either is missing
template <typename Function>
Function system_function(const wchar_t *library, const char *name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void *>(load_system_function(library, name)));
}

// held_folders.cpp
// Opens and judges every folder above `path` (from the root, or from the
// user's profile when it is below it) and keeps them held; false, holding
// none, when one may not stand above a tree.
bool hold_folders_above(const wchar_t *path);
bool is_trusted_installer(PSID sid);  // NT SERVICE\TrustedInstaller, which owns a system drive's root
// Without reuse: a directory below a pack-time spec is used only below
// folders that pass, otherwise the default place; the parent names it to
// the child in VESKAR_ONEFILE_TREE.
void place_per_run_directory();

// system_paths.cpp: every path the launcher hands to the system goes
// through system_path; the state keeps the plain form, which the
// application and the messages see.
struct SystemPath {
    wchar_t text[system_path_capacity];
};
// `path` itself while it is shorter than any limit of the system, otherwise
// its full \\?\ (or \\?\UNC\) form, written into `buffer`.
const wchar_t *system_path(SystemPath &buffer, const wchar_t *path);
// For calls that refuse the \\?\ form: `path` itself while it is short,
// else its short form when it has one short enough, else `path`.
const wchar_t *unprefixed_system_path(SystemPath &buffer, const wchar_t *path);
// Always the full \\?\ form, into `target`; false when it does not fit.
bool make_prefixed_path(wchar_t *target, size_t capacity, const wchar_t *path);

// unpacking.cpp
const SID *current_user_sid();  // null when the system cannot say
bool process_is_elevated();     // high integrity or above: the user's unelevated processes must not change what it loads
SECURITY_ATTRIBUTES *private_directory_security(bool administrators_only = false);
HANDLE create_private_directory(const wchar_t *path, ACCESS_MASK access, bool administrators_only = false);  // made and opened in one step, or null
void create_unpack_directory(ACCESS_MASK access = FILE_LIST_DIRECTORY);  // parent role: a fresh, private directory, or the process ends
void hold_unpack_directory();    // child role: the tree stays marked as in use while the application runs
void unpack_all_records();  // in the child role it never returns
bool ensure_directory(const wchar_t *path);
void ensure_parent_chain(const wchar_t *path);
void make_record_folder();  // the folder the record at current_record_path goes into
bool record_name_is_safe(const wchar_t *name);

// file_writing.cpp: one file of the tree, by either path.
HANDLE create_unpacked_file(const wchar_t *path);  // INVALID_HANDLE_VALUE with the error set
bool write_all(HANDLE file, const unsigned char *bytes, DWORD count, DWORD &error);  // all of it, or false
// Closes the file; one written `whole` is first flushed where the tree's
// rule says so, then stamped. False, with the error, when the flush failed.
bool close_unpacked_file(HANDLE file, bool whole, DWORD &error);

// writer_pool.cpp: the parent's unpacking with writer threads.
bool start_writer_pool();      // false: the main thread writes itself
// A file still being written at the same name, or at the name of a folder
// the record needs, would make the order of the records visible: wait for it.
void wait_for_earlier_files_at(const wchar_t *path);
void hand_file_to_writers(const wchar_t *path, uint64_t size);  // decodes the record's content into the queue
void settle_writers();         // decoding thread: reports the earliest failure a writer met, if any; else returns
void wake_writers_for_removal();

// library_handoff.cpp
[[noreturn]] void hand_off_to_library();
int run_application_in_own_process();  // a reusing parent, from its published and held tree: run_code's status

// child_launch.cpp
DWORD launch_and_supervise();
void publish_for_application();  // the variables the application reads, and the launcher's own path
void append_quoted_argument(wchar_t *command_line, size_t &length, size_t capacity, const wchar_t *argument);
bool split_next_argument(const wchar_t *&cursor, wchar_t *argument, size_t capacity, bool first);

// tree_removal.cpp
enum RemovalAction { removal_enter_directory, removal_remove_directory, removal_delete_file };
RemovalAction removal_action(DWORD attributes);
// Removes the tree at `path` (absolute, of any length): one pass, then up to
// 20 more 100 ms apart while the root remains. Never follows a reparse
// point: a link, the root included, goes as a name.
void remove_tree(RemovalWalk &walk, const wchar_t *path);
// The same for a tree nobody may be using any more: the root is opened
// exclusively first, and while any process holds it open with read, write
// or delete access (a running launcher holds its unpack directory so), or
// it is no real directory, nothing is removed and the result is false.
bool remove_tree_unless_held(RemovalWalk &walk, const wchar_t *path);


// stop_protocol.cpp: the only code that changes stop_state (see LauncherState).
bool begin_guarded_step();     // false once a stop is requested: the caller then calls stop_for_interrupt
void end_guarded_step();
void own_unpack_directory(HANDLE held);  // inside the step that created it
HANDLE disown_unpack_directory();  // inside the step that published a reused tree; returns the handle that held it
bool removal_has_begun();      // a failed file operation is then the removal's doing
bool stop_is_requested();
void begin_report();           // every report first: returns only when this report ends the process
bool writer_may_start();       // the main thread, before it starts a writer thread; false: a removal has begun
void writer_ended();           // a writer thread's last step
[[noreturn]] void stop_for_interrupt();  // lets the file go and waits for the interrupt thread to end the process
void publish_child(HANDLE process);      // inside the launch step
void let_child_go(HANDLE process);       // the main thread, once it has waited for the child
void cleanup();                // ends the child, waits for the sweep, removes what the run owns
bool hand_console_to_application();  // false once a stop is requested: the caller then calls stop_for_interrupt
void hand_interrupts_to_entry();     // inside the launch step, once the entry program is published
bool sweep_may_go_on();        // the sweep thread, before each entry
void end_sweep();              // asks the sweep to end and waits for it
void remove_unpack_directory();  // what this run made; waits for a removal already running
void remove_unpack_directory_after_failure();  // the parent's failure paths, before they end the process
BOOL WINAPI console_control_handler(DWORD event_type);

// stale_trees.cpp
void start_sweep_of_stale_trees();  // parent role, as the application starts
bool is_launcher_tree_name(const wchar_t *name);
bool is_splash_feedback_name(const wchar_t *name);

// OnefileSplashScreen.cpp
void show_splash_screen();
POINT centre_in_work_area(const RECT &work_area, LONG width, LONG height);
// What the splash and the progress window share, on their own threads.
bool load_window_functions();            // false: no window can be had
POINT centre_on_primary_monitor(LONG width, LONG height);
void pump_window_messages(DWORD timeout_ms);  // waits up to the timeout for messages, then dispatches them

// unpack_progress.cpp: the parent's progress while it unpacks.
void begin_unpack_progress();
void publish_unpack_progress();  // the decoding thread, at most every 100 ms once a second has passed
// The decoding thread, for every chunk it hands to be written.
inline void count_unpacked_bytes(uint64_t count)
{
    LauncherState &s = launcher_state;
    s.progress_done += count;
    if (s.progress_next_tick != 0 && GetTickCount64() >= s.progress_next_tick)
        publish_unpack_progress();
}
void end_unpack_progress();      // any thread, any number of times: the console as before, the window gone

// OnefileProgressWindow.cpp
void start_progress_window();
// The taskbar button of a window of this thread: the published progress, or none once it is over.
void show_taskbar_progress(HWND window);
