// host_platform.cpp -- the Linux stand-in for the platform services, with records and scripts.
#include "platform/host/host_platform.h"

#include <fcntl.h>
#include <iconv.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

namespace host {
namespace {

struct State {
    Recorder recorder;
    std::deque<Answer> script;
    FileCalls calls;
    std::map<char, std::string> drives;
    std::string confinement;  // empty: every path is allowed
    std::string module_path = DEFAULT_MODULE_PATH;
    std::string temp_path = DEFAULT_TEMP_PATH;
    uintptr_t next_quit_code = 0;
};

// Dialog n has handle n * WINDOW_STRIDE; its control with id k has that plus k.
constexpr uintptr_t WINDOW_STRIDE = 0x10000;

FileCalls default_calls() {
    return FileCalls{
        [](const char* host_path) {
            int fd = ::open(host_path, O_RDONLY | O_CLOEXEC);
            if (fd < 0) return -1;
            struct stat st {};
            if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {  // Windows cannot open a folder as a file
                ::close(fd);
                return -1;
            }
            return fd;
        },
        [](int fd, void* buffer, unsigned long count) { return static_cast<long>(::read(fd, buffer, count)); },
        [](int fd, const void* buffer, unsigned long count) {
            return static_cast<long>(::write(fd, buffer, count));
        },
        [](int fd, long long offset, int whence) {
            return static_cast<long long>(::lseek(fd, static_cast<off_t>(offset), whence));
        },
        [](int fd) { ::close(fd); },
        [](const char* host_path) { return ::unlink(host_path); },
    };
}

State& state() {
    static State s{{}, {}, default_calls(), {}, {}, DEFAULT_MODULE_PATH, DEFAULT_TEMP_PATH, 0};
    return s;
}

void note(const char* call) { state().recorder.calls.emplace_back(call); }

Window* window_of(WindowHandle handle) {
    auto value = reinterpret_cast<uintptr_t>(handle);
    for (Window& w : state().recorder.windows) {
        auto base = reinterpret_cast<uintptr_t>(w.handle);
        if (value >= base && value < base + WINDOW_STRIDE) return &w;
    }
    return nullptr;
}

// True for a window or control the core created and then destroyed.
bool destroyed(WindowHandle handle) {
    const Window* w = window_of(handle);
    return w != nullptr && w->destroyed;
}

// GetModuleFileNameA / GetTempPathA: the path and its length, or the length that would be
// needed when it does not fit (with the module path, Windows writes the cut path).
int answer_path(const std::string& value, char* path, int capacity, bool cut_when_long) {
    auto length = static_cast<int>(value.size());
    if (length < capacity) {
        std::memcpy(path, value.c_str(), value.size() + 1);
        return length;
    }
    if (!cut_when_long) return length + 1;
    std::memcpy(path, value.c_str(), static_cast<size_t>(capacity - 1));
    path[capacity - 1] = '\0';
    return capacity;
}

}  // namespace

Recorder& recorder() { return state().recorder; }
FileCalls& file_calls() { return state().calls; }

void reset() {
    State& s = state();
    s.recorder = Recorder{};
    s.script.clear();
    s.calls = default_calls();
    s.drives.clear();
    s.confinement.clear();
    s.module_path = DEFAULT_MODULE_PATH;
    s.temp_path = DEFAULT_TEMP_PATH;
    s.next_quit_code = 0;
}

void set_module_path(const std::string& windows_path) { state().module_path = windows_path; }
void set_temp_path(const std::string& windows_path) { state().temp_path = windows_path; }

void click(WindowHandle dialog, int id) {
    Window* w = window_of(dialog);
    if (w == nullptr || w->destroyed) return;
    auto item = reinterpret_cast<intptr_t>(w->handle) + id;
    w->procedure(w->handle, MESSAGE_COMMAND, static_cast<uintptr_t>(id), item);
}

const Window* last_window() {
    auto& windows = state().recorder.windows;
    return windows.empty() ? nullptr : &windows.back();
}

void script_answer(Answer answer) { state().script.push_back(std::move(answer)); }

void script_answers(std::initializer_list<int> results) {
    for (int r : results) script_answer(Answer{r, {}});
}

void map_drive(char letter, const std::string& folder) {
    state().drives[static_cast<char>(std::toupper(static_cast<unsigned char>(letter)))] = folder;
}

std::string to_host_path(const char* windows_path) {
    std::string path(windows_path);
    for (char& c : path)
        if (c == '\\') c = '/';
    if (path.size() >= 2 && path[1] == ':') {
        auto it = state().drives.find(static_cast<char>(std::toupper(static_cast<unsigned char>(path[0]))));
        // An unmapped drive stays unreachable rather than escaping to the real root.
        std::string root = it != state().drives.end() ? it->second : std::string("/nonexistent-drive-") + path[0];
        path = root + path.substr(2);
    }
    const std::string& jail = state().confinement;
    if (!jail.empty()) {
        std::string normal = std::filesystem::path(path).lexically_normal().string();
        bool inside = normal.compare(0, jail.size(), jail) == 0 &&
                      (normal.size() == jail.size() || normal[jail.size()] == '/');
        if (!inside) return std::string();  // names nothing: every call on it fails
    }
    return path;
}

void confine_to(const std::string& folder) {
    std::string normal = std::filesystem::path(folder).lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
    state().confinement = normal;
}

}  // namespace host

