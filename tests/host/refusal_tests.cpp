// What the packer refuses before writing anything: each refusal is one line
// naming the offending path, a non-zero status, no launcher and no
// temporary files left behind.
#include "packer_test_support.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

class Refusal : public PackerTest {
protected:
    void SetUp() override
    {
        PackerTest::SetUp();
        app = scratch / "app";
        write_file(app / "lib.dll", make_dll());
        write_file(app / "data" / "a.txt", "text");
        kit = make_dummy_kit(scratch / "kit");
        out = scratch / "out" / "launcher.exe";
        fs::create_directories(out.parent_path());
    }

    std::vector<std::string> build_args(const std::string &library = "lib.dll")
    {
        return {"--kit", kit.string(), "build", "--dir", app.string(), "--app-library", library, "-o", out.string(),
                "--depfile", (scratch / "out" / "launcher.d").string()};
    }

    std::vector<std::string> program_args()
    {
        std::vector<std::string> args = build_args();
        args[5] = "--app-exe", args[6] = "tool.exe";
        return args;
    }

    // Runs and checks the refusal: one line, naming `needle`, nothing written.
    void expect_refused(const std::vector<std::string> &args, const std::string &needle)
    {
        RunResult r = run_pack(args, temp);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind("veskar-pack: ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_NE(r.err.find(needle), std::string::npos) << "expected '" << needle << "' in: " << r.err;
        EXPECT_TRUE(fs::is_empty(out.parent_path())) << "something was written beside the launcher";
    }

    fs::path app, kit, out;
};

TEST_F(Refusal, ApplicationLibraryMissingOrNotAFile)
{
    expect_refused(build_args("missing.dll"), (app / "missing.dll").string() + "' does not exist");
    fs::create_directories(app / "folder.dll");
    expect_refused(build_args("folder.dll"), (app / "folder.dll").string() + "' is not a regular file");
}

TEST_F(Refusal, ApplicationLibraryThatCannotWork)
{
    // Each verdict is also pefile's, a reader that shares no code with the packer.
    const std::string dll = make_dll();
    const struct {
        std::string bytes, needle;
    } cases[] = {
        {"notes, not a library\n", "is not a 64-bit Windows DLL (not a Windows program or library at all)"},
        {dll.substr(0, 0x60), "is not a 64-bit Windows DLL (its headers are damaged or cut short)"},
        {make_dll("run_code", 0x014C), "is not a 64-bit Windows DLL (a 32-bit x86 image)"},
        {make_dll("run_code", 0xAA64), "is not a 64-bit Windows DLL (built for another processor, machine type "
                                       "0xAA64)"},
        {make_dll("run_code", 0x8664, false), "is not a 64-bit Windows DLL (a program, not a library)"},
        {make_dll(""), "exports no run_code (it exports nothing)"},
        {make_dll("run_codes"), "exports no run_code"},
        {make_dll("run_cod"), "exports no run_code"},
    };
    auto pefile_verdict = [&] {
        RunResult v = run_program({"/usr/bin/python3", VESKAR_PE_VERDICT, (app / "lib.dll").string()});
        EXPECT_EQ(v.status, 0) << v.err;
        return v.out.substr(0, v.out.size() - 1);
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.needle);
        write_file(app / "lib.dll", c.bytes);
        expect_refused(build_args(), "application library '" + (app / "lib.dll").string() + "' " + c.needle + ": ");
        EXPECT_NE(c.needle.find(pefile_verdict()), std::string::npos);
    }
    write_file(app / "lib.dll", dll);
    EXPECT_EQ(pefile_verdict(), "ok");
}

TEST_F(Refusal, ProgramEntryChecked)
{
    const struct {
        std::string bytes, needle;
    } cases[] = {
        {"#!/bin/sh\n", "is not a Windows program (not a PE image at all)"},
        {make_program().substr(0, 0x50), "is not a Windows program (its headers are damaged or cut short)"},
        {make_dll(), "is not a Windows program (a library, not a program)"},
        {make_program(0x01C4), "is not a Windows program (built for a processor Windows does not run it on, machine "
                                "type 0x01C4; x86-64, x86 and ARM64 are)"},
        {make_program(0x8664, 1), "is not a Windows program (subsystem 1, neither a console nor a GUI program)"},
        // Accepted: refused only later, for the dummy kit's launcher of the entry's subsystem.
        {make_program(0x8664, 3), "veskar-launcher-console.exe' is not a prebuilt launcher"},
        {make_program(0x014C, 2), "veskar-launcher.exe' is not a prebuilt launcher"},
        {make_program(0xAA64, 3), "veskar-launcher-console.exe' is not a prebuilt launcher"},
    };
    std::vector<std::string> args = program_args();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.needle);
        write_file(app / "tool.exe", c.bytes);
        expect_refused(args, c.needle.find("prebuilt") != std::string::npos
                                 ? c.needle
                                 : "application program '" + (app / "tool.exe").string() + "' " + c.needle +
                                       ": --app-exe names the .exe the launcher starts");
    }
}

