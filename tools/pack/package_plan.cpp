// package_plan.cpp -- entries from folders, files and zips; names, attributes, and the refusals.
#include "tools/pack/package_plan.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include <fmt/format.h>

#include "archive/zip_layout.h"

namespace pack {

namespace fs = std::filesystem;

namespace {

constexpr uint8_t HOST_DOS = 0;
constexpr uint8_t HOST_NTFS = 10;
constexpr uint8_t HOST_VFAT = 14;
// The Windows attribute bits a package carries over; the directory bit is the stub's own business.
constexpr uint32_t KEPT_ATTRIBUTES = ATTR_READONLY | ATTR_HIDDEN | ATTR_SYSTEM;

bool hidden_name(std::string_view path) {
    size_t slash = path.find_last_of('/', path.size() > 1 && path.back() == '/' ? path.size() - 2 : std::string_view::npos);
    std::string_view base = path.substr(slash == std::string_view::npos ? 0 : slash + 1);
    return base.size() > 1 && base.front() == '.';
}

// Unix has no hidden bit: a name beginning with a dot is what hides a file there.
uint32_t attributes_from_mode(mode_t mode, std::string_view name) {
    uint32_t attributes = ATTR_ARCHIVE;
    if ((mode & S_IWUSR) == 0) attributes |= ATTR_READONLY;
    if (hidden_name(name)) attributes |= ATTR_HIDDEN;
    return attributes;
}

uint32_t attributes_from_zip(const ZipEntry& e, std::string_view name) {
    uint8_t host = static_cast<uint8_t>(e.version_made_by >> 8);
    if (host == HOST_UNIX && (e.external_attributes >> 16) != 0)
        return attributes_from_mode(static_cast<mode_t>(e.external_attributes >> 16), name);
    if (host == HOST_DOS || host == HOST_NTFS || host == HOST_VFAT)
        return ATTR_ARCHIVE | (e.external_attributes & KEPT_ATTRIBUTES);
    return attributes_from_mode(S_IWUSR, name);
}

// Names flagged UTF-8 or carrying a Unicode Path field are converted; Info-ZIP on Unix
// stores the system's bytes unflagged, which are UTF-8 there, so a Unix name that reads
// as UTF-8 is taken as UTF-8 too; any other name is already in code page 437.
std::string oem_name_from_zip(const ZipEntry& e) {
    try {
        if (e.flags & FLAG_UTF8_NAME) return utf8_to_oem(e.name);
        if (!e.unicode_name.empty()) return utf8_to_oem(e.unicode_name);
        bool ascii = std::all_of(e.name.begin(), e.name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        if (!ascii && (e.version_made_by >> 8) == HOST_UNIX && is_utf8(e.name)) return utf8_to_oem(e.name);
    } catch (const PackError& error) {
        throw Refused(error.what());
    }
    return e.name;
}

PlannedEntry plan_file(const fs::path& path, const std::string& relative, const struct stat& st) {
    PlannedEntry p;
    p.shown = relative;
    p.directory = S_ISDIR(st.st_mode);
    try {
        p.name = utf8_to_oem(relative) + (p.directory ? "/" : "");
    } catch (const PackError& error) {
        throw Refused(error.what());
    }
    p.time = dos_time_from_unix(st.st_mtime);
    p.attributes = p.directory ? ATTR_DIRECTORY | (hidden_name(relative) ? ATTR_HIDDEN : 0) : attributes_from_mode(st.st_mode, relative);
    if (!p.directory) {
        p.size = static_cast<uint64_t>(st.st_size);
        p.file = path;
        p.source = Source::file;
    }
    return p;
}

struct stat stat_of(const fs::path& path, const std::string& shown) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) throw PackError(fmt::format("cannot read \"{}\": {}", shown, std::strerror(errno)));
    return st;
}

}  // namespace

