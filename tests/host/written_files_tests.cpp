// Where a build writes: never into what it reads, a depfile before the
// launcher, and the system's reason when the disk refuses; each failure is
// one line, status 1 and nothing left.
#include "packer_test_support.h"

#include <random>

namespace {

class WrittenFiles : public PackerTest {
protected:
    void SetUp() override
    {
        PackerTest::SetUp();
        app = scratch / "app";
        write_file(app / "lib.dll", make_dll());
        write_file(app / "data" / "a.txt", "text");
        write_file(scratch / "splash.png", make_png(3, 2));
        fs::create_directories(scratch / "out");
    }

    // Runs the command line (`sh -c`, the packer as "$PACK") and checks the
    // failure: one line naming `needle`, and only the inputs left.
    void expect_failed(const std::string &command, const std::string &needle)
    {
        const std::vector<fs::path> before = files_below(scratch);
        RunResult r = run_program({"sh", "-c", "export TMPDIR='" + temp.string() + "'; PACK='" VESKAR_PACK_PATH "'; " + command});
        EXPECT_EQ(r.status, 1) << command;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_NE(r.err.find(needle), std::string::npos) << "expected '" << needle << "' in: " << r.err;
        EXPECT_EQ(files_below(scratch), before) << command;
        EXPECT_EQ(read_file(app / "data" / "a.txt"), "text");
    }

    std::string build(const std::string &output, const std::string &more = "")
    {
        return "\"$PACK\" --kit '" + real_kit().string() + "' build --quiet --dir '" + app.string() +
               "' --app-library lib.dll -o '" + output + "' --splash '" + (scratch / "splash.png").string() + "' " +
               more;
    }

    fs::path app;
};

TEST_F(WrittenFiles, NeverAmongTheInputs)
{
    REQUIRE_KIT();
    const std::string out = (scratch / "out" / "app.exe").string(), below = (app / "data" / "app.exe").string();
    const struct {
        std::string command, needle;
    } cases[] = {
        {build(below), "-o '" + below + "' lies in the application folder"},
        {build((app / "data" / ".." / "x.exe").string()), "lies in the application folder"},
        {build((app / "lib.dll").string()), "lies in the application folder"},
        {build(out, "--depfile '" + (app / "app.d").string() + "'"), "--depfile '" + (app / "app.d").string()},
        {build((scratch / "splash.png").string()), "is the input '" + (scratch / "splash.png").string()},
        {build(out, "--depfile '" + (scratch / "splash.png").string() + "'"), "which writing it would replace"},
    };
    for (const auto &c : cases)
        expect_failed(c.command, c.needle);
    // The application folder reached through a link is the same folder.
    fs::create_directory_symlink(app, scratch / "link");
    expect_failed(build((scratch / "link" / "app.exe").string()), "lies in the application folder");
    fs::remove(scratch / "link");
    // An existing output replaced by its depfile would be the output itself.
    write_file(out, "an older launcher");
    expect_failed(build(out, "--depfile '" + out + "'"), "which writing it would replace");
}

TEST_F(WrittenFiles, DepfileThatCannotBeWrittenLeavesNoLauncher)
{
    REQUIRE_KIT();
    const std::string out = (scratch / "out" / "app.exe").string();
    expect_failed(build(out, "--depfile '" + (scratch / "missing" / "app.d").string() + "'"),
                  "cannot write the depfile '" + (scratch / "missing" / "app.d").string() + "': No such file");
    // A file size limit stands for a full disk: the system's reason is named.
    std::string noise(3000000, '\0');
    std::mt19937 random(3);
    for (char &c : noise)
        c = static_cast<char>(random());
    write_file(app / "data" / "big.bin", noise);
    expect_failed("ulimit -f 1000; trap '' XFSZ; " + build(out), "cannot write '" + out + "': File too large");
    fs::remove(app / "data" / "big.bin");
}

} // namespace
