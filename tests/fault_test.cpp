// fault_test.cpp -- the whole run under faults: a full disk, an unreadable own file, a temp
// directory that cannot be written, and an entry that expands a thousandfold.
//
// Faults of the file system come from the host stand-in's file calls where a hook can say it
// (writes, reads); faults of permission come from the file system itself, in a child process
// that drops to an unprivileged user first, since the tests may run as root, for whom no
// permission bit holds. Peak memory is measured in a child process as well, so that the
// test binary's own allocations do not count.
#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/host/host_platform.h"
#include "shell/run_installer.h"
#include "stream/stream_buffers.h"
#include "tests/fixtures/bit_writer.h"
#include "tests/fixtures/deflate_oracles.h"
#include "tests/fixtures/sfx_writer.h"

namespace {

namespace fs = std::filesystem;
using sfx::Bytes;
using sfx::Entry;
using sfx::Package;
using sfx::Sandbox;

Entry entry(const std::string& name, const Bytes& content, uint16_t method = METHOD_DEFLATE) {
    Entry e;
    e.name = name;
    e.content = content;
    e.method = method;
    return e;
}

std::vector<std::string> failure_texts(std::initializer_list<int> codes) {
    std::vector<std::string> texts;
    for (int code : codes) texts.push_back(sfx::failure_text(code));
    return texts;
}

bool is_prefix(const Bytes& part, const Bytes& whole) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

// ---- Child processes ----

// Runs body in a child process and returns what it wrote to `out`; with `unprivileged`, the
// child first hands `folder` to an unprivileged user and becomes that user (nothing to do
// when the tests do not run as root). Empty when the child could not drop its privileges.
std::optional<std::string> in_child(const std::function<void(std::ostream& out)>& body, bool unprivileged = false,
                                    const fs::path& folder = {}) {
    int channel[2];
    if (::pipe(channel) != 0) return std::string("no pipe");
    pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        if (unprivileged && ::geteuid() == 0) {
            const passwd* nobody = ::getpwnam("nobody");
            uid_t uid = nobody != nullptr ? nobody->pw_uid : 65534;
            gid_t gid = nobody != nullptr ? nobody->pw_gid : 65534;
            std::error_code ignored;
            ::lchown(folder.c_str(), uid, gid);
            for (const auto& inner : fs::recursive_directory_iterator(folder, ignored))
                ::lchown(inner.path().c_str(), uid, gid);
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(77);
        }
        std::ostringstream out;
        body(out);
        std::string text = out.str();
        for (size_t at = 0; at < text.size();) {
            ssize_t n = ::write(channel[1], text.data() + at, text.size() - at);
            if (n <= 0) break;
            at += static_cast<size_t>(n);
        }
        ::_exit(0);  // no destructors, no leak check: the parent owns the state
    }
    ::close(channel[1]);
    std::string text;
    char chunk[4096];
    for (ssize_t n; (n = ::read(channel[0], chunk, sizeof chunk)) > 0;) text.append(chunk, static_cast<size_t>(n));
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) return std::nullopt;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::string("the child failed");
    return text;
}

// The boxes of the run just made, one text per line (failure texts begin with a line feed).
void put_boxes(std::ostream& out) {
    for (const host::Box& box : host::recorder().boxes) out << box.caption << ':' << box.text << '\x1e';
}

std::string boxes_line(const std::vector<std::string>& failure_texts) {
    std::string line;
    for (const std::string& text : failure_texts) line += std::string("Tarnvel SFX ERROR:") + text + '\x1e';
    return line;
}

// ---- A full disk ----

struct DiskFull {
    const char* name;
    long refusal;  // what a write returns once the disk is full
};
void PrintTo(const DiskFull& c, std::ostream* os) { *os << c.name; }

class DiskFills : public ::testing::TestWithParam<DiskFull> {};

