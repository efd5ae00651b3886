// stream_buffers.cpp -- refill of the input buffer with progress, and the window's way out.
#include "stream/stream_buffers.h"

#include "stream/crc32.h"

StreamState stream_state;

void reset_stream_counters() {
    stream_state.window_pos = 0;
    stream_state.input_pos = 0;
    stream_state.input_size = 0;
    stream_state.filler_delivered = 0;
}

int refill_input() {
    StreamState& s = stream_state;
    s.input_size = 0;
    if (s.input_failed) {
        ++s.filler_delivered;
        return 1;
    }
    int last = 0;
    do {
        uint32_t room = INPUT_BUFFER_SIZE - s.input_size;
        uint32_t want = room < s.remaining_compressed ? room : s.remaining_compressed;
        last = file_read(s.archive_fd, s.input_buffer + s.input_size, want);
        if (last <= 0) break;
        s.input_size += static_cast<uint32_t>(last);
        s.remaining_compressed -= static_cast<uint32_t>(last);
    } while (s.remaining_compressed != 0 && s.input_size < INPUT_BUFFER_SIZE);

    if (last == 0 && s.remaining_compressed != 0) {
        // The program's own file ended before the entry's data: stop all output for the run.
        s.input_failed = 1;
        ++s.filler_delivered;
        return 1;
    }
    if (s.input_size == 0) {
        ++s.filler_delivered;
        return -1;
    }
    s.input_pos = 1;
    int64_t position = file_tell(s.archive_fd);
    if (s.archive_size != 0) {
        // Formed in 64 bits: position * 100 overflows 32 bits for files above 42 MB.
        uint64_t percent = static_cast<uint64_t>(static_cast<uint32_t>(position)) * 100u / s.archive_size;
        set_progress_position(s.progress_bar, static_cast<unsigned>(percent));
        repaint_window(s.progress_window);
    }
    return s.input_buffer[0];
}

void emit_window() {
    StreamState& s = stream_state;
    if (s.input_failed || s.window_pos == 0) return;
    crc32_update(s.window, s.window_pos);
    write_fully(s.output_fd, s.window, s.window_pos);
    s.window_pos = 0;
}

void write_fully(int fd, const unsigned char* data, uint32_t count) {
    StreamState& s = stream_state;
    // After a failed write the rest of the entry is not written either: a later block
    // landing after a gap would only hide the loss.
    if (s.input_failed || s.output_failed) return;
    while (count != 0) {
        int written = file_write(fd, data, count);
        if (written <= 0 || static_cast<uint32_t>(written) > count) {
            // An error, or a write that makes no progress (a full disk), would repeat for
            // ever: give up on this entry's output and let the caller report it.
            s.output_failed = 1;
            return;
        }
        data += written;
        count -= static_cast<uint32_t>(written);
    }
}
