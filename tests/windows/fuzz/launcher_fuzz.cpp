// The launcher's record reader, name checks and unpacking under a fuzzer, in
// one process: for every input the driver runs the parent's steps (open the
// attached data, create the unpack directory, unpack every record, close),
// with the launcher's own code and its own reports (report_seam.h), and
// compares the result with an independent reading of the same bytes: either a
// complete unpack, file for file, or the one catalogue line with its status
// that the first fault calls for. After every input nothing may exist beside
// the unpack directory, and after a catalogue line not the directory either.
//
//   launcher_fuzz.exe [--inputs N] [--seed S] [--start I] [--corpus DIR]
//   launcher_fuzz.exe --replay FILE     (one attached-data file)
//
// Input I of seed S is always the same bytes; a finding names both and saves
// the input as launcher_fuzz_input_<I>.bin in the current directory.
#include "fuzz_inputs.h"
#include "launcher.h"
#include "error_reporting.h"
#include "report_seam.h"

#include <setjmp.h>
#include <stdarg.h>
#include <wchar.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

// ---- The seam: what the launcher's reports printed, and how they ended ----

jmp_buf end_of_input;
int end_status;
int printed_lines;
std::wstring printed_line;   // the last line, with a %ls argument kept wide
std::string printed_format;  // its format, or the text of a puts

std::wstring widen_bytes(const char *text, size_t length)
{
    std::wstring wide;
    for (size_t i = 0; i < length; i++)
        wide += static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
    return wide;
}

}  // namespace

void seam_end_process(int status)
{
    end_status = status;
    longjmp(end_of_input, 1);
}

int seam_print_line(const char *text)
{
    printed_lines++;
    printed_format = text;
    printed_line = widen_bytes(text, strlen(text)) + L"\n";
    return 0;
}

int seam_print_formatted(FILE *, const char *format, ...)
{
    printed_lines++;
    printed_format = format;
    va_list arguments;
    va_start(arguments, format);
    const char *wide = strstr(format, "%ls");
    if (wide != nullptr && strchr(format, '%') == wide && strchr(wide + 1, '%') == nullptr) {
        // The lines that carry a path: compared in full, not as the C
        // runtime narrows it.
        const wchar_t *argument = va_arg(arguments, const wchar_t *);
        printed_line = widen_bytes(format, static_cast<size_t>(wide - format)) + argument + widen_bytes(wide + 3, strlen(wide + 3));
    } else {
        char text[4096];
        int length = vsnprintf(text, sizeof text, format, arguments);
        printed_line = widen_bytes(text, length < 0 ? 0 : std::min<size_t>(static_cast<size_t>(length), sizeof text - 1));
    }
    va_end(arguments);
    return 0;
}

namespace {

const char open_failure_format[] = "Error, failed to open '%ls' for writing.\n";

// ---- The independent reading ----

uint64_t hash_bytes(uint64_t hash, const unsigned char *bytes, size_t count)
{
    for (size_t i = 0; i < count; i++)
        hash = (hash ^ bytes[i]) * 0x100000001B3ull;
    return hash;
}
const uint64_t hash_start = 0xCBF29CE484222325ull;

// The record stream as far as the launcher's reader can see it: the same
// decoder steps, each into an empty 128 KiB window, so a damaged frame stops
// delivering at the same byte as it does for the launcher.
class VisibleStream {
public:
    VisibleStream(const unsigned char *frame, size_t length)
        : context_(ZSTD_createDCtx()), input_{frame, length, 0}, window_(131072) {}
    ~VisibleStream() { ZSTD_freeDCtx(context_); }
    // The next `count` bytes (hashed into `hash` when given); false when they are not there.
    bool take(unsigned char *destination, uint64_t count, uint64_t *hash = nullptr)
    {
        while (count > 0) {
            if (cursor_ == valid_) {
                if (failed_ || (input_.pos == input_.size && !filled_))
                    return false;
                ZSTD_outBuffer output{window_.data(), window_.size(), 0};
                failed_ = ZSTD_isError(ZSTD_decompressStream(context_, &output, &input_));
                if (failed_)
                    return false;
                filled_ = output.pos == output.size;
                valid_ = output.pos;
                cursor_ = 0;
                continue;
            }
            size_t taken = static_cast<size_t>(std::min<uint64_t>(count, valid_ - cursor_));
            if (destination != nullptr) {
                memcpy(destination, window_.data() + cursor_, taken);
                destination += taken;
            }
            if (hash != nullptr)
                *hash = hash_bytes(*hash, window_.data() + cursor_, taken);
            cursor_ += taken;
            count -= taken;
        }
        return true;
    }

private:
    ZSTD_DCtx *context_;
    ZSTD_inBuffer input_;
    std::vector<unsigned char> window_;
    size_t valid_ = 0, cursor_ = 0;
    bool filled_ = false, failed_ = false;
};

// Written from the rules for names, not from the launcher's code: a relative
// path of components that are neither empty, "." nor "..", that end in
// neither a dot nor a blank, hold no control character and none of
// : / < > " | ? *, and are no device (CON PRN AUX NUL COM0-9 LPT0-9, the
// superscripts 1-3 too, in any case, with any extension, blanks before it).
bool name_is_acceptable(const std::wstring &name)
{
    size_t start = 0;
    for (;;) {
        size_t end = std::min(name.find(L'\\', start), name.size());
        std::wstring part = name.substr(start, end - start);
        if (part.empty() || part == L"." || part == L".." || part.back() == L'.' || part.back() == L' ')
            return false;
        for (wchar_t unit : part) {
            if (unit < 0x20 || std::wstring(L":/<>\"|?*").find(unit) != std::wstring::npos)
                return false;
        }
        std::wstring base = part.substr(0, part.find(L'.'));
        while (!base.empty() && base.back() == L' ')
            base.pop_back();
        for (wchar_t &unit : base)
            unit = unit >= L'a' && unit <= L'z' ? static_cast<wchar_t>(unit - 32) : unit;
        for (const wchar_t *device : {L"CON", L"PRN", L"AUX", L"NUL"}) {
            if (base == device)
                return false;
        }
        if (base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0) &&
            std::wstring(L"0123456789\u00B9\u00B2\u00B3").find(base[3]) != std::wstring::npos)
            return false;
        if (end == name.size())
            return true;
        start = end + 1;
    }
}

