// failure_box.h -- the warning box that tells the user of every extraction failure, and its codes.
#pragma once

constexpr const char* FAILURE_MESSAGE = "I can't extract";
constexpr const char* FAILURE_CAPTION = "Tarnvel SFX ERROR";
constexpr const char* FAILURE_FORMAT = "\n%s\nError: 0X0%X";
constexpr int FAILURE_TEXT_CAPACITY = 500;
// MB_OK | MB_ICONWARNING | MB_SETFOREGROUND
constexpr unsigned FAILURE_BOX_FLAGS = 0x10030;

// Every code the archive reader shows. The entry codes (name, create, encrypted, data) are
// shown as they happen and the walk goes on; of the walk codes (0x17 to 0x1C) at most one is
// shown, after the walk, and none after a Cancel.
enum FailureCode : int {
    FAILURE_NAME_READ = 0x1,          // an entry's name cannot be read
    FAILURE_TEMP_DIR = 0x2,           // no temp directory that fits: nothing is extracted
    FAILURE_CREATE = 0x3,             // an output file cannot be created (or its path does not fit)
    FAILURE_ENCRYPTED = 0x7,          // bit 0 of the local general_flags: not extracted
    FAILURE_STAT = 0x13,              // the size of the program's own file cannot be had
    FAILURE_OPEN = 0x14,              // the program's own file cannot be opened for reading
    FAILURE_ENTRY = 0x17,             // a central header, local signature or local header failed
    FAILURE_SIGNATURE = 0x18,         // neither a central nor the end signature after a record
    FAILURE_COUNT = 0x19,             // total_entries differs from the entries visited
    FAILURE_SIZE = 0x1A,              // directory_size differs from the records walked
    FAILURE_SHORT_DIRECTORY = 0x1B,   // fewer than 4 bytes where a signature was expected
    FAILURE_NO_END_RECORD = 0x1C,     // no end record in the scanned range
    FAILURE_DATA = 0x41B,             // bad data, CRC mismatch, failed write, truncated data, unknown method
};

struct FailureCodeRow {
    FailureCode code;
    const char* meaning;
};

// For tools that explain a code; the stub itself never reads it.
constexpr FailureCodeRow FAILURE_CODES[] = {
    {FAILURE_NAME_READ, "an entry's name cannot be read"},
    {FAILURE_TEMP_DIR, "the temporary directory cannot be had or is 260 characters or longer; nothing is extracted"},
    {FAILURE_CREATE, "an output file cannot be created, or its path is 260 characters or longer"},
    {FAILURE_ENCRYPTED, "the entry is encrypted and is not extracted"},
    {FAILURE_STAT, "the size of the program's own file cannot be obtained"},
    {FAILURE_OPEN, "the program's own file cannot be opened for reading"},
    {FAILURE_ENTRY, "a central header, a local signature or a local header cannot be read"},
    {FAILURE_SIGNATURE, "a record after the central directory is neither a central header nor the end record"},
    {FAILURE_COUNT, "the end record's entry count differs from the entries visited"},
    {FAILURE_SIZE, "the end record's directory size differs from the records walked"},
    {FAILURE_SHORT_DIRECTORY, "the file ends where a directory signature was expected"},
    {FAILURE_NO_END_RECORD, "no end record within 20000 bytes of the end of the file"},
    {FAILURE_DATA, "the entry's data is bad, fails its CRC-32, is cut short, cannot be written, or uses "
                   "a method other than stored or deflate"},
};

// Formats FAILURE_FORMAT with message and code and shows it in a box owned by the progress
// window; returns when the user has closed it. The box's answer is not used. After a Cancel
// it shows nothing: the user has given up the run, the owner is gone and the posted quit
// message would close the box at once.
void report_failure(const char* message, int code);