std::vector<PlannedEntry> plan_folder(const fs::path& folder, const fs::path& exclude) {
    std::vector<PlannedEntry> planned;
    std::error_code ec;
    fs::path excluded = exclude.empty() ? fs::path() : fs::weakly_canonical(exclude, ec);
    for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) {
        const fs::directory_entry& entry = *it;
        std::string relative = entry.path().lexically_relative(folder).generic_string();
        if (relative.find('\\') != std::string::npos)
            throw Refused(fmt::format("\"{}\" holds a backslash, which Windows reads as a separator", relative));
        struct stat st = stat_of(entry.path(), relative);
        if (entry.is_symlink() && S_ISDIR(st.st_mode))
            throw Refused(fmt::format("\"{}\" is a symbolic link to a folder; it is not followed", relative));
        if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode))
            throw Refused(fmt::format("\"{}\" is neither a file nor a folder", relative));
        if (!excluded.empty() && fs::weakly_canonical(entry.path(), ec) == excluded) continue;
        planned.push_back(plan_file(entry.path(), relative, st));
    }
    return planned;
}

std::vector<PlannedEntry> plan_zip(const Archive& zip) {
    std::vector<PlannedEntry> planned;
    for (size_t i = 0; i < zip.entries.size(); ++i) {
        const ZipEntry& e = zip.entries[i];
        PlannedEntry p;
        p.shown = e.name;
        p.name = oem_name_from_zip(e);
        std::replace(p.name.begin(), p.name.end(), '\\', '/');
        // Tar-minded tools store "./name"; the folder they began in is the package's top.
        while (p.name.starts_with("./")) p.name.erase(0, 2);
        if (p.name.empty()) continue;
        p.directory = !p.name.empty() && p.name.back() == '/';
        p.time = e.time;
        p.attributes = p.directory ? ATTR_DIRECTORY : attributes_from_zip(e, p.name);
        p.size = e.uncompressed_size;
        p.zip_index = static_cast<int>(i);
        if ((e.version_made_by >> 8) == HOST_UNIX && S_ISLNK(e.external_attributes >> 16))
            throw Refused(fmt::format("\"{}\" is a symbolic link, which the stub would write as a file", p.shown));
        if ((e.flags | e.local_flags) & FLAG_ENCRYPTED) throw Refused(fmt::format("\"{}\" is encrypted", p.shown));
        if (e.compressed_size == 0xFFFFFFFFu || e.uncompressed_size == 0xFFFFFFFFu)
            throw Refused(fmt::format("\"{}\" is 4 GiB or larger (ZIP64), beyond the stub's 32-bit sizes", p.shown));
        bool descriptor = ((e.flags | e.local_flags) & FLAG_DATA_DESCRIPTOR) != 0;
        if (p.directory) {
            p.source = Source::none;
        } else if (!can_decode(e.method)) {
            throw Refused(fmt::format("\"{}\" uses compression method {}, which this tool cannot decode to re-pack",
                                      p.shown, e.method));
        } else {
            p.source = e.method == METHOD_DEFLATE && !descriptor ? Source::zip_deflate : Source::zip_decode;
        }
        planned.push_back(std::move(p));
    }
    return planned;
}

Plan make_plan(const std::vector<fs::path>& paths, const std::optional<fs::path>& zip, const NameRules& rules,
               const fs::path& exclude) {
    Plan plan;
    for (const fs::path& path : paths) {
        std::error_code ec;
        auto status = fs::status(path, ec);
        if (fs::is_directory(status)) {
            auto entries = plan_folder(path, exclude);
            plan.entries.insert(plan.entries.end(), entries.begin(), entries.end());
        } else if (fs::is_regular_file(status)) {
            std::string name = path.filename().string();
            plan.entries.push_back(plan_file(path, name, stat_of(path, name)));
        } else {
            throw PackError(fmt::format("{}: {}", path.string(), ec ? ec.message() : "neither a file nor a folder"));
        }
    }
    if (zip) {
        ZipSource source{std::make_unique<MappedFile>(*zip), {}};
        try {
            source.archive = read_zip(source.file->bytes());
        } catch (const PackError& error) {
            throw PackError(fmt::format("{}: {}", zip->string(), error.what()));
        }
        auto entries = plan_zip(source.archive);
        plan.entries.insert(plan.entries.end(), entries.begin(), entries.end());
        plan.zip = std::move(source);
    }
    auto by_name = [](const PlannedEntry& a, const PlannedEntry& b) { return a.name < b.name; };
    std::stable_sort(plan.entries.begin(), plan.entries.end(), by_name);
    // A directory entry only for a folder that nothing else creates, and once.
    std::vector<PlannedEntry> kept;
    for (size_t i = 0; i < plan.entries.size(); ++i) {
        const PlannedEntry& p = plan.entries[i];
        bool implied = false;
        if (p.directory)
            for (size_t j = i + 1; j < plan.entries.size() && !implied; ++j)
                implied = plan.entries[j].name.starts_with(p.name);
        if (!implied) kept.push_back(std::move(plan.entries[i]));
    }
    plan.entries = std::move(kept);
    check_plan(plan.entries, rules, plan.warnings);
    return plan;
}

