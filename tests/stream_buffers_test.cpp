// stream_buffers_test.cpp -- refills with progress, the failure latch, and the window's way out.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <zlib.h>

#include <functional>
#include <vector>

#include "platform/host/host_platform.h"
#include "stream/crc32.h"
#include "stream/stream_buffers.h"
#include "tests/support/temp_folder.h"

namespace {

using Bytes = std::vector<unsigned char>;

WindowHandle const BAR = reinterpret_cast<WindowHandle>(0xBA2);
WindowHandle const WINDOW = reinterpret_cast<WindowHandle>(0x3D0);

Bytes pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(i * 7 + i / 251);
    return b;
}

class StreamBuffers : public ::testing::Test {
protected:
    void SetUp() override {
        host::reset();
        stream_state = StreamState{};
        stream_state.progress_bar = BAR;
        stream_state.progress_window = WINDOW;
    }
    void TearDown() override {
        if (stream_state.archive_fd > 0) file_close(stream_state.archive_fd);
        if (stream_state.output_fd > 0) file_close(stream_state.output_fd);
        stream_state = StreamState{};
        host::reset();
    }
    // The archive holds `bytes`; the entry claims `entry_size` of them from the start.
    void open_archive(const Bytes& bytes, uint32_t entry_size) {
        testing_support::write_file(folder / "archive", bytes);
        stream_state.archive_fd = file_open_read((folder / "archive").c_str());
        ASSERT_GT(stream_state.archive_fd, 0);
        stream_state.archive_size = static_cast<uint32_t>(bytes.size());
        stream_state.remaining_compressed = entry_size;
    }
    void open_output() {
        stream_state.output_fd = file_create((folder / "out").c_str());
        ASSERT_GT(stream_state.output_fd, 0);
    }
    Bytes output() {
        file_close(stream_state.output_fd);
        stream_state.output_fd = 0;
        return testing_support::read_file(folder / "out");
    }
    // Counts read calls and caps each at `most` bytes.
    void limit_reads(long most) {
        host::file_calls().read = [this, most](int fd, void* buffer, unsigned long count) {
            ++reads;
            return static_cast<long>(::read(fd, buffer, std::min<unsigned long>(count, most)));
        };
    }
    testing_support::TempFolder folder;
    int reads = 0;
};

TEST_F(StreamBuffers, EntryOfExactlyOneBufferThenExhausted) {
    Bytes data = pattern(32768 + 100);
    open_archive(data, 32768);
    EXPECT_EQ(refill_input(), data[0]);
    EXPECT_EQ(stream_state.input_size, 32768u);
    EXPECT_EQ(stream_state.input_pos, 1u);
    EXPECT_EQ(stream_state.remaining_compressed, 0u);
    EXPECT_EQ(refill_input(), -1);
    EXPECT_EQ(stream_state.input_size, 0u);
    EXPECT_EQ(stream_state.input_failed, 0);
}

TEST_F(StreamBuffers, NothingOwnedReadsNothing) {
    open_archive(pattern(1000), 0);
    limit_reads(1 << 20);
    EXPECT_EQ(refill_input(), -1);
    EXPECT_EQ(stream_state.input_failed, 0);
    EXPECT_TRUE(host::recorder().progress.empty());
}

TEST_F(StreamBuffers, ShortReadsAreFollowedUntilTheBufferHoldsWhatItShould) {
    Bytes data = pattern(50000);
    open_archive(data, 40000);
    limit_reads(1000);
    refill_input();
    EXPECT_EQ(stream_state.input_size, 32768u);
    EXPECT_EQ(reads, 33);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 32768, stream_state.input_buffer));
    reads = 0;
    EXPECT_EQ(refill_input(), data[32768]);
    EXPECT_EQ(stream_state.input_size, 40000u - 32768u);
    EXPECT_EQ(reads, 8);
}

