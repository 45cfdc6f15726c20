// The seam of the refusing test kit: forced in front of the launcher's
// tree_publication.cpp, it makes every rename through a handle fail as NTFS
// fails it while a file below the folder is open (a virus scanner reading
// a file just written), for as long as VESKAR_TEST_REFUSE_RENAME is set in
// the launcher's environment. Wine renames such a folder anyway.
#pragma once

#include <windows.h>

inline BOOL seam_set_file_information(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, void *information, DWORD size)
{
    if (kind == FileRenameInfo && GetEnvironmentVariableW(L"VESKAR_TEST_REFUSE_RENAME", nullptr, 0) != 0) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    return SetFileInformationByHandle(file, kind, information, size);
}

#define SetFileInformationByHandle seam_set_file_information
