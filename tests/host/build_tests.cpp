// Building launchers: reproducible bytes, the progress line, the depfile a
// build system reads, and the help of every command.
#include "packer_test_support.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

using Build = PackerTest;

// A few MB that compress somewhat, different for each seed, so that zstd
// splits the work into several jobs.
std::string filler(unsigned seed, size_t size)
{
    std::string s;
    uint32_t x = seed * 2654435761u + 1;
    while (s.size() < size) {
        x = x * 1103515245u + 12345u;
        s += "line " + std::to_string(x >> 20) + (x & 0x100 ? " alpha" : " beta") + "\n";
    }
    return s;
}

void make_app(const fs::path &app, bool reverse_order, fs::file_time_type when)
{
    std::vector<std::pair<fs::path, std::string>> files{
        {"app.dll", make_dll()},
        {"a/one.txt", filler(1, 5000000)},
        {"a/two.txt", filler(2, 5000000)},
        {"b/c/three.bin", filler(3, 3000000)},
        {"z.txt", "last"},
    };
    if (reverse_order)
        std::reverse(files.begin(), files.end());
    for (const auto &[name, bytes] : files) {
        write_file(app / name, bytes);
        fs::last_write_time(app / name, when);
    }
}

TEST_F(Build, SameInputsGiveTheSameBytes)
{
    REQUIRE_KIT();
    // Two copies of the same folder, made in opposite orders, with other
    // times, below other paths, packed with another copy of the kit, other
    // splash and icon paths and another number of threads.
    const auto now = fs::file_time_type::clock::now();
    make_app(scratch / "one" / "app", false, now - std::chrono::hours(24 * 365));
    make_app(scratch / "two" / "deeper" / "app", true, now);
    fs::create_directories(scratch / "kit-copy");
    for (const fs::path &f : files_below(real_kit()))
        fs::copy_file(real_kit() / f, scratch / "kit-copy" / f);
    for (const char *side : {"one", "two/deeper"}) {
        write_file(scratch / side / "splash.png", make_png(4, 4));
        write_file(scratch / side / "icon.ico", make_icon(3));
    }
    auto build = [&](const std::string &side, const fs::path &kit, const char *threads, const std::string &name) {
        const fs::path exe = scratch / side / name;
        RunResult r = run_pack({"--kit", kit.string(), "build", "--dir", (scratch / side / "app").string(),
                                "--app-library", "app.dll", "-o", exe.string(), "--level", "3", "--threads", threads,
                                "--splash", (scratch / side / "splash.png").string(), "--icon",
                                (scratch / side / "icon.ico").string()},
                               temp);
        EXPECT_EQ(r.status, 0) << r.err;
        return read_file(exe);
    };
    const std::string first = build("one", real_kit(), "1", "first.exe");
    const std::string second = build("two/deeper", scratch / "kit-copy", "3", "second.exe");
    ASSERT_GT(first.size(), 100000u);
    EXPECT_TRUE(first == second) << "two builds of the same inputs differ";

    // The comparison sees a change of one byte in one file.
    std::string changed = read_file(scratch / "two/deeper/app/b/c/three.bin");
    changed[1000] ^= 1;
    write_file(scratch / "two/deeper/app/b/c/three.bin", changed);
    EXPECT_FALSE(first == build("two/deeper", scratch / "kit-copy", "3", "third.exe"));
}

