// The parent's unpacking on more than one thread. The main thread decodes
// and makes each file's directories, then hands the file to a small pool of
// writer threads, which create, write and close files at the same time:
// creating and closing a file cost more than its bytes on Windows (a virus
// scanner reads each new file at its close). The queue between them is a
// fixed set of file slots and chunks, so memory does not grow with the
// archive. A writer never reports: it records the failing record's number,
// and the main thread reports the earliest, as the one-thread loop would.
#include "launcher.h"
#include "error_reporting.h"

#include <stdlib.h>
#include <wchar.h>

// Threads that unpack, the decoding one included. By default one per core:
// beside the decoding thread, a writer per further core; on one core the
// main thread writes itself. Under Wine each thread also costs over 1 MiB
// of private memory (its whole stack counts), so beyond one writer the
// parent passes its 8 MiB bound there; on Windows a thread costs a few pages.
static int32_t writers_to_start()
{
    LauncherState &s = launcher_state;
    int32_t threads = s.unpack_threads;
    if (threads <= 0) {
        SYSTEM_INFO system;
        GetSystemInfo(&system);
        threads = static_cast<int32_t>(system.dwNumberOfProcessors);
    }
    int32_t writers = threads - 1;
    return writers > static_cast<int32_t>(writer_limit) ? static_cast<int32_t>(writer_limit) : writers;
}

static void lock_pool()
{
    AcquireSRWLockExclusive(&launcher_state.pool_lock);
}

static void unlock_pool()
{
    ReleaseSRWLockExclusive(&launcher_state.pool_lock);
}

// Under the lock. Only the earliest record's failure is kept; once a removal
// has begun, a failure is its doing and is not kept at all.
static void record_failure(const PoolFile &file, DWORD error)
{
    LauncherState &s = launcher_state;
    if (removal_has_begun() || file.sequence >= s.failure_sequence)
        return;
    s.failure_sequence = file.sequence;
    s.failure_error = error;
    for (size_t i = 0; i < path_capacity; i++) {
        s.failure_path[i] = file.path[i];
        if (file.path[i] == L'\0')
            break;
    }
    InterlockedExchange(&s.pool_failed, 1);
}

// Under the lock: the oldest file no writer has yet, or null.
static PoolFile *oldest_untaken_file()
{
    LauncherState &s = launcher_state;
    PoolFile *oldest = nullptr;
    for (PoolFile &file : s.pool_files) {
        if (file.used && !file.taken && (oldest == nullptr || file.sequence < oldest->sequence))
            oldest = &file;
    }
    return oldest;
}

static void free_chunk(int32_t chunk)
{
    LauncherState &s = launcher_state;
    s.pool_chunks[chunk].next = s.free_chunk;
    s.free_chunk = chunk;
}

// Takes files oldest first and writes each to its end. A file after a
// failing record is not made: the run ends with the earlier failure anyway.
static DWORD WINAPI write_files(void *)
{
    LauncherState &s = launcher_state;
    lock_pool();
    for (;;) {
        PoolFile *file = oldest_untaken_file();
        if (removal_has_begun() || (file == nullptr && s.input_ended))
            break;
        if (file == nullptr) {
            SleepConditionVariableSRW(&s.work_ready, &s.pool_lock, INFINITE, 0);
            continue;
        }
        file->taken = true;
        bool failed = file->sequence > s.failure_sequence;
        HANDLE handle = INVALID_HANDLE_VALUE;
        if (!failed) {
            unlock_pool();
            if (!removal_has_begun())
                handle = create_unpacked_file(file->path);
            lock_pool();
            if (handle == INVALID_HANDLE_VALUE) {
                record_failure(*file, 0);
                failed = true;
            }
        }
        for (;;) {
            if (removal_has_begun())
                break;
            int32_t chunk = file->first_chunk;
            if (chunk < 0) {
                if (file->complete || s.input_ended)
                    break;
                SleepConditionVariableSRW(&s.work_ready, &s.pool_lock, INFINITE, 0);
                continue;
            }
            file->first_chunk = s.pool_chunks[chunk].next;
            if (file->first_chunk < 0)
                file->last_chunk = -1;
            if (!failed) {
                unlock_pool();
                DWORD error = 0;
                bool written = !removal_has_begun() &&
                               write_all(handle, s.pool_chunks[chunk].bytes, s.pool_chunks[chunk].length, error);
                lock_pool();
                if (!written) {
                    record_failure(*file, error);
                    failed = true;
                }
            }
            free_chunk(chunk);
            WakeConditionVariable(&s.space_ready);
        }
        if (handle != INVALID_HANDLE_VALUE) {
            // Whole: every chunk of it written, none left by a stop.
            bool whole = !failed && file->complete && file->first_chunk < 0 && !removal_has_begun();
            unlock_pool();
            DWORD error = 0;
            bool closed = close_unpacked_file(handle, whole, error);
            lock_pool();
            if (!closed)
                record_failure(*file, error);
        }
        // Chunks left by a removal or an ended input go back with the slot.
        for (int32_t chunk = file->first_chunk; chunk >= 0;) {
            int32_t next = s.pool_chunks[chunk].next;
            free_chunk(chunk);
            chunk = next;
        }
        file->used = false;
        WakeConditionVariable(&s.space_ready);
    }
    unlock_pool();
    writer_ended();
    // Stopped by a removal, the writer waits like every other thread for the
    // interrupt thread to end the process: a thread halfway through its own
    // exit then could hold what the process's end needs.
    if (removal_has_begun()) {
        for (;;)
            Sleep(INFINITE);
    }
    return 0;
}

