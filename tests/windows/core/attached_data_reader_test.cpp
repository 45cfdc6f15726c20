// The record stream reader, fed with frames built here on purpose so that
// each awkward moment of the decompressor really happens: a read across the
// window's end, a step that fills the window exactly with no input left, a
// step that produces nothing, a frame that ends too early, a window too large.
#include "core_test_helpers.h"
#include "error_reporting.h"
#include "launcher.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// Bytes that compress, but not to nothing.
Bytes sample_content(size_t size, uint32_t seed = 7)
{
    Bytes bytes(size);
    uint32_t x = seed;
    for (size_t i = 0; i < size; i++) {
        x = x * 1103515245u + 12345u;
        bytes[i] = static_cast<unsigned char>((x >> 24) % 16 + 'a');
    }
    return bytes;
}

// One zstd frame, fed in pieces, each ended the way the caller chooses.
struct FrameWriter {
    ZSTD_CCtx *context = ZSTD_createCCtx();
    Bytes frame;

    explicit FrameWriter(bool checksum = true)
    {
        ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 3);
        ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, checksum ? 1 : 0);
    }
    ~FrameWriter() { ZSTD_freeCCtx(context); }

    void add(const Bytes &data, ZSTD_EndDirective mode)
    {
        ZSTD_inBuffer in{data.data(), data.size(), 0};
        Bytes buffer(ZSTD_CStreamOutSize());
        for (;;) {
            ZSTD_outBuffer out{buffer.data(), buffer.size(), 0};
            size_t left = ZSTD_compressStream2(context, &out, &in, mode);
            ASSERT_FALSE(ZSTD_isError(left)) << ZSTD_getErrorName(left);
            frame.insert(frame.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(out.pos));
            if (in.pos == in.size && left == 0)
                return;
        }
    }
};

// Header, frame and, unless left out, the zero fill and trailer.
Bytes attached_data(const Bytes &frame, bool fill_and_trailer = true)
{
    Bytes data(3 + frame.size());
    data[0] = 'Q';
    data[1] = 'V';
    data[2] = 'Y';
    std::copy(frame.begin(), frame.end(), data.begin() + 3);
    if (fill_and_trailer) {
        while (data.size() % 8 != 0)
            data.push_back(0);
        uint64_t trailer = data.size();
        for (int i = 0; i < 8; i++)
            data.push_back(static_cast<unsigned char>(trailer >> (8 * i)));
    }
    return data;
}

Bytes compressed(const Bytes &content)
{
    FrameWriter writer;
    writer.add(content, ZSTD_e_end);
    return writer.frame;
}

// A frame of raw blocks with a window descriptor chosen by hand and no
// content size, so the decoder must honour the window.
Bytes raw_frame(unsigned char window_descriptor, const Bytes &content)
{
    Bytes frame = {0x28, 0xB5, 0x2F, 0xFD, 0x00, window_descriptor};
    uint32_t block = 1u | static_cast<uint32_t>(content.size()) << 3;  // last, raw
    frame.push_back(static_cast<unsigned char>(block));
    frame.push_back(static_cast<unsigned char>(block >> 8));
    frame.push_back(static_cast<unsigned char>(block >> 16));
    frame.insert(frame.end(), content.begin(), content.end());
    return frame;
}

void append_name(Bytes &stream, const std::wstring &name)
{
    for (wchar_t unit : name) {
        stream.push_back(static_cast<unsigned char>(unit));
        stream.push_back(static_cast<unsigned char>(unit >> 8));
    }
    stream.push_back(0);
    stream.push_back(0);
}

void append_size(Bytes &stream, uint64_t size)
{
    for (int i = 0; i < 8; i++)
        stream.push_back(static_cast<unsigned char>(size >> (8 * i)));
}

// The reader over `data`, which must outlive the reads.
void open_reader(const Bytes &data)
{
    reset_launcher_state();
    attach_archive(data.data(), data.size());
    open_attached_data();
}

