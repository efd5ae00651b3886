// package_plan.h -- what goes into a package, from folders, files and a zip, and every refusal.
//
// A plan is made and judged whole before a byte of the package is written: each name, the
// sizes, the count, collisions, and the disclaimer. Whatever the stub could not extract in
// full is refused with a Refused naming the entry and the limit.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/pack/package_reader.h"
#include "tools/pack/zip_format.h"

namespace pack {

// How an entry's data reaches the package.
enum class Source {
    none,         // a directory entry: the 2-byte empty deflate stream
    file,         // a file on disk, compressed here
    zip_deflate,  // a source zip's deflate data, copied as it is
    zip_decode,   // a source zip's entry of another kind, decoded and compressed here
};

struct PlannedEntry {
    std::string name;   // OEM code page, '/' separators, a trailing '/' for a directory
    std::string shown;  // the name as the user knows it, for messages
    bool directory = false;
    DosTime time{};
    uint32_t attributes = ATTR_ARCHIVE;
    uint64_t size = 0;  // uncompressed
    Source source = Source::none;
    std::filesystem::path file;  // Source::file
    int zip_index = -1;          // the zip sources: the entry in the source zip
};

// A source zip kept open for the plan's lifetime.
struct ZipSource {
    std::unique_ptr<MappedFile> file;
    Archive archive;
};

struct Plan {
    std::vector<PlannedEntry> entries;  // in package order
    std::optional<ZipSource> zip;
    std::vector<std::string> warnings;
};

// Folders add their contents at the top level, files themselves under their own name, a zip
// its entries; then everything is sorted by stored name. `exclude` (the package being
// written) is left out wherever it lies.
Plan make_plan(const std::vector<std::filesystem::path>& paths, const std::optional<std::filesystem::path>& zip,
               const NameRules& rules, const std::filesystem::path& exclude = {});

// The entries of one folder, names relative to it.
std::vector<PlannedEntry> plan_folder(const std::filesystem::path& folder, const std::filesystem::path& exclude = {});
std::vector<PlannedEntry> plan_zip(const Archive& zip);

// Every refusal that concerns the set of entries: names, count, sizes, collisions.
void check_plan(const std::vector<PlannedEntry>& entries, const NameRules& rules, std::vector<std::string>& warnings);
// Refusals for the disclaimer text; warnings are appended.
void check_disclaimer(const std::string& text, std::vector<std::string>& warnings);

// What a signature may add after the trailer while the stub still reaches the trailer and
// the end record; a package that leaves less room gets a warning. A signature with a
// three-certificate chain and a time stamp takes about 6 to 8 KiB.
constexpr uint32_t SIGNATURE_ALLOWANCE = 8192;

}  // namespace pack
