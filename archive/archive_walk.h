// archive_walk.h -- finds the end record, walks the central directory and checks its totals.
#pragma once

#include <cstdint>

#include "archive/zip_layout.h"

// 1 once the user has pressed Cancel; never reset. The walk reads it before each record.
extern int cancel_requested;
// Central entries whose local entry was handled in this walk.
extern uint32_t entries_visited;
// The end record's values that the walk checks against; 0 until an end record has been read.
extern EndRecord end_record;

// The whole extraction from the program's own file. 1 when the file cannot be examined or
// opened (after code 0x13 or 0x14), else 0; walk failures are shown, never returned.
int extract_archive(const char* path);
// The backward scan for the end record; 0 when found (end_record filled), 1 when not.
int find_end_record();
// The EndRecord fields after the signature; 0, or 1 when the comment_length read failed.
int read_end_record();
// Expects archive_fd just after a central signature. The record's size, or -1 when the
// entry fails (central header, local signature or local header).
int process_central_entry();
// The CentralHeader fields after the signature; the result of the local_header_offset read alone.
int read_central_header(CentralHeader* header);
// One file_read of the field's width from archive_fd, little-endian; 0, or 1 on a read error.
// Bytes that a read cut short by the end of the file did not deliver are 0.
int read_u8(uint8_t* destination);
int read_u16(uint16_t* destination);
int read_u32(uint32_t* destination);
