// veskar-pack: turns an application folder into a single launcher .exe.
#include "archive_writer.h"
#include "launcher_linker.h"

#include <CLI/CLI.hpp>
#include <unistd.h>

#include <cstdio>

namespace fs = std::filesystem;

int main(int argc, char **argv)
{
    CLI::App app{"veskar-pack: build a single-file Windows launcher from an application folder"};
    app.require_subcommand(1);
    std::string kit;
    app.add_option("--kit", kit, "Launcher kit folder (default: ../lib/veskar-onefile beside this program)");

    CLI::App *build = app.add_subcommand("build", "Pack an application folder and link its launcher");
    std::string directory, app_library, output, splash, icon;
    ArchiveOptions options;
    bool quiet = false;
    build->add_option("--dir", directory, "Application folder")->required();
    build->add_option("--app-library", app_library, "Application library, relative to --dir (exports run_code)")
        ->required();
    build->add_option("-o,--output", output, "Launcher to write")->required();
    build->add_option("--level", options.level, "zstd level")->check(CLI::Range(1, 19));
    build->add_option("--splash", splash, "PNG image shown while the application starts");
    build->add_option("--icon", icon, "Icon file (.ico) replacing the launcher's icon");
    build->add_flag("-q,--quiet", quiet, "No progress line");

    CLI::App *link = app.add_subcommand("link", "Link a launcher from attached data made elsewhere");
    std::string attached_data;
    link->add_option("--attached-data", attached_data, "Attached data file")->required();
    link->add_option("-o,--output", output, "Launcher to write")->required();
    link->add_option("--splash", splash, "PNG image shown while the application starts");
    link->add_option("--icon", icon, "Icon file (.ico) replacing the launcher's icon");

    CLI11_PARSE(app, argc, argv);
    try {
        LinkRequest request;
        request.output = output;
        request.kit = kit.empty() ? default_kit_directory() : fs::path(kit);
        if (!splash.empty())
            request.splash = splash;
        if (!icon.empty())
            request.icon = icon;
        if (*build) {
            std::vector<ArchiveEntry> entries = collect_entries(directory, app_library);
            options.show_progress = !quiet && isatty(STDERR_FILENO);
            fs::path blob = fs::path(output).concat(".attached.tmp");
            try {
                write_attached_data(entries, blob, options);
                request.attached_data = blob;
                link_launcher(request);
            } catch (...) {
                std::error_code ignored;
                fs::remove(blob, ignored);
                throw;
            }
            fs::remove(blob);
        } else {
            request.attached_data = attached_data;
            link_launcher(request);
        }
    } catch (const PackError &e) {
        std::fprintf(stderr, "veskar-pack: %s\n", e.message.c_str());
        return 1;
    } catch (const fs::filesystem_error &e) {
        std::fprintf(stderr, "veskar-pack: %s\n", e.what());
        return 1;
    }
    return 0;
}
