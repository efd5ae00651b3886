// package_reader.h -- reads self-extracting files the way the stub finds them, and plain zips.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tools/pack/zip_format.h"

namespace pack {

// A whole file mapped read-only; empty files map to an empty view.
class MappedFile {
public:
    explicit MappedFile(const std::filesystem::path& path);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ByteView bytes() const { return {data_, size_}; }

private:
    const unsigned char* data_ = nullptr;
    size_t size_ = 0;
};

struct ZipEntry {
    // From the central record.
    std::string name;  // bytes as stored
    uint16_t version_made_by = 0;
    uint16_t flags = 0;
    uint16_t method = 0;
    DosTime time{};
    uint32_t crc32 = 0;
    uint32_t compressed_size = 0;
    uint32_t uncompressed_size = 0;
    uint32_t external_attributes = 0;
    std::string unicode_name;  // Info-ZIP's Unicode Path extra field (0x7075), when its CRC matches
    uint64_t central_offset = 0;
    uint64_t local_offset = 0;  // as the file holds it, image included
    // From the local header.
    std::string local_name;
    uint16_t local_flags = 0;
    uint16_t local_method = 0;
    uint32_t local_crc32 = 0;
    uint32_t local_compressed_size = 0;
    uint32_t local_uncompressed_size = 0;
    uint64_t data_offset = 0;

    bool is_directory() const { return !name.empty() && (name.back() == '/' || name.back() == '\\'); }
};

struct Trailer {
    uint64_t offset = 0;
    uint32_t disclaimer_flag = 0;
    uint32_t text_length = 0;
    std::string text;  // the bytes the stub would read, cut at the end of the file
};

struct Archive {
    uint64_t file_size = 0;
    uint64_t end_record_offset = 0;
    uint16_t total_entries = 0;
    uint32_t directory_size = 0;
    uint64_t directory_offset = 0;  // as stored
    uint16_t comment_length = 0;
    // Added to every stored offset to find its record: 0 for a package, the length of data
    // put in front of a plain zip that was not rebased.
    int64_t offset_shift = 0;
    std::vector<ZipEntry> entries;
    std::optional<Trailer> trailer;
};

// As the stub reads it: the end record found by the backward scan from 10 to 20000 bytes
// before the end, offsets absolute, the trailer within the last 17000 bytes. Throws
// PackError when the stub would not get as far as the first entry.
Archive read_package(ByteView file);
// Any single-disk zip without ZIP64 records; tolerates data put in front of it.
Archive read_zip(ByteView file);
Archive read_package(const MappedFile& file);

// The entry's stored data, bounds-checked against the file.
ByteView entry_data(ByteView file, const Archive& archive, const ZipEntry& entry);
// Whether decode_entry can decode this compression method.
bool can_decode(uint16_t method);
// The entry's bytes, decoded (stored, deflate, bzip2 or LZMA) and checked against its size and CRC-32;
// throws PackError otherwise.
Bytes decode_entry(ByteView file, const Archive& archive, const ZipEntry& entry);

// The `list` report: layout offsets, trailer, one line per entry.
std::string describe_package(const Archive& archive);

}  // namespace pack
