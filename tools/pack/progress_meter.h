// progress_meter.h -- a one-line progress bar on a terminal; silent when stderr is not one.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>

namespace pack {

class ProgressMeter {
public:
    // Draws on `stream` only when it is a terminal and `wanted`.
    ProgressMeter(std::FILE* stream, bool wanted);
    ~ProgressMeter();
    ProgressMeter(const ProgressMeter&) = delete;
    ProgressMeter& operator=(const ProgressMeter&) = delete;

    // Redraws at most ten times a second, and always for the last byte.
    void update(uint64_t done, uint64_t total);
    // Clears the line so that what is printed next starts clean.
    void finish();
    bool active() const { return active_; }

private:
    std::FILE* stream_;
    bool active_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_;
};

}  // namespace pack
