// deflate_harness.h -- one input of the decoder's fuzz target: our decoder next to zlib's raw inflate.
//
// Input: three header bytes, then one entry's compressed stream (at most MAX_STREAM bytes).
//   byte 0, bit 0  the entry claims 100 bytes more than the file holds: the latch trips at its end
//   byte 0, bit 1  the file delivers at most 1 + byte 1 % 16 bytes per read
//   byte 0, bit 2  the window holds bytes left by an earlier entry (noise), else zeros
//   byte 0, bit 3  the allocation attempt numbered byte 2 fails (1-based; 0 fails none)
// The stream goes through the real stream buffers with reads and writes served from memory.
// zlib inflates the same bytes with the window's previous contents as its preset dictionary,
// which is what our decoder reads where a distance reaches before the stream's start.
//
// Checked for every input: the result is 0 to 3 (3 only after a failed allocation), no table
// outlives the stream, the filler bound holds, the CRC covers exactly the bytes written, and
// whatever reached the output is a prefix of zlib's output whenever zlib finishes the stream.
// When zlib finishes and the latch stays clear, ours finishes too with the same bytes.
//
// Where ours finishes a stream that zlib refuses, zlib's reason must be one of these:
//   - "invalid bit length repeat": a code-length symbol 16 with no previous length repeats
//     length 0 here;
//   - "invalid distance too far back": a distance that reaches before the stream's start
//     reads the window here (zeros, or an earlier entry's bytes). It never shows in this
//     harness, since the dictionary gives zlib the same history as ours.
// A code-length code with a single 1-bit code is accepted here and refused by zlib, but every
// list of lengths it can spell fails later (all lengths equal, or all zero), so the two agree
// on every such stream; that reason is therefore not on the list.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "deflate/block_decoder.h"
#include "deflate/code_tables.h"
#include "platform/host/host_platform.h"
#include "stream/crc32.h"
#include "stream/stream_buffers.h"

namespace deflate_harness {

constexpr size_t HEADER_BYTES = 3;
constexpr size_t MAX_STREAM = 65536;
constexpr uint32_t LATCH_EXTRA = 100;

// zlib's reasons for refusing a stream that ours decodes, with how often each was met.
inline std::map<std::string, uint64_t>& divergences() {
    static std::map<std::string, uint64_t> seen;
    return seen;
}

inline bool accepted_divergence(const std::string& reason) {
    return reason == "invalid bit length repeat" || reason == "invalid distance too far back";
}

namespace detail {

struct Source {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t at = 0;
    unsigned long piece = 0;  // most bytes per read
};

struct Run {
    Source source;
    std::vector<unsigned char> written;
    long live_tables = 0;
    long attempts = 0;
    long fail_at = 0;
};

inline Run& run() {
    static Run r;
    return r;
}

inline void* counted_allocate(size_t size) {
    Run& r = run();
    if (++r.attempts == r.fail_at) return nullptr;
    void* block = std::malloc(size);
    if (block != nullptr) ++r.live_tables;
    return block;
}

inline void counted_release(void* block) {
    --run().live_tables;
    std::free(block);
}

// Noise as an earlier entry would leave it, the same for the same seed.
inline void fill_noise(unsigned char* bytes, size_t size, uint32_t seed) {
    uint32_t x = seed * 2654435761u + 0x9E3779B9u;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = static_cast<unsigned char>(x);
    }
}

struct Inflated {
    bool finished = false;
    std::string reason;  // zlib's message when it refused the stream
    std::vector<unsigned char> output;
};

// Into `result`, whose buffers are reused from input to input.
inline void zlib_inflate(const uint8_t* stream, size_t size, const unsigned char* dictionary, size_t dictionary_size,
                         Inflated& result) {
    result.finished = false;
    result.reason.clear();
    result.output.clear();
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) std::abort();
    if (inflateSetDictionary(&z, dictionary, static_cast<uInt>(dictionary_size)) != Z_OK) std::abort();
    z.next_in = const_cast<Bytef*>(stream);
    z.avail_in = static_cast<uInt>(size);
    int status = Z_OK;
    while (status == Z_OK) {
        size_t done = result.output.size();
        result.output.resize(done + 65536);
        z.next_out = result.output.data() + done;
        z.avail_out = 65536;
        status = inflate(&z, Z_NO_FLUSH);
        result.output.resize(done + (65536 - z.avail_out));
    }
    result.finished = status == Z_STREAM_END;
    if (status == Z_DATA_ERROR && z.msg != nullptr) result.reason = z.msg;
    inflateEnd(&z);
}

