// One unpacked file, written the same way by the main thread and by the
// writer pool's threads: made, written whole, flushed where that is the
// rule, and only then given the last-write time that the check of a reused
// tree trusts. A file cut short by a failure, a full disk or a stop keeps
// the time of its writing, so no check ever takes it for a packed one.
#include "launcher.h"

// Made new: never over a file this unpack wrote (a record whose name is
// another's short name would otherwise replace it). A takeover deletes
// what stands at a name before it writes there.
HANDLE create_unpacked_file(const wchar_t *path)
{
    SystemPath system;
    return CreateFileW(system_path(system, path), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_NEW, 0, nullptr);
}

bool write_all(HANDLE file, const unsigned char *bytes, DWORD count, DWORD &error)
{
    while (count > 0) {
        DWORD written = 0;
        if (!WriteFile(file, bytes, count, &written, nullptr)) {
            error = GetLastError();
            return false;
        }
        // A write that stores only part of the chunk is continued, so a
        // full disk is reported with the system's own error.
        if (written == 0 || written > count) {
            error = ERROR_WRITE_FAULT;
            return false;
        }
        bytes += written;
        count -= written;
    }
    return true;
}

bool close_unpacked_file(HANDLE file, bool whole, DWORD &error)
{
    LauncherState &s = launcher_state;
    bool flushed = !whole || !s.flush_unpacked_files || FlushFileBuffers(file);
    if (!flushed)
        error = GetLastError();
    if (whole && flushed && s.reuse_tree)
        SetFileTime(file, nullptr, nullptr, &s.unpacked_file_time);
    CloseHandle(file);
    return flushed;
}
