// extraction_bench.cpp -- whole-package extraction through the host layer, timed next to unzip.
//
// Usage: extraction_bench PACKAGE OUT_ROOT [RUNS]
// Each run extracts PACKAGE (a self-extracting file) twice into fresh folders under OUT_ROOT:
// once with extract_archive on the host stand-in, once with `unzip -o -q`, alternating which
// goes first. Prints the median of each and their ratio (ours / unzip: below 1 is faster).
// The first run also compares the two trees byte for byte.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/archive_walk.h"
#include "archive/entry_extraction.h"
#include "platform/host/host_platform.h"
#include "stream/crc32.h"
#include "stream/stream_buffers.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string quoted(const fs::path& p) { return "'" + p.string() + "'"; }

void remove_tree(const fs::path& p) {
    std::error_code ignored;
    for (const auto& e : fs::recursive_directory_iterator(p, ignored))
        fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(p, ignored);
}

// extract_archive on the host stand-in, drive C: = out_root, temp_dir = C:\ours\.
double run_ours(const fs::path& package, const fs::path& out_root, size_t* boxes) {
    host::reset();
    host::map_drive('C', out_root.string());
    stream_state = StreamState{};
    entry_info = EntryInfo{};
    launch_target = LAUNCH_NONE;
    cancel_requested = 0;
    std::strcpy(temp_dir, "C:\\ours\\");
    stream_state.progress_window = reinterpret_cast<WindowHandle>(1);
    stream_state.progress_bar = reinterpret_cast<WindowHandle>(2);
    Clock::time_point start = Clock::now();
    extract_archive(package.c_str());
    double elapsed = seconds_since(start);
    *boxes = host::recorder().boxes.size();
    for (const host::Box& box : host::recorder().boxes) std::fprintf(stderr, "box: %s\n", box.text.c_str() + 1);
    return elapsed;
}

double run_unzip(const fs::path& package, const fs::path& out_root) {
    std::string command = "unzip -o -q " + quoted(package) + " -d " + quoted(out_root / "unzip") + " 2>/dev/null";
    Clock::time_point start = Clock::now();
    int status = std::system(command.c_str());
    double elapsed = seconds_since(start);
    // unzip warns (status 1) about the stub bytes in front of the archive; 2 and above are errors.
    if (status == -1 || WEXITSTATUS(status) > 1) {
        std::fprintf(stderr, "unzip failed: %d\n", status);
        std::exit(1);
    }
    return elapsed;
}

uint64_t tree_bytes(const fs::path& root, size_t* files) {
    uint64_t total = 0;
    *files = 0;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file()) {
            total += e.file_size();
            ++*files;
        }
    return total;
}

// Raw CRC-32 speed over window-sized blocks, to see its share of the extraction.
double crc_megabytes_per_second() {
    std::vector<unsigned char> block(32768);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i * 131 + (i >> 7));
    const int rounds = 8192;  // 256 MiB
    crc32_update(nullptr, 0);
    Clock::time_point start = Clock::now();
    for (int r = 0; r < rounds; ++r) crc32_update(block.data(), block.size());
    double elapsed = seconds_since(start);
    volatile uint32_t sink = crc32_update(block.data(), 0);
    (void)sink;
    return rounds * 32768.0 / 1e6 / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s PACKAGE OUT_ROOT [RUNS]\n", argv[0]);
        return 2;
    }
    fs::path package = fs::absolute(argv[1]);
    fs::path out_root = fs::absolute(argv[2]);
    int runs = argc > 3 ? std::atoi(argv[3]) : 5;
    fs::create_directories(out_root);

    std::vector<double> ours, theirs;
    size_t boxes = 0;
    for (int run = 0; run < runs; ++run) {
        remove_tree(out_root / "ours");
        remove_tree(out_root / "unzip");
        std::system("sync");
        if (run % 2 == 0) {
            ours.push_back(run_ours(package, out_root, &boxes));
            theirs.push_back(run_unzip(package, out_root));
        } else {
            theirs.push_back(run_unzip(package, out_root));
            ours.push_back(run_ours(package, out_root, &boxes));
        }
        if (boxes != 0) {
            std::fprintf(stderr, "extraction showed %zu boxes\n", boxes);
            return 1;
        }
        if (run == 0) {
            std::string diff = "diff -r -q " + quoted(out_root / "ours") + " " + quoted(out_root / "unzip");
            if (std::system(diff.c_str()) != 0) {
                std::fprintf(stderr, "the trees differ\n");
                return 1;
            }
        }
        std::printf("run %d: ours %.3f s, unzip %.3f s\n", run + 1, ours.back(), theirs.back());
    }
    size_t files = 0;
    uint64_t bytes = tree_bytes(out_root / "ours", &files);
    double m_ours = median(ours), m_theirs = median(theirs);
    std::printf("package: %s (%ju bytes)\n", package.c_str(), static_cast<uintmax_t>(fs::file_size(package)));
    std::printf("output: %zu files, %.1f MB\n", files, bytes / 1e6);
    std::printf("median of %d: ours %.3f s (%.0f MB/s of output), unzip -o -q %.3f s (%.0f MB/s)\n", runs, m_ours,
                bytes / 1e6 / m_ours, m_theirs, bytes / 1e6 / m_theirs);
    std::printf("CRC-32 alone: %.0f MB/s, so %.3f s of ours is checksumming\n", crc_megabytes_per_second(),
                bytes / 1e6 / crc_megabytes_per_second());
    std::printf("ratio ours/unzip: %.3f\n", m_ours / m_theirs);
    remove_tree(out_root / "ours");
    remove_tree(out_root / "unzip");
    return 0;
}
