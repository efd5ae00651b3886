// pack_test_support.h -- what the packer's test files share: running commands, a sample
// application folder, the stub to pack behind, and builds through the library.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/fixtures/sfx_writer.h"
#include "tests/support/temp_folder.h"
#include "tools/pack/package_writer.h"

namespace pack_test {

namespace fs = std::filesystem;
using sfx::Bytes;
using testing_support::TempFolder;

inline bool have(const std::string& tool) {
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// Appended piece by piece: GCC 12 warns falsely (-Wrestrict) about a literal + a string.
inline std::string quoted(const fs::path& path) {
    std::string text(1, '\'');
    text += path.string();
    text += '\'';
    return text;
}

struct Ran {
    int exit_code;
    std::string out;
    std::string err;
};

inline std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline Ran run(const std::string& command) {
    TempFolder capture;
    std::string full = command + " >" + quoted(capture / "out") + " 2>" + quoted(capture / "err") + " </dev/null";
    int status = std::system(full.c_str());
    return Ran{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(capture / "out"), slurp(capture / "err")};
}

inline std::string pack_exe() { return quoted(TARNVEL_PACK_EXE); }

// About 1 MB of text that reads like a log: compressible, but not trivially.
inline Bytes megabyte_text() {
    std::string text;
    for (int line = 0; text.size() < (1u << 20); ++line)
        text += "2026-12-11 07:" + std::to_string(line % 60) + " setup step " + std::to_string(line * 7919 % 10007) +
                " copied file " + std::to_string(line) + " of the application\r\n";
    return sfx::text(text);
}

inline constexpr const char* NON_ASCII_NAME = "docs/Résumé café.txt";

// The folder most tests start from: files by name (relative, '/') and their bytes, an empty
// folder plugins/none, and readonly.txt without write permission.
inline std::map<std::string, Bytes> make_app_folder(const fs::path& root) {
    std::map<std::string, Bytes> files = {
        {"setup.exe", sfx::text("MZ the setup program")},
        {"bin/deep/er/lib.dll", sfx::sample_content(200000, 7)},
        {"bin/noise.bin", sfx::noise(70000, 3)},
        {"empty.txt", {}},
        {"readonly.txt", sfx::text("do not touch\r\n")},
        {".hidden.ini", sfx::text("[hidden]\r\n")},
        {NON_ASCII_NAME, sfx::text("accents\r\n")},
        {"log.txt", megabyte_text()},
    };
    for (const auto& [name, bytes] : files) {
        fs::create_directories((root / name).parent_path());
        sfx::write_file(root / name, bytes);
    }
    fs::create_directories(root / "plugins/none");
    fs::permissions(root / "readonly.txt", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    return files;
}

inline fs::path stub_path(const TempFolder& scratch) {
    fs::path shipped = TARNVEL_STUB;
    if (fs::exists(shipped)) return shipped;
    // A fresh host build has no cross-built stub yet; a PE-like head serves the host walk.
    sfx::write_file(scratch / "stub.exe", sfx::default_stub());
    return scratch / "stub.exe";
}

struct BuildArgs {
    std::vector<fs::path> paths;
    std::optional<fs::path> zip;
    std::optional<std::string> disclaimer;
    int level = pack::DEFAULT_LEVEL;
    bool best = false;
};

// Folders and files, with a disclaimer or without.
inline BuildArgs from_paths(std::vector<fs::path> paths, std::optional<std::string> disclaimer = std::nullopt) {
    BuildArgs args;
    args.paths = std::move(paths);
    args.disclaimer = std::move(disclaimer);
    return args;
}

// A zip's entries, with folders and files beside them or without.
inline BuildArgs from_zip(fs::path zip, std::vector<fs::path> paths = {}) {
    BuildArgs args;
    args.zip = std::move(zip);
    args.paths = std::move(paths);
    return args;
}

inline pack::BuildResult build(const TempFolder& scratch, const fs::path& out, BuildArgs args) {
    pack::BuildOptions options;
    options.stub = stub_path(scratch);
    options.out = out;
    options.paths = std::move(args.paths);
    options.zip = std::move(args.zip);
    options.disclaimer = std::move(args.disclaimer);
    options.level = args.level;
    options.best = args.best;
    return pack::build_package(options);
}

// A folder holding one file of that name (relative, '/'), returned quoted for a command line.
inline std::string folder_with(const fs::path& dir, const std::string& name, const Bytes& bytes = sfx::text("x")) {
    fs::create_directories((dir / "src" / name).parent_path());
    sfx::write_file(dir / "src" / name, bytes);
    return quoted(dir / "src");
}

// Every file under `root` (relative name, '/') with its bytes.
inline std::map<std::string, Bytes> files_under(const fs::path& root) {
    std::map<std::string, Bytes> found;
    for (auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file()) found[entry.path().lexically_relative(root).generic_string()] = sfx::read_file(entry.path());
    return found;
}

}  // namespace pack_test
