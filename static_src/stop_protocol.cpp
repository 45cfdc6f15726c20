// The stop protocol: how the parent role ends — at the normal end, after a
// failed start, on a console interrupt, close, logoff or shutdown — without
// leaving a child or a tree behind, whichever thread gets there first. The
// states and who may take each transition are described beside the fields
// in launcher.h; every other file calls the operations here.
#include "launcher.h"

static LONG stop_state_now()
{
    return InterlockedOr(&launcher_state.stop_state, 0);
}

bool begin_guarded_step()
{
    LauncherState &s = launcher_state;
    for (;;) {
        LONG state = stop_state_now();
        if ((state & stop_requested) != 0)
            return false;
        if (InterlockedCompareExchange(&s.stop_state, state | stop_step_open, state) == state)
            return true;
    }
}

void end_guarded_step()
{
    InterlockedAnd(&launcher_state.stop_state, ~stop_step_open);
}

void own_unpack_directory(HANDLE held)
{
    InterlockedExchangePointer(const_cast<HANDLE *>(&launcher_state.held_directory), held);
    InterlockedOr(&launcher_state.stop_state, stop_owns_directory);
}

// A reusing launcher's working directory, once renamed into place as the
// reused tree, is no longer the run's to remove.
HANDLE disown_unpack_directory()
{
    InterlockedAnd(&launcher_state.stop_state, ~stop_owns_directory);
    return static_cast<HANDLE>(
        InterlockedExchangePointer(const_cast<HANDLE *>(&launcher_state.held_directory), nullptr));
}

bool removal_has_begun()
{
    return (stop_state_now() & stop_removal_started) != 0;
}

bool writer_may_start()
{
    // Counted first, checked second: a removal that has not seen this writer
    // counted is seen by it, and then nothing is created.
    InterlockedIncrement(&launcher_state.live_writers);
    if (!removal_has_begun())
        return true;
    writer_ended();
    return false;
}

void writer_ended()
{
    InterlockedDecrement(&launcher_state.live_writers);
}

bool stop_is_requested()
{
    return (stop_state_now() & stop_requested) != 0;
}

