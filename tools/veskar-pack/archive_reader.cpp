#include "archive_reader.h"
#include "archive_writer.h"
#include "build_note_keys.h"
#include "launcher_writer.h"
#include "record_names.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader: the frame's window and checksum flag
#include <zstd.h>

#include <cstring>
#include <memory>
#include <vector>

// The 16 hex digits of a location line of the notes; nothing when absent or malformed.
static std::optional<uint64_t> location_note(const std::string &notes, const char *key)
{
    const std::string prefix = "\n" + std::string(key) + "=";
    const size_t at = ("\n" + notes).find(prefix);
    if (at == std::string::npos || at + prefix.size() - 1 + note_location_digits > notes.size())
        return std::nullopt;
    uint64_t value = 0;
    for (size_t i = at + prefix.size() - 1; i < at + prefix.size() - 1 + note_location_digits; i++) {
        const char c = notes[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return std::nullopt;
        value = value << 4 | static_cast<uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    }
    return value;
}

ByteSpan attached_data_of(const PeImage &image)
{
    // A launcher made before the attached data moved after the image holds
    // it as its last section.
    if (std::optional<ByteSpan> data = section_contents(image, attached_data_section))
        return *data;
    const PackError none{"'" + image.path.u8string() + "' is not a launcher built by veskar-pack: its build " +
                         "notes name no attached data"};
    std::optional<ByteSpan> notes = section_contents(image, build_notes_section);
    if (!notes)
        throw none;
    const std::string text(reinterpret_cast<const char *>(notes->data), notes->size);
    const std::optional<uint64_t> offset = location_note(text, note_archive_offset);
    const std::optional<uint64_t> length = location_note(text, note_archive_length);
    if (!offset || !length)
        throw none;
    if (*offset > image.bytes.size() || *length > image.bytes.size() - *offset)
        throw PackError{"'" + image.path.u8string() + "': its build notes place the attached data at " +
                        std::to_string(*offset) + " bytes, " + std::to_string(*length) + " long, past the file's end"};
    return ByteSpan{image.bytes.data() + *offset, static_cast<size_t>(*length)};
}

namespace {

// The decompressed record stream, delivered in order, with the offset of
// the next byte kept for messages.
struct StreamReader {
    ZSTD_DCtx *context;
    ZSTD_inBuffer in;
    std::vector<uint8_t> window = std::vector<uint8_t>(ZSTD_DStreamOutSize());
    size_t window_size = 0;
    size_t window_position = 0;
    bool frame_done = false;
    uint64_t offset = 0;

    // Fills the window; false once the frame has nothing more.
    bool refill()
    {
        while (!frame_done) {
            ZSTD_outBuffer out{window.data(), window.size(), 0};
            size_t result = ZSTD_decompressStream(context, &out, &in);
            if (ZSTD_isError(result))
                throw PackError{"the zstd frame cannot be decoded at record stream offset " + std::to_string(offset) +
                                ": " + ZSTD_getErrorName(result)};
            frame_done = result == 0;
            if (!frame_done && out.pos == 0 && in.pos == in.size)
                throw PackError{"the zstd frame is cut short: it ends at record stream offset " +
                                std::to_string(offset) + " with its content incomplete"};
            window_size = out.pos;
            window_position = 0;
            if (out.pos > 0)
                return true;
        }
        return false;
    }

    // Up to `count` bytes; fewer only at the end of the stream.
    size_t read(uint8_t *destination, size_t count)
    {
        size_t done = 0;
        while (done < count) {
            if (window_position == window_size && !refill())
                break;
            size_t k = std::min(count - done, window_size - window_position);
            std::memcpy(destination + done, window.data() + window_position, k);
            window_position += k;
            done += k;
        }
        offset += done;
        return done;
    }
};

uint64_t little_u64(const uint8_t *p)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--)
        v = v << 8 | p[i];
    return v;
}

std::string record_label(size_t index, uint64_t offset)
{
    return "record " + std::to_string(index) + " (at record stream offset " + std::to_string(offset) + ")";
}

} // namespace