TEST_F(Refusal, ApplicationLibraryNameLeavingTheFolder)
{
    write_file(scratch / "outside.dll", "x");
    expect_refused(build_args("../outside.dll"), "'../outside.dll' must name a file below");
    expect_refused(build_args("data/../lib.dll"), "'.' or '..' component");
    expect_refused(build_args("./lib.dll"), "'.' or '..' component");
    expect_refused(build_args("data//a.txt"), "empty component");
    expect_refused(build_args("data/"), "empty component");
    expect_refused(build_args((scratch / "outside.dll").string()), "absolute");
    expect_refused(build_args("C:\\lib.dll"), "drive");
    expect_refused(build_args("C:lib.dll"), "drive");
    expect_refused(build_args("lib.dll:stream"), "':'");
}

TEST_F(Refusal, NamesWindowsCannotUnpack)
{
    // More than 1023 UTF-16 units below the folder, in components Linux accepts.
    fs::path deep = app;
    for (int i = 0; i < 5; i++)
        deep /= std::string(200, 'd');
    write_file(deep / std::string(19, 'f'), "x");  // 5 * 201 + 19 = 1024 units
    expect_refused(build_args(), (deep / std::string(19, 'f')).string() + "' cannot be packed: the name is longer "
                                 "than 1023 UTF-16 units");
    fs::remove_all(app / std::string(200, 'd'));

    // Exactly 1023 units is allowed: checked by the refusal that follows it,
    // which is only reached once the long name has passed.
    fs::path fits = app / std::string(200, 'e') / std::string(200, 'e') / std::string(200, 'e') /
                    std::string(200, 'e') / std::string(1023 - 4 * 201 - 4, 'f');
    write_file(fits / "x:y", "x");
    expect_refused(build_args(), "x:y' cannot be packed");
    fs::remove_all(app / std::string(200, 'e'));

    write_file(app / "colon:name", "x");
    expect_refused(build_args(), (app / "colon:name").string() + "' cannot be packed");
    fs::remove(app / "colon:name");
    write_file(app / "back\\slash", "x");
    expect_refused(build_args(), (app / "back\\slash").string() + "' has a '\\'");
    fs::remove(app / "back\\slash");
    write_file(app / "trailing.", "x");
    expect_refused(build_args(), "ends in a dot or a space");
    fs::remove(app / "trailing.");
    write_file(app / "bad\xff.txt", "x");
    expect_refused(build_args(), "is not valid UTF-8");
    fs::remove(app / "bad\xff.txt");
    write_file(app / "sub\x01" / "a", "x");
    expect_refused(build_args(), "cannot be packed");
    fs::remove_all(app / "sub\x01");

    // Names that only Windows takes for one and the same file.
    write_file(app / "Data" / "A.txt", "x");
    expect_refused(build_args(), "'" + (app / "Data" / "A.txt").string() + "' and '" +
                                     (app / "data" / "a.txt").string() + "' differ only in case");
    fs::remove_all(app / "Data");
    write_file(app / "LIB.dll", "x");
    expect_refused(build_args(), "'" + (app / "lib.dll").string() + "' and '" + (app / "LIB.dll").string() +
                                     "' differ only in case");
}

