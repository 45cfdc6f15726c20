#include "launcher_linker.h"
#include "archive_writer.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

static const char toolchain_prefix[] = "x86_64-w64-mingw32-";

fs::path default_kit_directory()
{
    std::error_code error;
    fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (error)
        throw PackError{"cannot find the packer's own location; name the kit with --kit"};
    return self.parent_path().parent_path() / "lib" / "veskar-onefile";
}

// Runs a tool in `directory` without a shell; its own messages go to our stderr.
static void run_tool(const fs::path &directory, const std::vector<std::string> &arguments)
{
    pid_t pid = fork();
    if (pid < 0)
        throw PackError{"cannot start " + arguments[0]};
    if (pid == 0) {
        std::vector<char *> argv;
        for (const std::string &a : arguments)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        if (chdir(directory.c_str()) != 0)
            _exit(126);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        if (WIFEXITED(status) && WEXITSTATUS(status) == 127)
            throw PackError{arguments[0] + " was not found: install the MinGW-w64 toolchain (scripts/setup.sh)"};
        throw PackError{arguments[0] + " failed; see its messages above"};
    }
}

class TemporaryDirectory {
public:
    TemporaryDirectory()
    {
        std::string pattern = (fs::temp_directory_path() / "veskar-pack.XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw PackError{"cannot create a temporary folder"};
        path_ = pattern;
    }
    ~TemporaryDirectory()
    {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path &path() const { return path_; }

private:
    fs::path path_;
};

static void require_file(const fs::path &path, const std::string &what)
{
    std::error_code error;
    if (!fs::is_regular_file(path, error))
        throw PackError{what + " '" + path.string() + "' not found"};
}

void link_launcher(const LinkRequest &request)
{
    const fs::path kit = fs::absolute(request.kit);
    require_file(kit / "libveskar_launcher.a", "launcher kit file");
    require_file(request.attached_data, "attached data");
    TemporaryDirectory work;
    const fs::path &w = work.path();

    // Everything the tools read is copied in under fixed names, so no path
    // of this machine reaches the launcher and quoting never matters.
    fs::copy_file(request.attached_data, w / "attached_data.bin");
    fs::copy_file(request.icon ? *request.icon : kit / "veskar.ico", w / "icon.ico");
    fs::copy_file(kit / "launcher.manifest", w / "launcher.manifest");
    {
        std::ofstream rc(w / "resources.rc");
        rc << "1 ICON \"icon.ico\"\n"
           << "1 24 \"launcher.manifest\"\n";  // 24: RT_MANIFEST, id 1: the process manifest
        if (request.splash) {
            fs::copy_file(*request.splash, w / "splash.png");
            rc << "28 RCDATA \"splash.png\"\n";
        }
    }
    const std::string tp = toolchain_prefix;
    run_tool(w, {tp + "windres", "--input-format=rc", "--output-format=coff", "-i", "resources.rc", "-o",
                 "resources.o"});
    run_tool(w, {tp + "gcc-posix", "-c", "-x", "assembler-with-cpp", "-DATTACHED_DATA_FILE=\"attached_data.bin\"",
                 (kit / "attached_data.S").string(), "-o", "attached_data.o"});
    run_tool(w, {tp + "g++-posix", "-municode", "-mwindows", "-static", "-s", "-Wl,--no-insert-timestamp",
                 "-Wl,--undefined=wWinMain", "-o", "launcher.exe", "attached_data.o", "resources.o",
                 "-L" + kit.string(), "-lveskar_launcher", "-lzstd_decompress", "-lshell32", "-lshlwapi", "-lole32",
                 "-lwindowscodecs", "-lgdi32", "-luser32"});
    // Moved into place only when complete: a failed build leaves no half launcher.
    fs::path output = fs::absolute(request.output);
    std::error_code error;
    fs::rename(w / "launcher.exe", output, error);
    if (error) {
        fs::copy_file(w / "launcher.exe", output, fs::copy_options::overwrite_existing, error);
        if (error)
            throw PackError{"cannot write '" + request.output.string() + "': " + error.message()};
    }
}
