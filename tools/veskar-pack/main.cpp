// veskar-pack: turns an application folder into a single launcher .exe, and
// looks into launchers it has built.
#include "archive_writer.h"
#include "depfile.h"
#include "host_system.h"
#include "image_files.h"
#include "inspect.h"
#include "launcher_linker.h"

#include <CLI/CLI.hpp>

#include <cstdio>

namespace fs = std::filesystem;

namespace {

struct Arguments {
    std::string kit;
    std::string directory, app_library, output, splash, icon, depfile, attached_data;
    std::string launcher, extract_to;
    ArchiveOptions options;
    bool quiet = false;
};

// The splash and icon are checked before the long work starts.
void check_images(const Arguments &a)
{
    if (!a.splash.empty())
        check_splash_png(fs::u8path(a.splash));
    if (!a.icon.empty())
        read_icon_file(read_whole_file(fs::u8path(a.icon), "icon"), a.icon);
}

void check_output_folder(const std::string &output)
{
    fs::path folder = fs::absolute(fs::u8path(output)).parent_path();
    std::error_code error;
    if (!fs::is_directory(folder, error))
        throw PackError{"cannot write '" + output + "': the folder '" + folder.u8string() + "' does not exist"};
}

LinkRequest link_request(const Arguments &a, const fs::path &kit)
{
    LinkRequest request;
    request.output = fs::u8path(a.output);
    request.kit = kit;
    if (!a.splash.empty())
        request.splash = fs::u8path(a.splash);
    if (!a.icon.empty())
        request.icon = fs::u8path(a.icon);
    return request;
}

void build_command(const Arguments &a, const fs::path &kit)
{
    std::vector<fs::path> inputs = kit_files(kit);
    check_images(a);
    check_output_folder(a.output);
    FolderContents contents = collect_entries(fs::u8path(a.directory), a.app_library);

    ArchiveOptions options = a.options;
    options.show_progress = !a.quiet && stderr_is_terminal();
    TemporaryDirectory work;
    LinkRequest request = link_request(a, kit);
    request.attached_data = work.path() / "attached_data.bin";
    request.build_notes = "level=" + std::to_string(options.level) + "\n";
    write_attached_data(contents.entries, request.attached_data, options);
    link_launcher(request, work.path());

    if (!a.depfile.empty()) {
        // Folders too: adding or removing a file changes its folder's time.
        inputs.insert(inputs.end(), contents.folders.begin(), contents.folders.end());
        for (const ArchiveEntry &e : contents.entries)
            inputs.push_back(e.source);
        if (request.splash)
            inputs.push_back(*request.splash);
        if (request.icon)
            inputs.push_back(*request.icon);
        write_depfile(fs::u8path(a.depfile), a.output, inputs);
    }
}

void link_command(const Arguments &a, const fs::path &kit)
{
    kit_files(kit);
    check_images(a);
    check_output_folder(a.output);
    std::error_code error;
    if (!fs::is_regular_file(fs::u8path(a.attached_data), error))
        throw PackError{"attached data '" + a.attached_data + "' does not exist or is not a file"};
    TemporaryDirectory work;
    LinkRequest request = link_request(a, kit);
    request.attached_data = fs::u8path(a.attached_data);
    link_launcher(request, work.path());
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> arguments;
    try {
        arguments = utf8_arguments(argc, argv);
    } catch (const PackError &e) {
        std::fprintf(stderr, "veskar-pack: %s\n", e.message.c_str());
        return 1;
    }
    std::vector<const char *> argument_pointers;
    for (const std::string &argument : arguments)
        argument_pointers.push_back(argument.c_str());

    CLI::App app{"veskar-pack: build a single-file Windows launcher from an application folder, and look into "
                 "launchers built with it"};
    app.require_subcommand(1);
    // The same options on every system: on Windows "/dir" is a path, not an option.
    app.allow_windows_style_options(false);
    Arguments a;
    app.add_option("--kit", a.kit, "Launcher kit folder (default: ../lib/veskar-onefile beside this program)");

    CLI::App *build = app.add_subcommand("build", "Pack an application folder and link its launcher");
    build->add_option("--dir", a.directory, "Application folder; every file below it is packed")->required();
    build->add_option("--app-library", a.app_library,
                      "Application library (exports run_code), relative to --dir; it becomes the first record")
        ->required();
    build->add_option("-o,--output", a.output, "Launcher to write")->required();
    build->add_option("--level", a.options.level, "zstd level, " + std::to_string(min_level) + " to " +
                                                      std::to_string(max_level))
        ->check(CLI::Range(static_cast<int>(min_level), static_cast<int>(max_level)))
        ->capture_default_str();
    build->add_option("--threads", a.options.threads,
                      "Compression threads (default: one per core); the output is the same for any number")
        ->check(CLI::Range(1, 256));
    build->add_option("--splash", a.splash, "PNG image shown while the application starts");
    build->add_option("--icon", a.icon, "Icon file (.ico) replacing the launcher's icon");
    build->add_option("--depfile", a.depfile,
                      "Also write a Makefile-style file listing every input, for build systems");
    build->add_flag("-q,--quiet", a.quiet, "No progress line, even on a terminal");

    CLI::App *link = app.add_subcommand("link", "Link a launcher from attached data made elsewhere");
    link->add_option("--attached-data", a.attached_data, "Attached data file")->required();
    link->add_option("-o,--output", a.output, "Launcher to write")->required();
    link->add_option("--splash", a.splash, "PNG image shown while the application starts");
    link->add_option("--icon", a.icon, "Icon file (.ico) replacing the launcher's icon");

    CLI::App *list = app.add_subcommand("list", "Show the files, sizes, compression, splash and icon of a launcher");
    list->add_option("launcher", a.launcher, "Launcher .exe built by veskar-pack")->required();

    CLI::App *extract = app.add_subcommand("extract", "Write the files packed in a launcher into a folder, "
                                                      "running nothing");
    extract->add_option("launcher", a.launcher, "Launcher .exe built by veskar-pack")->required();
    extract->add_option("folder", a.extract_to, "Folder to write the files into (made if missing)")->required();

    CLI::App *verify = app.add_subcommand("verify", "Check that a launcher's attached data is complete and intact");
    verify->add_option("launcher", a.launcher, "Launcher .exe built by veskar-pack")->required();

    CLI11_PARSE(app, static_cast<int>(argument_pointers.size()), argument_pointers.data());
    try {
        const fs::path kit = a.kit.empty() ? default_kit_directory() : fs::u8path(a.kit);
        if (*build || *link)
            catch_interrupts();
        if (*build)
            build_command(a, kit);
        else if (*link)
            link_command(a, kit);
        else if (*list)
            list_launcher(fs::u8path(a.launcher), kit);
        else if (*extract)
            extract_launcher(fs::u8path(a.launcher), fs::u8path(a.extract_to));
        else
            verify_launcher(fs::u8path(a.launcher));
    } catch (const PackError &e) {
        std::fflush(stdout);
        std::fprintf(stderr, "veskar-pack: %s\n", e.message.c_str());
        return 1;
    } catch (const fs::filesystem_error &e) {
        // Named in UTF-8: what() would take the path through the narrow code page on Windows.
        std::fflush(stdout);
        std::fprintf(stderr, "veskar-pack: '%s': %s\n", e.path1().u8string().c_str(), e.code().message().c_str());
        return 1;
    }
    return 0;
}
