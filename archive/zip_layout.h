// zip_layout.h -- the records, signatures and scan bounds of a self-extracting file.
//
// A self-extracting file is, in file order: the program image, the ZIP local entries,
// the central directory, the end record, and the trailer block (12 bytes, then the
// disclaimer text) that ends the file. Every integer is unsigned little-endian, and the
// offsets stored in records count from the first byte of the whole file, image included.
// The records are filled field by field; their memory layout need not mirror the file.
#pragma once

#include <cstdint>

constexpr uint32_t LOCAL_HEADER_SIGNATURE = 0x04034b50;    // "PK\3\4"
constexpr uint32_t CENTRAL_HEADER_SIGNATURE = 0x02014b50;  // "PK\1\2"
constexpr uint32_t END_RECORD_SIGNATURE = 0x06054b50;      // "PK\5\6"
constexpr uint32_t TRAILER_SIGNATURE = 0x01584653;         // "SFX" and a byte 1

constexpr uint32_t LOCAL_HEADER_SIZE = 30;
constexpr uint32_t CENTRAL_HEADER_SIZE = 46;
constexpr uint32_t END_RECORD_SIZE = 22;
constexpr uint32_t TRAILER_SIZE = 12;

// The end record is looked for from 10 to 20000 bytes before the end of the file.
constexpr uint32_t END_RECORD_SCAN_START = 10;
constexpr uint32_t END_RECORD_SCAN_LIMIT = 20000;
// The trailer is looked for from 3 to 17000 bytes before the end of the file.
constexpr uint32_t TRAILER_SCAN_START = 3;
constexpr uint32_t TRAILER_SCAN_LIMIT = 17000;

constexpr uint16_t FLAG_ENCRYPTED = 0x0001;
constexpr uint16_t FLAG_DATA_DESCRIPTOR = 0x0008;
constexpr uint16_t METHOD_STORED = 0;
constexpr uint16_t METHOD_DEFLATE = 8;

struct LocalHeader {
    uint32_t signature;
    uint16_t version_needed;
    uint16_t general_flags;
    uint16_t method;
    uint16_t dos_time;
    uint16_t dos_date;
    uint32_t crc32;
    uint32_t compressed_size;
    uint32_t uncompressed_size;
    uint16_t name_length;
    uint16_t extra_length;
};

struct CentralHeader {
    uint32_t signature;
    uint8_t version_made_by_spec;
    uint8_t version_made_by_host;
    uint8_t version_needed_low;
    uint8_t version_needed_high;
    uint16_t general_flags;
    uint16_t method;
    uint16_t dos_time;
    uint16_t dos_date;
    uint32_t crc32;
    uint32_t compressed_size;
    uint32_t uncompressed_size;
    uint16_t name_length;
    uint16_t extra_length;
    uint16_t comment_length;
    uint16_t disk_number_start;
    uint16_t internal_attributes;
    uint32_t external_attributes;
    uint32_t local_header_offset;
};

struct EndRecord {
    uint32_t signature;
    uint16_t disk_number;
    uint16_t directory_disk;
    uint16_t entries_on_disk;
    uint16_t total_entries;
    uint32_t directory_size;
    uint32_t directory_offset;
    uint16_t comment_length;
};

struct TrailerBlock {
    uint32_t signature;
    uint32_t disclaimer_flag;
    uint32_t text_length;
    // then text_length bytes of text, without a terminating zero
};
