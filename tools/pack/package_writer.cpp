// package_writer.cpp -- plans entries from a folder or a zip, refuses what the stub cannot take, writes.
#include "tools/pack/package_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>

#include <fmt/format.h>
#include <libdeflate.h>

#include "archive/zip_layout.h"
#include "tools/pack/package_reader.h"

namespace pack {

namespace fs = std::filesystem;

namespace {

// A temporary file beside the target that becomes the target only on commit().
class AtomicOutput {
public:
    explicit AtomicOutput(const fs::path& target) : target_(target) {
        fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
        std::string hidden = target.filename().string();
        hidden.insert(hidden.begin(), '.');
        hidden.append(".XXXXXX");
        std::string pattern = (dir / hidden).string();
        fd_ = ::mkstemp(pattern.data());
        if (fd_ < 0) throw PackError(fmt::format("cannot create a file in {}: {}", dir.string(), std::strerror(errno)));
        temp_ = pattern;
    }
    ~AtomicOutput() {
        if (fd_ >= 0) ::close(fd_);
        if (!committed_) ::unlink(temp_.c_str());
    }
    AtomicOutput(const AtomicOutput&) = delete;
    AtomicOutput& operator=(const AtomicOutput&) = delete;

    void write(ByteView bytes) {
        offset_ += bytes.size();
        while (!bytes.empty()) {
            ssize_t n = ::write(fd_, bytes.data(), std::min<size_t>(bytes.size(), 1u << 30));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw PackError(fmt::format("cannot write {}: {}", temp_.string(), std::strerror(errno)));
            bytes = bytes.subspan(static_cast<size_t>(n));
        }
    }
    uint64_t offset() const { return offset_; }
    void commit() {
        if (::fchmod(fd_, 0755) != 0 || ::fsync(fd_) != 0 || ::close(fd_) != 0) {
            fd_ = -1;
            throw PackError(fmt::format("cannot finish {}: {}", temp_.string(), std::strerror(errno)));
        }
        fd_ = -1;
        if (::rename(temp_.c_str(), target_.c_str()) != 0)
            throw PackError(fmt::format("cannot rename to {}: {}", target_.string(), std::strerror(errno)));
        committed_ = true;
    }

private:
    fs::path target_;
    fs::path temp_;
    int fd_ = -1;
    uint64_t offset_ = 0;
    bool committed_ = false;
};

struct CompressorFree {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

// The stored data of one entry and how the stub is to read it.
struct Encoded {
    uint16_t method = METHOD_STORED;
    Bytes owned;     // deflate output, when it won
    ByteView data;   // what goes into the file
    uint32_t crc32 = 0;
    uint32_t size = 0;
};

// The smallest of: our deflate, the source zip's own deflate data, the bytes stored.
Encoded encode(ByteView content, libdeflate_compressor* compressor, ByteView source_deflate) {
    Encoded e;
    e.crc32 = crc32_of(content);
    e.size = static_cast<uint32_t>(content.size());
    e.data = content;
    if (content.empty()) {
        e.method = METHOD_DEFLATE;
        e.owned = {0x03, 0x00};  // one final fixed-code block holding only its end code
        e.data = e.owned;
        return e;
    }
    // Room for one byte less than the input: libdeflate gives 0 when deflate does not shrink it.
    e.owned.resize(content.size() - 1);
    size_t n = e.owned.empty() ? 0
                               : libdeflate_deflate_compress(compressor, content.data(), content.size(), e.owned.data(),
                                                             e.owned.size());
    if (n != 0) {
        e.owned.resize(n);
        e.method = METHOD_DEFLATE;
        e.data = e.owned;
    } else {
        e.owned.clear();
    }
    if (!source_deflate.empty() && source_deflate.size() < e.data.size()) {
        e.method = METHOD_DEFLATE;
        e.owned.clear();
        e.data = source_deflate;
    }
    return e;
}

std::string ascii_lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

uint32_t attributes_from_zip(const ZipEntry& e) {
    if ((e.version_made_by >> 8) == HOST_UNIX && (e.external_attributes >> 16) != 0)
        return ((e.external_attributes >> 16) & S_IWUSR) ? ATTR_ARCHIVE : ATTR_READONLY;
    return (e.external_attributes & ATTR_READONLY) ? ATTR_READONLY : ATTR_ARCHIVE;
}

// Names flagged UTF-8 or carrying a Unicode Path field are converted; Info-ZIP on Unix
// stores the system's bytes unflagged, which are UTF-8 there, so a Unix name that reads
// as UTF-8 is taken as UTF-8 too; any other name is already in code page 437.
std::string oem_name_from_zip(const ZipEntry& e) {
    if (e.flags & FLAG_UTF8_NAME) return utf8_to_oem(e.name);
    if (!e.unicode_name.empty()) return utf8_to_oem(e.unicode_name);
    bool ascii = std::all_of(e.name.begin(), e.name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (!ascii && (e.version_made_by >> 8) == HOST_UNIX && is_utf8(e.name)) return utf8_to_oem(e.name);
    return e.name;
}

std::vector<PlannedEntry> plan_zip(const Archive& zip) {
    std::vector<PlannedEntry> planned;
    for (size_t i = 0; i < zip.entries.size(); ++i) {
        const ZipEntry& e = zip.entries[i];
        PlannedEntry p;
        p.shown = e.name;
        p.name = oem_name_from_zip(e);
        std::replace(p.name.begin(), p.name.end(), '\\', '/');
        p.directory = !p.name.empty() && p.name.back() == '/';
        p.time = e.time;
        p.attributes = p.directory ? ATTR_DIRECTORY : attributes_from_zip(e);
        p.size = e.uncompressed_size;
        p.zip_index = static_cast<int>(i);
        if ((e.version_made_by >> 8) == HOST_UNIX && S_ISLNK(e.external_attributes >> 16))
            throw PackError(fmt::format("\"{}\" is a symbolic link, which the stub would write as a file", p.shown));
        if (e.flags & FLAG_ENCRYPTED) throw PackError(fmt::format("\"{}\" is encrypted", p.shown));
        if (!p.directory && e.method != METHOD_STORED && e.method != METHOD_DEFLATE)
            throw PackError(fmt::format("\"{}\" uses compression method {}; only stored (0) and deflate (8) can be re-packed",
                                        p.shown, e.method));
        if (e.compressed_size == 0xFFFFFFFFu || e.uncompressed_size == 0xFFFFFFFFu)
            throw PackError(fmt::format("\"{}\" is 4 GiB or larger (ZIP64), beyond the stub's 32-bit sizes", p.shown));
        planned.push_back(std::move(p));
    }
    // A directory entry is needed only for a folder that nothing else creates.
    std::erase_if(planned, [&](const PlannedEntry& d) {
        return d.directory && std::any_of(planned.begin(), planned.end(), [&](const PlannedEntry& other) {
                   return &other != &d && other.name.size() > d.name.size() && other.name.starts_with(d.name);
               });
    });
    return planned;
}

}  // namespace

std::vector<PlannedEntry> plan_folder(const fs::path& folder, const fs::path& exclude) {
    std::vector<PlannedEntry> planned;
    std::error_code ec;
    fs::path excluded = exclude.empty() ? fs::path() : fs::weakly_canonical(exclude, ec);
    auto options = fs::directory_options::none;
    for (auto it = fs::recursive_directory_iterator(folder, options); it != fs::recursive_directory_iterator(); ++it) {
        const fs::directory_entry& entry = *it;
        std::string relative = entry.path().lexically_relative(folder).generic_string();
        if (relative.find('\\') != std::string::npos)
            throw PackError(fmt::format("\"{}\" holds a backslash, which Windows reads as a separator", relative));
        struct stat st {};
        if (::stat(entry.path().c_str(), &st) != 0)
            throw PackError(fmt::format("cannot read \"{}\": {}", relative, std::strerror(errno)));
        if (entry.is_symlink() && S_ISDIR(st.st_mode))
            throw PackError(fmt::format("\"{}\" is a symbolic link to a folder; it is not followed", relative));
        if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode))
            throw PackError(fmt::format("\"{}\" is neither a file nor a folder", relative));
        if (!excluded.empty() && fs::weakly_canonical(entry.path(), ec) == excluded) continue;