// Names that one volume could take for one file through its short (8.3)
// names, and empty folders, which the launcher would not make.
TEST_F(Refusal, ShortNamesAndEmptyFolders)
{
    fs::create_directories(app / "logs" / "old");
    expect_refused(build_args(), "'" + (app / "logs" / "old").string() + "' is an empty folder, which the launcher "
                                 "would not make: put a file in it (such as .keep) or remove it");
    fs::remove_all(app / "logs");
    const std::pair<const char *, const char *> clashing[] = {
        {"longfilename.txt", "longfi~1.txt"},
        {"Program Files", "PROGRA~2"},
        {"a.textfile", "A~1.TEX"},
        {"Readme.markdown", "REAB12~1.MAR"},
    };
    for (const auto &[long_name, short_name] : clashing) {
        write_file(app / "data" / long_name, "x");
        write_file(app / "data" / short_name, "y");
        expect_refused(build_args(), "may name one file where Windows makes short (8.3) names");
        fs::remove(app / "data" / long_name);
        fs::remove(app / "data" / short_name);
    }
}

// Packs with the real kit: every name passed.
#define EXPECT_PACKED()                                                                                        \
    do {                                                                                                       \
        std::vector<std::string> args_ = build_args();                                                         \
        args_[1] = real_kit().string();                                                                        \
        RunResult r_ = run_pack(args_, temp);                                                                  \
        EXPECT_EQ(r_.status, 0) << r_.err;                                                                     \
        for (const fs::directory_entry &e_ : fs::directory_iterator(out.parent_path()))                        \
            fs::remove_all(e_.path());                                                                         \
    } while (0)

TEST_F(Refusal, WindowsDeviceNames)
{
    // Any component, any case, with or without an extension or the spaces
    // Windows strips before one.
    const std::pair<const char *, const char *> devices[] = {
        {"CON", "CON"}, {"prn", "prn"}, {"Aux", "Aux"}, {"nul.txt", "nul.txt"}, {"Con.tar.gz", "Con.tar.gz"},
        {"COM0", "COM0"}, {"com9.log", "com9.log"}, {"LPT5", "LPT5"}, {"lpt0", "lpt0"},
        {"COM\u00b9", "COM\u00b9"}, {"com\u00b2.x", "com\u00b2.x"}, {"LPT\u00b3", "LPT\u00b3"},
        {"NUL .txt", "NUL .txt"}, {"aux  .c", "aux  .c"}, {"sub/NUL/x.txt", "NUL"}, {"Lpt1.d/y", "Lpt1.d"}};
    for (const auto &[path, component] : devices) {
        SCOPED_TRACE(path);
        write_file(app / path, "x");
        expect_refused(build_args(), "' cannot be packed: '" + std::string(component) + "' is a Windows device name");
        fs::remove_all(app / *fs::path(path).begin());
    }
}

TEST_F(Refusal, NamesThatOnlyLookLikeDevices)
{
    REQUIRE_KIT();
    // They start like a device, or use digits Windows does not.
    for (const char *name : {"CONSOLE", "nul_file.txt", "COM10", "LPT", "xnul", "con-fig.txt", "COM\u2074",
                             "sub/auxiliary/x", ".nul"})
        write_file(app / name, "x");
    EXPECT_PACKED();
}

TEST_F(Refusal, NamesThatOnlyLookLikeShortNames)
{
    REQUIRE_KIT();
    // Short names themselves, which get no other, or short-name forms that
    // no long name beside them can be given.
    for (const char *name : {"readme.txt", "readme~1.txt", "abcdefgh.txt", "ab~1.txt", "notes.markdown",
                             "other~1.mar", "x~y.txt", "sub/longfilename.txt", "longfi~1.txt"})
        write_file(app / name, "x");
    EXPECT_PACKED();
}

TEST_F(Refusal, CaseFoldedTheWayWindowsFoldsIt)
{
    // Simple upper-case mapping of each UTF-16 unit: Cyrillic, Greek final
    // sigma and titlecase letters meet their capitals; "\u00df" has no
    // simple capital, and letters beyond the 16-bit table compare as they are.
    const struct {
        const char *a, *b;
        bool clash;
    } cases[] = {
        {"\u0444\u0430\u0439\u043b", "\u0424\u0410\u0419\u041b", true},
        {"\u03b1\u03c2", "\u0391\u03a3", true},
        {"\u01c5", "\u01c6", true},
        {"stra\u00dfe", "STRASSE", false},
        {"stra\u00dfe", "STRA\u1e9eE", false},
        {"\U00010428", "\U00010400", false},
        {"data/a.TXT", "data/A.txt", true},
        {"Data", "data/b.txt", true},  // a file where another needs a folder
        {"Data/c.txt", "data/b.txt", false},  // one folder on Windows, two files in it
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.a) + " / " + c.b);
        fs::remove_all(app / "data");
        write_file(app / c.a, "a");
        write_file(app / c.b, "b");
        if (c.clash)
            expect_refused(build_args(), "' and '");
        else if (!real_kit().empty())
            EXPECT_PACKED();
        fs::remove_all(app / *fs::path(c.a).begin());
        fs::remove_all(app / *fs::path(c.b).begin());
    }
    write_file(app / "data" / "a.txt", "text");
    write_file(app / "DATA", "x");
    expect_refused(build_args(), "'" + (app / "DATA").string() + "' and '" + (app / "data" / "a.txt").string() +
                                     "' need a file and a folder whose names differ only in case");
}