inline bool is_prefix(const std::vector<unsigned char>& part, const std::vector<unsigned char>& whole) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

}  // namespace detail

// Empty when every check holds, else the first one that failed.
inline std::string run_one(const uint8_t* data, size_t size) {
    if (size < HEADER_BYTES || size > HEADER_BYTES + MAX_STREAM) return {};
    using detail::run;
    const unsigned options = data[0];
    const bool latch = options & 1;
    run().source = detail::Source{data + HEADER_BYTES, size - HEADER_BYTES, 0,
                                  (options & 2) ? 1ul + data[1] % 16 : 1ul << 20};
    run().written.clear();  // keeps its capacity: outputs of megabytes are common
    run().live_tables = 0;
    run().attempts = 0;
    run().fail_at = (options & 8) ? data[2] : 0;

    host::reset();
    host::file_calls().read = [](int, void* buffer, unsigned long count) -> long {
        detail::Source& s = run().source;
        size_t n = s.size - s.at;
        if (n > count) n = count;
        if (n > s.piece) n = s.piece;
        std::memcpy(buffer, s.data + s.at, n);
        s.at += n;
        return static_cast<long>(n);
    };
    host::file_calls().write = [](int, const void* buffer, unsigned long count) -> long {
        const unsigned char* p = static_cast<const unsigned char*>(buffer);
        run().written.insert(run().written.end(), p, p + count);
        return static_cast<long>(count);
    };
    const CodeTableAllocator saved_allocator = code_table_allocator;
    code_table_allocator = CodeTableAllocator{detail::counted_allocate, detail::counted_release};

    StreamState& s = stream_state;
    if (options & 4)
        detail::fill_noise(s.window, WINDOW_SIZE, options >> 4);
    else
        std::memset(s.window, 0, WINDOW_SIZE);
    static std::vector<unsigned char> history;
    history.assign(s.window, s.window + WINDOW_SIZE);
    s.input_failed = 0;
    s.output_failed = 0;
    s.archive_size = 0;
    s.archive_fd = 3;
    s.output_fd = 4;
    reset_stream_counters();
    s.remaining_compressed = static_cast<uint32_t>(run().source.size + (latch ? LATCH_EXTRA : 0));
    crc32_update(nullptr, 0);

    const int result = decode_deflate_stream();
    const bool latched = s.input_failed != 0;
    const uint32_t left_bits = bit_count;
    const uint32_t filler = s.filler_delivered;
    const uint32_t window_pos = s.window_pos;
    unsigned char probe = 0;
    const uint32_t crc = crc32_update(&probe, 0);
    code_table_allocator = saved_allocator;
    host::reset();

    const std::vector<unsigned char>& written = run().written;
    if (result < 0 || result > 3) return "result out of range";
    if (result == 3 && run().fail_at == 0) return "out of memory without a failed allocation";
    if (run().live_tables != 0) return "a decoding table outlived the stream";
    if (filler > MAX_FILLER_BYTES + 1) return "more filler taken than the bound allows";
    if (crc != static_cast<uint32_t>(crc32(0L, written.data(), static_cast<uInt>(written.size()))))
        return "the CRC does not cover exactly the bytes written";
    if (result == 0) {
        if (filler > MAX_FILLER_BYTES) return "a finished stream took more than the look-ahead's filler";
        if (left_bits >= 8) return "whole bytes were not given back";
        if (window_pos != 0 && !latched) return "the last window was not written";
    }

    static detail::Inflated z;
    detail::zlib_inflate(data + HEADER_BYTES, size - HEADER_BYTES, history.data(), history.size(), z);
    if (z.finished) {
        if (!detail::is_prefix(written, z.output)) return "the output departs from zlib's";
        if (!latched && result != 3) {
            if (result != 0) return "zlib finishes a stream that ours refuses";
            if (written.size() != z.output.size()) return "the output is shorter than zlib's";
        }
    } else if (result == 0 && !latched) {
        if (!accepted_divergence(z.reason)) return "ours finishes a stream that zlib refuses: " + z.reason;
        ++divergences()[z.reason];
    }
    return {};
}

}  // namespace deflate_harness
