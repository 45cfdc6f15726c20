// Writing the record stream out as files below the unpack directory.
#include "launcher.h"
#include "error_reporting.h"

#include <sddl.h>
#include <winternl.h>
#include <stdlib.h>
#include <wchar.h>

// Windows opens a device, not a file, for these base names, whatever the
// extension and the letter case: CON, PRN, AUX, NUL, COM0-COM9 and
// LPT0-LPT9, the superscript digits 1 to 3 included.
static bool is_device_name(const wchar_t *component, size_t length)
{
    size_t base = 0;
    while (base < length && component[base] != L'.')
        base++;
    while (base > 0 && component[base - 1] == L' ')
        base--;  // dropped by Windows before the extension
    if (base != 3 && base != 4)
        return false;
    wchar_t upper[4];
    for (size_t i = 0; i < base; i++)
        upper[i] = component[i] >= L'a' && component[i] <= L'z' ? component[i] - (L'a' - L'A') : component[i];
    if (base == 3)
        return wcsncmp(upper, L"CON", 3) == 0 || wcsncmp(upper, L"PRN", 3) == 0 ||
               wcsncmp(upper, L"AUX", 3) == 0 || wcsncmp(upper, L"NUL", 3) == 0;
    wchar_t digit = upper[3];
    return (wcsncmp(upper, L"COM", 3) == 0 || wcsncmp(upper, L"LPT", 3) == 0) &&
           ((digit >= L'0' && digit <= L'9') || digit == 0x00B9 || digit == 0x00B2 || digit == 0x00B3);
}

// Names come from the archive: one that could reach outside the unpack
// directory (absolute, with a drive or stream colon, an empty, "." or ".."
// component, or a "/" that Windows would take as a separator), or that
// Windows would not store as written (a device, a character no file name
// holds, a trailing dot or blank that it drops), is refused.
bool record_name_is_safe(const wchar_t *name)
{
    const wchar_t *component = name;
    for (const wchar_t *p = name;; p++) {
        if (*p == L'\\' || *p == L'\0') {
            size_t length = static_cast<size_t>(p - component);
            if (length == 0 || (length == 1 && component[0] == L'.') ||
                (length == 2 && component[0] == L'.' && component[1] == L'.'))
                return false;
            if (component[length - 1] == L'.' || component[length - 1] == L' ' || is_device_name(component, length))
                return false;
            if (*p == L'\0')
                return true;
            component = p + 1;
        } else if (*p < 0x20 || wcschr(L":/<>\"|?*", *p) != nullptr) {
            return false;
        }
    }
}

// Index of the last backslash after the first unit, or 0 when there is none.
static size_t last_separator_after_first(const wchar_t *path)
{
    for (size_t i = wcslen(path); i > 1; i--) {
        if (path[i - 1] == L'\\')
            return i - 1;
    }
    return 0;
}

