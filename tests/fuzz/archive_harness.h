// archive_harness.h -- one input of the whole-run fuzz target: the input is the program's own file.
//
// Each input is written as C:\package.exe into a scratch folder, "box", that the host stand-in
// maps to drive C: and confines every path to; every other drive letter is mapped to a folder
// of its own inside the box, so absolute entry names land in the sandbox too, and any name
// that resolves outside it ("..", a path outside every drive) names nothing. Beside the box
// lies a canary folder that no run may touch. The run is the stub's: the disclaimer gate
// (answered OK), then the walk with temp_dir C:\tmp\. Output writes are counted and dropped,
// which keeps a run's cost to the decoding; files and folders are still created, and removed
// before the next input.
//
// Checked for every input, beyond what the sanitizers and libFuzzer's timeout check: the
// canary and the folder around the box are as they were, nothing writes to the program's own
// file, the buffers' positions stay in their bounds, the paths stay terminated, and every box
// after the gate's is a failure box with a known code.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "archive/archive_walk.h"
#include "archive/entry_extraction.h"
#include "archive/failure_box.h"
#include "platform/host/host_platform.h"
#include "shell/disclaimer_gate.h"
#include "stream/stream_buffers.h"

namespace archive_harness {

constexpr const char* PACKAGE_PATH = "C:\\package.exe";
constexpr const char* TEMP_DIR = "C:\\tmp\\";
constexpr const char* CANARY_TEXT = "left alone";

class Harness {
public:
    Harness() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tarnvel-archive-fuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        outer_ = pattern;
        box_ = outer_ / "box";
        std::filesystem::create_directories(box_ / "c");
        std::filesystem::create_directories(outer_ / "canary");
        write_whole((outer_ / "canary" / "file.txt").string(), CANARY_TEXT, std::strlen(CANARY_TEXT));
    }
    ~Harness() {
        clear(outer_);
        std::error_code ignored;
        std::filesystem::remove(outer_, ignored);
    }
    Harness(const Harness&) = delete;
    Harness& operator=(const Harness&) = delete;

    uint64_t bytes_written() const { return bytes_written_; }

    // Empty when every check holds, else the first one that failed.
    std::string run_one(const uint8_t* data, size_t size) {
        clear(box_);
        std::filesystem::create_directory(box_ / "c");
        if (!write_whole((box_ / "c" / "package.exe").string(), data, size)) std::abort();

        host::reset();
        for (char letter = 'A'; letter <= 'Z'; ++letter)
            host::map_drive(letter, (box_ / (letter == 'C' ? std::string("c") : std::string("drive-") + letter)).string());
        host::confine_to(box_.string());
        static Harness* self;
        self = this;
        host::file_calls().write = [](int fd, const void*, unsigned long count) -> long {
            if (fd == stream_state.archive_fd) self->wrote_own_file_ = true;
            self->bytes_written_ += count;
            return static_cast<long>(count);
        };
        wrote_own_file_ = false;
        stream_state = StreamState{};
        entry_info = EntryInfo{};
        launch_target = LAUNCH_NONE;
        cancel_requested = 0;
        std::memset(temp_dir, 0, sizeof temp_dir);
        std::strcpy(temp_dir, TEMP_DIR);
        stream_state.progress_window = reinterpret_cast<WindowHandle>(0x7A41);
        stream_state.progress_bar = reinterpret_cast<WindowHandle>(0x7B42);

        int answer = show_disclaimer(PACKAGE_PATH);
        if (answer == ANSWER_OK) extract_archive(PACKAGE_PATH);
        std::vector<host::Box> boxes = host::recorder().boxes;
        host::reset();

        if (wrote_own_file_) return "a write went to the program's own file";
        if (!outside_untouched()) return "something outside the sandbox changed";
        const StreamState& s = stream_state;
        if (s.window_pos > WINDOW_SIZE) return "window_pos past the window";
        if (s.input_pos > INPUT_BUFFER_SIZE || s.input_size > INPUT_BUFFER_SIZE) return "input position past the buffer";
        if (std::memchr(temp_dir, 0, PATH_CAPACITY) == nullptr || std::memchr(entry_info.name, 0, PATH_CAPACITY) == nullptr)
            return "a path buffer lost its terminator";
        size_t first_failure = !boxes.empty() && boxes[0].caption == DISCLAIMER_CAPTION ? 1 : 0;
        for (size_t i = first_failure; i < boxes.size(); ++i) {
            if (boxes[i].caption != FAILURE_CAPTION || boxes[i].flags != FAILURE_BOX_FLAGS) return "a box that is not a failure box";
            if (failure_texts().count(boxes[i].text) == 0) return "a failure box with an unknown text: " + boxes[i].text;
        }
        return {};
    }

private:
    static const std::set<std::string>& failure_texts() {
        static const std::set<std::string> texts = [] {
            std::set<std::string> all;
            char text[FAILURE_TEXT_CAPACITY];
            for (const FailureCodeRow& row : FAILURE_CODES) {
                std::snprintf(text, sizeof text, FAILURE_FORMAT, FAILURE_MESSAGE, row.code);
                all.insert(text);
            }
            return all;
        }();
        return texts;
    }

    // The folder around the box holds the box and the canary only, and the canary its one file.
    bool outside_untouched() const {
        std::error_code error;
        size_t around = 0;
        for (const auto& entry : std::filesystem::directory_iterator(outer_, error)) {
            ++around;
            if (entry.path() != box_ && entry.path() != outer_ / "canary") return false;
        }
        size_t in_canary = 0;
        for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(outer_ / "canary", error)) ++in_canary;
        if (error || around != 2 || in_canary != 1) return false;
        char text[32] = {};
        int fd = ::open((outer_ / "canary" / "file.txt").c_str(), O_RDONLY);
        if (fd < 0) return false;
        ssize_t n = ::read(fd, text, sizeof text - 1);
        ::close(fd);
        return n == static_cast<ssize_t>(std::strlen(CANARY_TEXT)) && std::strcmp(text, CANARY_TEXT) == 0;
    }

    // Empties a folder, read-only files and folders included.
    static void clear(const std::filesystem::path& folder) {
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
            for (const auto& inner : std::filesystem::recursive_directory_iterator(entry.path(), ignored))
                std::filesystem::permissions(inner.path(), std::filesystem::perms::owner_all,
                                             std::filesystem::perm_options::add, ignored);
            std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
            std::filesystem::remove_all(entry.path(), ignored);
        }
    }

    static bool write_whole(const std::string& path, const void* data, size_t size) {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) return false;
        const unsigned char* bytes = static_cast<const unsigned char*>(data);
        size_t at = 0;
        while (at < size) {
            ssize_t n = ::write(fd, bytes + at, size - at);
            if (n <= 0) break;
            at += static_cast<size_t>(n);
        }
        ::close(fd);
        return at == size;
    }

    std::filesystem::path outer_;
    std::filesystem::path box_;
    uint64_t bytes_written_ = 0;
    bool wrote_own_file_ = false;
};

}  // namespace archive_harness
