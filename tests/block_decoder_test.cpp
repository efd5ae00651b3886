// block_decoder_test.cpp -- the deflate block decoder on the real stream buffers, against zlib and libdeflate.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "deflate/block_decoder.h"
#include "tests/fixtures/decoder_harness.h"
#include "tests/fixtures/deflate_oracles.h"

namespace {

using decoder_harness::Bytes;
using decoder_harness::decode;
using decoder_harness::DecodeRun;

// ---- Inputs ----

// Words of a small vocabulary: long matches at many distances, like text.
Bytes text_like(size_t size, uint32_t seed) {
    static const char* const words[] = {"setup",  "install", "the ",   "window", "archive", "entry ", "\r\n",
                                        "deflate", "Tarnvel", "of ",   "file",   "DLL",     "0x",     "    "};
    std::mt19937 rng(seed);
    Bytes out;
    while (out.size() < size) {
        const char* w = words[rng() % (sizeof words / sizeof words[0])];
        out.insert(out.end(), w, w + strlen(w));
    }
    out.resize(size);
    return out;
}

Bytes random_bytes(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out(size);
    for (auto& b : out) b = static_cast<unsigned char>(rng());
    return out;
}

// Skewed bytes with occasional repeats: a mix of short and long codes.
Bytes skewed(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    std::geometric_distribution<int> g(0.08);
    Bytes out;
    while (out.size() < size) {
        if (out.size() > 40000 && rng() % 7 == 0) {
            size_t back = 1 + rng() % 32768, len = 3 + rng() % 300;
            for (size_t i = 0; i < len; ++i) out.push_back(out[out.size() - back]);
        } else {
            out.push_back(static_cast<unsigned char>(g(rng)));
        }
    }
    out.resize(size);
    return out;
}

// The test program itself: real machine code and data.
Bytes own_binary(size_t limit) {
    Bytes data = decoder_harness::read_file("/proc/self/exe");
    if (data.size() > limit) data.resize(limit);
    return data;
}

struct Input {
    const char* name;
    Bytes data;
};

const std::vector<Input>& inputs() {
    static const std::vector<Input> all = [] {
        std::vector<Input> v;
        v.push_back({"empty", {}});
        v.push_back({"one byte", {0x41}});
        v.push_back({"text 32768 (exactly one window)", text_like(32768, 1)});
        v.push_back({"text 300000 (many windows)", text_like(300000, 2)});
        v.push_back({"random 200000 (stored blocks)", random_bytes(200000, 3)});
        v.push_back({"zeros 100000 (distance 1, length 258)", Bytes(100000, 0)});
        v.push_back({"skewed 250000 (far matches across the window end)", skewed(250000, 4)});
        v.push_back({"own binary", own_binary(700000)});
        return v;
    }();
    return all;
}

void expect_decodes_to(const Bytes& compressed, const Bytes& original, const std::string& what) {
    DecodeRun run = decode(compressed);
    ASSERT_EQ(run.result, 0) << what;
    ASSERT_EQ(run.output.size(), original.size()) << what;
    EXPECT_TRUE(run.output == original) << what;
    EXPECT_EQ(run.crc, crc32(0L, original.data(), static_cast<uInt>(original.size()))) << what;
    EXPECT_EQ(run.window_pos, 0u) << what << ": the last window was emitted";
}

// ---- Differential decoding ----

TEST(BlockDecoder, DecodesZlibStreamsAtEveryLevelAndStrategy) {
    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
    for (const Input& input : inputs()) {
        for (int strategy : strategies) {
            for (int level = 0; level <= 9; ++level) {
                Bytes compressed = deflate_oracles::zlib_compress(input.data, level, strategy);
                ASSERT_FALSE(compressed.empty());
                expect_decodes_to(compressed, input.data,
                                  std::string(input.name) + " zlib level " + std::to_string(level) + " strategy " +
                                      std::to_string(strategy));
            }
        }
    }
}

TEST(BlockDecoder, DecodesLibdeflateStreamsAtEveryLevel) {
    for (const Input& input : inputs()) {
        for (int level = 1; level <= 12; ++level) {
            Bytes compressed = deflate_oracles::libdeflate_compress(input.data, level);
            ASSERT_FALSE(compressed.empty());
            expect_decodes_to(compressed, input.data, std::string(input.name) + " libdeflate level " + std::to_string(level));
        }
    }
}

}  // namespace