TEST_F(Refusal, SpecialFilesAndSymbolicLinks)
{
    ASSERT_EQ(mkfifo((app / "data" / "pipe").c_str(), 0600), 0);
    expect_refused(build_args(), (app / "data" / "pipe").string() + "' is neither a regular file nor a folder");
    fs::remove(app / "data" / "pipe");

    // A link to a regular file below the folder is packed as a copy (the
    // dummy kit then stops the build); every other link is refused.
    fs::create_directories(scratch / "hop");
    fs::create_symlink(app / "data" / "a.txt", scratch / "hop" / "back.txt");
    const std::string kit_stop = "veskar-launcher.exe' is not a prebuilt launcher";
    const struct {
        std::string link, target, needle;
    } cases[] = {
        {"data/link.txt", "a.txt", kit_stop},
        {"chain.txt", "data/link-to-link.txt", kit_stop},
        {"data/link-to-link.txt", "a.txt", kit_stop},
        {"folder", "data", "' is a symbolic link to a folder: put the file or folder itself there"},
        {"outside.txt", (scratch / "kit" / "veskar.ico").string(), "' is a symbolic link that leads outside the "
                                                                   "application folder"},
        {"data/leaving.txt", "../../hop/back.txt", "' is a symbolic link that leads outside the application folder"},
        {"dangling.txt", "missing.txt", "' is a symbolic link that leads nowhere (its target does not exist)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.link);
        const fs::path link = app / c.link;
        fs::create_directories(link.parent_path());
        fs::create_symlink(c.target, link);
        // The second link of the chain is made after its first: refused as dangling until then.
        if (c.link != "chain.txt") {
            expect_refused(build_args(), c.needle == kit_stop ? c.needle : link.string() + c.needle);
            if (c.needle != kit_stop)
                fs::remove(link);
        }
    }
}

TEST_F(Refusal, ApplicationFolderMissing)
{
    std::vector<std::string> args = build_args();
    args[4] = (scratch / "nowhere").string();
    expect_refused(args, (scratch / "nowhere").string() + "' does not exist");
    args[4] = (app / "lib.dll").string();
    expect_refused(args, (app / "lib.dll").string() + "' is not a folder");
}

TEST_F(Refusal, FolderBelowUnreadable)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "permissions do not stop root from reading a folder";
    fs::permissions(app / "data", fs::perms::none);
    expect_refused(build_args(), (app / "data").string());
    fs::permissions(app / "data", fs::perms::owner_all);
}

// Option errors end like every other refusal: one prefixed line, status 1.
TEST_F(Refusal, OptionErrors)
{
    std::vector<std::string> no_output = build_args();
    no_output.erase(no_output.begin() + 7, no_output.begin() + 9);
    const struct {
        std::vector<std::string> args, options;
        std::string needle;
    } cases[] = {
        {build_args(), {"--level", "0"}, "--level: Value 0 not in range 1 to 22"},
        {build_args(), {"--level", "30"}, "--level: Value 30 not in range 1 to 22"},
        {build_args(), {"--level", "fast"}, "--level"},
        {build_args(), {"--threads", "0"}, "--threads: Value 0 not in range 1 to 256"},
        {build_args(), {"--reuse-process", "child"}, "--reuse-process requires --reuse"},
        {build_args(), {"--app-id", "Veskar.Probe"}, "--app-id requires --reuse"},
        {no_output, {}, "--output is required"},
        {{"build", "--dir", app.string(), "-o", out.string()}, {},
         "build needs the entry: --app-library (a DLL exporting run_code) or --app-exe"},
        {{}, {}, "subcommand"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), c.options.begin(), c.options.end());
        expect_refused(args, c.needle);
    }
}

