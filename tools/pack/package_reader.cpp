// package_reader.cpp -- the end-record scan, central and local records, trailer, listing.
#include "tools/pack/package_reader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include <fmt/format.h>
#include <bzlib.h>
#include <libdeflate.h>
#include <lzma.h>

#include "archive/zip_layout.h"

namespace pack {

MappedFile::MappedFile(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw PackError(fmt::format("cannot open {}: {}", path.string(), std::strerror(errno)));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw PackError(fmt::format("{} is not a regular file", path.string()));
    }
    size_ = static_cast<size_t>(st.st_size);
    if (size_ != 0) {
        void* map = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
        if (map == MAP_FAILED) {
            ::close(fd);
            throw PackError(fmt::format("cannot map {}: {}", path.string(), std::strerror(errno)));
        }
        data_ = static_cast<const unsigned char*>(map);
    }
    ::close(fd);
}

MappedFile::~MappedFile() {
    if (data_ != nullptr) ::munmap(const_cast<unsigned char*>(data_), size_);
}

namespace {

bool signature_at(ByteView file, uint64_t at, uint32_t signature) {
    return at + 4 <= file.size() && get32(file, at) == signature;
}

void need(ByteView file, uint64_t at, uint64_t count, const char* what) {
    if (at > file.size() || count > file.size() - at)
        throw PackError(fmt::format("{} at offset {} runs past the end of the file", what, at));
}

// Info-ZIP's Unicode Path field: version 1, the CRC-32 of the stored name, the UTF-8 name.
std::string unicode_path(ByteView extra, const std::string& stored_name) {
    constexpr uint16_t UNICODE_PATH_ID = 0x7075;
    for (uint64_t at = 0; at + 4 <= extra.size();) {
        uint16_t id = get16(extra, at);
        uint16_t size = get16(extra, at + 2);
        if (at + 4 + size > extra.size()) break;
        if (id == UNICODE_PATH_ID && size > 5 && extra[at + 4] == 1) {
            auto name = reinterpret_cast<const unsigned char*>(stored_name.data());
            if (get32(extra, at + 5) == crc32_of(ByteView(name, stored_name.size())))
                return std::string(reinterpret_cast<const char*>(extra.data() + at + 9), size - 5u);
        }
        at += 4u + size;
    }
    return "";
}

void read_end_record(ByteView file, uint64_t at, Archive& archive) {
    need(file, at, END_RECORD_SIZE, "the end record");
    archive.end_record_offset = at;
    archive.total_entries = get16(file, at + 10);
    archive.directory_size = get32(file, at + 12);
    archive.directory_offset = get32(file, at + 16);
    archive.comment_length = get16(file, at + 20);
    if (get16(file, at + 4) != 0 || get16(file, at + 6) != 0 || get16(file, at + 8) != archive.total_entries)
        throw PackError("the archive spans several disks");
    if (archive.total_entries == 0xFFFF || archive.directory_offset == 0xFFFFFFFFu)
        throw PackError("the archive uses ZIP64 records, which the stub does not read");
}

// The central directory from directory_offset + shift, then each local header.
void read_directory(ByteView file, Archive& archive) {
    uint64_t at = archive.directory_offset + static_cast<uint64_t>(archive.offset_shift);
    while (signature_at(file, at, CENTRAL_HEADER_SIGNATURE)) {
        need(file, at, CENTRAL_HEADER_SIZE, "a central record");
        ZipEntry e;
        e.central_offset = at;
        e.version_made_by = get16(file, at + 4);
        e.flags = get16(file, at + 8);
        e.method = get16(file, at + 10);
        e.time = DosTime{get16(file, at + 14), get16(file, at + 12)};
        e.crc32 = get32(file, at + 16);
        e.compressed_size = get32(file, at + 20);
        e.uncompressed_size = get32(file, at + 24);
        uint16_t name_length = get16(file, at + 28);
        uint16_t extra_length = get16(file, at + 30);
        uint16_t comment_length = get16(file, at + 32);
        e.external_attributes = get32(file, at + 38);
        e.local_offset = get32(file, at + 42);
        need(file, at + CENTRAL_HEADER_SIZE, name_length, "a central name");
        e.name.assign(reinterpret_cast<const char*>(file.data() + at + CENTRAL_HEADER_SIZE), name_length);
        need(file, at + CENTRAL_HEADER_SIZE + name_length, extra_length, "a central extra field");
        e.unicode_name = unicode_path(file.subspan(at + CENTRAL_HEADER_SIZE + name_length, extra_length), e.name);
        archive.entries.push_back(std::move(e));
        at += CENTRAL_HEADER_SIZE + name_length + extra_length + comment_length;
    }
    if (!signature_at(file, at, END_RECORD_SIGNATURE) || at != archive.end_record_offset)
        throw PackError(fmt::format("the central directory does not run up to the end record (it stops at offset {})", at));

    for (ZipEntry& e : archive.entries) {
        uint64_t local = e.local_offset + static_cast<uint64_t>(archive.offset_shift);
        if (!signature_at(file, local, LOCAL_HEADER_SIGNATURE))
            throw PackError(fmt::format("\"{}\": no local header at offset {}", e.name, e.local_offset));
        need(file, local, LOCAL_HEADER_SIZE, "a local header");
        e.local_flags = get16(file, local + 6);
        e.local_method = get16(file, local + 8);
        e.local_crc32 = get32(file, local + 14);
        e.local_compressed_size = get32(file, local + 18);
        e.local_uncompressed_size = get32(file, local + 22);
        uint16_t name_length = get16(file, local + 26);
        uint16_t extra_length = get16(file, local + 28);
        need(file, local + LOCAL_HEADER_SIZE, name_length, "a local name");
        e.local_name.assign(reinterpret_cast<const char*>(file.data() + local + LOCAL_HEADER_SIZE), name_length);
        e.data_offset = local + LOCAL_HEADER_SIZE + name_length + extra_length;
    }
}

std::optional<Trailer> find_trailer(ByteView file) {
    // The stub's probes run from 3 to 17000 bytes before the end; one at 3 cannot hold a
    // whole signature, so the first whole probe is at 4.
    for (uint64_t distance = 4; distance <= TRAILER_SCAN_LIMIT && distance <= file.size(); ++distance) {
        uint64_t at = file.size() - distance;
        if (get32(file, at) != TRAILER_SIGNATURE) continue;
        Trailer t;
        t.offset = at;
        auto field = [&](uint64_t from) {
            uint32_t value = 0;
            for (uint64_t i = 0; i < 4 && from + i < file.size(); ++i) value |= static_cast<uint32_t>(file[from + i]) << (8 * i);
            return value;
        };
        t.disclaimer_flag = field(at + 4);
        if (t.disclaimer_flag != 0) t.text_length = field(at + 8);
        uint64_t text_at = at + TRAILER_SIZE;
        uint64_t available = text_at < file.size() ? file.size() - text_at : 0;
        uint64_t length = std::min<uint64_t>(t.text_length, available);
        if (t.disclaimer_flag != 0 && length != 0) t.text.assign(reinterpret_cast<const char*>(file.data() + text_at), length);
        return t;
    }
    return std::nullopt;
}

}  // namespace

