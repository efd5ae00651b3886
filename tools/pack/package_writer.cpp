// package_writer.cpp -- compresses the plan's entries on every core and writes the package in order.
#include "tools/pack/package_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

#include <fmt/format.h>

#include "archive/zip_layout.h"
#include "tools/pack/deflate_encoder.h"
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

// One entry's stored data and the values its headers carry.
struct Encoded {
    Bytes owned;    // data made here
    ByteView data;  // what goes into the file: `owned`, or a view into the source zip
    uint32_t crc32 = 0;
    uint32_t size = 0;
    bool copied = false;
};

Encoded encode_entry(const PlannedEntry& p, const Plan& plan, DeflateEncoder& encoder) {
    Encoded e;
    auto compress = [&](ByteView content) {
        e.crc32 = crc32_of(content);
        e.size = static_cast<uint32_t>(content.size());
        e.owned = encoder.encode(content);
        e.data = e.owned;
    };
    switch (p.source) {
    case Source::none:
        e.data = ByteView(EMPTY_DEFLATE);
        break;
    case Source::file: {
        MappedFile file(p.file);
        if (file.bytes().size() != p.size) throw PackError(fmt::format("\"{}\" changed size while it was packed", p.shown));
        compress(file.bytes());
        break;
    }
    case Source::zip_deflate: {
        const ZipSource& zip = *plan.zip;
        const ZipEntry& source = zip.archive.entries[static_cast<size_t>(p.zip_index)];
        // Decoded once to prove the data whole before it is copied as it is.
        decode_entry(zip.file->bytes(), zip.archive, source);
        e.crc32 = source.crc32;
        e.size = source.uncompressed_size;
        e.data = entry_data(zip.file->bytes(), zip.archive, source);
        e.copied = true;
        break;
    }
    case Source::zip_decode: {
        const ZipSource& zip = *plan.zip;
        Bytes decoded = decode_entry(zip.file->bytes(), zip.archive, zip.archive.entries[static_cast<size_t>(p.zip_index)]);
        compress(decoded);
        break;
    }
    }
    if (e.data.empty()) e.data = ByteView(EMPTY_DEFLATE);
    return e;
}

// Entries are encoded by a pool of threads and handed to the writer in plan order. A thread
// starts an entry only while the entries encoded but not yet written stay within bounds, so
// memory follows the largest entries, not the package.
class EncodingPool {
public:
    static constexpr size_t AHEAD_ENTRIES = 256;
    static constexpr uint64_t AHEAD_BYTES = 256u << 20;

    EncodingPool(const Plan& plan, int level, unsigned jobs) : plan_(plan), slots_(plan.entries.size()) {
        for (unsigned i = 0; i < jobs; ++i) threads_.emplace_back([this, level] { work(level); });
    }
    ~EncodingPool() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        for (auto& t : threads_) t.join();
    }
    EncodingPool(const EncodingPool&) = delete;
    EncodingPool& operator=(const EncodingPool&) = delete;

    // Waits for entry i, calling `tick` about ten times a second meanwhile.
    Encoded take(size_t i, const std::function<void()>& tick) {
        std::unique_lock lock(mutex_);
        while (!slots_[i].done) {
            changed_.wait_for(lock, std::chrono::milliseconds(100));
            if (!slots_[i].done && tick) {
                lock.unlock();
                tick();
                lock.lock();
            }
        }
        Slot slot = std::move(slots_[i]);
        slots_[i] = Slot{};
        ahead_bytes_ -= plan_.entries[i].size;
        taken_ = i + 1;
        lock.unlock();
        changed_.notify_all();
        if (slot.error) std::rethrow_exception(slot.error);
        return std::move(slot.encoded);
    }
    uint64_t bytes_done() const { return bytes_done_.load(); }