using host::note;
using host::to_host_path;

// ---- File operations ----

int file_stat(const char* path, uint32_t* size) {
    note("file_stat");
    struct stat st {};
    if (::stat(to_host_path(path).c_str(), &st) != 0) return -1;
    *size = static_cast<uint32_t>(st.st_size);
    return 0;
}

int file_open_read(const char* path) {
    note("file_open_read");
    return host::file_calls().open_read(to_host_path(path).c_str());
}

int file_create(const char* path) {
    note("file_create");
    std::string host_path = to_host_path(path);
    struct stat st {};
    // Windows refuses to open a read-only file for writing, even for an administrator.
    if (::stat(host_path.c_str(), &st) == 0 && (st.st_mode & S_IWUSR) == 0) return -1;
    int fd = ::open(host_path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return fd < 0 ? -1 : fd;
}

int file_read(int fd, void* buffer, uint32_t count) {
    if (count == 0) return 0;
    long n = host::file_calls().read(fd, buffer, count);
    return n < 0 ? -1 : static_cast<int>(n);
}

int file_write(int fd, const void* buffer, uint32_t count) {
    if (count == 0) return 0;
    long n = host::file_calls().write(fd, buffer, count);
    return n < 0 ? -1 : static_cast<int>(n);
}

int64_t file_seek(int fd, int64_t offset, int origin) {
    long long r = host::file_calls().seek(fd, offset, origin == SEEK_FROM_START ? SEEK_SET : SEEK_CUR);
    return r < 0 ? -1 : static_cast<int64_t>(r);
}

int64_t file_tell(int fd) { return file_seek(fd, 0, SEEK_FROM_CURRENT); }

void file_close(int fd) {
    note("file_close");
    host::file_calls().close(fd);
}

// ---- Boxes and windows ----

int show_message_box(WindowHandle owner, const char* text, const char* caption, unsigned flags) {
    note("show_message_box");
    if (host::destroyed(owner)) {  // MessageBoxA fails on an owner that is gone
        ++host::recorder().calls_to_destroyed_windows;
        return ANSWER_NONE;
    }
    host::recorder().boxes.push_back(host::Box{owner, text ? text : "", caption ? caption : "", flags});
    auto& script = host::state().script;
    if (script.empty()) return ANSWER_OK;
    host::Answer answer = std::move(script.front());
    script.pop_front();
    if (answer.before) answer.before();
    return answer.result;
}

void set_progress_position(WindowHandle progress_bar, unsigned percent) {
    note("set_progress_position");
    if (host::destroyed(progress_bar)) {
        ++host::recorder().calls_to_destroyed_windows;
        return;
    }
    host::recorder().progress.emplace_back(progress_bar, percent);
}

void repaint_window(WindowHandle window) {
    note("repaint_window");
    if (host::destroyed(window)) {
        ++host::recorder().calls_to_destroyed_windows;
        return;
    }
    host::recorder().repaints.push_back(window);
}

// ---- Text ----

int format_text(char* buffer, int capacity, const char* format, ...) {
    if (capacity <= 0) return 0;
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer, static_cast<size_t>(capacity), format, args);
    va_end(args);
    if (n < 0) {
        buffer[0] = '\0';
        return 0;
    }
    return n < capacity ? n : capacity - 1;
}

void oem_to_ansi(char* text, int capacity) {
    note("oem_to_ansi");
    if (capacity <= 0) return;
    // The host's "ANSI" page is UTF-8: convert from code page 437 with the C library.
    iconv_t cd = iconv_open("UTF-8", "CP437");
    if (cd == reinterpret_cast<iconv_t>(-1)) return;
    std::string in(text, strnlen(text, static_cast<size_t>(capacity)));
    std::string out(in.size() * 4 + 1, '\0');
    char* inp = in.data();
    size_t inleft = in.size();
    char* outp = out.data();
    size_t outleft = out.size() - 1;
    iconv(cd, &inp, &inleft, &outp, &outleft);
    iconv_close(cd);
    size_t produced = out.size() - 1 - outleft;
    size_t keep = produced < static_cast<size_t>(capacity - 1) ? produced : static_cast<size_t>(capacity - 1);
    // Never cut a UTF-8 sequence in half.
    while (keep > 0 && keep < produced && (static_cast<unsigned char>(out[keep]) & 0xC0) == 0x80) --keep;
    std::memcpy(text, out.data(), keep);
    text[keep] = '\0';
}

int compare_nocase(const char* a, const char* b) {
    note("compare_nocase");
    return ::strcasecmp(a, b);
}

// ---- Paths and file system ----

void create_directory(const char* path) {
    note("create_directory");
    host::recorder().directories_created.emplace_back(path);
    ::mkdir(to_host_path(path).c_str(), 0755);
}

