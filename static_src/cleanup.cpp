// Ending the parent role: the child and the unpack directory, at the normal
// end and on console interrupt, close, logoff and shutdown.
#include "launcher.h"

#include <shellapi.h>

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

static void delete_unpack_directory()
{
    LauncherState &s = launcher_state;
    // pFrom is a list ended by two NULs: the record is zero-filled, so the
    // unit after the path's terminator is another NUL.
    check_or_abort(wcsnlen(s.unpack_directory, path_capacity) < path_capacity - 1);
    SHFILEOPSTRUCTW operation = {};
    operation.hwnd = nullptr;
    operation.wFunc = FO_DELETE;
    operation.pFrom = s.unpack_directory;
    operation.pTo = L"";
    operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
    operation.fAnyOperationsAborted = FALSE;
    operation.hNameMappings = nullptr;
    operation.lpszProgressTitle = L"";
    SHFileOperationW(&operation);
}

void cleanup()
{
    LauncherState &s = launcher_state;
    end_child();
    if (!s.remove_unpack_directory_at_cleanup)
        return;
    // One removal at a time: a second cleanup waits for the first instead of
    // racing it, so the process never ends halfway through a removal.
    if (InterlockedExchange(&s.removal_started, 1) != 0) {
        while (!s.removal_finished)
            Sleep(10);
        return;
    }
    delete_unpack_directory();
    // The result of the shell operation says little; the directory's absence is the judge.
    for (int retry = 0; retry < 20; retry++) {
        DWORD attributes = GetFileAttributesW(s.unpack_directory);
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            break;
        Sleep(100);
        delete_unpack_directory();
    }
    InterlockedExchange(&s.removal_finished, 1);
}

BOOL WINAPI console_control_handler(DWORD event_type)
{
    switch (event_type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        cleanup();
        break;
    default:
        break;
    }
    // Not handled: the next handler, finally the system's, still sees the event.
    return FALSE;
}
