// fuzz_corpus_test.cpp -- the fuzz targets' seeds and regression inputs, replayed in every build.
//
// Each input under tests/fuzz/corpus/<target>/ and tests/fuzz/regressions/<target>/ goes
// through the same harness as the libFuzzer target, so that a crash once found stays fixed
// under the ordinary and the sanitizer builds. Findings that read better as a stream made by
// hand are kept here as well.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/fixtures/bit_writer.h"
#include "tests/fixtures/decoder_harness.h"
#include "tests/fixtures/deflate_oracles.h"
#include "tests/fuzz/archive_harness.h"
#include "tests/fuzz/deflate_harness.h"
#include "tests/fuzz/gate_harness.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

// Every input kept for a target: its seeds and its regressions.
std::vector<fs::path> inputs_of(const std::string& target) {
    std::vector<fs::path> files;
    for (const char* kind : {"corpus", "regressions"}) {
        fs::path folder = fs::path(TARNVEL_SOURCE_DIR) / "tests" / "fuzz" / kind / target;
        if (!fs::is_directory(folder)) continue;
        for (const auto& entry : fs::directory_iterator(folder))
            if (entry.is_regular_file()) files.push_back(entry.path());
    }
    return files;
}

template <typename Run>
void replay(const std::string& target, Run run) {
    std::vector<fs::path> files = inputs_of(target);
    ASSERT_FALSE(files.empty()) << "no seeds for " << target;
    for (const fs::path& file : files) {
        Bytes bytes = testing_support::read_file(file);
        EXPECT_EQ(run(bytes.data(), bytes.size()), "") << file.filename();
    }
}

TEST(FuzzCorpus, DeflateInputsAgreeWithZlib) {
    replay("deflate", [](const uint8_t* data, size_t size) { return deflate_harness::run_one(data, size); });
}

TEST(FuzzCorpus, GateInputsAgreeWithTheModel) {
    gate_harness::Harness harness;
    replay("gate", [&](const uint8_t* data, size_t size) { return harness.run_one(data, size); });
}

TEST(FuzzCorpus, ArchiveInputsStayInTheSandbox) {
    archive_harness::Harness harness;
    replay("archive", [&](const uint8_t* data, size_t size) { return harness.run_one(data, size); });
}

// The word-wide fast path may take a round at its last allowed position with a longest
// match; that match ends exactly at the window's end, which must be written out before the
// byte-wise reader puts the next byte into the window.
TEST(FuzzRegressions, LongestMatchEndingAtTheWindowEndIsFlushed) {
    bit_writer::BitWriter w;
    w.put_bits(1, 1);
    w.put_bits(1, 2);
    bit_writer::put_fixed_symbol(w, 'a');
    bit_writer::put_fixed_symbol(w, 'b');
    // 2 + 126 * 258 = 32510, the last position at which a fast round may start.
    for (int i = 0; i < 127; ++i) bit_writer::put_fixed_match(w, 258, 1);
    for (unsigned char c : std::string("after the window's end, and enough bytes to keep reading"))
        bit_writer::put_fixed_symbol(w, c);
    bit_writer::put_fixed_symbol(w, 256);

    Bytes expected;
    ASSERT_TRUE(deflate_oracles::zlib_inflate(w.bytes, &expected));
    decoder_harness::DecodeRun run = decoder_harness::decode(w.bytes);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.output.size(), expected.size());
    EXPECT_TRUE(run.output == expected) << "the bytes after the window's end differ";
}

}  // namespace
