// package_check.h -- the stub's whole run on the host layer: `check` in a scratch folder, `extract`
// into a folder of the user's choice; every box it shows, the program it would open.
//
// Both answer every box OK, as a user who accepts the disclaimer and closes each warning.
// `check` lays out a Windows-like drive in a scratch folder, with a temp dir of the stated
// length, so the path limit is tested by the stub's own code; it then reads every file back
// against the archive and judges the file's layout against the rules of package_rules.h.
// `extract` takes DIR itself as the temp dir (its length counts, as Windows' would).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tools/pack/package_rules.h"
#include "tools/pack/zip_format.h"

namespace pack {

struct ShownBox {
    std::string caption;
    std::string text;
    unsigned code = 0;   // from the text's "Error: 0X..."; 0 for the disclaimer
    std::string during;  // the output path being written when it appeared, if any
    bool disclaimer = false;
};

// What one run of the stub showed and did.
struct RunRecord {
    std::vector<ShownBox> boxes;
    std::string launch;       // the path the stub asked the shell to open, Windows form; "" for none
    std::string launch_host;  // the file that path names on this machine
    uint32_t entries_visited = 0;

    size_t failure_boxes() const;
};

struct CheckOptions {
    std::filesystem::path package;
    NameRules rules;  // the temp dir's length; drive letters are always let through here
};

struct CheckReport {
    RunRecord run;
    LayoutReport layout;
    uint32_t directory_entries = 0;
    uint32_t files_verified = 0;
    uint32_t folders_verified = 0;
    std::vector<std::string> lost;  // entries missing or differing after the run
    std::string temp_dir;           // the temp dir the run was given

    bool passed() const { return run.failure_boxes() == 0 && layout.broken.empty() && lost.empty(); }
};

CheckReport check_package(const CheckOptions& options);
std::string describe_check(const CheckReport& report);

struct ExtractOptions {
    std::filesystem::path package;
    std::filesystem::path dir;  // the temp dir; created when missing
    bool map_drives = false;    // drive-letter names go to DIR/X:/...; refused otherwise
};

struct ExtractReport {
    RunRecord run;
    std::vector<std::string> outside;  // entries the stub would write outside DIR, not written here
    uint32_t files = 0;
    uint32_t folders = 0;

    bool passed() const { return run.failure_boxes() == 0 && outside.empty(); }
};

ExtractReport extract_package(const ExtractOptions& options);
std::string describe_extract(const ExtractReport& report, const ExtractOptions& options);

// "C:\..." of exactly `length` characters, ending in a backslash, as Windows' temp dir looks.
std::string temp_dir_of_length(uint32_t length);

}  // namespace pack