// The disk takes 150000 bytes: the first entry fits, the second is cut by a short write, the
// third finds no room at all. Each entry that meets the full disk makes one refused call and
// is reported; nothing retries a write that makes no progress.
TEST_P(DiskFills, EndsEachEntryThatMeetsItWithOneRefusedWrite) {
    Sandbox box;
    Package p;
    p.entries = {entry("first.bin", sfx::sample_content(100000, 1)),
                 entry("second.bin", sfx::sample_content(100000, 2), METHOD_STORED),
                 entry("third.bin", sfx::sample_content(100000, 3))};
    constexpr uint64_t capacity = 150000;
    struct Disk {
        uint64_t used = 0;
        long refused = 0;
    } disk;
    const long refusal = GetParam().refusal;
    host::file_calls().write = [&disk, refusal](int fd, const void* data, unsigned long count) -> long {
        if (disk.used >= capacity) {
            // A writer that retried for ever would hang here: let it through after a while,
            // so that the refusal count below fails the test instead.
            return ++disk.refused > 1000 ? static_cast<long>(count) : refusal;
        }
        unsigned long room = static_cast<unsigned long>(capacity - disk.used);
        long written = static_cast<long>(::write(fd, data, count < room ? count : room));
        if (written > 0) disk.used += static_cast<uint64_t>(written);
        return written;
    };

    EXPECT_EQ(box.run_whole(p), 0);
    EXPECT_EQ(disk.refused, 2);
    EXPECT_EQ(box.box_texts(), failure_texts({0x41B, 0x41B}));
    EXPECT_EQ(sfx::read_file(box.temp("first.bin")), p.entries[0].content);
    Bytes second = sfx::read_file(box.temp("second.bin"));
    EXPECT_EQ(second.size(), capacity - 100000) << "the bytes that fitted stay";
    EXPECT_TRUE(is_prefix(second, p.entries[1].content));
    EXPECT_TRUE(fs::exists(box.temp("third.bin")));
    EXPECT_EQ(fs::file_size(box.temp("third.bin")), 0u);
}

INSTANTIATE_TEST_SUITE_P(Faults, DiskFills,
                         ::testing::Values(DiskFull{"WriteReturnsMinusOne", -1}, DiskFull{"WriteReturnsZero", 0}),
                         [](const auto& test) { return std::string(test.param.name); });

// ---- The program's own file cannot be read ----

struct UnreadableTail {
    const char* name;
    bool from_the_start;  // every read fails; else only reads from the central directory on
};
void PrintTo(const UnreadableTail& c, std::ostream* os) { *os << c.name; }

class UnreadableOwnFile : public ::testing::TestWithParam<UnreadableTail> {};

// Where the trailer cannot be read the gate cannot ask, but then the end record cannot be
// read either: nothing is extracted without the question.
TEST_P(UnreadableOwnFile, NothingIsExtractedAndNoDisclaimerIsSkipped) {
    Sandbox box;
    Package p;
    p.entries = {entry("readme.txt", sfx::sample_content(3000, 1)), entry("setup.exe", sfx::sample_content(5000, 2))};
    p.disclaimer_flag = 1;
    p.disclaimer_text = "Accept the licence?";
    sfx::Built built = sfx::build(p);
    box.read_fault(GetParam().from_the_start ? 0 : built.directory_offset, static_cast<uint32_t>(built.bytes.size()), -1);

    EXPECT_EQ(box.run_whole(built.bytes), 0);
    EXPECT_EQ(box.box_texts(), failure_texts({0x1C}));
    EXPECT_FALSE(fs::exists(box.temp("")));
    EXPECT_TRUE(host::recorder().launches.empty());
}

INSTANTIATE_TEST_SUITE_P(Faults, UnreadableOwnFile,
                         ::testing::Values(UnreadableTail{"EveryRead", true},
                                           UnreadableTail{"FromTheDirectoryOn", false}),
                         [](const auto& test) { return std::string(test.param.name); });

// Reads that start failing inside the first entry's data (a drive going away): the entry is
// reported, keeps what was written before, and the walk cannot go back to the directory.
TEST(Faults, ReadsFailingInsideAnEntryEndItAndTheWalk) {
    Sandbox box;
    Package p;
    p.entries = {entry("big.bin", sfx::sample_content(200000, 1)), entry("later.txt", sfx::sample_content(3000, 2))};
    sfx::Built built = sfx::build(p);
    ASSERT_GT(built.data_offsets[1] - built.data_offsets[0], 2 * INPUT_BUFFER_SIZE) << "two whole refills first";
    // Once a read reaches the third block of the entry's data, no read succeeds any more.
    const off_t from = built.data_offsets[0] + 2 * INPUT_BUFFER_SIZE;
    const off_t to = built.data_offsets[1];
    bool gone = false;
    host::file_calls().read = [&gone, from, to](int fd, void* buffer, unsigned long count) -> long {
        off_t at = ::lseek(fd, 0, SEEK_CUR);
        if (at >= from && at < to) gone = true;
        return gone ? -1 : static_cast<long>(::read(fd, buffer, count));
    };

    EXPECT_EQ(box.run_whole(built.bytes), 0);
    // The entry's data fails, then the directory cannot be read: the size check's code wins.
    EXPECT_EQ(box.box_texts(), failure_texts({0x41B, 0x1A}));
    Bytes kept = sfx::read_file(box.temp("big.bin"));
    EXPECT_FALSE(kept.empty());
    EXPECT_LT(kept.size(), p.entries[0].content.size());
    EXPECT_TRUE(is_prefix(kept, p.entries[0].content));
    EXPECT_FALSE(fs::exists(box.temp("later.txt")));
}

