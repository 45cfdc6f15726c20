// list, extract and verify on launchers built from real folders and from
// hand-made attached data, damaged in chosen places.
#include "packer_test_support.h"

#include <zstd.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace {

class Inspect : public PackerTest {
protected:
    // Links a launcher around hand-made attached data.
    fs::path link(const std::string &data, const std::string &name)
    {
        const fs::path blob = scratch / (name + ".bin"), exe = scratch / (name + ".exe");
        write_file(blob, data);
        RunResult r = run_pack({"--kit", real_kit().string(), "link", "--attached-data", blob.string(), "-o",
                                exe.string()},
                               temp);
        EXPECT_EQ(r.status, 0) << r.err;
        return exe;
    }

    // verify fails with one line naming the launcher and holding `needle`.
    void expect_damage(const fs::path &exe, const std::string &needle)
    {
        RunResult r = run_pack({"verify", exe.string()}, temp);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind("veskar-pack: '" + exe.string() + "': ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(needle), std::string::npos) << "expected '" << needle << "' in: " << r.err;
    }
};

TEST_F(Inspect, RoundTripOfAFolder)
{
    REQUIRE_KIT();
    const fs::path app = scratch / "app";
    std::string big;
    for (unsigned i = 0; i < 300000; i++)
        big += std::to_string(i * 7919u % 10007u);
    write_file(app / "bin" / "app.dll", make_dll());
    write_file(app / "empty.txt", "");
    write_file(app / "data" / "big.bin", big);
    write_file(app / "data" / "deeper" / "still" / "leaf.txt", "leaf\n");
    write_file(app / u8"données" / u8"Привет" / u8"中文.txt", "unicode names");

    const fs::path exe = scratch / "app.exe";
    RunResult r = run_pack({"--kit", real_kit().string(), "build", "--quiet", "--dir", app.string(), "--app-library",
                            "bin/app.dll", "-o", exe.string(), "--level", "7"},
                           temp);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");

    r = run_pack({"--kit", real_kit().string(), "list", exe.string()}, temp);
    ASSERT_EQ(r.status, 0) << r.err;
    // The application library first, then the rest in name order.
    const std::string expected_records = "        size  name\n"
                                         "        1024  bin\\app.dll\n" +
                                         std::string(12 - std::to_string(big.size()).size(), ' ') +
                                         std::to_string(big.size()) + "  data\\big.bin\n" +
                                         "           5  data\\deeper\\still\\leaf.txt\n"
                                         "          13  donn\xc3\xa9" "es\\\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5"
                                         "\xd1\x82\\\xe4\xb8\xad\xe6\x96\x87.txt\n"
                                         "           0  empty.txt\n"
                                         "records: 5\n";
    EXPECT_EQ(r.out.substr(0, expected_records.size()), expected_records) << r.out;
    EXPECT_NE(r.out.find("uncompressed: " + std::to_string(big.size() + 1024 + 5 + 13) + " bytes of files"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("zstd level: 7\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("splash: none\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("icon: default\n"), std::string::npos) << r.out;

    r = run_pack({"verify", exe.string()}, temp);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("5 records"), std::string::npos) << r.out;

    const fs::path into = scratch / "extracted";
    r = run_pack({"extract", exe.string(), into.string()}, temp);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(files_below(into), files_below(app));
    for (const fs::path &f : files_below(app)) {
        if (fs::is_regular_file(app / f)) {
            EXPECT_EQ(read_file(into / f), read_file(app / f)) << f;
        }
    }
}

TEST_F(Inspect, ListShowsSplashIconAndUnrecordedLevel)
{
    REQUIRE_KIT();
    const fs::path app = scratch / "app";
    write_file(app / "app.dll", make_dll());
    write_file(scratch / "splash.png", make_png(3, 2));
    write_file(scratch / "icon.ico", make_icon(9));
    const fs::path exe = scratch / "app.exe";
    RunResult r = run_pack({"--kit", real_kit().string(), "build", "--dir", app.string(), "--app-library", "app.dll",
                            "-o", exe.string(), "--splash", (scratch / "splash.png").string(), "--icon",
                            (scratch / "icon.ico").string()},
                           temp);
    ASSERT_EQ(r.status, 0) << r.err;
    r = run_pack({"--kit", real_kit().string(), "list", exe.string()}, temp);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("splash: built in (" + std::to_string(make_png(3, 2).size()) + " bytes)\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("icon: custom (1 images)\n"), std::string::npos) << r.out;

    // The kit's own icon given explicitly is still the default one.
    r = run_pack({"--kit", real_kit().string(), "build", "--dir", app.string(), "--app-library", "app.dll", "-o",
                  exe.string(), "--icon", (real_kit() / "veskar.ico").string()},
                 temp);
    ASSERT_EQ(r.status, 0) << r.err;
    r = run_pack({"--kit", real_kit().string(), "list", exe.string()}, temp);
    EXPECT_NE(r.out.find("icon: default\n"), std::string::npos) << r.out;

    const fs::path linked = link(attached_data(record_stream({{u"app.dll", "x"}})), "linked");
    r = run_pack({"--kit", real_kit().string(), "list", linked.string()}, temp);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("zstd level: not recorded"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("splash: none\n"), std::string::npos) << r.out;
}

// The application identity's digits as the packer makes them: the SHA-256
// of its source and values, NUL-separated (printf's \\000).
std::string application_tag(const std::string &printf_format)
{
    return run_program({"/bin/sh", "-c", "printf '" + printf_format + "' | sha256sum"}).out.substr(0, 16);
}

TEST_F(Inspect, ListShowsTheUnpackDirectoryAndTheIdentities)
{
    REQUIRE_KIT();
    const fs::path blob = scratch / "data.bin";
    write_file(blob, attached_data(record_stream({{u"app.dll", "MZ"}, {u"data\\a.txt", "a"}})));
    const std::string sum = run_program({"sha256sum", blob.string()}).out.substr(0, 64);
    const std::string kept = "_" + sum.substr(0, 16) + " and checked at every start (archive identity " + sum + ")";
    const std::string company = "CompanyName=Veskar tests", product = "ProductName=Probe";
    // Empty lines are not looked at; without an identity line none is shown.
    const struct {
        std::vector<std::string> options;
        std::string output, spec_line, reuse_line, identity_line, process_line;
    } cases[] = {
        {{}, "plain.exe", "{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM} (the default)", "no, a new directory removed at exit",
         ""},
        {{"--unpack-dir", "D:\\apps\\x_{RANDOM}"}, "placed.exe", "D:\\apps\\x_{RANDOM}",
         "no, a new directory removed at exit", ""},
        {{"--reuse"}, u8"My App \u2603!.exe", "{CACHE_DIR}\\VeskarOnefile\\My_App___",
         "yes, kept as {CACHE_DIR}\\VeskarOnefile\\My_App____" + application_tag("name\\000My_App___") + kept,
         "My_App___ (the launcher's name)", "in the launcher's own process"},
        {{"--reuse", "--unpack-dir", "{PROGRAM_DIR}\\cache", "--app-id", "Veskar.Cache", "--reuse-process", "child"}, "kept.exe",
         "{PROGRAM_DIR}\\cache", "yes, kept as {PROGRAM_DIR}\\cache_" + application_tag("app-id\\000Veskar.Cache") + kept,
         "Veskar.Cache (from --app-id)", "in a child process, the launcher waiting beside it"},
        {{"--reuse", "--version-info", company, "--version-info", product}, "described.exe", "",
         "yes, kept as {CACHE_DIR}\\VeskarOnefile\\described_" +
             application_tag("version-info\\000Veskar tests\\000Probe") + kept,
         "Veskar tests, Probe (from the CompanyName and ProductName of --version-info)"},
        {{"--reuse", "--app-id", "Veskar.Probe", "--version-info", company, "--version-info", product},
         "overruled.exe", "", "", "Veskar.Probe (from --app-id)"},
        {{"--reuse", "--version-info", product}, "half.exe", "", "", "half (the launcher's name)"},
    };
    for (const auto &c : cases) {
        const fs::path exe = scratch / fs::u8path(c.output);
        std::vector<std::string> args = {"--kit", real_kit().string(), "link", "--attached-data", blob.string(), "-o",
                                         exe.u8string()};
        args.insert(args.end(), c.options.begin(), c.options.end());
        RunResult r = run_pack(args, temp);
        ASSERT_EQ(r.status, 0) << r.err;
        r = run_pack({"--kit", real_kit().string(), "list", exe.u8string()}, temp);
        ASSERT_EQ(r.status, 0) << r.err;
        for (const auto &[key, value] : {std::pair{"unpack directory", c.spec_line}, {"reuses its tree", c.reuse_line},
                                         {"application identity", c.identity_line},
                                         {"runs the application", c.process_line}})
            EXPECT_TRUE(value.empty() || r.out.find("\n" + std::string(key) + ": " + value + "\n") != std::string::npos)
                << r.out;
        EXPECT_EQ(r.out.find("\napplication identity: ") != std::string::npos, !c.identity_line.empty()) << r.out;
        EXPECT_EQ(r.out.find("\nruns the application: ") != std::string::npos, !c.identity_line.empty()) << r.out;
    }
}

TEST_F(Inspect, ListShowsTheEntryAndItsFixedArguments)
{
    REQUIRE_KIT();
    const fs::path blob = scratch / "data.bin", exe = scratch / "linked.exe";
    write_file(blob, attached_data(record_stream({{u"bin\\tool.exe", "MZ"}, {u"main.js", "1"}})));
    const std::string sum = run_program({"sha256sum", blob.string()}).out.substr(0, 64);
    // An argument that reads like the identity's line must not take its place.
    const std::string like_identity = "archive=" + std::string(64, '0');
    const struct {
        std::vector<std::string> options;
        std::string notes, listed;
    } cases[] = {
        {{"--app-exe", "bin\\tool.exe"}, "entry=exe\n", "entry: program bin\\tool.exe\nfixed arguments: none\n"},
        {{"--app-exe", "x", "--app-arg", "{APP_DIR}\\main.js", "--app-arg=", "--app-arg=--a b", "--app-arg",
          like_identity, "--reuse"},
         "entry=exe\napp_arg={APP_DIR}\\main.js\napp_arg=\napp_arg=--a b\napp_arg=" + like_identity +
             "\nunpack_dir={CACHE_DIR}\\VeskarOnefile\\linked\nreuse=1\nname=linked\napp_id=linked\napp_id_from=name\n"
             "application=" + application_tag("name\\000linked") + "\n",
         "fixed arguments:\n  \"{APP_DIR}\\main.js\"\n  \"\"\n  \"--a b\"\n  \"" + like_identity + "\"\n"},
        // A program always runs as a process of its own.
        {{"--app-exe", "x", "--reuse", "--reuse-process", "self"}, "entry=exe\n",
         "runs the application: in a child process, as a program entry always does\n"},
        // Nothing from the launcher reaches the terminal as a control.
        {{"--app-exe", "x", "--app-arg", "\x1b[2J\x7f\xc2\x9b", "--version-info", "ProductName=a\x1b]0;b\x07"},
         "entry=exe\n", "fixed arguments:\n  \"\\u001B[2J\\u007F\\u009B\"\n"},
        {{"--app-exe", "x", "--version-info", "ProductName=a\x1b]0;b\x07"}, "entry=exe\n",
         "  ProductName: a\\u001B]0;b\\u0007\n"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = {"--kit", real_kit().string(), "link", "--attached-data", blob.string(), "-o",
                                         exe.string()};
        args.insert(args.end(), c.options.begin(), c.options.end());
        RunResult r = run_pack(args, temp);
        ASSERT_EQ(r.status, 0) << r.err;
        // The archive's place and identity come first, whatever follows.
        EXPECT_NE(read_file(exe).find("\narchive=" + sum + "\n" + c.notes), std::string::npos) << c.notes;
        r = run_pack({"--kit", real_kit().string(), "list", exe.string()}, temp);
        EXPECT_NE(r.out.find(c.listed), std::string::npos) << r.out;
    }
}

// A byte that is not UTF-8, which only a crafted launcher's notes hold, still
// gives JSON that a strict reader takes.
TEST_F(Inspect, JsonStaysValidUtf8)
{
    REQUIRE_KIT();
    const fs::path blob = scratch / "data.bin", exe = scratch / "crafted.exe", json = scratch / "list.json";
    write_file(blob, attached_data(record_stream({{u"tool.exe", "MZ"}})));
    RunResult r = run_pack({"--kit", real_kit().string(), "link", "--attached-data", blob.string(), "-o", exe.string(),
                            "--app-exe", "tool.exe", "--app-arg", "marker"},
                           temp);
    ASSERT_EQ(r.status, 0) << r.err;
    std::string bytes = read_file(exe);
    const size_t at = bytes.find("app_arg=marker");
    ASSERT_NE(at, std::string::npos);
    bytes[at + 8] = '\xff';
    write_file(exe, bytes);
    r = run_pack({"--kit", real_kit().string(), "list", "--json", exe.string()}, temp);
    ASSERT_EQ(r.status, 0) << r.err;
    write_file(json, r.out);
    // A strict decoder refuses any byte that is not UTF-8; the argument
    // then reads with U+FFFD in the byte's place.
    r = run_program({"python3", "-c",
                     "import json, sys; print(json.loads(open(sys.argv[1], 'rb').read().decode())['entry']['arguments'])",
                     json.string()});
    EXPECT_EQ(r.out, "['\xef\xbf\xbd" "arker']\n") << r.err;
}

TEST_F(Inspect, LinkedFilesArePackedAsCopies)
{
    REQUIRE_KIT();
    const fs::path app = scratch / "app";
    write_file(app / "node_modules" / "tool" / "cli.js", "console.log(1)\n");
    write_file(app / "node.exe", make_program());
    fs::create_directories(app / "node_modules" / ".bin");
    fs::create_symlink("../tool/cli.js", app / "node_modules" / ".bin" / "tool");
    fs::create_symlink("node.exe", app / "entry.exe");
    const fs::path exe = scratch / "app.exe", out = scratch / "out";
    RunResult r = run_pack({"--kit", real_kit().string(), "build", "--quiet", "--dir", app.string(), "--app-exe",
                            "entry.exe", "-o", exe.string()},
                           temp);
    ASSERT_EQ(r.status, 0) << r.err;
    r = run_pack({"extract", exe.string(), out.string()}, temp);
    ASSERT_EQ(r.status, 0) << r.err;
    for (const auto &[copy, original] : {std::pair{"node_modules/.bin/tool", "node_modules/tool/cli.js"},
                                         std::pair{"entry.exe", "node.exe"}}) {
        EXPECT_FALSE(fs::is_symlink(out / copy)) << copy;
        EXPECT_EQ(read_file(out / copy), read_file(app / original)) << copy;
    }
}

// A launcher made before the archive moved after the image: its archive is
// the last section, .veskar (a seed of the reader's fuzzer, kept as made).
TEST_F(Inspect, OldLayoutIsRead)
{
    const std::string old = VESKAR_OLD_LAUNCHER;
    RunResult r = run_pack({"verify", old}, temp);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("attached data intact: 3 records"), std::string::npos) << r.out;
    r = run_pack({"list", old}, temp);
    EXPECT_NE(r.out.find("data\\a.txt"), std::string::npos) << r.out;
    r = run_pack({"extract", old, (scratch / "into").string()}, temp);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(scratch / "into" / "data" / "a.txt"), "text\n");
}

TEST_F(Inspect, NotALauncher)
{
    write_file(scratch / "text.exe", "just some text, not an executable");
    RunResult r = run_pack({"list", (scratch / "text.exe").string()}, temp);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "veskar-pack: '" + (scratch / "text.exe").string() + "' is not a 64-bit Windows executable\n");
    r = run_pack({"verify", (scratch / "absent.exe").string()}, temp);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot open '" + (scratch / "absent.exe").string() + "'"), std::string::npos) << r.err;

    REQUIRE_KIT();
    // Real executables whose notes name no attached data, or a place past the file's end.
    const fs::path exe = link(attached_data(record_stream({{u"app.dll", "x"}})), "renamed");
    const std::string bytes = read_file(exe);
    const size_t at = bytes.find("archive_offset=");
    ASSERT_NE(at, std::string::npos);
    const struct {
        size_t offset;
        std::string replacement, message;
    } cases[] = {
        {at + 14, "x", "is not a launcher built by veskar-pack: its build notes name no attached data"},
        {at + 15, "1", "past the file's end"},
        {at + 32 + 15, "f", "past the file's end"},
    };
    for (const auto &c : cases) {
        write_file(exe, std::string(bytes).replace(c.offset, 1, c.replacement));
        for (const char *command : {"list", "verify", "extract"}) {
            std::vector<std::string> args{command, exe.string()};
            if (std::string(command) == "extract")
                args.push_back((scratch / "into").string());
            r = run_pack(args, temp);
            EXPECT_EQ(r.status, 1) << command;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
            EXPECT_NE(r.err.find(c.message), std::string::npos) << command << ": " << r.err;
        }
    }
}

TEST_F(Inspect, VerifySaysWhatIsWrongAndWhere)
{
    REQUIRE_KIT();
    const std::string good = record_stream({{u"app.dll", "library"}, {u"a.txt", "text"}});
    // app.dll record: 8 units of name with terminator (16 bytes), size (8), 7 bytes.
    const size_t second = 16 + 8 + 7;
    expect_damage(link(attached_data(good.substr(0, good.size() - 2)), "no-end"),
                  "the record stream ends at offset " + std::to_string(good.size() - 2) + " without its end marker");
    expect_damage(link(attached_data(good.substr(0, second + 12 + 8 + 2)), "cut-content"),
                  "record 1 (at record stream offset " + std::to_string(second) +
                      ") 'a.txt': the stream ends after 2 of its 4 bytes");
    expect_damage(link(attached_data(good.substr(0, second + 5)), "cut-name"),
                  "record 1 (at record stream offset " + std::to_string(second) + "): the stream ends inside its name");
    expect_damage(link(attached_data(record_stream({{u"app.dll", "x"}}, "more")), "after-end"),
                  "goes on after its end marker at offset 25");
    expect_damage(link(attached_data(record_stream({{u"app.dll", "x"}, {u"sub\\..\\..\\evil", "x"}})), "dotdot"),
                  "record 1 (at record stream offset 25) named 'sub\\..\\..\\evil' is unsafe: the name has a '.' or "
                  "'..' component");
    expect_damage(link(attached_data(record_stream({{u"C:\\x", "x"}})), "drive"), "starts with a drive");
    expect_damage(link(attached_data(record_stream({{u"\\x", "x"}})), "absolute"), "is absolute");
    expect_damage(link(attached_data(record_stream({{std::u16string(1024, u'n'), "x"}})), "long"),
                  "record 0 (at record stream offset 0): the name has more than 1023 UTF-16 units");
    expect_damage(link(attached_data(record_stream({{u"app.dll", "x"}, {u"sub\\Con .txt", "x"}})), "device"),
                  "record 1 (at record stream offset 25) named 'sub\\Con .txt' is unsafe: 'Con .txt' is a Windows "
                  "device name");
    // Records 1 and 2 start at 25 and 25 + 5 * 2 + 8 + 1.
    expect_damage(link(attached_data(record_stream({{u"app.dll", "x"}, {u"\u0444\u0430\u0439\u043b", "x"},
                                                    {u"\u0424\u0410\u0419\u041b", "x"}})),
                       "case"),
                  "record 2 (at record stream offset 44) named '\u0424\u0410\u0419\u041b' is unsafe: Windows, "
                  "which ignores letter case, would unpack it onto record 1 '\u0444\u0430\u0439\u043b'");
    expect_damage(link(attached_data(record_stream({{u"app.dll", "x"}, {u"APP.DLL\\x", "x"}})), "file-folder"),
                  "record 1 (at record stream offset 25) named 'APP.DLL\\x' is unsafe: Windows, which ignores "
                  "letter case, cannot unpack it beside the file or folder of record 0 'app.dll'");
    expect_damage(link(attached_data(record_stream({})), "empty"), "holds no records");
    expect_damage(link(attached_data(good, false), "no-checksum"), "carries no content checksum");

    // The checksum is the frame's last 4 bytes, before the fill and trailer.
    std::string data = attached_data(good);
    size_t frame_end = 3 + ZSTD_findFrameCompressedSize(data.data() + 3, data.size() - 3);
    data[frame_end - 1] ^= 0x40;
    expect_damage(link(data, "checksum"), "checksum");

    data = attached_data(good);
    data[data.size() - 8] ^= 1;
    expect_damage(link(data, "trailer"), "the trailer at attached data offset " + std::to_string(data.size() - 8));
    data = "QVZ" + attached_data(good).substr(3);
    expect_damage(link(data, "marker"), "compression marker is not \"Y\"");
    data = attached_data(good);
    data.resize(data.size() - 8);
    expect_damage(link(data, "no-trailer"), "the trailer at attached data offset " + std::to_string(data.size()));
    data = attached_data(good) + std::string(16, '\0');
    expect_damage(link(data, "after-trailer"), "goes on after its trailer");

    // A frame whose window is beyond what the launcher decodes.
    ZSTD_CCtx *c = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1);
    ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, 28);
    ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 0);
    ZSTD_CCtx_setPledgedSrcSize(c, ZSTD_CONTENTSIZE_UNKNOWN);
    std::string frame(ZSTD_compressBound(good.size()) + 64, '\0');
    ZSTD_outBuffer out{frame.data(), frame.size(), 0};
    ZSTD_inBuffer in{good.data(), good.size(), 0};
    // Fed in two calls, so zstd cannot shrink the window to the input's size.
    ASSERT_FALSE(ZSTD_isError(ZSTD_compressStream2(c, &out, &in, ZSTD_e_continue)));
    ASSERT_EQ(ZSTD_compressStream2(c, &out, &in, ZSTD_e_end), 0u);
    ZSTD_freeCCtx(c);
    frame.resize(out.pos);
    data = "QVY" + frame;
    data += std::string((8 - data.size() % 8) % 8, '\0');
    uint64_t trailer = data.size();
    for (int i = 0; i < 8; i++)
        data += static_cast<char>(trailer >> (8 * i));
    expect_damage(link(data, "window"), "cannot be decoded at record stream offset 0");

    RunResult r = run_pack({"verify", link(attached_data(good), "good").string()}, temp);
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(Inspect, ExtractStaysInsideItsFolder)
{
    REQUIRE_KIT();
    const fs::path into = scratch / "box" / "into";
    fs::create_directories(into);
    for (const char16_t *evil : {u"..\\escaped.txt", u"sub\\..\\..\\escaped.txt", u"\\escaped.txt",
                                       u"C:\\escaped.txt", u"sub/../../escaped.txt"}) {
        const fs::path exe = link(attached_data(record_stream({{u"app.dll", "x"}, {evil, "evil"}})), "evil");
        RunResult r = run_pack({"extract", exe.string(), into.string()}, temp);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("record 1 (at record stream offset 25) named"), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(scratch / "box" / "escaped.txt"));
        EXPECT_FALSE(fs::exists(scratch / "escaped.txt"));
    }
    // A folder that holds anything, a link among it, is not written into.
    fs::remove_all(into);
    fs::create_directories(into);
    fs::create_directory_symlink(scratch / "box", into / "sub");
    const fs::path exe = link(attached_data(record_stream({{u"app.dll", "x"}, {u"sub\\escaped.txt", "evil"}})),
                              "through-link");
    RunResult r = run_pack({"extract", exe.string(), into.string()}, temp);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "veskar-pack: '" + into.string() + "' is a folder that is not empty: extract into a new or "
                     "empty folder\n");
    EXPECT_FALSE(fs::exists(scratch / "box" / "escaped.txt"));
}

