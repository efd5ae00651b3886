// fuzz_corpus_test.cpp -- the fuzz targets' seeds and regression inputs, replayed in every build.
//
// Each input under tests/fuzz/corpus/<target>/ and tests/fuzz/regressions/<target>/ goes
// through the same harness as the libFuzzer target, so that a crash once found stays fixed
// under the ordinary and the sanitizer builds. Findings that read better as a stream made by
// hand are kept here as well.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "tests/fixtures/bit_writer.h"
#include "tests/fixtures/decoder_harness.h"
#include "tests/fixtures/deflate_oracles.h"
#include "tests/fuzz/archive_harness.h"
#include "tests/fuzz/deflate_harness.h"
#include "tests/fuzz/gate_harness.h"
#include "tests/fuzz/memory_package.h"
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

// The sandbox check is only worth its runs if it sees a touch beside the box.
TEST(FuzzHarness, ArchiveHarnessSeesTheCanaryTouched) {
    const Bytes empty_package(64, 0);
    const std::vector<std::function<void(const fs::path&)>> touches = {
        [](const fs::path& outer) { std::ofstream(outer / "canary" / "file.txt", std::ios::app) << "!"; },
        [](const fs::path& outer) { fs::permissions(outer / "canary" / "file.txt", fs::perms::owner_read); },
        [](const fs::path& outer) { std::ofstream(outer / "canary" / "new.txt") << "new"; },
        [](const fs::path& outer) { fs::create_directory(outer / "beside"); },
    };
    for (size_t i = 0; i < touches.size(); ++i) {
        archive_harness::Harness harness;
        ASSERT_EQ(harness.run_one(empty_package.data(), empty_package.size()), "") << "touch " << i;
        touches[i](harness.outer_folder());
        EXPECT_EQ(harness.run_one(empty_package.data(), empty_package.size()), "something outside the sandbox changed")
            << "touch " << i;
    }
}

// The harnesses read the package from memory; each step must answer as read and lseek
// answer on the same bytes in a regular file.
TEST(FuzzHarness, MemoryPackageReadsAndSeeksAsAFileDoes) {
    testing_support::TempFolder folder;
    const std::string path = (folder.path() / "package.exe").string();
    const Bytes bytes = {'P', 'K', 5, 6, 'a', 'b', 'c', 'd', 'e', 'f'};
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());

    struct Step {
        bool is_seek;
        long long offset;  // seek: the offset; read: the count
        int whence;
    };
    const std::vector<Step> steps = {
        {false, 4, 0},         {true, 0, SEEK_CUR},  {true, 8, SEEK_SET},  {false, 4, 0},
        {false, 1, 0},         {true, 100, SEEK_SET}, {false, 3, 0},        {true, -95, SEEK_CUR},
        {false, 2, 0},         {true, -1, SEEK_SET},  {true, -8, SEEK_CUR}, {false, 10, 0},
        {true, 0, SEEK_SET},   {false, 20, 0},        {true, 0, SEEK_CUR},
    };
    host::reset();
    fuzz_support::MemoryPackage package;
    package.serve(path, bytes.data(), bytes.size());
    const int served = host::file_calls().open_read(path.c_str());
    ASSERT_TRUE(package.served(served));
    const int real = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(real, 0);
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        if (step.is_seek) {
            const long long real_result = ::lseek(real, step.offset, step.whence);
            EXPECT_EQ(host::file_calls().seek(served, step.offset, step.whence), real_result < 0 ? -1 : real_result)
                << "step " << i;
        } else {
            char got[32] = {}, want[32] = {};
            EXPECT_EQ(host::file_calls().read(served, got, step.offset), ::read(real, want, step.offset)) << "step " << i;
            EXPECT_EQ(std::string(got, sizeof got), std::string(want, sizeof want)) << "step " << i;
        }
    }
    ::close(real);
    host::file_calls().close(served);
    EXPECT_FALSE(package.served(served));
    host::reset();
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