// What the file system can hold. Windows refuses a name part of more than
// 255 units. Under Wine every file is a Linux file: a part named CONIN$ or
// CONOUT$ opens the console; a lone surrogate (no UTF-8 form), a name part
// of more than 255 bytes and a path near Linux's 4096 bytes are stored or
// refused by Wine's own reckoning, which the driver cannot foresee. Off Wine
// the function that finds the Linux path is missing and only the Windows rule
// applies.
enum class Fit { fits, fails, unforeseeable };

struct PathLimits {
    size_t unix_prefix_length = 0;  // of the unpack directory's Linux path; 0 off Wine
    Fit fit(const std::wstring &relative) const
    {
        bool wine = unix_prefix_length != 0;
        Fit result = Fit::fits;
        size_t start = 0;
        for (;;) {
            size_t end = std::min(relative.find(L'\\', start), relative.size());
            std::wstring part = relative.substr(start, end - start);
            int bytes = WideCharToMultiByte(CP_UTF8, 0, part.c_str(), static_cast<int>(part.size()), nullptr, 0, nullptr, nullptr);
            if (!wine && part.size() > 255)
                return Fit::fails;
            if (wine && (_wcsicmp(part.c_str(), L"CONIN$") == 0 || _wcsicmp(part.c_str(), L"CONOUT$") == 0))
                return Fit::fails;
            if (wine && bytes > 255)
                result = Fit::unforeseeable;
            if (end == relative.size())
                break;
            start = end + 1;
        }
        if (!wine)
            return result;
        int bytes = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, relative.c_str(), static_cast<int>(relative.size()),
                                        nullptr, 0, nullptr, nullptr);
        // A lone surrogate or a path near Linux's 4096 bytes: Wine stores
        // some of these and refuses others.
        if (bytes <= 0 || unix_prefix_length + 1 + static_cast<size_t>(bytes) >= 3584)
            return Fit::unforeseeable;
        return result;
    }
};

PathLimits limits_of(const std::wstring &directory)
{
    PathLimits limits;
    auto unix_name = reinterpret_cast<char *(CDECL *)(const wchar_t *)>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (unix_name != nullptr) {
        char *name = unix_name(directory.c_str());
        if (name != nullptr) {
            limits.unix_prefix_length = strlen(name);
            HeapFree(GetProcessHeap(), 0, name);
        }
    }
    return limits;
}

struct ModelEntry {
    std::wstring path;  // relative, spelt as first created: Windows keeps that spelling
    bool directory;
    uint64_t length, hash;
};