// Any file, however large or whatever it is, and any damage: one line,
// status 1, and nothing written, for each of the three commands.
TEST_F(Inspect, EveryFaultIsOneLineAndLeavesNothing)
{
    const fs::path folder = scratch / "folder.exe", fifo = scratch / "fifo.exe", sparse = scratch / "sparse.exe";
    fs::create_directories(folder);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    write_file(sparse, "");
    fs::resize_file(sparse, 200'000'000'000);  // sparse: nothing of it may be read
    std::vector<std::pair<fs::path, std::string>> cases = {
        {folder, "' is a folder, not a launcher"},
        {fifo, "' is not a regular file"},
        {sparse, "' is 200000000000 bytes, larger than any executable Windows runs (4 GiB)"},
        {scratch / "absent.exe", "cannot open '"},
    };
    if (!real_kit().empty()) {
        const fs::path big = scratch / "big.exe";
        fs::copy_file(link(attached_data(record_stream({{u"app.dll", "x"}})), "small"), big);
        fs::resize_file(big, uint64_t{5} << 30);
        cases.emplace_back(big, "' is 5368709120 bytes, larger than any executable Windows runs");
        std::string data = attached_data(record_stream({{u"app.dll", "library"}, {u"a.txt", "text"}}));
        data[3 + ZSTD_findFrameCompressedSize(data.data() + 3, data.size() - 3) - 1] ^= 0x40;
        cases.emplace_back(link(data, "checksum"), "checksum");
        cases.emplace_back(link(attached_data(record_stream({{u"app.dll", "x"}, {std::u16string(256, u'n'), "x"}})),
                                "component"),
                           "record 1 (at record stream offset 25) named '" + std::string(256, 'n') +
                               "' is unsafe: a component of the name is longer than 255 UTF-16 units");
        cases.emplace_back(link(attached_data(record_stream({{u"app.dll", "x"}, {u"longfilename.txt", "x"},
                                                             {u"LONGFI~1.TXT", "x"}})),
                                "short"),
                           "record 2 (at record stream offset 68) named 'LONGFI~1.TXT' is unsafe: where Windows "
                           "makes short (8.3) names, one of it and record 1 'longfilename.txt' has the form");
    }
    const fs::path into = scratch / "new" / "into";
    for (const auto &[file, needle] : cases) {
        for (const char *command : {"list", "verify", "extract"}) {
            std::vector<std::string> args{command, file.string()};
            if (std::string(command) == "extract")
                args.push_back(into.string());
            RunResult r = run_pack(args, temp);
            EXPECT_EQ(r.status, 1) << command << " " << file;
            EXPECT_EQ(r.err.rfind("veskar-pack: ", 0), 0u) << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
            EXPECT_NE(r.err.find(needle), std::string::npos) << "expected '" << needle << "' in: " << r.err;
            EXPECT_FALSE(fs::exists(scratch / "new")) << command << " " << file;
            EXPECT_TRUE(fs::is_empty(temp));
        }
    }
}

// A crafted archive of 200,000 records whose names differ in each of four
// long components: checking them against one another stops at its bound,
// in one line, within a limit on the whole process's memory.
TEST_F(Inspect, CraftedNamesStayWithinABound)
{
    REQUIRE_KIT();
    ZSTD_CCtx *c = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1);
    std::string frame, chunk(ZSTD_CStreamOutSize(), '\0');
    auto feed = [&](const std::string &bytes, ZSTD_EndDirective mode) {
        ZSTD_inBuffer in{bytes.data(), bytes.size(), 0};
        for (size_t left = 1; in.pos < in.size || (mode == ZSTD_e_end && left != 0);) {
            ZSTD_outBuffer out{chunk.data(), chunk.size(), 0};
            left = ZSTD_compressStream2(c, &out, &in, mode);
            ASSERT_FALSE(ZSTD_isError(left));
            frame.append(chunk.data(), out.pos);
        }
    };
    for (unsigned i = 0; i < 200000; i++) {
        std::u16string name;
        for (int k = 0; k < 4; k++) {
            std::string digits = std::to_string(i * 4 + k);
            name += std::u16string(digits.begin(), digits.end()) + std::u16string(249 - digits.size(), u'n');
            name += k < 3 ? u"\\" : u"";
        }
        feed(record_stream({{name, ""}}).substr(0, name.size() * 2 + 10), ZSTD_e_continue);
    }
    feed(std::string(2, '\0'), ZSTD_e_end);
    ZSTD_freeCCtx(c);
    std::string data = "QVY" + frame;
    data += std::string((8 - data.size() % 8) % 8, '\0');
    const uint64_t trailer = data.size();
    for (int i = 0; i < 8; i++)
        data += static_cast<char>(trailer >> (8 * i));
    const fs::path exe = link(data, "names");
    RunResult r = run_program({"/bin/sh", "-c", "ulimit -v 1048576 && exec \"$0\" verify \"$1\"", VESKAR_PACK_PATH,
                               exe.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find("the names up to here take more than 256 MiB to check against one another"),
              std::string::npos)
        << r.err;
}

// What verify checks beyond the attached data: the notes against it, the PE
// checksum, the signature and whatever follows them.
TEST_F(Inspect, VerifyChecksNotesChecksumAndSignature)
{
    REQUIRE_KIT();
    const fs::path blob = scratch / "data.bin", good = scratch / "good.exe";
    write_file(blob, attached_data(record_stream({{u"app.dll", "MZ"}, {u"data\\a.txt", "a"}})));
    RunResult r = run_pack({"--kit", real_kit().string(), "link", "--attached-data", blob.string(), "-o",
                            good.string(), "--reuse"},
                           temp);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string key = scratch / "key.pem", certificate = scratch / "cert.pem";
    ASSERT_EQ(run_program({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out",
                           certificate, "-subj", "/CN=Veskar tests", "-days", "2"})
                  .status,
              0);
    const fs::path signed_exe = scratch / "signed.exe";
    r = run_program({"osslsigncode", "sign", "-certs", certificate, "-key", key, "-in", good.string(), "-out",
                     signed_exe.string()});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string bytes = read_file(good);
    auto replaced = [&](const std::string &from, const std::string &to) {
        std::string changed = bytes;
        const size_t at = changed.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return changed.replace(at, from.size(), to);
    };
    const size_t identity = bytes.find("\narchive=") + 9;
    std::string other_identity = bytes;
    other_identity[identity] = other_identity[identity] == '0' ? '1' : '0';
    std::string stub = bytes;
    stub[0x4E] ^= 1;  // in the DOS stub's message, which nothing reads
    // The signed launcher with its notes pointing at a copy of the archive
    // appended after the signature.
    std::string moved = read_file(signed_exe);
    const size_t offset_at = moved.find("archive_offset=") + 15, length_at = moved.find("archive_length=") + 15;
    const std::string archive = moved.substr(std::stoull(moved.substr(offset_at, 16), nullptr, 16),
                                             std::stoull(moved.substr(length_at, 16), nullptr, 16));
    char digits[17];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(moved.size()));
    moved.replace(offset_at, 16, digits);
    moved += archive;
    const struct {
        std::string name, bytes;
        int status;
        std::string needle;  // in standard output for 0, in the error line for 1
    } cases[] = {
        {"good", bytes, 0, "build notes match it: the archive identity and 2 file sizes and names\n"},
        {"good", bytes, 0, "signed: no\n"},
        {"size", replaced("file=1 data\\a.txt", "file=9 data\\a.txt"), 1,
         "the build notes list file 1 as '9 data\\a.txt' where the attached data holds '1 data\\a.txt'"},
        {"identity", other_identity, 1, "the build notes give the archive identity "},
        {"stub", stub, 1, "the PE checksum is "},
        {"appended", bytes + std::string(100, 'x'), 1, "the PE checksum is "},
        {"appended", bytes + std::string(100, 'x'), 1, "100 bytes follow the attached data: no signature covers them"},
        {"signed", read_file(signed_exe), 0, "signed: yes, and the signature covers the whole attached data"},
        {"signed-appended", read_file(signed_exe) + "12345", 1, "5 bytes follow the signature: no signature covers"},
        {"after-signature", moved, 1, "the attached data lies after the signature's certificate table"},
    };
    for (const auto &c : cases) {
        const fs::path exe = scratch / (c.name + ".exe");
        write_file(exe, c.bytes);
        r = run_pack({"verify", exe.string()}, temp);
        EXPECT_EQ(r.status, c.status) << c.name << ": " << r.err;
        EXPECT_NE((c.status == 0 || c.needle.find("bytes follow") != std::string::npos ? r.out : r.err).find(c.needle),
                  std::string::npos)
            << c.name << ":\n" << r.out << r.err;
    }
}