Archive read_package(ByteView file) {
    Archive archive;
    archive.file_size = file.size();
    bool found = false;
    for (uint64_t distance = END_RECORD_SCAN_START; distance <= END_RECORD_SCAN_LIMIT && distance <= file.size(); ++distance) {
        if (get32(file, file.size() - distance) == END_RECORD_SIGNATURE) {
            read_end_record(file, file.size() - distance, archive);
            found = true;
            break;
        }
    }
    if (!found)
        throw PackError("no end record within 20000 bytes of the end of the file: not a package");
    if (archive.directory_offset == 0) throw PackError("the end record points at no directory");
    read_directory(file, archive);
    archive.trailer = find_trailer(file);
    return archive;
}

Archive read_package(const MappedFile& file) { return read_package(file.bytes()); }

Archive read_zip(ByteView file) {
    Archive archive;
    archive.file_size = file.size();
    if (file.size() < END_RECORD_SIZE) throw PackError("not a zip file (too short)");
    // The end record may be followed by a comment of up to 65535 bytes.
    uint64_t lowest = file.size() >= END_RECORD_SIZE + 0xFFFFu ? file.size() - END_RECORD_SIZE - 0xFFFFu : 0;
    bool found = false;
    for (uint64_t at = file.size() - END_RECORD_SIZE + 1; at-- > lowest;) {
        if (get32(file, at) == END_RECORD_SIGNATURE && at + END_RECORD_SIZE + get16(file, at + 20) == file.size()) {
            read_end_record(file, at, archive);
            found = true;
            break;
        }
    }
    if (!found) throw PackError("no end record: not a zip file");
    // Data in front of an archive that was not rebased moves every record by the same amount.
    uint64_t directory_at = archive.end_record_offset - archive.directory_size;
    if (archive.directory_size > archive.end_record_offset) throw PackError("the directory size exceeds the file");
    archive.offset_shift = static_cast<int64_t>(directory_at) - static_cast<int64_t>(archive.directory_offset);
    read_directory(file, archive);
    if (archive.entries.size() != archive.total_entries)
        throw PackError(fmt::format("the end record counts {} entries, the directory holds {}", archive.total_entries,
                                    archive.entries.size()));
    return archive;
}

