// crc32_bench.cpp -- our CRC-32 next to zlib's and libdeflate's on the same buffer, as ratios.
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "stream/crc32.h"

namespace {

template <typename F>
double median_gbps(const std::vector<unsigned char>& data, F crc) {
    std::vector<double> runs;
    for (int r = 0; r < 7; ++r) {
        auto start = std::chrono::steady_clock::now();
        volatile uint32_t sink = 0;
        for (int i = 0; i < 8; ++i) sink = sink + crc(data);
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        runs.push_back(8.0 * static_cast<double>(data.size()) / took.count() / 1e9);
    }
    std::sort(runs.begin(), runs.end());
    return runs[runs.size() / 2];
}

}  // namespace

int main() {
    // 32 KiB blocks, as the window hands them over, over 64 MiB.
    std::vector<unsigned char> data(64u << 20);
    std::mt19937 rng(1);
    for (auto& b : data) b = static_cast<unsigned char>(rng());
    auto ours = [](const std::vector<unsigned char>& d) {
        crc32_update(nullptr, 0);
        uint32_t c = 0;
        for (size_t at = 0; at < d.size(); at += 32768) c = crc32_update(d.data() + at, 32768);
        return c;
    };
    auto zlib = [](const std::vector<unsigned char>& d) {
        uLong c = crc32(0L, nullptr, 0);
        for (size_t at = 0; at < d.size(); at += 32768) c = crc32(c, d.data() + at, 32768);
        return static_cast<uint32_t>(c);
    };
    auto ldf = [](const std::vector<unsigned char>& d) {
        uint32_t c = 0;
        for (size_t at = 0; at < d.size(); at += 32768) c = libdeflate_crc32(c, d.data() + at, 32768);
        return c;
    };
    if (ours(data) != zlib(data) || ours(data) != ldf(data)) {
        std::puts("CRC mismatch");
        return 1;
    }
    double o = median_gbps(data, ours), z = median_gbps(data, zlib), l = median_gbps(data, ldf);
    std::printf("CRC-32 over 64 MiB in 32 KiB blocks, median of 7 (GB/s)\n");
    std::printf("  ours        %6.2f\n  zlib        %6.2f\n  libdeflate  %6.2f\n", o, z, l);
    std::printf("  ours / zlib = %.2f, ours / libdeflate = %.2f\n", o / z, o / l);
    return 0;
}