// A failed extract removes what it wrote and the folders it made; a folder
// with anything in it is never written into.
TEST_F(Inspect, ExtractLeavesNothingBehind)
{
    REQUIRE_KIT();
    std::string data = attached_data(record_stream({{u"app.dll", std::string(100000, 'x')}, {u"d\\a.txt", "a"}}));
    data[3 + ZSTD_findFrameCompressedSize(data.data() + 3, data.size() - 3) - 1] ^= 0x40;
    const fs::path damaged = link(data, "damaged");
    const fs::path good = link(attached_data(record_stream({{u"app.dll", "x"}})), "good");
    fs::create_directories(scratch / "empty");
    write_file(scratch / "full" / "mine.txt", "mine");
    const struct {
        fs::path launcher, into;
        int status;
    } cases[] = {
        {damaged, scratch / "place" / "deeper" / "out", 1},
        {damaged, scratch / "empty", 1},
        {good, scratch / "full", 1},
        {good, scratch / "empty", 0},
    };
    for (const auto &c : cases) {
        RunResult r = run_pack({"extract", c.launcher.string(), c.into.string()}, temp);
        EXPECT_EQ(r.status, c.status) << c.into << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), c.status) << r.err;
    }
    // A write the system refuses (here past a file size limit, as a full
    // disk would) is named with the system's reason.
    const fs::path big = link(attached_data(record_stream({{u"app.dll", std::string(100000, 'x')}})), "big");
    RunResult r = run_program({"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 50; exec \"$0\" extract \"$1\" \"$2\"",
                               VESKAR_PACK_PATH, big.string(), (scratch / "place" / "out").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("/app.dll': " + std::string(std::strerror(EFBIG)) + "\n"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(scratch / "place"));
    EXPECT_EQ(read_file(scratch / "full" / "mine.txt"), "mine");
    EXPECT_EQ(files_below(scratch / "full"), std::vector<fs::path>{"mine.txt"});
    EXPECT_EQ(read_file(scratch / "empty" / "app.dll"), "x");
    // No partial folder stays beside the targets.
    std::vector<fs::path> beside;
    for (const fs::directory_entry &e : fs::directory_iterator(scratch)) {
        if (e.path().filename().string()[0] == '.')
            beside.push_back(e.path().filename());
    }
    EXPECT_EQ(beside, std::vector<fs::path>{});
}

// A launcher made before the attached data moved after the image: the same
// bytes as the last section, .veskar, and no location in the notes. Made
// here from a new one, as the packer no longer writes them.
std::string with_attached_data_section(std::string exe)
{
    auto get = [&](size_t at, int bytes) {
        uint64_t v = 0;
        for (int i = bytes - 1; i >= 0; i--)
            v = v << 8 | static_cast<unsigned char>(exe[at + i]);
        return v;
    };
    auto put = [&](size_t at, uint64_t v, int bytes) {
        for (int i = 0; i < bytes; i++)
            exe[at + i] = static_cast<char>(v >> (8 * i));
    };
    auto note = [&](const std::string &key) {
        const size_t at = exe.find(key + "=");
        exe[at] = 'x';  // the key is no longer one the readers know
        return std::stoull(exe.substr(at + key.size() + 1, 16), nullptr, 16);
    };
    const uint64_t offset = note("archive_offset"), length = note("archive_length");
    const size_t pe = get(0x3C, 4), sections = get(pe + 6, 2), optional = pe + 24;
    const size_t table = optional + get(pe + 20, 2), last = table + 40 * (sections - 1);
    const uint64_t section_alignment = get(optional + 32, 4), file_alignment = get(optional + 36, 4);
    auto align = [](uint64_t v, uint64_t a) { return (v + a - 1) / a * a; };
    const uint64_t address = align(get(last + 12, 4) + get(last + 8, 4), section_alignment);
    const size_t header = table + 40 * sections;
    exe.replace(header, 8, std::string(".veskar\0", 8));
    put(header + 8, length, 4), put(header + 12, address, 4), put(header + 16, align(length, file_alignment), 4);
    put(header + 20, offset, 4), put(header + 36, 0x40000040, 4);  // initialised, readable data
    put(pe + 6, sections + 1, 2);
    put(optional + 56, address + align(length, section_alignment), 4);
    exe.resize(offset + align(length, file_alignment), '\0');
    put(optional + 64, 0, 4);
    uint64_t sum = 0;
    for (size_t i = 0; i < exe.size(); i += 2)
        sum += static_cast<unsigned char>(exe[i]) | (i + 1 < exe.size() ? static_cast<unsigned char>(exe[i + 1]) << 8 : 0);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    put(optional + 64, sum + exe.size(), 4);
    return exe;
}

TEST_F(Inspect, LaunchersMadeBeforeTheArchiveMovedAfterTheImage)
{
    REQUIRE_KIT();
    const fs::path blob = scratch / "data.bin", made = scratch / "new.exe", old = scratch / "old.exe";
    write_file(blob, attached_data(record_stream({{u"app.dll", "MZ"}, {u"data\\a.txt", "a"}})));
    RunResult r = run_pack({"--kit", real_kit().string(), "link", "--attached-data", blob.string(), "-o",
                            made.string(), "--reuse"},
                           temp);
    ASSERT_EQ(r.status, 0) << r.err;
    write_file(old, with_attached_data_section(read_file(made)));
    r = run_pack({"--kit", real_kit().string(), "list", old.string()}, temp);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("records: 2\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("attached data: in the .veskar section"), std::string::npos) << r.out;
    r = run_pack({"verify", old.string()}, temp);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("build notes match it: the archive identity and 2 file sizes and names\n"),
              std::string::npos)
        << r.out;
    r = run_pack({"extract", old.string(), (scratch / "out").string()}, temp);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(scratch / "out" / "data" / "a.txt"), "a");
}

} // namespace

