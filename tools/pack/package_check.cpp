// package_check.cpp -- the walk in a sandbox, then every extracted file against its size and CRC-32.
#include "tools/pack/package_check.h"

#include <unistd.h>

#include <cstring>

#include <fmt/format.h>

#include "archive/archive_walk.h"
#include "archive/entry_extraction.h"
#include "platform/host/host_platform.h"
#include "shell/disclaimer_gate.h"
#include "stream/stream_buffers.h"
#include "tools/pack/package_reader.h"
#include "tools/pack/zip_format.h"

namespace pack {

namespace fs = std::filesystem;

namespace {

// The copy's name holds a colon: no entry the stub can write on Windows can collide with it.
constexpr const char* PACKAGE_COPY = "tarnvel-check:package.exe";
constexpr const char* PACKAGE_PATH = "C:\\tarnvel-check:package.exe";
constexpr const char* SANDBOX_TEMP_DIR = "C:\\";

// The core's process-wide state, cleared before and after a walk so runs do not leak.
void clear_core_state() {
    stream_state = StreamState{};
    entry_info = EntryInfo{};
    launch_target = LAUNCH_NONE;
    cancel_requested = 0;
    entries_visited = 0;
    end_record = EndRecord{};
    std::memset(temp_dir, 0, sizeof temp_dir);
}

// A fresh folder that is removed again, read-only files and all, unless kept.
class Sandbox {
public:
    explicit Sandbox(const std::optional<fs::path>& keep) {
        if (keep) {
            fs::create_directories(*keep);
            root_ = fs::absolute(*keep).lexically_normal();
            return;
        }
        std::string pattern = (fs::temp_directory_path() / "tarnvel-check-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw PackError("cannot create a sandbox folder");
        root_ = pattern;
        owned_ = true;
    }
    ~Sandbox() {
        std::error_code ignored;
        fs::remove(root_ / PACKAGE_COPY, ignored);
        if (!owned_) return;
        for (auto& entry : fs::recursive_directory_iterator(root_, ignored))
            fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(root_, ignored);
    }
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;
    const fs::path& root() const { return root_; }
    bool owned() const { return owned_; }

private:
    fs::path root_;
    bool owned_ = false;
};

// Clears the host layer and the core on the way in and on the way out.
struct HostSession {
    HostSession(const fs::path& root) {
        host::reset();
        clear_core_state();
        host::map_drive('C', root.string());
        host::confine_to(root.string());
        std::strcpy(temp_dir, SANDBOX_TEMP_DIR);
    }
    ~HostSession() {
        clear_core_state();
        host::reset();
    }
};

unsigned code_of(const std::string& text) {
    size_t at = text.find("Error: 0X");
    if (at == std::string::npos) return 0;
    return static_cast<unsigned>(std::strtoul(text.c_str() + at + 9, nullptr, 16));
}

// Where the stub on this sandbox writes an entry; empty when it cannot reach the sandbox.
fs::path output_path(const fs::path& root, const std::string& name) {
    std::string shown = oem_to_utf8(name);
    for (char& c : shown)
        if (c == '\\') c = '/';
    if (shown.size() >= 2 && shown[1] == ':') {
        if (shown[0] != 'C' && shown[0] != 'c') return {};
        return root / fs::path(shown.substr(2)).relative_path();
    }
    return root / shown;
}

void verify_entries(ByteView file, const fs::path& root, CheckReport& report) {
    Archive archive = read_package(file);
    report.directory_entries = static_cast<uint32_t>(archive.entries.size());
    for (const ZipEntry& e : archive.entries) {
        std::string problem = name_problem(std::string(e.name.begin(), e.name.end()), NameRules{});
        if (!problem.empty()) report.warnings.push_back(fmt::format("\"{}\": {}", e.name, problem));
        if (e.name.empty()) {
            report.problems.push_back(fmt::format("central record at offset {} has no name", e.central_offset));
            continue;
        }
        fs::path path;
        try {
            path = output_path(root, e.local_name);
        } catch (const PackError& error) {
            report.problems.push_back(error.what());
            continue;
        }
        if (path.empty() || e.local_name.empty()) {
            report.problems.push_back(fmt::format("\"{}\": not written inside the temp dir", e.name));
            continue;
        }
        if (e.is_directory()) {
            if (fs::is_directory(path)) ++report.folders_verified;
            else report.problems.push_back(fmt::format("\"{}\": folder not created", e.name));
            continue;
        }
        bool descriptor = (e.local_flags & FLAG_DATA_DESCRIPTOR) != 0;
        uint32_t size = descriptor ? e.uncompressed_size : e.local_uncompressed_size;
        uint32_t crc = descriptor ? e.crc32 : e.local_crc32;
        std::error_code ec;
        if (!fs::is_regular_file(path, ec)) {
            report.problems.push_back(fmt::format("\"{}\": not extracted", e.name));
            continue;
        }
        MappedFile extracted(path);
        if (extracted.bytes().size() != size)
            report.problems.push_back(
                fmt::format("\"{}\": {} bytes extracted, the archive holds {}", e.name, extracted.bytes().size(), size));
        else if (crc32_of(extracted.bytes()) != crc)
            report.problems.push_back(fmt::format("\"{}\": CRC-32 of the extracted file differs from the archive's", e.name));
        else
            ++report.files_verified;
    }
}

}  // namespace

CheckReport check_package(const CheckOptions& options) {
    CheckReport report;
    MappedFile package(options.package);
    Sandbox sandbox(options.keep);
    fs::copy_file(options.package, sandbox.root() / PACKAGE_COPY, fs::copy_options::overwrite_existing);
    {
        HostSession session(sandbox.root());
        stream_state.progress_window = reinterpret_cast<WindowHandle>(0x7A41);
        stream_state.progress_bar = reinterpret_cast<WindowHandle>(0x7B42);
        int gate = show_disclaimer(PACKAGE_PATH);
        size_t first_failure = 0;
        const auto& boxes = host::recorder().boxes;
        if (!boxes.empty() && boxes.front().caption == DISCLAIMER_CAPTION) {
            report.disclaimer = boxes.front().text;
            first_failure = 1;
        }
        if (gate != ANSWER_OK) throw PackError("the disclaimer box was not answered OK; nothing was extracted");
        extract_archive(PACKAGE_PATH);
        for (size_t i = first_failure; i < boxes.size(); ++i)
            report.boxes.push_back(FailureBox{code_of(boxes[i].text), boxes[i].text, boxes[i].caption});
        report.launch = launch_target == LAUNCH_SETUP ? "setup.exe" : launch_target == LAUNCH_INSTALL ? "install.exe" : "";
        report.entries_visited = entries_visited;
    }
    std::error_code ignored;
    fs::remove(sandbox.root() / PACKAGE_COPY, ignored);
    try {
        verify_entries(package.bytes(), sandbox.root(), report);
    } catch (const PackError& error) {
        report.problems.push_back(fmt::format("the package cannot be read: {}", error.what()));
    }
    if (!sandbox.owned()) report.extracted_to = sandbox.root();
    return report;
}

std::string describe_check(const CheckReport& r) {
    std::string out;
    auto one_line = [](std::string text) {
        for (char& c : text)
            if (c == '\n') c = ' ';
        size_t start = text.find_first_not_of(' ');
        return start == std::string::npos ? std::string() : text.substr(start);
    };
    out += r.disclaimer ? fmt::format("disclaimer: \"{}\"\n", *r.disclaimer) : "disclaimer: none\n";
    for (const FailureBox& box : r.boxes)
        out += fmt::format("box: code 0x{:X}: {} [{}]\n", box.code, one_line(box.text), box.caption);
    for (const std::string& p : r.problems) out += fmt::format("problem: {}\n", p);
    for (const std::string& w : r.warnings) out += fmt::format("warning: {}\n", w);
    out += fmt::format("launch: {}\n", r.launch.empty() ? "none" : r.launch);
    out += fmt::format("entries: {} in the directory, {} visited by the walk; {} files and {} folders verified\n",
                       r.directory_entries, r.entries_visited, r.files_verified, r.folders_verified);
    if (!r.extracted_to.empty()) out += fmt::format("extracted to: {}\n", r.extracted_to.string());
    out += r.passed() ? "check: passed\n"
                      : fmt::format("check: FAILED ({} boxes, {} problems)\n", r.boxes.size(), r.problems.size());
    return out;
}

}  // namespace pack