TEST_F(StreamBuffers, NextInputByteDeliversTheEntryThenFillers) {
    Bytes data = pattern(40000);
    open_archive(data, 33000);
    Bytes got;
    for (int i = 0; i < 33000; ++i) got.push_back(static_cast<unsigned char>(next_input_byte()));
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
    EXPECT_EQ(stream_state.filler_delivered, 0u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(next_input_byte(), 0xFFu);
    EXPECT_EQ(stream_state.filler_delivered, 3u);
    EXPECT_EQ(stream_state.input_failed, 0);
}

TEST_F(StreamBuffers, PrematureEndSetsTheLatchForGood) {
    Bytes data = pattern(1000);
    open_archive(data, 5000);  // the entry claims more than the file holds
    limit_reads(1 << 20);
    EXPECT_EQ(refill_input(), 1);
    EXPECT_EQ(stream_state.input_failed, 1);
    EXPECT_EQ(stream_state.input_size, 1000u);
    int reads_at_latch = reads;
    for (int i = 0; i < 5; ++i) EXPECT_EQ(refill_input(), 1);
    EXPECT_EQ(reads, reads_at_latch) << "no read once the latch is set";
    stream_state.input_pos = stream_state.input_size;
    EXPECT_EQ(next_input_byte(), 0x01u);
}

TEST_F(StreamBuffers, ReadErrorDeliversWhatCameBeforeIt) {
    open_archive(pattern(5000), 5000);
    int calls = 0;
    host::file_calls().read = [&calls](int fd, void* buffer, unsigned long count) -> long {
        if (++calls > 1) return -1;
        return ::read(fd, buffer, std::min<unsigned long>(count, 100));
    };
    EXPECT_EQ(refill_input(), pattern(1)[0]);
    EXPECT_EQ(stream_state.input_size, 100u);
    EXPECT_EQ(refill_input(), -1) << "an error with nothing read";
    EXPECT_EQ(stream_state.input_failed, 0);
    EXPECT_EQ(stream_state.remaining_compressed, 4900u);
}

TEST_F(StreamBuffers, ProgressIsThePercentOfTheFileBeforeTheReadPosition) {
    open_archive(pattern(1000), 400);
    file_seek(stream_state.archive_fd, 100, SEEK_FROM_START);
    refill_input();
    ASSERT_EQ(host::recorder().progress.size(), 1u);
    EXPECT_EQ(host::recorder().progress[0], std::make_pair(BAR, 50u));
    ASSERT_EQ(host::recorder().repaints.size(), 1u);
    EXPECT_EQ(host::recorder().repaints[0], WINDOW);
}

TEST_F(StreamBuffers, NoProgressWhenTheSizeIsZero) {
    open_archive(pattern(1000), 400);
    stream_state.archive_size = 0;
    refill_input();
    EXPECT_TRUE(host::recorder().progress.empty());
    EXPECT_TRUE(host::recorder().repaints.empty());
}

struct PercentCase {
    uint32_t position_after_read;
    uint32_t archive_size;
    unsigned percent;
};

// Positions near 4 GiB, on a sparse file: the product must not overflow 32 bits.
TEST_F(StreamBuffers, PercentIsExactForThirtyTwoBitPositions) {
    auto path = folder / "huge";
    int fd = ::open(path.c_str(), O_CREAT | O_RDWR, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 0xFFFFFFFFll), 0);
    ::close(fd);
    const PercentCase cases[] = {
        {0xFFFFFFFFu, 0xFFFFFFFFu, 100}, {0xFFFFFFFEu, 0xFFFFFFFFu, 99}, {0x80000000u, 0xFFFFFFFFu, 50},
        {0x02000000u, 0xFFFFFFFFu, 0},   {999u, 1000u, 99},             {0x50000000u, 0xA0000001u, 49},
        {43u, 0xFFFFFFFFu, 0},           {0xC0000000u, 0xC0000000u, 100},
    };
    stream_state.archive_fd = file_open_read(path.c_str());
    for (const PercentCase& c : cases) {
        host::recorder().progress.clear();
        file_seek(stream_state.archive_fd, static_cast<int64_t>(c.position_after_read) - 16, SEEK_FROM_START);
        stream_state.remaining_compressed = 16;
        stream_state.archive_size = c.archive_size;
        refill_input();
        ASSERT_EQ(host::recorder().progress.size(), 1u);
        EXPECT_EQ(host::recorder().progress[0].second, c.percent) << c.position_after_read << " of " << c.archive_size;
    }
}

