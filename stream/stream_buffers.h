// stream_buffers.h -- the input buffer, the window of decoded bytes and the output path of one entry.
//
// One process-wide StreamState carries the bytes of one archive entry at a time: compressed
// bytes are pulled from the program's own file into input_buffer (never more than the entry
// still owns), the decoder takes them one at a time through next_input_byte, and decoded
// bytes collect in window until emit_window checksums and writes them. Every refill moves
// the progress bar. The latch input_failed, once set by a premature end of the file, stops
// all further output for the rest of the run.
#pragma once

#include <cstdint>

#include "platform/platform.h"

constexpr uint32_t INPUT_BUFFER_SIZE = 32768;
constexpr uint32_t WINDOW_SIZE = 32768;
constexpr uint32_t OUTPUT_BUFFER_SIZE = 16384;

struct StreamState {
    unsigned char input_buffer[INPUT_BUFFER_SIZE];
    uint32_t input_size;            // bytes the last refill placed in input_buffer
    uint32_t input_pos;             // index of the next byte to deliver
    unsigned char window[WINDOW_SIZE];
    uint32_t window_pos;            // decoded bytes at the start of window not yet written
    unsigned char output_buffer[OUTPUT_BUFFER_SIZE];  // zero bytes, cleared for every entry
    uint32_t remaining_compressed;  // compressed bytes of the entry not yet read
    int archive_fd;
    int output_fd;
    int input_failed;               // the latch: the file ended inside an entry's data
    uint32_t archive_size;          // 0: no progress is shown
    WindowHandle progress_window;
    WindowHandle progress_bar;
    // Bytes handed out that were not entry data (0xFF past the end, 0x01 under the latch),
    // since the last reset; lets the decoder bound a stream that never ends.
    uint32_t filler_delivered;
    // Set when a write of the current entry failed or wrote nothing; the entry's caller
    // clears it when it opens the output file and reports it after the data.
    int output_failed;
};

extern StreamState stream_state;

// window_pos, input_pos, input_size and filler_delivered to 0; nothing else.
void reset_stream_counters();

// Reads the next block of the entry's compressed bytes and delivers its first byte (0..255).
// -1 when the entry has no bytes left or a read error left nothing; 1 while the latch is set.
int refill_input();

// The next compressed byte: from the buffer, else through refill_input (0xFF past the end,
// 0x01 under the latch). One comparison and one load in the common case.
inline unsigned next_input_byte() {
    if (stream_state.input_pos < stream_state.input_size) return stream_state.input_buffer[stream_state.input_pos++];
    return static_cast<unsigned>(refill_input()) & 0xFFu;
}

// Checksums and writes window[0 .. window_pos), then window_pos = 0. Does nothing while the
// latch is set or when window_pos is 0.
void emit_window();

// Writes the whole block unless the latch is set; partial writes are followed by further
// writes for the rest.
void write_fully(int fd, const unsigned char* data, uint32_t count);
