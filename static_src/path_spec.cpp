// Path specs: templates such as "{TEMP}\onefile_{PID}_{TIME_US}_{RANDOM}".
// The parts that change from run to run are generated once and published in
// the environment, so that a later expansion, here or in a child that
// inherited the environment, names the same directory.
#include "launcher.h"

#include <shlobj.h>
#include <stdio.h>
#include <wchar.h>
#include <wctype.h>

enum : size_t { placeholder_name_capacity = 1024, number_text_capacity = 128 };

static const wchar_t random_alphabet[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

void make_random_text(const uint8_t (&bytes)[8], wchar_t (&text)[12])
{
    // Base64 bit grouping of the 8 bytes, without padding.
    const unsigned indexes[11] = {
        static_cast<unsigned>(bytes[0] >> 2),
        static_cast<unsigned>((bytes[0] & 3) << 4 | bytes[1] >> 4),
        static_cast<unsigned>((bytes[1] & 15) << 2 | bytes[2] >> 6),
        static_cast<unsigned>(bytes[2] & 63),
        static_cast<unsigned>(bytes[3] >> 2),
        static_cast<unsigned>((bytes[3] & 3) << 4 | bytes[4] >> 4),
        static_cast<unsigned>((bytes[4] & 15) << 2 | bytes[5] >> 6),
        static_cast<unsigned>(bytes[5] & 63),
        static_cast<unsigned>(bytes[6] >> 2),
        static_cast<unsigned>((bytes[6] & 3) << 4 | bytes[7] >> 4),
        static_cast<unsigned>((bytes[7] & 15) << 2),
    };
    for (size_t i = 0; i < 11; i++)
        text[i] = random_alphabet[indexes[i]];
    text[11] = L'\0';
}

// 64 bits from the system's cryptographic generator: the unpack directory's
// name must not be guessable by another user of a shared %TEMP%.
static bool generate_random_bytes(uint8_t (&bytes)[8])
{
    typedef BOOLEAN(WINAPI * GenerateRandomFunction)(void *, ULONG);
    auto generate = system_function<GenerateRandomFunction>(L"advapi32.dll", "SystemFunction036");
    return generate != nullptr && generate(bytes, sizeof bytes);
}

static int64_t system_time_count()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<int64_t>(static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime);
}

typedef bool (*ValueGenerator)(char (&text)[number_text_capacity]);

static bool generate_random_text(char (&text)[number_text_capacity])
{
    uint8_t bytes[8];
    if (!generate_random_bytes(bytes))
        return false;
    wchar_t random_text[12];
    make_random_text(bytes, random_text);
    for (size_t i = 0; i < array_count(random_text); i++)
        text[i] = static_cast<char>(random_text[i]);
    return true;
}

static bool generate_microsecond_text(char (&text)[number_text_capacity])
{
    int64_t u = system_time_count() / 10;
    snprintf(text, sizeof text, "%06ld", static_cast<long>(u - (u / 1000000) * 1000000));
    return true;
}

static bool generate_time_text(char (&text)[number_text_capacity])
{
    snprintf(text, sizeof text, "%lld", static_cast<long long>(system_time_count()));
    return true;
}

// Appends the value of a generated placeholder: the stored value when the
// variable holds one, otherwise a new one, published before it is used.
// Nothing is generated when a value is stored (the child never needs the
// random generator). False when no value can be generated.
static bool append_generated_value(wchar_t *output, size_t capacity, const char *variable, ValueGenerator generate)
{
    wchar_t *stored = read_environment_variable(variable);
    if (stored != nullptr) {
        append_wide_text(output, stored, capacity);
        return true;
    }
    char generated[number_text_capacity];
    if (!generate(generated))
        return false;
    wchar_t value[number_text_capacity] = L"";
    append_narrow_text(value, generated, array_count(value));
    write_environment_variable(variable, value);
    append_wide_text(output, value, capacity);
    return true;
}

static void trim_trailing_separators(wchar_t *output)
{
    size_t length = wcslen(output);
    while (length > 0 && output[length - 1] == L'\\')
        output[--length] = L'\0';
}

static bool append_folder(wchar_t *output, size_t capacity, int folder)
{
    auto folder_path = system_function<decltype(&SHGetFolderPathW)>(L"shell32.dll", "SHGetFolderPathW");
    wchar_t value[MAX_PATH];
    if (folder_path == nullptr || folder_path(nullptr, folder, nullptr, SHGFP_TYPE_CURRENT, value) != S_OK)
        return false;
    append_wide_text(output, value, capacity);
    trim_trailing_separators(output);
    return true;
}

// The local application data folder as the shell finds it, without the
// shell library (which brings the window and graphics libraries with it):
// the user's "User Shell Folders" entry, where a moved folder is recorded,
// expanded in this process's environment as the shell does for the current
// user. The registry functions are the security functions' library, which
// a reusing launcher loads anyway. When the entry is missing or is no
// absolute path, the shell decides.
static bool append_local_application_data(wchar_t *output, size_t capacity)
{
    auto get_value = system_function<decltype(&RegGetValueW)>(L"advapi32.dll", "RegGetValueW");
    wchar_t stored[MAX_PATH];
    DWORD size = sizeof stored;
    wchar_t value[MAX_PATH];
    DWORD length = 0;
    if (get_value != nullptr &&
        get_value(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
                  L"Local AppData", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, stored,
                  &size) == ERROR_SUCCESS)
        length = ExpandEnvironmentStringsW(stored, value, static_cast<DWORD>(array_count(value)));
    bool drive = length >= 4 && iswalpha(value[0]) && value[1] == L':' && value[2] == L'\\';
    bool share = length >= 4 && value[0] == L'\\' && value[1] == L'\\';
    // A variable left unexpanded keeps its percent signs.
    if (length > array_count(value) || (!drive && !share) || wcschr(value, L'%') != nullptr)
        return append_folder(output, capacity, CSIDL_LOCAL_APPDATA);
    append_wide_text(output, value, capacity);
    trim_trailing_separators(output);
    return true;
}

