// veskar-craft: writes an attached-data file from NAME=FILE records, and can
// break it on purpose in one of the ways a launcher must survive: a wrong
// header, a corrupt or truncated frame, a record stream cut short. Names are
// taken as given (UTF-8, "\" as separator) and are not checked, so unsafe
// and over-long names can be written too.
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_frameHeaderSize: where the first block starts
#include <zstd.h>

#include <CLI/CLI.hpp>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

static void append_unit(Bytes &out, uint32_t unit)
{
    out.push_back(static_cast<unsigned char>(unit & 0xFF));
    out.push_back(static_cast<unsigned char>(unit >> 8));
}

static void append_u64(Bytes &out, uint64_t value)
{
    for (int i = 0; i < 8; i++)
        out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

// UTF-8 to UTF-16LE units, surrogate pairs included.
static void append_name(Bytes &out, const std::string &name)
{
    for (size_t i = 0; i < name.size();) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
        if (extra < 0 || i + static_cast<size_t>(extra) >= name.size())
            throw std::runtime_error("name is not UTF-8: " + name);
        uint32_t point = extra == 0 ? c : c & (0x3F >> extra);
        for (int k = 1; k <= extra; k++)
            point = point << 6 | (static_cast<unsigned char>(name[i + static_cast<size_t>(k)]) & 0x3F);
        i += static_cast<size_t>(extra) + 1;
        if (point >= 0x10000) {
            point -= 0x10000;
            append_unit(out, 0xD800 + (point >> 10));
            append_unit(out, 0xDC00 + (point & 0x3FF));
        } else {
            append_unit(out, point);
        }
    }
    append_unit(out, 0);
}

static Bytes read_whole_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

static Bytes record_stream(const std::vector<std::string> &records)
{
    Bytes stream;
    for (const std::string &record : records) {
        size_t equals = record.find('=');
        if (equals == std::string::npos)
            throw std::runtime_error("record is not NAME=FILE: " + record);
        Bytes content = read_whole_file(record.substr(equals + 1));
        append_name(stream, record.substr(0, equals));
        append_u64(stream, content.size());
        stream.insert(stream.end(), content.begin(), content.end());
    }
    append_unit(stream, 0);  // the end marker
    return stream;
}

static Bytes compress_frame(const Bytes &stream)
{
    ZSTD_CCtx *context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 3);
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
    Bytes frame(ZSTD_compressBound(stream.size()));
    size_t size = ZSTD_compress2(context, frame.data(), frame.size(), stream.data(), stream.size());
    ZSTD_freeCCtx(context);
    if (ZSTD_isError(size))
        throw std::runtime_error(std::string("compression failed: ") + ZSTD_getErrorName(size));
    frame.resize(size);
    return frame;
}

int main(int argc, char **argv)
{
    CLI::App app{"veskar-craft: write an attached-data file, optionally broken on purpose"};
    std::string output, header = "QVY";
    std::vector<std::string> records;
    bool corrupt_block = false, truncate_frame = false;
    size_t drop_tail = 0;
    app.add_option("-o,--output", output, "Attached-data file to write")->required();
    app.add_option("--header", header, "The three header bytes (default QVY)")
        ->check([](const std::string &text) { return text.size() == 3 ? "" : "must be 3 bytes"; });
    app.add_flag("--corrupt-block", corrupt_block, "Give the frame's first block the reserved block type");
    app.add_flag("--truncate-frame", truncate_frame,
                 "Keep only the first half of the frame and end the file there (no fill, no trailer)");
    app.add_option("--drop-tail", drop_tail,
                   "Drop this many bytes from the end of the record stream before compressing it "
                   "(2 removes just the end marker)");
    app.add_option("records", records, "NAME=FILE, in archive order; none gives the end marker alone");
    CLI11_PARSE(app, argc, argv);

    try {
        Bytes stream = record_stream(records);
        if (drop_tail > stream.size())
            throw std::runtime_error("--drop-tail is longer than the record stream");
        stream.resize(stream.size() - drop_tail);
        Bytes frame = compress_frame(stream);
        if (corrupt_block) {
            // Block header: bit 0 last block, bits 1-2 type; type 3 is reserved
            // and no decoder accepts it.
            size_t header_size = ZSTD_frameHeaderSize(frame.data(), frame.size());
            if (ZSTD_isError(header_size) || header_size >= frame.size())
                throw std::runtime_error("cannot find the first block");
            frame[header_size] |= 0x06;
        }

        Bytes data(header.begin(), header.end());
        if (truncate_frame) {
            data.insert(data.end(), frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(frame.size() / 2));
        } else {
            data.insert(data.end(), frame.begin(), frame.end());
            while (data.size() % 8 != 0)
                data.push_back(0);
            append_u64(data, data.size());  // the trailer: the offset it starts at
        }
        std::ofstream out(output, std::ios::binary);
        out.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
        if (!out)
            throw std::runtime_error("cannot write " + output);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "veskar-craft: %s\n", error.what());
        return 1;
    }
    return 0;
}