TEST(Faults, OwnFileWithoutReadPermissionExtractsNothing) {
    Sandbox box;
    Package p;
    p.entries = {entry("readme.txt", sfx::sample_content(3000, 1))};
    p.disclaimer_flag = 1;
    p.disclaimer_text = "Accept the licence?";
    box.prepare_whole(sfx::build(p).bytes);
    const fs::path package = box.package();

    std::optional<std::string> boxes = in_child(
        [&](std::ostream& out) {
            ::chmod(package.c_str(), 0);
            out << run_installer(Sandbox::INSTANCE) << '\n';
            put_boxes(out);
        },
        true, box.root());
    if (!boxes) GTEST_SKIP() << "cannot become an unprivileged user here";
    EXPECT_EQ(*boxes, "0\n" + boxes_line(failure_texts({0x14})));
    EXPECT_FALSE(fs::exists(box.temp("readme.txt")));
}

// ---- A temp directory that cannot be written ----

TEST(Faults, TempDirectoryWithoutWritePermissionRefusesEveryEntry) {
    Sandbox box;
    Package p;
    p.entries = {entry("readme.txt", sfx::sample_content(3000, 1)), entry("sub/deeper.txt", sfx::sample_content(300, 2)),
                 entry("empty.txt", {})};
    box.prepare_whole(sfx::build(p).bytes);
    fs::create_directory(box.temp(""));
    const fs::path temp = box.temp("");

    std::optional<std::string> boxes = in_child(
        [&](std::ostream& out) {
            ::chmod(temp.c_str(), 0555);
            out << run_installer(Sandbox::INSTANCE) << '\n';
            put_boxes(out);
        },
        true, box.root());
    if (!boxes) GTEST_SKIP() << "cannot become an unprivileged user here";
    // One box per entry and no summary: every entry was still visited.
    EXPECT_EQ(*boxes, "0\n" + boxes_line(failure_texts({0x3, 0x3, 0x3})));
    EXPECT_TRUE(fs::is_empty(temp));
}

// ---- An entry that expands a thousandfold ----

// size zero bytes as one dynamic block whose only codes are literal 0, end of block, length
// 258 and distance 1: a whole match takes two bits, so the stream is about size / 1032 bytes,
// and the decoder builds its tables once, whatever the size.
Bytes zeros_stream(uint64_t size) {
    bit_writer::BitWriter w;
    w.put_bits(1, 1);   // final
    w.put_bits(2, 2);   // dynamic
    w.put_bits(29, 5);  // 286 literal/length codes
    w.put_bits(0, 5);   // 1 distance code
    w.put_bits(15, 4);  // 19 code-length codes
    const bit_writer::Code lengths_code(bit_writer::full_code_length_lengths());
    for (int symbol : {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15})
        w.put_bits(lengths_code.lengths[symbol], 3);
    std::vector<uint32_t> lengths(286, 0);
    lengths[0] = 2;
    lengths[256] = 2;
    lengths[285] = 1;
    auto put_zero_run = [&](uint32_t run) {  // runs of 11 to 138 zeros
        lengths_code.put(w, 18);
        w.put_bits(run - 11, 7);
    };
    lengths_code.put(w, 2);  // literal 0
    put_zero_run(138);
    put_zero_run(117);       // literals 1 to 255
    lengths_code.put(w, 2);  // end of block
    put_zero_run(28);        // lengths 257 to 284
    lengths_code.put(w, 1);  // length 258
    lengths_code.put(w, 1);  // distance 1
    const bit_writer::Code literals(lengths);

    literals.put(w, 0);
    uint64_t matches = (size - 1) / 258;
    uint64_t left = (size - 1) % 258;
    // Symbol 285 and distance 0 both have the code 0: a match is two zero bits, four a byte.
    while (matches > 0 && w.bit_length % 8 != 0) {
        w.put_bits(0, 2);
        --matches;
    }
    w.bytes.insert(w.bytes.end(), matches / 4, 0);
    w.bit_length += matches / 4 * 8;
    for (uint64_t i = 0; i < matches % 4; ++i) w.put_bits(0, 2);
    for (uint64_t i = 0; i < left; ++i) literals.put(w, 0);
    literals.put(w, 256);
    return w.bytes;
}

