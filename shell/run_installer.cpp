// run_installer.cpp -- the run sequence from the entry point to the end of the message loop.
#include "shell/run_installer.h"

#include <cstring>

#include "archive/archive_walk.h"
#include "archive/entry_extraction.h"
#include "archive/failure_box.h"
#include "shell/disclaimer_gate.h"
#include "shell/progress_window.h"
#include "stream/stream_buffers.h"

InstanceHandle instance_handle;
char module_path[PATH_CAPACITY];

namespace {

// Destroys the progress window (nothing when there is none or Cancel took it), posts the
// quit message and runs the message loop until it is taken; the quit message's exit code.
int quit_run() {
    destroy_window(stream_state.progress_window);
    post_quit_message(0);
    uintptr_t exit_code = 0;
    // GetMessageA yields -1 on an error; ending there keeps the loop from spinning for ever.
    for (;;) {
        int taken = take_message(&exit_code);
        if (taken == 0 || taken == -1) break;
        dispatch_taken_message();
    }
    return static_cast<int>(exit_code);
}

// Appends text to temp_dir when the whole of it fits; 0 when it does not.
int append_to_temp_dir(const char* text) {
    size_t used = std::strlen(temp_dir);
    size_t more = std::strlen(text);
    if (used + more >= static_cast<size_t>(PATH_CAPACITY)) return 0;
    std::memcpy(temp_dir + used, text, more + 1);
    return 1;
}

}  // namespace

void launch_setup_program() {
    if (launch_target == LAUNCH_NONE) return;
    const char* name = launch_target == LAUNCH_SETUP ? "setup.exe" : "install.exe";
    // The doubled backslash is the usual form; where it would not fit, the single one names
    // the same file, and where even that does not fit the file cannot have been written.
    size_t used = std::strlen(temp_dir);
    int fits = append_to_temp_dir("\\") && append_to_temp_dir(name);
    if (!fits) {
        temp_dir[used] = '\0';
        fits = append_to_temp_dir(name);
    }
    if (fits) open_with_shell("open", temp_dir);
}

int run_installer(InstanceHandle instance) {
    instance_handle = instance;
    // A module path that was cut names another file: leave it empty, so the walk reports
    // that its own file cannot be read instead of reading a stranger's.
    int length = fetch_module_path(instance, module_path, PATH_CAPACITY);
    if (length <= 0 || length >= PATH_CAPACITY) module_path[0] = '\0';
    module_path[PATH_CAPACITY - 1] = '\0';

    if (show_disclaimer(module_path) != 1) return quit_run();

    // Without a temp directory the entries would land in the current folder (often the
    // download folder) and the launch would open a setup program at the drive's root:
    // report it and extract nothing.
    length = fetch_temp_path(temp_dir, PATH_CAPACITY);
    if (length <= 0 || length >= PATH_CAPACITY) {
        temp_dir[0] = '\0';
        report_failure(FAILURE_MESSAGE, FAILURE_TEMP_DIR);
        return quit_run();
    }
    temp_dir[PATH_CAPACITY - 1] = '\0';

    register_progress_class();
    stream_state.progress_window = create_dialog(instance_handle, PROGRESS_TEMPLATE, progress_dialog_proc);
    show_window(stream_state.progress_window);

    extract_archive(module_path);
    launch_setup_program();
    return quit_run();
}

void clear_run_state() {
    instance_handle = nullptr;
    std::memset(module_path, 0, sizeof module_path);
    std::memset(temp_dir, 0, sizeof temp_dir);
    stream_state = StreamState{};
    entry_info = EntryInfo{};
    launch_target = LAUNCH_NONE;
    cancel_requested = 0;
    entries_visited = 0;
    end_record = EndRecord{};
}
