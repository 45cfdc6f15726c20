// Reading attached data back: the header, the zstd frames, the fill and the
// trailer, and the record stream inside, checked throughout. The data is
// read from its file in blocks, never whole. Every problem throws PackError
// saying what is wrong and where.
#pragma once

#include "archive_writer.h"
#include "pe_image.h"

#include <cstdint>
#include <functional>
#include <istream>
#include <string>

struct RecordInfo {
    size_t index;             // 0 for the application library
    std::u16string name;
    uint64_t size;
    uint64_t stream_offset;   // where the record's name starts in the record stream
};

struct AttachedDataSummary {
    uint64_t attached_length = 0;   // the whole attached data, header to trailer
    uint64_t frame_size = 0;        // the zstd frames alone
    std::vector<FrameStart> frames; // where each begins; record: its first byte's record stream offset
    uint64_t stream_size = 0;       // the record stream, decompressed
    uint64_t window_size = 0;
    size_t records = 0;
    uint64_t content_bytes = 0;     // the files' bytes, without names and sizes
    std::string identity;           // SHA-256 of the attached data, 64 lowercase digits
};

struct RecordVisitor {
    std::function<void(const RecordInfo &)> begin;
    std::function<void(const uint8_t *, size_t)> content;  // the record's bytes, in order
    std::function<void()> end;
};

// What checking the names may hold in memory: beyond it the reader stops
// with one line rather than grow without bound.
enum : uint64_t { name_memory_limit = uint64_t{256} << 20 };

// Decodes the `length` bytes of attached data that `in` holds from its
// current position, calling the visitor for every record.
AttachedDataSummary read_attached_data(std::istream &in, uint64_t length, const RecordVisitor &visitor);