private:
    struct Slot {
        Encoded encoded;
        std::exception_ptr error;
        bool done = false;
    };

    void work(int level) {
        std::unique_ptr<DeflateEncoder> encoder;
        for (;;) {
            size_t i;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] {
                    if (stop_ || next_ >= slots_.size()) return true;
                    return next_ == taken_ || (next_ < taken_ + AHEAD_ENTRIES && ahead_bytes_ < AHEAD_BYTES);
                });
                if (stop_ || next_ >= slots_.size()) return;
                i = next_++;
                ahead_bytes_ += plan_.entries[i].size;
            }
            Slot slot;
            try {
                if (!encoder) encoder = std::make_unique<DeflateEncoder>(level);
                slot.encoded = encode_entry(plan_.entries[i], plan_, *encoder);
            } catch (...) {
                slot.error = std::current_exception();
            }
            slot.done = true;
            bytes_done_ += plan_.entries[i].size;
            {
                std::lock_guard lock(mutex_);
                slots_[i] = std::move(slot);
            }
            changed_.notify_all();
        }
    }

    const Plan& plan_;
    std::vector<Slot> slots_;
    std::mutex mutex_;
    std::condition_variable changed_;
    size_t next_ = 0;   // the next entry a thread takes up
    size_t taken_ = 0;  // entries the writer has taken
    uint64_t ahead_bytes_ = 0;
    bool stop_ = false;
    std::atomic<uint64_t> bytes_done_{0};
    std::vector<std::thread> threads_;
};

void put_local_header(Bytes& out, const PlannedEntry& p, const Encoded& e) {
    put32(out, LOCAL_HEADER_SIGNATURE);
    put16(out, VERSION_DEFLATE);
    put16(out, 0);
    put16(out, METHOD_DEFLATE);
    put16(out, p.time.time);
    put16(out, p.time.date);
    put32(out, e.crc32);
    put32(out, static_cast<uint32_t>(e.data.size()));
    put32(out, e.size);
    put16(out, static_cast<uint16_t>(p.name.size()));
    put16(out, 0);
    out.insert(out.end(), p.name.begin(), p.name.end());
}

void put_central_header(Bytes& out, const PlannedEntry& p, const Encoded& e, uint32_t local_offset) {
    put32(out, CENTRAL_HEADER_SIGNATURE);
    put16(out, VERSION_MADE_BY);
    put16(out, VERSION_DEFLATE);
    put16(out, 0);
    put16(out, METHOD_DEFLATE);
    put16(out, p.time.time);
    put16(out, p.time.date);
    put32(out, e.crc32);
    put32(out, static_cast<uint32_t>(e.data.size()));
    put32(out, e.size);
    put16(out, static_cast<uint16_t>(p.name.size()));
    put16(out, 0);  // extra
    put16(out, 0);  // comment
    put16(out, 0);  // disk
    put16(out, 0);  // internal attributes
    put32(out, p.attributes);
    put32(out, local_offset);
    out.insert(out.end(), p.name.begin(), p.name.end());
}

// The end record and the trailer; refused when the stub would misread them.
Bytes make_tail(uint16_t entries, uint32_t directory_size, uint32_t directory_offset, const std::optional<std::string>& text) {
    Bytes tail;
    put32(tail, END_RECORD_SIGNATURE);
    put16(tail, 0);
    put16(tail, 0);
    put16(tail, entries);
    put16(tail, entries);
    put32(tail, directory_size);
    put32(tail, directory_offset);
    put16(tail, 0);  // no comment
    put32(tail, TRAILER_SIGNATURE);
    put32(tail, text ? 1u : 0u);
    put32(tail, text ? static_cast<uint32_t>(text->size()) : 0u);
    if (text) tail.insert(tail.end(), text->begin(), text->end());
    // The stub takes the end record and the trailer nearest the end of the file: no copy of
    // either may follow ours (the offset and size fields themselves could spell one).
    uint64_t scan_end = tail.size() >= END_RECORD_SCAN_START ? tail.size() - END_RECORD_SCAN_START + 4 : 0;
    if (find_bytes(tail, 1, scan_end, std::string_view("PK\x05\x06", 4)) >= 0)
        throw Refused("the end record's own fields spell \"PK\" 05 06, which the stub would take for the end record");
    if (find_bytes(tail, END_RECORD_SIZE + 1, tail.size(), std::string_view("SFX\x01", 4)) >= 0)
        throw Refused("the trailer's fields spell \"SFX\" 0x01 again, where the stub would take the trailer to begin");
    if (tail.size() > END_RECORD_SCAN_LIMIT) throw Refused("the end record would lie too far from the end of the file");
    return tail;
}