Bytes read_bytes(size_t count)
{
    Bytes bytes(count);
    read_exactly(bytes.data(), count);
    return bytes;
}

size_t unread_in_window() { return launcher_state.output.size - launcher_state.output.pos; }

Bytes slice(const Bytes &bytes, size_t from, size_t count)
{
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

}  // namespace

TEST(Reader, ReadStraddlingTheWindowsEnd)
{
    Bytes content = sample_content(300000);
    Bytes data = attached_data(compressed(content));
    open_reader(data);

    EXPECT_EQ(read_bytes(131000), slice(content, 0, 131000));
    ASSERT_EQ(unread_in_window(), 72u);  // the first step filled the whole window
    EXPECT_EQ(read_bytes(1000), slice(content, 131000, 1000));
    EXPECT_EQ(read_bytes(1), slice(content, 132000, 1));
    size_t at = 132001;
    while (at < content.size()) {
        size_t count = std::min<size_t>(32768, content.size() - at);
        ASSERT_EQ(read_bytes(count), slice(content, at, count)) << "at " << at;
        at += count;
    }
    close_attached_data();
    EXPECT_EQ(launcher_state.decompression_context, nullptr);
    EXPECT_EQ(launcher_state.output_window, nullptr);
}

TEST(Reader, WindowFilledExactlyWithNoInputLeft)
{
    // A short block, then one of the window's size, and the data ends there:
    // the first step takes in every byte and fills the window, while the
    // decoder still holds the rest of the second block. (Within a complete
    // frame the decoder keeps the frame's last byte back until it has handed
    // out everything, so the data must stop short of the frame's end here.)
    Bytes content = sample_content(1000 + output_window_size + 500);
    FrameWriter writer(false);
    writer.add(slice(content, 0, 1000), ZSTD_e_flush);
    writer.add(slice(content, 1000, output_window_size), ZSTD_e_flush);
    Bytes data = attached_data(writer.frame, false);
    open_reader(data);

    EXPECT_EQ(read_bytes(output_window_size), slice(content, 0, output_window_size));
    EXPECT_TRUE(launcher_state.window_filled);
    EXPECT_EQ(launcher_state.input.pos, launcher_state.input.size);
    EXPECT_EQ(unread_in_window(), 0u);

    EXPECT_EQ(read_bytes(1000), slice(content, output_window_size, 1000));
    EXPECT_FALSE(launcher_state.window_filled);
    EXPECT_EQ(unread_in_window(), 0u);
}

TEST(Reader, StepsWithoutOutputAreFollowedByMore)
{
    // A skippable frame in front: decoding it consumes input and yields nothing.
    Bytes content = sample_content(5000);
    Bytes frames = {0x50, 0x2A, 0x4D, 0x18, 16, 0, 0, 0};
    frames.insert(frames.end(), 16, 0xEE);
    Bytes real = compressed(content);
    frames.insert(frames.end(), real.begin(), real.end());

    ZSTD_DCtx *probe = ZSTD_createDCtx();
    Bytes window(output_window_size);
    ZSTD_inBuffer in{frames.data(), frames.size(), 0};
    ZSTD_outBuffer out{window.data(), window.size(), 0};
    ASSERT_FALSE(ZSTD_isError(ZSTD_decompressStream(probe, &out, &in)));
    ZSTD_freeDCtx(probe);
    ASSERT_EQ(out.pos, 0u) << "the first step should produce nothing";
    ASSERT_LT(in.pos, in.size) << "and leave input for the next";

    Bytes data = attached_data(frames);
    open_reader(data);
    EXPECT_EQ(read_bytes(5000), content);
}

TEST(Reader, EndMarkerAlone)
{
    Bytes frame = compressed(Bytes{0, 0});
    Bytes data = attached_data(frame);
    open_reader(data);
    launcher_state.current_record_name[1] = 0xBEEF;
    read_record_name();
    EXPECT_EQ(launcher_state.current_record_name[0], 0);
    EXPECT_EQ(launcher_state.current_record_name[1], 0xBEEF) << "one unit only";
    EXPECT_EQ(unread_in_window(), 0u);
    // The fill and the trailer stay unread.
    EXPECT_EQ(launcher_state.input.pos, frame.size());
    EXPECT_EQ(launcher_state.input.size, data.size() - 3);
}

