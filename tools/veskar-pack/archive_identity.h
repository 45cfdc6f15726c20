// The archive identity: the SHA-256 of the attached data, taken while it is
// written. A reusing launcher names its unpacked tree after it, so that any
// change of a packed byte gives a new tree. BCrypt hashes on Windows; on
// Linux nettle, small enough to link into the packer and as fast as the
// processor's SHA instructions make it: an archive of gigabytes is hashed
// on the thread that writes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

class ArchiveIdentity {
public:
    ArchiveIdentity();
    ~ArchiveIdentity();
    ArchiveIdentity(const ArchiveIdentity &) = delete;
    ArchiveIdentity &operator=(const ArchiveIdentity &) = delete;

    void add(const void *data, size_t size);
    std::string hex();  // 64 lowercase digits; ends the hashing

private:
    void *context;  // the hashing state
    void *algorithm = nullptr;  // BCrypt only: the algorithm provider
};

// A packed file's content hash, XXH64 with seed 0 as 16 lowercase hex
// digits: a reusing launcher compares it with what a tree holds where size
// and time cannot tell (after a power cut, or a file of another version).
// Not a defence against anyone who may write the tree: nobody else may.
std::string content_hash_hex(uint64_t hash);
uint64_t file_content_hash(const std::filesystem::path &file);  // throws PackError when unreadable
class ContentHash {
public:
    ContentHash();
    ~ContentHash();
    ContentHash(const ContentHash &) = delete;
    ContentHash &operator=(const ContentHash &) = delete;
    void add(const void *data, size_t size);
    uint64_t value() const;

private:
    void *state;
};
