// decoder_bench.cpp -- raw deflate decoding throughput: our decoder next to zlib and libdeflate.
//
// Every regular file under a folder (the installer payload made by make_corpus.sh) is
// compressed once as raw deflate (zlib level 9 by default, as zip -9 would), then all
// streams are decoded by each decoder in turn, several passes, and the median pass is
// reported in MB/s of output (1 MB = 10^6 bytes) with ratios. Our decoder runs as the stub
// runs it, through the stream buffers (refills of 32768 bytes, emit_window with its CRC-32),
// with the host's file reads and writes replaced by memory copies; the CRC-32 alone is timed
// too, so that the decoding's own share can be told apart.
//
// Usage: decoder_bench [--level N] [--passes N] [--every N] [--limit BYTES]
//                      [--only ours|zlib|libdeflate|crc] FOLDER
// (--only runs one pass of one decoder, for callgrind; --every N keeps every Nth file in
// path order, a smaller sample of the same mix; --limit stops after that many input bytes.)
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <string>
#include <vector>

#include "deflate/block_decoder.h"
#include "platform/host/host_platform.h"
#include "stream/crc32.h"
#include "stream/stream_buffers.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct Stream {
    Bytes compressed;
    size_t size;
    uint32_t crc;
};

Bytes read_whole(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes raw_deflate(const Bytes& input, int level) {
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    Bytes out(deflateBound(&z, static_cast<uLong>(input.size())) + 64);
    z.next_in = const_cast<Bytef*>(input.data());
    z.avail_in = static_cast<uInt>(input.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Memory in place of the entry's file: reads copy from the current stream, writes vanish.
const Stream* current;
size_t read_at;

void install_memory_files() {
    host::file_calls().read = [](int, void* buffer, unsigned long count) -> long {
        size_t n = std::min<size_t>(count, current->compressed.size() - read_at);
        memcpy(buffer, current->compressed.data() + read_at, n);
        read_at += n;
        return static_cast<long>(n);
    };
    host::file_calls().write = [](int, const void*, unsigned long count) -> long { return static_cast<long>(count); };
}

// One pass of each decoder over every stream; false on a wrong result. Not inlined, so that
// callgrind can collect exactly one pass.
__attribute__((noinline)) bool pass_ours(const std::vector<Stream>& streams) {
    bool good = true;
    for (const Stream& s : streams) {
        current = &s;
        read_at = 0;
        stream_state.input_failed = 0;
        reset_stream_counters();
        stream_state.remaining_compressed = static_cast<uint32_t>(s.compressed.size());
        crc32_update(nullptr, 0);
        const unsigned char probe = 0;
        good &= decode_deflate_stream() == 0 && crc32_update(&probe, 0) == s.crc;
    }
    return good;
}

__attribute__((noinline)) bool pass_zlib(const std::vector<Stream>& streams, Bytes& out) {
    bool good = true;
    z_stream z{};
    inflateInit2(&z, -15);
    for (const Stream& s : streams) {
        inflateReset(&z);
        z.next_in = const_cast<Bytef*>(s.compressed.data());
        z.avail_in = static_cast<uInt>(s.compressed.size());
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        good &= inflate(&z, Z_FINISH) == Z_STREAM_END && z.total_out == s.size;
    }
    inflateEnd(&z);
    return good;
}

__attribute__((noinline)) bool pass_libdeflate(const std::vector<Stream>& streams, Bytes& out) {
    bool good = true;
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    for (const Stream& s : streams) {
        size_t actual = 0;
        good &= libdeflate_deflate_decompress(d, s.compressed.data(), s.compressed.size(), out.data(), out.size(),
                                              &actual) == LIBDEFLATE_SUCCESS &&
                actual == s.size;
    }
    libdeflate_free_decompressor(d);
    return good;
}

// The CRC-32 that emit_window computes, over the same bytes in 32768-byte pieces.
__attribute__((noinline)) bool pass_crc(const std::vector<Stream>& streams, const Bytes& sample) {
    uint32_t sink = 0;
    for (const Stream& s : streams) {
        crc32_update(nullptr, 0);
        for (size_t left = s.size; left != 0;) {
            size_t n = std::min<size_t>(left, WINDOW_SIZE);
            sink ^= crc32_update(sample.data(), n);
            left -= n;
        }
    }
    return sink != 1;  // keeps the work observable
}

double seconds_of(const std::function<bool()>& pass, bool* good) {
    auto start = std::chrono::steady_clock::now();
    *good &= pass();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    int level = 9, passes = 5, every = 1;
    size_t limit = SIZE_MAX;
    std::string only, folder;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--level" && i + 1 < argc) level = atoi(argv[++i]);
        else if (a == "--passes" && i + 1 < argc) passes = atoi(argv[++i]);
        else if (a == "--every" && i + 1 < argc) every = std::max(1, atoi(argv[++i]));
        else if (a == "--limit" && i + 1 < argc) limit = strtoull(argv[++i], nullptr, 10);
        else if (a == "--only" && i + 1 < argc) only = argv[++i];
        else folder = a;
    }
    if (folder.empty()) {
        fprintf(stderr,
                "usage: %s [--level N] [--passes N] [--every N] [--limit BYTES] [--only ours|zlib|libdeflate|crc] FOLDER\n",
                argv[0]);
        return 2;
    }

    std::vector<std::filesystem::path> paths;
    for (const auto& e : std::filesystem::recursive_directory_iterator(folder)) {
        if (e.is_regular_file() && !e.is_symlink()) paths.push_back(e.path());
    }
    std::sort(paths.begin(), paths.end());
    std::vector<Stream> streams;
    size_t total_in = 0, total_compressed = 0, largest = 0;
    for (size_t i = 0; i < paths.size(); i += static_cast<size_t>(every)) {
        const auto& path = paths[i];
        if (total_in >= limit) break;
        Bytes data = read_whole(path);
        Stream s{raw_deflate(data, level), data.size(), static_cast<uint32_t>(crc32(0L, data.data(), static_cast<uInt>(data.size())))};
        total_in += s.size;
        total_compressed += s.compressed.size();
        largest = std::max(largest, s.size);
        streams.push_back(std::move(s));
    }
    Bytes out(largest + 1), sample(WINDOW_SIZE, 0x5A);
    install_memory_files();

    bool good = true;
    if (!only.empty()) {
        if (only == "ours") good = pass_ours(streams);
        else if (only == "zlib") good = pass_zlib(streams, out);
        else if (only == "libdeflate") good = pass_libdeflate(streams, out);
        else if (only == "crc") good = pass_crc(streams, sample);
        printf("%s: %zu files, %zu bytes out, %s\n", only.c_str(), streams.size(), total_in, good ? "ok" : "WRONG");
        return good ? 0 : 1;
    }

    printf("%zu files, %.1f MB out, %.1f MB raw deflate (zlib level %d), %d passes, median\n", streams.size(),
           total_in / 1e6, total_compressed / 1e6, level, passes);
    std::vector<double> ours, zlib_times, libdeflate_times, crc_times;
    for (int p = 0; p < passes; ++p) {
        ours.push_back(seconds_of([&] { return pass_ours(streams); }, &good));
        zlib_times.push_back(seconds_of([&] { return pass_zlib(streams, out); }, &good));
        libdeflate_times.push_back(seconds_of([&] { return pass_libdeflate(streams, out); }, &good));
        crc_times.push_back(seconds_of([&] { return pass_crc(streams, sample); }, &good));
    }
    if (!good) {
        printf("A DECODER PRODUCED A WRONG RESULT\n");
        return 1;
    }
    double t_ours = median(ours), t_zlib = median(zlib_times), t_lib = median(libdeflate_times), t_crc = median(crc_times);
    double t_decode = t_ours - t_crc;
    auto mbps = [&](double t) { return total_in / t / 1e6; };
    printf("  %-34s %8.0f MB/s\n", "ours, as the stub runs it (+CRC)", mbps(t_ours));
    printf("  %-34s %8.0f MB/s\n", "CRC-32 alone (stream/crc32)", mbps(t_crc));
    printf("  %-34s %8.0f MB/s\n", "ours without the CRC (difference)", mbps(t_decode));
    printf("  %-34s %8.0f MB/s\n", "zlib raw inflate", mbps(t_zlib));
    printf("  %-34s %8.0f MB/s\n", "libdeflate", mbps(t_lib));
    printf("ratios (throughput, higher is faster for ours):\n");
    printf("  ours+CRC / zlib        %.2f\n", t_zlib / t_ours);
    printf("  ours+CRC / libdeflate  %.2f\n", t_lib / t_ours);
    printf("  ours     / zlib        %.2f\n", t_zlib / t_decode);
    printf("  ours     / libdeflate  %.2f\n", t_lib / t_decode);
    return 0;
}
