// veskar-pack: turns an application folder into a single launcher .exe, and
// looks into launchers it has built.
#include "archive_identity.h"
#include "archive_reader.h"
#include "archive_writer.h"
#include "build_note_keys.h"
#include "depfile.h"
#include "entry_program.h"
#include "host_system.h"
#include "image_files.h"
#include "inspect.h"
#include "launcher_writer.h"
#include "record_names.h"
#include "unpack_settings.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>

namespace fs = std::filesystem;

namespace {

struct Arguments {
    std::string kit;
    std::string directory, app_library, app_exe, output, splash, icon, depfile, attached_data;
    std::vector<std::string> app_args;  // fixed arguments of a program entry, before the user's
    std::string launcher, extract_to;
    bool console = false, gui = false;
    std::vector<std::string> version_info;
    std::string execution_level;  // empty: the program entry's, else asInvoker
    int unpack_threads = 0;  // 0: the launcher chooses at run time
    ArchiveOptions options;
    UnpackSettings unpack;
    bool app_id_given = false;  // --app-id, even empty, is checked
    bool quiet = false;
    bool json = false;  // list and verify: one JSON object for programs
};

void check_utf8_option(const char *option, const std::string &value)
{
    try {
        utf8_to_utf16(value, "");
    } catch (const PackError &) {
        throw PackError{std::string(option) + " '" + printable_text(value) + "' is not valid UTF-8: give it as "
                        "UTF-8 text"};
    }
}

void check_output_folder(const std::string &output)
{
    fs::path folder = fs::absolute(fs::u8path(output)).parent_path();
    if (!is_folder(folder))
        throw PackError{"cannot write '" + output + "': the folder '" + folder.u8string() + "' does not exist"};
}

// A file a build writes (the launcher, the temporary file beside it, the
// depfile) never lands among what it reads: below the application folder
// the next build would pack it, and in place of an input it would replace
// it. `inputs` are the other files read.
void check_written_path(const char *option, const std::string &written, const std::string &directory,
                        const std::vector<fs::path> &inputs)
{
    // Compared as files, not as text: a link, another case on Windows or a
    // second name of the same folder is the same place.
    const fs::path place = fs::absolute(fs::u8path(written)).lexically_normal();
    std::error_code error;
    for (fs::path folder = place.parent_path(); !directory.empty(); folder = folder.parent_path()) {
        if (fs::equivalent(system_path(folder), system_path(fs::u8path(directory)), error))
            throw PackError{std::string(option) + " '" + written + "' lies in the application folder '" + directory +
                            "', whose files the launcher packs: write it elsewhere"};
        if (folder == folder.parent_path())
            break;
    }
    for (const fs::path &input : inputs) {
        if (fs::equivalent(system_path(place), system_path(input), error))
            throw PackError{std::string(option) + " '" + written + "' is the input '" + input.u8string() +
                            "', which writing it would replace: write it elsewhere"};
    }
}

// Every file besides the application folder that a build or link reads.
std::vector<fs::path> other_inputs(const Arguments &a, const fs::path &kit, bool console)
{
    std::vector<fs::path> inputs = kit_files(kit, console);
    for (const std::string *file : {&a.splash, &a.icon, &a.attached_data}) {
        if (!file->empty())
            inputs.push_back(fs::u8path(*file));
    }
    return inputs;
}

void check_written_paths(const Arguments &a, const fs::path &kit, bool console)
{
    std::vector<fs::path> inputs = other_inputs(a, kit, console);
    check_written_path("-o", a.output, a.directory, inputs);
    if (a.depfile.empty())
        return;
    inputs.push_back(fs::u8path(a.output));
    check_written_path("--depfile", a.depfile, a.directory, inputs);
}

// Everything but the attached data, read and checked before the long work
// starts, so that a wrong option or file is named at once.
// `entry` is the identity of a program entry to take where no option
// replaces it.
LauncherRequest launcher_request(const Arguments &a, const fs::path &kit, const std::optional<EntryIdentity> &entry)
{
    if (a.console && a.gui)
        throw PackError{"--console and --gui ask for different launchers: give one of them"};
    if (!a.app_library.empty() && !a.app_exe.empty())
        throw PackError{"--app-library and --app-exe both name the entry: give one of them"};
    if (!a.app_args.empty() && a.app_exe.empty())
        throw PackError{"--app-arg gives arguments to a program: it needs --app-exe"};
    // The launcher takes these as UTF-8 text: checked as file names are.
    for (const std::string &argument : a.app_args)
        check_utf8_option("--app-arg", argument);
    check_utf8_option("--unpack-dir", a.unpack.spec);
    check_utf8_option("--app-id", a.unpack.app_id);
    for (const std::string &argument : a.app_args)
        check_fixed_argument(argument);
    check_fixed_arguments_fit(a.app_args);
    LauncherRequest request;
    request.kit = kit;
    request.console = a.console || (!a.gui && entry && entry->console);
    kit_files(kit, request.console);
    LauncherResources &r = request.resources;
    if (!a.splash.empty()) {
        check_splash_png(fs::u8path(a.splash));
        r.splash = read_whole_file(fs::u8path(a.splash), "splash image");
    }
    if (a.icon.empty() && entry && entry->icon_damaged)
        throw PackError{"application program '" + (fs::u8path(a.directory) / fs::u8path(a.app_exe)).u8string() +
                        "' has a damaged icon group: give --icon an .ico file"};
    if (a.icon.empty() && entry && !entry->icon.empty()) {
        r.icon = entry->icon;
    } else {
        const fs::path icon = a.icon.empty() ? kit / "veskar.ico" : fs::u8path(a.icon);
        r.icon = read_icon_file(read_whole_file(icon, a.icon.empty() ? "kit icon" : "icon"), icon.u8string());
    }
    std::string level = a.execution_level;
    if (!level.empty())
        check_execution_level(level);
    else if (entry && is_execution_level(entry->execution_level))
        level = entry->execution_level;
    else
        level = "asInvoker";
    if (a.unpack.reuse && level != "asInvoker")
        throw PackError{"--reuse with execution level " + level + ": an elevated start would run a kept tree that "
                        "the user's unelevated programs can change; pack it without --reuse or as asInvoker"};
    std::vector<uint8_t> manifest = read_whole_file(kit / "launcher.manifest", "kit manifest");
    r.manifest = manifest_with_level(std::string(manifest.begin(), manifest.end()), level);
    if (!a.version_info.empty()) {
        r.version = VersionInfo{};
        for (const std::string &key_value : a.version_info)
            add_version_info(*r.version, key_value);
    } else if (entry) {
        r.copied_version = entry->version;
    }
    if (!a.unpack.spec.empty())
        check_unpack_spec(a.unpack.spec, a.unpack.reuse);
    if (a.app_id_given)
        check_app_id(a.unpack.app_id);
    check_output_folder(a.output);
    check_written_paths(a, kit, request.console);
    if (!a.app_exe.empty())
        request.build_notes = program_entry_notes(a.app_args);
    if (a.unpack_threads != 0)
        request.build_notes += std::string(note_unpack_threads) + "=" + std::to_string(a.unpack_threads) + "\n";
    return request;
}

// Sizes as a person reads them in a summary: three significant figures or so.
std::string readable_size(uint64_t bytes)
{
    char text[32];
    if (bytes < 1000)
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    else
        std::snprintf(text, sizeof text, bytes < 1000000 ? "%.1f kB" : bytes < 1000000000 ? "%.1f MB" : "%.2f GB",
                      bytes / (bytes < 1000000 ? 1e3 : bytes < 1000000000 ? 1e6 : 1e9));
    return text;
}

void build_command(const Arguments &a, const fs::path &kit)
{
    const auto start = std::chrono::steady_clock::now();
    if (a.app_library.empty() && a.app_exe.empty())
        throw PackError{"build needs the entry: --app-library (a DLL exporting run_code) or --app-exe (a program), "
                        "relative to --dir"};
    const EntryFile entry{a.app_exe.empty() ? a.app_library : a.app_exe, !a.app_exe.empty()};
    const fs::path entry_path = checked_entry_path(fs::u8path(a.directory), entry);
    LauncherRequest request =
        launcher_request(a, kit, entry.program ? std::optional(read_entry_identity(entry_path)) : std::nullopt);
    FolderContents contents = collect_entries(fs::u8path(a.directory), entry);
    ArchiveOptions options = a.options;
    options.show_progress = !a.quiet && stderr_is_terminal();
    // Only a reusing launcher skips what it has: frames for it alone.
    if (a.unpack.reuse) {
        options.frame_bytes = reuse_frame_bytes;
        request.frame_count = frame_first_records(contents.entries, options.frame_bytes).size();
    }
    std::vector<std::pair<std::u16string, uint64_t>> records;
    std::vector<uint64_t> hashes;
    for (const ArchiveEntry &e : contents.entries) {
        records.emplace_back(e.name, e.size);
        // A read of its own before the compression's: only reuse needs it.
        if (a.unpack.reuse)
            hashes.push_back(file_content_hash(e.source));
    }
    request.build_notes = std::string(note_level) + "=" + std::to_string(options.level) + "\n" + request.build_notes +
                          unpack_notes(a.unpack, a.version_info, fs::u8path(a.output), records, hashes) +
                          progress_note(a.unpack, records);
    const LauncherLayout layout = lay_out_launcher(request);
    // The depfile is in place before the launcher: one that cannot be
    // written leaves no launcher, so a build system never sees a launcher
    // without its inputs.
    bool depfile_written = false;
    const auto write_inputs = [&] {
        if (a.depfile.empty())
            return;
        std::vector<fs::path> inputs = kit_files(kit, request.console);
        // Folders too: adding or removing a file changes its folder's time.
        inputs.insert(inputs.end(), contents.folders.begin(), contents.folders.end());
        for (const ArchiveEntry &e : contents.entries)
            inputs.push_back(e.source);
        if (!a.splash.empty())
            inputs.push_back(fs::u8path(a.splash));
        if (!a.icon.empty())
            inputs.push_back(fs::u8path(a.icon));
        write_depfile(fs::u8path(a.depfile), a.output, inputs);
        depfile_written = true;
    };
    try {
        write_launcher(
            layout, fs::u8path(a.output),
            [&](const AttachedDataSink &sink) { return write_attached_data(contents.entries, sink, options); },
            write_inputs);
    } catch (const PackError &) {
        std::error_code ignored;
        if (depfile_written)
            fs::remove(system_path(fs::u8path(a.depfile)), ignored);
        throw;
    }
    if (a.quiet)
        return;
    // What was made, for a person packing by hand or reading a build log.
    uint64_t file_bytes = 0;
    for (const ArchiveEntry &e : contents.entries)
        file_bytes += e.size;
    std::error_code error;
    const uint64_t launcher_bytes = fs::file_size(system_path(fs::u8path(a.output)), error);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("packed %zu %s, %s, into '%s': %s (%.1f%% of the files) in %.1f s\n", contents.entries.size(),
                contents.entries.size() == 1 ? "file" : "files", readable_size(file_bytes).c_str(), a.output.c_str(),
                readable_size(launcher_bytes).c_str(), file_bytes > 0 ? 100.0 * launcher_bytes / file_bytes : 0.0,
                seconds);
}

// A reusing launcher's notes list its records and their content hashes:
// read from the attached data, which is decoded and checked whole for that.
std::vector<std::pair<std::u16string, uint64_t>> attached_records(const fs::path &attached_data,
                                                                  std::vector<uint64_t> &hashes)
{
    std::ifstream in(system_path(attached_data), std::ios::binary | std::ios::ate);
    if (!in)
        throw PackError{"cannot read attached data '" + attached_data.u8string() + "'"};
    const uint64_t size = static_cast<uint64_t>(in.tellg());
    in.seekg(0);
    std::vector<std::pair<std::u16string, uint64_t>> records;
    std::unique_ptr<ContentHash> hash;
    read_attached_data(in, size,
                       RecordVisitor{[&](const RecordInfo &r) {
                                         records.emplace_back(r.name, r.size);
                                         hash = std::make_unique<ContentHash>();
                                     },
                                     [&](const uint8_t *data, size_t size) { hash->add(data, size); },
                                     [&] { hashes.push_back(hash->value()); }});
    return records;
}

void link_command(const Arguments &a, const fs::path &kit)
{
    LauncherRequest request = launcher_request(a, kit, std::nullopt);
    const fs::path attached_data = fs::u8path(a.attached_data);
    if (!is_file(attached_data))
        throw PackError{"attached data '" + a.attached_data + "' does not exist or is not a file"};
    std::ifstream in(system_path(attached_data), std::ios::binary);
    std::error_code error;
    const uint64_t size = fs::file_size(system_path(attached_data), error);
    if (!in || error)
        throw PackError{"cannot read attached data '" + a.attached_data + "'"};
    std::vector<uint64_t> hashes;
    const std::vector<std::pair<std::u16string, uint64_t>> records =
        a.unpack.reuse ? attached_records(attached_data, hashes) : std::vector<std::pair<std::u16string, uint64_t>>{};
    request.build_notes += unpack_notes(a.unpack, a.version_info, fs::u8path(a.output), records, hashes) +
                           progress_note(a.unpack, records);
    const LauncherLayout layout = lay_out_launcher(request);
    check_attached_data_size(layout, size);
    write_launcher(layout, fs::u8path(a.output), [&](const AttachedDataSink &sink) {
        std::vector<char> chunk(1 << 20);
        uint64_t left = size;
        while (left > 0) {
            size_t want = static_cast<size_t>(std::min<uint64_t>(left, chunk.size()));
            if (!in.read(chunk.data(), static_cast<std::streamsize>(want)))
                throw PackError{"attached data '" + a.attached_data + "' changed while it was read: link again"};
            sink(chunk.data(), want);
            left -= want;
        }
        return std::vector<FrameStart>{};
    }, [] {});
}

// The options build and link share: what the launcher looks like to Windows.
void add_launcher_options(CLI::App *command, Arguments &a)
{
    command->add_option("--splash", a.splash, "PNG image shown while the application starts");
    command->add_option("--icon", a.icon,
                        "Icon file (.ico) replacing the launcher's icon (default: a program entry's own icon)");
    command->add_flag("--console", a.console,
                      "A console-subsystem launcher: started from a console, it shares it with the application "
                      "(default: for a program entry, the subsystem of the program)");
    command->add_flag("--gui", a.gui, "A GUI-subsystem launcher, whatever the program entry's subsystem");
    command->add_option("--version-info", a.version_info,
                        "KEY=VALUE for the version information Explorer shows (repeatable); keys: FileVersion, "
                        "ProductVersion (1 to 4 dot-separated numbers), ProductName, CompanyName, FileDescription, "
                        "LegalCopyright, OriginalFilename, InternalName; given, they replace a program entry's own")
        ->expected(1)
        ->take_all();
    command->add_option("--execution-level", a.execution_level,
                        "Requested execution level in the manifest: asInvoker, highestAvailable or "
                        "requireAdministrator (default: a program entry's own, else asInvoker)");
    command->add_option("--app-arg", a.app_args,
                        "Fixed argument for the --app-exe program, before the user's (repeatable); {APP_DIR} "
                        "stands for the folder the application is unpacked to")
        ->expected(1)
        ->take_all();
    command->add_option("--unpack-dir", a.unpack.spec,
                        "Where the launcher unpacks, a spec with placeholders such as {TEMP}, {CACHE_DIR} and "
                        "{RANDOM} (default: {TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}; with --reuse "
                        "{CACHE_DIR}\\VeskarOnefile\\NAME)");
    CLI::Option *reuse = command->add_flag("--reuse", a.unpack.reuse,
                                           "Keep the unpacked application between runs, checked at every start, "
                                           "and start from it without unpacking again");
    command->add_option("--reuse-process", a.unpack.process,
                        "With --reuse, where the application runs: self (in the launcher's own process) or child "
                        "(in a child process, with the launcher waiting beside it as without --reuse)")
        ->check(CLI::IsMember({"self", "child"}))
        ->needs(reuse)
        ->capture_default_str();
    command->add_option("--app-id", a.unpack.app_id,
                        "With --reuse: who the application is, so that only its own older trees are removed as "
                        "old versions (default: CompanyName and ProductName of --version-info when both are "
                        "given, otherwise the launcher's name); at most 100 characters a folder name may hold")
        ->needs(reuse)
        ->each([&a](const std::string &) { a.app_id_given = true; });
    command->add_option("--unpack-threads", a.unpack_threads,
                        "Threads that unpack the application at start, 1 to 5 (default: chosen at run time from "
                        "the cores); 1 decodes and writes on one thread")
        ->check(CLI::Range(1, 5));
    command->add_flag("!--no-progress", a.unpack.progress,
                      "Show no progress while a first start unpacks (by default a start that takes over a second "
                      "shows it on the splash, in a window of its own, or on an interactive console)");
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
    // CLI11 reads "--app-arg=" as a missing value and takes the next word
    // instead: an empty fixed argument is given as two words.
    std::vector<const char *> argument_pointers;
    for (const std::string &argument : arguments) {
        const bool empty_app_arg = argument == "--app-arg=";
        argument_pointers.push_back(empty_app_arg ? "--app-arg" : argument.c_str());
        if (empty_app_arg)
            argument_pointers.push_back("");
    }

    CLI::App app{"veskar-pack: build a single-file Windows launcher from an application folder, and look into "
                 "launchers built with it"};
    app.require_subcommand(1);
    // The same options on every system: on Windows "/dir" is a path, not an option.
    app.allow_windows_style_options(false);
    Arguments a;
    app.add_option("--kit", a.kit, "Launcher kit folder (default: ../lib/veskar-onefile beside this program)");

    CLI::App *build = app.add_subcommand("build", "Pack an application folder into its launcher");
    build->add_option("--dir", a.directory, "Application folder; every file below it is packed")->required();
    build->add_option("--app-library", a.app_library,
                      "Application library (exports run_code), relative to --dir; it becomes the first record");
    build->add_option("--app-exe", a.app_exe,
                      "Application program (.exe) the launcher starts instead of a library, relative to --dir; it "
                      "becomes the first record");
    build->add_option("-o,--output", a.output, "Launcher to write")->required();
    build->add_option("--level", a.options.level, "zstd level, " + std::to_string(min_level) + " to " +
                                                      std::to_string(max_level))
        ->check(CLI::Range(static_cast<int>(min_level), static_cast<int>(max_level)))
        ->capture_default_str();
    build->add_option("--threads", a.options.threads,
                      "Compression threads (default: one per core); the output is the same for any number")
        ->check(CLI::Range(1, 256));
    add_launcher_options(build, a);
    build->add_option("--depfile", a.depfile,
                      "Also write a Makefile-style file listing every input, for build systems");
    build->add_flag("-q,--quiet", a.quiet, "No progress line, even on a terminal");

    CLI::App *link = app.add_subcommand("link", "Make a launcher around attached data made elsewhere");
    link->add_option("--attached-data", a.attached_data, "Attached data file")->required();
    link->add_option("--app-exe", a.app_exe,
                     "The attached data's first record is a program the launcher starts (recorded, not checked)");
    link->add_option("-o,--output", a.output, "Launcher to write")->required();
    add_launcher_options(link, a);

    CLI::App *list = app.add_subcommand("list", "Show the files, the entry and its fixed arguments, sizes, compression, unpack directory, splash, icon, subsystem, execution level and version information of a launcher");
    list->add_option("launcher", a.launcher, "Launcher .exe built by veskar-pack")->required();
    list->add_flag("--json", a.json, "The same as one JSON object, for programs");

    CLI::App *extract = app.add_subcommand("extract", "Write the files packed in a launcher into a new or empty "
                                                      "folder, running nothing");
    extract->add_option("launcher", a.launcher, "Launcher .exe built by veskar-pack")->required();
    extract->add_option("folder", a.extract_to, "Folder to write the files into: made if missing, else empty")->required();

    CLI::App *verify = app.add_subcommand("verify", "Check that a launcher's attached data, build notes and PE "
                                                    "checksum are intact, and say whether it is signed");
    verify->add_option("launcher", a.launcher, "Launcher .exe built by veskar-pack")->required();
    verify->add_flag("--json", a.json, "The verdict as one JSON object, for programs; status 1 still when damaged");

    try {
        app.parse(static_cast<int>(argument_pointers.size()), argument_pointers.data());
    } catch (const CLI::Success &e) {
        return app.exit(e);  // --help
    } catch (const CLI::ParseError &e) {
        // Like every other error: one line, status 1.
        std::string message = e.what();
        std::replace(message.begin(), message.end(), '\n', ' ');
        std::fprintf(stderr, "veskar-pack: %s\n", message.c_str());
        return 1;
    }
    try {
        // Only the commands that use the kit look for it: verify and extract
        // also run where the packer cannot find its own location.
        const auto kit = [&] { return a.kit.empty() ? default_kit_directory() : fs::u8path(a.kit); };
        if (*build || *link)
            catch_interrupts();
        if (*build)
            build_command(a, kit());
        else if (*link)
            link_command(a, kit());
        else if (*list && a.json)
            list_launcher_json(fs::u8path(a.launcher), kit());
        else if (*list)
            list_launcher(fs::u8path(a.launcher), kit());
        else if (*extract)
            extract_launcher(fs::u8path(a.launcher), fs::u8path(a.extract_to));
        else if (a.json)
            verify_launcher_json(fs::u8path(a.launcher));
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
