// entry_extraction.cpp -- one local entry to one file: header, name, launch check, path, data, time.
//
// Choices made here:
//  - A data-descriptor entry (bit 3) takes its compressed size and CRC-32 from the central
//    header the walk has just read; no descriptor is read.
//  - Stored entries are copied through the window and emit_window, so they are checksummed,
//    written and move the progress bar like decoded ones; other methods leave an empty file.
//  - One 0x41B per entry covers bad deflate data, a CRC mismatch, an unknown method, a failed
//    write and data cut short by the end of the program's file (the latch). Once the latch
//    is set, every later entry with data is reported too, without being decoded: none of
//    its bytes could reach its file.
//  - After a failed decode or under the latch the file receives nothing more: the window's
//    pending bytes are dropped, so output_buffer is never read at all.
//  - An output path of 260 characters or more is reported as code 3 and nothing is created.
#include "archive/entry_extraction.h"

#include <cstring>

#include "archive/archive_walk.h"
#include "archive/failure_box.h"
#include "deflate/block_decoder.h"
#include "stream/crc32.h"
#include "stream/stream_buffers.h"

EntryInfo entry_info;
LaunchTarget launch_target;
char temp_dir[PATH_CAPACITY];

namespace {

// The host's ANSI page is UTF-8, where one OEM byte can become three: convert with room for
// that, so a long name is refused whole rather than cut silently.
constexpr int CONVERTED_NAME_CAPACITY = 3 * PATH_CAPACITY;
char converted_name[CONVERTED_NAME_CAPACITY];
char directory_prefix[PATH_CAPACITY];

uint32_t bounded_length(const char* text, uint32_t capacity) {
    uint32_t length = 0;
    while (length < capacity && text[length] != '\0') ++length;
    return length;
}

// temp_dir and the converted name into entry_info.name; 0 when the path would not fit.
int form_output_path() {
    convert_slashes(entry_info.name);
    std::memcpy(converted_name, entry_info.name, PATH_CAPACITY);
    oem_to_ansi(converted_name, CONVERTED_NAME_CAPACITY);
    uint32_t name_length = bounded_length(converted_name, CONVERTED_NAME_CAPACITY);
    int absolute = name_length >= 2 && converted_name[1] == ':';
    const char* prefix = absolute ? "" : temp_dir;
    if (bounded_length(prefix, PATH_CAPACITY) + name_length >= static_cast<uint32_t>(PATH_CAPACITY)) return 0;
    format_text(entry_info.name, PATH_CAPACITY, "%s%s", prefix, converted_name);
    return 1;
}

// Every directory along the path, those of temp_dir included, is created when missing.
void create_missing_directories(const char* path) {
    std::memset(directory_prefix, 0, PATH_CAPACITY);
    for (uint32_t i = 0; i < static_cast<uint32_t>(PATH_CAPACITY) - 1 && path[i] != '\0'; ++i) {
        directory_prefix[i] = path[i];
        uint32_t ignored = 0;
        if (path[i] == '\\' && file_stat(directory_prefix, &ignored) != 0) create_directory(directory_prefix);
    }
}

// Input blocks go through the window so that emit_window checksums and writes them.
void copy_stored_data() {
    StreamState& s = stream_state;
    for (;;) {
        int first = refill_input();
        if (first == -1 || s.input_failed) break;
        const unsigned char* from = s.input_buffer;
        uint32_t available = s.input_size;
        s.input_pos = s.input_size;
        while (available != 0) {
            uint32_t room = WINDOW_SIZE - s.window_pos;
            uint32_t count = available < room ? available : room;
            std::memcpy(s.window + s.window_pos, from, count);
            s.window_pos += count;
            from += count;
            available -= count;
            if (s.window_pos == WINDOW_SIZE) emit_window();
        }
    }
    emit_window();
}

// refill_input never returns -1 once the latch is set, so the drain watches the latch too.
void drain_data() {
    for (;;) {
        int first = refill_input();
        if (first == -1 || stream_state.input_failed) break;
    }
}

// 1 when the entry's data did not arrive whole and right in the file.
int extract_data() {
    // Under the latch nothing can reach the file: skip the decoding, report the entry.
    if (stream_state.input_failed) return 1;
    switch (entry_info.method) {
    case METHOD_DEFLATE:
        crc32_update(nullptr, 0);
        if (decode_deflate_stream() != 0) return 1;
        break;
    case METHOD_STORED:
        crc32_update(nullptr, 0);
        copy_stored_data();
        break;
    default:
        drain_data();
        return 1;
    }
    return crc32_update(stream_state.output_buffer, 0) != entry_info.crc32;
}

}  // namespace

