// host_platform.h -- controls and records of the Linux stand-in, for tests and tools.
//
// The stand-in answers the core's platform calls on POSIX. Windows paths are mapped at
// its boundary: '\' becomes '/', and a drive prefix "X:" becomes the folder configured
// for that letter (so tests can sandbox absolute entries). Boxes, progress positions,
// repaints, attributes and times are recorded; boxes are answered from a script.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace host {

struct Box {
    WindowHandle owner;
    std::string text;
    std::string caption;
    unsigned flags;
};

struct AttributeCall {
    std::string path;  // as the core passed it (Windows form)
    uint32_t attributes;
};

struct TimeCall {
    std::string path;
    uint16_t dos_date;
    uint16_t dos_time;
};

struct Launch {
    std::string verb;
    std::string path;  // as the core passed it (Windows form)
};

// A dialog the core created; its handle is the window's, items get handles of their own.
struct Window {
    WindowHandle handle;
    InstanceHandle instance;
    int template_id;
    DialogProcedure procedure;
    bool shown = false;
    bool destroyed = false;
};

struct Recorder {
    std::vector<Box> boxes;
    std::vector<std::pair<WindowHandle, unsigned>> progress;  // (bar, percent)
    std::vector<WindowHandle> repaints;
    std::vector<AttributeCall> attributes;
    std::vector<TimeCall> times;
    std::vector<std::string> directories_created;
    std::vector<std::string> deletions;
    std::vector<Window> windows;
    std::vector<Launch> launches;
    int quit_messages_posted = 0;
    int quit_messages_taken = 0;
    // Progress, repaints and boxes aimed at a window already destroyed: Windows refuses them.
    int calls_to_destroyed_windows = 0;
    // Every platform call by name, in order, for tests of call order.
    std::vector<std::string> calls;
};

// A scripted answer to the next box. `before` runs first, as a modal loop would dispatch
// pending window messages (for instance a Cancel click) before the user answers.
struct Answer {
    int result = ANSWER_OK;
    std::function<void()> before;
};

// System calls of the file operations, replaceable to inject faults (short reads,
// failing writes, full disks). Defaults are the POSIX calls.
struct FileCalls {
    // Opens a host path for reading: a file descriptor, or -1 (also for a folder).
    std::function<int(const char* host_path)> open_read;
    std::function<long(int fd, void* buffer, unsigned long count)> read;
    std::function<long(int fd, const void* buffer, unsigned long count)> write;
    // lseek with SEEK_SET or SEEK_CUR: the new position, or -1.
    std::function<long long(int fd, long long offset, int whence)> seek;
    std::function<void(int fd)> close;
    // The removal behind delete_file, after the stand-in's own Windows-like refusals.
    std::function<int(const char* host_path)> unlink;
};

Recorder& recorder();
FileCalls& file_calls();

// Back to a clean state: empty records, empty script, default file calls, no drive
// mapping, the default module and temp paths, no windows, no posted messages.
void reset();
// What fetch_module_path and fetch_temp_path return (Windows form). The defaults are
// DEFAULT_MODULE_PATH and DEFAULT_TEMP_PATH; a path of PATH_CAPACITY characters or more
// is answered as Windows does when it does not fit.
constexpr const char* DEFAULT_MODULE_PATH = "C:\\package.exe";
constexpr const char* DEFAULT_TEMP_PATH = "C:\\tmp\\";
void set_module_path(const std::string& windows_path);
void set_temp_path(const std::string& windows_path);
// Clicks a control of a live dialog the core created: its procedure gets MESSAGE_COMMAND
// with the id and notification 0, as a modal loop would dispatch it. Nothing for a window
// that is gone.
void click(WindowHandle dialog, int id);
// The window the core created last, or null.
const Window* last_window();
void script_answer(Answer answer);
void script_answers(std::initializer_list<int> results);
// Map a drive letter to a Linux folder (without trailing slash).
void map_drive(char letter, const std::string& folder);
// The Linux path that a Windows-form path names on this stand-in.
std::string to_host_path(const char* windows_path);
// Every path the core names must then lie inside this folder (after "." and ".." are
// resolved); any other path names nothing, so a hostile entry name cannot reach the rest
// of the machine from a test or a fuzzer. reset() lifts it.
void confine_to(const std::string& folder);

}  // namespace host
