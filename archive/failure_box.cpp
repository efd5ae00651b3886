// failure_box.cpp -- shows one failure in a warning box owned by the progress window.
#include "archive/failure_box.h"

#include "archive/archive_walk.h"
#include "platform/platform.h"
#include "stream/stream_buffers.h"

void report_failure(const char* message, int code) {
    if (cancel_requested) return;
    char text[FAILURE_TEXT_CAPACITY];
    format_text(text, FAILURE_TEXT_CAPACITY, FAILURE_FORMAT, message, code);
    show_message_box(stream_state.progress_window, text, FAILURE_CAPTION, FAILURE_BOX_FLAGS);
}
