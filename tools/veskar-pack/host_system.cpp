#include "host_system.h"
#include "archive_writer.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <random>

#ifdef _WIN32
#include <windows.h>
#include <cwchar>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

// The temporary files an interrupt removes, by the names the system knows
// them by; a slot is published once its name is complete.
enum : size_t { temporary_slots = 2, temporary_name_capacity = 32768 };
static fs::path::value_type temporary_names[temporary_slots][temporary_name_capacity];
static volatile std::sig_atomic_t temporary_in_use[temporary_slots];
static const char interrupted_line[] = "veskar-pack: interrupted: stopped without writing a launcher\n";

static size_t claim_temporary_slot(const fs::path &name)
{
    const fs::path::string_type &text = name.native();
    for (size_t slot = 0; slot < temporary_slots; slot++) {
        if (temporary_in_use[slot] || text.size() >= temporary_name_capacity)
            continue;
        std::copy(text.begin(), text.end(), temporary_names[slot]);
        temporary_names[slot][text.size()] = 0;
        std::atomic_signal_fence(std::memory_order_seq_cst);  // the name is whole before the handler may see it
        temporary_in_use[slot] = 1;
        return slot;
    }
    throw PackError{"cannot write '" + name.u8string() + "': its name is too long"};
}

static std::FILE *create_exclusively(const fs::path &path);  // null with errno set

TemporaryFile::TemporaryFile(const fs::path &target, const std::string &shown) : target_(target), shown_(shown)
{
    std::random_device random;
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%08x%08x.partial", static_cast<unsigned>(random()),
                  static_cast<unsigned>(random()));
    path_ = target;
    path_ += suffix;
    slot_ = claim_temporary_slot(system_path(path_));
    stream_ = create_exclusively(system_path(path_));
    if (stream_ == nullptr) {
        const int error = errno;
        temporary_in_use[slot_] = 0;
        throw PackError{"cannot write " + shown_ + ": " + std::strerror(error)};
    }
}

TemporaryFile::~TemporaryFile()
{
    if (stream_ != nullptr)
        std::fclose(stream_);
    if (!placed_) {
        std::error_code ignored;
        fs::remove(system_path(path_), ignored);
        temporary_in_use[slot_] = 0;
    }
}

void TemporaryFile::fail() const { throw PackError{"cannot write " + shown_ + ": " + std::strerror(errno)}; }

void TemporaryFile::write(const void *data, size_t size)
{
    if (std::fwrite(data, 1, size, stream_) != size)
        fail();
}

void TemporaryFile::rewrite_start(const void *data, size_t size)
{
    if (std::fflush(stream_) != 0 || std::fseek(stream_, 0, SEEK_SET) != 0)
        fail();
    write(data, size);
}

void TemporaryFile::close()
{
    std::FILE *stream = stream_;
    stream_ = nullptr;
    if (std::fclose(stream) != 0)
        fail();
}

void TemporaryFile::rename_into_place()
{
    if (stream_ != nullptr)
        close();
    std::error_code error;
    fs::rename(system_path(path_), system_path(target_), error);
    if (error)
        throw PackError{"cannot write " + shown_ + ": " + error.message()};
    placed_ = true;
    temporary_in_use[slot_] = 0;
}

static fs::path own_executable();  // throws PackError

EntryKind kind_from_windows_attributes(uint32_t attributes, uint32_t reparse_tag)
{
    enum : uint32_t { directory = 0x10, device = 0x40, reparse_point = 0x400, name_surrogate_tag = 0x20000000 };
    if ((attributes & reparse_point) != 0 && (reparse_tag & name_surrogate_tag) != 0)
        return EntryKind::link;
    if ((attributes & device) != 0)
        return EntryKind::other;
    return (attributes & directory) != 0 ? EntryKind::folder : EntryKind::file;
}

bool path_text_is_below(const std::string &path, const std::string &folder, char separator)
{
    if (folder.empty() || path.size() <= folder.size() || path.compare(0, folder.size(), folder) != 0)
        return false;
    return folder.back() == separator || path[folder.size()] == separator;
}

static const char *const link_outside = "that leads outside the application folder";

fs::path default_kit_directory()
{
    return own_executable().parent_path().parent_path() / "lib" / "veskar-onefile";
}

#ifdef _WIN32

