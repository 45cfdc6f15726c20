// libFuzzer target: veskar-pack's list, extract and verify on an arbitrary
// file, as a user runs them on a launcher downloaded from anywhere. Every
// input must end in a report or a PackError, and extract must write nothing
// outside the folder it is given; anything else stops the fuzzer.
#include "archive_writer.h"
#include "inspect.h"

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

// One scratch folder per process (TMPDIR, or /tmp): the input as a file,
// and the folder extract writes into, alone in a box of its own so that a
// name that got out would show up beside it.
struct Scratch {
    fs::path root, input, box, into, kit;

    Scratch()
    {
        std::string pattern = (fs::temp_directory_path() / "veskar-pack-fuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("veskar-pack fuzzer: cannot make a scratch folder");
            std::abort();
        }
        root = pattern;
        input = root / "input.exe";
        box = root / "box";
        into = box / "into";
        kit = root / "no-kit";  // list compares icons with no kit: nothing outside the input is read
        fs::create_directory(box);
    }
    ~Scratch() { fs::remove_all(root); }
};

Scratch *scratch;

[[noreturn]] void fail(const std::string &what)
{
    std::fprintf(stderr, "veskar-pack fuzzer: %s\n", what.c_str());
    std::abort();
}

template <typename Command> void run(Command command)
{
    try {
        command();
    } catch (const PackError &) {
        // The refusal a user would see: fine for any input.
    }
}

// Only the box's own folder, holding only folders and regular files.
void check_extract_stayed_inside()
{
    for (const fs::directory_entry &e : fs::directory_iterator(scratch->root)) {
        if (e.path() != scratch->input && e.path() != scratch->box)
            fail("something appeared beside the box: " + e.path().string());
    }
    for (const fs::directory_entry &e : fs::directory_iterator(scratch->box)) {
        if (e.path() != scratch->into)
            fail("extract wrote outside its folder: " + e.path().string());
    }
    if (!fs::exists(fs::symlink_status(scratch->into)))
        return;
    for (const fs::directory_entry &e : fs::recursive_directory_iterator(scratch->into)) {
        fs::file_status status = e.symlink_status();
        if (!fs::is_regular_file(status) && !fs::is_directory(status))
            fail("extract made something that is neither a file nor a folder: " + e.path().string());
    }
    fs::remove_all(scratch->into);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    scratch = new Scratch;
    std::atexit([] { delete scratch; });
    // The reports of list, extract and verify are not looked at.
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
        fail("cannot silence standard output");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    {
        std::ofstream out(scratch->input, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
        if (!out.flush())
            fail("cannot write the input file");
    }
    run([] { list_launcher(scratch->input, scratch->kit); });
    run([] { verify_launcher(scratch->input); });
    run([] { extract_launcher(scratch->input, scratch->into); });
    check_extract_stayed_inside();
    return 0;
}