void set_file_attributes(const char* path, uint32_t attributes) {
    note("set_file_attributes");
    host::recorder().attributes.push_back(host::AttributeCall{path, attributes});
    std::string host_path = to_host_path(path);
    struct stat st {};
    if (::stat(host_path.c_str(), &st) != 0) return;
    // Linux holds the read-only bit only: it maps to the owner's write permission.
    mode_t mode = st.st_mode & 07777;
    mode = (attributes & ATTRIBUTE_READONLY) ? (mode & ~static_cast<mode_t>(0222)) : (mode | S_IWUSR);
    ::chmod(host_path.c_str(), mode);
}

void delete_file(const char* path) {
    note("delete_file");
    host::recorder().deletions.emplace_back(path);
    std::string host_path = to_host_path(path);
    struct stat st {};
    // Windows will not delete a read-only file; the stand-in refuses it too.
    if (::stat(host_path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & S_IWUSR) == 0) return;
    host::file_calls().unlink(host_path.c_str());
}

void set_file_dos_time(const char* path, uint16_t dos_date, uint16_t dos_time) {
    note("set_file_dos_time");
    host::recorder().times.push_back(host::TimeCall{path, dos_date, dos_time});
    std::tm local{};
    local.tm_year = 80 + (dos_date >> 9);
    local.tm_mon = ((dos_date >> 5) & 0x0F) - 1;
    local.tm_mday = dos_date & 0x1F;
    local.tm_hour = dos_time >> 11;
    local.tm_min = (dos_time >> 5) & 0x3F;
    local.tm_sec = (dos_time & 0x1F) * 2;
    local.tm_isdst = -1;
    // Like DosDateTimeToFileTime: an impossible date or time is refused and the file keeps its times.
    if (local.tm_mon < 0 || local.tm_mon > 11 || local.tm_mday < 1 || local.tm_hour > 23 || local.tm_min > 59 ||
        local.tm_sec > 59)
        return;
    std::time_t utc = std::mktime(&local);  // the DOS time is local time
    if (utc == static_cast<std::time_t>(-1)) return;
    // CreateFileA for writing fails on a read-only file, so Windows leaves its times alone.
    struct stat st {};
    if (::stat(to_host_path(path).c_str(), &st) == 0 && (st.st_mode & S_IWUSR) == 0) return;
    struct timeval times[2] = {{utc, 0}, {utc, 0}};
    ::utimes(to_host_path(path).c_str(), times);
}

// ---- Run sequence ----

int fetch_module_path(InstanceHandle, char* path, int capacity) {
    note("fetch_module_path");
    return host::answer_path(host::state().module_path, path, capacity, true);
}

int fetch_temp_path(char* path, int capacity) {
    note("fetch_temp_path");
    return host::answer_path(host::state().temp_path, path, capacity, false);
}

void register_progress_class() { note("register_progress_class"); }

WindowHandle create_dialog(InstanceHandle instance, int template_id, DialogProcedure procedure) {
    note("create_dialog");
    auto& windows = host::recorder().windows;
    auto handle = reinterpret_cast<WindowHandle>((windows.size() + 1) * host::WINDOW_STRIDE);
    windows.push_back(host::Window{handle, instance, template_id, procedure});
    // Like CreateDialogParamA: the procedure gets WM_INITDIALOG before the call returns.
    procedure(handle, MESSAGE_INITDIALOG, 0, 0);
    return handle;
}

void show_window(WindowHandle window) {
    note("show_window");
    host::Window* w = host::window_of(window);
    if (w != nullptr && !w->destroyed) w->shown = true;
}

WindowHandle dialog_item(WindowHandle dialog, int id) {
    note("dialog_item");
    host::Window* w = host::window_of(dialog);
    if (w == nullptr || w->destroyed) return nullptr;
    return reinterpret_cast<WindowHandle>(reinterpret_cast<uintptr_t>(w->handle) + static_cast<uintptr_t>(id));
}

void destroy_window(WindowHandle window) {
    note("destroy_window");
    host::Window* w = host::window_of(window);
    if (w != nullptr && w->handle == window) w->destroyed = true;
}

void post_quit_message(int exit_code) {
    note("post_quit_message");
    ++host::recorder().quit_messages_posted;
    host::state().next_quit_code = static_cast<uintptr_t>(exit_code);
}

int take_message(uintptr_t* exit_code) {
    note("take_message");
    auto& r = host::recorder();
    // The stand-in has no other message source: without a quit message GetMessageA would
    // wait for ever, so it answers as for an error.
    if (r.quit_messages_taken >= r.quit_messages_posted) return -1;
    // Posting twice still leaves one quit message for the loop: the first one ends it.
    r.quit_messages_taken = r.quit_messages_posted;
    *exit_code = host::state().next_quit_code;
    return 0;
}

void dispatch_taken_message() { note("dispatch_taken_message"); }

void open_with_shell(const char* verb, const char* path) {
    note("open_with_shell");
    host::recorder().launches.push_back(host::Launch{verb, path});
}