TEST_F(StreamBuffers, EmitWindowChecksumsThenWritesAndEmpties) {
    open_output();
    Bytes data = pattern(3000);
    std::copy(data.begin(), data.end(), stream_state.window);
    stream_state.window_pos = 3000;
    crc32_update(nullptr, 0);
    emit_window();
    EXPECT_EQ(stream_state.window_pos, 0u);
    EXPECT_EQ(crc32_update(data.data(), 0), crc32(0L, data.data(), static_cast<uInt>(data.size())));
    EXPECT_EQ(output(), data);
}

TEST_F(StreamBuffers, EmitWindowDoesNothingWhenEmptyOrLatched) {
    open_output();
    crc32_update(nullptr, 0);
    stream_state.window_pos = 0;
    emit_window();
    unsigned char probe = 0;
    EXPECT_EQ(crc32_update(&probe, 0), 0u) << "nothing fed";

    stream_state.window_pos = 500;
    stream_state.input_failed = 1;
    emit_window();
    EXPECT_EQ(stream_state.window_pos, 500u) << "kept under the latch";
    EXPECT_EQ(crc32_update(&probe, 0), 0u);
    EXPECT_TRUE(output().empty());
}

TEST_F(StreamBuffers, ResetTouchesOnlyTheCounters) {
    stream_state.window_pos = 9;
    stream_state.input_pos = 8;
    stream_state.input_size = 7;
    stream_state.remaining_compressed = 6;
    stream_state.input_failed = 1;
    stream_state.archive_fd = 5;
    reset_stream_counters();
    EXPECT_EQ(stream_state.window_pos + stream_state.input_pos + stream_state.input_size, 0u);
    EXPECT_EQ(stream_state.remaining_compressed, 6u);
    EXPECT_EQ(stream_state.input_failed, 1);
    EXPECT_EQ(stream_state.archive_fd, 5);
    stream_state.archive_fd = 0;
}

struct WriteCase {
    const char* name;
    std::function<long(int, const void*, unsigned long, int call)> write;
    size_t expected_bytes;
    int expected_failed;
};

TEST_F(StreamBuffers, WriteFullyCompletesPartialWritesAndEndsOnFailure) {
    const Bytes data = pattern(10000);
    const WriteCase cases[] = {
        {"partial writes of 7 bytes", [](int fd, const void* b, unsigned long n, int) { return (long)::write(fd, b, std::min(n, 7ul)); },
         10000, 0},
        {"an error after 3000 bytes",
         [](int fd, const void* b, unsigned long n, int call) { return call > 1 ? -1L : (long)::write(fd, b, std::min(n, 3000ul)); },
         3000, 1},
        {"a write that makes no progress (full disk)",
         [](int fd, const void* b, unsigned long n, int call) { return call > 2 ? 0L : (long)::write(fd, b, std::min(n, 1000ul)); },
         2000, 1},
    };
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(c.name);
        stream_state.output_failed = 0;
        open_output();
        int call = 0;
        host::file_calls().write = [&](int fd, const void* b, unsigned long n) { return c.write(fd, b, n, ++call); };
        write_fully(stream_state.output_fd, data.data(), static_cast<uint32_t>(data.size()));
        host::reset();
        Bytes got = output();
        EXPECT_EQ(got.size(), c.expected_bytes);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
        EXPECT_EQ(stream_state.output_failed, c.expected_failed);
    }
}

TEST_F(StreamBuffers, WriteFullyWritesNothingUnderTheLatch) {
    open_output();
    stream_state.input_failed = 1;
    Bytes data = pattern(100);
    write_fully(stream_state.output_fd, data.data(), 100);
    EXPECT_TRUE(output().empty());
}

}  // namespace