ByteView checked_stub(const MappedFile& stub, const fs::path& path) {
    ByteView bytes = stub.bytes();
    if (bytes.size() < 2 || bytes[0] != 'M' || bytes[1] != 'Z')
        throw PackError(fmt::format("{} does not begin with \"MZ\": not a Windows program", path.string()));
    bool carries_archive = false;
    try {
        carries_archive = !read_package(bytes).entries.empty();
    } catch (const PackError&) {
        // no archive the stub would find: a bare stub
    }
    if (carries_archive) throw PackError(fmt::format("{} already carries an archive; give the bare stub", path.string()));
    return bytes;
}

}  // namespace

fs::path default_stub_path() {
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return (ec ? fs::current_path() : self.parent_path()) / "tarnvel-sfx.exe";
}

BuildResult build_package(const BuildOptions& options) {
    BuildResult result;
    if (options.level < MIN_LEVEL || options.level > MAX_LEVEL)
        throw PackError(fmt::format("level {} is out of range {}..{}", options.level, MIN_LEVEL, MAX_LEVEL));
    if (options.disclaimer) check_disclaimer(*options.disclaimer, result.warnings);
    Plan plan = make_plan(options.paths, options.zip, options.rules, options.out);
    result.warnings.insert(result.warnings.end(), plan.warnings.begin(), plan.warnings.end());
    for (const PlannedEntry& p : plan.entries) result.input_size += p.size;

    MappedFile stub(options.stub);
    ByteView stub_bytes = checked_stub(stub, options.stub);
    unsigned jobs = options.jobs != 0 ? options.jobs : std::max(1u, std::thread::hardware_concurrency());
    AtomicOutput out(options.out);
    out.write(stub_bytes);
    result.stub_size = stub_bytes.size();
    auto check_offset = [&](uint64_t offset) {
        if (offset > MAX_SIZE)
            throw Refused(fmt::format("the package would reach {} bytes, 4 GiB or more, beyond the stub's 32-bit offsets", offset));
    };

    Bytes directory;
    EncodingPool pool(plan, options.best ? MAX_LEVEL : options.level, jobs);
    auto tick = [&] {
        if (options.progress) options.progress(pool.bytes_done(), result.input_size);
    };
    for (size_t i = 0; i < plan.entries.size(); ++i) {
        const PlannedEntry& p = plan.entries[i];
        Encoded e = pool.take(i, tick);
        uint64_t local_offset = out.offset();
        check_offset(local_offset + LOCAL_HEADER_SIZE + p.name.size() + e.data.size());
        Bytes local;
        put_local_header(local, p, e);
        out.write(local);
        out.write(e.data);
        put_central_header(directory, p, e, static_cast<uint32_t>(local_offset));
        ++result.entries;
        ++(e.copied ? result.copied : result.compressed);
        tick();
    }
    uint64_t directory_offset = out.offset();
    check_offset(directory_offset + directory.size() + END_RECORD_SIZE);
    out.write(directory);
    Bytes tail = make_tail(static_cast<uint16_t>(plan.entries.size()), static_cast<uint32_t>(directory.size()),
                           static_cast<uint32_t>(directory_offset), options.disclaimer);
    out.write(tail);
    result.package_size = out.offset();
    check_offset(result.package_size);
    out.commit();
    return result;
}

}  // namespace pack