void check_plan(const std::vector<PlannedEntry>& entries, const NameRules& rules, std::vector<std::string>& warnings) {
    if (entries.empty()) throw Refused("nothing to pack: no file and no folder");
    if (entries.size() > MAX_ENTRIES)
        throw Refused(fmt::format("{} entries; the archive's records hold at most {}", entries.size(), MAX_ENTRIES));
    std::map<std::string, const PlannedEntry*> files;
    std::map<std::string, const PlannedEntry*> folders;
    std::vector<std::string> launchers;
    for (const PlannedEntry& e : entries) {
        std::string problem = name_problem(e.name, rules);
        if (!problem.empty()) throw Refused(fmt::format("\"{}\": {}", e.shown, problem));
        if (e.size > MAX_SIZE)
            throw Refused(fmt::format("\"{}\" is {} bytes, 4 GiB or more, beyond the stub's 32-bit sizes", e.shown, e.size));
        std::string key = collision_key(e.directory ? std::string_view(e.name).substr(0, e.name.size() - 1) : e.name);
        if (!e.directory) {
            auto [it, fresh] = files.emplace(key, &e);
            if (!fresh)
                throw Refused(fmt::format("\"{}\" and \"{}\" are the same path on Windows, which compares names "
                                          "without regard to case",
                                          it->second->shown, e.shown));
        }
        for (size_t cut = e.name.find('/'); cut != std::string::npos && cut + 1 < e.name.size(); cut = e.name.find('/', cut + 1))
            folders.emplace(collision_key(std::string_view(e.name).substr(0, cut)), &e);
        if (e.directory) folders.emplace(key, &e);
        if (collision_key(e.name) == collision_key("SETUP.EXE") || collision_key(e.name) == collision_key("INSTALL.EXE"))
            launchers.push_back(e.shown);
    }
    for (const auto& [key, entry] : folders)
        if (auto it = files.find(key); it != files.end())
            throw Refused(fmt::format("\"{}\" is a file, and \"{}\" needs a folder of that name", it->second->shown, entry->shown));
    if (launchers.size() > 1)
        warnings.push_back(fmt::format("both {} and {} are at the top; the stub opens the later one, \"{}\"", launchers[0],
                                       launchers[1], launchers.back()));
}

void check_disclaimer(const std::string& text, std::vector<std::string>& warnings) {
    if (text.empty()) throw Refused("the disclaimer is empty; the stub would ask the user to accept an empty box");
    if (text.size() > MAX_DISCLAIMER_BYTES)
        throw Refused(fmt::format("the disclaimer is {} bytes; the stub shows at most {}", text.size(), MAX_DISCLAIMER_BYTES));
    if (text.find(std::string_view("SFX\x01", 4)) != std::string::npos)
        throw Refused("the disclaimer holds the bytes \"SFX\" 0x01, where the stub would take its trailer to begin");
    if (text.find(std::string_view("PK\x05\x06", 4)) != std::string::npos)
        throw Refused("the disclaimer holds the bytes \"PK\" 05 06, which the stub would take for the end record");
    if (text.find('\0') != std::string::npos) throw Refused("the disclaimer holds a zero byte; the stub would show only the text before it");
    if (std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }))
        warnings.push_back("the disclaimer holds non-ASCII bytes; they are written as given and shown in the "
                           "user's ANSI code page");
    uint64_t room = TRAILER_SCAN_LIMIT - TRAILER_SIZE - text.size();
    if (room < SIGNATURE_ALLOWANCE)
        warnings.push_back(fmt::format("the disclaimer leaves room for a signature of only {} bytes after the trailer; "
                                       "a larger one would hide the disclaimer from the stub",
                                       room));
}

}  // namespace pack
