// package_check.cpp -- run_installer on the host layer, the boxes it shows, the files it leaves.
#include "tools/pack/package_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <random>

#include <fmt/format.h>

#include "archive/archive_walk.h"
#include "archive/entry_extraction.h"
#include "archive/failure_box.h"
#include "platform/host/host_platform.h"
#include "shell/disclaimer_gate.h"
#include "shell/run_installer.h"
#include "tools/pack/package_reader.h"

namespace pack {

namespace fs = std::filesystem;

namespace {

const InstanceHandle INSTANCE = reinterpret_cast<InstanceHandle>(0x400000);

unsigned code_of(const std::string& text) {
    size_t at = text.find("Error: 0X");
    if (at == std::string::npos) return 0;
    return static_cast<unsigned>(std::strtoul(text.c_str() + at + 9, nullptr, 16));
}

const char* meaning_of(unsigned code) {
    for (const FailureCodeRow& row : FAILURE_CODES)
        if (static_cast<unsigned>(row.code) == code) return row.meaning;
    return "a code this tool does not know";
}

std::string one_line(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    size_t start = text.find_first_not_of(' ');
    return start == std::string::npos ? std::string() : text.substr(start);
}

// The package under a name no entry the stub writes can take: a hard link where the
// file system allows one, else a copy. Removed on the way out.
class PackageCopy {
public:
    PackageCopy(const fs::path& package, const fs::path& folder) {
        std::random_device random;
        path_ = folder / fmt::format("tarnvel-{:08x}:package.exe", random());
        std::error_code ec;
        fs::create_hard_link(package, path_, ec);
        if (ec) fs::copy_file(package, path_, fs::copy_options::overwrite_existing);
    }
    ~PackageCopy() {
        std::error_code ignored;
        fs::remove(path_, ignored);
    }
    PackageCopy(const PackageCopy&) = delete;
    PackageCopy& operator=(const PackageCopy&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// The host layer and the core, clean on the way in and on the way out.
struct HostSession {
    HostSession() {
        host::reset();
        clear_run_state();
    }
    ~HostSession() {
        clear_run_state();
        host::reset();
    }
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;
};

// The whole run with every box answered OK; each box notes the path being written.
RunRecord run_stub(const std::string& module_path, const std::string& temp_path, size_t answers) {
    RunRecord record;
    std::vector<std::string> during;
    host::set_module_path(module_path);
    host::set_temp_path(temp_path);
    for (size_t i = 0; i < answers; ++i)
        host::script_answer(host::Answer{ANSWER_OK, [&during] { during.emplace_back(entry_info.name); }});
    run_installer(INSTANCE);
    const auto& boxes = host::recorder().boxes;
    for (size_t i = 0; i < boxes.size(); ++i) {
        ShownBox box{boxes[i].caption, boxes[i].text, code_of(boxes[i].text), {}, boxes[i].caption == DISCLAIMER_CAPTION};
        bool entry_code = box.code == FAILURE_NAME_READ || box.code == FAILURE_CREATE || box.code == FAILURE_ENCRYPTED ||
                          box.code == FAILURE_DATA;
        if (entry_code && i < during.size()) box.during = during[i];
        record.boxes.push_back(std::move(box));
    }
    for (const host::Launch& launch : host::recorder().launches) {
        record.launch = launch.path;
        record.launch_host = fs::path(host::to_host_path(launch.path.c_str())).lexically_normal().string();
    }
    record.entries_visited = entries_visited;
    return record;
}

// Windows form of an absolute Linux path, which the host layer maps back as it is.
std::string windows_form(const fs::path& path) {
    std::string text = path.string();
    if (text.find('\\') != std::string::npos)
        throw PackError(fmt::format("{}: a path that holds a backslash cannot stand for a Windows path", text));
    for (char& c : text)
        if (c == '/') c = '\\';
    return text;
}

// Where the run put an entry, on the host: a drive-letter name under its drive's folder,
// any other under the temp dir.
fs::path host_path_of(const std::string& oem_name, const fs::path& temp, const std::function<fs::path(char)>& drive) {
    std::string name = oem_to_utf8(oem_name);
    for (char& c : name)
        if (c == '\\') c = '/';
    if (drive_letter(oem_name)) return drive(drive_letter(oem_name)) / fs::path(name.substr(2)).relative_path();
    return temp / name;
}

bool same_time(const fs::path& path, DosTime t) {
    std::tm local{};
    local.tm_year = 80 + (t.date >> 9);
    local.tm_mon = ((t.date >> 5) & 0x0F) - 1;
    local.tm_mday = t.date & 0x1F;
    local.tm_hour = t.time >> 11;
    local.tm_min = (t.time >> 5) & 0x3F;
    local.tm_sec = (t.time & 0x1F) * 2;
    local.tm_isdst = -1;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    return std::llabs(static_cast<long long>(st.st_mtime) - static_cast<long long>(std::mktime(&local))) <= 2;
}

// Every entry of the directory against what the run left: bytes, CRC-32 and time.
void verify_entries(ByteView file, const fs::path& temp, const std::function<fs::path(char)>& drive, CheckReport& report) {
    Archive archive = read_package(file);
    report.directory_entries = static_cast<uint32_t>(archive.entries.size());
    for (const ZipEntry& e : archive.entries) {
        std::string shown = oem_to_utf8(e.name);
        if (e.local_name.empty()) {
            report.lost.push_back(fmt::format("\"{}\": its local header holds no name", shown));
            continue;
        }
        fs::path path = host_path_of(e.local_name, temp, drive);
        std::error_code ec;
        if (e.is_directory()) {
            if (fs::is_directory(path, ec)) ++report.folders_verified;
            else report.lost.push_back(fmt::format("\"{}\": folder not created", shown));
            continue;
        }
        if (!fs::is_regular_file(path, ec)) {
            report.lost.push_back(fmt::format("\"{}\": not extracted", shown));
            continue;
        }
        MappedFile extracted(path);
        if (extracted.bytes().size() != e.uncompressed_size)
            report.lost.push_back(
                fmt::format("\"{}\": {} bytes extracted, the archive holds {}", shown, extracted.bytes().size(), e.uncompressed_size));
        else if (crc32_of(extracted.bytes()) != e.crc32)
            report.lost.push_back(fmt::format("\"{}\": the extracted bytes differ from the archive's (CRC-32)", shown));
        else if (e.local_compressed_size != 0 && !same_time(path, e.time))
            report.lost.push_back(fmt::format("\"{}\": the file did not get the entry's time {}", shown, dos_time_text(e.time)));
        else
            ++report.files_verified;
    }
}

// `here` adds where the launched file lies on this machine, for a run whose files remain.
std::string describe_run(const RunRecord& run, bool here) {
    std::string out;
    for (const ShownBox& box : run.boxes) {
        if (box.disclaimer) {
            out += fmt::format("box \"{}\" (the disclaimer, answered OK): \"{}\"\n", box.caption, one_line(box.text));
            continue;
        }
        out += fmt::format("box \"{}\": {} -- code 0x{:X}: {}{}\n", box.caption, one_line(box.text), box.code, meaning_of(box.code),
                           box.during.empty() ? "" : fmt::format(" (while writing {})", box.during));
    }
    if (run.boxes.empty()) out += "boxes: none\n";
    std::string where = here ? fmt::format(" (here {})", run.launch_host) : "";
    out += fmt::format("launch: {}\n", run.launch.empty() ? "none" : run.launch + where);
    return out;
}

}  // namespace

size_t RunRecord::failure_boxes() const {
    size_t n = 0;
    for (const ShownBox& box : boxes) n += box.disclaimer ? 0 : 1;
    return n;
}

std::string temp_dir_of_length(uint32_t length) {
    // "C:\Users\" + name + "\AppData\Local\Temp\" takes 29 characters besides the name.
    constexpr uint32_t PROFILE_PARTS = 29;
    if (length > PROFILE_PARTS) return "C:\\Users\\" + std::string(length - PROFILE_PARTS, 'u') + "\\AppData\\Local\\Temp\\";
    return "C:\\" + std::string(std::max<uint32_t>(length, MIN_TEMP_DIR_LENGTH) - 4, 't') + "\\";
}

CheckReport check_package(const CheckOptions& options) {
    CheckReport report;
    MappedFile package(options.package);
    report.layout = judge_layout(package.bytes(), options.rules);
    size_t entries = 0;
    try {
        entries = read_package(package.bytes()).entries.size();
    } catch (const PackError&) {
        // the run below shows what the stub makes of it
    }

    std::string pattern = (fs::temp_directory_path() / "tarnvel-check-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw PackError("cannot create a scratch folder");
    fs::path root = pattern;
    struct Cleanup {
        fs::path root;
        ~Cleanup() {
            std::error_code ignored;
            for (auto& entry : fs::recursive_directory_iterator(root, ignored))
                fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
            fs::remove_all(root, ignored);
        }
    } cleanup{root};
    // Every drive letter is a folder of the scratch folder; the temp dir lies on C:.
    auto drive = [&](char letter) { return root / std::string(1, letter); };
    report.temp_dir = temp_dir_of_length(options.rules.temp_dir_length);
    fs::create_directories(drive('C'));
    {
        PackageCopy copy(options.package, drive('C'));
        HostSession session;
        for (char letter = 'A'; letter <= 'Z'; ++letter) host::map_drive(letter, drive(letter).string());
        host::confine_to(root.string());
        report.run = run_stub("C:\\" + copy.path().filename().string(), report.temp_dir, 2 * entries + 4);
    }
    std::string temp_tail = report.temp_dir.substr(3);
    for (char& c : temp_tail)
        if (c == '\\') c = '/';
    try {
        verify_entries(package.bytes(), drive('C') / temp_tail, drive, report);
    } catch (const PackError& error) {
        report.lost.push_back(fmt::format("the package cannot be read: {}", error.what()));
    }
    return report;
}

std::string describe_check(const CheckReport& r) {
    std::string out = describe_run(r.run, false);
    for (const BrokenRule& b : r.layout.broken) out += fmt::format("rule {} broken: {}\n", b.rule, b.detail);
    for (const std::string& lost : r.lost) out += fmt::format("lost: {}\n", lost);
    for (const std::string& w : r.layout.warnings) out += fmt::format("warning: {}\n", w);
    if (r.layout.signature)
        out += fmt::format("signature: {} bytes at offset {}; the end record stays {} bytes and the trailer {} bytes within "
                           "the stub's reach\n",
                           r.layout.signature->size, r.layout.signature->offset, r.layout.end_record_room, r.layout.trailer_room);
    out += fmt::format("entries: {} in the directory, {} visited by the stub; {} files and {} folders verified under a "
                       "temp dir of {} characters\n",
                       r.directory_entries, r.run.entries_visited, r.files_verified, r.folders_verified, r.temp_dir.size());
    out += r.passed() ? "check: passed\n"
                      : fmt::format("check: FAILED ({} boxes, {} broken rules, {} entries lost)\n", r.run.failure_boxes(),
                                    r.layout.broken.size(), r.lost.size());
    return out;
}

ExtractReport extract_package(const ExtractOptions& options) {
    ExtractReport report;
    MappedFile package(options.package);
    Archive archive = read_package(package.bytes());
    for (const ZipEntry& e : archive.entries) {
        std::string problem = name_problem(e.local_name, NameRules{DEFAULT_TEMP_DIR_LENGTH, true});
        if (drive_letter(e.local_name) && !options.map_drives)
            throw Refused(fmt::format("\"{}\" names a drive; --map-drives writes it under {}/{}:", oem_to_utf8(e.local_name),
                                      options.dir.string(), drive_letter(e.local_name)));
        if (problem.find("\"..\"") != std::string::npos)
            report.outside.push_back(fmt::format("\"{}\" leaves the folder; the stub would write it there", oem_to_utf8(e.local_name)));
    }
    fs::create_directories(options.dir);
    fs::path dir = fs::canonical(options.dir);
    auto drive = [&](char letter) { return dir / fmt::format("{}:", letter); };
    {
        PackageCopy copy(options.package, dir);
        HostSession session;
        if (options.map_drives)
            for (char letter = 'A'; letter <= 'Z'; ++letter) host::map_drive(letter, drive(letter).string());
        host::confine_to(dir.string());
        report.run = run_stub(windows_form(copy.path()), windows_form(dir) + "\\", 2 * archive.entries.size() + 4);
    }
    for (const ZipEntry& e : archive.entries) {
        std::error_code ec;
        fs::path path = host_path_of(e.local_name, dir, drive);
        if (e.is_directory() ? fs::is_directory(path, ec) : fs::is_regular_file(path, ec)) ++(e.is_directory() ? report.folders : report.files);
    }
    return report;
}

std::string describe_extract(const ExtractReport& r, const ExtractOptions& options) {
    std::string out = describe_run(r.run, true);
    for (const std::string& o : r.outside) out += fmt::format("not written: {}\n", o);
    out += fmt::format("extracted: {} files and {} folders into {}\n", r.files, r.folders, options.dir.string());
    out += r.passed() ? "extract: passed\n" : fmt::format("extract: FAILED ({} boxes)\n", r.run.failure_boxes());
    return out;
}

}  // namespace pack
