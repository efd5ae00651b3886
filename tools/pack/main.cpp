// main.cpp -- tarnvel-pack's command line; the work lives in the tarnvel_pack library.
//
// Exit codes: 0 done (for check and extract: no box would appear); 1 check or extract found
// a box or a broken rule; 2 a usage error; 3 an input refused because the stub could not
// extract it in full; 4 anything else that went wrong (a file unreadable, a disk full).
#include <cstdio>
#include <fstream>
#include <iterator>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "tools/pack/package_check.h"
#include "tools/pack/package_reader.h"
#include "tools/pack/package_writer.h"
#include "tools/pack/progress_meter.h"

namespace {

enum ExitCode { EXIT_DONE = 0, EXIT_BOXES = 1, EXIT_USAGE = 2, EXIT_REFUSED = 3, EXIT_ERROR = 4 };

std::string read_text_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw pack::PackError(fmt::format("cannot read the disclaimer file {}", path));
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void add_temp_dir_length(CLI::App* command, uint32_t& length) {
    command
        ->add_option("--temp-dir-length", length,
                     fmt::format("characters of the user's temp dir, with its final backslash, that names must leave "
                                 "room for (default {}: C:\\Users\\ + a 20-character name + \\AppData\\Local\\Temp\\)",
                                 pack::DEFAULT_TEMP_DIR_LENGTH))
        ->check(CLI::Range(pack::MIN_TEMP_DIR_LENGTH, pack::MAX_TEMP_DIR_LENGTH));
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"tarnvel-pack: builds, checks, extracts and lists Tarnvel SFX self-extracting files", "tarnvel-pack"};
    app.set_version_flag("--version", "tarnvel-pack " TARNVEL_VERSION);
    app.require_subcommand(1);
    app.footer(fmt::format(
        "A package holds only what the stub extracts in full; anything else is refused before a byte is written:\n"
        "names in code page 437 whose output path stays under {} characters behind the temp dir, no \"..\" and no\n"
        "drive letters (unless allowed), no two names that differ only in case, files under 4 GiB, at most {} entries,\n"
        "a disclaimer of at most {} bytes without the bytes \"SFX\" 0x01.\n"
        "Exit codes: 0 done; 1 a box would appear or a rule is broken (check, extract); 2 usage; 3 refused; 4 an error.\n",
        pack::PATH_LIMIT, pack::MAX_ENTRIES, pack::MAX_DISCLAIMER_BYTES));

    pack::BuildOptions build;
    std::string disclaimer_file;
    bool quiet = false;
    CLI::App* build_cmd = app.add_subcommand("build", "pack folders, files or a zip behind the stub");
    build_cmd->add_option("-o,--out", build.out, "the self-extracting file to write (atomically, mode 0755)")->required();
    build_cmd->add_option("--stub", build.stub, "the bare stub (default: tarnvel-sfx.exe beside this tool)")
        ->check(CLI::ExistingFile);
    build_cmd->add_option("--disclaimer", disclaimer_file, "a text file whose bytes the user must accept first")
        ->check(CLI::ExistingFile);
    auto* level_opt = build_cmd->add_option("--level", build.level,
                                            fmt::format("deflate level {}..{} (default {})", pack::MIN_LEVEL, pack::MAX_LEVEL,
                                                        pack::DEFAULT_LEVEL))
                          ->check(CLI::Range(pack::MIN_LEVEL, pack::MAX_LEVEL));
    build_cmd->add_flag("--best", build.best, "the smallest package this tool can make, whatever the time")->excludes(level_opt);
    build_cmd->add_option("--zip", build.zip, "take entries from this zip (deflate data copied, the rest recompressed)")
        ->check(CLI::ExistingFile);
    add_temp_dir_length(build_cmd, build.rules.temp_dir_length);
    build_cmd->add_flag("--allow-drive-letters", build.rules.allow_drive_letters,
                        "let names such as C:/Tools/x.exe through; the stub writes them to that absolute path");
    build_cmd->add_option("-j,--jobs", build.jobs, "compressing threads (default: one per core)");
    build_cmd->add_flag("-q,--quiet", quiet, "no progress bar");
    build_cmd->add_option("PATH", build.paths, "folders (their contents go to the top) and files")->check(CLI::ExistingPath);

    pack::CheckOptions check;
    CLI::App* check_cmd = app.add_subcommand(
        "check", "run the stub's whole run on this machine in a scratch folder: every box, the launch, every broken rule");
    add_temp_dir_length(check_cmd, check.rules.temp_dir_length);
    check_cmd->add_option("FILE", check.package, "the self-extracting file")->required()->check(CLI::ExistingFile);

    pack::ExtractOptions extract;
    CLI::App* extract_cmd =
        app.add_subcommand("extract", "extract as the stub would, with DIR as the temp dir, and print every box");
    extract_cmd->add_flag("--map-drives", extract.map_drives, "write drive-letter names under DIR/X: instead of refusing them");
    extract_cmd->add_option("FILE", extract.package, "the self-extracting file")->required()->check(CLI::ExistingFile);
    extract_cmd->add_option("DIR", extract.dir, "the folder that stands for the temp dir")->required();

    std::string list_path;
    CLI::App* list_cmd = app.add_subcommand("list", "show the layout, the trailer and every entry");
    list_cmd->add_option("FILE", list_path, "the self-extracting file")->required()->check(CLI::ExistingFile);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        int code = app.exit(error);
        return code == 0 ? EXIT_DONE : EXIT_USAGE;
    }

    try {
        if (*build_cmd) {
            if (build.paths.empty() && !build.zip) {
                fmt::print(stderr, "tarnvel-pack: build needs a PATH or --zip\n");
                return EXIT_USAGE;
            }
            if (build.stub.empty()) build.stub = pack::default_stub_path();
            if (!disclaimer_file.empty()) build.disclaimer = read_text_file(disclaimer_file);
            pack::ProgressMeter meter(stderr, !quiet);
            build.progress = [&](uint64_t done, uint64_t total) { meter.update(done, total); };
            pack::BuildResult result = pack::build_package(build);
            meter.finish();
            for (const std::string& warning : result.warnings) fmt::print(stderr, "tarnvel-pack: warning: {}\n", warning);
            fmt::print("built {}: {} bytes ({} stub, {} entries: {} compressed{}), {}\n", build.out.string(), result.package_size,
                       result.stub_size, result.entries, result.compressed,
                       result.copied ? fmt::format(", {} copied from the zip", result.copied) : "",
                       build.best ? std::string("--best") : fmt::format("level {}", build.level));
            return EXIT_DONE;
        }
        if (*extract_cmd) {
            pack::ExtractReport report = pack::extract_package(extract);
            fmt::print("{}", pack::describe_extract(report, extract));
            return report.passed() ? EXIT_DONE : EXIT_BOXES;
        }
        if (*check_cmd) {
            pack::CheckReport report = pack::check_package(check);
            fmt::print("{}", pack::describe_check(report));
            return report.passed() ? EXIT_DONE : EXIT_BOXES;
        }
        pack::MappedFile file(list_path);
        fmt::print("{}", pack::describe_package(pack::read_package(file)));
        return EXIT_DONE;
    } catch (const pack::Refused& error) {
        fmt::print(stderr, "tarnvel-pack: refused: {}\n", error.what());
        return EXIT_REFUSED;
    } catch (const std::exception& error) {
        fmt::print(stderr, "tarnvel-pack: {}\n", error.what());
        return EXIT_ERROR;
    }
}