bool ensure_directory(const wchar_t *path)
{
    LauncherState &s = launcher_state;
    for (int32_t i = 0; i < s.created_directory_count; i++) {
        if (wcscmp(s.created_directories[i], path) == 0)
            return true;
    }
    if (path[0] != L'\0' && path[1] == L':' && path[2] == L'\0')
        return true;  // a bare drive always exists
    SystemPath system;
    if (!CreateDirectoryW(system_path(system, path), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    if (s.created_directory_count < static_cast<int32_t>(created_directory_limit)) {
        // A copy that cannot be made is simply not cached.
        wchar_t *copy = _wcsdup(path);
        if (copy != nullptr)
            s.created_directories[s.created_directory_count++] = copy;
    }
    return true;
}

// Makes the ancestors of `path` exist: up to the first one that exists or
// can be made, then down again, each once. A loop over one buffer, not a
// recursion with a copy per level: a name may be hundreds of levels deep.
void ensure_parent_chain(const wchar_t *path)
{
    wchar_t parent[path_capacity] = {};
    copy_wide_text(parent, path, array_count(parent));
    size_t separator = last_separator_after_first(parent);
    if (separator == 0)
        return;
    parent[separator] = L'\0';
    size_t levels_up = 0;
    while (!ensure_directory(parent)) {
        separator = last_separator_after_first(parent);
        if (separator == 0)
            break;
        parent[separator] = L'\0';
        levels_up++;
    }
    // Each cut is the first terminator of the buffer; the zero fill keeps
    // the original end terminated.
    for (; levels_up > 0; levels_up--) {
        parent[wcslen(parent)] = L'\\';
        ensure_directory(parent);
    }
}

// The user who runs the launcher, from the process's token; null when the
// system cannot say. Read once.
const SID *current_user_sid()
{
    static union {
        TOKEN_USER user;
        unsigned char bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } token_user;
    static bool known;
    if (known)
        return static_cast<const SID *>(token_user.user.User.Sid);
    const wchar_t *library = L"advapi32.dll";
    auto open_process_token = system_function<decltype(&OpenProcessToken)>(library, "OpenProcessToken");
    auto get_token_information = system_function<decltype(&GetTokenInformation)>(library, "GetTokenInformation");
    HANDLE token = nullptr;
    if (open_process_token == nullptr || get_token_information == nullptr ||
        !open_process_token(GetCurrentProcess(), TOKEN_QUERY, &token))
        return nullptr;
    DWORD size = 0;
    known = get_token_information(token, TokenUser, &token_user, sizeof token_user, &size);
    CloseHandle(token);
    return known ? static_cast<const SID *>(token_user.user.User.Sid) : nullptr;
}

// Whether the process runs at high integrity or above: elevated, or a
// service. The user's own unelevated processes, at medium integrity, must
// then not be able to change what it loads. Read once; false when the
// system cannot say.
bool process_is_elevated()
{
    static int elevated = -1;
    if (elevated >= 0)
        return elevated == 1;
    const wchar_t *library = L"advapi32.dll";
    auto open_process_token = system_function<decltype(&OpenProcessToken)>(library, "OpenProcessToken");
    auto get_token_information = system_function<decltype(&GetTokenInformation)>(library, "GetTokenInformation");
    auto count_of = system_function<decltype(&GetSidSubAuthorityCount)>(library, "GetSidSubAuthorityCount");
    auto authority_of = system_function<decltype(&GetSidSubAuthority)>(library, "GetSidSubAuthority");
    union {
        TOKEN_MANDATORY_LABEL label;
        unsigned char bytes[sizeof(TOKEN_MANDATORY_LABEL) + SECURITY_MAX_SID_SIZE];
    } level;
    HANDLE token = nullptr;
    DWORD size = 0;
    elevated = 0;
    if (open_process_token == nullptr || get_token_information == nullptr || count_of == nullptr ||
        authority_of == nullptr || !open_process_token(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    if (get_token_information(token, TokenIntegrityLevel, &level, sizeof level, &size)) {
        PSID sid = level.label.Label.Sid;
        UCHAR count = *count_of(sid);
        elevated = count > 0 && *authority_of(sid, count - 1u) >= SECURITY_MANDATORY_HIGH_RID ? 1 : 0;
    }
    CloseHandle(token);
    return elevated == 1;
}

// Only the user who runs the launcher may use the unpack directory and what
// is below it: the list is protected from inheriting anything from %TEMP%,
// and its one entry is inherited by every file and folder created inside.
// The user is named as the owner too: an administrator's elevated token
// would otherwise make the Administrators group the owner, and no later
// check of the tree or sweep of it would know it as the user's.
//
// Read and execute, never more, go to the same user's sandboxed processes
// too (a program entry may start its helpers so, as browsers and Electron
// applications do): app containers (ALL APPLICATION PACKAGES, ALL
// RESTRICTED APPLICATION PACKAGES) and restricted tokens (RESTRICTED), as a
// stock Windows grants them on C:\Program Files. Such a process passes
// only where its ordinary check passes as well, so no other user gains
// anything.
//
// `administrators_only`, for what an elevated run loads: the user's own
// unelevated processes could change a tree granted to the user, and a
// library planted there would run elevated. Owned by Administrators, all
// access for Administrators and SYSTEM only (the elevated token has the
// Administrators group enabled; an unelevated one holds it for denial
// only), and labelled High with no write up, inherited likewise.
// Built once each; null when the system cannot build it.
SECURITY_ATTRIBUTES *private_directory_security(bool administrators_only)
{
    static SECURITY_ATTRIBUTES built[2];
    SECURITY_ATTRIBUTES &attributes = built[administrators_only ? 1 : 0];
    if (attributes.lpSecurityDescriptor != nullptr)
        return &attributes;
    const wchar_t *library = L"advapi32.dll";
    auto convert_sid = system_function<decltype(&ConvertSidToStringSidW)>(library, "ConvertSidToStringSidW");
    auto convert_descriptor = system_function<decltype(&ConvertStringSecurityDescriptorToSecurityDescriptorW)>(
        library, "ConvertStringSecurityDescriptorToSecurityDescriptorW");
    const SID *user = current_user_sid();
    wchar_t *sid = nullptr;
    if (convert_sid == nullptr || convert_descriptor == nullptr || user == nullptr ||
        !convert_sid(const_cast<SID *>(user), &sid))
        return nullptr;
    // O: owner; P: protected; OICI: inherited by files and folders; FA: all
    // access; BA, SY: Administrators, SYSTEM; ML: the mandatory label, HI:
    // High, NW: no write up.
    // 0x1200a9: read and execute.
    const wchar_t *sandboxes = L"(A;OICI;0x1200a9;;;S-1-15-2-1)(A;OICI;0x1200a9;;;S-1-15-2-2)"
                               L"(A;OICI;0x1200a9;;;S-1-5-12)";
    wchar_t descriptor_text[768] = L"";
    if (administrators_only) {
        append_wide_text(descriptor_text, L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)", array_count(descriptor_text));
        append_wide_text(descriptor_text, sandboxes, array_count(descriptor_text));
        append_wide_text(descriptor_text, L"S:(ML;OICI;NW;;;HI)", array_count(descriptor_text));
    } else {
        append_wide_text(descriptor_text, L"O:", array_count(descriptor_text));
        append_wide_text(descriptor_text, sid, array_count(descriptor_text));
        append_wide_text(descriptor_text, L"D:P(A;OICI;FA;;;", array_count(descriptor_text));
        append_wide_text(descriptor_text, sid, array_count(descriptor_text));
        append_wide_text(descriptor_text, L")", array_count(descriptor_text));
        append_wide_text(descriptor_text, sandboxes, array_count(descriptor_text));
    }
    LocalFree(sid);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!convert_descriptor(descriptor_text, SDDL_REVISION_1, &descriptor, nullptr))
        return nullptr;
    attributes.nLength = sizeof attributes;
    attributes.bInheritHandle = FALSE;
    attributes.lpSecurityDescriptor = descriptor;
    return &attributes;
}

typedef LONG(NTAPI *CreateFileFunction)(HANDLE *, ACCESS_MASK, OBJECT_ATTRIBUTES *, IO_STATUS_BLOCK *,
                                        LARGE_INTEGER *, ULONG, ULONG, ULONG, ULONG, void *, ULONG);
typedef BOOLEAN(NTAPI *NtPathFunction)(const wchar_t *, UNICODE_STRING *, wchar_t **, void *);
typedef void(NTAPI *FreeStringFunction)(UNICODE_STRING *);
enum : LONG { status_name_collision = static_cast<LONG>(0xC0000035) };

// Makes the directory `path` with the private access list and opens it in
// the same system call, sharing reading and writing but not deletion: no
// other launcher ever sees it without its holder. Null, with the error set,
// when it cannot (ERROR_ALREADY_EXISTS for anything already at the name).
HANDLE create_private_directory(const wchar_t *path, ACCESS_MASK access, bool administrators_only)
{
    const wchar_t *ntdll = L"ntdll.dll";
    auto create_file = system_function<CreateFileFunction>(ntdll, "NtCreateFile");
    auto nt_path = system_function<NtPathFunction>(ntdll, "RtlDosPathNameToNtPathName_U");
    auto free_string = system_function<FreeStringFunction>(ntdll, "RtlFreeUnicodeString");
    auto error_of = system_function<ULONG(NTAPI *)(LONG)>(ntdll, "RtlNtStatusToDosError");
    SECURITY_ATTRIBUTES *security = private_directory_security(administrators_only);
    UNICODE_STRING name;
    SystemPath system;
    if (create_file == nullptr || nt_path == nullptr || free_string == nullptr || error_of == nullptr ||
        security == nullptr || !nt_path(system_path(system, path), &name, nullptr, nullptr)) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return nullptr;
    }
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, security->lpSecurityDescriptor);
    IO_STATUS_BLOCK status_block;
    HANDLE directory = nullptr;
    LONG status = create_file(&directory, access | SYNCHRONIZE, &attributes, &status_block, nullptr,
                              FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE,
                              FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, nullptr, 0);
    free_string(&name);
    if (status < 0) {
        SetLastError(status == status_name_collision ? ERROR_ALREADY_EXISTS : error_of(status));
        return nullptr;
    }
    return directory;
}

// The parent makes the unpack directory itself, before the first record,
// and only a directory it has just created is used and later removed:
// one that already exists may have been made by someone else to plant a
// library in it. Making it and owning it are one step as the interrupt
// thread sees them.
void create_unpack_directory(ACCESS_MASK access)
{
    LauncherState &s = launcher_state;
    // In an elevated run a per-run directory is the administrators' alone.
    // One held with delete access is a reused tree's working directory,
    // which the user's own starts check as theirs once it is renamed into
    // place (the packer refuses reuse where a start is elevated).
    bool administrators_only = (access & DELETE) == 0 && process_is_elevated();
    if (!begin_guarded_step())
        stop_for_interrupt();
    HANDLE held = create_private_directory(s.unpack_directory, access, administrators_only);
    if (held == nullptr && GetLastError() == ERROR_PATH_NOT_FOUND) {
        // A temporary directory that does not exist yet is made on the way.
        ensure_parent_chain(s.unpack_directory);
        held = create_private_directory(s.unpack_directory, access, administrators_only);
    }
    if (held != nullptr)
        own_unpack_directory(held);
    end_guarded_step();
    if (held == nullptr)
        report_open_for_writing_failure(s.unpack_directory);
    // The recursion of ensure_parent_chain ends here for every record.
    wchar_t *copy = _wcsdup(s.unpack_directory);
    if (copy != nullptr && s.created_directory_count < static_cast<int32_t>(created_directory_limit))
        s.created_directories[s.created_directory_count++] = copy;
}

void hold_unpack_directory()
{
    LauncherState &s = launcher_state;
    SystemPath system;
    const wchar_t *directory = system_path(system, s.unpack_directory);
    DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE held = CreateFileW(directory, FILE_LIST_DIRECTORY, share, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    // A parent that runs from its working directory holds it with delete
    // access, for a rename, which an open without delete sharing collides
    // with. The listing access alone still keeps a sweep's exclusive open
    // out once the parent is gone.
    if (held == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION)
        held = CreateFileW(directory, FILE_LIST_DIRECTORY, share | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (held != INVALID_HANDLE_VALUE)
        s.held_directory = held;  // closed by the process's end
}

// Ends the run with the failure `error` of the file being written.
[[noreturn]] static void report_write_failure(DWORD error)
{
    if (removal_has_begun())
        stop_for_interrupt();
    report_os_error(MESSAGE_WRITE_FAILED, error);
}

// Every file is made new: the directory is this run's own, so a file
// already at the name is one this unpack wrote, reached again by another
// spelling (a short 8.3 alias such as LONGFI~1.TXT names longfilename.txt)
// or a crafted archive. Writing over it would silently replace it, and with
// writer threads two of them would write one file at once.
static void write_record_content(uint64_t size)
{
    LauncherState &s = launcher_state;
    HANDLE file = create_unpacked_file(s.current_record_path);
    if (file == INVALID_HANDLE_VALUE) {
        // Once a removal has begun, a file that cannot be made is its doing.
        if (removal_has_begun())
            stop_for_interrupt();
        report_open_for_writing_failure(s.current_record_path);
    }
    InterlockedExchangePointer(const_cast<HANDLE *>(&s.current_file), file);
    DWORD error = 0;
    while (size > 0) {
        if (removal_has_begun())
            stop_for_interrupt();
        DWORD chunk = size < chunk_size ? static_cast<DWORD>(size) : static_cast<DWORD>(chunk_size);
        read_exactly(s.chunk_buffer, chunk);
        if (!write_all(file, s.chunk_buffer, chunk, error))
            report_write_failure(error);
        count_unpacked_bytes(chunk);
        size -= chunk;
    }
    InterlockedExchangePointer(const_cast<HANDLE *>(&s.current_file), INVALID_HANDLE_VALUE);
    if (!close_unpacked_file(file, !removal_has_begun(), error))
        report_write_failure(error);
}

// A record already in the tree: decoded and dropped.
static void skip_record_content(uint64_t size)
{
    LauncherState &s = launcher_state;
    while (size > 0) {
        if (removal_has_begun())
            stop_for_interrupt();
        DWORD chunk = size < chunk_size ? static_cast<DWORD>(size) : static_cast<DWORD>(chunk_size);
        read_exactly(s.chunk_buffer, chunk);
        count_unpacked_bytes(chunk);
        size -= chunk;
    }
}

void make_record_folder()
{
    wchar_t directory[path_capacity] = {};
    copy_wide_text(directory, launcher_state.current_record_path, array_count(directory));
    size_t separator = last_separator_after_first(directory);
    if (separator != 0) {
        directory[separator] = L'\0';
        if (!ensure_directory(directory)) {
            ensure_parent_chain(directory);
            ensure_directory(directory);
        }
    }
}

// The end of the record stream: every file complete and closed before the
// application can start.
static void finish_unpacking(bool pool)
{
    if (pool)
        settle_writers();
    end_unpack_progress();
}

void unpack_all_records()
{
    LauncherState &s = launcher_state;
    s.current_file = INVALID_HANDLE_VALUE;
    // The child leaves at the first record; only the parent writes a tree.
    bool pool = !s.child_role && start_writer_pool();
    if (!s.child_role)
        begin_unpack_progress();
    for (size_t record_index = 0;; record_index++) {
        // A writer's failure ends the run before more is decoded.
        if (pool && InterlockedOr(&s.pool_failed, 0) != 0)
            settle_writers();
        if (s.taking_over && !skip_frames_already_there(record_index)) {
            finish_unpacking(pool);
            return;
        }
        read_record_name();
        if (s.current_record_name[0] == L'\0') {
            if (s.child_role)
                report_error(MESSAGE_NO_APPLICATION_LIBRARY);
            finish_unpacking(pool);
            return;
        }
        if (!record_name_is_safe(s.current_record_name))
            report_error(MESSAGE_DECODING_FAILED);
        copy_wide_text(s.current_record_path, s.unpack_directory, array_count(s.current_record_path));
        append_wide_text(s.current_record_path, L"\\", array_count(s.current_record_path));
        append_wide_text(s.current_record_path, s.current_record_name, array_count(s.current_record_path));
        if (s.first_record_path[0] == L'\0') {
            copy_wide_text(s.first_record_path, s.current_record_path, array_count(s.first_record_path));
            if (s.child_role)
                hand_off_to_library();
        }
        uint64_t size = read_record_size();
        if (removal_has_begun())
            stop_for_interrupt();

        if (pool)
            wait_for_earlier_files_at(s.current_record_path);
        make_record_folder();
        if (s.taking_over && takeover_keeps_record(record_index, size)) {
            skip_record_content(size);
            continue;
        }
        if (pool)
            hand_file_to_writers(s.current_record_path, size);
        else
            write_record_content(size);
    }
}
