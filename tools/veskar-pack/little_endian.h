// Little-endian fields of the formats the packer reads and writes (PE
// headers, resources, icons, the archive's trailer). A field read is
// checked against the bytes it is read from: one that does not lie wholly
// inside them reads as 0, never beyond them; callers check sizes first
// where a 0 would be taken for a real value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct ByteSpan {
    const uint8_t *data;
    size_t size;
};

inline uint64_t get_le(ByteSpan bytes, size_t at, size_t width)
{
    if (at > bytes.size || width > bytes.size - at)
        return 0;
    uint64_t value = 0;
    for (size_t i = width; i-- > 0;)
        value = value << 8 | bytes.data[at + i];
    return value;
}

inline uint32_t get_le16(ByteSpan bytes, size_t at) { return static_cast<uint32_t>(get_le(bytes, at, 2)); }
inline uint32_t get_le32(ByteSpan bytes, size_t at) { return static_cast<uint32_t>(get_le(bytes, at, 4)); }
inline uint64_t get_le64(ByteSpan bytes, size_t at) { return get_le(bytes, at, 8); }

inline ByteSpan span_of(const std::vector<uint8_t> &bytes) { return ByteSpan{bytes.data(), bytes.size()}; }
inline uint32_t get_le16(const std::vector<uint8_t> &b, size_t at) { return get_le16(span_of(b), at); }
inline uint32_t get_le32(const std::vector<uint8_t> &b, size_t at) { return get_le32(span_of(b), at); }
inline uint64_t get_le64(const std::vector<uint8_t> &b, size_t at) { return get_le64(span_of(b), at); }

inline void put_le(std::vector<uint8_t> &b, uint64_t value, size_t width)
{
    for (size_t i = 0; i < width; i++)
        b.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

inline void put_le16(std::vector<uint8_t> &b, uint32_t value) { put_le(b, value, 2); }
inline void put_le32(std::vector<uint8_t> &b, uint32_t value) { put_le(b, value, 4); }
