#include "launcher_linker.h"
#include "archive_writer.h"
#include "host_system.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace fs = std::filesystem;

static const char toolchain_prefix[] = "x86_64-w64-mingw32-";

std::vector<fs::path> kit_files(const fs::path &kit)
{
    std::vector<fs::path> files;
    for (const char *name : {"libveskar_launcher.a", "libzstd_decompress.a", "attached_data.S", "launcher.manifest",
                             "veskar.ico"}) {
        fs::path file = kit / name;
        std::error_code error;
        if (!fs::is_regular_file(file, error))
            throw PackError{"launcher kit '" + kit.u8string() + "' has no " + name +
                            ": build the windows preset, or name the kit folder with --kit"};
        files.push_back(file);
    }
    return files;
}

// Runs a tool in `directory` without a shell; its own messages go to our
// stderr. A pipe closed on exec tells a tool that could not start from one
// that failed.
static void run_tool(const fs::path &directory, const std::vector<std::string> &arguments)
{
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        throw PackError{"cannot start " + arguments[0] + ": " + std::strerror(errno)};
    std::vector<char *> argv;
    for (const std::string &a : arguments)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        close(report[0]);
        close(report[1]);
        throw PackError{"cannot start " + arguments[0] + ": " + std::strerror(errno)};
    }
    if (pid == 0) {
        close(report[0]);
        int failure = 0;
        if (chdir(directory.c_str()) == 0)
            execvp(argv[0], argv.data());
        failure = errno;
        ssize_t ignored = write(report[1], &failure, sizeof failure);
        (void)ignored;
        _exit(127);
    }
    close(report[1]);
    int failure = 0;
    ssize_t got;
    while ((got = read(report[0], &failure, sizeof failure)) < 0 && errno == EINTR) {
    }
    close(report[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    stop_if_interrupted();
    if (got == static_cast<ssize_t>(sizeof failure)) {
        if (failure == ENOENT)
            throw PackError{arguments[0] + " was not found: install the MinGW-w64 toolchain (scripts/setup.sh)"};
        throw PackError{"cannot start " + arguments[0] + ": " + std::strerror(failure)};
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw PackError{arguments[0] + " failed while linking the launcher; see its messages above"};
}

static void copy_into(const fs::path &from, const fs::path &to, const std::string &what)
{
    std::error_code error;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, error);
    if (error)
        throw PackError{"cannot read " + what + " '" + from.u8string() + "': " + error.message()};
}

void link_launcher(const LinkRequest &request, const fs::path &w)
{
    const fs::path kit = fs::absolute(request.kit);
    kit_files(kit);
    // Everything the tools read is copied in under fixed names and the tools
    // run inside the work folder, so no path of this machine reaches the
    // launcher and quoting never matters.
    if (request.attached_data != w / "attached_data.bin")
        copy_into(request.attached_data, w / "attached_data.bin", "attached data");
    copy_into(kit / "attached_data.S", w / "attached_data.S", "kit file");
    copy_into(request.icon ? *request.icon : kit / "veskar.ico", w / "icon.ico", "icon");
    copy_into(kit / "launcher.manifest", w / "launcher.manifest", "kit file");
    std::vector<std::string> objects{"attached_data.o", "resources.o"};
    {
        std::ofstream rc(w / "resources.rc");
        rc << "1 ICON \"icon.ico\"\n"
           << "1 24 \"launcher.manifest\"\n";  // 24: RT_MANIFEST, id 1: the process manifest
        if (request.splash) {
            copy_into(*request.splash, w / "splash.png", "splash image");
            rc << "28 RCDATA \"splash.png\"\n";
        }
        if (!rc.flush())
            throw PackError{"cannot write in the temporary folder '" + w.u8string() + "'"};
    }
    if (!request.build_notes.empty()) {
        std::ofstream notes(w / "build_notes.s");
        notes << "    .section " << build_notes_section << ",\"dr\"\n    .ascii \"";
        for (char c : request.build_notes)
            notes << (c == '\n' ? std::string("\\n") : std::string(1, c));
        notes << "\"\n";
        if (!notes.flush())
            throw PackError{"cannot write in the temporary folder '" + w.u8string() + "'"};
        objects.push_back("build_notes.o");
    }
    const std::string tp = toolchain_prefix;
    run_tool(w, {tp + "windres", "--input-format=rc", "--output-format=coff", "-i", "resources.rc", "-o",
                 "resources.o"});
    run_tool(w, {tp + "gcc-posix", "-c", "-x", "assembler-with-cpp", "-DATTACHED_DATA_FILE=\"attached_data.bin\"",
                 "attached_data.S", "-o", "attached_data.o"});
    if (!request.build_notes.empty())
        run_tool(w, {tp + "gcc-posix", "-c", "build_notes.s", "-o", "build_notes.o"});
    std::vector<std::string> link{tp + "g++-posix", "-municode", "-mwindows", "-static", "-s",
                                  "-Wl,--no-insert-timestamp", "-Wl,--undefined=wWinMain", "-o", "launcher.exe"};
    link.insert(link.end(), objects.begin(), objects.end());
    link.push_back("-L" + kit.u8string());
    for (const char *library : {"-lveskar_launcher", "-lzstd_decompress", "-lshell32", "-lshlwapi", "-lole32",
                                "-lwindowscodecs", "-lgdi32", "-luser32"})
        link.push_back(library);
    run_tool(w, link);

    // Copied beside the output, then renamed: a failed build never leaves a
    // half-written launcher under the output's name.
    const fs::path output = fs::absolute(request.output);
    fs::path partial = output;
    partial += ".partial";
    std::error_code error;
    fs::copy_file(w / "launcher.exe", partial, fs::copy_options::overwrite_existing, error);
    if (!error)
        fs::rename(partial, output, error);
    if (error) {
        std::error_code ignored;
        fs::remove(partial, ignored);
        throw PackError{"cannot write '" + request.output.u8string() + "': " + error.message()};
    }
}
