// package_writer.h -- builds a self-extracting file: stub, local entries, directory, end record, trailer.
//
// Every entry is a method-8 entry with its sizes and CRC in the local header: no data
// descriptors, no encryption, no extra fields, no comments. Data that deflate cannot shrink
// goes into stored blocks inside the deflate stream. An empty file or a folder carries the
// 2-byte empty deflate stream rather than size 0, because the stub gives an entry of size 0
// neither its time nor its attributes. Offsets count from the start of the whole file.
// Entries are compressed on every core and written in plan order.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tools/pack/package_plan.h"
#include "tools/pack/zip_format.h"

namespace pack {

struct BuildOptions {
    std::filesystem::path stub;
    std::filesystem::path out;
    std::vector<std::filesystem::path> paths;  // folders (their contents) and files
    std::optional<std::filesystem::path> zip;  // entries taken from a zip
    std::optional<std::string> disclaimer;     // the text's bytes, written as given
    int level = DEFAULT_LEVEL;
    bool best = false;  // the smallest output this tool can make, whatever it costs
    NameRules rules;
    unsigned jobs = 0;  // compressing threads; 0: one per core
    // Called on the writing thread now and then: uncompressed bytes done, of the total.
    std::function<void(uint64_t done, uint64_t total)> progress;
};

struct BuildResult {
    uint32_t entries = 0;
    uint32_t compressed = 0;  // deflated here
    uint32_t copied = 0;      // deflate data taken over from the source zip as it was
    uint64_t stub_size = 0;
    uint64_t input_size = 0;  // uncompressed bytes of every entry
    uint64_t package_size = 0;
    std::vector<std::string> warnings;
};

// The stub the tool ships with: tarnvel-sfx.exe beside the running program.
std::filesystem::path default_stub_path();

// Refuses (Refused) before the package file exists; writes it atomically (a temporary file
// beside `out`, then a rename), mode 0755.
BuildResult build_package(const BuildOptions& options);

}  // namespace pack