ByteView entry_data(ByteView file, const Archive&, const ZipEntry& entry) {
    need(file, entry.data_offset, entry.compressed_size, "entry data");
    return file.subspan(entry.data_offset, entry.compressed_size);
}

namespace {

constexpr uint16_t METHOD_BZIP2 = 12;
constexpr uint16_t METHOD_LZMA = 14;

bool inflate_into(ByteView data, Bytes& out) {
    struct Free {
        void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
    };
    std::unique_ptr<libdeflate_decompressor, Free> d(libdeflate_alloc_decompressor());
    size_t actual = 0;
    return d && libdeflate_deflate_decompress(d.get(), data.data(), data.size(), out.data(), out.size(), &actual) ==
                    LIBDEFLATE_SUCCESS &&
           actual == out.size();
}

bool bunzip_into(ByteView data, Bytes& out) {
    if (data.size() > UINT32_MAX) return false;
    auto length = static_cast<unsigned int>(out.size());
    char dummy = 0;
    char* target = out.empty() ? &dummy : reinterpret_cast<char*>(out.data());
    unsigned int room = out.empty() ? 1 : length;
    int result = BZ2_bzBuffToBuffDecompress(target, &room, const_cast<char*>(reinterpret_cast<const char*>(data.data())),
                                            static_cast<unsigned int>(data.size()), 0, 0);
    return result == BZ_OK && room == length;
}

// A zip's LZMA data: version (2 bytes), the properties' size (2), the LZMA1 properties, then
// the raw stream, with or without its end marker; the output's size is known.
bool unlzma_into(ByteView data, Bytes& out) {
    if (data.size() < 4) return false;
    uint16_t properties_size = get16(data, 2);
    if (data.size() < 4u + properties_size) return false;
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
    if (lzma_properties_decode(&filters[0], nullptr, data.data() + 4, properties_size) != LZMA_OK) return false;
    lzma_stream stream = LZMA_STREAM_INIT;
    lzma_ret ret = lzma_raw_decoder(&stream, filters);
    free(filters[0].options);
    if (ret != LZMA_OK) return false;
    stream.next_in = data.data() + 4 + properties_size;
    stream.avail_in = data.size() - 4 - properties_size;
    stream.next_out = out.data();
    stream.avail_out = out.size();
    do ret = lzma_code(&stream, LZMA_FINISH);
    while (ret == LZMA_OK && stream.avail_out != 0 && stream.avail_in != 0);
    bool whole = (ret == LZMA_OK || ret == LZMA_STREAM_END) && stream.total_out == out.size();
    lzma_end(&stream);
    return whole;
}

}  // namespace