static void finish_writers_before_report();

bool start_writer_pool()
{
    LauncherState &s = launcher_state;
    int32_t writers = writers_to_start();
    if (writers < 1)
        return false;
    // A few chunks per writer: enough to keep each busy, not whole files.
    int32_t chunks = writers * static_cast<int32_t>(chunks_per_writer);
    s.pool_bytes = static_cast<unsigned char *>(malloc(static_cast<size_t>(chunks) * chunk_size));
    if (s.pool_bytes == nullptr)
        return false;  // the one-thread loop needs no more memory
    s.free_chunk = -1;
    for (int32_t i = chunks - 1; i >= 0; i--) {
        s.pool_chunks[i].bytes = s.pool_bytes + static_cast<size_t>(i) * chunk_size;
        free_chunk(i);
    }
    for (PoolFile &file : s.pool_files)
        file.used = false;
    s.next_sequence = 0;
    s.input_ended = false;
    s.failure_sequence = UINT64_MAX;
    s.pool_failed = 0;
    s.writer_count = 0;
    s.decoding_thread = GetCurrentThreadId();
    while (s.writer_count < writers && writer_may_start()) {
        // A writer's frames are small; the stack is reserved, not committed.
        HANDLE thread = CreateThread(nullptr, 64 << 10, write_files, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION,
                                     nullptr);
        if (thread == nullptr) {
            writer_ended();
            break;
        }
        s.writer_threads[s.writer_count++] = thread;
    }
    if (s.writer_count > 0) {
        s.settle_before_report = finish_writers_before_report;
        return true;
    }
    free(s.pool_bytes);
    s.pool_bytes = nullptr;
    return false;
}

// A writer has recorded a failure: it is reported (or, after an interrupt,
// the process stops); settle_writers never returns with one recorded.
[[noreturn]] static void stop_at_writer_failure()
{
    settle_writers();
    end_with_abort();
}

// Under the lock, on the decoding thread: waits for room, leaving the lock
// to stop once a removal has begun and to report once a writer has failed.
static void wait_for_space()
{
    LauncherState &s = launcher_state;
    if (removal_has_begun()) {
        unlock_pool();
        stop_for_interrupt();
    }
    if (InterlockedOr(&s.pool_failed, 0) != 0) {
        unlock_pool();
        stop_at_writer_failure();
    }
    SleepConditionVariableSRW(&s.space_ready, &s.pool_lock, INFINITE, 0);
}

// True when one path names the other or a folder above it, with names
// compared as Windows compares them (letter case folded).
static bool paths_overlap(const wchar_t *a, const wchar_t *b)
{
    size_t length_a = wcslen(a), length_b = wcslen(b);
    size_t shorter = length_a < length_b ? length_a : length_b;
    if (CompareStringOrdinal(a, static_cast<int>(shorter), b, static_cast<int>(shorter), TRUE) != CSTR_EQUAL)
        return false;
    return length_a == length_b || (length_a < length_b ? b[length_a] : a[length_b]) == L'\\';
}