// A reusing launcher's archive in frames at record boundaries, indexed in
// its notes: verify holds the index to the frames, extract reads them all;
// a per-run launcher keeps one frame and no index.
TEST_F(Inspect, ReusingArchiveIsFramedAndIndexed)
{
    REQUIRE_KIT();
    const fs::path app = scratch / "framed";
    std::string big(17u << 20, '\0');
    for (size_t i = 0; i < big.size(); i++)
        big[i] = static_cast<char>((i * 2654435761u) >> 13);  // poorly compressible
    write_file(app / "app.dll", make_dll());
    write_file(app / "a.bin", big);  // a frame of its own: more than one frame holds
    write_file(app / "b.bin", big.substr(0, 3u << 20));
    write_file(app / "c.txt", "last");
    const fs::path framed = scratch / "framed.exe", plain = scratch / "plain.exe";
    for (const auto &[exe, reuse] : {std::pair{framed, true}, std::pair{plain, false}}) {
        std::vector<std::string> arguments{"--kit", real_kit().string(), "build", "--quiet", "--dir", app.string(),
                                           "--app-library", "app.dll", "-o", exe.string(), "--level", "1"};
        if (reuse)
            arguments.push_back("--reuse");
        RunResult r = run_pack(arguments, temp);
        ASSERT_EQ(r.status, 0) << r.err;
    }
    EXPECT_EQ(read_file(plain).find("\nframes="), std::string::npos);
    RunResult r = run_pack({"verify", framed.string()}, temp);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("and the index of its 3 frames"), std::string::npos) << r.out;
    r = run_pack({"extract", framed.string(), (scratch / "out").string()}, temp);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(scratch / "out" / "a.bin"), big);
    EXPECT_EQ(read_file(scratch / "out" / "c.txt"), "last");
    // The second entry names record 2 instead of 1.
    std::string bytes = read_file(framed);
    const size_t entry = bytes.find("\nframes=") + 8 + 32 + 15;
    bytes[entry] = '2';
    write_file(scratch / "damaged.exe", bytes);
    r = run_pack({"verify", (scratch / "damaged.exe").string()}, temp);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("frame index has entry 1 '0000000000000002"), std::string::npos) << r.err;
}