static bool append_placeholder(wchar_t *output, size_t capacity, const wchar_t *name)
{
    size_t length = wcsnlen(output, capacity);
    check_or_abort(length < capacity);
    wchar_t *end = output + length;
    size_t room = capacity - length;
    char narrow[number_text_capacity];

    if (_wcsicmp(name, L"TEMP") == 0) {
        GetTempPathW(static_cast<DWORD>(room), end);
        // Whatever GetTempPathW leaves is the value; a result that did not fit leaves nothing.
        if (wcsnlen(end, room) == room)
            *end = L'\0';
        trim_trailing_separators(output);
    } else if (_wcsicmp(name, L"PROGRAM") == 0) {
        // Argument 0 as typed, unless it is no full path (a launcher started
        // as "tool" from PATH, or as ".\tool"): a directory named after it
        // would then lie wherever the working directory is. The launcher's
        // own full path stands in for it.
        const LauncherState &s = launcher_state;
        check_or_abort(s.argument_count >= 1 && s.argument_vector != nullptr && s.argument_vector[0] != nullptr);
        const wchar_t *program = s.argument_vector[0];
        bool full = (iswalpha(program[0]) && program[1] == L':' && program[2] == L'\\') ||
                    (program[0] == L'\\' && program[1] == L'\\');
        append_wide_text(output, full ? program : get_launcher_path(false), capacity);
    } else if (_wcsicmp(name, L"PROGRAM_BASE") == 0) {
        if (!expand_path_spec(end, L"{PROGRAM}", room))
            return false;
        size_t added = wcslen(end);
        if (added > 3 && _wcsicmp(end + added - 4, L".exe") == 0)
            end[added - 4] = L'\0';
    } else if (_wcsicmp(name, L"PROGRAM_DIR") == 0) {
        if (!expand_path_spec(end, L"{PROGRAM}", room))
            return false;
        wchar_t *last_separator = wcsrchr(end, L'\\');
        if (last_separator != nullptr)
            *last_separator = L'\0';
    } else if (_wcsicmp(name, L"PID") == 0) {
        wchar_t *parent = read_environment_variable("VESKAR_ONEFILE_PARENT");
        if (parent != nullptr) {
            for (const wchar_t *p = parent; *p != L'\0'; p++)
                check_or_abort(iswctype(*p, _DIGIT));
            append_wide_text(output, parent, capacity);
        } else {
            snprintf(narrow, sizeof narrow, "%ld", static_cast<long>(GetCurrentProcessId()));
            append_narrow_text(output, narrow, capacity);
        }
    } else if (_wcsicmp(name, L"HOME") == 0) {
        return append_folder(output, capacity, CSIDL_PROFILE);
    } else if (_wcsicmp(name, L"CACHE_DIR") == 0) {
        return append_local_application_data(output, capacity);
    } else if (_wcsicmp(name, L"RANDOM") == 0) {
        return append_generated_value(output, capacity, "VESKAR_ONEFILE_RANDOM", generate_random_text);
    } else if (_wcsicmp(name, L"TIME_US") == 0) {
        return append_generated_value(output, capacity, "VESKAR_ONEFILE_TIME_US", generate_microsecond_text);
    } else if (_wcsicmp(name, L"TIME") == 0) {
        return append_generated_value(output, capacity, "VESKAR_ONEFILE_START", generate_time_text);
    } else {
        return false;
    }
    return true;
}

bool expand_path_spec(wchar_t *output, const wchar_t *spec, size_t capacity)
{
    check_or_abort(capacity >= 1);
    output[0] = L'\0';
    size_t length = 0;
    wchar_t name[placeholder_name_capacity];
    size_t name_length = 0;
    bool collecting = false;
    bool name_too_long = false;

    for (; *spec != L'\0'; spec++) {
        wchar_t unit = *spec;
        if (unit == L'{') {
            collecting = true;
            name_length = 0;
            name_too_long = false;
        } else if (unit == L'}' && collecting) {
            name[name_length] = L'\0';
            collecting = false;
            // A name that did not fit its buffer names no placeholder.
            if (name_too_long || !append_placeholder(output, capacity, name))
                return false;
            length = wcslen(output);
        } else if (collecting) {
            // Only a closed name is looked up: an over-long one may still be
            // restarted by "{" or dropped at the end like any partial name.
            if (name_length + 1 < array_count(name))
                name[name_length++] = unit;
            else
                name_too_long = true;
        } else {
            // Literal text, a "}" that closes nothing included.
            if (capacity - length < 2)
                return false;
            output[length++] = unit;
            output[length] = L'\0';
        }
    }
    return true;
}
