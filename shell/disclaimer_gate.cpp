// disclaimer_gate.cpp -- finds the trailer by a backward scan and shows its text in a question box.
#include "shell/disclaimer_gate.h"

#include <cstring>

#include "archive/zip_layout.h"
#include "platform/platform.h"

namespace {

// One byte more than the capacity stays zero for ever, so a text of the full capacity
// (or a longer one, cut to it) is still shown as a terminated string.
char disclaimer_text[DISCLAIMER_CAPACITY + 1];

// Reads up to 4 bytes as a little-endian word; bytes the file does not have stay 0.
int read_word(int fd, uint32_t* value) {
    unsigned char bytes[4] = {0, 0, 0, 0};
    int got = file_read(fd, bytes, 4);
    *value = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
             static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    return got;
}

// The position of the trailer's signature, or -1. Probes run from TRAILER_SCAN_START to
// TRAILER_SCAN_LIMIT bytes before the end, nearest first. A probe that would begin before
// the start of the file ends the scan unfound (also when the size is unknown, taken as 0).
// The probe at distance 3 reads three bytes; its fourth byte stays 0, so it never matches.
int64_t find_trailer(int fd, uint32_t size) {
    for (uint32_t distance = TRAILER_SCAN_START; distance <= TRAILER_SCAN_LIMIT; ++distance) {
        if (distance > size) return -1;
        int64_t position = static_cast<int64_t>(size) - distance;
        file_seek(fd, position, SEEK_FROM_START);
        uint32_t candidate = 0;
        if (read_word(fd, &candidate) < 0) return -1;
        if (candidate == TRAILER_SIGNATURE) return position;
    }
    return -1;
}

}  // namespace

int show_disclaimer(const char* module_path) {
    uint32_t disclaimer_flag = 0;
    uint32_t text_length = 0;
    // The buffer is meant to be written once per run; clearing it here keeps that true
    // for callers (tools, tests) that ask more than once.
    std::memset(disclaimer_text, 0, sizeof disclaimer_text);

    uint32_t size = 0;
    file_stat(module_path, &size);
    int fd = file_open_read(module_path);
    if (fd >= 0) {
        if (find_trailer(fd, size) >= 0) {
            read_word(fd, &disclaimer_flag);
            if (disclaimer_flag != 0) read_word(fd, &text_length);
            // A text longer than the buffer is cut to its capacity rather than refused:
            // the user still sees what the package asks them to accept.
            uint32_t wanted = text_length < DISCLAIMER_CAPACITY ? text_length : DISCLAIMER_CAPACITY;
            if (disclaimer_flag != 0 && wanted != 0) file_read(fd, disclaimer_text, wanted);
        }
        file_close(fd);
    }
    if (disclaimer_flag == 0) return 1;
    return show_message_box(nullptr, disclaimer_text, DISCLAIMER_CAPTION, DISCLAIMER_BOX_FLAGS);
}