TEST_F(Refusal, MissingKitAndOutputFolder)
{
    fs::remove(kit / "veskar-launcher.exe");
    expect_refused(build_args(), "launcher kit '" + kit.string() + "' has no veskar-launcher.exe");
    make_dummy_kit(kit);

    std::vector<std::string> args = build_args();
    args[8] = (scratch / "no-such-folder" / "launcher.exe").string();
    expect_refused(args, "the folder '" + (scratch / "no-such-folder").string() + "' does not exist");
}

TEST_F(Refusal, SplashAndIconFiles)
{
    auto with = [&](const char *option, const fs::path &file) {
        std::vector<std::string> args = build_args();
        args.insert(args.end(), {option, file.string()});
        return args;
    };
    const fs::path splash = scratch / "splash.png", icon = scratch / "icon.ico";
    write_file(splash, "GIF89a, not a PNG");
    expect_refused(with("--splash", splash), "splash image '" + splash.string() + "' is not a PNG file");
    write_file(splash, make_png(10, 10, true));
    expect_refused(with("--splash", splash), "is an animated PNG");
    write_file(splash, make_png(0, 10));
    expect_refused(with("--splash", splash), "has a width or height of 0");
    std::string png = make_png(10, 10);
    write_file(splash, png.substr(0, png.size() - 5));
    expect_refused(with("--splash", splash), "is cut short");
    expect_refused(with("--splash", scratch / "absent.png"), (scratch / "absent.png").string() + "' does not exist");

    write_file(icon, make_png(16, 16));
    expect_refused(with("--icon", icon), "'" + icon.string() + "' is not an icon (.ico) file");
    std::string ico = make_icon(1);
    write_file(icon, ico.substr(0, ico.size() - 10));
    expect_refused(with("--icon", icon), "image 1 lies outside the file");
}

TEST_F(Refusal, LauncherOptions)
{
    auto with = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = build_args();
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    };
    const struct {
        std::vector<std::string> options;
        std::string needle;
    } cases[] = {
        {{"--version-info", "Comments=x"}, "--version-info key 'Comments' is not one of FileVersion"},
        {{"--version-info", "ProductName"}, "--version-info 'ProductName' is not KEY=VALUE"},
        {{"--version-info", "FileVersion=1.2.3.4.5"}, "FileVersion '1.2.3.4.5' is not 1 to 4 dot-separated numbers"},
        {{"--version-info", "ProductVersion=1.65536"}, "ProductVersion '1.65536' is not 1 to 4"},
        {{"--version-info", "FileVersion=1..2"}, "FileVersion '1..2' is not 1 to 4"},
        {{"--version-info", "FileVersion=v1"}, "FileVersion 'v1' is not 1 to 4"},
        {{"--version-info", "FileVersion="}, "FileVersion '' is not 1 to 4"},
        {{"--version-info", "CompanyName=A", "--version-info", "CompanyName=B"}, "CompanyName is given twice"},
        {{"--execution-level", "admin"}, "--execution-level 'admin' is not asInvoker, highestAvailable or "
                                         "requireAdministrator"},
        {{"--reuse", "--execution-level", "highestAvailable"}, "--reuse with execution level highestAvailable: an "
                                                               "elevated start would run a kept tree"},
        {{"--reuse", "--execution-level", "requireAdministrator"}, "--reuse with execution level requireAdministrator"},
    };
    for (const auto &c : cases)
        expect_refused(with(c.options), c.needle);
}

