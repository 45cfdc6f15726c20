#include "archive_reader.h"
#include "archive_identity.h"
#include "record_names.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader: the frame's window and checksum flag
#include <zstd.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

// The attached data as it is read from its file: in blocks, each hashed
// into the archive identity as it arrives.
struct AttachedInput {
    AttachedInput(std::istream &from, uint64_t size) : in(from), length(size) {}

    std::istream &in;
    uint64_t length;
    uint64_t taken = 0;  // bytes read from the file so far
    ArchiveIdentity identity;
    std::vector<uint8_t> block = std::vector<uint8_t>(1 << 20);
    size_t block_size = 0;

    // The next block, empty at the end of the attached data; it begins with
    // the last `keep` bytes of the one before.
    ByteSpan next(size_t keep = 0)
    {
        std::memmove(block.data(), block.data() + block_size - keep, keep);
        const size_t want = static_cast<size_t>(std::min<uint64_t>(block.size() - keep, length - taken));
        if (want > 0 && !in.read(reinterpret_cast<char *>(block.data() + keep), static_cast<std::streamsize>(want)))
            throw PackError{"cannot read the attached data at its offset " + std::to_string(taken) +
                            ": the file ends or changed while it was read"};
        taken += want;
        identity.add(block.data() + keep, want);
        block_size = keep + want;
        return ByteSpan{block.data(), block_size};
    }
};

// The decompressed record stream, delivered in order, with the offset of
// the next byte kept for messages.
struct StreamReader {
    ZSTD_DCtx *context;
    AttachedInput &input;
    ZSTD_inBuffer in;
    uint64_t frame_start;  // attached data offset of the frame
    std::vector<uint8_t> window = std::vector<uint8_t>(ZSTD_DStreamOutSize());
    size_t window_size = 0;
    size_t window_position = 0;
    bool frame_done = false;
    uint64_t frame_size = 0;  // all frames together
    uint64_t offset = 0;
    uint64_t decoded = 0;     // record stream bytes the frames have given
    std::vector<FrameStart> frames = {};  // the record field holds the frame's first decoded offset

    // Whether another frame begins where one ended: zstd's magic number.
    bool frame_follows()
    {
        if (in.size - in.pos < 4 && input.taken < input.length) {
            const ByteSpan block = input.next(in.size - in.pos);
            in = ZSTD_inBuffer{block.data, block.size, 0};
        }
        const uint8_t *at = static_cast<const uint8_t *>(in.src) + in.pos;
        return in.size - in.pos >= 4 && get_le32(ByteSpan{at, 4}, 0) == ZSTD_MAGICNUMBER;
    }