static std::string utf16_to_utf8_text(const wchar_t *text)
{
    int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        throw PackError{"an argument holds text with no UTF-8 form (an unpaired surrogate)"};
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, out.data(), size, nullptr, nullptr);
    out.pop_back();  // the terminating zero
    return out;
}

static UINT console_output_code_page = 0;

static void restore_console_code_page() { SetConsoleOutputCP(console_output_code_page); }

std::vector<std::string> utf8_arguments(int, char **)
{
    // Messages and listings are UTF-8; a console shows them as such only in
    // its UTF-8 code page, which is put back on the way out.
    console_output_code_page = GetConsoleOutputCP();
    if (console_output_code_page != 0 && console_output_code_page != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
        std::atexit(restore_console_code_page);
    int count = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr)
        throw PackError{"cannot read the command line"};
    std::vector<std::string> arguments;
    for (int i = 0; i < count; i++)
        arguments.push_back(utf16_to_utf8_text(wide[i]));
    LocalFree(wide);
    return arguments;
}

static fs::path own_executable()
{
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            throw PackError{"cannot find the packer's own location; name the kit with --kit"};
        if (length < buffer.size())
            return fs::path(buffer.substr(0, length));
        if (buffer.size() >= 32768)
            throw PackError{"the packer's own path is too long; name the kit with --kit"};
        buffer.resize(buffer.size() * 2);
    }
}

static int errno_for(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return EACCES;
    case ERROR_DISK_FULL:
        return ENOSPC;
    default:
        return EIO;
    }
}

fs::path system_path(const fs::path &path)
{
    const std::wstring text = path.wstring();
    if (text.empty() || text.rfind(L"\\\\?\\", 0) == 0 || text.rfind(L"\\\\.\\", 0) == 0)
        return path;
    DWORD size = GetFullPathNameW(text.c_str(), 0, nullptr, nullptr);
    std::wstring full(size, L'\0');
    DWORD length = size == 0 ? 0 : GetFullPathNameW(text.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size)
        return path;
    full.resize(length);
    if (full.size() < MAX_PATH - 12)  // the shortest limit, that of a folder's name
        return path;
    if (full.rfind(L"\\\\", 0) == 0)
        return fs::path(L"\\\\?\\UNC\\" + full.substr(2));
    return fs::path(L"\\\\?\\" + full);
}

// One entry found by FindFirstFileExW: its kind from the listing's own
// attributes and reparse tag, never from the target of a link.
static FolderEntry found_entry(const WIN32_FIND_DATAW &found)
{
    const bool reparse = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    return FolderEntry{fs::path(found.cFileName),
                       kind_from_windows_attributes(found.dwFileAttributes, reparse ? found.dwReserved0 : 0),
                       uint64_t{found.nFileSizeHigh} << 32 | found.nFileSizeLow};
}

std::vector<FolderEntry> list_folder(const fs::path &folder, std::error_code &error)
{
    std::vector<FolderEntry> entries;
    std::wstring pattern = system_path(folder).wstring();
    pattern += pattern.back() == L'\\' ? L"*" : L"\\*";
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                                     FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) {
        error = std::error_code(errno_for(GetLastError()), std::generic_category());
        return entries;
    }
    do {
        if (std::wcscmp(found.cFileName, L".") != 0 && std::wcscmp(found.cFileName, L"..") != 0)
            entries.push_back(found_entry(found));
    } while (FindNextFileW(search, &found));
    const DWORD last = GetLastError();
    FindClose(search);
    if (last != ERROR_NO_MORE_FILES)
        error = std::error_code(errno_for(last), std::generic_category());
    // NTFS updates a directory entry's size only for the name a file was
    // written through: for a hard-linked file the listing can be stale, so
    // the size is taken from the file itself.
    for (FolderEntry &entry : entries) {
        if (entry.kind != EntryKind::file)
            continue;
        HANDLE file = CreateFileW(system_path(folder / entry.name).c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        LARGE_INTEGER size;
        if (file != INVALID_HANDLE_VALUE && GetFileSizeEx(file, &size))
            entry.size = static_cast<uint64_t>(size.QuadPart);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    }
    return entries;
}

