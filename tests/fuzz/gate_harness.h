// gate_harness.h -- one input of the disclaimer gate's fuzz target: show_disclaimer on an arbitrary tail.
//
// Input: three header bytes, then the tail of the program's own file.
//   byte 0, bits 0-1  the answer the question box gives: 0 none, 1 OK, 2 Cancel, 3 OK
//   byte 0, bit 2     only the first byte 1 reads succeed; every later one reports an error
//   byte 0, bit 3     the file is the tail repeated 1 + byte 2 times (but no longer than
//                     MAX_FILE), so that signatures lie beyond the scan's reach as well
// The file is written into a private folder, for its size, and the gate reads it from memory
// through the host stand-in.
// A model of the gate, written from its rules over the bytes in memory, says which box (if
// any) must show which text and what the gate must answer; the run must agree with it.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "archive/zip_layout.h"
#include "platform/host/host_platform.h"
#include "shell/disclaimer_gate.h"
#include "tests/fuzz/memory_package.h"

namespace gate_harness {

constexpr size_t HEADER_BYTES = 3;
constexpr size_t MAX_FILE = 3 * TRAILER_SCAN_LIMIT;

struct Expected {
    std::optional<std::string> box;  // the text shown, or no box
    int result;
};

namespace detail {

// Up to 4 bytes from position as a little-endian word, the missing ones 0, as a read cut
// short by the end of the file leaves them.
inline uint32_t word_at(const std::vector<unsigned char>& file, size_t position) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4 && position + i < file.size(); ++i) value |= uint32_t{file[position + i]} << (8 * i);
    return value;
}

// The gate's rules over the file in memory; `reads_allowed` reads succeed, later ones fail.
inline Expected model(const std::vector<unsigned char>& file, long reads_allowed, int answer) {
    long reads = 0;
    auto read_fails = [&] { return reads_allowed >= 0 && reads++ >= reads_allowed; };
    const size_t size = file.size();
    std::optional<size_t> found;
    for (size_t distance = TRAILER_SCAN_START; distance <= TRAILER_SCAN_LIMIT && distance <= size; ++distance) {
        if (read_fails()) break;
        if (word_at(file, size - distance) == TRAILER_SIGNATURE) {
            found = size - distance;
            break;
        }
    }
    if (!found) return {std::nullopt, 1};
    uint32_t flag = read_fails() ? 0 : word_at(file, *found + 4);
    if (flag == 0) return {std::nullopt, 1};
    uint32_t length = read_fails() ? 0 : word_at(file, *found + 8);
    uint32_t wanted = length < DISCLAIMER_CAPACITY ? length : DISCLAIMER_CAPACITY;
    std::string text;
    if (wanted != 0 && !read_fails()) {
        for (size_t at = *found + 12; at < size && at < *found + 12 + wanted && file[at] != 0; ++at)
            text.push_back(static_cast<char>(file[at]));
    }
    return {text, answer};
}

}  // namespace detail

// A private folder for the file; one per process.
class Harness {
public:
    Harness() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tarnvel-gate-fuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        folder_ = pattern;
        file_ = (folder_ / "package.exe").string();
    }
    ~Harness() {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    Harness(const Harness&) = delete;
    Harness& operator=(const Harness&) = delete;

    // Empty when the gate agrees with the model, else what differs.
    std::string run_one(const uint8_t* data, size_t size) {
        if (size < HEADER_BYTES) return {};
        const unsigned options = data[0];
        static const int answers[4] = {ANSWER_NONE, ANSWER_OK, ANSWER_CANCEL, ANSWER_OK};
        const int answer = answers[options & 3];
        const long reads_allowed = (options & 4) ? data[1] : -1;
        // Files past the scan's reach need no more than a few copies of the scan's length.
        const size_t tail = size - HEADER_BYTES;
        size_t copies = (options & 8) ? 1 + size_t{data[2]} : 1;
        if (tail != 0 && copies * tail > MAX_FILE) copies = MAX_FILE / tail > 0 ? MAX_FILE / tail : 1;
        std::vector<unsigned char> file;
        file.reserve(copies * (size - HEADER_BYTES));
        for (size_t i = 0; i < copies; ++i) file.insert(file.end(), data + HEADER_BYTES, data + size);
        if (!write_whole(file)) std::abort();

        host::reset();
        host::script_answers({answer});
        static long reads;
        static long allowed;
        reads = 0;
        allowed = reads_allowed;
        package_.serve(file_, file.data(), file.size());
        host::file_calls().read = [read = host::file_calls().read](int fd, void* buffer, unsigned long count) -> long {
            if (allowed >= 0 && reads++ >= allowed) return -1;
            return read(fd, buffer, count);
        };
        const int result = show_disclaimer(file_.c_str());
        const std::vector<host::Box> boxes = host::recorder().boxes;
        host::reset();

        const Expected expected = detail::model(file, reads_allowed, answer);
        if (result != expected.result) return "the gate answers " + std::to_string(result);
        if (!expected.box) return boxes.empty() ? std::string() : "a box is shown where none belongs";
        if (boxes.size() != 1) return "not exactly one box";
        const host::Box& box = boxes[0];
        if (box.text != *expected.box) return "the box shows another text";
        if (box.caption != DISCLAIMER_CAPTION || box.flags != DISCLAIMER_BOX_FLAGS || box.owner != nullptr)
            return "the box is not the disclaimer question";
        return {};
    }

private:
    bool write_whole(const std::vector<unsigned char>& bytes) const {
        int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) return false;
        size_t at = 0;
        while (at < bytes.size()) {
            ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
            if (n <= 0) break;
            at += static_cast<size_t>(n);
        }
        ::close(fd);
        return at == bytes.size();
    }

    std::filesystem::path folder_;
    std::string file_;
    fuzz_support::MemoryPackage package_;
};

}  // namespace gate_harness
