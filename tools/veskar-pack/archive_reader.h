// Reading attached data back: the header, the zstd frame, the fill and the
// trailer, and the record stream inside, checked throughout. Every problem
// throws PackError saying what is wrong and where.
#pragma once

#include "pe_image.h"

#include <cstdint>
#include <functional>
#include <string>

struct RecordInfo {
    size_t index;             // 0 for the application library
    std::u16string name;
    uint64_t size;
    uint64_t stream_offset;   // where the record's name starts in the record stream
};

struct AttachedDataSummary {
    uint64_t attached_length = 0;   // the whole attached data
    uint64_t frame_size = 0;        // the zstd frame alone
    uint64_t stream_size = 0;       // the record stream, decompressed
    uint64_t window_size = 0;
    size_t records = 0;
    uint64_t content_bytes = 0;     // the files' bytes, without names and sizes
};

struct RecordVisitor {
    std::function<void(const RecordInfo &)> begin;
    std::function<void(const uint8_t *, size_t)> content;  // the record's bytes, in order
    std::function<void()> end;
};

// Decodes the whole attached data, calling the visitor for every record.
AttachedDataSummary read_attached_data(ByteSpan data, const RecordVisitor &visitor);

// The attached data of a built launcher: the .veskar section. Throws
// PackError naming the file when there is none.
ByteSpan attached_data_of(const PeImage &image);