EntryKind entry_kind(const fs::path &path)
{
    // A search for the name itself reports the entry, not what a link there leads to.
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(system_path(path).c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                     nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return EntryKind::missing;
    FindClose(search);
    return found_entry(found).kind;
}

bool is_folder(const fs::path &path)
{
    const DWORD attributes = GetFileAttributesW(system_path(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool is_file(const fs::path &path)
{
    const DWORD attributes = GetFileAttributesW(system_path(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

// A handle on what a path leads to, links followed; folders too.
static HANDLE open_followed(const fs::path &path)
{
    return CreateFileW(system_path(path).c_str(), FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// The path the system itself has for an open file or folder, "\\?\" form.
static std::wstring final_path(HANDLE handle)
{
    const DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
    const DWORD size = GetFinalPathNameByHandleW(handle, nullptr, 0, flags);
    std::wstring path(size, L'\0');
    const DWORD length = size == 0 ? 0 : GetFinalPathNameByHandleW(handle, path.data(), size, flags);
    path.resize(length < size ? length : 0);
    return path;
}

LinkTarget file_link_target(const fs::path &link, const fs::path &folder)
{
    LinkTarget t;
    HANDLE target = open_followed(link);
    if (target == INVALID_HANDLE_VALUE) {
        t.problem = "that leads nowhere (its target does not exist)";
        return t;
    }
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = GetFileInformationByHandle(target, &info) != 0;
    const std::wstring target_path = final_path(target);
    CloseHandle(target);
    HANDLE root = open_followed(folder);
    const std::wstring root_path = root == INVALID_HANDLE_VALUE ? std::wstring() : final_path(root);
    if (root != INVALID_HANDLE_VALUE)
        CloseHandle(root);
    if (!known || target_path.empty() || root_path.empty())
        t.problem = "whose target cannot be read";
    else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        t.problem = "to a folder";
    else if (!path_text_is_below(fs::path(target_path).u8string(), fs::path(root_path).u8string(), '\\'))
        t.problem = link_outside;
    else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) != 0)
        t.problem = "to something that is not a regular file";
    else
        t.size = uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
    return t;
}

std::FILE *open_for_writing(const fs::path &path)
{
    // Opened without following a reparse point (a symbolic link or a
    // junction), which is then refused; emptied only once that is known.
    HANDLE file = CreateFileW(system_path(path).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        errno = errno_for(GetLastError());
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!GetFileInformationByHandle(file, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || !SetEndOfFile(file)) {
        errno = (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? ELOOP : errno_for(GetLastError());
        CloseHandle(file);
        return nullptr;
    }
    int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_BINARY | _O_WRONLY);
    if (descriptor < 0) {
        CloseHandle(file);
        errno = EMFILE;
        return nullptr;
    }
    std::FILE *stream = _fdopen(descriptor, "wb");
    if (stream == nullptr)
        _close(descriptor);
    return stream;
}

bool stderr_is_terminal()
{
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

static std::FILE *create_exclusively(const fs::path &path)
{
    // A new file or none: whatever is at the name, a link included, is
    // never opened. Deleting is shared, so that an interrupt can remove it
    // while it is still open.
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        errno = errno_for(GetLastError());
        return nullptr;
    }
    int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_BINARY | _O_WRONLY);
    if (descriptor < 0) {
        CloseHandle(file);
        DeleteFileW(path.c_str());
        errno = EMFILE;
        return nullptr;
    }
    std::FILE *stream = _fdopen(descriptor, "wb");
    if (stream == nullptr) {
        _close(descriptor);
        DeleteFileW(path.c_str());
    }
    return stream;
}

// Ends the packer at once, from the system's thread for the event: the
// compression work in flight is not waited for, and after a close, logoff
// or shutdown event the system would end the process a few seconds later
// anyway. A temporary file still open goes as the process ends.
static BOOL WINAPI stop_at_console_event(DWORD)
{
    for (size_t slot = 0; slot < temporary_slots; slot++) {
        if (temporary_in_use[slot])
            DeleteFileW(temporary_names[slot]);
    }
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), interrupted_line, sizeof interrupted_line - 1, &written, nullptr);
    TerminateProcess(GetCurrentProcess(), 1);
    return TRUE;
}

void catch_interrupts() { SetConsoleCtrlHandler(stop_at_console_event, TRUE); }

#else

std::vector<std::string> utf8_arguments(int argc, char **argv)
{
    return std::vector<std::string>(argv, argv + argc);
}

static fs::path own_executable()
{
    std::error_code error;
    fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (error)
        throw PackError{"cannot find the packer's own location; name the kit with --kit"};
    return self;
}

fs::path system_path(const fs::path &path) { return path; }

static EntryKind kind_of(const fs::file_status &status)
{
    if (fs::is_symlink(status))
        return EntryKind::link;
    if (fs::is_directory(status))
        return EntryKind::folder;
    if (fs::is_regular_file(status))
        return EntryKind::file;
    return fs::exists(status) ? EntryKind::other : EntryKind::missing;
}

std::vector<FolderEntry> list_folder(const fs::path &folder, std::error_code &error)
{
    std::vector<FolderEntry> entries;
    for (fs::directory_iterator it(folder, error); !error && it != fs::directory_iterator(); it.increment(error)) {
        const EntryKind kind = kind_of(it->symlink_status(error));
        const uint64_t size = kind == EntryKind::file && !error ? it->file_size(error) : 0;
        if (error)
            break;
        entries.push_back(FolderEntry{it->path().filename(), kind, size});
    }
    return entries;
}

EntryKind entry_kind(const fs::path &path)
{
    std::error_code error;
    return kind_of(fs::symlink_status(path, error));
}

bool is_folder(const fs::path &path)
{
    std::error_code error;
    return fs::is_directory(path, error);
}

bool is_file(const fs::path &path)
{
    std::error_code error;
    return fs::is_regular_file(path, error);
}

LinkTarget file_link_target(const fs::path &link, const fs::path &folder)
{
    // Link by link, each checked to lie below the folder, so that a chain
    // leaving it is refused even when it comes back.
    LinkTarget t;
    std::error_code error;
    const fs::path root = fs::canonical(folder, error);
    fs::path current = link;
    for (int hops = 0; !error && hops < 40; hops++) {
        const fs::path target = fs::read_symlink(current, error);
        if (error)
            break;
        fs::path next = target.is_absolute() ? target : current.parent_path() / target;
        if (next.filename() == "." || next.filename() == ".." || next.filename().empty())
            next = fs::weakly_canonical(next, error);
        else
            next = fs::weakly_canonical(next.parent_path(), error) / next.filename();
        if (error)
            break;
        if (!path_text_is_below(next.string(), root.string(), '/')) {
            t.problem = link_outside;
            return t;
        }
        const EntryKind kind = entry_kind(next);
        if (kind == EntryKind::link) {
            current = next;
            continue;
        }
        t.problem = kind == EntryKind::missing  ? "that leads nowhere (its target does not exist)"
                    : kind == EntryKind::folder ? "to a folder"
                    : kind == EntryKind::other  ? "to something that is not a regular file"
                                                : "";
        if (kind == EntryKind::file)
            t.size = fs::file_size(next, error);
        if (!error)
            return t;
    }
    t.problem = "whose target cannot be read";
    return t;
}

std::FILE *open_for_writing(const fs::path &path)
{
    int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (descriptor < 0)
        return nullptr;
    std::FILE *stream = fdopen(descriptor, "wb");
    if (stream == nullptr)
        ::close(descriptor);
    return stream;
}

bool stderr_is_terminal() { return isatty(STDERR_FILENO) != 0; }

static std::FILE *create_exclusively(const fs::path &path)
{
    // O_EXCL: a new file or none, a link at the name never followed.
    int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (descriptor < 0)
        return nullptr;
    std::FILE *stream = fdopen(descriptor, "wb");
    if (stream == nullptr) {
        ::close(descriptor);
        ::unlink(path.c_str());
    }
    return stream;
}

// Ends the packer at once: the compression work in flight is not waited
// for. Only async-signal-safe calls.
static void stop_at_signal(int)
{
    for (size_t slot = 0; slot < temporary_slots; slot++) {
        if (temporary_in_use[slot])
            ::unlink(temporary_names[slot]);
    }
    ssize_t written = ::write(STDERR_FILENO, interrupted_line, sizeof interrupted_line - 1);
    (void)written;
    ::_exit(1);
}

void catch_interrupts()
{
    std::signal(SIGINT, stop_at_signal);
    std::signal(SIGTERM, stop_at_signal);
    std::signal(SIGHUP, stop_at_signal);
}

#endif
