// main.cpp -- tarnvel-pack's command line: build, check, list; the work lives in tarnvel_pack.
#include <cstdio>
#include <fstream>
#include <iterator>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "tools/pack/package_check.h"
#include "tools/pack/package_reader.h"
#include "tools/pack/package_writer.h"

namespace {

std::string read_text_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw pack::PackError(fmt::format("cannot read the disclaimer file {}", path));
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"tarnvel-pack: builds, checks and lists Tarnvel SFX self-extracting files", "tarnvel-pack"};
    app.set_version_flag("--version", "tarnvel-pack " TARNVEL_VERSION);
    app.require_subcommand(1);
    app.footer(fmt::format(
        "Packages hold only what the stub extracts whole: names of at most {} bytes in code page 437 (room for\n"
        "the user's temp dir within 260), no \"..\", drive letters or names Windows refuses, at most {} entries,\n"
        "files under 4 GiB, a disclaimer of at most {} bytes. Anything else is refused.",
        pack::MAX_NAME_BYTES, pack::MAX_ENTRIES, pack::MAX_DISCLAIMER_BYTES));

    pack::BuildOptions build;
    std::string disclaimer_file;
    std::string disclaimer_text;
    CLI::App* build_cmd = app.add_subcommand("build", "pack a folder or a zip file behind the stub");
    build_cmd->add_option("--stub", build.stub, "the bare stub, e.g. dist/tarnvel-sfx.exe")->required()->check(CLI::ExistingFile);
    build_cmd->add_option("--out", build.out, "the self-extracting file to write (atomically, mode 0755)")->required();
    auto* file_opt = build_cmd->add_option("--disclaimer-file", disclaimer_file, "a file whose bytes the user must accept first")
                         ->check(CLI::ExistingFile);
    auto* text_opt = build_cmd->add_option("--disclaimer", disclaimer_text, "a text the user must accept first");
    file_opt->excludes(text_opt);
    build_cmd->add_option("--level", build.level, fmt::format("deflate level 0..{} (default {})", pack::MAX_LEVEL, pack::DEFAULT_LEVEL))
        ->check(CLI::Range(0, pack::MAX_LEVEL));
    build_cmd->add_option("SOURCE", build.source, "a folder, or a zip file to re-pack")->required();

    pack::CheckOptions check;
    std::string keep;
    CLI::App* check_cmd = app.add_subcommand("check", "run the stub's own walk on this machine and verify every entry");
    check_cmd->add_option("--keep", keep, "extract into this folder and leave the files there");
    check_cmd->add_option("PKG", check.package, "the self-extracting file")->required()->check(CLI::ExistingFile);

    std::string list_path;
    CLI::App* list_cmd = app.add_subcommand("list", "show the layout, the trailer and every entry");
    list_cmd->add_option("PKG", list_path, "the self-extracting file")->required()->check(CLI::ExistingFile);

    CLI11_PARSE(app, argc, argv);

    try {
        if (*build_cmd) {
            if (*file_opt) build.disclaimer = read_text_file(disclaimer_file);
            if (*text_opt) build.disclaimer = disclaimer_text;
            pack::BuildResult result = pack::build_package(build);
            for (const std::string& warning : result.warnings) fmt::print(stderr, "tarnvel-pack: warning: {}\n", warning);
            fmt::print("built {}: {} bytes ({} stub, {} entries: {} deflated, {} stored{}), level {}\n", build.out.string(),
                       result.package_size, result.stub_size, result.entries, result.deflated, result.stored,
                       result.kept_raw ? fmt::format(", {} kept as the zip had them", result.kept_raw) : "", build.level);
            return 0;
        }
        if (*check_cmd) {
            if (!keep.empty()) check.keep = keep;
            pack::CheckReport report = pack::check_package(check);
            fmt::print("{}", pack::describe_check(report));
            return report.passed() ? 0 : 1;
        }
        pack::MappedFile file(list_path);
        fmt::print("{}", pack::describe_package(pack::read_package(file)));
        return 0;
    } catch (const std::exception& error) {
        fmt::print(stderr, "tarnvel-pack: {}\n", error.what());
        return 1;
    }
}