bool can_decode(uint16_t method) {
    return method == METHOD_STORED || method == METHOD_DEFLATE || method == METHOD_BZIP2 || method == METHOD_LZMA;
}

Bytes decode_entry(ByteView file, const Archive& archive, const ZipEntry& entry) {
    if (entry.flags & FLAG_ENCRYPTED) throw PackError(fmt::format("\"{}\" is encrypted", entry.name));
    if (entry.compressed_size == 0xFFFFFFFFu || entry.uncompressed_size == 0xFFFFFFFFu)
        throw PackError(fmt::format("\"{}\" uses ZIP64 sizes", entry.name));
    ByteView data = entry_data(file, archive, entry);
    Bytes out(entry.uncompressed_size);
    bool whole = false;
    switch (entry.method) {
    case METHOD_STORED:
        whole = data.size() == out.size();
        if (whole && !data.empty()) std::memcpy(out.data(), data.data(), data.size());
        break;
    case METHOD_DEFLATE: whole = inflate_into(data, out); break;
    case METHOD_BZIP2: whole = bunzip_into(data, out); break;
    case METHOD_LZMA: whole = unlzma_into(data, out); break;
    default:
        throw Refused(fmt::format("\"{}\" uses compression method {}, which this tool cannot decode to re-pack", entry.name,
                                  entry.method));
    }
    if (!whole) throw PackError(fmt::format("\"{}\": its data (method {}) is damaged", entry.name, entry.method));
    if (crc32_of(out) != entry.crc32) throw PackError(fmt::format("\"{}\": CRC-32 mismatch, the entry is damaged", entry.name));
    return out;
}

std::string describe_package(const Archive& a) {
    std::string out;
    uint64_t first_local = a.entries.empty() ? a.directory_offset : a.entries.front().local_offset;
    for (const ZipEntry& e : a.entries) first_local = std::min(first_local, e.local_offset);
    out += fmt::format("file size        {:>12}\n", a.file_size);
    out += fmt::format("image (stub)     {:>12} bytes; the first entry begins at offset {}\n", first_local, first_local);
    out += fmt::format("central dir      {:>12} bytes at offset {}\n", a.directory_size, a.directory_offset);
    out += fmt::format("end record       {:>12} entries at offset {}, comment {} bytes\n", a.total_entries,
                       a.end_record_offset, a.comment_length);
    if (a.trailer)
        out += fmt::format("trailer          at offset {}, disclaimer {}, text {} bytes\n", a.trailer->offset,
                           a.trailer->disclaimer_flag != 0 ? "yes" : "no", a.trailer->text_length);
    else
        out += "trailer          none (no disclaimer)\n";
    out += fmt::format("\n{:<7} {:>10} {:>10} {:>8} {:<19} {:>4} {:>10}  {}\n", "method", "compressed", "size", "crc32",
                       "time", "attr", "offset", "name");
    for (const ZipEntry& e : a.entries) {
        const char* method = e.local_method == METHOD_DEFLATE ? "deflate" : e.local_method == METHOD_STORED ? "stored" : "other";
        std::string shown;
        try {
            shown = oem_to_utf8(e.local_name);
        } catch (const PackError&) {
            shown = e.local_name;
        }
        out += fmt::format("{:<7} {:>10} {:>10} {:08x} {:<19} {:>4x} {:>10}  {}\n", method, e.local_compressed_size,
                           e.local_uncompressed_size, e.local_crc32, dos_time_text(e.time), e.external_attributes,
                           e.local_offset, shown);
    }
    return out;
}

}  // namespace pack
