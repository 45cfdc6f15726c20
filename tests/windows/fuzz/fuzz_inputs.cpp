#include "fuzz_inputs.h"

#include <windows.h>
#include <zstd.h>

#include <cstring>

uint64_t FuzzRandom::next()
{
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint64_t FuzzRandom::below(uint64_t bound) { return bound == 0 ? 0 : next() % bound; }

bool load_seed_corpus(const std::wstring &folder, std::vector<std::string> &seeds)
{
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((folder + L"\\*.records").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    bool complete = true;
    do {
        HANDLE file = CreateFileW((folder + L"\\" + entry.cFileName).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        std::string bytes(entry.nFileSizeLow, '\0');
        DWORD read = 0;
        complete = complete && file != INVALID_HANDLE_VALUE &&
                   ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
                   read == bytes.size();
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        seeds.push_back(bytes);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return complete && !seeds.empty();
}

namespace {

struct Record {
    std::wstring name;
    uint64_t size;        // the size field as written; may differ from the content's length
    std::string content;
};

struct Stream {
    std::vector<Record> records;
    bool end_marker = true;
    std::string tail;     // after the end marker: never read by the launcher
};

// Name parts that Windows or the launcher treat specially: ways out of the
// directory, drives and streams, devices (superscript digits, extensions,
// blanks before the dot), characters no file name holds, trailing dots and
// blanks, control characters, lone and paired surrogates, letters whose case
// folds outside ASCII, and near misses that are plain names.
const wchar_t *const hostile_parts[] = {
    L"..", L".", L"", L"...", L"C:", L"c:x", L":stream", L"a:b", L"x::$DATA", L"/", L"a/b", L"\\", L"\\\\?\\C:",
    L"CON", L"nul", L"Prn", L"aux.txt", L"Com1", L"lpt9.log", L"COM0", L"LPT\u00B9", L"com\u00B2.dll", L"COM\u00B3",
    L"con .txt", L"NUL.tar.gz", L"AUX  ", L"COM10", L"LPT", L"CONIN$", L"CONOUT$", L"CLOCK$", L" CON", L"\uFF23ON",
    L"COM\u2074", L"a.", L"a ", L" a", L"a. ", L"a<b", L"a>b", L"a|b", L"a?b", L"a*b", L"a\"b", L"\x01", L"a\x1f",
    L"\x7f", L"tab\there", L"\xD800", L"\xDFFF", L"x\xDC00y", L"\xD83D\xDE00", L"\xFFFF", L"\xFEFF", L"\x00A0",
    L"\u0444\u0430\u0439\u043B", L"\u0424\u0410\u0419\u041B", L"stra\u00DFe", L"STRASSE", L"\u0130", L"i",
    L"PROGRA~1", L"a~b.c", L"app.dll", L"APP.DLL",
};

const wchar_t *pick_part(FuzzRandom &random) { return hostile_parts[random.below(sizeof hostile_parts / sizeof *hostile_parts)]; }

std::wstring ordinary_name(FuzzRandom &random)
{
    static const wchar_t *const names[] = {L"x", L"y.txt", L"lib\\z.dll", L"data\\a\\b.bin", L"readme.txt"};
    return names[random.below(5)];
}

std::string pattern(uint64_t length, FuzzRandom &random)
{
    std::string bytes(length, '\0');
    unsigned char step = static_cast<unsigned char>(random.next() | 1);
    for (uint64_t i = 0; i < length; i++)
        bytes[i] = static_cast<char>(static_cast<unsigned char>(i * step) ^ static_cast<unsigned char>(i >> 9));
    return bytes;
}

Record make_record(const std::wstring &name, FuzzRandom &random)
{
    Record record{name, 0, pattern(random.below(64), random)};
    record.size = record.content.size();
    return record;
}

bool parse_stream(const std::string &bytes, Stream &stream)
{
    size_t at = 0;
    for (;;) {
        std::wstring name;
        for (;;) {
            if (at + 2 > bytes.size())
                return false;
            wchar_t unit = static_cast<wchar_t>(static_cast<unsigned char>(bytes[at]) |
                                                static_cast<unsigned char>(bytes[at + 1]) << 8);
            at += 2;
            if (unit == 0)
                break;
            name += unit;
        }
        if (name.empty()) {
            stream.tail = bytes.substr(at);
            return true;
        }
        if (at + 8 > bytes.size())
            return false;
        uint64_t size = 0;
        for (int i = 7; i >= 0; i--)
            size = size << 8 | static_cast<unsigned char>(bytes[at + i]);
        at += 8;
        if (size > bytes.size() - at)
            return false;
        stream.records.push_back(Record{name, size, bytes.substr(at, size)});
        at += size;
    }
}

std::string serialize(const Stream &stream)
{
    std::string bytes;
    for (const Record &record : stream.records) {
        for (wchar_t unit : record.name) {
            bytes += static_cast<char>(unit & 0xFF);
            bytes += static_cast<char>(unit >> 8);
        }
        bytes.append(2, '\0');
        for (int i = 0; i < 8; i++)
            bytes += static_cast<char>(record.size >> (8 * i));
        bytes += record.content;
    }
    if (stream.end_marker)
        bytes.append(2, '\0');
    return bytes + stream.tail;
}

// Names near the limits, of letters that take one, two, three or (as a
// surrogate pair) four bytes in UTF-8, in parts of at most 80 units: Linux
// holds 255 bytes of a name part and Wine cuts longer ones short. Parts are
// rarely short: a name of 2000 units in parts of one is a thousand folders,
// seconds of work under Wine, and depth has a mutation of its own.
std::wstring long_name(FuzzRandom &random)
{
    static const size_t lengths[] = {254, 255, 256, 257, 700, 760, 800, 1000, 1022, 1023, 1024, 1025, 2000};
    static const wchar_t *const letters[] = {L"a", L"\u0436", L"\u65E5", L"\xD83D\xDE00"};
    size_t length = lengths[random.below(sizeof lengths / sizeof *lengths)];
    const wchar_t *letter = letters[random.below(4)];
    size_t piece = random.one_in(100) ? 1 + random.below(80) : 40 + random.below(41);
    std::wstring name;
    for (size_t run = 0; name.size() < length; run += wcslen(letter)) {
        if (run >= piece) {
            name += L'\\';
            run = 0;
        }
        name += letter;
    }
    name.resize(length);
    if (name.back() == L'\\' || (name.back() >= 0xD800 && name.back() <= 0xDBFF))
        name.back() = L'z';
    return name;
}

void mutate_stream(Stream &stream, FuzzRandom &random)
{
    std::vector<Record> &records = stream.records;
    if (records.empty())
        records.push_back(make_record(ordinary_name(random), random));
    Record &record = records[random.below(records.size())];
    switch (random.below(14)) {
    case 0: {  // a hostile name, alone or as a part of a path
        std::wstring name = pick_part(random);
        if (random.one_in(2))
            name = L"dir\\" + name;
        if (random.one_in(3))
            name += L"\\file.txt";
        record.name = name;
        break;
    }
    case 1: {  // a hostile component put between two others
        size_t at = random.below(record.name.size() + 1);
        record.name.insert(at, std::wstring(L"\\") + pick_part(random) + L"\\");
        break;
    }
    case 2: {  // a suffix that Windows drops or reads as a stream or separator
        static const wchar_t *const suffixes[] = {L".", L" ", L":x", L"::$DATA", L"/", L"\\", L". ", L"\\.."};
        record.name += suffixes[random.below(8)];
        break;
    }
    case 3: {  // the same name in other letters, later: refused, never replaced
        Record twin = make_record(record.name, random);
        for (wchar_t &unit : twin.name)
            unit = random.one_in(2) ? static_cast<wchar_t>(towupper(unit)) : static_cast<wchar_t>(towlower(unit));
        records.insert(records.begin() + static_cast<ptrdiff_t>(random.below(records.size() + 1)), twin);
        break;
    }
    case 4:  // the same name twice with other contents
        records.insert(records.begin() + static_cast<ptrdiff_t>(random.below(records.size() + 1)),
                       make_record(record.name, random));
        break;
    case 5:
        records.erase(records.begin() + static_cast<ptrdiff_t>(random.below(records.size())));
        break;
    case 6:
        std::swap(record, records[random.below(records.size())]);
        break;
    case 7:
        record.name = long_name(random);
        break;
    case 8: {  // a deep path; rarely one as deep as a name allows (slow under Wine)
        std::wstring name;
        size_t depth = random.one_in(4000) ? 200 + random.below(311) : 2 + random.below(60);
        for (size_t i = 0; i < depth; i++)
            name += random.one_in(8) ? L"dd\\" : L"d\\";
        record.name = name + L"f";
        break;
    }
    case 9: {  // contents at the chunk and window boundaries
        static const uint64_t sizes[] = {0, 1, 32767, 32768, 32769, 65535, 65536, 131071, 131072, 131073, 200000};
        record.content = pattern(sizes[random.below(11)], random);
        record.size = record.content.size();
        break;
    }
    case 10: {  // a size field that does not match what follows
        uint64_t length = record.content.size();
        const uint64_t sizes[] = {0, length + 1, length - (length > 0), ~0ull, 1ull << 32, 1ull << 63, 32768,
                                  length + 1000 + random.below(100000)};
        record.size = sizes[random.below(8)];
        break;
    }
    case 11: {  // a file where a directory must be, before or after it
        std::wstring base = random.one_in(2) ? record.name : std::wstring(L"x");
        Record file = make_record(base, random), inner = make_record(base + L"\\y", random);
        size_t at = random.below(records.size() + 1);
        records.insert(records.begin() + static_cast<ptrdiff_t>(at), random.one_in(2) ? file : inner);
        records.insert(records.begin() + static_cast<ptrdiff_t>(at) + 1 + random.below(records.size() - at),
                       random.one_in(2) ? file : inner);
        break;
    }
    case 12:  // no end marker, an earlier one, or bytes after it
        if (random.one_in(3))
            stream.end_marker = false;
        else if (random.one_in(2))
            records.resize(random.below(records.size() + 1));
        else
            stream.tail += pattern(1 + random.below(40), random);
        break;
    default: {  // one unit of a name replaced, a NUL or a separator included
        static const wchar_t specials[] = {0, L'\\', L'/', L':', L'.', L' ', 0xD800, 0xDC00, L'*', 0x00B9};
        if (record.name.empty())
            break;
        wchar_t unit = random.one_in(2) ? specials[random.below(10)] : static_cast<wchar_t>(random.below(0x10000));
        record.name[random.below(record.name.size())] = unit;
        break;
    }
    }
}

// Damage below the record structure: the decompressed bytes themselves.
void mutate_bytes(std::string &bytes, FuzzRandom &random)
{
    switch (random.below(4)) {
    case 0:
        for (uint64_t n = 1 + random.below(4); n > 0 && !bytes.empty(); n--)
            bytes[random.below(bytes.size())] = static_cast<char>(random.next());
        break;
    case 1:
        bytes.resize(random.below(bytes.size() + 1));
        break;
    case 2:
        bytes.insert(random.below(bytes.size() + 1), pattern(1 + random.below(16), random));
        break;
    default:  // a size-like run of ones
        if (bytes.size() >= 8)
            std::memset(&bytes[random.below(bytes.size() - 7)], 0xFF, 8);
        break;
    }
}

std::string compress(const std::string &bytes, FuzzRandom &random)
{
    static ZSTD_CCtx *context = ZSTD_createCCtx();
    static const int levels[] = {1, 1, 3, -5};
    ZSTD_CCtx_reset(context, ZSTD_reset_session_and_parameters);
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, levels[random.below(4)]);
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, random.one_in(2) ? 1 : 0);
    ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, random.one_in(4) ? 0 : 1);
    std::string frame(ZSTD_compressBound(bytes.size()), '\0');
    size_t length = ZSTD_compress2(context, frame.data(), frame.size(), bytes.data(), bytes.size());
    frame.resize(ZSTD_isError(length) ? 0 : length);
    return frame;
}

// Damage to the frame: bits, its end, its checksum, bytes after it, and the
// window size it asks for (single-segment frames have no window byte).
void mutate_frame(std::string &frame, FuzzRandom &random)
{
    if (frame.empty())
        return;
    switch (random.below(6)) {
    case 0:
        for (uint64_t n = 1 + random.below(4); n > 0; n--)
            frame[random.below(frame.size())] ^= static_cast<char>(1u << random.below(8));
        break;
    case 1:
        frame.resize(random.below(frame.size()));
        break;
    case 2:
        frame.resize(frame.size() >= 4 ? frame.size() - 4 : 0);
        break;
    case 3:
        frame += pattern(1 + random.below(32), random);
        break;
    case 4:
        frame[random.below(frame.size())] = static_cast<char>(random.next());
        break;
    default: {
        static const unsigned char windows[] = {136, 137, 144, 255, 0};  // 2^27, just above, 2^28, the most, 1 KiB
        if (frame.size() > 5 && (frame[4] & 0x20) == 0)
            frame[5] = static_cast<char>(windows[random.below(5)]);
        break;
    }
    }
}

}  // namespace

bool uses_deep_unpack_directory(uint64_t seed, uint64_t index)
{
    FuzzRandom random{seed * 0x2545F4914F6CDD1Dull ^ index ^ 0xD1B54A32D192ED03ull};
    return random.one_in(8);
}

std::string make_fuzz_input(const std::vector<std::string> &seeds, uint64_t seed, uint64_t index)
{
    FuzzRandom random{seed * 0x9E3779B97F4A7C15ull ^ index * 0xC2B2AE3D27D4EB4Full};
    Stream stream;
    parse_stream(seeds[random.below(seeds.size())], stream);
    for (uint64_t n = random.below(4); n > 0; n--)
        mutate_stream(stream, random);
    std::string bytes = serialize(stream);
    if (random.one_in(8))
        mutate_bytes(bytes, random);

    std::string frame;
    if (random.one_in(16)) {  // two frames: the decoder goes on into the second
        size_t cut = random.below(bytes.size() + 1);
        frame = compress(bytes.substr(0, cut), random) + compress(bytes.substr(cut), random);
    } else {
        frame = compress(bytes, random);
    }
    if (random.one_in(6))
        mutate_frame(frame, random);

    // As the packer wraps it: header, frame, zero fill to a multiple of 8, trailer.
    std::string attached = "QVY" + frame;
    attached.append((8 - attached.size() % 8) % 8, '\0');
    uint64_t trailer = attached.size();
    for (int i = 0; i < 8; i++)
        attached += static_cast<char>(trailer >> (8 * i));
    if (random.one_in(50)) {
        if (random.one_in(2))
            attached[random.below(3)] = static_cast<char>(random.next());
        else
            attached.resize(random.below(3));
    }
    return attached;
}
