// progress_meter.cpp -- bar, percentage, megabytes and rate, redrawn in place with a carriage return.
#include "tools/pack/progress_meter.h"

#include <unistd.h>

#include <string>

#include <fmt/format.h>

namespace pack {

namespace {
constexpr int BAR_WIDTH = 30;
constexpr auto REDRAW_EVERY = std::chrono::milliseconds(100);
}  // namespace

ProgressMeter::ProgressMeter(std::FILE* stream, bool wanted)
    : stream_(stream), active_(wanted && ::isatty(::fileno(stream)) != 0), start_(std::chrono::steady_clock::now()) {}

ProgressMeter::~ProgressMeter() { finish(); }

void ProgressMeter::update(uint64_t done, uint64_t total) {
    if (!active_) return;
    auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - last_ < REDRAW_EVERY && done < total) return;
    last_ = now;
    drawn_ = true;
    double fraction = total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
    int filled = static_cast<int>(fraction * BAR_WIDTH);
    double seconds = std::chrono::duration<double>(now - start_).count();
    double rate = seconds > 0 ? static_cast<double>(done) / 1e6 / seconds : 0.0;
    std::string bar = std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(BAR_WIDTH - filled), '.');
    fmt::print(stream_, "\r[{}] {:3.0f}%  {:.1f} of {:.1f} MB  {:.1f} MB/s ", bar, fraction * 100, static_cast<double>(done) / 1e6,
               static_cast<double>(total) / 1e6, rate);
    std::fflush(stream_);
}

void ProgressMeter::finish() {
    if (!active_ || !drawn_) return;
    fmt::print(stream_, "\r\033[K");
    std::fflush(stream_);
    drawn_ = false;
}

}  // namespace pack