TEST(Reader, RecordNamesAndSizes)
{
    Bytes stream;
    std::wstring longest(1023, L'n');
    append_name(stream, L"lib\\app \u00e9\u0416\u4e2d.dll");
    append_size(stream, 0x0102030405060708ull);
    append_name(stream, longest);
    append_size(stream, 0);
    append_name(stream, L"");
    Bytes data = attached_data(compressed(stream));
    open_reader(data);

    read_record_name();
    EXPECT_STREQ(launcher_state.current_record_name, L"lib\\app \u00e9\u0416\u4e2d.dll");
    EXPECT_EQ(read_record_size(), 0x0102030405060708ull);
    read_record_name();
    EXPECT_EQ(std::wstring(launcher_state.current_record_name), longest);
    EXPECT_EQ(read_record_size(), 0u);
    read_record_name();
    EXPECT_EQ(launcher_state.current_record_name[0], 0);
}

TEST(Reader, WindowAtTheLimitIsAccepted)
{
    // 2^27 bytes: exponent 17, mantissa 0.
    Bytes content = sample_content(100);
    Bytes data = attached_data(raw_frame(17 << 3, content));
    open_reader(data);
    EXPECT_EQ(read_bytes(100), content);
}

TEST(Reader, FailuresEndTheProcess)
{
    struct Case {
        const wchar_t *name;
        const char *expected_out;
    };
    const std::string decode_error = std::string(MESSAGE_DECODING_FAILED) + "\r\n";
    for (const Case &c : {
             Case{L"window_2_28", ""},                  // 2^28
             Case{L"window_above_2_27", ""},            // 2^27 + 2^24
             Case{L"frame_ends_before_end_marker", "name a\r\nsize 3\r\ncontent abc\r\n"},
             Case{L"truncated_stream", "name a\r\nsize 3\r\ncontent abc\r\nname b\r\nsize 5\r\n"},
             Case{L"name_of_1024_units", ""},
             Case{L"not_a_frame", ""},
             Case{L"cut_after_full_window", "name a\r\nsize 131072\r\ncontent 131072\r\n"},
         }) {
        ProcessResult result = run_helper("reader_failure", {c.name});
        EXPECT_FALSE(result.timed_out) << narrow(c.name);
        EXPECT_EQ(result.exit_code, 2u) << narrow(c.name);
        EXPECT_EQ(result.out, c.expected_out + decode_error) << narrow(c.name);
        EXPECT_EQ(result.err, "") << narrow(c.name);
    }

    for (const wchar_t *header : {L"QVZ", L"QVy", L"VQY", L"qvY", L"\u00d1VY"}) {
        ProcessResult result = run_helper("reader_header", {header});
        EXPECT_EQ(result.exit_code, 2u) << narrow(header);
        EXPECT_EQ(result.out, std::string(MESSAGE_HEADER_NOT_FOUND) + "\r\n") << narrow(header);
    }
    // A place in the notes that is not the archive's: nothing outside the
    // file is read, and an offset is never cut to 32 bits (past 4 GiB it
    // would name the real header).
    for (const wchar_t *place : {L"at_the_end", L"longer_than_the_file", L"longest_length", L"past_4_gib", L"none",
                                 L"a_byte_early"}) {
        ProcessResult result = run_helper("reader_place", {place});
        EXPECT_EQ(result.exit_code, 2u) << narrow(place);
        EXPECT_EQ(result.out, std::string(MESSAGE_HEADER_NOT_FOUND) + "\r\n") << narrow(place);
    }
    ProcessResult accepted = run_helper("reader_header", {L"QVY"});
    EXPECT_EQ(accepted.exit_code, 0u);
    EXPECT_EQ(accepted.out, "opened\r\n");
}

