// entry_extraction.h -- turns one local entry into a file under the temporary directory.
#pragma once

#include <cstdint>

#include "archive/zip_layout.h"
#include "platform/platform.h"

// The entry being extracted; each entry overwrites it field by field.
struct EntryInfo {
    uint32_t compressed_size;  // from the local header, or the central one for a data-descriptor entry
    unsigned method;
    uint32_t crc32;            // from the local header, or the central one for a data-descriptor entry
    uint16_t dos_date;
    uint16_t dos_time;
    uint32_t external_attributes;      // set by the walk from the central header
    uint32_t central_compressed_size;  // set by the walk: a data-descriptor entry's size lives here
    uint32_t central_crc32;            // set by the walk: a data-descriptor entry's CRC-32 lives here
    char name[PATH_CAPACITY];          // the name as stored, later the output path
};

enum LaunchTarget : int { LAUNCH_NONE = 0, LAUNCH_SETUP = 1, LAUNCH_INSTALL = 2 };

extern EntryInfo entry_info;
extern LaunchTarget launch_target;
// Filled by the run sequence before the walk, ending in a backslash.
extern char temp_dir[PATH_CAPACITY];

// Expects archive_fd just after a local signature. 1 when the local header cannot be read;
// 0 otherwise, also when the entry is skipped, refused or fails while it is extracted.
int open_local_entry();
// The LocalHeader fields after the signature; the result of the extra_length read alone.
int read_local_header(LocalHeader* header);
// One read of length bytes into buffer, then a terminating zero: 1, or 0 after a read error
// (code 1 reported, nothing stored). length must be below PATH_CAPACITY.
int read_entry_name(uint32_t length, char* buffer);
// Name to path, directories, a new file, the data, the CRC test, time and attributes.
void extract_entry();
// Every '/' before the terminating zero becomes '\'; a null pointer does nothing.
void convert_slashes(char* text);
// The entry's MS-DOS local time as the file's creation, access and write time; failures ignored.
void apply_file_time(const char* path, uint16_t dos_date, uint16_t dos_time);
