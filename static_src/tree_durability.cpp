// What makes a reused tree safe across a power cut without flushing every
// file before the application runs. NTFS keeps sizes and times across a
// power loss even where it loses contents written but not yet on the disk,
// so a file's last-write time says how far it is trusted:
//
//   durable_file_time (1 January 2000)  its contents are known to be on the
//                                       disk: flushed, then stamped
//   this boot's stamp (its start time)  written whole in this boot, perhaps
//                                       only in the file cache, which is
//                                       coherent until the machine restarts
//   anything else                       rewritten since, or written in an
//                                       earlier boot and never made durable:
//                                       read and compared with the content
//                                       hash the notes give it
//
// A first start writes its files with this boot's stamp and publishes the
// tree at once. The first start of a later boot reads each file of an
// earlier boot's stamp once, before its application runs, and flushes and
// stamps it durable (or, where a running copy of the application keeps it
// from being opened for writing, stamps it as this boot's). Nothing is
// flushed while an application runs: a file open for writing would make
// the application's own opens that share no writing fail, its library
// loads among them.
#include "launcher.h"

#include <winternl.h>

// The state on the stack: no allocation on a start that reads files back.
#define XXH_STATIC_LINKING_ONLY
#include "common/xxhash.h"

const FILETIME durable_file_time = {0x256D4000u, 0x01BF53EBu};

// Stamps are whole even seconds: FAT volumes keep times to two seconds.
enum : uint64_t { stamp_unit = 20000000 };

void settle_boot_stamp()
{
    LauncherState &s = launcher_state;
    typedef LONG(NTAPI * QueryFunction)(ULONG, void *, ULONG, ULONG *);
    auto query = system_function<QueryFunction>(L"ntdll.dll", "NtQuerySystemInformation");
    // The time-of-day class: the boot time comes first.
    enum : ULONG { system_time_of_day_information = 3 };
    uint64_t time_of_day[6] = {};
    ULONG size = 0;
    s.boot_file_time = FILETIME{0, 0};
    if (query != nullptr &&
        query(system_time_of_day_information, time_of_day, sizeof time_of_day, &size) >= 0 && time_of_day[0] != 0) {
        uint64_t boot = time_of_day[0] - time_of_day[0] % stamp_unit;
        s.boot_file_time = FILETIME{static_cast<DWORD>(boot), static_cast<DWORD>(boot >> 32)};
    }
    // Where the boot is not known, every file is flushed before the tree is
    // published, and stamped durable.
    s.flush_unpacked_files = s.boot_file_time.dwHighDateTime == 0;
    s.unpacked_file_time = s.flush_unpacked_files ? durable_file_time : s.boot_file_time;
}

bool is_this_boots_stamp(const FILETIME &time)
{
    const LauncherState &s = launcher_state;
    return s.boot_file_time.dwHighDateTime != 0 && CompareFileTime(&time, &s.boot_file_time) == 0;
}

uint64_t record_content_hash(size_t index, bool &known)
{
    const LauncherState &s = launcher_state;
    known = index < s.file_hash_count;
    return known ? hex_digits_value(s.file_hashes + index * 16, 16) : 0;
}

bool file_has_content(const wchar_t *path, uint64_t size, uint64_t hash, bool seal)
{
    LauncherState &s = launcher_state;
    SystemPath system;
    const wchar_t *name = system_path(system, path);
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const DWORD flags = FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT;
    // Write access only to flush: a library loaded from the file refuses it.
    HANDLE file = seal ? CreateFileW(name, GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING, flags, nullptr)
                       : INVALID_HANDLE_VALUE;
    bool writable = file != INVALID_HANDLE_VALUE;
    if (!writable)
        file = CreateFileW(name, GENERIC_READ | (seal ? FILE_WRITE_ATTRIBUTES : 0), share, nullptr, OPEN_EXISTING,
                           flags, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    XXH64_state_t state;
    XXH64_reset(&state, 0);
    uint64_t read_total = 0;
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, s.hash_buffer, sizeof s.hash_buffer, &read, nullptr) || read == 0)
            break;
        XXH64_update(&state, s.hash_buffer, read);
        read_total += read;
    }
    bool same = read_total == size && XXH64_digest(&state) == hash;
    // Read back whole: durable once flushed, else trusted in this boot.
    if (same && seal && writable && FlushFileBuffers(file))
        SetFileTime(file, nullptr, nullptr, &durable_file_time);
    else if (same && seal && s.boot_file_time.dwHighDateTime != 0)
        SetFileTime(file, nullptr, nullptr, &s.boot_file_time);
    CloseHandle(file);
    return same;
}
