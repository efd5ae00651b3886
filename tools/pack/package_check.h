// package_check.h -- runs the stub's own walk on the host layer and verifies what it wrote.
//
// The package is copied into a sandbox folder mapped as drive C: and confined, so no entry
// can reach the rest of the machine; the temp dir is "C:\" itself, so the files land in the
// sandbox's top folder. The disclaimer box is answered OK and its text kept apart from the
// failure boxes. The path-length allowance for a real temp dir is the packer's rule and is
// reported as a warning here, not tested by the walk.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace pack {

struct CheckOptions {
    std::filesystem::path package;
    std::optional<std::filesystem::path> keep;  // extract here (created if missing) and leave the files
};

struct FailureBox {
    unsigned code = 0;  // parsed from the text's "Error: 0X..."; 0 when it holds none
    std::string text;
    std::string caption;
};

struct CheckReport {
    std::optional<std::string> disclaimer;  // the text the question box showed
    std::vector<FailureBox> boxes;          // every box the walk raised, in order
    std::string launch;                     // "setup.exe", "install.exe" or ""
    uint32_t directory_entries = 0;         // central records the reader found
    uint32_t entries_visited = 0;           // as the walk counted them
    uint32_t files_verified = 0;
    uint32_t folders_verified = 0;
    std::vector<std::string> problems;      // entries missing or differing after the walk
    std::vector<std::string> warnings;      // names this packer would refuse
    std::filesystem::path extracted_to;     // empty once a fresh sandbox is removed

    bool passed() const { return boxes.empty() && problems.empty() && entries_visited == directory_entries; }
};

CheckReport check_package(const CheckOptions& options);
std::string describe_check(const CheckReport& report);

}  // namespace pack