// File names compare as Windows file systems compare them: without case.
ModelEntry *find_entry(std::vector<ModelEntry> &tree, const std::wstring &path)
{
    for (ModelEntry &entry : tree) {
        if (CompareStringOrdinal(entry.path.c_str(), static_cast<int>(entry.path.size()), path.c_str(),
                                 static_cast<int>(path.size()), TRUE) == CSTR_EQUAL)
            return &entry;
    }
    return nullptr;
}

struct Outcome {
    enum Kind { unpacked, reported, aborted } kind = unpacked;
    int status = 0;
    std::wstring line;
    std::string format;               // the catalogue entry, for the counts
    std::vector<ModelEntry> tree;     // after a complete unpack
    // Records the file system may or may not hold (see PathLimits): a
    // failure to open one of these is the platform's, and what they leave
    // on the disk is not compared.
    std::vector<std::wstring> unforeseeable_lines;
};

Outcome ends_with(const char *message)
{
    Outcome outcome;
    outcome.kind = Outcome::reported;
    outcome.status = 2;
    outcome.format = message;
    outcome.line = widen_bytes(message, strlen(message)) + L"\n";
    return outcome;
}

// A path as a report line shows it outside a console: what the ANSI code
// page lacks is "?".
std::wstring as_shown(const std::wstring &path)
{
    std::string narrow(4 * path.size() + 1, '\0');
    int bytes = WideCharToMultiByte(CP_ACP, 0, path.c_str(), static_cast<int>(path.size()), &narrow[0],
                                    static_cast<int>(narrow.size()), GetACP() == CP_UTF8 ? nullptr : "?", nullptr);
    std::wstring shown(path.size() + 1, L'\0');
    int units = MultiByteToWideChar(CP_ACP, 0, narrow.c_str(), bytes, &shown[0], static_cast<int>(shown.size()));
    shown.resize(units > 0 ? static_cast<size_t>(units) : 0);
    return shown;
}

Outcome expected_outcome(const std::string &attached, const std::wstring &unpack, const PathLimits &limits)
{
    if (attached.size() < 3 || attached.compare(0, 3, "QVY") != 0)
        return ends_with(MESSAGE_HEADER_NOT_FOUND);
    VisibleStream stream(reinterpret_cast<const unsigned char *>(attached.data()) + 3, attached.size() - 3);
    Outcome outcome;
    // Whatever ends the run later, an earlier record's open may have failed
    // at a platform limit first.
    auto ending = [&outcome](Outcome end) {
        end.unforeseeable_lines = outcome.unforeseeable_lines;
        return end;
    };
    for (;;) {
        std::wstring name;
        for (;;) {
            unsigned char unit[2];
            if (!stream.take(unit, 2))
                return ending(ends_with(MESSAGE_DECODING_FAILED));
            if (unit[0] == 0 && unit[1] == 0)
                break;
            name += static_cast<wchar_t>(unit[0] | unit[1] << 8);
            if (name.size() == 1024)  // no room left for the terminating unit
                return ending(ends_with(MESSAGE_DECODING_FAILED));
        }
        if (name.empty())
            return outcome;
        if (!name_is_acceptable(name))
            return ending(ends_with(MESSAGE_DECODING_FAILED));
        std::wstring path = unpack + L"\\" + name;
        if (path.size() >= path_capacity) {
            Outcome aborted;
            aborted.kind = Outcome::aborted;
            aborted.status = 3;
            aborted.format = "abort";
            return ending(aborted);
        }
        unsigned char size_bytes[8];
        if (!stream.take(size_bytes, 8))
            return ending(ends_with(MESSAGE_DECODING_FAILED));
        uint64_t size = 0;
        for (int i = 7; i >= 0; i--)
            size = size << 8 | size_bytes[i];

        // The directories on the way, then the file: a file on the way, a
        // directory or a file already in the file's place (an unpack never
        // replaces what it wrote) or a path the file system cannot hold
        // make the file impossible to create.
        Fit fit = limits.fit(name);
        bool creatable = fit != Fit::fails;
        if (fit == Fit::unforeseeable)
            outcome.unforeseeable_lines.push_back(L"Error, failed to open '" + as_shown(path) + L"' for writing.\n");
        for (size_t at = name.find(L'\\'); creatable && at != std::wstring::npos; at = name.find(L'\\', at + 1)) {
            ModelEntry *entry = find_entry(outcome.tree, name.substr(0, at));
            if (entry == nullptr)
                outcome.tree.push_back(ModelEntry{name.substr(0, at), true, 0, 0});
            else
                creatable = entry->directory;
        }
        ModelEntry *file = find_entry(outcome.tree, name);
        if (!creatable || file != nullptr) {
            Outcome failed;
            failed.kind = Outcome::reported;
            failed.status = 2;
            failed.format = open_failure_format;
            failed.line = L"Error, failed to open '" + as_shown(path) + L"' for writing.\n";
            return ending(failed);
        }
        uint64_t hash = hash_start;
        if (!stream.take(nullptr, size, &hash))
            return ending(ends_with(MESSAGE_DECODING_FAILED));
        outcome.tree.push_back(ModelEntry{name, false, size, hash});
    }
}