TEST_F(Build, ProgressOnATerminalAndWhatWasMadeUnlessQuiet)
{
    REQUIRE_KIT();
    write_file(scratch / "app" / "app.dll", make_dll());
    write_file(scratch / "app" / "data.txt", filler(5, 200000));
    const std::string command = std::string("'") + VESKAR_PACK_PATH + "' --kit '" + real_kit().string() +
                                "' build --dir '" + (scratch / "app").string() + "' --app-library app.dll -o '" +
                                (scratch / "app.exe").string() + "'";
    // script gives the packer a terminal and copies what it shows to stdout.
    RunResult r = run_program({"script", "-qfec", command, "/dev/null"}, {{"TMPDIR", temp.string()}});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("\rcompressing "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("(100%)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("MB/s"), std::string::npos) << r.out;

    r = run_program({"script", "-qfec", command + " --quiet", "/dev/null"}, {{"TMPDIR", temp.string()}});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "");

    // Without a terminal no progress, but the line saying what was made.
    r = run_pack({"--kit", real_kit().string(), "build", "--dir", (scratch / "app").string(), "--app-library",
                  "app.dll", "-o", (scratch / "app.exe").string()},
                 temp);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const uint64_t files = make_dll().size() + filler(5, 200000).size(), made = fs::file_size(scratch / "app.exe");
    char sizes[128];
    std::snprintf(sizes, sizeof sizes, "%.1f kB, into '%s': %.1f kB (%.1f%% of the files) in ", files / 1e3,
                  (scratch / "app.exe").c_str(), made / 1e3, 100.0 * made / files);
    EXPECT_EQ(r.out.rfind("packed 2 files, " + std::string(sizes), 0), 0u) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - 3), " s\n") << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
}

TEST_F(Build, DepfileMakesNinjaRebuildOnEveryInput)
{
    REQUIRE_KIT();
    const fs::path app = scratch / "my app";
    write_file(app / "app.dll", make_dll());
    write_file(app / "sub" / "data.txt", "data");
    write_file(scratch / "splash.png", make_png(2, 2));
    const fs::path exe = scratch / "out" / "app.exe", depfile = scratch / "out" / "app.d";
    fs::create_directories(exe.parent_path());
    RunResult r = run_pack({"--kit", real_kit().string(), "build", "--dir", app.string(), "--app-library", "app.dll",
                            "-o", exe.string(), "--splash", (scratch / "splash.png").string(), "--depfile",
                            depfile.string()},
                           temp);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string text = read_file(depfile);
    auto escaped = [](const fs::path &p) {
        std::string s;
        for (char c : p.string())
            s += c == ' ' ? std::string("\\ ") : std::string(1, c);
        return s;
    };
    EXPECT_EQ(text.rfind(exe.string() + ":", 0), 0u) << text;
    auto listed = [&](const fs::path &input) {
        const std::string line = "\n  " + escaped(fs::absolute(input).lexically_normal());
        return text.find(line + " \\\n") != std::string::npos || text.find(line + "\n") != std::string::npos;
    };
    for (const fs::path &input : {app / "app.dll", app / "sub" / "data.txt", app, app / "sub", scratch / "splash.png",
                                  real_kit() / "veskar-launcher.exe", real_kit() / "launcher.manifest",
                                  real_kit() / "veskar.ico"})
        EXPECT_TRUE(listed(input)) << input << " missing from:\n" << text;

    // Ninja reads the depfile as a build would: nothing to do until an
    // input changes or a file is added. Times are set by hand, so that only
    // the change under test makes an input newer than the launcher.
    const auto t0 = fs::file_time_type::clock::now() - std::chrono::hours(240);
    const auto t1 = t0 + std::chrono::hours(24), newer = t1 + std::chrono::hours(1);
    const fs::path kit = scratch / "kit";
    fs::create_directories(kit);
    for (const fs::path &f : files_below(real_kit())) {
        fs::copy_file(real_kit() / f, kit / f);
        fs::last_write_time(kit / f, t0);
    }
    for (const fs::path &f : {app / "app.dll", app / "sub" / "data.txt", app / "sub", app})
        fs::last_write_time(f, t0);
    const fs::path ninja_dir = scratch / "ninja";
    write_file(ninja_dir / "build.ninja",
               "rule pack\n  command = '" + std::string(VESKAR_PACK_PATH) + "' --kit '" + kit.string() +
                   "' build --quiet --dir '" + app.string() + "' --app-library app.dll -o $out --depfile $out.d\n" +
                   "  depfile = $out.d\n  deps = gcc\nbuild app.exe: pack\n");
    const fs::path built = ninja_dir / "app.exe";
    auto ninja = [&] {
        RunResult n = run_program({"ninja", "-C", ninja_dir.string()}, {{"TMPDIR", temp.string()}});
        EXPECT_EQ(n.status, 0) << n.out << n.err;
        return n.out.find("no work to do") == std::string::npos;
    };
    EXPECT_TRUE(ninja());
    fs::last_write_time(built, t1);
    EXPECT_FALSE(ninja());

    write_file(app / "sub" / "data.txt", "changed");
    fs::last_write_time(app / "sub" / "data.txt", newer);
    EXPECT_TRUE(ninja());
    fs::last_write_time(app / "sub" / "data.txt", t0);
    fs::last_write_time(built, t1);
    EXPECT_FALSE(ninja());

    write_file(app / "new.txt", "added");
    fs::last_write_time(app / "new.txt", t0);
    fs::last_write_time(app, newer);
    EXPECT_TRUE(ninja());
    r = run_pack({"list", built.string()}, temp);
    EXPECT_NE(r.out.find("new.txt"), std::string::npos) << r.out;
}