TEST_F(Refusal, EntryOptions)
{
    write_file(app / "tool.exe", make_program());
    const struct {
        std::vector<std::string> args, options;
        std::string needle;
    } cases[] = {
        {build_args(), {"--app-exe", "tool.exe"}, "--app-library and --app-exe both name the entry: give one"},
        {build_args(), {"--app-arg", "x"}, "--app-arg gives arguments to a program: it needs --app-exe"},
        {program_args(), {"--gui", "--console"}, "--console and --gui ask for different launchers: give one"},
        {program_args(), {"--app-arg", "{APP_DIR}", "--app-arg", "{APP_DIR}\\{USER}"},
         "--app-arg '{APP_DIR}\\{USER}' names an unknown placeholder {USER}: the only placeholder is {APP_DIR}"},
        {program_args(), {"--app-arg", "{{APP_DIR}"}, "has a '{' that is not closed"},
        {program_args(), {"--app-arg", "x}"}, "has a '}' that closes no '{'"},
        {program_args(), {"--app-arg", "a\r\nb"}, "--app-arg 'a\\r\\nb' holds a line break"},
        {program_args(), {"--app-arg", "a\xff"}, "--app-arg 'a\\xFF' is not valid UTF-8"},
        {program_args(), {"--app-arg", std::string(40000, 'a')},
         "--app-arg: the fixed arguments can take 40003 UTF-16 units of the program's command line, which holds "
         "32767; with the program's path at most 27645 are left for them"},
        {program_args(), {"--unpack-dir", "C:\\x\xc3_{RANDOM}"}, "--unpack-dir 'C:\\x\\xC3_{RANDOM}' is not valid"},
        {program_args(), {"--reuse", "--app-id", "\xe2\x82"}, "--app-id '\\xE2\\x82' is not valid UTF-8"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), c.options.begin(), c.options.end());
        expect_refused(args, c.needle);
    }
}

TEST_F(Refusal, UnpackDirectorySpecs)
{
    const struct {
        std::vector<std::string> options;
        std::string needle;
    } cases[] = {
        {{"--unpack-dir", "{TEMP}\\x_{RANDOM}_{USER}"}, "names an unknown placeholder {USER}"},
        {{"--unpack-dir", "{TEMP}\\x_{RANDOM"}, "has a '{' that is not closed"},
        {{"--unpack-dir", "{TEMP}\\x_{{RANDOM}"}, "has a '{' that is not closed"},
        {{"--unpack-dir", "{TEMP}\\x}_{RANDOM}"}, "has a '}' that closes no '{'"},
        {{"--unpack-dir", "apps\\x_{RANDOM}"}, "does not give an absolute path"},
        {{"--unpack-dir", "{PID}\\x_{RANDOM}"}, "does not give an absolute path"},
        {{"--unpack-dir", "C:x_{RANDOM}"}, "does not give an absolute path"},
        {{"--unpack-dir", "C:\\" + std::string(3030, 'x') + "{RANDOM}"}, "can expand to 3044 UTF-16 units; the "
                                                                           "launcher holds at most 3025"},
        {{"--unpack-dir", "{TEMP}\\" + std::string(2772, 'x') + "{RANDOM}"}, "can expand to 3044 UTF-16 units"},
        {{"--unpack-dir", "{TEMP}\\fixed"}, "has no {RANDOM}: without --reuse"},
        {{"--unpack-dir", "{CACHE_DIR}\\x_{RANDOM}", "--reuse"}, "uses {RANDOM}, which changes at every run"},
        {{"--unpack-dir", "{CACHE_DIR}\\x_{pid}", "--reuse"}, "uses {pid}, which changes"},
        {{"--unpack-dir", "D:\\x_{TIME}", "--reuse"}, "uses {TIME}, which changes"},
        {{"--unpack-dir", "D:\\x_{TIME_US}", "--reuse"}, "uses {TIME_US}, which changes"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = build_args();
        args.insert(args.end(), c.options.begin(), c.options.end());
        expect_refused(args, "the unpack directory spec '" + c.options[1] + "' " + c.needle);
    }
    // link checks the same way, before it reads the attached data.
    expect_refused({"--kit", kit.string(), "link", "--attached-data", (scratch / "none.bin").string(), "-o",
                    out.string(), "--unpack-dir", "{TEMP}\\fixed"},
                   "has no {RANDOM}");
}

TEST_F(Refusal, ApplicationIdentities)
{
    const struct {
        std::string id;
        std::string needle;
    } cases[] = {
        {"", "the application identity is empty"},
        {"Veskar/Tool", "the application identity 'Veskar/Tool' holds '/', which a folder name cannot"},
        {"tab\there", "holds a control character"},
        {"Tool.", "ends in a dot or a space"},
        {std::string(101, 'x'), "is 101 UTF-16 units long: at most 100"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = build_args();
        args.insert(args.end(), {"--reuse", "--app-id", c.id});
        expect_refused(args, c.needle);
    }
}

TEST_F(Refusal, KitLauncherThatIsNotPrebuilt)
{
    // The dummy kit's launchers are text: the packer checks what it copies.
    expect_refused(build_args(), "'" + (kit / "veskar-launcher.exe").string() + "' is not a prebuilt launcher");
}

} // namespace
