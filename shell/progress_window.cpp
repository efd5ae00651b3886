// progress_window.cpp -- the dialog procedure of the progress window: its bar and its Cancel.
#include "shell/progress_window.h"

#include "archive/archive_walk.h"
#include "stream/stream_buffers.h"

int progress_dialog_proc(WindowHandle window, unsigned message, uintptr_t wparam, intptr_t /*lparam*/) {
    if (message == MESSAGE_INITDIALOG) {
        stream_state.progress_bar = dialog_item(window, PROGRESS_BAR_ID);
        return 1;
    }
    // Only the button's own click: IDCANCEL in the low word, notification 0 in the high word.
    if (message == MESSAGE_COMMAND && wparam == static_cast<uintptr_t>(COMMAND_CANCEL)) {
        cancel_requested = 1;
        destroy_window(window);
        post_quit_message(0);
    }
    return 0;
}
