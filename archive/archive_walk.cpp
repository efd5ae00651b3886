// archive_walk.cpp -- the end-record scan, the central directory walk and its final checks.
//
// The walk reads the program's own file through stream_state.archive_fd with one file_read
// per field and no buffering of its own. Each central record with a nonempty name sends the
// file position to that entry's local header and back; the directory is read strictly in
// order. Walk failures are collected in walk_code and shown once, after the file is closed.
#include "archive/archive_walk.h"

#include "archive/entry_extraction.h"
#include "archive/failure_box.h"
#include "platform/platform.h"
#include "stream/stream_buffers.h"

int cancel_requested;
uint32_t entries_visited;
EndRecord end_record;

namespace {

// Bytes a short read did not deliver stay 0, so a field cut by the end of the file reads small.
int read_field(unsigned char* bytes, uint32_t width) {
    for (uint32_t i = 0; i < width; ++i) bytes[i] = 0;
    return file_read(stream_state.archive_fd, bytes, width) == -1 ? 1 : 0;
}

uint32_t little_endian(const unsigned char* bytes, uint32_t width) {
    uint32_t value = 0;
    for (uint32_t i = width; i-- > 0;) value = value << 8 | bytes[i];
    return value;
}

// A whole 4-byte signature, or 0 when fewer than 4 bytes arrive.
int read_signature(uint32_t* signature) {
    unsigned char bytes[4];
    int got = file_read(stream_state.archive_fd, bytes, 4);
    if (got != 4) return 0;
    *signature = little_endian(bytes, 4);
    return 1;
}

}  // namespace

int read_u8(uint8_t* destination) {
    unsigned char bytes[1];
    int result = read_field(bytes, 1);
    *destination = bytes[0];
    return result;
}

int read_u16(uint16_t* destination) {
    unsigned char bytes[2];
    int result = read_field(bytes, 2);
    *destination = static_cast<uint16_t>(little_endian(bytes, 2));
    return result;
}

int read_u32(uint32_t* destination) {
    unsigned char bytes[4];
    int result = read_field(bytes, 4);
    *destination = little_endian(bytes, 4);
    return result;
}

int read_central_header(CentralHeader* header) {
    read_u8(&header->version_made_by_spec);
    read_u8(&header->version_made_by_host);
    read_u8(&header->version_needed_low);
    read_u8(&header->version_needed_high);
    read_u16(&header->general_flags);
    read_u16(&header->method);
    read_u16(&header->dos_time);
    read_u16(&header->dos_date);
    read_u32(&header->crc32);
    read_u32(&header->compressed_size);
    read_u32(&header->uncompressed_size);
    read_u16(&header->name_length);
    read_u16(&header->extra_length);
    read_u16(&header->comment_length);
    read_u16(&header->disk_number_start);
    read_u16(&header->internal_attributes);
    read_u32(&header->external_attributes);
    return read_u32(&header->local_header_offset);
}

int read_end_record() {
    EndRecord record = {};
    record.signature = END_RECORD_SIGNATURE;
    read_u16(&record.disk_number);
    read_u16(&record.directory_disk);
    read_u16(&record.entries_on_disk);
    read_u16(&record.total_entries);
    read_u32(&record.directory_size);
    read_u32(&record.directory_offset);
    if (read_u16(&record.comment_length) != 0) return 1;  // end_record stays zero: no directory, no totals
    end_record = record;
    return 0;
}

int find_end_record() {
    int fd = stream_state.archive_fd;
    uint32_t size = stream_state.archive_size;
    for (uint32_t distance = END_RECORD_SCAN_START; distance <= END_RECORD_SCAN_LIMIT; ++distance) {
        if (distance > size) return 1;  // the next probe would begin before the file: unfound
        file_seek(fd, static_cast<int64_t>(size - distance), SEEK_FROM_START);
        uint32_t candidate = 0;
        if (read_u32(&candidate) != 0) return 1;
        if (candidate == END_RECORD_SIGNATURE) {
            read_end_record();
            return 0;
        }
    }
    return 1;
}

int process_central_entry() {
    CentralHeader header = {};
    if (read_central_header(&header) != 0) return -1;
    entry_info.external_attributes = header.external_attributes;
    entry_info.central_compressed_size = header.compressed_size;
    entry_info.central_crc32 = header.crc32;

    int fd = stream_state.archive_fd;
    file_seek(fd, header.name_length, SEEK_FROM_CURRENT);
    file_seek(fd, header.extra_length, SEEK_FROM_CURRENT);
    file_seek(fd, header.comment_length, SEEK_FROM_CURRENT);
    int size = static_cast<int>(CENTRAL_HEADER_SIZE) + header.name_length + header.extra_length + header.comment_length;
    if (header.name_length == 0) return size;

    int64_t directory_position = file_tell(fd);
    file_seek(fd, header.local_header_offset, SEEK_FROM_START);
    uint32_t signature = 0;
    if (!read_signature(&signature) || signature != LOCAL_HEADER_SIGNATURE) return -1;
    if (open_local_entry() != 0) return -1;
    file_seek(fd, directory_position, SEEK_FROM_START);
    ++entries_visited;
    return size;
}

int extract_archive(const char* path) {
    reset_stream_counters();
    entries_visited = 0;
    end_record = EndRecord{};
    uint64_t walked_size = 0;  // 65535 records of up to 196651 bytes each overflow 32 bits
    int walk_failed = 0;
    int walk_code = 0;

    uint32_t size = 0;
    if (file_stat(path, &size) != 0) {
        report_failure(FAILURE_MESSAGE, FAILURE_STAT);
        return 1;
    }
    stream_state.archive_size = size;
    stream_state.archive_fd = file_open_read(path);
    if (stream_state.archive_fd == -1) {
        report_failure(FAILURE_MESSAGE, FAILURE_OPEN);
        return 1;
    }

    if (find_end_record() != 0) {
        walk_failed = 1;
        walk_code = FAILURE_NO_END_RECORD;
    } else if (end_record.directory_offset != 0 &&
               file_seek(stream_state.archive_fd, end_record.directory_offset, SEEK_FROM_START) != -1) {
        while (!cancel_requested) {
            uint32_t signature = 0;
            if (!read_signature(&signature)) {
                walk_failed = 1;
                walk_code = FAILURE_SHORT_DIRECTORY;
                break;
            }
            if (signature == END_RECORD_SIGNATURE) break;
            if (signature != CENTRAL_HEADER_SIGNATURE) {
                walk_failed = 1;
                walk_code = FAILURE_SIGNATURE;
                break;
            }
            int record_size = process_central_entry();
            if (record_size < 0) {
                walk_failed = 1;
                walk_code = FAILURE_ENTRY;
                break;
            }
            walked_size += static_cast<uint32_t>(record_size);
        }
    }

    // The size check runs last, so a size mismatch wins over a count mismatch, and both
    // over the code the loop set.
    if (end_record.total_entries != entries_visited) {
        walk_failed = 1;
        walk_code = FAILURE_COUNT;
    }
    if (end_record.directory_size != walked_size) {
        walk_failed = 1;
        walk_code = FAILURE_SIZE;
    }
    file_close(stream_state.archive_fd);
    if (cancel_requested) return 0;
    if (walk_failed) report_failure(FAILURE_MESSAGE, walk_code);
    return 0;
}
