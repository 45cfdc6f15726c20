// The archive identity: the SHA-256 of the attached data, taken while it is
// written. A reusing launcher names its unpacked tree after it, so that any
// change of a packed byte gives a new tree. BCrypt hashes on Windows; on
// Linux nettle, small enough to link into the packer and as fast as the
// processor's SHA instructions make it: an archive of gigabytes is hashed
// on the thread that writes it.
#pragma once

#include <cstddef>
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
