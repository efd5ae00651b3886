// package_writer.h -- builds a self-extracting file: stub, local entries, directory, end record, trailer.
//
// Every entry is a plain method-8 (deflate, by libdeflate) or method-0 (stored, where
// deflate would not shrink it) entry with its sizes and CRC in the local header: no data
// descriptors, no encryption, no extra fields, no comments. Offsets count from the start of
// the whole file. An empty file is written as a 2-byte deflate stream rather than with size
// 0, because the stub gives an entry of size 0 neither its time nor its attributes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tools/pack/zip_format.h"

namespace pack {

struct BuildOptions {
    std::filesystem::path stub;
    std::filesystem::path out;
    std::filesystem::path source;  // a folder, or a zip file
    std::optional<std::string> disclaimer;  // the text's bytes, written as given
    int level = DEFAULT_LEVEL;
};

struct BuildResult {
    uint32_t entries = 0;
    uint32_t deflated = 0;
    uint32_t stored = 0;
    uint32_t kept_raw = 0;  // deflate data taken over from a source zip as it was
    uint64_t stub_size = 0;
    uint64_t package_size = 0;
    std::vector<std::string> warnings;
};

// What goes into the package, in package order, before any byte is written.
struct PlannedEntry {
    std::string name;   // OEM code page, '/' separators, a trailing '/' for a directory
    std::string shown;  // the name as the user knows it, for messages
    bool directory = false;
    DosTime time{};
    uint32_t attributes = ATTR_ARCHIVE;
    uint64_t size = 0;
    std::filesystem::path file;  // folder source: the file to read
    int zip_index = -1;          // zip source: the entry in the source zip
};

// The entries of a folder, sorted by stored name; throws PackError on a refusal.
std::vector<PlannedEntry> plan_folder(const std::filesystem::path& folder, const std::filesystem::path& exclude = {});
// Every refusal that concerns the set of entries: names, count, sizes, collisions.
void check_plan(const std::vector<PlannedEntry>& entries);
// Refusals for the disclaimer text; warnings are appended.
void check_disclaimer(const std::string& text, std::vector<std::string>& warnings);

// Writes the package atomically (a temporary file beside `out`, then a rename), mode 0755.
BuildResult build_package(const BuildOptions& options);

}  // namespace pack