void wait_for_earlier_files_at(const wchar_t *path)
{
    LauncherState &s = launcher_state;
    lock_pool();
    for (;;) {
        bool overlapping = false;
        for (const PoolFile &file : s.pool_files)
            overlapping = overlapping || (file.used && paths_overlap(file.path, path));
        if (!overlapping)
            break;
        wait_for_space();
    }
    unlock_pool();
}

void hand_file_to_writers(const wchar_t *path, uint64_t size)
{
    LauncherState &s = launcher_state;
    lock_pool();
    PoolFile *file = nullptr;
    for (;;) {
        for (PoolFile &slot : s.pool_files) {
            if (!slot.used) {
                file = &slot;
                break;
            }
        }
        if (file != nullptr)
            break;
        wait_for_space();
    }
    unlock_pool();
    copy_wide_text(file->path, path, array_count(file->path));
    lock_pool();
    file->used = true;
    file->taken = false;
    file->complete = false;
    file->first_chunk = file->last_chunk = -1;
    file->sequence = s.next_sequence++;
    WakeAllConditionVariable(&s.work_ready);
    while (size > 0) {
        while (s.free_chunk < 0)
            wait_for_space();
        int32_t chunk = s.free_chunk;
        s.free_chunk = s.pool_chunks[chunk].next;
        unlock_pool();
        // Decoded straight into the chunk: a decoding failure leaves it out
        // of every list, and the pool ends before the report.
        DWORD length = size < chunk_size ? static_cast<DWORD>(size) : static_cast<DWORD>(chunk_size);
        read_exactly(s.pool_chunks[chunk].bytes, length);
        count_unpacked_bytes(length);
        s.pool_chunks[chunk].length = length;
        s.pool_chunks[chunk].next = -1;
        size -= length;
        lock_pool();
        if (file->last_chunk >= 0)
            s.pool_chunks[file->last_chunk].next = chunk;
        else
            file->first_chunk = chunk;
        file->last_chunk = chunk;
        // Every writer waits on the one variable: the file's own may be any.
        WakeAllConditionVariable(&s.work_ready);
        if (removal_has_begun() || InterlockedOr(&s.pool_failed, 0) != 0) {
            unlock_pool();
            if (removal_has_begun())
                stop_for_interrupt();
            stop_at_writer_failure();
        }
    }
    file->complete = true;
    WakeAllConditionVariable(&s.work_ready);
    unlock_pool();
}

// The writers write what was handed over and end; then they are joined.
static void finish_writers()
{
    LauncherState &s = launcher_state;
    if (s.writer_count == 0)
        return;
    lock_pool();
    s.input_ended = true;
    unlock_pool();
    WakeAllConditionVariable(&s.work_ready);
    WaitForMultipleObjects(static_cast<DWORD>(s.writer_count), s.writer_threads, TRUE, INFINITE);
    for (int32_t i = 0; i < s.writer_count; i++)
        CloseHandle(s.writer_threads[i]);
    s.writer_count = 0;
    s.settle_before_report = nullptr;
    free(s.pool_bytes);
    s.pool_bytes = nullptr;
}

void settle_writers()
{
    LauncherState &s = launcher_state;
    finish_writers();
    // A line would follow the interrupt: the interrupt thread ends the process.
    if (removal_has_begun())
        stop_for_interrupt();
    if (s.failure_sequence == UINT64_MAX)
        return;
    s.failure_sequence = UINT64_MAX;
    if (s.failure_error == 0)
        report_open_for_writing_failure(s.failure_path);
    report_os_error(MESSAGE_WRITE_FAILED, s.failure_error);
}

// Before a report of the decoding thread while writers run: the earliest
// failure a writer met is reported instead.
static void finish_writers_before_report()
{
    LauncherState &s = launcher_state;
    if (s.writer_count > 0 && GetCurrentThreadId() == s.decoding_thread)
        settle_writers();
}

void wake_writers_for_removal()
{
    LauncherState &s = launcher_state;
    // Taken once so that a writer between its check and its wait hears it.
    lock_pool();
    unlock_pool();
    WakeAllConditionVariable(&s.work_ready);
    WakeAllConditionVariable(&s.space_ready);
}
