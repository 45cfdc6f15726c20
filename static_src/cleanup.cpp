// Ending the parent role: the child and the unpack directory, at the normal
// end, on console interrupt, close, logoff and shutdown, and after a failed
// start.
#include "launcher.h"

#include <string.h>
#include <wchar.h>

// The child process handle is shared by the main thread (which waits on it)
// and the interrupt thread (which may wait on it, terminate the child and
// let it go). Whoever takes it out of the field by atomic exchange owns the
// child; a thread that finds the field empty has lost it. The handle must
// not be closed while the other thread may still be inside a wait on it, so
// the taking thread and the losing thread each release it once they are done
// with it, and the second release closes it. When the main thread takes it,
// the interrupt thread never touched it, and the main thread closes it alone.
void release_child_handle(HANDLE handle)
{
    if (InterlockedIncrement(&launcher_state.child_handle_releases) == 2)
        CloseHandle(handle);
}

static void end_child()
{
    LauncherState &s = launcher_state;
    HANDLE child = static_cast<HANDLE>(InterlockedExchangePointer(const_cast<HANDLE *>(&s.child_process), nullptr));
    if (child == nullptr)
        return;
    if (WaitForSingleObject(child, 5000) != WAIT_OBJECT_0)
        TerminateProcess(child, 0);
    release_child_handle(child);
}

void remove_unpack_directory()
{
    LauncherState &s = launcher_state;
    if (!s.remove_unpack_directory_at_cleanup)
        return;
    // One removal at a time: a second caller waits for the first instead of
    // racing it, so the process never ends halfway through a removal.
    if (InterlockedExchange(&s.removal_started, 1) != 0) {
        while (!s.removal_finished)
            Sleep(10);
        return;
    }
    remove_tree(s.removal_walk, s.unpack_directory);
    InterlockedExchange(&s.removal_finished, 1);
}

void remove_unpack_directory_after_failure()
{
    LauncherState &s = launcher_state;
    if (s.child_role || !s.remove_unpack_directory_at_cleanup)
        return;
    // The file being written would keep its directory alive.
    HANDLE file = static_cast<HANDLE>(InterlockedExchangePointer(const_cast<HANDLE *>(&s.current_file),
                                                                 INVALID_HANDLE_VALUE));
    if (file != INVALID_HANDLE_VALUE && file != nullptr)
        CloseHandle(file);
    remove_unpack_directory();
}

void cleanup()
{
    end_child();
    remove_unpack_directory();
}

BOOL WINAPI console_control_handler(DWORD event_type)
{
    switch (event_type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // Before the child is looked for: a launch that has not published
        // its child yet sees this and never lets it run.
        InterlockedExchange(&launcher_state.stopping, 1);
        cleanup();
        // A child being started right now is published within moments:
        // wait for the launch to settle and end that child too.
        while (launcher_state.launch_in_progress)
            Sleep(1);
        end_child();
        // The end the system's own handler gives an interrupted process,
        // whichever event it was: not every system ends a process after
        // close, logoff or shutdown, and the main thread would then pass on
        // the status of the child it terminated as if the application had
        // ended by itself. Terminated, not exited: the main thread may hold
        // a lock of the runtime or the heap that the library detach of an
        // exit would wait for, and there is no output left to flush.
        TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    default:
        break;
    }
    // Not the launcher's business: the next handler sees the event.
    return FALSE;
}