AttachedDataSummary read_attached_data(ByteSpan data, const RecordVisitor &visitor)
{
    AttachedDataSummary summary;
    if (data.size < 3 || data.data[0] != 'Q' || data.data[1] != 'V')
        throw PackError{"the attached data does not start with the \"QV\" header"};
    if (data.data[2] != 'Y')
        throw PackError{"the attached data's compression marker is not \"Y\" (zstd)"};

    const uint8_t *frame = data.data + 3;
    size_t frame_size = ZSTD_findFrameCompressedSize(frame, data.size - 3);
    if (ZSTD_isError(frame_size))
        throw PackError{std::string("the zstd frame after the header is damaged or cut short: ") +
                        ZSTD_getErrorName(frame_size)};
    summary.frame_size = frame_size;
    ZSTD_frameHeader header;
    if (ZSTD_getFrameHeader(&header, frame, frame_size) != 0 || header.frameType != ZSTD_frame)
        throw PackError{"the zstd frame header is damaged"};
    summary.window_size = header.windowSize;
    if (!header.checksumFlag)
        throw PackError{"the zstd frame carries no content checksum, so its content cannot be verified"};

    // The fill to a multiple of 8 and the trailer holding that offset. The
    // linker rounds the section up to its 16-byte alignment with zeros.
    uint64_t fill_start = 3 + frame_size;
    uint64_t trailer_at = (fill_start + 7) / 8 * 8;
    if (data.size < trailer_at + 8)
        throw PackError{"the trailer at attached data offset " + std::to_string(trailer_at) +
                        " is missing: the attached data ends at " + std::to_string(data.size)};
    for (uint64_t i = trailer_at + 8; i < data.size; i++) {
        if (data.data[i] != 0 || data.size - (trailer_at + 8) >= 16)
            throw PackError{"the attached data goes on after its trailer at offset " + std::to_string(trailer_at) +
                            ": " + std::to_string(data.size - trailer_at - 8) + " more bytes"};
    }
    summary.attached_length = trailer_at + 8;
    for (uint64_t i = fill_start; i < trailer_at; i++) {
        if (data.data[i] != 0)
            throw PackError{"the fill after the frame at attached data offset " + std::to_string(i) + " is not zero"};
    }
    if (little_u64(data.data + trailer_at) != trailer_at)
        throw PackError{"the trailer at attached data offset " + std::to_string(trailer_at) + " holds " +
                        std::to_string(little_u64(data.data + trailer_at)) + " instead of its own offset"};

    std::unique_ptr<ZSTD_DCtx, size_t (*)(ZSTD_DCtx *)> context(ZSTD_createDCtx(), ZSTD_freeDCtx);
    if (!context)
        throw PackError{"out of memory"};
    // The launcher's decoder refuses windows beyond 2^27 bytes; so does this one.
    ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, 27);
    StreamReader reader{context.get(), ZSTD_inBuffer{frame, frame_size, 0}};
    const size_t chunk_size = 1 << 16;
    std::unique_ptr<uint8_t[]> chunk(new uint8_t[chunk_size]);  // written before it is read: not cleared
    WindowsNameSet names;
    std::vector<std::u16string> earlier_names;  // for messages about names Windows would unpack onto one another
    for (size_t index = 0;; index++) {
        const uint64_t start = reader.offset;
        std::u16string name;
        for (;;) {
            uint8_t unit[2];
            size_t got = reader.read(unit, 2);
            if (got < 2) {
                if (got == 0 && name.empty())
                    throw PackError{"the record stream ends at offset " + std::to_string(reader.offset) +
                                    " without its end marker (an empty name) after " + std::to_string(index) +
                                    " records"};
                throw PackError{record_label(index, start) + ": the stream ends inside its name"};
            }
            char16_t u = static_cast<char16_t>(unit[0] | unit[1] << 8);
            if (u == 0)
                break;
            name.push_back(u);
            if (name.size() > max_record_name_units)
                throw PackError{record_label(index, start) + ": the name has more than " +
                                std::to_string(max_record_name_units) + " UTF-16 units"};
        }
        if (name.empty()) {
            uint8_t extra;
            if (reader.read(&extra, 1) != 0)
                throw PackError{"the record stream goes on after its end marker at offset " +
                                std::to_string(start) + ": nothing may follow it"};
            summary.stream_size = reader.offset;
            summary.records = index;
            break;
        }
        std::string problem = record_name_problem(name);
        if (!problem.empty())
            throw PackError{record_label(index, start) + " named '" + printable_name(name) + "' is unsafe: " + problem};
        if (std::optional<WindowsNameSet::Clash> clash = names.add(name, index))
            throw PackError{record_label(index, start) + " named '" + printable_name(name) + "' is unsafe: " +
                            (clash->same_file ? "Windows, which ignores letter case, would unpack it onto record "
                                              : "Windows, which ignores letter case, cannot unpack it beside the "
                                                "file or folder of record ") +
                            std::to_string(clash->earlier) + " '" + printable_name(earlier_names[clash->earlier]) +
                            "'"};
        earlier_names.push_back(name);
        uint8_t size_field[8];
        if (reader.read(size_field, 8) != 8)
            throw PackError{record_label(index, start) + " '" + printable_name(name) +
                            "': the stream ends inside its size"};
        RecordInfo info{index, name, little_u64(size_field), start};
        if (visitor.begin)
            visitor.begin(info);
        for (uint64_t left = info.size; left > 0;) {
            size_t want = left < chunk_size ? static_cast<size_t>(left) : chunk_size;
            size_t got = reader.read(chunk.get(), want);
            if (visitor.content && got > 0)
                visitor.content(chunk.get(), got);
            if (got < want)
                throw PackError{record_label(index, start) + " '" + printable_name(name) + "': the stream ends after " +
                                std::to_string(info.size - left + got) + " of its " + std::to_string(info.size) +
                                " bytes"};
            left -= got;
        }
        if (visitor.end)
            visitor.end();
        summary.content_bytes += info.size;
    }
    // Reading past the end marker ran the decoder to the frame's end, where
    // zstd checks the content checksum.
    return summary;
}
