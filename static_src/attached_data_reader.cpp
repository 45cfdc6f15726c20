// The reader of the record stream: the attached data's zstd frame,
// decompressed in place from the executable's read-only data through one
// fixed window, so memory use does not grow with the archive.
#include "launcher.h"
#include "error_reporting.h"

#include <stdlib.h>
#include <string.h>

void open_attached_data()
{
    LauncherState &s = launcher_state;
    const unsigned char *header = s.attached_data;
    s.attached_data += 3;
    if (s.attached_data_length < 3 || header[0] != 'Q' || header[1] != 'V' || header[2] != 'Y')
        report_error(MESSAGE_HEADER_NOT_FOUND);
    s.output_window = static_cast<unsigned char *>(malloc(output_window_size));
    if (s.output_window == nullptr)
        report_error(MESSAGE_ALLOCATION_FAILED);
    s.decompression_context = ZSTD_createDCtx();
    if (s.decompression_context == nullptr)
        report_error(MESSAGE_ALLOCATION_FAILED);
    s.input = ZSTD_inBuffer{s.attached_data, static_cast<size_t>(s.attached_data_length - 3), 0};
    s.output = ZSTD_outBuffer{s.output_window, 0, 0};
    s.window_filled = false;
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
        if (s.input.pos < s.input.size || s.window_filled) {
            s.output.size = output_window_size;
            s.output.pos = 0;
            size_t result = ZSTD_decompressStream(s.decompression_context, &s.output, &s.input);
            if (ZSTD_isError(result))
                report_error(MESSAGE_DECODING_FAILED);
            s.window_filled = s.output.pos == s.output.size;
            s.output.size = s.output.pos;
            s.output.pos = 0;
            continue;
        }
        // The input is used up and the decoder holds nothing more, yet bytes
        // are still wanted: the stream was cut short. A frame that ended
        // early is caught above, when its zero fill fails to decode.
        report_error(MESSAGE_DECODING_FAILED);
    }
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
}