// ---- Looking at the disk ----

std::wstring long_form(const std::wstring &path) { return L"\\\\?\\" + path; }

bool exists(const std::wstring &path) { return GetFileAttributesW(long_form(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::wstring> list_names(const std::wstring &directory)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(long_form(directory + L"\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (wcscmp(entry.cFileName, L".") != 0 && wcscmp(entry.cFileName, L"..") != 0)
            names.push_back(entry.cFileName);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

// Every entry below `directory`, relative, with what it holds.
void walk_tree(const std::wstring &directory, const std::wstring &relative, std::vector<ModelEntry> &found)
{
    for (const std::wstring &name : list_names(directory)) {
        std::wstring path = directory + L"\\" + name, inner = relative.empty() ? name : relative + L"\\" + name;
        DWORD attributes = GetFileAttributesW(long_form(path).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            found.push_back(ModelEntry{inner, true, 0, 0});
            walk_tree(path, inner, found);
            continue;
        }
        ModelEntry file{inner, false, 0, hash_start};
        HANDLE handle = CreateFileW(long_form(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                    nullptr);
        static unsigned char buffer[65536];
        DWORD read = 0;
        while (handle != INVALID_HANDLE_VALUE && ReadFile(handle, buffer, sizeof buffer, &read, nullptr) && read > 0) {
            file.hash = hash_bytes(file.hash, buffer, read);
            file.length += read;
        }
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
        found.push_back(file);
    }
}

// ---- The run ----

struct Sandbox {
    std::wstring root;          // made by the driver; holds the sandbox and a canary beside it
    std::wstring sandbox;       // holds the unpack directories, a canary and the deep chain
    std::wstring deep_parent;   // the last folder of the deep chain
    std::wstring unpack[2];     // shallow, deep
    PathLimits limits[2];
    // The folders nothing may touch: the sandbox's parent and the two canaries.
    struct Quiet {
        std::wstring folder;
        std::vector<std::wstring> names;
        const char *what;
        uint64_t written;                 // last-write time, as last seen
    } quiet[3];
};

// Any entry made or removed in a folder moves this; reading it costs no
// round trip to Wine's server, a listing several.
uint64_t last_written(const std::wstring &folder)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    GetFileAttributesExW(long_form(folder).c_str(), GetFileExInfoStandard, &data);
    return static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32 | data.ftLastWriteTime.dwLowDateTime;
}

const wchar_t canary_text[] = L"canary.txt";

bool make_canary(const std::wstring &folder)
{
    if (!CreateDirectoryW(long_form(folder).c_str(), nullptr))
        return false;
    HANDLE file = CreateFileW(long_form(folder + L"\\" + canary_text).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              0, nullptr);
    DWORD written = 0;
    bool made = file != INVALID_HANDLE_VALUE && WriteFile(file, "canary", 6, &written, nullptr) && written == 6;
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return made;
}

bool make_sandbox(Sandbox &box)
{
    wchar_t temp[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0 || length > MAX_PATH)
        return false;
    box.root = std::wstring(temp, length) + L"veskar_launcher_fuzz_" + std::to_wstring(GetCurrentProcessId());
    box.sandbox = box.root + L"\\sandbox";
    if (!CreateDirectoryW(long_form(box.root).c_str(), nullptr) || !make_canary(box.root + L"\\canary") ||
        !CreateDirectoryW(long_form(box.sandbox).c_str(), nullptr) || !make_canary(box.sandbox + L"\\canary"))
        return false;
    // Deep enough that a name of some 800 units no longer fits the launcher's
    // 4096-unit path, and one of some 750 bytes no longer fits Linux's.
    box.deep_parent = box.sandbox;
    while (box.deep_parent.size() < 3270) {
        box.deep_parent += L"\\" + std::wstring(240, L'd');
        if (!CreateDirectoryW(long_form(box.deep_parent).c_str(), nullptr))
            return false;
    }
    box.unpack[0] = box.sandbox + L"\\unpack";
    box.unpack[1] = box.deep_parent + L"\\unpack";
    for (int i = 0; i < 2; i++)
        box.limits[i] = limits_of(box.unpack[i]);
    box.quiet[0] = {box.root, {L"canary", L"sandbox"}, "the sandbox's parent", 0};
    box.quiet[1] = {box.root + L"\\canary", {canary_text}, "the canary beside the sandbox", 0};
    box.quiet[2] = {box.sandbox + L"\\canary", {canary_text}, "the canary in the sandbox", 0};
    for (Sandbox::Quiet &quiet : box.quiet) {
        quiet.written = last_written(quiet.folder);
        if (quiet.written == 0)
            return false;
    }
    return true;
}

// Zero, as at process start, after freeing what the last run allocated.
void reset_launcher_state()
{
    close_attached_data();
    for (int32_t i = 0; i < launcher_state.created_directory_count; i++)
        free(launcher_state.created_directories[i]);
    memset(static_cast<void *>(&launcher_state), 0, sizeof launcher_state);
}

// The launcher's steps run on a fiber of their own whose stack is far
// larger than a launcher's, so that an input which would overflow the real
// launcher's stack is measured and reported instead of ending the run (a
// fiber, not a thread: switching to it costs no round trip to Wine's
// server). The worker paints the stack below itself once; after each input
// it looks for the lowest word that is painted no more, block by block from
// the top (no frame of the launcher leaves a whole block untouched), and
// paints again what was used.
struct LauncherJob {
    std::wstring file;  // the launcher's own file, as the reader opens it
    size_t length;
    const std::wstring *unpack;
    Outcome outcome;
    size_t stack_used;      // bytes of the worker's stack the input used
    void *driver, *worker;  // the two fibers
};
LauncherJob job;

void run_launcher_steps()
{
    reset_launcher_state();
    copy_wide_text(launcher_state.unpack_directory, job.unpack->c_str(), array_count(launcher_state.unpack_directory));
    copy_wide_text(launcher_state.plain_launcher_path, job.file.c_str(), array_count(launcher_state.plain_launcher_path));
    launcher_state.archive_offset = 4096;
    launcher_state.archive_length = job.length;
    printed_lines = 0;
    printed_line.clear();
    printed_format.clear();
    Outcome &outcome = job.outcome;
    outcome = Outcome();
    if (setjmp(end_of_input) == 0) {
        // The parent's main sequence, from the header check to the closed reader.
        open_attached_data();
        create_unpack_directory();
        unpack_all_records();
        close_attached_data();
        outcome.kind = Outcome::unpacked;
    } else {
        outcome.kind = printed_lines > 0 ? Outcome::reported : Outcome::aborted;
        outcome.status = end_status;
    }
    outcome.line = printed_line;
    outcome.format = printed_lines > 0 ? printed_format : outcome.kind == Outcome::aborted ? "abort" : "";
}

const size_t paint_block = 128 << 10, painted_blocks = 64;  // 8 MiB below the worker's frame
const uint64_t paint = 0x5AFE57AC5AFE57ACull;

void WINAPI launcher_worker(void *)
{
    ULONG_PTR stack_low = 0, stack_base = 0;
    GetCurrentThreadStackLimits(&stack_low, &stack_base);
    volatile uint64_t here = 0;
    // 4 KiB left above the paint for the frames of this loop itself.
    auto *top = reinterpret_cast<uint64_t *>((reinterpret_cast<uintptr_t>(&here) - 4096) & ~static_cast<uintptr_t>(7));
    uint64_t *bottom = top - painted_blocks * paint_block / 8;
    std::fill(bottom, top, paint);
    for (;;) {
        run_launcher_steps();
        uint64_t *lowest = top;
        for (uint64_t *block = top - paint_block / 8; block >= bottom; block -= paint_block / 8) {
            uint64_t *word = block;
            while (word < lowest && *word == paint)
                word++;
            if (word == lowest)
                break;  // a whole block untouched: nothing below it was used
            lowest = word;
        }
        std::fill(lowest, top, paint);
        job.stack_used = static_cast<size_t>(stack_base - reinterpret_cast<uintptr_t>(lowest));
        SwitchToFiber(job.driver);
    }
}

// The attached data lies in a file standing for the launcher's own, between
// bytes that are not part of it, where the notes would name it: a read
// outside it would take those bytes for the frame.
Outcome run_launcher(const std::string &attached, const std::wstring &unpack, const std::wstring &file)
{
    close_attached_data();  // the previous input's reader holds the file
    HANDLE out = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    const std::string bytes = std::string(4096, 'Q') + attached + "QVY";
    DWORD written = 0;
    if (out == INVALID_HANDLE_VALUE || !WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        !CloseHandle(out) || written != bytes.size()) {
        fprintf(stderr, "launcher_fuzz: cannot write the input\n");
        ExitProcess(2);
    }
    job.file = file;
    job.length = attached.size();
    job.unpack = &unpack;
    SwitchToFiber(job.worker);
    return job.outcome;
}

std::string narrow(const std::wstring &text)
{
    std::string bytes;
    for (wchar_t unit : text)
        if (unit >= 0x20 && unit < 0x7F) {
            bytes += static_cast<char>(unit);
        } else {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(unit));
            bytes += escaped;
        }
    return bytes;
}

std::string describe(const Outcome &outcome)
{
    if (outcome.kind == Outcome::unpacked)
        return "a complete unpack";
    if (outcome.kind == Outcome::aborted)
        return "an abort, status " + std::to_string(outcome.status);
    std::string line = narrow(outcome.line.substr(0, outcome.line.size() - (outcome.line.empty() ? 0 : 1)));
    return "\"" + line + "\", status " + std::to_string(outcome.status);
}

struct Run {
    uint64_t seed = 1;
    uint64_t findings = 0;
    std::map<std::string, uint64_t> counts;
    Sandbox box;
    const std::string *input = nullptr;            // the input at hand, for the watchdog and crash reports
    volatile LONG64 input_index = -1;
    volatile ULONGLONG input_started = 0;
    bool saved = false;                            // the input at hand is saved already
    uint64_t saved_inputs = 0;
    size_t stack_budget = 0;                       // what a launcher's main thread can use
    size_t deepest_stack = 0;
    uint64_t unforeseeable = 0;                    // open failures at a platform limit the driver cannot foresee
    ULONGLONG slowest_ms = 0;
    uint64_t slowest_input = 0;
};
Run run;

void save_input()
{
    if (run.saved || run.input == nullptr || run.saved_inputs == 10)
        return;
    run.saved = true;
    run.saved_inputs++;
    std::wstring name = L"launcher_fuzz_input_" + std::to_wstring(run.input_index) + L".bin";
    HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    if (file != INVALID_HANDLE_VALUE) {
        WriteFile(file, run.input->data(), static_cast<DWORD>(run.input->size()), &written, nullptr);
        CloseHandle(file);
    }
    printf("launcher_fuzz: input saved as %ls (replay: launcher_fuzz.exe --replay %ls; or link it into a launcher "
           "with veskar-pack link --attached-data)\n", name.c_str(), name.c_str());
}

void finding(const std::string &what)
{
    // The first ones in full; all of them counted.
    if (++run.findings > 20)
        return;
    printf("launcher_fuzz: FINDING at input %lld of seed %llu: %s\n", static_cast<long long>(run.input_index),
           static_cast<unsigned long long>(run.seed), what.c_str());
    save_input();
    fflush(stdout);
}

// False when it found something to report.
bool check_folder(const std::wstring &folder, std::vector<std::wstring> expected, const char *what)
{
    std::sort(expected.begin(), expected.end());
    std::vector<std::wstring> names = list_names(folder);
    if (names == expected)
        return true;
    std::string listed;
    for (const std::wstring &name : names)
        listed += " '" + narrow(name.substr(0, 40)) + "'";
    finding(std::string(what) + " holds something else:" + listed);
    return false;
}

std::wstring first_component(const std::wstring &below, const std::wstring &path)
{
    std::wstring rest = path.substr(below.size() + 1);
    return rest.substr(0, rest.find(L'\\'));
}

// The sandbox, which holds the unpack directories, is listed; the quiet
// folders only when their last-write time moved.
void check_surroundings(bool deep)
{
    for (Sandbox::Quiet &quiet : run.box.quiet) {
        uint64_t written = last_written(quiet.folder);
        if (written == quiet.written)
            continue;
        quiet.written = written;
        if (check_folder(quiet.folder, quiet.names, quiet.what))
            finding(std::string(quiet.what) + " had something made and removed in it");
    }
    check_folder(run.box.sandbox, {L"canary", first_component(run.box.sandbox, run.box.deep_parent)}, "the sandbox");
    if (deep)
        check_folder(run.box.deep_parent, {}, "the deep unpack directory's parent");
}

void run_one(const std::string &attached, bool deep)
{
    run.input = &attached;
    run.saved = false;
    run.input_started = GetTickCount64();
    const std::wstring &unpack = run.box.unpack[deep ? 1 : 0];
    Outcome expected = expected_outcome(attached, unpack, run.box.limits[deep ? 1 : 0]);
    Outcome actual = run_launcher(attached, unpack, run.box.root + L".exe");
    run.deepest_stack = std::max(run.deepest_stack, job.stack_used);
    if (job.stack_used > run.stack_budget) {
        finding("the launcher's steps used " + std::to_string(job.stack_used >> 10) + " KiB of stack; a launcher's "
                "main thread has " + std::to_string(run.stack_budget >> 10) + " KiB (it would crash)");
    }
    std::string shown = actual.kind == Outcome::unpacked ? "unpacked, every file checked" : actual.format;
    while (!shown.empty() && shown.back() == '\n')
        shown.pop_back();
    run.counts[shown + " (status " + std::to_string(actual.status) + ")"]++;

    const std::vector<std::wstring> &excused = expected.unforeseeable_lines;
    bool platform_failure = actual.kind == Outcome::reported && actual.status == 2 &&
                            std::find(excused.begin(), excused.end(), actual.line) != excused.end();
    if (platform_failure)
        run.unforeseeable++;
    else if (actual.kind != expected.kind || actual.status != expected.status || actual.line != expected.line)
        finding("expected " + describe(expected) + ", the launcher gave " + describe(actual));
    if (printed_lines > 1)
        finding("more than one catalogue line");
    if (actual.kind == Outcome::unpacked) {
        if (expected.kind == Outcome::unpacked && excused.empty()) {
            std::vector<ModelEntry> found;
            walk_tree(unpack, L"", found);
            for (const ModelEntry &entry : expected.tree) {
                ModelEntry *on_disk = find_entry(found, entry.path);
                if (on_disk == nullptr || on_disk->directory != entry.directory || on_disk->length != entry.length ||
                    on_disk->hash != entry.hash)
                    finding("'" + narrow(entry.path) + "' is missing or differs from its record");
            }
            if (found.size() != expected.tree.size())
                finding("the unpack directory holds " + std::to_string(found.size()) + " entries, the records make " +
                        std::to_string(expected.tree.size()));
        }
        remove_unpack_directory();
    }
    if (exists(unpack))
        finding(actual.kind == Outcome::unpacked ? "the removal left the unpack directory"
                                                 : "the unpack directory outlived the catalogue line");
    if (launcher_state.current_file != INVALID_HANDLE_VALUE && launcher_state.current_file != nullptr)
        finding("a file handle was left open");
    check_surroundings(deep);
    if (exists(unpack))  // the next input needs a fresh directory
        remove_unpack_directory();
    ULONGLONG took = GetTickCount64() - run.input_started;
    if (took > run.slowest_ms)
        run.slowest_ms = took, run.slowest_input = static_cast<uint64_t>(run.input_index);
}

// A hang is a finding too: the watchdog ends the process with the input saved.
DWORD WINAPI watchdog(void *limit_ms)
{
    for (;;) {
        Sleep(1000);
        if (run.input_index >= 0 && GetTickCount64() - run.input_started > reinterpret_cast<ULONG_PTR>(limit_ms)) {
            finding("no end after " + std::to_string(reinterpret_cast<ULONG_PTR>(limit_ms) / 1000) + " s (a hang)");
            TerminateProcess(GetCurrentProcess(), 4);
        }
    }
}

LONG WINAPI report_crash(EXCEPTION_POINTERS *exception)
{
    char code[32];
    snprintf(code, sizeof code, "0x%08lx", static_cast<unsigned long>(exception->ExceptionRecord->ExceptionCode));
    finding(std::string("a crash, exception ") + code);
    return EXCEPTION_EXECUTE_HANDLER;
}

void remove_sandbox()
{
    // The launcher's own removal walk, pointed at the driver's folder.
    reset_launcher_state();
    remove_tree(launcher_state.removal_walk, run.box.root.c_str());
    DeleteFileW((run.box.root + L".exe").c_str());
}

bool read_whole_file(const wchar_t *path, std::string &bytes)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bytes.resize(GetFileSize(file, nullptr));
    DWORD read = 0;
    bool complete = ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) && read == bytes.size();
    CloseHandle(file);
    return complete;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    uint64_t inputs = 10000, start = 0;
    std::wstring corpus, replay;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::wstring option = argv[i];
        if (option == L"--inputs")
            inputs = wcstoull(argv[i + 1], nullptr, 10);
        else if (option == L"--seed")
            run.seed = wcstoull(argv[i + 1], nullptr, 10);
        else if (option == L"--start")
            start = wcstoull(argv[i + 1], nullptr, 10);
        else if (option == L"--corpus")
            corpus = argv[i + 1];
        else if (option == L"--replay")
            replay = argv[i + 1];
    }
    if (argc % 2 == 0) {
        fprintf(stderr, "usage: launcher_fuzz.exe [--inputs N] [--seed S] [--start I] [--corpus DIR] | --replay FILE\n");
        return 2;
    }
    if (corpus.empty()) {
        wchar_t own[path_capacity];
        DWORD length = GetModuleFileNameW(nullptr, own, path_capacity);
        corpus = std::wstring(own, length);
        corpus = corpus.substr(0, corpus.rfind(L'\\')) + L"\\corpus";
    }
    std::vector<std::string> seeds;
    if (replay.empty() && !load_seed_corpus(corpus, seeds)) {
        fprintf(stderr, "launcher_fuzz: no seed corpus in %ls\n", corpus.c_str());
        return 2;
    }
    if (!make_sandbox(run.box)) {
        fprintf(stderr, "launcher_fuzz: cannot make the sandbox %ls\n", run.box.root.c_str());
        return 2;
    }
    SetUnhandledExceptionFilter(report_crash);
    // Launchers are linked with the toolchain's default stack, as this
    // program is; a guard page and the frames above the record loop come off.
    auto *image = reinterpret_cast<unsigned char *>(GetModuleHandleW(nullptr));
    auto *headers = reinterpret_cast<IMAGE_NT_HEADERS *>(image + reinterpret_cast<IMAGE_DOS_HEADER *>(image)->e_lfanew);
    run.stack_budget = static_cast<size_t>(headers->OptionalHeader.SizeOfStackReserve) - (16 << 10);
    job.driver = ConvertThreadToFiber(nullptr);
    job.worker = CreateFiberEx(16 << 20, 16 << 20, FIBER_FLAG_FLOAT_SWITCH, launcher_worker, nullptr);
    if (job.driver == nullptr || job.worker == nullptr) {
        fprintf(stderr, "launcher_fuzz: cannot start the worker fiber\n");
        return 2;
    }
    const wchar_t *scale_text = _wgetenv(L"VESKAR_TEST_TIMEOUT_SCALE");
    ULONG_PTR scale = scale_text != nullptr && wcstoul(scale_text, nullptr, 10) > 0 ? wcstoul(scale_text, nullptr, 10) : 1;
    CloseHandle(CreateThread(nullptr, 0, watchdog, reinterpret_cast<void *>(60000 * scale), 0, nullptr));

    ULONGLONG began = GetTickCount64();
    uint64_t done = 0;
    if (!replay.empty()) {
        std::string attached;
        if (!read_whole_file(replay.c_str(), attached)) {
            fprintf(stderr, "launcher_fuzz: cannot read %ls\n", replay.c_str());
            return 2;
        }
        run.saved = true;  // it is a file already
        run.input_index = 0;
        run_one(attached, false);
        run.input_index = -1;
        done = 1;
    }
    for (uint64_t index = start; replay.empty() && index < start + inputs; index++) {
        std::string attached = make_fuzz_input(seeds, run.seed, index);
        run.input_index = static_cast<LONG64>(index);
        run_one(attached, uses_deep_unpack_directory(run.seed, index));
        run.input_index = -1;
        run.input = nullptr;
        if (++done % 100000 == 0) {
            printf("launcher_fuzz: %llu inputs, %.0f s\n", static_cast<unsigned long long>(done),
                   (GetTickCount64() - began) / 1000.0);
            fflush(stdout);
        }
    }
    remove_sandbox();
    printf("launcher_fuzz: %llu inputs of seed %llu from input %llu in %.1f s, %llu findings\n",
           static_cast<unsigned long long>(done), static_cast<unsigned long long>(run.seed),
           static_cast<unsigned long long>(start), (GetTickCount64() - began) / 1000.0,
           static_cast<unsigned long long>(run.findings));
    printf("  deepest stack of the launcher's steps: %llu KiB of %llu; slowest input: %llu, %llu ms\n",
           static_cast<unsigned long long>(run.deepest_stack >> 10), static_cast<unsigned long long>(run.stack_budget >> 10),
           static_cast<unsigned long long>(run.slowest_input), static_cast<unsigned long long>(run.slowest_ms));
    printf("  of the open failures, %llu at a limit of Wine's that the driver cannot foresee\n",
           static_cast<unsigned long long>(run.unforeseeable));
    for (const auto &[outcome, count] : run.counts)
        printf("  %10llu  %s\n", static_cast<unsigned long long>(count), outcome.c_str());
    return run.findings == 0 ? 0 : 1;
}
