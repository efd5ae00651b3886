// archive_fuzz.cpp -- libFuzzer target: the whole walk over a self-extracting file made of the input.
//
// Each input is written as the package in a private folder that the host stand-in maps to
// drive C: and confines every path to, so hostile names ("..", other drives) cannot reach
// the rest of the machine. Output writes are counted and dropped, which keeps a run's cost
// to the decoding itself; files and folders are still created and removed after each run.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "archive/archive_walk.h"
#include "archive/entry_extraction.h"
#include "platform/host/host_platform.h"
#include "stream/stream_buffers.h"

namespace {

std::filesystem::path sandbox;
uint64_t bytes_written;

void clear_sandbox() {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(sandbox, ignored)) {
        for (const auto& inner : std::filesystem::recursive_directory_iterator(entry.path(), ignored))
            std::filesystem::permissions(inner.path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
        std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(entry.path(), ignored);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarnvel-archive-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    sandbox = pattern;
    std::atexit([] {
        std::error_code ignored;
        clear_sandbox();
        std::filesystem::remove(sandbox, ignored);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    clear_sandbox();
    std::string package = (sandbox / "package.exe").string();
    int fd = ::open(package.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) std::abort();
    for (size_t at = 0; at < size;) {
        ssize_t n = ::write(fd, data + at, size - at);
        if (n <= 0) std::abort();
        at += static_cast<size_t>(n);
    }
    ::close(fd);

    host::reset();
    host::map_drive('C', sandbox.string());
    host::confine_to(sandbox.string());
    host::file_calls().write = [](int, const void*, unsigned long count) {
        bytes_written += count;
        return static_cast<long>(count);
    };
    stream_state = StreamState{};
    entry_info = EntryInfo{};
    launch_target = LAUNCH_NONE;
    cancel_requested = 0;
    std::strcpy(temp_dir, "C:\\tmp\\");
    stream_state.progress_window = reinterpret_cast<WindowHandle>(0x7A41);
    stream_state.progress_bar = reinterpret_cast<WindowHandle>(0x7B42);

    extract_archive("C:\\package.exe");

    // Invariants that hold for any input.
    if (stream_state.window_pos > WINDOW_SIZE) std::abort();
    if (stream_state.input_pos > INPUT_BUFFER_SIZE || stream_state.input_size > INPUT_BUFFER_SIZE) std::abort();
    if (temp_dir[PATH_CAPACITY - 1] != '\0' || entry_info.name[PATH_CAPACITY - 1] != '\0') std::abort();
    for (const host::Box& box : host::recorder().boxes)
        if (box.caption != "Tarnvel SFX ERROR" || box.flags != 0x10030u) std::abort();
    return 0;
}
