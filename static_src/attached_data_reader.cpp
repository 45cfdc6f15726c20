// The reader of the record stream: the attached data's zstd frame, read
// from the launcher's own file in bounded blocks and decompressed through
// one fixed window, so memory use does not grow with the archive.
#include "launcher.h"
#include "error_reporting.h"

#include <stdlib.h>
#include <string.h>

// Reads `count` bytes at file offset `offset`; false unless all of them came.
static bool read_archive_bytes(uint64_t offset, unsigned char *target, DWORD count)
{
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    return ReadFile(launcher_state.archive_file, target, count, &read, &at) && read == count;
}

// The next block of the frame, up to the archive's end; an empty input at
// the end.
static void read_next_block()
{
    LauncherState &s = launcher_state;
    uint64_t left = s.archive_offset + s.archive_length - s.archive_read_position;
    DWORD count = static_cast<DWORD>(left < input_block_size ? left : input_block_size);
    // A file cut short since the start no longer holds the frame.
    if (count > 0 && !read_archive_bytes(s.archive_read_position, s.input_block, count))
        report_error(MESSAGE_DECODING_FAILED);
    s.archive_read_position += count;
    s.input = ZSTD_inBuffer{s.input_block, count, 0};
}

void open_attached_data()
{
    LauncherState &s = launcher_state;
    // The launcher's own file, shared so that a scanner or another start
    // can read it, and so that it can still be renamed or deleted.
    SystemPath buffer;
    s.archive_file = CreateFileW(system_path(buffer, get_launcher_path(false)), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (s.archive_file == INVALID_HANDLE_VALUE)
        report_os_error(MESSAGE_HEADER_NOT_FOUND, GetLastError());
    // Only the range the notes name is the archive, and only while it lies
    // inside the file: nothing else is ever read as the archive.
    LARGE_INTEGER file_size = {};
    unsigned char header[3] = {};
    if (!GetFileSizeEx(s.archive_file, &file_size) || s.archive_length < 3 ||
        s.archive_offset > static_cast<uint64_t>(file_size.QuadPart) ||
        s.archive_length > static_cast<uint64_t>(file_size.QuadPart) - s.archive_offset ||
        !read_archive_bytes(s.archive_offset, header, 3) || header[0] != 'Q' || header[1] != 'V' || header[2] != 'Y')
        report_error(MESSAGE_HEADER_NOT_FOUND);
    s.archive_read_position = s.archive_offset + 3;
    s.output_window = static_cast<unsigned char *>(malloc(output_window_size));
    s.input_block = static_cast<unsigned char *>(malloc(input_block_size));
    if (s.output_window == nullptr || s.input_block == nullptr)
        report_error(MESSAGE_ALLOCATION_FAILED);
    s.decompression_context = ZSTD_createDCtx();
    if (s.decompression_context == nullptr)
        report_error(MESSAGE_ALLOCATION_FAILED);
    s.input = ZSTD_inBuffer{s.input_block, 0, 0};
    s.output = ZSTD_outBuffer{s.output_window, 0, 0};
    s.window_filled = false;
    s.frame_ended = true;
}

// One decompress step into the empty window.
static void decompress_step()
{
    LauncherState &s = launcher_state;
    s.output.size = output_window_size;
    s.output.pos = 0;
    size_t result = ZSTD_decompressStream(s.decompression_context, &s.output, &s.input);
    if (ZSTD_isError(result))
        report_error(MESSAGE_DECODING_FAILED);
    s.frame_ended = result == 0;
    s.window_filled = s.output.pos == s.output.size;
    s.output.size = s.output.pos;
    s.output.pos = 0;
}

void read_exactly(void *destination, uint64_t count)
{
    LauncherState &s = launcher_state;
    unsigned char *target = static_cast<unsigned char *>(destination);
    uint64_t remaining = count;
    for (;;) {
        size_t available = s.output.size - s.output.pos;
        if (available > 0) {
            size_t taken = remaining < available ? static_cast<size_t>(remaining) : available;
            memcpy(target, static_cast<unsigned char *>(s.output.dst) + s.output.pos, taken);
            s.output.pos += taken;
            target += taken;
            remaining -= taken;
            if (remaining == 0)
                return;
            continue;
        }
        if (s.input.pos == s.input.size)
            read_next_block();
        if (s.input.pos < s.input.size || s.window_filled) {
            decompress_step();
            continue;
        }
        // The input is used up and the decoder holds nothing more, yet bytes
        // are still wanted: the stream was cut short. A frame that ended
        // early is caught above, when its zero fill fails to decode.
        report_error(MESSAGE_DECODING_FAILED);
    }
}

bool reader_at_frame(uint64_t offset)
{
    LauncherState &s = launcher_state;
    // What is left of the frame in hand is its end, which checks its
    // content: any byte it still decodes stays in the window to be read.
    while (s.output.pos == s.output.size && !s.frame_ended) {
        if (s.input.pos == s.input.size)
            read_next_block();
        if (s.input.size == 0)
            return false;
        decompress_step();
    }
    uint64_t consumed = s.archive_read_position - (s.input.size - s.input.pos);
    return s.output.pos == s.output.size && consumed == s.archive_offset + offset;
}

void skip_to_frame(uint64_t offset)
{
    LauncherState &s = launcher_state;
    if (offset < 3 || offset >= s.archive_length)
        report_error(MESSAGE_DECODING_FAILED);
    ZSTD_DCtx_reset(s.decompression_context, ZSTD_reset_session_only);
    s.archive_read_position = s.archive_offset + offset;
    s.input = ZSTD_inBuffer{s.input_block, 0, 0};
    s.output = ZSTD_outBuffer{s.output_window, 0, 0};
    s.window_filled = false;
    s.frame_ended = true;
}

void read_record_name()
{
    LauncherState &s = launcher_state;
    for (size_t i = 0;; i++) {
        // A name that would not fit leaves the format, like a corrupt frame.
        if (i == record_name_capacity)
            report_error(MESSAGE_DECODING_FAILED);
        uint16_t unit;
        read_exactly(&unit, 2);
        s.current_record_name[i] = static_cast<wchar_t>(unit);
        if (unit == 0)
            return;
    }
}

uint64_t read_record_size()
{
    unsigned char bytes[8];
    read_exactly(bytes, 8);
    uint64_t size = 0;
    for (int i = 7; i >= 0; i--)
        size = size << 8 | bytes[i];
    return size;
}

void close_attached_data()
{
    LauncherState &s = launcher_state;
    ZSTD_freeDCtx(s.decompression_context);
    s.decompression_context = nullptr;
    free(s.output_window);
    s.output_window = nullptr;
    free(s.input_block);
    s.input_block = nullptr;
    CloseHandle(s.archive_file);
    s.archive_file = nullptr;
}
