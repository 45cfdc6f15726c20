// The launcher executable as veskar-pack writes it, read back by tools that
// share no code with it (binutils' objdump, icoutils' wrestool,
// osslsigncode), signed, and checked for the programs the packer starts
// (none) and for the largest archive it accepts.
#include "packer_test_support.h"

#include <regex>

namespace {

class LauncherImage : public PackerTest {
protected:
    void SetUp() override
    {
        PackerTest::SetUp();
        app = scratch / "app";
        write_file(app / "app.dll", make_dll());
        write_file(app / "data" / "note.txt", "note");
        write_file(scratch / "splash.png", make_png(3, 2));
    }

    // Builds with the given extra options; the launcher's path.
    fs::path build(const std::string &name, std::vector<std::string> extra = {})
    {
        const fs::path exe = scratch / (name + ".exe");
        std::vector<std::string> args{"--kit", real_kit().string(), "build", "--quiet", "--dir", app.string(),
                                      "--app-library", "app.dll", "-o", exe.string()};
        args.insert(args.end(), extra.begin(), extra.end());
        RunResult r = run_pack(args, temp);
        EXPECT_EQ(r.status, 0) << r.err;
        return exe;
    }

    // A tool from setup.sh; the test is skipped, saying so, without it.
    static bool have(const std::string &tool)
    {
        return run_program({"sh", "-c", "command -v " + tool}).status == 0;
    }