        PlannedEntry p;
        p.shown = relative;
        p.directory = S_ISDIR(st.st_mode);
        p.name = utf8_to_oem(relative) + (p.directory ? "/" : "");
        p.time = dos_time_from_unix(st.st_mtime);
        if (p.directory) {
            p.attributes = ATTR_DIRECTORY;
        } else {
            p.attributes = (st.st_mode & S_IWUSR) ? ATTR_ARCHIVE : ATTR_READONLY;
            p.size = static_cast<uint64_t>(st.st_size);
            p.file = entry.path();
        }
        planned.push_back(std::move(p));
    }
    std::sort(planned.begin(), planned.end(), [](const PlannedEntry& a, const PlannedEntry& b) { return a.name < b.name; });
    // Directory entries only for empty folders: extracting a file creates the folders above it.
    std::vector<PlannedEntry> kept;
    for (size_t i = 0; i < planned.size(); ++i) {
        const PlannedEntry& p = planned[i];
        bool has_child = false;
        if (p.directory)
            for (size_t j = i + 1; j < planned.size() && !has_child; ++j) has_child = planned[j].name.starts_with(p.name);
        if (!p.directory || !has_child) kept.push_back(p);
    }
    return kept;
}

void check_plan(const std::vector<PlannedEntry>& entries) {
    if (entries.size() > MAX_ENTRIES)
        throw PackError(fmt::format("{} entries; the archive's records hold at most {}", entries.size(), MAX_ENTRIES));
    std::set<std::string> names;
    std::set<std::string> folders;
    for (const PlannedEntry& e : entries) {
        std::string problem = name_problem(e.name);
        if (!problem.empty()) throw PackError(fmt::format("\"{}\": {}", e.shown, problem));
        if (e.size > MAX_SIZE) throw PackError(fmt::format("\"{}\" is 4 GiB or larger, beyond the stub's 32-bit sizes", e.shown));
        std::string lower = ascii_lower(e.name);
        if (!e.directory && !names.insert(lower).second)
            throw PackError(fmt::format("\"{}\" occurs twice (Windows compares names without regard to case)", e.shown));
        for (size_t cut = lower.find('/'); cut != std::string::npos; cut = lower.find('/', cut + 1))
            folders.insert(lower.substr(0, cut));
    }
    for (const std::string& folder : folders)
        if (names.count(folder)) throw PackError(fmt::format("\"{}\" is both a file and a folder", folder));
}

void check_disclaimer(const std::string& text, std::vector<std::string>& warnings) {
    if (text.empty()) throw PackError("the disclaimer is empty; the stub would ask the user to accept an empty box");
    if (text.size() > MAX_DISCLAIMER_BYTES)
        throw PackError(fmt::format("the disclaimer is {} bytes; the stub shows at most {}", text.size(), MAX_DISCLAIMER_BYTES));
    if (text.find(std::string_view("SFX\x01", 4)) != std::string::npos)
        throw PackError("the disclaimer holds the bytes \"SFX\" 0x01, where the stub would take its trailer to begin");
    if (text.find(std::string_view("PK\x05\x06", 4)) != std::string::npos)
        throw PackError("the disclaimer holds the bytes \"PK\" 05 06, which the stub would take for the end record");
    if (text.find('\0') != std::string::npos) throw PackError("the disclaimer holds a zero byte; the stub would show only the text before it");
    if (std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }))
        warnings.push_back("the disclaimer holds non-ASCII bytes; they are written as given and shown in the "
                           "user's ANSI code page");
}

