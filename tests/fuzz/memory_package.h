// memory_package.h -- serves the program's own file to the host stand-in from memory.
//
// The trailer and end-record scans read the file four bytes at a time: tens of thousands of
// seeks and reads per run, which as system calls were most of a fuzz input's cost. Opening
// the served path gives a descriptor that no system call knows; reads and seeks on it behave
// as read and lseek do on a regular file of those bytes. Every other path and descriptor goes
// to the disk as before. The file must still exist on disk for file_stat.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <string>

#include "platform/host/host_platform.h"

namespace fuzz_support {

class MemoryPackage {
public:
    // Installs the file calls; they last until host::reset(). The bytes must outlive the run.
    void serve(const std::string& host_path, const unsigned char* bytes, size_t size) {
        path_ = host_path;
        bytes_ = bytes;
        size_ = size;
        positions_.clear();
        host::FileCalls& calls = host::file_calls();
        calls.open_read = [this, open = calls.open_read](const char* path) {
            if (path_ != path) return open(path);
            const int fd = next_fd_++;
            positions_[fd] = 0;
            return fd;
        };
        calls.read = [this, read = calls.read](int fd, void* buffer, unsigned long count) {
            return served(fd) ? this->read(fd, buffer, count) : read(fd, buffer, count);
        };
        calls.seek = [this, seek = calls.seek](int fd, long long offset, int whence) {
            return served(fd) ? this->seek(fd, offset, whence) : seek(fd, offset, whence);
        };
        calls.close = [this, close = calls.close](int fd) {
            if (!positions_.erase(fd)) close(fd);
        };
    }

    bool served(int fd) const { return positions_.count(fd) != 0; }

    long read(int fd, void* buffer, unsigned long count) {
        size_t& position = positions_.at(fd);
        if (position >= size_) return 0;
        const size_t n = std::min<size_t>(count, size_ - position);
        std::memcpy(buffer, bytes_ + position, n);
        position += n;
        return static_cast<long>(n);
    }

    // As lseek: a position before the start is refused, one past the end is allowed.
    long long seek(int fd, long long offset, int whence) {
        if (whence != SEEK_SET && whence != SEEK_CUR) return -1;
        size_t& position = positions_.at(fd);
        const long long base = whence == SEEK_SET ? 0 : static_cast<long long>(position);
        if (offset < -base || offset > LLONG_MAX - base) return -1;
        position = static_cast<size_t>(base + offset);
        return static_cast<long long>(position);
    }

private:
    // Far above any descriptor the process holds, so none is mistaken for a real one.
    static constexpr int FIRST_FD = 0x40000000;

    std::string path_;
    const unsigned char* bytes_ = nullptr;
    size_t size_ = 0;
    int next_fd_ = FIRST_FD;
    std::map<int, size_t> positions_;
};

}  // namespace fuzz_support
