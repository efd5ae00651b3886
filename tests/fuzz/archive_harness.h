// archive_harness.h -- one input of the whole-run fuzz target: the input is the program's own file.
//
// Each input is written as C:\package.exe into a scratch folder, "box", that the host stand-in
// maps to drive C: and confines every path to; every other drive letter is mapped to a folder
// of its own inside the box, so absolute entry names land in the sandbox too, and any name
// that resolves outside it ("..", a path outside every drive) names nothing. Beside the box
// lies a canary folder that no run may touch. The run is the stub's whole run_installer, with
// the module path C:\package.exe and the temp path C:\tmp\: the disclaimer (answered OK),
// the progress window, the walk, the launch and the message loop. The package is read from
// memory (it stays on disk for its size). An input of odd length
// clicks Cancel while the first failure box is up. Output writes are dropped,
// which keeps a run's cost to the decoding; files and folders are still created, and removed
// before the next input.
//
// Checked for every input, beyond what the sanitizers and libFuzzer's timeout check: the
// canary and the folder around the box are as they were, nothing writes to the program's own
// file, the buffers' positions stay in their bounds, the paths stay terminated, every box
// after the gate's is a failure box with a known code, the run ends with exit code 0, and at
// most one program is opened, setup.exe or install.exe in the temp directory.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
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
#include "shell/run_installer.h"
#include "stream/stream_buffers.h"
#include "tests/fuzz/memory_package.h"

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
        outside_ = outside_stamps();
    }
    ~Harness() {
        clear(outer_);
        std::error_code ignored;
        std::filesystem::remove(outer_, ignored);
    }
    Harness(const Harness&) = delete;
    Harness& operator=(const Harness&) = delete;

    // The folder holding the box and, beside it, the canary.
    const std::filesystem::path& outer_folder() const { return outer_; }

    // Empty when every check holds, else the first one that failed.
    std::string run_one(const uint8_t* data, size_t size) {
        const std::string package = (box_ / "c" / "package.exe").string();
        if (dirty_ || !write_whole(package, data, size)) {
            clear(box_);
            std::filesystem::create_directory(box_ / "c");
            if (!write_whole(package, data, size)) std::abort();
        }
        const std::vector<Stamp> box_before = box_stamps();

        host::reset();
        for (char letter = 'A'; letter <= 'Z'; ++letter)
            host::map_drive(letter, (box_ / (letter == 'C' ? std::string("c") : std::string("drive-") + letter)).string());
        host::confine_to(box_.string());
        package_.serve(host::to_host_path(PACKAGE_PATH), data, size);
        static Harness* self;
        self = this;
        host::file_calls().write = [](int fd, const void*, unsigned long count) -> long {
            if (fd == stream_state.archive_fd) self->wrote_own_file_ = true;
            return static_cast<long>(count);
        };
        wrote_own_file_ = false;
        clear_run_state();
        host::set_module_path(PACKAGE_PATH);
        host::set_temp_path(TEMP_DIR);
        if (size % 2 == 1) {
            // Two answers: the disclaimer box, if there is one, takes the first without a click.
            auto click_on_failure_box = [] {
                if (host::recorder().boxes.back().caption != FAILURE_CAPTION) return;
                if (const host::Window* w = host::last_window()) host::click(w->handle, COMMAND_CANCEL);
            };
            host::script_answer(host::Answer{ANSWER_OK, click_on_failure_box});
            host::script_answer(host::Answer{ANSWER_OK, click_on_failure_box});
        }

        int exit_code = run_installer(reinterpret_cast<InstanceHandle>(0x400000));
        const host::Recorder record = host::recorder();
        host::reset();
        dirty_ = box_stamps() != box_before;

        if (exit_code != 0) return "exit code " + std::to_string(exit_code);
        const std::vector<host::Box>& boxes = record.boxes;
        if (record.launches.size() > 1) return "more than one program opened";
        for (const host::Launch& launch : record.launches) {
            if (launch.verb != "open") return "a launch with another verb";
            if (launch.path != std::string(TEMP_DIR) + "\\setup.exe" && launch.path != std::string(TEMP_DIR) + "\\install.exe")
                return "a launch of " + launch.path;
        }
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

    // When a file or folder changed: its identity, mode, size, and change and modification times.
    struct Stamp {
        dev_t device;
        ino_t inode;
        mode_t mode;
        off_t size;
        long long changed_ns;
        long long modified_ns;
        bool operator==(const Stamp&) const = default;
    };
    static Stamp stamp(const std::filesystem::path& path) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) return Stamp{0, 0, 0, -1, 0, 0};
        auto ns = [](const timespec& t) { return t.tv_sec * 1000000000LL + t.tv_nsec; };
        return Stamp{st.st_dev, st.st_ino, st.st_mode, st.st_size, ns(st.st_ctim), ns(st.st_mtim)};
    }
    // A folder's times move with every name added, removed or renamed in it, and no call can
    // set a change time back, so three stamps show any touch of the folder around the box,
    // the canary folder or the canary file.
    std::vector<Stamp> outside_stamps() const {
        return {stamp(outer_), stamp(outer_ / "canary"), stamp(outer_ / "canary" / "file.txt")};
    }
    // Unchanged when the run created, removed and changed nothing, the package included: the
    // next input then starts from the same state without clearing.
    std::vector<Stamp> box_stamps() const {
        return {stamp(box_), stamp(box_ / "c"), stamp(box_ / "c" / "package.exe")};
    }

    bool outside_untouched() const {
        return outside_stamps() == outside_;
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
    bool wrote_own_file_ = false;
    bool dirty_ = true;
    std::vector<Stamp> outside_;
    fuzz_support::MemoryPackage package_;
};

}  // namespace archive_harness