BuildResult build_package(const BuildOptions& options) {
    BuildResult result;
    if (options.level < 0 || options.level > MAX_LEVEL)
        throw PackError(fmt::format("level {} is out of range 0..{}", options.level, MAX_LEVEL));
    if (options.disclaimer) check_disclaimer(*options.disclaimer, result.warnings);

    MappedFile stub(options.stub);
    ByteView stub_bytes = stub.bytes();
    if (stub_bytes.size() < 2 || stub_bytes[0] != 'M' || stub_bytes[1] != 'Z')
        throw PackError(fmt::format("{} does not begin with \"MZ\": not a Windows program", options.stub.string()));
    bool carries_archive = false;
    try {
        carries_archive = !read_package(stub_bytes).entries.empty();
    } catch (const PackError&) {
        // no archive the stub would find: a bare stub
    }
    if (carries_archive) throw PackError(fmt::format("{} already carries an archive; give the bare stub", options.stub.string()));

    std::unique_ptr<MappedFile> source_zip;
    Archive zip;
    std::vector<PlannedEntry> planned;
    std::error_code ec;
    if (fs::is_directory(options.source, ec)) {
        planned = plan_folder(options.source, options.out);
    } else if (fs::is_regular_file(options.source, ec)) {
        source_zip = std::make_unique<MappedFile>(options.source);
        zip = read_zip(source_zip->bytes());
        planned = plan_zip(zip);
    } else {
        throw PackError(fmt::format("{} is neither a folder nor a zip file", options.source.string()));
    }
    check_plan(planned);

    std::unique_ptr<libdeflate_compressor, CompressorFree> compressor(libdeflate_alloc_compressor(options.level));
    if (!compressor) throw PackError("cannot allocate the compressor");

    AtomicOutput out(options.out);
    out.write(stub_bytes);
    result.stub_size = stub_bytes.size();
    Bytes directory;
    auto check_offset = [&](uint64_t offset) {
        if (offset > MAX_SIZE) throw PackError("the package would reach 4 GiB, beyond the stub's 32-bit offsets");
    };
    for (const PlannedEntry& p : planned) {
        uint64_t local_offset = out.offset();
        check_offset(local_offset);
        Encoded encoded;
        std::unique_ptr<MappedFile> file;
        Bytes decoded;
        if (p.directory) {
            encoded.method = METHOD_STORED;
        } else if (p.zip_index >= 0) {
            const ZipEntry& source = zip.entries[static_cast<size_t>(p.zip_index)];
            decoded = decode_entry(source_zip->bytes(), zip, source);
            ByteView raw = source.method == METHOD_DEFLATE ? entry_data(source_zip->bytes(), zip, source) : ByteView{};
            encoded = encode(decoded, compressor.get(), raw);
            if (!raw.empty() && encoded.data.data() == raw.data()) ++result.kept_raw;
        } else {
            file = std::make_unique<MappedFile>(p.file);
            if (file->bytes().size() != p.size)
                throw PackError(fmt::format("\"{}\" changed size while it was packed", p.shown));
            encoded = encode(file->bytes(), compressor.get(), {});
        }
        if (!p.directory) ++(encoded.method == METHOD_DEFLATE ? result.deflated : result.stored);
        uint16_t needed = (p.directory || encoded.method == METHOD_DEFLATE) ? VERSION_DEFLATE : VERSION_STORED;
        auto name_length = static_cast<uint16_t>(p.name.size());
        auto compressed = static_cast<uint32_t>(encoded.data.size());

        Bytes local;
        put32(local, LOCAL_HEADER_SIGNATURE);
        put16(local, needed);
        put16(local, 0);
        put16(local, encoded.method);
        put16(local, p.time.time);
        put16(local, p.time.date);
        put32(local, encoded.crc32);
        put32(local, compressed);
        put32(local, encoded.size);
        put16(local, name_length);
        put16(local, 0);
        local.insert(local.end(), p.name.begin(), p.name.end());
        out.write(local);
        out.write(encoded.data);

        put32(directory, CENTRAL_HEADER_SIGNATURE);
        put16(directory, VERSION_MADE_BY);
        put16(directory, needed);
        put16(directory, 0);
        put16(directory, encoded.method);
        put16(directory, p.time.time);
        put16(directory, p.time.date);
        put32(directory, encoded.crc32);
        put32(directory, compressed);
        put32(directory, encoded.size);
        put16(directory, name_length);
        put16(directory, 0);  // extra
        put16(directory, 0);  // comment
        put16(directory, 0);  // disk
        put16(directory, 0);  // internal attributes
        put32(directory, p.attributes);
        put32(directory, static_cast<uint32_t>(local_offset));
        directory.insert(directory.end(), p.name.begin(), p.name.end());
        ++result.entries;
    }
    uint64_t directory_offset = out.offset();
    check_offset(directory_offset + directory.size() + END_RECORD_SIZE);
    out.write(directory);

    Bytes tail;
    put32(tail, END_RECORD_SIGNATURE);
    put16(tail, 0);
    put16(tail, 0);
    put16(tail, static_cast<uint16_t>(planned.size()));
    put16(tail, static_cast<uint16_t>(planned.size()));
    put32(tail, static_cast<uint32_t>(directory.size()));
    put32(tail, static_cast<uint32_t>(directory_offset));
    put16(tail, 0);  // no comment
    const std::string text = options.disclaimer.value_or("");
    put32(tail, TRAILER_SIGNATURE);
    put32(tail, options.disclaimer ? 1u : 0u);
    put32(tail, static_cast<uint32_t>(text.size()));
    tail.insert(tail.end(), text.begin(), text.end());
    // The stub takes the end record nearest the end of the file: no copy may follow ours
    // (the offset and size fields themselves could spell one).
    if (find_bytes(tail, 1, tail.size() >= END_RECORD_SCAN_START ? tail.size() - END_RECORD_SCAN_START + 4 : 0,
                   std::string_view("PK\x05\x06", 4)) >= 0)
        throw PackError("the bytes \"PK\" 05 06 would follow the end record, where the stub would take them for it");
    if (tail.size() > END_RECORD_SCAN_LIMIT) throw PackError("the end record would lie too far from the end of the file");
    out.write(tail);
    result.package_size = out.offset();
    check_offset(result.package_size);
    out.commit();
    return result;
}

}  // namespace pack