    // Fills the window; false once the last frame has nothing more.
    bool refill()
    {
        while (!frame_done) {
            if (in.pos == in.size) {
                const ByteSpan block = input.next();
                if (block.size == 0)
                    throw PackError{"the zstd frame is cut short: it ends at record stream offset " +
                                    std::to_string(offset) + " with its content incomplete"};
                in = ZSTD_inBuffer{block.data, block.size, 0};
            }
            ZSTD_outBuffer out{window.data(), window.size(), 0};
            const size_t result = ZSTD_decompressStream(context, &out, &in);
            if (ZSTD_isError(result))
                throw PackError{"the zstd frame cannot be decoded at record stream offset " + std::to_string(offset) +
                                ": " + ZSTD_getErrorName(result)};
            decoded += out.pos;
            if (result == 0) {
                frame_size = input.taken - (in.size - in.pos) - frame_start;
                frame_done = !frame_follows();
                if (!frame_done)
                    frames.push_back(FrameStart{decoded, frame_start + frame_size});
            }
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

std::string record_label(size_t index, uint64_t offset)
{
    return "record " + std::to_string(index) + " (at record stream offset " + std::to_string(offset) + ")";
}

std::string clash_text(const WindowsNameSet::Clash &clash)
{
    const std::string earlier = std::to_string(clash.earlier) + " '" + printable_name(clash.earlier_name) + "'";
    switch (clash.kind) {
    case WindowsNameSet::ClashKind::same_file:
        return "Windows, which ignores letter case, would unpack it onto record " + earlier;
    case WindowsNameSet::ClashKind::file_and_folder:
        return "Windows, which ignores letter case, cannot unpack it beside the file or folder of record " + earlier;
    case WindowsNameSet::ClashKind::short_name:
        break;
    }
    return "where Windows makes short (8.3) names, one of it and record " + earlier +
           " has the form of the short name the other can get, so one could be unpacked onto the other";
}

// The bytes after the frame: zero fill to a multiple of 8 and the trailer
// holding that offset. A section rounded up to its alignment adds fewer
// than 16 zeros after it.
void check_tail(uint64_t fill_start, const std::vector<uint8_t> &tail)
{
    const uint64_t trailer_at = (fill_start + 7) / 8 * 8, length = fill_start + tail.size();
    if (length < trailer_at + 8)
        throw PackError{"the trailer at attached data offset " + std::to_string(trailer_at) +
                        " is missing: the attached data ends at " + std::to_string(length)};
    const size_t trailer = static_cast<size_t>(trailer_at - fill_start);
    for (size_t i = trailer + 8; i < tail.size(); i++) {
        if (tail[i] != 0 || tail.size() - (trailer + 8) >= 16)
            throw PackError{"the attached data goes on after its trailer at offset " + std::to_string(trailer_at) +
                            ": " + std::to_string(length - trailer_at - 8) + " more bytes"};
    }
    for (size_t i = 0; i < trailer; i++) {
        if (tail[i] != 0)
            throw PackError{"the fill after the frame at attached data offset " + std::to_string(fill_start + i) +
                            " is not zero"};
    }
    const uint64_t stored = get_le64(ByteSpan{tail.data() + trailer, 8}, 0);
    if (stored != trailer_at)
        throw PackError{"the trailer at attached data offset " + std::to_string(trailer_at) + " holds " +
                        std::to_string(stored) + " instead of its own offset"};
}

} // namespace

AttachedDataSummary read_attached_data(std::istream &file, uint64_t length, const RecordVisitor &visitor)
{
    AttachedDataSummary summary;
    AttachedInput input(file, length);
    ByteSpan first = input.next();
    if (first.size < 3 || first.data[0] != 'Q' || first.data[1] != 'V')
        throw PackError{"the attached data does not start with the \"QV\" header"};
    if (first.data[2] != 'Y')
        throw PackError{"the attached data's compression marker is not \"Y\" (zstd)"};

    ZSTD_frameHeader header;
    const size_t header_result = ZSTD_getFrameHeader(&header, first.data + 3, first.size - 3);
    if (ZSTD_isError(header_result) || header_result > 0 || header.frameType != ZSTD_frame)
        throw PackError{std::string("the zstd frame after the header is damaged or cut short: its header is ") +
                        (header_result > 0 ? "incomplete" : "not a zstd frame header")};
    summary.window_size = header.windowSize;
    if (!header.checksumFlag)
        throw PackError{"the zstd frame carries no content checksum, so its content cannot be verified"};

    std::unique_ptr<ZSTD_DCtx, size_t (*)(ZSTD_DCtx *)> context(ZSTD_createDCtx(), ZSTD_freeDCtx);
    if (!context)
        throw PackError{"out of memory"};
    // The launcher's decoder refuses windows beyond 2^27 bytes; so does this one.
    ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, 27);
    StreamReader reader{context.get(), input, ZSTD_inBuffer{first.data + 3, first.size - 3, 0}, 3};
    input.block_size = first.size;
    reader.frames.push_back(FrameStart{0, 3});
    const size_t chunk_size = 1 << 16;
    std::unique_ptr<uint8_t[]> chunk(new uint8_t[chunk_size]);  // written before it is read: not cleared
    WindowsNameSet names;
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
            // Reading past the end marker runs the decoder to the frame's
            // end, where zstd checks the content checksum.
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
                            clash_text(*clash)};
        if (names.held_bytes() > name_memory_limit)
            throw PackError{record_label(index, start) + ": the names up to here take more than " +
                            std::to_string(name_memory_limit >> 20) + " MiB to check against one another, more "
                            "than veskar-pack gives them: the archive is not one it would make"};
        uint8_t size_field[8];
        if (reader.read(size_field, 8) != 8)
            throw PackError{record_label(index, start) + " '" + printable_name(name) +
                            "': the stream ends inside its size"};
        RecordInfo info{index, name, get_le64(ByteSpan{size_field, 8}, 0), start};
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
    summary.frame_size = reader.frame_size;
    summary.frames = reader.frames;
    // What follows the frame is a few bytes; more is damage, read no further than shows it.
    const uint64_t fill_start = 3 + reader.frame_size;
    const uint8_t *rest = static_cast<const uint8_t *>(reader.in.src);
    std::vector<uint8_t> tail(rest + reader.in.pos, rest + reader.in.size);
    enum : size_t { longest_tail = 7 + 8 + 15 };
    while (tail.size() <= longest_tail) {
        const ByteSpan block = input.next();
        if (block.size == 0)
            break;
        tail.insert(tail.end(), block.data, block.data + std::min<size_t>(block.size, longest_tail + 1));
    }
    if (tail.size() > longest_tail) {
        const uint64_t trailer_at = (fill_start + 7) / 8 * 8;
        throw PackError{"the attached data goes on after its trailer at offset " + std::to_string(trailer_at) + ": " +
                        std::to_string(length - trailer_at - 8) + " more bytes"};
    }
    check_tail(fill_start, tail);
    summary.attached_length = length;
    summary.identity = input.identity.hex();
    return summary;
}
