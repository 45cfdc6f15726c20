#include "archive_identity.h"
#include "archive_writer.h"
#include "host_system.h"

#include <cstdint>
#include <fstream>
#include <vector>

// zstd's own copy of xxHash: both builds link zstd made from its sources.
#include "common/xxhash.h"

#ifdef _WIN32
#include <windows.h>
#include <bcrypt.h>
#else
#include <nettle/sha2.h>
#endif

static std::string hex_digits(const uint8_t *digest, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; i++) {
        text += digits[digest[i] >> 4];
        text += digits[digest[i] & 15];
    }
    return text;
}

#ifdef _WIN32

static const PackError hashing_failed{"the system's SHA-256 is not available"};

ArchiveIdentity::ArchiveIdentity()
{
    BCRYPT_ALG_HANDLE provider = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        throw hashing_failed;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, 0))) {
        BCryptCloseAlgorithmProvider(provider, 0);
        throw hashing_failed;
    }
    algorithm = provider;
    context = hash;
}

ArchiveIdentity::~ArchiveIdentity()
{
    if (context != nullptr)
        BCryptDestroyHash(static_cast<BCRYPT_HASH_HANDLE>(context));
    BCryptCloseAlgorithmProvider(static_cast<BCRYPT_ALG_HANDLE>(algorithm), 0);
}

void ArchiveIdentity::add(const void *data, size_t size)
{
    // BCryptHashData takes a 32-bit count.
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    while (size > 0) {
        ULONG piece = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
        if (!BCRYPT_SUCCESS(BCryptHashData(static_cast<BCRYPT_HASH_HANDLE>(context), const_cast<PUCHAR>(bytes), piece, 0)))
            throw hashing_failed;
        bytes += piece;
        size -= piece;
    }
}

std::string ArchiveIdentity::hex()
{
    uint8_t digest[32];
    if (!BCRYPT_SUCCESS(BCryptFinishHash(static_cast<BCRYPT_HASH_HANDLE>(context), digest, sizeof digest, 0)))
        throw hashing_failed;
    return hex_digits(digest, sizeof digest);
}

#else

ArchiveIdentity::ArchiveIdentity()
{
    sha256_ctx *hash = new sha256_ctx;
    sha256_init(hash);
    context = hash;
}

ArchiveIdentity::~ArchiveIdentity() { delete static_cast<sha256_ctx *>(context); }

void ArchiveIdentity::add(const void *data, size_t size)
{
    sha256_update(static_cast<sha256_ctx *>(context), size, static_cast<const uint8_t *>(data));
}

std::string ArchiveIdentity::hex()
{
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(static_cast<sha256_ctx *>(context), sizeof digest, digest);
    return hex_digits(digest, sizeof digest);
}

#endif

ContentHash::ContentHash() : state(XXH64_createState())
{
    if (state == nullptr || XXH64_reset(static_cast<XXH64_state_t *>(state), 0) != XXH_OK)
        throw PackError{"out of memory"};
}

ContentHash::~ContentHash()
{
    XXH64_freeState(static_cast<XXH64_state_t *>(state));
}

void ContentHash::add(const void *data, size_t size)
{
    XXH64_update(static_cast<XXH64_state_t *>(state), data, size);
}

uint64_t ContentHash::value() const
{
    return XXH64_digest(static_cast<XXH64_state_t *>(state));
}

std::string content_hash_hex(uint64_t hash)
{
    uint8_t bytes[8];
    for (int i = 0; i < 8; i++)
        bytes[i] = static_cast<uint8_t>(hash >> (56 - 8 * i));
    return hex_digits(bytes, sizeof bytes);
}

uint64_t file_content_hash(const std::filesystem::path &file)
{
    std::ifstream in(system_path(file), std::ios::binary);
    if (!in)
        throw PackError{"cannot read '" + file.u8string() + "'"};
    ContentHash hash;
    std::vector<char> chunk(1 << 20);
    while (in) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        hash.add(chunk.data(), static_cast<size_t>(in.gcount()));
    }
    if (in.bad())
        throw PackError{"cannot read '" + file.u8string() + "'"};
    return hash.value();
}