uint32_t crc_of_zeros(uint64_t size) {
    static const Bytes block(1 << 20, 0);
    uLong crc = crc32(0L, Z_NULL, 0);
    for (uint64_t done = 0; done < size;) {
        uInt piece = static_cast<uInt>(size - done < block.size() ? size - done : block.size());
        crc = crc32(crc, block.data(), piece);
        done += piece;
    }
    return static_cast<uint32_t>(crc);
}

Bytes zeros_package(uint64_t size) {
    Package p;
    Entry e = entry("zeros.bin", {});
    e.data = zeros_stream(size);
    uint32_t crc = crc_of_zeros(size);
    e.patch_local = [crc, size](LocalHeader& h) {
        h.crc32 = crc;
        h.uncompressed_size = static_cast<uint32_t>(size);
    };
    e.patch_central = [crc, size](CentralHeader& h) {
        h.crc32 = crc;
        h.uncompressed_size = static_cast<uint32_t>(size);
    };
    p.entries = {e};
    return sfx::build(p).bytes;
}

long status_kilobytes(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field) + 1));
    return -1;
}

struct Expansion {
    uint64_t written = 0;
    std::string boxes;
    long peak_growth_kb = 0;  // the child's peak resident size above its size before the run
};

// The whole run in a child whose writes are counted and dropped, so no disk is used.
Expansion expand_in_child(Sandbox& box, const Bytes& package) {
    std::optional<std::string> report = in_child([&](std::ostream& out) {
        box.prepare_whole(package);
        static uint64_t written;
        written = 0;
        host::file_calls().write = [](int, const void*, unsigned long count) {
            written += count;
            return static_cast<long>(count);
        };
        // Restart the peak at the present size (Linux 4.0 on), so the peak is the run's own.
        std::ofstream("/proc/self/clear_refs") << "5";
        long before = status_kilobytes("VmRSS:");
        run_installer(Sandbox::INSTANCE);
        long peak = status_kilobytes("VmHWM:");
        out << written << ' ' << peak - before << ' ' << host::recorder().boxes.size() << '\n';
    });
    Expansion e;
    size_t boxes = 1;
    std::istringstream(report.value_or("")) >> e.written >> e.peak_growth_kb >> boxes;
    e.boxes = std::to_string(boxes);
    return e;
}

TEST(Faults, ThousandfoldEntryIsWrittenInFullWithFlatPeakMemory) {
    constexpr uint64_t MEGABYTE = uint64_t{1} << 20;
    constexpr uint64_t GIGABYTE = uint64_t{1} << 30;
    Bytes small_stream = zeros_stream(MEGABYTE);
    Bytes inflated;
    ASSERT_TRUE(deflate_oracles::zlib_inflate(small_stream, &inflated)) << "zlib reads the stream";
    ASSERT_EQ(inflated, Bytes(MEGABYTE, 0));
    Bytes small = zeros_package(MEGABYTE);
    Bytes large = zeros_package(GIGABYTE);
    ASSERT_GE(GIGABYTE / zeros_stream(GIGABYTE).size(), 1000u) << "a thousandfold expansion";

    Sandbox box;
    Expansion one_megabyte = expand_in_child(box, small);
    Expansion one_gigabyte = expand_in_child(box, large);
    EXPECT_EQ(one_megabyte.written, MEGABYTE);
    EXPECT_EQ(one_gigabyte.written, GIGABYTE);
    EXPECT_EQ(one_megabyte.boxes, "0");
    EXPECT_EQ(one_gigabyte.boxes, "0") << "the CRC-32 of the whole gigabyte matched";
    // A thousand times the output, the same memory. The margin covers the sanitizers' own
    // bookkeeping, which moves by a couple of hundred KiB from run to run; one small block kept
    // per window written (32768 windows of a gigabyte) would take more than it.
    EXPECT_LE(one_gigabyte.peak_growth_kb, one_megabyte.peak_growth_kb + 512)
        << "1 MB: " << one_megabyte.peak_growth_kb << " KiB, 1 GB: " << one_gigabyte.peak_growth_kb << " KiB";
    std::printf("peak growth: 1 MB of output %ld KiB, 1 GB of output %ld KiB\n", one_megabyte.peak_growth_kb,
                one_gigabyte.peak_growth_kb);
}

}  // namespace
