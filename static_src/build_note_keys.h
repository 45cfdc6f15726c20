// The keys of the build notes, the "key=value" lines that the packer writes
// into a launcher's `.vskinfo` section: the one list that the packer, its
// inspecting commands and the launcher share.
#pragma once

inline constexpr char note_level[] = "level";                    // the zstd level (build only)
inline constexpr char note_entry[] = "entry";                    // "exe": the first record is a program
inline constexpr char note_app_arg[] = "app_arg";                // one line per fixed argument, in order
inline constexpr char note_unpack_dir[] = "unpack_dir";          // where the launcher unpacks
inline constexpr char note_unpack_threads[] = "unpack_threads";  // threads that unpack
inline constexpr char note_reuse[] = "reuse";                    // "1": the tree is kept between runs
inline constexpr char note_name[] = "name";                      // a reused tree's readable name
inline constexpr char note_reuse_process[] = "reuse_process";    // "child": a reused tree's application in a child
inline constexpr char note_app_id[] = "app_id";                  // the application identity as shown
inline constexpr char note_app_id_from[] = "app_id_from";        // where that identity came from
inline constexpr char note_application[] = "application";        // 16 hex digits: the identity's hash
inline constexpr char note_file[] = "file";                      // "SIZE NAME" of a reused tree's file
inline constexpr char note_file_hashes[] = "file_hashes";        // 16 hex digits of XXH64 per file line, in order
inline constexpr char note_frames[] = "frames";                  // per frame: 16 hex digits of its first record, 16 of its archive offset
inline constexpr char note_progress[] = "progress";              // bytes to write, or "off": progress at start
// Where the archive lies in the launcher's file, written for every launcher
// as the first three lines, fixed width so that the packer completes them
// in place once the archive is written.
inline constexpr char note_archive_offset[] = "archive_offset";  // 16 hex digits: file offset of "QVY"
inline constexpr char note_archive_length[] = "archive_length";  // 16 hex digits: header to trailer
inline constexpr char note_archive[] = "archive";                // 64 hex digits: SHA-256 of those bytes

enum : unsigned { note_location_digits = 16, note_identity_digits = 64 };