int read_local_header(LocalHeader* header) {
    read_u16(&header->version_needed);
    read_u16(&header->general_flags);
    read_u16(&header->method);
    read_u16(&header->dos_time);
    read_u16(&header->dos_date);
    read_u32(&header->crc32);
    read_u32(&header->compressed_size);
    read_u32(&header->uncompressed_size);
    read_u16(&header->name_length);
    return read_u16(&header->extra_length);
}

int read_entry_name(uint32_t length, char* buffer) {
    if (file_read(stream_state.archive_fd, buffer, length) == -1) {
        report_failure(FAILURE_MESSAGE, FAILURE_NAME_READ);
        return 0;
    }
    buffer[length] = '\0';
    return 1;
}

int open_local_entry() {
    std::memset(entry_info.name, 0, PATH_CAPACITY);
    LocalHeader header = {};
    header.signature = LOCAL_HEADER_SIGNATURE;
    if (read_local_header(&header) != 0) return 1;

    int descriptor = (header.general_flags & FLAG_DATA_DESCRIPTOR) != 0;
    entry_info.compressed_size = descriptor ? entry_info.central_compressed_size : header.compressed_size;
    entry_info.crc32 = descriptor ? entry_info.central_crc32 : header.crc32;
    entry_info.method = header.method;
    entry_info.dos_time = header.dos_time;
    entry_info.dos_date = header.dos_date;
    stream_state.remaining_compressed = entry_info.compressed_size;

    // Skipped unread, and still counted by the walk.
    if (header.name_length >= PATH_CAPACITY) return 0;
    read_entry_name(header.name_length, entry_info.name);

    // The whole stored name: one with a directory part never matches.
    if (compare_nocase(entry_info.name, "setup.exe") == 0)
        launch_target = LAUNCH_SETUP;
    else if (compare_nocase(entry_info.name, "install.exe") == 0)
        launch_target = LAUNCH_INSTALL;

    file_seek(stream_state.archive_fd, header.extra_length, SEEK_FROM_CURRENT);
    if (header.general_flags & FLAG_ENCRYPTED) {
        report_failure(FAILURE_MESSAGE, FAILURE_ENCRYPTED);
        return 0;
    }
    extract_entry();
    return 0;
}

void extract_entry() {
    StreamState& s = stream_state;
    std::memset(s.output_buffer, 0, OUTPUT_BUFFER_SIZE);
    s.window_pos = 0;
    if (!form_output_path()) {
        report_failure(FAILURE_MESSAGE, FAILURE_CREATE);
        return;
    }
    char* name = entry_info.name;
    create_missing_directories(name);
    uint32_t length = bounded_length(name, PATH_CAPACITY);
    if (length != 0 && name[length - 1] == '\\') return;  // a directory entry: nothing more

    // An existing file, read-only or not, gives way to the new one.
    set_file_attributes(name, ATTRIBUTE_ARCHIVE);
    delete_file(name);
    s.output_fd = file_create(name);
    if (s.output_fd < 1) {
        report_failure(FAILURE_MESSAGE, FAILURE_CREATE);
        return;
    }
    s.output_failed = 0;
    if (entry_info.compressed_size == 0) {
        file_close(s.output_fd);
        return;
    }

    int data_failed = extract_data();
    if (data_failed || s.input_failed || s.output_failed) report_failure(FAILURE_MESSAGE, FAILURE_DATA);
    file_close(s.output_fd);
    reset_stream_counters();
    apply_file_time(name, entry_info.dos_date, entry_info.dos_time);
    // After the time: a read-only file could no longer be opened to set it.
    set_file_attributes(name, entry_info.external_attributes);
}

void convert_slashes(char* text) {
    if (text == nullptr) return;
    for (; *text != '\0'; ++text)
        if (*text == '/') *text = '\\';
}

void apply_file_time(const char* path, uint16_t dos_date, uint16_t dos_time) { set_file_dos_time(path, dos_date, dos_time); }
