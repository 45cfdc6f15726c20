// Inputs for the launcher fuzzer: record streams of a small seed corpus,
// mutated deterministically (hostile names, sizes, truncation, duplication),
// compressed with zstd, sometimes damaged after compression, and wrapped as
// attached data the way the packer wraps them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// splitmix64: small, fast, and the same sequence on every machine.
struct FuzzRandom {
    uint64_t state;
    uint64_t next();
    uint64_t below(uint64_t bound);  // uniform enough in [0, bound); 0 when bound is 0
    bool one_in(uint64_t n) { return below(n) == 0; }
};

// Reads every *.records file of `folder` (decompressed record streams);
// false when there is none or one cannot be read.
bool load_seed_corpus(const std::wstring &folder, std::vector<std::string> &seeds);

// The attached data of input `index` of run `seed`: the same bytes for the
// same three arguments, so one input can be made again on its own.
std::string make_fuzz_input(const std::vector<std::string> &seeds, uint64_t seed, uint64_t index);

// Whether input `index` of run `seed` unpacks into the deep unpack directory
// (one whose path leaves less than a record name's room below 4096 units).
bool uses_deep_unpack_directory(uint64_t seed, uint64_t index);