static void close_taken(HANDLE volatile &field, HANDLE empty)
{
    HANDLE handle = static_cast<HANDLE>(InterlockedExchangePointer(const_cast<HANDLE *>(&field), empty));
    if (handle != empty && handle != nullptr && handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
}

[[noreturn]] void stop_for_interrupt()
{
    // The file being written would keep its directory alive.
    close_taken(launcher_state.current_file, INVALID_HANDLE_VALUE);
    for (;;)
        Sleep(INFINITE);
}

void begin_report()
{
    LauncherState &s = launcher_state;
    for (;;) {
        LONG state = stop_state_now();
        // A report within a report (a check failing on its way) goes on, and
        // so does one once the process is the application's, whose events
        // the handler passes on.
        if ((state & (stop_reporting | stop_application_in_process)) != 0)
            return;
        if ((state & stop_requested) != 0) {
            if (s.interrupt_thread != GetCurrentThreadId())
                stop_for_interrupt();
            return;  // the interrupt thread's own failure ends the process as reported
        }
        if (InterlockedCompareExchange(&s.stop_state, state | stop_reporting, state) == state)
            return;
    }
}

// The child process handle is shared by the main thread (which waits on it)
// and the interrupt thread (which may wait on it, terminate the child and
// let it go). Whoever takes it out of the field by atomic exchange owns the
// child; a thread that finds the field empty has lost it. The handle must
// not be closed while the other thread may still be inside a wait on it, so
// the taking thread and the losing thread each release it once they are done
// with it, and the second release closes it. When the main thread takes it,
// the interrupt thread never touched it, and the main thread closes it alone.
static void release_child_handle(HANDLE handle)
{
    if (InterlockedIncrement(&launcher_state.child_handle_releases) == 2)
        CloseHandle(handle);
}

void publish_child(HANDLE process)
{
    launcher_state.child_handle_releases = 0;
    InterlockedExchangePointer(const_cast<HANDLE *>(&launcher_state.child_process), process);
}

void let_child_go(HANDLE process)
{
    if (InterlockedExchangePointer(const_cast<HANDLE *>(&launcher_state.child_process), nullptr) != nullptr)
        CloseHandle(process);
    else
        release_child_handle(process);
}

// What the child is given to end by itself before it is terminated: at the
// normal end and on Ctrl+C or Ctrl+Break 5 seconds (an application
// library's child; a program entry keeps those events to itself). At console close, logoff
// and shutdown the system ends the launcher itself about 5 seconds after the
// event, and the child, which gets the same event, has its own 5 seconds: a
// shorter wait leaves the removal the rest of them (its retries take up to
// 2 seconds). A removal cut off all the same leaves a dead tree, which a
// later start's sweep removes.
enum : DWORD { child_grace_ms = 5000, child_grace_before_system_end_ms = 2000 };

static void end_child(DWORD grace_ms)
{
    LauncherState &s = launcher_state;
    HANDLE child = static_cast<HANDLE>(InterlockedExchangePointer(const_cast<HANDLE *>(&s.child_process), nullptr));
    if (child == nullptr)
        return;
    if (WaitForSingleObject(child, grace_ms) != WAIT_OBJECT_0)
        TerminateProcess(child, 0);
    release_child_handle(child);
}

void remove_unpack_directory()
{
    LauncherState &s = launcher_state;
    // One removal at a time: a second caller waits for the first instead of
    // racing it, so the process never ends halfway through a removal.
    if ((InterlockedOr(&s.stop_state, stop_removal_started) & stop_removal_started) != 0) {
        while ((stop_state_now() & stop_removal_done) == 0)
            Sleep(10);
        return;
    }
    // The writers close their files and end before the walk.
    wake_writers_for_removal();
    while (InterlockedOr(&s.live_writers, 0) != 0)
        Sleep(1);
    if ((stop_state_now() & stop_owns_directory) != 0) {
        // The run's own handle would keep the directory from going.
        close_taken(s.held_directory, nullptr);
        remove_tree(s.removal_walk, s.unpack_directory);
    }
    // The splash feedback file is the run's as much as its tree is.
    SystemPath system;
    if (s.splash_feedback_file_path[0] != L'\0')
        DeleteFileW(system_path(system, s.splash_feedback_file_path));
    InterlockedOr(&s.stop_state, stop_removal_done);
}

void remove_unpack_directory_after_failure()
{
    if (launcher_state.child_role)
        return;
    close_taken(launcher_state.current_file, INVALID_HANDLE_VALUE);
    remove_unpack_directory();
}

bool hand_console_to_application()
{
    if (!begin_guarded_step())
        return false;
    InterlockedOr(&launcher_state.stop_state, stop_application_in_process);
    end_guarded_step();
    return true;
}

void hand_interrupts_to_entry()
{
    InterlockedOr(&launcher_state.stop_state, stop_entry_has_interrupts);
}

bool sweep_may_go_on()
{
    LauncherState &s = launcher_state;
    if ((stop_state_now() & stop_sweep_ending) == 0)
        return true;
    // The exit waits now: what is left of the minimum goes at full speed.
    if (s.sweep_walk.removed < sweep_minimum_entries && !s.sweep_hurried) {
        SetThreadPriority(GetCurrentThread(), THREAD_MODE_BACKGROUND_END);
        s.sweep_hurried = true;
    }
    return s.sweep_walk.removed < sweep_minimum_entries;
}

void end_sweep()
{
    LauncherState &s = launcher_state;
    InterlockedOr(&s.stop_state, stop_sweep_ending);
    if (s.sweep_thread == nullptr)
        return;
    // It stops at its next entry: the wait is for the entry in hand. A
    // thread of background priority on a busy machine may wait long for
    // a processor; its ordinary priority is raised for that moment.
    SetThreadPriority(s.sweep_thread, THREAD_PRIORITY_ABOVE_NORMAL);
    WaitForSingleObject(s.sweep_thread, INFINITE);
}

void cleanup()
{
    end_child(child_grace_ms);
    end_sweep();
    remove_unpack_directory();
}

BOOL WINAPI console_control_handler(DWORD event_type)
{
    LauncherState &s = launcher_state;
    switch (event_type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // An application running in this process from a published tree
        // handles its events as it would in a child: nothing is the
        // launcher's to end or remove.
        if ((stop_state_now() & stop_application_in_process) != 0)
            return FALSE;
        // A program entry shares the console and gets Ctrl+C and Ctrl+Break
        // itself: they are its to handle, as when it is started directly (a
        // REPL cancels a line, a tool exits with a status of its own). The
        // launcher waits for it as long as it runs. Close, logoff and
        // shutdown keep their bound: the system ends the launcher anyway.
        if ((event_type == CTRL_C_EVENT || event_type == CTRL_BREAK_EVENT) &&
            (stop_state_now() & stop_entry_has_interrupts) != 0)
            return TRUE;
        // Only the first event's thread acts; a later one would find the
        // child already taken and remove the tree under its feet. A report
        // already under way ends the process itself, after its removal.
        if ((InterlockedOr(&s.stop_state, stop_requested) & (stop_requested | stop_reporting)) != 0) {
            for (;;)
                Sleep(INFINITE);
        }
        s.interrupt_thread = GetCurrentThreadId();
        // A directory or a child being made right now is known once the
        // step ends; no new step begins. The step that hands the process
        // to the application hands it this event too.
        while ((stop_state_now() & stop_step_open) != 0)
            Sleep(1);
        if ((stop_state_now() & stop_application_in_process) != 0)
            return FALSE;
        end_unpack_progress();
        end_child(event_type == CTRL_C_EVENT || event_type == CTRL_BREAK_EVENT ? child_grace_ms
                                                                                : child_grace_before_system_end_ms);
        remove_unpack_directory();
        // The end the system's own handler gives an interrupted process,
        // whichever event it was: not every system ends a process after
        // close, logoff or shutdown, and the main thread would then pass on
        // the status of the child it terminated as if the application had
        // ended by itself. Terminated, not exited: the main thread may hold
        // a lock of the runtime or the heap that the library detach of an
        // exit would wait for, and there is no output left to flush. The
        // sweep thread may be halfway through a dead tree; the next start
        // finishes it.
        TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
        break;
    default:
        break;
    }
    // Not the launcher's business: the next handler sees the event.
    return FALSE;
}