// Runs one reader failure by name; reaching the end is a failure of the test.
VESKAR_HELPER(reader_failure)
{
    keep_reports_off_dialogs();
    const std::wstring which = arguments.at(0);
    Bytes stream;
    append_name(stream, L"a");
    append_size(stream, 3);
    stream.insert(stream.end(), {'a', 'b', 'c'});
    static Bytes data;

    if (which == L"window_2_28") {
        data = attached_data(raw_frame(18 << 3, sample_content(100)));
    } else if (which == L"window_above_2_27") {
        data = attached_data(raw_frame(17 << 3 | 1, sample_content(100)));
    } else if (which == L"frame_ends_before_end_marker") {
        data = attached_data(compressed(stream));  // no end marker
    } else if (which == L"truncated_stream") {
        // The first record in a block of its own; the file ends inside the next.
        Bytes rest;
        append_name(rest, L"b");
        append_size(rest, 5);
        rest.insert(rest.end(), {'d', 'e', 'f', 'g', 'h'});
        append_name(rest, L"");
        FrameWriter writer;
        writer.add(stream, ZSTD_e_flush);
        writer.add(rest, ZSTD_e_end);
        writer.frame.resize(writer.frame.size() - 10);  // the checksum and the last block's end
        data = attached_data(writer.frame, false);
    } else if (which == L"name_of_1024_units") {
        Bytes long_name;
        append_name(long_name, std::wstring(1024, L'n'));
        append_size(long_name, 0);
        append_name(long_name, L"");
        data = attached_data(compressed(long_name));
    } else if (which == L"cut_after_full_window") {
        // The window fills with input used up; the remainder still arrives,
        // and only the next read finds the stream cut short.
        Bytes head;
        append_name(head, L"a");
        append_size(head, output_window_size);
        FrameWriter writer(false);
        writer.add(head, ZSTD_e_flush);
        writer.add(sample_content(output_window_size), ZSTD_e_flush);
        data = attached_data(writer.frame, false);
    } else if (which == L"not_a_frame") {
        data = attached_data(Bytes(64, 0x42));
    } else {
        return 125;
    }
    attach_archive(data.data(), data.size());
    open_attached_data();
    for (;;) {
        read_record_name();
        printf("name %s\n", narrow(launcher_state.current_record_name).c_str());
        if (launcher_state.current_record_name[0] == 0)
            return 1;
        uint64_t size = read_record_size();
        printf("size %llu\n", static_cast<unsigned long long>(size));
        Bytes content = read_bytes(static_cast<size_t>(size));
        if (size <= 16)
            printf("content %s\n", std::string(content.begin(), content.end()).c_str());
        else
            printf("content %zu\n", content.size());
    }
}

VESKAR_HELPER(reader_header)
{
    keep_reports_off_dialogs();
    static Bytes data = attached_data(compressed(Bytes{0, 0}));
    std::string header = narrow(arguments.at(0));
    std::memcpy(data.data(), header.data(), 3);
    attach_archive(data.data(), data.size());
    open_attached_data();
    printf("opened\n");
    return 0;
}

VESKAR_HELPER(reader_place)
{
    keep_reports_off_dialogs();
    static Bytes data = attached_data(compressed(Bytes{0, 0}));
    attach_archive(data.data(), data.size());
    LauncherState &s = launcher_state;
    const std::wstring which = arguments.at(0);
    if (which == L"at_the_end")
        s.archive_offset += data.size() + 8;
    else if (which == L"longer_than_the_file")
        s.archive_length += 9;
    else if (which == L"longest_length")
        s.archive_length = UINT64_MAX;
    else if (which == L"past_4_gib")
        s.archive_offset += uint64_t{1} << 32;
    else if (which == L"none")
        s.archive_offset = s.archive_length = 0;
    else if (which == L"a_byte_early")
        s.archive_offset -= 1;
    open_attached_data();
    printf("opened\n");
    return 0;
}