    fs::path app;
};

TEST_F(LauncherImage, BuildStartsNoOtherProgram)
{
    REQUIRE_KIT();
    if (!have("strace"))
        GTEST_SKIP() << "strace is not installed: run scripts/setup.sh";
    const fs::path trace = scratch / "trace.txt", exe = scratch / "traced.exe";
    RunResult r = run_program({"strace", "-f", "-q", "-e", "trace=execve,execveat", "-o", trace.string(),
                               VESKAR_PACK_PATH, "--kit", real_kit().string(), "build", "--dir", app.string(),
                               "--app-library", "app.dll", "-o", exe.string(), "--splash",
                               (scratch / "splash.png").string(), "--version-info", "ProductName=Traced",
                               "--console"},
                              {{"TMPDIR", temp.string()}});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(fs::is_regular_file(exe));
    // One line per program started (plus strace's own exit line): the packer itself.
    const std::string text = read_file(trace);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n') - 1, 1) << text;
    EXPECT_NE(text.find("execve(\"" VESKAR_PACK_PATH "\""), std::string::npos) << text;
}

TEST_F(LauncherImage, ObjdumpAndWrestoolReadSectionsAndResources)
{
    REQUIRE_KIT();
    if (!have("x86_64-w64-mingw32-objdump") || !have("wrestool"))
        GTEST_SKIP() << "objdump or wrestool is not installed: run scripts/setup.sh";
    const fs::path exe = build("readers", {"--splash", (scratch / "splash.png").string(), "--version-info",
                                           "FileVersion=1.2", "--execution-level", "requireAdministrator"});
    RunResult r = run_program({"x86_64-w64-mingw32-objdump", "-x", exe.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("file format pei-x86-64"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("(Windows GUI)"), std::string::npos);
    for (const char *section : {" .vskinfo ", " .rsrc "})
        EXPECT_NE(r.out.find(section), std::string::npos) << section << " missing:\n" << r.out;
    EXPECT_EQ(r.out.find(" .veskar "), std::string::npos) << r.out;
    // The archive lies after the image's last section, at a page of the
    // file, where the notes (inside the image) say, up to the file's end.
    const std::string bytes = read_file(exe);
    std::smatch notes, last;
    ASSERT_TRUE(std::regex_search(bytes, notes, std::regex("archive_offset=([0-9a-f]{16})\narchive_length=([0-9a-f]{16})"
                                                           "\narchive=([0-9a-f]{64})\n")));
    const uint64_t offset = std::stoull(notes[1].str(), nullptr, 16), length = std::stoull(notes[2].str(), nullptr, 16);
    EXPECT_EQ(offset % 4096, 0u);
    EXPECT_EQ(offset + length, bytes.size());
    EXPECT_EQ(bytes.substr(offset, 3), "QVY");
    EXPECT_EQ(run_program({"sh", "-c", "tail -c " + std::to_string(length) + " '" + exe.string() + "' | sha256sum"})
                  .out.substr(0, 64),
              notes[3].str());
    ASSERT_TRUE(std::regex_search(r.out, last, std::regex(R"(\.rsrc +([0-9a-f]+) +[0-9a-f]+ +[0-9a-f]+ +([0-9a-f]+))")));
    EXPECT_LE(std::stoull(last[2].str(), nullptr, 16) + std::stoull(last[1].str(), nullptr, 16), offset) << last[0];
    EXPECT_NE(r.out.find("Resource Directory [.rsrc]"), std::string::npos);
    EXPECT_NE(r.out.find("Security Directory"), std::string::npos);

    r = run_program({"wrestool", "-l", exe.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *resource : {"--type=3 --name=1 ", "--type=14 --name=1 ", "--type=16 --name=1 ",
                                 "--type=24 --name=1 ", "--type=10 --name=28 "})
        EXPECT_NE(r.out.find(resource), std::string::npos) << resource << " missing:\n" << r.out;
    r = run_program({"wrestool", "-x", "--raw", "--type=24", "--name=1", exe.string()});
    EXPECT_NE(r.out.find("level=\"requireAdministrator\""), std::string::npos) << r.out;
    r = run_program({"wrestool", "-x", "--raw", "--type=10", "--name=28", exe.string()});
    EXPECT_EQ(r.out, make_png(3, 2));
    r = run_program({"wrestool", "-x", "--type=14", "--name=1", exe.string()});
    // The group and its images give the .ico back (wrestool adds zero fill after it).
    const std::string ico = read_file(real_kit() / "veskar.ico");
    EXPECT_EQ(r.out.substr(0, ico.size()), ico);

    r = run_program({"x86_64-w64-mingw32-objdump", "-p", build("console", {"--console"}).string()});
    EXPECT_NE(r.out.find("(Windows CUI)"), std::string::npos) << r.out;
}

TEST_F(LauncherImage, ListShowsSubsystemLevelAndVersionInformation)
{
    REQUIRE_KIT();
    fs::path exe = build("plain");
    RunResult r = run_pack({"--kit", real_kit().string(), "list", exe.string()}, temp);
    EXPECT_NE(r.out.find("subsystem: GUI (no console)\nexecution level: asInvoker\nversion information: none\n"),
              std::string::npos)
        << r.out;
    exe = build("described", {"--console", "--execution-level", "highestAvailable", "--version-info",
                              "ProductName=Zürich Tool", "--version-info", "FileVersion=1.2.3.4", "--version-info",
                              "LegalCopyright=(c) us"});
    r = run_pack({"--kit", real_kit().string(), "list", exe.string()}, temp);
    EXPECT_NE(r.out.find("subsystem: console (shares the console it is started from)\n"
                         "execution level: highestAvailable\n"
                         "version information:\n  FileVersion: 1.2.3.4\n  ProductName: Zürich Tool\n"
                         "  LegalCopyright: (c) us\n"),
              std::string::npos)
        << r.out;
}

TEST_F(LauncherImage, ProgramEntryGivesItsIdentity)
{
    REQUIRE_KIT();
    // Entries: a launcher with an identity of its own (tests/package/exe-app
    // has one made by windres), and a bare x86 program.
    write_file(scratch / "red.ico", make_icon(7));
    fs::copy_file(build("described", {"--console", "--icon", (scratch / "red.ico").string(), "--execution-level",
                                      "requireAdministrator", "--version-info", "CompanyName=Acme"}),
                  app / "described.exe");
    write_file(app / "gui.exe", make_program(0x014C, 2));
    const struct {
        std::string entry;
        std::vector<std::string> options;
        std::string listed;
    } cases[] = {
        {"described.exe", {}, "icon: custom (1 images)\nsubsystem: console (shares the console it is started from)"
                              "\nexecution level: requireAdministrator\nversion information:\n  CompanyName: Acme\n"},
        {"described.exe", {"--gui", "--icon", (real_kit() / "veskar.ico").string(), "--execution-level",
                           "asInvoker", "--version-info", "ProductName=P"},
         "icon: default\nsubsystem: GUI (no console)\nexecution level: asInvoker\nversion information:\n  "
         "ProductName: P\n"},
        {"gui.exe", {}, "icon: default\nsubsystem: GUI (no console)\nexecution level: asInvoker\nversion "
                        "information: none\n"},
    };
    for (const auto &c : cases) {
        const fs::path exe = scratch / "packed.exe";
        std::vector<std::string> args{"--kit", real_kit().string(), "build", "--quiet", "--dir", app.string(),
                                      "--app-exe", c.entry, "-o", exe.string()};
        args.insert(args.end(), c.options.begin(), c.options.end());
        RunResult r = run_pack(args, temp);
        ASSERT_EQ(r.status, 0) << r.err;
        r = run_pack({"--kit", real_kit().string(), "list", exe.string()}, temp);
        EXPECT_NE(r.out.find(c.listed), std::string::npos) << c.entry << ":\n" << r.out;
    }
}

TEST_F(LauncherImage, ChecksumMatchesAndSignedLauncherStillReads)
{
    REQUIRE_KIT();
    if (!have("osslsigncode") || !have("openssl"))
        GTEST_SKIP() << "osslsigncode or openssl is not installed: run scripts/setup.sh";
    const fs::path exe = build("unsigned", {"--version-info", "ProductName=Signed"});
    RunResult r = run_program({"osslsigncode", "verify", "-in", exe.string()});
    // Without a signature verify fails, but it compares the checksum first.
    EXPECT_NE(r.out.find("PE checksum"), std::string::npos) << r.out << r.err;
    EXPECT_EQ(r.out.find("Calculated PE checksum"), std::string::npos) << "checksum mismatch:\n" << r.out;

    const fs::path key = scratch / "key.pem", cert = scratch / "cert.pem", signed_exe = scratch / "signed.exe";
    r = run_program({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key.string(), "-out",
                     cert.string(), "-days", "2", "-subj", "/CN=Veskar test signer"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = run_program({"osslsigncode", "sign", "-certs", cert.string(), "-key", key.string(), "-n", "Signed",
                     "-in", exe.string(), "-out", signed_exe.string()});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    r = run_program({"osslsigncode", "verify", "-in", signed_exe.string(), "-CAfile", cert.string()});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Signature verification: ok"), std::string::npos) << r.out;
    EXPECT_GT(fs::file_size(signed_exe), fs::file_size(exe));

    r = run_pack({"verify", signed_exe.string()}, temp);
    EXPECT_EQ(r.status, 0) << r.err;
    r = run_pack({"--kit", real_kit().string(), "list", signed_exe.string()}, temp);
    EXPECT_NE(r.out.find("data\\note.txt"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ProductName: Signed"), std::string::npos) << r.out;
    r = run_pack({"extract", signed_exe.string(), (scratch / "out").string()}, temp);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(scratch / "out" / "data" / "note.txt"), "note");

    // The signature covers the archive: one byte changed in it, and it fails.
    std::string bytes = read_file(signed_exe);
    bytes[bytes.find("QVY", fs::file_size(exe) & ~uint64_t{4095}) + 40] ^= 1;
    write_file(scratch / "changed.exe", bytes);
    r = run_program({"osslsigncode", "verify", "-in", (scratch / "changed.exe").string(), "-CAfile", cert.string()});
    EXPECT_NE(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("Signature verification: ok"), std::string::npos) << r.out;
}

TEST_F(LauncherImage, LargestLauncherIsRefusedBeforeAnythingIsWritten)
{
    REQUIRE_KIT();
    // Sparse files: their sizes are what is checked, and held in 32 bits
    // either would pass as a small one.
    const fs::path blob = scratch / "huge.bin", out = scratch / "out" / "huge.exe";
    fs::create_directories(out.parent_path());
    write_file(blob, "");
    auto refusal = [&](uint64_t size) {
        fs::resize_file(blob, size);
        RunResult r = run_pack({"--kit", real_kit().string(), "link", "--attached-data", blob.string(), "-o",
                                out.string()},
                               temp);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_TRUE(fs::is_empty(out.parent_path()));
        return r.err;
    };
    const std::string err = refusal(uint64_t{1} << 32 | 5);
    const std::string most = "may be at most ", would = "the launcher would be ";
    ASSERT_NE(err.find(most), std::string::npos) << err;
    EXPECT_NE(err.find("(Windows runs no executable over 4294967295 bytes"), std::string::npos) << err;
    const uint64_t limit = std::stoull(err.substr(err.find(most) + most.size()));
    const uint64_t image = std::stoull(err.substr(err.find(would) + would.size())) - ((uint64_t{1} << 32) | 5);
    EXPECT_GT(limit, uint64_t{3} << 30);
    EXPECT_NE(refusal(limit - image + 1).find(would + std::to_string(limit + 1) + " bytes"), std::string::npos);
}

} // namespace