TEST_F(Build, InterruptLeavesNothingBehind)
{
    REQUIRE_KIT();
    write_file(scratch / "app" / "app.dll", make_dll());
    write_file(scratch / "app" / "data.txt", filler(7, 40000000));
    const fs::path exe = scratch / "app.exe";
    const char *scale_text = getenv("VESKAR_TEST_TIMEOUT_SCALE");
    const int scale = scale_text && atoi(scale_text) > 0 ? atoi(scale_text) : 1;
    // Each signal while compression jobs at a level that makes them slow
    // are in flight: the packer ends without waiting for them.
    for (int signal : {SIGINT, SIGTERM}) {
        pid_t pid = fork();
        if (pid == 0) {
            setenv("TMPDIR", temp.c_str(), 1);
            freopen("/dev/null", "w", stderr);
            execl(VESKAR_PACK_PATH, VESKAR_PACK_PATH, "--kit", real_kit().c_str(), "build", "--dir",
                  (scratch / "app").c_str(), "--app-library", "app.dll", "-o", exe.c_str(), "--level", "19",
                  "--threads", "2", static_cast<char *>(nullptr));
            _exit(127);
        }
        // The temporary file beside the output appears once the folder has
        // been checked and compression starts.
        const auto partial = [&] {
            for (const fs::directory_entry &e : fs::directory_iterator(scratch))
                if (e.path().filename().string().rfind("app.exe.", 0) == 0)
                    return true;
            return false;
        };
        for (int i = 0; i < 6000 * scale && !partial(); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const bool started = partial();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        kill(pid, started ? signal : SIGKILL);
        // A job at level 19 takes many seconds: ending within a few shows
        // that none was waited for.
        int status = 0;
        pid_t done = 0;
        for (int i = 0; i < 300 * scale && (done = waitpid(pid, &status, WNOHANG)) == 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const bool ended = done == pid;
        if (!ended)
            kill(pid, SIGKILL), waitpid(pid, &status, 0);
        ASSERT_TRUE(started) << "the packer never started its work";
        EXPECT_TRUE(ended) << "signal " << signal;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "status " << status;
        EXPECT_EQ(files_below(scratch), (std::vector<fs::path>{"app", "app/app.dll", "app/data.txt", "tmp"}));
    }
}

TEST_F(Build, HelpForEveryCommand)
{
    const std::vector<std::pair<std::string, std::vector<std::string>>> commands{
        {"", {"build", "link", "list", "extract", "verify", "--kit"}},
        {"build", {"--dir", "--app-library", "--output", "--level", "--splash", "--icon", "--depfile", "--quiet",
                   "--threads", "--console", "--version-info", "--execution-level", "--app-exe", "--app-arg",
                   "--gui"}},
        {"link", {"--attached-data", "--output", "--splash", "--icon", "--console", "--version-info",
                  "--execution-level", "--app-exe", "--app-arg", "--gui"}},
        {"list", {"launcher"}},
        {"extract", {"launcher", "folder"}},
        {"verify", {"launcher"}},
    };
    for (const auto &[command, words] : commands) {
        std::vector<std::string> args;
        if (!command.empty())
            args.push_back(command);
        args.push_back("--help");
        RunResult r = run_pack(args, temp);
        EXPECT_EQ(r.status, 0) << command;
        for (const std::string &word : words)
            EXPECT_NE(r.out.find(word), std::string::npos) << command << " --help lacks " << word << ":\n" << r.out;
    }
}

} // namespace
